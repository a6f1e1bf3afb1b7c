// Bytes over a pseudo-terminal pair: POSIX only.
#ifndef _WIN32

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include "PtyPair.h"
#include "config/ConfigTransfer.h"
#include "modbus/Frames.h"

namespace {

constexpr uint8_t kSlave = 5;

Bytes Request(uint8_t function, uint16_t reg, uint16_t value)
{
    return WithCrc({kSlave, function, static_cast<uint8_t>(reg >> 8), static_cast<uint8_t>(reg & 0xFF),
                    static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)});
}

// An actuator with a register map: answers 0x03 reads and 0x06 writes at
// its address, and stays silent for every request touching `silent`. A
// write to `repliesLost` is carried out, but its reply never arrives, as
// when the line garbles it; a write to `writesIgnored` is neither carried
// out nor answered, and reads touching `unreadable` go unanswered.
class FakeActuator {
public:
    std::map<uint16_t, uint16_t> registers;
    std::optional<uint16_t> silent;
    std::optional<uint16_t> repliesLost;
    std::optional<uint16_t> writesIgnored;
    std::optional<uint16_t> unreadable;

    Bytes Answer(const Bytes &request)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (request.size() != 8 || request[0] != kSlave || !Rtu::CrcMatches(request.data(), request.size()))
            return {};
        const uint16_t reg = Rtu::GetU16(&request[2]);
        const uint16_t arg = Rtu::GetU16(&request[4]);
        if (silent && *silent == reg)
            return {};
        if (request[1] == Fc::ReadHolding && unreadable && *unreadable == reg)
            return {};
        if (request[1] == Fc::WriteSingle && writesIgnored && *writesIgnored == reg)
            return {};
        if (request[1] == Fc::WriteSingle && repliesLost && *repliesLost == reg) {
            registers[reg] = arg;
            return {};
        }
        if (request[1] == Fc::ReadHolding) {
            Bytes reply{kSlave, Fc::ReadHolding, static_cast<uint8_t>(2 * arg)};
            for (uint16_t i = 0; i < arg; ++i) {
                const uint16_t v = registers[static_cast<uint16_t>(reg + i)];
                reply.insert(reply.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)});
            }
            return WithCrc(reply);
        }
        if (request[1] == Fc::WriteSingle) {
            registers[reg] = arg;
            return request;
        }
        return {};
    }

private:
    std::mutex mutex_;
};

// A real line to the fake actuator; short waits keep the ten-register
// transfers fast.
class ConfigTransferOnPty : public ::testing::Test {
protected:
    PtyPair pty;
    std::unique_ptr<C_ComPort> comPort = std::make_unique<C_ComPort>();
    uint32_t responseDelayMs = 5;
    uint32_t commandGapMs = 1;
    int32_t cmdTryCount = 2;
    int32_t broadcastRepeat = 1;
    RtuEngine engine{comPort, responseDelayMs};
    ActuatorRegisters registers{engine, responseDelayMs, commandGapMs, cmdTryCount, broadcastRepeat};

    uint32_t lastResult = 0xABCD;
    bool isBusy = false;
    uint16_t posOffset = 7;
    std::vector<bool> busyAtRefresh; // isBusy as each refresh saw it
    int busyRefreshes = 0;           // refreshes asked with busy = true
    TransferContext context{lastResult, isBusy, posOffset, cmdTryCount, commandGapMs, [this](bool busy) {
                                busyAtRefresh.push_back(isBusy);
                                busyRefreshes += busy ? 1 : 0;
                            }};

    FakeActuator device;

    // A plain line, stated: these tests check the exact frames of a
    // transfer, which must not include a read that settles the echo question.
    void SetUp() override
    {
        ASSERT_TRUE(comPort->Open(pty.slavePath(), 115200, 2048));
        engine.SetEchoMode(EchoMode::Off);
    }

    std::vector<Bytes> Run(const std::function<void()> &transfer)
    {
        ScriptedResponder slave(pty, [this](const Bytes &r) { return device.Answer(r); });
        transfer();
        slave.Stop();
        return slave.requests();
    }
};

// Every configuration word set to a value of its own.
ActuatorConfig Filled(uint16_t value)
{
    ActuatorConfig r;
    r.motorId = r.MaxPos = r.RearLimit = r.FrontLimit = r.CurrentLimit = r.SpeedPwm = r.SettingFlag = r.VoltageOut =
        r.HallPotSelect = r.BaudRate = r.PosOffset = value;
    return r;
}

const uint16_t kReadOrder[] = {Reg::MaxPos,      Reg::RearLimit,  Reg::FrontLimit,    Reg::CurrentLimit,
                               Reg::SpeedPwm,    Reg::SettingFlag, Reg::VoltageOut,   Reg::HallPotSelect,
                               Reg::BaudRate,    Reg::PosOffset};

TEST_F(ConfigTransferOnPty, ReadFillsTheRecordInOrderAndResetsPosOffset)
{
    device.registers = {{Reg::MaxPos, 1000},      {Reg::RearLimit, 10},      {Reg::FrontLimit, 900},
                        {Reg::CurrentLimit, 5000}, {Reg::SpeedPwm, 80},       {Reg::SettingFlag, 3},
                        {Reg::VoltageOut, 2048},   {Reg::HallPotSelect, 1},   {Reg::BaudRate, 2},
                        {Reg::PosOffset, 0x8000}};
    ActuatorConfig record = Filled(0xBEEF);
    bool ok = false;
    const std::vector<Bytes> frames = Run([&] { ok = ReadConfig(registers, kSlave, &record, context); });

    ASSERT_TRUE(ok);
    EXPECT_EQ(record.motorId, 0xBEEF) << "word 0 is not the device's";
    EXPECT_EQ(record.MaxPos, 1000);
    EXPECT_EQ(record.RearLimit, 10);
    EXPECT_EQ(record.FrontLimit, 900);
    EXPECT_EQ(record.CurrentLimit, 5000);
    EXPECT_EQ(record.SpeedPwm, 80);
    EXPECT_EQ(record.SettingFlag, 3);
    EXPECT_EQ(record.VoltageOut, 2048);
    EXPECT_EQ(record.HallPotSelect, 1);
    EXPECT_EQ(record.BaudRate, 2);
    EXPECT_EQ(record.PosOffset, 0x8000);
    EXPECT_EQ(posOffset, 0);
    EXPECT_EQ(lastResult, 0u);
    EXPECT_FALSE(isBusy);
    EXPECT_EQ(busyAtRefresh, std::vector<bool>(10, true)) << "one refresh per attempt, busy throughout";
    EXPECT_EQ(busyRefreshes, 0);

    ASSERT_EQ(frames.size(), 10u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i], Request(Fc::ReadHolding, kReadOrder[i], 1)) << i;
}

TEST_F(ConfigTransferOnPty, ReadFailingAtTheFourthRegisterKeepsTheRest)
{
    device.registers = {{Reg::MaxPos, 1000}, {Reg::RearLimit, 10}, {Reg::FrontLimit, 900}};
    device.silent = Reg::CurrentLimit;
    ActuatorConfig record = Filled(0x1111);
    bool ok = true;
    const std::vector<Bytes> frames = Run([&] { ok = ReadConfig(registers, kSlave, &record, context); });

    EXPECT_FALSE(ok);
    ActuatorConfig expected = Filled(0x1111);
    expected.MaxPos = 1000;
    expected.RearLimit = 10;
    expected.FrontLimit = 900;
    EXPECT_EQ(record, expected);
    EXPECT_EQ(posOffset, 7) << "only a complete read resets the offset";
    EXPECT_EQ(lastResult, Result::ReadError);
    EXPECT_FALSE(isBusy);
    EXPECT_EQ(busyAtRefresh.size(), 3u + cmdTryCount);

    ASSERT_EQ(frames.size(), 3u + cmdTryCount) << "the failing register gets every attempt, nothing after it";
    for (size_t i = 3; i < frames.size(); ++i)
        EXPECT_EQ(frames[i], Request(Fc::ReadHolding, Reg::CurrentLimit, 1));
}

const std::pair<uint16_t, uint16_t> kWriteOrder[] = {
    {Reg::MaxPos, 1000},    {Reg::RearLimit, 10},     {Reg::FrontLimit, 900},
    {Reg::CurrentLimit, 5000}, {Reg::SpeedPwm, 80},   {Reg::SettingFlag, 3},
    {Reg::HallPotSelect, 1}, {Reg::BaudRate, 2},      {Reg::VoltageOut, 2048},
};

ActuatorConfig WriteRecord()
{
    ActuatorConfig r;
    r.motorId = 0x0C0C;
    r.MaxPos = 1000;
    r.RearLimit = 10;
    r.FrontLimit = 900;
    r.CurrentLimit = 5000;
    r.SpeedPwm = 80;
    r.SettingFlag = 3;
    r.VoltageOut = 2048;
    r.HallPotSelect = 1;
    r.BaudRate = 2;
    r.PosOffset = 0x8000;
    return r;
}

TEST_F(ConfigTransferOnPty, WriteSendsNineRegistersWithVoltageLast)
{
    const ActuatorConfig record = WriteRecord();
    bool ok = false;
    size_t written = 0;
    const std::vector<Bytes> frames = Run([&] { ok = WriteConfig(registers, kSlave, &record, context, &written); });

    ASSERT_TRUE(ok);
    EXPECT_EQ(lastResult, 0u);
    EXPECT_EQ(written, 9u);
    // The order published by name is the order sent.
    for (size_t i = 0; i < kConfigWriteOrder.size(); ++i)
        EXPECT_EQ(Reg::HoldingName(kWriteOrder[i].first), kConfigWriteOrder[i]) << i;
    EXPECT_EQ(busyAtRefresh, std::vector<bool>(9, false)) << "a write does not hold isBusy";
    ASSERT_EQ(frames.size(), 9u);
    for (size_t i = 0; i < frames.size(); ++i)
        EXPECT_EQ(frames[i], Request(Fc::WriteSingle, kWriteOrder[i].first, kWriteOrder[i].second)) << i;
    EXPECT_EQ(device.registers.count(Reg::PosOffset), 0u) << "the offset word is never written";
}

TEST_F(ConfigTransferOnPty, WriteFailingAtSpeedStopsBeforeSettingFlagWithoutRollBack)
{
    device.silent = Reg::SpeedPwm;
    const ActuatorConfig record = WriteRecord();
    bool ok = true;
    size_t written = 99;
    const std::vector<Bytes> frames = Run([&] { ok = WriteConfig(registers, kSlave, &record, context, &written); });

    EXPECT_FALSE(ok);
    EXPECT_EQ(lastResult, Result::ReadError);
    EXPECT_EQ(written, 4u) << "MaxPos .. CurrentLimit; the next one, SpeedPwm, failed";
    ASSERT_EQ(frames.size(), 4u + cmdTryCount);
    for (size_t i = 4; i < frames.size(); ++i)
        EXPECT_EQ(frames[i], Request(Fc::WriteSingle, Reg::SpeedPwm, 80));
    // The four registers before the failure keep their new values.
    EXPECT_EQ(device.registers,
              (std::map<uint16_t, uint16_t>{
                  {Reg::MaxPos, 1000}, {Reg::RearLimit, 10}, {Reg::FrontLimit, 900}, {Reg::CurrentLimit, 5000}}));
}

// After a write stopped at SpeedPwm, the read-back decides whether the
// device took it: the record must say what the device holds.
struct ReadBackCase {
    const char *what;
    bool speedActedOn;          // the device carried out the SpeedPwm write
    std::optional<uint16_t> unreadable; // a register whose reads go unanswered
    size_t taken;               // what the read-back may claim
};

class FailedWriteReadBack : public ConfigTransferOnPty, public ::testing::WithParamInterface<ReadBackCase> {};

TEST_P(FailedWriteReadBack, CountsTheStoppedRegisterOnlyWhenTheDeviceHoldsIt)
{
    const ReadBackCase &c = GetParam();
    (c.speedActedOn ? device.repliesLost : device.writesIgnored) = Reg::SpeedPwm;
    device.unreadable = c.unreadable;
    device.registers[Reg::SpeedPwm] = 40;
    const ActuatorConfig record = WriteRecord();
    size_t written = 0;
    WriteReadBack back;
    Run([&] {
        ASSERT_FALSE(WriteConfig(registers, kSlave, &record, context, &written));
        back = ReadBackFailedWrite(registers, kSlave, record, written, context);
    });

    EXPECT_EQ(written, 4u);
    EXPECT_EQ(back.taken, c.taken);
    EXPECT_EQ(back.read, c.unreadable != Reg::SpeedPwm);
    if (back.read) {
        EXPECT_EQ(back.value, device.registers[Reg::SpeedPwm]);
    }
    EXPECT_EQ(lastResult, Result::ReadError) << "the status bar keeps the write's failure";
    EXPECT_EQ(posOffset, 7) << "a read-back is not a Read of the page";
    EXPECT_FALSE(isBusy);
}

INSTANTIATE_TEST_SUITE_P(Cases, FailedWriteReadBack,
                         ::testing::Values(ReadBackCase{"reply_lost_device_took_it", true, std::nullopt, 5},
                                           ReadBackCase{"device_never_acted", false, std::nullopt, 4},
                                           ReadBackCase{"read_back_unanswered", true, Reg::SpeedPwm, 4},
                                           // Only the stopped register is read: one the
                                           // device will not answer elsewhere costs nothing.
                                           ReadBackCase{"another_register_unreadable", true, Reg::PosOffset, 5}),
                         [](const auto &info) { return std::string(info.param.what); });

struct RefusedCase {
    const char *what;
    bool write;
    uint8_t address;
    bool withRecord;
};

class RefusedTransfers : public ConfigTransferOnPty, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedTransfers, AreParameterErrorsShownAtOnceWithNothingSent)
{
    const RefusedCase &c = GetParam();
    ActuatorConfig record = WriteRecord();
    ActuatorConfig *target = c.withRecord ? &record : nullptr;
    isBusy = false;
    const bool ok = c.write ? WriteConfig(registers, c.address, target, context)
                            : ReadConfig(registers, c.address, target, context);
    EXPECT_FALSE(ok);
    EXPECT_EQ(lastResult, Result::ParameterError);
    EXPECT_EQ(busyAtRefresh.size(), 1u);
    EXPECT_FALSE(isBusy);
    EXPECT_EQ(posOffset, 7);
    EXPECT_EQ(record, WriteRecord());
    EXPECT_TRUE(pty.Read(30).empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedTransfers,
                         ::testing::Values(RefusedCase{"read_broadcast", false, 0, true},
                                           RefusedCase{"read_no_record", false, kSlave, false},
                                           RefusedCase{"write_broadcast", true, 0, true},
                                           RefusedCase{"write_no_record", true, kSlave, false}),
                         [](const auto &info) { return std::string(info.param.what); });

} // namespace

#endif // _WIN32

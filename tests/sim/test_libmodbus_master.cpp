// An independent master against the bus: libmodbus's RTU client reads and
// writes the registers over the pseudo-terminal and gets the values and
// exception codes a real slave gives. This is the proof that the bus speaks
// Modbus RTU and not just the dialect of our own engine.

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <cerrno>
#include <chrono>
#include <functional>
#include <thread>

#include "PtyPair.h"
#include "SimClient.h"
#include "VirtualBus.h"
#include "modbus/Registers.h"

using lumosim::BusOptions;
using lumosim::DeviceOptions;
using lumosim::VirtualBus;

namespace {

using SteadyClock = std::chrono::steady_clock;

// A libmodbus RTU client on `path`, 115200 8N1, with a short reply timeout.
class ModbusMaster {
public:
    explicit ModbusMaster(const std::string &path, int slave)
    {
        ctx_ = modbus_new_rtu(path.c_str(), 115200, 'N', 8, 1);
        if (!ctx_ || modbus_connect(ctx_) != 0)
            throw std::runtime_error("libmodbus cannot open " + path);
        modbus_set_response_timeout(ctx_, 0, 300000);
        modbus_set_slave(ctx_, slave);
    }
    ~ModbusMaster()
    {
        modbus_close(ctx_);
        modbus_free(ctx_);
    }
    modbus_t *operator*() const { return ctx_; }
    void Slave(int slave) const { modbus_set_slave(ctx_, slave); }

    // One holding or input register; -1 with errno set on failure.
    int Holding(int reg) const { return Read(modbus_read_registers, reg); }
    int Input(int reg) const { return Read(modbus_read_input_registers, reg); }

private:
    template <typename F> int Read(F read, int reg) const
    {
        uint16_t value = 0;
        return read(ctx_, reg, 1, &value) == 1 ? value : -1;
    }
    modbus_t *ctx_ = nullptr;
};

DeviceOptions Device(uint8_t address, uint16_t model)
{
    DeviceOptions d;
    d.address = address;
    d.model = model;
    return d;
}

struct LibmodbusTest : ::testing::Test {
    void StartBus(BusOptions options = {})
    {
        bus = std::make_unique<VirtualBus>(options);
        bus->AddDevice(Device(1, Model::LumoD));
        bus->AddDevice(Device(5, Model::LumoP));
        bus->AddDevice(Device(9, Model::LumoB));
        ASSERT_TRUE(bus->Start());
        master = std::make_unique<ModbusMaster>(bus->DevicePath(), 5);
    }
    void SetUp() override { StartBus(); }

    std::unique_ptr<VirtualBus> bus;
    std::unique_ptr<ModbusMaster> master;
};

TEST_F(LibmodbusTest, ReadsTheHoldingBlockWithItsDefaults)
{
    uint16_t block[Reg::BlockCount] = {};
    ASSERT_EQ(modbus_read_registers(**master, Reg::BlockStart, Reg::BlockCount, block), Reg::BlockCount)
        << modbus_strerror(errno);
    // CurrentPos MaxPos Rear Front CurrentLimit SpeedPwm ActionCmdIn GoToPos SettingFlag VoltageOut PosOffset KeyInLock HallPot Baud
    const uint16_t expected[Reg::BlockCount] = {500, 1000, 0, 1000, 5000, 100, 0, 0, 3, 4095, 0, 0, 0, 0};
    for (int i = 0; i < Reg::BlockCount; ++i)
        EXPECT_EQ(block[i], expected[i]) << "register 0x" << std::hex << Reg::BlockStart + i;
    EXPECT_EQ(master->Holding(Reg::Address), 5);
    EXPECT_EQ(master->Holding(Reg::Name), 0x5A05);
}

TEST_F(LibmodbusTest, ReadsTheInputRegisters)
{
    uint16_t words[8] = {};
    ASSERT_EQ(modbus_read_input_registers(**master, Reg::FirstInput, 8, words), 8) << modbus_strerror(errno);
    const uint16_t expected[8] = {0, 0, 0, 0, 0, 0, 0x0102, Model::LumoP};
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(words[i], expected[i]) << "input register 0x" << std::hex << Reg::FirstInput + i;
    master->Slave(9);
    EXPECT_EQ(master->Input(Reg::Model), Model::LumoB);
}

TEST_F(LibmodbusTest, WritesSingleAndMultipleRegisters)
{
    ASSERT_EQ(modbus_write_register(**master, Reg::SpeedPwm, 60), 1) << modbus_strerror(errno);
    EXPECT_EQ(bus->Holding(5, Reg::SpeedPwm), 60);
    const uint16_t limits[] = {100, 900};
    ASSERT_EQ(modbus_write_registers(**master, Reg::RearLimit, 2, limits), 2) << modbus_strerror(errno);
    EXPECT_EQ(master->Holding(Reg::RearLimit), 100);
    EXPECT_EQ(master->Holding(Reg::FrontLimit), 900);
}

TEST_F(LibmodbusTest, GetsTheExceptionCodesOfARealSlave)
{
    uint8_t bits[8];
    uint16_t words[4];
    errno = 0;
    EXPECT_EQ(modbus_read_bits(**master, 0x000F, 1, bits), -1);
    EXPECT_EQ(errno, EMBXILFUN) << "function 0x01: " << modbus_strerror(errno);
    EXPECT_EQ(modbus_read_registers(**master, 0x2000, 1, words), -1);
    EXPECT_EQ(errno, EMBXILADD) << "register 0x2000: " << modbus_strerror(errno);
    EXPECT_EQ(modbus_read_input_registers(**master, 0x0021, 1, words), -1);
    EXPECT_EQ(errno, EMBXILADD) << "input register 0x0021: " << modbus_strerror(errno);
    EXPECT_EQ(modbus_write_register(**master, Reg::ActionCmdIn, 7), -1);
    EXPECT_EQ(errno, EMBXILVAL) << "command 7: " << modbus_strerror(errno);
    EXPECT_EQ(modbus_write_register(**master, Reg::Address, 0), -1);
    EXPECT_EQ(errno, EMBXILVAL) << "address 0: " << modbus_strerror(errno);
    EXPECT_EQ(modbus_write_register(**master, Reg::Address, 248), -1);
    EXPECT_EQ(errno, EMBXILVAL) << "address 248: " << modbus_strerror(errno);
}

TEST_F(LibmodbusTest, AReadOfMoreThan125RegistersIsRefusedWithCode3)
{
    // libmodbus will not ask for 126 itself; the raw request goes out as given.
    const uint8_t request[] = {5, 0x03, 0x00, 0x0F, 0x00, 126};
    ASSERT_GT(modbus_send_raw_request(**master, request, sizeof request), 0);
    uint8_t reply[MODBUS_RTU_MAX_ADU_LENGTH];
    ASSERT_EQ(modbus_receive_confirmation(**master, reply), 5);
    EXPECT_EQ(reply[1], 0x83);
    EXPECT_EQ(reply[2], 0x03);
}

TEST_F(LibmodbusTest, AnAbsentSlaveTimesOut)
{
    master->Slave(7);
    errno = 0;
    EXPECT_EQ(master->Holding(Reg::MaxPos), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST_F(LibmodbusTest, ABroadcastWriteReachesEveryDeviceWithoutAReply)
{
    master->Slave(MODBUS_BROADCAST_ADDRESS);
    modbus_write_register(**master, Reg::SpeedPwm, 33); // libmodbus may wait out its timeout: nobody answers
    ASSERT_TRUE(bus->WaitForFrames(1, 1000));
    for (uint8_t address : {1, 5, 9})
        EXPECT_EQ(bus->Holding(address, Reg::SpeedPwm), 33);
    for (const auto &frame : bus->FrameLog())
        EXPECT_TRUE(frame.fromMaster) << "a reply went out to a broadcast";
}

// libmodbus's own calls for functions the actuators do not implement: it
// builds each request and reads the exception reply itself.
TEST_F(LibmodbusTest, ItsCallsForUnimplementedFunctionsGetIllegalFunction)
{
    uint8_t bits[8] = {};
    uint16_t registers[2] = {};
    struct { const char *name; std::function<int(modbus_t *)> call; } cases[] = {
        {"read coils 0x01", [&](modbus_t *c) { return modbus_read_bits(c, 0, 1, bits); }},
        {"read discrete inputs 0x02", [&](modbus_t *c) { return modbus_read_input_bits(c, 0, 1, bits); }},
        {"write single coil 0x05", [](modbus_t *c) { return modbus_write_bit(c, 0, 1); }},
        {"write multiple coils 0x0F", [&](modbus_t *c) { return modbus_write_bits(c, 0, 3, bits); }},
        {"report slave ID 0x11", [&](modbus_t *c) { return modbus_report_slave_id(c, sizeof bits, bits); }},
        {"mask write register 0x16", [](modbus_t *c) { return modbus_mask_write_register(c, Reg::SpeedPwm, 0xFF, 0); }},
        {"write and read registers 0x17", [&](modbus_t *c) {
             return modbus_write_and_read_registers(c, Reg::SpeedPwm, 1, registers, Reg::SpeedPwm, 1, registers);
         }},
    };
    for (const auto &c : cases) {
        errno = 0;
        EXPECT_EQ(c.call(**master), -1) << c.name;
        EXPECT_EQ(errno, EMBXILFUN) << c.name << ": " << modbus_strerror(errno);
    }
}

// Requests libmodbus has no call for, sent raw (it adds the CRC): whatever
// their length, the silence after them ends them, and the reply is read by
// libmodbus's own receiver.
TEST_F(LibmodbusTest, RawRequestsOfUnimplementedFunctionsGetIllegalFunctionFromTheirSlaveOnly)
{
    const Bytes pdus[] = {
        {0x07},                                                 // read exception status
        {0x18, 0x04, 0xDE},                                     // read FIFO queue
        {0x2B, 0x0E, 0x01, 0x00},                               // read device identification
        {0x14, 0x07, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02}, // read file record
        {0x41, 0x01, 0x02, 0x03},                               // user-defined
    };
    auto send = [&](uint8_t slave, const Bytes &pdu) {
        master->Slave(slave);
        Bytes raw{slave};
        raw.insert(raw.end(), pdu.begin(), pdu.end());
        return modbus_send_raw_request(**master, raw.data(), static_cast<int>(raw.size()));
    };
    uint8_t reply[MODBUS_RTU_MAX_ADU_LENGTH];
    for (const Bytes &pdu : pdus) {
        const uint8_t function = pdu[0];
        ASSERT_EQ(send(5, pdu), static_cast<int>(pdu.size() + 3)) << modbus_strerror(errno);
        ASSERT_EQ(modbus_receive_confirmation(**master, reply), 5)
            << "function " << std::hex << int(function) << ": " << modbus_strerror(errno);
        EXPECT_EQ(Bytes(reply, reply + 3), (Bytes{0x05, static_cast<uint8_t>(function | 0x80), 0x01}));
        // To everyone, or to an address where no device sits: no answer at all.
        for (uint8_t slave : {uint8_t{MODBUS_BROADCAST_ADDRESS}, uint8_t{10}}) {
            ASSERT_GT(send(slave, pdu), 0);
            EXPECT_EQ(modbus_receive_confirmation(**master, reply), -1) << "slave " << int(slave);
            EXPECT_EQ(errno, ETIMEDOUT);
        }
    }
}

TEST_F(LibmodbusTest, AnAddressChangeIsAcknowledgedFromTheOldAddress)
{
    // libmodbus checks that the echo comes from the slave it asked: 5
    ASSERT_EQ(modbus_write_register(**master, Reg::Address, 12), 1) << modbus_strerror(errno);
    EXPECT_EQ(master->Holding(Reg::Name), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    master->Slave(12);
    EXPECT_EQ(master->Holding(Reg::Name), 0x5A05);
}

TEST_F(LibmodbusTest, ACorruptedReplyIsRejectedByTheMaster)
{
    lumosim::Faults faults;
    faults.corruptCrcEveryN = 1;
    bus->SetFaults(5, faults);
    errno = 0;
    EXPECT_EQ(master->Holding(Reg::MaxPos), -1);
    EXPECT_EQ(errno, EMBBADCRC);
}

// Motion in real time, shortened by the time scale: the master sees the
// motor run, stop at the limit, reach a go-to target and learn its stroke.
struct LibmodbusMotionTest : LibmodbusTest {
    static constexpr double Scale = 10; // a full stroke in 500 ms, learning in 300 ms
    void SetUp() override
    {
        BusOptions options;
        options.timeScale = Scale;
        StartBus(options);
    }
    // Polls MotorStatus until the motor stands.
    void WaitForStop(int timeoutMs = 3000)
    {
        const auto start = SteadyClock::now();
        uint16_t status[2] = {1, 0};
        while (SteadyClock::now() - start < std::chrono::milliseconds(timeoutMs)) {
            if (modbus_read_input_registers(**master, Reg::MotorStatus, 2, status) == 2 && status[0] == 0)
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_EQ(status[0], Motion::Stopped);
    }
};

TEST_F(LibmodbusMotionTest, RunsUpInRealTimeAndStopsAtTheFrontLimit)
{
    const auto start = SteadyClock::now();
    ASSERT_EQ(modbus_write_register(**master, Reg::ActionCmdIn, Cmd::Up), 1);
    uint16_t status[2] = {};
    ASSERT_EQ(modbus_read_input_registers(**master, Reg::MotorStatus, 2, status), 2);
    EXPECT_EQ(status[0], Motion::MovingUp);
    EXPECT_GT(master->Input(Reg::MotorCurrent), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    const int midway = master->Holding(Reg::CurrentPos);
    EXPECT_GT(midway, 500);
    EXPECT_LT(midway, 1000);
    // 500 steps of 1000 at full speed take 2500 ms, 250 ms at scale 10: never less
    WaitForStop();
    EXPECT_GE(SteadyClock::now() - start, std::chrono::milliseconds(245));
    EXPECT_EQ(master->Holding(Reg::CurrentPos), 1000);
    EXPECT_EQ(master->Input(Reg::MotorCurrent), 0);
}

TEST_F(LibmodbusMotionTest, GoesToATargetAndSetsPositionOk)
{
    ASSERT_EQ(modbus_write_register(**master, Reg::GoToPos, 200), 1);
    ASSERT_EQ(modbus_write_register(**master, Reg::ActionCmdIn, Cmd::GoToPos), 1);
    EXPECT_EQ(master->Input(Reg::MotorStatus), Motion::MovingDown);
    WaitForStop();
    EXPECT_EQ(master->Holding(Reg::CurrentPos), 200);
    EXPECT_EQ(master->Input(Reg::MotorStatus + 1), Flag::PositionOk);
}

TEST_F(LibmodbusMotionTest, StopCommandHaltsTheMotor)
{
    ASSERT_EQ(modbus_write_register(**master, Reg::ActionCmdIn, Cmd::Down), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_EQ(modbus_write_register(**master, Reg::ActionCmdIn, Cmd::Stop), 1);
    const int stoppedAt = master->Holding(Reg::CurrentPos);
    EXPECT_LT(stoppedAt, 500);
    EXPECT_GT(stoppedAt, 0);
    EXPECT_EQ(master->Input(Reg::MotorStatus), Motion::Stopped);
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(master->Holding(Reg::CurrentPos), stoppedAt);
}

TEST_F(LibmodbusMotionTest, LearnsAStrokeWhileShowingTheLearningFlag)
{
    ASSERT_EQ(modbus_write_register(**master, Reg::MaxPos, 2000), 1);
    ASSERT_EQ(modbus_write_register(**master, Reg::ActionCmdIn, Cmd::Stop), 1);
    const auto start = SteadyClock::now();
    ASSERT_EQ(modbus_write_register(**master, Reg::ActionCmdIn, Cmd::Learn), 1);
    EXPECT_EQ(master->Input(Reg::MotorStatus + 1), Flag::Learning);
    EXPECT_NE(master->Input(Reg::MotorStatus), Motion::Stopped);
    int flags = Flag::Learning;
    while (flags == Flag::Learning && SteadyClock::now() - start < std::chrono::seconds(3)) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        flags = master->Input(Reg::MotorStatus + 1);
    }
    // 3000 ms at scale 10: never less
    EXPECT_EQ(flags, 0);
    EXPECT_GE(SteadyClock::now() - start, std::chrono::milliseconds(295));
    EXPECT_EQ(master->Holding(Reg::MaxPos), 980);
    EXPECT_EQ(master->Holding(Reg::RearLimit), 0);
    EXPECT_EQ(master->Holding(Reg::FrontLimit), 980);
    EXPECT_EQ(master->Input(Reg::MotorStatus), Motion::Stopped);
}

TEST(BusSpeedTest, TheSpeedFollowsSpeedPwmInRealTime)
{
    // At scale 1: 1000 steps in 5000 ms at 100 %, i.e. 0.2 steps per ms, 0.1 at 50 %.
    // The elapsed time is bracketed by clock readings around the calls, so a
    // slow machine widens the bounds instead of failing the test.
    for (uint16_t speed : {100, 50}) {
        VirtualBus bus;
        bus.AddDevice(Device(5, Model::LumoP));
        bus.SetHolding(5, Reg::SpeedPwm, speed);
        const auto before = SteadyClock::now();
        bus.SetHolding(5, Reg::ActionCmdIn, Cmd::Up);
        const auto after = SteadyClock::now();
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        const auto readFrom = SteadyClock::now();
        const int moved = bus.Holding(5, Reg::CurrentPos) - 500;
        const auto readTo = SteadyClock::now();
        const double rate = 0.2 * speed / 100;
        const double shortest = std::chrono::duration<double, std::milli>(readFrom - after).count();
        const double longest = std::chrono::duration<double, std::milli>(readTo - before).count();
        EXPECT_GE(moved, static_cast<int>(rate * shortest) - 1) << "speed " << speed;
        EXPECT_LE(moved, static_cast<int>(rate * longest) + 1) << "speed " << speed;
    }
}

} // namespace

// The bus over a real pseudo-terminal, byte by byte: the frames a master
// sees, silence where a real bus is silent, faults on demand, the frame log,
// the link and the unplugged adapter.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <regex>
#include <string>

#include "PtyPair.h"
#include "SimClient.h"
#include "VirtualBus.h"
#include "modbus/Registers.h"

using lumosim::BusOptions;
using lumosim::DeviceOptions;
using lumosim::Faults;
using lumosim::VirtualBus;

namespace {

// How long the tests listen to be sure that nothing comes: the bus answers
// within a millisecond, so a tenth of a second is plenty.
constexpr int SilenceMs = 100;

DeviceOptions Device(uint8_t address, uint16_t model)
{
    DeviceOptions d;
    d.address = address;
    d.model = model;
    return d;
}

std::string TempPath(const std::string &name)
{
    return ::testing::TempDir() + "lumo-sim-" + std::to_string(::getpid()) + "-" + name;
}

// The demo bus: LUMO-D at 1, LUMO-P at 5, LUMO-B at 9.
struct BusTest : ::testing::Test {
    explicit BusTest(BusOptions options = {}) : bus(options) {}
    void SetUp() override
    {
        ASSERT_TRUE(bus.AddDevice(Device(1, Model::LumoD)));
        ASSERT_TRUE(bus.AddDevice(Device(5, Model::LumoP)));
        ASSERT_TRUE(bus.AddDevice(Device(9, Model::LumoB)));
        ASSERT_TRUE(bus.Start());
        line = std::make_unique<LineClient>(bus.DevicePath());
    }
    size_t RepliesLogged() const
    {
        size_t n = 0;
        for (const auto &f : bus.FrameLog())
            n += f.fromMaster ? 0 : 1;
        return n;
    }

    VirtualBus bus;
    std::unique_ptr<LineClient> line;
};

TEST_F(BusTest, AnswersTheWorkedFramesByteForByte)
{
    // ReadMaxPos at 5: 05 03 00 20 00 01 84 44 → 1000 = 0x03E8
    line->SendRaw({0x05, 0x03, 0x00, 0x20, 0x00, 0x01, 0x84, 0x44});
    EXPECT_EQ(line->Receive(), WithCrc({0x05, 0x03, 0x02, 0x03, 0xE8}));
    // ReadMotorStatus at 5: 05 04 00 3F 00 02 40 43 → stopped, no flags
    line->SendRaw({0x05, 0x04, 0x00, 0x3F, 0x00, 0x02, 0x40, 0x43});
    EXPECT_EQ(line->Receive(), WithCrc({0x05, 0x04, 0x04, 0x00, 0x00, 0x00, 0x00}));
    // WriteActionCmdIn 3 at 5: the same eight bytes come back
    const Bytes stop{0x05, 0x06, 0x00, 0x25, 0x00, 0x03, 0xD9, 0x84};
    line->SendRaw(stop);
    EXPECT_EQ(line->Receive(), stop);
    // a read of holding register 0x001F at 10 is 0A 03 00 1F 00 01 B4 B7: nobody is there
    line->SendRaw({0x0A, 0x03, 0x00, 0x1F, 0x00, 0x01, 0xB4, 0xB7});
    EXPECT_EQ(line->Receive(SilenceMs), Bytes{});
}

TEST_F(BusTest, EachDeviceAnswersWithItsOwnIdentity)
{
    struct { uint8_t address; uint16_t model; uint16_t name; } expected[] = {
        {1, Model::LumoD, 0x5A01}, {5, Model::LumoP, 0x5A05}, {9, Model::LumoB, 0x5A09}};
    for (auto [address, model, name] : expected) {
        EXPECT_EQ(line->Transact(Request(address, 0x04, Reg::FwVersion, 2)),
                  WithCrc({address, 0x04, 0x04, 0x01, 0x02, 0x00, static_cast<uint8_t>(model)}));
        EXPECT_EQ(line->Transact(Request(address, 0x03, Reg::Name, 1)),
                  WithCrc({address, 0x03, 0x02, static_cast<uint8_t>(name >> 8), static_cast<uint8_t>(name)}));
    }
}

TEST_F(BusTest, ExceptionRepliesCarryTheirCodeAndAGoodCrc)
{
    struct { Bytes request; uint8_t function; uint8_t code; } cases[] = {
        {Request(5, 0x01, 0x000F, 1), 0x81, 0x01},
        {Request(5, 0x03, 0x2000, 1), 0x83, 0x02},
        {Request(5, 0x04, 0x0021, 1), 0x84, 0x02},
        {Request(5, 0x03, 0x000F, 126), 0x83, 0x03},
        {Request(5, 0x06, Reg::ActionCmdIn, 7), 0x86, 0x03},
        {Request(5, 0x06, Reg::Address, 248), 0x86, 0x03},
    };
    for (const auto &c : cases)
        EXPECT_EQ(line->Transact(c.request), WithCrc({0x05, c.function, c.code}));
}

// Functions the actuators do not implement, each as its request PDU (function
// code first). Some have a length fixed by the function code, the others end
// with the silence after them; either way a real slave answers exception 01.
const Bytes UnimplementedFunctions[] = {
    {0x01, 0x00, 0x0F, 0x00, 0x01},                         // read coils
    {0x05, 0x00, 0x0F, 0xFF, 0x00},                         // write single coil
    {0x08, 0x00, 0x00, 0x12, 0x34},                         // diagnostics, echo
    {0x0F, 0x00, 0x00, 0x00, 0x03, 0x01, 0x05},             // write multiple coils
    {0x07},                                                 // read exception status
    {0x11},                                                 // report slave ID
    {0x18, 0x04, 0xDE},                                     // read FIFO queue
    {0x2B, 0x0E, 0x01, 0x00},                               // read device identification
    {0x14, 0x07, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02}, // read file record
    {0x41, 0x01, 0x02, 0x03},                               // user-defined
};

Bytes Addressed(uint8_t address, const Bytes &pdu)
{
    Bytes frame{address};
    frame.insert(frame.end(), pdu.begin(), pdu.end());
    return frame;
}

TEST_F(BusTest, AnUnimplementedFunctionGetsIllegalFunction)
{
    for (const Bytes &pdu : UnimplementedFunctions) {
        const uint8_t function = pdu[0];
        EXPECT_EQ(line->Transact(Addressed(5, pdu)), WithCrc({0x05, static_cast<uint8_t>(function | 0x80), 0x01}))
            << "function " << std::hex << int(function);
    }
    // 01 2B 0E 01 00 70 77 as it goes on the line, after a stray byte
    line->SendRaw({0xFF, 0x01, 0x2B, 0x0E, 0x01, 0x00, 0x70, 0x77});
    EXPECT_EQ(line->Receive(), WithCrc({0x01, 0xAB, 0x01}));
}

TEST(BusLogFileTest, AnUnimplementedFunctionToEveryoneOrToNobodyIsHeardButNotAnswered)
{
    BusOptions options;
    options.logPath = TempPath("unanswered.log");
    size_t sent = 0;
    {
        VirtualBus bus(options);
        bus.AddDevice(Device(5, Model::LumoP));
        ASSERT_TRUE(bus.Start());
        LineClient line(bus.DevicePath());
        for (const Bytes &pdu : UnimplementedFunctions) {
            for (uint8_t address : {uint8_t{0}, uint8_t{10}}) {
                line.Send(Addressed(address, pdu));
                ::usleep(20 * 1000); // the silence that ends the request
                ++sent;
            }
        }
        ASSERT_TRUE(bus.WaitForFrames(sent, 1000));
        const Bytes heard = line.Receive(SilenceMs);
        EXPECT_EQ(heard, Bytes{});
    }
    // Each one was taken as a request, not dropped as bytes without a frame.
    std::ifstream file(options.logPath);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    auto count = [&](const std::string &note) {
        size_t n = 0;
        for (size_t at = text.find(note); at != std::string::npos; at = text.find(note, at + 1))
            ++n;
        return n;
    };
    EXPECT_EQ(count("; broadcast\n"), sent / 2) << text;
    EXPECT_EQ(count("; no device at this address\n"), sent / 2) << text;
    EXPECT_FALSE(std::regex_search(text, std::regex("S>M [0-9A-F]{2}"))) << text;
    ::unlink(options.logPath.c_str());
}

TEST_F(BusTest, MultipleWritesAreAnsweredWithAddressAndCount)
{
    EXPECT_EQ(line->Transact(WriteMultiple(9, Reg::RearLimit, {50, 950})),
              WithCrc({0x09, 0x10, 0x00, 0x21, 0x00, 0x02}));
    EXPECT_EQ(bus.Holding(9, Reg::RearLimit), 50);
    EXPECT_EQ(bus.Holding(9, Reg::FrontLimit), 950);
    // the largest write, 123 registers, is a 255-byte frame: refused for the map, not for its size
    EXPECT_EQ(line->Transact(WriteMultiple(9, Reg::FirstHolding, std::vector<uint16_t>(123, 1))),
              WithCrc({0x09, 0x90, 0x02}));
}

TEST_F(BusTest, AFrameWithABadCrcIsIgnored)
{
    Bytes bad = WithCrc(Request(5, 0x06, Reg::SpeedPwm, 20));
    bad[7] ^= 0x01;
    line->SendRaw(bad);
    EXPECT_EQ(line->Receive(SilenceMs), Bytes{});
    EXPECT_EQ(bus.Holding(5, Reg::SpeedPwm), 100);
    EXPECT_EQ(line->Transact(Request(5, 0x03, Reg::SpeedPwm, 1)), WithCrc({5, 0x03, 0x02, 0x00, 0x64}));
}

TEST_F(BusTest, AStrayByteBeforeAFrameDoesNotWedgeTheBus)
{
    // stray and frame together: the stray byte is dropped, the frame answered
    Bytes noisy{0xFF};
    const Bytes read = WithCrc(Request(5, 0x03, Reg::CurrentPos, 1));
    noisy.insert(noisy.end(), read.begin(), read.end());
    line->SendRaw(noisy);
    EXPECT_EQ(line->Receive(), WithCrc({5, 0x03, 0x02, 0x01, 0xF4}));
    // a stray byte followed by a silent gap
    line->SendRaw({0x42});
    ::usleep(30 * 1000);
    EXPECT_EQ(line->Transact(Request(1, 0x03, Reg::CurrentPos, 1)), WithCrc({1, 0x03, 0x02, 0x01, 0xF4}));
    // half a frame, then silence
    line->SendRaw({0x05, 0x03, 0x00});
    ::usleep(30 * 1000);
    EXPECT_EQ(line->Transact(Request(9, 0x03, Reg::CurrentPos, 1)), WithCrc({9, 0x03, 0x02, 0x01, 0xF4}));
    // half a frame that nothing follows is dropped at the gap and logged as such
    line->SendRaw({0x05, 0x03, 0x00});
    ASSERT_TRUE(bus.WaitForFrames(7, 1000));
    const auto log = bus.FrameLog();
    EXPECT_TRUE(log.back().fromMaster);
    EXPECT_EQ(log.back().bytes, (Bytes{0x05, 0x03, 0x00}));
}

TEST_F(BusTest, ABroadcastActsOnEveryDeviceAndNoneReplies)
{
    // WriteActionCmdIn 3 as a broadcast: 00 06 00 25 00 03 D9 D1
    line->SendRaw({0x00, 0x06, 0x00, 0x25, 0x00, 0x03, 0xD9, 0xD1});
    EXPECT_EQ(line->Receive(SilenceMs), Bytes{});
    line->Send(Request(0, 0x06, Reg::SpeedPwm, 40));
    line->Send(WriteMultiple(0, Reg::HallPotSelect, {1, 3}));
    ASSERT_TRUE(bus.WaitForFrames(3, 1000));
    EXPECT_EQ(line->Receive(SilenceMs), Bytes{});
    for (uint8_t address : {1, 5, 9}) {
        EXPECT_EQ(bus.Holding(address, Reg::ActionCmdIn), Cmd::Stop);
        EXPECT_EQ(bus.Holding(address, Reg::SpeedPwm), 40);
        EXPECT_EQ(bus.Holding(address, Reg::HallPotSelect), 1);
        EXPECT_EQ(bus.Holding(address, Reg::BaudRate), 3);
    }
    // a read to everyone has no one to answer it
    line->Send(Request(0, 0x03, Reg::CurrentPos, 1));
    EXPECT_EQ(line->Receive(SilenceMs), Bytes{});
    EXPECT_EQ(RepliesLogged(), 0u);
}

TEST_F(BusTest, AnAddressChangeIsEchoedFromTheOldAddressThenOnlyTheNewOneAnswers)
{
    // WriteAddress from 5 to 12
    EXPECT_EQ(line->Transact(Request(5, 0x06, Reg::Address, 12)), WithCrc({0x05, 0x06, 0x00, 0x0F, 0x00, 0x0C}));
    EXPECT_EQ(line->Transact(Request(5, 0x04, Reg::MotorStatus, 2), SilenceMs), Bytes{});
    EXPECT_EQ(line->Transact(Request(12, 0x04, Reg::Model, 1)), WithCrc({0x0C, 0x04, 0x02, 0x00, 0x01}));
    EXPECT_FALSE(bus.HasDevice(5));
    EXPECT_TRUE(bus.HasDevice(12));
    EXPECT_EQ(bus.Holding(12, Reg::Name), 0x5A05) << "the same device, found at its new address";
    EXPECT_EQ(bus.Holding(12, Reg::Address), 12);
}

TEST_F(BusTest, ASilentDeviceNeitherActsNorAnswers)
{
    Faults silent;
    silent.silent = true;
    bus.SetFaults(5, silent);
    EXPECT_EQ(line->Transact(Request(5, 0x06, Reg::SpeedPwm, 30), SilenceMs), Bytes{});
    EXPECT_EQ(bus.Holding(5, Reg::SpeedPwm), 100);
    EXPECT_EQ(line->Transact(Request(1, 0x03, Reg::SpeedPwm, 1)), WithCrc({1, 0x03, 0x02, 0x00, 0x64}));
    bus.SetFaults(5, Faults{});
    EXPECT_EQ(line->Transact(Request(5, 0x03, Reg::SpeedPwm, 1)), WithCrc({5, 0x03, 0x02, 0x00, 0x64}));
}

TEST_F(BusTest, ADelayedDeviceAnswersLate)
{
    Faults slow;
    slow.replyDelayMs = 80;
    bus.SetFaults(9, slow);
    const auto sent = std::chrono::steady_clock::now();
    line->Send(Request(9, 0x03, Reg::MaxPos, 1));
    EXPECT_EQ(line->Receive(40, 5), Bytes{}) << "nothing within the first 40 ms";
    EXPECT_EQ(line->Receive(500), WithCrc({9, 0x03, 0x02, 0x03, 0xE8}));
    EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(80));
    const auto log = bus.FrameLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_GE(log[1].ms - log[0].ms, 79u) << "the log shows the delay on the wire";
}

TEST_F(BusTest, EveryNthReplyCarriesAWrongCrc)
{
    Faults faults;
    faults.corruptCrcEveryN = 3;
    bus.SetFaults(1, faults);
    for (int i = 1; i <= 6; ++i) {
        const Bytes reply = line->Transact(Request(1, 0x03, Reg::CurrentPos, 1));
        ASSERT_EQ(reply.size(), 7u);
        EXPECT_EQ(Rtu::CrcMatches(reply.data(), reply.size()), i % 3 != 0) << "reply " << i;
        EXPECT_EQ(Bytes(reply.begin(), reply.end() - 2), (Bytes{1, 0x03, 0x02, 0x01, 0xF4}));
    }
}

TEST_F(BusTest, AStrayByteGoesOutBeforeEveryReplyWhenAsked)
{
    Faults faults;
    faults.strayByteBeforeReply = true;
    bus.SetFaults(5, faults);
    Bytes expected{0xFF};
    const Bytes reply = WithCrc({5, 0x03, 0x02, 0x03, 0xE8});
    expected.insert(expected.end(), reply.begin(), reply.end());
    EXPECT_EQ(line->Transact(Request(5, 0x03, Reg::MaxPos, 1)), expected);
}

// The garbage fault: as many bytes as the reply, none of them a frame a
// master could take for one (the first is no slave address).
TEST_F(BusTest, GarbageRepliesFormNoFrame)
{
    Faults faults;
    faults.garbageReplies = true;
    bus.SetFaults(5, faults);
    for (int i = 0; i < 5; ++i) {
        const Bytes reply = line->Transact(Request(5, 0x03, Reg::MaxPos, 1));
        ASSERT_EQ(reply.size(), 7u);
        EXPECT_GE(reply[0], 0xF8);
        EXPECT_FALSE(Rtu::CrcMatches(reply.data() + 1, reply.size() - 1) && reply[1] == 5);
    }
}

TEST_F(BusTest, FlagFaultsAndAnExceptionRegisterShowOnTheWire)
{
    Faults faults;
    faults.hallError = true;
    faults.overCurrent = true;
    faults.exceptionRegister = Reg::CurrentLimit;
    bus.SetFaults(9, faults);
    EXPECT_EQ(line->Transact(Request(9, 0x04, Reg::MotorStatus, 2)), WithCrc({9, 0x04, 0x04, 0, 0, 0, 0x30}));
    EXPECT_EQ(line->Transact(Request(9, 0x03, Reg::BlockStart, Reg::BlockCount)), WithCrc({9, 0x83, 0x04}));
    EXPECT_EQ(line->Transact(Request(9, 0x06, Reg::CurrentLimit, 3000)), WithCrc({9, 0x86, 0x04}));
    EXPECT_EQ(line->Transact(Request(9, 0x03, Reg::MaxPos, 1)), WithCrc({9, 0x03, 0x02, 0x03, 0xE8}));
}

TEST(BusSeedTest, ProbabilisticFaultsRepeatForTheSameSeed)
{
    auto pattern = [](uint32_t seed) {
        BusOptions options;
        options.seed = seed;
        VirtualBus bus(options);
        DeviceOptions device = Device(3, Model::LumoB);
        device.faults.corruptCrcProbability = 0.5;
        bus.AddDevice(device);
        EXPECT_TRUE(bus.Start());
        LineClient line(bus.DevicePath());
        std::string bad;
        for (int i = 0; i < 24; ++i) {
            const Bytes reply = line.Transact(Request(3, 0x03, Reg::MaxPos, 1));
            bad += reply.size() == 7 && Rtu::CrcMatches(reply.data(), 7) ? '.' : 'x';
        }
        return bad;
    };
    const std::string first = pattern(7);
    EXPECT_EQ(pattern(7), first);
    EXPECT_NE(first.find('x'), std::string::npos) << first;
    EXPECT_NE(first.find('.'), std::string::npos) << first;
    EXPECT_NE(pattern(8), first);
}

TEST(BusSeedTest, ASilentProbabilityOfOneHearsNothing)
{
    VirtualBus bus;
    DeviceOptions device = Device(3, Model::LumoB);
    device.faults.silentProbability = 1.0;
    bus.AddDevice(device);
    ASSERT_TRUE(bus.Start());
    LineClient line(bus.DevicePath());
    EXPECT_EQ(line.Transact(Request(3, 0x06, Reg::SpeedPwm, 10), SilenceMs), Bytes{});
    EXPECT_EQ(bus.Holding(3, Reg::SpeedPwm), 100);
}

TEST_F(BusTest, TheFrameLogHoldsBothDirectionsInOrder)
{
    line->Transact(Request(5, 0x03, Reg::MaxPos, 1));
    line->Transact(Request(7, 0x03, Reg::MaxPos, 1), SilenceMs);
    ASSERT_TRUE(bus.WaitForFrames(2, 1000));
    const auto log = bus.FrameLog();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_TRUE(log[0].fromMaster);
    EXPECT_EQ(log[0].bytes, WithCrc(Request(5, 0x03, Reg::MaxPos, 1)));
    EXPECT_FALSE(log[1].fromMaster);
    EXPECT_EQ(log[1].bytes, WithCrc({5, 0x03, 0x02, 0x03, 0xE8}));
    EXPECT_TRUE(log[2].fromMaster);
    EXPECT_LE(log[0].ms, log[1].ms);
    EXPECT_LE(log[1].ms, log[2].ms);
    EXPECT_FALSE(bus.WaitForFrames(3, 50));
    bus.ClearFrameLog();
    EXPECT_TRUE(bus.FrameLog().empty());
    line->Transact(Request(1, 0x03, Reg::MaxPos, 1));
    EXPECT_TRUE(bus.WaitForFrames(1, 1000));
}

TEST(BusLogFileTest, WritesEveryFrameWithATimestampAndDirection)
{
    BusOptions options;
    options.logPath = TempPath("frames.log");
    {
        VirtualBus bus(options);
        bus.AddDevice(Device(5, Model::LumoP));
        ASSERT_TRUE(bus.Start());
        LineClient line(bus.DevicePath());
        line.Transact(Request(5, 0x03, Reg::MaxPos, 1));
        line.SendRaw({0x05, 0x03, 0x00, 0x20, 0x00, 0x01, 0x84, 0x45});
        line.Receive(SilenceMs);
    }
    std::ifstream file(options.logPath);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n +\d+\.\d{3} +\d+\.\d{3} M>S 05 03 00 20 00 01 84 44\n)"))) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(\n +\d+\.\d{3} +\d+\.\d{3} S>M 05 03 02 03 E8 [0-9A-F]{2} [0-9A-F]{2}\n)")))
        << text;
    EXPECT_TRUE(std::regex_search(text, std::regex(R"(M>S 05 03 00 20 00 01 84 45   ; bad CRC, ignored\n)"))) << text;
    ::unlink(options.logPath.c_str());
}

TEST(BusLogFileTest, AnUnwritableLogFailsTheStart)
{
    BusOptions options;
    options.logPath = "/nonexistent-dir/frames.log";
    VirtualBus bus(options);
    EXPECT_FALSE(bus.Start());
    EXPECT_EQ(bus.DevicePath(), "");
}

// On the instant line a frame gap of 0 would end a frame after every byte,
// and the bus would hear no request: refused at the start.
TEST(BusOptionsTest, TheInstantLineRefusesAFrameGapOfZero)
{
    BusOptions options = lumosim::InstantLine();
    options.frameGapMs = 0;
    VirtualBus refused(options);
    EXPECT_FALSE(refused.Start());
    options.frameGapMs = 1;
    VirtualBus bus(options);
    ASSERT_TRUE(bus.AddDevice(Device(5, Model::LumoP)));
    ASSERT_TRUE(bus.Start());
    LineClient line(bus.DevicePath());
    EXPECT_EQ(line.Transact(Request(5, 0x03, Reg::MaxPos, 1)), WithCrc({5, 0x03, 0x02, 0x03, 0xE8}));
}

TEST_F(BusTest, UnplugHangsUpTheLine)
{
    bus.Unplug();
    pollfd p{line->fd(), POLLIN, 0};
    ASSERT_EQ(::poll(&p, 1, 500), 1);
    EXPECT_TRUE(p.revents & POLLHUP);
    const uint8_t byte = 0;
    errno = 0;
    EXPECT_EQ(::write(line->fd(), &byte, 1), -1);
    EXPECT_EQ(errno, EIO);
    bus.Stop();
}

TEST_F(BusTest, MakeLinkPointsAtTheDeviceAndStopRemovesIt)
{
    const std::string link = TempPath("bus-link");
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink("/dev/null", link.c_str()), 0); // an old link is replaced
    ASSERT_TRUE(bus.MakeLink(link));
    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), bus.DevicePath());
    {
        LineClient viaLink(link);
        EXPECT_EQ(viaLink.Transact(Request(5, 0x03, Reg::MaxPos, 1)), WithCrc({5, 0x03, 0x02, 0x03, 0xE8}));
    }
    bus.Stop();
    struct stat st {};
    EXPECT_NE(::lstat(link.c_str(), &st), 0);
}

TEST_F(BusTest, MakeLinkNeverReplacesAFile)
{
    const std::string file = TempPath("not-a-link");
    std::ofstream(file) << "keep me";
    EXPECT_FALSE(bus.MakeLink(file));
    std::ifstream in(file);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "keep me");
    ::unlink(file.c_str());
}

TEST(BusDevicesTest, AddDeviceRefusesBadAndTakenAddressesAndGivesDistinctIds)
{
    VirtualBus bus;
    EXPECT_FALSE(bus.AddDevice(Device(0, Model::LumoD)));
    EXPECT_FALSE(bus.AddDevice(Device(248, Model::LumoD)));
    EXPECT_TRUE(bus.AddDevice(Device(247, Model::LumoD)));
    EXPECT_FALSE(bus.AddDevice(Device(247, Model::LumoP)));
    DeviceOptions named = Device(2, Model::LumoP);
    named.name = 0x5A03; // the default ID of the next device
    named.firmware = 0x0203;
    EXPECT_TRUE(bus.AddDevice(named));
    EXPECT_TRUE(bus.AddDevice(Device(3, 0x0042)));
    EXPECT_EQ(bus.Holding(2, Reg::Name), 0x5A03);
    EXPECT_EQ(bus.Input(2, Reg::FwVersion), 0x0203);
    EXPECT_EQ(bus.Holding(3, Reg::Name), 0x5A04) << "moved on to stay distinct";
    EXPECT_EQ(bus.Input(3, Reg::Model), 0x0042);
    EXPECT_EQ(bus.Addresses(), (std::vector<uint8_t>{247, 2, 3}));
    EXPECT_EQ(bus.Holding(99, Reg::MaxPos), 0) << "no device there";
}

TEST_F(BusTest, ADeviceAddedWhileServingAnswersAtOnce)
{
    ASSERT_TRUE(bus.AddDevice(Device(100, Model::LumoB)));
    EXPECT_EQ(line->Transact(Request(100, 0x04, Reg::Model, 1)), WithCrc({100, 0x04, 0x02, 0x00, 0x02}));
}

TEST_F(BusTest, SetHoldingActsAsAWriteAndSetInputSetsRestingValues)
{
    bus.SetHolding(5, Reg::MaxPos, 1234);
    EXPECT_EQ(line->Transact(Request(5, 0x03, Reg::MaxPos, 1)), WithCrc({5, 0x03, 0x02, 0x04, 0xD2}));
    bus.SetInput(5, Reg::MotorStatus + 1, Flag::HallError);
    EXPECT_EQ(line->Transact(Request(5, 0x04, Reg::MotorStatus, 2)), WithCrc({5, 0x04, 0x04, 0, 0, 0, 0x10}));
    bus.SetHolding(5, Reg::Address, 6);
    EXPECT_TRUE(bus.HasDevice(6));
    bus.SetHolding(6, Reg::ActionCmdIn, 99); // refused as on the wire
    EXPECT_EQ(bus.Holding(6, Reg::ActionCmdIn), 0);
}

} // namespace

// The bus's truth: what each device really did, for checking a tool against
// it. It must list exactly the requests a device acted on (not those it
// missed or could not hear), follow motion as it starts and ends, and never
// change the bus by being read, in-process or through lumo-sim's socket.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <fstream>
#include <string>

#include "SimClient.h"
#include "VirtualBus.h"
#include "modbus/Registers.h"

using lumosim::BusOptions;
using lumosim::BusTruth;
using lumosim::DeviceOptions;
using lumosim::VirtualBus;

namespace {

DeviceOptions Device(uint8_t address, uint16_t model, bool silent = false)
{
    DeviceOptions d;
    d.address = address;
    d.model = model;
    d.faults.silent = silent;
    return d;
}

std::string TempPath(const std::string &name)
{
    return ::testing::TempDir() + "lumo-truth-" + std::to_string(::getpid()) + "-" + name;
}

const lumosim::DeviceTruth &At(const BusTruth &truth, uint8_t address)
{
    for (const auto &d : truth.devices)
        if (d.address == address)
            return d;
    throw std::runtime_error("no device at " + std::to_string(address));
}

// Whatever a Unix socket gives until it closes.
std::string ReadSocket(const std::string &path)
{
    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    std::string out;
    if (::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr) == 0) {
        char buf[4096];
        ssize_t n = 0;
        while ((n = ::read(fd, buf, sizeof buf)) > 0)
            out.append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    return out;
}

// Two devices on each kind of line; the second one hears nothing.
struct TruthTest : ::testing::TestWithParam<bool> {
    TruthTest() : bus(GetParam() ? lumosim::InstantLine() : BusOptions{}) {}
    void SetUp() override
    {
        ASSERT_TRUE(bus.AddDevice(Device(1, Model::LumoD)));
        ASSERT_TRUE(bus.AddDevice(Device(2, Model::LumoP, true)));
        ASSERT_TRUE(bus.Start());
        line = std::make_unique<LineClient>(bus.DevicePath());
    }
    VirtualBus bus;
    std::unique_ptr<LineClient> line;
};

} // namespace

TEST_P(TruthTest, ListsTheRequestsEachDeviceActedOnWithTheirReplies)
{
    ASSERT_FALSE(line->Transact(Request(1, Fc::ReadHolding, Reg::CurrentPos, 1)).empty());
    line->Transact(Request(2, Fc::ReadHolding, Reg::CurrentPos, 1), 200); // silent: acts on nothing
    ASSERT_FALSE(line->Transact(Request(1, Fc::WriteSingle, Reg::SpeedPwm, 40)).empty());

    const BusTruth truth = bus.Truth();
    ASSERT_EQ(truth.acted.size(), 2u);
    EXPECT_EQ(truth.acted[0].device, 0u);
    EXPECT_EQ(truth.acted[0].request, (std::vector<uint8_t>{0x03, 0x00, 0x1F, 0x00, 0x01}));
    EXPECT_EQ(truth.acted[0].reply, (std::vector<uint8_t>{0x03, 0x02, 0x01, 0xF4})); // position 500
    EXPECT_EQ(truth.acted[1].request, (std::vector<uint8_t>{0x06, 0x00, 0x24, 0x00, 40}));
    EXPECT_LT(truth.acted[0].seq, truth.acted[1].seq);
    EXPECT_LE(truth.acted[0].endMs, truth.acted[1].startMs);
    EXPECT_EQ(At(truth, 1).config[4], 40); // SpeedPwm
    EXPECT_EQ(At(truth, 1).model, Model::LumoD);
    EXPECT_EQ(At(truth, 1).baud, 115200u);
    EXPECT_EQ(At(truth, 2).motionStarts, 0u);
}

TEST_P(TruthTest, FollowsMotionFromItsStartToAStopOrItsEnd)
{
    EXPECT_EQ(At(bus.Truth(), 1).lastMotionStartMs, -1);
    ASSERT_FALSE(line->Transact(Request(1, Fc::WriteSingle, Reg::ActionCmdIn, Cmd::Up)).empty());
    BusTruth moving = bus.Truth();
    EXPECT_EQ(At(moving, 1).motion, Motion::MovingUp);
    EXPECT_EQ(At(moving, 1).motionStarts, 1u);
    EXPECT_GE(At(moving, 1).lastMotionStartMs, 0);
    EXPECT_LE(At(moving, 1).lastMotionStartMs, moving.nowMs);

    ASSERT_FALSE(line->Transact(Request(1, Fc::WriteSingle, Reg::ActionCmdIn, Cmd::Stop)).empty());
    const BusTruth stopped = bus.Truth();
    EXPECT_EQ(At(stopped, 1).motion, Motion::Stopped);
    EXPECT_GE(At(stopped, 1).lastMotionStopMs, At(stopped, 1).lastMotionStartMs);
    EXPECT_EQ(At(stopped, 1).motionStarts, 1u); // a stop is no start

    // A go-to a few steps away ends by itself, at the time it got there.
    ASSERT_FALSE(line->Transact(Request(1, Fc::WriteSingle, Reg::GoToPos, At(stopped, 1).position + 5)).empty());
    ASSERT_FALSE(line->Transact(Request(1, Fc::WriteSingle, Reg::ActionCmdIn, Cmd::GoToPos)).empty());
    ASSERT_TRUE(WaitUntil([&] { return At(bus.Truth(), 1).motion == Motion::Stopped; }, 2000));
    const BusTruth arrived = bus.Truth();
    EXPECT_EQ(At(arrived, 1).motionStarts, 2u);
    EXPECT_GT(At(arrived, 1).lastMotionStopMs, At(arrived, 1).lastMotionStartMs);
    EXPECT_LT(At(arrived, 1).lastMotionStopMs, arrived.nowMs);
}

TEST_P(TruthTest, ReadingItChangesNothingOnTheBus)
{
    ASSERT_FALSE(line->Transact(Request(1, Fc::ReadHolding, Reg::CurrentPos, 1)).empty());
    const size_t frames = bus.FrameLog().size();
    const BusTruth first = bus.Truth();
    for (int i = 0; i < 100; ++i)
        (void)bus.Truth();
    const BusTruth later = bus.Truth();
    EXPECT_EQ(bus.FrameLog().size(), frames);
    EXPECT_EQ(later.acted.size(), first.acted.size());
    EXPECT_EQ(At(later, 1).config, At(first, 1).config);
    EXPECT_EQ(At(later, 1).position, At(first, 1).position);
    // The device still answers the next request as before.
    EXPECT_EQ(line->Transact(Request(1, Fc::ReadHolding, Reg::CurrentPos, 1)).size(), 7u);
}

INSTANTIATE_TEST_SUITE_P(Lines, TruthTest, ::testing::Values(true, false),
                         [](const auto &info) { return info.param ? "Instant" : "LineModel"; });

TEST(TruthServerTest, ServesTheSnapshotAsJsonToEveryClient)
{
    VirtualBus bus(lumosim::InstantLine());
    ASSERT_TRUE(bus.AddDevice(Device(7, Model::LumoB)));
    ASSERT_TRUE(bus.Start());
    LineClient line(bus.DevicePath());
    ASSERT_FALSE(line.Transact(Request(7, Fc::WriteSingle, Reg::ActionCmdIn, Cmd::Down)).empty());

    const std::string path = TempPath("sock");
    lumosim::TruthServer server;
    ASSERT_TRUE(server.Start(path, [&bus] { return lumosim::TruthJson(bus.Truth()); }));
    for (int client = 0; client < 3; ++client) {
        const std::string json = ReadSocket(path);
        EXPECT_NE(json.find("\"address\":7,\"model\":" + std::to_string(Model::LumoB)), std::string::npos) << json;
        EXPECT_NE(json.find("\"motion_starts\":1"), std::string::npos) << json;
        EXPECT_NE(json.find("\"request\":\"06 00 25 00 02\",\"reply\":\"06 00 25 00 02\""), std::string::npos)
            << json;
        EXPECT_EQ(json.back(), '\n');
    }
    server.Stop();
    EXPECT_NE(::access(path.c_str(), F_OK), 0) << "the socket stays after Stop";
}

TEST(TruthServerTest, NeverReplacesAFileThatIsNotASocket)
{
    const std::string path = TempPath("file");
    std::ofstream(path) << "keep me";
    lumosim::TruthServer server;
    EXPECT_FALSE(server.Start(path, [] { return std::string(); }));
    std::ifstream in(path);
    std::string text;
    std::getline(in, text);
    EXPECT_EQ(text, "keep me");
    ::unlink(path.c_str());
}

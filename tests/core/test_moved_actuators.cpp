// The owner of what the tool set moving: what lists a device, what takes it
// off, and the one stop run every stop path uses (order, attempts, rates,
// a second run asked for from inside the first).

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "modbus/MovedActuators.h"
#include "modbus/Registers.h"
#include "modbus/ResultCode.h"

namespace {

using Entries = std::vector<MovedActuators::Entry>;

struct WriteCase {
    const char *name;
    bool listedBefore;
    uint16_t reg;
    uint16_t value;
    ResultCode result;
    bool heard;
    bool listedAfter;
};

class NoteWriteTable : public ::testing::TestWithParam<WriteCase> {};

TEST_P(NoteWriteTable, ListsOrTakesOff)
{
    const WriteCase &c = GetParam();
    MovedActuators moved;
    if (c.listedBefore)
        moved.NoteCommand(3, Cmd::Up, Result::NoError, 115200);
    moved.NoteWrite(3, c.reg, c.value, c.result, 9600, c.heard);
    EXPECT_EQ(moved.Contains(3), c.listedAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Writes, NoteWriteTable,
    ::testing::Values(
        WriteCase{"UpAcknowledged", false, Reg::ActionCmdIn, Cmd::Up, Result::NoError, false, true},
        WriteCase{"DownAcknowledged", false, Reg::ActionCmdIn, Cmd::Down, Result::NoError, false, true},
        WriteCase{"LearnAcknowledged", false, Reg::ActionCmdIn, Cmd::Learn, Result::NoError, false, true},
        WriteCase{"GoToAcknowledged", false, Reg::ActionCmdIn, Cmd::GoToPos, Result::NoError, false, true},
        WriteCase{"GoToPosTargetWritten", false, Reg::GoToPos, 500, Result::NoError, false, true},
        // The reply was garbled on its way back: the device may have acted.
        WriteCase{"UpFailedAfterBytesHeard", false, Reg::ActionCmdIn, Cmd::Up, Result::ReadError, true, true},
        // Nothing at all came back: the device heard nothing.
        WriteCase{"UpUnanswered", false, Reg::ActionCmdIn, Cmd::Up, Result::ReadError, false, false},
        WriteCase{"StopAcknowledged", true, Reg::ActionCmdIn, Cmd::Stop, Result::NoError, false, false},
        WriteCase{"StopFailed", true, Reg::ActionCmdIn, Cmd::Stop, Result::ReadError, true, true},
        WriteCase{"OtherCommandValue", false, Reg::ActionCmdIn, 7, Result::NoError, false, false},
        WriteCase{"OtherRegister", false, Reg::SpeedPwm, Cmd::Up, Result::NoError, false, false},
        WriteCase{"OtherRegisterLeavesListed", true, Reg::SpeedPwm, 50, Result::NoError, false, true}),
    [](const ::testing::TestParamInfo<WriteCase> &info) { return std::string(info.param.name); });

struct StatusCase {
    const char *name;
    uint16_t motion;
    uint16_t flags;
    bool listedAfter;
};

class NoteStatusTable : public ::testing::TestWithParam<StatusCase> {};

TEST_P(NoteStatusTable, OnlyRestAndNotLearningTakesOff)
{
    const StatusCase &c = GetParam();
    MovedActuators moved;
    moved.NoteCommand(4, Cmd::Learn, Result::NoError, 115200);
    moved.NoteStatus(4, c.motion, c.flags);
    EXPECT_EQ(moved.Contains(4), c.listedAfter);
}

INSTANTIATE_TEST_SUITE_P(
    Reads, NoteStatusTable,
    ::testing::Values(StatusCase{"AtRest", Motion::Stopped, 0, false},
                      StatusCase{"AtRestPositionOk", Motion::Stopped, Flag::PositionOk, false},
                      // Between the two runs of learning the motor may pause.
                      StatusCase{"AtRestButLearning", Motion::Stopped, Flag::Learning, true},
                      StatusCase{"MovingUp", Motion::MovingUp, 0, true},
                      StatusCase{"MovingDown", Motion::MovingDown, Flag::Learning, true}),
    [](const ::testing::TestParamInfo<StatusCase> &info) { return std::string(info.param.name); });

TEST(MovedActuators, RecordsTheRateAndTheOrder)
{
    MovedActuators moved;
    moved.NoteCommand(7, Cmd::Up, Result::NoError, 9600);
    moved.NoteCommand(2, Cmd::Down, Result::NoError, 115200);
    moved.NoteCommand(0, Cmd::Up, Result::NoError, 115200);
    EXPECT_EQ(moved.Entries(), (Entries{{0, 115200}, {2, 115200}, {7, 9600}}));
    // A status read of the broadcast address means nothing: 0 leaves only
    // with a broadcast stop.
    moved.NoteStatus(0, Motion::Stopped, 0);
    moved.NoteCommand(0, Cmd::Stop, Result::NoError, 115200);
    EXPECT_EQ(moved.Entries(), (Entries{{2, 115200}, {7, 9600}}));
}

struct NamesCase {
    std::vector<uint8_t> listed;
    std::string names;
    std::string refusal;
};

class NamesTable : public ::testing::TestWithParam<NamesCase> {};

TEST_P(NamesTable, NamesTheDevices)
{
    MovedActuators moved;
    for (const uint8_t address : GetParam().listed)
        moved.NoteCommand(address, Cmd::Up, Result::NoError, 115200);
    EXPECT_EQ(moved.Names(), GetParam().names);
    EXPECT_EQ(moved.MovingRefusal(), GetParam().refusal);
}

INSTANTIATE_TEST_SUITE_P(
    Texts, NamesTable,
    ::testing::Values(NamesCase{{}, "", ""},
                      NamesCase{{1}, "device 1", "device 1 is moving: stop it first (Esc)"},
                      NamesCase{{2, 1}, "devices 1 and 2", "devices 1 and 2 are moving: stop them first (Esc)"},
                      NamesCase{{5, 1, 2}, "devices 1, 2 and 5", "devices 1, 2 and 5 are moving: stop them first (Esc)"},
                      NamesCase{{0, 3}, "all devices", "all devices are moving: stop them first (Esc)"}));

// A line that answers stops as told and notes what was asked of it.
struct FakeLine {
    std::map<uint8_t, std::vector<ResultCode>> answers; // per address, in order; NoError when used up
    std::vector<std::string> calls;
    uint32_t rate = 115200;
    bool rateRefused = false;
    std::function<void()> duringGap;

    MovedActuators::StopLine Line()
    {
        MovedActuators::StopLine line;
        line.useRate = [this](uint32_t baud) {
            calls.push_back("rate " + std::to_string(baud));
            if (rateRefused && baud != 115200)
                return false;
            rate = baud;
            return true;
        };
        line.sendStop = [this](uint8_t address) {
            calls.push_back("stop " + std::to_string(address) + " @" + std::to_string(rate));
            std::vector<ResultCode> &queue = answers[address];
            if (queue.empty())
                return Result::NoError;
            const ResultCode r = queue.front();
            queue.erase(queue.begin());
            return r;
        };
        line.afterAttempt = [this](uint8_t, ResultCode) {
            calls.push_back("gap");
            if (duringGap)
                duringGap();
        };
        return line;
    }
};

using Calls = std::vector<std::string>;

TEST(MovedActuatorsStop, BroadcastFirstThenEachByAddress)
{
    MovedActuators moved;
    moved.NoteCommand(9, Cmd::Up, Result::NoError, 115200);
    moved.NoteCommand(0, Cmd::Up, Result::NoError, 115200);
    moved.NoteCommand(4, Cmd::Down, Result::NoError, 115200);
    FakeLine fake;
    const auto run = moved.StopAll(fake.Line(), 3, 115200);
    EXPECT_TRUE(run.ran);
    EXPECT_EQ(fake.calls, (Calls{"rate 115200", "stop 0 @115200", "gap", "stop 4 @115200", "gap", "stop 9 @115200",
                                 "gap"}));
    EXPECT_EQ(run.stopped, (std::vector<uint8_t>{0, 4, 9}));
    EXPECT_TRUE(run.failed.empty());
    EXPECT_TRUE(moved.Empty());
}

TEST(MovedActuatorsStop, AFailedStopKeepsTheDeviceListed)
{
    MovedActuators moved;
    moved.NoteCommand(1, Cmd::Up, Result::NoError, 115200);
    moved.NoteCommand(2, Cmd::Up, Result::NoError, 115200);
    FakeLine fake;
    fake.answers[1] = {Result::ReadError, Result::ReadError, Result::ReadError};
    fake.answers[2] = {Result::ReadError}; // the second attempt gets through
    const auto run = moved.StopAll(fake.Line(), 3, 115200);
    EXPECT_EQ(fake.calls, (Calls{"rate 115200", "stop 1 @115200", "gap", "stop 1 @115200", "gap", "stop 1 @115200",
                                 "gap", "stop 2 @115200", "gap", "stop 2 @115200", "gap"}));
    EXPECT_EQ(run.failed, std::vector<uint8_t>{1});
    EXPECT_EQ(run.lastFailure, Result::ReadError);
    EXPECT_EQ(moved.Entries(), (Entries{{1, 115200}}));
}

TEST(MovedActuatorsStop, EachDeviceAtTheRateItWasReachedAt)
{
    MovedActuators moved;
    moved.NoteCommand(1, Cmd::Up, Result::NoError, 9600);
    moved.NoteCommand(2, Cmd::Up, Result::NoError, 115200);
    FakeLine fake;
    moved.StopAll(fake.Line(), 3, 115200);
    // The connected rate first: it needs no change of the port.
    EXPECT_EQ(fake.calls, (Calls{"rate 115200", "stop 2 @115200", "gap", "rate 9600", "stop 1 @9600", "gap"}));
    EXPECT_TRUE(moved.Empty());
}

TEST(MovedActuatorsStop, ARateThePortCannotTakeSendsNothingAndKeepsTheList)
{
    MovedActuators moved;
    moved.NoteCommand(1, Cmd::Up, Result::NoError, 9600);
    FakeLine fake;
    fake.rateRefused = true;
    const auto run = moved.StopAll(fake.Line(), 3, 115200);
    EXPECT_EQ(fake.calls, (Calls{"rate 9600"}));
    EXPECT_EQ(run.failed, std::vector<uint8_t>{1});
    EXPECT_EQ(run.lastFailure, Result::PortError);
    EXPECT_TRUE(moved.Contains(1));
}

TEST(MovedActuatorsStop, AlsoStopsDevicesNotListedAndListsThemWhenTheStopFails)
{
    MovedActuators moved;
    moved.NoteCommand(7, Cmd::Up, Result::NoError, 115200);
    FakeLine fake;
    fake.answers[6] = {Result::ReadError, Result::ReadError};
    const auto run = moved.StopAll(fake.Line(), 2, 115200, {6, 7});
    // Listed and asked for: one stop, not two; what is known to move first.
    EXPECT_EQ(fake.calls,
              (Calls{"rate 115200", "stop 7 @115200", "gap", "stop 6 @115200", "gap", "stop 6 @115200", "gap"}));
    EXPECT_EQ(run.failed, std::vector<uint8_t>{6});
    EXPECT_EQ(moved.Entries(), (Entries{{6, 115200}}));
}

TEST(MovedActuatorsStop, ASecondRunAskedForDuringTheFirstSendsNothing)
{
    MovedActuators moved;
    moved.NoteCommand(1, Cmd::Up, Result::NoError, 115200);
    moved.NoteCommand(2, Cmd::Up, Result::NoError, 115200);
    FakeLine fake;
    MovedActuators::StopRun inner;
    fake.duringGap = [&] {
        EXPECT_TRUE(moved.Stopping());
        inner = moved.StopAll(fake.Line(), 3, 115200);
    };
    const auto outer = moved.StopAll(fake.Line(), 3, 115200);
    EXPECT_TRUE(outer.ran);
    EXPECT_FALSE(inner.ran);
    EXPECT_EQ(fake.calls, (Calls{"rate 115200", "stop 1 @115200", "gap", "stop 2 @115200", "gap"}));
    EXPECT_FALSE(moved.Stopping());
    EXPECT_TRUE(moved.Empty());
}

TEST(MovedActuatorsStop, NothingListedSendsNothing)
{
    MovedActuators moved;
    FakeLine fake;
    const auto run = moved.StopAll(fake.Line(), 3, 115200);
    EXPECT_TRUE(run.ran);
    EXPECT_EQ(fake.calls, (Calls{}));
}

} // namespace

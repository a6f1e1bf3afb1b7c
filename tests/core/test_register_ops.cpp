#include <gtest/gtest.h>

#include <algorithm>

#include "FakeClock.h"
#include "PtyPair.h"
#include "modbus/Frames.h"
#include "modbus/RegisterOps.h"

namespace {

Bytes Echo(const Bytes &request)
{
    return request;
}

// Distinct values so the recorded pauses tell which wait was made.
constexpr uint32_t kReplyWait = 7;
constexpr uint32_t kGap = 3;

class RegisterOpsOnPty : public ::testing::Test {
protected:
    PtyPair pty;
    RecordingClock clock;
    std::unique_ptr<C_ComPort> comPort = std::make_unique<C_ComPort>();
    uint32_t responseDelayMs = kReplyWait;
    uint32_t commandGapMs = kGap;
    int32_t cmdTryCount = 3;
    int32_t broadcastRepeat = 1;
    RtuEngine engine{comPort, responseDelayMs, clock};
    ActuatorRegisters ops{engine, responseDelayMs, commandGapMs, cmdTryCount, broadcastRepeat};

    // A plain line, stated: a first 0x06 on a line not yet known may cost a
    // read of the register to tell echo from reply, and these tests count
    // the waits and frames of each operation.
    void SetUp() override
    {
        ASSERT_TRUE(comPort->Open(pty.slavePath(), 115200, 2048));
        engine.SetEchoMode(EchoMode::Off);
    }

    // Pauses longer than a read poll: the waits the operation chose.
    std::vector<uint32_t> Waits() const
    {
        std::vector<uint32_t> out;
        std::copy_if(clock.sleeps.begin(), clock.sleeps.end(), std::back_inserter(out),
                     [](uint32_t ms) { return ms != C_ComPort::ReadPollMs; });
        return out;
    }
};

TEST_F(RegisterOpsOnPty, SingleReadSendsTheDocumentedFrame)
{
    ScriptedResponder slave(pty, [](const Bytes &) { return WithCrc({0x05, 0x03, 0x02, 0x03, 0xE8}); });
    uint16_t value = 0;
    EXPECT_EQ(ops.ReadMaxPos(5, value), Result::NoError);
    EXPECT_EQ(value, 1000);
    slave.Stop();
    ASSERT_EQ(slave.requests().size(), 1u);
    EXPECT_EQ(slave.requests()[0], (Bytes{0x05, 0x03, 0x00, 0x20, 0x00, 0x01, 0x84, 0x44}));
}

TEST_F(RegisterOpsOnPty, MotorStatusReadSearchesPastStrayBytes)
{
    ScriptedResponder slave(pty, [](const Bytes &) {
        Bytes reply = WithCrc({0x05, 0x04, 0x04, 0x00, 0x02, 0x00, 0xC0});
        reply.insert(reply.begin(), {0x00, 0xFF});
        return reply;
    });
    uint16_t state = 9, flags = 9;
    EXPECT_EQ(ops.ReadMotorStatus(5, state, flags), Result::NoError);
    EXPECT_EQ(state, 2);
    EXPECT_EQ(flags, 0xC0);
    slave.Stop();
    EXPECT_EQ(slave.requests()[0], (Bytes{0x05, 0x04, 0x00, 0x3F, 0x00, 0x02, 0x40, 0x43}));
}

struct ShortReply {
    const char *what;
    Bytes reply;
};

class ShortReadReplies : public RegisterOpsOnPty, public ::testing::WithParamInterface<ShortReply> {};

// The registers a reply leaves out must not be reported as zeros.
TEST_P(ShortReadReplies, AreReceivedDataErrorsAndLeaveTheValues)
{
    const Bytes reply = GetParam().reply;
    ScriptedResponder slave(pty, [reply](const Bytes &) { return reply; });
    uint16_t state = 7, flags = 7, value = 7;
    if (reply[1] == 0x04) {
        EXPECT_EQ(ops.ReadMotorStatus(5, state, flags), Result::ReceivedDataError);
    } else {
        EXPECT_EQ(ops.ReadCurrentPos(5, value), Result::ReceivedDataError);
    }
    EXPECT_EQ(state, 7);
    EXPECT_EQ(flags, 7);
    EXPECT_EQ(value, 7);
}

INSTANTIATE_TEST_SUITE_P(Cases, ShortReadReplies,
                         ::testing::Values(ShortReply{"status_with_one_word", WithCrc({0x05, 0x04, 0x02, 0x00, 0x01})},
                                           ShortReply{"position_with_no_data", WithCrc({0x05, 0x03, 0x00})},
                                           ShortReply{"position_with_one_byte", WithCrc({0x05, 0x03, 0x01, 0x07})}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST_F(RegisterOpsOnPty, AddressZeroReadsAreRefusedWithoutSending)
{
    uint16_t v = 0, w = 0;
    EXPECT_EQ(ops.ReadMaxPos(0, v), Result::ParameterError);
    EXPECT_EQ(ops.ReadMotorStatus(0, v, w), Result::ParameterError);
    EXPECT_TRUE(pty.Read(50).empty());
}

TEST_F(RegisterOpsOnPty, WriteWaitsTheReplyDelayAndComparesTheEcho)
{
    ScriptedResponder slave(pty, Echo);
    EXPECT_EQ(ops.WriteActionCmdIn(5, Cmd::Stop), Result::NoError);
    EXPECT_EQ(Waits(), (std::vector<uint32_t>{kReplyWait}));
    slave.Stop();
    EXPECT_EQ(slave.requests()[0], (Bytes{0x05, 0x06, 0x00, 0x25, 0x00, 0x03, 0xD9, 0x84}));
}

TEST_F(RegisterOpsOnPty, EchoWithAnotherValueIsSetDataError)
{
    ScriptedResponder slave(pty, [](const Bytes &r) { return WithCrc({r[0], 0x06, r[2], r[3], 0x00, 0x63}); });
    EXPECT_EQ(ops.WriteSpeedPwm(5, 100), Result::SetDataError);
}

TEST_F(RegisterOpsOnPty, BroadcastIsSentRepeatedWithGapsAndNoReplyRead)
{
    for (int32_t repeat : {1, 3}) {
        broadcastRepeat = repeat;
        clock.sleeps.clear();
        ScriptedResponder slave(pty, [](const Bytes &) { return Bytes{}; });
        EXPECT_EQ(ops.WriteActionCmdIn(0, Cmd::Stop), Result::NoError);
        EXPECT_EQ(Waits(), std::vector<uint32_t>(repeat, kGap)) << repeat;
        EXPECT_TRUE(std::none_of(clock.sleeps.begin(), clock.sleeps.end(),
                                 [](uint32_t ms) { return ms == C_ComPort::ReadPollMs; }))
            << "a broadcast must not wait for a reply";
        usleep(20000);
        slave.Stop();
        std::vector<Bytes> frames = slave.requests();
        Bytes wire;
        for (const Bytes &f : frames)
            wire.insert(wire.end(), f.begin(), f.end());
        Bytes expected;
        for (int i = 0; i < repeat; ++i)
            expected.insert(expected.end(), {0x00, 0x06, 0x00, 0x25, 0x00, 0x03, 0xD9, 0xD1});
        EXPECT_EQ(wire, expected);
    }
}

TEST_F(RegisterOpsOnPty, AddressChangeEchoesFromTheOldAddressAfterTwentyMs)
{
    EXPECT_EQ(ops.WriteAddress(5, 5), Result::ParameterError);
    EXPECT_TRUE(pty.Read(50).empty());

    ScriptedResponder slave(pty, Echo);
    EXPECT_EQ(ops.WriteAddress(5, 9), Result::NoError);
    EXPECT_EQ(Waits(), (std::vector<uint32_t>{ActuatorRegisters::AddressEchoWaitMs}));
    slave.Stop();
    EXPECT_EQ(slave.requests()[0], WithCrc({0x05, 0x06, 0x00, 0x0F, 0x00, 0x09}));
}

TEST_F(RegisterOpsOnPty, BlockReadMakesCmdTryCountAttemptsThenGivesUp)
{
    ScriptedResponder slave(pty, [](const Bytes &) { return Bytes{}; });
    std::array<uint16_t, Reg::BlockCount> words{};
    words[0] = 0x1234;
    uint32_t lastResult = 0;
    int refreshes = 0;
    EXPECT_FALSE(ops.ReadActuatorRegisters(5, words, lastResult, [&] { ++refreshes; }));
    EXPECT_EQ(lastResult, Result::ReadDataWait);
    EXPECT_EQ(refreshes, 3);
    EXPECT_EQ(words[0], 0x1234);
    slave.Stop();
    EXPECT_EQ(slave.requests().size(), 3u);
}

TEST_F(RegisterOpsOnPty, BlockReadDeliversTheFourteenWords)
{
    ScriptedResponder slave(pty, [](const Bytes &) {
        Bytes reply{0x05, 0x03, 28};
        for (uint8_t i = 0; i < 14; ++i)
            reply.insert(reply.end(), {0x00, static_cast<uint8_t>(i * 10)});
        return WithCrc(reply);
    });
    std::array<uint16_t, Reg::BlockCount> words{};
    uint32_t lastResult = 99;
    ASSERT_TRUE(ops.ReadActuatorRegisters(5, words, lastResult));
    EXPECT_EQ(lastResult, 0u);
    EXPECT_EQ(words[2], 20);  // RearLimit
    EXPECT_EQ(words[13], 130); // BaudRate
    slave.Stop();
    EXPECT_EQ(slave.requests()[0], WithCrc({0x05, 0x03, 0x00, 0x1F, 0x00, 0x0E}));
}

TEST(RunAttempts, StopsAtTheFirstSuccessAndAlwaysTriesOnce)
{
    std::unique_ptr<C_ComPort> none;
    uint32_t delay = 30;
    FakeClock clock;
    RtuEngine engine{none, delay, clock};
    struct Case {
        int32_t tries;
        int failuresFirst;
        int expectedCalls;
        uint32_t expectedResult;
    } cases[] = {{3, 0, 1, 0}, {3, 1, 2, 0}, {3, 5, 3, Result::ReadError}, {0, 5, 1, Result::ReadError},
                 {5, 4, 5, 0}};
    for (const Case &c : cases) {
        int calls = 0, before = 0, after = 0;
        uint32_t lastResult = 77;
        clock.sleeps.clear();
        RunAttempts(engine, c.tries, 20, lastResult,
                    [&] { return ++calls <= c.failuresFirst ? Result::ReadError : Result::NoError; },
                    {[&] { ++before; }, [&] { ++after; }});
        EXPECT_EQ(calls, c.expectedCalls);
        EXPECT_EQ(before, calls);
        EXPECT_EQ(after, calls);
        EXPECT_EQ(lastResult, c.expectedResult);
        EXPECT_EQ(clock.sleeps, std::vector<uint32_t>(calls, 20)) << "every attempt is followed by the gap";
    }
}

} // namespace

namespace {

// A handler running in the gap after a failed attempt (a disconnect, say)
// may reset lastResult to 0; the loop must still see the failure.
TEST(RunAttempts, AFailureStaysAFailureWhateverTheGapDoesToLastResult)
{
    std::unique_ptr<C_ComPort> none;
    uint32_t delay = 30;
    FakeClock clock;
    uint32_t lastResult = 0;
    RtuEngine engine{none, delay, clock, [&](uint32_t maxWait) {
                         lastResult = Result::NoError;
                         clock.Advance(maxWait);
                     }};
    int calls = 0;
    const ResultCode r = RunAttempts(engine, 3, 20, lastResult, [&] {
        ++calls;
        return Result::ReadDataWait;
    });
    EXPECT_EQ(r, Result::ReadDataWait);
    EXPECT_EQ(calls, 3);
}

} // namespace

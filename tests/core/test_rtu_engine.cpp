#include <gtest/gtest.h>

#include <sys/ioctl.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <thread>
#include <atomic>

#include "FakeClock.h"
#include "PtyPair.h"
#include "modbus/Frames.h"
#include "modbus/Registers.h"
#include "modbus/RtuEngine.h"

namespace {

Bytes Echo(const Bytes &request)
{
    return request;
}

Bytes Concat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A real line to a scripted far side; the engine runs on the system clock
// because the far side answers in real time.
class EngineOnPty : public ::testing::Test {
protected:
    PtyPair pty;
    std::unique_ptr<C_ComPort> comPort = std::make_unique<C_ComPort>();
    uint32_t responseDelayMs = 5;
    RtuEngine engine{comPort, responseDelayMs};

    // These exchanges are those of a plain (non-echoing) line, and some
    // responders here give back any request verbatim, which is just what an
    // echoing adapter does; echo handling has its own tests on a paced line.
    void SetUp() override
    {
        ASSERT_TRUE(comPort->Open(pty.slavePath(), 115200, 2048));
        engine.SetEchoMode(EchoMode::Off);
    }

    int Queued() const
    {
        int n = 0;
        ioctl(comPort->handle, FIONREAD, &n);
        return n;
    }
    // Puts bytes on the line as if the slave had answered already.
    void Arrive(const Bytes &bytes)
    {
        pty.Write(bytes);
        for (int i = 0; i < 200 && Queued() < static_cast<int>(bytes.size()); ++i)
            usleep(1000);
    }
};

struct ReplyCase {
    const char *what;
    Bytes line;          // what the slave puts on the line
    bool skipToAddress;
    ResultCode expected;
    Bytes data;          // data handed back on success or exception
    int left = -1;       // bytes still queued afterwards, when it matters
};

const Bytes kGoodRead = WithCrc({0x05, 0x03, 0x02, 0x03, 0xE8});

class ReceiveResponseCases : public EngineOnPty, public ::testing::WithParamInterface<ReplyCase> {};

TEST_P(ReceiveResponseCases, EachFaultHasItsCode)
{
    const ReplyCase &c = GetParam();
    if (!c.line.empty())
        Arrive(c.line);
    uint8_t out[20] = {};
    int32_t length = -1;
    EXPECT_EQ(engine.ReceiveResponse(0x05, out, sizeof out, length, c.skipToAddress), c.expected);
    if (c.expected == Result::NoError || c.expected == Result::ExceptionReply) {
        ASSERT_EQ(length, static_cast<int32_t>(c.data.size()));
        EXPECT_EQ(Bytes(out, out + length), c.data);
    }
    if (c.left >= 0) {
        EXPECT_EQ(Queued(), c.left);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ReceiveResponseCases,
    ::testing::Values(
        ReplyCase{"read_reply", kGoodRead, false, Result::NoError, {0x03, 0xE8}, 0},
        ReplyCase{"empty_read_reply", WithCrc({0x05, 0x03, 0x00}), false, Result::NoError, {}},
        ReplyCase{"write_echo", WithCrc({0x05, 0x06, 0x00, 0x25, 0x00, 0x03}), false, Result::NoError,
                  {0x00, 0x25, 0x00, 0x03}},
        ReplyCase{"silence_strict", {}, false, Result::ReadError, {}},
        ReplyCase{"silence_searching", {}, true, Result::ReadDataWait, {}},
        ReplyCase{"stray_byte_strict_drains", Concat({0x77}, kGoodRead), false, Result::ReadHeadError, {}, 0},
        ReplyCase{"stray_byte_searching", Concat({0x77}, kGoodRead), true, Result::NoError, {0x03, 0xE8}},
        ReplyCase{"bad_crc", {0x05, 0x03, 0x02, 0x03, 0xE8, 0x00, 0x00}, false, Result::ChecksumError, {}},
        ReplyCase{"exception", WithCrc({0x05, 0x83, 0x02}), false, Result::ExceptionReply, {0x02}},
        ReplyCase{"exception_bad_crc", {0x05, 0x83, 0x02, 0x00, 0x00}, false, Result::ChecksumError, {}},
        ReplyCase{"unknown_function_leaves_rest", WithCrc({0x05, 0x05, 0x00, 0x01, 0xFF, 0x00}), false,
                  Result::ReadCommandError, {}, 6},
        ReplyCase{"short_reply", {0x05, 0x03, 0x04, 0x00, 0x01}, false, Result::ReadError, {}},
        ReplyCase{"short_echo", {0x05, 0x06, 0x00, 0x25}, false, Result::ReadError, {}},
        ReplyCase{"oversize_byte_count", WithCrc(Concat({0x05, 0x03, 30}, Bytes(30, 0xAB))), false,
                  Result::ReceivedDataError, {}}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(EngineOnPty, OversizeReplyNeverWritesPastTheArea)
{
    Arrive(WithCrc(Concat({0x05, 0x03, 8}, Bytes(8, 0xAB))));
    uint8_t area[8] = {};
    area[4] = 0x11;  // a guard inside a larger buffer: only 4 bytes are ours
    int32_t length = 0;
    EXPECT_EQ(engine.ReceiveResponse(0x05, area, 4, length, true), Result::ReceivedDataError);
    EXPECT_EQ(area[4], 0x11);
    EXPECT_EQ(area[0], 0x00);
}

TEST_F(EngineOnPty, BabblingLineEndsTheSearch)
{
    Arrive(Bytes(300, 0x11));
    uint8_t out[20];
    int32_t length = 0;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(engine.ReceiveResponse(0x05, out, sizeof out, length, true), Result::ReadDataWait);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(Queued(), 300 - static_cast<int>(RtuEngine::MaxSkippedBytes));
}

// Noise that trickles in, one byte every 60 ms, buys no time: the whole
// reply has the budget of ten empty polls, not each skipped byte.
TEST_F(EngineOnPty, SlowNoiseCannotHoldTheReplyPastItsBudget)
{
    std::atomic<bool> stop{false};
    std::thread noise([&] {
        for (int i = 0; i < 100 && !stop; ++i) {
            pty.Write({0x55});
            std::this_thread::sleep_for(std::chrono::milliseconds(60));
        }
    });
    uint16_t word = 0;
    const auto start = std::chrono::steady_clock::now();
    const ResultCode r = engine.ReadRegisters(0x03, 0x05, 0x0020, 1, &word);
    const auto took = std::chrono::steady_clock::now() - start;
    stop = true;
    noise.join();
    EXPECT_EQ(r, Result::ReadDataWait);
    // 5 ms wait and ten polls of 10 ms; the noise bytes themselves cost no
    // polls. Room for a loaded machine, far below one byte's 60 ms each.
    EXPECT_LT(took, std::chrono::milliseconds(400));
}

TEST_F(EngineOnPty, HungUpLineIsAPortError)
{
    pty.CloseMaster();
    uint8_t out[20];
    int32_t length = 0;
    EXPECT_EQ(engine.ReceiveResponse(0x05, out, sizeof out, length, true), Result::PortError);
    const uint8_t pdu[] = {0x03, 0x00, 0x20, 0x00, 0x01};
    EXPECT_EQ(engine.SendRequest(0x05, pdu, sizeof pdu), Result::PortError);
}

TEST_F(EngineOnPty, ReadRegistersSendsTheWorkedExampleAndConvertsWords)
{
    ScriptedResponder slave(pty, [](const Bytes &) { return WithCrc({0x0A, 0x03, 0x02, 0x12, 0x34}); });
    uint16_t value = 0;
    EXPECT_EQ(engine.ReadRegisters(0x03, 0x0A, 0x001F, 1, &value), Result::NoError);
    EXPECT_EQ(value, 0x1234);
    slave.Stop();
    ASSERT_EQ(slave.requests().size(), 1u);
    EXPECT_EQ(slave.requests()[0], (Bytes{0x0A, 0x03, 0x00, 0x1F, 0x00, 0x01, 0xB4, 0xB7}));
}

TEST_F(EngineOnPty, ReadRegistersRefusesAReplyWithFewerRegistersThanAsked)
{
    ScriptedResponder slave(pty, [](const Bytes &) { return WithCrc({0x05, 0x03, 0x02, 0x00, 0x07}); });
    uint16_t words[3] = {0xAAAA, 0xAAAA, 0xAAAA};
    EXPECT_EQ(engine.ReadRegisters(0x03, 0x05, 0x0020, 3, words), Result::ReceivedDataError);
}

// The result stays 0x4001 for every exception; the code the slave sent is
// kept until the next request.
TEST_F(EngineOnPty, ExceptionFromTheSlaveIsReportedWithItsCode)
{
    ScriptedResponder slave(pty, [](const Bytes &request) {
        if (request[1] == 0x01)
            return WithCrc({0x05, 0x81, 0x01});
        if (request[1] == Fc::WriteSingle)
            return WithCrc({0x05, 0x86, 0x0B});
        return WithCrc({0x05, 0x03, 0x02, 0x00, 0x07});
    });
    uint16_t words[1] = {};
    EXPECT_EQ(engine.ReadRegisters(0x01, 0x05, 0x000F, 1, words), Result::ExceptionReply);
    EXPECT_EQ(engine.LastExceptionCode(), 0x01);
    const uint16_t value = 3;
    EXPECT_EQ(engine.WriteRegisters(Fc::WriteSingle, 0x05, 0x0025, 1, &value), Result::ExceptionReply);
    EXPECT_EQ(engine.LastExceptionCode(), 0x0B);
    EXPECT_EQ(engine.ReadRegisters(Fc::ReadHolding, 0x05, 0x0020, 1, words), Result::NoError);
    EXPECT_EQ(engine.LastExceptionCode(), 0);
}

struct WriteCase {
    const char *what;
    Bytes echo;
    ResultCode expected;
};

class WriteEchoCases : public EngineOnPty, public ::testing::WithParamInterface<WriteCase> {};

// A write is confirmed only by an echo of the register and the value sent:
// an echo of another register is a late reply to another write, not this
// one's answer.
TEST_P(WriteEchoCases, OnlyTheEchoOfRegisterAndValueConfirms)
{
    const Bytes echo = GetParam().echo;
    ScriptedResponder slave(pty, [echo](const Bytes &) { return echo; });
    const uint16_t value = 3;
    EXPECT_EQ(engine.WriteRegisters(0x06, 0x05, 0x0025, 1, &value), GetParam().expected);
    slave.Stop();
    ASSERT_EQ(slave.requests().size(), 1u);
    EXPECT_EQ(slave.requests()[0], (Bytes{0x05, 0x06, 0x00, 0x25, 0x00, 0x03, 0xD9, 0x84}));
}

INSTANTIATE_TEST_SUITE_P(
    Echoes, WriteEchoCases,
    ::testing::Values(WriteCase{"same", WithCrc({0x05, 0x06, 0x00, 0x25, 0x00, 0x03}), Result::NoError},
                      WriteCase{"other_register_same_value", WithCrc({0x05, 0x06, 0x00, 0x99, 0x00, 0x03}),
                                Result::SetDataError},
                      WriteCase{"another_slaves_echo", WithCrc({0x06, 0x06, 0x00, 0x25, 0x00, 0x03}),
                                Result::ReadDataWait},
                      WriteCase{"a_read_reply", WithCrc({0x05, 0x03, 0x02, 0x00, 0x03}), Result::ReadCommandError},
                      WriteCase{"other_value", WithCrc({0x05, 0x06, 0x00, 0x25, 0x00, 0x04}),
                                Result::SetDataError},
                      WriteCase{"silent", {}, Result::ReadDataWait}),
    [](const auto &info) { return std::string(info.param.what); });

TEST_F(EngineOnPty, WriteMultipleEchoesTheCountAndFillsAFullFrame)
{
    ScriptedResponder slave(pty, [](const Bytes &r) { return WithCrc({r[0], 0x10, r[2], r[3], r[4], r[5]}); });
    std::vector<uint16_t> values(123, 0xBEEF);
    EXPECT_EQ(engine.WriteRegisters(0x10, 0x05, 0x0000, 123, values.data()), Result::NoError);
    slave.Stop();
    ASSERT_EQ(slave.requests().size(), 1u);
    EXPECT_EQ(slave.requests()[0].size(), 255u);
}

// A reply that arrived after its transaction had given up (a slave slowed
// down, a loaded line) is still queued when the next request goes out; it
// must not be taken for the answer to that request.
TEST_F(EngineOnPty, LateReplyOfAnEarlierRequestIsNotTakenForTheNextOne)
{
    Arrive(WithCrc({0x05, 0x03, 0x02, 0x00, 0x01}));   // late answer to a read
    Arrive(WithCrc({0x05, 0x06, 0x00, 0x25, 0x00, 0x01})); // late echo of "up"
    ScriptedResponder slave(pty, Echo);
    const uint16_t stop = 3;
    EXPECT_EQ(engine.WriteRegisters(0x06, 0x05, 0x0025, 1, &stop), Result::NoError);
}

// Frames that answer no open request, as a late reply to an earlier request
// or another slave's frame brings them: each is reported as stale and never
// returned; the real reply after it is. The request is a read of one holding
// register, 0x0020, from slave 5.
struct ForeignCase {
    const char *what;
    Bytes foreign;
    ResultCode alone; // the result when nothing else comes
};

class ForeignFrames : public EngineOnPty, public ::testing::WithParamInterface<ForeignCase> {};

TEST_P(ForeignFrames, AreReportedAsStaleAndTheRealReplyIsTaken)
{
    const ForeignCase &c = GetParam();
    const Bytes real = WithCrc({0x05, 0x03, 0x02, 0x03, 0xE8});
    for (bool realFollows : {true, false}) {
        SCOPED_TRACE(realFollows ? "real reply follows" : "foreign frame alone");
        std::vector<FrameKind> kinds;
        engine.SetFrameObserver([&kinds](const FrameEvent &e) { kinds.push_back(e.kind); });
        ScriptedResponder slave(pty, [&](const Bytes &) { return realFollows ? Concat(c.foreign, real) : c.foreign; });
        uint16_t word = 0;
        const ResultCode r = engine.ReadRegisters(0x03, 0x05, 0x0020, 1, &word);
        slave.Stop();
        engine.SetFrameObserver({});
        if (realFollows) {
            EXPECT_EQ(r, Result::NoError);
            EXPECT_EQ(word, 1000);
        } else {
            EXPECT_EQ(r, c.alone);
        }
        // Another slave's frame is skipped byte by byte while the address
        // is searched for; a frame from this slave is recognised whole.
        if (c.foreign[0] == 0x05) {
            EXPECT_NE(std::find(kinds.begin(), kinds.end(), FrameKind::Stale), kinds.end());
        }
        usleep(150000); // past the late-reply wait of a failed attempt
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, ForeignFrames,
    ::testing::Values(
        ForeignCase{"two_registers_for_one", WithCrc({0x05, 0x03, 0x04, 0x00, 0x02, 0x00, 0x00}),
                    Result::ReceivedDataError},
        ForeignCase{"input_register_reply", WithCrc({0x05, 0x04, 0x02, 0x00, 0x07}), Result::ReadCommandError},
        ForeignCase{"late_write_echo", WithCrc({0x05, 0x06, 0x00, 0x25, 0x00, 0x01}), Result::ReadCommandError},
        ForeignCase{"exception_to_a_write", WithCrc({0x05, 0x86, 0x02}), Result::ReadCommandError},
        ForeignCase{"another_slaves_reply", WithCrc({0x07, 0x03, 0x02, 0x00, 0x09}), Result::ReadDataWait}),
    [](const auto &info) { return std::string(info.param.what); });

struct RefusedCase {
    const char *what;
    bool read;
    uint32_t function;
    uint8_t address;
    uint16_t count;
};

class RefusedBeforeSending : public EngineOnPty, public ::testing::WithParamInterface<RefusedCase> {};

TEST_P(RefusedBeforeSending, ParameterErrorPutsNothingOnTheLine)
{
    const RefusedCase &c = GetParam();
    std::vector<uint16_t> words(130, 1);
    const ResultCode r = c.read ? engine.ReadRegisters(static_cast<uint8_t>(c.function), c.address, 0x20, c.count,
                                                       words.data())
                                : engine.WriteRegisters(c.function, c.address, 0x20, c.count, words.data());
    EXPECT_EQ(r, Result::ParameterError);
    EXPECT_TRUE(pty.Read(50).empty());
}

INSTANTIATE_TEST_SUITE_P(Cases, RefusedBeforeSending,
                         ::testing::Values(RefusedCase{"read_address_0", true, 0x03, 0, 1},
                                           RefusedCase{"read_count_0", true, 0x03, 5, 0},
                                           RefusedCase{"read_count_126", true, 0x03, 5, 126},
                                           RefusedCase{"single_write_count_2", false, 0x06, 5, 2},
                                           RefusedCase{"multi_write_count_124", false, 0x10, 5, 124},
                                           RefusedCase{"write_count_0", false, 0x10, 5, 0},
                                           RefusedCase{"write_with_read_function", false, 0x03, 5, 1}),
                         [](const auto &info) { return std::string(info.param.what); });

TEST(EngineWithoutPort, EveryOperationIsAPortError)
{
    std::unique_ptr<C_ComPort> none;
    uint32_t delay = 30;
    FakeClock clock;
    RtuEngine engine{none, delay, clock};
    const uint8_t pdu[] = {0x03, 0, 0x20, 0, 1};
    uint8_t out[20];
    int32_t length = 0;
    uint16_t word = 0;
    EXPECT_EQ(engine.SendRequest(5, pdu, sizeof pdu), Result::PortError);
    EXPECT_EQ(engine.ReceiveResponse(5, out, sizeof out, length, true), Result::PortError);
    EXPECT_EQ(engine.ReadRegisters(0x03, 5, 0x20, 1, &word), Result::PortError);
    EXPECT_EQ(engine.WriteRegisters(0x06, 5, 0x20, 1, &word), Result::PortError);
    EXPECT_TRUE(clock.sleeps.empty());
}

TEST_F(EngineOnPty, ShortWriteIsAWriteError)
{
    // The same line on a clock that runs out while the write waits for room.
    FakeClock clock;
    clock.tickStep = 150;
    comPort = std::make_unique<C_ComPort>(clock);
    ASSERT_TRUE(comPort->Open(pty.slavePath(), 115200, 0));
    FillLine(comPort->handle);
    const uint8_t pdu[] = {0x03, 0, 0x20, 0, 1};
    EXPECT_EQ(engine.SendRequest(5, pdu, sizeof pdu), Result::WriteError);
    comPort.reset();
}

// ---- DelayWithMessages ----------------------------------------------------

TEST(DelayWithMessages, ZeroReturnsAtOnceWithoutHandlingMessages)
{
    std::unique_ptr<C_ComPort> none;
    uint32_t delay = 30;
    FakeClock clock;
    int pumps = 0;
    RtuEngine engine{none, delay, clock, [&](uint32_t) { ++pumps; }};
    engine.DelayWithMessages(0);
    EXPECT_EQ(pumps, 0);
    EXPECT_TRUE(clock.sleeps.empty());
}

TEST(DelayWithMessages, LastsTheRequestedTimeAcrossTheTickWrap)
{
    std::unique_ptr<C_ComPort> none;
    uint32_t delay = 30;
    FakeClock clock(0xFFFFFFF0u);
    RtuEngine engine{none, delay, clock};
    engine.DelayWithMessages(40);
    EXPECT_EQ(clock.now(), 0xFFFFFFF0u + 40u);
}

TEST(DelayWithMessages, HandsTheRemainingTimeToThePump)
{
    std::unique_ptr<C_ComPort> none;
    uint32_t delay = 30;
    FakeClock clock;
    std::vector<uint32_t> offered;
    // A pump that is woken by an event after 7 ms, then sleeps out the rest.
    RtuEngine engine{none, delay, clock, [&](uint32_t maxWait) {
                         offered.push_back(maxWait);
                         clock.Advance(offered.size() == 1 ? 7 : maxWait);
                     }};
    engine.DelayWithMessages(20);
    EXPECT_EQ(offered, (std::vector<uint32_t>{20, 13}));
    EXPECT_EQ(clock.now(), 20u);
}

// A handler that becomes due while a transaction waits for its reply must
// not put its request on the line before that reply has been read.
TEST_F(EngineOnPty, HandlersRunOnlyBetweenTransactions)
{
    responseDelayMs = 30;
    std::vector<std::string> order;
    ScriptedResponder slave(pty, [&](const Bytes &r) {
        return WithCrc({r[0], 0x03, 0x02, 0x00, r[0]});
    });
    bool handlerDue = false;
    bool handlerRan = false;
    engine.SetMessagePump([&](uint32_t maxWait) {
        if (handlerDue && !handlerRan) {
            handlerRan = true;
            order.push_back(engine.InTransaction() ? "handler inside a transaction" : "handler");
            uint16_t w = 0;
            EXPECT_EQ(engine.ReadRegisters(0x03, 9, 0x20, 1, &w), Result::NoError);
            EXPECT_EQ(w, 9);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(maxWait));
    });

    const uint8_t pdu[] = {0x03, 0x00, 0x20, 0x00, 0x01};
    ASSERT_EQ(engine.SendRequest(5, pdu, sizeof pdu), Result::NoError);
    handlerDue = true;  // e.g. a timer tick fell due right after the request went out
    engine.DelayWithMessages(responseDelayMs);
    EXPECT_FALSE(handlerRan);
    uint8_t out[20];
    int32_t length = 0;
    EXPECT_EQ(engine.ReceiveResponse(5, out, sizeof out, length, true), Result::NoError);
    EXPECT_EQ(out[1], 5);
    order.push_back("reply read");
    engine.DelayWithMessages(20);  // the gap after an attempt
    EXPECT_TRUE(handlerRan);
    EXPECT_EQ(order, (std::vector<std::string>{"reply read", "handler"}));
    slave.Stop();
    const auto requests = slave.requests();
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0][0], 5);
    EXPECT_EQ(requests[1][0], 9);
}

} // namespace

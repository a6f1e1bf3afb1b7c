// The engine against replies that travel as on a real RS-485 line: paced at
// the character rate, after the slave's turnaround, handed over by a USB
// adapter in latency-timer chunks, optionally behind the adapter's echo.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <memory>
#include <thread>

#include "FakeClock.h"
#include "PtyPair.h"
#include "modbus/Frames.h"
#include "modbus/RtuEngine.h"

namespace {

// A well-behaved slave at address 5: register r holds 0x1000 + r; writes are
// answered as the protocol says.
Bytes Device(const Bytes &request)
{
    if (request.size() < 8 || request[0] != 5)
        return {};
    const uint8_t function = request[1];
    const uint16_t start = Rtu::GetU16(&request[2]);
    if (function == 0x03 || function == 0x04) {
        const uint16_t count = Rtu::GetU16(&request[4]);
        Bytes reply{5, function, static_cast<uint8_t>(2 * count)};
        for (uint16_t i = 0; i < count; ++i) {
            const uint16_t value = static_cast<uint16_t>(0x1000 + start + i);
            reply.insert(reply.end(), {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)});
        }
        return WithCrc(reply);
    }
    if (function == 0x06)
        return request;
    if (function == 0x10)
        return WithCrc(Bytes(request.begin(), request.begin() + 6));
    return {};
}

using Clock_ = std::chrono::steady_clock;

int64_t MsSince(Clock_::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock_::now() - start).count();
}

class EngineOnLine : public ::testing::Test {
protected:
    PtyPair pty;
    std::unique_ptr<C_ComPort> comPort = std::make_unique<C_ComPort>();
    uint32_t responseDelayMs = 30;
    RtuEngine engine{comPort, responseDelayMs};

    void SetUp() override { ASSERT_TRUE(comPort->Open(pty.slavePath(), 115200, 2048)); }
};

// ---- The window's fixed wait on a paced line ------------------------------

// At 4800 baud the request takes 16.7 ms and the 33-byte block reply 68.8 ms;
// after a turnaround of 5 to 20 ms its last byte is on the wire 90.5 to
// 105.5 ms after the request went out, and an adapter may hold it 16 ms more:
// 121.5 ms at worst. The engine starts reading at 100 ms (the window's wait)
// and each step's Read may wait 10 empty polls of 10 ms, so the step that
// needs the last byte has until 200 ms at least.
TEST(ReadBudget, CoversTheSlowestHealthyReplyAtFortyEightHundred)
{
    const uint32_t waitMs = 100;
    const uint32_t budgetMs = 10 * C_ComPort::ReadPollMs;
    const Bytes request(8, 0);
    const Bytes reply(33, 0);
    for (double turnaround : {5.0, 10.0, 20.0}) {
        LineModel line;
        line.baud = 4800;
        line.turnaroundMs = turnaround;
        line.latencyMs = 16;
        const double lastByte = (8 + 33) * line.CharMs() + turnaround;
        const double worst = lastByte + line.latencyMs;
        const double modelled = AdapterDeliveries(line, request, reply).back().atMs;
        EXPECT_LE(modelled, worst);
        EXPECT_LT(worst, waitMs + budgetMs) << "turnaround " << turnaround;
    }
    LineModel slowest;
    slowest.baud = 4800;
    EXPECT_NEAR((8 + 33) * slowest.CharMs() + 20 + 16, 121.5, 0.1);
}

struct PacedCase {
    const char *what;
    int32_t baud;
    uint32_t replyWaitMs;  // what the window waits at that rate
    double turnaroundMs;
    double latencyMs;
    bool echo = false;
};

void PrintTo(const PacedCase &c, std::ostream *os)
{
    *os << c.what;
}

class FixedWaitOnPacedLine : public EngineOnLine, public ::testing::WithParamInterface<PacedCase> {};

// The 14-register block read (a 33-byte reply) with the window's wait: a
// reply still arriving when the wait ends must be read to its end, not
// failed on its first piece.
TEST_P(FixedWaitOnPacedLine, BlockReadCompletes)
{
    const PacedCase &c = GetParam();
    responseDelayMs = c.replyWaitMs;
    LineModel line;
    line.baud = c.baud;
    line.turnaroundMs = c.turnaroundMs;
    line.latencyMs = c.latencyMs;
    line.echo = c.echo;
    ScriptedResponder slave(pty, line, Device);
    uint16_t words[14] = {};
    const auto start = Clock_::now();
    ASSERT_EQ(engine.ReadRegisters(0x03, 5, 0x001F, 14, words), Result::NoError);
    EXPECT_EQ(words[0], 0x101F);
    EXPECT_EQ(words[13], 0x102C);
    // No more than the wait and one read's polling budget.
    const int64_t took = MsSince(start);
    RecordProperty("ms", static_cast<int>(took));
    EXPECT_LT(took, c.replyWaitMs + 100 + 50);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, FixedWaitOnPacedLine,
    ::testing::Values(PacedCase{"b4800_turn5_ftdi", 4800, 100, 5, 16}, PacedCase{"b4800_turn20_ftdi", 4800, 100, 20, 16},
                      PacedCase{"b4800_turn20_direct", 4800, 100, 20, 0},
                      PacedCase{"b4800_turn20_ftdi_echo", 4800, 100, 20, 16, true},
                      PacedCase{"b9600_turn5_ftdi", 9600, 55, 5, 16}, PacedCase{"b9600_turn20_ftdi", 9600, 55, 20, 16},
                      PacedCase{"b19200_turn5_ftdi", 19200, 40, 5, 16},
                      PacedCase{"b19200_turn20_ftdi", 19200, 40, 20, 16},
                      PacedCase{"b115200_turn5_ftdi", 115200, 30, 5, 16},
                      PacedCase{"b115200_turn20_ftdi", 115200, 30, 20, 16}),
    [](const auto &info) { return std::string(info.param.what); });

} // namespace

namespace {

// ---- Echo -----------------------------------------------------------------

struct EchoCase {
    const char *what;
    uint8_t function;
    bool lineEchoes;
    bool deviceAnswers;
};

void PrintTo(const EchoCase &c, std::ostream *os)
{
    *os << c.what;
}

// Runs one transaction of `function` at address 5 (register 0x0020) and
// returns its result.
ResultCode Transact(RtuEngine &engine, uint8_t function)
{
    uint16_t words[2] = {};
    if (function == 0x03 || function == 0x04) {
        const ResultCode r = engine.ReadRegisters(function, 5, 0x0020, 2, words);
        if (r == Result::NoError && (words[0] != 0x1020 || words[1] != 0x1021))
            return 0xEEEE;  // wrong data taken for the reply
        return r;
    }
    const uint16_t values[2] = {0x0003, 0x0004};
    return engine.WriteRegisters(function, 5, 0x0020, function == 0x06 ? 1 : 2, values);
}

class EchoOnPacedLine : public EngineOnLine, public ::testing::WithParamInterface<EchoCase> {
protected:
    LineModel Line() const
    {
        LineModel line;
        line.baud = 19200;
        line.turnaroundMs = 5;
        line.latencyMs = 16;
        line.echo = GetParam().lineEchoes;
        return line;
    }
    ScriptedResponder::Script Slave() const
    {
        const bool answers = GetParam().deviceAnswers;
        return [answers](const Bytes &r) { return answers ? Device(r) : Bytes{}; };
    }
};

// From a fresh connection, and again once the engine has learned the line:
// a reply is never lost behind an echo, and an echo is never a reply.
TEST_P(EchoOnPacedLine, NeverAFalseSuccessNeverASwallowedReply)
{
    const EchoCase &c = GetParam();
    responseDelayMs = 40;
    ScriptedResponder slave(pty, Line(), Slave());
    const ResultCode expected = c.deviceAnswers ? Result::NoError : Result::ReadDataWait;
    for (int round = 0; round < 2; ++round) {
        EXPECT_EQ(Transact(engine, c.function), expected) << "round " << round;
        if (!c.deviceAnswers) {
            EXPECT_EQ(engine.BytesHeard(), 0u) << "an echo is not a slave speaking";
        }
    }
    EXPECT_EQ(engine.EchoSeen(), c.lineEchoes);
    // A plain line is known once a slave has answered; an echoing one as soon
    // as a copy of the request came back.
    const EchoState expectedState = c.lineEchoes        ? EchoState::Echoes
                                    : c.deviceAnswers ? EchoState::NoEcho
                                                      : EchoState::Unknown;
    EXPECT_EQ(engine.LearnedEcho(), expectedState);
}

// The first 0x06 on an unknown line may need one read to tell the echo from
// the reply; the second must not.
TEST_P(EchoOnPacedLine, AtMostOneSettlingReadPerConnection)
{
    const EchoCase &c = GetParam();
    responseDelayMs = 40;
    ScriptedResponder slave(pty, Line(), Slave());
    Transact(engine, c.function);
    Transact(engine, c.function);
    slave.Stop();
    const auto requests = slave.requests();
    size_t ours = 0;
    for (const Bytes &r : requests)
        ours += r[1] == c.function ? 1 : 0;
    EXPECT_EQ(ours, 2u);
    // A lone copy of the 0x06 comes on a plain line with an answering slave
    // (the reply) and on an echoing line with a silent one (the echo).
    const bool loneCopy = c.function == 0x06 && c.lineEchoes != c.deviceAnswers;
    EXPECT_EQ(requests.size() - ours, loneCopy ? 1u : 0u);
    if (loneCopy) {
        EXPECT_EQ(requests[1], WithCrc({5, 0x03, 0x00, 0x20, 0x00, 0x01})) << "a read of the written register";
    }
}

std::vector<EchoCase> EchoCases()
{
    std::vector<EchoCase> cases;
    static const char *names[4][2][2] = {
        {{"fc03_plain_silent", "fc03_plain_answers"}, {"fc03_echo_silent", "fc03_echo_answers"}},
        {{"fc04_plain_silent", "fc04_plain_answers"}, {"fc04_echo_silent", "fc04_echo_answers"}},
        {{"fc06_plain_silent", "fc06_plain_answers"}, {"fc06_echo_silent", "fc06_echo_answers"}},
        {{"fc10_plain_silent", "fc10_plain_answers"}, {"fc10_echo_silent", "fc10_echo_answers"}}};
    const uint8_t functions[4] = {0x03, 0x04, 0x06, 0x10};
    for (int f = 0; f < 4; ++f)
        for (int e = 0; e < 2; ++e)
            for (int a = 0; a < 2; ++a)
                cases.push_back({names[f][e][a], functions[f], e == 1, a == 1});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Table, EchoOnPacedLine, ::testing::ValuesIn(EchoCases()),
                         [](const auto &info) { return std::string(info.param.what); });

} // namespace

namespace {

TEST_F(EngineOnLine, ANewConnectionForgetsWhatTheLastOneShowed)
{
    LineModel line;
    line.echo = true;
    {
        ScriptedResponder slave(pty, line, Device);
        uint16_t word = 0;
        ASSERT_EQ(engine.ReadRegisters(0x03, 5, 0x0020, 1, &word), Result::NoError);
        EXPECT_EQ(word, 0x1020);
        EXPECT_TRUE(engine.EchoSeen());
        EXPECT_EQ(engine.LearnedEcho(), EchoState::Echoes);
    }
    // The same port object opened again, as after a reconnect.
    ASSERT_TRUE(comPort->Open(pty.slavePath(), 115200, 2048));
    EXPECT_FALSE(engine.EchoSeen());
    EXPECT_EQ(engine.LearnedEcho(), EchoState::Unknown);
    // A new port object at possibly the same address, too.
    comPort = std::make_unique<C_ComPort>();
    ASSERT_TRUE(comPort->Open(pty.slavePath(), 115200, 2048));
    EXPECT_EQ(engine.LearnedEcho(), EchoState::Unknown);
}

// Echo forced on for a line that does not echo: a read reply is still taken
// (it cannot be mistaken for the request), and a 0x06 reply, taken for the
// echo, makes the write fail rather than pass unconfirmed.
TEST_F(EngineOnLine, EchoForcedOnAPlainLineNeverPassesAWriteUnconfirmed)
{
    engine.SetEchoMode(EchoMode::On);
    ScriptedResponder slave(pty, Device);
    uint16_t word = 0;
    EXPECT_EQ(engine.ReadRegisters(0x03, 5, 0x0020, 1, &word), Result::NoError);
    EXPECT_EQ(word, 0x1020);
    const uint16_t value = 3;
    EXPECT_EQ(engine.WriteRegisters(0x06, 5, 0x0020, 1, &value), Result::ReadDataWait);
    EXPECT_FALSE(engine.EchoSeen());
}

// A 0x06 write whose copy alone came back is settled by reading the register
// (echo or reply?). When that read's answer comes after its window, the copy
// is taken for the reply, and the late answer must not then be taken for the
// answer to the next one-register read: it is waited out first.
TEST_F(EngineOnLine, ALateAnswerToTheEchoProbeIsNotTheNextReadsAnswer)
{
    engine.SetReplyMode(ReplyMode::AsSoonAsComplete);
    engine.SetReplyWindow([](const uint8_t *, size_t) { return 15u; });
    ScriptedResponder slave(pty, [](const Bytes &request) {
        if (request.size() >= 8 && request[1] == 0x03 && Rtu::GetU16(&request[2]) == 0x0024)
            std::this_thread::sleep_for(std::chrono::milliseconds(40)); // the probe, answered late
        return Device(request);
    });
    const uint16_t speed = 55;
    ASSERT_EQ(engine.WriteRegisters(0x06, 5, 0x0024, 1, &speed), Result::NoError);
    uint16_t name = 0;
    ASSERT_EQ(engine.ReadRegisters(0x03, 5, 0x0010, 1, &name), Result::NoError);
    EXPECT_EQ(name, 0x1010) << "the probe's late answer, 0x1024, was taken for the motor ID";
}

} // namespace

namespace {

// ---- Garbage on the line ---------------------------------------------------

Bytes ReplyFor(const Bytes &request, uint16_t bias)
{
    Bytes reply = Device(request);
    if (reply.size() > 5) {
        reply[4] = static_cast<uint8_t>(reply[4] + bias);
        Rtu::AppendCrc(reply.data(), reply.size() - 2);
    }
    return reply;
}

struct GarbageCase {
    const char *what;
    std::function<Bytes(const Bytes &request)> line;
};

void PrintTo(const GarbageCase &c, std::ostream *os)
{
    *os << c.what;
}

class GarbageOnTheLine : public EngineOnLine, public ::testing::WithParamInterface<GarbageCase> {};

// Two slaves at one address, noise and a wrong baud rate end in one of the
// reply errors, never in a success, and in bounded time; in both reply modes
// and for strict and searching reads.
TEST_P(GarbageOnTheLine, EndsInAReplyErrorInBoundedTime)
{
    LineModel line;
    line.baud = 19200;
    line.turnaroundMs = 3;
    line.latencyMs = 16;
    responseDelayMs = 40;
    ScriptedResponder slave(pty, line, GetParam().line);
    const uint8_t pdu[5] = {0x03, 0x00, 0x1F, 0x00, 0x0E};
    for (ReplyMode mode : {ReplyMode::FixedWait, ReplyMode::AsSoonAsComplete}) {
        engine.SetReplyMode(mode, 150);
        for (bool searching : {false, true}) {
            // After a failed read the request first waits out what may still
            // come of the last reply: at most its window, the adapter's
            // latency and t3.5 of quiet.
            const auto sending = Clock_::now();
            ASSERT_EQ(engine.SendRequest(5, pdu, sizeof pdu), Result::NoError);
            EXPECT_LT(MsSince(sending), 150 + 16 + 60);
            const auto start = Clock_::now();
            engine.WaitForReply(responseDelayMs);
            uint8_t out[40] = {};
            int32_t length = 0;
            const ResultCode r = engine.ReceiveResponse(5, out, sizeof out, length, searching);
            const int64_t took = MsSince(start);
            EXPECT_TRUE(r == Result::ReadError || r == Result::ReadHeadError || r == Result::ReadCommandError
                        || r == Result::ChecksumError || r == Result::ReadDataWait)
                << std::hex << "0x" << r << (searching ? " searching" : " strict");
            // Fixed: the wait and a few steps of 100 ms at most; fast: the window.
            EXPECT_LT(took, mode == ReplyMode::FixedWait ? 800 : 150 + 60) << (searching ? "searching" : "strict");
            usleep(60000);  // let the rest of the garbage pass before the next request
        }
    }
}

Bytes Noise(size_t n, uint32_t seed)
{
    Bytes b(n);
    for (uint8_t &x : b) {
        seed = seed * 1103515245u + 12345u;
        x = static_cast<uint8_t>(seed >> 16);
    }
    return b;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, GarbageOnTheLine,
    ::testing::Values(
        // Both drive the line at once; a driven 0 wins over the idle 1.
        GarbageCase{"two_slaves_at_once",
                    [](const Bytes &r) {
                        Bytes a = ReplyFor(r, 0), b = ReplyFor(r, 0x5A);
                        for (size_t i = 0; i < a.size(); ++i)
                            a[i] &= b[i];
                        return a;
                    }},
        // The second slave starts while the first is still talking.
        GarbageCase{"two_slaves_one_after_the_other_mixed",
                    [](const Bytes &r) {
                        Bytes a = ReplyFor(r, 0), b = ReplyFor(r, 0x5A);
                        Bytes mixed(a.begin(), a.begin() + 9);
                        mixed.insert(mixed.end(), b.begin(), b.end());
                        return mixed;
                    }},
        GarbageCase{"noise", [](const Bytes &) { return Noise(40, 7); }},
        GarbageCase{"noise_with_the_address_in_it", [](const Bytes &) {
                        Bytes n = Noise(40, 11);
                        n[0] = 5;
                        n[12] = 5;
                        return n;
                    }},
        GarbageCase{"reply_cut_in_the_data", [](const Bytes &r) { Bytes a = ReplyFor(r, 0); a.resize(12); return a; }},
        GarbageCase{"reply_cut_after_the_address", [](const Bytes &r) { return Bytes{r[0]}; }},
        // A slave at half the host's rate: every bit lasts two, so each of
        // its characters reads as a framing-broken 0x00, 0x80 or 0xF8.
        GarbageCase{"slave_slower_than_the_host",
                    [](const Bytes &) {
                        Bytes b;
                        for (int i = 0; i < 33; ++i)
                            b.insert(b.end(), {0x00, static_cast<uint8_t>(i % 2 ? 0x80 : 0xF8)});
                        return b;
                    }},
        // A slave at twice the host's rate: characters merge into fewer, mostly 0xFF-ish.
        GarbageCase{"slave_faster_than_the_host",
                    [](const Bytes &) {
                        Bytes b;
                        for (int i = 0; i < 16; ++i)
                            b.push_back(static_cast<uint8_t>(i % 3 ? 0xFE : 0xE6));
                        return b;
                    }},
        GarbageCase{"the_address_over_and_over", [](const Bytes &) { return Bytes(300, 0x05); }}),
    [](const auto &info) { return std::string(info.param.what); });

// ---- Replies as soon as they are complete -----------------------------------

class FastReplyOnPacedLine : public EngineOnLine, public ::testing::WithParamInterface<PacedCase> {};

// The block read ends within a few polls of its last byte's arrival, not at
// the end of a fixed wait.
TEST_P(FastReplyOnPacedLine, EndsAsSoonAsTheFrameIsIn)
{
    const PacedCase &c = GetParam();
    LineModel line;
    line.baud = c.baud;
    line.turnaroundMs = c.turnaroundMs;
    line.latencyMs = c.latencyMs;
    // On the wire, the turnaround, the adapter's latency, and room to spare.
    const uint32_t window = static_cast<uint32_t>((8 + 33) * line.CharMs() + c.turnaroundMs + c.latencyMs) + 100;
    engine.SetReplyMode(ReplyMode::AsSoonAsComplete, window);
    ScriptedResponder slave(pty, line, Device);
    uint16_t words[14] = {};
    ASSERT_EQ(engine.ReadRegisters(0x03, 5, 0x001F, 14, words), Result::NoError);
    const auto done = Clock_::now();
    EXPECT_EQ(words[13], 0x102C);
    const auto late = std::chrono::duration_cast<std::chrono::milliseconds>(done - slave.lastDelivery()).count();
    RecordProperty("ms_after_last_byte", static_cast<int>(late));
    EXPECT_LT(late, 10) << "ms after the last byte arrived";
}

INSTANTIATE_TEST_SUITE_P(Rates, FastReplyOnPacedLine,
                         ::testing::Values(PacedCase{"b4800_turn20_ftdi", 4800, 0, 20, 16},
                                           PacedCase{"b9600_turn5_ftdi", 9600, 0, 5, 16},
                                           PacedCase{"b19200_turn5_direct", 19200, 0, 5, 0},
                                           PacedCase{"b115200_turn5_ftdi", 115200, 0, 5, 16}),
                         [](const auto &info) { return std::string(info.param.what); });

// Where real time is not the point: a silent slave costs exactly the window,
// in polls of FastPollMs, and nothing is heard; noise is heard.
TEST(FastReply, GivesUpWhenTheWindowHasPassedAndTellsWhetherAnythingWasHeard)
{
    PtyPair pty;
    FakeClock clock;
    std::unique_ptr<C_ComPort> comPort = std::make_unique<C_ComPort>(clock);
    ASSERT_TRUE(comPort->Open(pty.slavePath(), 115200, 0));
    uint32_t responseDelayMs = 30;
    RtuEngine engine{comPort, responseDelayMs, clock};
    engine.SetReplyMode(ReplyMode::AsSoonAsComplete, 25);
    uint16_t word = 0;

    EXPECT_EQ(engine.ReadRegisters(0x03, 5, 0x0020, 1, &word), Result::ReadDataWait);
    EXPECT_EQ(clock.sleeps, std::vector<uint32_t>(25, RtuEngine::FastPollMs)) << "no fixed wait, one poll a ms";
    EXPECT_EQ(engine.BytesHeard(), 0u);

    // The next request to that slave first waits until its reply could no
    // longer come: as late as the window's mode would take it (30 ms and ten
    // polls of 10 ms), and the adapter's 16 ms, counted from the silent
    // request's write; the line has been quiet for t3.5 by then.
    clock.sleeps.clear();
    const uint8_t pdu[5] = {0x03, 0x00, 0x20, 0x00, 0x01};
    ASSERT_EQ(engine.SendRequest(5, pdu, sizeof pdu), Result::NoError);
    EXPECT_EQ(clock.sleeps, std::vector<uint32_t>(30 + 100 + 16 - 25, 1u));

    // Bytes that are no reply: a scan should try this address again.
    clock.sleeps.clear();
    pty.Write({0x05, 0x03, 0x02, 0x10});
    usleep(20000);
    uint8_t out[4];
    int32_t length = 0;
    EXPECT_EQ(engine.ReceiveResponse(5, out, sizeof out, length, true), Result::ReadError);
    EXPECT_EQ(engine.BytesHeard(), 4u);
    EXPECT_EQ(clock.sleeps.size(), 25u);
}

} // namespace

namespace {

// One frame to an address no slave has tells an echoing adapter from a
// plain one; the first write after it needs no settling read.
TEST_F(EngineOnLine, CheckEchoLearnsTheLineWithoutASlave)
{
    for (bool echoes : {false, true}) {
        ASSERT_TRUE(comPort->Open(pty.slavePath(), 115200, 2048));
        LineModel line;
        line.echo = echoes;
        ScriptedResponder slave(pty, line, Device);
        EXPECT_EQ(engine.CheckEcho(), echoes ? EchoState::Echoes : EchoState::NoEcho);
        EXPECT_EQ(engine.EchoSeen(), echoes);
        const uint16_t value = 7;
        EXPECT_EQ(engine.WriteRegisters(0x06, 5, 0x0020, 1, &value), Result::NoError);
        slave.Stop();
        const auto requests = slave.requests();
        ASSERT_EQ(requests.size(), 2u);
        EXPECT_EQ(requests[0], WithCrc({248, 0x03, 0x00, 0x00, 0x00, 0x01}));
        EXPECT_EQ(requests[1][1], 0x06);
    }
}

} // namespace

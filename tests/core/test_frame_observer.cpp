// What the engine reports to a frame observer, over a real pty with replies
// paced as on a line: each frame once, in order, the echo told from the
// reply, and the same outcome as without an observer.

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "PtyPair.h"
#include "modbus/FrameObserver.h"
#include "modbus/Frames.h"
#include "modbus/RtuEngine.h"

namespace {

// A slave at address 5: register r holds 0x1000 + r; a 0x06 is answered
// with its copy.
Bytes Device(const Bytes &request)
{
    if (request.size() < 8 || request[0] != 5)
        return {};
    if (request[1] == 0x06)
        return request;
    const uint16_t start = Rtu::GetU16(&request[2]);
    const uint16_t count = Rtu::GetU16(&request[4]);
    Bytes reply{5, request[1], static_cast<uint8_t>(2 * count)};
    for (uint16_t i = 0; i < count; ++i) {
        const uint16_t value = static_cast<uint16_t>(0x1000 + start + i);
        reply.insert(reply.end(), {static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value & 0xFF)});
    }
    return WithCrc(reply);
}

struct Seen {
    FrameKind kind;
    uint32_t ms;
    uint8_t address;
    bool broadcast;
    ResultCode result;
    Bytes bytes;
};

struct ObserverCase {
    const char *what;
    bool lineEchoes;
    bool deviceAnswers;
    ReplyMode mode;
    uint8_t function;
    // The kinds reported, in order.
    std::vector<FrameKind> kinds;
};

void PrintTo(const ObserverCase &c, std::ostream *os)
{
    *os << c.what;
}

class FrameObserverOnLine : public ::testing::TestWithParam<ObserverCase> {
protected:
    PtyPair pty;
    std::unique_ptr<C_ComPort> comPort = std::make_unique<C_ComPort>();
    uint32_t responseDelayMs = 30;
    RtuEngine engine{comPort, responseDelayMs};
    std::vector<Seen> seen;

    void SetUp() override
    {
        ASSERT_TRUE(comPort->Open(pty.slavePath(), 19200, 2048));
        engine.SetReplyMode(GetParam().mode, 120);
    }

    ResultCode Transact()
    {
        uint16_t words[2] = {7, 0};
        if (GetParam().function == 0x03)
            return engine.ReadRegisters(0x03, 5, 0x0020, 2, words);
        return engine.WriteRegisters(0x06, 5, 0x0020, 1, words);
    }
};

TEST_P(FrameObserverOnLine, ReportsEachFrameOnceWithTheOutcomeOfTheTransaction)
{
    const ObserverCase &c = GetParam();
    LineModel line;
    line.baud = 19200;
    line.turnaroundMs = 5;
    line.latencyMs = 2;
    line.echo = c.lineEchoes;
    ScriptedResponder slave(pty, line, [&c](const Bytes &r) { return c.deviceAnswers ? Device(r) : Bytes{}; });

    // Without an observer first: the outcome to compare with.
    const ResultCode unobserved = Transact();
    comPort->Open(pty.slavePath(), 19200, 2048); // what the line showed is forgotten
    engine.SetFrameObserver([this](const FrameEvent &e) {
        seen.push_back({e.kind, e.ms, e.address, e.broadcast, e.result, Bytes(e.bytes.begin(), e.bytes.end())});
    });
    const ResultCode observed = Transact();
    EXPECT_EQ(observed, unobserved);

    std::vector<FrameKind> kinds;
    for (const Seen &s : seen)
        kinds.push_back(s.kind);
    ASSERT_EQ(kinds, c.kinds);
    EXPECT_EQ(seen.back().result, observed);
    // Each request as the slave heard it, each echo a copy of the request
    // before it, each reply what the slave sent.
    std::vector<Bytes> written;
    Bytes request;
    for (const Seen &s : seen) {
        EXPECT_EQ(s.address, 5);
        EXPECT_FALSE(s.broadcast);
        if (s.kind == FrameKind::Request) {
            request = s.bytes;
            written.push_back(s.bytes);
        }
        if (s.kind == FrameKind::Echo) {
            EXPECT_EQ(s.bytes, request);
        }
        if (s.kind == FrameKind::Reply && c.function == 0x03) {
            EXPECT_EQ(s.bytes, Device(request));
        }
    }
    const std::vector<Bytes> heard = slave.requests();
    ASSERT_GE(heard.size(), written.size());
    EXPECT_EQ(std::vector<Bytes>(heard.end() - static_cast<std::ptrdiff_t>(written.size()), heard.end()), written);
    // Times never go back, but for the copy reported after its settling read.
    for (size_t i = 1; i < seen.size(); ++i)
        if (i + 2 != seen.size() || kinds.size() != 6) {
            EXPECT_GE(seen[i].ms, seen[i - 1].ms) << i;
        }
}

using enum FrameKind;
INSTANTIATE_TEST_SUITE_P(
    Table, FrameObserverOnLine,
    ::testing::Values(
        ObserverCase{"read on a plain line", false, true, ReplyMode::AsSoonAsComplete, 0x03, {Request, Reply, Finished}},
        ObserverCase{"read with the window's fixed wait", false, true, ReplyMode::FixedWait, 0x03,
                     {Request, Reply, Finished}},
        ObserverCase{"read behind an echo", true, true, ReplyMode::AsSoonAsComplete, 0x03,
                     {Request, Echo, Reply, Finished}},
        ObserverCase{"silent slave", false, false, ReplyMode::AsSoonAsComplete, 0x03, {Request, Finished}},
        ObserverCase{"silent slave behind an echo", true, false, ReplyMode::AsSoonAsComplete, 0x03,
                     {Request, Echo, Finished}},
        ObserverCase{"write behind an echo", true, true, ReplyMode::AsSoonAsComplete, 0x06,
                     {Request, Echo, Reply, Finished}},
        // A lone copy of a write on a line not known yet: the settling read
        // is a transaction of its own, and the copy is reported once that
        // read has shown it was the slave's reply.
        ObserverCase{"write on a plain line not known yet", false, true, ReplyMode::AsSoonAsComplete, 0x06,
                     {Request, Request, Reply, Finished, Reply, Finished}}));

} // namespace

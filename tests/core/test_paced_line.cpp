// The engine against replies that travel as on a real RS-485 line: paced at
// the character rate, after the slave's turnaround, handed over by a USB
// adapter in latency-timer chunks, optionally behind the adapter's echo.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "PtyPair.h"
#include "modbus/Frames.h"
#include "modbus/RtuEngine.h"

namespace {

Bytes WithCrc(Bytes frame)
{
    frame.resize(frame.size() + 2);
    Rtu::AppendCrc(frame.data(), frame.size() - 2);
    return frame;
}

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
};

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
    ScriptedResponder slave(pty, line, Device);
    uint16_t words[14] = {};
    const auto start = Clock_::now();
    ASSERT_EQ(engine.ReadRegisters(0x03, 5, 0x001F, 14, words), Result::NoError);
    EXPECT_EQ(words[0], 0x101F);
    EXPECT_EQ(words[13], 0x102C);
    // No more than the wait and one read's polling budget.
    EXPECT_LT(MsSince(start), c.replyWaitMs + 100 + 50);
}

INSTANTIATE_TEST_SUITE_P(
    Rates, FixedWaitOnPacedLine,
    ::testing::Values(PacedCase{"b4800_turn5_ftdi", 4800, 100, 5, 16}, PacedCase{"b4800_turn20_ftdi", 4800, 100, 20, 16},
                      PacedCase{"b4800_turn20_direct", 4800, 100, 20, 0},
                      PacedCase{"b9600_turn5_ftdi", 9600, 55, 5, 16}, PacedCase{"b9600_turn20_ftdi", 9600, 55, 20, 16},
                      PacedCase{"b19200_turn5_ftdi", 19200, 40, 5, 16},
                      PacedCase{"b19200_turn20_ftdi", 19200, 40, 20, 16},
                      PacedCase{"b115200_turn5_ftdi", 115200, 30, 5, 16},
                      PacedCase{"b115200_turn20_ftdi", 115200, 30, 20, 16}),
    [](const auto &info) { return std::string(info.param.what); });

} // namespace

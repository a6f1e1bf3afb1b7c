// The bus monitor's counters: transactions as the engine reports them, and
// what each device's counters say afterwards.

#include <gtest/gtest.h>

#include <vector>

#include "diagnostics/BusHealth.h"
#include "PtyPair.h"
#include "modbus/Frames.h"
#include "modbus/Registers.h"

namespace {

using Bytes = std::vector<uint8_t>;

// One transaction with the device at `address`, as the engine reports it.
struct Exchange {
    uint8_t address = 5;
    ResultCode result = Result::NoError;
    bool echo = false;
    Bytes reply;            // empty: nothing came
    uint32_t latencyMs = 10;
    bool broadcast = false;
};

const Bytes GoodReply = WithCrc({5, 0x03, 0x02, 0x03, 0xE8});
const Bytes BadCrcReply = {5, 0x03, 0x02, 0x03, 0xE8, 0x00, 0x00};

void Feed(BusHealth &health, const Exchange &x, uint32_t &now)
{
    const Bytes request = WithCrc({x.address, 0x03, 0x00, 0x20, 0x00, 0x01});
    auto event = [&](FrameKind kind, uint32_t ms, const Bytes &bytes, ResultCode result = 0) {
        FrameEvent e;
        e.kind = kind;
        e.ms = ms;
        e.address = x.address;
        e.broadcast = x.broadcast;
        e.result = result;
        e.bytes = bytes;
        health.OnFrame(e);
    };
    event(FrameKind::Request, now, request);
    if (x.broadcast) {
        now += 100;
        return;
    }
    if (x.echo)
        event(FrameKind::Echo, now + 1, request);
    if (!x.reply.empty())
        event(FrameKind::Reply, now + x.latencyMs, x.reply);
    event(FrameKind::Finished, now + x.latencyMs + 1, {}, x.result);
    now += 100;
}

struct HealthCase {
    const char *what;
    std::vector<Exchange> exchanges;
    DeviceHealth expected; // of address 5; latencies not compared here
};

void PrintTo(const HealthCase &c, std::ostream *os)
{
    *os << c.what;
}

DeviceHealth Counts(uint32_t requests, uint32_t good, uint32_t silent, uint32_t crc, uint32_t unreadable,
                    uint32_t exceptions, uint32_t echoes, uint32_t collisions)
{
    DeviceHealth h;
    h.address = 5;
    h.requests = requests;
    h.goodReplies = good;
    h.silent = silent;
    h.crcErrors = crc;
    h.unreadable = unreadable;
    h.exceptions = exceptions;
    h.echoes = echoes;
    h.collisionsSuspected = collisions;
    return h;
}

const Exchange Good{5, Result::NoError, false, GoodReply};
const Exchange Silence{5, Result::ReadDataWait, false, {}};
const Exchange Crc{5, Result::ChecksumError, false, BadCrcReply};
const Exchange Junk{5, Result::ReadDataWait, false, {0xFF, 0x13}};
const Exchange Exception{5, Result::ExceptionReply, false, WithCrc({5, 0x83, 0x02})};
const Exchange Echoed{5, Result::NoError, true, GoodReply};
const Exchange EchoThenSilence{5, Result::ReadDataWait, true, {}};
const Exchange Other{6, Result::NoError, false, WithCrc({6, 0x03, 0x02, 0x00, 0x01})};
const Exchange Broadcast{0, Result::NoError, false, {}, 0, true};

std::vector<HealthCase> Cases()
{
    return {
        {"good replies", {Good, Good}, Counts(2, 2, 0, 0, 0, 0, 0, 0)},
        {"silence is not an error of the reply", {Good, Silence}, Counts(2, 1, 1, 0, 0, 0, 0, 0)},
        {"a bad CRC", {Crc, Good}, Counts(2, 1, 0, 1, 0, 0, 0, 0)},
        {"bytes that make no frame", {Junk}, Counts(1, 0, 0, 0, 1, 0, 0, 0)},
        {"an exception is an answer", {Exception}, Counts(1, 0, 0, 0, 0, 1, 0, 0)},
        {"echoes", {Echoed, EchoThenSilence}, Counts(2, 1, 1, 0, 0, 0, 2, 0)},
        {"scattered noise is no collision", {Crc, Good, Junk, Good, Crc, Good}, Counts(6, 3, 0, 2, 1, 0, 0, 0)},
        {"a run of bad replies is", {Good, Crc, Junk, Crc, Crc}, Counts(5, 1, 0, 3, 1, 0, 0, 4)},
        {"silence breaks no run, a good reply does", {Crc, Silence, Crc, Good, Crc, Crc},
         Counts(6, 1, 1, 4, 0, 0, 0, 0)},
        {"other devices and broadcasts count apart", {Other, Good, Broadcast, Other}, Counts(1, 1, 0, 0, 0, 0, 0, 0)},
    };
}

class BusHealthCounts : public ::testing::TestWithParam<HealthCase> {};

TEST_P(BusHealthCounts, PerDevice)
{
    BusHealth health;
    uint32_t now = 1000;
    for (const Exchange &x : GetParam().exchanges)
        Feed(health, x, now);
    const DeviceHealth got = health.Device(5);
    const DeviceHealth &want = GetParam().expected;
    EXPECT_EQ(got.requests, want.requests);
    EXPECT_EQ(got.goodReplies, want.goodReplies);
    EXPECT_EQ(got.silent, want.silent);
    EXPECT_EQ(got.crcErrors, want.crcErrors);
    EXPECT_EQ(got.unreadable, want.unreadable);
    EXPECT_EQ(got.exceptions, want.exceptions);
    EXPECT_EQ(got.echoes, want.echoes);
    EXPECT_EQ(got.collisionsSuspected, want.collisionsSuspected);
}

INSTANTIATE_TEST_SUITE_P(Table, BusHealthCounts, ::testing::ValuesIn(Cases()));

TEST(BusHealth, LatencyIsMinMedianMaxOfRepliesAndTheMedianForgetsOldSamples)
{
    BusHealth health(2000, 4);
    uint32_t now = 0;
    // 90 and 80 fall out of the four samples the median looks at; the max stays.
    for (uint32_t ms : {90u, 80u, 12u, 10u, 11u, 30u}) {
        Exchange x = Good;
        x.latencyMs = ms;
        Feed(health, x, now);
    }
    Feed(health, Silence, now); // no sample
    const DeviceHealth h = health.Device(5);
    EXPECT_EQ(h.latencyMinMs, 10u);
    EXPECT_EQ(h.latencyMaxMs, 90u);
    EXPECT_EQ(h.latencyMedianMs, 12u); // of 12 10 11 30
    EXPECT_FALSE(health.Device(9).latencyMedianMs.has_value());
}

TEST(BusHealth, KeepsTheLastFramesDecodedWithTheirResult)
{
    BusHealth health(5);
    uint32_t now = 0;
    for (int i = 0; i < 4; ++i)
        Feed(health, Echoed, now);
    Feed(health, Crc, now);
    const std::vector<MonitorFrame> frames = health.Frames();
    ASSERT_EQ(frames.size(), 5u);
    EXPECT_EQ(frames[0].text, "M>S 05 read holding 0x0020 MaxPos");
    EXPECT_EQ(frames[1].text, "echo 05 read holding 0x0020 MaxPos");
    EXPECT_EQ(frames[2].text, "S>M 05 reply MaxPos=1000");
    EXPECT_EQ(frames[2].result, Result::NoError);
    EXPECT_EQ(frames[4].text.rfind("S>M bad CRC (7 bytes)", 0), 0u) << frames[4].text;
    EXPECT_EQ(frames[3].result, Result::ChecksumError);
    EXPECT_EQ(frames[4].result, Result::ChecksumError);
    health.Reset();
    EXPECT_TRUE(health.Frames().empty());
    EXPECT_TRUE(health.Devices().empty());
}

// A reader that follows the ring gets each frame once, and only once its
// transaction has ended: a frame shown with NoError must not turn out to
// have been a CRC error.
TEST(BusHealth, SettledFramesComeOnceWithTheirFinalResult)
{
    BusHealth health(6);
    BusHealth::FrameCursor cursor;
    bool restarted = true;
    uint32_t now = 0;
    Feed(health, Echoed, now);
    EXPECT_EQ(health.SettledFrames(cursor, &restarted).size(), 3u);
    EXPECT_FALSE(restarted);
    EXPECT_TRUE(health.SettledFrames(cursor).empty());

    // A transaction under way: its request and reply wait for the end.
    const Bytes request = WithCrc({5, 0x03, 0x00, 0x20, 0x00, 0x01});
    FrameEvent e;
    e.address = 5;
    e.kind = FrameKind::Request;
    e.bytes = request;
    health.OnFrame(e);
    e.kind = FrameKind::Reply;
    e.bytes = BadCrcReply;
    health.OnFrame(e);
    EXPECT_TRUE(health.SettledFrames(cursor).empty());
    e.kind = FrameKind::Finished;
    e.bytes = {};
    e.result = Result::ChecksumError;
    health.OnFrame(e);
    std::vector<MonitorFrame> frames = health.SettledFrames(cursor);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].kind, FrameKind::Request);
    EXPECT_EQ(frames[1].result, Result::ChecksumError);

    // Frames that left the ring of 6 unread are skipped.
    for (int i = 0; i < 3; ++i)
        Feed(health, Echoed, now);
    frames = health.SettledFrames(cursor);
    ASSERT_EQ(frames.size(), 6u);
    EXPECT_EQ(frames[0].kind, FrameKind::Request);

    // After a Reset the reader starts over, though it had read further.
    health.Reset();
    Feed(health, Crc, now);
    frames = health.SettledFrames(cursor, &restarted);
    EXPECT_TRUE(restarted);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].text, "M>S 05 read holding 0x0020 MaxPos");
}

} // namespace

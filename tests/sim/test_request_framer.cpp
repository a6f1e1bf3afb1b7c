// Cutting the master's byte stream into request frames, byte by byte.

#include <gtest/gtest.h>

#include "PtyPair.h"
#include "RequestFramer.h"
#include "SimClient.h"
#include "Wire.h"

using lumosim::RequestFramer;
using lumosim::RequestLength;
using Kind = RequestFramer::Kind;

namespace {

struct Event {
    Kind kind;
    Bytes bytes;
    bool operator==(const Event &o) const { return kind == o.kind && bytes == o.bytes; }
};

std::ostream &operator<<(std::ostream &os, const Event &e)
{
    os << (e.kind == Kind::Frame ? "Frame" : "Dropped");
    for (uint8_t b : e.bytes)
        os << ' ' << std::hex << int(b);
    return os;
}

struct FramerTest : ::testing::Test {
    RequestFramer framer{5.0};
    std::vector<Event> events;
    RequestFramer::Sink sink = [this](Kind kind, const uint8_t *bytes, size_t length) {
        events.push_back(Event{kind, Bytes(bytes, bytes + length)});
    };
    void Feed(const Bytes &bytes, double atMs) { framer.Feed(bytes.data(), bytes.size(), atMs, sink); }
};

Bytes Join(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// ReadMaxPos at address 5 and WriteActionCmdIn 3 at address 5.
const Bytes ReadMaxPos5{0x05, 0x03, 0x00, 0x20, 0x00, 0x01, 0x84, 0x44};
const Bytes Stop5{0x05, 0x06, 0x00, 0x25, 0x00, 0x03, 0xD9, 0x84};

TEST(RequestLengthTest, FollowsTheFunctionCode)
{
    struct { Bytes head; size_t length; } cases[] = {
        {{0x05}, 0},                                    // no function code yet
        {{0x05, 0x03}, 8},                              // read holding
        {{0x05, 0x04}, 8},                              // read input
        {{0x05, 0x06}, 8},                              // write single
        {{0x05, 0x01}, 8},                              // read coils
        {{0x05, 0x10, 0x00, 0x21, 0x00, 0x02}, 0},      // byte count not yet in
        {{0x05, 0x10, 0x00, 0x21, 0x00, 0x02, 0x04}, 13},
        {{0x05, 0x10, 0x00, 0x00, 0x00, 0x00, 0xFF}, 264}, // more than any frame: no frame
        {{0x05, 0x2B, 0x0E, 0x01, 0x00}, 0},            // no fixed length: the gap ends it
    };
    for (const auto &c : cases)
        EXPECT_EQ(RequestLength(c.head.data(), c.head.size()), c.length);
}

TEST_F(FramerTest, AFrameInOneChunkIsDeliveredWhole)
{
    Feed(ReadMaxPos5, 0);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Frame, ReadMaxPos5}}));
    EXPECT_FALSE(framer.Deadline());
}

TEST_F(FramerTest, TwoFramesBackToBackAreTwoFrames)
{
    Feed(Join(ReadMaxPos5, Stop5), 0);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Frame, ReadMaxPos5}, {Kind::Frame, Stop5}}));
}

TEST_F(FramerTest, AFrameSplitWithinTheGapIsJoined)
{
    Feed(Bytes(ReadMaxPos5.begin(), ReadMaxPos5.begin() + 3), 0);
    Feed(Bytes(ReadMaxPos5.begin() + 3, ReadMaxPos5.end()), 4);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Frame, ReadMaxPos5}}));
}

TEST_F(FramerTest, APartialFrameIsDroppedAtTheGapAndTheNextFrameIsFine)
{
    const Bytes half(ReadMaxPos5.begin(), ReadMaxPos5.begin() + 5);
    Feed(half, 0);
    ASSERT_TRUE(framer.Deadline());
    EXPECT_DOUBLE_EQ(*framer.Deadline(), 5.0);
    framer.Expire(4.9, sink);
    EXPECT_TRUE(events.empty());
    framer.Expire(5.0, sink);
    EXPECT_FALSE(framer.Deadline());
    Feed(Stop5, 20);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Dropped, half}, {Kind::Frame, Stop5}}));
}

TEST_F(FramerTest, APartialFrameBeforeAGapIsDroppedWhenTheNextByteComes)
{
    const Bytes half(ReadMaxPos5.begin(), ReadMaxPos5.begin() + 5);
    Feed(half, 0);
    Feed(Stop5, 30); // the gap is noticed when the next byte comes
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Dropped, half}, {Kind::Frame, Stop5}}));
}

TEST_F(FramerTest, AStrayByteRightBeforeAFrameIsDroppedAndTheFrameFound)
{
    // FF 05 looks like an 8-byte read of coils; its CRC fails, the search goes on at 05
    Feed(Join({0xFF}, ReadMaxPos5), 0);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Dropped, {0xFF}}, {Kind::Frame, ReadMaxPos5}}));
}

TEST_F(FramerTest, HalfAFrameAndAWholeOneInOneChunkYieldTheWholeOne)
{
    // What a busy machine delivers for "half a frame, a pause, a frame": the pause is lost
    const Bytes half(Stop5.begin(), Stop5.begin() + 3);
    Feed(Join(half, ReadMaxPos5), 0);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Dropped, half}, {Kind::Frame, ReadMaxPos5}}));
}

TEST_F(FramerTest, AFrameWithABadCrcIsDroppedWhole)
{
    Bytes bad = Stop5;
    bad[7] ^= 0x01;
    Feed(bad, 0);
    EXPECT_TRUE(events.empty()) << "held until the gap: more bytes could still make a frame";
    framer.Expire(5, sink);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Dropped, bad}}));
}

TEST_F(FramerTest, AFrameWithABadCrcDoesNotCostTheFrameAfterIt)
{
    Bytes bad = Stop5;
    bad[7] ^= 0x01;
    Feed(Join(bad, ReadMaxPos5), 0);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Dropped, bad}, {Kind::Frame, ReadMaxPos5}}));
}

TEST_F(FramerTest, AnAnnouncedLengthBeyondAnyFrameIsNoise)
{
    // 0x10 with byte count 0xFE would be 263 bytes: no frame starts at 05
    const Bytes head{0x05, 0x10, 0x00, 0x00, 0x00, 0x7F, 0xFE};
    Feed(Join(head, ReadMaxPos5), 0);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Dropped, head}, {Kind::Frame, ReadMaxPos5}}));
}

// Requests whose length the function code does not fix: each ends with the
// silence after it, as on a real line, whatever its length.
TEST_F(FramerTest, ARequestWithoutAFixedLengthEndsAtTheGap)
{
    const Bytes cases[] = {
        WithCrc({0x01, 0x2B, 0x0E, 0x01, 0x00}),             // read device identification: 01 2B 0E 01 00 70 77
        WithCrc({0x05, 0x11}),                               // report slave ID, the shortest frame
        WithCrc({0x05, 0x18, 0x04, 0xDE}),                   // read FIFO queue
        WithCrc({0x05, 0x14, 0x07, 0x06, 0x00, 0x04, 0x00, 0x01, 0x00, 0x02}), // read file record
        WithCrc({0x05, 0x41, 0x01, 0x02, 0x03}),             // a user-defined function
    };
    for (const Bytes &request : cases) {
        events.clear();
        framer.Reset();
        Feed(request, 0);
        EXPECT_TRUE(events.empty()) << "the length is only known at the gap";
        framer.Expire(5, sink);
        EXPECT_EQ(events, (std::vector<Event>{{Kind::Frame, request}}));
        EXPECT_FALSE(framer.Deadline());
    }
}

TEST_F(FramerTest, ARequestWithoutAFixedLengthAfterAStrayByteIsFound)
{
    const Bytes identify = WithCrc({0x01, 0x2B, 0x0E, 0x01, 0x00});
    Feed(Join({0xFF}, identify), 0);
    framer.Expire(5, sink);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Dropped, {0xFF}}, {Kind::Frame, identify}}));
    // half of it, then silence: nothing but dropped bytes, and the next request is fine
    events.clear();
    const Bytes half(identify.begin(), identify.begin() + 4);
    Feed(half, 20);
    framer.Expire(25, sink);
    Feed(ReadMaxPos5, 40);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Dropped, half}, {Kind::Frame, ReadMaxPos5}}));
}

TEST_F(FramerTest, ARequestWithoutAFixedLengthEndsWhereAWholeFrameFollowsIt)
{
    // both in one chunk, the gap between them lost: each is a frame at once
    const Bytes identify = WithCrc({0x00, 0x2B, 0x0E, 0x01, 0x00});
    Feed(Join(identify, ReadMaxPos5), 0);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Frame, identify}, {Kind::Frame, ReadMaxPos5}}));
    EXPECT_FALSE(framer.Deadline());
}

TEST_F(FramerTest, AByteAfterARequestWithoutAFixedLengthSpoilsIt)
{
    // no gap between the CRC and the next byte: the request did not end there
    const Bytes spoilt = Join(WithCrc({0x01, 0x2B, 0x0E, 0x01, 0x00}), {0x55});
    Feed(spoilt, 0);
    framer.Expire(5, sink);
    EXPECT_EQ(events, (std::vector<Event>{{Kind::Dropped, spoilt}}));
}

TEST_F(FramerTest, EndlessNoiseStaysBounded)
{
    Feed(Bytes(1000, 0x00), 0); // 00 00 reads as an unknown function, 4 bytes, CRC never right
    framer.Expire(10, sink);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, Kind::Dropped);
    EXPECT_EQ(events[0].bytes.size(), Rtu::MaxFrameLength);
    Feed(ReadMaxPos5, 20);
    EXPECT_EQ(events.back(), (Event{Kind::Frame, ReadMaxPos5}));
}

// On the line a byte is handed over at the end of its stop bit, and the
// silence before it ends where its start bit begins, one character earlier.
// A request is cut only by 3.5 characters of silence from the end of one
// byte to the start of the next (fixed at 1.75 ms above 19200 baud); less
// than that leaves it whole. Each case feeds ReadMaxPos5 as two halves.
TEST(FramerOnTheLine, TheSilenceRunsFromTheEndOfOneByteToTheStartOfTheNext)
{
    struct Case {
        const char *name;
        uint32_t baud;
        double silenceMs;
        bool whole;
    } cases[] = {
        {"9600, 2 characters", 9600, 2 * lumosim::CharMs(9600), true},
        {"9600, 3 characters", 9600, 3 * lumosim::CharMs(9600), true},
        {"9600, 3.4 characters", 9600, 3.4 * lumosim::CharMs(9600), true},
        {"9600, 3.6 characters", 9600, 3.6 * lumosim::CharMs(9600), false},
        {"4800, 3 characters", 4800, 3 * lumosim::CharMs(4800), true},
        {"4800, 3.6 characters", 4800, 3.6 * lumosim::CharMs(4800), false},
        {"19200, 3.4 characters", 19200, 3.4 * lumosim::CharMs(19200), true},
        {"115200, 1.7 ms", 115200, 1.7, true},
        {"115200, 1.8 ms", 115200, 1.8, false},
    };
    for (const Case &c : cases) {
        const double charMs = lumosim::CharMs(c.baud);
        RequestFramer framer(lumosim::T35Ms(c.baud), charMs);
        std::vector<Event> events;
        const RequestFramer::Sink sink = [&](Kind kind, const uint8_t *bytes, size_t length) {
            events.push_back(Event{kind, Bytes(bytes, bytes + length)});
        };
        // Byte i ends (i + 1) characters after 10 ms; the second half after the silence.
        double endMs = 10;
        for (size_t i = 0; i < ReadMaxPos5.size(); ++i) {
            endMs += charMs + (i == 4 ? c.silenceMs : 0);
            framer.Expire(endMs - charMs, sink); // the line was quiet up to this start bit
            framer.Feed(&ReadMaxPos5[i], 1, endMs, sink);
        }
        framer.Expire(endMs + 100, sink);
        const std::vector<Event> whole{{Kind::Frame, ReadMaxPos5}};
        const std::vector<Event> cut{{Kind::Dropped, Bytes(ReadMaxPos5.begin(), ReadMaxPos5.begin() + 4)},
                                     {Kind::Dropped, Bytes(ReadMaxPos5.begin() + 4, ReadMaxPos5.end())}};
        EXPECT_EQ(events, c.whole ? whole : cut) << c.name;
    }
}

} // namespace

// --frames keeps what went over the line for the JSON document: bounded,
// newest kept, and the frames that gave way counted.

#include <gtest/gtest.h>

#include <array>

#include "FrameTrace.h"

namespace {

FrameEvent Event(FrameKind kind, const std::array<uint8_t, 8> &bytes, ResultCode result = Result::NoError)
{
    FrameEvent event;
    event.kind = kind;
    event.address = bytes[0];
    event.result = result;
    if (kind != FrameKind::Finished)
        event.bytes = std::span<const uint8_t>(bytes.data(), bytes.size());
    return event;
}

// One status read of device 5, its reply and its end: two kept frames.
void Transaction(FrameTrace &trace, uint8_t tag)
{
    const std::array<uint8_t, 8> request{0x05, 0x04, 0x00, 0x3F, 0x00, 0x02, 0x40, tag};
    const std::array<uint8_t, 8> reply{0x05, 0x04, 0x04, 0x00, 0x00, 0x00, 0x00, tag};
    trace.OnFrame(Event(FrameKind::Request, request));
    trace.OnFrame(Event(FrameKind::Reply, reply));
    trace.OnFrame(Event(FrameKind::Finished, request));
}

// A bound of 100 stands in for lumoctl's 10,000, which a day of polling
// passes 28 times over.
constexpr size_t Bound = 100;

TEST(FrameTraceTest, KeepsTheNewestFramesAndCountsThoseThatGaveWay)
{
    static_assert(FrameTrace::kMaxKeptFrames == 10000);
    struct Case {
        const char *name;
        size_t transactions;
        size_t kept;
        uint64_t dropped;
    } cases[] = {
        {"a short command keeps all", 10, 20, 0},
        {"exactly the bound", Bound / 2, Bound, 0},
        {"a long wait", Bound / 2 + 60, Bound, 120},
    };
    for (const Case &c : cases) {
        FrameTrace trace(false, true, Bound);
        for (size_t i = 0; i < c.transactions; ++i)
            Transaction(trace, static_cast<uint8_t>(i));
        const Json frames = trace.TakeFrames();
        ASSERT_EQ(frames.size(), c.kept) << c.name;
        EXPECT_EQ(trace.TakeDropped(), c.dropped) << c.name;
        EXPECT_EQ(trace.TakeDropped(), 0u) << c.name << ": the count is taken once";
        // The newest are kept, oldest first, each with how its transaction ended.
        const std::string last = frames.back()["bytes"];
        char tag[4];
        std::snprintf(tag, sizeof tag, "%02X", static_cast<unsigned>((c.transactions - 1) & 0xFF));
        EXPECT_EQ(last.substr(last.size() - 2), tag) << c.name;
        EXPECT_EQ(frames.front()["direction"], "request") << c.name;
        for (const Json &frame : frames)
            ASSERT_EQ(frame["result"], 0) << c.name;
    }
}

// A transaction still open when the oldest entries give way learns its end
// all the same.
TEST(FrameTraceTest, AnOpenTransactionWhoseRequestGaveWayStillGetsItsResult)
{
    FrameTrace trace(false, true, Bound);
    const std::array<uint8_t, 8> request{0x07, 0x04, 0x00, 0x3F, 0x00, 0x02, 0x41, 0x00};
    trace.OnFrame(Event(FrameKind::Request, request));
    const std::array<uint8_t, 8> garbage{0xF8, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77};
    for (size_t i = 0; i < Bound + 5; ++i)
        trace.OnFrame(Event(FrameKind::Reply, garbage));
    trace.OnFrame(Event(FrameKind::Finished, request, Result::ChecksumError));
    const Json frames = trace.TakeFrames();
    ASSERT_EQ(frames.size(), Bound);
    EXPECT_EQ(trace.TakeDropped(), 6u);
    EXPECT_EQ(frames.front()["result"], Result::ChecksumError);
    EXPECT_EQ(frames.back()["result"], Result::ChecksumError);
}

} // namespace

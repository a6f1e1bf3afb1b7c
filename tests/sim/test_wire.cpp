// The wire at bit level, without threads or a pseudo-terminal: what a UART
// at one rate makes of characters sent at another, and of two drivers at once.

#include <gtest/gtest.h>

#include <string>

#include "SimClient.h" // WithCrc, Bytes
#include "Wire.h"

using lumosim::CharBits;
using lumosim::CharMs;
using lumosim::HeardByte;
using lumosim::Never;
using lumosim::Receiver;
using lumosim::Transmission;
using lumosim::Wire;

namespace {

const auto Everyone = [](int) { return true; };

Transmission Send(int sender, double startMs, uint32_t baud, const Bytes &bytes)
{
    Transmission tx;
    tx.sender = sender;
    tx.startMs = startMs;
    tx.bitMs = 1000.0 / baud;
    for (uint8_t b : bytes)
        tx.bits.push_back(CharBits(b));
    return tx;
}

Bytes Values(const std::vector<HeardByte> &heard)
{
    Bytes out;
    for (const HeardByte &h : heard)
        out.push_back(h.byte);
    return out;
}

// A whole request frame with a good CRC anywhere in `bytes`.
bool HoldsAFrame(const Bytes &bytes, size_t length)
{
    for (size_t at = 0; at + length <= bytes.size(); ++at)
        if (Rtu::CrcMatches(bytes.data() + at, length))
            return true;
    return false;
}

const Bytes ReadBlock = WithCrc({0x05, 0x03, 0x00, 0x1F, 0x00, 0x0E});

TEST(WireTest, AUartAtTheSendersRateGetsEachByteAtTheEndOfItsStopBit)
{
    for (uint32_t baud : {4800u, 9600u, 19200u, 115200u}) {
        Wire wire;
        wire.Add(Send(0, 3.0, baud, ReadBlock));
        Receiver rx(baud, 0);
        std::vector<HeardByte> heard;
        EXPECT_EQ(rx.Decode(wire, 1e6, Everyone, heard), Never);
        ASSERT_EQ(Values(heard), ReadBlock) << baud;
        for (size_t i = 0; i < heard.size(); ++i)
            EXPECT_NEAR(heard[i].endMs, 3.0 + (i + 1) * CharMs(baud), 1e-9) << baud << " byte " << i;
    }
}

TEST(WireTest, DecodingStopsAtTheHorizonAndGoesOnFromThere)
{
    Wire wire;
    wire.Add(Send(0, 0, 9600, ReadBlock));
    Receiver rx(9600, 0);
    std::vector<HeardByte> heard;
    // Three characters and a bit are on the wire by 3.3 ms: the fourth ends at 4.17 ms.
    EXPECT_NEAR(rx.Decode(wire, 3.3, Everyone, heard), 4 * CharMs(9600), 1e-9);
    EXPECT_EQ(heard.size(), 3u);
    rx.Decode(wire, 1e6, Everyone, heard);
    EXPECT_EQ(Values(heard), ReadBlock);
}

TEST(WireTest, AUartAtAnotherRateGetsGarbageWithoutAFrame)
{
    const uint32_t rates[] = {4800, 9600, 19200, 115200};
    for (uint32_t sent : rates)
        for (uint32_t heardAt : rates) {
            if (sent == heardAt)
                continue;
            Wire wire;
            wire.Add(Send(0, 0, sent, ReadBlock));
            Receiver rx(heardAt, 0);
            std::vector<HeardByte> heard;
            rx.Decode(wire, 1e6, Everyone, heard);
            const Bytes got = Values(heard);
            EXPECT_NE(got, ReadBlock) << sent << " heard at " << heardAt;
            EXPECT_FALSE(HoldsAFrame(got, ReadBlock.size())) << sent << " heard at " << heardAt;
            // A slower UART takes several of the sender's characters for one.
            if (heardAt < sent) {
                EXPECT_LT(got.size(), ReadBlock.size()) << sent << " heard at " << heardAt;
            }
        }
}

TEST(WireTest, TwoDriversAtOnceGiveTheAndOfTheirBits)
{
    const Bytes a = WithCrc({0x05, 0x03, 0x02, 0x5A, 0x05});
    const Bytes b = WithCrc({0x05, 0x03, 0x02, 0x5A, 0x06});
    Receiver rx(115200, 0);
    {
        Wire wire;
        wire.Add(Send(1, 1.0, 115200, a));
        wire.Add(Send(2, 1.0, 115200, b));
        std::vector<HeardByte> heard;
        rx.Decode(wire, 1e6, Everyone, heard);
        Bytes expected;
        for (size_t i = 0; i < a.size(); ++i)
            expected.push_back(static_cast<uint8_t>(a[i] & b[i]));
        EXPECT_EQ(Values(heard), expected);
        EXPECT_FALSE(Rtu::CrcMatches(expected.data(), expected.size()));
    }
    {
        // Three bits apart: neither frame, and no frame at all.
        Wire wire;
        wire.Add(Send(1, 1.0, 115200, a));
        wire.Add(Send(2, 1.0 + 3 * 1000.0 / 115200, 115200, b));
        std::vector<HeardByte> heard;
        rx.Restart(0);
        rx.Decode(wire, 1e6, Everyone, heard);
        const Bytes got = Values(heard);
        EXPECT_NE(got, a);
        EXPECT_NE(got, b);
        EXPECT_FALSE(HoldsAFrame(got, a.size())) << ::testing::PrintToString(got);
    }
}

TEST(WireTest, AReceiverHearsOnlyTheDriversItIsToldTo)
{
    // An adapter with echo suppression does not hear the master's own bytes.
    Wire wire;
    wire.Add(Send(-1, 0, 115200, ReadBlock));
    wire.Add(Send(3, 5, 115200, {0x11, 0x22}));
    Receiver rx(115200, 0);
    std::vector<HeardByte> heard;
    rx.Decode(wire, 1e6, [](int sender) { return sender != -1; }, heard);
    EXPECT_EQ(Values(heard), (Bytes{0x11, 0x22}));
}

} // namespace

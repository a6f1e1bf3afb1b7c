#include <gtest/gtest.h>

#include <string>

#include "modbus/Crc.h"
#include "modbus/Frames.h"
#include "modbus/ResultCode.h"

namespace {

uint16_t Crc(const std::vector<uint8_t> &bytes)
{
    return CalcCrc16(bytes.data(), bytes.size());
}

TEST(Crc16, MatchesCatalogueCheckValueAndEmptyInput)
{
    const std::string digits = "123456789";
    EXPECT_EQ(CalcCrc16(reinterpret_cast<const uint8_t *>(digits.data()), digits.size()), 0x4B37);
    EXPECT_EQ(CalcCrc16(nullptr, 0), 0xFFFF);
}

// Frames as they appear on a real bus; each ends with its CRC, low byte first.
struct WireFrame {
    const char *what;
    std::vector<uint8_t> bytes;
};

class WireFrames : public ::testing::TestWithParam<WireFrame> {};

TEST_P(WireFrames, CrcIsLowByteFirst)
{
    std::vector<uint8_t> frame = GetParam().bytes;
    const uint16_t crc = Crc({frame.begin(), frame.end() - 2});
    EXPECT_EQ(frame[frame.size() - 2], crc & 0xFF);
    EXPECT_EQ(frame[frame.size() - 1], crc >> 8);
    EXPECT_TRUE(Rtu::CrcMatches(frame.data(), frame.size()));
    frame[1] ^= 0x01;
    EXPECT_FALSE(Rtu::CrcMatches(frame.data(), frame.size()));
}

INSTANTIATE_TEST_SUITE_P(
    KnownFrames, WireFrames,
    ::testing::Values(WireFrame{"read 0x001F at 10", {0x0A, 0x03, 0x00, 0x1F, 0x00, 0x01, 0xB4, 0xB7}},
                      WireFrame{"read MaxPos at 5", {0x05, 0x03, 0x00, 0x20, 0x00, 0x01, 0x84, 0x44}},
                      WireFrame{"read MotorStatus at 5", {0x05, 0x04, 0x00, 0x3F, 0x00, 0x02, 0x40, 0x43}},
                      WireFrame{"stop at 5", {0x05, 0x06, 0x00, 0x25, 0x00, 0x03, 0xD9, 0x84}},
                      WireFrame{"broadcast stop", {0x00, 0x06, 0x00, 0x25, 0x00, 0x03, 0xD9, 0xD1}}),
    [](const auto &info) {
        std::string name = info.param.what;
        for (char &c : name)
            if (!isalnum(static_cast<unsigned char>(c)))
                c = '_';
        return name;
    });

TEST(ResultText, EveryCodeHasItsStatusBarText)
{
    const std::pair<uint32_t, const char *> table[] = {
        {0x0000, "No Error"},          {0x0001, "Parameter Error"}, {0x0002, "CMD Retry"},
        {0x0003, "Waiting for Erase"}, {0x1001, "Write Error"},     {0x1002, "Respond Error"},
        {0x2001, "Read Error"},        {0x2002, "Read Head Error"}, {0x2003, "Read command Error"},
        {0x2004, "Received data error"}, {0x2005, "Checksum Error"}, {0x2006, "Read Data Wait..."},
        {0x3001, "Ack Error"},         {0x3002, "Set Data Error"},  {0x4001, "unknow Error"},
        {0xFFFF, "Port Error"},        {0x1234, "unknow Error"},    {0x1FFFF, "unknow Error"},
    };
    for (const auto &[code, text] : table)
        EXPECT_STREQ(ResultText(code), text) << std::hex << code;
}

} // namespace

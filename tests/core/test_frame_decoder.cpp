// The bus monitor's words for a frame: one case per kind of frame the tool
// and the actuators exchange, with the register names of the map.

#include <gtest/gtest.h>

#include <vector>

#include "PtyPair.h"
#include "modbus/FrameDecoder.h"
#include "modbus/Frames.h"
#include "modbus/Registers.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Words(uint8_t address, uint8_t function, const std::vector<uint16_t> &words)
{
    Bytes f{address, function};
    for (uint16_t w : words)
        f.insert(f.end(), {static_cast<uint8_t>(w >> 8), static_cast<uint8_t>(w & 0xFF)});
    return f;
}

Bytes Read(uint8_t address, uint8_t function, uint16_t first, uint16_t count)
{
    return WithCrc(Words(address, function, {first, count}));
}

Bytes ReadReply(uint8_t address, uint8_t function, const std::vector<uint16_t> &values)
{
    Bytes f = Words(address, function, values);
    f.insert(f.begin() + 2, static_cast<uint8_t>(2 * values.size()));
    return WithCrc(f);
}

Bytes WriteMultiple(uint8_t address, uint16_t first, const std::vector<uint16_t> &values)
{
    Bytes f = Words(address, Fc::WriteMultiple, {first, static_cast<uint16_t>(values.size())});
    f.push_back(static_cast<uint8_t>(2 * values.size()));
    for (uint16_t v : values)
        f.insert(f.end(), {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v & 0xFF)});
    return WithCrc(f);
}

Bytes BadCrc(Bytes f)
{
    f.back() ^= 0x01;
    return f;
}

const Bytes BlockRead = Read(5, Fc::ReadHolding, Reg::BlockStart, Reg::BlockCount);
const Bytes StatusRead = Read(7, Fc::ReadInput, Reg::MotorStatus, 2);

struct DecodeCase {
    const char *what;
    Bytes frame;
    FrameDirection direction;
    Bytes request; // the request a reply answers; empty for none
    bool echo;
    std::string expected;
};

void PrintTo(const DecodeCase &c, std::ostream *os)
{
    *os << c.what;
}

std::vector<DecodeCase> Cases()
{
    using enum FrameDirection;
    return {
        {"block read", BlockRead, ToSlave, {}, false, "M>S 05 read holding 0x001F..0x002C CurrentPos..BaudRate x14"},
        {"one register", Read(5, Fc::ReadHolding, Reg::MaxPos, 1), ToSlave, {}, false, "M>S 05 read holding 0x0020 MaxPos"},
        {"input registers", StatusRead, ToSlave, {}, false, "M>S 07 read input 0x003F..0x0040 MotorStatus..MotorFlags x2"},
        {"range ending without a name", Read(5, Fc::ReadHolding, Reg::Name, 3), ToSlave, {}, false,
         "M>S 05 read holding 0x0010..0x0012 x3"},
        {"unnamed register", Read(5, Fc::ReadInput, 0x0042, 1), ToSlave, {}, false, "M>S 05 read input 0x0042"},
        {"address above 99", Read(127, Fc::ReadInput, Reg::Model, 1), ToSlave, {}, false, "M>S 127 read input 0x0046 Model"},
        {"block reply named by its request",
         ReadReply(5, Fc::ReadHolding, {12, 1000, 0, 1000, 5000, 100, 3, 0, 0x0003, 4095, 0, 0, 0, 2}), FromSlave,
         BlockRead, false,
         "S>M 05 reply CurrentPos=12 MaxPos=1000 RearLimit=0 FrontLimit=1000 CurrentLimit=5000 SpeedPwm=100 "
         "ActionCmdIn=3 (Stop) GoToPos=0 SettingFlag=0x0003 VoltageOut=4095 PosOffset=0 KeyInLock=0 "
         "HallPotSelect=0 BaudRate=2 (9600)"},
        {"status reply", ReadReply(7, Fc::ReadInput, {Motion::MovingUp, Flag::PositionOk}), FromSlave,
         StatusRead, false, "S>M 07 reply MotorStatus=1 (moving up) MotorFlags=0x0080"},
        {"model and firmware", ReadReply(5, Fc::ReadInput, {0x0102, Model::LumoP}), FromSlave,
         Read(5, Fc::ReadInput, Reg::FwVersion, 2), false, "S>M 05 reply FwVersion=0x0102 Model=1 (LUMO-P)"},
        {"reply without its request", ReadReply(5, Fc::ReadHolding, {1000, 0}), FromSlave, {}, false,
         "S>M 05 reply 2 words: 1000 0"},
        {"reply to another address's request", ReadReply(6, Fc::ReadHolding, {1000}), FromSlave,
         Read(5, Fc::ReadHolding, Reg::MaxPos, 1), false, "S>M 06 reply 1 word: 1000"},
        {"single write", WithCrc(Words(5, Fc::WriteSingle, {Reg::ActionCmdIn, Cmd::Stop})), ToSlave, {}, false,
         "M>S 05 write 0x0025 ActionCmdIn=3 (Stop)"},
        {"broadcast", WithCrc(Words(0, Fc::WriteSingle, {Reg::ActionCmdIn, Cmd::Up})), ToSlave, {}, false,
         "M>S 00 write 0x0025 ActionCmdIn=1 (Up), broadcast (no reply expected)"},
        {"multiple write", WriteMultiple(5, Reg::MaxPos, {1000, 0, 1000}), ToSlave, {}, false,
         "M>S 05 write 0x0020..0x0022 MaxPos=1000 RearLimit=0 FrontLimit=1000"},
        {"single write reply", WithCrc(Words(5, Fc::WriteSingle, {Reg::BaudRate, 0})), FromSlave, {}, false,
         "S>M 05 wrote 0x002C BaudRate=0 (115200)"},
        {"multiple write reply", WithCrc(Words(5, Fc::WriteMultiple, {Reg::MaxPos, 3})), FromSlave, {}, false,
         "S>M 05 wrote 0x0020..0x0022 x3"},
        {"exception", WithCrc({5, 0x83, 0x02}), FromSlave, {}, false, "S>M 05 exception 02 illegal data address"},
        {"exception without a name", WithCrc({5, 0x83, 0x0C}), FromSlave, {}, false, "S>M 05 exception 0C (unknown code)"},
        {"echo", BlockRead, ToSlave, {}, true, "echo 05 read holding 0x001F..0x002C CurrentPos..BaudRate x14"},
        {"bad CRC", BadCrc(ReadReply(5, Fc::ReadHolding, {1000})), FromSlave, {}, false,
         "S>M bad CRC (7 bytes): 05 03 02 03 E8 " + [] {
             Bytes f = BadCrc(ReadReply(5, Fc::ReadHolding, {1000}));
             char t[8];
             std::snprintf(t, sizeof t, "%02X %02X", f[5], f[6]);
             return std::string(t);
         }()},
        {"garbage", Bytes{0xFF, 0x05}, FromSlave, {}, false, "S>M garbage (2 bytes): FF 05"},
        {"nothing", Bytes{}, FromSlave, {}, false, "S>M nothing"},
        {"long garbage is cut", Bytes(40, 0xAA), FromSlave, {}, false,
         "S>M bad CRC (40 bytes): AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA AA ..."},
        {"read reply whose count does not fit", WithCrc({5, 0x03, 0x04, 0x03, 0xE8}), FromSlave, {}, false,
         "S>M 05 reply, malformed (7 bytes, 4 announced)"},
        {"unsupported function", WithCrc({5, 0x2B, 0x0E, 0x01, 0x00}), ToSlave, {}, false,
         "M>S 05 function 0x2B (3 data bytes)"},
    };
}

class DecodeFrameCases : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeFrameCases, GivesTheWordsOfTheMap)
{
    const DecodeCase &c = GetParam();
    EXPECT_EQ(DecodeFrame(c.frame, c.direction, DecodeContext{c.request, c.echo}), c.expected);
}

INSTANTIATE_TEST_SUITE_P(Table, DecodeFrameCases, ::testing::ValuesIn(Cases()));

} // namespace

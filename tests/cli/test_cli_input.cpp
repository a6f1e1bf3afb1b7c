// Bad input never reaches the bus: each case ends with exit 2, a message
// that names what is wrong, and not one byte heard by the virtual bus.

#include "CliFixture.h"

namespace {

// stroke 1000, rear 0, front 1000, 5000 mA, 100 %, Single + Yes, 10.0 V.
const std::vector<uint16_t> kGoodWords = {0, 1000, 0, 1000, 5000, 100, 3, 4095, 0, 0, 0x8000};

std::vector<uint8_t> GoodFileWith(size_t word, uint16_t value)
{
    std::vector<uint16_t> words = kGoodWords;
    words[word] = value;
    return ConfigBytes(words);
}

struct InputCase {
    const char *name;
    std::vector<std::string> args; // "FILE" stands for the case's file
    std::vector<uint8_t> file;     // written to FILE when not empty
    const char *message;           // part of what stderr must say
};

std::ostream &operator<<(std::ostream &os, const InputCase &c)
{
    return os << c.name;
}

class InputRefused : public CliBusTest, public ::testing::WithParamInterface<InputCase> {};

TEST_P(InputRefused, ExitsTwoWithAMessageAndSendsNothing)
{
    const InputCase &c = GetParam();
    StartBus({Device(1, Model::LumoD), Device(5, Model::LumoD)});
    const std::string file = TempFile(std::string(c.name) + ".config");
    if (!c.file.empty())
        WriteBytes(file, c.file);
    std::vector<std::string> args = c.args;
    for (std::string &a : args)
        if (a == "FILE")
            a = file;

    const CliResult r = Run(args);

    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_TRUE(BusStaysQuiet());
    ::unlink(file.c_str());
}

const InputCase kInputCases[] = {
    {"AddressZero", {"info", "0"}, {}, "address must be a number from 1 to 127, not '0'"},
    {"Address300", {"status", "300"}, {}, "address must be a number from 1 to 127, not '300'"},
    {"AddressNotANumber", {"config", "read", "5x"}, {}, "not '5x'"},
    {"UnknownCommand", {"frobnicate", "5"}, {}, "unknown command 'frobnicate'"},
    {"TriesAboveFive", {"--tries", "6", "info", "1"}, {}, "--tries"},
    {"UnsupportedBaud", {"--baud", "38400", "info", "1"}, {}, "--baud"},
    {"ScanRangeReversed", {"scan", "--from", "10", "--to", "2"}, {}, "--from 10 is above --to 2"},
    {"FileOf21Bytes", {"config", "write", "5", "FILE"}, std::vector<uint8_t>(21, 0), "is 21 bytes long"},
    {"FileOf23Bytes", {"config", "write", "5", "FILE"}, std::vector<uint8_t>(23, 0), "is 23 bytes long"},
    {"MissingFile", {"config", "write", "5", "/nonexistent/x.config"}, {}, "No such file or directory"},
    {"SpeedAbove100", {"config", "write", "5", "FILE"}, GoodFileWith(5, 101), "motor speed 101 % is outside 10..100"},
    {"OverLoadBelow3000", {"config", "write", "5", "FILE"}, GoodFileWith(4, 2999), "over load protect 2999 mA"},
    {"FrontAboveStroke", {"config", "write", "5", "FILE"}, GoodFileWith(3, 1001), "front limit 1001 is above the stroke 1000"},
    {"RearAboveFront", {"config", "write", "5", "FILE"}, ConfigBytes({0, 1000, 900, 800, 5000, 100, 3, 4095, 0, 0, 0x8000}), "rear limit 900 is above the front limit 800"},
    {"ShowChecksToo", {"config", "show", "FILE"}, GoodFileWith(5, 0), "motor speed 0 % is outside"},
    {"NewAddressIsOwn", {"set-address", "5", "5"}, {}, "is the device's own address"},
    {"NewAddress128", {"set-address", "5", "128"}, {}, "the new address must be a number from 1 to 127"},
    {"GotoWithoutTarget", {"move", "1", "goto"}, {}, "move goto needs a target position"},
    {"UpWithTarget", {"move", "1", "up", "50"}, {}, "move up takes no position"},
    {"RawUnknownFunction", {"raw", "5", "0x07", "0x20", "1"}, {}, "function code must be"},
    {"RawReadWithValues", {"raw", "5", "3", "0x20", "1", "7"}, {}, "a read takes no values"},
    {"RawWriteMissingValue", {"raw", "5", "0x10", "0x20", "2", "7"}, {}, "needs 2 value(s), not 1"},
    // A console would send 70000 cut to 4464; here it is refused.
    {"RawValueAbove16Bits", {"raw", "5", "6", "0x20", "1", "70000"}, {}, "value 1 must be a number from 0 to 65535"},
    {"RawRegistersPastTheEnd", {"raw", "5", "3", "0xFFFF", "2"}, {}, "run past 0xFFFF"},
    {"RawBroadcast", {"raw", "0", "6", "0x25", "1", "3"}, {}, "address must be a number from 1 to 247"},
};

INSTANTIATE_TEST_SUITE_P(Cli, InputRefused, ::testing::ValuesIn(kInputCases),
                         [](const ::testing::TestParamInfo<InputCase> &info) { return info.param.name; });

// --json keeps its promise of one document also for a usage error.
TEST_F(CliBusTest, UsageErrorInJsonIsOneDocument)
{
    StartBus({Device(1, Model::LumoD)});
    const CliResult r = Run({"--json", "info", "300"});
    EXPECT_EQ(r.exitCode, 2);
    const nlohmann::json j = Json(r);
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["error"]["exitCode"], 2);
    EXPECT_TRUE(BusStaysQuiet());
}

// A name that is not valid UTF-8 (a Latin-1 "ü" is the byte 0xFC) still
// gives one JSON document: each bad byte reads as U+FFFD there, while the
// file itself gets the name as given.
struct ByteNameCase {
    const char *name;
    std::vector<std::string> args; // "NAME" stands for the name with the bad byte
    int exitCode;
    const char *key; // a top-level field that holds the name, or "error" for its message
};

std::ostream &operator<<(std::ostream &os, const ByteNameCase &c)
{
    return os << c.name;
}

class NonUtf8Name : public CliBusTest, public ::testing::WithParamInterface<ByteNameCase> {};

TEST_P(NonUtf8Name, StillGivesOneJsonDocument)
{
    const ByteNameCase &c = GetParam();
    StartBus({Device(1, Model::LumoD)});
    const std::string name = TempFile("gr\xFC\xDF" "e.config");
    WriteBytes(name, ConfigBytes(kGoodWords));
    std::vector<std::string> args = {"--json"};
    for (const std::string &a : c.args)
        args.push_back(a == "NAME" ? name : a == "BUS" ? bus().DevicePath() : a);

    const CliResult r = RunCli(args);

    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    nlohmann::json j;
    ASSERT_NO_THROW(j = nlohmann::json::parse(r.out)) << r.out;
    const std::string shown = std::string(c.key) == "error" ? j["error"]["message"] : j[c.key];
    EXPECT_NE(shown.find("gr\xEF\xBF\xBD\xEF\xBF\xBD" "e"), std::string::npos) << shown;
    ::unlink(name.c_str());
}

const ByteNameCase kByteNameCases[] = {
    {"Port", {"--port", "NAME", "info", "1"}, 3, "error"},
    {"FileShown", {"config", "show", "NAME"}, 0, "file"},
    {"FileWritten", {"--port", "BUS", "config", "read", "1", "-o", "NAME"}, 0, "file"},
    {"AddressText", {"--port", "BUS", "info", "NAME"}, 2, "error"},
};

INSTANTIATE_TEST_SUITE_P(Cli, NonUtf8Name, ::testing::ValuesIn(kByteNameCases),
                         [](const ::testing::TestParamInfo<ByteNameCase> &info) { return info.param.name; });

} // namespace

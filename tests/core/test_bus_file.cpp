// The bus file: what is written reads back the same, every way a file can
// be wrong is refused with a sentence that says how, the file is replaced
// whole, and the comparison of a bus with a file sorts each device into
// one of six states.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "busfile/BusFile.h"

using namespace busfile;

namespace {

Device Unit(uint8_t address, uint16_t motorId, uint16_t model = 0)
{
    Device d;
    d.address = address;
    d.model = model;
    d.motorId = motorId;
    d.firmware = 0x0102;
    d.config = {0, 1000, 0, 1000, 5000, 100, 3, 4095, 0, 0, 0};
    return d;
}

BusFile TwoDevices()
{
    BusFile f;
    f.taken = {"2026-12-10T16:40:05Z", "bench-3", "/dev/ttyUSB0", 115200, 1, 127};
    f.devices = {Unit(5, 0x5A05), Unit(9, 0x5A09, 1)};
    f.devices[1].config.VoltageOut = 2048;
    return f;
}

TEST(BusFileText, ReadsBackWhatItWrote)
{
    const BusFile f = TwoDevices();
    BusFile back;
    std::string error;
    ASSERT_TRUE(Parse(ToText(f), back, error)) << error;
    EXPECT_EQ(back, f);
    // People read it: names, not only numbers.
    const std::string text = ToText(f);
    EXPECT_NE(text.find("\"motorId\": \"5A05\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"model\": \"LUMO-P\""), std::string::npos);
    EXPECT_NE(text.find("\"firmware\": \"01.02\""), std::string::npos);
    EXPECT_NE(text.find("\"CurrentLimit\": 5000"), std::string::npos);
}

struct BadFile {
    const char *name;
    std::string (*edit)(std::string);
    const char *says;
};

std::string Replace(std::string text, const std::string &from, const std::string &to)
{
    const size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos)
        text.replace(at, from.size(), to);
    return text;
}

const BadFile kBadFiles[] = {
    {"Empty", [](std::string) { return std::string(); }, "truncated"},
    {"Truncated", [](std::string t) { return t.substr(0, t.size() / 2); }, "truncated"},
    {"NotJson", [](std::string) { return std::string("MaxPos=1000\n"); }, "damaged"},
    {"AConfigFile", [](std::string) { return std::string("\x00\x00\xE8\x03", 4); }, "damaged"},
    {"OtherJson", [](std::string) { return std::string("{\"devices\": []}"); }, "not a bus file"},
    {"OtherVersion", [](std::string t) { return Replace(t, "\"version\": 1", "\"version\": 2"); }, "version 2"},
    {"AddressZero", [](std::string t) { return Replace(t, "\"address\": 5", "\"address\": 0"); }, "outside 1..247"},
    {"Address248", [](std::string t) { return Replace(t, "\"address\": 9", "\"address\": 248"); }, "outside 1..247"},
    {"TwoAtOneAddress", [](std::string t) { return Replace(t, "\"address\": 9", "\"address\": 5"); },
     "two devices have address 5"},
    {"OneMotorIdTwice", [](std::string t) { return Replace(t, "\"5A09\"", "\"5A05\""); },
     "devices 5 and 9 have one motor ID, 5A05"},
    {"WordTooLarge", [](std::string t) { return Replace(t, "\"MaxPos\": 1000", "\"MaxPos\": 65536"); },
     "\"MaxPos\" 65536 is outside 0..65535"},
    {"WordMissing", [](std::string t) { return Replace(t, "\"SpeedPwm\": 100,", ""); }, "has no \"SpeedPwm\""},
    {"WordAsText", [](std::string t) { return Replace(t, "\"MaxPos\": 1000", "\"MaxPos\": \"1000\""); },
     "must be a whole number"},
    {"BadMotorId", [](std::string t) { return Replace(t, "\"5A05\"", "\"5A0G\""); }, "not four hexadecimal digits"},
    {"BadFirmware", [](std::string t) { return Replace(t, "\"01.02\"", "\"1.2\""); }, "not of the form 01.02"},
};

class BusFileRefuses : public ::testing::TestWithParam<BadFile> {};

TEST_P(BusFileRefuses, WithASentenceThatSaysWhy)
{
    const BadFile &c = GetParam();
    BusFile out = TwoDevices();
    out.taken.station = "untouched";
    const BusFile before = out;
    std::string error;
    EXPECT_FALSE(Parse(c.edit(ToText(TwoDevices())), out, error));
    EXPECT_NE(error.find(c.says), std::string::npos) << error;
    EXPECT_EQ(out, before);
}

INSTANTIATE_TEST_SUITE_P(BusFile, BusFileRefuses, ::testing::ValuesIn(kBadFiles),
                         [](const auto &info) { return std::string(info.param.name); });

class BusFileOnDisk : public ::testing::Test {
protected:
    std::string dir = ::testing::TempDir() + "busfile-" + std::to_string(::getpid());
    void SetUp() override { std::filesystem::create_directories(dir); }
    void TearDown() override { std::filesystem::remove_all(dir); }
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto &e : std::filesystem::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(BusFileOnDisk, ReplacesTheFileWholeAndKeepsALinkAndThePermissions)
{
    const std::string real = dir + "/machine.lumobus", link = dir + "/current.lumobus";
    { std::ofstream(real) << "old"; }
    ::chmod(real.c_str(), 0640);
    std::filesystem::create_symlink("machine.lumobus", link);
    std::string error;
    ASSERT_TRUE(WriteBusFile(link, TwoDevices(), error)) << error;
    EXPECT_TRUE(std::filesystem::is_symlink(link));
    BusFile back;
    ASSERT_TRUE(ReadBusFile(real, back, error)) << error;
    EXPECT_EQ(back, TwoDevices());
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    // No temporary file stays behind.
    EXPECT_EQ(Names(), (std::vector<std::string>{"current.lumobus", "machine.lumobus"}));
}

TEST_F(BusFileOnDisk, AFailedWriteLeavesTheOldFile)
{
    const std::string path = dir + "/machine.lumobus";
    std::string error;
    ASSERT_TRUE(WriteBusFile(path, TwoDevices(), error)) << error;
    EXPECT_FALSE(WriteBusFile(dir, TwoDevices(), error));
    EXPECT_FALSE(error.empty());
    // A folder without write permission: root ignores modes, so a missing
    // folder stands for the place a file cannot be made.
    EXPECT_FALSE(WriteBusFile(dir + "/gone/x.lumobus", TwoDevices(), error));
    BusFile back;
    ASSERT_TRUE(ReadBusFile(path, back, error)) << error;
    EXPECT_EQ(back, TwoDevices());
    EXPECT_EQ(Names(), std::vector<std::string>{"machine.lumobus"});
}

TEST_F(BusFileOnDisk, ReadingNamesTheFile)
{
    std::string error;
    BusFile back;
    EXPECT_FALSE(ReadBusFile(dir + "/none.lumobus", back, error));
    EXPECT_NE(error.find("cannot read " + dir + "/none.lumobus"), std::string::npos) << error;
    { std::ofstream(dir + "/half.lumobus") << ToText(TwoDevices()).substr(0, 100); }
    EXPECT_FALSE(ReadBusFile(dir + "/half.lumobus", back, error));
    EXPECT_NE(error.find("half.lumobus cannot be used: it is truncated"), std::string::npos) << error;
}

// The comparison, by what the bus shows against the file.
struct CompareCase {
    const char *name;
    std::vector<Device> saved;
    std::vector<Device> now;
    std::vector<std::pair<State, int>> expected; // state and the address it is listed at
};

Device Changed(Device d)
{
    d.config.SpeedPwm = 60;
    return d;
}
Device At(Device d, uint8_t address)
{
    d.address = address;
    return d;
}

const CompareCase kCompareCases[] = {
    {"AllSame", {Unit(5, 0x5A05), Unit(9, 0x5A09)}, {Unit(5, 0x5A05), Unit(9, 0x5A09)},
     {{State::Same, 5}, {State::Same, 9}}},
    {"OneDiffers", {Unit(5, 0x5A05)}, {Changed(Unit(5, 0x5A05))}, {{State::Differs, 5}}},
    {"MissingAndNew", {Unit(5, 0x5A05)}, {Unit(7, 0x7B11)}, {{State::Missing, 5}, {State::New, 7}}},
    {"MovedIsTheSameMotorElsewhere", {Unit(5, 0x5A05)}, {At(Unit(5, 0x5A05), 12)}, {{State::Moved, 5}}},
    {"ReplacedIsAnotherMotorOfTheModel", {Unit(5, 0x5A05)}, {Unit(5, 0x7B11)}, {{State::Replaced, 5}}},
    {"AnotherModelIsNoReplacement", {Unit(5, 0x5A05)}, {Unit(5, 0x7B11, 1)},
     {{State::Missing, 5}, {State::New, 5}}},
    // Two units swapped: each is moved, none replaced.
    {"SwappedUnitsAreMoved", {Unit(5, 0x5A05), Unit(6, 0x5A06)}, {At(Unit(5, 0x5A05), 6), At(Unit(6, 0x5A06), 5)},
     {{State::Moved, 5}, {State::Moved, 6}}},
};

class BusComparison : public ::testing::TestWithParam<CompareCase> {};

TEST_P(BusComparison, SortsEachDevice)
{
    const CompareCase &c = GetParam();
    const std::vector<Comparison> result = Compare(c.saved, c.now);
    std::vector<std::pair<State, int>> got;
    for (const Comparison &r : result)
        got.push_back({r.state, r.saved ? r.saved->address : r.now->address});
    EXPECT_EQ(got, c.expected);
}

INSTANTIATE_TEST_SUITE_P(BusFile, BusComparison, ::testing::ValuesIn(kCompareCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(BusComparison, NamesEachDifferingRegisterOldToNew)
{
    Device now = Changed(Unit(5, 0x5A05));
    now.config.BaudRate = 2;
    const std::vector<Comparison> r = Compare({Unit(5, 0x5A05)}, {now});
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].registers,
              (std::vector<RegisterDiff>{{"SpeedPwm", 100, 60}, {"BaudRate", 0, 2}}));
    const std::vector<Comparison> other = Compare({Unit(5, 0x5A05)}, {Unit(5, 0x7B11, 1)});
    ASSERT_TRUE(other[0].otherModelThere);
    EXPECT_EQ(other[0].otherModelThere->motorId, 0x7B11);
}

} // namespace

namespace {

records::Event Seen(uint16_t motorId, uint8_t address, const char *station = "bench-3",
                    const char *port = "/dev/ttyUSB0")
{
    records::Event e;
    e.kind = records::EventKind::DeviceSeen;
    e.motorId = motorId;
    e.address = address;
    e.origin.station = station;
    e.origin.port = port;
    return e;
}

records::Event AddressChange(uint16_t motorId, uint8_t from, uint8_t to)
{
    records::Event e = Seen(motorId, from);
    e.kind = records::EventKind::AddressChange;
    e.newAddress = to;
    return e;
}

struct LastUnitCase {
    const char *name;
    std::vector<records::Event> newestFirst;
    std::optional<uint16_t> expected;
};

const LastUnitCase kLastUnitCases[] = {
    {"TheNewestEventThere", {Seen(0x7B11, 5), Seen(0x5A05, 5)}, 0x7B11},
    {"AnotherStationIsAnotherMachine", {Seen(0x7B11, 5, "office"), Seen(0x5A05, 5)}, 0x5A05},
    {"AnotherPortIsAnotherBus", {Seen(0x7B11, 5, "bench-3", "/dev/ttyUSB1"), Seen(0x5A05, 5)}, 0x5A05},
    {"AUnitMovedAwayLeftItEmpty", {AddressChange(0x5A05, 5, 12), Seen(0x5A05, 5)}, std::nullopt},
    {"AUnitMovedHereIsTheOneThere", {AddressChange(0x5A07, 7, 5), Seen(0x5A05, 5)}, 0x5A07},
    {"NothingOnRecord", {}, std::nullopt},
};

class LastUnitSeen : public ::testing::TestWithParam<LastUnitCase> {};

TEST_P(LastUnitSeen, IsTheOneOfThisStationAndPort)
{
    EXPECT_EQ(LastUnitSeenAt(GetParam().newestFirst, 5, "bench-3", "/dev/ttyUSB0"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(BusFile, LastUnitSeen, ::testing::ValuesIn(kLastUnitCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST(LastUnitSeen, IsSaidAsTheWindowSaysIt)
{
    EXPECT_EQ(ReplacedText(5, 0x5A05, 0x7B11), "5: was 5A05, now 7B11 (replaced?)");
}

} // namespace

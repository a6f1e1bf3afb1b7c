// backup, diff and restore against the virtual bus: what each says, what
// each sends (diff and a refused restore send no write at all), what a
// restore leaves in the service records, and every bad input refused
// before the port is opened.

#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "CliFixture.h"
#include "busfile/BusFile.h"

namespace {

using nlohmann::json;

class CliBusFileTest : public CliBusTest {
protected:
    std::string file = TempFile("machine.lumobus");
    std::string records = TempFile("bus-records.sqlite");

    void SetUp() override { Clean(); }
    void TearDown() override { Clean(); }
    void Clean() const
    {
        std::filesystem::remove(file);
        for (const char *suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(records + suffix);
    }

    // A bus of 5 (LUMO-D, 5A05) and 9 (LUMO-P, 5A09), saved to `file`.
    void SavedBus()
    {
        StartBus(lumosim::InstantLine(), {Device(5, Model::LumoD), Device(9, Model::LumoP)});
        const CliResult r = Run({"backup", "-o", file, "--from", "1", "--to", "16"});
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    // The bus replaced by another one, as after work on the machine.
    void NewBus(const std::vector<DeviceOptions> &devices)
    {
        bus_.reset();
        StartBus(lumosim::InstantLine(), devices);
    }

    static DeviceOptions Unit(uint8_t address, uint16_t model, uint16_t motorId)
    {
        DeviceOptions d = Device(address, model);
        d.name = motorId;
        return d;
    }

    static json States(const json &doc)
    {
        json out = json::array();
        for (const json &d : doc["devices"])
            out.push_back({d["address"], d["state"]});
        return out;
    }

    static std::string FileText(const std::string &path)
    {
        std::ifstream in(path);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
};

TEST_F(CliBusFileTest, BackupSavesEachDeviceAndDiffOfTheSameBusIsClean)
{
    SavedBus();
    const json saved = json::parse(FileText(file));
    EXPECT_EQ(saved["format"], "lumo-bus");
    EXPECT_EQ(saved["version"], 1);
    EXPECT_EQ(saved["taken"]["port"], bus().DevicePath());
    EXPECT_EQ(saved["taken"]["baud"], 115200);
    ASSERT_EQ(saved["devices"].size(), 2u);
    EXPECT_EQ(saved["devices"][0]["address"], 5);
    EXPECT_EQ(saved["devices"][0]["motorId"], "5A05");
    EXPECT_EQ(saved["devices"][1]["model"], "LUMO-P");
    EXPECT_EQ(saved["devices"][0]["config"]["MaxPos"], bus().Holding(5, Reg::MaxPos));

    bus().ClearFrameLog();
    const CliResult diff = Run({"--json", "diff", file});
    EXPECT_EQ(diff.exitCode, 0) << diff.err;
    EXPECT_EQ(States(Json(diff)), json::parse(R"([[5, "same"], [9, "same"]])"));
    EXPECT_TRUE(Writes().empty());
}

struct DiffCase {
    const char *name;
    std::vector<DeviceOptions> bus;
    const char *states;     // JSON [[address, state], ...]
    const char *textLine;   // a line the text output holds
};

DeviceOptions Named(uint8_t address, uint16_t model, uint16_t motorId)
{
    DeviceOptions d = Device(address, model);
    d.name = motorId;
    return d;
}

const DiffCase kDiffCases[] = {
    {"Moved", {Named(5, Model::LumoD, 0x5A05), Named(12, Model::LumoP, 0x5A09)},
     R"([[5, "same"], [9, "moved"]])", "9    moved: 5A09 now answers at 12"},
    {"Replaced", {Named(5, Model::LumoD, 0x7B11), Named(9, Model::LumoP, 0x5A09)},
     R"([[5, "replaced"], [9, "same"]])", "5    replaced: was 5A05, now 7B11 (LUMO-D)"},
    {"MissingAndNew", {Named(5, Model::LumoD, 0x5A05), Named(3, Model::LumoB, 0x7B03)},
     R"([[3, "new"], [5, "same"], [9, "missing"]])", "9    missing: 5A09 (LUMO-P) does not answer"},
    {"AnotherModelAtItsAddress", {Named(5, Model::LumoB, 0x7B11), Named(9, Model::LumoP, 0x5A09)},
     R"([[5, "missing"], [5, "new"], [9, "same"]])", "a LUMO-B (7B11) answers at 5"},
};

class DiffStates : public CliBusFileTest, public ::testing::WithParamInterface<DiffCase> {};

TEST_P(DiffStates, NamesEachDeviceAndSendsNoWrite)
{
    const DiffCase &c = GetParam();
    SavedBus();
    NewBus(c.bus);
    const CliResult r = Run({"--json", "diff", file});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(States(Json(r)), json::parse(c.states)) << r.out;
    const CliResult text = Run({"diff", file});
    EXPECT_NE(text.out.find(c.textLine), std::string::npos) << text.out;
    EXPECT_TRUE(Writes().empty());
}

INSTANTIATE_TEST_SUITE_P(Cli, DiffStates, ::testing::ValuesIn(kDiffCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(CliBusFileTest, DiffListsEachDifferingRegisterFileToBus)
{
    SavedBus();
    bus().SetHolding(5, Reg::SpeedPwm, 60);
    bus().SetHolding(5, Reg::CurrentLimit, 7000);
    const CliResult r = Run({"--json", "diff", file});
    EXPECT_EQ(r.exitCode, 1);
    const json doc = Json(r);
    EXPECT_EQ(doc["same"], false);
    EXPECT_EQ(doc["devices"][0]["state"], "differs");
    EXPECT_EQ(doc["devices"][0]["registers"],
              json::parse(R"([{"register": "CurrentLimit", "file": 5000, "bus": 7000},
                              {"register": "SpeedPwm", "file": 100, "bus": 60}])"));
    const CliResult text = Run({"diff", file});
    EXPECT_NE(text.out.find("SpeedPwm       100 -> 60"), std::string::npos) << text.out;
}

TEST_F(CliBusFileTest, RestoreWritesOnlyWhatDiffersVerifiesAndRecordsIt)
{
    SavedBus();
    bus().SetHolding(5, Reg::SpeedPwm, 60);
    bus().SetHolding(9, Reg::MaxPos, 1500);
    bus().ClearFrameLog();
    const CliResult r = Run({"--records", records, "--json", "restore", file});
    ASSERT_EQ(r.exitCode, 0) << r.err << r.out;
    EXPECT_EQ(Writes(), (std::vector<HeardWrite>{{5, Reg::SpeedPwm, 100}, {9, Reg::MaxPos, 1000}}));
    const json doc = Json(r);
    EXPECT_EQ(doc["devices"][0]["result"], "restored");
    EXPECT_EQ(doc["devices"][0]["verified"], true);
    EXPECT_EQ(doc["devices"][0]["written"], json::parse(R"([{"register": "SpeedPwm", "ok": true}])"));
    EXPECT_EQ(bus().Holding(5, Reg::SpeedPwm), 100);
    EXPECT_EQ(Run({"diff", file}).exitCode, 0);

    const CliResult history = RunCli({"--records", records, "--json", "history", "5A05"});
    ASSERT_EQ(history.exitCode, 0) << history.err;
    const json events = Json(history)["events"];
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events[0]["kind"], "config-write");
    EXPECT_EQ(events[0]["file"], file);
    EXPECT_EQ(events[0]["before"]["SpeedPwm"], 60);
    EXPECT_EQ(events[0]["config"]["SpeedPwm"], 100);
}

TEST_F(CliBusFileTest, AReplacedUnitIsWrittenOnlyWithReplaced)
{
    SavedBus();
    DeviceOptions fresh = Named(5, Model::LumoD, 0x7B11);
    NewBus({fresh, Named(9, Model::LumoP, 0x5A09)});
    bus().SetHolding(5, Reg::SpeedPwm, 40);
    // The new unit's position offset is its own, not a setting to restore.
    bus().SetHolding(5, Reg::PosOffset, 7);
    const CliResult refused = Run({"restore", file});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.out.find("replaced: was 5A05, now 7B11; not written (--replaced"), std::string::npos)
        << refused.out;
    EXPECT_TRUE(Writes().empty());

    const CliResult r = Run({"restore", file, "--replaced"});
    EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
    EXPECT_EQ(Writes(), (std::vector<HeardWrite>{{5, Reg::SpeedPwm, 100}}));
}

TEST_F(CliBusFileTest, TheSameUnitWithAnotherPositionOffsetIsOnlyPartlyRestored)
{
    SavedBus();
    bus().SetHolding(5, Reg::SpeedPwm, 60);
    bus().SetHolding(5, Reg::PosOffset, 7);
    const CliResult r = Run({"--json", "restore", file, "--only", "5"});
    EXPECT_EQ(r.exitCode, 1);
    const json device = Json(r)["devices"][0];
    EXPECT_EQ(device["result"], "partly restored");
    EXPECT_EQ(device["kept"], json::parse(R"(["PosOffset"])"));
    EXPECT_EQ(Writes(), (std::vector<HeardWrite>{{5, Reg::SpeedPwm, 100}}));
}

TEST_F(CliBusFileTest, AMovedUnitIsLeftAloneAndOnlyLimitsTheRestore)
{
    SavedBus();
    NewBus({Named(5, Model::LumoD, 0x5A05), Named(12, Model::LumoP, 0x5A09)});
    bus().SetHolding(12, Reg::SpeedPwm, 40);
    bus().SetHolding(5, Reg::SpeedPwm, 40);
    const CliResult r = Run({"--json", "restore", file, "--only", "9"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(Json(r)["devices"][0]["result"], "moved");
    EXPECT_TRUE(Writes().empty());
}

TEST_F(CliBusFileTest, BaudRateIsKeptUnlessWithBaudAndThenWarned)
{
    SavedBus();
    // The file says 9600; the device talks 115200.
    std::string text = FileText(file);
    const size_t at = text.find("\"BaudRate\": 0");
    ASSERT_NE(at, std::string::npos);
    text.replace(at, 13, "\"BaudRate\": 2");
    { std::ofstream(file) << text; }
    const CliResult kept = Run({"restore", file, "--only", "5"});
    EXPECT_EQ(kept.exitCode, 1);
    EXPECT_NE(kept.err.find("BaudRate kept at 0 (the file has 2); --with-baud writes it"), std::string::npos)
        << kept.err;
    EXPECT_TRUE(Writes().empty());

    const CliResult written = Run({"restore", file, "--only", "5", "--with-baud"});
    EXPECT_EQ(written.exitCode, 0) << written.err << written.out;
    EXPECT_NE(written.err.find("talks at 9600 baud"), std::string::npos) << written.err;
    EXPECT_EQ(Writes(), (std::vector<HeardWrite>{{5, Reg::BaudRate, 2}}));
}

TEST_F(CliBusFileTest, ARefusedRegisterFailsThatDeviceAndTheOthersGoOn)
{
    SavedBus();
    bus().SetHolding(5, Reg::SpeedPwm, 60);
    bus().SetHolding(9, Reg::SpeedPwm, 60);
    lumosim::Faults refuses;
    refuses.exceptionRegister = Reg::SpeedPwm;
    refuses.exceptionCode = 0x02;
    refuses.exceptionOnWritesOnly = true;
    bus().SetFaults(5, refuses);
    const CliResult r = Run({"--json", "restore", file});
    EXPECT_EQ(r.exitCode, 1);
    const json doc = Json(r);
    EXPECT_EQ(doc["devices"][0]["result"], "failed");
    EXPECT_NE(doc["devices"][0]["error"]["message"].get<std::string>().find("writing SpeedPwm to device 5"),
              std::string::npos);
    EXPECT_EQ(doc["devices"][0]["error"]["exceptionCode"], 2);
    EXPECT_EQ(doc["devices"][1]["result"], "restored");
    EXPECT_EQ(doc["notRestored"], 1);
}

TEST_F(CliBusFileTest, ModelMismatchIsRefusedWithoutAWrite)
{
    SavedBus();
    NewBus({Named(5, Model::LumoB, 0x7B11), Named(9, Model::LumoP, 0x5A09)});
    const CliResult r = Run({"restore", file, "--replaced"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("model mismatch: the file has a LUMO-D (5A05) here, the device now at 5 is a LUMO-B (7B11)"),
              std::string::npos)
        << r.out;
    EXPECT_TRUE(Writes().empty());
}

TEST_F(CliBusFileTest, UnpluggedDuringARestoreNamesWhatWasNotRestored)
{
    SavedBus();
    bus().SetHolding(5, Reg::SpeedPwm, 60);
    bus().SetHolding(9, Reg::SpeedPwm, 60);
    // Unplugged as soon as the first write has been heard.
    std::thread unplug([this] {
        for (int i = 0; i < 2000 && Writes().empty(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        bus().Unplug();
    });
    const CliResult r = Run({"--json", "restore", file});
    unplug.join();
    // A lost port is exit 3, as for every command.
    EXPECT_EQ(r.exitCode, 3);
    const json doc = Json(r);
    EXPECT_NE(doc["error"]["message"].get<std::string>().find("the port was lost"), std::string::npos) << r.out;
    for (const json &d : doc["devices"])
        EXPECT_NE(d["result"], "restored") << d;
}

TEST_F(CliBusFileTest, TwoDevicesWithOneMotorIdGiveNoFile)
{
    StartBus(lumosim::InstantLine(), {Named(5, Model::LumoD, 0x5A05), Named(6, Model::LumoD, 0x5A05)});
    const CliResult r = Run({"backup", "-o", file, "--to", "8"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("devices 5 and 6 answer with one motor ID, 5A05"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(file));
}

// A file may name a slave address above the scan's 1..127: that device is
// read by itself, and all motor IDs read are held against each other.
TEST_F(CliBusFileTest, AFileDeviceBeyondTheScanIsReadByItself)
{
    SavedBus();
    busfile::BusFile saved;
    std::string error;
    ASSERT_TRUE(busfile::ReadBusFile(file, saved, error)) << error;
    busfile::Device far = saved.devices.front(); // 5's configuration, at 200
    far.address = 200;
    far.motorId = 0x5AC8;
    saved.devices.push_back(far);
    ASSERT_TRUE(busfile::WriteBusFile(file, saved, error)) << error;

    NewBus({Named(5, Model::LumoD, 0x5A05), Named(9, Model::LumoP, 0x5A09), Named(200, Model::LumoD, 0x5AC8)});
    const CliResult same = Run({"--json", "diff", file});
    ASSERT_EQ(same.exitCode, 0) << same.err;
    EXPECT_EQ(States(json::parse(same.out)), json::parse(R"([[5, "same"], [9, "same"], [200, "same"]])"));

    NewBus({Named(5, Model::LumoD, 0x5A05), Named(9, Model::LumoP, 0x5A09), Named(200, Model::LumoD, 0x5A05)});
    const CliResult twins = Run({"diff", file});
    EXPECT_EQ(twins.exitCode, 1);
    EXPECT_NE(twins.err.find("devices 5 and 200 answer with one motor ID, 5A05"), std::string::npos) << twins.err;
}

struct BadBusFile {
    const char *name;
    const char *text;
    const char *says;
};

const BadBusFile kBadBusFiles[] = {
    {"AConfigFile", "\x01\x02", "damaged"},
    {"Truncated", R"({"format": "lumo-bus", "version": 1, "taken": {)", "truncated"},
    {"OtherVersion", R"({"format": "lumo-bus", "version": 7})", "version 7; this program reads version 1"},
    {"OtherJson", R"({"devices": []})", "not a bus file"},
    {"Address300",
     R"({"format": "lumo-bus", "version": 1, "taken": {"time": "", "station": "", "port": "", "baud": 115200,
         "from": 1, "to": 127}, "devices": [{"address": 300}]})",
     "\"address\" 300 is outside 1..247"},
};

class RestoreRefusesFile : public CliBusFileTest, public ::testing::WithParamInterface<BadBusFile> {};

TEST_P(RestoreRefusesFile, BeforeSendingAnything)
{
    StartBus(lumosim::InstantLine(), {Device(5, Model::LumoD)});
    { std::ofstream(file) << GetParam().text; }
    for (const char *command : {"restore", "diff"}) {
        const CliResult r = Run({command, file});
        EXPECT_EQ(r.exitCode, 2) << command;
        EXPECT_NE(r.err.find(file + " cannot be used: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(GetParam().says), std::string::npos) << r.err;
    }
    EXPECT_TRUE(BusStaysQuiet());
}

INSTANTIATE_TEST_SUITE_P(Cli, RestoreRefusesFile, ::testing::ValuesIn(kBadBusFiles),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(CliBusFileTest, OnlyAnAddressOfTheFileIsAccepted)
{
    SavedBus();
    bus().ClearFrameLog();
    const CliResult r = Run({"restore", file, "--only", "7"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("has no device at address 7"), std::string::npos) << r.err;
    EXPECT_TRUE(BusStaysQuiet());
}

TEST_F(CliBusFileTest, FromRecordsGivesTheNewUnitTheOldUnitsConfiguration)
{
    const std::string link = TempFile("bus-link");
    std::filesystem::remove(link);
    StartBus(lumosim::InstantLine(), {Device(5, Model::LumoD)});
    ASSERT_TRUE(bus().MakeLink(link));
    bus().SetHolding(5, Reg::SpeedPwm, 70);
    ASSERT_EQ(RunCli({"--port", link, "--records", records, "config", "read", "5"}).exitCode, 0);

    NewBus({Named(5, Model::LumoD, 0x7B11)});
    ASSERT_TRUE(bus().MakeLink(link));
    const CliResult r = RunCli({"--port", link, "--records", records, "restore", "--from-records", "5"});
    EXPECT_EQ(r.exitCode, 0) << r.err << r.out;
    EXPECT_NE(r.out.find("5: was 5A05, now 7B11 (replaced?)"), std::string::npos) << r.out;
    EXPECT_EQ(Writes(), (std::vector<HeardWrite>{{5, Reg::SpeedPwm, 70}}));
    // Asked again: the records now know 7B11 at 5.
    const CliResult again = RunCli({"--port", link, "--records", records, "restore", "--from-records", "5"});
    EXPECT_EQ(again.exitCode, 0) << again.err;
    EXPECT_NE(again.out.find("nothing to restore"), std::string::npos) << again.out;
    std::filesystem::remove(link);
}

TEST_F(CliBusFileTest, InfoSaysWhenAnotherUnitAnswersWhereTheRecordsSawOne)
{
    const std::string link = TempFile("info-link");
    std::filesystem::remove(link);
    StartBus(lumosim::InstantLine(), {Device(5, Model::LumoD)});
    ASSERT_TRUE(bus().MakeLink(link));
    const CliResult first = RunCli({"--port", link, "--records", records, "info", "5"});
    ASSERT_EQ(first.exitCode, 0) << first.err;
    EXPECT_EQ(first.err.find("replaced?"), std::string::npos) << first.err;

    NewBus({Named(5, Model::LumoD, 0x7B11)});
    ASSERT_TRUE(bus().MakeLink(link));
    const CliResult r = RunCli({"--port", link, "--records", records, "--json", "info", "5"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("5: was 5A05, now 7B11 (replaced?)"), std::string::npos) << r.err;
    EXPECT_EQ(Json(r)["replaced"], json::parse(R"({"was": "5A05", "now": "7B11"})"));
    // Nothing is written on the strength of a guess.
    EXPECT_TRUE(Writes().empty());
    std::filesystem::remove(link);
}

} // namespace

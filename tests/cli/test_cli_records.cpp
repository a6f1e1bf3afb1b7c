// lumoctl's service records against the virtual bus: what a command leaves
// in the records, what `history` shows of it, the one read recording may
// add to the bus, and a records file that cannot be written.

#include <sys/stat.h>

#include <cstdio>
#include <filesystem>

#include "CliFixture.h"
#include "ProcessRunner.h"

namespace {

using nlohmann::json;

class CliRecordsTest : public CliBusTest {
protected:
    std::string records;

    void SetUp() override
    {
        records = TempFile("records.sqlite");
        RemoveRecords();
    }
    void TearDown() override { RemoveRecords(); }

    void RemoveRecords() const
    {
        for (const char *suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(records + suffix);
    }

    // lumoctl on the bus, recording into this test's file.
    CliResult Recorded(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--records", records});
        return Run(args);
    }

    json History(const std::vector<std::string> &query)
    {
        std::vector<std::string> args{"--records", records, "--json", "history"};
        args.insert(args.end(), query.begin(), query.end());
        const CliResult r = RunCli(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return json::parse(r.out);
    }

    std::string HistoryText(const std::vector<std::string> &query)
    {
        std::vector<std::string> args{"--records", records, "history"};
        args.insert(args.end(), query.begin(), query.end());
        const CliResult r = RunCli(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        return r.out;
    }

    // Stroke 1000, rear 0, front 1000, 5000 mA, 100 %.
    void KnownSettings(uint8_t address)
    {
        bus().SetHolding(address, Reg::MaxPos, 1000);
        bus().SetHolding(address, Reg::RearLimit, 0);
        bus().SetHolding(address, Reg::FrontLimit, 1000);
        bus().SetHolding(address, Reg::CurrentLimit, 5000);
        bus().SetHolding(address, Reg::SpeedPwm, 100);
    }
};

// Stroke 1500, rear 100, front 1400, 7000 mA, 60 %, the rest as the sim's.
const std::vector<uint16_t> kNewSettings = {0, 1500, 100, 1400, 7000, 60, 3, 4095, 0, 0, 0x8000};

std::vector<std::string> Names(const json &registers)
{
    std::vector<std::string> names;
    for (const json &r : registers)
        names.push_back(r["name"]);
    return names;
}

const std::vector<std::string> kWriteOrder = {"MaxPos",      "RearLimit",     "FrontLimit",
                                              "CurrentLimit", "SpeedPwm",     "SettingFlag",
                                              "HallPotSelect", "BaudRate",    "VoltageOut"};

TEST_F(CliRecordsTest, AConfigWriteShowsBeforeAndAfter)
{
    StartBus({Device(5, Model::LumoD)});
    KnownSettings(5);
    const std::string file = TempFile("new.config");
    WriteBytes(file, ConfigBytes(kNewSettings));

    ASSERT_EQ(Recorded({"config", "read", "5"}).exitCode, 0);
    const CliResult write = Recorded({"config", "write", "5", file});
    ASSERT_EQ(write.exitCode, 0) << write.err;

    const json history = History({"5A05"});
    ASSERT_EQ(history["count"], 3);
    const json &w = history["events"][0];
    EXPECT_EQ(w["kind"], "config-write");
    EXPECT_EQ(w["motorId"], "5A05");
    EXPECT_EQ(w["address"], 5);
    EXPECT_EQ(w["program"], "lumoctl");
    EXPECT_EQ(w["port"], bus().DevicePath());
    EXPECT_EQ(w["file"], file);
    EXPECT_EQ(w["ok"], true);
    EXPECT_EQ(w["before"]["MaxPos"], 1000);
    EXPECT_EQ(w["before"]["SpeedPwm"], 100);
    EXPECT_EQ(w["config"]["MaxPos"], 1500);
    EXPECT_EQ(w["config"]["SpeedPwm"], 60);
    EXPECT_EQ(w["changed"], json({"MaxPos", "RearLimit", "FrontLimit", "CurrentLimit", "SpeedPwm"}));
    EXPECT_EQ(Names(w["registers"]), kWriteOrder);
    for (const json &r : w["registers"])
        EXPECT_EQ(r["result"], 0) << r;
    EXPECT_EQ(history["events"][1]["kind"], "config-import");
    EXPECT_EQ(history["events"][1]["file"], file);
    EXPECT_EQ(history["events"][2]["kind"], "config-read");

    const std::string text = HistoryText({"5A05"});
    EXPECT_NE(text.find("config-write  MaxPos 1000 -> 1500, RearLimit 0 -> 100, FrontLimit 1000 -> 1400, "
                        "CurrentLimit 5000 -> 7000, SpeedPwm 100 -> 60 (from " +
                        file + ")"),
              std::string::npos)
        << text;
    ::unlink(file.c_str());
}

// A configuration write that fails at SpeedPwm, from a device that refuses
// it, and from one that carries it out while its reply arrives garbled: the
// read-back after the failure puts SpeedPwm among the registers taken only
// in the second case, in the records and in the message.
struct FailedWriteCase {
    const char *name;
    bool replyLost;        // else the device refuses the register
    const char *resultHex; // the write's result
    int speedResult;       // SpeedPwm's result in the record: 0 when taken
    uint16_t speedHeld;    // what the device holds after it
    const char *message;   // in lumoctl's error, when the read-back found it taken
};

class CliFailedWriteTest : public CliRecordsTest, public ::testing::WithParamInterface<FailedWriteCase> {};

TEST_P(CliFailedWriteTest, RecordsWhatTheDeviceTook)
{
    const FailedWriteCase &c = GetParam();
    DeviceOptions d = Device(4, Model::LumoD);
    (c.replyLost ? d.faults.corruptWriteReplyRegister : d.faults.exceptionRegister) = Reg::SpeedPwm;
    StartBus({d});
    KnownSettings(4);
    const std::string file = TempFile("midway.config");
    WriteBytes(file, ConfigBytes(kNewSettings));

    const CliResult r = Recorded({"--tries", "1", "config", "write", "4", file});
    EXPECT_EQ(r.exitCode, 1);
    if (c.message) {
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(bus().Holding(4, Reg::SpeedPwm), c.speedHeld);
    EXPECT_EQ(bus().Holding(4, Reg::SettingFlag), 3) << "nothing after the failure was sent";

    const json w = History({"5A04"})["events"][0];
    EXPECT_EQ(w["kind"], "config-write");
    EXPECT_EQ(w["ok"], false);
    EXPECT_EQ(w["resultHex"], c.resultHex);
    EXPECT_EQ(w["before"], nullptr); // nothing read before
    ASSERT_EQ(Names(w["registers"]),
              (std::vector<std::string>{"MaxPos", "RearLimit", "FrontLimit", "CurrentLimit", "SpeedPwm"}));
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(w["registers"][i]["result"], 0) << w["registers"][i];
    EXPECT_EQ(w["registers"][4]["result"], c.speedResult);
    EXPECT_NE(HistoryText({"5A04"}).find("FAILED: writing the configuration to device 4"), std::string::npos);
    ::unlink(file.c_str());
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CliFailedWriteTest,
    ::testing::Values(FailedWriteCase{"refused", false, "0x4001", 0x4001, 100, nullptr},
                      FailedWriteCase{"reply_lost", true, "0x2005", 0, 60, "reading back shows it took SpeedPwm as well"}),
    [](const ::testing::TestParamInfo<FailedWriteCase> &info) { return std::string(info.param.name); });

TEST_F(CliRecordsTest, AnAddressChangeShowsBothAddresses)
{
    StartBus({Device(5, Model::LumoD)});
    const CliResult r = Recorded({"set-address", "5", "9"});
    ASSERT_EQ(r.exitCode, 0) << r.err;

    const json history = History({"5A05"});
    ASSERT_EQ(history["count"], 1);
    EXPECT_EQ(history["events"][0]["kind"], "address-change");
    EXPECT_EQ(history["events"][0]["address"], 5);
    EXPECT_EQ(history["events"][0]["newAddress"], 9);
    EXPECT_NE(HistoryText({"5A05"}).find("address-change  address 5 -> 9"), std::string::npos);
    // Found by either address.
    EXPECT_EQ(History({"--address", "5"})["count"], 1);
    EXPECT_EQ(History({"--address", "9"})["count"], 1);
    EXPECT_EQ(History({"--address", "7"})["count"], 0);
}

TEST_F(CliRecordsTest, MotionAndLearningKeepTheirOutcome)
{
    StartBus({Device(1, Model::LumoD)});
    ASSERT_EQ(Recorded({"move", "1", "goto", "600", "--wait"}).exitCode, 0);
    ASSERT_EQ(Recorded({"learn", "1", "--wait"}).exitCode, 0);

    const json events = History({"5A01"})["events"];
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0]["kind"], "config-read"); // read at the end of the learning
    EXPECT_EQ(events[0]["config"]["MaxPos"], 980);
    EXPECT_EQ(events[1]["kind"], "learning");
    EXPECT_EQ(events[1]["stroke"], 980);
    EXPECT_EQ(events[2]["kind"], "motion");
    EXPECT_EQ(events[2]["action"], "goto 600");
    EXPECT_EQ(events[2]["position"], 600);
    EXPECT_EQ(events[2]["ok"], true);
}

// The one read recording may add: register 0x0010, the motor ID, after the
// command's own requests, by a command that has not read it itself. The
// same command with and without records, each on a fresh bus whose replies
// come at once, so that a busy machine does not turn one into a retry.
TEST_F(CliRecordsTest, RecordingAddsOnlyAMotorIdRead)
{
    const std::string file = TempFile("extra.config");
    WriteBytes(file, ConfigBytes(kNewSettings));
    const struct {
        const char *what;
        std::vector<std::string> args;
        int motorIdReadAt; // 0: no read added
    } cases[] = {
        {"info reads it itself", {"info", "5"}, 0},
        {"config read", {"config", "read", "5"}, 5},
        {"config write", {"config", "write", "5", file}, 5},
        {"set-address, at the new address", {"set-address", "5", "6"}, 6},
        {"move", {"move", "5", "up"}, 5},
        {"learn", {"learn", "5"}, 5},
        {"a raw configuration write", {"raw", "5", "0x10", "0x0020", "2", "1500", "100"}, 5},
        {"status records nothing", {"status", "5"}, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::vector<uint8_t>> heard[2];
        for (const bool recording : {false, true}) {
            StartBus(lumosim::InstantLine(), {Device(5, Model::LumoD)});
            std::vector<std::string> args = c.args;
            if (!recording)
                args.insert(args.begin(), "--no-records");
            const CliResult r = recording ? Recorded(args) : Run(args);
            ASSERT_EQ(r.exitCode, 0) << r.err;
            for (const LoggedFrame &f : Requests())
                heard[recording].push_back(f.bytes);
        }
        std::vector<std::vector<uint8_t>> expected = heard[0];
        if (c.motorIdReadAt != 0) {
            const uint8_t a = static_cast<uint8_t>(c.motorIdReadAt);
            ASSERT_FALSE(heard[1].empty());
            // Address, 0x03, register 0x0010, one register; the CRC follows.
            const std::vector<uint8_t> read(heard[1].back().begin(), heard[1].back().begin() + 6);
            EXPECT_EQ(read, (std::vector<uint8_t>{a, Fc::ReadHolding, 0x00, 0x10, 0x00, 0x01}));
            expected.push_back(heard[1].back());
        }
        EXPECT_EQ(heard[1], expected);
    }
    ::unlink(file.c_str());
}

// A records file that cannot be written costs one line on stderr; the
// command's output, exit code and bus traffic stay those of a command
// without records (on the instant line, as above).
TEST_F(CliRecordsTest, AStoreThatCannotBeWrittenIsOneLineAndChangesNothingElse)
{
    DeviceOptions silent = Device(9, Model::LumoD);
    silent.faults.silent = true;
    const struct {
        const char *what;
        std::vector<std::string> args;
        int exitCode;
    } cases[] = {
        {"a command that succeeds", {"config", "read", "5"}, 0},
        {"a command that fails", {"--tries", "1", "move", "9", "stop"}, 1},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        StartBus(lumosim::InstantLine(), {Device(5, Model::LumoD), silent});
        std::vector<std::string> off = c.args;
        off.insert(off.begin(), "--no-records");
        const CliResult plain = Run(off);
        const size_t plainRequests = Requests().size();
        bus().ClearFrameLog();

        std::vector<std::string> bad = c.args;
        bad.insert(bad.begin(), {"--records", "/proc/self/records.sqlite"});
        const CliResult r = Run(bad);
        EXPECT_EQ(r.exitCode, c.exitCode);
        EXPECT_EQ(plain.exitCode, c.exitCode);
        EXPECT_EQ(r.out, plain.out);
        EXPECT_EQ(Requests().size(), plainRequests);
        const std::string line = "lumoctl: note: Service records are off: cannot open /proc/self/records.sqlite "
                                 "(unable to open database file).\n";
        ASSERT_GE(r.err.size(), line.size()) << r.err;
        EXPECT_EQ(r.err.substr(0, line.size()), line) << r.err;
        EXPECT_EQ(r.err.substr(line.size()), plain.err);
    }
}

TEST_F(CliRecordsTest, HistoryAsksForOneMotorOrOneAddress)
{
    const struct {
        std::vector<std::string> args;
        int exitCode;
        const char *says;
    } cases[] = {
        {{"history"}, 2, "history needs a motor ID (such as 5A05) or --address N"},
        {{"history", "5A05", "--address", "5"}, 2, "not both"},
        {{"history", "5A0G"}, 2, "the motor ID must be 1 to 4 hexadecimal digits"},
        {{"history", "--address", "200"}, 2, "--address must be a number from 1 to 127"},
        {{"--no-records", "history", "5A05"}, 2, "service records are off"},
        {{"history", "0x5a05"}, 0, "No events recorded for motor 5A05 in "},
    };
    for (const auto &c : cases) {
        std::vector<std::string> args = c.args;
        if (args[0] != "--no-records")
            args.insert(args.begin(), {"--records", records});
        const CliResult r = RunCli(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args.back();
        EXPECT_NE((r.out + r.err).find(c.says), std::string::npos) << r.out << r.err;
    }
    // Looking made no records file.
    EXPECT_FALSE(std::filesystem::exists(records));
}

// The README's production line, run as it is written, leaves each of its
// ten actuators' configuration write in the records, found by motor ID.
TEST_F(CliRecordsTest, TheReadmeProductionLineLeavesAWritePerActuator)
{
    Process example({"bash", LUMO_SOURCE_DIR "/tests/cli/run_doc_example.sh", LUMO_SOURCE_DIR "/README.md",
                     std::filesystem::path(LUMOCTL_PROGRAM).parent_path().string(),
                     std::filesystem::path(LUMO_SIM_PROGRAM).parent_path().string(), records});
    const ProcessResult done = example.Finish(120000);
    ASSERT_EQ(done.exitCode, 0) << done.out << done.err;

    for (int a = 1; a <= 10; ++a) {
        char motor[8];
        std::snprintf(motor, sizeof motor, "%04X", 0x5A00 + a);
        SCOPED_TRACE(motor);
        const json events = History({motor})["events"];
        int writes = 0;
        for (const json &e : events) {
            if (e["kind"] != "config-write")
                continue;
            ++writes;
            EXPECT_EQ(e["address"], a);
            EXPECT_EQ(e["ok"], true);
            EXPECT_EQ(e["file"], "reference.config");
            EXPECT_EQ(e["config"]["MaxPos"], 1500);
            EXPECT_EQ(e["config"]["SpeedPwm"], 60);
            EXPECT_EQ(e["registers"].size(), 9u);
        }
        EXPECT_EQ(writes, 1);
        EXPECT_NE(HistoryText({motor}).find("config-write"), std::string::npos);
    }
}

} // namespace

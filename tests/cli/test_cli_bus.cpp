// lumoctl against the virtual bus on a pseudo-terminal: what it reports and
// what it put on the line.

#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <optional>
#include <regex>
#include <set>

#include "CliFixture.h"
#include "serial/ComPort.h"

namespace {

using nlohmann::json;

// --- scan ----------------------------------------------------------------

TEST_F(CliBusTest, ScanListsTheDemoDevicesWithTheirModels)
{
    DeviceOptions noModel = Device(11, Model::LumoD);
    noModel.faults.exceptionRegister = Reg::Model; // answers the probe, refuses the model read
    StartBus({Device(1, Model::LumoD), Device(5, Model::LumoP), Device(9, Model::LumoB), noModel});

    const CliResult r = Run({"--json", "--tries", "1", "scan", "--from", "1", "--to", "12"});

    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json j = Json(r);
    const json expected = json::parse(R"([
        {"address": 1, "model": "LUMO-D", "modelCode": 0},
        {"address": 5, "model": "LUMO-P", "modelCode": 1},
        {"address": 9, "model": "LUMO-B", "modelCode": 2},
        {"address": 11, "model": "unknow", "modelCode": 65535}])");
    EXPECT_EQ(j["devices"], expected);
    // Every address of the range was probed, none beyond it.
    std::set<int> probed;
    for (const LoggedFrame &f : Requests())
        if (f.bytes[1] == Fc::ReadInput && f.bytes[3] == Reg::MotorStatus)
            probed.insert(f.bytes[0]);
    EXPECT_EQ(probed.size(), 12u);
    EXPECT_EQ(*probed.begin(), 1);
    EXPECT_EQ(*probed.rbegin(), 12);
}

TEST_F(CliBusTest, ScanForPeopleIsATable)
{
    StartBus({Device(5, Model::LumoP)});
    const CliResult r = Run({"--tries", "1", "scan", "--from", "4", "--to", "6"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n5 +LUMO-P\n"))) << r.out;
    EXPECT_NE(r.out.find("1 device found at addresses 4 to 6"), std::string::npos) << r.out;
    // Not a terminal: no progress line in the output.
    EXPECT_EQ(r.err.find("scanning"), std::string::npos);
}

// --- info and status -------------------------------------------------------

TEST_F(CliBusTest, InfoShowsModelMotorIdAndFirmware)
{
    DeviceOptions d = Device(7, Model::LumoB);
    d.name = 0x00AB;
    d.firmware = 0x0102;
    StartBus({d});
    const CliResult r = Run({"--json", "info", "7"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json j = Json(r);
    EXPECT_EQ(j["model"], "LUMO-B");
    EXPECT_EQ(j["motorId"], "00AB");
    EXPECT_EQ(j["firmware"], "01.02");
}

TEST_F(CliBusTest, StatusNamesTheFlags)
{
    DeviceOptions d = Device(3, Model::LumoD);
    d.faults.hallError = true;
    StartBus({d});
    const CliResult r = Run({"status", "3"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("Flags +Hall error\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("Motion +stopped\n"))) << r.out;
}

TEST_F(CliBusTest, WatchPrintsSamplesUntilInterrupted)
{
    StartBus({Device(1, Model::LumoD)});
    CliProcess watch({"--port", bus().DevicePath(), "--json", "status", "1", "--watch"});
    for (int i = 0; i < 2; ++i) {
        const std::string line = watch.ReadLine(3000);
        ASSERT_FALSE(line.empty()) << "sample " << i;
        const json j = json::parse(line);
        EXPECT_EQ(j["ok"], true);
        EXPECT_EQ(j["motion"], "stopped");
    }
    watch.Signal(SIGINT);
    const CliResult r = watch.Finish(3000);
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

// Samples start every 300 ms, however long each takes (three reads with
// their reply waits here). Measured on the bus, from the first status
// request of one sample to that of the next, averaged over seven periods so
// that the scheduling delay of one tick on a loaded machine counts little.
TEST_F(CliBusTest, WatchSamplesEvery300Milliseconds)
{
    StartBus({Device(1, Model::LumoD)});
    CliProcess watch({"--port", bus().DevicePath(), "--json", "status", "1", "--watch"});
    for (int i = 0; i < 8; ++i)
        ASSERT_FALSE(watch.ReadLine(3000).empty()) << "sample " << i;
    watch.Signal(SIGINT);
    EXPECT_EQ(watch.Finish(3000).exitCode, 0);

    std::vector<uint64_t> starts;
    for (const LoggedFrame &f : Requests())
        if (f.bytes[1] == Fc::ReadInput && f.bytes[3] == Reg::MotorStatus)
            starts.push_back(f.ms);
    ASSERT_GE(starts.size(), 8u);
    const double periodMs = static_cast<double>(starts[7] - starts[0]) / 7;
    EXPECT_NEAR(periodMs, 300, 20);
}

// --- failures of the bus and the port -----------------------------------------

TEST_F(CliBusTest, SilentDeviceGivesExitOneWithTheCodeText)
{
    DeviceOptions d = Device(1, Model::LumoD);
    d.faults.silent = true;
    StartBus({d});

    const CliResult r = Run({"--tries", "2", "status", "1"});

    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("Read Data Wait... (0x2006)"), std::string::npos) << r.err;
    EXPECT_EQ(Requests().size(), 2u) << "one request per attempt, --tries of them";

    const CliResult j = Run({"--json", "--tries", "1", "status", "1"});
    EXPECT_EQ(j.exitCode, 1);
    const json doc = Json(j);
    EXPECT_EQ(doc["ok"], false);
    EXPECT_EQ(doc["error"]["codeHex"], "0x2006");
    EXPECT_EQ(doc["error"]["codeText"], "Read Data Wait...");
}

// A refusal names the exception the device sent, in every command, in text
// and in JSON; the result code stays the status bar's 0x4001.
struct ExceptionCase {
    const char *name;
    std::vector<std::string> args; // "FILE" stands for a good .config file
    uint16_t refusedRegister;
    uint8_t exception;
    const char *text;       // what stderr says about the exception
    const char *jsonName;   // exceptionName, or nullptr for null
};

std::ostream &operator<<(std::ostream &os, const ExceptionCase &c)
{
    return os << c.name;
}

class ExceptionReply : public CliBusTest, public ::testing::WithParamInterface<ExceptionCase> {};

TEST_P(ExceptionReply, NamesTheExceptionCode)
{
    const ExceptionCase &c = GetParam();
    DeviceOptions d = Device(1, Model::LumoD);
    d.faults.exceptionRegister = c.refusedRegister;
    d.faults.exceptionCode = c.exception;
    StartBus({d});
    const std::string file = TempFile(std::string(c.name) + ".config");
    WriteBytes(file, ConfigBytes({0, 1000, 0, 1000, 5000, 100, 3, 4095, 0, 0, 0x8000}));
    std::vector<std::string> args = {"--tries", "1"};
    for (const std::string &a : c.args)
        args.push_back(a == "FILE" ? file : a);

    const CliResult text = Run(args);
    EXPECT_EQ(text.exitCode, 1) << text.err;
    EXPECT_NE(text.err.find(std::string("unknow Error (0x4001), the device refused the request with ") + c.text),
              std::string::npos)
        << text.err;

    args.insert(args.begin(), "--json");
    const CliResult json = Run(args);
    EXPECT_EQ(json.exitCode, 1) << json.err;
    nlohmann::json error = Json(json)["error"]; // not const: a missing key reads as null
    EXPECT_EQ(error["codeHex"], "0x4001");
    EXPECT_EQ(error["codeText"], "unknow Error");
    EXPECT_EQ(error["exceptionCode"], c.exception);
    if (c.jsonName != nullptr) {
        EXPECT_EQ(error["exceptionName"], c.jsonName);
    } else {
        EXPECT_TRUE(error["exceptionName"].is_null()) << error;
    }
    ::unlink(file.c_str());
}

const ExceptionCase kExceptionCases[] = {
    {"Info", {"info", "1"}, Reg::Model, 0x04, "Modbus exception 04 (server device failure)", "server device failure"},
    {"Status", {"status", "1"}, Reg::MotorStatus, 0x06, "Modbus exception 06 (server device busy)",
     "server device busy"},
    {"ConfigRead", {"config", "read", "1"}, Reg::SpeedPwm, 0x03, "Modbus exception 03 (illegal data value)",
     "illegal data value"},
    {"ConfigWrite", {"config", "write", "1", "FILE"}, Reg::MaxPos, 0x02,
     "Modbus exception 02 (illegal data address)", "illegal data address"},
    {"MoveGoto", {"move", "1", "goto", "600"}, Reg::GoToPos, 0x0B,
     "Modbus exception 0B (gateway target device failed to respond)", "gateway target device failed to respond"},
    {"Learn", {"learn", "1"}, Reg::ActionCmdIn, 0x0A, "Modbus exception 0A (gateway path unavailable)",
     "gateway path unavailable"},
    {"SetAddress", {"set-address", "1", "9", "--no-probe"}, Reg::Address, 0x05, "Modbus exception 05 (acknowledge)",
     "acknowledge"},
    {"Raw", {"raw", "1", "3", "0x20", "1"}, Reg::MaxPos, 0x01, "Modbus exception 01 (illegal function)",
     "illegal function"},
    // A code without a standard name is still given by its number.
    {"UnnamedCode", {"status", "1"}, Reg::MotorStatus, 0x0C, "Modbus exception 0C\n", nullptr},
};

INSTANTIATE_TEST_SUITE_P(Cli, ExceptionReply, ::testing::ValuesIn(kExceptionCases),
                         [](const ::testing::TestParamInfo<ExceptionCase> &info) { return info.param.name; });

// A failed sample of the watch names its exception too.
TEST_F(CliBusTest, WatchSampleNamesTheException)
{
    DeviceOptions d = Device(1, Model::LumoD);
    d.faults.exceptionRegister = Reg::MotorCurrent;
    d.faults.exceptionCode = 0x02;
    StartBus({d});
    CliProcess watch({"--port", bus().DevicePath(), "--json", "--tries", "1", "status", "1", "--watch"});
    const std::string line = watch.ReadLine(3000);
    watch.Signal(SIGINT);
    const CliResult r = watch.Finish(3000);
    ASSERT_FALSE(line.empty()) << r.err;
    json j = json::parse(line); // not const: a missing key reads as null
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["error"]["exceptionCode"], 2);
    EXPECT_EQ(j["error"]["exceptionName"], "illegal data address");
    EXPECT_NE(r.err.find("Modbus exception 02 (illegal data address)"), std::string::npos) << r.err;
}

// The pause after a silent attempt follows --baud. The second probe of a
// silent device waits until a late reply to the first could no longer come:
// as late as the window's fixed wait with its read polls would take one,
// plus the adapter's 16 ms, counted from the first probe's write, and then
// t3.5 of quiet: at 115200 30 + 100 + 16 -> 146 ms; at 4800
// 100 + 100 + 16 -> 216 ms.
TEST_F(CliBusTest, SlowerBaudRateWaitsLongerForASilentDevice)
{
    DeviceOptions d = Device(1, Model::LumoD);
    d.faults.silent = true;
    StartBus({d});
    const auto intervalMs = [this](const char *baud) {
        bus().ClearFrameLog();
        EXPECT_EQ(Run({"--baud", baud, "--tries", "2", "status", "1"}).exitCode, 1);
        const std::vector<LoggedFrame> probes = Requests();
        EXPECT_EQ(probes.size(), 2u);
        return probes.size() == 2 ? probes[1].startMs - probes[0].startMs : 0.0;
    };
    const double fast = intervalMs("115200");
    const double slow = intervalMs("4800");
    // The tick counts whole milliseconds, so a wait may end up to 1 ms
    // before its nominal length. The interval is taken from when the bus
    // heard each request; on a loaded machine its thread may hear the first
    // one a few ms late, which shortens it: 4800 baud's 216 ms wait is
    // still far from 115200's 146.
    EXPECT_GE(fast, 145.0);
    EXPECT_LT(fast, 146.0 + 150.0) << "room for a loaded machine";
    EXPECT_GE(slow, 200.0);
}

TEST_F(CliBusTest, PortThatCannotBeOpenedGivesExitThreeWithTheReason)
{
    StartBus({Device(1, Model::LumoD)});
    const CliResult missing = RunCli({"--port", "/dev/lumoctl-no-such-port", "info", "1"});
    EXPECT_EQ(missing.exitCode, 3);
    EXPECT_NE(missing.err.find("No such file or directory"), std::string::npos) << missing.err;

    // The bus held by another program (our port takes an exclusive lock).
    C_ComPort holder;
    ASSERT_TRUE(holder.Open(bus().DevicePath(), 115200, 2048));
    const CliResult held = Run({"info", "1"});
    EXPECT_EQ(held.exitCode, 3);
    EXPECT_NE(held.err.find("another program has the port open"), std::string::npos) << held.err;
}

// --- configuration -----------------------------------------------------------

// Settings unlike the virtual actuator's defaults in every register.
void GiveDistinctSettings(VirtualBus &bus, uint8_t address)
{
    bus.SetHolding(address, Reg::MaxPos, 1500);
    bus.SetHolding(address, Reg::RearLimit, 100);
    bus.SetHolding(address, Reg::FrontLimit, 1400);
    bus.SetHolding(address, Reg::CurrentLimit, 7000);
    bus.SetHolding(address, Reg::SpeedPwm, 60);
    bus.SetHolding(address, Reg::SettingFlag, 0);
    bus.SetHolding(address, Reg::VoltageOut, Voltage::FiveVolt);
    bus.SetHolding(address, Reg::HallPotSelect, 1);
    bus.SetHolding(address, Reg::BaudRate, 2);
}

TEST_F(CliBusTest, ConfigReadToFileThenWriteCopiesAllNineRegisters)
{
    StartBus({Device(1, Model::LumoP), Device(2, Model::LumoP)});
    GiveDistinctSettings(bus(), 1);
    const std::string file = TempFile("copy.config");

    const CliResult read = Run({"config", "read", "1", "-o", file});
    ASSERT_EQ(read.exitCode, 0) << read.err;
    // The file the window's export makes of these settings.
    EXPECT_EQ(ReadBytes(file), ConfigBytes({0, 1500, 100, 1400, 7000, 60, 0, 2048, 1, 2, 0x8000}));

    bus().ClearFrameLog();
    const CliResult write = Run({"config", "write", "2", file});
    ASSERT_EQ(write.exitCode, 0) << write.err;

    const std::vector<HeardWrite> expected = {
        {2, Reg::MaxPos, 1500},       {2, Reg::RearLimit, 100},   {2, Reg::FrontLimit, 1400},
        {2, Reg::CurrentLimit, 7000}, {2, Reg::SpeedPwm, 60},     {2, Reg::SettingFlag, 0},
        {2, Reg::HallPotSelect, 1},   {2, Reg::BaudRate, 2},      {2, Reg::VoltageOut, 2048},
    };
    EXPECT_EQ(Writes(), expected);
    for (uint16_t reg : {Reg::MaxPos, Reg::RearLimit, Reg::FrontLimit, Reg::CurrentLimit, Reg::SpeedPwm,
                         Reg::SettingFlag, Reg::VoltageOut, Reg::HallPotSelect, Reg::BaudRate})
        EXPECT_EQ(bus().Holding(2, reg), bus().Holding(1, reg)) << "register 0x" << std::hex << reg;
    ::unlink(file.c_str());
}

// Standard output as the file: "-o -" gives exactly the 22 bytes there, and
// a link to /proc/self/fd/1 (what /dev/stdout is) writes into the pipe and
// stays a link. The link is a scratch one: a tool that replaced it would
// otherwise replace the machine's /dev/stdout, as root.
TEST_F(CliBusTest, ConfigReadToStandardOutput)
{
    StartBus({Device(1, Model::LumoP)});
    GiveDistinctSettings(bus(), 1);
    const std::vector<uint8_t> expected = ConfigBytes({0, 1500, 100, 1400, 7000, 60, 0, 2048, 1, 2, 0x8000});
    const std::string bytes(expected.begin(), expected.end());

    const CliResult dash = Run({"config", "read", "1", "-o", "-"});
    ASSERT_EQ(dash.exitCode, 0) << dash.err;
    EXPECT_EQ(dash.out, bytes);
    EXPECT_NE(dash.err.find("Stroke              1500 steps"), std::string::npos) << dash.err;

    const std::string link = TempFile("stdout");
    ::unlink(link.c_str());
    ASSERT_EQ(::symlink("/proc/self/fd/1", link.c_str()), 0);
    const CliResult viaLink = Run({"config", "read", "1", "-o", link});
    ASSERT_EQ(viaLink.exitCode, 0) << viaLink.err;
    EXPECT_NE(viaLink.out.find(bytes), std::string::npos) << viaLink.out;
    struct stat st {};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ::unlink(link.c_str());

    // Both would want standard output.
    bus().ClearFrameLog();
    const CliResult json = Run({"--json", "config", "read", "1", "-o", "-"});
    EXPECT_EQ(json.exitCode, 2);
    EXPECT_EQ(Json(json)["ok"], false);
    EXPECT_TRUE(BusStaysQuiet());
}

TEST_F(CliBusTest, ConfigShowReadsTheFileWithoutABus)
{
    const std::string file = TempFile("show.config");
    WriteBytes(file, ConfigBytes({0, 1000, 0, 1000, 5000, 100, 3, 2048, 0, 0, 0x8000}));
    const CliResult r = RunCli({"--json", "config", "show", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json config = Json(r)["config"];
    EXPECT_EQ(config["stroke"], 1000);
    EXPECT_EQ(config["hallSensor"], "Single");
    EXPECT_EQ(config["limitSwitch"], "Yes");
    EXPECT_EQ(config["voltageOut"], "5.0");
    ::unlink(file.c_str());
}

// What a file's values become on the way to a device of a given model.
struct FileCase {
    const char *name;
    uint16_t model;
    size_t word;       // the word of an otherwise good file that is changed
    uint16_t value;
    int exitCode;
    const char *message;                // part of stderr
    std::optional<HeardWrite> written;  // the write of that register, if any write happens
};

std::ostream &operator<<(std::ostream &os, const FileCase &c)
{
    return os << c.name;
}

class FileToDevice : public CliBusTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(FileToDevice, WritesWhatTheConfigurationPageWould)
{
    const FileCase &c = GetParam();
    StartBus({Device(4, c.model)});
    std::vector<uint16_t> words = {0, 1000, 0, 1000, 5000, 100, 3, 4095, 0, 0, 0x8000};
    words[c.word] = c.value;
    const std::string file = TempFile(std::string(c.name) + ".config");
    WriteBytes(file, ConfigBytes(words));

    const CliResult r = Run({"config", "write", "4", file});

    EXPECT_EQ(r.exitCode, c.exitCode) << r.err;
    EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
    const std::vector<HeardWrite> writes = Writes();
    if (!c.written) {
        EXPECT_TRUE(writes.empty());
    } else {
        EXPECT_EQ(writes.size(), 9u);
        EXPECT_NE(std::find(writes.begin(), writes.end(), *c.written), writes.end());
    }
    ::unlink(file.c_str());
}

const FileCase kFileCases[] = {
    // An unknown code takes the group's first choice, as an import does, and says so.
    {"HallPotCode7BecomesFirstChoice", Model::LumoD, 8, 7, 0, "HallPotSelect 7 is not a known code",
     HeardWrite{4, Reg::HallPotSelect, 0}},
    {"BaudCode9BecomesFirstChoice", Model::LumoD, 9, 9, 0, "BaudRate 9 is not a known code",
     HeardWrite{4, Reg::BaudRate, 0}},
    {"SettingFlagKeepsItsTwoBits", Model::LumoD, 6, 0x00F3, 0, "SettingFlag 0x00F3",
     HeardWrite{4, Reg::SettingFlag, 3}},
    // Only a LUMO-P has the voltage setting; the others get the full level.
    {"VoltageIgnoredOnALumoD", Model::LumoD, 7, 2048, 0, "a LUMO-D has no voltage output setting",
     HeardWrite{4, Reg::VoltageOut, 4095}},
    {"VoltageKeptOnALumoP", Model::LumoP, 7, 2048, 0, "Wrote", HeardWrite{4, Reg::VoltageOut, 2048}},
    // A LUMO-P needs a voltage choice; its model read is all that goes out.
    {"LumoPWithoutVoltageRefused", Model::LumoP, 7, 1000, 2, "a LUMO-P needs 2048 (5.0 V) or 4095", std::nullopt},
};

INSTANTIATE_TEST_SUITE_P(Cli, FileToDevice, ::testing::ValuesIn(kFileCases),
                         [](const ::testing::TestParamInfo<FileCase> &info) { return info.param.name; });

// A failing register ends the write with exit 1; the ones before it stay written.
TEST_F(CliBusTest, ConfigWriteThatFailsMidwayReportsTheCode)
{
    DeviceOptions d = Device(4, Model::LumoD);
    d.faults.exceptionRegister = Reg::SpeedPwm;
    StartBus({d});
    const std::string file = TempFile("midway.config");
    WriteBytes(file, ConfigBytes({0, 1200, 0, 1200, 5000, 100, 3, 4095, 0, 0, 0x8000}));

    const CliResult r = Run({"--tries", "1", "config", "write", "4", file});

    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("(0x4001)"), std::string::npos) << r.err;
    EXPECT_EQ(bus().Holding(4, Reg::MaxPos), 1200);
    EXPECT_EQ(Writes().size(), 5u) << "MaxPos .. SpeedPwm, nothing after the failure";
    ::unlink(file.c_str());
}

// --- motion and learning -------------------------------------------------------

TEST_F(CliBusTest, GotoWithWaitEndsAtTheTarget)
{
    StartBus({Device(1, Model::LumoD)});
    const CliResult r = Run({"--json", "move", "1", "goto", "700", "--wait"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json j = Json(r);
    EXPECT_EQ(j["position"], 700);
    EXPECT_EQ(j["motion"], "stopped");
    EXPECT_TRUE(j.value("reached", false));
    EXPECT_EQ(bus().Holding(1, Reg::CurrentPos), 700);
    // Target, stop, then go.
    const std::vector<HeardWrite> expected = {
        {1, Reg::GoToPos, 700}, {1, Reg::ActionCmdIn, Cmd::Stop}, {1, Reg::ActionCmdIn, Cmd::GoToPos}};
    EXPECT_EQ(Writes(), expected);
}

TEST_F(CliBusTest, GotoOutsideTheLimitsIsRefusedBeforeAnyWrite)
{
    StartBus({Device(1, Model::LumoD)});
    bus().SetHolding(1, Reg::RearLimit, 50);
    bus().SetHolding(1, Reg::FrontLimit, 900);
    for (const char *target : {"49", "901"}) {
        const CliResult r = Run({"move", "1", "goto", target});
        EXPECT_EQ(r.exitCode, 2) << target;
        EXPECT_NE(r.err.find("outside the range 50 to 900"), std::string::npos) << r.err;
    }
    EXPECT_TRUE(Writes().empty());
}

// Ctrl-C during --wait must not leave the actuator running.
TEST_F(CliBusTest, InterruptedWaitStopsTheActuator)
{
    StartBus({Device(1, Model::LumoD)}, 1.0); // a whole stroke takes seconds
    CliProcess move({"--port", bus().DevicePath(), "move", "1", "up", "--wait"});
    // Model read, the up command, then the first status read of the wait.
    ASSERT_TRUE(bus().WaitForFrames(3, 3000));
    move.Signal(SIGINT);
    const CliResult r = move.Finish(3000);
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("stop sent"), std::string::npos) << r.err;
    EXPECT_EQ(Writes().back(), (HeardWrite{1, Reg::ActionCmdIn, Cmd::Stop}));
}

// Waits until the virtual actuator at `address` reports motion.
bool StartsMoving(VirtualBus &bus, uint8_t address)
{
    for (int i = 0; i < 300; ++i) {
        if (bus.Input(address, Reg::MotorStatus) != Motion::Stopped)
            return true;
        usleep(10000);
    }
    return false;
}

// Stopped away from the target (someone else sent stop): a failure that
// says where it stopped, not "done".
TEST_F(CliBusTest, GotoThatStopsShortOfTheTargetFails)
{
    StartBus({Device(1, Model::LumoD)}, 1.0);
    bus().SetHolding(1, Reg::SpeedPwm, 10); // 500 steps take 25 s
    CliProcess move({"--port", bus().DevicePath(), "--json", "move", "1", "goto", "1000", "--wait"});
    ASSERT_TRUE(StartsMoving(bus(), 1));
    bus().SetHolding(1, Reg::ActionCmdIn, Cmd::Stop);
    const CliResult r = move.Finish(5000);

    EXPECT_EQ(r.exitCode, 1) << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["reached"], false);
    EXPECT_EQ(j["motion"], "stopped");
    EXPECT_EQ(j["flags"]["positionOk"], false);
    EXPECT_LT(j["position"].get<long>(), 1000);
    EXPECT_EQ(j["position"].get<long>(), bus().Holding(1, Reg::CurrentPos));
    EXPECT_TRUE(std::regex_search(r.err, std::regex("go to 1000 failed: stopped at \\d+ \\(flags: none\\)")))
        << r.err;
}

// Whatever ends a wait early, the actuator is sent stop before lumoctl
// exits, and the message says whether it acknowledged it.
struct WaitFailure {
    const char *name;
    std::vector<std::string> extraArgs;
    std::optional<lumosim::Faults> midway; // given to the device once it moves
    const char *message;
    bool acknowledged;
};

std::ostream &operator<<(std::ostream &os, const WaitFailure &c)
{
    return os << c.name;
}

class WaitEndsEarly : public CliBusTest, public ::testing::WithParamInterface<WaitFailure> {};

TEST_P(WaitEndsEarly, SendsStopAndSaysWhetherItWasAcknowledged)
{
    const WaitFailure &c = GetParam();
    StartBus({Device(1, Model::LumoD)}, 1.0);
    bus().SetHolding(1, Reg::SpeedPwm, 10);
    std::vector<std::string> args = {"--port", bus().DevicePath(), "--json", "--tries", "1",
                                     "move",   "1",                 "goto",   "1000", "--wait"};
    args.insert(args.end(), c.extraArgs.begin(), c.extraArgs.end());
    CliProcess move(args);
    ASSERT_TRUE(StartsMoving(bus(), 1));
    if (c.midway)
        bus().SetFaults(1, *c.midway);
    const CliResult r = move.Finish(10000);

    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(c.acknowledged ? "stop sent and acknowledged" : "stop sent but not acknowledged"),
              std::string::npos)
        << r.err;
    nlohmann::json j = nlohmann::json::parse(r.out);
    EXPECT_EQ(j["ok"], false);
    EXPECT_EQ(j["stopAcknowledged"], c.acknowledged);
    EXPECT_EQ(Writes().back(), (HeardWrite{1, Reg::ActionCmdIn, Cmd::Stop}));
    if (c.acknowledged) {
        EXPECT_EQ(bus().Input(1, Reg::MotorStatus), Motion::Stopped);
    }
}

lumosim::Faults Refusing(uint16_t reg)
{
    lumosim::Faults f;
    f.exceptionRegister = reg;
    f.exceptionCode = 0x04;
    return f;
}

lumosim::Faults Silent()
{
    lumosim::Faults f;
    f.silent = true;
    return f;
}

const WaitFailure kWaitFailures[] = {
    {"PositionReadRefused", {}, Refusing(Reg::CurrentPos),
     "reading the position of device 1 while waiting: unknow Error (0x4001)", true},
    {"DeviceFallsSilent", {}, Silent(), "reading the status of device 1 while waiting: Read Data Wait...", false},
    {"Timeout", {"--timeout", "1"}, std::nullopt, "device 1 still moving after 1 s", true},
};

INSTANTIATE_TEST_SUITE_P(Cli, WaitEndsEarly, ::testing::ValuesIn(kWaitFailures),
                         [](const ::testing::TestParamInfo<WaitFailure> &info) { return info.param.name; });

TEST_F(CliBusTest, MotionOfALumoPIsRefusedButStopIsNot)
{
    StartBus({Device(5, Model::LumoP)});
    const CliResult up = Run({"move", "5", "up"});
    EXPECT_EQ(up.exitCode, 2);
    EXPECT_NE(up.err.find("LUMO-P"), std::string::npos) << up.err;
    EXPECT_TRUE(Writes().empty());

    const CliResult stop = Run({"move", "5", "stop"});
    EXPECT_EQ(stop.exitCode, 0) << stop.err;
    EXPECT_EQ(Writes(), (std::vector<HeardWrite>{{5, Reg::ActionCmdIn, Cmd::Stop}}));
}

TEST_F(CliBusTest, LearnWithWaitShowsTheLearnedStroke)
{
    DeviceOptions d = Device(2, Model::LumoB);
    d.learnedStroke = 1234;
    StartBus({d});
    const CliResult r = Run({"--json", "learn", "2", "--wait"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Json(r)["config"]["stroke"], 1234);
    const std::vector<HeardWrite> commands = {{2, Reg::ActionCmdIn, Cmd::Stop}, {2, Reg::ActionCmdIn, Cmd::Learn}};
    EXPECT_EQ(Writes(), commands);
}

// --- address change ---------------------------------------------------------------

TEST_F(CliBusTest, SetAddressMovesTheDeviceAndChecksItThere)
{
    StartBus({Device(5, Model::LumoD), Device(7, Model::LumoD)});

    const CliResult r = Run({"set-address", "5", "9"});

    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(bus().HasDevice(9));
    EXPECT_FALSE(bus().HasDevice(5));
    EXPECT_EQ(Writes(), (std::vector<HeardWrite>{{5, Reg::Address, 9}}));
    // The last request is the check at the new address.
    const LoggedFrame last = Requests().back();
    EXPECT_EQ(last.bytes[0], 9);
    EXPECT_EQ(last.bytes[1], Fc::ReadInput);
}

// What the probe of the new address hears decides: anything at all means
// taken, and then nothing is written and the device stays where it was.
struct ProbeCase {
    const char *name;
    std::optional<lumosim::Faults> atNewAddress; // a device at 7 with these faults; none: 7 is free
    const char *heard;                            // in the message; nullptr: free
};

std::ostream &operator<<(std::ostream &os, const ProbeCase &c)
{
    return os << c.name;
}

lumosim::Faults ProbeFaults(void (*set)(lumosim::Faults &))
{
    lumosim::Faults f;
    set(f);
    return f;
}

const ProbeCase kProbeCases[] = {
    {"Nothing", std::nullopt, nullptr},
    {"Reply", lumosim::Faults{}, "a device answers there"},
    {"Exception", ProbeFaults([](lumosim::Faults &f) { f.exceptionRegister = Reg::MotorStatus; }),
     "a device answers with Modbus exception 04 there"},
    {"BadCrc", ProbeFaults([](lumosim::Faults &f) { f.corruptCrcEveryN = 1; }), "bytes with a bad checksum arrive there"},
    {"Garbage", ProbeFaults([](lumosim::Faults &f) { f.garbageReplies = true; }), "garbled bytes arrive"},
};

class SetAddressProbe : public CliBusTest, public ::testing::WithParamInterface<ProbeCase> {};

TEST_P(SetAddressProbe, AnythingHeardAtTheNewAddressMeansTaken)
{
    const ProbeCase &c = GetParam();
    std::vector<DeviceOptions> devices{Device(5, Model::LumoD)};
    if (c.atNewAddress) {
        DeviceOptions other = Device(7, Model::LumoB);
        other.faults = *c.atNewAddress;
        devices.push_back(other);
    }
    StartBus(devices);

    const CliResult r = Run({"--json", "set-address", "5", "7"});

    const json j = Json(r);
    if (!c.heard) {
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(j["probe"], "silent");
        EXPECT_EQ(Writes(), (std::vector<HeardWrite>{{5, Reg::Address, 7}}));
        EXPECT_TRUE(bus().HasDevice(7));
        return;
    }
    EXPECT_EQ(r.exitCode, 4) << r.err;
    EXPECT_NE(r.err.find(std::string("address 7 is taken: ") + c.heard), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("the new address was not written"), std::string::npos) << r.err;
    EXPECT_EQ(j["error"]["exitCode"], 4);
    EXPECT_TRUE(Writes().empty());
    // Every request went to the new address: only the probe.
    for (const LoggedFrame &f : Requests())
        EXPECT_EQ(f.bytes[0], 7);
    // The device still answers at its old address (once the replies to the
    // probe, late ones included, are off the line).
    usleep(300000);
    const CliResult status = Run({"status", "5"});
    EXPECT_EQ(status.exitCode, 0) << status.err;
}

INSTANTIATE_TEST_SUITE_P(Outcomes, SetAddressProbe, ::testing::ValuesIn(kProbeCases),
                         [](const auto &info) { return std::string(info.param.name); });

TEST_F(CliBusTest, SetAddressWithoutProbeWritesAtOnce)
{
    StartBus({Device(5, Model::LumoD)});
    const CliResult r = Run({"set-address", "5", "7", "--no-probe"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    ASSERT_FALSE(Requests().empty());
    EXPECT_EQ(Requests().front().bytes[0], 5); // the write is the first request
}

// --- success means the device acted -------------------------------------------------

// A device that acknowledges the learn command but never shows its
// learning flag has not been seen to learn: not a success.
TEST_F(CliBusTest, LearnWaitFailsWhenTheLearningFlagIsNeverSeen)
{
    lumosim::BusOptions options;
    options.learnDurationMs = 0; // learning ends the moment it begins
    StartBus(options, {Device(2, Model::LumoB)});
    const CliResult r = Run({"--json", "learn", "2", "--wait"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("never reported learning"), std::string::npos) << r.err;
    EXPECT_EQ(Json(r)["ok"], false);
    EXPECT_FALSE(Json(r).contains("config"));
}

// The port goes away while a command waits on the device: a lost port
// (exit 3, the port named), not a stop that went unanswered.
struct LostPortCase {
    const char *name;
    std::vector<std::string> args;
};

std::ostream &operator<<(std::ostream &os, const LostPortCase &c)
{
    return os << c.name;
}

class PortLostMidCommand : public CliBusTest, public ::testing::WithParamInterface<LostPortCase> {};

TEST_P(PortLostMidCommand, IsReportedAsALostPort)
{
    const LostPortCase &c = GetParam();
    StartBus({Device(1, Model::LumoD)}, 1.0); // a stroke takes seconds, learning LearningMs
    std::vector<std::string> args{"--port", bus().DevicePath(), "--json"};
    args.insert(args.end(), c.args.begin(), c.args.end());
    CliProcess command(args);
    // Unplugged once the device acts and lumoctl has begun to watch it.
    bool acting = false;
    for (int i = 0; i < 500 && !acting; ++i) {
        acting = bus().Input(1, Reg::MotorStatus) != Motion::Stopped ||
                 (bus().Input(1, Reg::MotorStatus + 1) & Flag::Learning) != 0;
        usleep(10000);
    }
    ASSERT_TRUE(acting);
    ASSERT_TRUE(bus().WaitForFrames(Requests().size() + 1, 3000));
    const size_t heardBefore = Requests().size();
    bus().Unplug();
    const CliResult r = command.Finish(10000);

    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("the port " + bus().DevicePath() + " is gone"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("not acknowledged"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("no stop could be sent"), std::string::npos) << r.err;
    const json j = json::parse(r.out);
    EXPECT_EQ(j["error"]["exitCode"], 3);
    EXPECT_EQ(j["stopAcknowledged"], false);
    EXPECT_EQ(Requests().size(), heardBefore);
}

INSTANTIATE_TEST_SUITE_P(Waits, PortLostMidCommand,
                         ::testing::Values(LostPortCase{"MoveWait", {"move", "1", "up", "--wait"}},
                                           LostPortCase{"LearnWait", {"learn", "1", "--wait"}}),
                         [](const auto &info) { return std::string(info.param.name); });

} // namespace

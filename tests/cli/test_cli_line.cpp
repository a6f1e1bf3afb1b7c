// lumoctl over the virtual bus run as a real RS-485 line: every workflow at
// the four baud rates, through a 16 ms adapter, an echoing adapter and a
// 1 ms one; the line faults that must end in a reply error and never in a
// success or a hang; and what a scan costs per empty address.

#include <chrono>
#include <map>
#include <set>

#include "CliFixture.h"

namespace {

using nlohmann::json;
using SteadyClock = std::chrono::steady_clock;

struct LineCase {
    const char *name;
    uint32_t baud;
    uint32_t adapterLatencyMs;
    bool echo;
};

std::ostream &operator<<(std::ostream &os, const LineCase &c)
{
    return os << c.name;
}

lumosim::BusOptions LineOptions(const LineCase &c)
{
    lumosim::BusOptions o;
    o.baud = c.baud;
    o.adapterLatencyMs = c.adapterLatencyMs;
    o.echo = c.echo;
    o.timeScale = 50; // motion; the wire keeps real time
    o.learnDurationMs = CliBusTest::LearnDuration(o.timeScale);
    return o;
}

class Workflows : public CliBusTest, public ::testing::WithParamInterface<LineCase> {
protected:
    // lumoctl at the bus's rate.
    CliResult RunAtRate(std::vector<std::string> args)
    {
        args.insert(args.begin(), {"--baud", std::to_string(GetParam().baud)});
        return Run(args);
    }
};

TEST_P(Workflows, EveryCommandWorks)
{
    const LineCase &c = GetParam();
    StartBus(LineOptions(c), {Device(1, Model::LumoB), Device(2, Model::LumoP)});

    // Scan: both devices with their models, and what the adapter does.
    CliResult r = RunAtRate({"--json", "scan", "--from", "1", "--to", "3"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json j = Json(r);
    EXPECT_EQ(j["devices"], json::parse(R"([{"address": 1, "model": "LUMO-B", "modelCode": 2},
                                             {"address": 2, "model": "LUMO-P", "modelCode": 1}])"));
    EXPECT_EQ(j["echo"], c.echo);
    r = RunAtRate({"scan", "--from", "1", "--to", "2"});
    EXPECT_EQ(r.out.find("Your adapter echoes what it sends") != std::string::npos, c.echo) << r.out;

    r = RunAtRate({"--json", "info", "1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Json(r)["motorId"], "5A01");
    EXPECT_EQ(Json(r)["firmware"], "01.02");

    r = RunAtRate({"--json", "status", "1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Json(r)["motion"], "stopped");

    // A configuration read from one device and written back to it after a
    // change on the bus: the file's value returns.
    const std::string file = TempFile(std::string(c.name) + ".config");
    r = RunAtRate({"config", "read", "2", "-o", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const uint16_t speed = bus().Holding(2, Reg::SpeedPwm);
    bus().SetHolding(2, Reg::SpeedPwm, speed == 50 ? 60 : 50);
    r = RunAtRate({"config", "write", "2", file});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(bus().Holding(2, Reg::SpeedPwm), speed);
    ::unlink(file.c_str());

    r = RunAtRate({"--json", "move", "1", "goto", "500", "--wait"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Json(r)["reached"], true);

    r = RunAtRate({"--json", "learn", "2", "--wait"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Json(r)["config"]["stroke"], 980);

    r = RunAtRate({"set-address", "2", "7"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(bus().HasDevice(7));

    // Raw: a single write as the first request of its connection (on an
    // echoing line the copy of a 0x06 proves nothing by itself), and all 30
    // holding registers in one reply of 65 bytes, more than one USB packet
    // and at 4800 baud 135 ms on the wire alone.
    r = RunAtRate({"raw", "7", "6", "0x24", "77"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(bus().Holding(7, Reg::SpeedPwm), 77);
    r = RunAtRate({"--json", "raw", "7", "3", "0x0F", "30"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    j = Json(r);
    ASSERT_EQ(j["values"].size(), 30u);
    EXPECT_EQ(j["values"][0], 7);                              // Address
    EXPECT_EQ(j["values"][Reg::SpeedPwm - Reg::Address], 77);
}

const LineCase kLines[] = {
    {"At115200", 115200, 16, false},
    {"At19200", 19200, 16, false},
    {"At9600", 9600, 16, false},
    {"At4800", 4800, 16, false},
    {"EchoingAdapterAt115200", 115200, 16, true},
    {"EchoingAdapterAt4800", 4800, 16, true},
    {"FastAdapterAt9600", 9600, 1, false},
};

INSTANTIATE_TEST_SUITE_P(Line, Workflows, ::testing::ValuesIn(kLines),
                         [](const ::testing::TestParamInfo<LineCase> &info) { return info.param.name; });

// --- faults of the line -------------------------------------------------------

// A bus with a healthy device at 2 and trouble at 5.
struct FaultCase {
    const char *name;
    double lineBitErrorRate; // the whole line, both directions
    bool twoDevicesAt5;      // a wiring fault: their replies collide
    uint32_t lineBaudAt5;    // the device at 5 talks at another rate (0: the bus's)
    bool healthyFound;       // the scan still finds the device at 2
    bool retriedAt5;         // something comes back from 5, worth a second probe
};

std::ostream &operator<<(std::ostream &os, const FaultCase &c)
{
    return os << c.name;
}

class LineFault : public CliBusTest, public ::testing::WithParamInterface<FaultCase> {
protected:
    void SetUp() override
    {
        const FaultCase &c = GetParam();
        lumosim::BusOptions o;
        o.bitErrorRate = c.lineBitErrorRate;
        std::vector<DeviceOptions> devices = {Device(2, Model::LumoD)};
        DeviceOptions at5 = Device(5, Model::LumoD);
        at5.faults.lineBaud = c.lineBaudAt5;
        devices.push_back(at5);
        if (c.twoDevicesAt5) {
            DeviceOptions second = Device(5, Model::LumoD);
            second.sharesAddress = true;
            devices.push_back(second);
        }
        StartBus(o, devices);
    }
};

// The codes of a reply that did not come whole and good.
const std::set<std::string> kReplyErrors = {"0x2001", "0x2002", "0x2003", "0x2004", "0x2005", "0x2006"};

TEST_P(LineFault, InfoEndsInAReplyErrorWithinItsAttempts)
{
    const auto start = SteadyClock::now();
    const CliResult r = Run({"--json", "info", "5"});
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();

    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    const json error = Json(r)["error"];
    EXPECT_TRUE(kReplyErrors.count(error["codeHex"].get<std::string>())) << error;
    // Three reads of three attempts each, a reply window and a gap apiece,
    // is well under a second at 115200; the bound only rules out a hang.
    EXPECT_LT(seconds, 10.0);
}

TEST_P(LineFault, ScanListsNoDeviceThatIsNotThere)
{
    const FaultCase &c = GetParam();
    const CliResult r = Run({"--json", "scan", "--from", "1", "--to", "8"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    std::set<int> listed;
    const json doc = Json(r);
    for (const json &d : doc["devices"])
        listed.insert(d["address"].get<int>());
    for (int a : listed)
        EXPECT_TRUE(a == 2 || a == 5) << "address " << a << " listed: " << r.out;
    if (c.healthyFound) {
        EXPECT_TRUE(listed.count(2)) << r.out;
    }

    if (c.lineBitErrorRate == 0) {
        // Empty addresses are probed once; the troubled one again only when
        // something came back from it.
        std::map<int, int> probes;
        for (const LoggedFrame &f : Requests())
            if (f.bytes.size() == 8 && f.bytes[1] == Fc::ReadInput && f.bytes[3] == Reg::MotorStatus)
                ++probes[f.bytes[0]];
        for (int a : {1, 3, 4, 6, 7, 8})
            EXPECT_EQ(probes[a], 1) << "address " << a;
        if (c.retriedAt5) {
            EXPECT_GE(probes[5], 2);
        } else {
            EXPECT_EQ(probes[5], 1);
        }
    }
}

const FaultCase kFaults[] = {
    {"TwoDevicesAtOneAddress", 0, true, 0, true, true},
    {"NoisyLine", 0.03, false, 0, false, true},
    {"DeviceAtAnotherBaudRate", 0, false, 9600, true, false},
};

INSTANTIATE_TEST_SUITE_P(Line, LineFault, ::testing::ValuesIn(kFaults),
                         [](const ::testing::TestParamInfo<FaultCase> &info) { return info.param.name; });

// --- what a scan costs ----------------------------------------------------------

// Three devices at 115200 baud behind a 16 ms adapter, addresses 1 to 20.
// Each of the 17 empty addresses costs one status probe's reply window
// (34 ms) and t3.5 (2 ms): at least 0.6 s, so no probe gave up early. With
// the fixed wait, its read polls and three attempts each it would be 7.6 s.
TEST_F(CliBusTest, ScanCostsAboutOneReplyWindowPerEmptyAddress)
{
    StartBus(lumosim::BusOptions{}, {Device(3, Model::LumoD), Device(9, Model::LumoP), Device(17, Model::LumoB)});

    const auto start = SteadyClock::now();
    const CliResult r = Run({"--json", "scan", "--from", "1", "--to", "20"});
    const double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();

    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(Json(r)["devices"], json::parse(R"([{"address": 3, "model": "LUMO-D", "modelCode": 0},
                                                  {"address": 9, "model": "LUMO-P", "modelCode": 1},
                                                  {"address": 17, "model": "LUMO-B", "modelCode": 2}])"));
    EXPECT_EQ(Requests().size(), 20u + 3u) << "one probe per address, one model read per device";
    EXPECT_GE(seconds, 17 * 0.035);
    EXPECT_LT(seconds, 4.0);
}

} // namespace

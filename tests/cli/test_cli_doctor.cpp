// lumoctl's doctor against the virtual bus on its line model, one case per
// fault of the bus; and --trace and --frames, which show what went over the
// line without changing what the command prints.

#include <optional>
#include <regex>
#include <sstream>
#include <thread>

#include "CliFixture.h"

namespace {

using nlohmann::json;

// --- doctor ---------------------------------------------------------------------

struct DoctorCase {
    const char *name;
    lumosim::BusOptions bus;
    std::vector<DeviceOptions> devices;
    int exitCode;
    // The findings' lines, in order; for the noisy line only the kinds that
    // must be among them, since which replies the noise spoils varies.
    std::vector<std::string> lines;
    std::vector<std::string> someKinds;
    // (address, baud) of each device listed; nothing when noise may hide one.
    std::optional<std::vector<std::pair<int, int>>> listed;
    std::string baud = "115200"; // lumoctl's --baud
    std::string to = "3";        // the last address asked
};

std::ostream &operator<<(std::ostream &os, const DoctorCase &c)
{
    return os << c.name;
}

lumosim::BusOptions Line(uint32_t baud = 115200, bool echo = false, double bitErrorRate = 0)
{
    lumosim::BusOptions o;
    o.baud = baud;
    o.echo = echo;
    o.bitErrorRate = bitErrorRate;
    o.seed = 7;
    return o;
}

DeviceOptions SecondAt(uint8_t address)
{
    DeviceOptions d = Device(address, Model::LumoB);
    d.sharesAddress = true;
    return d;
}

// Devices that take 20 ms to turn round: slow, but within what the tool
// waits at 4800 baud.
DeviceOptions SlowToTurn(uint8_t address, uint16_t model)
{
    DeviceOptions d = Device(address, model);
    d.turnaround = lumosim::Turnaround{20, 20};
    return d;
}

DeviceOptions AnswersLate(uint8_t address, uint16_t model, uint32_t delayMs)
{
    DeviceOptions d = Device(address, model);
    d.faults.replyDelayMs = delayMs;
    return d;
}

const DoctorCase kDoctorCases[] = {
    {"CleanBus", Line(), {Device(1, Model::LumoD), Device(2, Model::LumoP)}, 0, {"no problem found"}, {},
     std::vector<std::pair<int, int>>{{1, 115200}, {2, 115200}}},
    // The engine handles the echo: a note, not a problem.
    {"EchoingAdapter", Line(115200, true), {Device(2, Model::LumoD)}, 0,
     {"your adapter echoes what it sends: echo handling is on"}, {},
     std::vector<std::pair<int, int>>{{2, 115200}}},
    {"HealthyLineAt4800WithSlowTurnarounds", Line(4800), {SlowToTurn(1, Model::LumoD), SlowToTurn(2, Model::LumoP)},
     0, {"no problem found"}, {}, std::vector<std::pair<int, int>>{{1, 4800}, {2, 4800}}, "4800"},
    // 40 ms late at 115200: after the tool's window, so listed as slow;
    // its late replies are credited to no other address.
    {"LateDeviceBesideASoundOne", Line(), {AnswersLate(1, Model::LumoD, 40), Device(5, Model::LumoB)}, 1, {},
     {"slow-device"}, std::vector<std::pair<int, int>>{{1, 115200}, {5, 115200}}, "115200", "6"},
    {"TwoDevicesAtOneAddress", Line(), {Device(1, Model::LumoD), SecondAt(1), Device(2, Model::LumoP)}, 1,
     {"two devices answer at address 1: leave one connected and give it a new address (Renew ID / lumoctl "
      "set-address)"},
     {}, std::vector<std::pair<int, int>>{{1, 115200}, {2, 115200}}},
    // About half the 65-byte probe replies get a flipped bit.
    {"NoisyLine", Line(115200, false, 1e-3), {Device(1, Model::LumoD), Device(2, Model::LumoP)}, 1, {}, {"noise"},
     std::nullopt},
    {"DevicesAt9600WhileLumoctlUses115200", Line(9600), {Device(1, Model::LumoD), Device(3, Model::LumoB)}, 1,
     {"devices answer at 9600 baud, not 115200: connect at 9600"}, {},
     std::vector<std::pair<int, int>>{{1, 9600}, {3, 9600}}},
    {"NothingOnTheBus", Line(), {}, 1,
     {"no device answers at any baud rate (addresses 1..3): check the power, the A/B wiring (swap A and B if "
      "unsure) and the adapter"},
     {}, std::vector<std::pair<int, int>>{}},
};

class DoctorFault : public CliBusTest, public ::testing::WithParamInterface<DoctorCase> {};

// Three addresses keep each run near a second: every rate is probed, the
// empty addresses at 4800 baud cost the most.
TEST_P(DoctorFault, FindsTheFaultAndExitsAccordingly)
{
    const DoctorCase &c = GetParam();
    StartBus(c.bus, c.devices);
    const CliResult r = Run({"--json", "--baud", c.baud, "doctor", "--from", "1", "--to", c.to, "--listen", "200"});
    ASSERT_EQ(r.exitCode, c.exitCode) << r.out << r.err;
    const json doc = Json(r);
    EXPECT_EQ(doc["ok"], c.exitCode == 0);

    std::vector<std::string> lines, kinds;
    for (const json &f : doc["findings"]) {
        lines.push_back(f["line"]);
        kinds.push_back(f["kind"]);
    }
    if (!c.lines.empty()) {
        EXPECT_EQ(lines, c.lines);
    }
    for (const std::string &kind : c.someKinds)
        EXPECT_NE(std::find(kinds.begin(), kinds.end(), kind), kinds.end()) << ::testing::PrintToString(lines);
    if (c.lines.empty()) {
        // Noise must not be taken for a shared address, nor overlooked.
        for (const std::string &kind : kinds) {
            EXPECT_NE(kind, "shared-address") << ::testing::PrintToString(lines);
            EXPECT_NE(kind, "no-problem");
        }
    }
    size_t problems = 0;
    for (const json &f : doc["findings"])
        problems += f["problem"].get<bool>() ? 1 : 0;
    EXPECT_EQ(doc["problems"], problems);
    EXPECT_EQ(problems > 0, c.exitCode != 0);
    if (c.exitCode != 0) {
        EXPECT_EQ(doc["error"]["exitCode"], 1);
    }

    if (c.listed) {
        std::vector<std::pair<int, int>> listed;
        for (const json &d : doc["devices"]) {
            listed.emplace_back(d["address"].get<int>(), d["baud"].get<int>());
            // A device that answered cleanly has its turnaround measured:
            // t3.5, the device's 0.5-3 ms and the adapter's 16 ms timer at most.
            if (d["good"].get<int>() > 0) {
                EXPECT_TRUE(d["turnaroundMs"].is_number()) << d;
                EXPECT_LE(d["turnaroundMs"].get<int>(), 60) << d;
            }
            // Only a device that mostly answered after the window is slow,
            // and then with a turnaround.
            EXPECT_EQ(d["slow"].get<bool>(), 2 * d["late"].get<int>() > d["probes"].get<int>()) << d;
            if (d["slow"].get<bool>()) {
                EXPECT_TRUE(d["turnaroundMs"].is_number()) << d;
            }
        }
        EXPECT_EQ(listed, *c.listed);
    }
}

INSTANTIATE_TEST_SUITE_P(Line, DoctorFault, ::testing::ValuesIn(kDoctorCases),
                         [](const ::testing::TestParamInfo<DoctorCase> &info) { return info.param.name; });

// For people: the findings first, then the devices with rate and
// turnaround; a problem also ends with the count on stderr.
TEST_F(CliBusTest, DoctorTextListsFindingsThenDevices)
{
    StartBus(Line(), {Device(1, Model::LumoD), SecondAt(1), Device(2, Model::LumoP)});
    const CliResult r = Run({"doctor", "--from", "1", "--to", "2", "--listen", "100"});
    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    std::istringstream out(r.out);
    std::string first;
    std::getline(out, first);
    EXPECT_EQ(first, "two devices answer at address 1: leave one connected and give it a new address (Renew ID / "
                     "lumoctl set-address)");
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n1 +115200 +0/6 +0 +[56] +[01] +- *\n"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n2 +115200 +6/6 +0 +0 +0 +[0-9]+ ms\n"))) << r.out;
    EXPECT_NE(r.err.find("lumoctl: 1 problem found"), std::string::npos) << r.err;
}

// A slow device's row says so, beside its turnaround. 60 ms late is
// well past the 55 ms window of the long probe at 115200.
TEST_F(CliBusTest, DoctorTextMarksASlowDevice)
{
    StartBus(Line(), {AnswersLate(1, Model::LumoD, 60)});
    const CliResult r = Run({"doctor", "--from", "1", "--to", "1", "--listen", "100"});
    ASSERT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("device 1 answers late at 115200 baud (6 of 6 replies after the ", 0), 0u) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex("\n1 +115200 +0/6 +6 +0 +0 +[0-9]+ ms, slow\n"))) << r.out;
}

// The adapter is pulled out while the doctor asks the addresses: the lost
// port is reported as such, with the port named and exit 3, and nothing is
// concluded from the silence after it.
TEST_F(CliBusTest, DoctorReportsALostPort)
{
    StartBus(Line(), {Device(1, Model::LumoD)});
    std::thread unplug([this] {
        // The echo check and a few probes of the sweep.
        if (bus().WaitForFrames(6, 20000))
            bus().Unplug();
    });
    const CliResult r = Run({"--json", "doctor", "--from", "1", "--to", "40", "--listen", "100"});
    unplug.join();
    ASSERT_EQ(r.exitCode, 3) << r.out << r.err;
    const json doc = Json(r);
    EXPECT_EQ(doc["ok"], false);
    EXPECT_EQ(doc["error"]["exitCode"], 3);
    ASSERT_EQ(doc["findings"].size(), 1u) << doc["findings"];
    EXPECT_EQ(doc["findings"][0]["kind"], "port-lost");
    for (const json &d : doc["devices"])
        EXPECT_EQ(d["silent"], 0) << d;
    const std::string all = r.out + r.err;
    EXPECT_NE(r.err.find("lost the port " + bus().DevicePath()), std::string::npos) << r.err;
    EXPECT_EQ(all.find("does not open"), std::string::npos) << all;
    EXPECT_EQ(all.find("no other program"), std::string::npos) << all;
}

// --- --trace and --frames ----------------------------------------------------------

struct TraceCase {
    const char *name;
    bool echo;
};

std::ostream &operator<<(std::ostream &os, const TraceCase &c)
{
    return os << c.name;
}

class Trace : public CliBusTest, public ::testing::WithParamInterface<TraceCase> {};

// The lines of `text` that match `pattern` whole.
std::vector<std::string> Matching(const std::string &text, const std::string &pattern)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    const std::regex re(pattern);
    for (std::string line; std::getline(in, line);)
        if (std::regex_match(line, re))
            out.push_back(line);
    return out;
}

TEST_P(Trace, ShowsEachFrameOnStderrAndLeavesStdoutAlone)
{
    StartBus(Line(115200, GetParam().echo), {Device(1, Model::LumoD)});
    const CliResult plain = Run({"info", "1"});
    const CliResult traced = Run({"--trace", "info", "1"});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    ASSERT_EQ(traced.exitCode, 0) << traced.err;
    EXPECT_EQ(traced.out, plain.out);
    EXPECT_EQ(plain.err, "");

    // Model, motor ID and firmware: a request and a reply each, in order,
    // with the times rising.
    const std::vector<std::string> frames = Matching(traced.err, " *[0-9]+ (M>S|S>M|echo) .*");
    const std::vector<std::string> expected = {
        "M>S 01 read input 0x0046 Model", "S>M 01 reply Model=0 (LUMO-D)",
        "M>S 01 read holding 0x0010 Name", "S>M 01 reply Name=23041",
        "M>S 01 read input 0x0045 FwVersion", "S>M 01 reply FwVersion=0x0102",
    };
    std::vector<std::string> seen;
    long last = -1;
    for (const std::string &line : frames) {
        std::istringstream in(line);
        long ms = 0;
        in >> ms;
        EXPECT_GE(ms, last) << traced.err;
        last = ms;
        std::string text;
        std::getline(in >> std::ws, text);
        if (text.rfind("echo ", 0) == 0) {
            // The adapter's copy of the request just before it.
            ASSERT_FALSE(seen.empty());
            EXPECT_EQ("M>S " + text.substr(5), seen.back());
            continue;
        }
        seen.push_back(text);
    }
    EXPECT_EQ(seen, expected) << traced.err;
    EXPECT_EQ(Matching(traced.err, " *[0-9]+ echo .*").size(), GetParam().echo ? 3u : 0u) << traced.err;
}

INSTANTIATE_TEST_SUITE_P(Line, Trace, ::testing::Values(TraceCase{"PlainAdapter", false}, TraceCase{"EchoingAdapter", true}),
                         [](const ::testing::TestParamInfo<TraceCase> &info) { return info.param.name; });

// Silence leaves no frame; the trace says how each attempt ended.
TEST_F(CliBusTest, TraceShowsHowAFailedAttemptEnded)
{
    StartBus(Line(), {Device(1, Model::LumoD)});
    const CliResult r = Run({"--trace", "--tries", "2", "info", "4"});
    ASSERT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(Matching(r.err, " *[0-9]+ M>S 04 read input 0x0046 Model").size(), 2u) << r.err;
    EXPECT_EQ(Matching(r.err, " *[0-9]+ end 04 failed: .*\\(0x2[0-9]{3}\\)").size(), 2u) << r.err;
}

// --frames puts the frames in the one document, with the bytes the bus
// heard and how each transaction ended; --trace beside it keeps to stderr.
TEST_F(CliBusTest, JsonFramesMakeOneDocumentWithTheBytesOnTheLine)
{
    StartBus(Line(), {Device(1, Model::LumoD)});
    CliResult r = Run({"--json", "--frames", "--trace", "info", "1"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    json doc = Json(r); // throws unless stdout is exactly one document
    EXPECT_EQ(doc["model"], "LUMO-D");
    const json &frames = doc["frames"];
    ASSERT_EQ(frames.size(), 6u) << frames;
    std::vector<std::string> requests;
    long last = -1;
    for (size_t i = 0; i < frames.size(); ++i) {
        const json &f = frames[i];
        EXPECT_EQ(f["direction"], i % 2 == 0 ? "request" : "reply") << f;
        EXPECT_EQ(f["address"], 1);
        EXPECT_EQ(f["result"], 0);
        EXPECT_EQ(f["resultHex"], "0x0000");
        EXPECT_GE(f["ms"].get<long>(), last);
        last = f["ms"].get<long>();
        if (i % 2 == 0)
            requests.push_back(f["bytes"]);
    }
    EXPECT_EQ(frames[0]["text"], "M>S 01 read input 0x0046 Model");
    EXPECT_EQ(frames[1]["text"], "S>M 01 reply Model=0 (LUMO-D)");
    std::vector<std::string> heard;
    for (const LoggedFrame &f : Requests()) {
        std::string hex;
        for (uint8_t b : f.bytes) {
            char pair[4];
            std::snprintf(pair, sizeof pair, "%s%02X", hex.empty() ? "" : " ", b);
            hex += pair;
        }
        heard.push_back(hex);
    }
    EXPECT_EQ(requests, heard);
    EXPECT_EQ(Matching(r.err, " *[0-9]+ M>S 01 .*").size(), 3u) << r.err;

    // A failure's document carries the frames too, each attempt ending with
    // the code of the error.
    r = Run({"--json", "--frames", "--tries", "2", "info", "4"});
    ASSERT_EQ(r.exitCode, 1) << r.err;
    doc = Json(r);
    EXPECT_EQ(doc["ok"], false);
    ASSERT_EQ(doc["frames"].size(), 2u) << doc;
    for (const json &f : doc["frames"]) {
        EXPECT_EQ(f["direction"], "request");
        EXPECT_EQ(f["resultHex"], doc["error"]["codeHex"]);
    }

    r = Run({"--frames", "info", "1"});
    EXPECT_EQ(r.exitCode, 2) << r.err;
    EXPECT_NE(r.err.find("--frames is for --json"), std::string::npos) << r.err;
}

} // namespace

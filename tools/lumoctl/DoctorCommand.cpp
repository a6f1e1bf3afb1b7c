// doctor: the core's bus doctor on the port lumoctl opened, its findings
// and the devices it met, for people or as one JSON document.

#include <cstdio>

#include "Arguments.h"
#include "BusSession.h"
#include "Commands.h"
#include "diagnostics/Doctor.h"

namespace {

// The longest listen asked for: a master that polls less often than every
// ten seconds is better found by watching the bus monitor.
constexpr long kMaxListenMs = 10000;
constexpr long kDefaultListenMs = 500;

const char *KindName(FindingKind kind)
{
    switch (kind) {
    case FindingKind::NoProblem: return "no-problem";
    case FindingKind::PortTrouble: return "port-trouble";
    case FindingKind::PortLost: return "port-lost";
    case FindingKind::ForeignTraffic: return "foreign-traffic";
    case FindingKind::IdleNoise: return "idle-noise";
    case FindingKind::Echo: return "echo";
    case FindingKind::OtherBaud: return "other-baud";
    case FindingKind::MixedBaud: return "mixed-baud";
    case FindingKind::SharedAddress: return "shared-address";
    case FindingKind::SlowDevice: return "slow-device";
    case FindingKind::Noise: return "noise";
    case FindingKind::NoDevice: return "no-device";
    }
    return "unknown";
}

Json FindingJson(const Finding &f)
{
    Json j = Json::object();
    j["kind"] = KindName(f.kind);
    j["address"] = f.address ? Json(*f.address) : Json(nullptr);
    j["baud"] = f.baud ? Json(*f.baud) : Json(nullptr);
    j["text"] = f.text;
    j["nextStep"] = f.nextStep;
    j["line"] = f.Line();
    j["problem"] = f.problem;
    return j;
}

Json DeviceJson(const DoctorDevice &d)
{
    Json j = Json::object();
    j["address"] = d.address;
    j["baud"] = d.baud;
    j["probes"] = d.probes;
    j["good"] = d.good;
    j["late"] = d.late;
    j["garbled"] = d.garbled;
    j["silent"] = d.silent;
    j["turnaroundMs"] = d.turnaroundMs ? Json(*d.turnaroundMs) : Json(nullptr);
    j["windowMs"] = d.windowMs;
    j["slow"] = d.Slow();
    return j;
}

std::string DeviceLine(const DoctorDevice &d)
{
    std::string turnaround = d.turnaroundMs ? std::to_string(*d.turnaroundMs) + " ms" : "-";
    if (d.Slow())
        turnaround += ", slow";
    const std::string good = std::to_string(d.good) + "/" + std::to_string(d.probes);
    char line[112];
    std::snprintf(line, sizeof line, "%-4u %-7u %-6s %-5u %-8u %-7u %s", static_cast<unsigned>(d.address),
                  static_cast<unsigned>(d.baud), good.c_str(), static_cast<unsigned>(d.late),
                  static_cast<unsigned>(d.garbled), static_cast<unsigned>(d.silent), turnaround.c_str());
    return line;
}

} // namespace

void RunDoctorCommand(Output &out, const PortOptions &port, const std::string &fromText, const std::string &toText,
                      const std::string &listenText)
{
    const uint8_t from = fromText.empty() ? kFirstAddress : ParseAddress(fromText, "--from");
    const uint8_t to = toText.empty() ? kLastAddress : ParseAddress(toText, "--to");
    if (from > to)
        ThrowUsage("--from " + std::to_string(from) + " is above --to " + std::to_string(to));
    const long listenMs = listenText.empty() ? kDefaultListenMs : ParseInRange(listenText, "--listen", 0, kMaxListenMs);
    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());

    Json &doc = out.doc();
    doc["command"] = "doctor";
    doc["port"] = bus.portName();
    doc["baud"] = bus.baudRate();
    doc["from"] = from;
    doc["to"] = to;
    doc["listenMs"] = listenMs;

    DoctorOptions options;
    options.connectedBaud = static_cast<uint32_t>(port.baud);
    options.firstAddress = from;
    options.lastAddress = to;
    options.listenMs = static_cast<uint32_t>(listenMs);
    // Ctrl-C ends the doctor at its next step, with what it found so far.
    CatchInterrupts();
    ProgressLine progress;
    options.progress = [&progress](const std::string &step) {
        progress.Show(step);
        return !Interrupted();
    };

    // The doctor sets a window per probe from the rate it probes at; the
    // session's windows are those of the chosen rate and would cut a slow
    // reply short at 4800 baud.
    // The engine's echo mode is --echo's: with off, the doctor's echo
    // finding says to turn the handling on.
    bus.engine().SetReplyWindow({});
    const DoctorReport report = RunDoctor(bus.engine(), bus.comPort(), options);
    const int32_t baud = bus.baudRate();
    bus.engine().SetReplyWindow(
        [baud](const uint8_t *frame, size_t length) { return ReplyWindowMs(baud, frame, length); });
    progress.Clear();

    // An echoing adapter that the engine handles is a note: it is printed,
    // but only problems fail the command.
    Json findings = Json::array();
    const size_t problems = report.Problems();
    for (const Finding &f : report.findings) {
        findings.push_back(FindingJson(f));
        out.Say(f.Line());
    }
    Json devices = Json::array();
    for (const DoctorDevice &d : report.devices)
        devices.push_back(DeviceJson(d));
    doc["findings"] = findings;
    doc["devices"] = devices;
    doc["problems"] = problems;
    doc["cancelled"] = report.cancelled;

    out.Say("");
    if (report.devices.empty()) {
        out.Say("No device answered at addresses " + std::to_string(from) + " to " + std::to_string(to) + ".");
    } else {
        out.Say("ID   Baud    Good   Late  Garbled  Silent  Turnaround");
        for (const DoctorDevice &d : report.devices)
            out.Say(DeviceLine(d));
    }

    // A vanished port is no finding about the bus: it ends the command as a
    // port failure, with the port named.
    if (report.portLost)
        throw Failure(ExitPort, "lost the port " + bus.portName() +
                                    " during the diagnosis (adapter unplugged?); the diagnosis is incomplete");
    if (report.cancelled)
        throw Failure(ExitBus, "interrupted; the diagnosis is incomplete");
    if (problems > 0)
        throw Failure(ExitBus, std::to_string(problems) + (problems == 1 ? " problem" : " problems") + " found");
}

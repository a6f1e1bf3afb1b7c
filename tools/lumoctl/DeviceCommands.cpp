// ports, scan, info, status, move, learn, set-address and raw.

#include <algorithm>
#include <array>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <ctime>
#include <functional>
#include <iostream>
#include <optional>
#include <thread>

#include "Arguments.h"
#include "BusSession.h"
#include "Commands.h"
#include "ConfigView.h"
#include "Records.h"
#include "busfile/BusFile.h"
#include "config/ConfigTransfer.h"
#include "modbus/Registers.h"
#include "serial/SerialPorts.h"
#include "serial/UsbDevice.h"

namespace {

volatile std::sig_atomic_t gInterrupted = 0;

void OnInterrupt(int)
{
    gInterrupted = 1;
}

// The pauses the window makes: a scan reads the model 50 ms after the
// probe; the status poll runs every 300 ms; the learning watch every
// 200 ms and gives up after 20 failed reads in a row; learning starts
// 50 ms after the stop command.
constexpr uint32_t kModelReadPauseMs = 50;
constexpr uint32_t kStatusPollMs = 300;
constexpr uint32_t kLearnPollMs = 200;
constexpr int kLearnMaxFailedReads = 20;
constexpr uint32_t kLearnStartPauseMs = 50;
constexpr uint32_t kLearnEndPauseMs = 10;
// A learning that has not shown its flag this long after the learn command
// was acknowledged is taken as never begun. The window takes a device that
// has not raised the flag by its first tick (200 ms) as finished; lumoctl
// reports success only for a learning it saw happen.
constexpr auto kLearnStartAllowance = std::chrono::seconds(2);

// A go-to has arrived when the actuator reports Position OK and stands
// within this many steps of the target (the virtual actuator stops exactly
// on it; a real motor may coast a step past).
constexpr long kArrivalToleranceSteps = 2;

constexpr long kDefaultWaitSeconds = 120;
constexpr long kMaxWaitSeconds = 24 * 3600;

std::string Device(uint8_t address)
{
    return "device " + std::to_string(address);
}

// What the connection showed about the adapter: "echo" is true when it
// gave back a request, false when a reply came where the echo would have
// been, null when nothing told (no device answered on a line without echo,
// or --echo off). Said in words only when the adapter echoes, since that is
// worth knowing about an adapter (a 2-wire RS-485 adapter without echo
// suppression) and costs nothing: lumoctl skips the copies.
void ReportEcho(Output &out, BusSession &bus)
{
    Json &doc = out.doc();
    const EchoState learned = bus.engine().LearnedEcho();
    if (bus.engine().EchoSeen())
        doc["echo"] = true;
    else if (learned == EchoState::NoEcho)
        doc["echo"] = false;
    else
        doc["echo"] = nullptr;
    if (bus.engine().EchoSeen())
        out.Say("Your adapter echoes what it sends; lumoctl skips the copies.");
}

Json BusJson(const BusSession &bus)
{
    Json j = Json::object();
    j["port"] = bus.portName();
    j["baud"] = bus.baudRate();
    return j;
}

// Model, or a bus failure.
uint16_t ReadModelOf(BusSession &bus, uint8_t address)
{
    uint16_t model = 0;
    const ResultCode code = bus.Attempt([&] { return bus.registers().ReadModel(address, model); });
    if (code != Result::NoError)
        ThrowBus("reading the model of " + Device(address), bus.ErrorOf(code));
    return model;
}

std::string MotionName(uint16_t state)
{
    switch (state) {
    case Motion::Stopped: return "stopped";
    case Motion::MovingUp: return "moving up";
    case Motion::MovingDown: return "moving down";
    default: return "unknown state " + std::to_string(state);
    }
}

// The captions of the four status dots, in bit order.
constexpr std::array<std::pair<uint16_t, const char *>, 4> kFlagNames = {{
    {Flag::HallError, "Hall error"},
    {Flag::OverCurrent, "Over current"},
    {Flag::Learning, "Learning"},
    {Flag::PositionOk, "Position OK"},
}};

std::string FlagsText(uint16_t flags)
{
    std::string text;
    for (const auto &[mask, name] : kFlagNames)
        if (flags & mask)
            text += (text.empty() ? "" : ", ") + std::string(name);
    return text.empty() ? "none" : text;
}

struct StatusSample {
    uint16_t state = 0;
    uint16_t flags = 0;
    uint16_t position = 0;
    uint16_t current = 0;
};

Json SampleJson(uint8_t address, const StatusSample &s, uint16_t posOffset)
{
    Json j = Json::object();
    j["address"] = address;
    j["position"] = static_cast<long>(s.position) - posOffset;
    j["currentMilliamps"] = s.current;
    j["motion"] = MotionName(s.state);
    j["motionCode"] = s.state;
    Json flags = Json::object();
    flags["hallError"] = (s.flags & Flag::HallError) != 0;
    flags["overCurrent"] = (s.flags & Flag::OverCurrent) != 0;
    flags["learning"] = (s.flags & Flag::Learning) != 0;
    flags["positionOk"] = (s.flags & Flag::PositionOk) != 0;
    j["flags"] = flags;
    j["flagsWord"] = s.flags;
    return j;
}

// Status, position and current, each with the attempt loop. On failure
// `step` names the read that failed.
ResultCode ReadStatus(BusSession &bus, uint8_t address, StatusSample &s, std::string &step)
{
    ActuatorRegisters &r = bus.registers();
    step = "reading the status of " + Device(address);
    ResultCode code = bus.Attempt([&] { return r.ReadMotorStatus(address, s.state, s.flags); });
    if (code != Result::NoError)
        return code;
    step = "reading the position of " + Device(address);
    code = bus.Attempt([&] { return r.ReadCurrentPos(address, s.position); });
    if (code != Result::NoError)
        return code;
    step = "reading the motor current of " + Device(address);
    return bus.Attempt([&] { return r.ReadMotorCurrent(address, s.current); });
}

std::string TimeOfDay()
{
    using namespace std::chrono;
    const auto now = system_clock::now();
    const std::time_t t = system_clock::to_time_t(now);
    const std::tm local = LocalTm(t);
    const long ms = static_cast<long>(duration_cast<milliseconds>(now.time_since_epoch()).count() % 1000);
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03ld", local.tm_hour, local.tm_min, local.tm_sec, ms);
    return text;
}

std::string SampleLine(const StatusSample &s, uint16_t posOffset)
{
    char text[160];
    std::snprintf(text, sizeof text, "position %ld  current %u mA  %s  flags: %s",
                  static_cast<long>(s.position) - posOffset, static_cast<unsigned>(s.current),
                  MotionName(s.state).c_str(), FlagsText(s.flags).c_str());
    return text;
}

void SayTable(const Output &out, const char *caption, const std::string &value)
{
    char text[160];
    std::snprintf(text, sizeof text, "%-19s %s", caption, value.c_str());
    out.Say(text);
}

// The start of the watch's next sample: 300 ms after the start of this one,
// whatever the sample itself took, so the period holds on a slow line. A
// sample that overran (a device that does not answer, with its retries)
// moves the next one to the next 300 ms step instead of starting a burst.
std::chrono::steady_clock::time_point NextTick(std::chrono::steady_clock::time_point tickStart)
{
    constexpr std::chrono::milliseconds period(kStatusPollMs);
    const auto now = std::chrono::steady_clock::now();
    auto next = tickStart + period;
    if (next <= now)
        next += ((now - next) / period + 1) * period;
    return next;
}

// --frames with --watch: each sample's line carries the frames of that
// sample, so a watch that runs for hours holds none of them.
void AddSampleFrames(Json &sample, const PortOptions &port)
{
    if (port.trace != nullptr && port.trace->Keeps()) {
        sample["frames"] = port.trace->TakeFrames();
        sample["framesDropped"] = port.trace->TakeDropped();
    }
}

class Deadline {
public:
    explicit Deadline(long seconds) : end_(std::chrono::steady_clock::now() + std::chrono::seconds(seconds)) {}
    bool Passed() const { return std::chrono::steady_clock::now() >= end_; }

private:
    std::chrono::steady_clock::time_point end_;
};

// Sends stop with the attempt loop before a wait gives up, so an actuator
// is never left running by a command that has ended, and ends the command
// saying whether the actuator acknowledged the stop. `cause` is the failed
// read that ended the wait, if one did; it stays the failure's code.
[[noreturn]] void StopBeforeLeaving(Output &out, BusSession &bus, uint8_t address, const std::string &why,
                                    std::optional<BusError> cause = std::nullopt)
{
    Json &doc = out.doc();
    if (bus.PortLost()) {
        // Nothing can be written any more: no stop is sent, and saying that
        // one went unacknowledged would blame the actuator for the port.
        const BusError lost{Result::PortError, 0};
        doc["stopAcknowledged"] = false;
        Json stop = Json::object();
        AddErrorFields(stop, lost);
        doc["stopError"] = stop;
        throw Failure(ExitPort, why + "; no stop could be sent: " + LostPortText(bus.portName()),
                      cause ? cause : lost);
    }
    const ResultCode code = bus.Attempt([&] { return bus.registers().WriteActionCmdIn(address, Cmd::Stop); });
    doc["stopAcknowledged"] = code == Result::NoError;
    if (code == Result::NoError)
        throw Failure(ExitBus, why + "; stop sent and acknowledged", cause);
    const BusError stopError = bus.ErrorOf(code);
    Json stop = Json::object();
    AddErrorFields(stop, stopError);
    doc["stopError"] = stop;
    throw Failure(ExitBus, why + "; stop sent but not acknowledged: " + CodeText(stopError),
                  cause ? cause : stopError);
}

// Polls every 300 ms, as the window's status poll, until the actuator
// reports that it stands still; then its position. A failed read, the
// timeout and Ctrl-C each stop the actuator before the command ends.
StatusSample WaitUntilStopped(Output &out, BusSession &bus, uint8_t address, long timeoutSeconds)
{
    const Deadline deadline(timeoutSeconds);
    for (;;) {
        bus.Pause(kStatusPollMs);
        if (Interrupted())
            StopBeforeLeaving(out, bus, address, "interrupted while waiting for " + Device(address));
        StatusSample s;
        std::string step;
        const ResultCode code = ReadStatus(bus, address, s, step);
        if (code != Result::NoError) {
            const BusError error = bus.ErrorOf(code);
            StopBeforeLeaving(out, bus, address, step + " while waiting: " + CodeText(error), error);
        }
        if (s.state == Motion::Stopped)
            return s;
        if (deadline.Passed())
            StopBeforeLeaving(out, bus, address,
                              Device(address) + " still moving after " + std::to_string(timeoutSeconds) + " s");
    }
}

long ParseTimeout(const std::string &text, bool wait)
{
    if (!text.empty() && !wait)
        ThrowUsage("--timeout is for --wait");
    if (text.empty())
        return kDefaultWaitSeconds;
    return ParseInRange(text, "--timeout", 1, kMaxWaitSeconds);
}

// How a command that has sent something ended, for the records: the bus
// code of its failure, or kNotCompleted for one without (a timeout, a
// target not reached, an interruption); NoError for a success.
ResultCode OutcomeOf(const Failure *failure)
{
    if (failure == nullptr)
        return Result::NoError;
    return failure->bus ? failure->bus->code : records::kNotCompleted;
}

// Records one event of `kind` at `address`, filled in by `fill`, once the
// motor ID is known (see Recorder::MotorId). Returns that motor ID, or
// nothing when the event is not recorded.
std::optional<uint16_t> Record(const PortOptions &port, BusSession &bus, uint8_t address, records::EventKind kind,
                               const Failure *failure, const std::function<void(records::Event &)> &fill)
{
    Recorder *records = port.Recording();
    const ResultCode outcome = OutcomeOf(failure);
    const std::optional<uint16_t> motorId = records ? records->MotorId(bus, address, outcome) : std::nullopt;
    if (!motorId)
        return std::nullopt;
    records::Event event = records->NewEvent(kind, *motorId, address, bus);
    event.result = outcome;
    if (failure != nullptr)
        event.detail = failure->what();
    fill(event);
    records->Add(event);
    return motorId;
}

// Runs `body`, the part of a command that changes the device, and records
// it as `kind` whichever way it ends; a failure goes on to the caller.
// `sent` tells whether anything reached the device: a command refused
// before that is not an event. Returns the motor ID after a success that
// was recorded.
// `address` is read when the body has ended: a body that moves the device
// to another address says so through it.
std::optional<uint16_t> Recorded(const PortOptions &port, BusSession &bus, const uint8_t &address,
                                 records::EventKind kind,
                                 const bool &sent, const std::function<void()> &body,
                                 const std::function<void(records::Event &)> &fill)
{
    try {
        body();
    } catch (const Failure &failure) {
        if (sent)
            Record(port, bus, address, kind, &failure, fill);
        throw;
    }
    return Record(port, bus, address, kind, nullptr, fill);
}

// A raw write to an actuator's configuration registers (every register it
// writes one of the ten configuration words) is recorded as a write of
// those registers: after it, the last known configuration with the values
// written. Other raw writes are not recorded: they are none of the tool's
// workflows, and what they mean is not known here.
void RecordRawWrite(const PortOptions &port, BusSession &bus, uint8_t address, const std::string &functionHex,
                    uint16_t start, const std::vector<uint16_t> &values, const BusError &error)
{
    Recorder *records = port.Recording();
    if (records == nullptr || address > kLastAddress)
        return;
    std::vector<const records::ConfigWord *> words;
    for (size_t i = 0; i < values.size(); ++i) {
        const std::string_view name = Reg::HoldingName(static_cast<uint16_t>(start + i));
        const auto word = std::find_if(std::begin(records::kConfigWords), std::end(records::kConfigWords),
                                       [&](const records::ConfigWord &w) { return name == w.name; });
        if (word == std::end(records::kConfigWords))
            return;
        words.push_back(word);
    }
    const std::optional<uint16_t> motorId = records->MotorId(bus, address, error.code);
    if (!motorId)
        return;
    records::Event event = records->NewEvent(records::EventKind::ConfigWrite, *motorId, address, bus);
    event.before = records->LastKnownConfig(*motorId);
    event.config = event.before;
    std::string written;
    for (size_t i = 0; i < words.size(); ++i) {
        if (event.config)
            (*event.config).*words[i]->member = values[i];
        event.registers.push_back({words[i]->name, error.code});
        written += std::string(i == 0 ? "" : " ") + words[i]->name + "=" + std::to_string(values[i]);
    }
    event.result = error.code;
    event.detail = "raw write, function " + functionHex + " from " + Hex4(start) + ": " + written;
    if (error.code != Result::NoError)
        event.detail += ": " + CodeText(error);
    records->Add(event);
}

} // namespace

void CatchInterrupts()
{
#ifdef _WIN32
    // The C runtime turns Ctrl+C into SIGINT and Ctrl+Break into SIGBREAK;
    // Windows sends no SIGTERM.
    std::signal(SIGINT, OnInterrupt);
    std::signal(SIGBREAK, OnInterrupt);
#else
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
#endif
}

bool Interrupted()
{
    return gInterrupted != 0;
}

void RunPorts(Output &out)
{
    Json &doc = out.doc();
    doc["command"] = "ports";

    std::vector<std::string> ports;
    const bool portsRead = ReadSerialPorts(&ports);
    C_USBDevice adapterFinder;
    adapterFinder.ScanAdapters();
    std::vector<std::string> entries;
    adapterFinder.FillPortEntries(&entries);

    doc["ports"] = ports;
    Json adapters = Json::array();
    for (const std::string &entry : entries) {
        Json a = Json::object();
        a["entry"] = entry;
        a["port"] = PortNameOfEntry(entry);
        a["adapter"] = entry.substr(entry.find(kAdapterSeparator) + std::string(kAdapterSeparator).size());
        adapters.push_back(a);
    }
    doc["adapters"] = adapters;

    out.Say("Serial ports:");
    for (const std::string &port : ports)
        out.Say("  " + port);
    if (ports.empty())
        out.Say("  (none)");
    out.Say("Recognised adapters:");
    for (const std::string &entry : entries)
        out.Say("  " + entry);
    if (entries.empty())
        out.Say("  (none)");
    if (!portsRead)
        throw Failure(ExitBus, "the system's list of serial ports cannot be read");
}

void RunScan(Output &out, const PortOptions &port, const std::string &fromText, const std::string &toText)
{
    const uint8_t from = fromText.empty() ? kFirstAddress : ParseAddress(fromText, "--from");
    const uint8_t to = toText.empty() ? kLastAddress : ParseAddress(toText, "--to");
    if (from > to)
        ThrowUsage("--from " + std::to_string(from) + " is above --to " + std::to_string(to));
    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());

    Json &doc = out.doc();
    doc["command"] = "scan";
    doc.update(BusJson(bus));
    doc["from"] = from;
    doc["to"] = to;
    doc["devices"] = Json::array();

    out.Say("ID   Model");
    ProgressLine progress;
    const int total = to - from + 1;
    int found = 0;
    for (int a = from; a <= to; ++a) {
        const uint8_t address = static_cast<uint8_t>(a);
        progress.Show("scanning address " + std::to_string(a) + " (" + std::to_string(a - from + 1) + " of " +
                      std::to_string(total) + ")");
        // One probe to an address where nothing answers: a device that is
        // there answers the first; only a reply that came garbled (noise,
        // two devices at one address) is worth asking again.
        uint16_t state = 0, flags = 0;
        const ResultCode probe = bus.Probe([&] { return bus.registers().ReadMotorStatus(address, state, flags); });
        // A lost port ends the scan; any other failure just means nobody
        // answers at this address.
        if (probe == Result::PortError) {
            progress.Clear();
            ThrowBus("scan stopped at address " + std::to_string(a), bus.ErrorOf(probe));
        }
        if (probe != Result::NoError)
            continue;
        bus.Pause(kModelReadPauseMs);
        // A device whose model cannot be read is still listed, as "unknow".
        uint16_t model = static_cast<uint16_t>(Model::None);
        bus.Attempt([&] { return bus.registers().ReadModel(address, model); });

        Json device = Json::object();
        device["address"] = address;
        device["model"] = std::string(Model::NameOf(model));
        device["modelCode"] = model;
        doc["devices"].push_back(device);
        ++found;
        progress.Clear();
        char line[64];
        std::snprintf(line, sizeof line, "%-4d %s", a, std::string(Model::NameOf(model)).c_str());
        out.Say(line);
    }
    progress.Clear();
    out.Say(std::to_string(found) + (found == 1 ? " device" : " devices") + " found at addresses " +
            std::to_string(from) + " to " + std::to_string(to));
    ReportEcho(out, bus);
}

void RunInfo(Output &out, const PortOptions &port, const std::string &addressText)
{
    const uint8_t address = ParseAddress(addressText);
    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());
    ActuatorRegisters &r = bus.registers();

    const uint16_t model = ReadModelOf(bus, address);
    uint16_t name = 0, firmware = 0;
    ResultCode code = bus.Attempt([&] { return r.ReadName(address, name); });
    if (code != Result::NoError)
        ThrowBus("reading the motor ID of " + Device(address), bus.ErrorOf(code));
    code = bus.Attempt([&] { return r.ReadFwVersion(address, firmware); });
    if (code != Result::NoError)
        ThrowBus("reading the firmware version of " + Device(address), bus.ErrorOf(code));

    char motorId[8];
    std::snprintf(motorId, sizeof motorId, "%04X", static_cast<unsigned>(name));
    const unsigned major = firmware >> 8, minor = firmware & 0xFF;
    char version[16];
    std::snprintf(version, sizeof version, "%02u.%02u", major, minor);

    Json &doc = out.doc();
    doc["command"] = "info";
    doc.update(BusJson(bus));
    doc["address"] = address;
    doc["model"] = std::string(Model::NameOf(model));
    doc["modelCode"] = model;
    doc["motorId"] = motorId;
    doc["firmware"] = version;
    doc["firmwareMajor"] = major;
    doc["firmwareMinor"] = minor;

    SayTable(out, "Address", std::to_string(address));
    SayTable(out, "Model", std::string(Model::NameOf(model)));
    SayTable(out, "Motor ID", motorId);
    SayTable(out, "Firmware", version);

    if (Recorder *records = port.Recording()) {
        // Another unit than the one the records last saw here, on this
        // station and port, is most likely a replacement.
        records::HistoryQuery here;
        here.address = address;
        const std::optional<uint16_t> was =
            busfile::LastUnitSeenAt(records->History(here), address, records::StationName(), bus.portName());
        if (was && *was != name) {
            doc["replaced"] = Json{{"was", records::MotorIdText(*was)}, {"now", records::MotorIdText(name)}};
            out.Note(busfile::ReplacedText(address, *was, name) + "; 'lumoctl restore --from-records " +
                     std::to_string(address) + "' gives it the old unit's configuration");
        }
        records::Event event = records->NewEvent(records::EventKind::DeviceSeen, name, address, bus);
        event.model = model;
        event.firmware = firmware;
        records->Add(event);
    }
}

void RunStatus(Output &out, const PortOptions &port, const std::string &addressText, bool watch)
{
    const uint8_t address = ParseAddress(addressText);
    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());

    if (!watch) {
        StatusSample s;
        std::string step;
        const ResultCode code = ReadStatus(bus, address, s, step);
        if (code != Result::NoError)
            ThrowBus(step, bus.ErrorOf(code));
        Json &doc = out.doc();
        doc["command"] = "status";
        doc.update(BusJson(bus));
        doc.update(SampleJson(address, s, bus.posOffset()));
        SayTable(out, "Address", std::to_string(address));
        SayTable(out, "Position", std::to_string(static_cast<long>(s.position) - bus.posOffset()) + " steps");
        SayTable(out, "Current", std::to_string(s.current) + " mA");
        SayTable(out, "Motion", MotionName(s.state));
        SayTable(out, "Flags", FlagsText(s.flags));
        return;
    }

    // One line (or one JSON document) per sample until Ctrl-C. A failed
    // sample is reported and the watch goes on; a lost port ends it.
    CatchInterrupts();
    out.SetStreamed();
    out.doc()["command"] = "status";
    out.doc()["address"] = address;
    auto next = std::chrono::steady_clock::now();
    while (!Interrupted()) {
        StatusSample s;
        std::string step;
        const ResultCode code = ReadStatus(bus, address, s, step);
        const std::string time = TimeOfDay();
        if (code == Result::PortError)
            ThrowBus(step, bus.ErrorOf(code));
        if (code != Result::NoError) {
            const BusError error = bus.ErrorOf(code);
            std::cerr << time << "  " << step << ": " << CodeText(error) << std::endl;
            Json j = Json::object();
            j["ok"] = false;
            j["time"] = time;
            j["address"] = address;
            j["error"] = {{"message", step + ": " + CodeText(error)}};
            AddErrorFields(j["error"], error);
            AddSampleFrames(j, port);
            out.EmitLine(j);
        } else {
            Json j = Json::object();
            j["ok"] = true;
            j["time"] = time;
            j.update(SampleJson(address, s, bus.posOffset()));
            AddSampleFrames(j, port);
            out.EmitLine(j);
            out.Say(time + "  " + SampleLine(s, bus.posOffset()));
            std::cout.flush();
        }
        next = NextTick(next);
        std::this_thread::sleep_until(next);
    }
}

void RunMove(Output &out, const PortOptions &port, const std::string &addressText, const std::string &action,
             const std::string &positionText, bool wait, const std::string &timeoutText)
{
    const uint8_t address = ParseAddress(addressText);
    uint16_t command = 0;
    if (action == "up")
        command = Cmd::Up;
    else if (action == "down")
        command = Cmd::Down;
    else if (action == "stop")
        command = Cmd::Stop;
    else if (action == "goto")
        command = Cmd::GoToPos;
    else
        ThrowUsage("move: the action must be up, down, stop or goto, not '" + action + "'");
    if (command == Cmd::GoToPos && positionText.empty())
        ThrowUsage("move goto needs a target position");
    if (command != Cmd::GoToPos && !positionText.empty())
        ThrowUsage("move " + action + " takes no position");
    const long target = command == Cmd::GoToPos ? ParseInRange(positionText, "the target position", 0, 65535) : 0;
    const long timeout = ParseTimeout(timeoutText, wait);

    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());
    ActuatorRegisters &r = bus.registers();
    Json &doc = out.doc();
    doc["command"] = "move";
    doc.update(BusJson(bus));
    doc["address"] = address;
    doc["action"] = action;

    // Motion is offered for the LUMO-D and the LUMO-B only; stopping is
    // never refused.
    if (command != Cmd::Stop) {
        const uint16_t model = ReadModelOf(bus, address);
        doc["model"] = std::string(Model::NameOf(model));
        if (model != Model::LumoD && model != Model::LumoB)
            ThrowUsage("move " + action + ": " + Device(address) + " is a " + std::string(Model::NameOf(model)) +
                       " (model code " + std::to_string(model) + "); motion commands are offered for the " +
                       "LUMO-D and the LUMO-B only");
    }

    // Recorded as sent, with where the actuator stopped when the command
    // waited for it.
    bool sent = false;
    std::optional<uint16_t> stoppedAt;
    std::string ending;
    const std::string sentText = command == Cmd::GoToPos ? "go to " + std::to_string(target) : action;
    const auto body = [&] {
        ResultCode code = Result::NoError;
        if (command == Cmd::GoToPos) {
            // The target must lie between the rear and the front limit, both
            // included, whatever the model.
            std::array<uint16_t, Reg::BlockCount> words{};
            if (!r.ReadActuatorRegisters(address, words, bus.lastResult()))
                ThrowBus("reading the limits of " + Device(address), bus.LastTransferError());
            const long rear = static_cast<long>(words[2]) - bus.posOffset();
            const long front = static_cast<long>(words[3]) - bus.posOffset();
            doc["target"] = target;
            doc["rearLimit"] = rear;
            doc["frontLimit"] = front;
            if (target < rear || target > front)
                ThrowUsage("the target " + std::to_string(target) + " lies outside the range " +
                           std::to_string(rear) + " to " + std::to_string(front) + " (rear to front limit) of " +
                           Device(address));
            const uint16_t word = static_cast<uint16_t>(target + bus.posOffset());
            sent = true;
            code = bus.Attempt([&] { return r.WriteGoToPos(address, word); });
            if (code != Result::NoError)
                ThrowBus("setting the target of " + Device(address), bus.ErrorOf(code));
            code = bus.Attempt([&] { return r.WriteActionCmdIn(address, Cmd::Stop); });
            if (code != Result::NoError)
                ThrowBus("stopping " + Device(address) + " before the go-to", bus.ErrorOf(code));
        }
        sent = true;
        code = bus.Attempt([&] { return r.WriteActionCmdIn(address, command); });
        if (code != Result::NoError)
            ThrowBus("sending " + action + " to " + Device(address), bus.ErrorOf(code));

        if (!wait) {
            ending = sentText + " sent";
            out.Say(Device(address) + ": " + ending);
            return;
        }
        CatchInterrupts();
        const StatusSample s = WaitUntilStopped(out, bus, address, timeout);
        doc.update(SampleJson(address, s, bus.posOffset()));
        const long position = static_cast<long>(s.position) - bus.posOffset();
        if (position >= 0 && position <= 0xFFFF)
            stoppedAt = static_cast<uint16_t>(position);
        const std::string where =
            "stopped at " + std::to_string(position) + " (flags: " + FlagsText(s.flags) + ")";
        if (command == Cmd::GoToPos) {
            // Arrived: the actuator says so with Position OK and stands at
            // the target. The flag alone could be one left from an earlier
            // go-to; the position alone could be a stop that happened near it.
            const bool reached =
                (s.flags & Flag::PositionOk) && std::labs(position - target) <= kArrivalToleranceSteps;
            doc["reached"] = reached;
            if (!reached)
                throw Failure(ExitBus,
                              Device(address) + ": " + sentText + " failed: " + where + ", short of the target");
        }
        ending = sentText + " done, " + where;
        out.Say(Device(address) + ": " + ending);
    };
    Recorded(port, bus, address, records::EventKind::Motion, sent, body, [&](records::Event &event) {
        event.action = command == Cmd::GoToPos ? "goto " + std::to_string(target) : action;
        event.position = stoppedAt;
        if (event.detail.empty())
            event.detail = ending;
    });
}

void RunLearn(Output &out, const PortOptions &port, const std::string &addressText, bool wait,
              const std::string &timeoutText)
{
    const uint8_t address = ParseAddress(addressText);
    const long timeout = ParseTimeout(timeoutText, wait);
    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());
    ActuatorRegisters &r = bus.registers();
    Json &doc = out.doc();
    doc["command"] = "learn";
    doc.update(BusJson(bus));
    doc["address"] = address;

    // Recorded with the learned stroke when the command follows the
    // learning; the configuration read at its end is recorded as a read.
    const bool sent = true;
    std::optional<ActuatorConfig> learned;
    uint16_t learnedModel = 0;
    const auto body = [&] {
        ResultCode code = bus.Attempt([&] { return r.WriteActionCmdIn(address, Cmd::Stop); });
        if (code != Result::NoError)
            ThrowBus("stopping " + Device(address) + " before learning", bus.ErrorOf(code));
        bus.Pause(kLearnStartPauseMs);
        code = bus.Attempt([&] { return r.WriteActionCmdIn(address, Cmd::Learn); });
        if (code != Result::NoError)
            ThrowBus("starting stroke learning on " + Device(address), bus.ErrorOf(code));
        if (!wait) {
            out.Say(Device(address) + " is learning its stroke");
            return;
        }


        // The window's learning watch: one status read per tick, no retries
        // within a tick, 20 failures in a row end it. The first tick comes
        // 200 ms after the learn command. Learning has ended when the flag,
        // once seen set, is seen clear: an acknowledged command alone does
        // not show that the device began, and a flag never seen set does
        // not show that it finished.
        CatchInterrupts();
        const Deadline deadline(timeout);
        const auto commandAcknowledged = std::chrono::steady_clock::now();
        bool seenLearning = false;
        int failedReads = 0;
        for (;;) {
            bus.Pause(kLearnPollMs);
            if (Interrupted())
                StopBeforeLeaving(out, bus, address, "interrupted while " + Device(address) + " was learning");
            uint16_t state = 0, flags = 0;
            code = r.ReadMotorStatus(address, state, flags);
            if (code == Result::PortError) {
                const BusError error = bus.ErrorOf(code);
                StopBeforeLeaving(out, bus, address, "watching " + Device(address) + " learn: " + CodeText(error), error);
            }
            if (code != Result::NoError) {
                if (++failedReads >= kLearnMaxFailedReads) {
                    const BusError error = bus.ErrorOf(code);
                    StopBeforeLeaving(out, bus, address,
                                      Device(address) + " stopped answering while learning (" +
                                          std::to_string(kLearnMaxFailedReads) +
                                          " status reads failed in a row): " + CodeText(error),
                                      error);
                }
                continue;
            }
            failedReads = 0;
            if (flags & Flag::Learning)
                seenLearning = true;
            else if (seenLearning)
                break;
            else if (std::chrono::steady_clock::now() - commandAcknowledged >= kLearnStartAllowance)
                StopBeforeLeaving(out, bus, address,
                                  Device(address) + " acknowledged the learn command but never reported learning "
                                                    "(status flag 0x40 \"Learning\" not seen in " +
                                      std::to_string(kLearnStartAllowance.count()) + " s); its stroke was not learned");
            if (deadline.Passed())
                StopBeforeLeaving(out, bus, address,
                                  Device(address) + " still learning after " + std::to_string(timeout) + " s");
        }

        bus.Pause(kLearnEndPauseMs);
        bus.DrainInput();
        ActuatorConfig record;
        if (!ReadConfig(r, address, &record, bus.transfer()))
            ThrowBus("reading the learned configuration of " + Device(address), bus.LastTransferError());
        // The model only decides whether the voltage row is shown.
        uint16_t model = static_cast<uint16_t>(Model::None);
        bus.Attempt([&] { return r.ReadModel(address, model); });
        learned = record;
        learnedModel = model;
        const ConfigView view = ViewConfig(record, model);
        doc["config"] = ConfigJson(view);
        doc["registers"] = RegistersJson(record);
        out.Say(Device(address) + " has learned its stroke:");
        for (const std::string &line : ConfigLines(view))
            out.Say("  " + line);
    };
    const std::optional<uint16_t> motorId =
        Recorded(port, bus, address, records::EventKind::Learning, sent, body, [&](records::Event &event) {
            if (learned)
                event.stroke = learned->MaxPos;
            else if (event.detail.empty())
                event.detail = "started; not followed (without --wait)";
        });
    if (Recorder *records = port.Recording(); records != nullptr && motorId && learned) {
        records::Event read = records->NewEvent(records::EventKind::ConfigRead, *motorId, address, bus);
        read.model = learnedModel;
        read.config = learned;
        records->Add(read);
    }
}

namespace {

// Asks `address` for its status, up to the session's tries, and says what
// answered: "a device answers", "a device answers with Modbus exception
// 02", "bytes with a bad checksum arrive", "garbled bytes arrive"; empty
// when every attempt met silence. A lost port ends the command.
std::string AddressHeard(BusSession &bus, uint8_t address)
{
    for (int32_t attempt = 0; attempt < bus.tries(); ++attempt) {
        uint16_t state = 0, flags = 0;
        const ResultCode code = bus.registers().ReadMotorStatus(address, state, flags);
        const bool heard = code == Result::NoError || bus.engine().BytesHeard() > 0;
        bus.Pause(heard ? bus.commandGapMs() : bus.silentIntervalMs());
        if (code == Result::PortError)
            ThrowBus("asking address " + std::to_string(address) + " whether it is free", bus.ErrorOf(code));
        if (code == Result::NoError)
            return "a device answers";
        if (code == Result::ExceptionReply) {
            char number[8];
            std::snprintf(number, sizeof number, "%02X", static_cast<unsigned>(bus.engine().LastExceptionCode()));
            return std::string("a device answers with Modbus exception ") + number;
        }
        if (code == Result::ChecksumError)
            return "bytes with a bad checksum arrive";
        if (heard)
            return "garbled bytes arrive (" + CodeText(bus.ErrorOf(code)) + ")";
    }
    return {};
}

} // namespace

void RunSetAddress(Output &out, const PortOptions &port, const std::string &oldText, const std::string &newText,
                   bool probe)
{
    const uint8_t oldAddress = ParseAddress(oldText, "the current address");
    const uint8_t newAddress = ParseAddress(newText, "the new address");
    if (oldAddress == newAddress)
        ThrowUsage("the new address " + std::to_string(newAddress) + " is the device's own address");
    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());
    ActuatorRegisters &r = bus.registers();
    Json &doc = out.doc();
    doc["command"] = "set-address";
    doc.update(BusJson(bus));
    doc["oldAddress"] = oldAddress;
    doc["newAddress"] = newAddress;

    // Two devices at one address would answer together and garble every
    // reply, a fault a technician can neither see nor easily undo. So the
    // new address is asked first, and anything at all heard there means
    // taken: a reply, an exception, a frame with a bad checksum, garbled
    // bytes. Only silence on every attempt counts as free.
    if (probe) {
        const std::string taken = AddressHeard(bus, newAddress);
        doc["probe"] = taken.empty() ? "silent" : taken;
        if (!taken.empty())
            throw Failure(ExitAddressTaken, "address " + std::to_string(newAddress) + " is taken: " + taken +
                                                " there; the new address was not written (--no-probe skips this check)");
    }

    // One write, then the device must answer at its new address. Recorded
    // either way, the motor ID read where the device should be by then.
    uint8_t answersAt = oldAddress;
    const auto fill = [&](records::Event &event) {
        event.address = oldAddress;
        event.newAddress = newAddress;
    };
    const bool sent = true;
    Recorded(port, bus, answersAt, records::EventKind::AddressChange, sent, [&] {
        ResultCode code = r.WriteAddress(oldAddress, newAddress);
        bus.lastResult() = code;
        if (code != Result::NoError)
            ThrowBus("writing the new address " + std::to_string(newAddress) + " to " + Device(oldAddress),
                     bus.ErrorOf(code));
        answersAt = newAddress;
        uint16_t state = 0, flags = 0;
        code = bus.Attempt([&] { return r.ReadMotorStatus(newAddress, state, flags); });
        if (code != Result::NoError)
            ThrowBus(Device(oldAddress) + " took the new address but does not answer at " +
                         std::to_string(newAddress) + " (scan the bus to see where it is)",
                     bus.ErrorOf(code));
        out.Say(Device(oldAddress) + " now answers at address " + std::to_string(newAddress));
    }, fill);
}

void RunRaw(Output &out, const PortOptions &port, const std::string &addressText, const std::string &functionText,
            const std::string &registerText, const std::string &countOrValueText,
            const std::vector<std::string> &givenValueTexts)
{
    const uint8_t address =
        static_cast<uint8_t>(ParseInRange(addressText, "address", 1, kLastModbusAddress, true));
    const long function = ParseInRange(functionText, "function code", 1, 0x10, true);
    const bool read = function == 0x01 || function == Fc::ReadHolding || function == Fc::ReadInput;
    const bool write = function == Fc::WriteSingle || function == Fc::WriteMultiple;
    if (!read && !write)
        ThrowUsage("function code must be 0x03, 0x04, 0x06, 0x10 (or 0x01 to test a refusal), not '" +
                   functionText + "'");
    const uint16_t start = static_cast<uint16_t>(ParseInRange(registerText, "register", 0, 0xFFFF, true));
    // A single-register write takes its value right after the register
    // ("raw 7 6 0x24 55"); the count 1 may still stand before it.
    std::string countText = countOrValueText;
    std::vector<std::string> valueTexts = givenValueTexts;
    if (function == Fc::WriteSingle && valueTexts.empty()) {
        valueTexts.push_back(countText);
        countText = "1";
    }
    // A read reply holds at most 125 registers, a multiple write 123.
    const long maxCount = function == Fc::WriteSingle ? 1 : function == Fc::WriteMultiple ? 123 : 125;
    const uint16_t count = static_cast<uint16_t>(ParseInRange(countText, "count", 1, maxCount, true));
    if (static_cast<long>(start) + count - 1 > 0xFFFF)
        ThrowUsage("registers " + Hex4(start) + " and the " + std::to_string(count - 1) +
                   " after it run past 0xFFFF");
    std::vector<uint16_t> values;
    if (read && !valueTexts.empty())
        ThrowUsage("a read takes no values");
    if (write) {
        if (valueTexts.size() != count)
            ThrowUsage("a write of " + std::to_string(count) + " register(s) needs " + std::to_string(count) +
                       " value(s), not " + std::to_string(valueTexts.size()));
        for (size_t i = 0; i < valueTexts.size(); ++i)
            values.push_back(static_cast<uint16_t>(
                ParseInRange(valueTexts[i], "value " + std::to_string(i + 1), 0, 0xFFFF, true)));
    }

    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());
    Json &doc = out.doc();
    doc["command"] = "raw";
    doc.update(BusJson(bus));
    doc["address"] = address;
    doc["function"] = function;
    doc["register"] = start;
    doc["count"] = count;

    // One attempt, like a request typed into a console: what the device
    // answered is what is reported.
    char functionHex[8];
    std::snprintf(functionHex, sizeof functionHex, "0x%02lX", function);
    const std::string what =
        std::string("function ") + functionHex + " at " + Hex4(start) + " of device " + std::to_string(address);
    if (read) {
        values.assign(count, 0);
        const ResultCode code =
            bus.engine().ReadRegisters(static_cast<uint8_t>(function), address, start, count, values.data());
        if (code != Result::NoError)
            ThrowBus(what, bus.ErrorOf(code));
        doc["values"] = values;
        for (uint16_t i = 0; i < count; ++i) {
            char line[64];
            std::snprintf(line, sizeof line, "%s  %5u  %s", Hex4(start + i).c_str(), static_cast<unsigned>(values[i]),
                          Hex4(values[i]).c_str());
            out.Say(line);
        }
        return;
    }
    const ResultCode code =
        bus.engine().WriteRegisters(static_cast<uint32_t>(function), address, start, count, values.data());
    const BusError error = bus.ErrorOf(code);
    RecordRawWrite(port, bus, address, functionHex, start, values, error);
    if (code != Result::NoError)
        ThrowBus(what, error);
    doc["values"] = values;
    out.Say("wrote " + std::to_string(count) + (count == 1 ? " register" : " registers") + " from " + Hex4(start) +
            " of device " + std::to_string(address));
}

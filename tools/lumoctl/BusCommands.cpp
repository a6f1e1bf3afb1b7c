// backup, diff and restore: the whole bus against a bus file.

#include "BusCommands.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "Arguments.h"
#include "BusSession.h"
#include "Records.h"
#include "busfile/BusFile.h"
#include "busfile/BusTransfer.h"
#include "config/ConfigTransfer.h"
#include "modbus/Registers.h"

namespace {

using busfile::Comparison;
using busfile::Device;
using busfile::State;

std::string DeviceName(uint8_t address)
{
    return "device " + std::to_string(address);
}

std::string Id(uint16_t motorId)
{
    return records::MotorIdText(motorId);
}

std::string ModelName(uint16_t model)
{
    return std::string(Model::NameOf(model));
}

// The bus ended the command: a lost port stops everything at once.
struct PortLost {
    BusError error;
    std::string step;
};

using StepFailure = std::optional<std::pair<std::string, BusError>>;

// The session's attempt loop for reads of a whole bus.
busfile::Attempt ReadAttempt(BusSession &bus)
{
    return [&bus](const std::function<ResultCode()> &op) { return bus.AttemptRead(op); };
}

// A failed step of the shared reads in this command's terms; a lost port
// is thrown.
StepFailure Checked(const std::optional<busfile::StepFailure> &failed)
{
    if (!failed)
        return std::nullopt;
    const BusError error{failed->code, failed->exception};
    if (failed->code == Result::PortError)
        throw PortLost{error, failed->step};
    return std::make_pair(failed->step, error);
}

StepFailure ReadDevice(BusSession &bus, uint8_t address, Device &d)
{
    return Checked(busfile::ReadDevice(bus.engine(), ReadAttempt(bus), address, d));
}

// What a read of the bus leaves in the records: the device seen and its
// configuration, under its motor ID.
void RecordRead(const PortOptions &port, const BusSession &bus, const Device &d)
{
    Recorder *records = port.Recording();
    if (records == nullptr)
        return;
    records::Event seen = records->NewEvent(records::EventKind::DeviceSeen, d.motorId, d.address, bus);
    seen.model = d.model;
    seen.firmware = d.firmware;
    records->Add(seen);
    records::Event read = records->NewEvent(records::EventKind::ConfigRead, d.motorId, d.address, bus);
    read.model = d.model;
    read.config = d.config;
    records->Add(read);
}

// A fast scan of from..to (one probe where nobody answers), then each
// device found read whole. A device that answers the probe but not a read
// ends the command: a backup or a comparison with a hole is worth nothing.
// The addresses in `expected` (a file's devices) get the whole attempt
// loop before they count as empty: one lost reply must not make a device
// "missing".
std::vector<Device> ReadBus(Output &out, const PortOptions &port, BusSession &bus, uint8_t from, uint8_t to,
                            const std::set<uint8_t> &expected = {})
{
    std::vector<Device> devices;
    ProgressLine progress;
    // The file's addresses beyond the scan (a file may name any slave
    // address) are looked at one by one after it.
    std::vector<uint8_t> addresses;
    for (int a = from; a <= to; ++a)
        addresses.push_back(static_cast<uint8_t>(a));
    for (const uint8_t a : expected)
        if (a > to)
            addresses.push_back(a);
    const size_t total = addresses.size();
    for (size_t i = 0; i < total; ++i) {
        const uint8_t address = addresses[i];
        const int a = address;
        progress.Show("scanning address " + std::to_string(a) + " (" + std::to_string(i + 1) + " of " +
                      std::to_string(total) + ")");
        uint16_t state = 0, flags = 0;
        const auto probeOp = [&] { return bus.registers().ReadMotorStatus(address, state, flags); };
        ResultCode probe = bus.AttemptRead(probeOp, true);
        if (probe != Result::NoError && probe != Result::PortError && expected.count(address) != 0)
            probe = bus.Attempt(probeOp);
        if (probe == Result::PortError) {
            progress.Clear();
            ThrowBus("the scan stopped at address " + std::to_string(a), bus.ErrorOf(probe));
        }
        if (probe != Result::NoError)
            continue;
        progress.Show("reading device " + std::to_string(a));
        Device d;
        StepFailure failed;
        try {
            failed = ReadDevice(bus, address, d);
        } catch (const PortLost &lost) {
            progress.Clear();
            ThrowBus(lost.step, lost.error);
        }
        if (failed) {
            progress.Clear();
            ThrowBus(failed->first, failed->second);
        }
        RecordRead(port, bus, d);
        devices.push_back(d);
    }
    progress.Clear();
    if (const auto shared = busfile::SharedMotorIdText(devices))
        throw Failure(ExitBus, *shared);
    (void)out;
    return devices;
}

std::set<uint8_t> AddressesOf(const busfile::BusFile &file)
{
    std::set<uint8_t> addresses;
    for (const Device &d : file.devices)
        addresses.insert(d.address);
    return addresses;
}

busfile::BusFile LoadBusFile(const std::string &path)
{
    busfile::BusFile file;
    std::string error;
    if (!busfile::ReadBusFile(path, file, error))
        ThrowUsage(error);
    return file;
}

Json DeviceJson(const Device &d)
{
    Json j = Json::object();
    j["address"] = d.address;
    j["model"] = ModelName(d.model);
    j["modelCode"] = d.model;
    j["motorId"] = Id(d.motorId);
    char firmware[8];
    std::snprintf(firmware, sizeof firmware, "%02u.%02u", static_cast<unsigned>(d.firmware >> 8),
                  static_cast<unsigned>(d.firmware & 0xFF));
    j["firmware"] = firmware;
    return j;
}

Json RegistersDiffJson(const std::vector<busfile::RegisterDiff> &diffs)
{
    Json list = Json::array();
    for (const busfile::RegisterDiff &r : diffs)
        list.push_back(Json{{"register", r.name}, {"file", r.saved}, {"bus", r.now}});
    return list;
}

uint8_t AddressOf(const Comparison &c)
{
    return c.saved ? c.saved->address : c.now->address;
}

// One line for people: "5    differs", "5    replaced: was 5A05, now 7B11".
std::string StateLine(const Comparison &c)
{
    char head[16];
    std::snprintf(head, sizeof head, "%-4u ", static_cast<unsigned>(AddressOf(c)));
    std::string line = head + std::string(busfile::StateName(c.state));
    switch (c.state) {
    case State::Same:
    case State::Differs:
        line += " (" + Id(c.saved->motorId) + ", " + ModelName(c.saved->model) + ")";
        break;
    case State::Missing:
        line += ": " + Id(c.saved->motorId) + " (" + ModelName(c.saved->model) + ") does not answer";
        if (c.otherModelThere)
            line += "; a " + ModelName(c.otherModelThere->model) + " (" + Id(c.otherModelThere->motorId) +
                    ") answers at " + std::to_string(c.saved->address);
        break;
    case State::New:
        line += ": " + Id(c.now->motorId) + " (" + ModelName(c.now->model) + ") is not in the file";
        break;
    case State::Moved:
        line += ": " + Id(c.saved->motorId) + " now answers at " + std::to_string(c.now->address);
        break;
    case State::Replaced:
        line += ": was " + Id(c.saved->motorId) + ", now " + Id(c.now->motorId) + " (" + ModelName(c.now->model) +
                ")";
        break;
    }
    return line;
}

Json ComparisonJson(const Comparison &c)
{
    Json j = Json::object();
    j["address"] = AddressOf(c);
    j["state"] = busfile::StateName(c.state);
    j["file"] = c.saved ? DeviceJson(*c.saved) : Json(nullptr);
    j["bus"] = c.now ? DeviceJson(*c.now) : (c.otherModelThere ? DeviceJson(*c.otherModelThere) : Json(nullptr));
    j["registers"] = RegistersDiffJson(c.registers);
    return j;
}

void SayRegisters(const Output &out, const std::vector<busfile::RegisterDiff> &diffs)
{
    for (const busfile::RegisterDiff &r : diffs) {
        char line[96];
        std::snprintf(line, sizeof line, "       %-14s %u -> %u", r.name, static_cast<unsigned>(r.saved),
                      static_cast<unsigned>(r.now));
        out.Say(line);
    }
}

void AddBusFields(Json &doc, const BusSession &bus)
{
    doc["port"] = bus.portName();
    doc["baud"] = bus.baudRate();
}

std::pair<uint8_t, uint8_t> Range(const std::string &fromText, const std::string &toText)
{
    const uint8_t from = fromText.empty() ? kFirstAddress : ParseAddress(fromText, "--from");
    const uint8_t to = toText.empty() ? kLastAddress : ParseAddress(toText, "--to");
    if (from > to)
        ThrowUsage("--from " + std::to_string(from) + " is above --to " + std::to_string(to));
    return {from, to};
}

// A scan reaches actuator addresses only; a file taken elsewhere may name
// any slave address, and those above 127 are looked at one by one.
std::pair<uint8_t, uint8_t> ScanRange(const busfile::BusFile &file)
{
    return {std::min<uint8_t>(file.taken.from, kLastAddress), std::min<uint8_t>(file.taken.to, kLastAddress)};
}

// The shared restore of one device with this command's words: the error
// and a sentence for whatever did not end "restored".
struct DeviceRestore : busfile::DeviceRestore {
    BusError error;
    std::string detail;
};

// Gives the device at `address` the configuration `target` and reads it
// back; a lost port is thrown.
DeviceRestore RestoreDevice(Output &out, BusSession &bus, uint8_t address, const ActuatorConfig &target,
                            const ActuatorConfig &current, bool withBaud, bool sameUnit)
{
    busfile::RestoreOptions options;
    options.withBaud = withBaud;
    options.sameUnit = sameUnit;
    options.note = [&out](const std::string &text, bool baudKept) {
        out.Note(baudKept ? text + "; --with-baud writes it" : text);
    };
    options.beforeReadBack = [&bus] { bus.DrainInput(); };
    DeviceRestore r;
    static_cast<busfile::DeviceRestore &>(r) = busfile::RestoreDevice(
        bus.registers(), bus.engine(), [&bus](const std::function<ResultCode()> &op) { return bus.Attempt(op); },
        ReadAttempt(bus), address, target, current, options);
    if (r.failure) {
        r.error = BusError{r.failure->code, r.failure->exception};
        if (r.portLost)
            throw PortLost{r.error, r.failure->step};
        r.detail = r.failure->step + ": " + CodeText(r.error);
    } else if (!r.mismatches.empty()) {
        r.error = BusError{Result::SetDataError, 0};
        r.detail = DeviceName(address) + " reads back " + r.mismatches.front().name + " " +
                   std::to_string(r.mismatches.front().now) + ", the file has " +
                   std::to_string(r.mismatches.front().saved);
    }
    return r;
}

void RecordRestore(const PortOptions &port, const BusSession &bus, uint8_t address, uint16_t motorId, uint16_t model,
                   const ActuatorConfig &before, const DeviceRestore &r, const std::string &source)
{
    Recorder *records = port.Recording();
    if (records == nullptr || r.written.empty())
        return;
    records::Event write = records->NewEvent(records::EventKind::ConfigWrite, motorId, address, bus);
    write.model = model;
    write.before = before;
    write.config = r.readBack ? *r.readBack : before;
    write.registers = r.written;
    write.result = r.result == "restored" ? Result::NoError : (r.error.code != 0 ? r.error.code : records::kNotCompleted);
    write.file = source;
    write.detail = "restore: " + r.result + (r.detail.empty() ? std::string() : ": " + r.detail);
    records->Add(write);
}

Json RestoreJson(const DeviceRestore &r)
{
    Json j = Json::object();
    j["result"] = r.result;
    Json written = Json::array();
    for (const records::RegisterResult &w : r.written) {
        Json one{{"register", w.name}, {"ok", w.code == Result::NoError}};
        if (w.code != Result::NoError)
            AddErrorFields(one, BusError{w.code, 0});
        written.push_back(one);
    }
    j["written"] = written;
    j["kept"] = r.kept;
    j["verified"] = r.readBack.has_value() && r.mismatches.empty();
    j["mismatches"] = RegistersDiffJson(r.mismatches);
    if (!r.detail.empty()) {
        Json error = Json::object();
        error["message"] = r.detail;
        AddErrorFields(error, r.error);
        j["error"] = error;
    }
    return j;
}

std::string RestoreLine(uint8_t address, const DeviceRestore &r)
{
    std::string line = DeviceName(address) + ": " + r.result;
    if (r.result == "restored" || r.result == "partly restored") {
        line += " (" + std::to_string(r.written.size()) + (r.written.size() == 1 ? " register" : " registers") +
                " written and read back)";
        if (!r.kept.empty()) {
            line += "; kept as the device has them:";
            for (const std::string &k : r.kept)
                line += " " + k;
        }
    } else if (!r.detail.empty()) {
        line += ": " + r.detail;
    }
    return line;
}

} // namespace

void RunBackup(Output &out, const PortOptions &port, const std::string &file, const std::string &fromText,
               const std::string &toText)
{
    if (file.empty())
        ThrowUsage("backup needs -o FILE");
    const auto [from, to] = Range(fromText, toText);
    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());
    Json &doc = out.doc();
    AddBusFields(doc, bus);
    doc["from"] = from;
    doc["to"] = to;

    busfile::BusFile saved;
    saved.taken.time = busfile::UtcTimeText(static_cast<int64_t>(std::time(nullptr)));
    saved.taken.station = records::StationName();
    saved.taken.port = bus.portName();
    saved.taken.baud = bus.baudRate();
    saved.taken.from = from;
    saved.taken.to = to;
    saved.devices = ReadBus(out, port, bus, from, to);

    std::string error;
    if (!busfile::WriteBusFile(file, saved, error))
        ThrowUsage("cannot write " + file + ": " + error);
    doc["file"] = file;
    doc["time"] = saved.taken.time;
    doc["devices"] = Json::array();
    out.Say("ID   Model   Motor  Firmware");
    for (const Device &d : saved.devices) {
        doc["devices"].push_back(DeviceJson(d));
        char line[64];
        std::snprintf(line, sizeof line, "%-4u %-7s %s   %02u.%02u", static_cast<unsigned>(d.address),
                      ModelName(d.model).c_str(), Id(d.motorId).c_str(), static_cast<unsigned>(d.firmware >> 8),
                      static_cast<unsigned>(d.firmware & 0xFF));
        out.Say(line);
    }
    const size_t n = saved.devices.size();
    out.Say("Saved " + std::to_string(n) + (n == 1 ? " device" : " devices") + " (addresses " +
            std::to_string(from) + " to " + std::to_string(to) + ") to " + file);
}

void RunDiff(Output &out, const PortOptions &port, const std::string &file)
{
    const busfile::BusFile saved = LoadBusFile(file);
    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());
    Json &doc = out.doc();
    AddBusFields(doc, bus);
    doc["file"] = file;
    doc["taken"] = Json{{"time", saved.taken.time}, {"station", saved.taken.station}, {"port", saved.taken.port},
                        {"baud", saved.taken.baud}};
    const auto [from, to] = ScanRange(saved);
    const std::vector<Comparison> result = busfile::Compare(saved.devices, ReadBus(out, port, bus, from, to, AddressesOf(saved)));
    doc["devices"] = Json::array();
    size_t differ = 0;
    for (const Comparison &c : result) {
        doc["devices"].push_back(ComparisonJson(c));
        out.Say(StateLine(c));
        if (c.state == State::Differs || c.state == State::Replaced)
            SayRegisters(out, c.registers);
        if (c.state != State::Same)
            ++differ;
    }
    doc["same"] = differ == 0;
    if (differ != 0)
        throw Failure(ExitBus, std::to_string(differ) + " of " + std::to_string(result.size()) +
                                   " devices differ from " + file);
    out.Say("The bus holds what " + file + " holds (" + std::to_string(result.size()) + " devices)");
}

void RunRestore(Output &out, const PortOptions &port, const std::string &file, const std::vector<std::string> &only,
                bool replaced, bool withBaud)
{
    const busfile::BusFile saved = LoadBusFile(file);
    std::set<uint8_t> chosen;
    for (const std::string &text : only) {
        const uint8_t a = static_cast<uint8_t>(ParseInRange(text, "--only", busfile::kFirstAddress,
                                                             busfile::kLastAddress));
        if (std::none_of(saved.devices.begin(), saved.devices.end(), [&](const Device &d) { return d.address == a; }))
            ThrowUsage("--only " + text + ": " + file + " has no device at address " + std::to_string(a));
        chosen.insert(a);
    }
    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());
    Json &doc = out.doc();
    AddBusFields(doc, bus);
    doc["file"] = file;
    const auto [from, to] = ScanRange(saved);
    const std::vector<Comparison> result = busfile::Compare(saved.devices, ReadBus(out, port, bus, from, to, AddressesOf(saved)));

    doc["devices"] = Json::array();
    size_t notRestored = 0;
    std::optional<PortLost> lost;
    for (const Comparison &c : result) {
        if (!c.saved || (!chosen.empty() && chosen.count(c.saved->address) == 0)) {
            if (!c.saved && chosen.empty())
                out.Say(StateLine(c) + "; left alone");
            continue;
        }
        const uint8_t address = c.saved->address;
        Json entry = ComparisonJson(c);
        const auto leave = [&](const std::string &why, bool counts) {
            // The result is the message's first words: "moved", "model mismatch", ...
            entry["result"] = why.substr(0, why.find_first_of(":,"));
            entry["message"] = why;
            out.Say(DeviceName(address) + ": " + why);
            if (counts)
                ++notRestored;
        };
        if (lost) {
            leave("not restored: the port was lost before its turn", true);
        } else if (c.state == State::Same) {
            leave("same, nothing written", false);
        } else if (c.state == State::Moved) {
            leave("moved: " + Id(c.saved->motorId) + " answers at " + std::to_string(c.now->address) +
                      "; left alone (give it its address back first)",
                  true);
        } else if (c.state == State::Missing) {
            if (c.otherModelThere)
                leave("model mismatch: the file has a " + ModelName(c.saved->model) + " (" + Id(c.saved->motorId) +
                          ") here, the device now at " + std::to_string(address) + " is a " +
                          ModelName(c.otherModelThere->model) + " (" + Id(c.otherModelThere->motorId) +
                          "); nothing written",
                      true);
            else
                leave("missing: " + Id(c.saved->motorId) + " does not answer; nothing written", true);
        } else if (c.state == State::Differs && c.now->model != c.saved->model) {
            leave("model mismatch: the file has a " + ModelName(c.saved->model) + ", the device is a " +
                      ModelName(c.now->model) + "; nothing written",
                  true);
        } else if (c.state == State::Replaced && !replaced) {
            leave("replaced: was " + Id(c.saved->motorId) + ", now " + Id(c.now->motorId) +
                      "; not written (--replaced gives the new unit the old unit's configuration)",
                  true);
        } else {
            try {
                const DeviceRestore r = RestoreDevice(out, bus, address, c.saved->config, c.now->config, withBaud,
                                                        c.state != State::Replaced);
                RecordRestore(port, bus, address, c.now->motorId, c.now->model, c.now->config, r, file);
                entry.update(RestoreJson(r));
                out.Say(RestoreLine(address, r));
                if (!r.restored())
                    ++notRestored;
            } catch (const PortLost &portLost) {
                lost = portLost;
                leave("not restored: the port was lost " + portLost.step, true);
            }
        }
        doc["devices"].push_back(entry);
    }
    doc["notRestored"] = notRestored;
    if (lost)
        ThrowBus("restore stopped, the port was lost (" + std::to_string(notRestored) +
                     " devices not restored); " + lost->step,
                 lost->error);
    if (notRestored != 0)
        throw Failure(ExitBus, std::to_string(notRestored) + (notRestored == 1 ? " device" : " devices") +
                                   " of " + file + " not restored");
}

void RunRestoreFromRecords(Output &out, const PortOptions &port, const std::string &addressText, bool withBaud)
{
    const uint8_t address = ParseAddress(addressText, "--from-records");
    Recorder *records = port.Recording();
    if (records == nullptr)
        ThrowUsage("--from-records needs the service records (no --no-records, and LUMO_RECORDS not off)");
    BusSession bus(port.port, port.baud, port.tries, port.echo, port.Observer());
    Json &doc = out.doc();
    AddBusFields(doc, bus);
    doc["address"] = address;

    Device now;
    StepFailure failed;
    try {
        failed = ReadDevice(bus, address, now);
    } catch (const PortLost &lost) {
        ThrowBus(lost.step, lost.error);
    }
    if (failed)
        ThrowBus(failed->first, failed->second);
    doc["now"] = DeviceJson(now);

    records::HistoryQuery query;
    query.address = address;
    const std::optional<uint16_t> was =
        busfile::LastUnitSeenAt(records->History(query), address, records::StationName(), bus.portName());
    if (!was)
        ThrowUsage("the service records have seen no unit at " + std::to_string(address) + " on " +
                   bus.portName() + " of this station");
    doc["was"] = Id(*was);
    if (*was == now.motorId) {
        out.Say(DeviceName(address) + " is " + Id(now.motorId) +
                ", the unit the records last saw there; nothing to restore");
        doc["result"] = "same unit";
        return;
    }
    out.Say(busfile::ReplacedText(address, *was, now.motorId));
    const std::optional<ActuatorConfig> old = records->LastKnownConfig(*was);
    if (!old)
        throw Failure(ExitBus, "the records hold no configuration of " + Id(*was) + "; nothing written");
    // The old unit's model, from the newest event that names one.
    records::HistoryQuery oldQuery;
    oldQuery.motorId = *was;
    for (const records::Event &e : records->History(oldQuery)) {
        if (!e.model)
            continue;
        if (*e.model != now.model)
            ThrowUsage("model mismatch: " + Id(*was) + " was a " + ModelName(*e.model) + ", " +
                       Id(now.motorId) + " is a " + ModelName(now.model) + "; nothing written");
        break;
    }
    DeviceRestore r;
    try {
        r = RestoreDevice(out, bus, address, *old, now.config, withBaud, false);
    } catch (const PortLost &lost) {
        ThrowBus("restore stopped, the port was lost " + lost.step, lost.error);
    }
    RecordRestore(port, bus, address, now.motorId, now.model, now.config, r,
                  "service records of " + Id(*was));
    doc.update(RestoreJson(r));
    out.Say(RestoreLine(address, r));
    if (!r.restored())
        throw Failure(ExitBus, DeviceName(address) + " not restored from the records of " + Id(*was),
                      r.error.code != 0 ? std::optional<BusError>(r.error) : std::nullopt);
}

#include "BusFile.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <filesystem>
#include <ctime>
#include <fstream>
#include <map>
#include <set>

#include <nlohmann/json.hpp>

#include "config/SafeFile.h"
#include "modbus/Registers.h"
#include "records/RecordStore.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace busfile {

namespace {

using Json = nlohmann::ordered_json;

std::string MotorIdText(uint16_t id)
{
    char text[8];
    std::snprintf(text, sizeof text, "%04X", static_cast<unsigned>(id));
    return text;
}

std::string FirmwareText(uint16_t firmware)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02u.%02u", static_cast<unsigned>(firmware >> 8),
                  static_cast<unsigned>(firmware & 0xFF));
    return text;
}

// Reading fails with the first thing found wrong, named by where it is.
struct Invalid {
    std::string what;
};

const Json &Field(const Json &object, const char *name, const std::string &where)
{
    const auto it = object.find(name);
    if (it == object.end())
        throw Invalid{where + " has no \"" + name + "\""};
    return *it;
}

long long Integer(const Json &object, const char *name, const std::string &where, long long low, long long high)
{
    const Json &value = Field(object, name, where);
    if (!value.is_number_integer())
        throw Invalid{where + ": \"" + name + "\" must be a whole number"};
    const long long n = value.is_number_unsigned() && value.get<unsigned long long>() > 0x7FFFFFFFull
                            ? high + 1
                            : value.get<long long>();
    if (n < low || n > high)
        throw Invalid{where + ": \"" + name + "\" " + value.dump() + " is outside " + std::to_string(low) + ".." +
                      std::to_string(high)};
    return n;
}

std::string Text(const Json &object, const char *name, const std::string &where)
{
    const Json &value = Field(object, name, where);
    if (!value.is_string())
        throw Invalid{where + ": \"" + name + "\" must be a text"};
    return value.get<std::string>();
}

// Four hexadecimal digits, as the window shows a motor ID.
uint16_t MotorIdField(const Json &object, const std::string &where)
{
    const std::string text = Text(object, "motorId", where);
    const std::optional<uint16_t> id = records::ParseMotorId(text);
    if (text.size() != 4 || !id)
        throw Invalid{where + ": motor ID \"" + text + "\" is not four hexadecimal digits"};
    return *id;
}

// "01.02": major and minor, two decimal digits each.
uint16_t FirmwareField(const Json &object, const std::string &where)
{
    const std::string text = Text(object, "firmware", where);
    const auto digit = [&](size_t i) { return text[i] >= '0' && text[i] <= '9'; };
    if (text.size() != 5 || text[2] != '.' || !digit(0) || !digit(1) || !digit(3) || !digit(4))
        throw Invalid{where + ": firmware \"" + text + "\" is not of the form 01.02"};
    const unsigned major = static_cast<unsigned>((text[0] - '0') * 10 + (text[1] - '0'));
    const unsigned minor = static_cast<unsigned>((text[3] - '0') * 10 + (text[4] - '0'));
    return static_cast<uint16_t>(major << 8 | minor);
}

Device DeviceOf(const Json &entry, size_t index)
{
    std::string where = "device " + std::to_string(index + 1) + " of the list";
    if (!entry.is_object())
        throw Invalid{where + " is not an object"};
    Device d;
    d.address = static_cast<uint8_t>(Integer(entry, "address", where, kFirstAddress, kLastAddress));
    where = "device " + std::to_string(d.address);
    d.model = static_cast<uint16_t>(Integer(entry, "modelCode", where, 0, 0xFFFF));
    d.motorId = MotorIdField(entry, where);
    d.firmware = FirmwareField(entry, where);
    const Json &config = Field(entry, "config", where);
    if (!config.is_object())
        throw Invalid{where + ": \"config\" is not an object"};
    for (const records::ConfigWord &word : records::kConfigWords)
        d.config.*word.member = static_cast<uint16_t>(Integer(config, word.name, where, 0, 0xFFFF));
    return d;
}

BusFile FileOf(const Json &doc)
{
    if (!doc.is_object() || !doc.contains("format") || doc["format"] != kFormatName)
        throw Invalid{"it is not a bus file (no \"format\": \"" + std::string(kFormatName) + "\")"};
    const Json &version = Field(doc, "version", "the file");
    if (!version.is_number_integer() || version.get<long long>() != kFormatVersion)
        throw Invalid{"it is a bus file of version " + version.dump() + "; this program reads version " +
                      std::to_string(kFormatVersion)};
    BusFile file;
    const Json &taken = Field(doc, "taken", "the file");
    if (!taken.is_object())
        throw Invalid{"\"taken\" is not an object"};
    file.taken.time = Text(taken, "time", "\"taken\"");
    file.taken.station = Text(taken, "station", "\"taken\"");
    file.taken.port = Text(taken, "port", "\"taken\"");
    file.taken.baud = static_cast<int32_t>(Integer(taken, "baud", "\"taken\"", 1, 10000000));
    file.taken.from = static_cast<uint8_t>(Integer(taken, "from", "\"taken\"", kFirstAddress, kLastAddress));
    file.taken.to = static_cast<uint8_t>(Integer(taken, "to", "\"taken\"", file.taken.from, kLastAddress));
    const Json &devices = Field(doc, "devices", "the file");
    if (!devices.is_array())
        throw Invalid{"\"devices\" is not a list"};
    std::map<uint8_t, size_t> byAddress;
    std::map<uint16_t, uint8_t> byMotor;
    for (size_t i = 0; i < devices.size(); ++i) {
        const Device d = DeviceOf(devices[i], i);
        if (byAddress.count(d.address) != 0)
            throw Invalid{"two devices have address " + std::to_string(d.address)};
        const auto other = byMotor.find(d.motorId);
        if (other != byMotor.end())
            throw Invalid{"devices " + std::to_string(other->second) + " and " + std::to_string(d.address) +
                          " have one motor ID, " + MotorIdText(d.motorId)};
        byAddress[d.address] = i;
        byMotor[d.motorId] = d.address;
        file.devices.push_back(d);
    }
    std::sort(file.devices.begin(), file.devices.end(),
              [](const Device &a, const Device &b) { return a.address < b.address; });
    return file;
}

} // namespace

std::string ToText(const BusFile &file)
{
    Json doc = Json::object();
    doc["format"] = kFormatName;
    doc["version"] = kFormatVersion;
    Json taken = Json::object();
    taken["time"] = file.taken.time;
    taken["station"] = file.taken.station;
    taken["port"] = file.taken.port;
    taken["baud"] = file.taken.baud;
    taken["from"] = file.taken.from;
    taken["to"] = file.taken.to;
    doc["taken"] = taken;
    doc["devices"] = Json::array();
    for (const Device &d : file.devices) {
        Json entry = Json::object();
        entry["address"] = d.address;
        entry["model"] = std::string(Model::NameOf(d.model));
        entry["modelCode"] = d.model;
        entry["motorId"] = MotorIdText(d.motorId);
        entry["firmware"] = FirmwareText(d.firmware);
        Json config = Json::object();
        for (const records::ConfigWord &word : records::kConfigWords)
            config[word.name] = d.config.*word.member;
        entry["config"] = config;
        doc["devices"].push_back(entry);
    }
    // Ports and station names are bytes; a byte that is not UTF-8 becomes
    // U+FFFD rather than a file that cannot be written.
    return doc.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

bool Parse(const std::string &text, BusFile &file, std::string &error)
{
    Json doc;
    try {
        doc = Json::parse(text);
    } catch (const Json::parse_error &e) {
        // A file cut short ends inside the document.
        const bool cut = e.byte >= text.size();
        error = cut ? "it is truncated (the document ends early)"
                    : "it is damaged (not valid JSON at byte " + std::to_string(e.byte) + ")";
        return false;
    }
    try {
        file = FileOf(doc);
    } catch (const Invalid &invalid) {
        error = invalid.what;
        return false;
    } catch (const Json::exception &e) {
        error = std::string("it is damaged (") + e.what() + ")";
        return false;
    }
    return true;
}

#ifdef _WIN32
namespace {
std::wstring Wide(const std::string &utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring wide(n > 0 ? static_cast<size_t>(n) : 1u, L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), n);
    wide.resize(wcslen(wide.c_str()));
    return wide;
}
} // namespace
#endif

bool ReadBusFile(const std::string &path, BusFile &file, std::string &error)
{
#ifdef _WIN32
    std::ifstream in(std::filesystem::path(Wide(path)), std::ios::binary);
#else
    std::ifstream in(path, std::ios::binary);
#endif
    if (!in) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string text;
    char chunk[8192];
    while (in.read(chunk, sizeof chunk) || in.gcount() > 0) {
        text.append(chunk, static_cast<size_t>(in.gcount()));
        if (text.size() > kMaxFileBytes) {
            error = path + " is not a bus file: it is larger than " + std::to_string(kMaxFileBytes / 1024) +
                    " kB";
            return false;
        }
    }
    if (in.bad()) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    std::string why;
    if (!Parse(text, file, why)) {
        error = path + " cannot be used: " + why;
        return false;
    }
    return true;
}

bool WriteBusFile(const std::string &path, const BusFile &file, std::string &error)
{
    return WriteWholeFile(path, ToText(file), error);
}


std::string UtcTimeText(int64_t unixSeconds)
{
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &t);
#else
    gmtime_r(&t, &utc);
#endif
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

const char *StateName(State state)
{
    switch (state) {
    case State::Same: return "same";
    case State::Differs: return "differs";
    case State::Missing: return "missing";
    case State::New: return "new";
    case State::Moved: return "moved";
    case State::Replaced: return "replaced";
    }
    return "same";
}

std::vector<RegisterDiff> DiffConfig(const ActuatorConfig &saved, const ActuatorConfig &now)
{
    std::vector<RegisterDiff> out;
    for (const records::ConfigWord &word : records::kConfigWords)
        if (saved.*word.member != now.*word.member)
            out.push_back({word.name, saved.*word.member, now.*word.member});
    return out;
}

std::vector<Comparison> Compare(const std::vector<Device> &saved, const std::vector<Device> &now)
{
    std::vector<Comparison> out;
    std::vector<bool> used(now.size(), false);
    std::vector<bool> matched(saved.size(), false);
    // The motor ID first, wherever it answers now.
    for (size_t i = 0; i < saved.size(); ++i) {
        for (size_t j = 0; j < now.size(); ++j) {
            if (used[j] || now[j].motorId != saved[i].motorId)
                continue;
            Comparison c;
            c.saved = saved[i];
            c.now = now[j];
            c.registers = DiffConfig(saved[i].config, now[j].config);
            if (now[j].address != saved[i].address)
                c.state = State::Moved;
            else
                c.state = c.registers.empty() && now[j].model == saved[i].model ? State::Same : State::Differs;
            used[j] = matched[i] = true;
            out.push_back(c);
            break;
        }
    }
    // Then a unit of the same model at the address of one not found.
    for (size_t i = 0; i < saved.size(); ++i) {
        if (matched[i])
            continue;
        Comparison c;
        c.saved = saved[i];
        c.state = State::Missing;
        for (size_t j = 0; j < now.size(); ++j) {
            if (used[j] || now[j].address != saved[i].address)
                continue;
            if (now[j].model == saved[i].model) {
                c.state = State::Replaced;
                c.now = now[j];
                c.registers = DiffConfig(saved[i].config, now[j].config);
                used[j] = true;
            } else {
                c.otherModelThere = now[j];
            }
            break;
        }
        out.push_back(c);
    }
    for (size_t j = 0; j < now.size(); ++j) {
        if (used[j])
            continue;
        Comparison c;
        c.state = State::New;
        c.now = now[j];
        out.push_back(c);
    }
    const auto key = [](const Comparison &c) { return c.saved ? c.saved->address : c.now->address; };
    std::stable_sort(out.begin(), out.end(),
                     [&](const Comparison &a, const Comparison &b) { return key(a) < key(b); });
    return out;
}

std::optional<uint16_t> LastUnitSeenAt(const std::vector<records::Event> &newestFirst, uint8_t address,
                                       const std::string &station, const std::string &port)
{
    for (const records::Event &e : newestFirst) {
        if (e.origin.station != station || e.origin.port != port)
            continue;
        if (e.kind == records::EventKind::AddressChange) {
            // Moved away from here: the place is empty. Moved here: the
            // unit is the one now at this address.
            if (e.address == address && e.newAddress && *e.newAddress != address)
                return std::nullopt;
            if (e.newAddress && *e.newAddress == address)
                return e.motorId;
            continue;
        }
        if (e.address == address)
            return e.motorId;
    }
    return std::nullopt;
}

std::string ReplacedText(uint8_t address, uint16_t was, uint16_t now)
{
    return std::to_string(address) + ": was " + MotorIdText(was) + ", now " + MotorIdText(now) + " (replaced?)";
}

std::optional<std::string> SharedMotorIdText(const std::vector<Device> &devices)
{
    std::map<uint16_t, uint8_t> seen;
    for (const Device &d : devices) {
        const auto [it, fresh] = seen.emplace(d.motorId, d.address);
        if (!fresh)
            return "devices " + std::to_string(it->second) + " and " + std::to_string(d.address) +
                   " answer with one motor ID, " + MotorIdText(d.motorId) + "; give one of them its own motor ID first";
    }
    return std::nullopt;
}

} // namespace busfile

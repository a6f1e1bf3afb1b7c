// history: what was done to an actuator, from the station's service records.

#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "Arguments.h"
#include "Output.h"
#include "Records.h"
#include "config/ConfigTransfer.h"
#include "modbus/Registers.h"

namespace {

using records::Event;
using records::EventKind;

// "2024-01-31 09:05:07", local time as the station's clock shows it.
std::string LocalTime(int64_t timeMs)
{
    const std::time_t t = static_cast<std::time_t>(timeMs / 1000);
    const std::tm local = LocalTm(t);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

// "2024-01-31T08:05:07.250Z": the same moment in UTC for scripts.
std::string UtcTime(int64_t timeMs)
{
    const std::time_t t = static_cast<std::time_t>(timeMs / 1000);
    const std::tm utc = UtcTm(t);
    char text[40];
    const size_t n = std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ", static_cast<int>(timeMs % 1000));
    return text;
}

std::string FirmwareText(uint16_t firmware)
{
    char text[16];
    std::snprintf(text, sizeof text, "%02u.%02u", static_cast<unsigned>(firmware >> 8),
                  static_cast<unsigned>(firmware & 0xFF));
    return text;
}

uint16_t Word(const ActuatorConfig &config, const char *name)
{
    for (const records::ConfigWord &word : records::kConfigWords)
        if (std::string_view(word.name) == name)
            return config.*word.member;
    return 0;
}

// The nine written settings: "MaxPos 1500, RearLimit 100, ...".
std::string Values(const ActuatorConfig &config)
{
    std::string text;
    for (const char *name : kConfigWriteOrder)
        text += (text.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(Word(config, name));
    return text;
}

// The written settings that a write changed.
std::vector<const char *> Changed(const ActuatorConfig &before, const ActuatorConfig &after)
{
    std::vector<const char *> changed;
    for (const char *name : kConfigWriteOrder)
        if (Word(before, name) != Word(after, name))
            changed.push_back(name);
    return changed;
}

std::string WriteSummary(const Event &e)
{
    std::string text;
    if (e.before && e.config) {
        for (const char *name : Changed(*e.before, *e.config))
            text += (text.empty() ? "" : ", ") + std::string(name) + " " + std::to_string(Word(*e.before, name)) +
                    " -> " + std::to_string(Word(*e.config, name));
        if (text.empty())
            text = "no value changed";
    } else if (e.config) {
        text = "before unknown; " + Values(*e.config);
    } else {
        text = "before unknown";
    }
    if (!e.file.empty())
        text += " (from " + e.file + ")";
    return text;
}

std::string Summary(const Event &e)
{
    std::string text;
    switch (e.kind) {
    case EventKind::DeviceSeen:
        text = e.model ? std::string(Model::NameOf(*e.model)) : "model unknown";
        if (e.firmware)
            text += ", firmware " + FirmwareText(*e.firmware);
        break;
    case EventKind::ConfigRead:
        text = e.config ? Values(*e.config) : "no values";
        break;
    case EventKind::ConfigWrite:
        text = WriteSummary(e);
        break;
    case EventKind::AddressChange:
        text = "address " + std::to_string(e.address) + " -> " +
               (e.newAddress ? std::to_string(*e.newAddress) : std::string("?"));
        break;
    case EventKind::Learning:
        text = e.stroke ? "learned stroke " + std::to_string(*e.stroke) : "learning started";
        break;
    case EventKind::Motion:
        text = e.action;
        if (e.position)
            text += ", stopped at " + std::to_string(*e.position);
        break;
    case EventKind::CycleTest:
        text = (e.steps ? std::to_string(*e.steps) : std::string("?")) + " steps";
        break;
    case EventKind::ConfigImport:
    case EventKind::ConfigExport:
        text = e.file + (e.config ? ": " + Values(*e.config) : std::string());
        break;
    }
    if (e.result != Result::NoError)
        text += " - FAILED: " + (e.detail.empty() ? CodeText({e.result, 0}) : e.detail);
    else if (!e.detail.empty() && e.kind != EventKind::Motion)
        text += " (" + e.detail + ")";
    return text;
}

std::string OrDash(const std::string &text)
{
    return text.empty() ? "-" : text;
}

std::string Line(const Event &e)
{
    return LocalTime(e.timeMs) + "  " + OrDash(e.origin.station) + "  " + OrDash(e.origin.user) + "  " +
           OrDash(e.origin.port) + "  address " + std::to_string(e.address) + "  " +
           records::MotorIdText(e.motorId) + "  " + records::KindName(e.kind) + "  " + Summary(e);
}

Json ConfigOrNull(const std::optional<ActuatorConfig> &config)
{
    if (!config)
        return nullptr;
    Json j = Json::object();
    for (const records::ConfigWord &word : records::kConfigWords)
        j[word.name] = (*config).*word.member;
    return j;
}

template <typename T> Json OrNull(const std::optional<T> &value)
{
    return value ? Json(*value) : Json(nullptr);
}

Json EventJson(const Event &e)
{
    Json j = Json::object();
    j["id"] = e.id;
    j["time"] = UtcTime(e.timeMs);
    j["timeMs"] = e.timeMs;
    j["motorId"] = records::MotorIdText(e.motorId);
    j["motorIdCode"] = e.motorId;
    j["address"] = e.address;
    j["kind"] = records::KindName(e.kind);
    j["station"] = e.origin.station;
    j["user"] = e.origin.user;
    j["program"] = e.origin.program;
    j["port"] = e.origin.port;
    j["ok"] = e.result == Result::NoError;
    j["result"] = e.result;
    j["resultHex"] = Hex4(e.result);
    j["resultText"] = ResultText(e.result);
    j["model"] = e.model ? Json(std::string(Model::NameOf(*e.model))) : Json(nullptr);
    j["modelCode"] = OrNull(e.model);
    j["firmware"] = e.firmware ? Json(FirmwareText(*e.firmware)) : Json(nullptr);
    j["before"] = ConfigOrNull(e.before);
    j["config"] = ConfigOrNull(e.config);
    Json changed = Json::array();
    if (e.before && e.config)
        for (const char *name : Changed(*e.before, *e.config))
            changed.push_back(name);
    j["changed"] = changed;
    Json registers = Json::array();
    for (const records::RegisterResult &r : e.registers)
        registers.push_back({{"name", r.name}, {"result", r.code}, {"resultHex", Hex4(r.code)}});
    j["registers"] = registers;
    j["newAddress"] = OrNull(e.newAddress);
    j["stroke"] = OrNull(e.stroke);
    j["action"] = e.action;
    j["position"] = OrNull(e.position);
    j["steps"] = OrNull(e.steps);
    j["file"] = e.file;
    j["detail"] = e.detail;
    return j;
}

} // namespace

void RunHistory(Output &out, const std::string &recordsPath, const std::string &motorIdText,
                const std::string &addressText)
{
    if (motorIdText.empty() == addressText.empty())
        ThrowUsage(motorIdText.empty() ? "history needs a motor ID (such as 5A05) or --address N"
                                       : "history takes a motor ID or --address N, not both");
    records::HistoryQuery query;
    Json &doc = out.doc();
    doc["command"] = "history";
    if (!motorIdText.empty()) {
        query.motorId = records::ParseMotorId(motorIdText);
        if (!query.motorId)
            ThrowUsage("the motor ID must be 1 to 4 hexadecimal digits (5A05 or 0x5A05), not '" + motorIdText + "'");
        doc["motorId"] = records::MotorIdText(*query.motorId);
    } else {
        query.address = ParseAddress(addressText, "--address");
        doc["address"] = *query.address;
    }
    if (recordsPath.empty())
        ThrowUsage("service records are off (--no-records, or LUMO_RECORDS is empty or off): there is no history "
                   "to show");
    doc["records"] = recordsPath;
    const std::string what = query.motorId ? "motor " + records::MotorIdText(*query.motorId)
                                           : "address " + std::to_string(*query.address);

    // Looking at a history changes nothing: no records file is made where
    // there was none, and the file is opened read-only, so one the user
    // may only read is read and a damaged or foreign one stays as it is.
    std::vector<Event> events;
    std::string damage;
    std::error_code ec;
    if (std::filesystem::exists(recordsPath, ec)) {
        records::RecordStore store(recordsPath, records::Access::Read);
        if (!store.IsOpen()) {
            if (store.Damaged())
                throw Failure(ExitDamaged, store.Problem());
            ThrowUsage(store.Problem());
        }
        events = store.History(query);
        damage = store.Damage();
    }
    doc["count"] = events.size();
    Json list = Json::array();
    for (const Event &e : events)
        list.push_back(EventJson(e));
    doc["events"] = list;
    if (!damage.empty())
        doc["damaged"] = true;
    if (events.empty() && damage.empty())
        out.Say("No events recorded for " + what + " in " + recordsPath);
    for (const Event &e : events)
        out.Say(Line(e));
    // After what could be read, so that a script still gets it.
    if (!damage.empty())
        throw Failure(ExitDamaged, damage + ": " + std::to_string(events.size()) + " events of " + what +
                                       " shown, those on the damaged part are missing");
}

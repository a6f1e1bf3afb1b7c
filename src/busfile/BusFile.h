#pragma once
// The bus file: every actuator of one bus with its identity and its ten
// configuration words, and when and where they were taken. A versioned,
// human-readable JSON document (docs/bus-file.md), written whole or not at
// all. Plain C++ without Qt, shared by lumoctl and the window.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "config/ActuatorConfig.h"
#include "records/RecordStore.h"

namespace busfile {

// The one layout this program reads and writes. A file of any other
// version is refused rather than half understood.
inline constexpr int kFormatVersion = 1;
inline constexpr const char *kFormatName = "lumo-bus";
inline constexpr const char *kDefaultExtension = "lumobus";
// Any Modbus slave address may be named; 0 is broadcast.
inline constexpr int kFirstAddress = 1;
inline constexpr int kLastAddress = 247;
// Files above this size are refused unread: a bus of 247 devices is
// about 150 kB.
inline constexpr uint64_t kMaxFileBytes = 4 * 1024 * 1024;

struct Device {
    uint8_t address = 0;
    uint16_t model = 0;    // model code (0 LUMO-D, 1 LUMO-P, 2 LUMO-B, other unknown)
    uint16_t motorId = 0;  // register 0x0010
    uint16_t firmware = 0; // high byte major, low byte minor
    ActuatorConfig config; // motorId of the record stays 0; the ten words are the device's
    bool operator==(const Device &) const = default;
};

// When and where the devices were read.
struct Taken {
    std::string time;     // UTC, "2026-12-10T16:40:05Z"
    std::string station;  // host name
    std::string port;     // the port as the operator named it
    int32_t baud = 0;     // the line's rate
    uint8_t from = 1;     // the addresses scanned
    uint8_t to = 127;
    bool operator==(const Taken &) const = default;
};

struct BusFile {
    Taken taken;
    std::vector<Device> devices; // ascending address
    bool operator==(const BusFile &) const = default;
};

// The document, indented, ending with a newline.
std::string ToText(const BusFile &file);

// Reads a document. False with one sentence in `error` for anything that
// is not a whole bus file of this version: not JSON, truncated, another
// format or version, a missing or mistyped field, an address outside
// 1..247, a word outside 0..65535, two devices at one address or with one
// motor ID. `file` is changed only on success.
bool Parse(const std::string &text, BusFile &file, std::string &error);

// Reads `path` (UTF-8) and parses it; the error names the file.
bool ReadBusFile(const std::string &path, BusFile &file, std::string &error);

// Writes the document to `path` whole or not at all, through the one
// whole-file writer (config/SafeFile.h).
bool WriteBusFile(const std::string &path, const BusFile &file, std::string &error);


// "2026-12-10T16:40:05Z" for a Unix time.
std::string UtcTimeText(int64_t unixSeconds);

// How one device of the file stands against the bus now.
enum class State {
    Same,     // same motor ID at the same address, the ten words equal
    Differs,  // same motor ID at the same address, some words differ
    Missing,  // nothing with its motor ID on the bus, and no same-model unit at its address
    New,      // on the bus, not in the file
    Moved,    // its motor ID answers at another address
    Replaced, // another motor ID of the same model at its address
};
// "same", "differs", "missing", "new", "moved", "replaced".
const char *StateName(State state);

struct RegisterDiff {
    const char *name; // "MaxPos", ...
    uint16_t saved;   // in the file
    uint16_t now;     // on the bus
    // By the name's text: the same name may live at two addresses.
    bool operator==(const RegisterDiff &other) const
    {
        return std::string_view(name) == other.name && saved == other.saved && now == other.now;
    }
};

struct Comparison {
    State state = State::Same;
    std::optional<Device> saved; // absent for New
    std::optional<Device> now;   // absent for Missing
    std::vector<RegisterDiff> registers; // saved -> now, for Differs, Moved and Replaced
    // For Missing: the unit of another model that now answers at its
    // address (also listed as New), so a restore can say why it refuses.
    std::optional<Device> otherModelThere;
};

// The ten words of `a` that differ from `b`, in register order.
std::vector<RegisterDiff> DiffConfig(const ActuatorConfig &saved, const ActuatorConfig &now);

// Every device of the file and of the bus, each once, ordered by the
// address it has in the file (New ones by their address on the bus). A
// motor ID is matched first, wherever it answers; then a unit of the same
// model at a file device's address counts as its replacement.
std::vector<Comparison> Compare(const std::vector<Device> &saved, const std::vector<Device> &now);

// The motor ID of the unit the service records last saw at `address` on
// this station and port, from the events at that address newest first (as
// RecordStore::History gives them for an address). "The same address"
// names the same place on a machine only on one station and port. Nothing
// when no event there names a unit, or when the newest one is an address
// change that took the unit away. A unit found there now with another
// motor ID has replaced it ("5: was 5A05, now 7B11 (replaced?)").
std::optional<uint16_t> LastUnitSeenAt(const std::vector<records::Event> &newestFirst, uint8_t address,
                                       const std::string &station, const std::string &port);

// "5: was 5A05, now 7B11 (replaced?)".
std::string ReplacedText(uint8_t address, uint16_t was, uint16_t now);

// Two units with one motor ID cannot be told apart, so nothing that keys on
// the motor ID can be trusted: the first two devices read that share one,
// as "devices 3 and 200 answer with one motor ID, 5A05; give one of them
// its own motor ID first"; nothing when every motor ID is its own.
std::optional<std::string> SharedMotorIdText(const std::vector<Device> &devices);

} // namespace busfile

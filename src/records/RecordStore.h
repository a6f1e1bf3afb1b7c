#pragma once
// Service records: what was done to each actuator, kept per motor ID in an
// SQLite file shared by the window and lumoctl on one station.
//
// Recording never sends anything: every event carries what its workflow
// already read or wrote. A store that cannot be opened or written says so
// once (Problem()) and every later call does nothing, so a workflow goes on
// exactly as without records.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "config/ActuatorConfig.h"
#include "modbus/ResultCode.h"

namespace records {

enum class EventKind : uint8_t {
    DeviceSeen,    // model and firmware read from a device
    ConfigRead,    // a configuration read (all or part of it)
    ConfigWrite,   // a configuration write: before, after, each register's result
    AddressChange, // old and new bus address
    Learning,      // a stroke learning run and the stroke it learned
    Motion,        // a motion command and its result (not every status poll)
    CycleTest,     // a cycle-test run: steps done, the first error
    ConfigImport,  // a .config file loaded into the page
    ConfigExport,  // a configuration saved to a .config file
};

// Stable names, as stored and as shown by `lumoctl history --json`:
// "device-seen", "config-read", "config-write", "address-change",
// "learning", "motion", "cycle-test", "config-import", "config-export".
const char *KindName(EventKind kind);
std::optional<EventKind> KindFromName(const std::string &name);

// Where and by whom: filled once per program from the machine and the
// connection. program is "lumo-tool" or "lumoctl".
struct Origin {
    std::string station; // host name
    std::string user;    // login name
    std::string program;
    std::string port;    // the port the device was reached on, as the user named it
};

// The names of the ten configuration words (MaxPos .. PosOffset), in the
// order a write goes out; each register of a write has one result.
struct RegisterResult {
    std::string name; // "MaxPos", "RearLimit", ...
    ResultCode code = Result::NoError;
};

// The result of a workflow that failed without a bus error of its own (a
// timeout, a target not reached, an interruption); its detail says why.
inline constexpr ResultCode kNotCompleted = 0xFFFE;

struct Event {
    int64_t id = 0;             // set by the store
    int64_t timeMs = 0;         // Unix time in ms (UTC); the store fills 0 with now
    uint16_t motorId = 0;
    uint8_t address = 0;        // the bus address the event went to
    EventKind kind = EventKind::DeviceSeen;
    Origin origin;
    ResultCode result = Result::NoError; // the workflow's overall result

    // Which of the following carry a value depends on the kind.
    std::optional<uint16_t> model;       // DeviceSeen, ConfigRead, ConfigWrite
    std::optional<uint16_t> firmware;    // DeviceSeen
    std::optional<ActuatorConfig> before; // ConfigWrite: the last read before it
    std::optional<ActuatorConfig> config; // ConfigRead/Import/Export: the values; ConfigWrite: after
    std::vector<RegisterResult> registers; // ConfigWrite: one per register sent
    std::optional<uint8_t> newAddress;   // AddressChange (address holds the old one)
    std::optional<uint16_t> stroke;      // Learning: the learned MaxPos
    std::string action;                  // Motion: "up", "down", "stop", "goto 1200", ...
    std::optional<uint16_t> position;    // Motion/Learning: the last position read
    std::optional<uint32_t> steps;       // CycleTest: steps done
    std::string file;                    // ConfigImport/Export: the file's name
    std::string detail;                  // free text: the first error, a summary
};

struct HistoryQuery {
    std::optional<uint16_t> motorId;
    std::optional<uint8_t> address;      // events at this address (any motor); an
                                         // address change counts at its old and new one
    std::optional<int64_t> fromMs;       // inclusive
    std::optional<int64_t> toMs;         // exclusive
    size_t limit = 0;                    // 0: all
};

class RecordStore {
public:
    // Opens (creating if need be) the database at `path` (UTF-8, as every
    // path and name here, Windows included), in WAL mode, and migrates its
    // schema forward. A file that is not a database, or one
    // whose schema is newer than this program knows, is never overwritten:
    // a corrupt file is renamed aside ("records.sqlite.corrupt-<time>") and
    // a fresh one started; a newer one leaves the store disabled. Any
    // failure leaves the store disabled with Problem() saying why.
    explicit RecordStore(const std::string &path);
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    bool IsOpen() const;
    const std::string &Path() const;
    // Empty while all is well; otherwise one sentence for the status bar
    // and stderr. Set at most once: later failures keep the first text.
    const std::string &Problem() const;
    // What happened to a corrupt file, if one was set aside at open.
    const std::string &SetAside() const;

    // Appends one event in its own transaction. Returns its id, or 0 when
    // the store is disabled or the write failed (then the store disables
    // itself and Problem() says why).
    int64_t Add(Event event);

    // Newest first.
    std::vector<Event> History(const HistoryQuery &query) const;
    // How many events History(query) would give without its limit,
    // counted by SQLite without reading them: a report lists the newest
    // and counts the rest.
    size_t Count(HistoryQuery query) const;
    // The newest complete ConfigRead (or ConfigWrite's after) of a motor:
    // the "before" of a write. After a write that stopped part way, its
    // before with the registers the device took.
    std::optional<ActuatorConfig> LastKnownConfig(uint16_t motorId) const;
    // The motor IDs on record, newest activity first.
    std::vector<uint16_t> Motors() const;

    int SchemaVersion() const;
    static constexpr int CurrentSchemaVersion = 2;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// The ten configuration words (all of ActuatorConfig but motorId) by the
// names that register results and histories use.
struct ConfigWord {
    const char *name;
    uint16_t ActuatorConfig::*member;
};
inline constexpr ConfigWord kConfigWords[] = {
    {"MaxPos", &ActuatorConfig::MaxPos},         {"RearLimit", &ActuatorConfig::RearLimit},
    {"FrontLimit", &ActuatorConfig::FrontLimit}, {"CurrentLimit", &ActuatorConfig::CurrentLimit},
    {"SpeedPwm", &ActuatorConfig::SpeedPwm},     {"SettingFlag", &ActuatorConfig::SettingFlag},
    {"VoltageOut", &ActuatorConfig::VoltageOut}, {"HallPotSelect", &ActuatorConfig::HallPotSelect},
    {"BaudRate", &ActuatorConfig::BaudRate},     {"PosOffset", &ActuatorConfig::PosOffset},
};

// The register results of a configuration write from what WriteConfig
// tells (its `written` count and lastResult): NoError for each register the
// device took, then `failure` for the one that failed, if the write stopped
// early. Registers never sent have no result; a ParameterError sent none.
std::vector<RegisterResult> ConfigWriteResults(size_t written, ResultCode failure);

// Where the records live unless told otherwise: $LUMO_RECORDS if set, else
// $XDG_DATA_HOME/lumo-service-tool/records.sqlite (XDG_DATA_HOME defaulting
// to ~/.local/share) on Linux, %LOCALAPPDATA%\lumo-service-tool\records.sqlite
// on Windows. An empty $LUMO_RECORDS, or "off", turns recording off
// (returns an empty string).
std::string DefaultRecordsPath();

// This station's host name and the user's login name, for Origin. On
// Windows from COMPUTERNAME and USERNAME, converted to UTF-8.
std::string StationName();
std::string UserName();

// Motor IDs as the window shows them: four upper-case hexadecimal digits.
std::string MotorIdText(uint16_t motorId);
// Accepts "5A05", "0x5A05", "5a05"; nullopt for anything else.
std::optional<uint16_t> ParseMotorId(const std::string &text);

} // namespace records

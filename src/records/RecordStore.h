#pragma once
// Service records: what was done to each actuator, kept per motor ID in an
// SQLite file shared by the window and lumoctl on one station.
//
// Recording never sends anything: every event carries what its workflow
// already read or wrote. A store that cannot be opened says so once
// (Problem()) and every later call does nothing, so a workflow goes on
// exactly as without records. A write that fails leaves the store open for
// the next one (WriteProblem() says why).
//
// Reading never changes a file: a store opened to read cannot create,
// migrate or set aside anything, and a read that meets a damaged file
// returns what it could read and says so (Damaged()).

#include <atomic>
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

// What a store is opened for.
enum class Access : uint8_t {
    // Recording: the file is created if need be, set up in WAL mode and
    // its schema migrated forward; `quick_check` runs once at the open.
    Record,
    // Looking: SQLITE_OPEN_READONLY (immutable where nothing beside the
    // file can be written). Nothing is created, migrated or renamed, and a
    // file the user may only read can be read.
    Read,
};

class RecordStore {
public:
    // Opens the database at `path` (UTF-8, as every path and name here,
    // Windows included) for `access`. A link is followed: the file it
    // names is the one opened. A file that is not ours is never changed:
    // one that is not SQLite, another program's (another application_id,
    // or tables without ours), or one whose schema is newer than this
    // program knows leaves the store disabled with Problem() naming the
    // file. Only a file of ours (our application_id) that is damaged is
    // renamed aside when recording ("records.sqlite.corrupt-<time>", beside
    // the file a link names, never the link) and a fresh one started. Any
    // failure leaves the store disabled with Problem() saying why.
    //
    // `cancel`, when given and set from another thread, makes a wait for
    // another program's lock, and a long check, give up at once.
    explicit RecordStore(const std::string &path, Access access = Access::Record,
                         const std::atomic<bool> *cancel = nullptr);
    ~RecordStore();
    RecordStore(const RecordStore &) = delete;
    RecordStore &operator=(const RecordStore &) = delete;

    bool IsOpen() const;
    const std::string &Path() const;
    // Empty while all is well; otherwise one sentence for the status bar
    // and stderr. Set at most once: later failures keep the first text.
    const std::string &Problem() const;
    // What happened to a damaged file, if one was set aside at open.
    const std::string &SetAside() const;

    // Set once a read met damage (a page that SQLite cannot make sense
    // of): one sentence naming the file and what SQLite said. The reads go
    // on returning what could be read. Empty while all is well.
    bool Damaged() const;
    const std::string &Damage() const;

    // Appends one event in its own transaction. Returns its id, or 0 when
    // the store is disabled, opened to read, or the write failed (then
    // WriteProblem() says why; the store stays open for the next write).
    int64_t Add(Event event);
    // Why the last write failed; empty after one that went through.
    const std::string &WriteProblem() const;

    // Newest first. On a damaged file: what could be read (see Damaged()),
    // still newest first.
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

// The same for a write that stopped at register `written` and was then read
// back: when the read-back found that register holding what was sent
// (`taken` > `written`), its reply was lost but the device took it, and
// every register up to `taken` counts as taken.
std::vector<RegisterResult> ConfigWriteResults(size_t written, size_t taken, ResultCode failure);

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

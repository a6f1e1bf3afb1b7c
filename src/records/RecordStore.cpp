// The record store on SQLite's C API.
//
// Layout (schema version 2, in PRAGMA user_version; application_id marks
// the file as ours): one table, events, one row per event, the kind by its
// stable name. A configuration is stored as the 22 bytes of a .config file
// (ToFileBytes), so a value reads back exactly as the device, the page and
// the file carry it. Version 2 added `registers`: a write's register
// results in the order sent, as "MaxPos=0;RearLimit=0;SpeedPwm=16385"
// (names and decimal codes), readable in any SQLite shell and read back
// with the row, which keeps a history one query (a separate table of
// results cost a third again as much time). Version 1 had no such column:
// a configuration write kept only its overall result. A fresh file is built
// by running every migration from version 0, so the path an old file takes
// is the one every file takes.

#include "records/RecordStore.h"

#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <system_error>
#include <thread>

#include "config/ConfigTransfer.h"

namespace records {

namespace {

namespace fs = std::filesystem;

// "LUMO" in ASCII: set in the file header so that another program's SQLite
// file at our path is recognised as not ours and left alone.
constexpr int32_t kApplicationId = 0x4C554D4F;
// Two programs of one station (the window and lumoctl) write at once; a
// write waits this long for the other's transaction, which takes well
// under a millisecond, before it gives up.
constexpr int kBusyTimeoutMs = 5000;

// Each migration takes the schema from version i to i + 1.
constexpr const char *kMigrations[] = {
    // 0 -> 1: the events.
    "CREATE TABLE events("
    " id INTEGER PRIMARY KEY,"
    " time_ms INTEGER NOT NULL,"
    " motor_id INTEGER NOT NULL,"
    " address INTEGER NOT NULL,"
    " kind TEXT NOT NULL,"
    " station TEXT NOT NULL,"
    " user_name TEXT NOT NULL,"
    " program TEXT NOT NULL,"
    " port TEXT NOT NULL,"
    " result INTEGER NOT NULL,"
    " model INTEGER,"
    " firmware INTEGER,"
    " before_config BLOB,"
    " config BLOB,"
    " new_address INTEGER,"
    " stroke INTEGER,"
    " action TEXT NOT NULL DEFAULT '',"
    " position INTEGER,"
    " steps INTEGER,"
    " file TEXT NOT NULL DEFAULT '',"
    " detail TEXT NOT NULL DEFAULT '');"
    // A motor's history newest first is a walk of this index backwards
    // (the row id, the tie-breaker within one millisecond, is part of it).
    "CREATE INDEX events_motor_time ON events(motor_id, time_ms);"
    "CREATE INDEX events_address_time ON events(address, time_ms);",
    // 1 -> 2: each register of a configuration write with its result.
    "ALTER TABLE events ADD COLUMN registers TEXT NOT NULL DEFAULT '';",
};
static_assert(std::size(kMigrations) == RecordStore::CurrentSchemaVersion);

constexpr const char *kEventColumns =
    "id, time_ms, motor_id, address, kind, station, user_name, program, port, result, model, firmware,"
    " before_config, config, new_address, stroke, action, position, steps, file, detail, registers";

// Paths are UTF-8, as SQLite takes them. std::filesystem reads a
// std::string in the system's narrow encoding instead, which on Windows is
// not UTF-8: a folder of a user named Jürgen would be made under a garbled
// name. So paths go to it and come from it as UTF-8 explicitly.
fs::path FsPath(const std::string &utf8)
{
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8(const fs::path &path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

int64_t NowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

// "MaxPos=0;RearLimit=0;SpeedPwm=16385". A name never holds ';' or '='
// (they are register names); should one, it is stored with '_' instead.
std::string EncodeRegisters(const std::vector<RegisterResult> &registers)
{
    std::string text;
    for (const RegisterResult &r : registers) {
        if (!text.empty())
            text += ';';
        for (const char c : r.name)
            text += (c == ';' || c == '=') ? '_' : c;
        text += '=' + std::to_string(r.code);
    }
    return text;
}

std::vector<RegisterResult> DecodeRegisters(const char *text)
{
    std::vector<RegisterResult> registers;
    while (text != nullptr && *text != '\0') {
        const char *end = std::strchr(text, ';');
        if (end == nullptr)
            end = text + std::strlen(text);
        const char *eq = static_cast<const char *>(std::memchr(text, '=', static_cast<size_t>(end - text)));
        if (eq != nullptr)
            registers.push_back({std::string(text, eq), static_cast<ResultCode>(std::strtoul(eq + 1, nullptr, 10))});
        text = *end == ';' ? end + 1 : end;
    }
    return registers;
}

// One prepared statement, finalized when it goes out of scope.
class Statement {
public:
    Statement(sqlite3 *db, const std::string &sql)
    {
        rc_ = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size()), &stmt_, nullptr);
        prepared_ = rc_ == SQLITE_OK;
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement &) = delete;
    Statement &operator=(const Statement &) = delete;

    bool Prepared() const { return prepared_; }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int Step() { return rc_ = sqlite3_step(stmt_); }
    int Code() const { return rc_; }
    // Ready for the next Step with new values.
    void Reset() { sqlite3_reset(stmt_); }

    void Bind(int i, int64_t value) { sqlite3_bind_int64(stmt_, i, value); }
    void Bind(int i, const std::string &text)
    {
        sqlite3_bind_text(stmt_, i, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
    }
    template <typename T> void Bind(int i, const std::optional<T> &value)
    {
        if (value)
            Bind(i, static_cast<int64_t>(*value));
        else
            sqlite3_bind_null(stmt_, i);
    }
    void Bind(int i, const std::optional<ActuatorConfig> &config)
    {
        if (!config) {
            sqlite3_bind_null(stmt_, i);
            return;
        }
        const auto bytes = ToFileBytes(*config);
        sqlite3_bind_blob(stmt_, i, bytes.data(), static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }

    bool IsNull(int col) const { return sqlite3_column_type(stmt_, col) == SQLITE_NULL; }
    const unsigned char *RawText(int col) const { return sqlite3_column_text(stmt_, col); }
    int64_t Int(int col) const { return sqlite3_column_int64(stmt_, col); }
    std::string Text(int col) const
    {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, col));
        return text != nullptr ? std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt_, col)))
                               : std::string();
    }
    // A kind by its stored name, without a string made for each row. A
    // kind this program does not know (written by a later one) reads as
    // the most neutral kind rather than being dropped.
    EventKind Kind(int col) const
    {
        const auto *text = reinterpret_cast<const char *>(sqlite3_column_text(stmt_, col));
        for (int k = 0; text != nullptr && k <= static_cast<int>(EventKind::ConfigExport); ++k)
            if (std::strcmp(text, KindName(static_cast<EventKind>(k))) == 0)
                return static_cast<EventKind>(k);
        return EventKind::DeviceSeen;
    }
    template <typename T> std::optional<T> Optional(int col) const
    {
        if (IsNull(col))
            return std::nullopt;
        return static_cast<T>(Int(col));
    }
    // A stored configuration; nothing for NULL or a blob of another size.
    std::optional<ActuatorConfig> Config(int col) const
    {
        const void *blob = sqlite3_column_blob(stmt_, col);
        if (blob == nullptr || sqlite3_column_bytes(stmt_, col) != static_cast<int>(ConfigFileSize))
            return std::nullopt;
        return FromFileBytes(static_cast<const uint8_t *>(blob));
    }

private:
    sqlite3_stmt *stmt_ = nullptr;
    int rc_ = SQLITE_OK;
    bool prepared_ = false;
};

// The conditions of a history query, shared by its statements, and its
// order and limit.
struct Filter {
    std::string where;
    std::vector<int64_t> values;
    std::string order;
    std::optional<int64_t> limit;

    void BindWhere(Statement &statement) const
    {
        for (size_t i = 0; i < values.size(); ++i)
            statement.Bind(static_cast<int>(i + 1), values[i]);
    }
    void Bind(Statement &statement) const
    {
        BindWhere(statement);
        if (limit)
            statement.Bind(static_cast<int>(values.size() + 1), *limit);
    }
    // The selection: conditions, newest first, limited.
    std::string Selection() const { return where + order + (limit ? " LIMIT ?" : ""); }
};

Filter FilterOf(const HistoryQuery &query)
{
    Filter filter{" WHERE 1", {}, " ORDER BY time_ms DESC, id DESC", std::nullopt};
    if (query.motorId) {
        filter.where += " AND motor_id = ?";
        filter.values.push_back(*query.motorId);
    }
    if (query.address) {
        // An address change happened at both its addresses.
        filter.where += " AND (address = ? OR new_address = ?)";
        filter.values.push_back(*query.address);
        filter.values.push_back(*query.address);
    }
    if (query.fromMs) {
        filter.where += " AND time_ms >= ?";
        filter.values.push_back(*query.fromMs);
    }
    if (query.toMs) {
        filter.where += " AND time_ms < ?";
        filter.values.push_back(*query.toMs);
    }
    if (query.limit > 0)
        filter.limit = static_cast<int64_t>(query.limit);
    return filter;
}

Event EventOf(const Statement &row)
{
    Event e;
    e.id = row.Int(0);
    e.timeMs = row.Int(1);
    e.motorId = static_cast<uint16_t>(row.Int(2));
    e.address = static_cast<uint8_t>(row.Int(3));
    e.kind = row.Kind(4);
    e.origin = {row.Text(5), row.Text(6), row.Text(7), row.Text(8)};
    e.result = static_cast<ResultCode>(row.Int(9));
    e.model = row.Optional<uint16_t>(10);
    e.firmware = row.Optional<uint16_t>(11);
    e.before = row.Config(12);
    e.config = row.Config(13);
    e.newAddress = row.Optional<uint8_t>(14);
    e.stroke = row.Optional<uint16_t>(15);
    e.action = row.Text(16);
    e.position = row.Optional<uint16_t>(17);
    e.steps = row.Optional<uint32_t>(18);
    e.file = row.Text(19);
    e.detail = row.Text(20);
    e.registers = DecodeRegisters(reinterpret_cast<const char *>(row.RawText(21)));
    return e;
}

std::string Stamp()
{
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
#ifdef _WIN32
    gmtime_s(&utc, &now);
#else
    gmtime_r(&now, &utc);
#endif
    char text[32];
    std::snprintf(text, sizeof text, "%04d%02d%02d-%02d%02d%02d", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                  utc.tm_hour, utc.tm_min, utc.tm_sec);
    return text;
}

// What a file's first 100 bytes say, read without SQLite: SQLite reads
// them the same way whatever the rest of the file holds, so a damaged file
// still tells whether it is ours.
struct FileHeader {
    bool exists = false;
    bool regular = false;
    bool readable = false;
    uintmax_t size = 0;
    bool sqlite = false;        // starts with "SQLite format 3" and its NUL
    uint32_t applicationId = 0; // bytes 68 to 71, most significant first
};

FileHeader ReadHeader(const fs::path &file)
{
    FileHeader h;
    std::error_code ec;
    const fs::file_status status = fs::status(file, ec);
    if (ec || !fs::exists(status))
        return h;
    h.exists = true;
    h.regular = fs::is_regular_file(status);
    if (!h.regular)
        return h;
    h.size = fs::file_size(file, ec);
    std::ifstream in(file, std::ios::binary);
    h.readable = in.is_open();
    unsigned char bytes[100] = {};
    if (!in.read(reinterpret_cast<char *>(bytes), sizeof bytes))
        return h;
    h.sqlite = std::memcmp(bytes, "SQLite format 3", 16) == 0;
    h.applicationId = (uint32_t{bytes[68]} << 24) | (uint32_t{bytes[69]} << 16) | (uint32_t{bytes[70]} << 8) |
                      uint32_t{bytes[71]};
    return h;
}

// A path as an SQLite URI ("file:/home/anna/records%20A.sqlite?mode=ro"):
// every byte but the unreserved ones and the separators percent-encoded,
// so that '?', '#' and '%' in a name stay part of it. On Windows the
// drive's path gets the slash URIs want before it ("file:/C:/Users/...").
std::string UriOf(const std::string &utf8, const char *parameters)
{
    std::string path = utf8;
#ifdef _WIN32
    for (char &c : path)
        if (c == '\\')
            c = '/';
    if (path.size() >= 2 && path[1] == ':')
        path.insert(path.begin(), '/');
#endif
    std::string uri = "file:";
    static const char kHex[] = "0123456789ABCDEF";
    for (const char c : path) {
        const auto b = static_cast<unsigned char>(c);
        if ((b >= 'a' && b <= 'z') || (b >= 'A' && b <= 'Z') || (b >= '0' && b <= '9') ||
            std::strchr("/-._~:", b) != nullptr) {
            uri += c;
        } else {
            uri += '%';
            uri += kHex[b >> 4];
            uri += kHex[b & 0x0F];
        }
    }
    return uri + '?' + parameters;
}

// The columns of an event as a file of `schema` holds them: version 1 had
// no register results, and a file opened to read is not migrated.
std::string EventColumns(int schema)
{
    if (schema >= 2)
        return kEventColumns;
    std::string columns = kEventColumns;
    columns.replace(columns.rfind("registers"), std::strlen("registers"), "'' AS registers");
    return columns;
}

// The file whose time says when the records beside it were last checked
// whole: "records.sqlite-checked", empty.
fs::path CheckStamp(const std::string &file)
{
    return FsPath(file + "-checked");
}

// The UTC day of a moment, as days since 1970.
int64_t DayOf(fs::file_time_type time)
{
    using namespace std::chrono;
    const auto since = time - fs::file_time_type::clock::now() + system_clock::now();
    return duration_cast<hours>(since.time_since_epoch()).count() / 24;
}

// The check costs a read of the whole file: 150 to 200 ms at 100,000
// events (23 MB), about 1 s at a million. Every lumoctl command that
// records opens the file, so the check runs at the first open of a UTC
// day, by any program of this station, and not at every open.
bool CheckDue(const std::string &file)
{
    std::error_code ec;
    const fs::file_time_type last = fs::last_write_time(CheckStamp(file), ec);
    return ec || DayOf(last) != DayOf(fs::file_time_type::clock::now());
}

void NoteChecked(const std::string &file)
{
    // Only a hint: a stamp that cannot be made costs a check at the next
    // open, nothing else.
    std::ofstream touch(CheckStamp(file), std::ios::binary | std::ios::trunc);
}

bool IsDamage(int rc)
{
    return (rc & 0xFF) == SQLITE_CORRUPT || (rc & 0xFF) == SQLITE_NOTADB;
}

} // namespace

struct RecordStore::Impl {
    std::string path;  // as the user named it
    std::string file;  // the file opened: a link followed
    Access access = Access::Record;
    const std::atomic<bool> *cancel = nullptr;
    std::string problem;
    std::string setAside;
    std::string damage;
    std::string writeProblem;
    sqlite3 *db = nullptr;
    int schema = 0;
    bool empty = false; // opened to read, and no table in it yet
    std::chrono::steady_clock::time_point busySince;

    ~Impl() { Close(); }

    void Close()
    {
        if (db != nullptr)
            sqlite3_close_v2(db);
        db = nullptr;
    }

    // Disables the store; the first reason is the one kept.
    void Fail(const std::string &why)
    {
        Close();
        if (problem.empty())
            problem = (access == Access::Record ? "Service records are off: " : "The service records cannot be read: ") +
                      why + ".";
    }

    // A read that ended before its last row: the file is damaged, or could
    // not be read whole for another reason (then SQLite's words say which).
    void NoteReadFailure(int rc)
    {
        if (!damage.empty() || rc == SQLITE_ROW || rc == SQLITE_DONE || rc == SQLITE_OK)
            return;
        const std::string why = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
        damage = IsDamage(rc) ? "The service records in " + path + " are damaged (" + why + ")"
                              : "The service records in " + path + " could not be read whole (" + why + ")";
    }

    bool Cancelled() const { return cancel != nullptr && cancel->load(); }

    std::string Error() const { return db != nullptr ? sqlite3_errmsg(db) : "out of memory"; }

    int Exec(const char *sql) { return sqlite3_exec(db, sql, nullptr, nullptr, nullptr); }

    // One integer from a PRAGMA or SELECT; the statement's code on failure.
    int Query(const char *sql, int64_t &value)
    {
        Statement s(db, sql);
        if (!s.Prepared())
            return s.Code();
        const int rc = s.Step();
        if (rc != SQLITE_ROW)
            return rc;
        value = s.Int(0);
        return SQLITE_OK;
    }

    // Runs `step` again while another connection holds the lock it needs,
    // up to the busy timeout. SQLite waits in its busy handler for most
    // locks, but not for all: while another program turns a new file to
    // WAL mode, or recovers its log, the reads and the mode change of an
    // open fail at once with "database is locked".
    int WhileBusy(const std::function<int()> &step)
    {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(kBusyTimeoutMs);
        for (;;) {
            const int rc = step();
            if ((rc != SQLITE_BUSY && rc != SQLITE_LOCKED) || std::chrono::steady_clock::now() >= end || Cancelled())
                return rc;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
    }

    // SQLite's own busy timeout sleeps in one piece for up to 100 ms and
    // cannot be told to stop; this one waits in steps of at most 5 ms, so
    // that a cancel (a window closing) ends the wait at once.
    static int BusyHandler(void *self, int count)
    {
        Impl &d = *static_cast<Impl *>(self);
        const auto now = std::chrono::steady_clock::now();
        if (count == 0)
            d.busySince = now;
        if (d.Cancelled() || now - d.busySince >= std::chrono::milliseconds(kBusyTimeoutMs))
            return 0;
        std::this_thread::sleep_for(std::chrono::milliseconds(count < 4 ? 1 : 5));
        return 1;
    }

    // Stops a long statement (the check of a large file) once cancelled.
    static int Progress(void *self) { return static_cast<Impl *>(self)->Cancelled() ? 1 : 0; }

    bool Open();
    bool OpenToRecord();
    bool OpenToRead();
    bool OpenFile(bool immutable);
    int ReadHeaderRow(int64_t &application, int64_t &version, int64_t &tables);
    bool CheckOurs(int64_t application, int64_t version, int64_t tables);
    bool QuickCheck(std::string &why);
    bool MoveAside(const std::string &why);
    bool Migrate();
    void Recover(const Filter &filter, const HistoryQuery &query, std::vector<Event> &events);
};

bool RecordStore::Impl::OpenFile(bool immutable)
{
    // One connection per store, used by one thread at a time: SQLite's own
    // locking of every call would only cost time (a fifth of a history's).
    int rc = SQLITE_OK;
    if (access == Access::Record) {
        rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                             nullptr);
    } else {
        // Immutable where the log's index cannot be made beside the file:
        // SQLite then reads the file as it stands, without any lock.
        const std::string uri = UriOf(file, immutable ? "immutable=1" : "mode=ro");
        rc = sqlite3_open_v2(uri.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX, nullptr);
    }
    if (rc != SQLITE_OK) {
        const std::string why = Error();
        Close();
        Fail("cannot open " + path + " (" + why + ")");
        return false;
    }
    sqlite3_busy_handler(db, &Impl::BusyHandler, this);
    if (cancel != nullptr)
        sqlite3_progress_handler(db, 1000, &Impl::Progress, this);
    // A program that adds one event and ends (lumoctl) would otherwise pay
    // for a checkpoint with two fsyncs at every close, some 25 ms. The log
    // stays beside the file; SQLite folds it in every 1000 pages.
    sqlite3_db_config(db, SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, 1, nullptr);
    if (access == Access::Record && sqlite3_db_readonly(db, "main") == 1) {
        Fail(path + " is read-only");
        return false;
    }
    return true;
}

// One statement, so one moment: another program may set the file up in
// between two.
int RecordStore::Impl::ReadHeaderRow(int64_t &application, int64_t &version, int64_t &tables)
{
    return WhileBusy([&] {
        Statement header(db, "SELECT (SELECT application_id FROM pragma_application_id),"
                             " (SELECT user_version FROM pragma_user_version),"
                             " (SELECT count(*) FROM sqlite_master)");
        if (!header.Prepared())
            return header.Code();
        const int code = header.Step();
        if (code != SQLITE_ROW)
            return code;
        application = header.Int(0);
        version = header.Int(1);
        tables = header.Int(2);
        return SQLITE_OK;
    });
}

bool RecordStore::Impl::CheckOurs(int64_t application, int64_t version, int64_t tables)
{
    if (application != kApplicationId && (application != 0 || tables != 0)) {
        Fail(path + " belongs to another program; it is left as it is");
        return false;
    }
    if (version > RecordStore::CurrentSchemaVersion) {
        Fail(path + " was written by a newer version of this tool (schema " + std::to_string(version) +
             ", this one knows " + std::to_string(RecordStore::CurrentSchemaVersion) + "); it is left as it is");
        return false;
    }
    return true;
}

// SQLite's quick_check: every page of the file read once and its b-tree
// structure checked (not the index contents against the rows, which
// integrity_check adds at several times the cost). False with SQLite's
// first finding when the file is damaged; a check that could not run (a
// cancel, a lock) finds nothing.
bool RecordStore::Impl::QuickCheck(std::string &why)
{
    Statement check(db, "PRAGMA quick_check(1)");
    if (!check.Prepared()) {
        why = Error();
        return !IsDamage(check.Code());
    }
    const int rc = check.Step();
    if (rc != SQLITE_ROW) {
        why = Error();
        return !IsDamage(rc);
    }
    why = check.Text(0);
    return why == "ok";
}

// Renames a damaged file of ours, with its log files, to
// "<file>.corrupt-<UTC time>" (a number added should that exist already),
// so its bytes stay for whoever wants to look at them. `file` is what a
// link names: the link stays, and the records it leads to start afresh.
bool RecordStore::Impl::MoveAside(const std::string &why)
{
    Close();
    std::error_code ec;
    std::string target = file + ".corrupt-" + Stamp();
    for (int n = 2; fs::exists(FsPath(target), ec); ++n)
        target = file + ".corrupt-" + Stamp() + "-" + std::to_string(n);
    fs::rename(FsPath(file), FsPath(target), ec);
    if (ec) {
        const std::string error = ec.message();
        // Another program of this station set it aside first and has
        // started a fresh file, or is about to.
        if (!fs::exists(FsPath(file), ec) && !ec)
            return true;
        Fail(path + " is damaged (" + why + ") and cannot be set aside (" + error + ")");
        return false;
    }
    for (const char *suffix : {"-wal", "-shm"})
        if (fs::exists(FsPath(file + suffix), ec))
            fs::rename(FsPath(file + suffix), FsPath(target + suffix), ec);
    setAside = path + " was damaged (" + why + "); it was set aside as " + target + " and a new one started.";
    return true;
}

bool RecordStore::Impl::Open()
{
    // A link is followed to the file it names, so that a file set aside is
    // that file and never the link, and the link keeps leading to the
    // records everybody shares.
    std::error_code ec;
    const fs::path resolved = fs::weakly_canonical(FsPath(path), ec);
    file = ec ? path : Utf8(resolved);
    return access == Access::Record ? OpenToRecord() : OpenToRead();
}

bool RecordStore::Impl::OpenToRecord()
{
    std::error_code ec;
    const fs::path folder = FsPath(file).parent_path();
    if (!folder.empty() && !fs::is_directory(folder, ec)) {
        fs::create_directories(folder, ec);
        if (ec) {
            Fail("cannot create the folder " + Utf8(folder) + " (" + ec.message() + ")");
            return false;
        }
    }
    // Look before changing anything: the header of a file that is not
    // ours must stay as it is, and only ours may be set aside.
    const FileHeader h = ReadHeader(FsPath(file));
    if (h.exists && !h.regular) {
        Fail(path + " is not a records file; it is left as it is");
        return false;
    }
    if (h.exists && h.size > 0 && !h.readable) {
        Fail("cannot read " + path);
        return false;
    }
    if (h.exists && h.size > 0 && !h.sqlite) {
        Fail(path + " is not a records file; it is left as it is");
        return false;
    }
    if (h.sqlite && h.applicationId != 0 && h.applicationId != static_cast<uint32_t>(kApplicationId)) {
        Fail(path + " belongs to another program; it is left as it is");
        return false;
    }
    const bool ours = h.sqlite && h.applicationId == static_cast<uint32_t>(kApplicationId);
    int64_t application = 0, version = 0, tables = 0;
    for (int attempt = 0;; ++attempt) {
        if (!OpenFile(false))
            return false;
        const int rc = ReadHeaderRow(application, version, tables);
        if (IsDamage(rc) && !ours) {
            Fail(path + " cannot be read (" + Error() + ") and is not known to be a records file; it is left as it is");
            return false;
        }
        if (IsDamage(rc) && attempt == 0) {
            if (!MoveAside(Error()))
                return false;
            continue;
        }
        if (rc != SQLITE_OK) {
            Fail("cannot read " + path + " (" + Error() + ")");
            return false;
        }
        if (!CheckOurs(application, version, tables))
            return false;
        // Once a day (CheckDue): a damaged page found now is a file set
        // aside, rather than a history that ends early some day later.
        std::string why;
        if (attempt == 0 && tables != 0 && CheckDue(file)) {
            if (!QuickCheck(why)) {
                if (!MoveAside(why))
                    return false;
                continue;
            }
            if (why == "ok")
                NoteChecked(file);
        }
        break;
    }
    // WAL: readers never wait for the writer, and a commit appends to the
    // log instead of rewriting pages. synchronous=NORMAL syncs at each
    // checkpoint rather than each commit: a power cut may lose the last
    // events, never the file's consistency.
    std::string mode;
    const int walRc = WhileBusy([&] {
        Statement wal(db, "PRAGMA journal_mode=WAL");
        if (!wal.Prepared())
            return wal.Code();
        const int code = wal.Step();
        mode = code == SQLITE_ROW ? wal.Text(0) : "";
        return code == SQLITE_ROW ? SQLITE_OK : code;
    });
    if (walRc != SQLITE_OK || mode != "wal") {
        Fail("cannot use " + path + " (" + Error() + ")");
        return false;
    }
    if (Exec("PRAGMA synchronous=NORMAL") != SQLITE_OK) {
        Fail("cannot use " + path + " (" + Error() + ")");
        return false;
    }
    // A file of the current schema needs no write at the open: another
    // program holding the write lock for a while delays only the first
    // event, not the open.
    if (application == kApplicationId && version == RecordStore::CurrentSchemaVersion) {
        schema = RecordStore::CurrentSchemaVersion;
        return true;
    }
    return Migrate();
}

bool RecordStore::Impl::OpenToRead()
{
    const FileHeader h = ReadHeader(FsPath(file));
    if (!h.exists) {
        Fail("there is no file " + path);
        return false;
    }
    if (!h.regular || (h.size > 0 && h.readable && !h.sqlite)) {
        Fail(path + " is not a records file");
        return false;
    }
    if (h.sqlite && h.applicationId != 0 && h.applicationId != static_cast<uint32_t>(kApplicationId)) {
        Fail(path + " belongs to another program");
        return false;
    }
    int64_t application = 0, version = 0, tables = 0;
    int rc = SQLITE_OK;
    for (const bool immutable : {false, true}) {
        if (!OpenFile(immutable))
            return false;
        rc = ReadHeaderRow(application, version, tables);
        // A file in WAL mode needs its log's index beside it, which a
        // folder the user may not write cannot take.
        if ((rc & 0xFF) != SQLITE_CANTOPEN && (rc & 0xFF) != SQLITE_READONLY)
            break;
        Close();
    }
    if (IsDamage(rc)) {
        NoteReadFailure(rc);
        Fail(damage.substr(damage.find("in ") + 3) + "; nothing could be read");
        return false;
    }
    if (rc != SQLITE_OK) {
        Fail("cannot read " + path + " (" + Error() + ")");
        return false;
    }
    if (!CheckOurs(application, version, tables))
        return false;
    empty = tables == 0;
    schema = static_cast<int>(version);
    return true;
}

// Brings the schema to the current version in one transaction. Another
// program may be doing the same at this moment: the version is read again
// under the write lock, and whoever comes second finds nothing to do.
bool RecordStore::Impl::Migrate()
{
    if (WhileBusy([&] { return Exec("BEGIN IMMEDIATE"); }) != SQLITE_OK) {
        Fail("cannot write " + path + " (" + Error() + ")");
        return false;
    }
    int64_t version = 0;
    bool ok = Query("PRAGMA user_version", version) == SQLITE_OK && version <= RecordStore::CurrentSchemaVersion;
    for (int64_t v = version; ok && v < RecordStore::CurrentSchemaVersion; ++v)
        ok = Exec(kMigrations[v]) == SQLITE_OK;
    if (ok && version < RecordStore::CurrentSchemaVersion) {
        const std::string set = "PRAGMA application_id=" + std::to_string(kApplicationId) +
                                "; PRAGMA user_version=" + std::to_string(RecordStore::CurrentSchemaVersion);
        ok = Exec(set.c_str()) == SQLITE_OK;
    }
    if (!ok || Exec("COMMIT") != SQLITE_OK) {
        const std::string why = Error();
        Exec("ROLLBACK");
        Fail("cannot set up " + path + " (" + why + ")");
        return false;
    }
    schema = RecordStore::CurrentSchemaVersion;
    return true;
}

// After a read that stopped at a damaged page: the table itself walked
// from both ends, so that what lies on either side of the damage is found,
// whichever index or page it was. The events are merged with those read
// before and put back in the history's order.
void RecordStore::Impl::Recover(const Filter &filter, const HistoryQuery &query, std::vector<Event> &events)
{
    std::set<int64_t> seen;
    for (const Event &e : events)
        seen.insert(e.id);
    for (const char *order : {" ORDER BY id DESC", " ORDER BY id ASC"}) {
        Statement select(db, "SELECT " + EventColumns(schema) + " FROM events NOT INDEXED" + filter.where + order);
        filter.BindWhere(select);
        int rc = SQLITE_DONE;
        while (select.Prepared() && (rc = select.Step()) == SQLITE_ROW) {
            if (seen.insert(select.Int(0)).second)
                events.push_back(EventOf(select));
        }
        if (rc == SQLITE_DONE)
            break; // the whole table was read
    }
    std::sort(events.begin(), events.end(), [](const Event &a, const Event &b) {
        return a.timeMs != b.timeMs ? a.timeMs > b.timeMs : a.id > b.id;
    });
    if (query.limit > 0 && events.size() > query.limit)
        events.resize(query.limit);
}

RecordStore::RecordStore(const std::string &path, Access access, const std::atomic<bool> *cancel)
    : impl_(std::make_unique<Impl>())
{
    impl_->path = path;
    impl_->access = access;
    impl_->cancel = cancel;
    if (path.empty()) {
        impl_->Fail("no place for them is known");
        return;
    }
    // A path that is not UTF-8 cannot be made a file name on Windows.
    try {
        impl_->Open();
    } catch (const fs::filesystem_error &e) {
        impl_->Fail("cannot use " + path + " (" + e.what() + ")");
    }
}

RecordStore::~RecordStore() = default;

bool RecordStore::IsOpen() const
{
    return impl_->db != nullptr;
}

const std::string &RecordStore::Path() const
{
    return impl_->path;
}

const std::string &RecordStore::Problem() const
{
    return impl_->problem;
}

const std::string &RecordStore::SetAside() const
{
    return impl_->setAside;
}

bool RecordStore::Damaged() const
{
    return !impl_->damage.empty();
}

const std::string &RecordStore::Damage() const
{
    return impl_->damage;
}

const std::string &RecordStore::WriteProblem() const
{
    return impl_->writeProblem;
}

int RecordStore::SchemaVersion() const
{
    return impl_->schema;
}

int64_t RecordStore::Add(Event event)
{
    Impl &d = *impl_;
    if (d.db == nullptr || d.access != Access::Record)
        return 0;
    if (event.timeMs == 0)
        event.timeMs = NowMs();
    // IMMEDIATE takes the write lock at the start, so a second writer waits
    // in the busy handler here instead of failing at its first insert.
    if (d.WhileBusy([&] { return d.Exec("BEGIN IMMEDIATE"); }) != SQLITE_OK) {
        d.writeProblem = "cannot write " + d.path + " (" + d.Error() + ")";
        return 0;
    }
    int64_t id = 0;
    bool ok = false;
    {
        Statement insert(d.db, std::string("INSERT INTO events(") + kEventColumns +
                                   ") VALUES(NULL,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
        if (insert.Prepared()) {
            insert.Bind(1, event.timeMs);
            insert.Bind(2, int64_t{event.motorId});
            insert.Bind(3, int64_t{event.address});
            insert.Bind(4, std::string(KindName(event.kind)));
            insert.Bind(5, event.origin.station);
            insert.Bind(6, event.origin.user);
            insert.Bind(7, event.origin.program);
            insert.Bind(8, event.origin.port);
            insert.Bind(9, int64_t{event.result});
            insert.Bind(10, event.model);
            insert.Bind(11, event.firmware);
            insert.Bind(12, event.before);
            insert.Bind(13, event.config);
            insert.Bind(14, event.newAddress);
            insert.Bind(15, event.stroke);
            insert.Bind(16, event.action);
            insert.Bind(17, event.position);
            insert.Bind(18, event.steps);
            insert.Bind(19, event.file);
            insert.Bind(20, event.detail);
            insert.Bind(21, EncodeRegisters(event.registers));
            ok = insert.Step() == SQLITE_DONE;
            id = sqlite3_last_insert_rowid(d.db);
        }
    }
    if (!ok || d.Exec("COMMIT") != SQLITE_OK) {
        const std::string why = d.Error();
        d.Exec("ROLLBACK");
        d.writeProblem = "cannot write " + d.path + " (" + why + ")";
        return 0;
    }
    d.writeProblem.clear();
    return id;
}

std::vector<Event> RecordStore::History(const HistoryQuery &query) const
{
    Impl &d = *impl_;
    std::vector<Event> events;
    if (d.db == nullptr || d.empty)
        return events;
    const Filter filter = FilterOf(query);
    // One read transaction for both statements: a writer in between must
    // not make the count of one moment and the events of another.
    d.Exec("BEGIN");
    {
        // Counted first, so that a long history is built in place rather
        // than moved about as the vector grows.
        Statement count(d.db, "SELECT count(*) FROM (SELECT id FROM events" + filter.Selection() + ")");
        filter.Bind(count);
        // The first read takes the snapshot both statements see.
        const int rc = d.WhileBusy([&] {
            count.Reset();
            return count.Prepared() ? count.Step() : count.Code();
        });
        if (rc == SQLITE_ROW)
            events.reserve(static_cast<size_t>(count.Int(0)));
    }
    bool whole = false;
    {
        Statement select(d.db, "SELECT " + EventColumns(d.schema) + " FROM events" + filter.Selection());
        filter.Bind(select);
        int rc = select.Prepared() ? SQLITE_ROW : select.Code();
        while (select.Prepared() && (rc = select.Step()) == SQLITE_ROW)
            events.push_back(EventOf(select));
        whole = rc == SQLITE_DONE;
        d.NoteReadFailure(rc);
    }
    if (!whole)
        d.Recover(filter, query, events);
    d.Exec("COMMIT");
    return events;
}

size_t RecordStore::Count(HistoryQuery query) const
{
    Impl &d = *impl_;
    if (d.db == nullptr)
        return 0;
    query.limit = 0;
    const Filter filter = FilterOf(query);
    Statement count(d.db, "SELECT count(*) FROM events" + filter.Selection());
    filter.Bind(count);
    const int rc = d.WhileBusy([&] {
        count.Reset();
        return count.Prepared() ? count.Step() : count.Code();
    });
    return rc == SQLITE_ROW ? static_cast<size_t>(count.Int(0)) : 0;
}

std::optional<ActuatorConfig> RecordStore::LastKnownConfig(uint16_t motorId) const
{
    // The newest complete read, or the newest write the device took whole.
    // A write that stopped part way left the registers it got: the values
    // before it with those registers changed.
    Impl &d = *impl_;
    if (d.db == nullptr || d.empty)
        return std::nullopt;
    Statement select(d.db, std::string("SELECT kind, result, before_config, config, ") +
                               (d.schema >= 2 ? "registers" : "''") +
                               " FROM events"
                               " WHERE motor_id = ? AND kind IN ('config-read', 'config-write') AND config IS NOT NULL"
                               " ORDER BY time_ms DESC, id DESC");
    select.Bind(1, int64_t{motorId});
    int rc = select.Prepared() ? SQLITE_ROW : select.Code();
    while (select.Prepared() && (rc = select.Step()) == SQLITE_ROW) {
        const std::optional<ActuatorConfig> config = select.Config(3);
        if (!config)
            continue;
        if (select.Int(1) == Result::NoError)
            return config;
        // A read that stopped part way tells too little.
        if (select.Text(0) == "config-read")
            continue;
        std::optional<ActuatorConfig> merged = select.Config(2);
        if (!merged)
            continue;
        for (const RegisterResult &r : DecodeRegisters(reinterpret_cast<const char *>(select.RawText(4)))) {
            if (r.code != Result::NoError)
                continue;
            for (const ConfigWord &word : kConfigWords)
                if (r.name == word.name)
                    (*merged).*word.member = (*config).*word.member;
        }
        return merged;
    }
    d.NoteReadFailure(rc);
    return std::nullopt;
}

std::vector<uint16_t> RecordStore::Motors() const
{
    Impl &d = *impl_;
    std::vector<uint16_t> motors;
    if (d.db == nullptr || d.empty)
        return motors;
    Statement select(d.db, "SELECT motor_id FROM events GROUP BY motor_id ORDER BY max(time_ms) DESC, max(id) DESC");
    int rc = select.Prepared() ? SQLITE_ROW : select.Code();
    while (select.Prepared() && (rc = select.Step()) == SQLITE_ROW)
        motors.push_back(static_cast<uint16_t>(select.Int(0)));
    d.NoteReadFailure(rc);
    return motors;
}

std::vector<RegisterResult> ConfigWriteResults(size_t written, ResultCode failure)
{
    std::vector<RegisterResult> results;
    for (size_t i = 0; i < written && i < kConfigWriteOrder.size(); ++i)
        results.push_back({kConfigWriteOrder[i], Result::NoError});
    // A parameter error is a refusal before anything was sent.
    if (written < kConfigWriteOrder.size() && failure != Result::NoError && failure != Result::ParameterError)
        results.push_back({kConfigWriteOrder[written], failure});
    return results;
}

std::vector<RegisterResult> ConfigWriteResults(size_t written, size_t taken, ResultCode failure)
{
    return taken > written ? ConfigWriteResults(taken, Result::NoError) : ConfigWriteResults(written, failure);
}

} // namespace records

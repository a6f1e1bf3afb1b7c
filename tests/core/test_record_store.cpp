// The service record store on real files: every kind of event written and
// read back, the history's order and filters, a file of the first schema
// version, places where nothing can be written, a corrupt file, a newer or
// foreign one, two processes writing at once, and the default place, on
// Linux and (cross-built, under Wine) on Windows.

#include <gtest/gtest.h>

#include <sqlite3.h>
#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <iterator>
#include <limits>
#include <mutex>
#include <set>
#include <thread>

#include "DamagedRecords.h"
#include "RecordWriter.h"
#include "config/ConfigTransfer.h"
#include "records/EventWriter.h"
#include "records/RecordStore.h"

namespace fs = std::filesystem;
using namespace records;

namespace {

std::string ReadBytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteBytes(const fs::path &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Runs SQL on a file directly, as another program (or an older version of
// this one) would have written it.
void RunSql(const fs::path &path, const std::string &sql)
{
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.string().c_str(), &db), SQLITE_OK);
    char *error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    const std::string text = error != nullptr ? error : "";
    sqlite3_free(error);
    sqlite3_close(db);
    ASSERT_EQ(rc, SQLITE_OK) << text;
}

ActuatorConfig Config(uint16_t maxPos, uint16_t speed)
{
    ActuatorConfig c;
    c.MaxPos = maxPos;
    c.RearLimit = 10;
    c.FrontLimit = static_cast<uint16_t>(maxPos - 10);
    c.CurrentLimit = 5000;
    c.SpeedPwm = speed;
    c.SettingFlag = 3;
    c.VoltageOut = 2048;
    c.HallPotSelect = 1;
    c.BaudRate = 2;
    c.PosOffset = 0x8000;
    return c;
}

Origin Here(const std::string &port = "/dev/ttyUSB0")
{
    return {"line-3", "anna", "lumoctl", port};
}

Event At(int64_t timeMs, uint16_t motorId, uint8_t address, EventKind kind)
{
    Event e;
    e.timeMs = timeMs;
    e.motorId = motorId;
    e.address = address;
    e.kind = kind;
    e.origin = Here();
    return e;
}

void ExpectSameEvent(const Event &got, const Event &want)
{
    SCOPED_TRACE(std::string("event of kind ") + KindName(want.kind) + " at " + std::to_string(want.timeMs));
    EXPECT_EQ(got.timeMs, want.timeMs);
    EXPECT_EQ(got.motorId, want.motorId);
    EXPECT_EQ(got.address, want.address);
    EXPECT_EQ(got.kind, want.kind);
    EXPECT_EQ(got.origin.station, want.origin.station);
    EXPECT_EQ(got.origin.user, want.origin.user);
    EXPECT_EQ(got.origin.program, want.origin.program);
    EXPECT_EQ(got.origin.port, want.origin.port);
    EXPECT_EQ(got.result, want.result);
    EXPECT_EQ(got.model, want.model);
    EXPECT_EQ(got.firmware, want.firmware);
    EXPECT_EQ(got.before, want.before);
    EXPECT_EQ(got.config, want.config);
    ASSERT_EQ(got.registers.size(), want.registers.size());
    for (size_t i = 0; i < want.registers.size(); ++i) {
        EXPECT_EQ(got.registers[i].name, want.registers[i].name);
        EXPECT_EQ(got.registers[i].code, want.registers[i].code);
    }
    EXPECT_EQ(got.newAddress, want.newAddress);
    EXPECT_EQ(got.stroke, want.stroke);
    EXPECT_EQ(got.action, want.action);
    EXPECT_EQ(got.position, want.position);
    EXPECT_EQ(got.steps, want.steps);
    EXPECT_EQ(got.file, want.file);
    EXPECT_EQ(got.detail, want.detail);
}

class RecordStoreTest : public ::testing::Test {
protected:
    fs::path dir;
    fs::path path;

    void SetUp() override
    {
        char name[] = "/tmp/lumo-records-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir = name;
        path = dir / "records.sqlite";
    }
    void TearDown() override { fs::remove_all(dir); }
};

// One event of each kind with the fields its kind carries, at the edges of
// their ranges where that matters (a 32-bit step count, address 127, an
// unset optional next to a set one, a file name that is not ASCII).
std::vector<Event> OneOfEachKind()
{
    std::vector<Event> events;
    Event seen = At(1'700'000'000'001, 0x5A05, 5, EventKind::DeviceSeen);
    seen.model = 1;
    seen.firmware = 0x0102;
    events.push_back(seen);

    Event read = At(1'700'000'000'002, 0x5A05, 5, EventKind::ConfigRead);
    read.model = 1;
    read.config = Config(1000, 100);
    events.push_back(read);

    Event write = At(1'700'000'000'003, 0x5A05, 5, EventKind::ConfigWrite);
    write.model = 1;
    write.before = Config(1000, 100);
    write.config = Config(1200, 80);
    write.registers = ConfigWriteResults(kConfigWriteOrder.size(), Result::NoError);
    events.push_back(write);

    Event failedWrite = At(1'700'000'000'004, 0x5A05, 5, EventKind::ConfigWrite);
    failedWrite.result = Result::ReadDataWait;
    failedWrite.before = Config(1200, 80);
    failedWrite.config = Config(1500, 60);
    failedWrite.registers = ConfigWriteResults(3, Result::ReadDataWait);
    failedWrite.detail = "writing the configuration to device 5 stopped at CurrentLimit";
    events.push_back(failedWrite);

    Event address = At(1'700'000'000'005, 0x5A05, 5, EventKind::AddressChange);
    address.newAddress = 127;
    events.push_back(address);

    Event learning = At(1'700'000'000'006, 0x5A05, 127, EventKind::Learning);
    learning.stroke = 65535;
    learning.position = 0;
    events.push_back(learning);

    Event motion = At(1'700'000'000'007, 0x5A05, 127, EventKind::Motion);
    motion.action = "goto 1200";
    motion.position = 1199;
    motion.result = Result::NoError;
    events.push_back(motion);

    Event cycle = At(1'700'000'000'008, 0x5A05, 127, EventKind::CycleTest);
    cycle.steps = std::numeric_limits<uint32_t>::max();
    cycle.result = Result::ExceptionReply;
    cycle.detail = "step 17: Modbus exception 02 (illegal data address)";
    events.push_back(cycle);

    Event import = At(1'700'000'000'009, 0x5A05, 127, EventKind::ConfigImport);
    import.config = Config(900, 50);
    import.file = "/home/anna/Réglages/LUMO_MID-0x0000_20240131-0905.config";
    events.push_back(import);

    Event exportEvent = At(1'700'000'000'010, 0x5A05, 127, EventKind::ConfigExport);
    exportEvent.config = Config(900, 50);
    exportEvent.file = "line 3.config";
    exportEvent.origin = {"", "", "lumo-tool", ""};
    events.push_back(exportEvent);
    return events;
}

TEST_F(RecordStoreTest, EveryKindOfEventReadsBackFieldByField)
{
    const std::vector<Event> written = OneOfEachKind();
    {
        RecordStore store(path.string());
        ASSERT_TRUE(store.IsOpen()) << store.Problem();
        EXPECT_EQ(store.SchemaVersion(), RecordStore::CurrentSchemaVersion);
        for (const Event &e : written)
            EXPECT_GT(store.Add(e), 0);
        EXPECT_EQ(store.Problem(), "");
    }
    // Read back by another store on the same file, as the window reads what
    // lumoctl wrote.
    RecordStore store(path.string());
    HistoryQuery query;
    query.motorId = 0x5A05;
    const std::vector<Event> history = store.History(query);
    ASSERT_EQ(history.size(), written.size());
    for (size_t i = 0; i < written.size(); ++i)
        ExpectSameEvent(history[written.size() - 1 - i], written[i]);
}

TEST_F(RecordStoreTest, KindNamesAreStableAndRoundTrip)
{
    const std::pair<EventKind, const char *> names[] = {
        {EventKind::DeviceSeen, "device-seen"},   {EventKind::ConfigRead, "config-read"},
        {EventKind::ConfigWrite, "config-write"}, {EventKind::AddressChange, "address-change"},
        {EventKind::Learning, "learning"},        {EventKind::Motion, "motion"},
        {EventKind::CycleTest, "cycle-test"},     {EventKind::ConfigImport, "config-import"},
        {EventKind::ConfigExport, "config-export"},
    };
    for (const auto &[kind, name] : names) {
        EXPECT_STREQ(KindName(kind), name);
        EXPECT_EQ(KindFromName(name), kind);
    }
    EXPECT_EQ(KindFromName("config_write"), std::nullopt);
}

TEST_F(RecordStoreTest, HistoryIsNewestFirstAndFilters)
{
    RecordStore store(path.string());
    ASSERT_TRUE(store.IsOpen()) << store.Problem();
    // Two events in one millisecond keep the order they were added in.
    const int64_t a1 = store.Add(At(1000, 0x0001, 1, EventKind::DeviceSeen));
    const int64_t a2 = store.Add(At(1000, 0x0001, 1, EventKind::ConfigRead));
    Event change = At(2000, 0x0001, 1, EventKind::AddressChange);
    change.newAddress = 9;
    const int64_t a3 = store.Add(change);
    const int64_t b1 = store.Add(At(1500, 0x0002, 2, EventKind::DeviceSeen));
    const int64_t a4 = store.Add(At(3000, 0x0001, 9, EventKind::Motion));
    // Time 0 is "now".
    const int64_t before = 1000LL * std::time(nullptr);
    const int64_t c1 = store.Add(At(0, 0x0003, 3, EventKind::DeviceSeen));

    auto ids = [&](HistoryQuery q) {
        std::vector<int64_t> got;
        for (const Event &e : store.History(q))
            got.push_back(e.id);
        return got;
    };
    HistoryQuery q;
    q.motorId = 0x0001;
    EXPECT_EQ(ids(q), (std::vector<int64_t>{a4, a3, a2, a1}));
    q.limit = 2;
    EXPECT_EQ(ids(q), (std::vector<int64_t>{a4, a3}));
    q.limit = 0;
    q.fromMs = 1000;
    q.toMs = 3000;
    EXPECT_EQ(ids(q), (std::vector<int64_t>{a3, a2, a1}));

    // The address change belongs to both its addresses.
    HistoryQuery at9;
    at9.address = 9;
    EXPECT_EQ(ids(at9), (std::vector<int64_t>{a4, a3}));
    HistoryQuery at1;
    at1.address = 1;
    EXPECT_EQ(ids(at1), (std::vector<int64_t>{a3, a2, a1}));

    HistoryQuery now;
    now.motorId = 0x0003;
    const std::vector<Event> latest = store.History(now);
    ASSERT_EQ(latest.size(), 1u);
    EXPECT_EQ(latest[0].id, c1);
    EXPECT_GE(latest[0].timeMs, before);
    EXPECT_LT(latest[0].timeMs, before + 60'000);

    EXPECT_EQ(store.Motors(), (std::vector<uint16_t>{0x0003, 0x0001, 0x0002}));
    EXPECT_GT(b1, 0);
}

TEST_F(RecordStoreTest, LastKnownConfigIsTheNewestReadOrWhatAWriteLeft)
{
    RecordStore store(path.string());
    ASSERT_TRUE(store.IsOpen()) << store.Problem();
    EXPECT_EQ(store.LastKnownConfig(0x5A05), std::nullopt);

    Event read = At(1000, 0x5A05, 5, EventKind::ConfigRead);
    read.config = Config(1000, 100);
    store.Add(read);
    // A file is not the device: an import or export changes nothing.
    Event import = At(1500, 0x5A05, 5, EventKind::ConfigImport);
    import.config = Config(3000, 30);
    store.Add(import);
    EXPECT_EQ(store.LastKnownConfig(0x5A05), Config(1000, 100));

    Event write = At(2000, 0x5A05, 5, EventKind::ConfigWrite);
    write.before = Config(1000, 100);
    write.config = Config(1200, 80);
    write.registers = ConfigWriteResults(kConfigWriteOrder.size(), Result::NoError);
    store.Add(write);
    EXPECT_EQ(store.LastKnownConfig(0x5A05), Config(1200, 80));

    // Stopped at SpeedPwm: MaxPos .. CurrentLimit went out, the rest not.
    Event partial = At(3000, 0x5A05, 5, EventKind::ConfigWrite);
    partial.result = Result::ReadDataWait;
    partial.before = Config(1200, 80);
    partial.config = Config(1600, 40);
    partial.registers = ConfigWriteResults(4, Result::ReadDataWait);
    store.Add(partial);
    ActuatorConfig left = Config(1200, 80);
    left.MaxPos = 1600;
    left.FrontLimit = 1590;
    EXPECT_EQ(store.LastKnownConfig(0x5A05), left);
    EXPECT_EQ(store.LastKnownConfig(0x5A06), std::nullopt);
}

TEST(ConfigWriteResults, FollowWhatTheWriteGotThrough)
{
    const auto complete = ConfigWriteResults(9, Result::NoError);
    ASSERT_EQ(complete.size(), 9u);
    EXPECT_EQ(complete.front().name, "MaxPos");
    EXPECT_EQ(complete.back().name, "VoltageOut");

    const auto stopped = ConfigWriteResults(3, Result::ReadDataWait);
    ASSERT_EQ(stopped.size(), 4u);
    EXPECT_EQ(stopped[2].code, Result::NoError);
    EXPECT_EQ(stopped[3].name, "CurrentLimit");
    EXPECT_EQ(stopped[3].code, Result::ReadDataWait);

    EXPECT_TRUE(ConfigWriteResults(0, Result::ParameterError).empty());

    // Read back after the failure: the register it stopped at held what was
    // sent, so it counts as taken and no register is marked failed.
    const auto readBack = ConfigWriteResults(3, 4, Result::ReadDataWait);
    ASSERT_EQ(readBack.size(), 4u);
    EXPECT_EQ(readBack[3].name, "CurrentLimit");
    EXPECT_EQ(readBack[3].code, Result::NoError);
    // It held the old value: the failure stands.
    const auto notTaken = ConfigWriteResults(3, 3, Result::ReadDataWait);
    ASSERT_EQ(notTaken.size(), 4u);
    EXPECT_EQ(notTaken[3].code, Result::ReadDataWait);
}

// Version 1, as the first release wrote it: the events table alone, a
// configuration write with its overall result only.
constexpr const char *kVersion1 =
    "CREATE TABLE events(id INTEGER PRIMARY KEY, time_ms INTEGER NOT NULL, motor_id INTEGER NOT NULL,"
    " address INTEGER NOT NULL, kind TEXT NOT NULL, station TEXT NOT NULL, user_name TEXT NOT NULL,"
    " program TEXT NOT NULL, port TEXT NOT NULL, result INTEGER NOT NULL, model INTEGER, firmware INTEGER,"
    " before_config BLOB, config BLOB, new_address INTEGER, stroke INTEGER, action TEXT NOT NULL DEFAULT '',"
    " position INTEGER, steps INTEGER, file TEXT NOT NULL DEFAULT '', detail TEXT NOT NULL DEFAULT '');"
    "CREATE INDEX events_motor_time ON events(motor_id, time_ms);"
    "CREATE INDEX events_address_time ON events(address, time_ms);"
    "PRAGMA application_id = 1280658767;" // "LUMO"
    "PRAGMA user_version = 1;";

std::string Blob(const ActuatorConfig &config)
{
    std::string hex = "X'";
    static const char digits[] = "0123456789ABCDEF";
    for (const uint8_t b : ToFileBytes(config)) {
        hex += digits[b >> 4];
        hex += digits[b & 0xF];
    }
    return hex + "'";
}

TEST_F(RecordStoreTest, MigratesAVersion1FileKeepingItsEvents)
{
    RunSql(path, kVersion1);
    RunSql(path, "INSERT INTO events(time_ms, motor_id, address, kind, station, user_name, program, port, result,"
                 " model, before_config, config) VALUES(1000, 23045, 5, 'config-write', 'line-3', 'anna',"
                 " 'lumoctl', '/dev/ttyUSB0', 0, 1, " +
                     Blob(Config(1000, 100)) + ", " + Blob(Config(1200, 80)) +
                     ");"
                     "INSERT INTO events(time_ms, motor_id, address, kind, station, user_name, program, port,"
                     " result, new_address) VALUES(2000, 23045, 5, 'address-change', 'line-3', 'anna', 'lumoctl',"
                     " '/dev/ttyUSB0', 0, 6);");

    RecordStore store(path.string());
    ASSERT_TRUE(store.IsOpen()) << store.Problem();
    EXPECT_EQ(store.SchemaVersion(), 2);
    EXPECT_EQ(store.SetAside(), "");
    HistoryQuery query;
    query.motorId = 0x5A05;
    std::vector<Event> history = store.History(query);
    ASSERT_EQ(history.size(), 2u);
    EXPECT_EQ(history[0].kind, EventKind::AddressChange);
    EXPECT_EQ(history[0].newAddress, 6);
    EXPECT_EQ(history[1].kind, EventKind::ConfigWrite);
    EXPECT_EQ(history[1].before, Config(1000, 100));
    EXPECT_EQ(history[1].config, Config(1200, 80));
    EXPECT_TRUE(history[1].registers.empty()); // version 1 never had them
    EXPECT_EQ(store.LastKnownConfig(0x5A05), Config(1200, 80));

    // The migrated file takes events of the new version.
    Event write = At(3000, 0x5A05, 6, EventKind::ConfigWrite);
    write.before = Config(1200, 80);
    write.config = Config(1300, 80);
    write.registers = ConfigWriteResults(9, Result::NoError);
    ASSERT_GT(store.Add(write), 0);
    history = store.History(query);
    ASSERT_EQ(history.size(), 3u);
    EXPECT_EQ(history[0].registers.size(), 9u);

    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.string().c_str(), &db), SQLITE_OK);
    sqlite3_stmt *stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA user_version", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(stmt, 0), 2);
    sqlite3_finalize(stmt);
    sqlite3_close(db);
}

void ExpectDisabled(RecordStore &store, const std::string &mustMention)
{
    EXPECT_FALSE(store.IsOpen());
    EXPECT_NE(store.Problem().find(mustMention), std::string::npos) << store.Problem();
    const std::string first = store.Problem();
    // Every later call does nothing, and the first text stays.
    EXPECT_EQ(store.Add(At(1000, 1, 1, EventKind::DeviceSeen)), 0);
    EXPECT_TRUE(store.History({}).empty());
    EXPECT_EQ(store.LastKnownConfig(1), std::nullopt);
    EXPECT_TRUE(store.Motors().empty());
    EXPECT_EQ(store.Problem(), first);
}

// Tests run as root, which writes into any folder whatever its mode bits
// say; these places refuse root too: a folder cannot be made below a
// regular file (ENOTDIR), /proc takes no new files (ENOENT), and a folder
// is no database file. Windows has no /proc, but refuses some characters
// in any file name.
TEST_F(RecordStoreTest, APlaceThatCannotBeWrittenDisablesTheStore)
{
    WriteBytes(dir / "plain-file", "x");
    fs::create_directory(dir / "a-folder");
    const struct {
        const char *what;
        std::string path;
        std::string mention;
    } cases[] = {
        {"a folder below a regular file", (dir / "plain-file" / "records.sqlite").string(), "cannot create the folder"},
#ifdef _WIN32
        {"a name with a character Windows refuses", (dir / "records?.sqlite").string(), "records?.sqlite"},
        {"a name that is not UTF-8 (a Latin-1 u-umlaut)", dir.string() + "\\records-\xFC.sqlite",
         "cannot use"},
#else
        {"a file in /proc", "/proc/self/records.sqlite", "/proc/self/records.sqlite"},
        {"a folder in /proc", "/proc/self/lumo/records.sqlite", "cannot create the folder"},
#endif
        {"a folder where the file should be", (dir / "a-folder").string(), "a-folder"},
        {"no path at all", "", "Service records are off"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        RecordStore store(c.path);
        ExpectDisabled(store, c.mention);
    }
    EXPECT_EQ(ReadBytes(dir / "plain-file"), "x");
}

#ifndef _WIN32
// A write the system refuses half way, as on a full disk, for real and as
// root (whom a quota or a full disk's reserve would not stop): the file
// size limit makes the system refuse to grow the write-ahead log past its
// present size (EFBIG; SQLite calls it a disk I/O error, where a full disk
// is "database or disk is full"). The store stays open: once the disk has
// room again, the next write goes through. In a child, since the limit
// holds for the whole process.
TEST_F(RecordStoreTest, ARefusedWriteLeavesTheStoreOpenForTheNext)
{
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        RecordStore store(path.string());
        if (!store.IsOpen() || store.Add(At(1000, 1, 1, EventKind::DeviceSeen)) == 0)
            ::_exit(10);
        rlimit limit{};
        ::getrlimit(RLIMIT_FSIZE, &limit);
        const rlim_t unlimited = limit.rlim_cur;
        limit.rlim_cur = static_cast<rlim_t>(fs::file_size(path.string() + "-wal")) + 100;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(11);
        Event big = At(2000, 1, 1, EventKind::CycleTest);
        big.detail = std::string(8000, 'x');
        if (store.Add(big) != 0)
            ::_exit(12);
        if (!store.IsOpen() || !store.Problem().empty() ||
            store.WriteProblem() != "cannot write " + path.string() + " (disk I/O error)")
            ::_exit(13);
        limit.rlim_cur = unlimited;
        if (::setrlimit(RLIMIT_FSIZE, &limit) != 0)
            ::_exit(11);
        if (store.Add(big) == 0 || !store.WriteProblem().empty())
            ::_exit(14);
        ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "10 open, 11 setrlimit, 12 the write went through, 13 the store was "
                                         "closed or did not say why, 14 the next write failed";
    RecordStore store(path.string());
    ASSERT_TRUE(store.IsOpen()) << store.Problem();
    HistoryQuery q;
    q.motorId = 1;
    ASSERT_EQ(store.History(q).size(), 2u);
}
#endif // a file size limit is POSIX's

std::string ValidDatabaseBytes(const fs::path &scratch)
{
    RunSql(scratch, "CREATE TABLE t(x); INSERT INTO t VALUES(randomblob(5000));");
    return ReadBytes(scratch);
}

[[maybe_unused]] void MakeOurs(const fs::path &file, int count)
{
    ASSERT_EQ(damaged::MakeOurs(file, count), "");
}

std::string DamagedOurs(const fs::path &file, int count = 3000)
{
    const std::string bytes = damaged::DamagedOurs(file, count);
    EXPECT_NE(bytes, "") << "cannot make a damaged file";
    return bytes;
}

using damaged::FolderContents;
using damaged::TextFile;

// Opening to record: only a damaged file of ours is set aside, byte for
// byte, and a link leads to the file it names, which is the one set aside
// while the link stays. Anything else is left exactly as it was and the
// store is off with a problem that names the file.
TEST_F(RecordStoreTest, OnlyADamagedFileOfOursIsSetAside)
{
    std::string torn = ValidDatabaseBytes(dir / "scratch.sqlite");
    std::fill(torn.begin() + 100, torn.begin() + 4096, '\xA5');
    fs::remove(dir / "scratch.sqlite");
    const struct {
        const char *what;
        std::function<void(const fs::path &)> make;
        bool link;
        bool setAside;          // else left untouched and the store off
        std::string mention;
    } cases[] = {
        {"a text file", [](const fs::path &f) { WriteBytes(f, TextFile()); }, false, false, "is not a records file"},
        {"another program's SQLite", [](const fs::path &f) { RunSql(f, "CREATE TABLE photos(id INTEGER PRIMARY KEY);"); },
         false, false, "belongs to another program"},
        {"another program's SQLite with its own application_id",
         [](const fs::path &f) { RunSql(f, "PRAGMA application_id = 7; CREATE TABLE t(x);"); }, false, false,
         "belongs to another program"},
        {"a torn SQLite file not known to be ours", [&](const fs::path &f) { WriteBytes(f, torn); }, false, false,
         "is not known to be a records file"},
        {"ours with a page overwritten", [](const fs::path &f) { DamagedOurs(f); }, false, true, ""},
        {"a link to ours with a page overwritten", [](const fs::path &f) { DamagedOurs(f); }, true, true, ""},
        {"a link to a text file", [](const fs::path &f) { WriteBytes(f, TextFile()); }, true, false,
         "is not a records file"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
#ifdef _WIN32
        // Links need a privilege on Windows, and Wine has none.
        if (c.link)
            continue;
#endif
        fs::remove_all(dir);
        fs::create_directories(dir / "shared");
        const fs::path target = c.link ? dir / "shared" / "records.sqlite" : path;
        c.make(target);
        if (c.link)
            fs::create_symlink(target, path);
        const std::string bytes = ReadBytes(target);
        const auto before = FolderContents(dir);
        {
            RecordStore store(path.string());
            if (!c.setAside) {
                ExpectDisabled(store, c.mention);
                EXPECT_NE(store.Problem().find(path.string()), std::string::npos) << store.Problem();
                EXPECT_EQ(FolderContents(dir), before);
                EXPECT_EQ(ReadBytes(target), bytes);
                continue;
            }
            ASSERT_TRUE(store.IsOpen()) << store.Problem();
            EXPECT_NE(store.SetAside().find(path.string() + " was damaged"), std::string::npos) << store.SetAside();
            EXPECT_GT(store.Add(At(1000, 7, 7, EventKind::DeviceSeen)), 0);
        }
        // The link is still the link; the file it names was set aside, with
        // every byte it had, and a fresh one started in its place.
        EXPECT_EQ(fs::is_symlink(path), c.link);
        std::vector<fs::path> aside;
        for (const auto &entry : fs::directory_iterator(target.parent_path()))
            if (entry.path().filename().string().rfind("records.sqlite.corrupt-", 0) == 0 &&
                !entry.path().filename().string().ends_with("-wal") &&
                !entry.path().filename().string().ends_with("-shm"))
                aside.push_back(entry.path());
        ASSERT_EQ(aside.size(), 1u);
        EXPECT_EQ(ReadBytes(aside[0]), bytes);
        RecordStore again(path.string());
        EXPECT_TRUE(again.IsOpen());
        EXPECT_EQ(again.SetAside(), "");
        HistoryQuery q;
        q.motorId = 7;
        EXPECT_EQ(again.History(q).size(), 1u);
    }
}

// A damaged file of ours that another program has open. POSIX renames a
// file whatever holds it; Windows refuses to rename a file that SQLite
// opened (it shares it for reading and writing, not for deletion), so
// there the file stays where it is, whole, and the store is off until the
// other program lets go.
TEST_F(RecordStoreTest, ADamagedFileAnotherProgramHoldsOpen)
{
    const std::string bytes = DamagedOurs(path);
    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.string().c_str(), &other, SQLITE_OPEN_READWRITE, nullptr), SQLITE_OK);
    {
        RecordStore store(path.string());
#ifdef _WIN32
        ExpectDisabled(store, "cannot be set aside");
        EXPECT_EQ(ReadBytes(path), bytes);
#else
        ASSERT_TRUE(store.IsOpen()) << store.Problem();
        EXPECT_NE(store.SetAside(), "");
#endif
    }
    sqlite3_close(other);
    // Once the other program has let go, the next store sets it aside.
    RecordStore store(path.string());
    ASSERT_TRUE(store.IsOpen()) << store.Problem();
#ifdef _WIN32
    EXPECT_NE(store.SetAside(), "");
#endif
}

TEST_F(RecordStoreTest, ANewerOrForeignDatabaseIsLeftUntouched)
{
    const struct {
        const char *what;
        std::string sql;
        std::string mention;
    } cases[] = {
        {"a newer schema",
         "PRAGMA journal_mode=WAL; CREATE TABLE events(id INTEGER PRIMARY KEY, shape TEXT);"
         "INSERT INTO events(shape) VALUES('from the future'); PRAGMA application_id = 1280658767;"
         "PRAGMA user_version = 3;",
         "newer version"},
        {"another program's database", "CREATE TABLE photos(id INTEGER PRIMARY KEY); PRAGMA user_version = 1;",
         "another program"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove(path);
        RunSql(path, c.sql);
        const std::string bytes = ReadBytes(path);
        {
            RecordStore store(path.string());
            ExpectDisabled(store, c.mention);
            EXPECT_EQ(store.SchemaVersion(), 0);
            EXPECT_EQ(store.SetAside(), "");
        }
        EXPECT_EQ(ReadBytes(path), bytes);
    }
}

// Starts one writer process per motor (WriteRecordsAsOneOfMany), all at
// the same moment, and returns their exit statuses; -1 for one that did
// not end normally.
#ifdef _WIN32
// The writers are lumo-records-writer.exe, built beside this program. Each
// is created suspended and all are resumed together.
std::vector<int> RunWritersAtOnce(const fs::path &path, const std::vector<uint16_t> &motors, int each)
{
    std::vector<int> statuses;
    wchar_t self[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (n == 0 || n == MAX_PATH) {
        ADD_FAILURE() << "cannot tell where this program is";
        return statuses;
    }
    const fs::path writer = fs::path(self).parent_path() / "lumo-records-writer.exe";
    if (!fs::exists(writer)) {
        ADD_FAILURE() << writer.string() << " is missing";
        return statuses;
    }
    std::vector<PROCESS_INFORMATION> started;
    for (const uint16_t motor : motors) {
        std::wstring command = L"\"" + writer.wstring() + L"\" \"" + path.wstring() + L"\" " +
                               std::to_wstring(motor) + L" " + std::to_wstring(each);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION process{};
        if (!CreateProcessW(writer.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr,
                            nullptr, &startup, &process)) {
            ADD_FAILURE() << "cannot start " << writer.string() << " (error " << GetLastError() << ")";
            break;
        }
        started.push_back(process);
    }
    for (const PROCESS_INFORMATION &process : started)
        ResumeThread(process.hThread);
    for (const PROCESS_INFORMATION &process : started) {
        DWORD code = 0;
        const bool ended = WaitForSingleObject(process.hProcess, 120'000) == WAIT_OBJECT_0 &&
                           GetExitCodeProcess(process.hProcess, &code);
        if (!ended)
            TerminateProcess(process.hProcess, 1);
        statuses.push_back(ended ? static_cast<int>(code) : -1);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return statuses;
}
#else
// Forked children, held at a pipe until the parent closes it.
std::vector<int> RunWritersAtOnce(const fs::path &path, const std::vector<uint16_t> &motors, int each)
{
    std::vector<int> statuses;
    int go[2];
    if (::pipe(go) != 0) {
        ADD_FAILURE() << "pipe failed";
        return statuses;
    }
    std::vector<pid_t> writers;
    for (const uint16_t motor : motors) {
        const pid_t pid = ::fork();
        if (pid < 0) {
            ADD_FAILURE() << "fork failed";
            break;
        }
        if (pid == 0) {
            ::close(go[1]);
            char c = 0;
            if (::read(go[0], &c, 1) != 0) // end of file: the parent's "go"
                ::_exit(20);
            ::_exit(WriteRecordsAsOneOfMany(path.string(), motor, each));
        }
        writers.push_back(pid);
    }
    ::close(go[0]);
    ::close(go[1]); // all start now
    for (const pid_t pid : writers) {
        int status = 0;
        const bool ended = ::waitpid(pid, &status, 0) == pid && WIFEXITED(status);
        statuses.push_back(ended ? WEXITSTATUS(status) : -1);
    }
    return statuses;
}
#endif

// The window and lumoctl on one station: two processes open the same new
// file at the same moment (both find it empty and set it up) and then add
// their events as fast as they can, every tenth through a store opened for
// it alone, as each lumoctl command opens its own. Every event arrives;
// neither writer meets "database is locked". On Windows this is SQLite's
// other locking: byte-range locks with LockFileEx and the WAL index in a
// shared mapping rather than fcntl() and mmap().
TEST_F(RecordStoreTest, TwoProcessesWriteAtOnce)
{
    constexpr int kEach = 400;
    const std::vector<uint16_t> motors = {0x1001, 0x1002};
    const std::vector<int> statuses = RunWritersAtOnce(path, motors, kEach);
    ASSERT_EQ(statuses.size(), motors.size());
    for (const int status : statuses)
        EXPECT_EQ(status, 0) << "21 could not open, 22 an event was refused, 23 a problem was set, -1 did not end";
    RecordStore store(path.string());
    ASSERT_TRUE(store.IsOpen()) << store.Problem();
    for (const uint16_t motor : motors) {
        HistoryQuery q;
        q.motorId = motor;
        const std::vector<Event> history = store.History(q);
        std::set<std::string> steps;
        for (const Event &e : history) {
            steps.insert(e.action);
            EXPECT_EQ(e.registers.size(), 2u);
        }
        EXPECT_EQ(history.size(), static_cast<size_t>(kEach));
        EXPECT_EQ(steps.size(), static_cast<size_t>(kEach));
    }
}

// The environment, given and taken as UTF-8. On Windows a variable is set
// as the system would have started the program with it: in the system's
// own (UTF-16) environment and in the C library's copies of it, where
// getenv() finds it in the ANSI code page.
#ifdef _WIN32
std::wstring Wide(const std::string &utf8)
{
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
    if (n > 0)
        MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), wide.data(), n);
    return wide;
}

std::optional<std::string> GetEnv(const char *name)
{
    const DWORD room = GetEnvironmentVariableW(Wide(name).c_str(), nullptr, 0);
    if (room == 0)
        return std::nullopt;
    std::wstring wide(room, L'\0');
    wide.resize(GetEnvironmentVariableW(Wide(name).c_str(), wide.data(), room));
    const int n =
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
    std::string utf8(static_cast<size_t>(n > 0 ? n : 0), '\0');
    if (n > 0)
        WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(), n, nullptr, nullptr);
    return utf8;
}

void SetEnv(const char *name, const char *value)
{
    // "NAME=" removes it.
    _wputenv((Wide(name) + L"=" + Wide(value != nullptr ? value : "")).c_str());
}
#else
std::optional<std::string> GetEnv(const char *name)
{
    const char *value = std::getenv(name);
    return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
}

void SetEnv(const char *name, const char *value)
{
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
}
#endif

class ScopedEnv {
public:
    explicit ScopedEnv(const char *name) : name_(name), saved_(GetEnv(name)) {}
    ~ScopedEnv() { SetEnv(name_, saved_ ? saved_->c_str() : nullptr); }
    void Set(const char *value) { SetEnv(name_, value); }

private:
    const char *name_;
    std::optional<std::string> saved_;
};

// A path from UTF-8 and back, whatever the platform's file names are made of.
fs::path PathOf(const std::string &utf8)
{
    return fs::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8(const fs::path &path)
{
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

#ifndef _WIN32
// Reading never changes a file, whatever it is: a damaged one gives what
// could be read and says so, a foreign one is refused, a link is read
// through, and a file or folder the user may only read is read. Nothing in
// the folder is renamed, made or changed.
TEST_F(RecordStoreTest, ReadingChangesNothing)
{
    const bool root = ::geteuid() == 0;
    const struct {
        const char *what;
        std::function<void(const fs::path &)> make;
        bool link;
        mode_t fileMode;       // 0: as made
        mode_t folderMode;     // 0: as made
        bool open;
        bool damaged;
        size_t events;         // at most this many; at least 1 when damaged and open
        std::string mention;
    } cases[] = {
        {"a good file", [](const fs::path &f) { MakeOurs(f, 300); }, false, 0, 0, true, false, 300, ""},
        {"ours with a page overwritten", [](const fs::path &f) { DamagedOurs(f); }, false, 0, 0, true, true, 2999, ""},
        {"a text file", [](const fs::path &f) { WriteBytes(f, TextFile()); }, false, 0, 0, false, false, 0,
         "is not a records file"},
        {"another program's SQLite", [](const fs::path &f) { RunSql(f, "CREATE TABLE photos(id INTEGER);"); }, false,
         0, 0, false, false, 0, "belongs to another program"},
        {"a link to a good file", [](const fs::path &f) { MakeOurs(f, 300); }, true, 0, 0, true, false, 300, ""},
        {"a link to a damaged file", [](const fs::path &f) { DamagedOurs(f); }, true, 0, 0, true, true, 2999, ""},
        {"a file the user may only read", [](const fs::path &f) { MakeOurs(f, 300); }, false, 0444, 0, true, false,
         300, ""},
        {"a read-only folder", [](const fs::path &f) { MakeOurs(f, 300); }, false, 0444, 0555, true, false, 300, ""},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add);
        fs::remove_all(dir);
        fs::create_directories(dir / "shared");
        const fs::path target = c.link ? dir / "shared" / "records.sqlite" : path;
        c.make(target);
        if (c.link)
            fs::create_symlink(target, path);
        if (c.fileMode != 0)
            ::chmod(target.c_str(), c.fileMode);
        if (c.folderMode != 0)
            ::chmod(dir.c_str(), c.folderMode);
        const auto before = FolderContents(dir);
        const auto beforeShared = FolderContents(dir / "shared");
        {
            RecordStore store(path.string(), Access::Read);
            ASSERT_EQ(store.IsOpen(), c.open) << store.Problem();
            if (!c.open) {
                EXPECT_NE(store.Problem().find(c.mention), std::string::npos) << store.Problem();
                EXPECT_NE(store.Problem().find(path.string()), std::string::npos) << store.Problem();
            }
            HistoryQuery q;
            q.motorId = 0x5A05;
            const std::vector<Event> events = store.History(q);
            EXPECT_EQ(store.Damaged(), c.damaged) << store.Damage();
            if (c.damaged) {
                EXPECT_NE(store.Damage().find(path.string() + " are damaged"), std::string::npos) << store.Damage();
                EXPECT_GE(events.size(), 1u);
                EXPECT_LE(events.size(), c.events);
                std::printf("[ MEASURE  ] %s: %zu of 3000 events read\n", c.what, events.size());
                // Still newest first.
                for (size_t i = 1; i < events.size(); ++i)
                    EXPECT_GT(events[i - 1].timeMs, events[i].timeMs);
            } else {
                EXPECT_EQ(events.size(), c.events);
            }
            EXPECT_EQ(store.Add(At(1000, 1, 1, EventKind::DeviceSeen)), 0);
        }
        // 0 files renamed, made or changed (as root, the modes do not stop
        // a write: the test still shows that none was tried).
        EXPECT_EQ(FolderContents(dir), before);
        EXPECT_EQ(FolderContents(dir / "shared"), beforeShared);
        (void)root;
        ::chmod(dir.c_str(), 0755);
    }
}
#endif

// The history of a damaged file: what lies on both sides of the damage,
// not just what comes before it in the index.
TEST_F(RecordStoreTest, ADamagedHistoryGivesWhatCanBeRead)
{
    DamagedOurs(path, 3000);
    RecordStore store(path.string(), Access::Read);
    ASSERT_TRUE(store.IsOpen()) << store.Problem();
    HistoryQuery q;
    q.motorId = 0x5A05;
    const std::vector<Event> events = store.History(q);
    ASSERT_TRUE(store.Damaged());
    // One 4 KiB page holds some 40 of these rows.
    EXPECT_GE(events.size(), 2900u);
    EXPECT_LT(events.size(), 3000u);
    // The newest and the oldest are both there.
    std::set<int64_t> times;
    for (const Event &e : events)
        times.insert(e.timeMs);
    EXPECT_TRUE(times.count(1700000000000 + 3000 * 1000));
    EXPECT_TRUE(times.count(1700000000000 + 1 * 1000));
    // A page of them, newest first, as the window loads them.
    q.limit = 500;
    const std::vector<Event> page = store.History(q);
    ASSERT_EQ(page.size(), 500u);
    EXPECT_EQ(page.front().timeMs, 1700000000000 + 3000 * 1000);
}

#ifndef _WIN32
// Another program holds the write lock: events handed to the writer come
// back at once, and are written, in order, once the lock is free. A
// failed write (the lock held past the busy timeout) keeps its event for
// the next one. Closing while events wait and the lock is still held
// takes no longer than the limit given, and says how many were lost.
TEST_F(RecordStoreTest, TheWriterNeverWaitsForAnotherProgramsLock)
{
    { RecordStore setUp(path.string()); ASSERT_TRUE(setUp.IsOpen()); }
    std::vector<int64_t> written;
    std::mutex m;
    EventWriter writer(path.string(), [&](const EventWriter::Status &, const Event *e) {
        if (e) {
            std::lock_guard<std::mutex> lock(m);
            written.push_back(e->timeMs);
        }
    });
    ASSERT_TRUE(writer.WaitIdle(std::chrono::seconds(10)));
    ASSERT_EQ(writer.Current().state, EventWriter::Status::State::On) << writer.Current().problem;

    sqlite3 *other = nullptr;
    ASSERT_EQ(sqlite3_open(path.string().c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    using Clock = std::chrono::steady_clock;
    auto slowest = Clock::duration::zero();
    for (int i = 1; i <= 50; ++i) {
        const auto t0 = Clock::now();
        EXPECT_TRUE(writer.Add(At(i, 1, 1, EventKind::Motion)));
        slowest = std::max(slowest, Clock::now() - t0);
    }
    std::printf("[ MEASURE  ] slowest Add with the lock held: %.2f ms\n",
                std::chrono::duration<double, std::milli>(slowest).count());
    EXPECT_LT(slowest, std::chrono::milliseconds(50));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_GT(writer.Current().waiting, 0u);
    ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    ASSERT_TRUE(writer.WaitIdle(std::chrono::seconds(20)));
    {
        std::lock_guard<std::mutex> lock(m);
        ASSERT_EQ(written.size(), 50u);
        for (size_t i = 0; i < written.size(); ++i)
            EXPECT_EQ(written[i], static_cast<int64_t>(i + 1));
    }

    // The lock held again, and the window closes: bounded.
    ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    EXPECT_TRUE(writer.Add(At(100, 1, 1, EventKind::Motion)));
    EXPECT_TRUE(writer.Add(At(101, 1, 1, EventKind::Motion)));
    const auto t0 = Clock::now();
    EXPECT_EQ(writer.Close(std::chrono::milliseconds(300)), 2u);
    const auto took = Clock::now() - t0;
    std::printf("[ MEASURE  ] close with 2 events waiting on a held lock, limit 300 ms: %.0f ms\n",
                std::chrono::duration<double, std::milli>(took).count());
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(other);
}

// A write that fails is tried again with the next event, in order, and
// recording stays on.
TEST_F(RecordStoreTest, AFailedWriteIsRetriedWithTheNextEvent)
{
    { RecordStore setUp(path.string()); ASSERT_TRUE(setUp.IsOpen()); }
    EventWriter writer(path.string(), nullptr);
    ASSERT_TRUE(writer.WaitIdle(std::chrono::seconds(10)));
    // The events table made read-only for a moment, the way a trigger of
    // another program might refuse a row.
    RunSql(path, "CREATE TRIGGER refuse BEFORE INSERT ON events BEGIN SELECT RAISE(ABORT, 'refused'); END;");
    EXPECT_TRUE(writer.Add(At(1, 1, 1, EventKind::Motion)));
    writer.WaitIdle(std::chrono::seconds(10));
    EventWriter::Status status = writer.Current();
    EXPECT_EQ(status.state, EventWriter::Status::State::On);
    EXPECT_EQ(status.waiting, 1u);
    EXPECT_NE(status.problem.find("refused"), std::string::npos) << status.problem;
    RunSql(path, "DROP TRIGGER refuse;");
    EXPECT_TRUE(writer.Add(At(2, 1, 1, EventKind::Motion)));
    ASSERT_TRUE(writer.WaitIdle(std::chrono::seconds(10)));
    status = writer.Current();
    EXPECT_EQ(status.problem, "");
    EXPECT_EQ(writer.Close(std::chrono::seconds(5)), 0u);
    RecordStore store(path.string(), Access::Read);
    HistoryQuery q;
    q.motorId = 1;
    const std::vector<Event> events = store.History(q);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].timeMs, 1);
    EXPECT_LT(events[1].id, events[0].id);
}
#endif

#ifdef _WIN32
TEST(DefaultRecordsPath, FollowsTheOverrideThenTheLocalAppDataFolder)
{
    ScopedEnv records("LUMO_RECORDS"), local("LOCALAPPDATA");
    const struct {
        const char *records, *local, *expected;
    } cases[] = {
        {"D:\\line\\records.sqlite", "C:\\x", "D:\\line\\records.sqlite"},
        {"off", "C:\\x", ""},
        {nullptr, "C:\\Users\\anna\\AppData\\Local",
         "C:\\Users\\anna\\AppData\\Local\\lumo-service-tool\\records.sqlite"},
        // A user name beyond the ANSI code page's reach comes out as UTF-8.
        {nullptr, "C:\\Users\\J\xC3\xBCrgen \xE7\x94\xB0\xE4\xB8\xAD\\AppData\\Local",
         "C:\\Users\\J\xC3\xBCrgen \xE7\x94\xB0\xE4\xB8\xAD\\AppData\\Local\\lumo-service-tool\\records.sqlite"},
        {nullptr, nullptr, ""},
    };
    for (const auto &c : cases) {
        records.Set(c.records);
        local.Set(c.local);
        EXPECT_EQ(DefaultRecordsPath(), c.expected)
            << (c.records ? c.records : "(unset)") << " " << (c.local ? c.local : "(unset)");
    }
}

// As the system (here Wine) sets up a user's session: a Local folder on a
// drive, the records below it.
TEST(DefaultRecordsPath, LiesInTheUsersLocalAppDataFolder)
{
    ScopedEnv records("LUMO_RECORDS");
    records.Set(nullptr);
    const std::optional<std::string> local = GetEnv("LOCALAPPDATA");
    ASSERT_TRUE(local && local->size() > 3) << "LOCALAPPDATA is not set";
    EXPECT_EQ(local->substr(1, 2), ":\\") << *local;
    EXPECT_EQ(DefaultRecordsPath(), *local + "\\lumo-service-tool\\records.sqlite");
}

TEST(Origin, NamesAreUtf8)
{
    ScopedEnv station("COMPUTERNAME"), user("USERNAME");
    station.Set("LINE-\xC3\x96ST");
    user.Set("J\xC3\xBCrgen \xE7\x94\xB0\xE4\xB8\xAD");
    EXPECT_EQ(StationName(), "LINE-\xC3\x96ST");
    EXPECT_EQ(UserName(), "J\xC3\xBCrgen \xE7\x94\xB0\xE4\xB8\xAD");
}
#else
TEST(DefaultRecordsPath, FollowsTheOverrideThenTheDataFolder)
{
    ScopedEnv records("LUMO_RECORDS"), data("XDG_DATA_HOME"), home("HOME");
    const struct {
        const char *records, *data, *home, *expected;
    } cases[] = {
        {"/srv/line/records.sqlite", "/x", "/root", "/srv/line/records.sqlite"},
        {"off", "/x", "/root", ""},
        {"", "/x", "/root", ""},
        {nullptr, "/data", "/home/anna", "/data/lumo-service-tool/records.sqlite"},
        // A relative XDG_DATA_HOME is to be ignored.
        {nullptr, "data", "/home/anna", "/home/anna/.local/share/lumo-service-tool/records.sqlite"},
        {nullptr, nullptr, "/home/anna", "/home/anna/.local/share/lumo-service-tool/records.sqlite"},
    };
    for (const auto &c : cases) {
        records.Set(c.records);
        data.Set(c.data);
        home.Set(c.home);
        EXPECT_EQ(DefaultRecordsPath(), c.expected)
            << (c.records ? c.records : "(unset)") << " " << (c.data ? c.data : "(unset)");
    }
}
#endif

// The default place below a user folder whose name is not ASCII (Jürgen
// Tanaka as "Jürgen 田中"): the store makes its folder there and opens its
// file there, not at a garbled name beside it.
TEST_F(RecordStoreTest, OpensAtTheDefaultPlaceBelowANameThatIsNotAscii)
{
    ScopedEnv records("LUMO_RECORDS");
    records.Set(nullptr);
    const std::string user = "J\xC3\xBCrgen \xE7\x94\xB0\xE4\xB8\xAD";
    const fs::path base = dir / PathOf(user) / "data";
    fs::create_directories(base);
#ifdef _WIN32
    ScopedEnv data("LOCALAPPDATA");
#else
    ScopedEnv data("XDG_DATA_HOME");
#endif
    data.Set(Utf8(base).c_str());

    const std::string where = DefaultRecordsPath();
    {
        RecordStore store(where);
        ASSERT_TRUE(store.IsOpen()) << store.Problem();
        EXPECT_GT(store.Add(At(1000, 7, 7, EventKind::DeviceSeen)), 0);
    }
    EXPECT_TRUE(fs::is_regular_file(base / "lumo-service-tool" / "records.sqlite")) << where;
    std::vector<std::string> entries;
    for (const auto &entry : fs::directory_iterator(dir))
        entries.push_back(Utf8(entry.path().filename()));
    EXPECT_EQ(entries, std::vector<std::string>{user});
    RecordStore again(where);
    HistoryQuery q;
    q.motorId = 7;
    EXPECT_EQ(again.History(q).size(), 1u);
}

TEST(MotorIds, AreFourHexDigits)
{
    EXPECT_EQ(MotorIdText(0x5A05), "5A05");
    EXPECT_EQ(MotorIdText(0x000B), "000B");
    const std::pair<const char *, std::optional<uint16_t>> cases[] = {
        {"5A05", 0x5A05}, {"0x5A05", 0x5A05}, {"5a05", 0x5A05}, {"0X00ff", 0x00FF}, {"b", 0x000B},
        {"FFFF", 0xFFFF}, {"", std::nullopt},  {"0x", std::nullopt}, {"10000", std::nullopt},
        {"5A0G", std::nullopt}, {" 5A05", std::nullopt}, {"-1", std::nullopt},
    };
    for (const auto &[text, expected] : cases)
        EXPECT_EQ(ParseMotorId(text), expected) << "'" << text << "'";
}

TEST(Origin, NamesThisStationAndUser)
{
    EXPECT_FALSE(StationName().empty());
    EXPECT_FALSE(UserName().empty());
}

} // namespace

#pragma once
// Records files as the tests need them: good ones of a given length, ones
// of ours with a page overwritten, and files that are not ours, made with
// SQLite directly, as another program (or a bad sector) would leave them.
// Framework-neutral: each returns whether it worked, or what it made.

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>

#include "records/RecordStore.h"

namespace damaged {

namespace fs = std::filesystem;

inline std::string ReadBytes(const fs::path &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void WriteBytes(const fs::path &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// SQL run on a file directly; empty when it went through, else SQLite's error.
inline std::string Sql(const fs::path &path, const std::string &sql)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.string().c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return "cannot open " + path.string();
    }
    char *error = nullptr;
    const int rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error);
    std::string text = rc == SQLITE_OK ? "" : (error != nullptr ? error : "failed");
    sqlite3_free(error);
    sqlite3_close(db);
    return text;
}

constexpr uint16_t kMotor = 0x5A05;
constexpr int64_t kFirstMs = 1700000000000;

// A records file of ours with `count` motion events of kMotor at address
// 5, one a second from kFirstMs + 1 s on, folded into the file itself (no
// log beside it). Empty when it worked.
inline std::string MakeOurs(const fs::path &file, int count)
{
    {
        records::RecordStore store(file.string());
        if (!store.IsOpen())
            return store.Problem();
    }
    return Sql(file, "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                         std::to_string(count) +
                         ") INSERT INTO events(time_ms, motor_id, address, kind, station, user_name, program, port,"
                         " result, action, detail) SELECT " +
                         std::to_string(kFirstMs) + " + i * 1000, " + std::to_string(kMotor) +
                         ", 5, 'motion', 'line-3', 'anna', 'lumoctl', '/dev/ttyUSB0', 0, 'up',"
                         " printf('event %d of a long history', i) FROM n;"
                         "PRAGMA wal_checkpoint(TRUNCATE);");
}

// MakeOurs, then the page holding the event of the middle overwritten, as a
// bad sector or a stray write leaves it: the header still says the file is
// ours. Returns the file's bytes; empty when it could not be made.
inline std::string DamagedOurs(const fs::path &file, int count = 3000)
{
    if (!MakeOurs(file, count).empty())
        return {};
    std::string bytes = ReadBytes(file);
    const size_t page = 4096;
    const size_t at = bytes.find("event " + std::to_string(count / 2) + " of a long history");
    if (at == std::string::npos)
        return {};
    const size_t start = at / page * page;
    std::fill(bytes.begin() + static_cast<long>(start), bytes.begin() + static_cast<long>(start + page), '\xA5');
    std::error_code ec;
    fs::remove(file.string() + "-wal", ec);
    fs::remove(file.string() + "-shm", ec);
    WriteBytes(file, bytes);
    return bytes;
}

// Says that the file was checked today, so that opening it to record
// does not run the check (and set it aside) first.
inline void CheckedToday(const fs::path &file)
{
    WriteBytes(file.string() + "-checked", "");
}

inline std::string TextFile()
{
    std::string text;
    for (int i = 0; i < 200; ++i)
        text += "this is not a database, line " + std::to_string(i) + "\n";
    return text;
}

// Every name in a folder (a link with what it names) with a digest of each
// regular file's bytes. The index of the log (-shm) and an empty log are
// SQLite's own: a reader of a WAL file makes them where it can.
inline std::map<std::string, size_t> FolderContents(const fs::path &folder)
{
    std::map<std::string, size_t> contents;
    for (const auto &entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        const bool regular = entry.is_regular_file() && !entry.is_symlink();
        if (name.ends_with("-shm") || (name.ends_with("-wal") && regular && fs::file_size(entry.path()) == 0))
            continue;
        contents[name + (entry.is_symlink() ? " -> " + fs::read_symlink(entry).string() : "")] =
            regular ? std::hash<std::string>{}(ReadBytes(entry.path())) : 0;
    }
    return contents;
}

} // namespace damaged

// history and report on records files that are damaged, not ours, reached
// through a link, read-only or locked by another program: each shows what
// can be read, says what is wrong with its own exit code, and leaves every
// file exactly as it was.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <string>

#include <nlohmann/json.hpp>

#include "CliRunner.h"
#include "DamagedRecords.h"

namespace {

namespace fs = std::filesystem;
using namespace damaged;

struct FileCase {
    const char *what;
    std::function<std::string(const fs::path &)> make; // empty when made
    bool link;            // the records path is a link to the file
    mode_t fileMode;      // 0: as made
    mode_t folderMode;    // 0: as made
    bool lockHeld;        // another program holds the write lock meanwhile
    int exitCode;
    const char *mention;  // in stderr
    size_t events;        // in the file (0 for a refusal); a damaged file shows fewer
};

// Few, so that the report stays quick; a page of the file holds some 40.
constexpr int kEvents = 120;

std::string Made(const std::string &bytes)
{
    return bytes.empty() ? "cannot make the file" : "";
}

const FileCase kCases[] = {
    {"a good file", [](const fs::path &f) { return MakeOurs(f, kEvents); }, false, 0, 0, false, 0, "", kEvents},
    {"ours with a page overwritten", [](const fs::path &f) { return Made(DamagedOurs(f, kEvents)); }, false, 0, 0, false, 5,
     "are damaged", kEvents},
    {"a text file", [](const fs::path &f) { WriteBytes(f, TextFile()); return std::string(); }, false, 0, 0, false, 2,
     "is not a records file", 0},
    {"another program's SQLite", [](const fs::path &f) { return Sql(f, "CREATE TABLE photos(id INTEGER);"); }, false,
     0, 0, false, 2, "belongs to another program", 0},
    {"a link to a damaged file", [](const fs::path &f) { return Made(DamagedOurs(f, kEvents)); }, true, 0, 0, false, 5,
     "are damaged", kEvents},
    {"a link to a good file", [](const fs::path &f) { return MakeOurs(f, kEvents); }, true, 0, 0, false, 0, "", kEvents},
    {"a file the user may only read", [](const fs::path &f) { return MakeOurs(f, kEvents); }, false, 0444, 0, false, 0,
     "", kEvents},
    {"a read-only folder", [](const fs::path &f) { return MakeOurs(f, kEvents); }, false, 0444, 0555, false, 0, "", kEvents},
    {"a file another program holds locked", [](const fs::path &f) { return MakeOurs(f, kEvents); }, false, 0, 0, true, 0,
     "", kEvents},
};

// lumoctl as the user it would be for these modes: root may write any file,
// so as root the read-only cases run lumoctl as nobody (setpriv, part of
// util-linux).
CliResult RunAs(const FileCase &c, const std::vector<std::string> &args, int timeoutMs)
{
    if (::geteuid() != 0 || c.fileMode == 0)
        return RunCli(args, timeoutMs);
    ::setenv("LUMO_RECORDS", "off", 1);
    std::vector<std::string> argv{"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", LUMOCTL_PROGRAM};
    argv.insert(argv.end(), args.begin(), args.end());
    Process process(argv);
    return process.Finish(timeoutMs);
}

class CliRecordsFilesTest : public ::testing::TestWithParam<FileCase> {
protected:
    fs::path dir;
    fs::path records; // what --records names
    fs::path target;  // the file itself

    void SetUp() override
    {
        char name[] = "/tmp/lumoctl-records-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir = name;
        fs::create_directories(dir / "shared");
        records = dir / "records.sqlite";
        const FileCase &c = GetParam();
        target = c.link ? dir / "shared" / "records.sqlite" : records;
        ASSERT_EQ(c.make(target), "");
        if (c.link)
            fs::create_symlink(target, records);
        if (c.fileMode != 0) {
            ::chmod(target.c_str(), c.fileMode);
            // Whoever reads it can reach it.
            ::chmod(dir.c_str(), 0755);
        }
        if (c.folderMode != 0)
            ::chmod(dir.c_str(), c.folderMode);
    }
    void TearDown() override
    {
        ::chmod(dir.c_str(), 0755);
        fs::remove_all(dir);
    }
};

// `history` and `report`: what each shows and its exit code; 0 files
// renamed, made or changed by either.
TEST_P(CliRecordsFilesTest, HistoryAndReportChangeNothing)
{
    const FileCase &c = GetParam();
    const auto before = FolderContents(dir);
    const auto beforeShared = FolderContents(dir / "shared");

    sqlite3 *other = nullptr;
    if (c.lockHeld) {
        // Another program in the middle of a write, for longer than a
        // history takes.
        ASSERT_EQ(sqlite3_open(target.c_str(), &other), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE; DELETE FROM events WHERE id > 100;", nullptr, nullptr,
                               nullptr),
                  SQLITE_OK);
    }
    const auto t0 = std::chrono::steady_clock::now();
    const CliResult history = RunAs(c, {"--records", records.string(), "--json", "history", "5A05"}, 30000);
    const auto took = std::chrono::steady_clock::now() - t0;
    const fs::path pdf = fs::temp_directory_path() / (std::string("lumoctl-records-files-") +
                                                      std::to_string(::getpid()) + ".pdf");
    // The report lays out its events (slowly, on a loaded machine).
    const CliResult report = RunAs(c, {"--records", records.string(), "report", "5A05", "-o", pdf.string()}, 120000);
    if (other != nullptr) {
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(other);
        // A reader does not wait for the writer's lock.
        EXPECT_LT(took, std::chrono::seconds(4));
    }

    EXPECT_EQ(history.exitCode, c.exitCode) << history.err;
    EXPECT_EQ(report.exitCode, c.exitCode) << report.err;
    if (c.mention[0] != '\0') {
        EXPECT_NE(history.err.find(c.mention), std::string::npos) << history.err;
        EXPECT_NE(report.err.find(c.mention), std::string::npos) << report.err;
        EXPECT_NE(history.err.find(records.string()), std::string::npos) << history.err;
    }
    if (c.events > 0) {
        const nlohmann::json doc = nlohmann::json::parse(history.out, nullptr, false);
        ASSERT_FALSE(doc.is_discarded()) << history.out;
        const size_t shown = doc["events"].size();
        if (c.exitCode != 5) {
            EXPECT_EQ(shown, c.events);
        } else {
            // What lies on both sides of the damaged page.
            EXPECT_GT(shown, c.events / 2);
            EXPECT_LT(shown, c.events);
            EXPECT_EQ(doc["damaged"], true);
            EXPECT_NE(history.err.find(std::to_string(shown) + " events of motor 5A05 shown"), std::string::npos)
                << history.err;
            // The report covers what could be read, and is written.
            EXPECT_TRUE(fs::exists(pdf));
        }
    }
    std::error_code ec;
    fs::remove(pdf, ec);
    EXPECT_EQ(FolderContents(dir), before);
    EXPECT_EQ(FolderContents(dir / "shared"), beforeShared);
}

INSTANTIATE_TEST_SUITE_P(RecordsFiles, CliRecordsFilesTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FileCase> &info) {
                             std::string name;
                             for (const char *p = info.param.what; *p != '\0'; ++p)
                                 if (std::isalnum(static_cast<unsigned char>(*p)))
                                     name += *p;
                             return name;
                         });

} // namespace

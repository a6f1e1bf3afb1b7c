#include <gtest/gtest.h>

#ifndef _WIN32
#include <signal.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/sysmacros.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>

#include "config/ConfigFile.h"
#include "config/ConfigRules.h"
#include "modbus/Registers.h"

namespace fs = std::filesystem;

namespace {

using FileBytes = std::vector<uint8_t>;

// The reason given for a failure: the C library's text for the errno on
// POSIX; on Windows the system's own message, whatever its wording.
void ExpectSystemReason(const std::string &error, int errnoCode)
{
#ifdef _WIN32
    (void)errnoCode;
    EXPECT_FALSE(error.empty());
#else
    EXPECT_EQ(error, std::strerror(errnoCode));
#endif
}

// Stroke 1000, rear 0, front 1000, 5000 mA, 100 %, single hall sensor,
// limit switch, 5.0 V, "0.5 ~ 10", 115200.
const FileBytes kExample = {0x00, 0x00, 0xE8, 0x03, 0x00, 0x00, 0xE8, 0x03, 0x88, 0x13, 0x64,
                            0x00, 0x03, 0x00, 0x00, 0x08, 0x00, 0x00, 0x00, 0x00, 0x00, 0x80};

class ConfigFileInDir : public ::testing::Test {
protected:
    fs::path dir;

    void SetUp() override
    {
        char name[] = "/tmp/lumo-config-XXXXXX";
        ASSERT_NE(::mkdtemp(name), nullptr);
        dir = name;
    }
    void TearDown() override { fs::remove_all(dir); }

    fs::path Put(const std::string &name, const FileBytes &bytes) const
    {
        const fs::path p = dir / name;
        std::ofstream(p, std::ios::binary).write(reinterpret_cast<const char *>(bytes.data()),
                                                 static_cast<std::streamsize>(bytes.size()));
        return p;
    }
    static FileBytes Contents(const fs::path &p)
    {
        std::ifstream in(p, std::ios::binary);
        return FileBytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Every name in the directory: a failed write must leave no temporary.
    std::vector<std::string> Names() const
    {
        std::vector<std::string> names;
        for (const auto &entry : fs::directory_iterator(dir))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(ConfigFileInDir, GatheredPageValuesAreWrittenByteForByte)
{
    ConfigInputs page;
    page.stroke = "1000";
    page.rear = "0";
    page.front = "1000";
    page.overLoad = "5000";
    page.speed = "100";
    page.hallSensor = 0;  // "Single"
    page.limitSwitch = 0; // "Yes"
    page.voltageVisible = true;
    page.voltage = 0;     // "5.0"
    page.hallPot = 0;     // "0.5 ~ 10"
    page.busBaud = 0;     // "115200"
    ActuatorConfig record;
    ASSERT_TRUE(GatherConfig(page, 0, Model::LumoP, record));

    // Over an older file of the same name, which the write replaces.
    const fs::path p = Put(ProposedConfigFileName(record.motorId, std::tm{}) + ".config", FileBytes(22, 0xFF));
    std::string error;
    ASSERT_TRUE(WriteConfigFile(p.string(), record, error)) << error;
    EXPECT_EQ(Contents(p), kExample);
    EXPECT_EQ(Names().size(), 1u);

    ActuatorConfig back;
    ASSERT_EQ(ReadConfigFile(p.string(), back, error), ImportStatus::Ok);
    EXPECT_EQ(back, record);
}

// A name chosen in a dialog may hold any character; it arrives as UTF-8.
TEST_F(ConfigFileInDir, NamesBeyondAsciiRoundTrip)
{
    const std::string path = dir.string() + "/Einstellung \xC3\xBC\xE2\x82\xAC.config"; // "ü€"
    ActuatorConfig record;
    record.BaudRate = 3;
    std::string error;
    ASSERT_TRUE(WriteConfigFile(path, record, error)) << error;
    ActuatorConfig back;
    ASSERT_EQ(ReadConfigFile(path, back, error), ImportStatus::Ok) << error;
    EXPECT_EQ(back, record);
    EXPECT_EQ(Names().size(), 1u);
}

TEST(ConfigFileName, IsMotorIdInHexThenLocalDateAndTime)
{
    std::tm t{};
    t.tm_year = 2024 - 1900;
    t.tm_mon = 0;
    t.tm_mday = 31;
    t.tm_hour = 9;
    t.tm_min = 5;
    EXPECT_EQ(ProposedConfigFileName(0, t), "LUMO_MID-0x0000_20240131-0905");
    t.tm_hour = 23;
    t.tm_min = 59;
    EXPECT_EQ(ProposedConfigFileName(0xABC, t), "LUMO_MID-0x0ABC_20240131-2359");
}

TEST_F(ConfigFileInDir, OnlyTwentyTwoByteFilesAreTaken)
{
    for (size_t size : {size_t{0}, size_t{21}, size_t{23}, size_t{1} << 20}) {
        const fs::path p = Put("size.config", FileBytes(size, 0x5A));
        ActuatorConfig record;
        record.MaxPos = 42;
        std::string error;
        EXPECT_EQ(ReadConfigFile(p.string(), record, error), ImportStatus::WrongSize) << size;
        EXPECT_EQ(record.MaxPos, 42) << size;
    }
}

TEST_F(ConfigFileInDir, UnknownCodesShowAsFirstChoicesAndBadLimitsAreFlagged)
{
    FileBytes bytes = kExample;
    bytes[16] = 7; // HallPotSelect
    bytes[18] = 9; // BaudRate
    bytes[6] = 0xF4; // FrontLimit 500 ...
    bytes[7] = 0x01;
    bytes[2] = 0x2C; // ... above a stroke of 300
    bytes[3] = 0x01;
    const fs::path p = Put("odd.config", bytes);
    ActuatorConfig record;
    std::string error;
    ASSERT_EQ(ReadConfigFile(p.string(), record, error), ImportStatus::Ok);

    const ConfigInputs shown = ShowConfig(record, 0, ConfigInputs{});
    EXPECT_EQ(shown.hallPot, 0);
    EXPECT_EQ(shown.busBaud, 0);
    const ValidationResult v = ValidateConfigInputs(shown, 0, Model::LumoP);
    EXPECT_FALSE(v.valid);
    EXPECT_EQ(v.front, Mark::Bad);
    EXPECT_EQ(v.stroke, Mark::Good);
}

struct UnreadableCase {
    const char *what;
    std::function<fs::path(const fs::path &dir)> make;
    ImportStatus status;
    int errorCode; // 0: no reason expected
};

class ImportFailures : public ConfigFileInDir, public ::testing::WithParamInterface<UnreadableCase> {};

TEST_P(ImportFailures, AreReportedWithTheSystemsReasonAndChangeNothing)
{
    const fs::path p = GetParam().make(dir);
    ActuatorConfig record;
    record.SpeedPwm = 55;
    std::string error;
    EXPECT_EQ(ReadConfigFile(p.string(), record, error), GetParam().status);
    if (GetParam().errorCode != 0)
        ExpectSystemReason(error, GetParam().errorCode);
    EXPECT_EQ(record.SpeedPwm, 55);
}

const UnreadableCase kImportFailures[] = {
    {"missing_file", [](const fs::path &d) { return d / "none.config"; }, ImportStatus::Unreadable, ENOENT},
    {"directory",
     [](const fs::path &d) {
         fs::create_directory(d / "dir.config");
         return d / "dir.config";
     },
     ImportStatus::Unreadable, EISDIR},
#ifndef _WIN32
    // Opening a FIFO with no writer would block a plain open forever.
    {"fifo_without_writer",
     [](const fs::path &d) {
         ::mkfifo((d / "fifo.config").c_str(), 0600);
         return d / "fifo.config";
     },
     ImportStatus::WrongSize, 0},
#endif
};

INSTANTIATE_TEST_SUITE_P(Cases, ImportFailures, ::testing::ValuesIn(kImportFailures),
                         [](const auto &info) { return std::string(info.param.what); });

struct WriteFailureCase {
    const char *what;
    std::function<fs::path(const fs::path &dir)> make;
    int errorCode;
};

class ExportFailures : public ConfigFileInDir, public ::testing::WithParamInterface<WriteFailureCase> {};

TEST_P(ExportFailures, LeaveWhatWasThereAndNoTemporary)
{
    const fs::path p = GetParam().make(dir);
    const std::vector<std::string> before = Names();
    std::string error;
    EXPECT_FALSE(WriteConfigFile(p.string(), ActuatorConfig{}, error));
    ExpectSystemReason(error, GetParam().errorCode);
    EXPECT_EQ(Names(), before);
}

const WriteFailureCase kExportFailures[] = {
    {"target_is_a_directory",
     [](const fs::path &d) {
         fs::create_directory(d / "taken.config");
         return d / "taken.config";
     },
     EISDIR},
    {"directory_missing", [](const fs::path &d) { return d / "no" / "x.config"; }, ENOENT},
    {"empty_name", [](const fs::path &) { return fs::path(); }, ENOENT},
#ifndef _WIN32
    // Nobody reads the FIFO: the export fails at once instead of hanging
    // the window, and the FIFO stays a FIFO.
    {"fifo_without_reader",
     [](const fs::path &d) {
         ::mkfifo((d / "fifo").c_str(), 0600);
         return d / "fifo";
     },
     ENXIO},
#endif
};

INSTANTIATE_TEST_SUITE_P(Cases, ExportFailures, ::testing::ValuesIn(kExportFailures),
                         [](const auto &info) { return std::string(info.param.what); });

#ifndef _WIN32
// The write itself fails halfway (a file-size limit of 10 bytes, which also
// stops root): the old file keeps its 22 bytes and no temporary remains.
TEST_F(ConfigFileInDir, WriteFailingHalfwayLeavesTheOldFileIntact)
{
    const fs::path p = Put("old.config", kExample);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{10, 10};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::string error;
        const bool ok = WriteConfigFile(p.string(), ActuatorConfig{}, error);
        ::_exit(!ok && error == std::string("disk full (") + std::strerror(EFBIG) + ")" ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write should fail with \"disk full\" and the reason for EFBIG";
    EXPECT_EQ(Contents(p), kExample);
    EXPECT_EQ(Names(), std::vector<std::string>{"old.config"});
}

TEST_F(ConfigFileInDir, ReplacingKeepsPermissionsAndFollowsLinks)
{
    const fs::path real = Put("real.config", FileBytes(22, 0xFF));
    ::chmod(real.c_str(), 0640);
    const fs::path link = dir / "link.config";
    fs::create_symlink(real, link);
    ActuatorConfig record;
    record.MaxPos = 0x0102;
    std::string error;
    ASSERT_TRUE(WriteConfigFile(link.string(), record, error)) << error;

    EXPECT_TRUE(fs::is_symlink(link));
    const FileBytes written = Contents(real);
    ASSERT_EQ(written.size(), 22u);
    EXPECT_EQ(written[2], 0x02);
    EXPECT_EQ(written[3], 0x01);
    struct stat st {};
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    EXPECT_EQ(Names(), (std::vector<std::string>{"link.config", "real.config"}));
}

// Anything at the name that is not a regular file keeps its kind: a FIFO or
// a character device gets the bytes written to it, a link stays a link.
// The read end the test drains, and a write end it must keep open.
struct Ends {
    int reader = -1;
    int writer = -1;
};

struct StreamTarget {
    const char *what;
    // Makes the node in `dir` and returns the name to export to. A FIFO or
    // pipe is opened for reading first, as a program reading it would.
    std::function<fs::path(const fs::path &dir, Ends &ends)> make;
    const char *node; // the name in `dir` that must keep its kind
    mode_t kind;
};

std::ostream &operator<<(std::ostream &os, const StreamTarget &t)
{
    return os << t.what;
}

class ExportToStream : public ConfigFileInDir, public ::testing::WithParamInterface<StreamTarget> {};

// The same major and minor numbers as /dev/null, made in the scratch directory.
fs::path MakeNull(const fs::path &d)
{
    ::mknod((d / "null").c_str(), S_IFCHR | 0666, ::makedev(1, 3));
    return d / "null";
}

fs::path MakeFifo(const fs::path &d, Ends &ends)
{
    ::mkfifo((d / "fifo").c_str(), 0600);
    ends.reader = ::open((d / "fifo").c_str(), O_RDONLY | O_NONBLOCK);
    return d / "fifo";
}

fs::path LinkTo(const fs::path &d, const fs::path &target)
{
    fs::create_symlink(target.filename(), d / "link.config"); // relative, as `ln -s fifo link.config` makes it
    return d / "link.config";
}

const StreamTarget kStreamTargets[] = {
    {"fifo", [](const fs::path &d, Ends &e) { return MakeFifo(d, e); }, "fifo", S_IFIFO},
    {"link_to_a_fifo", [](const fs::path &d, Ends &e) { return LinkTo(d, MakeFifo(d, e)); }, "fifo", S_IFIFO},
    {"character_device", [](const fs::path &d, Ends &) { return MakeNull(d); }, "null", S_IFCHR},
    {"link_to_a_character_device", [](const fs::path &d, Ends &) { return LinkTo(d, MakeNull(d)); }, "null",
     S_IFCHR},
    // What /dev/stdout names when standard output is a pipe.
    {"proc_fd_link_to_a_pipe",
     [](const fs::path &, Ends &e) {
         int fds[2];
         if (::pipe(fds) != 0)
             return fs::path();
         e = {fds[0], fds[1]};
         return fs::path("/proc/self/fd/" + std::to_string(fds[1]));
     },
     nullptr, 0},
};

TEST_P(ExportToStream, WritesTheBytesAndKeepsTheKind)
{
    Ends ends;
    const fs::path p = GetParam().make(dir, ends);
    ASSERT_FALSE(p.empty());
    const std::vector<std::string> before = Names();
    struct stat node {};
    const bool hasNode = GetParam().node != nullptr;
    if (hasNode) {
        ASSERT_EQ(::lstat((dir / GetParam().node).c_str(), &node), 0);
    }

    ActuatorConfig record;
    record.MaxPos = 0x0102;
    std::string error;
    ASSERT_TRUE(WriteConfigFile(p.string(), record, error)) << error;

    EXPECT_EQ(Names(), before) << "nothing replaced, no temporary left";
    if (hasNode) {
        struct stat after {};
        ASSERT_EQ(::lstat((dir / GetParam().node).c_str(), &after), 0);
        EXPECT_EQ(after.st_mode & S_IFMT, GetParam().kind);
        EXPECT_EQ(after.st_ino, node.st_ino);
        EXPECT_EQ(after.st_rdev, node.st_rdev);
    }
    if (p.filename() == "link.config") {
        EXPECT_TRUE(fs::is_symlink(p));
    }
    if (ends.writer >= 0)
        ::close(ends.writer);
    if (ends.reader >= 0) {
        uint8_t got[64];
        const ssize_t n = ::read(ends.reader, got, sizeof got);
        ::close(ends.reader);
        ASSERT_EQ(n, 22);
        EXPECT_EQ(got[2], 0x02);
        EXPECT_EQ(got[3], 0x01);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, ExportToStream, ::testing::ValuesIn(kStreamTargets),
                         [](const auto &info) { return std::string(info.param.what); });

// A link to a name not yet taken: the file is made where the link points.
TEST_F(ConfigFileInDir, LinkToAMissingFileCreatesThatFile)
{
    fs::create_directory(dir / "saved");
    fs::create_symlink("saved/new.config", dir / "link.config");
    std::string error;
    ASSERT_TRUE(WriteConfigFile((dir / "link.config").string(), ActuatorConfig{}, error)) << error;
    EXPECT_TRUE(fs::is_symlink(dir / "link.config"));
    EXPECT_EQ(Contents(dir / "saved" / "new.config").size(), 22u);
    EXPECT_EQ(Names(), (std::vector<std::string>{"link.config", "saved"}));
}

TEST_F(ConfigFileInDir, BlockDeviceIsRefusedAndKept)
{
    const fs::path p = dir / "disk";
    ASSERT_EQ(::mknod(p.c_str(), S_IFBLK | 0600, ::makedev(7, 200)), 0) << std::strerror(errno);
    std::string error;
    EXPECT_FALSE(WriteConfigFile(p.string(), ActuatorConfig{}, error));
    EXPECT_NE(error.find("block device"), std::string::npos) << error;
    EXPECT_TRUE(fs::is_block_file(p));
    EXPECT_EQ(Names(), std::vector<std::string>{"disk"});
}
#endif

} // namespace

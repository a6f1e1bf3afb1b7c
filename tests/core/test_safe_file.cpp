// WriteWholeFile, the one way the tool and lumoctl write a file, against
// everything that can go wrong at the place it writes to; and the streams:
// standard output, and a reader that goes away.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "WriteTargets.h"
#include "config/SafeFile.h"

namespace {

using namespace writetargets;

// More than a pipe holds at once, so a stream is written in several parts.
std::string Payload()
{
    std::string bytes;
    for (int i = 0; bytes.size() < 200000; ++i)
        bytes += "line " + std::to_string(i) + " of what the writer saves\n";
    return bytes;
}

class WriteWholeFileAt : public ::testing::TestWithParam<TargetCase> {};

TEST_P(WriteWholeFileAt, WritesWholeOrFailsSayingWhyAndLeavesWhatWasThere)
{
    const TargetCase &c = GetParam();
    Place place(c.target);
    if (!place.skip().empty())
        GTEST_SKIP() << place.skip();
    const std::string bytes = Payload();
    std::string error;
    const bool ok = WriteWholeFile(place.path(), bytes, error);
    if (c.succeeds) {
        ASSERT_TRUE(ok) << error;
        std::string problem;
        const std::string written = place.Written(problem);
        EXPECT_EQ(problem, "");
        EXPECT_EQ(written.size(), bytes.size());
        EXPECT_TRUE(written == bytes) << "the bytes that arrived differ";
    } else {
        EXPECT_FALSE(ok) << "reported as written";
        EXPECT_FALSE(error.empty());
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        EXPECT_EQ(place.CheckUntouched(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Places, WriteWholeFileAt, ::testing::ValuesIn(kTargetCases),
                         [](const auto &info) { return std::string(info.param.name); });

// The file-size limit (the same refusal a full disk gives, from the
// process's side), in a child so that the limit binds nothing else.
TEST(WriteWholeFile, FileSizeLimitIsADiskFullAndKeepsTheOldFile)
{
    char name[] = "/tmp/lumo-limit-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    const fs::path dir = name;
    const fs::path file = dir / "older.out";
    WriteAll(file, Place::kOld);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        std::string error;
        const bool ok = WriteWholeFile(file.string(), Payload(), error);
        ::_exit(!ok && error.rfind("disk full (", 0) == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "the write should fail with \"disk full (...)\"";
    EXPECT_EQ(ReadAll(file), Place::kOld);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    fs::remove_all(dir);
}

// A reader that goes away in the middle: the write fails with the reason,
// and the program lives on (SIGPIPE would end it).
TEST(WriteWholeFile, ReaderGoingAwayFailsTheWriteAndNotTheProgram)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    ::close(fds[0]);
    const std::string path = "/proc/self/fd/" + std::to_string(fds[1]);
    std::string error;
    EXPECT_FALSE(WriteWholeFile(path, Payload(), error));
    EXPECT_EQ(error, std::strerror(EPIPE));
    // Standard output as "-", where a command offers it, gone the same way.
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    std::string dashError;
    const bool dashOk = WriteWholeFile("-", Payload(), dashError, WriteOptions{true});
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(fds[1]);
    EXPECT_FALSE(dashOk);
    EXPECT_EQ(dashError, std::strerror(EPIPE));
    // A SIGPIPE raised meanwhile was taken away, not left pending.
    sigset_t pending;
    sigpending(&pending);
    EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

// "-" is standard output only where the command says so; elsewhere it is a
// file of that name.
TEST(WriteWholeFile, DashIsStandardOutputOnlyWhenOffered)
{
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const int saved = ::dup(STDOUT_FILENO);
    ::dup2(fds[1], STDOUT_FILENO);
    std::string error;
    const bool ok = WriteWholeFile("-", "%PDF-1.4 whole", error, WriteOptions{true});
    ::dup2(saved, STDOUT_FILENO);
    ::close(saved);
    ::close(fds[1]);
    ASSERT_TRUE(ok) << error;
    char got[64] = {};
    EXPECT_EQ(::read(fds[0], got, sizeof got), 14);
    EXPECT_STREQ(got, "%PDF-1.4 whole");
    ::close(fds[0]);

    char name[] = "/tmp/lumo-dash-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    const fs::path dir = name;
    const fs::path before = fs::current_path();
    fs::current_path(dir);
    EXPECT_TRUE(WriteWholeFile("-", "a file called -", error)) << error;
    fs::current_path(before);
    EXPECT_EQ(ReadAll(dir / "-"), "a file called -");
    fs::remove_all(dir);
}

TEST(WriteErrorText, SaysDiskFullInWords)
{
    EXPECT_EQ(WriteErrorText(ENOSPC), std::string("disk full (") + std::strerror(ENOSPC) + ")");
    EXPECT_EQ(WriteErrorText(EFBIG), std::string("disk full (") + std::strerror(EFBIG) + ")");
    EXPECT_EQ(WriteErrorText(EACCES), std::strerror(EACCES));
}

} // namespace

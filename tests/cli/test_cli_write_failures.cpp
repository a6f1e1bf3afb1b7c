// What lumoctl writes (the service report with `report -o`, a configuration
// with `config read -o`) against everything that can go wrong at the place
// it writes to; and the report on standard output, never mixed with the
// summary line.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <tuple>

#include "CliFixture.h"
#include "WriteTargets.h"

namespace {

using namespace writetargets;

enum class Writer { Report, ConfigRead };

const char *WriterName(Writer w)
{
    return w == Writer::Report ? "report" : "config_read";
}

// A whole PDF: its header, and its end-of-file mark at the end.
bool WholePdf(const std::string &bytes)
{
    return bytes.rfind("%PDF-", 0) == 0 && bytes.find("%%EOF", bytes.size() > 16 ? bytes.size() - 16 : 0) !=
                                                 std::string::npos;
}

class CliWriteTest : public CliBusTest {
protected:
    void SetUp() override
    {
        records_ = TempFile("write-records.sqlite");
        RemoveRecords();
        StartBus({Device(5, Model::LumoP)});
    }
    void TearDown() override { RemoveRecords(); }
    void RemoveRecords()
    {
        for (const char *suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(records_ + suffix);
    }

    // Records of motor 5A05 to report on: what `info` leaves.
    void MakeRecords()
    {
        const CliResult info = Run({"--records", records_, "info", "5"});
        ASSERT_EQ(info.exitCode, 0) << info.err;
    }

    // The writer's command writing to `path`.
    CliResult Write(Writer writer, const std::string &path)
    {
        if (writer == Writer::Report)
            return RunCli({"--records", records_, "report", "5A05", "-o", path});
        return Run({"config", "read", "5", "-o", path});
    }

    std::string records_;
};

class CliWriteAt : public CliWriteTest, public ::testing::WithParamInterface<std::tuple<TargetCase, Writer>> {};

TEST_P(CliWriteAt, WritesWholeOrFailsSayingWhyAndLeavesWhatWasThere)
{
    const auto &[c, writer] = GetParam();
    if (writer == Writer::Report)
        MakeRecords();
    Place place(c.target);
    if (!place.skip().empty())
        GTEST_SKIP() << place.skip();

    const CliResult r = Write(writer, place.path());
    const std::string said = writer == Writer::Report ? "written to" : "Saved to";
    if (writer == Writer::ConfigRead && c.target == Target::Directory) {
        // `config read -o FOLDER` saves under the proposed name in it.
        ASSERT_EQ(r.exitCode, 0) << r.err;
        size_t files = 0;
        for (const auto &entry : std::filesystem::directory_iterator(place.path()))
            files += entry.path().extension() == ".config" && std::filesystem::file_size(entry.path()) == 22;
        EXPECT_EQ(files, 1u);
        return;
    }
    if (c.succeeds) {
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.out.find(said), std::string::npos) << r.out;
        std::string problem;
        const std::string written = place.Written(problem);
        EXPECT_EQ(problem, "");
        if (writer == Writer::Report)
            EXPECT_TRUE(WholePdf(written)) << written.size() << " bytes";
        else
            EXPECT_EQ(written.size(), 22u);
    } else {
        EXPECT_EQ(r.exitCode, 2) << "exit " << r.exitCode << "\n" << r.out << r.err;
        EXPECT_EQ(r.out.find(said), std::string::npos) << "announced as written:\n" << r.out;
        EXPECT_NE(r.err.find(place.path()), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(c.reason), std::string::npos) << r.err;
        EXPECT_EQ(place.CheckUntouched(), "");
    }
}

INSTANTIATE_TEST_SUITE_P(Places, CliWriteAt,
                         ::testing::Combine(::testing::ValuesIn(kTargetCases),
                                            ::testing::Values(Writer::Report, Writer::ConfigRead)),
                         [](const auto &info) {
                             return std::string(WriterName(std::get<1>(info.param))) + "_" +
                                    std::get<0>(info.param).name;
                         });

// "-o -": the PDF alone on standard output, the summary on stderr.
TEST_F(CliWriteTest, ReportToStandardOutputIsThePdfAlone)
{
    MakeRecords();
    const CliResult r = RunCli({"--records", records_, "report", "5A05", "-o", "-"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(WholePdf(r.out)) << r.out.substr(0, 64);
    EXPECT_EQ(r.out.find("Service report of motor"), std::string::npos);
    EXPECT_NE(r.err.find("Service report of motor 5A05"), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists("-"));

    // --json would want standard output too.
    const CliResult json = RunCli({"--records", records_, "--json", "report", "5A05", "-o", "-"});
    EXPECT_EQ(json.exitCode, 2);
    EXPECT_EQ(Json(json)["ok"], false);
}

// "-o /dev/stdout", into a pipe and into a file standard output was sent
// to: the PDF whole, the summary never over its start.
TEST_F(CliWriteTest, ReportToDevStdoutNeverMixesTheSummaryIn)
{
    MakeRecords();
    const CliResult piped = RunCli({"--records", records_, "report", "5A05", "-o", "/dev/stdout"});
    ASSERT_EQ(piped.exitCode, 0) << piped.err;
    EXPECT_TRUE(WholePdf(piped.out)) << piped.out.substr(0, 64);
    EXPECT_EQ(piped.out.find("Service report of motor"), std::string::npos);
    EXPECT_NE(piped.err.find("Service report of motor 5A05"), std::string::npos) << piped.err;

    const std::string file = TempFile("redirected.pdf");
    std::string err;
    const int exit = RunToEnd({"sh", "-c", "exec \"$0\" --records \"$1\" report 5A05 -o /dev/stdout > \"$2\"",
                               LUMOCTL_PROGRAM, records_, file},
                              nullptr, &err, 30000);
    ASSERT_EQ(exit, 0) << err;
    const std::string written = ReadAll(file);
    EXPECT_TRUE(WholePdf(written)) << written.substr(0, 64);
    EXPECT_EQ(written.find("Service report of motor"), std::string::npos);
    EXPECT_NE(err.find("Service report of motor 5A05"), std::string::npos) << err;
    std::filesystem::remove(file);
}

} // namespace

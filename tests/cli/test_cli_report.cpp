// lumoctl report: the service report as a PDF from the records lumoctl
// itself left against the virtual bus, read back with pdftotext; and the
// ways the command refuses.

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <ctime>
#include <filesystem>

#include "CliFixture.h"
// After GoogleTest, whose macros it uses.
#include "RequiredTool.h"

namespace {

using nlohmann::json;

class CliReportTest : public CliBusTest {
protected:
    void SetUp() override
    {
        records_ = TempFile("records.sqlite");
        pdf_ = TempFile("report.pdf");
        std::filesystem::remove(records_);
        std::filesystem::remove(pdf_);
    }
    void TearDown() override
    {
        for (const char *suffix : {"", "-wal", "-shm"})
            std::filesystem::remove(records_ + suffix);
        std::filesystem::remove(pdf_);
    }

    // lumoctl --records <this test's file> <args...>, without a bus.
    CliResult Report(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {"--records", records_});
        return RunCli(args);
    }

    static std::string Today()
    {
        const std::time_t now = std::time(nullptr);
        char day[16];
        std::strftime(day, sizeof day, "%Y-%m-%d", std::localtime(&now));
        return day;
    }

    static std::string PdfText(const std::string &path)
    {
        std::string text;
        return RunToEnd({"pdftotext", "-layout", path, "-"}, &text) == 0 ? text : std::string();
    }

    std::string records_;
    std::string pdf_;
};

TEST_F(CliReportTest, NamesTheMotorAndTheStrokeItLearned)
{
    REQUIRE_TOOL(OnPath("pdftotext"), "pdftotext is not installed (Debian package poppler-utils)");
    DeviceOptions device = Device(5, Model::LumoD);
    device.learnedStroke = 870;
    StartBus({device});
    const CliResult learned = Run({"--records", records_, "learn", "5", "--wait"});
    ASSERT_EQ(learned.exitCode, 0) << learned.err;

    const CliResult r = Report({"--json", "report", "5A05", "-o", pdf_});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const json j = Json(r);
    EXPECT_EQ(j["motorId"], "5A05");
    EXPECT_EQ(j["file"], pdf_);
    EXPECT_TRUE(j["configuration"].get<bool>());
    EXPECT_GE(j["events"].get<int>(), 2); // the learning and the read after it

    const std::vector<uint8_t> bytes = ReadBytes(pdf_);
    ASSERT_GE(bytes.size(), 5u);
    EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + 5), "%PDF-");
    const std::string text = PdfText(pdf_);
    EXPECT_NE(text.find("5A05"), std::string::npos) << text;
    EXPECT_NE(text.find("learned stroke 870 steps"), std::string::npos) << text;
    EXPECT_NE(text.find("MaxPos = 870"), std::string::npos) << text; // the current configuration
    EXPECT_NE(text.find("LUMO-D"), std::string::npos) << text;

    // The events of one day: today has them, another day none.
    const CliResult today = Report({"--json", "report", "5a05", "-o", pdf_, "--day", Today()});
    ASSERT_EQ(today.exitCode, 0) << today.err;
    EXPECT_EQ(Json(today)["events"], j["events"]);
    EXPECT_NE(PdfText(pdf_).find("events of " + Today()), std::string::npos);
    const CliResult other = Report({"--json", "report", "5A05", "-o", pdf_, "--day", "2001-02-03"});
    ASSERT_EQ(other.exitCode, 0) << other.err;
    EXPECT_EQ(Json(other)["events"], 0);
    const std::string otherText = PdfText(pdf_);
    EXPECT_NE(otherText.find("MaxPos = 870"), std::string::npos) << otherText; // still its configuration
}

struct Refusal {
    const char *name;
    std::vector<std::string> args; // after "report"; "PDF" stands for the test's file
    bool haveRecords;              // the records file exists (with motor 5A05)
    bool recordsOff;
    const char *says;
};

void PrintTo(const Refusal &c, std::ostream *os)
{
    *os << c.name;
}

class CliReportRefusal : public CliReportTest, public ::testing::WithParamInterface<Refusal> {};

TEST_P(CliReportRefusal, ExitsWithUsageAndWritesNothing)
{
    const Refusal &c = GetParam();
    if (c.haveRecords) {
        StartBus({Device(5, Model::LumoD)});
        ASSERT_EQ(Run({"--records", records_, "info", "5"}).exitCode, 0);
    }
    std::vector<std::string> args = {"report"};
    for (const std::string &a : c.args)
        args.push_back(a == "PDF" ? pdf_ : a);
    if (c.recordsOff)
        args.insert(args.begin(), "--no-records");
    else
        args.insert(args.begin(), {"--records", records_});
    const CliResult r = RunCli(args);
    EXPECT_EQ(r.exitCode, 2) << r.out << r.err; // usage or input
    EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
    EXPECT_FALSE(std::filesystem::exists(pdf_));
    if (!c.haveRecords) {
        EXPECT_FALSE(std::filesystem::exists(records_)) << "a report made a records file";
    }
}

const Refusal kRefusals[] = {
    {"BadMotorId", {"5G05", "-o", "PDF"}, true, false, "motor ID"},
    {"BadDay", {"5A05", "-o", "PDF", "--day", "2026-13-01"}, true, false, "--day"},
    {"DayNotIso", {"5A05", "-o", "PDF", "--day", "1.2.2026"}, true, false, "--day"},
    {"UnknownMotor", {"1234", "-o", "PDF"}, true, false, "no service records"},
    {"NoRecordsFile", {"5A05", "-o", "PDF"}, false, false, "no service records"},
    {"RecordsOff", {"5A05", "-o", "PDF"}, false, true, "records are off"},
    {"FolderMissing", {"5A05", "-o", "/nonexistent-folder/r.pdf"}, true, false, "Cannot create file"},
};

INSTANTIATE_TEST_SUITE_P(Cases, CliReportRefusal, ::testing::ValuesIn(kRefusals),
                         [](const ::testing::TestParamInfo<Refusal> &info) { return info.param.name; });

} // namespace

// lumo-tool, lumoctl and lumo-sim as a user first meets them: --version,
// --help and the manual page. Both options work without a display (lumo-tool
// answers them before Qt looks for one). Each manual page renders without a
// warning from groff, names its program and the version of the build, and
// describes every option that the program's --help lists, and for lumoctl
// every command and every option of each command's --help: an option or a
// command added without a word in docs/man/ fails here.

#include <gtest/gtest.h>

#include <unistd.h>

#include <cctype>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "LumoVersion.h"
#include "ProcessRunner.h"
#include "RequiredTool.h"

namespace {

struct Program {
    std::string name;
    std::string path;
};

void PrintTo(const Program &program, std::ostream *os)
{
    *os << program.name;
}

std::vector<Program> Programs()
{
    std::vector<Program> programs = {{"lumoctl", LUMOCTL_PROGRAM}, {"lumo-sim", LUMO_SIM_PROGRAM}};
#ifdef LUMO_TOOL_PROGRAM
    programs.push_back({"lumo-tool", LUMO_TOOL_PROGRAM});
#endif
    return programs;
}

// Runs a program to its end, with no display in its environment: neither X
// nor Wayland, and no Qt platform chosen.
ProcessResult RunWithoutDisplay(const std::string &path, const std::vector<std::string> &args)
{
    std::vector<std::string> argv = {"env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM", path};
    argv.insert(argv.end(), args.begin(), args.end());
    Process process(argv);
    return process.Finish(10000);
}

// The options a --help text defines: on each indented line that starts with
// a dash, the dashed words before the first word without one.
// "  -p,--port TEXT   serial port" gives -p and --port; "  -h, --help  show" -h and --help.
std::set<std::string> OptionsOf(const std::string &help)
{
    static const std::regex option("^--?[A-Za-z0-9][A-Za-z0-9-]*");
    std::set<std::string> options;
    std::istringstream lines(help);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.empty() || line[0] != ' ')
            continue;
        std::istringstream words(line);
        std::string word;
        while (words >> word && word[0] == '-') {
            std::istringstream parts(word);
            std::string part;
            while (std::getline(parts, part, ','))
                if (std::smatch m; std::regex_search(part, m, option))
                    options.insert(m.str());
        }
    }
    return options;
}

// The commands of a "Subcommands:" section (lumoctl's and its config
// command's): the first word of each line up to the next blank line.
std::vector<std::string> CommandsOf(const std::string &help)
{
    std::vector<std::string> commands;
    std::istringstream lines(help);
    std::string line;
    bool inSection = false;
    while (std::getline(lines, line)) {
        if (line == "Subcommands:") {
            inSection = true;
        } else if (line.empty()) {
            inSection = false;
        } else if (inSection) {
            std::istringstream words(line);
            std::string word;
            if (words >> word)
                commands.push_back(word);
        }
    }
    return commands;
}

// One --help text: of the program ("") or of a command under it ("config read").
struct HelpText {
    std::string command;
    std::string text;
};

// The program's --help and, through every "Subcommands:" section, that of
// each command below it.
void CollectHelp(const Program &program, const std::vector<std::string> &command, std::vector<HelpText> &helps)
{
    std::vector<std::string> args = command;
    args.push_back("--help");
    const ProcessResult result = RunWithoutDisplay(program.path, args);
    std::string path;
    for (const std::string &word : command)
        path += (path.empty() ? "" : " ") + word;
    EXPECT_EQ(result.exitCode, 0) << program.name << " " << path << " --help: " << result.err;
    helps.push_back({path, result.out});
    for (const std::string &sub : CommandsOf(result.out)) {
        std::vector<std::string> deeper = command;
        deeper.push_back(sub);
        CollectHelp(program, deeper, helps);
    }
}

bool ContainsWord(const std::string &text, const std::string &word)
{
    // Options and commands are letters, digits and dashes only.
    const std::regex whole("(^|[^A-Za-z0-9-])" + word + "($|[^A-Za-z0-9-])");
    return std::regex_search(text, whole);
}

class ProgramDocsTest : public ::testing::TestWithParam<Program> {
protected:
    std::string PagePath() const { return std::string(LUMO_MAN_DIR) + "/" + GetParam().name + ".1.gz"; }

    // The page's roff source, from the compressed file that is installed.
    std::string PageSource()
    {
        std::ifstream exists(PagePath());
        if (!exists) {
            ADD_FAILURE() << PagePath() << " was not built (the man_pages target makes it)";
            return {};
        }
        Process gunzip({"gzip", "-dc", "--", PagePath()});
        const ProcessResult result = gunzip.Finish(10000);
        EXPECT_EQ(result.exitCode, 0) << "gzip -dc " << PagePath() << ": " << result.err;
        return result.out;
    }

    // groff on the page's source, from a file of its own; with `args`.
    ProcessResult Groff(const std::vector<std::string> &args)
    {
        const std::string source = PageSource();
        const std::string file =
            ::testing::TempDir() + "program-docs-" + std::to_string(::getpid()) + "-" + GetParam().name + ".1";
        std::ofstream(file, std::ios::binary) << source;
        std::vector<std::string> argv = {"groff", "-man"};
        argv.insert(argv.end(), args.begin(), args.end());
        argv.push_back(file);
        Process groff(argv);
        ProcessResult result = groff.Finish(10000);
        ::unlink(file.c_str());
        return result;
    }

    // The page as plain text, one paragraph a line where it fits in 250
    // columns, without hyphenation and without bold or underlining.
    std::string Rendered()
    {
        const ProcessResult result = Groff({"-Tascii", "-rLL=250n", "-rHY=0", "-P-c", "-P-b", "-P-o", "-P-u"});
        EXPECT_EQ(result.exitCode, 0) << result.err;
        return result.out;
    }

    void SetUp() override
    {
        REQUIRE_TOOL(OnPath("groff"), "groff is not installed (Debian package groff-base)");
    }
};

TEST_P(ProgramDocsTest, VersionIsTheProjectVersionAndNeedsNoDisplay)
{
    const ProcessResult result = RunWithoutDisplay(GetParam().path, {"--version"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.out, GetParam().name + " " + kLumoVersion + "\n");
    EXPECT_EQ(result.err, "");
}

TEST_P(ProgramDocsTest, HelpNeedsNoDisplayAndListsHelpAndVersion)
{
    const ProcessResult result = RunWithoutDisplay(GetParam().path, {"--help"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_NE(result.out.find("Usage: " + GetParam().name), std::string::npos) << result.out;
    const std::set<std::string> options = OptionsOf(result.out);
    EXPECT_TRUE(options.count("--help")) << result.out;
    EXPECT_TRUE(options.count("--version")) << result.out;
}

TEST_P(ProgramDocsTest, ManualPageRendersWithoutWarnings)
{
    // -ww: every warning groff knows of; -z: no output but the warnings.
    const ProcessResult result = Groff({"-Tutf8", "-ww", "-z"});
    EXPECT_EQ(result.exitCode, 0);
    EXPECT_EQ(result.err, "");
}

TEST_P(ProgramDocsTest, ManualPageNamesTheProgramAndTheVersion)
{
    const std::string name = GetParam().name;
    std::string title = name;
    for (char &c : title)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    const std::string page = Rendered();
    // The heading, the NAME line that whatis and apropos read, and the
    // footer that .TH fills with the version.
    EXPECT_EQ(page.rfind(title + "(1)", 0), 0u) << page.substr(0, 200);
    EXPECT_TRUE(std::regex_search(page, std::regex("\nNAME\n +" + name + " - [a-z]"))) << page.substr(0, 400);
    EXPECT_NE(page.find(name + " " + kLumoVersion), std::string::npos) << "the page names no version " << kLumoVersion;
}

TEST_P(ProgramDocsTest, ManualPageDescribesEveryOptionAndCommandOfHelp)
{
    std::vector<HelpText> helps;
    CollectHelp(GetParam(), {}, helps);
    const std::string page = Rendered();
    ASSERT_FALSE(page.empty());
    for (const HelpText &help : helps) {
        const std::string where = GetParam().name + (help.command.empty() ? "" : " " + help.command) + " --help";
        // A command is described under a heading that starts with it
        // ("   config read ADDRESS [-o FILE]").
        if (!help.command.empty()) {
            EXPECT_TRUE(std::regex_search(page, std::regex("\n +" + help.command + "( |\n)")))
                << "the manual page has no heading for the command '" << help.command << "'";
        }
        const std::set<std::string> options = OptionsOf(help.text);
        EXPECT_FALSE(options.empty()) << where << " lists no option:\n" << help.text;
        for (const std::string &option : options)
            EXPECT_TRUE(ContainsWord(page, option))
                << where << " lists " << option << ", which docs/man/" << GetParam().name << ".1.in does not describe";
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, ProgramDocsTest, ::testing::ValuesIn(Programs()),
                         [](const ::testing::TestParamInfo<Program> &info) {
                             std::string name = info.param.name;
                             for (char &c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

} // namespace

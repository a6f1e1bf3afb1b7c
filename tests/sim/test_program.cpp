// The lumo-sim program: its options, the line scripts wait for, the link it
// makes and removes, its log, and a clean end on SIGINT and SIGTERM.

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>

#include "CommandLine.h"
#include "ProcessRunner.h"
#include "modbus/Registers.h"

using lumosim::CommandLine;
using lumosim::ParseCommandLine;

namespace {

const std::string Program = LUMO_SIM_PROGRAM;

std::string TempPath(const std::string &name)
{
    return ::testing::TempDir() + "lumo-sim-" + std::to_string(::getpid()) + "-" + name;
}

bool Exists(const std::string &path)
{
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// The value of holding register `reg` at `slave` through the device at `path`, or -1.
// With `write`, writes `value` there first and returns -1 when that fails.
int ReadWithLibmodbus(const std::string &path, int slave, int reg, int baud = 115200, int write = -1)
{
    modbus_t *ctx = modbus_new_rtu(path.c_str(), baud, 'N', 8, 1);
    uint16_t value = 0;
    int result = -1;
    if (ctx && modbus_connect(ctx) == 0) {
        modbus_set_response_timeout(ctx, 0, 300000);
        modbus_set_slave(ctx, slave);
        if ((write < 0 || modbus_write_register(ctx, reg, static_cast<uint16_t>(write)) == 1) &&
            modbus_read_registers(ctx, reg, 1, &value) == 1)
            result = value;
        modbus_close(ctx);
    }
    modbus_free(ctx);
    return result;
}

TEST(CommandLineTest, WithoutDevicesServesTheDemoBus)
{
    CommandLine c;
    ASSERT_EQ(ParseCommandLine({}, c), "");
    ASSERT_EQ(c.devices.size(), 3u);
    EXPECT_EQ(c.devices[0].address, 1);
    EXPECT_EQ(c.devices[0].model, Model::LumoD);
    EXPECT_EQ(c.devices[1].address, 5);
    EXPECT_EQ(c.devices[1].model, Model::LumoP);
    EXPECT_EQ(c.devices[2].address, 9);
    EXPECT_EQ(c.devices[2].model, Model::LumoB);
    EXPECT_EQ(c.linkPath, "");
    EXPECT_FALSE(c.help);
}

TEST(CommandLineTest, ParsesDevicesFaultsAndBusOptions)
{
    CommandLine c;
    ASSERT_EQ(ParseCommandLine({"--fault", "7:delay=50,stray", "--device", "7:LUMO-B,name=0xBEEF,fw=0x0203,stroke=1200",
                                "--device=0x10:17", "--fault", "16:corrupt-every=3", "--fault", "16:exception=0x0024",
                                "--fault", "16:exception-code=6,hall-error,over-current,silent",
                                "--fault", "7:corrupt-prob=0.25,silent-prob=0.5",
                                "--link", "/tmp/x", "--log=/tmp/y", "--time-scale", "2.5", "--learn-ms", "800",
                                "--full-stroke-ms", "2000", "--frame-gap-ms", "3", "--seed", "42"},
                               c),
              "");
    ASSERT_EQ(c.devices.size(), 2u);
    const auto &b = c.devices[0];
    EXPECT_EQ(b.address, 7);
    EXPECT_EQ(b.model, Model::LumoB);
    EXPECT_EQ(b.name, 0xBEEF);
    EXPECT_EQ(b.firmware, 0x0203);
    EXPECT_EQ(b.learnedStroke, 1200);
    EXPECT_EQ(b.faults.replyDelayMs, 50u);
    EXPECT_TRUE(b.faults.strayByteBeforeReply);
    EXPECT_DOUBLE_EQ(b.faults.corruptCrcProbability, 0.25);
    EXPECT_DOUBLE_EQ(b.faults.silentProbability, 0.5);
    const auto &raw = c.devices[1];
    EXPECT_EQ(raw.address, 16);
    EXPECT_EQ(raw.model, 17);
    EXPECT_FALSE(raw.name);
    EXPECT_EQ(raw.faults.corruptCrcEveryN, 3u);
    EXPECT_EQ(raw.faults.exceptionRegister, Reg::SpeedPwm);
    EXPECT_EQ(raw.faults.exceptionCode, 6);
    EXPECT_TRUE(raw.faults.hallError);
    EXPECT_TRUE(raw.faults.overCurrent);
    EXPECT_TRUE(raw.faults.silent);
    EXPECT_EQ(c.linkPath, "/tmp/x");
    EXPECT_EQ(c.bus.logPath, "/tmp/y");
    EXPECT_DOUBLE_EQ(c.bus.timeScale, 2.5);
    EXPECT_EQ(c.bus.learnDurationMs, 800u);
    EXPECT_EQ(c.bus.fullStrokeMs, 2000u);
    EXPECT_EQ(c.bus.frameGapMs, 3u);
    EXPECT_EQ(c.bus.seed, 42u);
}

TEST(CommandLineTest, ParsesTheLine)
{
    CommandLine c;
    // The program's default is the line model, at 115200 with FTDI's adapter.
    ASSERT_EQ(ParseCommandLine({}, c), "");
    EXPECT_FALSE(c.bus.instant);
    EXPECT_EQ(c.bus.baud, 115200u);
    EXPECT_EQ(c.bus.adapterLatencyMs, 16u);
    EXPECT_EQ(c.bus.adapterPacketSize, 62u);
    EXPECT_EQ(c.bus.baudChange, lumosim::BaudChange::PowerUp);

    ASSERT_EQ(ParseCommandLine({"--baud", "9600", "--baud-change=now", "--turnaround", "2-6", "--adapter-latency",
                                "1", "--adapter-packet", "32", "--echo", "--noise", "1e-4", "--device",
                                "5:LUMO-P", "--device", "5:LUMO-B,shared,turnaround=10", "--device", "6:LUMO-D",
                                "--fault", "5:baud=19200,noise=0.01", "--instant"},
                               c),
              "");
    EXPECT_TRUE(c.bus.instant);
    EXPECT_EQ(c.bus.baud, 9600u);
    EXPECT_EQ(c.bus.baudChange, lumosim::BaudChange::Now);
    EXPECT_EQ(c.bus.adapterLatencyMs, 1u);
    EXPECT_EQ(c.bus.adapterPacketSize, 32u);
    EXPECT_TRUE(c.bus.echo);
    EXPECT_DOUBLE_EQ(c.bus.bitErrorRate, 1e-4);
    ASSERT_EQ(c.devices.size(), 3u);
    EXPECT_FALSE(c.devices[0].sharesAddress);
    EXPECT_TRUE(c.devices[1].sharesAddress);
    // --turnaround for those that do not name their own.
    EXPECT_DOUBLE_EQ(c.devices[0].turnaround.minMs, 2);
    EXPECT_DOUBLE_EQ(c.devices[0].turnaround.maxMs, 6);
    EXPECT_DOUBLE_EQ(c.devices[1].turnaround.minMs, 10);
    EXPECT_DOUBLE_EQ(c.devices[1].turnaround.maxMs, 10);
    EXPECT_DOUBLE_EQ(c.devices[2].turnaround.minMs, 2);
    // A fault at a shared address reaches both devices.
    for (size_t i : {0u, 1u}) {
        EXPECT_EQ(c.devices[i].faults.lineBaud, 19200u) << i;
        EXPECT_DOUBLE_EQ(c.devices[i].faults.bitErrorRate, 0.01) << i;
    }
    EXPECT_EQ(c.devices[2].faults.lineBaud, 0u);

    struct { std::vector<std::string> args; const char *says; } bad[] = {
        {{"--baud", "38400"}, "expected 4800, 9600, 19200 or 115200"},
        {{"--baud-change", "later"}, "expected now or power-up"},
        {{"--turnaround", "5-2"}, "expected MS or MIN-MAX"},
        {{"--turnaround", "-1"}, "expected MS or MIN-MAX"},
        {{"--adapter-latency", "300"}, "0..255"},
        {{"--adapter-packet", "0"}, "1..4096"},
        {{"--noise", "1.5"}, "bit error rate"},
        {{"--echo=yes"}, "takes no value"},
        {{"--device", "5:LUMO-D,turnaround=x"}, "'turnaround=x'"},
        {{"--device", "5:LUMO-D", "--fault", "5:baud=300"}, "bad fault 'baud=300'"},
    };
    for (const auto &b : bad) {
        CommandLine out;
        const std::string error = ParseCommandLine(b.args, out);
        EXPECT_NE(error.find(b.says), std::string::npos) << "'" << error << "' lacks '" << b.says << "'";
    }
}

TEST(CommandLineTest, NamesTheFirstBadArgument)
{
    struct { std::vector<std::string> args; const char *says; } cases[] = {
        {{"--bogus"}, "unknown option '--bogus'"},
        {{"stray"}, "unexpected argument 'stray'"},
        {{"--link"}, "option --link needs a value"},
        {{"--device", "0:LUMO-D"}, "ADDR 1..247"},
        {{"--device", "248:LUMO-D"}, "ADDR 1..247"},
        {{"--device", "5"}, "ADDR 1..247"},
        {{"--device", "5:LUMO-X"}, "model must be"},
        {{"--device", "5:70000"}, "model must be"},
        {{"--device", "5:LUMO-D,colour=red"}, "'colour=red'"},
        {{"--device", "5:LUMO-D", "--device", "5:LUMO-P"}, "address 5 is given twice"},
        {{"--fault", "7:silent"}, "no device at address 7"},
        {{"--fault", "5:sleepy"}, "unknown fault 'sleepy'"},
        {{"--fault", "5:delay=soon"}, "bad fault 'delay=soon'"},
        {{"--fault", "5:corrupt-prob=2"}, "bad fault 'corrupt-prob=2'"},
        {{"--time-scale", "0"}, "expected a number above 0"},
        {{"--time-scale", "fast"}, "expected a number above 0"},
        {{"--learn-ms", "-5"}, "expected a whole number"},
        {{"--full-stroke-ms", "0"}, "must be above 0"},
        // No silence at all would end a frame after every byte: deaf.
        {{"--instant", "--frame-gap-ms", "0"}, "--frame-gap-ms must be 1..60000"},
        {{"--frame-gap-ms", "0"}, "--frame-gap-ms must be 1..60000"},
    };
    for (const auto &c : cases) {
        CommandLine out;
        const std::string error = ParseCommandLine(c.args, out);
        EXPECT_NE(error.find(c.says), std::string::npos) << "'" << error << "' lacks '" << c.says << "'";
    }
}

TEST(ProgramTest, HelpDocumentsEveryOption)
{
    std::string out;
    ASSERT_EQ(RunToEnd({Program, "--help"}, &out), 0);
    for (const char *option : {"--device", "--fault", "--link", "--log", "--time-scale", "--learn-ms",
                               "--full-stroke-ms", "--frame-gap-ms", "--seed", "--help", "--version", "silent",
                               "delay=MS", "corrupt-every=N", "stray", "hall-error", "over-current", "exception=REG",
                               "LUMO-D", "LUMO-P", "LUMO-B", "--baud", "--baud-change", "--turnaround",
                               "--adapter-latency", "--adapter-packet", "--echo", "--noise", "--instant",
                               "baud=RATE", "noise=BER", "shared", "SIGUSR1", "--truth"})
        EXPECT_NE(out.find(option), std::string::npos) << option;
}

TEST(ProgramTest, ABadOptionIsExplainedWithExitCode2)
{
    std::string out, err;
    EXPECT_EQ(RunToEnd({Program, "--device", "300:LUMO-D"}, &out, &err), 2);
    EXPECT_EQ(out, "");
    EXPECT_NE(err.find("lumo-sim: --device '300:LUMO-D'"), std::string::npos) << err;
    EXPECT_NE(err.find("--help"), std::string::npos) << err;
    EXPECT_EQ(RunToEnd({Program, "--nonsense"}, &out, &err), 2);
    EXPECT_NE(err.find("unknown option '--nonsense'"), std::string::npos) << err;
}

TEST(ProgramTest, ServesTheDemoBusThroughItsLinkAndCleansUpOnSigterm)
{
    const std::string link = TempPath("bus");
    const std::string logFile = TempPath("program-frames.log");
    ::unlink(link.c_str());
    Process sim({Program, "--link", link, "--log", logFile});
    const std::string first = sim.ReadLine(5000);
    const std::regex ready(R"(lumo-sim: serving 3 devices on (/dev/pts/\d+) \(link (.*)\))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(first, m, ready)) << first;
    EXPECT_EQ(m[2], link);
    const std::string device = m[1];
    EXPECT_EQ(sim.ReadLine(1000), "  address   1: LUMO-D (model 0), motor ID 5A01, firmware 01.02");
    EXPECT_EQ(sim.ReadLine(1000), "  address   5: LUMO-P (model 1), motor ID 5A05, firmware 01.02");
    EXPECT_EQ(sim.ReadLine(1000), "  address   9: LUMO-B (model 2), motor ID 5A09, firmware 01.02");

    char target[256] = {};
    ASSERT_GT(::readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target), device);
    EXPECT_EQ(ReadWithLibmodbus(link, 5, Reg::MaxPos), 1000);
    EXPECT_EQ(ReadWithLibmodbus(link, 9, Reg::Name), 0x5A09);

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(5000), 0) << sim.err();
    EXPECT_FALSE(Exists(link)) << "the link outlived the program";

    std::ifstream file(logFile);
    std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
    EXPECT_TRUE(std::regex_search(text, std::regex(R"( +\d+\.\d{3} M>S 05 03 00 20 00 01 84 44\n)"))) << text;
    EXPECT_TRUE(std::regex_search(text, std::regex(R"( +\d+\.\d{3} S>M 09 03 02 5A 09 [0-9A-F]{2} [0-9A-F]{2}\n)")))
        << text;
    ::unlink(logFile.c_str());
}

TEST(ProgramTest, ServesTheDevicesAndFaultsItIsGivenAndStopsOnSigint)
{
    Process sim({Program, "--device", "3:LUMO-P", "--device", "4:LUMO-D,name=0x1234", "--fault", "4:silent"});
    const std::string first = sim.ReadLine(5000);
    const std::regex ready(R"(lumo-sim: serving 2 devices on (/dev/pts/\d+))");
    std::smatch m;
    ASSERT_TRUE(std::regex_match(first, m, ready)) << first;
    EXPECT_EQ(ReadWithLibmodbus(m[1], 3, Reg::Name), 0x5A03);
    EXPECT_EQ(ReadWithLibmodbus(m[1], 4, Reg::Name), -1) << "silent";
    EXPECT_EQ(ReadWithLibmodbus(m[1], 1, Reg::Name), -1) << "not on this bus";
    sim.Signal(SIGINT);
    EXPECT_EQ(sim.Wait(5000), 0) << sim.err();
}

// The BaudRate written under the default (power-up) takes effect at SIGUSR1.
TEST(ProgramTest, SigusrOnePowerCyclesTheDevices)
{
    Process sim({Program, "--device", "1:LUMO-D"});
    std::smatch m;
    const std::string first = sim.ReadLine(5000);
    ASSERT_TRUE(std::regex_match(first, m, std::regex(R"(lumo-sim: serving 1 device on (/dev/pts/\d+))"))) << first;
    const std::string path = m[1];
    EXPECT_EQ(ReadWithLibmodbus(path, 1, Reg::BaudRate, 115200, 2), 2);
    EXPECT_EQ(ReadWithLibmodbus(path, 1, Reg::MaxPos, 115200), 1000) << "still at 115200 until power-up";
    sim.Signal(SIGUSR1);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    int atNewRate = -1;
    while (atNewRate < 0 && std::chrono::steady_clock::now() < deadline)
        atNewRate = ReadWithLibmodbus(path, 1, Reg::MaxPos, 9600);
    EXPECT_EQ(atNewRate, 1000);
    EXPECT_EQ(ReadWithLibmodbus(path, 1, Reg::MaxPos, 115200), -1);
    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(5000), 0) << sim.err();
    EXPECT_NE(sim.err().find("power cycle"), std::string::npos) << sim.err();
}

TEST(ProgramTest, RefusesToReplaceAFileWithItsLink)
{
    const std::string file = TempPath("occupied");
    std::ofstream(file) << "data";
    std::string out, err;
    EXPECT_EQ(RunToEnd({Program, "--link", file}, &out, &err), 1);
    EXPECT_NE(err.find("cannot make the link"), std::string::npos) << err;
    EXPECT_TRUE(Exists(file));
    ::unlink(file.c_str());
}

} // namespace

// What really happened, from the running program, on a channel the tool
// under test does not use; gone with the program.
TEST(ProgramTest, ServesItsTruthOnASocketAndRemovesItAtExit)
{
    const std::string socketPath = TempPath("truth");
    ::unlink(socketPath.c_str());
    Process sim({Program, "--device", "6:LUMO-B", "--truth", socketPath});
    std::smatch m;
    const std::string first = sim.ReadLine(5000);
    ASSERT_TRUE(std::regex_match(first, m, std::regex(R"(lumo-sim: serving 1 device on (/dev/pts/\d+))"))) << first;
    EXPECT_EQ(ReadWithLibmodbus(m[1], 6, Reg::MaxPos), 1000);

    const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", socketPath.c_str());
    ASSERT_EQ(::connect(fd, reinterpret_cast<const sockaddr *>(&addr), sizeof addr), 0) << std::strerror(errno);
    std::string json;
    char buf[4096];
    for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;)
        json.append(buf, static_cast<size_t>(n));
    ::close(fd);
    EXPECT_NE(json.find("\"address\":6,\"model\":2"), std::string::npos) << json;
    EXPECT_NE(json.find("\"request\":\"03 00 20 00 01\",\"reply\":\"03 02 03 E8\""), std::string::npos) << json;

    sim.Signal(SIGTERM);
    EXPECT_EQ(sim.Wait(5000), 0) << sim.err();
    EXPECT_FALSE(Exists(socketPath)) << "the socket outlived the program";
}

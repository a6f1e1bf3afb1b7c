// The bus doctor against the virtual bus on its line model: one case per
// fault of the bus and the finding it must give, and a clean bus that gives
// "no problem found". The address range is kept short so that every rate
// is probed in a second or two.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <termios.h>

#include "SimClient.h"
#include "VirtualBus.h"
#include "diagnostics/Doctor.h"
#include "modbus/Registers.h"

using lumosim::BusOptions;
using lumosim::DeviceOptions;
using lumosim::Faults;
using lumosim::Turnaround;
using lumosim::VirtualBus;

namespace {

// Slack for a thread that wakes late on a loaded machine; upper bounds only.
constexpr uint32_t LateMs = 30;

DeviceOptions Device(uint8_t address, Faults faults = {}, bool shares = false)
{
    DeviceOptions d;
    d.address = address;
    d.model = Model::LumoD;
    d.faults = faults;
    d.sharesAddress = shares;
    return d;
}

Faults Silent()
{
    Faults f;
    f.silent = true;
    return f;
}

Faults TalksAt(uint32_t baud)
{
    Faults f;
    f.lineBaud = baud;
    return f;
}

class DoctorOnBus : public ::testing::Test {
protected:
    std::unique_ptr<VirtualBus> bus;
    std::unique_ptr<C_ComPort> comPort = std::make_unique<C_ComPort>();
    uint32_t responseDelayMs = 100;
    RtuEngine engine{comPort, responseDelayMs};

    void StartBus(const BusOptions &options, const std::vector<DeviceOptions> &devices)
    {
        bus = std::make_unique<VirtualBus>(options);
        for (const DeviceOptions &d : devices)
            ASSERT_TRUE(bus->AddDevice(d));
        ASSERT_TRUE(bus->Start());
        ASSERT_TRUE(comPort->Open(bus->DevicePath(), 115200, 0));
    }

    DoctorOptions Options(uint32_t connectedBaud = 115200)
    {
        DoctorOptions options;
        options.connectedBaud = connectedBaud;
        options.firstAddress = 1;
        options.lastAddress = 3;
        options.listenMs = 200;
        return options;
    }

    // Runs the doctor and checks that it changed the rate on the open port:
    // the same connection at the end, at the rate it began with. A reopen
    // would drop DTR, which powers many RS-485 converters.
    DoctorReport Diagnose(const DoctorOptions &options)
    {
        const uint64_t connection = comPort->ConnectionId();
        const DoctorReport report = RunDoctor(engine, comPort, options);
        if (!report.portLost) {
            EXPECT_TRUE(comPort->IsOpen());
            EXPECT_EQ(comPort->ConnectionId(), connection) << "the doctor reopened the port";
            termios tio{};
            EXPECT_EQ(tcgetattr(comPort->handle, &tio), 0);
            EXPECT_EQ(cfgetospeed(&tio), Speed(options.connectedBaud));
        }
        return report;
    }
    DoctorReport Diagnose(uint32_t connectedBaud = 115200) { return Diagnose(Options(connectedBaud)); }

    static speed_t Speed(uint32_t baud)
    {
        switch (baud) {
        case 4800: return B4800;
        case 9600: return B9600;
        case 19200: return B19200;
        default: return B115200;
        }
    }

    static std::vector<std::string> Lines(const DoctorReport &report)
    {
        std::vector<std::string> out;
        for (const Finding &f : report.findings)
            out.push_back(f.Line());
        return out;
    }
};

struct FaultCase {
    const char *what;
    BusOptions bus;
    std::vector<DeviceOptions> devices;
    std::vector<std::string> findings; // every line, in order
    std::vector<uint8_t> listed;       // the addresses the doctor lists
    size_t problems;                   // the findings that are problems, notes not counted
};

void PrintTo(const FaultCase &c, std::ostream *os)
{
    *os << c.what;
}

BusOptions Line(uint32_t baud = 115200)
{
    BusOptions o;
    o.baud = baud;
    return o;
}

BusOptions Echoing()
{
    BusOptions o = Line();
    o.echo = true;
    return o;
}

const char *const SharedStep = "leave one connected and give it a new address (Renew ID / lumoctl set-address)";

std::vector<FaultCase> Cases()
{
    return {
        {"clean bus", Line(), {Device(1), Device(2)}, {"no problem found"}, {1, 2}, 0},
        {"a silent device is just not listed", Line(), {Device(1), Device(2, Silent())}, {"no problem found"}, {1},
         0},
        {"devices at another rate", Line(9600), {Device(1), Device(3)},
         {"devices answer at 9600 baud, not 115200: connect at 9600"}, {1, 3}, 1},
        {"one device at another rate", Line(), {Device(1), Device(2, TalksAt(19200))},
         {"device 2 answers at 19200 baud, not 115200 like the others: connect at 19200 and set its baud rate to "
          "115200"},
         {1, 2}, 1},
        // The engine skips the adapter's copy of every request: a note, no problem.
        {"echoing adapter", Echoing(), {Device(2)}, {"your adapter echoes what it sends: echo handling is on"}, {2},
         0},
        {"two devices at one address", Line(), {Device(1), Device(1, {}, true), Device(2)},
         {std::string("two devices answer at address 1: ") + SharedStep}, {1, 2}, 1},
        {"two devices at the only address", Line(), {Device(3), Device(3, {}, true)},
         {std::string("two devices answer at address 3: ") + SharedStep}, {3}, 1},
        {"nothing on the bus", Line(), {},
         {"no device answers at any baud rate (addresses 1..3): check the power, the A/B wiring (swap A and B if "
          "unsure) and the adapter"},
         {}, 1},
    };
}

class DoctorFaults : public DoctorOnBus, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(DoctorFaults, FindsWhatIsWrongAndSaysWhatToDo)
{
    const FaultCase &c = GetParam();
    StartBus(c.bus, c.devices);
    const DoctorReport report = Diagnose();
    EXPECT_EQ(Lines(report), c.findings);
    std::vector<uint8_t> listed;
    for (const DoctorDevice &d : report.devices)
        listed.push_back(d.address);
    EXPECT_EQ(listed, c.listed);
    EXPECT_EQ(report.Problems(), c.problems);
}

INSTANTIATE_TEST_SUITE_P(Table, DoctorFaults, ::testing::ValuesIn(Cases()));

// --- Healthy lines at every rate ---------------------------------------------

// A sound line whose devices turn round slowly, behind a slow adapter, is
// still sound: each probe gets the reply wait the tool itself uses at the
// rate (100 ms at 4800) plus the adapter's latency, after a quiet line.
struct HealthyCase {
    uint32_t baud;
    Turnaround turnaround;
    uint32_t adapterMs;
};

std::string Name(const HealthyCase &c)
{
    std::ostringstream os;
    os << c.baud << "_baud_turnaround_" << c.turnaround.minMs << "_to_" << c.turnaround.maxMs << "_ms_adapter_"
       << c.adapterMs << "_ms";
    std::string s = os.str();
    for (char &ch : s)
        if (ch == '.')
            ch = 'p';
    return s;
}

void PrintTo(const HealthyCase &c, std::ostream *os)
{
    *os << Name(c);
}

// CI runs the slowest devices behind the slowest adapter at every rate,
// and the quickest devices behind a tuned adapter at the two ends;
// LUMO_DOCTOR_FULL_GRID=1 runs every rate with turnarounds of 0.5, 20 and
// 0.5-20 ms behind adapters of 1 and 16 ms (about two minutes).
std::vector<HealthyCase> HealthyCases()
{
    const uint32_t rates[] = {4800, 9600, 19200, 115200};
    std::vector<HealthyCase> out;
    const char *full = std::getenv("LUMO_DOCTOR_FULL_GRID");
    if (full && std::string(full) == "1") {
        for (const uint32_t baud : rates)
            for (const Turnaround t : {Turnaround{0.5, 0.5}, Turnaround{20, 20}, Turnaround{0.5, 20}})
                for (const uint32_t adapter : {1u, 16u})
                    out.push_back({baud, t, adapter});
        return out;
    }
    for (const uint32_t baud : rates)
        out.push_back({baud, Turnaround{20, 20}, 16});
    out.push_back({4800, Turnaround{0.5, 0.5}, 1});
    out.push_back({115200, Turnaround{0.5, 0.5}, 1});
    return out;
}

class DoctorOnHealthyLine : public DoctorOnBus, public ::testing::WithParamInterface<HealthyCase> {};

TEST_P(DoctorOnHealthyLine, FindsNoProblem)
{
    const HealthyCase &c = GetParam();
    BusOptions line = Line(c.baud);
    line.adapterLatencyMs = c.adapterMs;
    DeviceOptions one = Device(1), two = Device(2);
    one.turnaround = two.turnaround = c.turnaround;
    StartBus(line, {one, two});
    ASSERT_TRUE(comPort->SetBaudRate(static_cast<int32_t>(c.baud)));
    DoctorOptions options = Options(c.baud);
    options.listenMs = 100;
    options.probesPerDevice = 4;
    const DoctorReport report = Diagnose(options);
    EXPECT_EQ(Lines(report), std::vector<std::string>{"no problem found"});
    ASSERT_EQ(report.devices.size(), 2u);
    for (const DoctorDevice &d : report.devices) {
        EXPECT_EQ(d.baud, c.baud);
        // Every reply clean. At 115200 a 20 ms device behind a 16 ms adapter
        // has its long reply whole 11 ms inside the window: a loaded host
        // may read one late, which the row counts but no finding makes of.
        EXPECT_EQ(d.good + d.late, d.probes) << "address " << int(d.address) << ": " << d.late << " late, "
                                             << d.garbled << " garbled, " << d.silent << " silent";
        EXPECT_LE(d.late, 1u) << "address " << int(d.address);
        EXPECT_FALSE(d.Slow());
        ASSERT_TRUE(d.turnaroundMs);
        // t3.5, the device's own time and at most the adapter's timer.
        EXPECT_GE(*d.turnaroundMs + 1, static_cast<uint32_t>(c.turnaround.minMs));
        EXPECT_LE(*d.turnaroundMs, static_cast<uint32_t>(8 + c.turnaround.maxMs) + c.adapterMs + LateMs);
    }
}

INSTANTIATE_TEST_SUITE_P(Grid, DoctorOnHealthyLine, ::testing::ValuesIn(HealthyCases()),
                         [](const auto &info) { return Name(info.param); });

// --- A device that answers late ----------------------------------------------

// Its reply comes after the window the tool gives it, but it comes: the
// device is listed as slow with its turnaround, the sound device beside it
// is listed too, and no address is credited with the late bytes.
struct LateCase {
    const char *what;
    uint32_t baud;
    uint32_t delayMs;
};

void PrintTo(const LateCase &c, std::ostream *os)
{
    *os << c.what;
}

class DoctorLateDevice : public DoctorOnBus, public ::testing::WithParamInterface<LateCase> {};

TEST_P(DoctorLateDevice, IsListedAsSlowAndNothingElseIsCreditedWithItsReply)
{
    const LateCase &c = GetParam();
    Faults late;
    late.replyDelayMs = c.delayMs;
    StartBus(Line(c.baud), {Device(1, late), Device(5)});
    ASSERT_TRUE(comPort->SetBaudRate(static_cast<int32_t>(c.baud)));
    DoctorOptions options = Options(c.baud);
    options.lastAddress = 5;
    options.listenMs = 100;
    const DoctorReport report = Diagnose(options);

    std::vector<uint8_t> listed;
    for (const DoctorDevice &d : report.devices) {
        listed.push_back(d.address);
        EXPECT_EQ(d.baud, c.baud);
    }
    ASSERT_EQ(listed, (std::vector<uint8_t>{1, 5})) << ::testing::PrintToString(Lines(report));
    // Every reply clean, most of them late: the 65-byte reply fills one USB
    // packet and its last 3 bytes wait out the adapter's whole 16 ms timer.
    const DoctorDevice &slow = report.devices[0];
    EXPECT_TRUE(slow.Slow()) << slow.late << " of " << slow.probes << " late";
    EXPECT_EQ(slow.good + slow.late, slow.probes);
    ASSERT_TRUE(slow.turnaroundMs);
    EXPECT_GE(*slow.turnaroundMs, c.delayMs);
    EXPECT_LE(*slow.turnaroundMs, c.delayMs + 8 + 3 + 16 + LateMs);
    const DoctorDevice &sound = report.devices[1];
    EXPECT_FALSE(sound.Slow());
    EXPECT_EQ(sound.good, sound.probes);

    ASSERT_EQ(report.findings.size(), 1u) << ::testing::PrintToString(Lines(report));
    const Finding &f = report.findings[0];
    EXPECT_EQ(f.kind, FindingKind::SlowDevice);
    EXPECT_EQ(f.address, std::optional<uint8_t>(1));
    EXPECT_EQ(f.text.rfind("device 1 answers late at " + std::to_string(c.baud) + " baud", 0), 0u) << f.text;
    EXPECT_TRUE(f.problem);
}

INSTANTIATE_TEST_SUITE_P(Table, DoctorLateDevice,
                         ::testing::Values(LateCase{"late_40_ms_at_115200", 115200, 40},
                                           LateCase{"late_80_ms_at_19200", 19200, 80}),
                         [](const auto &info) { return std::string(info.param.what); });

// --- The port vanishing -------------------------------------------------------

// The adapter is pulled out while the doctor asks the addresses at the
// second rate: the lost port is the finding, the device met at the first
// rate stays listed, and nothing is concluded from the silence after.
TEST_F(DoctorOnBus, ALostPortIsAFindingOfItsOwn)
{
    StartBus(Line(), {Device(1), Device(3)});
    DoctorOptions options = Options();
    options.listenMs = 100;
    options.probesPerDevice = 2;
    int sweeps = 0;
    options.progress = [&](const std::string &step) {
        if (step.rfind("asking addresses", 0) == 0 && ++sweeps == 2)
            bus->Unplug();
        return true;
    };
    const DoctorReport report = Diagnose(options);
    EXPECT_TRUE(report.portLost);
    EXPECT_FALSE(report.cancelled);
    ASSERT_EQ(report.findings.size(), 1u) << ::testing::PrintToString(Lines(report));
    EXPECT_EQ(report.findings[0].kind, FindingKind::PortLost);
    EXPECT_EQ(report.findings[0].text.rfind("the port went away during the diagnosis", 0), 0u);
    EXPECT_EQ(report.findings[0].Line().find("does not open"), std::string::npos);
    EXPECT_EQ(report.findings[0].Line().find("no other program"), std::string::npos);
    EXPECT_EQ(report.Problems(), 1u);
    ASSERT_EQ(report.devices.size(), 2u);
    for (const DoctorDevice &d : report.devices) {
        EXPECT_EQ(d.baud, 115200u);
        EXPECT_EQ(d.good, d.probes);
        EXPECT_EQ(d.silent, 0u);
    }
}

// Noise spoils some replies at every address; no address is taken for a
// shared one. (The seed fixes which bits flip.)
TEST_F(DoctorOnBus, NoiseIsToldFromASharedAddress)
{
    BusOptions options = Line();
    options.bitErrorRate = 1e-3; // about half the 65-byte replies get a flipped bit
    options.seed = 7;
    StartBus(options, {Device(1), Device(2)});
    const DoctorReport report = Diagnose();
    ASSERT_FALSE(report.findings.empty());
    bool noise = false;
    for (const Finding &f : report.findings) {
        EXPECT_NE(f.kind, FindingKind::SharedAddress) << f.Line();
        EXPECT_NE(f.kind, FindingKind::NoProblem);
        noise = noise || f.kind == FindingKind::Noise;
    }
    EXPECT_TRUE(noise) << ::testing::PrintToString(Lines(report));
}

// Another master polls address 1 through a second opening of the line; its
// requests reach the devices and their replies reach the doctor, which must
// send nothing after listening.
TEST_F(DoctorOnBus, AnotherMasterOnTheLineStopsTheProbing)
{
    StartBus(Line(), {Device(1)});
    LineClient other(bus->DevicePath());
    std::atomic<bool> stop{false};
    std::thread poller([&] {
        while (!stop) {
            other.Send(Request(1, Fc::ReadInput, Reg::MotorStatus, 2));
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    });
    const DoctorReport report = Diagnose();
    stop = true;
    poller.join();
    ASSERT_EQ(report.findings.size(), 1u) << ::testing::PrintToString(Lines(report));
    EXPECT_EQ(report.findings[0].kind, FindingKind::ForeignTraffic);
    EXPECT_EQ(report.findings[0].baud, 115200u);
    EXPECT_EQ(report.findings[0].text.rfind("another master is talking on the line at 115200 baud", 0), 0u)
        << report.findings[0].text;
    EXPECT_TRUE(report.devices.empty());
}

// Turnaround: t3.5 plus what the device takes, read off the good replies on
// a line whose adapter hands over every byte at once.
TEST_F(DoctorOnBus, MeasuresEachDevicesTurnaround)
{
    BusOptions options = Line();
    options.adapterLatencyMs = 0;
    DeviceOptions quick = Device(1);
    quick.turnaround = Turnaround{2, 2};
    DeviceOptions slow = Device(2);
    slow.turnaround = Turnaround{15, 15};
    StartBus(options, {quick, slow});
    const DoctorReport report = Diagnose();
    ASSERT_EQ(report.devices.size(), 2u);
    // 1.75 ms of t3.5 at 115200 on top of the device's own time; the
    // engine's clock counts whole milliseconds.
    const DoctorDevice &a = report.devices[0];
    const DoctorDevice &b = report.devices[1];
    ASSERT_TRUE(a.turnaroundMs && b.turnaroundMs);
    EXPECT_GE(*a.turnaroundMs, 2u);
    EXPECT_LE(*a.turnaroundMs, 4u + LateMs);
    EXPECT_GE(*b.turnaroundMs, 15u);
    EXPECT_LE(*b.turnaroundMs, 17u + LateMs);
    EXPECT_GT(*b.turnaroundMs, *a.turnaroundMs);
}

TEST(FindFrames, TellsFramesFromGarbage)
{
    const Bytes request = WithCrc(Request(1, Fc::ReadHolding, Reg::MaxPos, 1));
    const Bytes reply = WithCrc({1, 0x03, 0x02, 0x03, 0xE8});
    Bytes line{0xFF, 0x00};
    line.insert(line.end(), request.begin(), request.end());
    line.insert(line.end(), reply.begin(), reply.end());
    line.push_back(0x55);
    const std::vector<FoundFrame> frames = FindFrames(line);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].offset, 2u);
    EXPECT_EQ(frames[0].length, 8u);
    EXPECT_EQ(frames[1].offset, 10u);
    EXPECT_EQ(frames[1].length, 7u);
    EXPECT_TRUE(FindFrames(Bytes(64, 0xA5)).empty());
}

} // namespace

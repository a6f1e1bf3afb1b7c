// The bus doctor against the virtual bus on its line model: one case per
// fault of the bus and the finding it must give, and a clean bus that gives
// "no problem found". The address range is kept short so that every rate
// is probed in about a second.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

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

    DoctorReport Diagnose(uint32_t connectedBaud = 115200)
    {
        DoctorOptions options;
        options.connectedBaud = connectedBaud;
        options.firstAddress = 1;
        options.lastAddress = 3;
        options.listenMs = 200;
        const std::string path = bus->DevicePath();
        return RunDoctor(engine, comPort, [this, path](uint32_t baud) {
            return comPort->Open(path, static_cast<int32_t>(baud), 0);
        }, options);
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
        {"clean bus", Line(), {Device(1), Device(2)}, {"no problem found"}, {1, 2}},
        {"a silent device is just not listed", Line(), {Device(1), Device(2, Silent())}, {"no problem found"}, {1}},
        {"devices at another rate", Line(9600), {Device(1), Device(3)},
         {"devices answer at 9600 baud, not 115200: connect at 9600"}, {1, 3}},
        {"one device at another rate", Line(), {Device(1), Device(2, TalksAt(19200))},
         {"device 2 answers at 19200 baud, not 115200 like the others: connect at 19200 and set its baud rate to "
          "115200"},
         {1, 2}},
        {"echoing adapter", Echoing(), {Device(2)}, {"your adapter echoes what it sends: echo handling is on"}, {2}},
        {"two devices at one address", Line(), {Device(1), Device(1, {}, true), Device(2)},
         {std::string("two devices answer at address 1: ") + SharedStep}, {1, 2}},
        {"two devices at the only address", Line(), {Device(3), Device(3, {}, true)},
         {std::string("two devices answer at address 3: ") + SharedStep}, {3}},
        {"nothing on the bus", Line(), {},
         {"no device answers at any baud rate (addresses 1..3): check the power, the A/B wiring (swap A and B if "
          "unsure) and the adapter"},
         {}},
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
    // The port is left at the rate the user chose.
    EXPECT_TRUE(comPort->IsOpen());
}

INSTANTIATE_TEST_SUITE_P(Table, DoctorFaults, ::testing::ValuesIn(Cases()));

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

// The bus as an RS-485 line, over a real pseudo-terminal: the time bytes
// take on the wire at each baud rate, the silence that ends a frame, the
// device's turnaround, the USB adapter's packets, and the faults of a real
// bus (echo, two devices at one address, noise, devices at another rate).
// Arrival times are taken on the master's side with a steady clock; lower
// bounds are the arithmetic of the line, upper bounds leave room for a
// loaded machine.

#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <random>
#include <string>
#include <thread>

#include "SimClient.h"
#include "VirtualBus.h"
#include "modbus/Registers.h"

using lumosim::BaudChange;
using lumosim::BusOptions;
using lumosim::DeviceOptions;
using lumosim::Faults;
using lumosim::LoggedFrame;
using lumosim::Turnaround;
using lumosim::VirtualBus;

namespace {

using SteadyClock = std::chrono::steady_clock;

// Slack for a thread that wakes late on a loaded machine; only upper bounds use it.
constexpr double LateMs = 30;

struct Rate {
    uint32_t baud;
    speed_t speed;
    // From the line's arithmetic (10 bits a character): an 8-byte request,
    // the 33-byte reply to a 14-register read, and t3.5.
    double requestMs;
    double replyMs;
    double t35Ms;
};

const Rate Rates[] = {
    {4800, B4800, 16.667, 68.750, 7.292},
    {9600, B9600, 8.333, 34.375, 3.646},
    {19200, B19200, 4.167, 17.188, 1.823},
    {115200, B115200, 0.694, 2.865, 1.750},
};

const Rate &RateOf(uint32_t baud)
{
    for (const Rate &r : Rates)
        if (r.baud == baud)
            return r;
    throw std::logic_error("no such rate");
}

DeviceOptions Device(uint8_t address, uint16_t model, Turnaround turnaround = {0, 0})
{
    DeviceOptions d;
    d.address = address;
    d.model = model;
    d.turnaround = turnaround;
    return d;
}

BusOptions Line(uint32_t baud, uint32_t adapterLatencyMs = 0)
{
    BusOptions o;
    o.baud = baud;
    o.adapterLatencyMs = adapterLatencyMs;
    return o;
}

double MsSince(SteadyClock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
}

// What one read() on the master's side returned, and when.
struct Arrival {
    double ms; // since the request was written
    Bytes bytes;
};

// Reads until `quietMs` pass without a byte (after the first) or `timeoutMs` in all.
std::vector<Arrival> Arrivals(int fd, SteadyClock::time_point t0, int timeoutMs, int quietMs = 60)
{
    std::vector<Arrival> out;
    while (MsSince(t0) < timeoutMs) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, out.empty() ? 2 : quietMs) <= 0) {
            if (!out.empty())
                break;
            continue;
        }
        uint8_t buf[512];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            break;
        out.push_back(Arrival{MsSince(t0), Bytes(buf, buf + n)});
    }
    return out;
}

Bytes Joined(const std::vector<Arrival> &arrivals)
{
    Bytes all;
    for (const Arrival &a : arrivals)
        all.insert(all.end(), a.bytes.begin(), a.bytes.end());
    return all;
}

std::vector<LoggedFrame> Frames(const VirtualBus &bus, bool fromMaster)
{
    std::vector<LoggedFrame> out;
    for (const LoggedFrame &f : bus.FrameLog())
        if (f.fromMaster == fromMaster)
            out.push_back(f);
    return out;
}

const Bytes ReadBlock = Request(1, Fc::ReadHolding, Reg::BlockStart, Reg::BlockCount);

bool GoodReply(const Bytes &bytes, uint8_t address)
{
    return bytes.size() >= 5 && bytes[0] == address && Rtu::CrcMatches(bytes.data(), bytes.size());
}

// ---- Time on the wire ----------------------------------------------------

class WireTime : public ::testing::TestWithParam<Rate> {};

TEST_P(WireTime, RequestAndReplyTakeTenBitsACharacterAndTheReplyFollowsT35)
{
    const Rate &rate = GetParam();
    VirtualBus bus(Line(rate.baud));
    ASSERT_TRUE(bus.AddDevice(Device(1, Model::LumoD)));
    ASSERT_TRUE(bus.Start());
    LineClient line(bus.DevicePath(), rate.speed);

    const auto t0 = SteadyClock::now();
    ASSERT_TRUE(line.Send(ReadBlock));
    const auto arrivals = Arrivals(line.fd(), t0, 1000);
    const Bytes reply = Joined(arrivals);
    ASSERT_EQ(reply.size(), 33u);
    EXPECT_TRUE(GoodReply(reply, 1));

    // The first byte cannot come before the request, t3.5 and its own
    // character; the last not before the whole reply.
    const double charMs = rate.replyMs / 33;
    EXPECT_GE(arrivals.front().ms, rate.requestMs + rate.t35Ms + charMs - 0.05);
    EXPECT_GE(arrivals.back().ms, rate.requestMs + rate.t35Ms + rate.replyMs - 0.05);
    EXPECT_LE(arrivals.back().ms, rate.requestMs + rate.t35Ms + rate.replyMs + LateMs);
    // Byte by byte (no adapter buffering): the reply is spread over its time.
    if (rate.baud <= 19200) {
        EXPECT_GE(arrivals.size(), 3u);
    }

    // The log holds the wire times.
    const auto requests = Frames(bus, true);
    const auto replies = Frames(bus, false);
    ASSERT_EQ(requests.size(), 1u);
    ASSERT_EQ(replies.size(), 1u);
    EXPECT_NEAR(requests[0].endMs - requests[0].startMs, rate.requestMs, 0.001);
    EXPECT_NEAR(replies[0].endMs - replies[0].startMs, rate.replyMs, 0.001);
    EXPECT_EQ(requests[0].ms, static_cast<uint64_t>(requests[0].startMs));
    const double silence = replies[0].startMs - requests[0].endMs;
    EXPECT_GE(silence, rate.t35Ms - 0.001);
    EXPECT_LE(silence, rate.t35Ms + LateMs);
}

INSTANTIATE_TEST_SUITE_P(Bauds, WireTime, ::testing::ValuesIn(Rates),
                         [](const auto &info) { return std::to_string(info.param.baud); });

// A request ends with t3.5 of silence on the wire, not in the writes: bytes
// the master writes while earlier ones are still going out follow them
// without a gap.
TEST(LineFraming, TheGapThatEndsARequestIsMeasuredOnTheWire)
{
    struct Case {
        const char *name;
        uint32_t baud;
        int pauseMs; // between the two halves of one request, as written
        bool answered;
    } cases[] = {
        {"4800: the first half still on the wire", 4800, 3, true},
        {"4800: 30 ms is a gap", 4800, 30, false},
        {"115200: 5 ms is a gap", 115200, 5, false},
    };
    for (const Case &c : cases) {
        VirtualBus bus(Line(c.baud));
        ASSERT_TRUE(bus.AddDevice(Device(1, Model::LumoD)));
        ASSERT_TRUE(bus.Start());
        LineClient line(bus.DevicePath(), RateOf(c.baud).speed);
        const Bytes frame = WithCrc(Request(1, Fc::ReadHolding, Reg::MaxPos, 1));
        line.SendRaw(Bytes(frame.begin(), frame.begin() + 4));
        std::this_thread::sleep_for(std::chrono::milliseconds(c.pauseMs));
        line.SendRaw(Bytes(frame.begin() + 4, frame.end()));
        const Bytes got = line.Receive(300, 60);
        EXPECT_EQ(GoodReply(got, 1), c.answered) << c.name << ": " << ::testing::PrintToString(got);
    }
}

// The silence that ends a request runs from the end of one byte to the
// start of the next: a pause under t3.5 on the wire leaves the request
// whole, one of t3.5 or more cuts it. Pauses around t3.5 at 4800 baud
// (2.5 to 4 characters); the silence each one made is read from the log,
// so the check holds however late the writes came.
TEST(LineFraming, ARequestIsCutOnlyByT35OfSilenceOnTheWire)
{
    const Rate &r = RateOf(4800);
    const double charMs = r.replyMs / 33;
    VirtualBus bus(Line(4800));
    ASSERT_TRUE(bus.AddDevice(Device(1, Model::LumoD)));
    ASSERT_TRUE(bus.Start());
    LineClient line(bus.DevicePath(), B4800);
    const Bytes frame = WithCrc(Request(1, Fc::ReadHolding, Reg::MaxPos, 1));
    int underT35 = 0;
    for (double pauseChars : {2.6, 2.8, 3.0, 3.2, 3.4, 3.8, 4.2}) {
        bus.ClearFrameLog();
        line.SendRaw(Bytes(frame.begin(), frame.begin() + 4));
        std::this_thread::sleep_for(std::chrono::microseconds(static_cast<int>((4 + pauseChars) * charMs * 1000)));
        line.SendRaw(Bytes(frame.begin() + 4, frame.end()));
        const bool answered = GoodReply(line.Receive(300, 60), 1);
        const auto heard = Frames(bus, true);
        ASSERT_FALSE(heard.empty()) << pauseChars;
        // One frame: it lasted 8 characters and the silence; two pieces: the
        // silence lies between them.
        const double silence = heard.size() == 1 ? heard[0].endMs - heard[0].startMs - 8 * charMs
                                                 : heard[1].startMs - heard[0].endMs;
        if (silence < r.t35Ms)
            ++underT35;
        EXPECT_EQ(answered, silence < r.t35Ms - 1e-6)
            << pauseChars << " characters asked, " << silence / charMs << " on the wire, " << heard.size()
            << " piece(s)";
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_GT(underT35, 0) << "no pause came out under t3.5: the case the check is about was not met";
}

// ---- The master's side of the line -----------------------------------------

// The bytes of `count` random characters from a seeded generator.
Bytes Noise(size_t count, uint32_t seed)
{
    std::mt19937 generator(seed);
    Bytes bytes(count);
    for (uint8_t &b : bytes)
        b = static_cast<uint8_t>(generator());
    return bytes;
}

// CPU time of this process (the bus's thread and the test), in ms.
double CpuMs(int who = RUSAGE_SELF)
{
    rusage usage{};
    ::getrusage(who, &usage);
    return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000.0 +
           (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000.0;
}

// CPU taken by every thread but this one: the bus's.
double OtherThreadsCpuMs()
{
    return CpuMs(RUSAGE_SELF) - CpuMs(RUSAGE_THREAD);
}

// Writes all of `bytes` with blocking writes, as a program writes to a port.
void WriteAll(int fd, const Bytes &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, std::min<size_t>(bytes.size() - done, 4096));
        if (n <= 0)
            throw std::runtime_error("the line refused a write");
        done += static_cast<size_t>(n);
    }
}

// A flood of noise takes the wire's time: the master's transmit side holds
// about 4 KB and the pseudo-terminal about 20 KB more, so a writer of more
// blocks until the line has sent the rest; then the devices answer the next
// request as soon as it is through, and the bus does not spin meanwhile.
// (The long variant, 20,000 bytes at 9600 baud, 20.8 s of wire: set
// LUMO_LONG_LINE_TESTS=1.)
TEST(LineLimits, AFloodTakesTheWiresTimeAndTheDevicesAnswerRightAfter)
{
    struct Case {
        uint32_t baud;
        size_t bytes;
        bool longVariant;
    } cases[] = {
        {115200, 40000, false}, // 3.5 s of wire, of which the writer must wait 1.3 s at least
        {19200, 4000, false},   // 2.1 s of wire, all taken at once
        {9600, 20000, true},
    };
    const bool runLong = std::getenv("LUMO_LONG_LINE_TESTS") != nullptr;
    for (const Case &c : cases) {
        if (c.longVariant && !runLong)
            continue;
        const Rate &r = RateOf(c.baud);
        const double charMs = r.replyMs / 33;
        VirtualBus bus(Line(c.baud));
        ASSERT_TRUE(bus.AddDevice(Device(1, Model::LumoD)));
        ASSERT_TRUE(bus.Start());
        LineClient line(bus.DevicePath(), r.speed);
        const double cpu0 = OtherThreadsCpuMs();
        const auto t0 = SteadyClock::now();
        WriteAll(line.fd(), Noise(c.bytes, c.baud));
        const double writeMs = MsSince(t0);
        // Some of the noise's bytes may form a frame a device answers: throw
        // those away, then ask.
        ASSERT_TRUE(line.Send(ReadBlock));
        const Bytes request = WithCrc(ReadBlock);
        Bytes got;
        double replyMs = 0;
        while (MsSince(t0) < (c.bytes + 8) * charMs + 5000) {
            const Bytes piece = line.Receive(200, 60);
            got.insert(got.end(), piece.begin(), piece.end());
            if (got.size() >= 33 && GoodReply(Bytes(got.end() - 33, got.end()), 1)) {
                replyMs = MsSince(t0);
                break;
            }
        }
        const double cpuMs = OtherThreadsCpuMs() - cpu0;
        const double wireMs = (c.bytes + 8) * charMs;
        ASSERT_GT(replyMs, 0) << c.baud << ": no answer after the flood";
        EXPECT_GE(replyMs, wireMs) << c.baud << ": the line was faster than its rate";
        EXPECT_LE(replyMs, wireMs + r.t35Ms + r.replyMs + 1000) << c.baud << ": deaf after the flood (written in " << writeMs << " ms, " << cpuMs << " ms of CPU)";
        // What neither the bus nor the pseudo-terminal can hold waits in the writer.
        const double unbuffered = static_cast<double>(c.bytes) - 4096 - 20480 - 4096;
        if (unbuffered > 0) {
            EXPECT_GE(writeMs, unbuffered * charMs) << c.baud << ": the writer never waited for the line";
        }
        // A bus that spins takes a whole core for as long as the flood lasts.
        // One that wakes for each character, as this one does, takes about
        // 40 us a character under the sanitizers: nearly half a core at
        // 115200, and more on a machine busy with other tests.
        EXPECT_LE(cpuMs, 0.75 * replyMs) << c.baud << ": the bus spun on the flood";
    }
}

// Noise written at every rate in turn, then a request at the devices' rate:
// answered once the noise has left the wire, whatever rates it came at.
TEST(LineLimits, NoiseAtSeveralRatesLeavesTheDevicesListening)
{
    VirtualBus bus(Line(115200));
    ASSERT_TRUE(bus.AddDevice(Device(1, Model::LumoD)));
    ASSERT_TRUE(bus.Start());
    for (int round = 0; round < 3; ++round) {
        double wireMs = 0;
        for (const Rate &rate : Rates) {
            LineClient noisy(bus.DevicePath(), rate.speed);
            // 150 ms of the wire at each rate.
            const size_t count = static_cast<size_t>(150 / (rate.replyMs / 33));
            WriteAll(noisy.fd(), Noise(count, static_cast<uint32_t>(rate.baud + round)));
            wireMs += 150;
            std::this_thread::sleep_for(std::chrono::milliseconds(160)); // the rate holds while its bytes go out
        }
        LineClient line(bus.DevicePath());
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const auto t0 = SteadyClock::now();
        line.Send(ReadBlock);
        Bytes got;
        while (MsSince(t0) < 1500 && !(got.size() >= 33 && GoodReply(Bytes(got.end() - 33, got.end()), 1))) {
            const Bytes piece = line.Receive(100, 20);
            got.insert(got.end(), piece.begin(), piece.end());
        }
        ASSERT_TRUE(got.size() >= 33 && GoodReply(Bytes(got.end() - 33, got.end()), 1))
            << "round " << round << ": deaf after noise at every rate";
        EXPECT_LE(MsSince(t0), 200) << "round " << round;
    }
}

// ---- Turnaround ----------------------------------------------------------

TEST(LineTurnaround, AFixedTurnaroundFollowsT35)
{
    for (double turnaroundMs : {0.0, 5.0, 20.0}) {
        VirtualBus bus(Line(115200));
        ASSERT_TRUE(bus.AddDevice(Device(1, Model::LumoD, {turnaroundMs, turnaroundMs})));
        ASSERT_TRUE(bus.Start());
        LineClient line(bus.DevicePath());
        const auto t0 = SteadyClock::now();
        line.Send(ReadBlock);
        const auto arrivals = Arrivals(line.fd(), t0, 1000);
        ASSERT_FALSE(arrivals.empty());
        const Rate &r = RateOf(115200);
        EXPECT_GE(arrivals.front().ms, r.requestMs + r.t35Ms + turnaroundMs) << turnaroundMs;
        EXPECT_LE(arrivals.back().ms, r.requestMs + r.t35Ms + turnaroundMs + r.replyMs + LateMs) << turnaroundMs;
        const auto requests = Frames(bus, true);
        const auto replies = Frames(bus, false);
        ASSERT_EQ(replies.size(), 1u);
        EXPECT_NEAR(replies[0].startMs - requests[0].endMs, r.t35Ms + turnaroundMs, 0.01) << turnaroundMs;
    }
}

// Each reply draws its turnaround from the range, and the same seed draws the same.
TEST(LineTurnaround, ARangeJittersAndTheSeedRepeatsIt)
{
    auto silences = [](uint32_t seed) {
        BusOptions options = Line(115200);
        options.seed = seed;
        VirtualBus bus(options);
        bus.AddDevice(Device(1, Model::LumoD, {5, 10}));
        bus.Start();
        LineClient line(bus.DevicePath());
        for (int i = 0; i < 12; ++i) {
            line.Send(Request(1, Fc::ReadHolding, Reg::MaxPos, 1));
            line.Receive(500, 15);
        }
        std::vector<double> out;
        const auto requests = Frames(bus, true);
        const auto replies = Frames(bus, false);
        for (size_t i = 0; i < replies.size() && i < requests.size(); ++i)
            out.push_back(replies[i].startMs - requests[i].endMs);
        return out;
    };
    const auto first = silences(3);
    ASSERT_EQ(first.size(), 12u);
    const auto [low, high] = std::minmax_element(first.begin(), first.end());
    EXPECT_GE(*low, 1.75 + 5 - 0.001);
    EXPECT_LE(*high, 1.75 + 10 + 0.001);
    EXPECT_GT(*high - *low, 1.0) << "no jitter";
    const auto again = silences(3);
    ASSERT_EQ(again.size(), first.size());
    for (size_t i = 0; i < first.size(); ++i)
        EXPECT_NEAR(again[i], first[i], 1e-6) << i;
    EXPECT_NE(silences(4), first);
}

// ---- The USB adapter -----------------------------------------------------

// A 16 ms latency timer: a reply at 4800 baud (69 ms) comes in several
// pieces, one at 115200 (2.9 ms) mostly in one, up to 16 ms after its end.
TEST(LineAdapter, TheLatencyTimerHandsOverPieces)
{
    {
        VirtualBus bus(Line(4800, 16));
        bus.AddDevice(Device(1, Model::LumoD));
        ASSERT_TRUE(bus.Start());
        LineClient line(bus.DevicePath(), B4800);
        const auto t0 = SteadyClock::now();
        line.Send(ReadBlock);
        const auto arrivals = Arrivals(line.fd(), t0, 1000);
        EXPECT_EQ(Joined(arrivals).size(), 33u);
        EXPECT_GE(arrivals.size(), 3u) << "69 ms of reply in 16 ms packets";
        const Rate &r = RateOf(4800);
        EXPECT_GE(arrivals.back().ms, r.requestMs + r.t35Ms + r.replyMs);
        EXPECT_LE(arrivals.back().ms, r.requestMs + r.t35Ms + r.replyMs + 16 + LateMs);
    }
    {
        VirtualBus bus(Line(115200, 16));
        bus.AddDevice(Device(1, Model::LumoD));
        ASSERT_TRUE(bus.Start());
        LineClient line(bus.DevicePath());
        const Rate &r = RateOf(115200);
        const double onTheWire = r.requestMs + r.t35Ms + r.replyMs;
        double longestWait = 0;
        for (int i = 0; i < 10; ++i) {
            const auto t0 = SteadyClock::now();
            line.Send(ReadBlock);
            const auto arrivals = Arrivals(line.fd(), t0, 1000, 25);
            ASSERT_EQ(Joined(arrivals).size(), 33u);
            EXPECT_LE(arrivals.size(), 2u);
            EXPECT_GE(arrivals.back().ms, onTheWire);
            EXPECT_LE(arrivals.back().ms, onTheWire + 16 + LateMs);
            longestWait = std::max(longestWait, arrivals.back().ms - onTheWire);
        }
        EXPECT_GT(longestWait, 3.0) << "the adapter never held a reply back";
    }
}

// A full packet goes at once; the rest waits for the timer.
TEST(LineAdapter, AFullPacketGoesWithoutWaitingForTheTimer)
{
    BusOptions options = Line(4800, 255);
    options.adapterPacketSize = 8;
    VirtualBus bus(options);
    bus.AddDevice(Device(1, Model::LumoD));
    ASSERT_TRUE(bus.Start());
    LineClient line(bus.DevicePath(), B4800);
    const auto t0 = SteadyClock::now();
    line.Send(ReadBlock);
    // The reply is on the wire from about 24 to 93 ms after the bus started;
    // its first tick is at 255 ms.
    const auto arrivals = Arrivals(line.fd(), t0, 1500, 400);
    ASSERT_EQ(Joined(arrivals).size(), 33u);
    size_t inPackets = 0;
    for (const Arrival &a : arrivals)
        if (a.ms < 150) {
            EXPECT_EQ(a.bytes.size() % 8, 0u) << a.ms;
            inPackets += a.bytes.size();
        }
    EXPECT_EQ(inPackets, 32u);
    EXPECT_GE(arrivals.back().ms, 150) << "the last byte did not wait for the timer";
}

// ---- Faults of a real bus ------------------------------------------------

// A 2-wire adapter without echo suppression: the request comes back first.
TEST(LineFaults, EchoReturnsTheRequestAheadOfTheReply)
{
    for (const Rate &rate : Rates) {
        BusOptions options = Line(rate.baud, 1);
        options.echo = true;
        VirtualBus bus(options);
        bus.AddDevice(Device(1, Model::LumoD));
        ASSERT_TRUE(bus.Start());
        LineClient line(bus.DevicePath(), rate.speed);
        const Bytes request = WithCrc(ReadBlock);
        line.SendRaw(request);
        const Bytes got = line.Receive(1000, 60);
        ASSERT_EQ(got.size(), request.size() + 33) << rate.baud;
        EXPECT_EQ(Bytes(got.begin(), got.begin() + 8), request) << rate.baud;
        EXPECT_TRUE(GoodReply(Bytes(got.begin() + 8, got.end()), 1)) << rate.baud;
    }
}

// Two devices at one address both answer; the master gets neither reply.
TEST(LineFaults, TwoDevicesAtOneAddressCollide)
{
    for (const Rate &rate : Rates) {
        VirtualBus bus(Line(rate.baud));
        ASSERT_TRUE(bus.AddDevice(Device(5, Model::LumoP, {0.5, 3})));
        DeviceOptions twin = Device(5, Model::LumoB, {0.5, 3});
        EXPECT_FALSE(bus.AddDevice(twin)) << "a second device at 5 without sharesAddress";
        twin.sharesAddress = true;
        ASSERT_TRUE(bus.AddDevice(twin));
        ASSERT_TRUE(bus.Start());
        LineClient line(bus.DevicePath(), rate.speed);
        for (int i = 0; i < 3; ++i) {
            // All 30 holding registers: long enough (65 bytes) that the
            // turnaround jitter cannot pull the replies apart; the motor IDs
            // differ (5A05 and 5A06).
            line.Send(Request(5, Fc::ReadHolding, Reg::FirstHolding, 30));
            const Bytes got = line.Receive(1000, 60);
            EXPECT_FALSE(GoodReply(got, 5)) << rate.baud << ": " << ::testing::PrintToString(got);
        }
        const auto replies = Frames(bus, false);
        ASSERT_EQ(replies.size(), 6u) << rate.baud;
        // Both were on the wire at once.
        EXPECT_LT(replies[1].startMs, replies[0].endMs) << rate.baud;
    }
}

// Bit noise hits requests and replies alike, the same bits under the same seed.
TEST(LineFaults, NoiseCorruptsSomeExchangesAndTheSeedRepeatsWhich)
{
    auto outcomes = [](uint32_t seed) {
        BusOptions options = Line(115200);
        options.bitErrorRate = 2e-3; // about 0.8 bit errors in an exchange of 41 bytes
        options.seed = seed;
        VirtualBus bus(options);
        bus.AddDevice(Device(1, Model::LumoD));
        bus.Start();
        LineClient line(bus.DevicePath());
        std::string out;
        for (int i = 0; i < 30; ++i) {
            line.Send(ReadBlock);
            out += GoodReply(line.Receive(60, 15), 1) ? '+' : '-';
        }
        return out;
    };
    const std::string first = outcomes(11);
    EXPECT_NE(first.find('+'), std::string::npos) << first;
    EXPECT_NE(first.find('-'), std::string::npos) << first;
    EXPECT_EQ(outcomes(11), first);
}

// A master at another rate than the devices is not understood: they hear
// garbage and answer nothing. At their own rate they answer.
TEST(LineFaults, AMasterAtAnotherRateGetsNoAnswer)
{
    for (const Rate &bus : Rates) {
        VirtualBus virtualBus(Line(bus.baud));
        virtualBus.AddDevice(Device(1, Model::LumoD));
        ASSERT_TRUE(virtualBus.Start());
        for (const Rate &master : Rates) {
            LineClient line(virtualBus.DevicePath(), master.speed);
            line.Send(ReadBlock);
            const Bytes got = line.Receive(250, 60);
            EXPECT_EQ(GoodReply(got, 1), master.baud == bus.baud)
                << "bus " << bus.baud << ", master " << master.baud << ": " << ::testing::PrintToString(got);
        }
    }
}

// One device set to another rate (the fault): silent to the master at the
// bus's rate, the others unaffected, and the log says why.
TEST(LineFaults, ADeviceAtAnotherRateHearsGarbageAndStaysSilent)
{
    for (const Rate &rate : Rates) {
        const uint32_t other = rate.baud == 9600 ? 19200 : 9600;
        VirtualBus bus(Line(rate.baud));
        bus.AddDevice(Device(1, Model::LumoD));
        DeviceOptions odd = Device(5, Model::LumoP);
        odd.faults.lineBaud = other;
        bus.AddDevice(odd);
        ASSERT_TRUE(bus.Start());
        EXPECT_EQ(bus.DeviceBaud(5), other);
        {
            LineClient line(bus.DevicePath(), rate.speed);
            line.Send(Request(5, Fc::ReadHolding, Reg::MaxPos, 1));
            EXPECT_EQ(line.Receive(250, 60), Bytes{}) << rate.baud;
            line.Send(Request(1, Fc::ReadHolding, Reg::MaxPos, 1));
            EXPECT_TRUE(GoodReply(line.Receive(500, 60), 1)) << rate.baud;
        }
        LineClient atItsRate(bus.DevicePath(), RateOf(other).speed);
        atItsRate.Send(Request(5, Fc::ReadHolding, Reg::MaxPos, 1));
        EXPECT_TRUE(GoodReply(atItsRate.Receive(500, 60), 5)) << rate.baud;
    }
}

// The faults a device had before the line model act on the line as well.
TEST(LineFaults, TheDevicesOwnFaultsActOnTheLine)
{
    const Rate &r = RateOf(9600);
    struct Case {
        const char *name;
        Faults faults;
    };
    Faults delay, stray, corrupt, silent;
    delay.replyDelayMs = 30;
    stray.strayByteBeforeReply = true;
    corrupt.corruptCrcEveryN = 1;
    silent.silent = true;
    for (const Case &c : {Case{"delay", delay}, Case{"stray", stray}, Case{"corrupt", corrupt}, Case{"silent", silent}}) {
        VirtualBus bus(Line(9600));
        DeviceOptions device = Device(1, Model::LumoD);
        device.faults = c.faults;
        bus.AddDevice(device);
        ASSERT_TRUE(bus.Start());
        LineClient line(bus.DevicePath(), B9600);
        const auto t0 = SteadyClock::now();
        line.Send(Request(1, Fc::ReadHolding, Reg::MaxPos, 1));
        const auto arrivals = Arrivals(line.fd(), t0, 400);
        const Bytes got = Joined(arrivals);
        const std::string name = c.name;
        if (name == "delay") {
            ASSERT_TRUE(GoodReply(got, 1));
            EXPECT_GE(arrivals.front().ms, r.requestMs + r.t35Ms + 30);
        } else if (name == "stray") {
            ASSERT_EQ(got.size(), 8u);
            EXPECT_EQ(got[0], 0xFF);
            EXPECT_TRUE(GoodReply(Bytes(got.begin() + 1, got.end()), 1));
        } else if (name == "corrupt") {
            EXPECT_EQ(got.size(), 7u);
            EXPECT_FALSE(GoodReply(got, 1));
        } else {
            EXPECT_EQ(got, Bytes{});
        }
    }
}

// ---- The BaudRate register -----------------------------------------------

// A device written to 9600 is then found only at 9600: at once (after its
// reply to the write) or at the next power-up. The configuration write
// sends BaudRate before VoltageOut; under "now" VoltageOut is never heard.
TEST(LineBaudRegister, AWrittenRateTakesEffectNowOrAtPowerUp)
{
    for (BaudChange mode : {BaudChange::Now, BaudChange::PowerUp}) {
        const bool now = mode == BaudChange::Now;
        BusOptions options = Line(115200);
        options.baudChange = mode;
        VirtualBus bus(options);
        bus.AddDevice(Device(1, Model::LumoD));
        ASSERT_TRUE(bus.Start());
        EXPECT_EQ(bus.Holding(1, Reg::BaudRate), 0) << "115200 is code 0";
        LineClient line(bus.DevicePath());

        const Bytes writeBaud = Request(1, Fc::WriteSingle, Reg::BaudRate, 2);
        line.Send(writeBaud);
        EXPECT_EQ(line.Receive(500, 40), WithCrc(writeBaud)) << "the echo goes out at the old rate";
        const Bytes writeVoltage = Request(1, Fc::WriteSingle, Reg::VoltageOut, Voltage::FiveVolt);
        line.Send(writeVoltage);
        EXPECT_EQ(line.Receive(250, 40), now ? Bytes{} : WithCrc(writeVoltage)) << now;
        EXPECT_EQ(bus.Holding(1, Reg::VoltageOut), now ? Voltage::TenVolt : Voltage::FiveVolt) << now;
        EXPECT_EQ(bus.DeviceBaud(1), now ? 9600u : 115200u);

        bus.PowerCycle();
        EXPECT_EQ(bus.DeviceBaud(1), 9600u);
        line.Send(ReadBlock);
        EXPECT_EQ(line.Receive(250, 40), Bytes{}) << now;
        LineClient at9600(bus.DevicePath(), B9600);
        at9600.Send(ReadBlock);
        EXPECT_TRUE(GoodReply(at9600.Receive(500, 40), 1)) << now;
    }
}

// ---- An independent master -----------------------------------------------

// libmodbus, with its own timing, reads the block at every rate through the
// default adapter (16 ms latency timer).
TEST(LineInterop, LibmodbusReadsAtEveryRate)
{
    for (const Rate &rate : Rates) {
        BusOptions options;
        options.baud = rate.baud;
        VirtualBus bus(options);
        bus.AddDevice(Device(1, Model::LumoD, {0.5, 3}));
        ASSERT_TRUE(bus.Start());
        modbus_t *ctx = modbus_new_rtu(bus.DevicePath().c_str(), static_cast<int>(rate.baud), 'N', 8, 1);
        ASSERT_NE(ctx, nullptr);
        ASSERT_EQ(modbus_connect(ctx), 0);
        modbus_set_slave(ctx, 1);
        uint16_t values[Reg::BlockCount] = {};
        for (int i = 0; i < 3; ++i)
            EXPECT_EQ(modbus_read_registers(ctx, Reg::BlockStart, Reg::BlockCount, values), Reg::BlockCount)
                << rate.baud << ": " << modbus_strerror(errno);
        EXPECT_EQ(values[Reg::MaxPos - Reg::BlockStart], 1000);
        modbus_close(ctx);
        modbus_free(ctx);
    }
}

} // namespace

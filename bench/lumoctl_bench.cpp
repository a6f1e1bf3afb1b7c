// What lumoctl costs on the virtual bus's line model.
//
// 1. One transaction (the 14-register block read: 8 bytes out, 33 back) made
//    through lumoctl's own BusSession, at each baud rate, behind a 16 ms and
//    a 1 ms adapter, against its floor. The floor is the same exchange made
//    by the leanest possible reader: write the request, then poll(2) until
//    the 33rd byte is in. It holds everything the line itself costs: both
//    frames on the wire, t3.5, the device's turnaround and the adapter's
//    latency timer, which runs freely, so a reply waits 0..16 ms (0..1 ms)
//    after its last byte, 8 ms (0.5 ms) on average. The figure printed
//    beside it is that sum worked out from the model's numbers.
// 2. The real lumoctl executable scanning 1..127 with three devices at
//    115200 baud, behind a 16 ms and a 1 ms adapter.
//
//   lumoctl_bench [TRANSACTIONS_PER_CASE]      (default 100; 0: the scans only)

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "BusSession.h"
#include "BenchFigures.h"
#include "ProcessRunner.h"
#include "VirtualBus.h"
#include "modbus/Frames.h"
#include "modbus/Registers.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

double MsSince(SteadyClock::time_point t0)
{
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
}


speed_t SpeedOf(uint32_t baud)
{
    switch (baud) {
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    default: return B115200;
    }
}

// The floor: the block read by a bare reader, `count` times.
std::vector<double> BareRoundTrips(const std::string &path, uint32_t baud, long count, uint32_t gapMs)
{
    std::vector<uint8_t> request{1, Fc::ReadHolding, 0, Reg::BlockStart, 0, Reg::BlockCount, 0, 0};
    Rtu::AppendCrc(request.data(), request.size() - 2);
    const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    termios raw{};
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    cfsetispeed(&raw, SpeedOf(baud));
    cfsetospeed(&raw, SpeedOf(baud));
    ::tcsetattr(fd, TCSANOW, &raw);
    std::vector<double> times;
    for (long i = 0; i < count; ++i) {
        ::tcflush(fd, TCIFLUSH);
        const auto t0 = SteadyClock::now();
        if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
            break;
        size_t got = 0;
        while (got < 33) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, 1000) <= 0)
                break;
            uint8_t buf[256];
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        if (got == 33)
            times.push_back(MsSince(t0));
        ::usleep(gapMs * 1000);
    }
    ::close(fd);
    return times;
}

// The block read as lumoctl makes it, `count` times, each followed by the
// command gap as lumoctl's attempt loop does.
std::vector<double> LumoctlTransactions(const std::string &path, uint32_t baud, long count, long &failed)
{
    BusSession bus(path, static_cast<int32_t>(baud), 1);
    uint16_t words[Reg::BlockCount] = {};
    std::vector<double> times;
    failed = 0;
    for (long i = 0; i < count; ++i) {
        const auto t0 = SteadyClock::now();
        const ResultCode code =
            bus.engine().ReadRegisters(Fc::ReadHolding, 1, Reg::BlockStart, Reg::BlockCount, words);
        const double ms = MsSince(t0);
        if (code == Result::NoError)
            times.push_back(ms);
        else
            ++failed;
        bus.Pause(bus.commandGapMs());
    }
    return times;
}

void TransactionsAgainstTheirFloor(long count)
{
    std::printf("One transaction (14-register read, 8 + 33 bytes), median of %ld\n", count);
    std::printf("%7s %8s %12s %12s %12s %7s %6s\n", "baud", "latency", "model ms", "floor ms", "lumoctl ms",
                "ratio", "lost");
    for (const uint32_t baud : {4800u, 9600u, 19200u, 115200u})
        for (const uint32_t latency : {16u, 1u}) {
            lumosim::BusOptions options;
            options.baud = baud;
            options.adapterLatencyMs = latency;
            lumosim::VirtualBus bus(options);
            lumosim::DeviceOptions device;
            device.address = 1;
            bus.AddDevice(device);
            if (!bus.Start())
                std::exit(1);
            const uint32_t gapMs = TimingForBaud(static_cast<int32_t>(baud))->commandGapMs;
            const double floorMs = Median(BareRoundTrips(bus.DevicePath(), baud, count, gapMs));
            long failed = 0;
            const double lumoctlMs = Median(LumoctlTransactions(bus.DevicePath(), baud, count, failed));
            const lumosim::Turnaround turnaround;
            const double modelMs = 41 * 10000.0 / baud + SilentIntervalUs(static_cast<int32_t>(baud)) / 1000.0 +
                                   (turnaround.minMs + turnaround.maxMs) / 2 + latency / 2.0;
            std::printf("%7u %8u %12.2f %12.2f %12.2f %7.3f %6ld\n", baud, latency, modelMs, floorMs, lumoctlMs,
                        lumoctlMs / floorMs, failed);
        }
}

void Scans(const char *lumoctl)
{
    std::printf("\nlumoctl scan 1..127, three devices (3, 64, 120), 115200 baud\n");
    std::printf("%8s %10s %s\n", "latency", "seconds", "found");
    for (const uint32_t latency : {16u, 1u}) {
        lumosim::BusOptions options;
        options.adapterLatencyMs = latency;
        lumosim::VirtualBus bus(options);
        for (const uint8_t address : {3, 64, 120}) {
            lumosim::DeviceOptions device;
            device.address = address;
            device.model = Model::LumoD;
            bus.AddDevice(device);
        }
        if (!bus.Start())
            std::exit(1);
        const auto t0 = SteadyClock::now();
        Process process({lumoctl, "--port", bus.DevicePath(), "--json", "scan"});
        const ProcessResult r = process.Finish(120000);
        const double seconds = MsSince(t0) / 1000;
        std::string found;
        if (r.exitCode == 0) {
            const nlohmann::json doc = nlohmann::json::parse(r.out);
            for (const nlohmann::json &d : doc["devices"])
                found += std::to_string(d["address"].get<int>()) + " ";
        } else {
            found = "exit " + std::to_string(r.exitCode) + ": " + r.err;
        }
        std::printf("%8u %10.2f %s\n", latency, seconds, found.c_str());
    }
}

} // namespace

int main(int argc, char **argv)
{
    const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 100;
    if (count > 0)
        TransactionsAgainstTheirFloor(count);
    Scans(LUMOCTL_PROGRAM);
    return 0;
}

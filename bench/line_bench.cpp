// Round trips over the virtual bus's line model: a 14-register read at each
// baud rate, through a 16 ms and a 1 ms adapter latency timer, against the
// floor the wire itself sets (request, t3.5, turnaround, reply).
//
//   line_bench [TRANSACTIONS_PER_CASE]      (default 200)

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "VirtualBus.h"
#include "modbus/Frames.h"
#include "modbus/Registers.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

struct Rate {
    uint32_t baud;
    speed_t speed;
};

// One request and its 33-byte reply; the time from the write to the last
// byte in ms, or a negative number when the reply did not come whole.
double RoundTrip(int fd, const std::vector<uint8_t> &request)
{
    const auto t0 = SteadyClock::now();
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size()))
        return -1;
    size_t got = 0;
    while (got < 33) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) <= 0)
            return -1;
        uint8_t buf[256];
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return -1;
        got += static_cast<size_t>(n);
    }
    return std::chrono::duration<double, std::milli>(SteadyClock::now() - t0).count();
}

} // namespace

int main(int argc, char **argv)
{
    const long count = argc > 1 ? std::strtol(argv[1], nullptr, 10) : 200;
    const Rate rates[] = {{4800, B4800}, {9600, B9600}, {19200, B19200}, {115200, B115200}};
    std::vector<uint8_t> request{1, Fc::ReadHolding, 0, Reg::BlockStart, 0, Reg::BlockCount, 0, 0};
    Rtu::AppendCrc(request.data(), request.size() - 2);

    std::printf("%7s %8s %10s %10s %10s %10s %6s\n", "baud", "latency", "floor ms", "median", "p99", "max",
                "lost");
    for (const Rate &rate : rates)
        for (uint32_t latency : {16u, 1u}) {
            lumosim::BusOptions options;
            options.baud = rate.baud;
            options.adapterLatencyMs = latency;
            lumosim::VirtualBus bus(options);
            lumosim::DeviceOptions device;
            device.address = 1;
            bus.AddDevice(device);
            if (!bus.Start())
                return 1;
            const int fd = ::open(bus.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
            termios raw{};
            cfmakeraw(&raw);
            raw.c_cflag |= CLOCAL | CREAD;
            cfsetispeed(&raw, rate.speed);
            cfsetospeed(&raw, rate.speed);
            ::tcsetattr(fd, TCSANOW, &raw);

            std::vector<double> times;
            long lost = 0;
            for (long i = 0; i < count; ++i) {
                const double ms = RoundTrip(fd, request);
                if (ms < 0) {
                    ++lost;
                    ::tcflush(fd, TCIFLUSH);
                } else {
                    times.push_back(ms);
                }
            }
            ::close(fd);
            if (times.empty())
                continue;
            std::sort(times.begin(), times.end());
            const double charMs = 10000.0 / rate.baud;
            const double t35 = rate.baud > 19200 ? 1.75 : 3.5 * charMs;
            const double floorMs = (8 + 33) * charMs + t35 + 0.5; // the default turnaround's least
            std::printf("%7u %8u %10.2f %10.2f %10.2f %10.2f %6ld\n", rate.baud, latency, floorMs,
                        times[times.size() / 2], times[times.size() * 99 / 100], times.back(), lost);
        }
    return 0;
}

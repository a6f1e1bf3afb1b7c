// Prints what the RTU engine costs: CPU while it waits, and one transaction's
// time over its floor (reply wait plus the reply's time on the wire).

#include <sys/resource.h>
#include <poll.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <vector>

#include "PtyPair.h"
#include "modbus/Crc.h"
#include "modbus/Frames.h"
#include "modbus/RtuEngine.h"

namespace {

double CpuSeconds()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main()
{
    // 0. CRC throughput over 256-byte frames, the longest on the line.
    std::vector<uint8_t> frame(256);
    for (size_t i = 0; i < frame.size(); ++i)
        frame[i] = static_cast<uint8_t>(i * 7);
    uint32_t sink = 0;
    const auto crc0 = std::chrono::steady_clock::now();
    constexpr int kFrames = 200000;
    for (int i = 0; i < kFrames; ++i) {
        frame[0] = static_cast<uint8_t>(i);
        sink += CalcCrc16(frame.data(), frame.size());
    }
    const double crcSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - crc0).count();
    const double crcMBps = kFrames * frame.size() / crcSeconds / 1e6;

    // 1. Waiting: a message pump that sleeps on its event source, as the
    // window's does, with no events arriving.
    std::unique_ptr<C_ComPort> none;
    uint32_t delay = 30;
    RtuEngine idle{none, delay, SystemClock::Instance(),
                   [](uint32_t maxWait) { ::poll(nullptr, 0, static_cast<int>(maxWait)); }};
    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    for (int i = 0; i < 100; ++i)
        idle.DelayWithMessages(20);   // 2 s of waits of one attempt gap each
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const double cpuShare = (CpuSeconds() - cpu0) / wall * 100.0;

    // 2. One ReadRegisters transaction against a slave that answers at once.
    PtyPair pty;
    ScriptedResponder slave(pty, [](const Bytes &r) { return WithCrc({r[0], 0x03, 0x02, 0x03, 0xE8}); });
    auto port = std::make_unique<C_ComPort>();
    if (!port->Open(pty.slavePath(), 115200, 2048)) {
        std::fprintf(stderr, "cannot open %s\n", pty.slavePath().c_str());
        return 1;
    }
    RtuEngine engine{port, delay};
    std::vector<double> ms;
    for (int i = 0; i < 100; ++i) {
        uint16_t value = 0;
        const auto t0 = std::chrono::steady_clock::now();
        if (engine.ReadRegisters(0x03, 5, 0x20, 1, &value) != Result::NoError)
            return 1;
        ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count());
    }
    std::sort(ms.begin(), ms.end());
    const double replyOnWireMs = 7 * 10 * 1000.0 / 115200;   // 7 bytes of 10 bits
    const double floorMs = delay + replyOnWireMs;

    std::printf("%-44s %10s\n", "measure", "value");
    std::printf("%-44s %7.0fMB/s\n", "CRC-16 throughput (256-byte frames)", crcMBps);
    std::printf("%-44s %9.2f%%\n", "CPU while waiting (share of one core)", cpuShare);
    std::printf("%-44s %8.2fms\n", "ReadRegisters floor (30 ms + 7 bytes)", floorMs);
    std::printf("%-44s %8.2fms\n", "ReadRegisters median", ms[ms.size() / 2]);
    std::printf("%-44s %8.2fms\n", "overhead over floor (median)", ms[ms.size() / 2] - floorMs);
    std::printf("%-44s %8.2fms\n", "overhead over floor (95th percentile)", ms[ms.size() * 95 / 100] - floorMs);
    // A pseudo-terminal delivers at once, so the reply's wire time is not
    // spent here; the overhead over the reply wait alone is the engine's own.
    std::printf("%-44s %8.2fms\n", "overhead over the 30 ms reply wait (median)", ms[ms.size() / 2] - delay);
    return sink == 0xFFFFFFFF ? 2 : 0;
}

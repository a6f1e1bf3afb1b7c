// Benchmark of the bus scan and the status poll, at the program's own
// timings (500 ms scan tick, 300 ms poll, the 115200-baud waits), on the
// real window against the virtual bus. Takes about two and a half minutes.
//
// 1. A full scan of 127 addresses with three devices: its real time, taken
//    from the virtual bus's frame log, against its floor, the sum of the
//    waits the scan is made of:
//      127 ticks x 500 ms,
//      an absent address: cmdTryCount x (responseDelayMs + 10 read polls of
//        10 ms + commandGapMs),
//      a present one: its probe (responseDelayMs + commandGapMs), 50 ms, and
//        its model read (responseDelayMs + commandGapMs).
//    The ratio must stay under 1.05.
// 2. The CPU time the window's thread uses while it polls a moving actuator
//    for 10 s, in percent of one core; the target is under 2 %.
//
// With --line both run on the virtual bus as a real RS-485 line at 115200
// baud (wire time, turnaround, a USB adapter with its 16 ms latency timer):
// the floors stay the same, since the waits are the window's own.
//
// Usage: bench_scan_poll [--line]   (exit status 1 when a figure misses its bound)

#include <QApplication>
#include <QEventLoop>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <ctime>

#include "test_bus_scan_fixture.h"

using namespace bustest;

namespace {

constexpr double kTickMs = 500;
constexpr double kResponseDelayMs = 30;
constexpr double kCommandGapMs = 20;
constexpr double kReadPollsMs = 10 * 10;
constexpr double kTries = 3;
constexpr double kModelPauseMs = 50;

bool realLine = false;

double CpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

// Runs the window's event loop for `ms`, as the program does.
void RunFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}

bool BenchScan()
{
    const std::vector<BusDevice> devices = {{1, Model::LumoB}, {42, Model::LumoD}, {100, Model::LumoP}};
    FixtureOptions options;
    options.devices = devices;
    options.realLine = realLine;
    BusWindow w(options);
    if (!w.Connect()) {
        std::fprintf(stderr, "scan: cannot connect\n");
        return false;
    }
    const auto started = std::chrono::steady_clock::now();
    w.Click("ScanDeviceButton");
    if (!QTest::qWaitFor([&] { return !w.state().isScanning; }, 300000)) {
        std::fprintf(stderr, "scan: did not end\n");
        return false;
    }
    const double wallMs =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    if (w.DeviceRows() != QStringList{"1 LUMO-B", "42 LUMO-D", "100 LUMO-P"}) {
        std::fprintf(stderr, "scan: wrong rows %s\n", qPrintable(w.DeviceRows().join(QStringLiteral(", "))));
        return false;
    }

    const double absentMs = kTries * (kResponseDelayMs + kReadPollsMs + kCommandGapMs);
    const double presentMs = (kResponseDelayMs + kCommandGapMs) + kModelPauseMs + (kResponseDelayMs + kCommandGapMs);
    const double present = static_cast<double>(devices.size());
    const double floorMs = 127 * kTickMs + (127 - present) * absentMs + present * presentMs;

    // From the first request to the last one: the first tick's wait comes
    // before it, and what address 127's last attempt costs after it.
    const auto requests = w.Requests();
    const double spanMs = static_cast<double>(requests.back().ms - requests.front().ms);
    const double spanFloorMs = floorMs - kTickMs - (kResponseDelayMs + kReadPollsMs + kCommandGapMs);
    const double ratio = spanMs / spanFloorMs;
    std::printf("scan of 127 addresses, 3 devices, %zu requests\n", requests.size());
    std::printf("  frame log, first to last request: %.0f ms, floor %.0f ms, ratio %.4f (bound 1.05)\n", spanMs,
                spanFloorMs, ratio);
    std::printf("  click to end (wall clock):        %.0f ms, floor %.0f ms, ratio %.4f\n", wallMs, floorMs,
                wallMs / floorMs);
    return ratio < 1.05;
}

bool BenchPoll()
{
    FixtureOptions options;
    options.devices = {{5, Model::LumoB}};
    options.bus.fullStrokeMs = 60000; // 500 steps take 30 s: still moving after 10 s
    options.realLine = realLine;
    BusWindow w(options);
    if (!w.Connect() || !w.ScanUpTo(5, 60000) || !w.SelectControlDevice(QStringLiteral("5"))) {
        std::fprintf(stderr, "poll: cannot select the device\n");
        return false;
    }
    w.Click("motorUpButton");
    if (!w.StatusTimer()->isActive()) {
        std::fprintf(stderr, "poll: did not start\n");
        return false;
    }
    w.bus.ClearFrameLog();
    const double threadBefore = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const double processBefore = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID);
    const auto started = std::chrono::steady_clock::now();
    RunFor(10000);
    const double wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double threadS = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - threadBefore;
    const double processS = CpuSeconds(CLOCK_PROCESS_CPUTIME_ID) - processBefore;
    const size_t polls = CountRequests(w.Requests(), 5, Fc::ReadHolding, Reg::CurrentPos);
    const bool moving = w.bus.Input(5, Reg::MotorStatus) == Motion::MovingUp;
    const double percent = 100.0 * threadS / wallS;
    std::printf("status poll of a moving actuator for %.1f s: %zu ticks, still moving: %s\n", wallS, polls,
                moving ? "yes" : "no");
    std::printf("  window thread CPU: %.3f s = %.2f %% of one core (target under 2 %%)\n", threadS, percent);
    std::printf("  whole process (window and virtual bus): %.3f s = %.2f %%\n", processS, 100.0 * processS / wallS);
    w.Click("motorStopButton");
    return moving && polls > 0 && percent < 2.0;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    realLine = argc > 1 && QByteArray(argv[1]) == "--line";
    std::printf("virtual bus: %s\n", realLine ? "a real line at 115200 baud, 16 ms adapter" : "instant");
    const bool scan = BenchScan();
    const bool poll = BenchPoll();
    return scan && poll ? 0 : 1;
}

// Benchmark of the bus scan and the status poll, at the program's own
// timings (500 ms scan tick, 300 ms poll, the 115200-baud waits), on the
// real window against the virtual bus. Takes about three and a half minutes.
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
// 3. The same with the Bus monitor open, listing every frame of the poll;
//    the target is under 1 %. Then the poll runs fast (20 ms) until far more
//    frames have passed than the monitor keeps: the frames it keeps stay at
//    their bound, and so does the process's resident memory. Takes about
//    40 s more.
//
// With --line every measurement runs on the virtual bus as a real RS-485
// line at 115200 baud (wire time, turnaround, a USB adapter with its 16 ms
// latency timer): the floors stay the same, since the waits are the window's
// own.
//
// Usage: bench_scan_poll [--line] [monitor]   (exit status 1 when a figure
// misses its bound; "monitor" runs part 3 only)

#include <QApplication>
#include <QEventLoop>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "test_bus_scan_fixture.h"
#include "BenchFigures.h"

using namespace bustest;

namespace {

constexpr double kTickMs = 500;
constexpr double kResponseDelayMs = 30;
constexpr double kCommandGapMs = 20;
constexpr double kReadPollsMs = 10 * 10;
constexpr double kTries = 3;
constexpr double kModelPauseMs = 50;

bool realLine = false;


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

// Resident memory of the process in KiB, from /proc/self/statm.
long ResidentKiB()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    return fields.size() > 1 ? fields[1].toLong() * 4 : -1;
}

// Opens the Bus monitor as the operator does: a double-click on the status
// bar's result panel.
QPlainTextEdit *OpenMonitor(BusWindow &w)
{
    const QList<QLabel *> panels =
        w.W<TStatusBar>("OptionStatusBar")->findChildren<QLabel *>(Qt::FindDirectChildrenOnly);
    QTest::mouseDClick(panels.value(2), Qt::LeftButton);
    auto *monitor = w.form->findChild<QWidget *>(QStringLiteral("BusMonitorForm"));
    if (!monitor || !QTest::qWaitForWindowExposed(monitor))
        return nullptr;
    return monitor->findChild<QPlainTextEdit *>(QStringLiteral("framesView"));
}

bool BenchMonitorCpu()
{
    FixtureOptions options;
    options.realLine = realLine;
    options.devices = {{5, Model::LumoB}};
    options.bus.fullStrokeMs = 60000;
    BusWindow w(options);
    if (!w.Connect() || !w.ScanUpTo(5, 60000) || !w.SelectControlDevice(QStringLiteral("5"))) {
        std::fprintf(stderr, "monitor: cannot select the device\n");
        return false;
    }
    QPlainTextEdit *frames = OpenMonitor(w);
    if (!frames) {
        std::fprintf(stderr, "monitor: did not open\n");
        return false;
    }
    w.Click("motorUpButton");
    if (!w.StatusTimer()->isActive()) {
        std::fprintf(stderr, "monitor: the poll did not start\n");
        return false;
    }
    RunFor(1000); // the first refreshes take what the scan left
    const int linesBefore = frames->blockCount();
    const double threadBefore = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
    const auto started = std::chrono::steady_clock::now();
    RunFor(10000);
    const double wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const double threadS = CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - threadBefore;
    const double percent = 100.0 * threadS / wallS;
    const int listed = frames->blockCount() - linesBefore;
    std::printf("status poll with the Bus monitor open for %.1f s: %d frames listed\n", wallS, listed);
    std::printf("  window thread CPU: %.3f s = %.2f %% of one core (target under 1 %%)\n", threadS, percent);
    w.Click("motorStopButton");
    return listed > 0 && percent < 1.0;
}

bool BenchMonitorMemory()
{
    FixtureOptions options;
    options.realLine = realLine;
    options.devices = {{5, Model::LumoB}};
    options.bus.fullStrokeMs = 600000;
    options.timings.statusPollMs = 20;
    options.clockFactor = 10;
    BusWindow w(options);
    if (!w.Connect() || !w.ScanUpTo(5, 60000) || !w.SelectControlDevice(QStringLiteral("5"))) {
        std::fprintf(stderr, "monitor memory: cannot select the device\n");
        return false;
    }
    QPlainTextEdit *frames = OpenMonitor(w);
    if (!frames)
        return false;
    w.Click("motorUpButton");
    constexpr int kKept = 2000;
    // Counts the frames on the line, emptying the virtual bus's log as it
    // goes so that the log's own growth does not count as the monitor's.
    auto waitForFrames = [&](size_t count) {
        size_t passed = 0;
        return QTest::qWaitFor([&] {
            passed += w.bus.FrameLog().size();
            w.bus.ClearFrameLog();
            return passed >= count;
        }, 300000);
    };
    if (!waitForFrames(2 * kKept))
        return false;
    RunFor(500);
    const long fullKiB = ResidentKiB();
    if (!waitForFrames(3 * kKept))
        return false;
    RunFor(500);
    const long laterKiB = ResidentKiB();
    const int lines = frames->blockCount();
    std::printf("Bus monitor after %d and after %d more frames on the line (20 ms poll):\n", 2 * kKept, 3 * kKept);
    std::printf("  lines listed: %d (kept at most %d)\n", lines, kKept);
    std::printf("  resident memory: %ld KiB, then %ld KiB\n", fullKiB, laterKiB);
    w.Click("motorStopButton");
    // Growth beyond malloc's noise would show an unbounded list.
    return lines <= kKept && laterKiB - fullKiB < 1024;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    bool monitorOnly = false;
    for (int i = 1; i < argc; ++i) {
        realLine = realLine || std::strcmp(argv[i], "--line") == 0;
        monitorOnly = monitorOnly || std::strcmp(argv[i], "monitor") == 0;
    }
    std::printf("virtual bus: %s\n", realLine ? "a real line at 115200 baud, 16 ms adapter" : "instant");
    const bool scan = monitorOnly || BenchScan();
    const bool poll = monitorOnly || BenchPoll();
    const bool monitorCpu = BenchMonitorCpu();
    const bool monitorMemory = BenchMonitorMemory();
    return scan && poll && monitorCpu && monitorMemory ? 0 : 1;
}

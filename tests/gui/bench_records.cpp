// Benchmark of the service records in the window. Takes about a minute and a
// half (with --short a few seconds; that variant runs as a test).
//
// 1. What recording adds to a workflow: the store calls the window makes at
//    the end of each workflow (the event with its values, Add, and for a
//    configuration write the lookup of the last known configuration), timed
//    on a store that already holds a long history. Median and 95th
//    percentile per kind; the target is a median under 1 ms. As a check
//    from the outside, the real window's configuration read and write on
//    the virtual bus, median wall time with records on and off.
// 2. The status poll's CPU share with records on and off: the window polls a
//    moving actuator whose motor ID it knows for 10 s each (the poll only
//    notes positions; the move's one event is stored when it ends).
// 3. The Service history of an actuator with 100,000 events: from the
//    window being opened to its first paint, with the newest events; the
//    target is under 200 ms. Then until all of them are listed (they load
//    page by page while the window stays usable).
//
// Usage: bench_records [--short]   (exit status 1 when a figure misses its
// bound)

#include <QApplication>
#include <QDateTime>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "BenchFigures.h"
#include "sidewindows/ServiceHistory.h"
#include "records/RecordStore.h"
#include "test_bus_scan_fixture.h"

using namespace bustest;

namespace {

bool shortRun = false;


void RunFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}



ActuatorConfig Config(uint16_t stroke)
{
    ActuatorConfig c;
    c.motorId = 0x5A05;
    c.MaxPos = stroke;
    c.FrontLimit = stroke;
    c.CurrentLimit = 5000;
    c.SpeedPwm = 100;
    c.SettingFlag = 3;
    c.VoltageOut = 4095;
    return c;
}

// An event of `kind` as the window makes it: origin, address, values.
records::Event WindowEvent(records::EventKind kind, int64_t timeMs, uint16_t motorId, int i)
{
    records::Event e;
    e.timeMs = timeMs;
    e.motorId = motorId;
    e.address = 5;
    e.kind = kind;
    e.origin = {records::StationName(), records::UserName(), "lumo-tool", "/dev/ttyUSB0"};
    switch (kind) {
    case records::EventKind::DeviceSeen:
        e.model = 0;
        e.firmware = 0x0102;
        break;
    case records::EventKind::ConfigRead:
        e.model = 0;
        e.config = Config(static_cast<uint16_t>(1000 + i % 100));
        break;
    case records::EventKind::ConfigWrite:
        e.model = 0;
        e.before = Config(1000);
        e.config = Config(static_cast<uint16_t>(1000 + i % 100));
        e.registers = records::ConfigWriteResults(9, Result::NoError);
        break;
    case records::EventKind::AddressChange:
        e.newAddress = 9;
        break;
    case records::EventKind::Learning:
        e.stroke = 980;
        break;
    case records::EventKind::Motion:
        e.action = "up";
        e.position = static_cast<uint16_t>(i % 1000);
        break;
    case records::EventKind::CycleTest:
        e.steps = 40;
        break;
    case records::EventKind::ConfigImport:
    case records::EventKind::ConfigExport:
        e.file = "/home/technician/LUMO_MID-0x5A05_20261210-0930.config";
        e.config = Config(1000);
        break;
    }
    return e;
}

constexpr records::EventKind kKinds[] = {
    records::EventKind::DeviceSeen,   records::EventKind::ConfigRead, records::EventKind::ConfigWrite,
    records::EventKind::AddressChange, records::EventKind::Learning,  records::EventKind::Motion,
    records::EventKind::CycleTest,     records::EventKind::ConfigImport, records::EventKind::ConfigExport,
};

// Fills `store` with `count` events of motor 5A05 over the last 100 days,
// oldest first; returns the seconds it took.
double Fill(records::RecordStore &store, int count)
{
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    const int64_t span = 100LL * 86400000;
    const auto started = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        const int64_t t = now - span + span * i / count;
        store.Add(WindowEvent(kKinds[static_cast<size_t>(i) % std::size(kKinds)], t, 0x5A05, i));
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
}

bool BenchStoreCalls(const std::string &path, int history, int samples)
{
    records::RecordStore store(path);
    if (!store.IsOpen()) {
        std::fprintf(stderr, "store: %s\n", store.Problem().c_str());
        return false;
    }
    const double fillS = Fill(store, history);
    std::printf("store filled with %d events in %.1f s (%.3f ms an event)\n", history, fillS, 1000 * fillS / history);
    std::printf("what recording adds to a workflow (the store calls at its end), %d samples each:\n", samples);
    bool ok = true;
    const int64_t now = QDateTime::currentMSecsSinceEpoch();
    for (const records::EventKind kind : kKinds) {
        std::vector<double> ms;
        for (int i = 0; i < samples; ++i) {
            const auto started = std::chrono::steady_clock::now();
            records::Event e = WindowEvent(kind, now, 0x5A05, i);
            if (kind == records::EventKind::ConfigWrite)
                e.before = store.LastKnownConfig(0x5A05);
            if (store.Add(std::move(e)) == 0) {
                std::fprintf(stderr, "store: %s\n", store.Problem().c_str());
                return false;
            }
            ms.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count());
        }
        const double median = Median(ms);
        std::printf("  %-15s median %.3f ms, 95th percentile %.3f ms\n", records::KindName(kind), median,
                    Percentile(ms, 0.95));
        ok = ok && median < 1.0;
    }
    return ok;
}

// The real window's configuration read and write, records on and off: two
// windows, each on a bus of its own, taking turns, so that the machine's
// own ups and downs fall on both alike.
bool BenchWorkflows(int rounds)
{
    std::printf("configuration read and write in the window (instant line), %d rounds each, taking turns:\n",
                rounds);
    std::unique_ptr<BusWindow> windows[2];
    for (int recording = 0; recording < 2; ++recording) {
        FixtureOptions options = QuickScanOptions({{5, Model::LumoD, uint16_t{0x5A05}}});
        if (!recording)
            options.recordsPath = "";
        windows[recording] = std::make_unique<BusWindow>(options);
        BusWindow &w = *windows[recording];
        if (!w.Connect() || !w.ScanUpTo(5) || !w.ClickDeviceRow(QStringLiteral("5"))) {
            std::fprintf(stderr, "workflow: cannot select the device\n");
            return false;
        }
        w.W<QTabWidget>("PageControl1")->setCurrentWidget(w.W<QWidget>("SettingPage"));
    }
    std::vector<double> readMs[2], writeMs[2];
    auto timed = [](BusWindow &w, const char *button) {
        const auto started = std::chrono::steady_clock::now();
        w.Click(button);
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - started).count();
    };
    for (int i = 0; i < rounds; ++i)
        for (int recording = 0; recording < 2; ++recording) {
            readMs[recording].push_back(timed(*windows[recording], "LoadConfigButton"));
            writeMs[recording].push_back(timed(*windows[recording], "UpdateConfigButton"));
        }
    for (int recording = 0; recording < 2; ++recording) {
        const ScriptedDialogs &dialogs = windows[recording]->dialogs;
        if (dialogs.shown.size() != static_cast<qsizetype>(2 * rounds)) {
            std::fprintf(stderr, "workflow: %s\n", qPrintable(dialogs.shown.join(QLatin1Char('|'))));
            return false;
        }
        std::printf("  records %-3s  read median %.1f ms, write median %.1f ms\n", recording ? "on" : "off",
                    Median(readMs[recording]), Median(writeMs[recording]));
    }
    return true;
}

// The window thread's CPU share while it polls a moving actuator.
bool BenchPoll(double &onPercent, double &offPercent)
{
    for (const bool recording : {false, true}) {
        FixtureOptions options;
        options.devices = {{5, Model::LumoB, uint16_t{0x5A05}}};
        options.bus.fullStrokeMs = 60000; // still moving after 10 s
        if (!recording)
            options.recordsPath = "";
        BusWindow w(options);
        if (!w.Connect() || !w.ScanUpTo(5, 60000) || !w.ClickDeviceRow(QStringLiteral("5")) ||
            !w.SelectControlDevice(QStringLiteral("5"))) {
            std::fprintf(stderr, "poll: cannot select the device\n");
            return false;
        }
        if (!QTest::qWaitFor([&] { return w.W<QPushButton>("motorUpButton")->isEnabled(); }, 5000)) {
            std::fprintf(stderr, "poll: the device's model was not read\n");
            return false;
        }
        w.Click("motorUpButton");
        if (!w.StatusTimer()->isActive()) {
            std::fprintf(stderr, "poll: did not start\n");
            return false;
        }
        const double before = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        const auto started = std::chrono::steady_clock::now();
        RunFor(10000);
        const double wallS = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        const double percent = 100.0 * (CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - before) / wallS;
        (recording ? onPercent : offPercent) = percent;
        std::printf("  records %-3s  window thread CPU %.2f %% of one core over %.1f s\n", recording ? "on" : "off",
                    percent, wallS);
        w.Click("motorStopButton");
    }
    return true;
}

class FirstPaint : public QObject {
public:
    bool painted = false;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint)
            painted = true;
        return false;
    }
};

bool BenchHistory(const std::string &path, int count)
{
    {
        records::RecordStore store(path);
        const double fillS = Fill(store, count);
        std::printf("history of one actuator: %d events stored in %.1f s\n", count, fillS);
    }
    records::RecordStore store(path);
    records::HistoryQuery query;
    query.motorId = 0x5A05;
    QElapsedTimer clock;
    clock.start();
    const size_t read = store.History(query).size();
    const qint64 queryMs = clock.elapsed();

    ScriptedDialogs dialogs;
    TServiceHistoryForm form(&store, dialogs, nullptr);
    FirstPaint paint;
    auto *view = form.findChild<QTableView *>(QStringLiteral("eventsView"));
    view->viewport()->installEventFilter(&paint);
    clock.restart();
    form.Open(uint16_t{0x5A05});
    const bool painted = QTest::qWaitFor([&] { return paint.painted; }, 10000);
    const qint64 openMs = clock.elapsed();
    const size_t first = form.ListedCount();
    const bool complete = QTest::qWaitFor([&] { return form.Complete(); }, 60000);
    const qint64 completeMs = clock.elapsed();
    std::printf("  the store's History() of all of them at once: %zu events in %lld ms\n", read,
                static_cast<long long>(queryMs));
    std::printf("  Service history opened to its first paint: %lld ms, the newest %zu listed (target under 200 ms)\n",
                static_cast<long long>(openMs), first);
    std::printf("  all %zu listed, loaded while the window is open, after %lld ms\n", form.ListedCount(),
                static_cast<long long>(completeMs));
    return painted && complete && form.ListedCount() == static_cast<size_t>(count) && openMs < 200;
}

} // namespace

int main(int argc, char **argv)
{
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    for (int i = 1; i < argc; ++i)
        shortRun = shortRun || std::strcmp(argv[i], "--short") == 0;
    RecordsToTempFolder();
    QApplication app(argc, argv);
    QTemporaryDir folder;
    bool ok = true;

    ok = BenchStoreCalls(folder.filePath(QStringLiteral("calls.sqlite")).toStdString(), shortRun ? 2000 : 100000,
                         shortRun ? 50 : 500) &&
         ok;
    if (!shortRun) {
        ok = BenchWorkflows(40) && ok;
        double on = 0, off = 0;
        std::printf("status poll of a moving actuator:\n");
        // Nothing more than the measurement's own spread (a shared machine).
        ok = BenchPoll(on, off) && on - off < 0.3 && ok;
    }
    ok = BenchHistory(folder.filePath(QStringLiteral("history.sqlite")).toStdString(), shortRun ? 2000 : 100000) &&
         ok;
    std::printf("%s\n", ok ? "all within bounds" : "SOME FIGURE OUT OF BOUNDS");
    return ok ? 0 : 1;
}

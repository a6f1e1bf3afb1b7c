// Random operator sessions against the virtual bus on its line model, each
// checked against the bus's truth after every action and at the end.
//
//   session_runner --seed N [--actions 0,3,7]   one session (a replay keeps only those actions)
//   session_runner --seeds 1,2,3 [--commit HASH --drawn K] [--shrink | --shrink-runs N]
//   session_runner --batch 1000 [--first N]     a long batch: "sessions / invariant breaks"
//   --verbose                                  each action and what moved after it
//   --list                                     print the sessions the seeds draw, run nothing
//   --mix N                                    draw from an earlier mix of actions (1: no configuration writes)
//
// A session drives the real window offscreen by its controls' object names
// and runs the real lumoctl against the same bus. A session that breaks an
// invariant prints its seed, the break by name, and (with --shrink) the
// fewest actions that still break it, as the command line that replays them.

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "Invariants.h"
#include "Plan.h"
#include "ProcessRunner.h"
#include "config/ConfigFile.h"
#include "records/RecordStore.h"
#include "sidewindows/BusMonitor.h"
#include "test_bus_scan_fixture.h"

using namespace sessions;
using bustest::BusWindow;

namespace sessions {

std::string Describe(const Action &a)
{
    static const char *const names[] = {"scan", "select", "up", "down", "go", "stop-button", "esc", "disconnect",
                                        "connect", "tab", "cycle-test", "stop-in-poll-tick", "up-in-poll-tick",
                                        "lumoctl-status", "lumoctl-move-up", "lumoctl-move-stop", "lumoctl-goto",
                                        "lumoctl-write-speed", "unplug", "config-write-speed",
                                        "lumoctl-config-write-speed", "learn", "diagnose"};
    std::string out = names[static_cast<int>(a.kind)];
    switch (a.kind) {
    case Kind::Select:
    case Kind::Tab:
    case Kind::Go: out += " " + std::to_string(a.arg); break;
    case Kind::ConfigWrite:
    case Kind::Learn: out += " " + std::to_string(a.arg); break;
    case Kind::CliGoto:
    case Kind::CliConfigWrite:
    case Kind::CliWrite: out += " dev#" + std::to_string(a.device) + " " + std::to_string(a.arg); break;
    case Kind::CliStatus:
    case Kind::CliMoveUp:
    case Kind::CliMoveStop: out += " dev#" + std::to_string(a.device); break;
    default: break;
    }
    return out + ", pause " + std::to_string(a.pauseMs) + " ms";
}

std::string Describe(const Plan &plan)
{
    std::string out = std::to_string(plan.baud) + " baud" + (plan.echo ? ", echo" : "") + ";";
    for (const DevicePlan &d : plan.devices)
        out += " " + std::to_string(d.options.address) + ":" + std::string(Model::NameOf(d.options.model)) + "[" +
               std::to_string(d.rearLimit) + "-" + std::to_string(d.frontLimit) + "]" +
               (d.faults.empty() ? "" : "(" + d.faults + ")");
    return out;
}

} // namespace sessions

namespace {

bool verbose = false; // each action, what moves after it and the bus's activity
int mix = kLatestMix;  // the mix of actions the seeds draw from

// Nothing hangs: the window's longest wait is a stop run or a status read
// with all its attempts at the slowest rate here (well under 4 s); a scan
// probes eight addresses; lumoctl's documented bound at these rates.
constexpr double kWindowActionBoundMs = 5000;
constexpr double kScanBoundMs = 30000;
// Diagnose probes the eight addresses at every rate, handling the window's
// messages between its steps.
constexpr double kDiagnoseBoundMs = 60000;
constexpr int kLumoctlKillMs = 20000;
constexpr double kLumoctlBoundMs = 15000;
constexpr int kStopWithinMs = 1000;
// Bounded: what a session may add to the runner's resident memory after its
// first actions (caches, the records' pages, Qt's pixmaps); a leak of a
// frame or an event per poll over 200 actions grows past it. The address
// sanitizer keeps up to 256 MB of freed memory in quarantine on top.
#if defined(__SANITIZE_ADDRESS__)
constexpr size_t kResidentSlackKb = (64 + 256) * 1024;
#else
constexpr size_t kResidentSlackKb = 64 * 1024;
#endif

double Ms(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - since).count();
}

int BaudIndex(uint32_t baud)
{
    switch (baud) {
    case 4800: return 1;
    case 9600: return 2;
    case 19200: return 3;
    default: return 0;
    }
}

struct Outcome {
    Breaks breaks;
    size_t firstBreakAction = 0; // index into the actions run
    double ms = 0;
};

class Session {
public:
    Session(const Plan &plan, const std::vector<size_t> &keep) : plan_(plan), keep_(keep) {}

    Outcome Run()
    {
        const auto start = std::chrono::steady_clock::now();
        bustest::FixtureOptions options;
        for (const DevicePlan &d : plan_.devices)
            options.devices.push_back({d.options.address, d.options.model, d.options.name, 0x0102,
                                       d.options.faults, d.options.sharesAddress});
        options.realLine = true;
        options.bus.baud = plan_.baud;
        options.bus.echo = plan_.echo;
        options.bus.seed = plan_.seed;
        options.bus.timeScale = 2; // a whole stroke in 2.5 s: long enough to stop, short enough to end
        options.timings.scanTickMs = 20;
        options.doctorLastAddress = 8;
        w_ = std::make_unique<BusWindow>(options);
        for (size_t i = 0; i < plan_.devices.size(); ++i) {
            const DevicePlan &d = plan_.devices[i];
            if (!d.options.sharesAddress) {
                w_->bus.SetHolding(d.options.address, Reg::RearLimit, d.rearLimit);
                w_->bus.SetHolding(d.options.address, Reg::FrontLimit, d.frontLimit);
            }
        }
        auto *baud = w_->W<QComboBox>("BaudRateComboBox");
        baud->setCurrentIndex(BaudIndex(plan_.baud));
        emit baud->activated(baud->currentIndex());
        w_->Connect();
        filesAtStart_ = OpenFiles();

        Outcome out;
        // A break found after the last action (the records, memory) needs
        // every action to show again.
        out.firstBreakAction = keep_.empty() ? 0 : keep_.size() - 1;
        size_t residentAtStart = 0;
        for (size_t n = 0; n < keep_.size() && out.breaks.empty(); ++n) {
            Step(plan_.actions[keep_[n]]);
            // Taken once the window has scanned and shown its pages: what
            // a session may hold for good is there by then.
            if (n == std::min<size_t>(2, keep_.size() - 1))
                residentAtStart = ResidentKb();
            if (!breaks_.empty()) {
                out.firstBreakAction = n;
                break;
            }
        }
        if (breaks_.empty() && residentAtStart)
            Add(CheckResident(residentAtStart, ResidentKb(), kResidentSlackKb, "the last action"), "end");
        if (breaks_.empty())
            Close();
        if (breaks_.empty())
            CheckMotionRecords();
        out.breaks = breaks_;
        out.ms = Ms(start);
        // The bus outlives the window: the fixture's order.
        w_.reset();
        return out;
    }

private:
    lumosim::BusTruth Truth() const { return w_->bus.Truth(); }

    void Add(std::optional<Break> b, const std::string &where)
    {
        if (b) {
            b->detail += " [" + where + "]" + LastFrames();
            breaks_.push_back(*b);
        }
    }

    // The wire just before a break, as the bus heard and sent it: what a
    // break found in a batch can be read from, when a replay does not show it.
    std::string LastFrames() const
    {
        const std::vector<lumosim::LoggedFrame> log = w_->bus.FrameLog();
        std::string out = "\n    the wire before it:";
        const size_t from = log.size() > 24 ? log.size() - 24 : 0;
        for (size_t i = from; i < log.size(); ++i) {
            char head[48];
            std::snprintf(head, sizeof head, "\n      %9.1f-%9.1f %s", log[i].startMs, log[i].endMs,
                          log[i].fromMaster ? "request" : "reply  ");
            out += head;
            for (const uint8_t byte : log[i].bytes) {
                char hex[4];
                std::snprintf(hex, sizeof hex, " %02X", byte);
                out += hex;
            }
        }
        return out;
    }

    std::optional<uint8_t> ControlAddress() const
    {
        if (!w_->form || !w_->state().isConnected)
            return std::nullopt;
        const uint8_t id = w_->state().controlDeviceId;
        return id ? std::optional<uint8_t>(id) : std::nullopt;
    }

    void ShowControlPage()
    {
        w_->W<QTabWidget>("PageControl1")->setCurrentWidget(w_->W<QWidget>("OptionPage"));
    }

    // True when the button was enabled and clicked.
    bool Click(const char *name)
    {
        auto *button = w_->W<QPushButton>(name);
        if (!button->isEnabled())
            return false;
        w_->Click(name);
        return true;
    }

    void Esc()
    {
        w_->form->activateWindow();
        (void)QTest::qWaitForWindowActive(w_->form.get(), 200); // Esc goes to whatever window is active
        QWidget *target = QApplication::activeWindow() ? QApplication::activeWindow() : w_->form.get();
        QTest::keyClick(target, Qt::Key_Escape);
    }

    // Runs `action` from inside a status poll tick when one comes within a
    // second; otherwise at once.
    void InTick(const std::function<void()> &action)
    {
        bustest::InsideTick inside(*w_, [] { return true; }, action);
        if (!QTest::qWaitFor([&] { return inside.ran(); }, 1000))
            action();
    }

    uint8_t CliAddress(const Action &a) const
    {
        return plan_.devices[static_cast<size_t>(a.device) % plan_.devices.size()].options.address;
    }

    ProcessResult Lumoctl(const std::vector<std::string> &args, double &tookMs)
    {
        // The window's records file: both programs keep one station's records.
        ::setenv("LUMO_RECORDS", RecordsFileIn(w_->sysfs).c_str(), 1);
        std::vector<std::string> argv{LUMOCTL_PROGRAM, "--port", w_->bus.DevicePath(), "--baud",
                                      std::to_string(plan_.baud)};
        argv.insert(argv.end(), args.begin(), args.end());
        const auto start = std::chrono::steady_clock::now();
        Process process(argv);
        ProcessResult r = process.Finish(kLumoctlKillMs);
        tookMs = Ms(start);
        return r;
    }

    void Step(const Action &a)
    {
        const std::string what = Describe(a);
        const lumosim::BusTruth before = Truth();
        const uint64_t seq0 = LastSeq(before);
        std::set<uint8_t> allowed; // addresses this action may set moving
        // A cycle test running when the action begins may take its next step
        // before the action ends it: that motion was asked for earlier.
        const std::optional<uint8_t> cycleAtStart = cycleAddress_;
        bool stopAll = false;       // Stop means stop for everything the window moved
        std::optional<uint8_t> stopOne;
        double bound = kWindowActionBoundMs;
        const auto start = std::chrono::steady_clock::now();
        const auto control = ControlAddress();
        double cliMs = -1;

        switch (a.kind) {
        case Kind::Scan:
            bound = kScanBoundMs;
            if (w_->state().isConnected && !w_->state().isScanning)
                w_->ScanUpTo(8, static_cast<int>(kScanBoundMs));
            break;
        case Kind::Select: {
            ShowControlPage();
            const QStringList items = w_->ControlItems();
            if (!items.isEmpty())
                w_->ClickControlItem(items[a.arg % items.size()]);
            break;
        }
        case Kind::Up:
        case Kind::Down:
            ShowControlPage();
            if (control)
                allowed.insert(*control);
            Click(a.kind == Kind::Up ? "motorUpButton" : "motorDownButton");
            break;
        case Kind::Go: {
            ShowControlPage();
            if (control)
                allowed.insert(*control);
            auto *target = w_->W<QLineEdit>("targetPosEdit");
            if (target->isEnabled()) {
                target->selectAll();
                QTest::keyClicks(target, QString::number(a.arg));
                Click("motorActionGoButton");
            }
            break;
        }
        case Kind::StopButton:
            ShowControlPage();
            // A disabled "■" (while the Control page's device is being
            // read) ends nothing: a cycle test goes on.
            if (Click("motorStopButton")) {
                if (control)
                    stopOne = control;
                cycleAddress_.reset();
            }
            break;
        case Kind::Esc:
            Esc();
            stopAll = true;
            cycleAddress_.reset();
            break;
        case Kind::Disconnect:
            if (w_->state().isConnected) {
                Click("ConnectButton");
                stopAll = true;
                cycleAddress_.reset();
            }
            break;
        case Kind::Connect:
            if (!w_->state().isConnected && !unplugged_)
                w_->Connect();
            break;
        case Kind::Tab: {
            auto *tabs = w_->W<QTabWidget>("PageControl1");
            std::vector<int> visible;
            for (int i = 0; i < tabs->count(); ++i)
                if (tabs->isTabVisible(i))
                    visible.push_back(i);
            if (!visible.empty())
                tabs->setCurrentIndex(visible[static_cast<size_t>(a.arg) % visible.size()]);
            break;
        }
        case Kind::CycleTest: {
            if (!control || !w_->state().isConnected)
                break;
            auto *tabs = w_->W<QTabWidget>("PageControl1");
            QWidget *page = w_->W<QWidget>("DebugPage");
            tabs->setTabVisible(tabs->indexOf(page), true); // the Debug page, as a technician opens it
            tabs->setCurrentWidget(page);
            Click("dClearButton");
            QTest::mouseDClick(w_->W<QPlainTextEdit>("debugMemo")->viewport(), Qt::LeftButton);
            Click("cycleTestStartButton");
            if (w_->state().cycleTestRunning)
                cycleAddress_ = *control;
            allowed.insert(*control);
            break;
        }
        case Kind::InTickStop: {
            ShowControlPage();
            bool stopped = false;
            InTick([&] { stopped = Click("motorStopButton"); });
            if (stopped) {
                if (control)
                    stopOne = control;
                cycleAddress_.reset();
            }
            break;
        }
        case Kind::InTickUp:
            ShowControlPage();
            if (control)
                allowed.insert(*control);
            InTick([&] { Click("motorUpButton"); });
            break;
        case Kind::CliStatus:
        case Kind::CliMoveUp:
        case Kind::CliMoveStop:
        case Kind::CliGoto:
        case Kind::CliWrite:
        case Kind::CliConfigWrite:
            // lumoctl cannot open a port the window holds: the operator
            // disconnects the window first, and connects it again after.
            if (w_->state().isConnected) {
                Click("ConnectButton");
                Add(StopCheck(WindowMoved(std::nullopt), what + " (disconnect first)"), what);
                cycleAddress_.reset();
                CliStep(a, seq0, allowed, cliMs);
                if (!unplugged_)
                    w_->Connect();
            } else {
                CliStep(a, seq0, allowed, cliMs);
            }
            bound = kLumoctlBoundMs;
            break;
        case Kind::Unplug:
            w_->bus.Unplug();
            unplugged_ = true;
            break;
        case Kind::ConfigWrite:
            bound = 2 * kWindowActionBoundMs; // a read and a write, each with its attempts
            ConfigStep(a, what);
            break;
        case Kind::Learn:
            if (const auto address = SelectBusRow(a.arg)) {
                allowed.insert(*address);
                ClickOnItsPage("LearnButton");
            }
            break;
        case Kind::Diagnose:
            bound = kDiagnoseBoundMs;
            DiagnoseStep(what);
            break;
        }
        const double took = cliMs >= 0 ? cliMs : Ms(start);
        Add(CheckDuration(took, bound, what), what);

        // A running cycle test steps whatever device the Control page names
        // at its tick: a device picked during the run is the one it moves.
        if (cycleAddress_ && w_->state().cycleTestRunning)
            if (const auto now = ControlAddress())
                cycleAddress_ = *now;
        if (cycleAddress_)
            allowed.insert(*cycleAddress_);
        // A learning run asked for earlier goes on: it retracts, then extends.
        for (const auto &d : before.devices)
            if (d.learning)
                allowed.insert(d.address);
        if (cycleAtStart)
            allowed.insert(*cycleAtStart);
        if (stopAll || stopOne)
            Add(StopCheck(WindowMoved(stopOne), what), what);
        QTest::qWait(a.pauseMs);
        const lumosim::BusTruth after = Truth();
        Add(CheckMotionAsked(before, after, allowed, what), what);
        if (verbose) {
            std::string moving;
            for (const auto &d : after.devices)
                if (d.motion)
                    moving += " " + std::to_string(d.address);
            std::printf("    %-40s %s control %d, moving:%s, %zu requests acted on\n", what.c_str(),
                        w_->state().isConnected ? "connected," : "disconnected,", control ? *control : 0,
                        moving.empty() ? " none" : moving.c_str(), static_cast<size_t>(LastSeq(after) - seq0));
        }
        // Who set each device moving last: the window, or lumoctl (whose
        // motion the window does not own).
        const bool byLumoctl = IsCli(a.kind);
        for (const auto &d : after.devices)
            for (const auto &b : before.devices)
                if (b.index == d.index && d.motionStarts != b.motionStarts) {
                    if (byLumoctl)
                        windowMoved_.erase(d.index);
                    else
                        windowMoved_.insert(d.index);
                }
        CheckShown(after, what);
        // A few for the port, the records and a lumoctl's pipes coming and going.
        Add(CheckOpenFiles(filesAtStart_, OpenFiles(), 8, what), what);
    }

    // The devices the window set moving (its own motion, not lumoctl's);
    // with `only`, those at that address.
    std::set<size_t> WindowMoved(std::optional<uint8_t> only) const
    {
        std::set<size_t> out;
        for (const auto &d : Truth().devices)
            if (windowMoved_.count(d.index) && (!only || d.address == *only))
                out.insert(d.index);
        return out;
    }

    // A device the window could not reach may keep moving if the window
    // says so; after an unplug nothing can reach them.
    std::optional<Break> StopCheck(const std::set<size_t> &devices, const std::string &what)
    {
        const QString said = w_->form ? w_->Panel(0) + QLatin1Char(' ') + w_->Panel(2) : QString();
        const bool saidFailure = said.contains(QLatin1String("rror")) || said.contains(QLatin1String("not ")) ||
                                 said.contains(QLatin1String("fail"), Qt::CaseInsensitive);
        const Breaks b = CheckAtRest(
            [this] { return Truth(); }, devices, kStopWithinMs,
            [&](const lumosim::DeviceTruth &) { return unplugged_ || saidFailure; }, what,
            [](int ms) { QTest::qWait(ms); });
        if (b.empty())
            return std::nullopt;
        Break first = b.front();
        first.detail += "; the window said \"" + said.toStdString() + "\"";
        return first;
    }

    // What the Control page shows as read, against what the device answered.
    void CheckShown(const lumosim::BusTruth &truth, const std::string &what)
    {
        const auto control = ControlAddress();
        const QString position = w_->W<QLineEdit>("motorPositionEdit")->text();
        const QString current = w_->W<QLineEdit>("motorCurrentEdit")->text();
        bool ok = false;
        if (control && position != lastPosition_ && position.toLong(&ok) >= 0 && ok) {
            std::vector<long> offsets{0};
            for (const auto *d : DevicesAt(truth, *control))
                offsets.push_back(static_cast<int16_t>(d->config[7])); // PosOffset
            Add(CheckShownValue(truth, *control, Fc::ReadHolding, Reg::CurrentPos, position.toLong(), shownSeq_,
                                "the Control page's position", offsets),
                what);
        }
        if (control && current != lastCurrent_ && current.toLong(&ok) >= 0 && ok)
            Add(CheckShownValue(truth, *control, Fc::ReadInput, Reg::MotorCurrent, current.toLong(), shownSeq_,
                                "the Control page's current"),
                what);
        lastPosition_ = position;
        lastCurrent_ = current;
        // A value shown later may come from a read that began before this
        // action ended, never from one before it began.
        shownSeq_ = previousSeq_;
        previousSeq_ = LastSeq(truth);
    }

    void CliStep(const Action &a, uint64_t seq0, std::set<uint8_t> &allowed, double &tookMs)
    {
        const uint8_t address = CliAddress(a);
        const std::string addr = std::to_string(address);
        const std::string what = Describe(a);
        if (a.kind == Kind::CliStatus) {
            const ProcessResult r = Lumoctl({"status", addr}, tookMs);
            if (r.exitCode != 0)
                return;
            std::smatch m;
            const lumosim::BusTruth truth = Truth();
            if (std::regex_search(r.out, m, std::regex(R"(Position\s+(-?\d+) steps)"))) {
                std::vector<long> offsets{0};
                for (const auto *d : DevicesAt(truth, address))
                    offsets.push_back(static_cast<int16_t>(d->config[7]));
                Add(CheckShownValue(truth, address, Fc::ReadHolding, Reg::CurrentPos, std::stol(m[1].str()), seq0,
                                    "lumoctl status's position", offsets),
                    what);
            }
            if (std::regex_search(r.out, m, std::regex(R"(Current\s+(\d+) mA)")))
                Add(CheckShownValue(truth, address, Fc::ReadInput, Reg::MotorCurrent, std::stol(m[1].str()), seq0,
                                    "lumoctl status's current"),
                    what);
        } else if (a.kind == Kind::CliMoveUp || a.kind == Kind::CliGoto) {
            allowed.insert(address);
            const bool up = a.kind == Kind::CliMoveUp;
            const ProcessResult r =
                up ? Lumoctl({"move", addr, "up"}, tookMs) : Lumoctl({"move", addr, "goto", std::to_string(a.arg)}, tookMs);
            const std::vector<uint8_t> command = {Fc::WriteSingle, 0x00, static_cast<uint8_t>(Reg::ActionCmdIn),
                                                  0x00, static_cast<uint8_t>(up ? Cmd::Up : Cmd::GoToPos)};
            if (r.exitCode == 0)
                Add(CheckActed(Truth(), address, command, seq0, "lumoctl move"), what);
            else if (r.exitCode == 1 && up)
                Add(CheckFailureTrue(Truth(), address, {command}, seq0, RepliesCanBeLost(address), "lumoctl move up"),
                    what);
        } else if (a.kind == Kind::CliMoveStop) {
            const ProcessResult r = Lumoctl({"move", addr, "stop"}, tookMs);
            if (r.exitCode == 0) {
                Add(CheckActed(Truth(), address,
                               {Fc::WriteSingle, 0x00, static_cast<uint8_t>(Reg::ActionCmdIn), 0x00,
                                static_cast<uint8_t>(Cmd::Stop)},
                               seq0, "lumoctl move stop"),
                    what);
                std::set<size_t> here;
                for (const auto &d : Truth().devices)
                    if (d.address == address)
                        here.insert(d.index);
                Add(CheckAtRest([this] { return Truth(); }, here, kStopWithinMs,
                                [](const lumosim::DeviceTruth &) { return false; }, what,
                                [](int ms) { QTest::qWait(ms); })
                            .empty()
                        ? std::nullopt
                        : std::optional<Break>(Break{StopMeansStop, "lumoctl move stop exit 0, device at " + addr +
                                                                        " still moving"}),
                    what);
            }
        } else if (a.kind == Kind::CliConfigWrite) {
            CliConfigStep(a, tookMs);
        } else if (a.kind == Kind::CliWrite) {
            const int64_t recordsBefore = NewestRecordId();
            std::vector<uint16_t> old;
            const lumosim::BusTruth now = Truth();
            // Two devices at one address answer over each other: one reply
            // says nothing of the other, and there is nothing to judge.
            const auto here = DevicesAt(now, address);
            if (here.size() == 1)
                old = {*ConfigWord(*here.front(), Reg::SpeedPwm)};
            const uint16_t value = static_cast<uint16_t>(a.arg);
            const ProcessResult r = Lumoctl({"raw", addr, "6", std::to_string(Reg::SpeedPwm), std::to_string(value)},
                                            tookMs);
            if (r.exitCode == -1 || old.empty())
                return;
            if (r.exitCode == 1)
                Add(CheckFailureTrue(Truth(), address,
                                     {{Fc::WriteSingle, static_cast<uint8_t>(Reg::SpeedPwm >> 8),
                                       static_cast<uint8_t>(Reg::SpeedPwm), static_cast<uint8_t>(value >> 8),
                                       static_cast<uint8_t>(value)}},
                                     seq0, RepliesCanBeLost(address), "lumoctl raw write"),
                    what);
            Add(CheckWritten(Truth(), address, Reg::SpeedPwm, {value}, old, r.exitCode == 0, "lumoctl raw write"),
                what);
            // The write's record names the motor lumoctl read afterwards:
            // checked now, while the wire that read it is still in the log.
            {
                // The window's records thread may store its own events
                // meanwhile: lumoctl's write is the one to look at.
                records::RecordStore store(RecordsFileIn(w_->sysfs), records::Access::Read);
                records::HistoryQuery q;
                q.limit = 20;
                std::optional<records::Event> written;
                for (const records::Event &e : store.History(q))
                    if (!written && e.id > recordsBefore && e.origin.program == "lumoctl" &&
                        e.kind == records::EventKind::ConfigWrite)
                        written = e;
                const lumosim::BusTruth after = Truth();
                const auto here = DevicesAt(after, address);
                if (written && here.size() == 1 && written->motorId != here.front()->motorId)
                    Add(Break{RecordsAreTrue, "lumoctl recorded its raw write under motor " +
                                                  std::to_string(written->motorId) + "; device at " + addr +
                                                  " is motor " + std::to_string(here.front()->motorId)},
                        what);
            }
        }
    }

    // The configuration words a whole write sends, in its order, with the
    // values expected: the device's own (as read) with a new speed. The
    // voltage is a model's rule and BaudRate is outside the truth: sent, not judged.
    static std::vector<SentWord> SentConfig(const lumosim::DeviceTruth &d, uint16_t speed)
    {
        std::vector<SentWord> out;
        for (uint16_t reg : {Reg::MaxPos, Reg::RearLimit, Reg::FrontLimit, Reg::CurrentLimit, Reg::SpeedPwm,
                             Reg::SettingFlag, Reg::HallPotSelect, Reg::BaudRate, Reg::VoltageOut}) {
            SentWord w{reg, ConfigWord(d, reg)};
            if (reg == Reg::SpeedPwm)
                w.value = speed;
            if (reg == Reg::VoltageOut)
                w.value.reset();
            out.push_back(w);
        }
        return out;
    }
    static std::vector<uint16_t> OldConfig(const lumosim::DeviceTruth &d, const std::vector<SentWord> &sent)
    {
        std::vector<uint16_t> out;
        for (const SentWord &w : sent)
            out.push_back(ConfigWord(d, w.reg).value_or(0));
        return out;
    }

    // Whether a reply from `address` may be lost on the way: a fault of the
    // device or the line, another device talking at another rate or at the
    // same address, an unplugged bus.
    bool RepliesCanBeLost(uint8_t address) const
    {
        if (unplugged_)
            return true;
        for (const DevicePlan &d : plan_.devices) {
            const lumosim::Faults &f = d.options.faults;
            if (d.options.sharesAddress || f.lineBaud != 0 || f.silent || f.bitErrorRate > 0)
                return true;
            if (d.options.address == address && (f.replyDelayMs || f.silentProbability > 0 ||
                                                 f.corruptCrcProbability > 0 || f.strayByteProbability > 0))
                return true;
        }
        return false;
    }

    // The newest configuration write on record for `motorId` newer than
    // `afterId`, waiting up to `ms` for the window's records, which are
    // written off its thread.
    std::optional<records::Event> RecordedWrite(uint16_t motorId, int64_t afterId, int ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            {
                records::RecordStore store(RecordsFileIn(w_->sysfs), records::Access::Read);
                records::HistoryQuery q;
                q.motorId = motorId;
                for (const records::Event &e : store.History(q))
                    if (e.id > afterId && e.kind == records::EventKind::ConfigWrite)
                        return e;
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            QTest::qWait(20);
        }
    }
    int64_t NewestRecordId()
    {
        records::RecordStore store(RecordsFileIn(w_->sysfs), records::Access::Read);
        records::HistoryQuery q;
        q.limit = 1;
        const std::vector<records::Event> newest = store.History(q);
        return newest.empty() ? 0 : newest.front().id;
    }

    // No lost write, Shown is true (the box) and Records are true for one
    // whole configuration write to the one device at `address`.
    void CheckConfigWritten(uint8_t address, const lumosim::DeviceTruth &before, const std::vector<SentWord> &sent,
                            bool reportedDone, uint64_t seq0, int64_t recordsBefore, int recordWaitMs,
                            const std::string &what)
    {
        const std::optional<records::Event> record = RecordedWrite(before.motorId, recordsBefore, recordWaitMs);
        if (verbose)
            std::printf("      configuration write to %d reported %s; the record says %s\n", address,
                        reportedDone ? "done" : "failed",
                        record ? (std::to_string(RecordedWritten(*record)) + " registers taken").c_str() : "nothing");
        const lumosim::BusTruth after = Truth();
        // A device that learns stores the stroke it found, and limits to
        // match, when its learning ends: a write while it learns is
        // overtaken by the learning the operator asked for, and what the
        // device holds afterwards says nothing about the write.
        const auto now = DevicesAt(after, address);
        if (before.learning || std::any_of(now.begin(), now.end(), [](const auto *d) { return d->learning; }))
            return;
        Add(CheckConfigWrite(after, address, sent, OldConfig(before, sent), reportedDone,
                             record ? std::optional<size_t>(RecordedWritten(*record)) : std::nullopt, seq0, what,
                             record && RecordLeavesNextOpen(*record)),
            what);
        if (record)
            Add(CheckRecordedWrite(after, *record, reportedDone, what), what);
        if (!reportedDone) {
            std::vector<std::vector<uint8_t>> pdus;
            for (const SentWord &w : sent)
                pdus.push_back({Fc::WriteSingle, static_cast<uint8_t>(w.reg >> 8), static_cast<uint8_t>(w.reg)});
            Add(CheckFailureTrue(after, address, pdus, seq0, RepliesCanBeLost(address), what), what);
        }
    }

    // Brings the page holding `control` to the front, as the operator does.
    void Reveal(QWidget *control)
    {
        auto *tabs = w_->W<QTabWidget>("PageControl1");
        for (QWidget *p = control; p; p = p->parentWidget())
            if (tabs->indexOf(p) >= 0)
                tabs->setCurrentWidget(p);
    }
    void ClickOnItsPage(const char *name)
    {
        auto *button = w_->W<QPushButton>(name);
        Reveal(button);
        if (button->isEnabled())
            w_->Click(name);
    }

    // Clicks a row of the Bus Devices list; the address it selected.
    std::optional<uint8_t> SelectBusRow(int arg)
    {
        if (!w_->state().isConnected || w_->state().isScanning)
            return std::nullopt;
        auto *rows = w_->W<QTableWidget>("BusDevicesListView");
        if (rows->rowCount() == 0)
            return std::nullopt;
        Reveal(rows);
        w_->ClickDeviceRow(rows->item(arg % rows->rowCount(), 0)->text());
        const uint8_t address = w_->state().selectedDeviceId;
        return address ? std::optional<uint8_t>(address) : std::nullopt;
    }

    // The Bus monitor's "Diagnose": refused while a device the window set
    // moving still moves (a stop could not reach it on another rate);
    // otherwise it runs and leaves the bus as it found it.
    void DiagnoseStep(const std::string &what)
    {
        w_->form->activateWindow();
        (void)QTest::qWaitForWindowActive(w_->form.get(), 200);
        QTest::keyClick(w_->form.get(), Qt::Key_M, Qt::ControlModifier);
        auto *monitor = w_->form->findChild<TBusMonitorForm *>(QStringLiteral("BusMonitorForm"));
        if (!monitor || !monitor->isVisible())
            return;
        const lumosim::BusTruth before = Truth();
        std::string moving;
        for (const auto &d : before.devices)
            if (windowMoved_.count(d.index) && d.motion != 0)
                moving = "device " + std::to_string(d.index) + " at " + std::to_string(d.address);
        QTest::mouseClick(monitor->findChild<QPushButton *>(QStringLiteral("diagnoseButton")), Qt::LeftButton);
        const QString step = monitor->findChild<QLabel *>(QStringLiteral("doctorStepLabel"))->text();
        if (verbose)
            std::printf("      %s\n", qPrintable(step));
        const bool ran = !step.startsWith(QLatin1String("Diagnose cannot run now"));
        if (ran && !moving.empty())
            breaks_.push_back({StopMeansStop, "Diagnose ran while " + moving + ", which the window set moving, " +
                                                  "was moving (it ended with \"" + step.toStdString() + "\")"});
        if (ran)
            Add(CheckUnchanged(before, Truth(), what), what);
        monitor->close(); // the side window closed again
    }

    // The Actuators page: a row of Bus Devices, "Read", a new speed typed,
    // "Write"; each box held against what the device did.
    void ConfigStep(const Action &a, const std::string &what)
    {
        if (!w_->state().isConnected || w_->state().isScanning)
            return;
        auto *rows = w_->W<QTableWidget>("BusDevicesListView");
        if (rows->rowCount() == 0)
            return;
        auto *tabs = w_->W<QTabWidget>("PageControl1");
        for (QWidget *p = rows; p; p = p->parentWidget())
            if (tabs->indexOf(p) >= 0)
                tabs->setCurrentWidget(p);
        const QString caption = rows->item(a.arg % rows->rowCount(), 0)->text();
        w_->ClickDeviceRow(caption);
        const uint8_t address = w_->state().selectedDeviceId;
        const lumosim::BusTruth start = Truth();
        const auto here = DevicesAt(start, address);
        if (address == 0 || here.size() != 1)
            return; // two devices at one address answer over each other: nothing to judge
        const lumosim::DeviceTruth device = *here.front();
        auto clickShown = [&](const char *button) -> std::optional<QString> {
            auto *b = w_->W<QPushButton>(button);
            for (QWidget *p = b; p; p = p->parentWidget())
                if (tabs->indexOf(p) >= 0)
                    tabs->setCurrentWidget(p);
            if (!b->isEnabled())
                return std::nullopt;
            const qsizetype shown = w_->dialogs.shown.size();
            w_->Click(button);
            return shown < w_->dialogs.shown.size() ? std::optional<QString>(w_->dialogs.shown.last()) : QString();
        };
        const uint64_t readSeq = LastSeq(Truth());
        const std::optional<QString> read = clickShown("LoadConfigButton");
        if (!read || !read->startsWith(QLatin1String("info:")))
            return;
        // Shown is true: what the page shows as read is what the device answered.
        const lumosim::BusTruth afterRead = Truth();
        const std::vector<long> offsets{0, static_cast<int16_t>(*ConfigWord(device, Reg::PosOffset))};
        for (const auto &[edit, reg] : {std::pair{"StrokeEdit", Reg::MaxPos}, std::pair{"ShelfStopEdit", Reg::RearLimit},
                                        std::pair{"ContainerStopEdit", Reg::FrontLimit},
                                        std::pair{"MotorSpeedPWMEdit", Reg::SpeedPwm},
                                        std::pair{"OverLoadProtectEdit", Reg::CurrentLimit}}) {
            bool ok = false;
            const long shown = w_->W<QLineEdit>(edit)->text().toLong(&ok);
            if (ok)
                Add(CheckShownValue(afterRead, address, Fc::ReadHolding, reg, shown, readSeq,
                                    std::string("the Actuators page's ") + edit, offsets),
                    what);
        }
        auto *speed = w_->W<QLineEdit>("MotorSpeedPWMEdit");
        speed->selectAll();
        QTest::keyClick(speed, Qt::Key_Backspace);
        QTest::keyClicks(speed, QString::number(a.arg));
        // A learning run that ended meanwhile selects its own device again,
        // and "Write" goes there: not the write this step judges.
        if (w_->state().selectedDeviceId != address)
            return;
        const uint64_t seq0 = LastSeq(Truth());
        const int64_t recordsBefore = NewestRecordId();
        const std::vector<SentWord> sent = SentConfig(device, static_cast<uint16_t>(a.arg));
        const std::optional<QString> box = clickShown("UpdateConfigButton");
        if (!box || box->isEmpty())
            return; // refused on the page, nothing sent
        const bool done = *box == QLatin1String("info: Update device config successfully !");
        if (!done && *box != QLatin1String("error: Failed to update device configuration !"))
            return; // another question (the voltage of an unknown model), not a write
        CheckConfigWritten(address, device, sent, done, seq0, recordsBefore, 3000, what);
    }

    // lumoctl config write of the device's own configuration with a new speed.
    void CliConfigStep(const Action &a, double &tookMs)
    {
        const uint8_t address = CliAddress(a);
        const std::string what = Describe(a);
        const lumosim::BusTruth start = Truth();
        const auto here = DevicesAt(start, address);
        if (here.size() != 1)
            return;
        const lumosim::DeviceTruth device = *here.front();
        ActuatorConfig config;
        config.motorId = device.motorId;
        config.MaxPos = *ConfigWord(device, Reg::MaxPos);
        config.RearLimit = *ConfigWord(device, Reg::RearLimit);
        config.FrontLimit = *ConfigWord(device, Reg::FrontLimit);
        config.CurrentLimit = *ConfigWord(device, Reg::CurrentLimit);
        config.SpeedPwm = static_cast<uint16_t>(a.arg);
        config.SettingFlag = *ConfigWord(device, Reg::SettingFlag);
        config.VoltageOut = *ConfigWord(device, Reg::VoltageOut);
        config.HallPotSelect = *ConfigWord(device, Reg::HallPotSelect);
        config.PosOffset = *ConfigWord(device, Reg::PosOffset);
        const std::string file = configDir_.filePath(QStringLiteral("session.config")).toStdString();
        std::string error;
        if (!WriteConfigFile(file, config, error)) {
            breaks_.push_back({NoLostWrite, "cannot make the session's .config file: " + error});
            return;
        }
        const uint64_t seq0 = LastSeq(Truth());
        const int64_t recordsBefore = NewestRecordId();
        const ProcessResult r = Lumoctl({"config", "write", std::to_string(address), file}, tookMs);
        if (verbose)
            std::printf("      lumoctl config write: exit %d %s\n", r.exitCode, r.err.c_str());
        if (r.exitCode == -1)
            return; // killed: Nothing hangs says so
        const std::vector<SentWord> sent = SentConfig(device, static_cast<uint16_t>(a.arg));
        if (r.exitCode == 2) { // refused before the bus: nothing may have changed
            Add(CheckConfigWrite(Truth(), address, sent, OldConfig(device, sent), false, 0, seq0, what), what);
            return;
        }
        CheckConfigWritten(address, device, sent, r.exitCode == 0, seq0, recordsBefore, 0, what);
    }

    // Records are true, for the motion the window and lumoctl recorded
    // over the whole session (the window closed: its records are written).
    void CheckMotionRecords()
    {
        const lumosim::BusTruth truth = w_->bus.Truth();
        if (truth.actedDropped > 0)
            return; // the bus no longer holds the whole session's requests
        records::RecordStore store(RecordsFileIn(w_->sysfs), records::Access::Read);
        const bool twins = std::any_of(plan_.devices.begin(), plan_.devices.end(),
                                       [](const DevicePlan &d) { return d.options.sharesAddress; });
        for (uint16_t motor : store.Motors()) {
            records::HistoryQuery q;
            q.motorId = motor;
            std::vector<records::Event> events = store.History(q);
            std::reverse(events.begin(), events.end()); // oldest first
            const lumosim::DeviceTruth *device = nullptr;
            for (const auto &d : truth.devices)
                if (d.motorId == motor)
                    device = &d;
            if (!device) {
                // Two devices answering at once can garble a motor ID read.
                if (!twins) {
                    // The oldest event under that motor ID says who read it, where and when.
                    const records::Event &e = events.front();
                    breaks_.push_back({RecordsAreTrue, "the records name motor " + std::to_string(motor) +
                                                           ", which no device on the bus is: " +
                                                           std::string(records::KindName(e.kind)) + " by " +
                                                           e.origin.program + " at address " +
                                                           std::to_string(e.address) + " (" + e.detail + ")"});
                }
                continue;
            }
            if (verbose)
                std::printf("    the records hold %zu events of motor %u (device %zu)\n", events.size(), motor,
                            device->index);
            // Two devices at one address hear the same commands, and the
            // motor ID read there may name either: the records cannot tell
            // which of the two acted.
            const bool shared = std::count_if(truth.devices.begin(), truth.devices.end(), [&](const auto &d) {
                                    return d.address == device->address;
                                }) > 1;
            if (shared)
                continue;
            if (auto b = CheckRecordedMotion(truth, device->index, events)) {
                b->detail += " [the session's records]";
                breaks_.push_back(*b);
                return;
            }
        }
    }

    // Closing the window: everything it set moving stops.
    void Close()
    {
        const std::set<size_t> moved = WindowMoved(std::nullopt);
        const auto start = std::chrono::steady_clock::now();
        w_->form.reset();
        Add(CheckDuration(Ms(start), kWindowActionBoundMs, "close the window"), "close");
        if (unplugged_)
            return;
        const Breaks b = CheckAtRest([this] { return Truth(); }, moved, kStopWithinMs,
                                     [](const lumosim::DeviceTruth &) { return false; }, "close the window",
                                     [](int ms) { QTest::qWait(ms); });
        if (!b.empty())
            breaks_.push_back(b.front());
    }

    const Plan &plan_;
    std::vector<size_t> keep_;
    std::unique_ptr<BusWindow> w_;
    QTemporaryDir configDir_; // the .config files lumoctl writes
    Breaks breaks_;
    bool unplugged_ = false;
    std::optional<uint8_t> cycleAddress_;
    std::set<size_t> windowMoved_;
    size_t filesAtStart_ = 0;
    QString lastPosition_, lastCurrent_;
    uint64_t shownSeq_ = 0, previousSeq_ = 0;
};

std::vector<size_t> AllOf(const Plan &plan)
{
    std::vector<size_t> all(plan.actions.size());
    for (size_t i = 0; i < all.size(); ++i)
        all[i] = i;
    return all;
}

std::string Join(const std::vector<size_t> &keep)
{
    std::string out;
    for (size_t i : keep)
        out += (out.empty() ? "" : ",") + std::to_string(i);
    return out;
}

// Removes actions while the same invariant still breaks: first everything
// after the break, then halves, then single actions; at most `budget` runs.
std::vector<size_t> Shrink(const Plan &plan, std::vector<size_t> keep, const std::string &invariant, int budget)
{
    auto breaks = [&](const std::vector<size_t> &k) {
        if (budget-- <= 0)
            return false;
        const Outcome o = Session(plan, k).Run();
        return !o.breaks.empty() && o.breaks.front().invariant == invariant;
    };
    for (size_t chunk = keep.size() / 2; chunk >= 1 && budget > 0; chunk /= 2) {
        for (size_t at = 0; at + chunk <= keep.size() && keep.size() > 1 && budget > 0;) {
            std::vector<size_t> trial(keep.begin(), keep.begin() + static_cast<long>(at));
            trial.insert(trial.end(), keep.begin() + static_cast<long>(at + chunk), keep.end());
            if (breaks(trial))
                keep = trial;
            else
                at += chunk;
        }
    }
    return keep;
}

struct Totals {
    int sessions = 0;
    int breaks = 0;
    std::vector<uint32_t> breakingSeeds;
    double ms = 0;
};

void RunOne(uint32_t seed, const std::optional<std::vector<size_t>> &only, int shrinkRuns, int maxActions, Totals &t)
{
    const Plan plan = Draw(seed, maxActions, mix);
    std::vector<size_t> keep = only ? *only : AllOf(plan);
    const Outcome o = Session(plan, keep).Run();
    ++t.sessions;
    t.ms += o.ms;
    std::printf("seed %u: %zu actions, %.1f s, %s; bus %s\n", seed, keep.size(), o.ms / 1000,
                o.breaks.empty() ? "no break" : "BREAK", Describe(plan).c_str());
    std::fflush(stdout);
    if (o.breaks.empty())
        return;
    ++t.breaks;
    t.breakingSeeds.push_back(seed);
    for (const Break &b : o.breaks)
        std::printf("  %s: %s\n", b.invariant.c_str(), b.detail.c_str());
    keep.resize(std::min(keep.size(), o.firstBreakAction + 1));
    if (shrinkRuns > 0)
        keep = Shrink(plan, keep, o.breaks.front().invariant, shrinkRuns);
    std::printf("  actions:\n");
    for (size_t i : keep)
        std::printf("    #%zu %s\n", i, Describe(plan.actions[i]).c_str());
    const std::string mixArg = mix == kLatestMix ? std::string() : " --mix " + std::to_string(mix);
    std::printf("  replay: session_runner --seed %u%s --max-actions %d --actions %s\n", seed, mixArg.c_str(),
                maxActions, Join(keep).c_str());
    std::fflush(stdout);
}

std::vector<size_t> ParseList(const std::string &text)
{
    std::vector<size_t> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty())
            out.push_back(std::stoul(item));
    return out;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    std::vector<uint32_t> seeds;
    std::optional<std::vector<size_t>> only;
    int shrinkRuns = 0;
    bool listOnly = false;
    int maxActions = 200;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const std::string next = i + 1 < argc ? argv[i + 1] : "";
        if (arg == "--seed") {
            seeds.push_back(static_cast<uint32_t>(std::stoul(next)));
            ++i;
        } else if (arg == "--seeds") {
            for (size_t s : ParseList(next))
                seeds.push_back(static_cast<uint32_t>(s));
            ++i;
        } else if (arg == "--commit") {
            // Seeds drawn from the commit: new sessions for every commit, the same for a rerun.
            const uint32_t base = static_cast<uint32_t>(std::stoul(next.substr(0, 8), nullptr, 16));
            const int drawn = i + 3 < argc && std::string(argv[i + 2]) == "--drawn" ? std::stoi(argv[i + 3]) : 2;
            std::printf("seeds from commit %s:", next.c_str());
            for (int k = 0; k < drawn; ++k) {
                seeds.push_back(base + static_cast<uint32_t>(k) * 7919u);
                std::printf(" %u", seeds.back());
            }
            std::printf("\n");
            i += i + 3 < argc && std::string(argv[i + 2]) == "--drawn" ? 3 : 1;
        } else if (arg == "--batch") {
            const int count = std::stoi(next);
            uint32_t first = 1;
            if (i + 3 < argc && std::string(argv[i + 2]) == "--first")
                first = static_cast<uint32_t>(std::stoul(argv[i + 3]));
            for (int k = 0; k < count; ++k)
                seeds.push_back(first + static_cast<uint32_t>(k));
            i += i + 3 < argc && std::string(argv[i + 2]) == "--first" ? 3 : 1;
        } else if (arg == "--actions") {
            only = ParseList(next);
            ++i;
        } else if (arg == "--max-actions") {
            maxActions = std::stoi(next);
            ++i;
        } else if (arg == "--mix") {
            mix = std::stoi(next);
            if (mix < kFirstMix || mix > kLatestMix) {
                std::fprintf(stderr, "session_runner: --mix %s: the mixes are %d to %d\n", next.c_str(), kFirstMix,
                             kLatestMix);
                return 2;
            }
            ++i;
        } else if (arg == "--list") {
            listOnly = true;
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--shrink") {
            shrinkRuns = 40; // reruns at most
        } else if (arg == "--shrink-runs") {
            shrinkRuns = std::stoi(next);
            ++i;
        } else {
            std::fprintf(stderr, "session_runner: unknown argument %s\n", arg.c_str());
            return 2;
        }
    }
    if (seeds.empty()) {
        std::fprintf(stderr, "session_runner: no seed (--seed N, --seeds A,B, --commit HASH, --batch N)\n");
        return 2;
    }
    if (listOnly) { // the sessions the seeds draw, without running them
        for (uint32_t seed : seeds) {
            const Plan plan = Draw(seed, maxActions, mix);
            std::printf("seed %u: %s\n", seed, Describe(plan).c_str());
            for (size_t i = 0; i < plan.actions.size(); ++i)
                std::printf("    #%zu %s\n", i, Describe(plan.actions[i]).c_str());
        }
        return 0;
    }
    Totals t;
    for (uint32_t seed : seeds)
        RunOne(seed, only, shrinkRuns, maxActions, t);
    std::printf("%d sessions / %d invariant breaks, %.1f s a session", t.sessions, t.breaks,
                t.sessions ? t.ms / 1000 / t.sessions : 0.0);
    if (!t.breakingSeeds.empty()) {
        std::printf("; breaking seeds:");
        for (uint32_t s : t.breakingSeeds)
            std::printf(" %u", s);
    }
    std::printf("\n");
    return t.breaks == 0 ? 0 : 1;
}

// Whatever set an actuator moving, every stop reaches it: a table of (what
// moves it) x (what stops it) on the line model of the virtual bus, with the
// window's own waits and attempts. Each cell checks the bus log: a stop
// reached the moving actuator, it stood within a second of the stop request,
// and nothing set it moving again afterwards. Also: a port that vanishes
// with an actuator moving (the list is kept and the next connection offers
// the stop), and an actuator swapped for another at the same address (its
// motion is not filed under the one before).

#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTimer>

#include "app/WaitDlg.h"
#include "sidewindows/BusMonitor.h"
#include "sidewindows/ServiceHistory.h"
#include "modbus/ResultCode.h"
#include "records/RecordStore.h"
#include "test_bus_scan_fixture.h"

using namespace bustest;

namespace {

constexpr uint8_t kControlled = 1; // the Control page's device where the mover does not need it
constexpr uint8_t kMoved = 2;      // the actuator the mover sets moving

enum class Mover { Up, Go, CycleTest, Learning, DebugWrite };
enum class Stopper {
    EscMain,
    EscComboList,
    EscModalBox,
    EscWaitDialog,
    EscBusMonitor,
    EscServiceHistory,
    Disconnect,
    Close,
    DiagnoseRefusal,
    EscDuringDiagnose,
};

const char *MoverName(Mover m)
{
    switch (m) {
    case Mover::Up: return "Control up";
    case Mover::Go: return "Control Go";
    case Mover::CycleTest: return "cycle test";
    case Mover::Learning: return "stroke learning";
    case Mover::DebugWrite: return "Debug write 1 to ActionCmdIn";
    }
    return "";
}

const char *StopperName(Stopper s)
{
    switch (s) {
    case Stopper::EscMain: return "Esc in the main window";
    case Stopper::EscComboList: return "Esc in an open drop-down list";
    case Stopper::EscModalBox: return "Esc in a modal box";
    case Stopper::EscWaitDialog: return "Esc in the wait dialog";
    case Stopper::EscBusMonitor: return "Esc in the Bus monitor";
    case Stopper::EscServiceHistory: return "Esc in the Service history";
    case Stopper::Disconnect: return "Disconnect";
    case Stopper::Close: return "closing the window";
    case Stopper::DiagnoseRefusal: return "Diagnose refused, then Esc";
    case Stopper::EscDuringDiagnose: return "Esc during Diagnose";
    }
    return "";
}

// The window on the line model at `baud`, with a wait dialog; moves slow
// enough (a whole stroke in 10 s, learning 6 s) that no actuator reaches a
// limit while a cell runs.
FixtureOptions LineModel(uint32_t baud)
{
    FixtureOptions o;
    o.realLine = true;
    o.devices = {{kControlled, Model::LumoB}, {kMoved, Model::LumoB}};
    o.bus.baud = baud;
    o.bus.timeScale = 0.5;
    o.timings.scanTickMs = 20;
    o.timings.statusPollMs = 100;
    o.timings.learnWatchMs = 100;
    o.timings.cycleTestFirstStepMs = 20;
    o.timings.cycleTestSecondMs = 250; // a cycle-test step every 750 ms
    o.timings.portWatchMs = 50;
    o.doctorFirstAddress = 1;
    o.doctorLastAddress = 3;
    return o;
}

bool Moving(const lumosim::VirtualBus &bus, uint8_t address)
{
    return bus.Input(address, Reg::MotorStatus) != Motion::Stopped;
}

bool IsCommand(const lumosim::LoggedFrame &f, uint8_t address, uint16_t value)
{
    return IsRequest(f, address, Fc::WriteSingle, Reg::ActionCmdIn) && ((f.bytes[4] << 8) | f.bytes[5]) == value;
}

bool IsMove(const lumosim::LoggedFrame &f, uint8_t address)
{
    return IsCommand(f, address, Cmd::Up) || IsCommand(f, address, Cmd::Down) ||
           IsCommand(f, address, Cmd::Learn) || IsCommand(f, address, Cmd::GoToPos);
}

// Index of the first stop to `address` in `log`, or -1.
int FirstStop(const std::vector<lumosim::LoggedFrame> &log, uint8_t address)
{
    for (size_t i = 0; i < log.size(); ++i)
        if (IsCommand(log[i], address, Cmd::Stop))
            return static_cast<int>(i);
    return -1;
}

struct Rig {
    explicit Rig(uint32_t baud) : w(LineModel(baud)), baud(baud)
    {
        w.form->SetWaitDialog(&waitDlg);
    }

    bool Connect()
    {
        auto *rate = w.W<QComboBox>("BaudRateComboBox");
        const int item = baud == 9600 ? 2 : 0;
        rate->setCurrentIndex(item);
        emit rate->activated(item);
        return w.Connect();
    }

    void ShowPage(const char *page)
    {
        auto *tabs = w.W<QTabWidget>("PageControl1");
        QWidget *widget = w.W<QWidget>(page);
        tabs->setTabVisible(tabs->indexOf(widget), true); // the Debug page is hidden in the product
        tabs->setCurrentWidget(widget);
    }

    TBusMonitorForm *Monitor()
    {
        QTest::keyClick(w.form.get(), Qt::Key_M, Qt::ControlModifier);
        auto *m = w.form->findChild<TBusMonitorForm *>(QStringLiteral("BusMonitorForm"));
        return m && QTest::qWaitForWindowExposed(m) ? m : nullptr;
    }

    BusWindow w;
    TWaitDlg waitDlg;
    uint32_t baud;
};

bool SetMoving(Rig &r, Mover mover)
{
    BusWindow &w = r.w;
    if (!r.Connect() || !w.ScanUpTo(kMoved))
        return false;
    const bool onControlPage = mover == Mover::Up || mover == Mover::Go;
    // The Control page commands another device than the one that moves,
    // unless the Control page is what moves it: Esc must stop the one
    // that moves.
    if (!w.SelectControlDevice(QString::number(onControlPage ? kMoved : kControlled)) ||
        !QTest::qWaitFor([&] { return w.W<QPushButton>("motorUpButton")->isEnabled(); }, 5000))
        return false;
    switch (mover) {
    case Mover::Up:
        w.Click("motorUpButton");
        break;
    case Mover::Go: {
        auto *target = w.W<QLineEdit>("targetPosEdit");
        target->selectAll();
        target->insert(QStringLiteral("900"));
        w.Click("motorActionGoButton");
        break;
    }
    case Mover::CycleTest:
        r.ShowPage("DebugPage");
        w.W<QLineEdit>("AddressEdit")->setText(QString::number(kMoved));
        w.Click("dClearButton");
        QTest::mouseDClick(w.W<QPlainTextEdit>("debugMemo")->viewport(), Qt::LeftButton);
        w.Click("cycleTestStartButton");
        break;
    case Mover::Learning:
        r.ShowPage("DevicePage");
        if (!w.ClickDeviceRow(QString::number(kMoved)) || w.state().selectedDeviceId != kMoved)
            return false;
        r.ShowPage("SettingPage");
        w.Click("LearnButton");
        if (!r.waitDlg.isVisible())
            return false;
        break;
    case Mover::DebugWrite: {
        r.ShowPage("DebugPage");
        w.W<QLineEdit>("AddressEdit")->setText(QString::number(kMoved));
        auto *function = w.W<QComboBox>("FunCodeComboBox");
        function->setCurrentIndex(2); // WRITE SINGLE REG 0x06
        emit function->activated(2);
        auto *reg = w.W<QComboBox>("RegisterComboBox");
        reg->setCurrentIndex(8); // 0x0025 : Action CMD In
        emit reg->activated(8);
        w.W<QLineEdit>("RegValue1Edit")->setText(QString::number(Cmd::Up));
        w.Click("dSendCMDButton");
        break;
    }
    }
    return QTest::qWaitFor([&] { return Moving(w.bus, kMoved); }, 3000);
}

// The cycle test stands still between its steps: a stop request is made
// while the actuator moves.
bool StillMoving(const BusWindow &w)
{
    return QTest::qWaitFor([&] { return Moving(w.bus, kMoved); }, 3000);
}

// Presses Esc in a window of the tool the way `stopper` says; true when the
// key went where it should. `timer` starts when the key is pressed.
bool PressEsc(Rig &r, Stopper stopper, QElapsedTimer &timer)
{
    BusWindow &w = r.w;
    QWidget *target = nullptr;
    std::unique_ptr<QMessageBox> box;
    QComboBox *combo = nullptr;
    switch (stopper) {
    case Stopper::EscMain:
        target = w.form->focusWidget() ? w.form->focusWidget() : w.form.get();
        break;
    case Stopper::EscComboList:
        r.ShowPage("DebugPage");
        combo = w.W<QComboBox>("FunCodeComboBox");
        combo->showPopup();
        if (!QTest::qWaitForWindowExposed(combo->view()->window()))
            return false;
        target = combo->view();
        break;
    case Stopper::EscModalBox:
        box = std::make_unique<QMessageBox>(QMessageBox::Information, QStringLiteral("box"), QStringLiteral("text"),
                                            QMessageBox::Ok, w.form.get());
        box->setModal(true);
        box->show();
        if (!QTest::qWaitForWindowExposed(box.get()))
            return false;
        target = box.get();
        break;
    case Stopper::EscWaitDialog:
        if (!r.waitDlg.isVisible())
            r.waitDlg.ShowCentredOn(w.form.get()); // shown only while learning; the key path is the same
        if (!QTest::qWaitForWindowExposed(&r.waitDlg))
            return false;
        target = &r.waitDlg;
        break;
    case Stopper::EscBusMonitor:
    case Stopper::DiagnoseRefusal:
        target = r.Monitor();
        break;
    case Stopper::EscServiceHistory:
        QTest::keyClick(w.form.get(), Qt::Key_H, Qt::ControlModifier);
        target = w.form->findChild<TServiceHistoryForm *>();
        if (!target || !QTest::qWaitForWindowExposed(target))
            return false;
        break;
    default:
        return false;
    }
    if (!target || !StillMoving(w))
        return false;
    timer.start();
    QTest::keyClick(target, Qt::Key_Escape);
    if (combo && combo->view()->isVisible())
        return false; // the list closes as Esc closes it anywhere
    if (box && !QTest::qWaitFor([&] { return !box->isVisible(); }, 2000))
        return false; // and the box is dismissed
    return true;
}

} // namespace

Q_DECLARE_METATYPE(Mover)
Q_DECLARE_METATYPE(Stopper)

class MotionStopTest : public QObject {
    Q_OBJECT
    qint64 longestRestMs_ = 0;
private slots:
    void cleanupTestCase() { qInfo("longest time from a stop request to the actuator at rest: %lld ms", longestRestMs_); }
    void everyStopReachesWhatMoved_data();
    void everyStopReachesWhatMoved();
    void vanishedPortOffersTheStop_data();
    void vanishedPortOffersTheStop();
    void secondEscWhileStoppingIsOneRun();
    void failedStopStaysListedAndSaysSo();
    void escWithNothingMovingSendsNothing();
    void swappedActuatorIsNotFiledUnderTheOldOne();
    void scanEndsACycleTestOnTheControlPageDevice_data();
    void scanEndsACycleTestOnTheControlPageDevice();
};

void MotionStopTest::everyStopReachesWhatMoved_data()
{
    QTest::addColumn<Mover>("mover");
    QTest::addColumn<Stopper>("stopper");
    QTest::addColumn<uint32_t>("baud");
    const Mover movers[] = {Mover::Up, Mover::Go, Mover::CycleTest, Mover::Learning, Mover::DebugWrite};
    const Stopper stoppers[] = {Stopper::EscMain,       Stopper::EscComboList,     Stopper::EscModalBox,
                                Stopper::EscWaitDialog, Stopper::EscBusMonitor,    Stopper::EscServiceHistory,
                                Stopper::Disconnect,    Stopper::Close,            Stopper::DiagnoseRefusal,
                                Stopper::EscDuringDiagnose};
    for (const Mover m : movers) {
        for (const Stopper s : stoppers) {
            QTest::addRow("%s, %s, 115200", MoverName(m), StopperName(s)) << m << s << uint32_t{115200};
            // The slow rate where it is cheap: the paths whose timing the
            // rate changes (the key, the port's close).
            if (s == Stopper::EscMain || s == Stopper::Disconnect || s == Stopper::Close)
                QTest::addRow("%s, %s, 9600", MoverName(m), StopperName(s)) << m << s << uint32_t{9600};
        }
    }
}

void MotionStopTest::everyStopReachesWhatMoved()
{
    QFETCH(Mover, mover);
    QFETCH(Stopper, stopper);
    QFETCH(uint32_t, baud);
    Rig r(baud);
    BusWindow &w = r.w;
    QVERIFY(SetMoving(r, mover));
    uint8_t stoppedDevice = kMoved;

    QElapsedTimer sinceRequest;
    switch (stopper) {
    case Stopper::Disconnect:
        r.ShowPage("DevicePage");
        w.bus.ClearFrameLog();
        QVERIFY(StillMoving(w));
        sinceRequest.start();
        w.Click("ConnectButton");
        QVERIFY(!w.state().isConnected);
        break;
    case Stopper::Close:
        w.bus.ClearFrameLog();
        QVERIFY(StillMoving(w));
        sinceRequest.start();
        QVERIFY(w.form->close());
        break;
    case Stopper::DiagnoseRefusal: {
        TBusMonitorForm *m = r.Monitor();
        QVERIFY(m);
        w.bus.ClearFrameLog();
        QVERIFY(StillMoving(w));
        QTest::mouseClick(Child<QPushButton>(m, "diagnoseButton"), Qt::LeftButton);
        QCOMPARE(Child<QLabel>(m, "doctorStepLabel")->text(),
                 QStringLiteral("Diagnose cannot run now: device 2 is moving: stop it first (Esc)"));
        // Nothing of the doctor's went out: no probe of address 3, no echo
        // check, no bytes at another rate (which the bus logs as a frame
        // of another length).
        for (const auto &f : w.Requests())
            QVERIFY2(f.bytes.size() == 8 && f.bytes[0] != 3 && f.bytes[0] != 248, Hex(f.bytes).constData());
        QVERIFY(PressEsc(r, stopper, sinceRequest));
        break;
    }
    case Stopper::EscDuringDiagnose: {
        // Diagnose starts only once nothing is listed: Esc first.
        TBusMonitorForm *m = r.Monitor();
        QVERIFY(m);
        QTest::keyClick(m, Qt::Key_Escape);
        QVERIFY(QTest::qWaitFor([&] { return !Moving(w.bus, kMoved); }, 1000));
        QVERIFY(w.state().moved.Empty());
        QVERIFY(QTest::qWaitFor([&] { return !w.StatusTimer()->isActive() && !w.state().uiBusy; }, 3000));
        // While the doctor probes at a rate the devices do not talk at, the
        // Control page's actuator starts moving by its own keys; Esc in the
        // monitor cancels the doctor, the port goes back to the connected
        // rate, and the stop follows.
        stoppedDevice = w.state().controlDeviceId;
        auto *step = Child<QLabel>(m, "doctorStepLabel");
        const QString foreign = QString::number(baud == 115200 ? 19200 : 115200);
        bool pressed = false;
        QTimer watch;
        watch.setInterval(1);
        connect(&watch, &QTimer::timeout, [&] {
            if (pressed || !step->text().contains(QStringLiteral("at %1 baud").arg(foreign)))
                return;
            pressed = true;
            w.bus.SetHolding(stoppedDevice, Reg::ActionCmdIn, Cmd::Up);
            w.bus.ClearFrameLog();
            sinceRequest.start();
            QTest::keyClick(m, Qt::Key_Escape);
        });
        watch.start();
        QTest::mouseClick(Child<QPushButton>(m, "diagnoseButton"), Qt::LeftButton); // runs the doctor
        watch.stop();
        QVERIFY2(pressed, qPrintable(step->text()));
        break;
    }
    default:
        w.bus.ClearFrameLog();
        QVERIFY(PressEsc(r, stopper, sinceRequest));
        break;
    }

    // At rest within a second of the request, the stop heard at the rate the
    // device talks (a frame heard at another rate is garbage to it).
    QVERIFY(QTest::qWaitFor([&] { return !Moving(w.bus, stoppedDevice); }, 1000));
    const qint64 restMs = sinceRequest.elapsed();
    QVERIFY2(restMs < 1000, qPrintable(QString::number(restMs)));
    longestRestMs_ = std::max(longestRestMs_, restMs);
    std::vector<lumosim::LoggedFrame> log = w.Requests();
    const int stop = FirstStop(log, stoppedDevice);
    QVERIFY2(stop >= 0, "no stop reached the moving actuator");

    // Nothing sets it moving again: the learning watch or the rest of a
    // go-to would have come within a second, the cycle test's next move
    // within two of its steps.
    const uint16_t at = w.bus.Holding(stoppedDevice, Reg::CurrentPos);
    QTest::qWait(mover == Mover::CycleTest ? 1700 : 1000);
    QVERIFY(!Moving(w.bus, stoppedDevice));
    QCOMPARE(w.bus.Holding(stoppedDevice, Reg::CurrentPos), at);
    log = w.Requests();
    for (size_t i = static_cast<size_t>(stop); i < log.size(); ++i)
        QVERIFY2(!IsMove(log[i], stoppedDevice), Hex(log[i].bytes).constData());
    QVERIFY(w.state().moved.Empty());

    if (mover == Mover::Learning && stopper != Stopper::EscDuringDiagnose) {
        // Learning ends as stopped, never as learned.
        QVERIFY(!r.waitDlg.isVisible());
        QCOMPARE(w.Panel(1), QStringLiteral("Motor Learn end: stopped, no stroke learned"));
        QVERIFY(!w.form->findChild<QTimer *>(QStringLiteral("MotorLearnStatusTimer"))->isActive());
    }
    if (mover == Mover::CycleTest)
        QVERIFY(!w.state().cycleTestRunning);
    // The window closes cleanly and sends no more stops: nothing is listed.
    const size_t before = w.Requests().size();
    w.form.reset();
    log = w.Requests();
    for (size_t i = before; i < log.size(); ++i)
        QVERIFY2(!IsMove(log[i], stoppedDevice), Hex(log[i].bytes).constData());
}

void MotionStopTest::vanishedPortOffersTheStop_data()
{
    QTest::addColumn<bool>("accept");
    QTest::newRow("offer accepted: the stop goes out") << true;
    QTest::newRow("offer declined: nothing is sent, nothing stays listed") << false;
}

void MotionStopTest::vanishedPortOffersTheStop()
{
    QFETCH(bool, accept);
    // Reached through a link that outlives the bus, as a udev name outlives
    // an adapter.
    QTemporaryDir links;
    const std::string link = QDir(links.path()).filePath(QStringLiteral("lumo-bus")).toStdString();
    Rig r(115200);
    BusWindow &w = r.w;
    QVERIFY(w.bus.MakeLink(link));
    TypePortName(*w.form, link);
    w.Click("ConnectButton");
    QVERIFY(w.state().isConnected);
    QVERIFY(w.ScanUpTo(kMoved) && w.SelectControlDevice(QString::number(kMoved)));
    QTRY_VERIFY(w.W<QPushButton>("motorUpButton")->isEnabled());
    w.Click("motorUpButton");
    QTRY_VERIFY(Moving(w.bus, kMoved));

    w.bus.Unplug();
    QTRY_VERIFY_WITH_TIMEOUT(!w.state().isConnected, 3000);
    QVERIFY2(w.Panel(1).contains(QStringLiteral("is gone: device 2 may still be moving")), qPrintable(w.Panel(1)));
    QVERIFY(w.state().moved.Contains(kMoved));

    // The same name again, a fresh line: the actuator is still running.
    lumosim::VirtualBus fresh(LineModel(115200).bus);
    lumosim::DeviceOptions moving;
    moving.address = kMoved;
    fresh.AddDevice(moving);
    QVERIFY(fresh.Start() && fresh.MakeLink(link));
    fresh.SetHolding(kMoved, Reg::ActionCmdIn, Cmd::Up);
    w.dialogs.stopOffered = accept;
    w.dialogs.shown.clear();
    TypePortName(*w.form, link); // the vanished port's name left the port box
    w.Click("ConnectButton");
    QVERIFY(w.state().isConnected);
    QCOMPARE(w.dialogs.shown,
             QStringList{QStringLiteral("offer: When %1 went away, device 2 was still moving.\nSend it a stop now?")
                             .arg(QString::fromStdString(link))});
    std::vector<uint8_t> stops;
    for (const auto &f : fresh.FrameLog())
        if (f.fromMaster && IsCommand(f, kMoved, Cmd::Stop))
            stops.push_back(f.bytes[0]);
    QCOMPARE(stops.size(), size_t{accept ? 1u : 0u});
    QCOMPARE(Moving(fresh, kMoved), !accept);
    QVERIFY(w.state().moved.Empty());
    w.form.reset();
}

void MotionStopTest::secondEscWhileStoppingIsOneRun()
{
    Rig r(115200);
    BusWindow &w = r.w;
    QVERIFY(SetMoving(r, Mover::Up));
    // The stop goes unanswered, so its attempts and gaps take a while; Esc
    // pressed again in one of the gaps, from another window.
    lumosim::Faults deaf;
    deaf.silent = true;
    w.bus.SetFaults(kMoved, deaf);
    TBusMonitorForm *m = r.Monitor();
    QVERIFY(m);
    w.bus.ClearFrameLog();
    bool again = false;
    QTimer second;
    second.setInterval(1);
    connect(&second, &QTimer::timeout, [&] {
        if (again || !w.state().moved.Stopping())
            return;
        again = true;
        QTest::keyClick(m, Qt::Key_Escape);
    });
    second.start();
    QTest::keyClick(w.form.get(), Qt::Key_Escape);
    second.stop();
    QVERIFY(again);
    size_t stops = 0;
    for (const auto &f : w.Requests())
        stops += IsCommand(f, kMoved, Cmd::Stop) ? 1 : 0;
    QCOMPARE(stops, size_t{3}); // one run of three attempts
    w.bus.SetFaults(kMoved, {});
    w.form.reset(); // still listed: the close stops it
    QTRY_VERIFY(!Moving(w.bus, kMoved));
}

void MotionStopTest::failedStopStaysListedAndSaysSo()
{
    Rig r(115200);
    BusWindow &w = r.w;
    QVERIFY(SetMoving(r, Mover::CycleTest));
    lumosim::Faults deaf;
    deaf.silent = true;
    w.bus.SetFaults(kMoved, deaf);
    QTest::keyClick(w.form.get(), Qt::Key_Escape);
    QCOMPARE(w.Panel(1), QStringLiteral("Stop failed: device 2 may still be moving"));
    QCOMPARE(w.Panel(2), QStringLiteral("Read Error"));
    QVERIFY(w.state().moved.Contains(kMoved));
    QVERIFY(!w.state().cycleTestRunning);
    // Diagnose refuses while it is listed.
    TBusMonitorForm *m = r.Monitor();
    QVERIFY(m);
    QTest::mouseClick(Child<QPushButton>(m, "diagnoseButton"), Qt::LeftButton);
    QCOMPARE(Child<QLabel>(m, "doctorStepLabel")->text(),
             QStringLiteral("Diagnose cannot run now: device 2 is moving: stop it first (Esc)"));
    // Heard again: the next Esc stops it and takes it off the list.
    w.bus.SetFaults(kMoved, {});
    QTest::keyClick(m, Qt::Key_Escape);
    QVERIFY(w.state().moved.Empty());
    QTRY_VERIFY(!Moving(w.bus, kMoved));
}

void MotionStopTest::escWithNothingMovingSendsNothing()
{
    Rig r(115200);
    BusWindow &w = r.w;
    // No port.
    QTest::keyClick(w.form.get(), Qt::Key_Escape);
    QVERIFY(w.Requests().empty());
    // A port, nothing moved, no device on the Control page.
    QVERIFY(r.Connect() && w.ScanUpTo(kMoved));
    w.bus.ClearFrameLog();
    TBusMonitorForm *m = r.Monitor();
    QVERIFY(m);
    QTest::keyClick(m, Qt::Key_Escape);
    QTest::keyClick(w.form.get(), Qt::Key_Escape);
    QTest::qWait(100);
    QVERIFY(w.Requests().empty());
}

void MotionStopTest::swappedActuatorIsNotFiledUnderTheOldOne()
{
    FixtureOptions o = LineModel(115200);
    o.devices = {{1, Model::LumoB, 0xA001}, {2, Model::LumoB, 0xB002}};
    BusWindow w(o);
    QVERIFY(w.Connect() && w.ScanUpTo(2));
    w.W<QTabWidget>("PageControl1")->setCurrentWidget(w.W<QWidget>("DevicePage"));
    QVERIFY2(w.ClickDeviceRow(QStringLiteral("1")), qPrintable(w.DeviceRows().join(QLatin1Char(',')))); // reads motor ID 0xA001
    QTRY_COMPARE(w.W<QLineEdit>("MotorIDEdit")->text(), QStringLiteral("A001"));

    // The actuators trade places; the operator scans again and moves the
    // one now at address 1 without clicking its row.
    w.bus.SetHolding(1, Reg::Address, 3);
    w.bus.SetHolding(2, Reg::Address, 1);
    QVERIFY(w.ScanUpTo(3));
    QVERIFY(w.SelectControlDevice(QStringLiteral("1")));
    QTRY_VERIFY(w.W<QPushButton>("motorUpButton")->isEnabled());
    w.Click("motorUpButton");
    QTRY_VERIFY(w.bus.Input(1, Reg::MotorStatus) != Motion::Stopped);
    w.Click("motorStopButton");
    w.form.reset(); // what is pending is stored

    records::RecordStore store(RecordsFileIn(w.sysfs));
    records::HistoryQuery old;
    old.motorId = 0xA001;
    for (const records::Event &e : store.History(old))
        QVERIFY2(e.kind != records::EventKind::Motion, e.action.c_str());
}

std::unique_ptr<QObject> MakeMotionStopTest()
{
    return std::make_unique<MotionStopTest>();
}

// A scan clears the Control page's choice. A cycle test that drives that
// device would then send its steps to address 0, every actuator at once:
// the scan ends it and stops its actuator. One on an address typed on the
// Debug page is no business of the scan's and goes on.
void MotionStopTest::scanEndsACycleTestOnTheControlPageDevice_data()
{
    QTest::addColumn<bool>("typed");
    QTest::addColumn<bool>("clickedAgain");
    QTest::newRow("the Control page's device") << false << false;
    QTest::newRow("an address typed on the Debug page") << true << false;
    // The operator clicks "Scan Devices" again while the scan's start is
    // still stopping the run's actuator: one scan, and still no step to
    // every actuator.
    QTest::newRow("clicked again during the stop") << false << true;
}

void MotionStopTest::scanEndsACycleTestOnTheControlPageDevice()
{
    QFETCH(bool, typed);
    QFETCH(bool, clickedAgain);
    Rig r(115200);
    BusWindow &w = r.w;
    QVERIFY(r.Connect() && w.ScanUpTo(kMoved));
    QVERIFY(w.SelectControlDevice(QString::number(kMoved)));
    QTRY_VERIFY(w.W<QPushButton>("motorUpButton")->isEnabled());
    r.ShowPage("DebugPage");
    w.W<QLineEdit>("AddressEdit")->setText(typed ? QString::number(kMoved) : QString());
    w.Click("dClearButton");
    QTest::mouseDClick(w.W<QPlainTextEdit>("debugMemo")->viewport(), Qt::LeftButton);
    w.Click("cycleTestStartButton");
    QVERIFY(StillMoving(w));

    w.bus.ClearFrameLog();
    r.ShowPage("DevicePage");
    // Any timer that fires between the click and the scan's start fires
    // inside the stop that start sends.
    bool scanClicked = false, clickedInside = false;
    QTimer again;
    again.setTimerType(Qt::PreciseTimer);
    again.setInterval(1);
    connect(&again, &QTimer::timeout, [&] {
        if (clickedAgain && scanClicked && !clickedInside && !w.state().isScanning) {
            clickedInside = true;
            w.Click("ScanDeviceButton");
        }
    });
    again.start();
    scanClicked = true;
    QVERIFY(w.ScanUpTo(kMoved));
    again.stop();
    QCOMPARE(clickedInside, clickedAgain);
    QTest::qWait(2500); // more than three steps of a run that went on

    const std::vector<lumosim::LoggedFrame> log = w.bus.FrameLog();
    QCOMPARE(w.state().cycleTestRunning, typed);
    for (const auto &f : log)
        QVERIFY2(!IsRequest(f, 0, Fc::WriteSingle, Reg::ActionCmdIn), "a step went to every actuator");
    int moves = 0;
    for (const auto &f : log)
        moves += IsMove(f, kMoved) ? 1 : 0;
    if (typed) {
        QVERIFY2(moves > 0, "the run on its typed address went on");
    } else {
        QCOMPARE(moves, 0);
        QVERIFY(FirstStop(log, kMoved) >= 0);
        QTRY_VERIFY(!Moving(w.bus, kMoved));
    }
    // The scan found the device again, once.
    QCOMPARE(w.DeviceRows().count(QString::number(kMoved) + QStringLiteral(" LUMO-B")), 1);
}

#include "test_motion_stops.moc"

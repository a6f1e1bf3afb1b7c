// Esc and closing the window against the virtual bus: Esc is "■" from every
// page and also where "■" is off; closing the window stops what it set
// moving, and sends nothing when nothing it moved is still moving.

#include <QGroupBox>
#include <QPlainTextEdit>
#include <QTabWidget>

#include "modbus/ResultCode.h"
#include "test_bus_scan_fixture.h"

using namespace bustest;

namespace {

constexpr uint8_t kFirst = 1;
constexpr uint8_t kSecond = 2;

FixtureOptions StopOptions(std::vector<BusDevice> devices)
{
    FixtureOptions o;
    o.devices = std::move(devices);
    // Slow: a full stroke takes 10 s, so the actuator is far from its limits
    // whenever a test stops it.
    o.bus.timeScale = 0.5;
    o.timings.scanTickMs = 1;
    o.timings.statusPollMs = 30;
    o.timings.cycleTestFirstStepMs = 10;
    o.timings.cycleTestSecondMs = 100; // a cycle test step every 300 ms
    o.clockFactor = 5;
    return o;
}

bool ReadyToControl(BusWindow &w, uint8_t address, uint8_t scanTo = 0)
{
    return w.Connect() && w.ScanUpTo(scanTo ? scanTo : address) &&
           w.SelectControlDevice(QString::number(address)) && w.state().controlDeviceId == address;
}

// Shortcuts answer in the active window only.
bool Activate(BusWindow &w)
{
    w.form->activateWindow();
    return QTest::qWaitForWindowActive(w.form.get());
}

bool Moving(const BusWindow &w, uint8_t address)
{
    return w.bus.Input(address, Reg::MotorStatus) != Motion::Stopped;
}

// The addresses of the stop commands the bus heard, in order.
QList<int> StopsHeard(const BusWindow &w)
{
    QList<int> out;
    for (const auto &f : w.Requests())
        if (IsRequest(f, f.bytes[0], Fc::WriteSingle, Reg::ActionCmdIn) && f.bytes[4] == 0 && f.bytes[5] == Cmd::Stop)
            out << f.bytes[0];
    return out;
}

size_t CommandsHeard(const BusWindow &w)
{
    const auto log = w.Requests();
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [](const lumosim::LoggedFrame &f) {
        return IsRequest(f, f.bytes[0], Fc::WriteSingle, Reg::ActionCmdIn);
    }));
}

void ShowPage(BusWindow &w, const char *page)
{
    auto *tabs = w.W<QTabWidget>("PageControl1");
    QWidget *widget = w.W<QWidget>(page);
    tabs->setTabVisible(tabs->indexOf(widget), true); // the Debug page is hidden until asked for
    tabs->setCurrentWidget(widget);
}

// Opens the Debug page's Cycle Test as the operator does (empty memo,
// double-click) and starts it for the Control page's device.
void StartCycleTest(BusWindow &w)
{
    ShowPage(w, "DebugPage");
    w.Click("dClearButton");
    QTest::mouseDClick(w.W<QPlainTextEdit>("debugMemo")->viewport(), Qt::LeftButton);
    w.Click("cycleTestStartButton");
}

bool WaitMoving(const BusWindow &w, uint8_t address)
{
    return QTest::qWaitFor([&] { return Moving(w, address); }, 3000);
}

// The actuator stands where it stopped.
bool StandsStill(const BusWindow &w, uint8_t address)
{
    const uint16_t at = w.bus.Holding(address, Reg::CurrentPos);
    QTest::qWait(100);
    return !Moving(w, address) && w.bus.Holding(address, Reg::CurrentPos) == at;
}

enum Mover { UpButton, DownButton, GoButton, UpOnTwoDevices, AllDevicesUp, CycleTestUp };

// Sets the Control page's device(s) moving the way `mover` says.
bool SetMoving(BusWindow &w, Mover mover)
{
    if (!ReadyToControl(w, kFirst, kSecond))
        return false;
    switch (mover) {
    case UpButton:
        w.Click("motorUpButton");
        break;
    case DownButton:
        w.bus.SetHolding(kFirst, Reg::CurrentPos, 600);
        w.Click("motorDownButton");
        break;
    case GoButton: {
        auto *target = w.W<QLineEdit>("targetPosEdit");
        target->selectAll();
        target->insert(QStringLiteral("900"));
        w.Click("motorActionGoButton");
        break;
    }
    case UpOnTwoDevices:
        w.Click("motorUpButton");
        if (!w.ClickControlItem(QString::number(kSecond)) || w.state().controlModel != Model::LumoB)
            return false;
        w.Click("motorUpButton");
        return WaitMoving(w, kFirst) && WaitMoving(w, kSecond);
    case AllDevicesUp:
        w.W<QCheckBox>("BusAdvCheckBox")->setChecked(true); // hidden; only its handler is reachable
        w.Click("motorUpButton");
        return WaitMoving(w, kFirst) && WaitMoving(w, kSecond);
    case CycleTestUp:
        StartCycleTest(w);
        break;
    }
    return WaitMoving(w, kFirst);
}

} // namespace

class EmergencyStopTest : public QObject {
    Q_OBJECT
private slots:
    void escStopsFromEveryPage_data();
    void escStopsFromEveryPage();
    void escStopsWhereStopButtonIsOff_data();
    void escStopsWhereStopButtonIsOff();
    void escWithoutDeviceSendsNothing();
    void closeStopsWhatMoved_data();
    void closeStopsWhatMoved();
    void closeSendsNothingWhenNothingMoves_data();
    void closeSendsNothingWhenNothingMoves();
};

void EmergencyStopTest::escStopsFromEveryPage_data()
{
    QTest::addColumn<QString>("page");
    QTest::addColumn<QString>("focus"); // the control that has the keyboard
    QTest::addColumn<bool>("silent");
    QTest::newRow("Bus Devices") << "DevicePage"
                                 << "BusDevicesListView" << false;
    QTest::newRow("Actuators") << "SettingPage"
                               << "StrokeEdit" << false;
    QTest::newRow("Control") << "OptionPage"
                             << "targetPosEdit" << false;
    QTest::newRow("Debug") << "DebugPage"
                           << "AddressEdit" << false;
    QTest::newRow("Control, the device stops answering") << "OptionPage"
                                                         << "MODBusDevicesListBox" << true;
}

void EmergencyStopTest::escStopsFromEveryPage()
{
    QFETCH(QString, page);
    QFETCH(QString, focus);
    QFETCH(bool, silent);
    BusWindow w(StopOptions({{kFirst, Model::LumoB}, {kSecond, Model::LumoB}}));
    QVERIFY(SetMoving(w, UpButton));
    ShowPage(w, page.toLatin1().constData());
    QVERIFY(Activate(w));
    auto *target = w.W<QWidget>(focus.toLatin1().constData());
    target->setFocus();
    QVERIFY(target->hasFocus());
    if (silent) {
        lumosim::Faults faults;
        faults.silent = true;
        w.bus.SetFaults(kFirst, faults);
    }
    w.bus.ClearFrameLog();

    QTest::keyClick(target, Qt::Key_Escape);
    QCOMPARE(w.W<QTabWidget>("PageControl1")->currentWidget()->objectName(), page); // Esc leaves the page as it is
    if (silent) {
        // Three attempts, as "■" makes; the device heard none of them.
        QCOMPARE(StopsHeard(w), (QList<int>{kFirst, kFirst, kFirst}));
        QCOMPARE(w.Panel(2), QStringLiteral("Read Error"));
        QVERIFY(Moving(w, kFirst));
        w.bus.SetFaults(kFirst, {});
        w.Click("motorStopButton");
    } else {
        QCOMPARE(StopsHeard(w), QList<int>{kFirst});
        QVERIFY(StandsStill(w, kFirst));
    }
    QCOMPARE(CommandsHeard(w), size_t(StopsHeard(w).size())); // and no other command
}

void EmergencyStopTest::escStopsWhereStopButtonIsOff_data()
{
    QTest::addColumn<uint32_t>("model");
    QTest::addColumn<bool>("duringScan");
    QTest::addColumn<bool>("allDevices");
    // The buttons never move a device whose model is not known or a LUMO-P;
    // it may still move (a command before the model read failed, the
    // device's own keys), and a stop moves nothing.
    QTest::newRow("unknown model code 7") << uint32_t{7} << false << false;
    QTest::newRow("LUMO-P") << Model::LumoP << false << false;
    QTest::newRow("device picked during a scan") << Model::LumoB << true << false;
    QTest::newRow("All Devices: a broadcast stop") << Model::LumoB << false << true;
}

void EmergencyStopTest::escStopsWhereStopButtonIsOff()
{
    QFETCH(uint32_t, model);
    QFETCH(bool, duringScan);
    QFETCH(bool, allDevices);
    BusWindow w(StopOptions({{kFirst, model}, {kSecond, Model::LumoB}}));
    const ConsoleState &s = w.state();
    QVERIFY(w.Connect());
    if (duringScan) {
        w.Click("ScanDeviceButton");
        QVERIFY(QTest::qWaitFor([&] { return s.scanId > 3 && !s.uiBusy; }, 5000));
        QVERIFY(w.SelectControlDevice(QString::number(kFirst)));
        QVERIFY(s.isScanning);
    } else {
        QVERIFY(w.ScanUpTo(kSecond) && w.SelectControlDevice(QString::number(kFirst)));
    }
    QCOMPARE(s.controlDeviceId, kFirst);
    if (allDevices)
        w.W<QCheckBox>("BusAdvCheckBox")->setChecked(true);
    if (!allDevices)
        QVERIFY(!w.W<QPushButton>("motorStopButton")->isEnabled());
    // Set moving by something other than this window.
    w.bus.SetHolding(kFirst, Reg::ActionCmdIn, Cmd::Up);
    QVERIFY(Moving(w, kFirst));
    QVERIFY(Activate(w));
    w.bus.ClearFrameLog();

    QTest::keyClick(w.form.get(), Qt::Key_Escape);
    QCOMPARE(StopsHeard(w), QList<int>{allDevices ? 0 : kFirst});
    if (!duringScan) // else a scan tick has run in the stop's gap and written its own text
        QCOMPARE(w.Panel(1), QStringLiteral("Motor stop..."));
    QVERIFY(StandsStill(w, kFirst));
    if (duringScan) { // the scan goes on after the stop
        const uint8_t at = s.scanId;
        QVERIFY(QTest::qWaitFor([&] { return s.scanId > at + 1; }, 5000));
        w.Click("ScanDeviceButton");
    }
}

void EmergencyStopTest::escWithoutDeviceSendsNothing()
{
    BusWindow w(StopOptions({{kFirst, Model::LumoB}}));
    QVERIFY(w.Connect() && w.ScanUpTo(kFirst));
    ShowPage(w, "OptionPage");
    QCOMPARE(w.state().controlDeviceId, uint8_t{0});
    w.bus.SetHolding(kFirst, Reg::ActionCmdIn, Cmd::Up);
    QVERIFY(Activate(w));
    const QString panel = w.Panel(1);
    w.bus.ClearFrameLog();

    QTest::keyClick(w.form.get(), Qt::Key_Escape);
    QTest::qWait(50);
    QVERIFY(w.Requests().empty());
    QCOMPARE(w.Panel(1), panel);
    QVERIFY(Moving(w, kFirst));
}

void EmergencyStopTest::closeStopsWhatMoved_data()
{
    QTest::addColumn<int>("mover");
    QTest::addColumn<bool>("destroy"); // the window destroyed without a close
    QTest::addColumn<QList<int>>("stops");
    QTest::newRow("▲, closed") << int(UpButton) << false << QList<int>{kFirst};
    QTest::newRow("▲, destroyed") << int(UpButton) << true << QList<int>{kFirst};
    QTest::newRow("▼, closed") << int(DownButton) << false << QList<int>{kFirst};
    QTest::newRow("Go, destroyed") << int(GoButton) << true << QList<int>{kFirst};
    QTest::newRow("▲ on two devices, closed") << int(UpOnTwoDevices) << false << QList<int>{kFirst, kSecond};
    QTest::newRow("All Devices ▲, closed: a broadcast stop") << int(AllDevicesUp) << false << QList<int>{0};
    // The run ends with the window: its next step would move it again.
    QTest::newRow("cycle test ▲, closed") << int(CycleTestUp) << false << QList<int>{kFirst};
}

void EmergencyStopTest::closeStopsWhatMoved()
{
    QFETCH(int, mover);
    QFETCH(bool, destroy);
    QFETCH(QList<int>, stops);
    BusWindow w(StopOptions({{kFirst, Model::LumoB}, {kSecond, Model::LumoB}}));
    QVERIFY(SetMoving(w, Mover(mover)));
    w.bus.ClearFrameLog();

    if (destroy)
        w.form.reset();
    else
        QVERIFY(w.form->close());
    QCOMPARE(StopsHeard(w), stops);
    QCOMPARE(CommandsHeard(w), size_t(stops.size()));
    QVERIFY(StandsStill(w, kFirst));
    QVERIFY(StandsStill(w, kSecond));
    if (!destroy) {
        // Closed, not yet destroyed: nothing moves it again (a cycle test's
        // next steps would have come by now), and destroying the window
        // sends nothing more.
        QTest::qWait(700);
        w.form.reset();
        QCOMPARE(CommandsHeard(w), size_t(stops.size()));
    }
}

void EmergencyStopTest::closeSendsNothingWhenNothingMoves_data()
{
    QTest::addColumn<QString>("before");
    QTest::addColumn<bool>("destroy");
    QTest::newRow("nothing moved, closed") << "" << false;
    QTest::newRow("▲ then ■, closed") << "stop button" << false;
    QTest::newRow("▲ then Esc, destroyed") << "Esc" << true;
    QTest::newRow("▲ to the limit, the poll saw it stop, closed") << "limit" << false;
    // The command failed: the window told the operator so and does not
    // count the device as moving.
    QTest::newRow("▲ unanswered, destroyed") << "unanswered" << true;
}

void EmergencyStopTest::closeSendsNothingWhenNothingMoves()
{
    QFETCH(QString, before);
    QFETCH(bool, destroy);
    BusWindow w(StopOptions({{kFirst, Model::LumoB}}));
    QVERIFY(ReadyToControl(w, kFirst));
    if (before == QStringLiteral("stop button")) {
        w.Click("motorUpButton");
        QVERIFY(WaitMoving(w, kFirst));
        w.Click("motorStopButton");
    } else if (before == QStringLiteral("Esc")) {
        w.Click("motorUpButton");
        QVERIFY(WaitMoving(w, kFirst));
        QVERIFY(Activate(w));
        QTest::keyClick(w.form.get(), Qt::Key_Escape);
    } else if (before == QStringLiteral("limit")) {
        w.bus.SetHolding(kFirst, Reg::CurrentPos, 990);
        w.Click("motorUpButton");
        QVERIFY(QTest::qWaitFor([&] { return !w.StatusTimer()->isActive() && !w.state().uiBusy; }, 5000));
        QCOMPARE(w.bus.Holding(kFirst, Reg::CurrentPos), uint16_t{1000});
    } else if (before == QStringLiteral("unanswered")) {
        lumosim::Faults faults;
        faults.silent = true;
        w.bus.SetFaults(kFirst, faults);
        w.Click("motorUpButton");
        QCOMPARE(w.Panel(2), QStringLiteral("Read Error"));
    }
    QVERIFY(!Moving(w, kFirst));
    QVERIFY(QTest::qWaitFor([&] { return !w.StatusTimer()->isActive() && !w.state().uiBusy; }, 5000));
    w.bus.ClearFrameLog();

    if (destroy) {
        w.form.reset();
    } else {
        QVERIFY(w.form->close());
        w.form.reset();
    }
    QVERIFY(w.Requests().empty());
}

std::unique_ptr<QObject> MakeEmergencyStopTest()
{
    return std::make_unique<EmergencyStopTest>();
}

#include "test_emergency_stop.moc"

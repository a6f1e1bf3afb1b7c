// The Control page on the real window against the virtual bus: choosing a
// device, the motion buttons, the target position, the status poll and how
// commands share the bus with it, the hidden "All Devices" broadcast, and
// devices that misbehave.

#include <QListWidget>
#include <QSlider>
#include <QTabWidget>

#include "modbus/ResultCode.h"
#include "test_bus_scan_fixture.h"

using namespace bustest;

namespace {

constexpr uint8_t kDevice = 5; // the address of the wire examples
constexpr uint8_t kFirst = 1;  // found by the scan's first probe: the quickest to set up

const QColor kRed(255, 0, 0);
const QColor kLime(0, 255, 0);
const QColor kSilver(192, 192, 192);

FixtureOptions ControlOptions(std::vector<BusDevice> devices, double timeScale = 4.0)
{
    FixtureOptions o;
    o.devices = std::move(devices);
    o.bus.timeScale = timeScale;
    o.timings.scanTickMs = 1;
    o.timings.statusPollMs = 30;
    // The probes of the empty addresses before the device go five times
    // faster; the replies still have 6 ms and ten 2 ms polls to arrive.
    o.clockFactor = 5;
    return o;
}

// Connects, scans up to `scanTo` (the device itself by default) and picks
// `address` on the Control page.
bool ReadyToControl(BusWindow &w, uint8_t address, uint8_t scanTo = 0)
{
    if (scanTo == 0)
        scanTo = address;
    return w.Connect() && w.ScanUpTo(scanTo) && w.SelectControlDevice(QString::number(address)) &&
           w.state().controlDeviceId == address;
}

QColor DotColour(BusWindow &w, const char *shape)
{
    return w.W<TShape>(shape)->PenColor();
}

QColor StatusGlyphColour(BusWindow &w)
{
    return w.W<QLabel>("MotorStatusLabel")->palette().color(QPalette::WindowText);
}

QColor WindowTextColour(QWidget *widget)
{
    return QApplication::palette(widget).color(QPalette::WindowText);
}

void TypeTarget(BusWindow &w, const QString &text)
{
    // Cleared, then the number pasted in one piece: typed key by key, a
    // prefix such as "300" of "3001" would be a valid target of its own.
    auto *edit = w.W<QLineEdit>("targetPosEdit");
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    edit->insert(text);
}

// Requests and replies strictly alternate: every request that expects an
// answer gets its reply before the next request goes out.
bool NoCollisions(const std::vector<lumosim::LoggedFrame> &log, QByteArray *why)
{
    bool waiting = false;
    for (const auto &f : log) {
        if (f.fromMaster) {
            if (waiting) {
                *why = "request " + Hex(f.bytes) + " went out before the previous reply";
                return false;
            }
            waiting = f.bytes[0] != 0; // nobody answers a broadcast
        } else {
            if (!waiting) {
                *why = "reply " + Hex(f.bytes) + " without a request";
                return false;
            }
            waiting = false;
        }
    }
    return true;
}

// Motion commands (ActionCmdIn or GoToPos writes) that reached `address`.
size_t MotionFramesTo(BusWindow &w, uint8_t address)
{
    const auto requests = w.Requests();
    return CountRequests(requests, address, Fc::WriteSingle, Reg::ActionCmdIn) +
           CountRequests(requests, address, Fc::WriteSingle, Reg::GoToPos);
}

// Presses every motion control of the page as the operator could: "▲",
// "▼" and Go with `target` typed. Disabled controls take no click.
void PressEverything(BusWindow &w, const QString &target)
{
    TypeTarget(w, target);
    for (const char *button : {"motorUpButton", "motorDownButton", "motorActionGoButton"})
        w.Click(button);
}

// The Control page agrees with itself: the list's selection is the device
// the buttons command.
bool ListShowsControlDevice(BusWindow &w)
{
    const QList<QListWidgetItem *> selected = w.W<QListWidget>("MODBusDevicesListBox")->selectedItems();
    return selected.size() == 1 && selected.first()->text().toInt() == w.state().controlDeviceId;
}

// Nothing of the Control page allows motion: no model, no range, every
// motion control off.
bool NothingCanMove(BusWindow &w, QByteArray *why)
{
    const ConsoleState &s = w.state();
    if (s.controlModel != Model::None || s.posRangeKnown || s.targetPosValid) {
        *why = "model, range or target still known";
        return false;
    }
    for (const char *button : {"motorUpButton", "motorDownButton", "motorStopButton", "motorActionGoButton"})
        if (w.W<QPushButton>(button)->isEnabled()) {
            *why = QByteArray(button) + " is enabled";
            return false;
        }
    if (w.W<QLabel>("PosRangeLabel")->text() != QStringLiteral("( ____  -  ____ )")) {
        *why = "range label shows " + w.W<QLabel>("PosRangeLabel")->text().toLatin1();
        return false;
    }
    return true;
}

} // namespace

class MotorControlTest : public QObject {
    Q_OBJECT
private slots:
    void selectDevice_data();
    void selectDevice();
    void targetPosition_data();
    void targetPosition();
    void trackBarWritesTarget();
    void upPollsUntilStopped_data();
    void upPollsUntilStopped();
    void goToReachesTarget();
    void goRefusesTargetOutsideRange();
    void stopWhilePolling();
    void commandInLastPollTickKeepsPoll();
    void stopMakesThreeAttempts();
    void allDevicesBroadcast();
    void pollWithoutDeviceSendsNothing();
    void statusDisplay_data();
    void statusDisplay();
    void misbehavingDevice_data();
    void misbehavingDevice();
    void speedSpinnerWritesSpeed();
    void clickDuringPollTickOfAnotherDevice_data();
    void clickDuringPollTickOfAnotherDevice();
    void clickDuringConfigurationRead();
    void targetsUpTo65535_data();
    void targetsUpTo65535();
};

void MotorControlTest::selectDevice_data()
{
    QTest::addColumn<uint32_t>("model");
    QTest::addColumn<uint16_t>("rear");
    QTest::addColumn<uint16_t>("front");
    QTest::addColumn<QString>("rangeText");
    QTest::addColumn<uint32_t>("controlModel");
    QTest::addColumn<bool>("motion");
    QTest::addColumn<bool>("go");
    QTest::newRow("LUMO-B") << Model::LumoB << uint16_t(0) << uint16_t(1000) << "( 0000 - 1000 )" << Model::LumoB
                            << true << false;
    QTest::newRow("LUMO-B 50..3000") << Model::LumoB << uint16_t(50) << uint16_t(3000) << "( 0050 - 3000 )"
                                     << Model::LumoB << true << false;
    QTest::newRow("LUMO-D") << Model::LumoD << uint16_t(120) << uint16_t(900) << "( 0120 - 0900 )" << Model::LumoD
                            << true << true;
    QTest::newRow("LUMO-P stays still") << Model::LumoP << uint16_t(0) << uint16_t(1000) << "( 0000 - 1000 )"
                                        << Model::LumoP << false << false;
    QTest::newRow("unknown model code 7") << uint32_t{7} << uint16_t(0) << uint16_t(1000) << "( 0000 - 1000 )"
                                          << Model::None << false << false;
}

void MotorControlTest::selectDevice()
{
    QFETCH(uint32_t, model);
    QFETCH(uint16_t, rear);
    QFETCH(uint16_t, front);
    QFETCH(QString, rangeText);
    QFETCH(uint32_t, controlModel);
    QFETCH(bool, motion);
    QFETCH(bool, go);
    BusWindow w(ControlOptions({{kFirst, model}}));
    w.bus.SetHolding(kFirst, Reg::RearLimit, rear);
    w.bus.SetHolding(kFirst, Reg::FrontLimit, front);
    w.bus.SetHolding(kFirst, Reg::CurrentPos, 321);
    w.bus.SetInput(kFirst, Reg::MotorCurrent, 37);
    const ConsoleState &s = w.state();
    QVERIFY(ReadyToControl(w, kFirst));

    QCOMPARE(s.controlModel, controlModel);
    QCOMPARE(w.W<QLabel>("PosRangeLabel")->text(), rangeText);
    QCOMPARE(s.posRangeMin, rear);
    QCOMPARE(s.posRangeMax, front);
    QCOMPARE(w.W<QLineEdit>("motorPositionEdit")->text(), QStringLiteral("321"));
    QCOMPARE(w.W<QLineEdit>("motorCurrentEdit")->text(), QStringLiteral("37"));
    QCOMPARE(w.Panel(1), QStringLiteral("Get config data"));
    QCOMPARE(w.Panel(2), QStringLiteral("No Error"));
    auto *bar = w.W<QSlider>("motorGoToPosTrackBar");
    QVERIFY(bar->isEnabled());
    QCOMPARE(bar->minimum(), int(rear));
    QCOMPARE(bar->maximum(), int(front));
    QCOMPARE(w.W<QPushButton>("motorUpButton")->isEnabled(), motion);
    QCOMPARE(w.W<QPushButton>("motorDownButton")->isEnabled(), motion);
    QCOMPARE(w.W<QPushButton>("motorStopButton")->isEnabled(), motion);
    QCOMPARE(w.W<QPushButton>("motorActionGoButton")->isEnabled(), go);
    QVERIFY(w.W<QLineEdit>("targetPosEdit")->isEnabled());
    QVERIFY(w.W<QCheckBox>("GetMotorStatusCheckBox")->isEnabled());
    QVERIFY(!w.StatusTimer()->isActive()); // selecting does not start the poll
}

void MotorControlTest::targetPosition_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("valid");
    QTest::newRow("rear limit") << "50" << true;
    QTest::newRow("front limit") << "3000" << true;
    QTest::newRow("inside") << "1234" << true;
    QTest::newRow("below") << "49" << false;
    QTest::newRow("above") << "3001" << false;
    QTest::newRow("empty") << "" << false;
}

void MotorControlTest::targetPosition()
{
    QFETCH(QString, typed);
    QFETCH(bool, valid);
    BusWindow w(ControlOptions({{kFirst, Model::LumoB}}));
    w.bus.SetHolding(kFirst, Reg::MaxPos, 3000);
    w.bus.SetHolding(kFirst, Reg::RearLimit, 50);
    w.bus.SetHolding(kFirst, Reg::FrontLimit, 3000);
    QVERIFY(ReadyToControl(w, kFirst));
    auto *edit = w.W<QLineEdit>("targetPosEdit");
    auto *bar = w.W<QSlider>("motorGoToPosTrackBar");

    TypeTarget(w, QStringLiteral("777")); // a valid start, so every row changes something
    QCOMPARE(bar->value(), 777);
    TypeTarget(w, typed);
    QCOMPARE(w.state().targetPosValid, valid);
    QCOMPARE(w.W<QPushButton>("motorActionGoButton")->isEnabled(), valid);
    QCOMPARE(edit->palette().color(QPalette::Text), valid ? WindowTextColour(edit) : kRed);
    QCOMPARE(bar->value(), valid ? typed.toInt() : 777);
}

void MotorControlTest::trackBarWritesTarget()
{
    BusWindow w(ControlOptions({{kFirst, Model::LumoB}}));
    auto *bar = w.W<QSlider>("motorGoToPosTrackBar");
    QVERIFY(ReadyToControl(w, kFirst));
    bar->setFocus();
    QTest::keyClick(bar, Qt::Key_End);
    QCOMPARE(w.W<QLineEdit>("targetPosEdit")->text(), QStringLiteral("1000"));
    QTest::keyClick(bar, Qt::Key_Left);
    QCOMPARE(w.W<QLineEdit>("targetPosEdit")->text(), QStringLiteral("999"));
    QVERIFY(w.state().targetPosValid);
    QVERIFY(w.W<QPushButton>("motorActionGoButton")->isEnabled());
}

void MotorControlTest::upPollsUntilStopped_data()
{
    QTest::addColumn<bool>("instantStatus");
    QTest::newRow("Show instant status unchecked") << false;
    QTest::newRow("Show instant status checked") << true;
}

void MotorControlTest::upPollsUntilStopped()
{
    QFETCH(bool, instantStatus);
    BusWindow w(ControlOptions({{kFirst, Model::LumoB}}));
    QVERIFY(ReadyToControl(w, kFirst));
    if (instantStatus)
        QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);
    auto *glyph = w.W<QLabel>("MotorStatusLabel");

    w.Click("motorUpButton");
    if (!instantStatus) // else a poll tick has run in the command's gap and written its own text
        QCOMPARE(w.Panel(1), QStringLiteral("Motor up..."));
    QVERIFY(w.StatusTimer()->isActive());
    QCOMPARE(w.StatusTimer()->interval(), 30);
    QVERIFY(QTest::qWaitFor([&] { return glyph->text() == QStringLiteral("\u25B2"); }, 3000));
    QCOMPARE(StatusGlyphColour(w), kLime);
    const int seenMoving = w.W<QLineEdit>("motorPositionEdit")->text().toInt();
    QVERIFY(seenMoving > 500 && seenMoving < 1000);

    // The actuator stops at its front limit and the poll shows it.
    QVERIFY(QTest::qWaitFor([&] { return w.W<QLineEdit>("motorPositionEdit")->text() == QStringLiteral("1000") &&
                                         glyph->text() == QStringLiteral("\u25A0"); },
                            5000));
    QCOMPARE(StatusGlyphColour(w), WindowTextColour(glyph));
    QCOMPARE(w.bus.Holding(kFirst, Reg::CurrentPos), uint16_t{1000});
    if (instantStatus) {
        QVERIFY(QTest::qWaitFor([&] { return !w.state().uiBusy; }, 2000));
        w.bus.ClearFrameLog();
        QVERIFY(QTest::qWaitFor([&] { return w.Requests().size() >= 8; }, 3000)); // it keeps polling
        QVERIFY(w.StatusTimer()->isActive());
    } else {
        QVERIFY(QTest::qWaitFor([&] { return !w.StatusTimer()->isActive() && !w.state().uiBusy; }, 2000));
        w.bus.ClearFrameLog();
        QTest::qWait(200);
        QVERIFY(w.Requests().empty());
    }
}

void MotorControlTest::goToReachesTarget()
{
    BusWindow w(ControlOptions({{kDevice, Model::LumoB}}));
    QVERIFY(ReadyToControl(w, kDevice));
    TypeTarget(w, QStringLiteral("800"));
    QVERIFY(w.W<QPushButton>("motorActionGoButton")->isEnabled());
    w.bus.ClearFrameLog();

    w.Click("motorActionGoButton");
    // Target, stop, go to: each written once and echoed.
    const auto log = w.bus.FrameLog();
    QVERIFY(log.size() >= 6);
    const std::vector<std::vector<uint8_t>> expected = {Frame({kDevice, 0x06, 0x00, 0x26, 0x03, 0x20}),
                                                        Frame({kDevice, 0x06, 0x00, 0x25, 0x00, 0x03}),
                                                        Frame({kDevice, 0x06, 0x00, 0x25, 0x00, 0x05})};
    for (size_t i = 0; i < expected.size(); ++i) {
        QCOMPARE(Hex(log[2 * i].bytes), Hex(expected[i]));
        QVERIFY(!log[2 * i + 1].fromMaster);
        QCOMPARE(Hex(log[2 * i + 1].bytes), Hex(expected[i]));
    }
    QCOMPARE(Hex(expected[1]), QByteArray("05 06 00 25 00 03 D9 84"));
    QVERIFY(w.StatusTimer()->isActive());

    QVERIFY(QTest::qWaitFor([&] { return w.W<QLineEdit>("motorPositionEdit")->text() == QStringLiteral("800") &&
                                         !w.StatusTimer()->isActive() && !w.state().uiBusy; },
                            5000));
    QCOMPARE(w.W<QLabel>("MotorStatusLabel")->text(), QStringLiteral("\u25A0"));
    QCOMPARE(DotColour(w, "InGoToShape"), kLime);
    QCOMPARE(DotColour(w, "HallErrorShape"), kSilver);
    QCOMPARE(DotColour(w, "MotorOverLoadShape"), kSilver);
    QCOMPARE(DotColour(w, "InLearningShape"), kSilver);
    QCOMPARE(w.Panel(1), QStringLiteral("GetStatus ID = 5"));
}

void MotorControlTest::goRefusesTargetOutsideRange()
{
    // "Go" stays enabled for a LUMO-D whatever the target; a target outside
    // the device's limits must still not reach the bus.
    BusWindow w(ControlOptions({{kFirst, Model::LumoD}}));
    w.bus.SetHolding(kFirst, Reg::RearLimit, 100);
    w.bus.SetHolding(kFirst, Reg::FrontLimit, 900);
    QVERIFY(ReadyToControl(w, kFirst));
    TypeTarget(w, QStringLiteral("950"));
    QVERIFY(w.W<QPushButton>("motorActionGoButton")->isEnabled());
    w.bus.ClearFrameLog();
    w.Click("motorActionGoButton");
    QVERIFY(w.Requests().empty());
    QCOMPARE(w.W<QLineEdit>("targetPosEdit")->palette().color(QPalette::Text), kRed);
    QVERIFY(!w.state().targetPosValid);
    QVERIFY(!w.StatusTimer()->isActive());

    TypeTarget(w, QStringLiteral("900"));
    w.Click("motorActionGoButton");
    QCOMPARE(CountRequests(w.Requests(), kFirst, 0x06, Reg::GoToPos), size_t{1});
    QCOMPARE(w.bus.Holding(kFirst, Reg::GoToPos), uint16_t{900});
}

void MotorControlTest::stopWhilePolling()
{
    // Slow enough that the actuator is still far from its limit when "■"
    // comes; the click lands while a poll tick waits between two reads.
    BusWindow w(ControlOptions({{kDevice, Model::LumoB}}, 0.5));
    QVERIFY(ReadyToControl(w, kDevice));
    auto *glyph = w.W<QLabel>("MotorStatusLabel");
    w.bus.ClearFrameLog();
    w.Click("motorUpButton");
    bool polling = false;
    InsideTick stop(w, [&] { return glyph->text() == QStringLiteral("\u25B2"); },
                    [&] {
                        polling = !w.StatusTimer()->isActive();
                        w.Click("motorStopButton");
                    });
    QVERIFY(QTest::qWaitFor([&] { return stop.ran(); }, 5000));
    QVERIFY(polling);
    QCOMPARE(w.bus.Input(kDevice, Reg::MotorStatus), uint16_t{Motion::Stopped});
    const uint16_t stoppedAt = w.bus.Holding(kDevice, Reg::CurrentPos);
    QVERIFY(stoppedAt < 1000);

    // The poll sees the actuator stopped and ends by itself.
    QVERIFY(QTest::qWaitFor([&] { return !w.StatusTimer()->isActive() && !w.state().uiBusy; }, 3000));
    QCOMPARE(glyph->text(), QStringLiteral("\u25A0"));
    QCOMPARE(w.W<QLineEdit>("motorPositionEdit")->text().toInt(), int(stoppedAt));
    QTest::qWait(100);
    QCOMPARE(w.bus.Holding(kDevice, Reg::CurrentPos), stoppedAt);

    // On the wire: one stop, answered at once, between two reads of the
    // poll; nothing ever overtook a reply.
    const auto log = w.bus.FrameLog();
    QByteArray why;
    QVERIFY2(NoCollisions(log, &why), why.constData());
    const QByteArray stopFrame("05 06 00 25 00 03 D9 84");
    size_t at = log.size();
    size_t stops = 0;
    for (size_t i = 0; i < log.size(); ++i)
        if (log[i].fromMaster && Hex(log[i].bytes) == stopFrame) {
            at = i;
            ++stops;
        }
    QCOMPARE(stops, size_t{1});
    QVERIFY(at >= 2 && at + 2 < log.size());
    QCOMPARE(Hex(log[at + 1].bytes), stopFrame);
    QVERIFY(!log[at + 1].fromMaster);
    QVERIFY(log[at - 2].bytes[1] == Fc::ReadInput || log[at - 2].bytes[1] == Fc::ReadHolding);
    QVERIFY(log[at + 2].bytes[1] == Fc::ReadInput || log[at + 2].bytes[1] == Fc::ReadHolding);
    QVERIFY(std::any_of(log.begin(), log.end(), [](const auto &f) {
        return f.fromMaster && Hex(f.bytes) == QByteArray("05 04 00 3F 00 02 40 43");
    }));
}

void MotorControlTest::commandInLastPollTickKeepsPoll()
{
    // "▲" clicked in the last tick of a poll, after that tick has read the
    // actuator standing still: the poll must go on and show the motion,
    // not end on the reading taken before the command.
    BusWindow w(ControlOptions({{kFirst, Model::LumoB}}, 1.0));
    QVERIFY(ReadyToControl(w, kFirst));
    auto *box = w.W<QCheckBox>("GetMotorStatusCheckBox");
    QTest::mouseClick(box, Qt::LeftButton);
    QVERIFY(w.StatusTimer()->isActive());
    QTest::mouseClick(box, Qt::LeftButton); // the next tick is the last
    w.bus.ClearFrameLog();

    InsideTick up(w,
                  [&] {
                      const auto r = w.Requests();
                      return r.size() >= 2 && IsRequest(r[r.size() - 2], kFirst, Fc::ReadInput, Reg::MotorCurrent) &&
                             IsRequest(r.back(), kFirst, Fc::ReadInput, Reg::MotorStatus);
                  },
                  [&] { w.Click("motorUpButton"); });
    QVERIFY(QTest::qWaitFor([&] { return up.ran(); }, 3000));
    QVERIFY(QTest::qWaitFor([&] { return w.W<QLabel>("MotorStatusLabel")->text() == QStringLiteral("\u25B2"); },
                            2000));
    w.Click("motorStopButton");
}

void MotorControlTest::stopMakesThreeAttempts()
{
    BusWindow w(ControlOptions({{kFirst, Model::LumoB}}));
    QVERIFY(ReadyToControl(w, kFirst));
    // Five attempts per operation, set on the Debug page.
    auto *tries = w.W<TUpDown>("CMDTryCountUpDown");
    for (int i = 0; i < 2; ++i)
        QTest::mouseClick(tries->findChild<QWidget *>(QStringLiteral("up")), Qt::LeftButton);
    const int32_t cmdTryCount = w.state().cmdTryCount;

    lumosim::Faults silent;
    silent.silent = true;
    w.bus.SetFaults(kFirst, silent);
    w.bus.ClearFrameLog();
    w.Click("motorStopButton");
    QCOMPARE(w.Panel(1), QStringLiteral("Motor stop..."));
    QCOMPARE(w.Panel(2), QStringLiteral("Read Error"));
    QCOMPARE(CountRequests(w.Requests(), kFirst, 0x06, Reg::ActionCmdIn), size_t{3});

    w.bus.ClearFrameLog();
    w.Click("motorDownButton");
    QCOMPARE(w.Panel(1), QStringLiteral("Motor down..."));
    QCOMPARE(CountRequests(w.Requests(), kFirst, 0x06, Reg::ActionCmdIn), size_t(cmdTryCount));
    QVERIFY(!w.StatusTimer()->isActive()); // a failed command starts no poll
}

void MotorControlTest::allDevicesBroadcast()
{
    BusWindow w(ControlOptions({{kFirst, Model::LumoB}, {2, Model::LumoB}}, 0.5));
    QVERIFY(ReadyToControl(w, kFirst, 2));
    auto *all = w.W<QCheckBox>("BusAdvCheckBox");
    QVERIFY(all->isHidden());
    all->setChecked(true); // hidden from the operator; only its handler is reachable
    QCOMPARE(w.state().controlDeviceId, uint8_t{0});

    w.bus.ClearFrameLog();
    w.Click("motorUpButton");
    auto log = w.bus.FrameLog();
    QCOMPARE(log.size(), size_t{1});
    QCOMPARE(Hex(log[0].bytes), Hex(Frame({0x00, 0x06, 0x00, 0x25, 0x00, 0x01})));
    QCOMPARE(w.bus.Input(kFirst, Reg::MotorStatus), uint16_t{Motion::MovingUp});
    QCOMPARE(w.bus.Input(2, Reg::MotorStatus), uint16_t{Motion::MovingUp});
    QVERIFY(!w.StatusTimer()->isActive()); // no single device to poll
    QCOMPARE(w.Panel(2), QStringLiteral("No Error"));

    w.bus.ClearFrameLog();
    w.Click("motorStopButton");
    log = w.bus.FrameLog();
    QCOMPARE(log.size(), size_t{1});
    QCOMPARE(Hex(log[0].bytes), QByteArray("00 06 00 25 00 03 D9 D1"));
    QCOMPARE(w.bus.Input(kFirst, Reg::MotorStatus), uint16_t{Motion::Stopped});
    QCOMPARE(w.bus.Input(2, Reg::MotorStatus), uint16_t{Motion::Stopped});

    all->setChecked(false);
    QCOMPARE(w.state().controlDeviceId, kFirst);
}

void MotorControlTest::pollWithoutDeviceSendsNothing()
{
    BusWindow w(ControlOptions({{kFirst, Model::LumoB}}));
    lumosim::Faults faults;
    faults.hallError = true;
    w.bus.SetFaults(kFirst, faults);
    QVERIFY(ReadyToControl(w, kFirst));
    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);
    QVERIFY(QTest::qWaitFor([&] { return DotColour(w, "HallErrorShape") == kRed; }, 2000));
    QVERIFY(QTest::qWaitFor([&] { return !w.state().uiBusy; }, 2000));

    // "All Devices" leaves no device for the poll: its next tick sends
    // nothing, shows a stopped actuator without flags and ends the poll.
    w.W<QCheckBox>("BusAdvCheckBox")->setChecked(true);
    QVERIFY(!w.W<QCheckBox>("GetMotorStatusCheckBox")->isChecked());
    w.bus.ClearFrameLog();
    QVERIFY(QTest::qWaitFor([&] { return !w.StatusTimer()->isActive() && !w.state().uiBusy; }, 2000));
    QVERIFY(w.Requests().empty());
    QCOMPARE(w.W<QLabel>("MotorStatusLabel")->text(), QStringLiteral("\u25A0"));
    for (const char *dot : {"HallErrorShape", "MotorOverLoadShape", "InLearningShape", "InGoToShape"})
        QCOMPARE(DotColour(w, dot), kSilver);
    QCOMPARE(w.Panel(1), QStringLiteral("GetStatus ID = 0"));
    QCOMPARE(w.Panel(2), QStringLiteral("Parameter Error"));
}

void MotorControlTest::statusDisplay_data()
{
    QTest::addColumn<uint16_t>("restingState");
    QTest::addColumn<uint16_t>("extraFlags");
    QTest::addColumn<bool>("hallError");
    QTest::addColumn<bool>("overCurrent");
    QTest::addColumn<QString>("glyph");
    QTest::addColumn<bool>("glyphLime");
    QTest::addColumn<QList<bool>>("dotsLit"); // hall, over current, learning, position OK
    QTest::newRow("hall error") << uint16_t(0) << uint16_t(0) << true << false << "\u25A0" << false
                                << QList<bool>{true, false, false, false};
    QTest::newRow("over current") << uint16_t(0) << uint16_t(0) << false << true << "\u25A0" << false
                                  << QList<bool>{false, true, false, false};
    QTest::newRow("both faults") << uint16_t(0) << uint16_t(0) << true << true << "\u25A0" << false
                                 << QList<bool>{true, true, false, false};
    QTest::newRow("flags 0x00C0, state 2") << uint16_t(2) << uint16_t(0x00C0) << false << false << "\u25BC" << true
                                           << QList<bool>{false, false, true, true};
    QTest::newRow("state 1") << uint16_t(1) << uint16_t(0) << false << false << "\u25B2" << true
                             << QList<bool>{false, false, false, false};
    QTest::newRow("unknown state 7, unused bits") << uint16_t(7) << uint16_t(0xFF0F) << false << false << ""
                                                  << false << QList<bool>{false, false, false, false};
}

void MotorControlTest::statusDisplay()
{
    QFETCH(uint16_t, restingState);
    QFETCH(uint16_t, extraFlags);
    QFETCH(bool, hallError);
    QFETCH(bool, overCurrent);
    QFETCH(QString, glyph);
    QFETCH(bool, glyphLime);
    QFETCH(QList<bool>, dotsLit);
    BusWindow w(ControlOptions({{kFirst, Model::LumoB}}));
    QVERIFY(ReadyToControl(w, kFirst));
    lumosim::Faults faults;
    faults.hallError = hallError;
    faults.overCurrent = overCurrent;
    w.bus.SetFaults(kFirst, faults);
    w.bus.SetInput(kFirst, Reg::MotorStatus, restingState);
    w.bus.SetInput(kFirst, Reg::MotorStatus + 1, extraFlags);

    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);
    const char *dots[] = {"HallErrorShape", "MotorOverLoadShape", "InLearningShape", "InGoToShape"};
    const QColor lit[] = {kRed, kRed, kLime, kLime};
    auto shown = [&] {
        for (int i = 0; i < 4; ++i)
            if (DotColour(w, dots[i]) != (dotsLit[i] ? lit[i] : kSilver))
                return false;
        return w.W<QLabel>("MotorStatusLabel")->text() == glyph;
    };
    QVERIFY(QTest::qWaitFor(shown, 3000));
    auto *label = w.W<QLabel>("MotorStatusLabel");
    QCOMPARE(StatusGlyphColour(w), glyphLime ? kLime : WindowTextColour(label));
    QCOMPARE(w.Panel(2), QStringLiteral("No Error"));
}

void MotorControlTest::misbehavingDevice_data()
{
    QTest::addColumn<bool>("silent");
    QTest::addColumn<uint32_t>("corruptEveryN");
    QTest::addColumn<bool>("selected");
    QTest::addColumn<QString>("result");
    QTest::newRow("silent") << true << 0u << false << "Read Error";
    QTest::newRow("every reply with a bad CRC") << false << 1u << false << "Checksum Error";
    QTest::newRow("every second reply with a bad CRC") << false << 2u << true << "No Error";
}

void MotorControlTest::misbehavingDevice()
{
    QFETCH(bool, silent);
    QFETCH(uint32_t, corruptEveryN);
    QFETCH(bool, selected);
    QFETCH(QString, result);
    // A good LUMO-D is chosen first; then the misbehaving LUMO-B.
    BusWindow w(ControlOptions({{kFirst, Model::LumoB}, {2, Model::LumoD}}));
    w.bus.SetHolding(kFirst, Reg::RearLimit, 200);
    QVERIFY(ReadyToControl(w, 2));
    QCOMPARE(w.W<QLabel>("PosRangeLabel")->text(), QStringLiteral("( 0000 - 1000 )"));
    lumosim::Faults faults;
    faults.silent = silent;
    faults.corruptCrcEveryN = corruptEveryN;
    w.bus.SetFaults(kFirst, faults);

    QVERIFY(w.ClickControlItem(QString::number(kFirst)));
    QCOMPARE(w.state().controlDeviceId, kFirst);
    QCOMPARE(w.Panel(2), result);
    if (selected) {
        QCOMPARE(w.state().controlModel, Model::LumoB);
        QCOMPARE(w.W<QLabel>("PosRangeLabel")->text(), QStringLiteral("( 0200 - 1000 )"));
        // It can still be moved and followed: the retries absorb the bad replies.
        w.Click("motorUpButton");
        QVERIFY(QTest::qWaitFor([&] { return w.W<QLineEdit>("motorPositionEdit")->text() == QStringLiteral("1000") &&
                                             !w.StatusTimer()->isActive(); },
                                5000));
    } else {
        // The model read failed. The buttons now command this device, so
        // nothing of the previous one may stay: no model, no range, nothing
        // enabled that could move it.
        QCOMPARE(w.state().controlModel, Model::None);
        QVERIFY(!w.state().posRangeKnown);
        for (const char *button : {"motorUpButton", "motorDownButton", "motorStopButton", "motorActionGoButton"})
            QVERIFY2(!w.W<QPushButton>(button)->isEnabled(), button);
        QCOMPARE(w.W<QLabel>("PosRangeLabel")->text(), QStringLiteral("( ____  -  ____ )"));
        QCOMPARE(CountRequests(w.Requests(), kFirst, Fc::ReadInput, Reg::Model), size_t{1 + 3}); // scan + 3
    }
}

void MotorControlTest::speedSpinnerWritesSpeed()
{
    BusWindow w(ControlOptions({{kFirst, Model::LumoB}}));
    QVERIFY(ReadyToControl(w, kFirst));
    auto *spinner = w.W<TUpDown>("MotorSpeedUpDown");
    QTest::mouseClick(spinner->findChild<QWidget *>(QStringLiteral("down")), Qt::LeftButton);
    QCOMPARE(spinner->Position(), 95);
    QCOMPARE(w.bus.Holding(kFirst, Reg::SpeedPwm), uint16_t{95});
    QCOMPARE(w.Panel(2), QStringLiteral("No Error"));
}

void MotorControlTest::clickDuringPollTickOfAnotherDevice_data()
{
    QTest::addColumn<uint32_t>("clickedModel");
    QTest::addColumn<QString>("clickedRange");
    QTest::addColumn<bool>("canMove");
    QTest::addColumn<bool>("targetValid");
    // A LUMO-P must never move; a LUMO-B with a front limit of 300 must
    // never be sent to 800, a target that was valid for the LUMO-D.
    QTest::newRow("LUMO-D to LUMO-P") << Model::LumoP << "( 0000 - 0300 )" << false << false;
    QTest::newRow("LUMO-D to LUMO-B with a shorter range") << Model::LumoB << "( 0000 - 0300 )" << true << false;
}

void MotorControlTest::clickDuringPollTickOfAnotherDevice()
{
    QFETCH(uint32_t, clickedModel);
    QFETCH(QString, clickedRange);
    QFETCH(bool, canMove);
    QFETCH(bool, targetValid);
    constexpr uint8_t kOther = 2;
    BusWindow w(ControlOptions({{kFirst, Model::LumoD}, {kOther, clickedModel}}));
    w.bus.SetHolding(kOther, Reg::FrontLimit, 300);
    QVERIFY(ReadyToControl(w, kFirst, kOther));
    TypeTarget(w, QStringLiteral("800"));
    QVERIFY(w.state().targetPosValid);
    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);

    // The click lands while a poll tick of device 1 waits between two
    // reads; at once the operator tries every motion control.
    bool consistent = false;
    QByteArray why;
    InsideTick click(w, [] { return true; },
                     [&] {
                         w.ClickControlItem(QString::number(kOther));
                         consistent = w.state().controlDeviceId == kOther && ListShowsControlDevice(w) &&
                                      NothingCanMove(w, &why);
                         PressEverything(w, QStringLiteral("800"));
                     });
    QVERIFY(QTest::qWaitFor([&] { return click.ran(); }, 3000));
    QVERIFY2(consistent, why.constData());

    // Once the tick is over, the click's own reads run.
    QVERIFY(QTest::qWaitFor([&] { return w.state().controlModel == clickedModel; }, 3000));
    QVERIFY(QTest::qWaitFor([&] { return w.state().posRangeKnown; }, 3000));
    QCOMPARE(w.W<QLabel>("PosRangeLabel")->text(), clickedRange);
    QVERIFY(ListShowsControlDevice(w));
    QCOMPARE(w.W<QPushButton>("motorUpButton")->isEnabled(), canMove);
    // The target typed for device 1 is judged against device 2's limits.
    QCOMPARE(w.state().targetPosValid, targetValid);
    QCOMPARE(w.W<QLineEdit>("targetPosEdit")->palette().color(QPalette::Text), kRed);
    QVERIFY(!w.W<QPushButton>("motorActionGoButton")->isEnabled());
    PressEverything(w, QStringLiteral("800"));
    QCOMPARE(MotionFramesTo(w, kOther), size_t(canMove ? 2 : 0)); // only ▲ and ▼, once known
    QVERIFY(w.bus.Holding(kOther, Reg::GoToPos) != 800);
    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);
    if (canMove)
        w.Click("motorStopButton");
}

void MotorControlTest::clickDuringConfigurationRead()
{
    constexpr uint8_t kOther = 2;
    BusWindow w(ControlOptions({{kFirst, Model::LumoD}, {kOther, Model::LumoP}}));
    QVERIFY(ReadyToControl(w, kFirst, kOther));
    auto *tabs = w.W<QTabWidget>("PageControl1");
    tabs->setCurrentWidget(w.W<QWidget>("DevicePage"));
    QVERIFY(w.ClickDeviceRow(QString::number(kFirst)));
    tabs->setCurrentWidget(w.W<QWidget>("SettingPage"));
    w.bus.ClearFrameLog();

    // "Read" on the Actuators page; during its transfer the operator picks
    // device 2 on the Control page and presses everything there.
    bool ran = false;
    bool consistent = false;
    QByteArray why;
    QTimer during;
    during.setTimerType(Qt::PreciseTimer);
    during.setInterval(1);
    QObject::connect(&during, &QTimer::timeout, [&] {
        if (ran || !w.state().isBusy)
            return;
        ran = true;
        during.stop();
        w.SelectControlDevice(QString::number(kOther));
        consistent = w.state().controlDeviceId == kOther && ListShowsControlDevice(w) && NothingCanMove(w, &why);
        PressEverything(w, QStringLiteral("500"));
    });
    during.start();
    w.Click("LoadConfigButton");
    QVERIFY(ran);
    QVERIFY2(consistent, why.constData());
    QCOMPARE(w.dialogs.shown.value(0), QStringLiteral("info: Get device config successfully !"));

    QVERIFY(QTest::qWaitFor([&] { return w.state().controlModel == Model::LumoP && w.state().posRangeKnown; },
                            3000));
    QVERIFY(ListShowsControlDevice(w));
    QVERIFY(!w.W<QPushButton>("motorUpButton")->isEnabled());
    QCOMPARE(MotionFramesTo(w, kOther), size_t{0});
    QCOMPARE(MotionFramesTo(w, kFirst), size_t{0});
}

void MotorControlTest::targetsUpTo65535_data()
{
    QTest::addColumn<uint16_t>("front");
    QTest::newRow("limits 0..20000") << uint16_t(20000);
    QTest::newRow("limits 0..65535") << uint16_t(65535);
}

void MotorControlTest::targetsUpTo65535()
{
    QFETCH(uint16_t, front);
    BusWindow w(ControlOptions({{kFirst, Model::LumoD}}));
    w.bus.SetHolding(kFirst, Reg::MaxPos, front);
    w.bus.SetHolding(kFirst, Reg::FrontLimit, front);
    QVERIFY(ReadyToControl(w, kFirst));
    QCOMPARE(w.W<QLabel>("PosRangeLabel")->text(), QStringLiteral("( 0000 - %1 )").arg(front));
    auto *bar = w.W<QSlider>("motorGoToPosTrackBar");
    auto *edit = w.W<QLineEdit>("targetPosEdit");

    for (const int value : {0, 9999, 10000, 12000, int(front)}) {
        const QString text = QString::number(value);
        // The track bar writes the target, and Go sends exactly it.
        bar->setValue(value == 0 ? 1 : 0);
        bar->setValue(value);
        QCOMPARE(edit->text(), text);
        QVERIFY(w.state().targetPosValid);
        w.Click("motorActionGoButton");
        QCOMPARE(w.bus.Holding(kFirst, Reg::GoToPos), uint16_t(value));
        // Typing the target moves the track bar to it.
        TypeTarget(w, QStringLiteral("1"));
        TypeTarget(w, text);
        QCOMPARE(edit->text(), text);
        QCOMPARE(bar->value(), value);
        QVERIFY(w.state().targetPosValid);
    }
    w.Click("motorStopButton");
}

std::unique_ptr<QObject> MakeMotorControlTest()
{
    return std::make_unique<MotorControlTest>();
}

#include "test_motor_control.moc"

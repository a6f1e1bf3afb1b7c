// The Bus backup window from the real window against the virtual bus: a
// backup read back from its file, a comparison that marks what differs and
// sends nothing, a restore that writes only after the operator's yes and
// only what the device then holds, the bus taken only when it is free, the
// work ended by Stop, Esc and a lost port, and a replaced unit offered its
// predecessor's configuration from the service records.

#include <QAction>
#include <QCheckBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>

#include <functional>

#include "busfile/BusFile.h"
#include "modbus/ResultCode.h"
#include "records/RecordStore.h"
#include "sidewindows/BusBackup.h"
#include "test_bus_scan_fixture.h"

using namespace bustest;

namespace {

constexpr uint16_t kMotor5 = 0x5A05;
constexpr uint16_t kMotor6 = 0x5A06;
constexpr uint16_t kMotor9 = 0x5A09;
constexpr uint16_t kNewUnit = 0x7B11;

FixtureOptions ThreeActuators()
{
    FixtureOptions o = QuickScanOptions(
        {{5, Model::LumoD, kMotor5}, {6, Model::LumoP, kMotor6}, {9, Model::LumoB, kMotor9}});
    o.bus.timeScale = 50;
    return o;
}

// The window with the Bus backup reading addresses 1..10 only.
struct BackupWindow : BusWindow {
    explicit BackupWindow(FixtureOptions options = ThreeActuators(), uint8_t last = 10)
        : BusWindow(WithRange(std::move(options), last))
    {
    }
    static FixtureOptions WithRange(FixtureOptions o, uint8_t last)
    {
        o.busBackupLastAddress = last;
        return o;
    }
    TBusBackupForm *Open()
    {
        form->activateWindow();
        if (!QTest::qWaitForWindowActive(form.get()))
            return nullptr;
        QTest::keyClick(form.get(), Qt::Key_B, Qt::ControlModifier);
        auto *b = form->findChild<TBusBackupForm *>(QStringLiteral("BusBackupForm"));
        return b && QTest::qWaitForWindowExposed(b) ? b : nullptr;
    }
    QString Status(TBusBackupForm *b) const { return Child<QLabel>(b, "busBackupStatus")->text(); }
    // Clicks a button of the Bus backup and waits until its work is over.
    bool Run(TBusBackupForm *b, const char *button, int timeoutMs = 20000)
    {
        QTest::mouseClick(Child<QPushButton>(b, button), Qt::LeftButton);
        return QTest::qWaitFor([&] { return !b->Working(); }, timeoutMs);
    }
    QString file = sysfs.filePath(QStringLiteral("machine.lumobus"));
};

// The table as "address | state", and each register under its device as
// "  name: file -> bus", with "*" where both values are marked.
QStringList Rows(TBusBackupForm *b)
{
    auto *t = Child<QTreeWidget>(b, "busBackupTable");
    QStringList rows;
    for (int i = 0; i < t->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = t->topLevelItem(i);
        rows << row->text(TBusBackupForm::AddressColumn) + QStringLiteral(" | ") + row->text(TBusBackupForm::StateColumn);
        for (int r = 0; r < row->childCount(); ++r) {
            const QTreeWidgetItem *reg = row->child(r);
            const bool marked = reg->font(TBusBackupForm::FileColumn).bold() &&
                                reg->background(TBusBackupForm::BusColumn).style() != Qt::NoBrush;
            rows << QStringLiteral("  %1%2: %3 -> %4")
                        .arg(marked ? QStringLiteral("*") : QString(), reg->text(TBusBackupForm::StateColumn),
                             reg->text(TBusBackupForm::FileColumn), reg->text(TBusBackupForm::BusColumn));
        }
    }
    return rows;
}

void Select(TBusBackupForm *b, const QStringList &addresses)
{
    auto *t = Child<QTreeWidget>(b, "busBackupTable");
    t->clearSelection();
    for (int i = 0; i < t->topLevelItemCount(); ++i)
        if (addresses.contains(t->topLevelItem(i)->text(TBusBackupForm::AddressColumn)))
            t->topLevelItem(i)->setSelected(true);
}

// Requests that write (0x06, 0x10) in the bus's log.
int Writes(const BusWindow &w)
{
    int writes = 0;
    for (const lumosim::LoggedFrame &f : w.Requests())
        if (f.bytes.size() > 1 && (f.bytes[1] == 0x06 || f.bytes[1] == 0x10))
            ++writes;
    return writes;
}

const lumosim::DeviceTruth *TruthAt(const lumosim::BusTruth &truth, uint8_t address)
{
    for (const lumosim::DeviceTruth &d : truth.devices)
        if (d.address == address)
            return &d;
    return nullptr;
}

uint16_t SpeedPwmOf(const BusWindow &w, uint8_t address)
{
    const lumosim::BusTruth truth = w.bus.Truth();
    const lumosim::DeviceTruth *d = TruthAt(truth, address);
    return d ? d->config[4] : 0;
}

// The backup of the three actuators, taken and checked.
bool BackedUp(BackupWindow &w, TBusBackupForm *b)
{
    w.dialogs.saveAnswers.push_back(w.file);
    return w.Run(b, "backUpButton") && w.Status(b).startsWith(QStringLiteral("Backup saved: 3 devices"));
}

class BusBackupTest : public QObject {
    Q_OBJECT
private slots:
    void backupHoldsEachDeviceAsTheBusHasIt();
    void compareMarksWhatDiffersAndSendsNothing();
    void restoreWritesOnlyAfterYesAndVerifies();
    void aRefusedRegisterFailsItsDeviceOnly();
    void twoUnitsWithOneMotorIdSaveNoBackup();
    void theStatusPollPausesForTheWorkAndComesBack();
    void aFileDeviceBeyondTheScanIsReadByItself_data();
    void aFileDeviceBeyondTheScanIsReadByItself();
    void theBusIsTakenOnlyWhenFree_data();
    void theBusIsTakenOnlyWhenFree();
    void stopEscAndALostPortEndTheWorkWithoutAFile_data();
    void stopEscAndALostPortEndTheWorkWithoutAFile();
    void aBadFileIsAClearErrorAndNothingIsSent();
    void aReplacedUnitIsOfferedTheOldConfiguration();
};

void BusBackupTest::backupHoldsEachDeviceAsTheBusHasIt()
{
    BackupWindow w;
    QVERIFY(w.Connect());
    TBusBackupForm *b = w.Open();
    QVERIFY(b);
    // Opening the window sends nothing.
    QCOMPARE(w.Requests().size(), size_t{0});
    QVERIFY2(BackedUp(w, b), qPrintable(w.Status(b)));

    busfile::BusFile file;
    std::string error;
    QVERIFY2(busfile::ReadBusFile(w.file.toStdString(), file, error), error.c_str());
    QCOMPARE(file.taken.port, w.bus.DevicePath());
    QCOMPARE(file.taken.from, uint8_t{1});
    QCOMPARE(file.taken.to, uint8_t{10});
    QCOMPARE(file.devices.size(), size_t{3});
    const lumosim::BusTruth truth = w.bus.Truth();
    for (const busfile::Device &d : file.devices) {
        const lumosim::DeviceTruth *t = TruthAt(truth, d.address);
        QVERIFY(t);
        QCOMPARE(d.motorId, t->motorId);
        QCOMPARE(d.model, t->model);
        QCOMPARE(d.config.MaxPos, t->config[0]);
        QCOMPARE(d.config.SpeedPwm, t->config[4]);
    }
    // A backup is its own first comparison.
    QCOMPARE(Rows(b), (QStringList{"5 | same", "6 | same", "9 | same"}));
    QCOMPARE(Writes(w), 0);
    // The reads are on record under each motor ID.
    QTRY_VERIFY([&] {
        records::RecordStore store(RecordsFileIn(w.sysfs), records::Access::Read);
        return store.LastKnownConfig(kMotor9).has_value();
    }());
}

void BusBackupTest::compareMarksWhatDiffersAndSendsNothing()
{
    BackupWindow w;
    QVERIFY(w.Connect());
    TBusBackupForm *b = w.Open();
    QVERIFY(b && BackedUp(w, b));
    const uint16_t speed = SpeedPwmOf(w, 5);

    // The machine changes: 5 runs slower, 6 is another unit, 9 is gone.
    w.bus.SetHolding(5, Reg::SpeedPwm, static_cast<uint16_t>(speed - 10));
    w.bus.SetHolding(6, Reg::Name, kNewUnit);
    lumosim::Faults silent;
    silent.silent = true;
    w.bus.SetFaults(9, silent);
    w.bus.ClearFrameLog();

    w.dialogs.openAnswers.push_back(w.file);
    QVERIFY(w.Run(b, "compareButton"));
    QCOMPARE(Rows(b), (QStringList{"5 | differs (1 register)",
                                   QStringLiteral("  *SpeedPwm: %1 -> %2").arg(speed).arg(speed - 10),
                                   "6 | 6: was 5A06, now 7B11 (replaced?)", "9 | missing"}));
    QVERIFY2(w.Status(b).contains(QStringLiteral("3 of 3 devices differ")), qPrintable(w.Status(b)));
    QCOMPARE(Writes(w), 0);
    // Differing and replaced devices may be restored; a missing one not.
    Select(b, {"5", "6", "9"});
    QCOMPARE(b->SelectedForRestore(), (std::vector<uint8_t>{5, 6}));
}

void BusBackupTest::restoreWritesOnlyAfterYesAndVerifies()
{
    BackupWindow w;
    QVERIFY(w.Connect());
    TBusBackupForm *b = w.Open();
    QVERIFY(b && BackedUp(w, b));
    const uint16_t speed5 = SpeedPwmOf(w, 5), speed6 = SpeedPwmOf(w, 6);
    w.bus.SetHolding(5, Reg::SpeedPwm, static_cast<uint16_t>(speed5 - 10));
    w.bus.SetHolding(6, Reg::Name, kNewUnit);
    w.bus.SetHolding(6, Reg::SpeedPwm, static_cast<uint16_t>(speed6 - 20));
    w.dialogs.openAnswers.push_back(w.file);
    QVERIFY(w.Run(b, "compareButton"));
    Select(b, {"5", "6"});
    QVERIFY(Child<QPushButton>(b, "restoreButton")->isEnabled());

    // No: nothing written. The question lists every register to be written.
    w.bus.ClearFrameLog();
    w.dialogs.confirmAnswers.push_back(QStringLiteral("no"));
    QVERIFY(w.Run(b, "restoreButton"));
    QCOMPARE(Writes(w), 0);
    const QString asked = w.dialogs.shown.last();
    QVERIFY2(asked.startsWith(QStringLiteral("confirm: ")) &&
                 asked.contains(QStringLiteral("5 (5A05): SpeedPwm %1 \u2192 %2").arg(speed5 - 10).arg(speed5)) &&
                 asked.contains(QStringLiteral("6: was 5A06, now 7B11 (replaced?): SpeedPwm")),
             qPrintable(asked));

    // Yes: both written and read back.
    w.dialogs.confirmAnswers.push_back(QStringLiteral("yes"));
    QVERIFY(w.Run(b, "restoreButton"));
    QCOMPARE(SpeedPwmOf(w, 5), speed5);
    QCOMPARE(SpeedPwmOf(w, 6), speed6);
    QCOMPARE(Writes(w), 2);
    QVERIFY2(Rows(b).contains(QStringLiteral("5 | restored (1 register written and read back)")), qPrintable(Rows(b).join('\n')));
    QVERIFY2(w.Status(b).startsWith(QStringLiteral("2 of 2 devices restored")), qPrintable(w.Status(b)));
    // Each write is on record under the unit that got it.
    QTRY_VERIFY([&] {
        records::RecordStore store(RecordsFileIn(w.sysfs), records::Access::Read);
        const std::optional<ActuatorConfig> c = store.LastKnownConfig(kNewUnit);
        return c && c->SpeedPwm == speed6;
    }());
}

void BusBackupTest::aRefusedRegisterFailsItsDeviceOnly()
{
    BackupWindow w;
    QVERIFY(w.Connect());
    TBusBackupForm *b = w.Open();
    QVERIFY(b && BackedUp(w, b));
    const uint16_t speed5 = SpeedPwmOf(w, 5), speed6 = SpeedPwmOf(w, 6);
    w.bus.SetHolding(5, Reg::SpeedPwm, static_cast<uint16_t>(speed5 - 10));
    w.bus.SetHolding(6, Reg::SpeedPwm, static_cast<uint16_t>(speed6 - 10));
    // 5 reads as before and refuses the write.
    lumosim::Faults refuses;
    refuses.exceptionRegister = Reg::SpeedPwm;
    refuses.exceptionOnWritesOnly = true;
    w.bus.SetFaults(5, refuses);
    w.dialogs.openAnswers.push_back(w.file);
    QVERIFY(w.Run(b, "compareButton"));
    Select(b, {"5", "6"});
    w.dialogs.confirmAnswers.push_back(QStringLiteral("yes"));
    QVERIFY(w.Run(b, "restoreButton"));
    const QStringList rows = Rows(b);
    QVERIFY2(rows.contains(QStringLiteral("5 | failed: writing SpeedPwm to device 5: %1")
                               .arg(QString::fromUtf8(ResultText(Result::ExceptionReply)))),
             qPrintable(rows.join('\n')));
    QVERIFY2(rows.contains(QStringLiteral("6 | restored (1 register written and read back)")), qPrintable(rows.join('\n')));
    QCOMPARE(SpeedPwmOf(w, 5), static_cast<uint16_t>(speed5 - 10));
    QCOMPARE(SpeedPwmOf(w, 6), speed6);
    QVERIFY2(w.Status(b).startsWith(QStringLiteral("1 of 2 devices restored.")), qPrintable(w.Status(b)));
}

void BusBackupTest::twoUnitsWithOneMotorIdSaveNoBackup()
{
    BackupWindow w;
    QVERIFY(w.Connect());
    w.bus.SetHolding(6, Reg::Name, kMotor5);
    TBusBackupForm *b = w.Open();
    QVERIFY(b);
    w.dialogs.saveAnswers.push_back(w.file);
    QVERIFY(w.Run(b, "backUpButton"));
    QCOMPARE(w.Status(b), QStringLiteral("Backup not saved: devices 5 and 6 answer with one motor ID, 5A05; give one "
                                         "of them its own motor ID first."));
    QVERIFY(!QFile::exists(w.file));
}

// The status poll keeps off the bus while the whole bus is read, and polls
// again afterwards as it did before.
void BusBackupTest::theStatusPollPausesForTheWorkAndComesBack()
{
    BackupWindow w;
    QVERIFY(w.Connect() && w.ScanUpTo(10));
    QVERIFY(w.SelectControlDevice(QStringLiteral("5")));
    QTRY_VERIFY(w.W<QPushButton>("motorUpButton")->isEnabled());
    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);
    QTRY_VERIFY(w.StatusTimer()->isActive());
    TBusBackupForm *b = w.Open();
    QVERIFY(b);

    bool pollDuringWork = false;
    QObject::connect(w.StatusTimer(), &QTimer::timeout, b, [&] { pollDuringWork = pollDuringWork || b->Working(); });
    QVERIFY(BackedUp(w, b));
    QVERIFY(!pollDuringWork);
    QVERIFY(w.StatusTimer()->isActive());
    w.bus.ClearFrameLog();
    QTRY_VERIFY(!w.Requests().empty()); // the poll's reads of device 5
    for (const lumosim::LoggedFrame &f : w.Requests())
        QCOMPARE(int(f.bytes[0]), 5);
}

// A file may name a slave address above the scan's 1..127: that device is
// read by itself, and the motor IDs of all devices read are held against
// each other, not only those of one read.
void BusBackupTest::aFileDeviceBeyondTheScanIsReadByItself_data()
{
    QTest::addColumn<uint16_t>("motorAt200");
    QTest::addColumn<QString>("status");
    QTest::newRow("its own motor ID") << uint16_t{0x5AC8} << QStringLiteral("The bus holds what %1 holds.");
    QTest::newRow("the motor ID of device 5")
        << kMotor5
        << QStringLiteral("Comparison not finished: devices 5 and 200 answer with one motor ID, 5A05; give one of "
                          "them its own motor ID first.");
}

void BusBackupTest::aFileDeviceBeyondTheScanIsReadByItself()
{
    QFETCH(uint16_t, motorAt200);
    QFETCH(QString, status);
    FixtureOptions o = QuickScanOptions({{5, Model::LumoD, kMotor5},
                                         {6, Model::LumoP, kMotor6},
                                         {9, Model::LumoB, kMotor9},
                                         {200, Model::LumoD, motorAt200}});
    o.bus.timeScale = 50;
    BackupWindow w(o);
    QVERIFY(w.Connect());
    TBusBackupForm *b = w.Open();
    QVERIFY(b && BackedUp(w, b));
    // The file as another station took it, with the device at 200 in it.
    busfile::BusFile file;
    std::string error;
    QVERIFY2(busfile::ReadBusFile(w.file.toStdString(), file, error), error.c_str());
    busfile::Device far = file.devices.front();
    far.address = 200;
    far.motorId = 0x5AC8;
    file.devices.push_back(far);
    QVERIFY2(busfile::WriteBusFile(w.file.toStdString(), file, error), error.c_str());
    w.bus.SetHolding(200, Reg::Name, motorAt200);
    // The configuration the file has for it: device 5's.
    for (const uint16_t reg : {Reg::MaxPos, Reg::RearLimit, Reg::FrontLimit, Reg::CurrentLimit, Reg::SpeedPwm,
                               Reg::SettingFlag, Reg::VoltageOut, Reg::PosOffset, Reg::HallPotSelect, Reg::BaudRate})
        w.bus.SetHolding(200, reg, w.bus.Holding(5, reg));

    w.dialogs.openAnswers.push_back(w.file);
    QVERIFY(w.Run(b, "compareButton"));
    QCOMPARE(w.Status(b), status.contains(QLatin1String("%1")) ? status.arg(w.file) : status);
    QCOMPARE(Writes(w), 0);
}

void BusBackupTest::theBusIsTakenOnlyWhenFree_data()
{
    QTest::addColumn<QString>("busy");
    QTest::addColumn<QString>("refusal");
    QTest::newRow("an actuator moves") << "move" << "moving";
    QTest::newRow("a scan runs") << "scan" << "a bus scan is running";
    QTest::newRow("not connected") << "disconnected" << "connect to the bus's port first";
}

void BusBackupTest::theBusIsTakenOnlyWhenFree()
{
    QFETCH(QString, busy);
    QFETCH(QString, refusal);
    BackupWindow w;
    if (busy != QStringLiteral("disconnected"))
        QVERIFY(w.Connect());
    if (busy == QStringLiteral("move")) {
        QVERIFY(w.ScanUpTo(6));
        QVERIFY(w.SelectControlDevice(QStringLiteral("5")));
        QTRY_VERIFY(w.W<QPushButton>("motorUpButton")->isEnabled());
        w.Click("motorUpButton");
        QTRY_VERIFY(!w.state().moved.Empty());
    } else if (busy == QStringLiteral("scan")) {
        w.Click("ScanDeviceButton");
        QVERIFY(w.state().isScanning);
    }
    TBusBackupForm *b = w.Open();
    QVERIFY(b);
    w.bus.ClearFrameLog();
    w.dialogs.saveAnswers.push_back(w.file);
    QTest::mouseClick(Child<QPushButton>(b, "backUpButton"), Qt::LeftButton);
    QVERIFY(!b->Working());
    QVERIFY2(w.Status(b).contains(refusal), qPrintable(w.Status(b)));
    QVERIFY(!QFile::exists(w.file));
    if (busy == QStringLiteral("scan"))
        w.Click("ScanDeviceButton");
    if (busy == QStringLiteral("move"))
        QTest::keyClick(w.form.get(), Qt::Key_Escape);
}

void BusBackupTest::stopEscAndALostPortEndTheWorkWithoutAFile_data()
{
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("Stop") << "stop" << "Backup not saved: stopped.";
    QTest::newRow("Esc") << "esc" << "Backup not saved: stopped.";
    QTest::newRow("unplugged") << "unplug" << "Backup not saved: the port was";
    QTest::newRow("window closed") << "close" << "Backup not saved: stopped.";
}

void BusBackupTest::stopEscAndALostPortEndTheWorkWithoutAFile()
{
    QFETCH(QString, how);
    QFETCH(QString, outcome);
    // The whole range at the engine's own pace, so that the work is still
    // going when it is ended.
    FixtureOptions options = ThreeActuators();
    options.clockFactor = 1;
    BackupWindow w(options, 127);
    QVERIFY(w.Connect());
    TBusBackupForm *b = w.Open();
    QVERIFY(b);
    // The work runs inside the click, as the operator's does: what ends it
    // comes from a timer, once it is past the first device.
    bool acted = false, pagesDisabled = false, diagnoseRefused = false;
    QTimer during;
    during.setInterval(5);
    connect(&during, &QTimer::timeout, [&] {
        if (acted || !b->Working() || Child<QProgressBar>(b, "busBackupProgress")->value() <= 9)
            return;
        acted = true;
        pagesDisabled = !w.W<QWidget>("PageControl1")->isEnabled();
        diagnoseRefused = w.form->DiagnoseRefusal().contains(QStringLiteral("Bus backup"));
        if (how == QStringLiteral("stop"))
            QTest::mouseClick(Child<QPushButton>(b, "stopButton"), Qt::LeftButton);
        else if (how == QStringLiteral("esc"))
            QTest::keyClick(b, Qt::Key_Escape);
        else if (how == QStringLiteral("close"))
            w.form->close();
        else
            w.bus.Unplug();
    });
    during.start();
    w.dialogs.saveAnswers.push_back(w.file);
    QTest::mouseClick(Child<QPushButton>(b, "backUpButton"), Qt::LeftButton);
    QVERIFY(acted);
    QVERIFY(pagesDisabled);
    QVERIFY(diagnoseRefused);
    QTRY_VERIFY_WITH_TIMEOUT(!b->Working(), 10000);
    QVERIFY2(w.Status(b).startsWith(outcome), qPrintable(w.Status(b)));
    QVERIFY(!QFile::exists(w.file));
    QVERIFY(w.W<QWidget>("PageControl1")->isEnabled());
}

void BusBackupTest::aBadFileIsAClearErrorAndNothingIsSent()
{
    BackupWindow w;
    QVERIFY(w.Connect());
    TBusBackupForm *b = w.Open();
    QVERIFY(b);
    QFile bad(w.file);
    QVERIFY(bad.open(QIODevice::WriteOnly));
    bad.write("{\"format\": \"lumo-bus\", \"version\": 7, \"devices\": []}");
    bad.close();
    w.dialogs.openAnswers.push_back(w.file);
    QTest::mouseClick(Child<QPushButton>(b, "compareButton"), Qt::LeftButton);
    QVERIFY(!b->Working());
    QVERIFY2(w.dialogs.shown.last().startsWith(QStringLiteral("error: ")) &&
                 w.dialogs.shown.last().contains(QStringLiteral("version")),
             qPrintable(w.dialogs.shown.last()));
    QCOMPARE(w.Requests().size(), size_t{0});
}

void BusBackupTest::aReplacedUnitIsOfferedTheOldConfiguration()
{
    BackupWindow w;
    QVERIFY(w.Connect());
    TBusBackupForm *b = w.Open();
    // The records learn 5A05 and its configuration at 5.
    QVERIFY(b && BackedUp(w, b));
    QTRY_VERIFY([&] {
        records::RecordStore store(RecordsFileIn(w.sysfs), records::Access::Read);
        return store.LastKnownConfig(kMotor9).has_value();
    }());
    const uint16_t speed = SpeedPwmOf(w, 5);
    w.Click("ConnectButton"); // disconnect
    QVERIFY(!w.state().isConnected);

    // 5A05 fails and a new unit, with its factory speed, takes its place.
    w.bus.SetHolding(5, Reg::Name, kNewUnit);
    w.bus.SetHolding(5, Reg::SpeedPwm, static_cast<uint16_t>(speed - 30));
    QVERIFY(w.Connect());
    QVERIFY(w.ScanUpTo(6));
    w.bus.ClearFrameLog();
    w.dialogs.confirmAnswers.push_back(QStringLiteral("yes"));
    QVERIFY(w.ClickDeviceRow(QStringLiteral("5")));
    QTRY_VERIFY2(w.dialogs.shown.size() >= 2 && w.dialogs.shown.last().startsWith(QStringLiteral("info: ")),
                 qPrintable(w.dialogs.shown.join('\n') + QStringLiteral("\npanel 1: ") + w.Panel(1)));
    const QStringList shown = w.dialogs.shown.mid(w.dialogs.shown.size() - 2);
    QVERIFY2(shown[0].startsWith(QStringLiteral("confirm: 5: was 5A05, now 7B11 (replaced?)")) &&
                 shown[0].contains(QStringLiteral("SpeedPwm %1 \u2192 %2").arg(speed - 30).arg(speed)),
             qPrintable(shown[0]));
    QCOMPARE(shown[1], QStringLiteral("info: 5: restored (1 register written and read back) from the records of 5A05"));
    QCOMPARE(SpeedPwmOf(w, 5), speed);
    // Asked once: another click on it asks nothing more.
    QVERIFY(w.ClickDeviceRow(QStringLiteral("6")));
    QVERIFY(w.ClickDeviceRow(QStringLiteral("5")));
    QTest::qWait(50);
    QCOMPARE(w.dialogs.shown.mid(w.dialogs.shown.size() - 2), shown);
}

} // namespace

std::unique_ptr<QObject> MakeBusBackupTest()
{
    return std::make_unique<BusBackupTest>();
}

#include "test_bus_backup.moc"

// The bus scan and the device information of the Bus Devices page, on the
// real window against the virtual bus. The scan's 500 ms tick is made 1 ms
// and the engine's clock runs ten times faster, so a full scan of 127
// addresses takes seconds instead of two minutes.

#include <QProgressBar>
#include <QTableWidget>

#include "modbus/ResultCode.h"
#include "test_bus_scan_fixture.h"

using namespace bustest;

namespace {

enum StopMoment { StopBetweenTicks, StopInProbe, StopInModelRead };

// Every value ProgressBar1 takes, in order.
class ProgressRecord {
public:
    explicit ProgressRecord(BusWindow &w) : bar_(w.W<QProgressBar>("ProgressBar1"))
    {
        QObject::connect(bar_, &QProgressBar::valueChanged, &context_, [this](int value) { values << value; });
    }
    int shown() const { return bar_->value(); }
    QList<int> values;

private:
    QProgressBar *bar_;
    QObject context_;
};

enum ScanEnd { EndStopBetweenTicks, EndStopInProbe, EndDisconnect, EndRestartInProbe };

// Every status probe the scan made, as the sequence of addresses probed.
std::vector<uint8_t> ProbedAddresses(const BusWindow &w)
{
    std::vector<uint8_t> out;
    for (const auto &f : w.Requests())
        if (IsRequest(f, f.bytes[0], Fc::ReadInput, Reg::MotorStatus))
            out.push_back(f.bytes[0]);
    return out;
}

} // namespace

class BusScanTest : public QObject {
    Q_OBJECT
private slots:
    void fullScanListsDevices();
    void stopScanKeepsRows_data();
    void stopScanKeepsRows();
    void restartDuringProbeStartsAtOne();
    void progressEndsWithScan_data();
    void progressEndsWithScan();
    void portClosedEndsScan_data();
    void portClosedEndsScan();
    void busyPausesScan();
    void scanStartedDuringPollTick();
    void rowClickShowsDevice_data();
    void rowClickShowsDevice();
    void silentDeviceInfo();
    void rowClickDuringScanSendsNothing();
};

void BusScanTest::fullScanListsDevices()
{
    BusWindow w(QuickScanOptions({{1, Model::LumoB}, {5, Model::LumoP}}));
    QVERIFY(w.Connect());
    const ConsoleState &s = w.state();
    ProgressRecord progress(w);

    w.Click("ScanDeviceButton");
    QVERIFY(s.isScanning);
    QCOMPARE(s.scanId, uint8_t{1});
    QCOMPARE(w.W<QPushButton>("ScanDeviceButton")->text(), QStringLiteral("Stop Scan"));
    QVERIFY(w.StatusTimer()->isActive());
    QCOMPARE(w.StatusTimer()->interval(), 1);

    QVERIFY(QTest::qWaitFor([&] { return !s.isScanning; }, 60000));
    QCOMPARE(w.DeviceRows(), (QStringList{"1 LUMO-B", "5 LUMO-P"}));
    QCOMPARE(w.ControlItems(), (QStringList{"1", "5"}));
    QCOMPARE(w.W<QPushButton>("ScanDeviceButton")->text(), QStringLiteral("Scan Devices"));
    QVERIFY(w.W<QPushButton>("ScanDeviceButton")->isEnabled());
    QVERIFY(!w.StatusTimer()->isActive());
    QCOMPARE(int(s.scanId), 128);
    QCOMPARE(w.Panel(1), QStringLiteral("GetStatus ID = 127"));
    // The bar climbed with the addresses to 100 % at 127, and is back at 0.
    QVERIFY(progress.values.size() > 50);
    QCOMPARE(progress.values.takeLast(), 0);
    QVERIFY(std::is_sorted(progress.values.begin(), progress.values.end()));
    QCOMPARE(progress.values.last(), 100);
    QCOMPARE(progress.shown(), 0);
    // The last probe (127, absent) is what the status bar reports.
    QCOMPARE(w.Panel(2), QStringLiteral("Read Data Wait..."));

    // On the wire: 1 to 127 in order, never the broadcast address; an
    // absent address costs cmdTryCount probes, a present one a single probe
    // and one model read.
    const std::vector<uint8_t> probed = ProbedAddresses(w);
    QVERIFY(std::is_sorted(probed.begin(), probed.end()));
    QCOMPARE(probed.front(), uint8_t{1});
    QCOMPARE(probed.back(), uint8_t{127});
    const auto log = w.Requests();
    for (int a = 1; a <= 127; ++a) {
        const bool present = a == 1 || a == 5;
        QCOMPARE(CountRequests(log, uint8_t(a), Fc::ReadInput, Reg::MotorStatus), present ? size_t{1} : size_t{3});
        QCOMPARE(CountRequests(log, uint8_t(a), Fc::ReadInput, Reg::Model), present ? size_t{1} : size_t{0});
    }
    QVERIFY(std::none_of(log.begin(), log.end(), [](const auto &f) { return f.bytes[0] == 0; }));
}

void BusScanTest::stopScanKeepsRows_data()
{
    QTest::addColumn<int>("stopAt");
    QTest::addColumn<QStringList>("rows");
    QTest::newRow("between two ticks") << int(StopBetweenTicks) << QStringList{"2 LUMO-D", "4 LUMO-B"};
    // A device that has answered its probe but is not listed yet is not
    // the Control page's: nothing more is read or shown for it.
    QTest::newRow("while a device's probe waits") << int(StopInProbe) << QStringList{"2 LUMO-D"};
    // One whose model is being read has answered: it is still listed.
    QTest::newRow("while its model read waits") << int(StopInModelRead) << QStringList{"2 LUMO-D", "4 LUMO-B"};
}

void BusScanTest::stopScanKeepsRows()
{
    QFETCH(int, stopAt);
    QFETCH(QStringList, rows);
    BusWindow w(QuickScanOptions({{2, Model::LumoD}, {4, Model::LumoB}, {9, Model::LumoB}}));
    lumosim::Faults hallError; // would light the Control page's dot if shown
    hallError.hallError = true;
    w.bus.SetFaults(4, hallError);
    QVERIFY(w.Connect());
    const ConsoleState &s = w.state();

    if (stopAt == StopBetweenTicks) {
        QVERIFY(w.ScanUpTo(6));
    } else {
        const uint16_t waitingFor = stopAt == StopInProbe ? Reg::MotorStatus : Reg::Model;
        InsideTick stop(w,
                        [&] {
                            const auto r = w.Requests();
                            return s.isScanning && !r.empty() && IsRequest(r.back(), 4, Fc::ReadInput, waitingFor);
                        },
                        [&] { w.Click("ScanDeviceButton"); });
        w.Click("ScanDeviceButton");
        QVERIFY(QTest::qWaitFor([&] { return stop.ran(); }, 10000));
    }
    // The tick that was under way ends, and nothing starts the timer again.
    QVERIFY(QTest::qWaitFor([&] { return !s.uiBusy && !w.StatusTimer()->isActive(); }, 5000));
    QTest::qWait(50);
    QVERIFY(!w.StatusTimer()->isActive());
    QVERIFY(!s.isScanning);
    QCOMPARE(w.DeviceRows(), rows);
    QCOMPARE(w.ControlItems().size(), rows.size());
    QCOMPARE(w.W<QPushButton>("ScanDeviceButton")->text(), QStringLiteral("Scan Devices"));
    const auto log = w.Requests();
    QVERIFY(IsRequest(log.back(), stopAt == StopBetweenTicks ? 6 : 4, Fc::ReadInput,
                      stopAt == StopInModelRead ? Reg::Model : Reg::MotorStatus));
    QCOMPARE(w.W<TShape>("HallErrorShape")->PenColor(), QColor(192, 192, 192));
    QCOMPARE(w.W<QLineEdit>("motorPositionEdit")->text(), QStringLiteral("0"));

    // The next scan empties both lists and starts again at 1.
    w.Click("ScanDeviceButton");
    QVERIFY(w.DeviceRows().isEmpty());
    QVERIFY(w.ControlItems().isEmpty());
    QCOMPARE(s.scanId, uint8_t{1});
    QVERIFY(QTest::qWaitFor([&] { return s.scanId > 2; }, 5000));
    w.Click("ScanDeviceButton");
    QCOMPARE(w.DeviceRows(), (QStringList{"2 LUMO-D"}));
}

void BusScanTest::restartDuringProbeStartsAtOne()
{
    // "Stop Scan" and "Scan Devices" both clicked while the probe of a
    // present device waits: the old tick must neither list that device in
    // the new scan's lists nor move the new scan past address 1.
    BusWindow w(QuickScanOptions({{1, Model::LumoB}, {5, Model::LumoP}}));
    QVERIFY(w.Connect());
    const ConsoleState &s = w.state();
    InsideTick restart(w, [&] { return s.isScanning && s.scanId == 5; },
                       [&] {
                           w.Click("ScanDeviceButton");
                           w.Click("ScanDeviceButton");
                       });
    w.Click("ScanDeviceButton");
    QVERIFY(QTest::qWaitFor([&] { return restart.ran(); }, 10000));
    QVERIFY(s.isScanning);
    QVERIFY(QTest::qWaitFor([&] { return s.scanId > 3; }, 10000));
    w.Click("ScanDeviceButton");
    QCOMPARE(w.DeviceRows(), (QStringList{"1 LUMO-B"}));
    QCOMPARE(w.ControlItems(), (QStringList{"1"}));
}

void BusScanTest::progressEndsWithScan_data()
{
    QTest::addColumn<int>("end");
    QTest::newRow("Stop Scan between two probes") << int(EndStopBetweenTicks);
    QTest::newRow("Stop Scan while a probe waits") << int(EndStopInProbe);
    QTest::newRow("Disconnect: the next probe meets the closed port") << int(EndDisconnect);
    QTest::newRow("Stop Scan and Scan Devices while a probe waits") << int(EndRestartInProbe);
}

void BusScanTest::progressEndsWithScan()
{
    QFETCH(int, end);
    BusWindow w(QuickScanOptions({{1, Model::LumoB}}));
    QVERIFY(w.Connect());
    const ConsoleState &s = w.state();
    ProgressRecord progress(w);

    // While address 16 is probed the bar shows 16 / 127.
    int shownAt16 = -1;
    InsideTick at16(w, [&] { return s.isScanning && s.scanId == 16; },
                    [&] {
                        shownAt16 = progress.shown();
                        if (end == EndStopInProbe || end == EndRestartInProbe) {
                            progress.values.clear();
                            w.Click("ScanDeviceButton");
                        }
                        if (end == EndRestartInProbe)
                            w.Click("ScanDeviceButton");
                    });
    w.Click("ScanDeviceButton");
    QVERIFY(QTest::qWaitFor([&] { return at16.ran(); }, 10000));
    QCOMPARE(shownAt16, 12);
    if (end == EndStopBetweenTicks || end == EndDisconnect) {
        QVERIFY(QTest::qWaitFor([&] { return !s.uiBusy; }, 5000));
        progress.values.clear();
        w.Click(end == EndDisconnect ? "ConnectButton" : "ScanDeviceButton");
    }
    if (end == EndRestartInProbe) {
        // The tick of the old scan ends without putting its address back;
        // the new scan starts from the beginning.
        QVERIFY(QTest::qWaitFor([&] { return s.scanId > 4; }, 5000));
        w.Click("ScanDeviceButton");
        QByteArray seen;
        for (const int v : progress.values)
            seen += QByteArray::number(v) + ' ';
        QVERIFY2(std::all_of(progress.values.begin(), progress.values.end(), [](int v) { return v <= 3; }),
                 seen.constData());
    }
    QVERIFY(QTest::qWaitFor([&] { return !s.isScanning && !s.uiBusy; }, 5000));
    QTest::qWait(20);
    QCOMPARE(progress.shown(), 0);
    QVERIFY(!progress.values.isEmpty());
    QCOMPARE(progress.values.last(), 0);
}

void BusScanTest::portClosedEndsScan_data()
{
    QTest::addColumn<bool>("unplug");
    QTest::newRow("Disconnect clicked") << false;
    QTest::newRow("adapter unplugged") << true;
}

void BusScanTest::portClosedEndsScan()
{
    QFETCH(bool, unplug);
    BusWindow w(QuickScanOptions({{1, Model::LumoB}, {3, Model::LumoD}}));
    QVERIFY(w.Connect());
    const ConsoleState &s = w.state();
    // The port goes while the probe of address 5 waits between attempts.
    InsideTick close(w, [&] { return s.isScanning && s.scanId == 5; },
                     [&] {
                         if (unplug)
                             w.bus.Unplug();
                         else
                             w.Click("ConnectButton");
                     });
    w.Click("ScanDeviceButton");
    QVERIFY(QTest::qWaitFor([&] { return close.ran(); }, 10000));
    QVERIFY(QTest::qWaitFor([&] { return !s.isScanning; }, 5000));
    QVERIFY(QTest::qWaitFor([&] { return !s.isConnected; }, 5000));
    QVERIFY(!w.StatusTimer()->isActive());
    // The probe of 5 failed, whether at its next attempt or at the next
    // address's first: it ends the scan there and lists nothing for 5.
    QVERIFY2(s.scanId == 5 || s.scanId == 6, QByteArray::number(s.scanId).constData());
    QCOMPARE(w.DeviceRows(), (QStringList{"1 LUMO-B", "3 LUMO-D"}));
    QCOMPARE(w.ControlItems(), (QStringList{"1", "3"}));
    QCOMPARE(w.W<QPushButton>("ScanDeviceButton")->text(), QStringLiteral("Scan Devices"));
    QVERIFY(!w.W<QPushButton>("ScanDeviceButton")->isEnabled());
    // After an unplug the port watcher closes the port later and resets the
    // result; after "Disconnect" the failed probe is the last word.
    if (!unplug)
        QCOMPARE(w.Panel(2), QStringLiteral("Port Error"));
}

void BusScanTest::busyPausesScan()
{
    BusWindow w(QuickScanOptions({{1, Model::LumoB}}));
    QVERIFY(w.Connect());
    const ConsoleState &s = w.state();
    w.Click("ScanDeviceButton");
    QVERIFY(QTest::qWaitFor([&] { return s.scanId >= 3 && !s.uiBusy; }, 5000));

    // Stands in for a configuration transfer, the only thing that sets the
    // flag: the ticks come and return at once, and the scan waits.
    auto &busy = const_cast<ConsoleState &>(s).isBusy;
    busy = true;
    const uint8_t pausedAt = s.scanId;
    w.bus.ClearFrameLog();
    QTest::qWait(150);
    QCOMPARE(s.scanId, pausedAt);
    QVERIFY(w.Requests().empty());
    QVERIFY(s.isScanning);
    QVERIFY(w.StatusTimer()->isActive());

    busy = false;
    QVERIFY(QTest::qWaitFor([&] { return s.scanId > pausedAt + 1; }, 5000));
    QCOMPARE(ProbedAddresses(w).front(), pausedAt);
    w.Click("ScanDeviceButton");
    QCOMPARE(w.DeviceRows(), (QStringList{"1 LUMO-B"}));
}

void BusScanTest::scanStartedDuringPollTick()
{
    // A scan started while a status poll tick waits on the bus takes the
    // timer over; the poll tick's end must not switch it off again.
    BusWindow w(QuickScanOptions({{1, Model::LumoB}, {2, Model::LumoD}}));
    QVERIFY(w.Connect());
    const ConsoleState &s = w.state();
    QVERIFY(w.ScanUpTo(1));
    QVERIFY(w.SelectControlDevice(QStringLiteral("1")));
    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);
    QVERIFY(w.StatusTimer()->isActive());

    InsideTick scan(w, [&] { return !s.isScanning && w.Panel(1) == QStringLiteral("GetStatus ID = 1"); },
                    [&] { w.Click("ScanDeviceButton"); });
    QVERIFY(QTest::qWaitFor([&] { return scan.ran(); }, 5000));
    QVERIFY(QTest::qWaitFor([&] { return s.scanId > 3 || !s.isScanning; }, 10000));
    QVERIFY(s.isScanning);
    w.Click("ScanDeviceButton");
    QCOMPARE(w.DeviceRows(), (QStringList{"1 LUMO-B", "2 LUMO-D"}));
    QVERIFY(!w.W<QCheckBox>("GetMotorStatusCheckBox")->isChecked());
}

void BusScanTest::rowClickShowsDevice_data()
{
    QTest::addColumn<uint32_t>("model");
    QTest::addColumn<uint16_t>("name");
    QTest::addColumn<uint16_t>("firmware");
    QTest::addColumn<QString>("motorId");
    QTest::addColumn<QString>("major");
    QTest::addColumn<QString>("minor");
    QTest::addColumn<bool>("voltageShown");
    QTest::newRow("LUMO-P shows Voltage out") << Model::LumoP << uint16_t(0x00AB) << uint16_t(0x0102)
                                              << "00AB" << "01" << "02" << true;
    QTest::newRow("LUMO-B hides it") << Model::LumoB << uint16_t(0xBEEF) << uint16_t(0x0C22) << "BEEF" << "12"
                                     << "34" << false;
    QTest::newRow("LUMO-D hides it") << Model::LumoD << uint16_t(0x0000) << uint16_t(0x6300) << "0000" << "99"
                                     << "00" << false;
    QTest::newRow("unknown model") << uint32_t{9} << uint16_t(0x1234) << uint16_t(0x0001) << "1234" << "00"
                                   << "01" << false;
}

void BusScanTest::rowClickShowsDevice()
{
    QFETCH(uint32_t, model);
    QFETCH(uint16_t, name);
    QFETCH(uint16_t, firmware);
    QFETCH(QString, motorId);
    QFETCH(QString, major);
    QFETCH(QString, minor);
    QFETCH(bool, voltageShown);
    BusWindow w(QuickScanOptions({{1, Model::LumoP}, {2, model, name, firmware}}));
    QVERIFY(w.Connect());
    const ConsoleState &s = w.state();
    QVERIFY(w.ScanUpTo(2));
    // Start from the other device, so every field has to change.
    QVERIFY(w.ClickDeviceRow(QStringLiteral("1")));
    QCOMPARE(w.W<QLineEdit>("MotorIDEdit")->text(), QStringLiteral("5A01"));
    w.bus.ClearFrameLog();

    QVERIFY(w.ClickDeviceRow(QStringLiteral("2")));
    QCOMPARE(s.selectedDeviceId, uint8_t{2});
    QCOMPARE(s.selectedModel, model <= Model::LumoB ? model : Model::None);
    QCOMPARE(w.W<QLineEdit>("DeviceIDEdit")->text(), QStringLiteral("2"));
    QCOMPARE(w.W<QLineEdit>("NewDeviceIDEdit")->text(), QStringLiteral("2"));
    QCOMPARE(w.W<QLineEdit>("MotorIDEdit")->text(), motorId);
    QCOMPARE(w.W<QLineEdit>("FwVerMajorEdit")->text(), major);
    QCOMPARE(w.W<QLineEdit>("FwVerMinorEdit")->text(), minor);
    QCOMPARE(!w.W<QComboBox>("VoltageOutComboBox")->isHidden(), voltageShown);
    QCOMPARE(!w.W<QLabel>("VoltageOutLabel")->isHidden(), voltageShown);
    QCOMPARE(w.Panel(2), QStringLiteral("No Error"));
    QVERIFY(w.W<QPushButton>("LoadConfigButton")->isEnabled());
    QVERIFY(!w.W<QPushButton>("modifyDeviceIDButton")->isEnabled());
    const auto log = w.Requests();
    QCOMPARE(log.size(), size_t{2});
    QVERIFY(IsRequest(log[0], 2, Fc::ReadHolding, Reg::Name));
    QVERIFY(IsRequest(log[1], 2, Fc::ReadInput, Reg::FwVersion));
}

void BusScanTest::silentDeviceInfo()
{
    BusWindow w(QuickScanOptions({{2, Model::LumoB}}));
    QVERIFY(w.Connect());
    const ConsoleState &s = w.state();
    QVERIFY(w.ScanUpTo(2));
    QVERIFY(w.ClickDeviceRow(QStringLiteral("2")));
    QCOMPARE(w.W<QLineEdit>("MotorIDEdit")->text(), QStringLiteral("5A02"));

    // The device-information reads make three attempts even when the
    // operator asked for five on the Debug page.
    auto *tries = w.W<TUpDown>("CMDTryCountUpDown");
    for (int i = 0; i < 2; ++i)
        QTest::mouseClick(tries->findChild<QWidget *>(QStringLiteral("up")), Qt::LeftButton);

    lumosim::Faults silent;
    silent.silent = true;
    w.bus.SetFaults(2, silent);
    w.bus.ClearFrameLog();
    QVERIFY(w.ClickDeviceRow(QStringLiteral("2")));
    QCOMPARE(s.selectedDeviceId, uint8_t{2});
    QCOMPARE(w.W<QLineEdit>("MotorIDEdit")->text(), QStringLiteral("????"));
    QCOMPARE(w.W<QLineEdit>("FwVerMajorEdit")->text(), QStringLiteral("00"));
    QCOMPARE(w.W<QLineEdit>("FwVerMinorEdit")->text(), QStringLiteral("00"));
    QCOMPARE(w.Panel(2), QStringLiteral("Read Error"));
    QVERIFY(w.W<QPushButton>("LoadConfigButton")->isEnabled()); // the selection stands
    const auto log = w.Requests();
    QCOMPARE(CountRequests(log, 2, Fc::ReadHolding, Reg::Name), size_t{3});
    QCOMPARE(CountRequests(log, 2, Fc::ReadInput, Reg::FwVersion), size_t{3});
    QCOMPARE(log.size(), size_t{6});
}

void BusScanTest::rowClickDuringScanSendsNothing()
{
    BusWindow w(QuickScanOptions({{1, Model::LumoP}, {2, Model::LumoB}}));
    QVERIFY(w.Connect());
    const ConsoleState &s = w.state();
    w.Click("ScanDeviceButton");
    QVERIFY(QTest::qWaitFor([&] { return s.scanId > 3 && !s.uiBusy; }, 5000));
    w.bus.ClearFrameLog();
    QVERIFY(w.ClickDeviceRow(QStringLiteral("1")));
    QCOMPARE(s.selectedDeviceId, uint8_t{1});
    QCOMPARE(w.W<QLineEdit>("DeviceIDEdit")->text(), QStringLiteral("1"));
    QVERIFY(!w.W<QComboBox>("VoltageOutComboBox")->isHidden());
    QCOMPARE(w.W<QLineEdit>("MotorIDEdit")->text(), QString());
    QCOMPARE(w.W<QLineEdit>("FwVerMajorEdit")->text(), QStringLiteral("00"));
    QVERIFY(!w.W<QPushButton>("LoadConfigButton")->isEnabled());
    QVERIFY(!w.W<QPushButton>("LearnButton")->isEnabled());
    const auto log = w.Requests();
    QCOMPARE(CountRequests(log, 1, Fc::ReadHolding, Reg::Name), size_t{0});
    QCOMPARE(CountRequests(log, 1, Fc::ReadInput, Reg::FwVersion), size_t{0});

    w.Click("ScanDeviceButton"); // stop: now the selected device can be read
    QVERIFY(w.W<QPushButton>("LoadConfigButton")->isEnabled());
}

std::unique_ptr<QObject> MakeBusScanTest()
{
    return std::make_unique<BusScanTest>();
}

#include "test_bus_scan.moc"

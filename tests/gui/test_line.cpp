// Every workflow of the window over the virtual bus run as a real RS-485
// line: time on the wire at each of the four baud rates, the devices'
// turnaround, a USB adapter that hands bytes over in 16 ms chunks, and an
// adapter that echoes what it sends. The window keeps its own timings (the
// reply wait and gap of the chosen baud rate); only the timer intervals
// that merely pace the workflows are shortened.

#include <QComboBox>
#include <QPlainTextEdit>
#include <QTabWidget>

#include "modbus/ResultCode.h"
#include "test_bus_scan_fixture.h"

using namespace bustest;

namespace {

constexpr uint8_t kLumoB = 1;
constexpr uint8_t kLumoP = 2;
constexpr uint8_t kRenewedP = 7;

// The items of BaudRateComboBox, in order.
const QList<int> kBaudItems = {115200, 4800, 9600, 19200};

struct LineCase {
    uint32_t baud = 115200;
    uint32_t adapterLatencyMs = 16;
    bool echo = false;
};

FixtureOptions OnTheLine(const LineCase &line)
{
    FixtureOptions o;
    o.realLine = true;
    o.devices = {{kLumoB, Model::LumoB}, {kLumoP, Model::LumoP}};
    o.bus.baud = line.baud;
    o.bus.adapterLatencyMs = line.adapterLatencyMs;
    o.bus.echo = line.echo;
    o.bus.timeScale = 8.0; // motion and learning; the wire keeps real time
    o.bus.learnDurationMs = 2400;
    o.timings.scanTickMs = 20;
    o.timings.statusPollMs = 100;
    o.timings.learnWatchMs = 50;
    o.timings.cycleTestFirstStepMs = 20;
    o.timings.cycleTestSecondMs = 100;
    return o;
}

void ShowPage(BusWindow &w, const char *page)
{
    auto *tabs = w.W<QTabWidget>("PageControl1");
    QWidget *widget = w.W<QWidget>(page);
    tabs->setTabVisible(tabs->indexOf(widget), true);
    tabs->setCurrentWidget(widget);
}

bool ConnectAt(BusWindow &w, uint32_t baud)
{
    auto *combo = w.W<QComboBox>("BaudRateComboBox");
    const int item = static_cast<int>(kBaudItems.indexOf(static_cast<int>(baud)));
    combo->setCurrentIndex(item);
    emit combo->activated(item);
    return w.Connect();
}

QStringList MemoLines(BusWindow &w)
{
    const QString text = w.W<QPlainTextEdit>("debugMemo")->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

} // namespace

Q_DECLARE_METATYPE(LineCase)
Q_DECLARE_METATYPE(lumosim::BaudChange)

class LineTest : public QObject {
    Q_OBJECT
private slots:
    void everyWorkflow_data();
    void everyWorkflow();
    void writtenBaudRate_data();
    void writtenBaudRate();
};

void LineTest::everyWorkflow_data()
{
    QTest::addColumn<LineCase>("line");
    for (const int baud : kBaudItems)
        QTest::newRow(qPrintable(QStringLiteral("%1 baud, 16 ms adapter").arg(baud)))
            << LineCase{static_cast<uint32_t>(baud), 16, false};
    QTest::newRow("4800 baud, echoing adapter") << LineCase{4800, 16, true};
    QTest::newRow("115200 baud, echoing adapter") << LineCase{115200, 16, true};
    QTest::newRow("9600 baud, 1 ms adapter") << LineCase{9600, 1, false};
}

void LineTest::everyWorkflow()
{
    QFETCH(LineCase, line);
    BusWindow w(OnTheLine(line));
    QVERIFY(ConnectAt(w, line.baud));

    // Scan: both devices found with their models.
    QVERIFY(w.ScanUpTo(kLumoP, 60000));
    QCOMPARE(w.DeviceRows(), (QStringList{QStringLiteral("1 LUMO-B"), QStringLiteral("2 LUMO-P")}));

    // Device information.
    ShowPage(w, "DevicePage");
    QVERIFY(w.ClickDeviceRow(QStringLiteral("1")));
    QCOMPARE(w.W<QLineEdit>("MotorIDEdit")->text(), QStringLiteral("5A01"));
    QCOMPARE(w.W<QLineEdit>("FwVerMinorEdit")->text(), QStringLiteral("02"));

    // Configuration read, then written back unchanged.
    ShowPage(w, "SettingPage");
    w.dialogs.shown.clear();
    w.Click("LoadConfigButton");
    QCOMPARE(w.dialogs.shown, QStringList{QStringLiteral("info: Get device config successfully !")});
    QCOMPARE(w.W<QLineEdit>("StrokeEdit")->text(), QStringLiteral("1000"));
    w.Click("UpdateConfigButton");
    QCOMPARE(w.dialogs.shown.value(1), QStringLiteral("info: Update device config successfully !"));

    // Control: select, move up, and the poll follows until it stops.
    QVERIFY(w.SelectControlDevice(QStringLiteral("1")));
    QVERIFY(QTest::qWaitFor([&] { return w.state().posRangeKnown; }, 3000));
    QCOMPARE(w.W<QLabel>("PosRangeLabel")->text(), QStringLiteral("( 0000 - 1000 )"));
    w.Click("motorUpButton");
    QCOMPARE(w.Panel(2), QStringLiteral("No Error"));
    QVERIFY(QTest::qWaitFor([&] { return w.W<QLineEdit>("motorPositionEdit")->text() == QStringLiteral("1000") &&
                                         !w.StatusTimer()->isActive() && !w.state().uiBusy; },
                            10000));
    QCOMPARE(w.W<QLabel>("MotorStatusLabel")->text(), QStringLiteral("\u25A0"));

    // Learning on the LUMO-P: its learned stroke comes back to the page.
    ShowPage(w, "DevicePage");
    QVERIFY(w.ClickDeviceRow(QStringLiteral("2")));
    ShowPage(w, "SettingPage");
    w.Click("LearnButton");
    QCOMPARE(w.Panel(1), QStringLiteral("Motor Learn..."));
    QVERIFY(QTest::qWaitFor([&] { return w.Panel(1) == QStringLiteral("Motor Learn end"); }, 10000));
    QCOMPARE(w.W<QLineEdit>("StrokeEdit")->text(), QStringLiteral("980"));

    // Address change of the LUMO-P.
    ShowPage(w, "DevicePage");
    auto *newId = w.W<QLineEdit>("NewDeviceIDEdit");
    newId->setText(QString::number(kRenewedP));
    w.dialogs.shown.clear();
    QVERIFY(w.W<QPushButton>("modifyDeviceIDButton")->isEnabled());
    w.Click("modifyDeviceIDButton");
    QVERIFY2(w.dialogs.shown.size() == 1, qPrintable(w.Panel(2)));
    QCOMPARE(w.dialogs.shown, QStringList{QStringLiteral("info: Update device ID (Address) successfully !")});
    QVERIFY(w.bus.HasDevice(kRenewedP));

    // A Debug page request to the renewed address.
    ShowPage(w, "DebugPage");
    w.W<QLineEdit>("AddressEdit")->setText(QString::number(kRenewedP));
    for (const char *list : {"FunCodeComboBox", "RegisterComboBox", "RegCountsComboBox"}) {
        auto *combo = w.W<QComboBox>(list);
        emit combo->activated(combo->currentIndex()); // holding register 0x000F, one of it
    }
    w.bus.ClearFrameLog();
    w.Click("dSendCMDButton");
    QCOMPARE(w.Panel(2), QStringLiteral("No Error"));
    const auto requests = w.Requests();
    QCOMPARE(requests.size(), size_t{1});
    QCOMPARE(int{requests[0].bytes[0]}, int{kRenewedP});
    QCOMPARE(int{requests[0].bytes[1]}, int{Fc::ReadHolding});

    // The cycle test: two rounds of up, stop, down, stop without an error.
    w.Click("dClearButton");
    QTest::mouseDClick(w.W<QPlainTextEdit>("debugMemo")->viewport(), Qt::LeftButton);
    w.W<QLineEdit>("AddressEdit")->setText(QString::number(kLumoB));
    w.bus.ClearFrameLog();
    w.Click("cycleTestStartButton");
    QVERIFY(QTest::qWaitFor([&] { return CountRequests(w.Requests(), kLumoB, Fc::WriteSingle, Reg::ActionCmdIn) >= 8; },
                            15000));
    w.Click("cycleTestStopButton");
    QCOMPARE(MemoLines(w), QStringList());
    QCOMPARE(w.Panel(0), QStringLiteral("Connected"));
}

void LineTest::writtenBaudRate_data()
{
    // When a device starts talking at a BaudRate written to it is the
    // device's business; the configuration write sends BaudRate before
    // VoltageOut, so it depends on it whether the write completes.
    QTest::addColumn<lumosim::BaudChange>("change");
    QTest::addColumn<QString>("dialog");
    QTest::newRow("new rate at the next power-up")
        << lumosim::BaudChange::PowerUp << QStringLiteral("info: Update device config successfully !");
    QTest::newRow("new rate at once") << lumosim::BaudChange::Now
                                      << QStringLiteral("error: Failed to update device configuration !");
}

void LineTest::writtenBaudRate()
{
    QFETCH(lumosim::BaudChange, change);
    QFETCH(QString, dialog);
    FixtureOptions options = OnTheLine({});
    options.devices = {{kLumoB, Model::LumoB}};
    options.bus.baudChange = change;
    BusWindow w(options);
    w.bus.SetHolding(kLumoB, Reg::VoltageOut, Voltage::FiveVolt);
    QVERIFY(ConnectAt(w, 115200));
    QVERIFY(w.ScanUpTo(kLumoB));
    ShowPage(w, "DevicePage");
    QVERIFY(w.ClickDeviceRow(QStringLiteral("1")));
    ShowPage(w, "SettingPage");
    w.Click("LoadConfigButton");
    w.dialogs.shown.clear();

    w.W<TRadioGroup>("BUSBaudRateRadioGroup")->SetItemIndex(2); // 9600
    w.Click("UpdateConfigButton");
    QCOMPARE(w.dialogs.shown, QStringList{dialog});
    QCOMPARE(w.bus.Holding(kLumoB, Reg::BaudRate), uint16_t{2});
    if (change == lumosim::BaudChange::PowerUp) {
        // Everything was written; the device still talks at 115200 until
        // it is switched off and on.
        QCOMPARE(w.bus.Holding(kLumoB, Reg::VoltageOut), uint16_t{Voltage::TenVolt});
        QCOMPARE(w.bus.DeviceBaud(kLumoB), uint32_t{115200});
        w.bus.PowerCycle();
    } else {
        // The device answered the BaudRate write at the old rate and then
        // switched: the VoltageOut write that follows went unheard.
        QCOMPARE(w.bus.Holding(kLumoB, Reg::VoltageOut), uint16_t{Voltage::FiveVolt});
    }
    QCOMPARE(w.bus.DeviceBaud(kLumoB), uint32_t{9600});

    // From now on it is found at 9600 only.
    QVERIFY(w.ScanUpTo(kLumoB));
    QCOMPARE(w.DeviceRows(), QStringList());
    w.Click("ConnectButton"); // disconnect
    QVERIFY(ConnectAt(w, 9600));
    QVERIFY(w.ScanUpTo(kLumoB));
    QCOMPARE(w.DeviceRows(), QStringList{QStringLiteral("1 LUMO-B")});
}

std::unique_ptr<QObject> MakeLineTest()
{
    return std::make_unique<LineTest>();
}

#include "test_line.moc"

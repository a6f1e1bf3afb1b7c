// The Bus monitor on the real window against the virtual bus: how it is
// opened, the decoded frames of real workflows, pause, clear, the address
// filter, saving, the per-device counters; and "Diagnose" against the line
// model with each fault it must tell (the doctor's range is cut to 1..3 so
// that a run takes seconds).

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QRegularExpression>
#include <QShortcut>
#include <QTabWidget>

#include "sidewindows/BusMonitor.h"
#include "modbus/ResultCode.h"
#include "test_bus_scan_fixture.h"

using namespace bustest;

namespace {

QLabel *StatusPanel(BusWindow &w, int panel)
{
    const QList<QLabel *> panels =
        w.W<TStatusBar>("OptionStatusBar")->findChildren<QLabel *>(Qt::FindDirectChildrenOnly);
    return panels.value(panel);
}

TBusMonitorForm *Monitor(BusWindow &w)
{
    return w.form->findChild<TBusMonitorForm *>(QStringLiteral("BusMonitorForm"));
}

TBusMonitorForm *OpenByShortcut(BusWindow &w)
{
    w.form->activateWindow();
    if (!QTest::qWaitForWindowActive(w.form.get()))
        return nullptr;
    QTest::keyClick(w.form.get(), Qt::Key_M, Qt::ControlModifier);
    TBusMonitorForm *m = Monitor(w);
    return m && QTest::qWaitForWindowExposed(m) ? m : nullptr;
}

QStringList ViewLines(TBusMonitorForm *m)
{
    const QString text = Child<QPlainTextEdit>(m, "framesView")->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// A listed line without its time: "M>S 01 read input ...".
QString Words(const QString &line)
{
    static const QRegularExpression timed(QStringLiteral("^ *\\d+\\.\\d{3}  (.*)$"));
    const QRegularExpressionMatch match = timed.match(line);
    return match.hasMatch() ? match.captured(1) : QStringLiteral("<untimed> ") + line;
}

QStringList AllWords(TBusMonitorForm *m)
{
    QStringList out;
    for (const QString &line : ViewLines(m))
        out << Words(line);
    return out;
}

// The devices table as "address: requests good silent crc unreadable
// exceptions echoes collisions".
QStringList Counters(TBusMonitorForm *m)
{
    auto *table = Child<QTableWidget>(m, "devicesTable");
    QStringList rows;
    for (int r = 0; r < table->rowCount(); ++r) {
        QStringList cells;
        for (int c = 1; c <= 8; ++c)
            cells << table->item(r, c)->text();
        rows << table->item(r, 0)->text() + QStringLiteral(": ") + cells.join(QLatin1Char(' '));
    }
    return rows;
}

qsizetype CountMatching(const QStringList &lines, const QString &pattern)
{
    const QRegularExpression re(pattern);
    return std::count_if(lines.begin(), lines.end(), [&](const QString &l) { return re.match(l).hasMatch(); });
}

// The window on the line model at 115200 baud, Diagnose probing 1..3.
FixtureOptions LineOptions(std::vector<BusDevice> devices)
{
    FixtureOptions o;
    o.realLine = true;
    o.devices = std::move(devices);
    o.timings.scanTickMs = 20;
    o.timings.statusPollMs = 100;
    o.doctorFirstAddress = 1;
    o.doctorLastAddress = 3;
    return o;
}

// Clicks Diagnose; the doctor runs inside the click. Returns the findings
// (the lines before the device list).
QStringList Diagnose(TBusMonitorForm *m)
{
    QTest::mouseClick(Child<QPushButton>(m, "diagnoseButton"), Qt::LeftButton);
    const QString text = Child<QPlainTextEdit>(m, "findingsView")->toPlainText();
    return text.section(QStringLiteral("\n\n"), 0, 0).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
}

BusDevice Shared(uint8_t address)
{
    BusDevice d{address, Model::LumoD};
    d.sharesAddress = true;
    return d;
}

struct DoctorCase {
    lumosim::BusOptions bus;
    std::vector<BusDevice> devices;
    QString finding; // a pattern one finding line must match
    bool only;       // and it must be the only finding
    QString absent;  // a pattern no finding line may match; empty: none
};

const QString ProbeOf1 = QStringLiteral("M>S 01 read input 0x003F..0x0040 MotorStatus..MotorFlags x2");
const QString ProbeOf2 = QStringLiteral("M>S 02 read input 0x003F..0x0040 MotorStatus..MotorFlags x2");

} // namespace

Q_DECLARE_METATYPE(DoctorCase)

class BusMonitorTest : public QObject {
    Q_OBJECT
private slots:
    void opensFromStatusBarAndShortcut();
    void diagnoseFindsTheFault_data();
    void diagnoseFindsTheFault();
    void diagnoseWaitsForAFreeBus();
    void diagnosePausesThePollAndCanBeStopped();
    void scanAndReadAreDecodedAndCounted();
    void pauseAndClear();
    void filterAndSave();
};

void BusMonitorTest::opensFromStatusBarAndShortcut()
{
    BusWindow w(QuickScanOptions({{1, Model::LumoB}}));
    QLabel *result = StatusPanel(w, 2);
    QVERIFY(result);
    QVERIFY2(result->toolTip().contains(QStringLiteral("Double-click")) &&
                 result->toolTip().contains(QStringLiteral("Ctrl+M")),
             qPrintable(result->toolTip()));
    QVERIFY(!Monitor(w));

    // Another panel does not open it; the result panel does.
    QTest::mouseDClick(StatusPanel(w, 0), Qt::LeftButton);
    QVERIFY(!Monitor(w) || !Monitor(w)->isVisible());
    QTest::mouseDClick(result, Qt::LeftButton);
    TBusMonitorForm *m = Monitor(w);
    QVERIFY(m && m->isVisible());
    QVERIFY(m->isWindow());
    QCOMPARE(m->windowModality(), Qt::NonModal);
    // The main window still takes input while the monitor is open.
    QVERIFY(w.Connect());

    m->close();
    QVERIFY(!m->isVisible());
    QCOMPARE(OpenByShortcut(w), m); // the same window again, not a second one
    QVERIFY(m->isVisible());
    QCOMPARE(w.form->findChildren<TBusMonitorForm *>().size(), qsizetype{1});
}

void BusMonitorTest::scanAndReadAreDecodedAndCounted()
{
    BusWindow w(QuickScanOptions({{1, Model::LumoB}}));
    TBusMonitorForm *m = OpenByShortcut(w);
    QVERIFY(m);
    QVERIFY(w.Connect());
    QVERIFY(w.ScanUpTo(2));

    // Address 1 answers its probe; address 2 is silent to all three tries,
    // and each of its requests carries the result the transaction ended with.
    QVERIFY(QTest::qWaitFor([&] { return AllWords(m).count(ProbeOf2 + QStringLiteral("  [Read Data Wait...]")) == 3; },
                            5000));
    const QStringList words = AllWords(m);
    const qsizetype probe = words.indexOf(ProbeOf1);
    QVERIFY2(probe >= 0, qPrintable(words.join(QLatin1Char('\n'))));
    QVERIFY2(words.value(probe + 1).startsWith(QStringLiteral("S>M 01 reply MotorStatus=")),
             qPrintable(words.value(probe + 1)));
    QVERIFY(words.indexOf(ProbeOf2 + QStringLiteral("  [Read Data Wait...]")) > probe); // newest last
    QVERIFY(QTest::qWaitFor([&] { return Counters(m).size() == 2; }, 2000));
    // requests good silent crc unreadable exceptions echoes collisions
    const QStringList counters = Counters(m);
    QVERIFY2(counters.value(0).startsWith(QStringLiteral("1: ")) && counters.value(0).endsWith(QStringLiteral(" 0 0 0 0 0 0")),
             qPrintable(counters.value(0)));
    QCOMPARE(counters.value(1), QStringLiteral("2: 3 0 3 0 0 0 0 0"));
    auto *table = Child<QTableWidget>(m, "devicesTable");
    QVERIFY(table->item(0, 9)->text().toInt() >= 0 && table->item(0, 9)->text() != QStringLiteral("-"));
    QCOMPARE(table->item(1, 9)->text(), QStringLiteral("-")); // no reply, no latency
    // The window reads a reply after its fixed wait: the column says it
    // shows when the reply was read, not when the device answered.
    QCOMPARE(table->horizontalHeaderItem(9)->text(), QStringLiteral("Reply read after min ms"));
    QVERIFY(table->horizontalHeaderItem(9)->toolTip().contains(QStringLiteral("fixed reply wait")));

    // A configuration read of device 1: register by register, each reply
    // named from the register map.
    QVERIFY(w.ClickDeviceRow(QStringLiteral("1")));
    w.W<QTabWidget>("PageControl1")->setCurrentWidget(w.W<QWidget>("SettingPage"));
    w.Click("LoadConfigButton");
    const QString read = QStringLiteral("M>S 01 read holding 0x0020 MaxPos");
    QVERIFY(QTest::qWaitFor([&] { return AllWords(m).contains(read); }, 5000));
    const QStringList after = AllWords(m);
    QCOMPARE(after.value(after.indexOf(read) + 1), QStringLiteral("S>M 01 reply MaxPos=1000"));

    // A new connection starts the counters and the list afresh.
    w.Click("ConnectButton");
    QVERIFY(w.Connect());
    QVERIFY(QTest::qWaitFor([&] { return Counters(m).isEmpty() && ViewLines(m).isEmpty(); }, 2000));
}

void BusMonitorTest::pauseAndClear()
{
    BusWindow w(QuickScanOptions({{1, Model::LumoB}}));
    QVERIFY(w.Connect());
    QVERIFY(w.ScanUpTo(1));
    QVERIFY(w.SelectControlDevice(QStringLiteral("1")));
    TBusMonitorForm *m = OpenByShortcut(w);
    QVERIFY(m);
    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);
    QVERIFY(w.StatusTimer()->isActive());
    auto requestsOf1 = [&] { return Counters(m).value(0).section(QLatin1Char(' '), 1, 1).toInt(); };
    QVERIFY(QTest::qWaitFor([&] { return ViewLines(m).size() > 10; }, 5000));

    // Paused: the list stands still while the poll goes on and is counted.
    auto *pause = Child<QPushButton>(m, "pauseButton");
    QTest::mouseClick(pause, Qt::LeftButton);
    QCOMPARE(pause->text(), QStringLiteral("Resume"));
    const QStringList frozen = ViewLines(m);
    const int requestsAtPause = requestsOf1();
    QTest::qWait(3 * TBusMonitorForm::RefreshMs);
    QVERIFY(QTest::qWaitFor([&] { return requestsOf1() > requestsAtPause + 5; }, 5000));
    QCOMPARE(ViewLines(m), frozen);

    // Resumed: what came meanwhile is listed too, in order.
    QTest::mouseClick(pause, Qt::LeftButton);
    QCOMPARE(pause->text(), QStringLiteral("Pause"));
    const QStringList resumed = ViewLines(m);
    QVERIFY(resumed.size() >= frozen.size() + 10);
    QCOMPARE(resumed.mid(0, frozen.size()), frozen);

    // Clear empties the list; the counters stay and new frames follow.
    QTest::mouseClick(Child<QPushButton>(m, "clearButton"), Qt::LeftButton);
    QVERIFY(ViewLines(m).size() < 5);
    QVERIFY(requestsOf1() >= requestsAtPause);
    QVERIFY(QTest::qWaitFor([&] { return ViewLines(m).size() > 5; }, 5000));
    QVERIFY(!ViewLines(m).contains(frozen.last()));
    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);
}

void BusMonitorTest::filterAndSave()
{
    BusWindow w(QuickScanOptions({{1, Model::LumoB}, {3, Model::LumoD}}));
    TBusMonitorForm *m = OpenByShortcut(w);
    QVERIFY(m);
    QVERIFY(w.Connect());
    QVERIFY(w.ScanUpTo(3));
    QVERIFY(QTest::qWaitFor([&] { return Counters(m).size() == 3; }, 5000));
    QTest::qWait(2 * TBusMonitorForm::RefreshMs);
    const QStringList all = AllWords(m);

    // Address 3 only: its requests and replies, none of 1 or 2.
    auto *filter = Child<QLineEdit>(m, "addressFilterEdit");
    QTest::keyClicks(filter, QStringLiteral("3"));
    const QStringList only3 = AllWords(m);
    QVERIFY(!only3.isEmpty());
    for (const QString &words : only3)
        QVERIFY2(words.startsWith(QStringLiteral("M>S 03 ")) || words.startsWith(QStringLiteral("S>M 03 ")),
                 qPrintable(words));
    QCOMPARE(only3.size(), CountMatching(all, QStringLiteral("^(M>S|S>M) 03 ")));

    // .txt: the listed lines, filter and times included.
    QTemporaryDir dir;
    const QString txt = dir.filePath(QStringLiteral("frames.txt"));
    w.dialogs.saveAnswers = {txt};
    QTest::mouseClick(Child<QPushButton>(m, "saveButton"), Qt::LeftButton);
    QFile txtFile(txt);
    QVERIFY(txtFile.open(QIODevice::ReadOnly | QIODevice::Text));
    QCOMPARE(QString::fromUtf8(txtFile.readAll()), ViewLines(m).join(QLatin1Char('\n')) + QLatin1Char('\n'));

    // .csv: every frame once the filter is emptied, one row each, the
    // decoded words quoted.
    filter->clear();
    QCOMPARE(AllWords(m), all);
    const QString csv = dir.filePath(QStringLiteral("frames.csv"));
    w.dialogs.saveAnswers = {csv};
    QTest::mouseClick(Child<QPushButton>(m, "saveButton"), Qt::LeftButton);
    QFile csvFile(csv);
    QVERIFY(csvFile.open(QIODevice::ReadOnly | QIODevice::Text));
    const QStringList rows = QString::fromUtf8(csvFile.readAll()).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    QCOMPARE(rows.value(0), QStringLiteral("time,direction,address,bytes,decoded,result"));
    QCOMPARE(rows.size(), all.size() + 1);
    const QByteArray probe = Hex(Frame({1, Fc::ReadInput, 0x00, 0x3F, 0x00, 0x02}));
    const QString probeRow = QStringLiteral("^\\d+\\.\\d{3},M>S,1,%1,\"%2\",\"No Error\"$")
                                 .arg(QRegularExpression::escape(QString::fromLatin1(probe)),
                                      QRegularExpression::escape(ProbeOf1));
    QVERIFY2(CountMatching(rows, probeRow) == 1, qPrintable(rows.mid(0, 6).join(QLatin1Char('\n'))));
    QCOMPARE(CountMatching(rows, QStringLiteral("^[0-9.]+,M>S,2,[0-9A-F ]+,\".*\",\"Read Data Wait...\"$")), 3);
    QVERIFY(CountMatching(rows, QStringLiteral("^[0-9.]+,S>M,3,03 04 04 .*,\"No Error\"$")) > 0);

    // An existing file is replaced only when the operator says so.
    w.dialogs.overwrite = false;
    w.dialogs.saveAnswers = {csv};
    w.dialogs.shown.clear();
    QTest::mouseClick(Child<QPushButton>(m, "saveButton"), Qt::LeftButton);
    QCOMPARE(w.dialogs.shown.size(), qsizetype{3}); // save, overwrite?, save (cancelled)
    QVERIFY(w.dialogs.shown.value(1).startsWith(QStringLiteral("overwrite? ")));
}

void BusMonitorTest::diagnoseFindsTheFault_data()
{
    QTest::addColumn<DoctorCase>("c");
    auto line = [](uint32_t baud, bool echo, double bitErrorRate) {
        lumosim::BusOptions o;
        o.baud = baud;
        o.echo = echo;
        o.bitErrorRate = bitErrorRate;
        o.seed = 7;
        return o;
    };
    const QString shared = QStringLiteral("two devices answer at address 1: leave one connected and give it a new "
                                          "address (Renew ID / lumoctl set-address)");
    QTest::newRow("clean bus") << DoctorCase{line(115200, false, 0), {{1, Model::LumoB}, {2, Model::LumoD}},
                                             QStringLiteral("no problem found"), true, {}};
    QTest::newRow("echoing adapter")
        << DoctorCase{line(115200, true, 0), {{2, Model::LumoD}},
                      QStringLiteral("your adapter echoes what it sends: echo handling is on"), true, {}};
    QTest::newRow("two devices at one address")
        << DoctorCase{line(115200, false, 0), {{1, Model::LumoD}, Shared(1), {2, Model::LumoD}},
                      QRegularExpression::escape(shared), true, {}};
    // About half the long replies get a flipped bit: garbled now and then,
    // never taken for a shared address.
    QTest::newRow("noise") << DoctorCase{line(115200, false, 1e-3), {{1, Model::LumoD}, {2, Model::LumoD}},
                                         QStringLiteral("^replies from address 1( and 2)? are garbled now and then"), false,
                                         QStringLiteral("two devices|no problem found")};
    QTest::newRow("devices at 9600, connected at 115200")
        << DoctorCase{line(9600, false, 0), {{1, Model::LumoD}, {3, Model::LumoD}},
                      QStringLiteral("^devices answer at 9600 baud, not 115200: connect at 9600$"), true, {}};
}

void BusMonitorTest::diagnoseFindsTheFault()
{
    QFETCH(DoctorCase, c);
    FixtureOptions options = LineOptions(c.devices);
    options.bus = c.bus;
    BusWindow w(options);
    QVERIFY(w.Connect());
    TBusMonitorForm *m = OpenByShortcut(w);
    QVERIFY(m);

    const QStringList findings = Diagnose(m);
    const QString all = findings.join(QLatin1Char('\n'));
    QVERIFY2(CountMatching(findings, c.finding) >= 1, qPrintable(all));
    if (c.only)
        QVERIFY2(findings.size() == 1, qPrintable(all));
    if (!c.absent.isEmpty())
        QVERIFY2(CountMatching(findings, c.absent) == 0, qPrintable(all));

    // The window has its connection back, at the rate it was made at.
    QCOMPARE(Child<QPushButton>(m, "diagnoseButton")->text(), QStringLiteral("Diagnose"));
    QCOMPARE(Child<QLabel>(m, "doctorStepLabel")->text(), QStringLiteral("Diagnose ended"));
    QVERIFY(w.state().isConnected);
    QVERIFY(w.state().comPort && w.state().comPort->IsOpen());
    QCOMPARE(w.Panel(0), QStringLiteral("Connected"));
    QVERIFY(w.W<QTabWidget>("PageControl1")->isEnabled());
    // The monitor saw the doctor's traffic.
    QVERIFY(QTest::qWaitFor([&] { return Counters(m).size() == 3; }, 2000));
}

void BusMonitorTest::diagnoseWaitsForAFreeBus()
{
    FixtureOptions options = LineOptions({{1, Model::LumoB}});
    options.timings.scanTickMs = 2000; // the scan waits between ticks long enough to click
    BusWindow w(options);
    TBusMonitorForm *m = OpenByShortcut(w);
    QVERIFY(m);
    auto *step = Child<QLabel>(m, "doctorStepLabel");
    auto *findings = Child<QPlainTextEdit>(m, "findingsView");

    QVERIFY(Diagnose(m).isEmpty());
    QCOMPARE(step->text(), QStringLiteral("Diagnose cannot run now: connect to the bus's port first"));

    QVERIFY(w.Connect());
    QVERIFY(w.ScanUpTo(1));

    // Clicked while a status tick waits for its reply: the tick keeps the bus.
    QVERIFY(w.SelectControlDevice(QStringLiteral("1")));
    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);
    InsideTick inside(w, [] { return true; }, [&] { Diagnose(m); });
    QVERIFY(QTest::qWaitFor([&] { return inside.ran(); }, 5000));
    QCOMPARE(step->text(),
             QStringLiteral("Diagnose cannot run now: the window is talking to a device; try again in a moment"));
    QVERIFY(findings->toPlainText().isEmpty());
    QTest::qWait(300);
    QCOMPARE(w.Panel(2), QStringLiteral("No Error"));
    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);

    // Between two ticks of a scan.
    w.Click("ScanDeviceButton");
    QVERIFY(w.state().isScanning);
    w.bus.ClearFrameLog();
    QVERIFY(Diagnose(m).isEmpty());
    QCOMPARE(step->text(), QStringLiteral("Diagnose cannot run now: a bus scan is running; stop it first"));
    QVERIFY(w.Requests().empty());
    w.Click("ScanDeviceButton");
    QVERIFY(!w.state().isScanning);
}

void BusMonitorTest::diagnosePausesThePollAndCanBeStopped()
{
    BusWindow w(LineOptions({{1, Model::LumoB}}));
    QVERIFY(w.Connect());
    QVERIFY(w.ScanUpTo(1));
    QVERIFY(w.SelectControlDevice(QStringLiteral("1")));
    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);
    QVERIFY(w.StatusTimer()->isActive());
    TBusMonitorForm *m = OpenByShortcut(w);
    QVERIFY(m);

    // While the doctor runs the poll waits and no page can start anything;
    // the monitor stays usable.
    bool pollOff = false, pagesOff = false, monitorOn = false;
    QTimer::singleShot(700, [&] {
        pollOff = !w.StatusTimer()->isActive();
        pagesOff = !w.W<QTabWidget>("PageControl1")->isEnabled();
        monitorOn = m->isEnabled() && Child<QPushButton>(m, "diagnoseButton")->text() == QStringLiteral("Stop");
    });
    QCOMPARE(Diagnose(m), QStringList{QStringLiteral("no problem found")});
    QVERIFY(pollOff);
    QVERIFY(pagesOff);
    QVERIFY(monitorOn);

    // Afterwards the poll goes on at the connected rate.
    QVERIFY(w.StatusTimer()->isActive());
    w.bus.ClearFrameLog();
    QVERIFY(QTest::qWaitFor([&] { return CountRequests(w.Requests(), 1, Fc::ReadInput, Reg::MotorStatus) >= 3; },
                            3000));
    QCOMPARE(w.Panel(2), QStringLiteral("No Error"));

    // "Stop" ends the doctor at its next step, with the connection back.
    QTimer::singleShot(700, [&] { QTest::mouseClick(Child<QPushButton>(m, "diagnoseButton"), Qt::LeftButton); });
    QElapsedTimer took;
    took.start();
    Diagnose(m);
    QVERIFY(took.elapsed() < 4000);
    QVERIFY(Child<QPlainTextEdit>(m, "findingsView")->toPlainText().startsWith(QStringLiteral("Diagnose was stopped")));
    QCOMPARE(Child<QLabel>(m, "doctorStepLabel")->text(), QStringLiteral("Diagnose stopped"));
    QVERIFY(w.StatusTimer()->isActive());
    w.bus.ClearFrameLog();
    QVERIFY(QTest::qWaitFor([&] { return CountRequests(w.Requests(), 1, Fc::ReadInput, Reg::MotorStatus) >= 3; },
                            3000));
    QCOMPARE(w.Panel(2), QStringLiteral("No Error"));
    QTest::mouseClick(w.W<QCheckBox>("GetMotorStatusCheckBox"), Qt::LeftButton);
}

std::unique_ptr<QObject> MakeBusMonitorTest()
{
    return std::make_unique<BusMonitorTest>();
}

#include "test_bus_monitor.moc"

// What the window writes (a .config export, the Bus monitor's frames, the
// service report) against everything that can go wrong at the place it
// writes to; the report of a long history: written off the window's thread
// in about the time of a short one, with the window answering meanwhile
// (Esc, Disconnect, closing); the Service history keeping its selection as
// events come; and the monitor's address filter.

#include <QElapsedTimer>
#include <QFile>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QWindow>
#include <sqlite3.h>

#include <algorithm>
#include <string>
#include <vector>

#include "BenchFigures.h"
#include "ConfigTestSupport.h"
#include "WriteTargets.h"
#include "sidewindows/BusMonitor.h"
#include "sidewindows/ServiceHistory.h"
#include "sidewindows/ServiceReport.h"
#include "records/RecordStore.h"
#include "test_bus_scan_fixture.h"

using namespace writetargets;
using bustest::BusWindow;
using bustest::Child;

namespace {

constexpr uint16_t kMotor = 0x5A05;
// A history the window lists in a few seconds, and a report of it on the
// window's thread would hold the window for many.
constexpr int kLongHistory = 30000;

enum class Writer { ConfigExport, MonitorSave, WindowReport };

const char *WriterName(Writer w)
{
    switch (w) {
    case Writer::ConfigExport: return "config export";
    case Writer::MonitorSave: return "monitor save";
    case Writer::WindowReport: return "window report";
    }
    return "";
}

bool WholePdf(const std::string &bytes)
{
    return bytes.rfind("%PDF-", 0) == 0 &&
           bytes.find("%%EOF", bytes.size() > 16 ? bytes.size() - 16 : 0) != std::string::npos;
}

// The window on a virtual bus with actuator 5A05 at address 5, connected,
// scanned, and its row clicked: the records know it.
bustest::FixtureOptions OneActuator()
{
    bustest::FixtureOptions o = bustest::QuickScanOptions({{5, Model::LumoD, kMotor}});
    o.bus.timeScale = 50;
    return o;
}

bool Ready(BusWindow &w)
{
    return w.Connect() && w.ScanUpTo(5) && w.ClickDeviceRow(QStringLiteral("5"));
}

TServiceHistoryForm *OpenHistory(BusWindow &w)
{
    w.form->activateWindow();
    if (!QTest::qWaitForWindowActive(w.form.get()))
        return nullptr;
    QTest::keyClick(w.form.get(), Qt::Key_H, Qt::ControlModifier);
    auto *h = w.form->findChild<TServiceHistoryForm *>(QStringLiteral("ServiceHistoryForm"));
    return h && QTest::qWaitForWindowExposed(h) ? h : nullptr;
}

TBusMonitorForm *OpenMonitor(BusWindow &w)
{
    w.form->activateWindow();
    if (!QTest::qWaitForWindowActive(w.form.get()))
        return nullptr;
    QTest::keyClick(w.form.get(), Qt::Key_M, Qt::ControlModifier);
    auto *m = w.form->findChild<TBusMonitorForm *>(QStringLiteral("BusMonitorForm"));
    return m && QTest::qWaitForWindowExposed(m) ? m : nullptr;
}

// `count` copies of the motor's newest event, one a millisecond further
// back each, put in at once with SQLite: a long history in a second where
// adding them one by one would take minutes. Columns are copied by name, so
// the copies are whatever the store keeps.
bool CopyNewestEvent(const std::string &path, uint16_t motor, int count)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 5000);
    std::string columns;
    {
        sqlite3_stmt *info = nullptr;
        sqlite3_prepare_v2(db, "PRAGMA table_info(events)", -1, &info, nullptr);
        while (sqlite3_step(info) == SQLITE_ROW) {
            const std::string name = reinterpret_cast<const char *>(sqlite3_column_text(info, 1));
            if (name != "id" && name != "time_ms")
                columns += ", " + name;
        }
        sqlite3_finalize(info);
    }
    const std::string sql = "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                            std::to_string(count) + ") INSERT INTO events (time_ms" + columns +
                            ") SELECT e.time_ms - n.i" + columns +
                            " FROM n, (SELECT * FROM events WHERE motor_id = " + std::to_string(motor) +
                            " ORDER BY time_ms DESC, id DESC LIMIT 1) AS e";
    char *error = nullptr;
    const bool ok = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &error) == SQLITE_OK;
    if (!ok)
        qWarning("filling the records failed: %s", error);
    sqlite3_free(error);
    sqlite3_close(db);
    return ok;
}

// The longest the window's thread went without handling its timers: a
// precise 5 ms timer's largest gap between ticks, on the wall clock and on
// the thread's CPU clock. On a machine busier than its cores a thread may
// wait its turn for longer than the window is ever held; the CPU clock
// counts only what the window's thread itself did meanwhile.
class Responsiveness : public QObject {
public:
    Responsiveness()
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(5);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            worst_ = std::max(worst_, clock_.restart());
            const double cpu = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            worstCpuMs_ = std::max(worstCpuMs_, (cpu - lastCpu_) * 1000);
            lastCpu_ = cpu;
        });
        clock_.start();
        lastCpu_ = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
        timer_.start();
    }
    qint64 WorstGapMs() const { return worst_; }
    double WorstCpuGapMs() const { return worstCpuMs_; }

private:
    QTimer timer_;
    QElapsedTimer clock_;
    qint64 worst_ = 0;
    double lastCpu_ = 0;
    double worstCpuMs_ = 0;
};

} // namespace

class FileWritersTest : public QObject {
    Q_OBJECT
private slots:
    void writeAt_data();
    void writeAt();
    void longReportTakesAboutTheTimeOfAShortOne();
    void reportIsWrittenOffTheWindowsThread();
    void reportSurvivesTheWindowClosing();
    void historyKeepsSelectionAsEventsCome();
    void monitorFilterTakesOnlyModbusAddresses_data();
    void monitorFilterTakesOnlyModbusAddresses();
};

void FileWritersTest::writeAt_data()
{
    QTest::addColumn<int>("target");
    QTest::addColumn<int>("writer");
    for (Writer writer : {Writer::ConfigExport, Writer::MonitorSave, Writer::WindowReport})
        for (size_t i = 0; i < std::size(kTargetCases); ++i)
            QTest::addRow("%s, %s", WriterName(writer), kTargetCases[i].name)
                << static_cast<int>(i) << static_cast<int>(writer);
}

void FileWritersTest::writeAt()
{
    QFETCH(int, target);
    QFETCH(int, writer);
    const TargetCase &c = kTargetCases[target];
    Place place(c.target);
    if (!place.skip().empty())
        QSKIP(place.skip().c_str());
    const QString path = QString::fromStdString(place.path());

    // Each writer as the operator uses it; `shown` gets what the window said.
    QStringList shown;
    QString listed; // the monitor's frames as listed, for its file
    switch (static_cast<Writer>(writer)) {
    case Writer::ConfigExport: {
        cfgtest::Rig rig;
        rig.Fill({"1000", "1000", "0", "100", "5000"}, QStringLiteral("Single"), QStringLiteral("Yes"),
                 QStringLiteral("0.5 ~ 10"), QStringLiteral("115200"), 0);
        rig.dialogs.saveAnswers.push_back(path);
        rig.Click("ExportConfigButton");
        shown = rig.dialogs.shown;
        break;
    }
    case Writer::MonitorSave: {
        BusWindow w(bustest::QuickScanOptions({{1, Model::LumoB}}));
        TBusMonitorForm *m = OpenMonitor(w);
        QVERIFY(m);
        QVERIFY(w.Connect());
        QVERIFY(w.ScanUpTo(2));
        auto *view = Child<QPlainTextEdit>(m, "framesView");
        QTRY_VERIFY(view->toPlainText().count(QLatin1Char('\n')) >= 3);
        QTest::qWait(2 * TBusMonitorForm::RefreshMs); // the last frames listed
        listed = view->toPlainText() + QLatin1Char('\n');
        w.dialogs.saveAnswers = {path};
        QTest::mouseClick(Child<QPushButton>(m, "saveButton"), Qt::LeftButton);
        shown = w.dialogs.shown;
        break;
    }
    case Writer::WindowReport: {
        BusWindow w(OneActuator());
        QVERIFY(Ready(w));
        TServiceHistoryForm *h = OpenHistory(w);
        QVERIFY(h);
        w.dialogs.saveAnswers = {path};
        QTest::mouseClick(Child<QPushButton>(h, "reportButton"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!h->ReportRunning(), 30000);
        shown = w.dialogs.shown;
        break;
    }
    }

    const QString errors = shown.filter(QRegularExpression(QStringLiteral("^error: "))).join(QLatin1Char('\n'));
    const QString infos = shown.filter(QRegularExpression(QStringLiteral("^info: "))).join(QLatin1Char('\n'));
    if (c.succeeds) {
        QVERIFY2(errors.isEmpty(), qPrintable(errors));
        std::string problem;
        const std::string written = place.Written(problem);
        QCOMPARE(QString::fromStdString(problem), QString());
        switch (static_cast<Writer>(writer)) {
        case Writer::ConfigExport: QCOMPARE(written.size(), size_t{22}); break;
        case Writer::MonitorSave: QCOMPARE(QString::fromStdString(written), listed); break;
        case Writer::WindowReport: QVERIFY2(WholePdf(written), qPrintable(QString::number(written.size()))); break;
        }
    } else {
        // Said in an error box with the name and the reason; never "saved".
        QVERIFY2(infos.isEmpty(), qPrintable(infos));
        QVERIFY2(errors.startsWith(QStringLiteral("error: Cannot create file \"%1\". ").arg(path)),
                 qPrintable(shown.join(QLatin1Char('\n'))));
        QVERIFY2(errors.contains(QString::fromLatin1(c.reason)), qPrintable(errors));
        QCOMPARE(QString::fromStdString(place.CheckUntouched()), QString());
    }
}

// Reports of 10, 1,000 and 100,000 events, each read from the store and
// drawn as the window and lumoctl do it, timed on the CPU clock of the
// thread that does it all, so that other programs on a busy machine do not
// count (medians of runs taken in turn). The history's length must not
// show: 100,000 events cost what 1,000 do (both fill the two pages), within
// the 2 s a report may take. The figure against 10 events (target: at most
// twice) is printed; in a sanitized build the drawing of two full pages
// costs more than that on its own.
void FileWritersTest::longReportTakesAboutTheTimeOfAShortOne()
{
    QTemporaryDir folder;
    const std::string path = folder.filePath(QStringLiteral("records.sqlite")).toStdString();
    constexpr uint16_t kShort = 0x1010, kMiddle = 0x1000;
    {
        records::RecordStore store(path);
        const int64_t now = QDateTime::currentMSecsSinceEpoch();
        for (uint16_t motor : {kShort, kMiddle, kMotor}) {
            records::Event e;
            e.timeMs = now;
            e.motorId = motor;
            e.address = 5;
            e.kind = records::EventKind::Motion;
            e.origin = {"bench-2", "line", "lumoctl", "/dev/ttyUSB0"};
            e.action = "up";
            e.position = 1000;
            QVERIFY(store.Add(e) > 0);
        }
    }
    QVERIFY(CopyNewestEvent(path, kShort, 9));
    QVERIFY(CopyNewestEvent(path, kMiddle, 999));
    QVERIFY(CopyNewestEvent(path, kMotor, 99999));

    struct Run {
        uint16_t motor;
        size_t count = 0;
        size_t listed = 0;
        std::vector<double> ms;
    };
    Run runs[] = {{kShort, 0, 0, {}}, {kMiddle, 0, 0, {}}, {kMotor, 0, 0, {}}};
    for (int round = 0; round < 3; ++round)
        for (Run &run : runs) {
            const double started = CpuSeconds(CLOCK_THREAD_CPUTIME_ID);
            records::RecordStore store(path);
            const servicereport::ReportData data = servicereport::CollectReport(store, run.motor, std::nullopt);
            QByteArray pdf;
            QString error;
            QVERIFY2(servicereport::RenderReportPdf(data, &pdf, &error, &run.listed), qPrintable(error));
            run.ms.push_back((CpuSeconds(CLOCK_THREAD_CPUTIME_ID) - started) * 1000);
            run.count = data.eventCount;
            QVERIFY(WholePdf(pdf.toStdString()));
        }
    QCOMPARE(runs[0].count, size_t{10});
    QCOMPARE(runs[0].listed, size_t{10});
    QCOMPARE(runs[1].count, size_t{1000});
    QCOMPARE(runs[2].count, size_t{100000});
    // Two full pages, whatever the length.
    QCOMPARE(runs[2].listed, runs[1].listed);
    QVERIFY2(runs[2].listed > 40 && runs[2].listed < 200, qPrintable(QString::number(runs[2].listed)));
    const double t10 = Median(runs[0].ms), t1000 = Median(runs[1].ms), t100000 = Median(runs[2].ms);
    qInfo("report of 10 events: %.0f ms CPU; of 1,000: %.0f ms; of 100,000: %.0f ms (%zu listed); "
          "100,000 against 10: %.2f, against 1,000: %.2f",
          t10, t1000, t100000, runs[2].listed, t100000 / t10, t100000 / t1000);
    QVERIFY2(t100000 < 2000, qPrintable(QStringLiteral("%1 ms").arg(t100000)));
    QVERIFY2(t100000 < 1.5 * t1000, qPrintable(QStringLiteral("%1 ms against %2 ms").arg(t100000).arg(t1000)));
}

// "Report" on a long history: the window's thread is never held more than
// 200 ms, the button is off until the file is whole, and Esc and Disconnect
// work meanwhile.
void FileWritersTest::reportIsWrittenOffTheWindowsThread()
{
    BusWindow w(OneActuator());
    QVERIFY(Ready(w));
    QVERIFY(CopyNewestEvent(RecordsFileIn(w.sysfs), kMotor, kLongHistory));
    TServiceHistoryForm *h = OpenHistory(w);
    QVERIFY(h);
    // The history lists its older events page by page on the window's
    // thread; that is its own matter, and over before the report starts.
    QTRY_VERIFY_WITH_TIMEOUT(h->Complete(), 60000);
    QVERIFY(w.SelectControlDevice(QStringLiteral("5")));
    QTRY_VERIFY(w.W<QPushButton>("motorStopButton")->isEnabled());
    w.bus.ClearFrameLog();

    QTemporaryDir out;
    const QString path = out.filePath(QStringLiteral("report.pdf"));
    w.dialogs.saveAnswers = {path};
    w.dialogs.shown.clear();
    auto *button = Child<QPushButton>(h, "reportButton");
    Responsiveness window;
    QTest::mouseClick(button, Qt::LeftButton);
    QVERIFY(h->ReportRunning());
    QVERIFY(!button->isEnabled());
    QVERIFY(!QFile::exists(path)); // nothing under the name before it is whole
    // Esc stops the Control page's device at once.
    w.form->windowHandle()->requestActivate();
    QTRY_VERIFY(QGuiApplication::focusWindow() == w.form->windowHandle());
    QTest::keyClick(w.form.get(), Qt::Key_Escape);
    QTRY_VERIFY_WITH_TIMEOUT(bustest::CountRequests(w.bus.FrameLog(), 5, 0x06, 0x0025) >= 1, 2000);
    const bool stoppedWhileWriting = h->ReportRunning();
    // Disconnect: the report needs no bus.
    w.Click("ConnectButton");
    QVERIFY(!w.state().isConnected);
    QTRY_VERIFY_WITH_TIMEOUT(!h->ReportRunning(), 60000);
    const double worst = window.WorstCpuGapMs();
    qInfo("window thread busy at most %.0f ms at a time (longest pause %lld ms on the wall clock) while the report "
          "of %d events was written%s",
          worst, window.WorstGapMs(), kLongHistory + 1,
          stoppedWhileWriting ? "" : " (the report ended before Esc was handled)");
    QVERIFY2(worst <= 200, qPrintable(QStringLiteral("blocked %1 ms").arg(worst)));
    QCOMPARE(w.dialogs.shown.last(), QStringLiteral("info: Service report saved: ") + path);
    QVERIFY(button->isEnabled());
    QFile pdf(path);
    QVERIFY(pdf.open(QIODevice::ReadOnly));
    QVERIFY(WholePdf(pdf.readAll().toStdString()));
}

// The Service history closed while its report is written: the report is
// still said; the whole window closed: the report ends first, whole.
void FileWritersTest::reportSurvivesTheWindowClosing()
{
    QTemporaryDir out;
    const QString path = out.filePath(QStringLiteral("report.pdf"));
    {
        BusWindow w(OneActuator());
        QVERIFY(Ready(w));
        TServiceHistoryForm *h = OpenHistory(w);
        QVERIFY(h);
        w.dialogs.saveAnswers = {path};
        QTest::mouseClick(Child<QPushButton>(h, "reportButton"), Qt::LeftButton);
        h->close();
        QTRY_VERIFY_WITH_TIMEOUT(!h->ReportRunning(), 30000);
        QCOMPARE(w.dialogs.shown.last(), QStringLiteral("info: Service report saved: ") + path);
        QVERIFY(QFile::remove(path));

        QVERIFY(OpenHistory(w) == h);
        w.dialogs.saveAnswers = {path};
        QTest::mouseClick(Child<QPushButton>(h, "reportButton"), Qt::LeftButton);
        QVERIFY(h->ReportRunning());
        w.form->close();
    } // the window goes while the report is written
    QFile pdf(path);
    QVERIFY(pdf.open(QIODevice::ReadOnly));
    QVERIFY(WholePdf(pdf.readAll().toStdString()));
    QCOMPARE(QDir(out.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("report.pdf")});
}

// An event recorded for the actuator shown: the selected event stays
// selected, and its values stay shown.
void FileWritersTest::historyKeepsSelectionAsEventsCome()
{
    BusWindow w(OneActuator());
    QVERIFY(Ready(w));
    w.W<QTabWidget>("PageControl1")->setCurrentWidget(w.W<QWidget>("SettingPage"));
    w.Click("LoadConfigButton"); // a configuration read: an event with values
    TServiceHistoryForm *h = OpenHistory(w);
    QVERIFY(h);
    auto *view = Child<QTableView>(h, "eventsView");
    QTRY_COMPARE(view->model()->rowCount(), 2);
    QCOMPARE(view->model()->index(0, 5).data().toString(), QStringLiteral("Configuration read"));
    view->setCurrentIndex(view->model()->index(0, 0));
    const QString values = Child<QLabel>(h, "valuesLabel")->text();
    QVERIFY2(values.contains(QStringLiteral("Configuration read")), qPrintable(values));
    auto *table = Child<QTableWidget>(h, "valuesTable");
    QVERIFY(table->item(0, 2));
    const QString stroke = table->item(0, 2)->text();

    for (int i = 0; i < 2; ++i) {
        w.Click("LoadConfigButton"); // two more events, each listed first
        // Recording writes on a thread of its own: the event comes a moment later.
        QTRY_COMPARE(view->model()->rowCount(), 3 + i);
        QCOMPARE(view->currentIndex().row(), 1 + i);
        QCOMPARE(view->selectionModel()->selectedRows().value(0).row(), 1 + i);
        QCOMPARE(Child<QLabel>(h, "valuesLabel")->text(), values);
        QVERIFY(table->item(0, 2));
        QCOMPARE(table->item(0, 2)->text(), stroke);
    }
}

void FileWritersTest::monitorFilterTakesOnlyModbusAddresses_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("shown"); // a pattern every listed line matches; empty: none listed
    QTest::newRow("a slave") << QStringLiteral("3") << true << QStringLiteral("^ *[0-9.]+  (M>S|S>M) 03 ");
    QTest::newRow("the highest slave") << QStringLiteral("247") << true << QString();
    QTest::newRow("broadcasts") << QStringLiteral("0") << true << QString();
    QTest::newRow("reserved") << QStringLiteral("248") << false << QString();
    QTest::newRow("beyond a byte") << QStringLiteral("256") << false << QString();
    QTest::newRow("three nines") << QStringLiteral("999") << false << QString();
}

void FileWritersTest::monitorFilterTakesOnlyModbusAddresses()
{
    QFETCH(QString, typed);
    QFETCH(bool, valid);
    QFETCH(QString, shown);
    BusWindow w(bustest::QuickScanOptions({{1, Model::LumoB}, {3, Model::LumoD}}));
    TBusMonitorForm *m = OpenMonitor(w);
    QVERIFY(m);
    QVERIFY(w.Connect());
    QVERIFY(w.ScanUpTo(3));
    auto *view = Child<QPlainTextEdit>(m, "framesView");
    QTRY_VERIFY(view->toPlainText().count(QLatin1Char('\n')) >= 6);
    auto *filter = Child<QLineEdit>(m, "addressFilterEdit");
    QTest::keyClicks(filter, typed);
    const QStringList lines = view->toPlainText().split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    auto *problem = Child<QLabel>(m, "filterProblemLabel");
    QCOMPARE(problem->isVisible(), !valid);
    QCOMPARE(Child<QPushButton>(m, "saveButton")->isEnabled(), valid);
    if (!valid) {
        QVERIFY2(problem->text().contains(QStringLiteral("no such address")), qPrintable(problem->text()));
        QVERIFY2(lines.isEmpty(), qPrintable(lines.join(QLatin1Char('\n'))));
        QVERIFY(view->placeholderText().contains(QStringLiteral("No such address")));
        QCOMPARE(filter->palette().color(QPalette::Text), QColor(Qt::red));
    } else if (shown.isEmpty()) {
        QVERIFY2(lines.isEmpty(), qPrintable(lines.join(QLatin1Char('\n'))));
    } else {
        QVERIFY(!lines.isEmpty());
        const QRegularExpression pattern(shown);
        for (const QString &line : lines)
            QVERIFY2(pattern.match(line).hasMatch(), qPrintable(line));
    }
    // Emptied, every frame again.
    filter->clear();
    QVERIFY(!problem->isVisible());
    QVERIFY(view->toPlainText().count(QLatin1Char('\n')) >= 6);
}

std::unique_ptr<QObject> MakeFileWritersTest()
{
    return std::make_unique<FileWritersTest>();
}

#include "test_file_writers.moc"

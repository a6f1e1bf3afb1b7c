// The cycle test of the Debug page against the virtual bus, with a short
// spinner unit: the command sequence, the spinner, "stop", and what a failed
// command does with and without "Error Stop".

#include <QCheckBox>
#include <QElapsedTimer>
#include <QGroupBox>
#include <QRegularExpression>
#include <QTimer>
#include <cstdlib>
#include <functional>

#include "BusWindow.h"
#include "app/LumoApplication.h"
#include "modbus/Registers.h"
#include "modbus/ResultCode.h"

namespace {

struct Command {
    uint8_t address;
    uint16_t value;
    uint64_t ms;
};

// The ActionCmdIn writes the bus heard, in order.
std::vector<Command> Commands(const lumosim::VirtualBus &bus)
{
    std::vector<Command> out;
    for (const auto &f : bus.FrameLog()) {
        const auto &b = f.bytes;
        if (f.fromMaster && b.size() == 8 && b[1] == Fc::WriteSingle && b[2] == 0 && b[3] == Reg::ActionCmdIn)
            out.push_back({b[0], static_cast<uint16_t>(b[4] << 8 | b[5]), f.ms});
    }
    return out;
}

QList<int> Values(const std::vector<Command> &commands)
{
    QList<int> values;
    for (const Command &c : commands)
        values << c.value;
    return values;
}

// Processes events in small steps until `done` or the time is up.
bool WaitUntil(const std::function<bool()> &done, int timeoutMs = 5000)
{
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeoutMs)
            return false;
        QTest::qWait(2);
    }
    return true;
}

// The Debug page shown and the Cycle Test group opened as the operator opens
// it: empty the memo, double-click it.
struct CyclePage {
    explicit CyclePage(const std::vector<lumosim::DeviceOptions> &devices, ConsoleTimings timings = ShortTimings())
        : w(devices, timings)
    {
        ShowDebugPage(w);
        QTest::mouseClick(w.find<QPushButton>("dClearButton"), Qt::LeftButton);
        QTest::mouseDClick(w.find<QPlainTextEdit>("debugMemo")->viewport(), Qt::LeftButton);
        if (w.find<QGroupBox>("TestGroupBox")->isHidden())
            qFatal("the Cycle Test group did not open");
    }
    void Start() { QTest::mouseClick(w.find<QPushButton>("cycleTestStartButton"), Qt::LeftButton); }
    void Stop() { QTest::mouseClick(w.find<QPushButton>("cycleTestStopButton"), Qt::LeftButton); }
    // Spinner position in units of ConsoleTimings::cycleTestSecondMs (50 ms here).
    void SetSeconds(int position)
    {
        const int now = w.find<TUpDown>("cycleTestTimerUpDown")->Position();
        StepSpinner(w, "cycleTestTimerUpDown", position > now, std::abs(position - now));
    }
    QTimer *timer() { return w.find<QTimer>("cycleTestTimer"); }

    BusWindow w;
};

constexpr int kUnitMs = 50;

} // namespace

class CycleTestTest : public QObject {
    Q_OBJECT
private slots:
    void spinnerSetsInterval();
    void commandSequence_data();
    void commandSequence();
    void stepsWaitWholeIntervalAfterTransaction();
    void startDuringRunBeginsWithUp();
    void errorStopEndsRunAfterFirstFailure();
    void failedCommands_data();
    void failedCommands();
};

void CycleTestTest::spinnerSetsInterval()
{
    CyclePage page({});
    QCOMPARE(page.w.find<QLineEdit>("TimerIntervalEdit")->text(), QStringLiteral("3"));
    QCOMPARE(page.timer()->interval(), 3 * kUnitMs);
    page.SetSeconds(10);
    QCOMPARE(page.w.find<QLineEdit>("TimerIntervalEdit")->text(), QStringLiteral("10"));
    QCOMPARE(page.timer()->interval(), 10 * kUnitMs);
    page.SetSeconds(1);
    QCOMPARE(page.timer()->interval(), kUnitMs);
    // The spinner neither starts nor stops the timer.
    QVERIFY(!page.timer()->isActive());
    QVERIFY(!page.w.state().cycleTestRunning);
}

void CycleTestTest::commandSequence_data()
{
    QTest::addColumn<QString>("address");
    QTest::addColumn<int>("sentTo");
    QTest::newRow("device 1") << "1" << 1;
    QTest::newRow("address 257 is device 1") << "257" << 1;
    QTest::newRow("0 broadcasts") << "0" << 0;
}

void CycleTestTest::commandSequence()
{
    QFETCH(QString, address);
    QFETCH(int, sentTo);
    CyclePage page({Device(1)});
    TypeInto(page.w.find<QLineEdit>("AddressEdit"), address);
    page.SetSeconds(1);
    page.w.bus.ClearFrameLog();

    page.Start();
    QVERIFY(page.w.state().cycleTestRunning);
    QVERIFY(WaitUntil([&] { return Commands(page.w.bus).size() >= 5; }));
    page.Stop();
    QVERIFY(!page.w.state().cycleTestRunning);
    QCOMPARE(page.w.state().cycleTestStep, 0u);
    QVERIFY(!page.timer()->isActive());

    const auto commands = Commands(page.w.bus);
    QCOMPARE(Values(commands).mid(0, 5), (QList<int>{Cmd::Up, Cmd::Stop, Cmd::Down, Cmd::Stop, Cmd::Up}));
    for (size_t i = 0; i < commands.size(); ++i) {
        QCOMPARE(int{commands[i].address}, sentTo);
        // Each step waits one interval after the previous transaction.
        if (i > 0)
            QVERIFY2(commands[i].ms - commands[i - 1].ms + 1 >= kUnitMs,
                     qPrintable(QStringLiteral("steps %1 ms apart").arg(commands[i].ms - commands[i - 1].ms)));
    }
    QCOMPARE(MemoLines(page.w), QStringList());
    QCOMPARE(PanelText(page.w.form.get(), 2), QStringLiteral("No Error"));

    // "stop" between ticks: nothing more is sent.
    QTest::qWait(4 * kUnitMs);
    QVERIFY(Commands(page.w.bus).size() == commands.size());
}

void CycleTestTest::stepsWaitWholeIntervalAfterTransaction()
{
    // A real one-second spinner unit: a coarse timer fires up to 5 % (50 ms)
    // early, which the reply wait of each step (30 ms at 115200 baud) hides
    // when steps are only compared with the interval.
    ConsoleTimings timings = ShortTimings();
    timings.cycleTestSecondMs = 1000;
    CyclePage page({Device(1)}, timings);
    TypeInto(page.w.find<QLineEdit>("AddressEdit"), QStringLiteral("1"));
    page.SetSeconds(1);
    page.w.bus.ClearFrameLog();
    page.Start();
    QVERIFY(WaitUntil([&] { return Commands(page.w.bus).size() >= 4; }, 6000));
    page.Stop();

    // A step's transaction ends no sooner than the reply wait after its
    // request; the next step comes one whole interval after that.
    const uint64_t floorMs = 1000 + page.w.state().responseDelayMs;
    const auto commands = Commands(page.w.bus);
    for (size_t i = 1; i < commands.size(); ++i) {
        const uint64_t apart = commands[i].ms - commands[i - 1].ms;
        QVERIFY2(apart + 1 >= floorMs, qPrintable(QStringLiteral("steps %1 ms apart, at least %2 expected")
                                                      .arg(apart)
                                                      .arg(floorMs)));
    }
}

void CycleTestTest::startDuringRunBeginsWithUp()
{
    CyclePage page({Device(1)});
    TypeInto(page.w.find<QLineEdit>("AddressEdit"), QStringLiteral("1"));
    page.SetSeconds(4);
    page.w.bus.ClearFrameLog();
    page.Start();
    QVERIFY(WaitUntil([&] { return page.w.state().cycleTestStep == 3; }));
    QCOMPARE(Values(Commands(page.w.bus)), (QList<int>{Cmd::Up, Cmd::Stop}));

    page.Start();
    QCOMPARE(page.w.state().cycleTestStep, 1u);
    QVERIFY(WaitUntil([&] { return Commands(page.w.bus).size() >= 3; }));
    page.Stop();
    QCOMPARE(Values(Commands(page.w.bus)).mid(0, 3), (QList<int>{Cmd::Up, Cmd::Stop, Cmd::Up}));
}

void CycleTestTest::errorStopEndsRunAfterFirstFailure()
{
    CyclePage page({Device(1)});
    QVERIFY(page.w.find<QCheckBox>("ErrorStopCheckBox")->isChecked());
    TypeInto(page.w.find<QLineEdit>("AddressEdit"), QStringLiteral("1"));
    page.SetSeconds(4);
    page.w.bus.ClearFrameLog();
    page.Start();
    // Up and stop went through; the device goes silent before the third step.
    QVERIFY(WaitUntil([&] { return page.w.state().cycleTestStep == 3; }));
    lumosim::Faults silent;
    silent.silent = true;
    page.w.bus.SetFaults(1, silent);

    QVERIFY(WaitUntil([&] { return !MemoLines(page.w).isEmpty(); }));
    QElapsedTimer sinceFailure;
    sinceFailure.start();
    // The run ends at the next tick, one interval later, sending nothing.
    QVERIFY(page.w.state().cycleTestRunning);
    QCOMPARE(page.w.state().cycleTestStep, 0u);
    QVERIFY(WaitUntil([&] { return !page.w.state().cycleTestRunning; }));
    QVERIFY2(sinceFailure.elapsed() + 10 >= 4 * kUnitMs, qPrintable(QString::number(sinceFailure.elapsed())));
    QVERIFY(!page.timer()->isActive());
    QTest::qWait(6 * kUnitMs);

    const QStringList lines = MemoLines(page.w);
    QCOMPARE(lines.size(), 1);
    QVERIFY2(QRegularExpression(QStringLiteral("^Error code = 0x[0-9A-F]{4}$")).match(lines[0]).hasMatch(),
             qPrintable(lines[0]));
    QVERIFY(lines[0] != QStringLiteral("Error code = 0x0000"));
    QCOMPARE(Values(Commands(page.w.bus)), (QList<int>{Cmd::Up, Cmd::Stop, Cmd::Down}));

    // A fresh start begins again with the up command.
    page.w.bus.SetFaults(1, {});
    page.w.bus.ClearFrameLog();
    page.Start();
    QVERIFY(WaitUntil([&] { return !Commands(page.w.bus).empty(); }));
    page.Stop();
    QCOMPARE(Values(Commands(page.w.bus)).first(), int{Cmd::Up});
}

void CycleTestTest::failedCommands_data()
{
    QTest::addColumn<bool>("onBus");     // false: no port open
    QTest::addColumn<bool>("errorStop");
    QTest::addColumn<QString>("line");   // empty: any error code
    QTest::newRow("no port, Error Stop") << false << true << "Error code = 0xFFFF";
    QTest::newRow("no port, without Error Stop") << false << false << "Error code = 0xFFFF";
    QTest::newRow("silent device, without Error Stop") << true << false << "";
}

void CycleTestTest::failedCommands()
{
    QFETCH(bool, onBus);
    QFETCH(bool, errorStop);
    QFETCH(QString, line);
    lumosim::DeviceOptions device = Device(1);
    device.faults.silent = true;
    CyclePage page(onBus ? std::vector<lumosim::DeviceOptions>{device} : std::vector<lumosim::DeviceOptions>{});
    TypeInto(page.w.find<QLineEdit>("AddressEdit"), QStringLiteral("1"));
    page.SetSeconds(1);
    if (!errorStop)
        QTest::mouseClick(page.w.find<QCheckBox>("ErrorStopCheckBox"), Qt::LeftButton);
    QCOMPARE(page.w.find<QCheckBox>("ErrorStopCheckBox")->isChecked(), errorStop);
    QElapsedTimer sinceStart;
    sinceStart.start();
    page.Start();

    if (errorStop) {
        QVERIFY(WaitUntil([&] { return !page.w.state().cycleTestRunning; }));
        QTest::qWait(4 * kUnitMs);
        QCOMPARE(MemoLines(page.w), QStringList{line});
        return;
    }

    // One line per interval, each for the same command, until "stop".
    QVERIFY(WaitUntil([&] { return MemoLines(page.w).size() >= 3; }));
    QVERIFY2(sinceStart.elapsed() >= 2 * kUnitMs, qPrintable(QString::number(sinceStart.elapsed())));
    QVERIFY(page.w.state().cycleTestRunning);
    page.Stop();
    const QStringList lines = MemoLines(page.w);
    QTest::qWait(4 * kUnitMs);
    QCOMPARE(MemoLines(page.w), lines);
    if (line.isEmpty())
        line = lines.first();
    QVERIFY(line.startsWith(QStringLiteral("Error code = 0x")));
    for (const QString &l : lines)
        QCOMPARE(l, line);
    if (onBus)
        QCOMPARE(Values(Commands(page.w.bus)), QList<int>(lines.size(), Cmd::Up));
    QCOMPARE(PanelText(page.w.form.get(), 2), QString::fromLatin1(ResultText(page.w.state().lastResult)));
}

int main(int argc, char **argv)
{
    LumoApplication app(argc, argv);
    CycleTestTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_cycle_test.moc"

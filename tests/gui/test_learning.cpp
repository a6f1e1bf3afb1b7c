// Stroke learning on the real window against a virtual actuator: the stop
// and learn commands, the wait dialog, the watch and its three endings.

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QListWidget>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>

#include "ConfigTestSupport.h"
#include "modbus/ResultCode.h"

using namespace cfgtest;

namespace {

const std::vector<uint8_t> kStop = {0x01, Fc::WriteSingle, 0x00, 0x25, 0x00, 0x03};
const std::vector<uint8_t> kLearn = {0x01, Fc::WriteSingle, 0x00, 0x25, 0x00, 0x04};

bool StartsWith(const std::vector<uint8_t> &frame, const std::vector<uint8_t> &head)
{
    return frame.size() >= head.size() && std::equal(head.begin(), head.end(), frame.begin());
}

bool IsStatusRead(const std::vector<uint8_t> &frame)
{
    return FunctionOf(frame) == Fc::ReadInput && RegisterOf(frame) == Reg::MotorStatus;
}

bool IsConfigRead(const std::vector<uint8_t> &frame)
{
    return FunctionOf(frame) == Fc::ReadHolding && RegisterOf(frame) >= Reg::MaxPos &&
           RegisterOf(frame) <= Reg::BaudRate;
}

lumosim::BusOptions LearningFor(uint32_t ms)
{
    lumosim::BusOptions options;
    options.learnDurationMs = ms;
    return options;
}

QString WaitText(const Rig &rig)
{
    return Get<QLabel>(rig.waitDlg.get(), "Label1")->text();
}

QTimer *LearnTimer(const Rig &rig)
{
    return rig.form->findChild<QTimer *>(QStringLiteral("MotorLearnStatusTimer"));
}

} // namespace

class LearningTest : public QObject {
    Q_OBJECT
private slots:
    void learnsThenShowsStroke();
    void silentActuatorGivesUpAfterTwentyReads();
    void failedStopShowsNoDialog();
    void scanAbandonsWatch();
    void instantStatusStopsBeforeStopCommand();
    void runStaysWithItsDevice_data();
    void runStaysWithItsDevice();
    void readOfAnotherDeviceWhileLearningEnds();
};

void LearningTest::learnsThenShowsStroke()
{
    Rig rig({{1, Model::LumoP}}, LearningFor(400));
    rig.Connect();
    rig.Select(1, Model::LumoP);
    rig.Click("LearnButton");

    // Stop, then learn; the dialog is up and does not block the window.
    auto requests = rig.Requests();
    QCOMPARE(requests.size(), size_t{2});
    QVERIFY(StartsWith(requests[0], kStop));
    QVERIFY(StartsWith(requests[1], kLearn));
    QVERIFY(rig.waitDlg->isVisible());
    QVERIFY(!rig.waitDlg->isModal());
    QCOMPARE(WaitText(rig), QStringLiteral("Motor learning , please wait..."));
    QCOMPARE(rig.panel(1), QStringLiteral("Motor Learn..."));
    QVERIFY(LearnTimer(rig)->isActive());

    QTest::qWait(150);
    QVERIFY2(rig.waitDlg->isVisible(), "the dialog went while the actuator still learns");
    QTRY_VERIFY_WITH_TIMEOUT(!rig.waitDlg->isVisible(), 5000);

    QCOMPARE(rig.panel(1), QStringLiteral("Motor Learn end"));
    QCOMPARE(rig.edit("StrokeEdit")->text(), QStringLiteral("980"));
    QVERIFY(!LearnTimer(rig)->isActive());
    QVERIFY(rig.dialogs.shown.isEmpty());

    // Status reads while bit 6 is set, the first one that finds it clear,
    // then one configuration read of ten registers and nothing else.
    std::vector<std::vector<uint8_t>> replies;
    for (const lumosim::LoggedFrame &f : rig.bus.FrameLog())
        if (!f.fromMaster && f.bytes.size() == 9 && f.bytes[1] == Fc::ReadInput)
            replies.push_back(f.bytes);
    QVERIFY2(replies.size() >= 3, "too few ticks watched the learning");
    for (size_t i = 0; i + 1 < replies.size(); ++i)
        QVERIFY(replies[i][6] & Flag::Learning);
    QVERIFY(!(replies.back()[6] & Flag::Learning));

    requests = rig.Requests();
    size_t firstConfigRead = requests.size();
    for (size_t i = 0; i < requests.size(); ++i)
        if (IsConfigRead(requests[i]) && firstConfigRead == requests.size())
            firstConfigRead = i;
    QCOMPARE(size_t(std::count_if(requests.begin(), requests.end(), IsStatusRead)), replies.size());
    QCOMPARE(requests.size() - firstConfigRead, size_t{10});
    QVERIFY(IsStatusRead(requests[firstConfigRead - 1]));
}

void LearningTest::silentActuatorGivesUpAfterTwentyReads()
{
    Rig rig({{1, Model::LumoD}}, LearningFor(60000));
    rig.Connect();
    rig.Select(1, Model::LumoD);
    rig.Click("LearnButton");
    QVERIFY(rig.waitDlg->isVisible());
    lumosim::Faults silent;
    silent.silent = true;
    rig.bus.SetFaults(1, silent);

    QTRY_VERIFY_WITH_TIMEOUT(!rig.waitDlg->isVisible(), 10000);
    const auto requests = rig.Requests();
    QCOMPARE(int(std::count_if(requests.begin(), requests.end(), IsStatusRead)), 20);
    QVERIFY(std::none_of(requests.begin(), requests.end(), IsConfigRead));
    QCOMPARE(rig.state().learnErrorCount, 20);
    QCOMPARE(rig.panel(1), QStringLiteral("Motor Learn..."));
    QCOMPARE(rig.panel(2), QString::fromLatin1(ResultText(rig.state().lastResult)));
    QVERIFY(rig.state().lastResult != Result::NoError);
    QVERIFY(!LearnTimer(rig)->isActive());
    QTest::qWait(100);
    QCOMPARE(rig.Requests().size(), requests.size());
}

void LearningTest::failedStopShowsNoDialog()
{
    Rig rig;
    rig.Connect();
    rig.Select(1, Model::LumoP);
    lumosim::Faults silent;
    silent.silent = true;
    rig.bus.SetFaults(1, silent);
    const QString before = rig.panel(1);
    rig.Click("LearnButton");

    QVERIFY(!rig.waitDlg->isVisible());
    QVERIFY(!LearnTimer(rig)->isActive());
    QCOMPARE(rig.panel(1), before);
    QVERIFY(rig.state().lastResult != Result::NoError);
    QCOMPARE(rig.panel(2), QString::fromLatin1(ResultText(rig.state().lastResult)));
    // Every attempt was the stop command; the learn command never went out.
    const auto requests = rig.Requests();
    QCOMPARE(requests.size(), size_t(rig.state().cmdTryCount));
    for (const auto &r : requests)
        QVERIFY(StartsWith(r, kStop));
}

void LearningTest::scanAbandonsWatch()
{
    Rig rig({{1, Model::LumoP}}, LearningFor(60000));
    rig.Connect();
    rig.Select(1, Model::LumoP);
    rig.Click("LearnButton");
    QVERIFY(rig.waitDlg->isVisible());
    rig.Click("ScanDeviceButton");
    QVERIFY(rig.state().isScanning);

    QTRY_VERIFY_WITH_TIMEOUT(!rig.waitDlg->isVisible(), 5000);
    QVERIFY(!LearnTimer(rig)->isActive());
    rig.Click("ScanDeviceButton"); // stop it again
    QTest::qWait(100);
    QVERIFY(rig.panel(1) != QStringLiteral("Motor Learn end"));
    const auto requests = rig.Requests();
    QVERIFY(std::none_of(requests.begin(), requests.end(), IsConfigRead));
    QCOMPARE(rig.edit("StrokeEdit")->text(), QString());
}

void LearningTest::instantStatusStopsBeforeStopCommand()
{
    Rig rig({{1, Model::LumoP}}, LearningFor(100));
    rig.Connect();
    rig.Select(1, Model::LumoP);
    // The Control page polls the same device.
    auto *list = rig.get<QListWidget>("MODBusDevicesListBox");
    if (list->count() == 0)
        list->addItem(QStringLiteral("1"));
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(0)).center());
    auto *box = rig.get<QCheckBox>("GetMotorStatusCheckBox");
    QVERIFY(box->isEnabled());
    QTest::mouseClick(box, Qt::LeftButton);
    QVERIFY(box->isChecked());
    rig.bus.ClearFrameLog();
    QTRY_VERIFY_WITH_TIMEOUT(!rig.Requests().empty(), 2000); // the poll is running

    rig.bus.ClearFrameLog();
    rig.Click("LearnButton");
    QVERIFY(!box->isChecked());
    const auto requests = rig.Requests();
    QVERIFY(!requests.empty());
    QVERIFY(StartsWith(requests[0], kStop));
    QTRY_VERIFY_WITH_TIMEOUT(!rig.waitDlg->isVisible(), 5000);
    QCOMPARE(rig.panel(1), QStringLiteral("Motor Learn end"));
    QVERIFY(!box->isChecked());
}

void LearningTest::runStaysWithItsDevice_data()
{
    // When the operator clicks device 2's row: between the stop and the
    // learn command, or while the watch follows device 1's learning.
    QTest::addColumn<bool>("duringWatch");
    QTest::newRow("between stop and learn") << false;
    QTest::newRow("during the watch") << true;
}

void LearningTest::runStaysWithItsDevice()
{
    QFETCH(bool, duringWatch);
    Rig rig({{1, Model::LumoP}, {2, Model::LumoP}}, LearningFor(400));
    rig.Connect();
    rig.bus.SetHolding(2, Reg::MaxPos, 500); // what the page would show for the wrong device
    rig.Select(2, Model::LumoP);
    rig.Select(1, Model::LumoP);

    auto *list = rig.get<QTableWidget>("BusDevicesListView");
    auto clickRowOf2 = [&] {
        for (int row = 0; row < list->rowCount(); ++row)
            if (list->item(row, 0)->text() == QStringLiteral("2"))
                QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                                  list->visualRect(list->model()->index(row, 0)).center());
    };
    auto sentTo = [&](uint8_t address, const std::vector<uint8_t> &head) {
        std::vector<uint8_t> addressed = head;
        addressed[0] = address;
        const auto requests = rig.Requests();
        return int(std::count_if(requests.begin(), requests.end(),
                                 [&](const std::vector<uint8_t> &r) { return StartsWith(r, addressed); }));
    };
    bool clicked = false;
    QTimer operatorHand;
    operatorHand.setTimerType(Qt::PreciseTimer);
    operatorHand.setInterval(1);
    QObject::connect(&operatorHand, &QTimer::timeout, [&] {
        const bool stopped = sentTo(1, kStop) > 0;
        const bool learning = sentTo(1, kLearn) > 0;
        if (clicked || !stopped || learning != duringWatch || (duringWatch && !LearnTimer(rig)->isActive()))
            return;
        clicked = true;
        clickRowOf2();
    });
    operatorHand.start();
    rig.Click("LearnButton");
    QTRY_VERIFY_WITH_TIMEOUT(clicked, 2000);
    QCOMPARE(rig.state().selectedDeviceId, uint8_t{2});

    // The run ends when device 1 has learned, not when device 2 (which
    // never learns) is read.
    QTRY_VERIFY_WITH_TIMEOUT(!rig.waitDlg->isVisible(), 5000);
    QCOMPARE(rig.panel(1), QStringLiteral("Motor Learn end"));
    QCOMPARE(rig.bus.Holding(1, Reg::MaxPos), uint16_t{980});
    QCOMPARE(sentTo(1, kLearn), 1);
    QCOMPARE(sentTo(2, kLearn), 0);
    QCOMPARE(sentTo(2, kStop), 0);
    const auto requests = rig.Requests();
    for (const auto &r : requests)
        if (IsStatusRead(r))
            QCOMPARE(int{r[0]}, 1);

    // The page shows device 1's learned configuration, under device 1.
    QCOMPARE(rig.state().selectedDeviceId, uint8_t{1});
    QCOMPARE(rig.edit("DeviceIDEdit")->text(), QStringLiteral("1"));
    QCOMPARE(rig.edit("StrokeEdit")->text(), QStringLiteral("980"));
}

// The operator reads device 2 again and again while device 1 learns: its
// learning ends during one of those reads or between two. Whichever it is,
// the page never shows one device's values under the other's address,
// where "Write" would send them.
void LearningTest::readOfAnotherDeviceWhileLearningEnds()
{
    Rig rig({{1, Model::LumoP}, {2, Model::LumoP}}, LearningFor(300));
    rig.Connect();
    rig.bus.SetHolding(2, Reg::MaxPos, 500);
    rig.Select(1, Model::LumoP);
    rig.Click("LearnButton");
    QVERIFY(rig.waitDlg->isVisible());
    rig.Select(2, Model::LumoP);
    QElapsedTimer reading;
    reading.start();
    while (rig.waitDlg->isVisible() && reading.elapsed() < 1500)
        rig.Click("LoadConfigButton");
    QTRY_VERIFY_WITH_TIMEOUT(!rig.waitDlg->isVisible(), 3000);
    QCOMPARE(rig.bus.Holding(1, Reg::MaxPos), uint16_t{980});
    const uint8_t selected = rig.state().selectedDeviceId;
    QCOMPARE(rig.edit("DeviceIDEdit")->text(), QString::number(selected));
    QCOMPARE(rig.edit("StrokeEdit")->text(), selected == 1 ? QStringLiteral("980") : QStringLiteral("500"));
    // No watch transaction between the registers of a read.
    const auto requests = rig.Requests();
    for (size_t i = 1; i + 1 < requests.size(); ++i)
        if (IsStatusRead(requests[i]))
            QVERIFY2(!(IsConfigRead(requests[i - 1]) && IsConfigRead(requests[i + 1]) &&
                       requests[i - 1][0] == 2 && requests[i + 1][0] == 2 && RegisterOf(requests[i + 1]) != Reg::MaxPos),
                     "the learning watch read a status in the middle of a configuration read");
}

std::unique_ptr<QObject> MakeLearningTest()
{
    return std::make_unique<LearningTest>();
}

#include "test_learning.moc"

// The line vanishing while the window works: during a transaction, a bus
// scan, the status poll, stroke learning and a configuration write. Each must
// end with the failure in the status bar, the port closed within about a
// second, no timer ticking on, the wait dialog gone and nothing freed twice
// or used after it was freed; and the window must work again once it is
// connected to a fresh line at the same place.
//
// The plug is pulled either by a thread that watches the bus's frame log, so
// the window can be anywhere, also between a request and its reply; or by a
// timer of the window, which runs only in the waits between transactions,
// with a port watcher quick enough to destroy the port object inside the
// same wait, before the workflow's next transaction.

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ScriptedDialogs.h"
#include "TempRecords.h"
#include "VirtualBus.h"
#include "app/LumoApplication.h"
#include "app/WaitDlg.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "modbus/Registers.h"
#include "modbus/ResultCode.h"
#include "serial/UsbDevice.h"

namespace {

using Steady = std::chrono::steady_clock;
using Frame = std::vector<uint8_t>;
using FrameMatch = std::function<bool(const Frame &)>;

// The production interval of the port watcher: "within about a second" is
// measured against it.
constexpr int kProductionWatchMs = 500;
// Quick enough to run inside one gap between two attempts (20 ms).
constexpr int kQuickWatchMs = 5;

int64_t NowNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Steady::now().time_since_epoch()).count();
}

template <class T> T *Child(QWidget *root, const char *name)
{
    T *found = root->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control named %s", name);
    return found;
}

uint8_t FunctionOf(const Frame &f)
{
    return f.size() >= 2 ? f[1] : 0;
}

uint16_t RegisterOf(const Frame &f)
{
    return f.size() >= 4 ? static_cast<uint16_t>(f[2] << 8 | f[3]) : 0xFFFF;
}

bool IsStatusRead(const Frame &f)
{
    return FunctionOf(f) == Fc::ReadInput && RegisterOf(f) == Reg::MotorStatus;
}

bool IsConfigWrite(const Frame &f)
{
    return FunctionOf(f) == Fc::WriteSingle && RegisterOf(f) >= Reg::MaxPos && RegisterOf(f) <= Reg::BaudRate &&
           RegisterOf(f) != Reg::ActionCmdIn && RegisterOf(f) != Reg::GoToPos;
}

bool IsMotorCommand(const Frame &f)
{
    return FunctionOf(f) == Fc::WriteSingle && RegisterOf(f) == Reg::ActionCmdIn;
}

FrameMatch ToAddress(uint8_t address)
{
    return [address](const Frame &f) { return !f.empty() && f[0] == address; };
}

size_t Heard(const lumosim::VirtualBus &bus, const FrameMatch &match)
{
    size_t n = 0;
    for (const lumosim::LoggedFrame &f : bus.FrameLog())
        if (f.fromMaster && match(f.bytes))
            ++n;
    return n;
}

// Pulls the plug from a thread of its own as soon as the bus has heard
// `count` requests that `match` picks.
class PlugPuller {
public:
    PlugPuller(lumosim::VirtualBus &bus, FrameMatch match, size_t count, std::atomic<int64_t> &pulledAt)
        : thread_([this, &bus, match = std::move(match), count, &pulledAt] {
              while (!stop_) {
                  if (Heard(bus, match) >= count) {
                      bus.Unplug();
                      pulledAt = NowNs();
                      return;
                  }
                  std::this_thread::sleep_for(std::chrono::milliseconds(1));
              }
          })
    {
    }
    ~PlugPuller()
    {
        stop_ = true;
        thread_.join();
    }
    PlugPuller(const PlugPuller &) = delete;
    PlugPuller &operator=(const PlugPuller &) = delete;

private:
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Also notes whether the port was still there when a box came up.
class Dialogs : public ScriptedDialogs {
public:
    void Information(const QString &text) override
    {
        Note();
        ScriptedDialogs::Information(text);
    }
    void Error(const QString &text) override
    {
        Note();
        ScriptedDialogs::Error(text);
    }
    std::function<void()> onBox;

private:
    void Note()
    {
        if (onBox)
            onBox();
    }
};

enum class PulledBy { BusThread, WindowTimer };

// The window on a virtual bus reached through a link that outlives the bus,
// as a udev name outlives an adapter: after an unplug a fresh bus is linked
// at the same place and the operator connects to the same name again.
class Rig {
public:
    explicit Rig(int portWatchMs)
    {
        QDir(sysfs.path()).mkpath(QStringLiteral("class/tty"));
        linkPath = QDir(links.path()).filePath(QStringLiteral("lumo-bus")).toStdString();

        ConsoleEnvironment env;
        env.dialogs = &dialogs;
        const std::string emptyTree = sysfs.path().toStdString();
        env.makeAdapterFinder = [emptyTree] { return std::make_unique<C_USBDevice>(SysfsTree{emptyTree, emptyTree}); };
        env.readSerialPorts = [](std::vector<std::string> *out) {
            if (out)
                out->clear();
            return out != nullptr;
        };
        env.timings.scanTickMs = 20;
        env.timings.statusPollMs = 30;
        env.timings.learnWatchMs = 20;
        env.timings.cycleTestFirstStepMs = 20;
        env.timings.cycleTestSecondMs = 50;
        env.timings.portWatchMs = portWatchMs;
        env.recordsPath = RecordsFileIn(sysfs);
        form = std::make_unique<TMODBUSSettingForm>(std::move(env));
        form->SetWaitDialog(&waitDlg);
        form->show();
        if (!QTest::qWaitForWindowExposed(form.get()))
            qFatal("the window was not shown");

        // Runs whenever the window handles messages, also inside a
        // workflow's waits: notes when the window first shows the port
        // closed, and pulls the plug when it is the window's turn to.
        observer.setInterval(1);
        QObject::connect(&observer, &QTimer::timeout, [this] { Observe(); });
        observer.start();
    }

    ~Rig()
    {
        puller.reset();
        observer.stop();
        form.reset();
    }

    // A fresh bus with `devices`, linked at linkPath; the old one is gone.
    void StartLine(const std::vector<lumosim::DeviceOptions> &devices, const lumosim::BusOptions &options)
    {
        puller.reset();
        bus.reset(); // also removes its link
        bus = std::make_unique<lumosim::VirtualBus>(lumosim::InstantLine(options)); // fast clocks
        for (const auto &d : devices)
            bus->AddDevice(d);
        if (!bus->Start() || !bus->MakeLink(linkPath))
            qFatal("virtual bus did not start");
    }

    void Connect()
    {
        auto *combo = get<QComboBox>("PortNameComboBox");
        Reveal(combo);
        combo->lineEdit()->selectAll();
        QTest::keyClick(combo->lineEdit(), Qt::Key_Backspace);
        QTest::keyClicks(combo->lineEdit(), QString::fromStdString(linkPath));
        Click("ConnectButton");
        if (!state().isConnected)
            qFatal("the window did not connect to %s", linkPath.c_str());
    }

    // Pulls the plug once the bus has heard `count` requests that `match` picks.
    void Arm(PulledBy by, FrameMatch match, size_t count)
    {
        bus->ClearFrameLog();
        if (by == PulledBy::BusThread) {
            puller = std::make_unique<PlugPuller>(*bus, std::move(match), count, pulledAt);
        } else {
            windowMatch = std::move(match);
            windowCount = count;
        }
    }

    bool Pulled() const { return pulledAt != 0; }
    // From the plug pulled to the window showing "Disconnect"; -1 if not yet.
    int64_t DisconnectDelayMs() const
    {
        return disconnectedAt == 0 ? -1 : (disconnectedAt - pulledAt) / 1000000;
    }

    // Nothing left running: no timer, no scan, no transfer, no dialog.
    bool Settled() const
    {
        return !state().isScanning && !state().isBusy && !state().uiBusy && !waitDlg.isVisible() &&
               !Timer("GetDeviceStatusTimer")->isActive() && !Timer("MotorLearnStatusTimer")->isActive() &&
               !Timer("cycleTestTimer")->isActive();
    }

    const ConsoleState &state() const { return form->consoleState(); }
    template <class T> T *get(const char *name) const { return Child<T>(form.get(), name); }
    QTimer *Timer(const char *name) const { return form->findChild<QTimer *>(QString::fromLatin1(name)); }
    QString Panel(int index) const { return get<TStatusBar>("OptionStatusBar")->PanelText(index); }

    // Brings the page holding `control` to the front; the Debug page's tab
    // is hidden in the product, so it is shown first.
    void Reveal(QWidget *control) const
    {
        auto *tabs = get<QTabWidget>("PageControl1");
        for (QWidget *w = control; w; w = w->parentWidget()) {
            const int index = tabs->indexOf(w);
            if (index >= 0) {
                tabs->setTabVisible(index, true);
                tabs->setCurrentIndex(index);
                return;
            }
        }
    }

    void Click(const char *name) const
    {
        auto *button = get<QAbstractButton>(name);
        Reveal(button);
        QTest::mouseClick(button, Qt::LeftButton);
    }

    // Lists `address` as a scan does and clicks its row on the Bus Devices page.
    void SelectDevice(uint8_t address, uint32_t model) const
    {
        auto *list = get<QTableWidget>("BusDevicesListView");
        Reveal(list);
        const int row = list->rowCount();
        list->insertRow(row);
        list->setItem(row, 0, new QTableWidgetItem(QString::number(address)));
        list->setItem(row, 1, new QTableWidgetItem(QString::fromLatin1(Model::NameOf(model).data())));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row, 0)).center());
        if (state().selectedDeviceId != address)
            qFatal("clicking the row did not select device %d", address);
    }

    // The same on the Control page's list.
    void SelectControlDevice(uint8_t address) const
    {
        auto *list = get<QListWidget>("MODBusDevicesListBox");
        Reveal(list);
        list->addItem(QString::number(address));
        QListWidgetItem *item = list->item(list->count() - 1);
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(item).center());
        if (state().controlDeviceId != address || state().controlModel == Model::None)
            qFatal("clicking the item did not select device %d", address);
    }

    QStringList ListedRows() const
    {
        auto *list = get<QTableWidget>("BusDevicesListView");
        QStringList rows;
        for (int i = 0; i < list->rowCount(); ++i)
            rows << list->item(i, 0)->text() + QLatin1Char(' ') + list->item(i, 1)->text();
        return rows;
    }

    std::vector<Frame> Requests() const
    {
        std::vector<Frame> out;
        for (const auto &f : bus->FrameLog())
            if (f.fromMaster)
                out.push_back(f.bytes);
        return out;
    }

    QTemporaryDir sysfs;
    QTemporaryDir links;
    std::string linkPath;
    Dialogs dialogs;
    std::unique_ptr<lumosim::VirtualBus> bus;
    TWaitDlg waitDlg;
    std::unique_ptr<TMODBUSSettingForm> form;
    QTimer observer;
    std::unique_ptr<PlugPuller> puller;
    std::atomic<int64_t> pulledAt{0};
    int64_t disconnectedAt = 0;
    FrameMatch windowMatch;
    size_t windowCount = 0;
    // Set by a case that checks where a workflow stood when the port went.
    bool portGoneInside = false;

private:
    void Observe()
    {
        if (windowMatch && pulledAt == 0 && Heard(*bus, windowMatch) >= windowCount) {
            windowMatch = nullptr;
            bus->Unplug();
            pulledAt = NowNs();
        }
        if (pulledAt != 0 && disconnectedAt == 0 && !state().isConnected && Panel(0) == QStringLiteral("Disconnect"))
            disconnectedAt = NowNs();
    }
};

lumosim::DeviceOptions Device(uint8_t address, uint16_t model = Model::LumoD)
{
    lumosim::DeviceOptions d;
    d.address = address;
    d.model = model;
    return d;
}

lumosim::Faults ReplyDelay(uint32_t ms)
{
    lumosim::Faults f;
    f.replyDelayMs = ms;
    return f;
}

// One way of being unplugged while working.
struct UnplugCase {
    const char *name;
    std::vector<lumosim::DeviceOptions> devices;
    lumosim::BusOptions bus;
    int portWatchMs;
    std::function<void(Rig &)> prepare; // before the plug can be pulled
    PulledBy pulledBy;
    FrameMatch pullAfter;               // the plug goes once the bus has heard
    size_t pullCount;                   // this many such requests
    std::function<void(Rig &)> start;   // the workflow that gets unplugged
    QString action;                     // status panel 1 at the end
    std::function<void(Rig &)> verify;  // what this workflow leaves behind
    QString failure = QStringLiteral("Port Error"); // status panel 2 at the end
};

lumosim::BusOptions LongLearning()
{
    lumosim::BusOptions o;
    o.learnDurationMs = 60000; // still learning when the plug goes
    return o;
}

// A device on the Actuators page with its configuration read onto the page.
void ReadConfiguration(Rig &rig)
{
    rig.SelectDevice(1, Model::LumoD);
    rig.Click("LoadConfigButton");
    if (rig.dialogs.shown.value(rig.dialogs.shown.size() - 1) != QStringLiteral("info: Get device config successfully !"))
        qFatal("the configuration was not read");
    rig.dialogs.shown.clear();
}

void ExpectWriteFailed(Rig &rig)
{
    QCOMPARE(rig.dialogs.shown, QStringList{QStringLiteral("error: Failed to update device configuration !")});
}

const std::vector<UnplugCase> &Cases()
{
    static const std::vector<UnplugCase> cases = {
        {"Debug page read, awaiting its reply",
         {Device(1)},
         {},
         kProductionWatchMs,
         [](Rig &rig) {
             // A read of input register 0x003F from device 1; the reply comes
             // late, so the plug goes between the request and its reply.
             auto *function = rig.get<QComboBox>("FunCodeComboBox");
             rig.Reveal(function);
             QTest::keyClick(function, Qt::Key_Down); // "READ INPUT REG 0x04"
             QTest::keyClicks(rig.get<QLineEdit>("AddressEdit"), QStringLiteral("1"));
             rig.bus->SetFaults(1, ReplyDelay(80));
         },
         PulledBy::BusThread,
         IsStatusRead,
         1,
         [](Rig &rig) { rig.Click("dSendCMDButton"); },
         QString(),
         [](Rig &rig) { QCOMPARE(rig.Requests().size(), size_t{1}); }},

        {"motion command, awaiting its echo",
         {Device(1)},
         {},
         kProductionWatchMs,
         [](Rig &rig) {
             rig.SelectControlDevice(1);
             rig.bus->SetFaults(1, ReplyDelay(80));
         },
         PulledBy::BusThread,
         IsMotorCommand,
         1,
         [](Rig &rig) { rig.Click("motorUpButton"); },
         QStringLiteral("Motor up..."),
         [](Rig &rig) {
             // The command failed, so the poll never started.
             QCOMPARE(rig.Requests().size(), size_t{1});
             QVERIFY(rig.Panel(1) == QStringLiteral("Motor up..."));
         }},

        {"bus scan, probing an absent address",
         {Device(1), Device(3)},
         {},
         kProductionWatchMs,
         {},
         PulledBy::BusThread,
         ToAddress(2),
         1,
         [](Rig &rig) { rig.Click("ScanDeviceButton"); },
         QStringLiteral("GetStatus ID = 2"),
         [](Rig &rig) {
             // The scan ended at the probe that lost the port.
             QCOMPARE(rig.ListedRows(), QStringList{QStringLiteral("1 LUMO-D")});
             QCOMPARE(rig.state().scanId, uint8_t{2});
             QCOMPARE(rig.get<QPushButton>("ScanDeviceButton")->text(), QStringLiteral("Scan Devices"));
         }},

        {"bus scan, port destroyed before the model read",
         {Device(1)},
         {},
         kQuickWatchMs,
         [](Rig &rig) {
             // The row of a device goes in after its model read; by then the
             // watcher must have destroyed the port in the wait before it.
             auto *list = rig.get<QTableWidget>("BusDevicesListView");
             QObject::connect(list->model(), &QAbstractItemModel::rowsInserted, &rig.observer,
                              [&rig] { rig.portGoneInside = !rig.state().comPort; });
         },
         PulledBy::WindowTimer,
         ToAddress(1),
         1,
         [](Rig &rig) { rig.Click("ScanDeviceButton"); },
         QStringLiteral("GetStatus ID = 2"),
         [](Rig &rig) {
             QVERIFY(rig.portGoneInside);
             // The probe answered, the model could not be asked for.
             QCOMPARE(rig.ListedRows(), QStringList{QStringLiteral("1 unknow")});
             QCOMPARE(rig.Requests().size(), size_t{1});
         }},

        {"status poll, Show instant status",
         {Device(1)},
         {},
         kProductionWatchMs,
         [](Rig &rig) {
             rig.SelectControlDevice(1);
             auto *box = rig.get<QCheckBox>("GetMotorStatusCheckBox");
             QTest::mouseClick(box, Qt::LeftButton);
             if (!box->isChecked())
                 qFatal("Show instant status did not check");
         },
         PulledBy::BusThread,
         IsStatusRead,
         3,
         {},
         QStringLiteral("GetStatus ID = 1"),
         [](Rig &rig) { QVERIFY(rig.get<QCheckBox>("GetMotorStatusCheckBox")->isChecked()); }},

        {"status poll, actuator moving",
         {Device(1)},
         {},
         kProductionWatchMs,
         [](Rig &rig) { rig.SelectControlDevice(1); },
         PulledBy::BusThread,
         IsStatusRead,
         3,
         [](Rig &rig) {
             rig.Click("motorUpButton");
             if (!rig.Timer("GetDeviceStatusTimer")->isActive())
                 qFatal("the poll did not start");
         },
         // The actuator was moving when the port went: the status bar says so.
         QStringLiteral("%1 is gone: device 1 may still be moving; connect to it again to stop"),
         [](Rig &rig) { QVERIFY(!rig.get<QCheckBox>("GetMotorStatusCheckBox")->isChecked()); }},

        {"stroke learning, wait dialog up",
         {Device(1)},
         LongLearning(),
         kProductionWatchMs,
         [](Rig &rig) { rig.SelectDevice(1, Model::LumoD); },
         PulledBy::BusThread,
         IsStatusRead,
         3,
         [](Rig &rig) {
             rig.Click("LearnButton");
             if (!rig.waitDlg.isVisible())
                 qFatal("the wait dialog did not come up");
         },
         QStringLiteral("%1 is gone: device 1 may still be moving; connect to it again to stop"),
         [](Rig &rig) {
             // Given up after its twenty failed reads: no "Motor Learn end".
             QCOMPARE(rig.state().learnErrorCount, 20);
         }},

        {"configuration read, inside a register's transaction",
         {Device(1)},
         {},
         kProductionWatchMs,
         [](Rig &rig) { rig.SelectDevice(1, Model::LumoD); },
         PulledBy::BusThread,
         [](const Frame &f) { return FunctionOf(f) == Fc::ReadHolding && RegisterOf(f) == Reg::CurrentLimit; },
         1,
         [](Rig &rig) { rig.Click("LoadConfigButton"); },
         QStringLiteral("Get config data"),
         [](Rig &rig) {
             // A failed read shows no box and leaves the page as it was.
             QVERIFY(rig.dialogs.shown.isEmpty());
             QCOMPARE(rig.get<QLineEdit>("StrokeEdit")->text(), QString());
         }},

        {"configuration write, inside a register's transaction",
         {Device(1)},
         {},
         kProductionWatchMs,
         ReadConfiguration,
         PulledBy::BusThread,
         IsConfigWrite,
         3,
         [](Rig &rig) { rig.Click("UpdateConfigButton"); },
         QStringLiteral("Set config data"),
         ExpectWriteFailed},

        {"configuration write, port destroyed between two registers",
         {Device(1)},
         {},
         kQuickWatchMs,
         [](Rig &rig) {
             ReadConfiguration(rig);
             rig.dialogs.onBox = [&rig] { rig.portGoneInside = !rig.state().comPort; };
         },
         PulledBy::WindowTimer,
         IsConfigWrite,
         3,
         [](Rig &rig) { rig.Click("UpdateConfigButton"); },
         QStringLiteral("Set config data"),
         [](Rig &rig) {
             ExpectWriteFailed(rig);
             QVERIFY(rig.portGoneInside);
             const auto requests = rig.Requests();
             QCOMPARE(requests.size(), size_t{3});
             QCOMPARE(RegisterOf(requests.back()), Reg::FrontLimit);
         }},

        // The device takes FrontLimit but its replies are garbled; the plug
        // goes while the write reads that register back. The read-back
        // fails like any read: the write is reported failed, not taken, and
        // the failure shown stays the write's own.
        {"configuration write, during the read-back after a lost reply",
         {Device(1)},
         {},
         kProductionWatchMs,
         [](Rig &rig) {
             ReadConfiguration(rig);
             lumosim::Faults garbled;
             garbled.corruptWriteReplyRegister = Reg::FrontLimit;
             rig.bus->SetFaults(1, garbled);
         },
         PulledBy::BusThread,
         [](const Frame &f) { return FunctionOf(f) == Fc::ReadHolding && RegisterOf(f) == Reg::FrontLimit; },
         1,
         [](Rig &rig) { rig.Click("UpdateConfigButton"); },
         QStringLiteral("Set config data"),
         ExpectWriteFailed,
         QStringLiteral("Checksum Error")},
    };
    return cases;
}

} // namespace

class UnplugTest : public QObject {
    Q_OBJECT
private slots:
    void endsCleanly_data();
    void endsCleanly();
};

void UnplugTest::endsCleanly_data()
{
    QTest::addColumn<int>("index");
    for (size_t i = 0; i < Cases().size(); ++i)
        QTest::newRow(Cases()[i].name) << static_cast<int>(i);
}

void UnplugTest::endsCleanly()
{
    QFETCH(int, index);
    const UnplugCase &c = Cases()[static_cast<size_t>(index)];
    Rig rig(c.portWatchMs);
    rig.StartLine(c.devices, c.bus);
    rig.Connect();
    if (c.prepare)
        c.prepare(rig);
    rig.Arm(c.pulledBy, c.pullAfter, c.pullCount);
    if (c.start)
        c.start(rig);

    QTRY_VERIFY_WITH_TIMEOUT(rig.Pulled(), 5000);
    // The watcher notices the vanished port and closes it.
    QTRY_VERIFY_WITH_TIMEOUT(rig.DisconnectDelayMs() >= 0, 3000);
    QVERIFY2(rig.DisconnectDelayMs() < 1000, qPrintable(QStringLiteral("%1 ms").arg(rig.DisconnectDelayMs())));
    qInfo("port closed %lld ms after the unplug", static_cast<long long>(rig.DisconnectDelayMs()));
    QVERIFY(!rig.state().comPort);
    QCOMPARE(rig.state().portName, std::string());
    QCOMPARE(rig.get<QPushButton>("ConnectButton")->text(), QStringLiteral("Connect"));

    // Whatever ran has ended, and stays ended.
    QTRY_VERIFY_WITH_TIMEOUT(rig.Settled(), 3000);
    QTest::qWait(100);
    QVERIFY(rig.Settled());
    QCOMPARE(rig.Panel(0), QStringLiteral("Disconnect"));
    // The failure the workflow met stays in view: the port's removal is no
    // success to report.
    QCOMPARE(rig.Panel(2), c.failure);
    if (!c.action.isEmpty())
        QCOMPARE(rig.Panel(1), QString(c.action).replace(QStringLiteral("%1"), QString::fromStdString(rig.linkPath)));
    if (c.verify)
        c.verify(rig);
    if (QTest::currentTestFailed())
        return;

    // A fresh line at the same place: connect again and scan.
    rig.dialogs.onBox = nullptr;
    rig.StartLine(c.devices, {});
    rig.Connect();
    QCOMPARE(rig.Panel(0), QStringLiteral("Connected"));
    rig.Click("ScanDeviceButton");
    QTRY_VERIFY_WITH_TIMEOUT(!rig.ListedRows().isEmpty(), 5000);
    rig.Click("ScanDeviceButton"); // "Stop Scan"
    QCOMPARE(rig.ListedRows().first(), QStringLiteral("1 LUMO-D"));
    QTRY_VERIFY_WITH_TIMEOUT(rig.Settled(), 3000);
    QVERIFY(rig.state().isConnected);
}

int main(int argc, char **argv)
{
    LumoApplication app(argc, argv);
    UnplugTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_unplug.moc"

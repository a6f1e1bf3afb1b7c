// Connecting and disconnecting against a virtual bus on a pseudo-terminal,
// the port list, "Auto Select", and a port that vanishes while open.

#include <QProcess>
#include <QStandardPaths>

#include "GuiSupport.h"
#include "GuiTests.h"
#include "RequiredTool.h"
#include "VirtualBus.h"
#include "modbus/ResultCode.h"
#include "serial/ComPort.h"

namespace {

// A bus of one actuator, serving on a fresh pseudo-terminal.
struct Bus {
    Bus()
    {
        lumosim::DeviceOptions device;
        device.address = 1;
        bus.AddDevice(device);
        if (!bus.Start())
            qFatal("virtual bus did not start");
    }
    std::string Path() const { return bus.DevicePath(); }
    lumosim::VirtualBus bus{lumosim::InstantLine()};
};

void TypePort(TMODBUSSettingForm *form, const std::string &text)
{
    auto *combo = Find<QComboBox>(form, "PortNameComboBox");
    combo->lineEdit()->selectAll();
    QTest::keyClick(combo->lineEdit(), Qt::Key_Backspace);
    QTest::keyClicks(combo->lineEdit(), QString::fromStdString(text));
}

void ClickConnect(TMODBUSSettingForm *form)
{
    QTest::mouseClick(Find<QPushButton>(form, "ConnectButton"), Qt::LeftButton);
}

// Chooses a baud rate item as the operator does, with the keyboard.
void ChooseBaudItem(TMODBUSSettingForm *form, int index)
{
    auto *combo = Find<QComboBox>(form, "BaudRateComboBox");
    if (index < 0) {
        combo->setCurrentIndex(-1); // no selection: not reachable by hand
        return;
    }
    QTest::keyClick(combo, Qt::Key_Home);
    for (int i = 0; i < index; ++i)
        QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(combo->currentIndex(), index);
}

// True when the port can be opened now, that is, nobody holds it.
bool PortFree(const std::string &path)
{
    C_ComPort probe;
    const bool opened = probe.Open(path, 115200, 2048);
    probe.Close();
    return opened;
}

QString ButtonText(TMODBUSSettingForm *form)
{
    return Find<QPushButton>(form, "ConnectButton")->text();
}

} // namespace

class ConnectionTest : public QObject {
    Q_OBJECT
private slots:
    void connectAndDisconnect_data();
    void connectAndDisconnect();
    void comPortTextFails();
    void portHeldByAnotherProcess();
    void moveToAnotherPort();
    void emptyTextWhileConnectedDisconnects();
    void removalClosesPort_data();
    void removalClosesPort();
    void portListOnDropDown();
    void arrivalRefreshesList();
    void autoSelectWithoutAdapters();
};

void ConnectionTest::connectAndDisconnect_data()
{
    QTest::addColumn<int>("item");
    QTest::addColumn<int>("baudRate");
    QTest::addColumn<uint32_t>("responseDelayMs");
    QTest::addColumn<uint32_t>("commandGapMs");
    QTest::newRow("115200 (Default)") << 0 << 115200 << 30u << 20u;
    QTest::newRow("4800") << 1 << 4800 << 100u << 50u;
    QTest::newRow("9600") << 2 << 9600 << 55u << 35u;
    QTest::newRow("19200") << 3 << 19200 << 40u << 25u;
    QTest::newRow("no selection") << -1 << 115200 << 50u << 30u;
}

void ConnectionTest::connectAndDisconnect()
{
    QFETCH(int, item);
    QFETCH(int, baudRate);
    QFETCH(uint32_t, responseDelayMs);
    QFETCH(uint32_t, commandGapMs);
    Bus bus;
    QuietWindow w;
    TMODBUSSettingForm *form = w.form.get();
    const ConsoleState &s = form->consoleState();

    // A rate chosen earlier must not stick when "no selection" follows it.
    ChooseBaudItem(form, 2);
    ChooseBaudItem(form, item);
    if (item >= 0)
        QCOMPARE(s.baudRate, baudRate);
    TypePort(form, bus.Path());
    ClickConnect(form);

    QVERIFY(s.isConnected);
    QCOMPARE(s.portName, bus.Path());
    QCOMPARE(ButtonText(form), QStringLiteral("Disconnect"));
    QCOMPARE(PanelText(form, 0), QStringLiteral("Connected"));
    QCOMPARE(PanelText(form, 2), QStringLiteral("No Error"));
    QCOMPARE(s.responseDelayMs, responseDelayMs);
    QCOMPARE(s.commandGapMs, commandGapMs);
    QVERIFY(!Find<QComboBox>(form, "BaudRateComboBox")->isEnabled());
    QVERIFY(Find<QPushButton>(form, "ScanDeviceButton")->isEnabled());
    QVERIFY2(!PortFree(bus.Path()), "the window does not hold the port");

    // The same text again disconnects; the timings stay as the connect set them.
    ClickConnect(form);
    QVERIFY(!s.isConnected);
    QVERIFY(!s.comPort);
    QCOMPARE(s.portName, std::string());
    QCOMPARE(ButtonText(form), QStringLiteral("Connect"));
    QCOMPARE(PanelText(form, 0), QStringLiteral("Disconnect"));
    QCOMPARE(PanelText(form, 2), QStringLiteral("No Error"));
    QVERIFY(Find<QComboBox>(form, "BaudRateComboBox")->isEnabled());
    QVERIFY(!Find<QPushButton>(form, "ScanDeviceButton")->isEnabled());
    QCOMPARE(s.responseDelayMs, responseDelayMs);
    QCOMPARE(s.commandGapMs, commandGapMs);
    QVERIFY2(PortFree(bus.Path()), "the port is still held after the disconnect");
}

void ConnectionTest::comPortTextFails()
{
    QuietWindow w;
    TMODBUSSettingForm *form = w.form.get();
    QCOMPARE(Find<QComboBox>(form, "PortNameComboBox")->currentText(), QStringLiteral("Com Port"));
    ClickConnect(form);
    QVERIFY(!form->consoleState().isConnected);
    QCOMPARE(form->consoleState().lastResult, uint32_t{Result::PortError});
    QCOMPARE(PanelText(form, 2), QStringLiteral("Port Error"));
    QCOMPARE(PanelText(form, 0), QStringLiteral("Disconnect"));
    QCOMPARE(ButtonText(form), QStringLiteral("Connect"));
}

void ConnectionTest::portHeldByAnotherProcess()
{
    const QString python = QStandardPaths::findExecutable(QStringLiteral("python3"), {QStringLiteral("/usr/bin")});
    REQUIRE_TOOL(!python.isEmpty(), "/usr/bin/python3 is not installed (Debian package python3-minimal)");
    Bus bus;
    QuietWindow w;
    TMODBUSSettingForm *form = w.form.get();

    // Another process locks the port as the tool does, says so, and keeps
    // the lock until its standard input closes.
    QProcess holder;
    holder.start(python, {QStringLiteral("-c"),
                          QStringLiteral("import fcntl, os, sys\n"
                                         "fd = os.open(sys.argv[1], os.O_RDWR | os.O_NOCTTY)\n"
                                         "fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)\n"
                                         "print('locked', flush=True)\n"
                                         "sys.stdin.read()\n"),
                          QString::fromStdString(bus.Path())});
    QVERIFY(holder.waitForStarted(5000));
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += holder.readAllStandardOutput()).contains("locked") ||
                                 holder.state() == QProcess::NotRunning,
                             5000);
    QCOMPARE(holder.state(), QProcess::Running);

    TypePort(form, bus.Path());
    ClickConnect(form);
    QVERIFY(!form->consoleState().isConnected);
    QCOMPARE(PanelText(form, 2), QStringLiteral("Port Error"));
    QCOMPARE(ButtonText(form), QStringLiteral("Connect"));

    holder.closeWriteChannel();
    QVERIFY(holder.waitForFinished(5000));
    // Once the other process has let go, the same click connects.
    ClickConnect(form);
    QVERIFY(form->consoleState().isConnected);
    QCOMPARE(PanelText(form, 2), QStringLiteral("No Error"));
}

void ConnectionTest::moveToAnotherPort()
{
    Bus first;
    Bus second;
    QuietWindow w;
    TMODBUSSettingForm *form = w.form.get();
    const ConsoleState &s = form->consoleState();
    TypePort(form, first.Path());
    ClickConnect(form);
    QVERIFY(s.isConnected);

    TypePort(form, second.Path());
    ClickConnect(form);
    QVERIFY(s.isConnected);
    QCOMPARE(s.portName, second.Path());
    QCOMPARE(ButtonText(form), QStringLiteral("Disconnect"));
    QVERIFY(PortFree(first.Path()));

    // A move to a port that cannot be opened ends with nothing open.
    TypePort(form, "/dev/lumo-no-such-port");
    ClickConnect(form);
    QVERIFY(!s.isConnected);
    QVERIFY(!s.comPort);
    QCOMPARE(PanelText(form, 2), QStringLiteral("Port Error"));
    QCOMPARE(PanelText(form, 0), QStringLiteral("Disconnect"));
    QCOMPARE(ButtonText(form), QStringLiteral("Connect"));
    QVERIFY(PortFree(second.Path()));
}

void ConnectionTest::emptyTextWhileConnectedDisconnects()
{
    Bus bus;
    QuietWindow w;
    TMODBUSSettingForm *form = w.form.get();
    TypePort(form, bus.Path());
    ClickConnect(form);
    QVERIFY(form->consoleState().isConnected);

    TypePort(form, "");
    ClickConnect(form);
    // Not "Disconnect" on screen while the port stays held.
    QVERIFY(!form->consoleState().isConnected);
    QVERIFY(!form->consoleState().comPort);
    QCOMPARE(ButtonText(form), QStringLiteral("Connect"));
    QVERIFY(PortFree(bus.Path()));
}

void ConnectionTest::removalClosesPort_data()
{
    QTest::addColumn<bool>("throughLink");
    QTest::newRow("pseudo-terminal") << false;
    QTest::newRow("link to it") << true;
}

void ConnectionTest::removalClosesPort()
{
    QFETCH(bool, throughLink);
    Bus bus;
    QTemporaryDir dir;
    std::string path = bus.Path();
    if (throughLink) {
        path = dir.filePath(QStringLiteral("lumo-bus")).toStdString();
        QVERIFY(bus.bus.MakeLink(path));
    }
    QuietWindow w;
    TMODBUSSettingForm *form = w.form.get();
    const ConsoleState &s = form->consoleState();
    TypePort(form, path);
    ClickConnect(form);
    QVERIFY(s.isConnected);

    bus.bus.Unplug();
    QTRY_VERIFY_WITH_TIMEOUT(!s.isConnected, 3000);
    QVERIFY(!s.comPort);
    QCOMPARE(s.portName, std::string());
    QCOMPARE(ButtonText(form), QStringLiteral("Connect"));
    QCOMPARE(PanelText(form, 0), QStringLiteral("Disconnect"));
    QCOMPARE(PanelText(form, 2), QStringLiteral("No Error"));
    QCOMPARE(Find<QComboBox>(form, "PortNameComboBox")->currentText(), QStringLiteral("Com Port"));
    QVERIFY(Find<QComboBox>(form, "BaudRateComboBox")->isEnabled());
}

void ConnectionTest::portListOnDropDown()
{
    Bus bus;
    QuietWindow w({"COM2", "com10", "COM1"});
    TMODBUSSettingForm *form = w.form.get();
    auto *combo = Find<QComboBox>(form, "PortNameComboBox");
    auto items = [combo] {
        QStringList list;
        for (int i = 0; i < combo->count(); ++i)
            list << combo->itemText(i);
        return list;
    };

    combo->showPopup();
    combo->hidePopup();
    // Sorted as text ignoring case; "Com Port" is no port and stays the text.
    QCOMPARE(items(), (QStringList{"COM1", "com10", "COM2"}));
    QCOMPARE(combo->currentText(), QStringLiteral("Com Port"));

    TypePort(form, "com2");
    combo->showPopup();
    combo->hidePopup();
    QCOMPARE(combo->currentText(), QStringLiteral("com2"));

    TypePort(form, "COM7");
    combo->showPopup();
    combo->hidePopup();
    QCOMPARE(combo->currentText(), QStringLiteral("Com Port"));

    // The open port's path is in no list, yet it stays: the next click on
    // "Disconnect" must disconnect, not try to open "Com Port".
    TypePort(form, bus.Path());
    ClickConnect(form);
    QVERIFY(form->consoleState().isConnected);
    combo->showPopup();
    combo->hidePopup();
    QCOMPARE(combo->currentText().toStdString(), bus.Path());
    ClickConnect(form);
    QVERIFY(!form->consoleState().isConnected);
    QCOMPARE(PanelText(form, 2), QStringLiteral("No Error"));
}

void ConnectionTest::arrivalRefreshesList()
{
    QuietWindow w({"/dev/ttyUSB0"});
    TMODBUSSettingForm *form = w.form.get();
    auto *combo = Find<QComboBox>(form, "PortNameComboBox");
    QCOMPARE(combo->count(), 0);

    w.portList->push_back("/dev/ttyACM0");
    QTRY_COMPARE_WITH_TIMEOUT(combo->count(), 2, 2000);
    QCOMPARE(combo->itemText(0), QStringLiteral("/dev/ttyACM0"));
    QCOMPARE(combo->currentText(), QStringLiteral("Com Port"));

    w.portList->erase(w.portList->begin());
    QTRY_COMPARE_WITH_TIMEOUT(combo->count(), 1, 2000);
    QCOMPARE(combo->itemText(0), QStringLiteral("/dev/ttyACM0"));
}

void ConnectionTest::autoSelectWithoutAdapters()
{
    QuietWindow w({"/dev/ttyS1", "/dev/ttyS0"});
    TMODBUSSettingForm *form = w.form.get();
    auto *combo = Find<QComboBox>(form, "PortNameComboBox");
    auto *autoSelect = Find<QCheckBox>(form, "autoSelectComPortCheckBox");
    ClickConnect(form); // leaves "Port Error" behind
    QCOMPARE(form->consoleState().lastResult, uint32_t{Result::PortError});

    QTest::mouseClick(autoSelect, Qt::LeftButton);
    QVERIFY(autoSelect->isChecked());
    QVERIFY(!combo->isEnabled());
    QCOMPARE(combo->count(), 0);
    QCOMPARE(combo->currentText(), QString());

    // No usable entry: nothing is opened and the last result stands.
    ClickConnect(form);
    QVERIFY(!form->consoleState().isConnected);
    QCOMPARE(form->consoleState().lastResult, uint32_t{Result::PortError});
    QCOMPARE(ButtonText(form), QStringLiteral("Connect"));

    QTest::mouseClick(autoSelect, Qt::LeftButton);
    QVERIFY(combo->isEnabled());
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->currentText(), QString());
}

std::unique_ptr<QObject> MakeConnectionTest()
{
    return std::make_unique<ConnectionTest>();
}

#include "test_connection.moc"

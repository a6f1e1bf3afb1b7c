// The window as it opens: frame, pages, controls, start values, input limits,
// layout, and what RefreshUiState derives from the console state.

#include <QAbstractButton>
#include <QFile>
#include <QFontMetrics>
#include <QGroupBox>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QRadioButton>
#include <QScreen>
#include <QSlider>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QValidator>

#include "GuiSupport.h"
#include "GuiTests.h"
#include "RequiredTool.h"
#include "console/Fonts.h"
#include "console/PerformanceGraph.h"
#include "console/Shape.h"
#include "modbus/ResultCode.h"

namespace {

// One console state and what the guarded controls must show for it.
struct UiCase {
    bool isConnected = false;
    bool isScanning = false;
    uint8_t selectedDeviceId = 0;
    bool configValid = false;
    uint8_t newDeviceId = 0;
    uint32_t controlModel = Model::None;
    uint8_t controlDeviceId = 0;
    bool targetPosValid = false;
    bool posRangeKnown = false;
    bool listSelected = false;
    uint32_t lastResult = 0;
    UiView expected;
    bool atStart = false; // the state a new window opens with
};

UiView Closed()
{
    UiView v;
    v.connectionText = QStringLiteral("Disconnect");
    v.resultText = QStringLiteral("No Error");
    v.baudRateEnabled = true;
    v.scanCaption = QStringLiteral("Scan Devices");
    return v;
}

UiView Open()
{
    UiView v = Closed();
    v.connectionText = QStringLiteral("Connected");
    v.baudRateEnabled = false;
    v.scanEnabled = true;
    return v;
}

} // namespace

Q_DECLARE_METATYPE(UiCase)

class WindowTest : public QObject {
    Q_OBJECT
private slots:
    void uiStateTable_data();
    void uiStateTable();
    void windowFrame();
    void controls_data();
    void controls();
    void digitsEdits_data();
    void digitsEdits();
    void startValues();
    void fontAndLayout();
    void customControls();
    void initTestCase() { shared_ = std::make_unique<QuietWindow>(); }
    void cleanupTestCase() { shared_.reset(); }

private:
    std::unique_ptr<QuietWindow> shared_; // for rows that only look
};

void WindowTest::uiStateTable_data()
{
    QTest::addColumn<UiCase>("c");
    UiCase c;

    c = {};
    c.atStart = true;
    c.expected = Closed();
    QTest::newRow("start: nothing connected, nothing selected") << c;

    for (bool connected : {false, true}) {
        const char *where = connected ? "connected" : "no port";
        c = {};
        c.isConnected = connected;
        c.controlModel = Model::LumoD;
        c.posRangeKnown = true;
        c.expected = connected ? Open() : Closed();
        c.expected.motionEnabled = c.expected.goEnabled = true;
        QTest::newRow(qPrintable(QStringLiteral("LUMO-D, %1: moves").arg(QLatin1String(where)))) << c;

        // Go needs the device's own limits, whatever the model allows.
        c.posRangeKnown = false;
        c.expected.goEnabled = false;
        QTest::newRow(qPrintable(QStringLiteral("LUMO-D, %1, range not read: no Go").arg(QLatin1String(where))))
            << c;

        c = {};
        c.isConnected = connected;
        c.controlModel = Model::LumoP;
        c.targetPosValid = true;
        c.expected = connected ? Open() : Closed();
        QTest::newRow(qPrintable(QStringLiteral("LUMO-P, %1: never moves").arg(QLatin1String(where)))) << c;

        c = {};
        c.isConnected = connected;
        c.controlModel = Model::None;
        c.targetPosValid = true;
        c.expected = connected ? Open() : Closed();
        QTest::newRow(qPrintable(QStringLiteral("no model, %1: never moves").arg(QLatin1String(where)))) << c;
    }

    c = {};
    c.controlModel = Model::LumoB;
    c.targetPosValid = true;
    c.expected = Closed();
    QTest::newRow("LUMO-B without a port: still") << c;

    c = {};
    c.isConnected = true;
    c.controlModel = Model::LumoB;
    c.expected = Open();
    c.expected.motionEnabled = true;
    QTest::newRow("LUMO-B connected, no target: moves, no Go") << c;

    c.targetPosValid = true;
    c.posRangeKnown = true;
    c.expected.goEnabled = true;
    QTest::newRow("LUMO-B connected, valid target: Go too") << c;

    c.posRangeKnown = false;
    c.expected.goEnabled = false;
    QTest::newRow("LUMO-B connected, range not read: no Go") << c;

    c = {};
    c.isConnected = true;
    c.isScanning = true;
    c.controlModel = Model::LumoB;
    c.targetPosValid = true;
    c.selectedDeviceId = 5;
    c.configValid = true;
    c.newDeviceId = 9;
    c.expected = Open();
    c.expected.scanCaption = QStringLiteral("Stop Scan");
    c.expected.exportEnabled = true;
    QTest::newRow("scanning: Stop Scan, device buttons and LUMO-B motion off") << c;

    c = {};
    c.isConnected = true;
    c.selectedDeviceId = 5;
    c.configValid = true;
    c.newDeviceId = 9;
    c.expected = Open();
    c.expected.learnEnabled = c.expected.readEnabled = c.expected.writeEnabled = true;
    c.expected.renewIdEnabled = c.expected.exportEnabled = true;
    QTest::newRow("device selected, valid page, new address") << c;

    c.configValid = false;
    c.newDeviceId = 0;
    c.expected.writeEnabled = c.expected.renewIdEnabled = c.expected.exportEnabled = false;
    QTest::newRow("device selected, page invalid, no new address") << c;

    c = {};
    c.selectedDeviceId = 5;
    c.configValid = true;
    c.newDeviceId = 9;
    c.expected = Closed();
    c.expected.exportEnabled = true;
    QTest::newRow("no port: only Export follows the page") << c;

    c = {};
    c.controlDeviceId = 3;
    c.listSelected = true;
    c.expected = Closed();
    c.expected.targetPosEnabled = true;
    c.expected.statusCheckEnabled = true;
    QTest::newRow("Control page device selected") << c;

    c = {};
    c.lastResult = Result::PortError;
    c.expected = Closed();
    c.expected.resultText = QStringLiteral("Port Error");
    QTest::newRow("result 0xFFFF") << c;

    c.lastResult = Result::ExceptionReply;
    c.expected.resultText = QStringLiteral("unknow Error");
    QTest::newRow("result without a text of its own") << c;
}

void WindowTest::uiStateTable()
{
    QFETCH(UiCase, c);
    ConsoleState s;
    s.isConnected = c.isConnected;
    s.isScanning = c.isScanning;
    s.selectedDeviceId = c.selectedDeviceId;
    s.configValid = c.configValid;
    s.newDeviceId = c.newDeviceId;
    s.controlModel = c.controlModel;
    s.controlDeviceId = c.controlDeviceId;
    s.targetPosValid = c.targetPosValid;
    s.posRangeKnown = c.posRangeKnown;
    s.lastResult = c.lastResult;
    const UiView derived = DeriveUiView(s, c.listSelected);
    QVERIFY2(derived == c.expected, Describe(derived) + " expected " + Describe(c.expected));

    if (c.atStart) {
        // The real window opens showing exactly this.
        QuietWindow w;
        const UiView shown = ShownView(w.form.get());
        QVERIFY2(shown == c.expected, Describe(shown) + " expected " + Describe(c.expected));
        QVERIFY(MotionButtonsAgree(w.form.get()));
        auto *tabs = Find<QTabWidget>(w.form.get(), "PageControl1");
        QVERIFY(!tabs->isTabVisible(tabs->indexOf(Find<QWidget>(w.form.get(), "DebugPage"))));
        QCOMPARE(Find<QListWidget>(w.form.get(), "MODBusDevicesListBox")->count(), 0);
        QVERIFY(!Find<QCheckBox>(w.form.get(), "GetMotorStatusCheckBox")->isChecked());
        QVERIFY(Find<QPushButton>(w.form.get(), "ConnectButton")->isEnabled());
        QCOMPARE(Find<QPushButton>(w.form.get(), "ConnectButton")->text(), QStringLiteral("Connect"));
        QCOMPARE(Find<QComboBox>(w.form.get(), "PortNameComboBox")->currentText(), QStringLiteral("Com Port"));
    }
}

void WindowTest::windowFrame()
{
    QuietWindow w;
    TMODBUSSettingForm *form = w.form.get();
    QCOMPARE(form->windowTitle(), QStringLiteral("Quorix LUMO PC tool v0.4.9"));
    QCOMPARE(form->size(), QSize(752, 490));
    QCOMPARE(form->minimumSize(), form->maximumSize());
    QVERIFY(!(form->windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form->windowFlags() & Qt::WindowMinimizeButtonHint);

    // Centred on the desktop, halves truncated.
    const QRect desk = form->screen()->geometry();
    const QRect frame = form->frameGeometry();
    QCOMPARE(form->pos(), QPoint(desk.x() + desk.width() / 2 - frame.width() / 2,
                                 desk.y() + desk.height() / 2 - frame.height() / 2));

    auto *tabs = Find<QTabWidget>(form, "PageControl1");
    QCOMPARE(tabs->count(), 4);
    const char *pages[][2] = {{"DevicePage", "  Bus Devices  "},
                              {"SettingPage", "  Actuators  "},
                              {"OptionPage", "  Control  "},
                              {"DebugPage", "  Debug  "}};
    for (int i = 0; i < 4; ++i) {
        QCOMPARE(tabs->widget(i)->objectName(), QString::fromLatin1(pages[i][0]));
        QCOMPARE(tabs->tabText(i), QString::fromLatin1(pages[i][1]));
    }
    QCOMPARE(tabs->currentIndex(), 0);

    auto *bar = Find<TStatusBar>(form, "OptionStatusBar");
    QCOMPARE(bar->PanelCount(), 3);
    QCOMPARE(bar->geometry(), QRect(0, 462, 752, 28));
    auto *progress = Find<QProgressBar>(form, "ProgressBar1");
    QCOMPARE(progress->geometry(), QRect(752 - 249, 462, 249, 28));
    QCOMPARE(progress->minimum(), 0);
    QCOMPARE(progress->maximum(), 100);
    QCOMPARE(progress->value(), 0);
    // The three panels start at 0, 100 and 300 and the progress bar leaves them free.
    const auto panels = bar->findChildren<QLabel *>();
    QCOMPARE(panels.size(), 3);
    QCOMPARE(panels[0]->x(), 0);
    QCOMPARE(panels[1]->x(), 100);
    QCOMPARE(panels[2]->x(), 300);
    QVERIFY(progress->x() >= 350);

    const struct {
        const char *name;
        int interval;
    } timers[] = {{"GetDeviceStatusTimer", 300}, {"MotorLearnStatusTimer", 200}, {"cycleTestTimer", 3000}};
    for (const auto &t : timers) {
        auto *timer = form->findChild<QTimer *>(QString::fromLatin1(t.name));
        QVERIFY2(timer, t.name);
        QCOMPARE(timer->interval(), t.interval);
        QVERIFY2(!timer->isActive(), t.name);
        // Each interval is part of the behaviour; a coarse timer may fire 5 % early.
        QCOMPARE(timer->timerType(), Qt::PreciseTimer);
    }
}

void WindowTest::controls_data()
{
    // Every control, its group (or page), its caption or items, and its
    // start state: enabled, explicitly hidden.
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");
    QTest::addColumn<bool>("hidden");
    auto row = [](const char *name, const char *parent, const char *text, bool enabled = true, bool hidden = false) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(parent) << QString::fromUtf8(text)
                            << enabled << hidden;
    };
    row("CommunicationGroupBox", "DevicePage", "COMMUNICATION PORT");
    row("autoSelectComPortCheckBox", "CommunicationGroupBox", "Auto Select");
    row("PortNameComboBox", "CommunicationGroupBox", "Com Port");
    row("BaudRateLabel", "CommunicationGroupBox", "Baud Rate , (Parity : None, ByteSize : 8bit, StopBits : 1)");
    row("BaudRateComboBox", "CommunicationGroupBox", "115200 (Default)|4800|9600|19200");
    row("ConnectButton", "CommunicationGroupBox", "Connect");
    row("BusDevicesGroupBox", "DevicePage", "DEVICE INFO");
    row("BusDevicesListView", "BusDevicesGroupBox", "ID|Model");
    row("ScanDeviceButton", "BusDevicesGroupBox", "Scan Devices", false);
    row("Label8", "BusDevicesGroupBox", "Motor ID :        0x");
    row("MotorIDEdit", "BusDevicesGroupBox", "");
    row("Label9", "BusDevicesGroupBox", "Firmware :                   .");
    row("FwVerMajorEdit", "BusDevicesGroupBox", "00");
    row("FwVerMinorEdit", "BusDevicesGroupBox", "00");
    row("Label7", "BusDevicesGroupBox", "Device ID  (1 ~ 127)");
    row("NewDeviceIDEdit", "BusDevicesGroupBox", "");
    row("modifyDeviceIDButton", "BusDevicesGroupBox", "Renew ID", false);

    row("ConfigGroupBox", "SettingPage", "CONFIGURATION");
    row("DeviceIDLabel", "ConfigGroupBox", "Device ID");
    row("DeviceIDEdit", "ConfigGroupBox", "");
    row("HallSensorRadioGroup", "ConfigGroupBox", "Hall sensor: Single|Dual");
    row("LimitSwitchRadioGroup", "ConfigGroupBox", "Limit switch: Yes|No");
    row("HallPotRadioGroup", "ConfigGroupBox", "Hall Pot (Volt.): 0.5 ~ 10|0.5 ~ 5");
    row("BUSBaudRateRadioGroup", "ConfigGroupBox",
        "Baud Rate (Serial port settings : None, 8, 1): 115200|4800|9600|19200");
    row("StrokeLabel", "ConfigGroupBox", "Stroke :                                      (Steps)");
    row("StrokeEdit", "ConfigGroupBox", "");
    row("LearnButton", "ConfigGroupBox", "Learn", false);
    row("ContainerStopLabel", "ConfigGroupBox", "Front limit :                                 (Steps)");
    row("ContainerStopEdit", "ConfigGroupBox", "");
    row("ShelfStopLabel", "ConfigGroupBox", "Rear limit :                                  (Steps)");
    row("ShelfStopEdit", "ConfigGroupBox", "");
    row("MotorSpeedLabel", "ConfigGroupBox", "Motor speed  :                             (PWM % , 10 ~ 100)");
    row("MotorSpeedPWMEdit", "ConfigGroupBox", "");
    row("OverLoadLabel", "ConfigGroupBox", "Over load protect  :                      (mA) (3000 ~ 15000)");
    row("OverLoadProtectEdit", "ConfigGroupBox", "");
    row("VoltageOutLabel", "ConfigGroupBox", "Voltage out  :                              (V)");
    row("VoltageOutComboBox", "ConfigGroupBox", "5.0|10.0");
    row("LoadConfigButton", "ConfigGroupBox", "Read", false);
    row("UpdateConfigButton", "ConfigGroupBox", "Write", false);
    row("Header1", "ConfigGroupBox", "");
    row("Header2", "ConfigGroupBox", "");
    row("GroupBox1", "SettingPage", "File");
    row("ImportConfigButton", "GroupBox1", "Import");
    row("ExportConfigButton", "GroupBox1", "Export", false);

    row("SelectDeviceGroupBox", "OptionPage", "Select Device");
    row("MODBusDevicesListBox", "SelectDeviceGroupBox", "");
    row("BusAdvCheckBox", "SelectDeviceGroupBox", "All Devices", true, true);
    row("ActionGroupBox", "OptionPage", "Move");
    row("motorUpButton", "ActionGroupBox", "\u25B2", false);
    row("motorStopButton", "ActionGroupBox", "\u25A0", false);
    row("motorDownButton", "ActionGroupBox", "\u25BC", false);
    row("targetPosLabel", "ActionGroupBox", "Target Pos");
    row("targetPosEdit", "ActionGroupBox", "", false);
    row("PosRangeLabel", "ActionGroupBox", "( ____  -  ____ )");
    row("motorGoToPosTrackBar", "ActionGroupBox", "", false);
    row("motorActionGoButton", "ActionGroupBox", "Go", false);
    row("detectStatusAfterActionCheckBox", "ActionGroupBox", "Detect status after action", true, true);
    row("MotorSpeedEdit", "ActionGroupBox", "100", true, true);
    row("MotorSpeedUpDown", "ActionGroupBox", "10..100 step 5 at 100", true, true);
    row("MotorStatusGroupBox", "OptionPage", "Status");
    row("GetMotorStatusCheckBox", "MotorStatusGroupBox", "Show instant status", false);
    row("motorCurrentLabel", "MotorStatusGroupBox", "Motor current                    mA");
    row("motorCurrentEdit", "MotorStatusGroupBox", "0");
    row("motorPositionLabel", "MotorStatusGroupBox", "Motor position");
    row("motorPositionEdit", "MotorStatusGroupBox", "0");
    row("MotorStatusLabel", "MotorStatusGroupBox", "\u25A0");
    row("HallErrorLabel", "MotorStatusGroupBox", "Hall error");
    row("HallErrorShape", "MotorStatusGroupBox", "");
    row("MotorOverLoadLabel", "MotorStatusGroupBox", "Over current");
    row("MotorOverLoadShape", "MotorStatusGroupBox", "");
    row("Label2", "MotorStatusGroupBox", "Learning");
    row("InLearningShape", "MotorStatusGroupBox", "");
    row("Label3", "MotorStatusGroupBox", "Position OK");
    row("InGoToShape", "MotorStatusGroupBox", "");

    row("Label10", "DebugPage", "Address");
    row("AddressEdit", "DebugPage", "");
    row("Label4", "DebugPage", "Function Code");
    row("FunCodeComboBox", "DebugPage",
        "READ HOLD REG 0x03|READ INPUT REG 0x04|WRITE SINGLE REG 0x06|WRITE MULTI REG 0x10|"
        "0x01 : Undefine Function code");
    row("Label1", "DebugPage", "Start Register (Address)");
    row("RegisterComboBox", "DebugPage",
        "0x000F : Address|0x0010 : Name|0x001F : Current Pos|0x0020 : Max Pos|0x0021 : Rear Limit|"
        "0x0022 : Front Limit|0x0023 : Current Limit|0x0024 : Speed PWM|0x0025 : Action CMD In|"
        "0x0026 : Go to Pos|0x0027 : Setting Flag|0x0028 : Voltage Out|0x0029 : Pos Offset|"
        "0x002A : Key in Lock|0x002B : Hall Pot Select|0x002C : Baud Rate|0x2000 : Undefine Holding Register");
    row("Label5", "DebugPage", "Registers");
    row("RegCountsComboBox", "DebugPage", "0|1|2|3|4|5|6");
    row("Label6", "DebugPage", "value");
    row("RegValue1Edit", "DebugPage", "", false);
    for (const char *name : {"RegValue2Edit", "RegValue3Edit", "RegValue4Edit", "RegValue5Edit", "RegValue6Edit"})
        row(name, "DebugPage", "", true, true);
    row("dSendCMDButton", "DebugPage", "Send CMD");
    row("debugMemo", "DebugPage", "debugMemo");
    row("dClearButton", "DebugPage", "Clear");
    row("MotorCurrentPerformanceGraph", "DebugPage", "scale 0 gradient 3000");
    row("Label11", "DebugPage", "CMD try");
    row("CMDRetryEdit", "DebugPage", "3");
    row("CMDTryCountUpDown", "DebugPage", "1..5 step 1 at 3");
    row("TestGroupBox", "DebugPage", "Cycle Test", false, true);
    row("TimerIntervalEdit", "TestGroupBox", "3");
    row("cycleTestTimerUpDown", "TestGroupBox", "1..10 step 1 at 3");
    row("cycleTestStartButton", "TestGroupBox", "start");
    row("cycleTestStopButton", "TestGroupBox", "stop");
    row("ErrorStopCheckBox", "TestGroupBox", "Error Stop");
}

void WindowTest::controls()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QString, text);
    QFETCH(bool, enabled);
    QFETCH(bool, hidden);
    auto *control = shared_->form->findChild<QWidget *>(name);
    QVERIFY2(control, qPrintable(name));
    QCOMPARE(control->parentWidget()->objectName(), parent);

    QString shown;
    if (auto *label = qobject_cast<QLabel *>(control))
        shown = label->text();
    else if (auto *button = qobject_cast<QAbstractButton *>(control))
        shown = button->text();
    else if (auto *radio = qobject_cast<TRadioGroup *>(control)) {
        QStringList items;
        for (auto *b : radio->findChildren<QRadioButton *>())
            items << b->text();
        shown = radio->title() + QStringLiteral(": ") + items.join(QLatin1Char('|'));
        QCOMPARE(radio->ItemIndex(), -1); // no choice at start
    } else if (auto *group = qobject_cast<QGroupBox *>(control))
        shown = group->title();
    else if (auto *combo = qobject_cast<QComboBox *>(control)) {
        if (combo->isEditable()) {
            shown = combo->currentText();
        } else {
            QStringList items;
            for (int i = 0; i < combo->count(); ++i)
                items << combo->itemText(i);
            shown = items.join(QLatin1Char('|'));
        }
    } else if (auto *edit = qobject_cast<QLineEdit *>(control))
        shown = edit->text();
    else if (auto *memo = qobject_cast<QPlainTextEdit *>(control))
        shown = memo->toPlainText();
    else if (auto *table = qobject_cast<QTableWidget *>(control))
        shown = table->horizontalHeaderItem(0)->text() + QLatin1Char('|') + table->horizontalHeaderItem(1)->text();
    else if (auto *upDown = qobject_cast<TUpDown *>(control))
        shown = QStringLiteral("%1..%2 step %3 at %4")
                    .arg(upDown->Min())
                    .arg(upDown->Max())
                    .arg(upDown->Increment())
                    .arg(upDown->Position());
    else if (auto *graph = qobject_cast<TPerformanceGraph *>(control))
        shown = QStringLiteral("scale %1 gradient %2").arg(graph->Scale()).arg(graph->Gradient());
    QCOMPARE(shown, text);
    // Its own state: a control in a disabled group is not itself disabled.
    QCOMPARE(!control->testAttribute(Qt::WA_ForceDisabled), enabled);
    QCOMPARE(control->isHidden(), hidden);
}

void WindowTest::digitsEdits_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("maxLength");
    const struct {
        const char *name;
        int maxLength;
    } edits[] = {{"NewDeviceIDEdit", 3},    {"DeviceIDEdit", 3},        {"StrokeEdit", 5},
                 {"ContainerStopEdit", 5},  {"ShelfStopEdit", 5},       {"MotorSpeedPWMEdit", 5},
                 {"OverLoadProtectEdit", 5}, {"targetPosEdit", 5},      {"AddressEdit", 3},
                 {"RegValue1Edit", 5},      {"RegValue6Edit", 5},       {"FwVerMajorEdit", 0}};
    for (const auto &e : edits)
        QTest::newRow(e.name) << QString::fromLatin1(e.name) << e.maxLength;
}

void WindowTest::digitsEdits()
{
    QFETCH(QString, name);
    QFETCH(int, maxLength);
    auto *edit = shared_->form->findChild<QLineEdit *>(name);
    QVERIFY(edit);
    if (maxLength > 0)
        QCOMPARE(edit->maxLength(), maxLength);
    const QValidator *validator = edit->validator();
    QVERIFY2(validator, "digits-only edit without a validator");
    QString text = QStringLiteral("0123");
    int pos = 0;
    QCOMPARE(validator->validate(text, pos), QValidator::Acceptable);
    for (const char *bad : {"1a", "-1", "1 2", "+3", "1.5"}) {
        text = QString::fromLatin1(bad);
        QVERIFY2(validator->validate(text, pos) == QValidator::Invalid, bad);
    }
    // Typing into an editable one keeps only the digits, up to the limit.
    if (edit->isEnabled() && !edit->isReadOnly()) {
        edit->clear();
        QTest::keyClicks(edit, QStringLiteral("9x8-7 6.5a4321"));
        QCOMPARE(edit->text(), QStringLiteral("987654321").left(maxLength));
        edit->clear();
    }
}

void WindowTest::startValues()
{
    QuietWindow w;
    TMODBUSSettingForm *form = w.form.get();
    const ConsoleState &s = form->consoleState();
    QCOMPARE(s.portName, std::string());
    QVERIFY(!s.isConnected);
    QVERIFY(s.portList && s.portList->empty());
    QVERIFY(s.adapterPortList && s.adapterPortList->empty());
    QVERIFY(s.adapterFinder);
    QVERIFY(!s.comPort);
    QCOMPARE(s.baudRate, 115200);
    QCOMPARE(s.lastResult, 0u);
    QCOMPARE(s.selectedModel, Model::None);
    QCOMPARE(s.controlModel, Model::None);
    QCOMPARE(s.responseDelayMs, 30u);
    QCOMPARE(s.commandGapMs, 20u);
    QCOMPARE(s.broadcastRepeat, 1);
    QCOMPARE(s.cmdTryCount, 3);
    QCOMPARE(s.holdingRegisterNames.size(), 17);
    QCOMPARE(s.holdingRegisterNames.first(), QStringLiteral("0x000F : Address"));
    QCOMPARE(s.inputRegisterNames.size(), 9);
    QVERIFY(!s.uiBusy);

    QCOMPARE(Find<QComboBox>(form, "BaudRateComboBox")->currentIndex(), 0);
    QCOMPARE(Find<QComboBox>(form, "VoltageOutComboBox")->currentIndex(), -1);
    QCOMPARE(Find<QComboBox>(form, "FunCodeComboBox")->currentIndex(), 0);
    QCOMPARE(Find<QComboBox>(form, "RegisterComboBox")->currentIndex(), 0);
    QCOMPARE(Find<QComboBox>(form, "RegCountsComboBox")->currentText(), QStringLiteral("1"));
    QCOMPARE(Find<QTableWidget>(form, "BusDevicesListView")->rowCount(), 0);
    QVERIFY(!Find<QCheckBox>(form, "autoSelectComPortCheckBox")->isChecked());
    QVERIFY(Find<QCheckBox>(form, "ErrorStopCheckBox")->isChecked());
    QVERIFY(Find<QTableWidget>(form, "BusDevicesListView")->editTriggers() == QAbstractItemView::NoEditTriggers);
    QCOMPARE(Find<QSlider>(form, "motorGoToPosTrackBar")->tickPosition(), QSlider::NoTicks);
    for (const char *dot : {"HallErrorShape", "MotorOverLoadShape", "InLearningShape", "InGoToShape"}) {
        auto *shape = Find<TShape>(form, dot);
        QCOMPARE(shape->size(), QSize(15, 15));
        QCOMPARE(shape->PenColor(), QColor(192, 192, 192));
    }
    QCOMPARE(Find<TPerformanceGraph>(form, "MotorCurrentPerformanceGraph")->geometry(), QRect(568, 266, 171, 105));
}

void WindowTest::fontAndLayout()
{
    QuietWindow w;
    TMODBUSSettingForm *form = w.form.get();
    // The Tahoma-metric font comes with fonts-wine, which the test command
    // installs; without it the captions are laid out in DejaVu Sans.
    const bool tahoma = QFile::exists(QStringLiteral("/usr/share/wine/fonts/tahoma.ttf"));
    QVERIFY2(tahoma || !RunningInCi(), "/usr/share/wine/fonts/tahoma.ttf is missing (Debian package fonts-wine)" LUMO_IN_CI_NOTE);
    if (tahoma)
        QCOMPARE(UiFontFamily(), QStringLiteral("Tahoma"));
    QCOMPARE(form->font().family(), UiFontFamily());
    QCOMPARE(form->font().pixelSize(), 13);
    QCOMPARE(Find<QListWidget>(form, "MODBusDevicesListBox")->font().pixelSize(), 16);
    QCOMPARE(Find<QPushButton>(form, "motorUpButton")->font().pixelSize(), 19);
    QVERIFY(Find<QPushButton>(form, "motorStopButton")->font().bold());
    QCOMPARE(Find<QLabel>(form, "MotorStatusLabel")->font().pixelSize(), 21);

    // Show every page and every group that can ever be shown, then look for
    // clipped captions and controls covering each other or caption text.
    auto *tabs = Find<QTabWidget>(form, "PageControl1");
    tabs->setTabVisible(3, true);
    Find<QGroupBox>(form, "TestGroupBox")->show();
    form->show();
    for (int page = 0; page < tabs->count(); ++page) {
        tabs->setCurrentIndex(page);
        QApplication::processEvents();
        QList<QWidget *> all = tabs->widget(page)->findChildren<QWidget *>();
        all.removeIf([](QWidget *c) {
            const QString n = c->objectName();
            return n.isEmpty() || n.startsWith(QLatin1String("qt_")) || c->isHidden() ||
                   qobject_cast<TUpDown *>(c->parentWidget());
        });
        for (QWidget *c : all) {
            const QString name = c->objectName();
            QVERIFY2(c->parentWidget()->rect().contains(c->geometry()), qPrintable(name + " sticks out"));
            if (auto *label = qobject_cast<QLabel *>(c)) {
                QVERIFY2(QFontMetrics(label->font()).horizontalAdvance(label->text()) <= label->width(),
                         qPrintable(name + " clipped"));
            }
            if (auto *button = qobject_cast<QPushButton *>(c)) {
                QVERIFY2(QFontMetrics(button->font()).horizontalAdvance(button->text()) + 8 <= button->width(),
                         qPrintable(name + " clipped"));
            } else if (auto *box = qobject_cast<QCheckBox *>(c)) {
                QVERIFY2(box->sizeHint().width() <= box->width(), qPrintable(name + " clipped"));
            }
            for (auto *radio : c->findChildren<QRadioButton *>())
                QVERIFY2(radio->sizeHint().width() <= radio->width(), qPrintable(name + ": " + radio->text()));
        }
        for (QWidget *a : all) {
            for (QWidget *b : all) {
                if (a == b || a->parentWidget() != b->parentWidget())
                    continue;
                auto *label = qobject_cast<QLabel *>(a);
                if (!label) {
                    if (!qobject_cast<QLabel *>(b) && a < b)
                        QVERIFY2(!a->geometry().intersects(b->geometry()),
                                 qPrintable(a->objectName() + " overlaps " + b->objectName()));
                    continue;
                }
                if (qobject_cast<QLabel *>(b))
                    continue;
                // A control may sit over a caption's blank run, never over its letters.
                const QString text = label->text();
                const QFontMetrics metrics(label->font());
                for (int i = 0; i < text.size(); ++i) {
                    if (text[i] == QLatin1Char(' '))
                        continue;
                    const int x0 = label->x() + metrics.horizontalAdvance(text.left(i));
                    const int x1 = label->x() + metrics.horizontalAdvance(text.left(i + 1));
                    const QRect glyph(x0, label->y(), x1 - x0, label->height());
                    QVERIFY2(!glyph.intersects(b->geometry()),
                             qPrintable(b->objectName() + " covers text of " + label->objectName()));
                }
            }
        }
    }
}

void WindowTest::customControls()
{
    // The radio group reports every change of its choice, the program's too,
    // and can go back to no choice.
    TRadioGroup group(QStringLiteral("Hall sensor"), {QStringLiteral("Single"), QStringLiteral("Dual")}, 2);
    group.resize(200, 50);
    int changes = 0;
    connect(&group, &TRadioGroup::Changed, &group, [&] { ++changes; });
    group.SetItemIndex(1);
    QCOMPARE(group.ItemIndex(), 1);
    QCOMPARE(changes, 1);
    group.SetItemIndex(1);
    QCOMPARE(changes, 1);
    auto buttons = group.findChildren<QRadioButton *>();
    QCOMPARE(buttons.size(), 2);
    QTest::mouseClick(buttons[0], Qt::LeftButton, {}, QPoint(5, buttons[0]->height() / 2));
    QCOMPARE(group.ItemIndex(), 0);
    QCOMPARE(changes, 2);
    group.SetItemIndex(-1);
    QCOMPARE(group.ItemIndex(), -1);
    QCOMPARE(changes, 3);
    QVERIFY(!buttons[0]->isChecked() && !buttons[1]->isChecked());

    // The spinner steps within its range, shows the position in its edit and
    // reports the operator's steps only.
    QLineEdit edit;
    TUpDown upDown(1, 5, 2, 3);
    upDown.resize(17, 22);
    upDown.Associate(&edit);
    QCOMPARE(edit.text(), QStringLiteral("3"));
    int clicks = 0;
    connect(&upDown, &TUpDown::Click, &upDown, [&] { ++clicks; });
    auto *up = upDown.findChild<QAbstractButton *>(QStringLiteral("up"));
    auto *down = upDown.findChild<QAbstractButton *>(QStringLiteral("down"));
    QTest::mouseClick(up, Qt::LeftButton);
    QCOMPARE(upDown.Position(), 5);
    QCOMPARE(edit.text(), QStringLiteral("5"));
    QTest::mouseClick(up, Qt::LeftButton); // already at the top
    QCOMPARE(upDown.Position(), 5);
    QCOMPARE(clicks, 1);
    QTest::mouseClick(down, Qt::LeftButton);
    QCOMPARE(upDown.Position(), 3);
    QCOMPARE(clicks, 2);
    upDown.SetPosition(0);
    QCOMPARE(upDown.Position(), 1);
    QCOMPARE(edit.text(), QStringLiteral("1"));
    QCOMPARE(clicks, 2);

    // The port combo announces its list before the list opens.
    TDropDownComboBox combo;
    combo.addItem(QStringLiteral("old"));
    connect(&combo, &TDropDownComboBox::DropDown, &combo, [&] {
        combo.clear();
        combo.addItem(QStringLiteral("fresh"));
    });
    combo.showPopup();
    QCOMPARE(combo.itemText(0), QStringLiteral("fresh"));
    combo.hidePopup();
}

std::unique_ptr<QObject> MakeWindowTest()
{
    return std::make_unique<WindowTest>();
}

#include "test_window.moc"

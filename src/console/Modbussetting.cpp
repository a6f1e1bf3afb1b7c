#include "console/Modbussetting.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEvent>
#include <QEventLoop>
#include <QFontMetrics>
#include <QGroupBox>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QScreen>
#include <QSlider>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <algorithm>
#include <chrono>

#include "console/Controls.h"
#include "console/Fonts.h"
#include "console/PerformanceGraph.h"
#include "console/Shape.h"
#include "console/UiView.h"
#include "ui/UserDialogs.h"
#include "console/WaitDialog.h"
#include "serial/PortWatcher.h"

namespace {

constexpr int kFontPixels = 13;
constexpr int kEditHeight = 22;
constexpr int kComboHeight = 24;
const char *const kNoPosRange = "( ____  -  ____ )";
// How soon a device click that found the bus busy looks again.
constexpr int kControlSelectRetryMs = 10;

QLabel *MakeLabel(QWidget *parent, const char *name, const QString &text, int x, int y)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->move(x, y);
    label->adjustSize();
    return label;
}

enum EditKind { AnyText, DigitsOnly };

QLineEdit *MakeEdit(QWidget *parent, const char *name, EditKind kind, int maxLength, Qt::Alignment align,
                    bool readOnly, QRect geometry = {})
{
    auto *edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    if (kind == DigitsOnly) {
        static const QRegularExpression digits(QStringLiteral("[0-9]*"));
        edit->setValidator(new QRegularExpressionValidator(digits, edit));
    }
    if (maxLength > 0)
        edit->setMaxLength(maxLength);
    edit->setAlignment(align | Qt::AlignVCenter);
    edit->setReadOnly(readOnly);
    if (geometry.isValid())
        edit->setGeometry(geometry);
    return edit;
}

QPushButton *MakeButton(QWidget *parent, const char *name, const QString &text, QRect geometry)
{
    auto *button = new QPushButton(text, parent);
    button->setObjectName(QString::fromLatin1(name));
    button->setGeometry(geometry);
    button->setAutoDefault(false);
    return button;
}

QCheckBox *MakeCheckBox(QWidget *parent, const char *name, const QString &text, QRect geometry)
{
    auto *box = new QCheckBox(text, parent);
    box->setObjectName(QString::fromLatin1(name));
    box->setGeometry(geometry);
    return box;
}

QComboBox *MakeList(QWidget *parent, const char *name, const QStringList &items, QRect geometry)
{
    auto *combo = new QComboBox(parent);
    combo->setObjectName(QString::fromLatin1(name));
    combo->addItems(items);
    combo->setGeometry(geometry);
    return combo;
}

QGroupBox *MakeGroup(QWidget *parent, const char *name, const QString &title, QRect geometry)
{
    auto *group = new QGroupBox(title, parent);
    group->setObjectName(QString::fromLatin1(name));
    group->setGeometry(geometry);
    return group;
}

TRadioGroup *MakeRadioGroup(QWidget *parent, const char *name, const QString &title, const QStringList &items,
                            int columns, QRect geometry)
{
    auto *group = new TRadioGroup(title, items, columns, parent);
    group->setObjectName(QString::fromLatin1(name));
    group->setGeometry(geometry);
    return group;
}

TShape *MakeShape(QWidget *parent, const char *name, int x, int y)
{
    auto *shape = new TShape(parent);
    shape->setObjectName(QString::fromLatin1(name));
    shape->setGeometry(x, y, 15, 15);
    return shape;
}

// Captions such as "Stroke :          (Steps)" leave a run of blanks for the
// edit that sits over them. Places `control` over the longest run, measured
// in the label's own font so it fits whichever font was found.
void PlaceOverBlankRun(QLabel *label, QWidget *control, int height, int margin = 4)
{
    const QString text = label->text();
    int bestStart = -1;
    int bestLength = 0;
    for (int i = 0; i < text.size();) {
        if (text[i] != QLatin1Char(' ')) {
            ++i;
            continue;
        }
        int j = i;
        while (j < text.size() && text[j] == QLatin1Char(' '))
            ++j;
        if (j - i > bestLength) {
            bestStart = i;
            bestLength = j - i;
        }
        i = j;
    }
    const QFontMetrics metrics(label->font());
    const int left = metrics.horizontalAdvance(text.left(bestStart));
    const int right = metrics.horizontalAdvance(text.left(bestStart + bestLength));
    control->setGeometry(label->x() + left + margin, label->y() + (label->height() - height) / 2,
                         right - left - 2 * margin, height);
}

// Places `control` just after the end of the label's caption.
void PlaceAfterLabel(QLabel *label, QWidget *control, int width, int height, int gap = 4)
{
    const QFontMetrics metrics(label->font());
    control->setGeometry(label->x() + metrics.horizontalAdvance(label->text()) + gap,
                         label->y() + (label->height() - height) / 2, width, height);
}

QFrame *MakeSeparator(QWidget *parent, const char *name, QRect geometry)
{
    auto *line = new QFrame(parent);
    line->setObjectName(QString::fromLatin1(name));
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    line->setGeometry(geometry);
    return line;
}

QStringList HoldingRegisterItems()
{
    return {QStringLiteral("0x000F : Address"),       QStringLiteral("0x0010 : Name"),
            QStringLiteral("0x001F : Current Pos"),   QStringLiteral("0x0020 : Max Pos"),
            QStringLiteral("0x0021 : Rear Limit"),    QStringLiteral("0x0022 : Front Limit"),
            QStringLiteral("0x0023 : Current Limit"), QStringLiteral("0x0024 : Speed PWM"),
            QStringLiteral("0x0025 : Action CMD In"), QStringLiteral("0x0026 : Go to Pos"),
            QStringLiteral("0x0027 : Setting Flag"),  QStringLiteral("0x0028 : Voltage Out"),
            QStringLiteral("0x0029 : Pos Offset"),    QStringLiteral("0x002A : Key in Lock"),
            QStringLiteral("0x002B : Hall Pot Select"), QStringLiteral("0x002C : Baud Rate"),
            QStringLiteral("0x2000 : Undefine Holding Register")};
}

// Positions 0..7 are the input registers 0x003F..0x0046; the last item asks
// for 0x0021, which is no input register, to see the device refuse it.
QStringList InputRegisterItems()
{
    return {QStringLiteral("0x003F : Motor Status"),  QStringLiteral("0x0040 : Status Flags"),
            QStringLiteral("0x0041 : Motor Current"), QStringLiteral("0x0042 : Reserved"),
            QStringLiteral("0x0043 : Reserved"),      QStringLiteral("0x0044 : Reserved"),
            QStringLiteral("0x0045 : FW Version"),    QStringLiteral("0x0046 : Model"),
            QStringLiteral("0x0021 : Undefine Input Register")};
}

} // namespace

TMODBUSSettingForm::TMODBUSSettingForm(ConsoleEnvironment environment, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      env_(std::move(environment)),
      clock_(env_.clock ? *env_.clock : SystemClock::Instance()),
      ownedDialogs_(env_.dialogs ? nullptr : std::make_unique<QtUserDialogs>(this)),
      dialogs_(env_.dialogs ? *env_.dialogs : *ownedDialogs_),
      waitDialog_(env_.waitDialog),
      engine_(state_.comPort, state_.responseDelayMs, clock_,
              [this](uint32_t maxWaitMs) { PumpMessages(maxWaitMs); }),
      registers_(engine_, state_.responseDelayMs, state_.commandGapMs, state_.cmdTryCount, state_.broadcastRepeat)
{
    // Echo handling is automatic (the engine's default): the window learns
    // from the first read of a connection whether the adapter echoes, so it
    // works through a 2-wire adapter without echo suppression as through
    // any other. Until the line is known, a single-register write whose one
    // copy could be either the echo or the reply is confirmed by one read
    // of the written register.
    setObjectName(QStringLiteral("MODBUSSettingForm"));
    setWindowTitle(QString::fromUtf8(kApplicationTitle));
    setFont(UiFont(kFontPixels));
    setFixedSize(ClientWidth, ClientHeight);

    BuildControls();
    RouteEvents();
    InstallBusMonitor();
    InstallServiceHistory();
    InstallBusBackup();
    state_.portName.clear();
    state_.autoPortEntry.clear();
    InstallPortWatcher();
    CentreOnDesktop();
    InitConsoleState();
    SetWaitDialog(env_.waitDialog);
    // Emptying NewDeviceIDEdit has run its change handler, which refreshes;
    // refreshing once more makes the opening state independent of it.
    RefreshUiState(false);
    // Last, so that a store that cannot be opened is what status panel 1
    // says at first.
    OpenRecords();
    FormCreate();
}

TMODBUSSettingForm::~TMODBUSSettingForm()
{
    FormDestroy();
    // After the port's close, which stores what was pending.
    CloseRecords();
}

void TMODBUSSettingForm::BuildControls()
{
    PageControl1 = new QTabWidget(this);
    PageControl1->setObjectName(QStringLiteral("PageControl1"));
    PageControl1->setGeometry(0, 0, ClientWidth, ClientHeight - 28);
    PageControl1->setUsesScrollButtons(false);

    const struct {
        QWidget **page;
        const char *name;
        const char *caption;
    } pages[] = {{&DevicePage, "DevicePage", "  Bus Devices  "},
                 {&SettingPage, "SettingPage", "  Actuators  "},
                 {&OptionPage, "OptionPage", "  Control  "},
                 {&DebugPage, "DebugPage", "  Debug  "}};
    for (const auto &p : pages) {
        *p.page = new QWidget;
        (*p.page)->setObjectName(QString::fromLatin1(p.name));
        PageControl1->addTab(*p.page, QString::fromLatin1(p.caption));
    }

    OptionStatusBar = new TStatusBar({100, 200, 50}, this);
    OptionStatusBar->setObjectName(QStringLiteral("OptionStatusBar"));
    OptionStatusBar->setGeometry(0, ClientHeight - 28, ClientWidth, 28);

    ProgressBar1 = new QProgressBar(this);
    ProgressBar1->setObjectName(QStringLiteral("ProgressBar1"));
    ProgressBar1->setGeometry(ClientWidth - 249, ClientHeight - 28, 249, 28);
    ProgressBar1->setRange(0, 100);
    ProgressBar1->setValue(0);
    ProgressBar1->setTextVisible(false);

    // Every interval of these timers is part of the behaviour (the scan's
    // pace, the poll, the learning watch, the cycle test's step time): a
    // coarse timer may fire up to 5 % early or late, so all are precise.
    auto makeTimer = [this](const char *name, int intervalMs) {
        auto *timer = new QTimer(this);
        timer->setObjectName(QString::fromLatin1(name));
        timer->setInterval(intervalMs);
        timer->setTimerType(Qt::PreciseTimer);
        return timer;
    };
    GetDeviceStatusTimer = makeTimer("GetDeviceStatusTimer", env_.timings.statusPollMs);
    MotorLearnStatusTimer = makeTimer("MotorLearnStatusTimer", env_.timings.learnWatchMs);
    cycleTestTimer = makeTimer("cycleTestTimer", 3 * env_.timings.cycleTestSecondMs);
    // Retries a Control page device click that found the bus busy.
    controlSelectTimer_ = makeTimer("controlSelectTimer", kControlSelectRetryMs);
    controlSelectTimer_->setSingleShot(true);

    BuildDevicePage();
    BuildSettingPage();
    BuildOptionPage();
    BuildDebugPage();
    PageControl1->setCurrentWidget(DevicePage);
}

void TMODBUSSettingForm::BuildDevicePage()
{
    QWidget *page = DevicePage;
    CommunicationGroupBox = MakeGroup(page, "CommunicationGroupBox", QStringLiteral("COMMUNICATION PORT"),
                                      QRect(8, 6, 728, 96));
    QWidget *g = CommunicationGroupBox;
    autoSelectComPortCheckBox = MakeCheckBox(g, "autoSelectComPortCheckBox", QStringLiteral("Auto Select"),
                                             QRect(16, 27, 100, 22));
    PortNameComboBox = new TDropDownComboBox(g);
    PortNameComboBox->setObjectName(QStringLiteral("PortNameComboBox"));
    PortNameComboBox->setEditable(true);
    PortNameComboBox->setInsertPolicy(QComboBox::NoInsert);
    PortNameComboBox->setGeometry(124, 26, 240, kComboHeight);
    PortNameComboBox->setEditText(QStringLiteral("Com Port"));
    ConnectButton = MakeButton(g, "ConnectButton", QStringLiteral("Connect"), QRect(596, 24, 116, 30));
    BaudRateComboBox = MakeList(g, "BaudRateComboBox",
                                {QStringLiteral("115200 (Default)"), QStringLiteral("4800"), QStringLiteral("9600"),
                                 QStringLiteral("19200")},
                                QRect(124, 60, 140, kComboHeight));
    BaudRateComboBox->setCurrentIndex(0);
    BaudRateLabel = MakeLabel(g, "BaudRateLabel",
                              QStringLiteral("Baud Rate , (Parity : None, ByteSize : 8bit, StopBits : 1)"), 274, 64);

    BusDevicesGroupBox = MakeGroup(page, "BusDevicesGroupBox", QStringLiteral("DEVICE INFO"),
                                   QRect(8, 108, 728, 318));
    g = BusDevicesGroupBox;
    BusDevicesListView = new QTableWidget(0, 2, g);
    BusDevicesListView->setObjectName(QStringLiteral("BusDevicesListView"));
    BusDevicesListView->setGeometry(16, 26, 170, 278);
    BusDevicesListView->setHorizontalHeaderLabels({QStringLiteral("ID"), QStringLiteral("Model")});
    BusDevicesListView->verticalHeader()->hide();
    BusDevicesListView->setSelectionBehavior(QAbstractItemView::SelectRows);
    BusDevicesListView->setSelectionMode(QAbstractItemView::SingleSelection);
    BusDevicesListView->setEditTriggers(QAbstractItemView::NoEditTriggers);
    BusDevicesListView->setShowGrid(true);
    BusDevicesListView->setWordWrap(false);
    BusDevicesListView->viewport()->setCursor(Qt::PointingHandCursor);
    QHeaderView *header = BusDevicesListView->horizontalHeader();
    header->setMinimumSectionSize(40);
    header->setSectionResizeMode(QHeaderView::Interactive);
    header->setHighlightSections(false);
    header->resizeSection(0, 50);
    header->resizeSection(1, 90);
    header->setDefaultAlignment(Qt::AlignCenter);
    BusDevicesListView->horizontalHeaderItem(0)->setTextAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    BusDevicesListView->verticalHeader()->setDefaultSectionSize(20);
    // Keep the columns within their widths when the operator drags them:
    // ID 40..55, Model 60..100.
    connect(header, &QHeaderView::sectionResized, this, [header](int index, int, int size) {
        const int low = index == 0 ? 40 : 60;
        const int high = index == 0 ? 55 : 100;
        const int clamped = std::clamp(size, low, high);
        if (clamped != size)
            header->resizeSection(index, clamped);
    });

    ScanDeviceButton = MakeButton(g, "ScanDeviceButton", QStringLiteral("Scan Devices"), QRect(208, 26, 130, 30));

    Label9 = MakeLabel(g, "Label9", QStringLiteral("Firmware :                   ."), 208, 120);
    FwVerMajorEdit = MakeEdit(g, "FwVerMajorEdit", DigitsOnly, 0, Qt::AlignHCenter, true);
    PlaceOverBlankRun(Label9, FwVerMajorEdit, kEditHeight);
    FwVerMinorEdit = MakeEdit(g, "FwVerMinorEdit", DigitsOnly, 0, Qt::AlignHCenter, true);
    PlaceAfterLabel(Label9, FwVerMinorEdit, FwVerMajorEdit->width(), kEditHeight);
    FwVerMajorEdit->setText(QStringLiteral("00"));
    FwVerMinorEdit->setText(QStringLiteral("00"));

    Label8 = MakeLabel(g, "Label8", QStringLiteral("Motor ID :        0x"), 208, 86);
    MotorIDEdit = MakeEdit(g, "MotorIDEdit", AnyText, 0, Qt::AlignRight, true);
    // Ends where the firmware fields end, so the two rows line up.
    PlaceAfterLabel(Label8, MotorIDEdit, 10, kEditHeight, 2);
    MotorIDEdit->setGeometry(MotorIDEdit->x(), MotorIDEdit->y(),
                             FwVerMinorEdit->geometry().right() + 1 - MotorIDEdit->x(), kEditHeight);

    Label7 = MakeLabel(g, "Label7", QStringLiteral("Device ID  (1 ~ 127)"), 208, 196);
    NewDeviceIDEdit = MakeEdit(g, "NewDeviceIDEdit", DigitsOnly, 3, Qt::AlignHCenter, false);
    PlaceAfterLabel(Label7, NewDeviceIDEdit, 60, kEditHeight, 12);
    modifyDeviceIDButton = MakeButton(g, "modifyDeviceIDButton", QStringLiteral("Renew ID"),
                                      QRect(208, 228, 130, 30));
}

void TMODBUSSettingForm::BuildSettingPage()
{
    QWidget *page = SettingPage;
    ConfigGroupBox = MakeGroup(page, "ConfigGroupBox", QStringLiteral("CONFIGURATION"), QRect(8, 6, 580, 420));
    QWidget *g = ConfigGroupBox;

    DeviceIDLabel = MakeLabel(g, "DeviceIDLabel", QStringLiteral("Device ID"), 16, 30);
    DeviceIDEdit = MakeEdit(g, "DeviceIDEdit", DigitsOnly, 3, Qt::AlignHCenter, true);
    PlaceAfterLabel(DeviceIDLabel, DeviceIDEdit, 50, kEditHeight, 12);
    Header1 = MakeSeparator(g, "Header1", QRect(12, 58, 556, 2));

    HallSensorRadioGroup = MakeRadioGroup(g, "HallSensorRadioGroup", QStringLiteral("Hall sensor"),
                                          {QStringLiteral("Single"), QStringLiteral("Dual")}, 2,
                                          QRect(16, 66, 178, 48));
    LimitSwitchRadioGroup = MakeRadioGroup(g, "LimitSwitchRadioGroup", QStringLiteral("Limit switch"),
                                           {QStringLiteral("Yes"), QStringLiteral("No")}, 2,
                                           QRect(202, 66, 178, 48));
    HallPotRadioGroup = MakeRadioGroup(g, "HallPotRadioGroup", QStringLiteral("Hall Pot (Volt.)"),
                                       {QStringLiteral("0.5 ~ 10"), QStringLiteral("0.5 ~ 5")}, 2,
                                       QRect(388, 66, 180, 48));
    BUSBaudRateRadioGroup = MakeRadioGroup(
        g, "BUSBaudRateRadioGroup", QStringLiteral("Baud Rate (Serial port settings : None, 8, 1)"),
        {QStringLiteral("115200"), QStringLiteral("4800"), QStringLiteral("9600"), QStringLiteral("19200")}, 4,
        QRect(16, 118, 552, 48));
    Header2 = MakeSeparator(g, "Header2", QRect(12, 176, 556, 2));

    // One row per value: the edit sits over the blank run of its caption.
    // A value read from a device or a file may take a register's five digits;
    // a shorter edit would cut it and show (and write back) another number.
    struct Row {
        QLabel **label;
        const char *labelName;
        const char *caption;
        QLineEdit **edit;
        const char *editName;
        int maxLength;
    };
    const Row rows[] = {
        {&StrokeLabel, "StrokeLabel", "Stroke :                                      (Steps)", &StrokeEdit,
         "StrokeEdit", 5},
        {&ContainerStopLabel, "ContainerStopLabel", "Front limit :                                 (Steps)",
         &ContainerStopEdit, "ContainerStopEdit", 5},
        {&ShelfStopLabel, "ShelfStopLabel", "Rear limit :                                  (Steps)", &ShelfStopEdit,
         "ShelfStopEdit", 5},
        {&MotorSpeedLabel, "MotorSpeedLabel", "Motor speed  :                             (PWM % , 10 ~ 100)",
         &MotorSpeedPWMEdit, "MotorSpeedPWMEdit", 5},
        {&OverLoadLabel, "OverLoadLabel", "Over load protect  :                      (mA) (3000 ~ 15000)",
         &OverLoadProtectEdit, "OverLoadProtectEdit", 5},
    };
    int y = 192;
    for (const Row &row : rows) {
        *row.label = MakeLabel(g, row.labelName, QString::fromLatin1(row.caption), 16, y);
        *row.edit = MakeEdit(g, row.editName, DigitsOnly, row.maxLength, Qt::AlignRight, false);
        PlaceOverBlankRun(*row.label, *row.edit, kEditHeight);
        y += 32;
    }
    VoltageOutLabel = MakeLabel(g, "VoltageOutLabel",
                                QStringLiteral("Voltage out  :                              (V)"), 16, y);
    VoltageOutComboBox = MakeList(g, "VoltageOutComboBox", {QStringLiteral("5.0"), QStringLiteral("10.0")}, QRect());
    VoltageOutComboBox->setCurrentIndex(-1);
    PlaceOverBlankRun(VoltageOutLabel, VoltageOutComboBox, kComboHeight);

    LearnButton = MakeButton(g, "LearnButton", QStringLiteral("Learn"), QRect(452, 186, 112, 30));
    LoadConfigButton = MakeButton(g, "LoadConfigButton", QStringLiteral("Read"), QRect(332, 378, 112, 30));
    UpdateConfigButton = MakeButton(g, "UpdateConfigButton", QStringLiteral("Write"), QRect(452, 378, 112, 30));

    GroupBox1 = MakeGroup(page, "GroupBox1", QStringLiteral("File"), QRect(596, 6, 140, 112));
    ImportConfigButton = MakeButton(GroupBox1, "ImportConfigButton", QStringLiteral("Import"), QRect(14, 28, 112, 30));
    ExportConfigButton = MakeButton(GroupBox1, "ExportConfigButton", QStringLiteral("Export"), QRect(14, 68, 112, 30));
    ExportConfigButton->setEnabled(false);
}

void TMODBUSSettingForm::BuildOptionPage()
{
    QWidget *page = OptionPage;
    SelectDeviceGroupBox = MakeGroup(page, "SelectDeviceGroupBox", QStringLiteral("Select Device"),
                                     QRect(8, 6, 150, 420));
    MODBusDevicesListBox = new QListWidget(SelectDeviceGroupBox);
    MODBusDevicesListBox->setObjectName(QStringLiteral("MODBusDevicesListBox"));
    MODBusDevicesListBox->setGeometry(12, 26, 126, 356);
    MODBusDevicesListBox->setFont(UiFont(16));
    MODBusDevicesListBox->setUniformItemSizes(true);
    MODBusDevicesListBox->setStyleSheet(QStringLiteral("QListWidget::item { height: 19px; }"));
    MODBusDevicesListBox->setSelectionMode(QAbstractItemView::SingleSelection);
    BusAdvCheckBox = MakeCheckBox(SelectDeviceGroupBox, "BusAdvCheckBox", QStringLiteral("All Devices"),
                                  QRect(12, 390, 120, 22));
    BusAdvCheckBox->hide();

    ActionGroupBox = MakeGroup(page, "ActionGroupBox", QStringLiteral("Move"), QRect(166, 6, 276, 420));
    QWidget *g = ActionGroupBox;
    motorUpButton = MakeButton(g, "motorUpButton", QStringLiteral("\u25B2"), QRect(98, 28, 80, 48));
    motorStopButton = MakeButton(g, "motorStopButton", QStringLiteral("\u25A0"), QRect(98, 84, 80, 48));
    motorDownButton = MakeButton(g, "motorDownButton", QStringLiteral("\u25BC"), QRect(98, 140, 80, 48));
    motorUpButton->setFont(UiFont(19));
    motorStopButton->setFont(UiFont(19, true));
    motorDownButton->setFont(UiFont(19));
    motorStopButton->setToolTip(QStringLiteral("Stop the actuator.\nEsc stops it from any page of this window."));
    targetPosLabel = MakeLabel(g, "targetPosLabel", QStringLiteral("Target Pos"), 36, 212);
    // Five digits: targets go up to 65535, like the limits they lie between.
    targetPosEdit = MakeEdit(g, "targetPosEdit", DigitsOnly, 5, Qt::AlignHCenter, false,
                             QRect(130, 208, 80, kEditHeight));
    PosRangeLabel = new QLabel(QString::fromLatin1(kNoPosRange), g);
    PosRangeLabel->setObjectName(QStringLiteral("PosRangeLabel"));
    PosRangeLabel->setAlignment(Qt::AlignCenter);
    PosRangeLabel->setGeometry(16, 240, 244, 20);
    motorGoToPosTrackBar = new QSlider(Qt::Horizontal, g);
    motorGoToPosTrackBar->setObjectName(QStringLiteral("motorGoToPosTrackBar"));
    motorGoToPosTrackBar->setTickPosition(QSlider::NoTicks);
    motorGoToPosTrackBar->setRange(0, 0);
    motorGoToPosTrackBar->setGeometry(16, 266, 244, 28);
    motorActionGoButton = MakeButton(g, "motorActionGoButton", QStringLiteral("Go"), QRect(98, 304, 80, 30));
    detectStatusAfterActionCheckBox = MakeCheckBox(g, "detectStatusAfterActionCheckBox",
                                                   QStringLiteral("Detect status after action"),
                                                   QRect(16, 346, 220, 22));
    MotorSpeedEdit = MakeEdit(g, "MotorSpeedEdit", DigitsOnly, 0, Qt::AlignHCenter, true,
                              QRect(98, 378, 50, kEditHeight));
    MotorSpeedUpDown = new TUpDown(10, 100, 5, 100, g);
    MotorSpeedUpDown->setObjectName(QStringLiteral("MotorSpeedUpDown"));
    MotorSpeedUpDown->setGeometry(148, 378, 17, kEditHeight);
    MotorSpeedUpDown->Associate(MotorSpeedEdit);
    MotorSpeedEdit->hide();
    MotorSpeedUpDown->hide();

    MotorStatusGroupBox = MakeGroup(page, "MotorStatusGroupBox", QStringLiteral("Status"), QRect(450, 6, 286, 420));
    g = MotorStatusGroupBox;
    GetMotorStatusCheckBox = MakeCheckBox(g, "GetMotorStatusCheckBox", QStringLiteral("Show instant status"),
                                          QRect(16, 28, 200, 22));
    motorCurrentLabel = MakeLabel(g, "motorCurrentLabel", QStringLiteral("Motor current                    mA"), 16, 72);
    motorCurrentEdit = MakeEdit(g, "motorCurrentEdit", DigitsOnly, 0, Qt::AlignHCenter, true);
    PlaceOverBlankRun(motorCurrentLabel, motorCurrentEdit, kEditHeight);
    motorPositionLabel = MakeLabel(g, "motorPositionLabel", QStringLiteral("Motor position"), 16, 106);
    motorPositionEdit = MakeEdit(g, "motorPositionEdit", DigitsOnly, 0, Qt::AlignHCenter, true);
    // Both edits share one column, clear of the longer of the two captions.
    const int column = motorPositionLabel->x() + QFontMetrics(motorPositionLabel->font())
                                                     .horizontalAdvance(motorPositionLabel->text()) + 6;
    if (column > motorCurrentEdit->x())
        motorCurrentEdit->setGeometry(column, motorCurrentEdit->y(),
                                      motorCurrentEdit->width() - (column - motorCurrentEdit->x()), kEditHeight);
    motorPositionEdit->setGeometry(motorCurrentEdit->x(), motorPositionLabel->y() + motorPositionLabel->height() / 2 -
                                                              kEditHeight / 2,
                                   motorCurrentEdit->width(), kEditHeight);
    motorCurrentEdit->setText(QStringLiteral("0"));
    motorPositionEdit->setText(QStringLiteral("0"));
    MotorStatusLabel = new QLabel(QStringLiteral("\u25A0"), g);
    MotorStatusLabel->setObjectName(QStringLiteral("MotorStatusLabel"));
    MotorStatusLabel->setFont(UiFont(21, true));
    MotorStatusLabel->setAlignment(Qt::AlignCenter);
    MotorStatusLabel->setGeometry(16, 146, 254, 36);

    const struct {
        QLabel **label;
        const char *labelName;
        const char *caption;
        TShape **shape;
        const char *shapeName;
    } dots[] = {{&HallErrorLabel, "HallErrorLabel", "Hall error", &HallErrorShape, "HallErrorShape"},
                {&MotorOverLoadLabel, "MotorOverLoadLabel", "Over current", &MotorOverLoadShape, "MotorOverLoadShape"},
                {&Label2, "Label2", "Learning", &InLearningShape, "InLearningShape"},
                {&Label3, "Label3", "Position OK", &InGoToShape, "InGoToShape"}};
    int y = 206;
    for (const auto &dot : dots) {
        *dot.shape = MakeShape(g, dot.shapeName, 48, y);
        *dot.label = MakeLabel(g, dot.labelName, QString::fromLatin1(dot.caption), 74, y);
        (*dot.label)->move(74, y + 7 - (*dot.label)->height() / 2);
        y += 32;
    }
}

void TMODBUSSettingForm::BuildDebugPage()
{
    QWidget *page = DebugPage;
    Label10 = MakeLabel(page, "Label10", QStringLiteral("Address"), 16, 18);
    AddressEdit = MakeEdit(page, "AddressEdit", DigitsOnly, 3, Qt::AlignHCenter, false,
                           QRect(180, 14, 60, kEditHeight));
    Label4 = MakeLabel(page, "Label4", QStringLiteral("Function Code"), 16, 50);
    FunCodeComboBox = MakeList(page, "FunCodeComboBox",
                               {QStringLiteral("READ HOLD REG 0x03"), QStringLiteral("READ INPUT REG 0x04"),
                                QStringLiteral("WRITE SINGLE REG 0x06"), QStringLiteral("WRITE MULTI REG 0x10"),
                                QStringLiteral("0x01 : Undefine Function code")},
                               QRect(180, 46, 194, kComboHeight));
    FunCodeComboBox->setCurrentIndex(0);
    Label1 = MakeLabel(page, "Label1", QStringLiteral("Start Register (Address)"), 16, 82);
    RegisterComboBox = MakeList(page, "RegisterComboBox", HoldingRegisterItems(), QRect(180, 78, 194, kComboHeight));
    RegisterComboBox->setCurrentIndex(0);
    Label5 = MakeLabel(page, "Label5", QStringLiteral("Registers"), 16, 114);
    RegCountsComboBox = MakeList(page, "RegCountsComboBox",
                                 {QStringLiteral("0"), QStringLiteral("1"), QStringLiteral("2"), QStringLiteral("3"),
                                  QStringLiteral("4"), QStringLiteral("5"), QStringLiteral("6")},
                                 QRect(180, 110, 60, kComboHeight));
    RegCountsComboBox->setCurrentIndex(1);
    Label6 = MakeLabel(page, "Label6", QStringLiteral("value"), 16, 146);
    QLineEdit **named[6] = {&RegValue1Edit, &RegValue2Edit, &RegValue3Edit,
                            &RegValue4Edit, &RegValue5Edit, &RegValue6Edit};
    for (int i = 0; i < 6; ++i) {
        const QByteArray name = "RegValue" + QByteArray::number(i + 1) + "Edit";
        *named[i] = MakeEdit(page, name.constData(), DigitsOnly, 5, Qt::AlignHCenter, false,
                             QRect(180, 142 + 28 * i, 70, kEditHeight));
        RegValueEdits[i] = *named[i];
        if (i > 0)
            RegValueEdits[i]->hide();
    }
    RegValue1Edit->setEnabled(false);
    dSendCMDButton = MakeButton(page, "dSendCMDButton", QStringLiteral("Send CMD"), QRect(272, 140, 102, 30));

    debugMemo = new QPlainTextEdit(page);
    debugMemo->setObjectName(QStringLiteral("debugMemo"));
    debugMemo->setGeometry(392, 14, 346, 242);
    debugMemo->setLineWrapMode(QPlainTextEdit::NoWrap);
    debugMemo->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    debugMemo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    debugMemo->setPlainText(QStringLiteral("debugMemo"));
    dClearButton = MakeButton(page, "dClearButton", QStringLiteral("Clear"), QRect(392, 264, 80, 28));

    Label11 = MakeLabel(page, "Label11", QStringLiteral("CMD try"), 392, 308);
    CMDRetryEdit = MakeEdit(page, "CMDRetryEdit", AnyText, 0, Qt::AlignHCenter, true);
    PlaceAfterLabel(Label11, CMDRetryEdit, 36, kEditHeight, 10);
    CMDTryCountUpDown = new TUpDown(1, 5, 1, 3, page);
    CMDTryCountUpDown->setObjectName(QStringLiteral("CMDTryCountUpDown"));
    CMDTryCountUpDown->setGeometry(CMDRetryEdit->geometry().right() + 1, CMDRetryEdit->y(), 17, kEditHeight);
    CMDTryCountUpDown->Associate(CMDRetryEdit);

    MotorCurrentPerformanceGraph = new TPerformanceGraph(page);
    MotorCurrentPerformanceGraph->setObjectName(QStringLiteral("MotorCurrentPerformanceGraph"));
    MotorCurrentPerformanceGraph->setGeometry(568, 266, 171, 105);
    MotorCurrentPerformanceGraph->SetScale(0);
    MotorCurrentPerformanceGraph->SetGradient(3000);

    TestGroupBox = MakeGroup(page, "TestGroupBox", QStringLiteral("Cycle Test"), QRect(16, 320, 358, 100));
    TimerIntervalEdit = MakeEdit(TestGroupBox, "TimerIntervalEdit", DigitsOnly, 0, Qt::AlignHCenter, true,
                                 QRect(16, 30, 40, kEditHeight));
    cycleTestTimerUpDown = new TUpDown(1, 10, 1, 3, TestGroupBox);
    cycleTestTimerUpDown->setObjectName(QStringLiteral("cycleTestTimerUpDown"));
    cycleTestTimerUpDown->setGeometry(56, 30, 17, kEditHeight);
    cycleTestTimerUpDown->Associate(TimerIntervalEdit);
    cycleTestStartButton = MakeButton(TestGroupBox, "cycleTestStartButton", QStringLiteral("start"),
                                      QRect(96, 26, 100, 30));
    cycleTestStopButton = MakeButton(TestGroupBox, "cycleTestStopButton", QStringLiteral("stop"),
                                     QRect(208, 26, 100, 30));
    ErrorStopCheckBox = MakeCheckBox(TestGroupBox, "ErrorStopCheckBox", QStringLiteral("Error Stop"),
                                     QRect(16, 66, 140, 22));
    ErrorStopCheckBox->setChecked(true);
}

void TMODBUSSettingForm::RouteEvents()
{
    connect(ConnectButton, &QPushButton::clicked, this, [this] { ConnectButtonClick(); });
    connect(PortNameComboBox, &QComboBox::activated, this, [this] { PortNameComboBoxSelect(); });
    connect(PortNameComboBox, &TDropDownComboBox::DropDown, this, [this] { PortNameComboBoxDropDown(); });
    connect(PortNameComboBox, &QComboBox::editTextChanged, this, [this] { PortNameComboBoxChange(); });
    connect(autoSelectComPortCheckBox, &QCheckBox::toggled, this, [this] { autoSelectComPortCheckBoxClick(); });
    connect(BaudRateComboBox, &QComboBox::activated, this, [this] { BaudRateComboBoxSelect(); });

    connect(ScanDeviceButton, &QPushButton::clicked, this, [this] { ScanDeviceButtonClick(); });
    connect(GetDeviceStatusTimer, &QTimer::timeout, this, [this] { GetDeviceStatusTimerTimer(); });
    BusDevicesListView->viewport()->installEventFilter(this);
    BusDevicesListView->installEventFilter(this);

    connect(NewDeviceIDEdit, &QLineEdit::textChanged, this, [this] { NewDeviceIDEditChange(); });
    connect(modifyDeviceIDButton, &QPushButton::clicked, this, [this] { modifyDeviceIDButtonClick(); });

    connect(StrokeEdit, &QLineEdit::textChanged, this, [this] { StrokeEditChange(); });
    connect(ContainerStopEdit, &QLineEdit::textChanged, this, [this] { ContainerStopEditChange(); });
    connect(ShelfStopEdit, &QLineEdit::textChanged, this, [this] { ShelfStopEditChange(); });
    connect(MotorSpeedPWMEdit, &QLineEdit::textChanged, this, [this] { MotorSpeedPWMEditChange(); });
    connect(OverLoadProtectEdit, &QLineEdit::textChanged, this, [this] { OverLoadProtectEditChange(); });
    connect(HallSensorRadioGroup, &TRadioGroup::Changed, this, [this] { HallSensorRadioGroupClick(); });
    connect(LimitSwitchRadioGroup, &TRadioGroup::Changed, this, [this] { LimitSwitchRadioGroupClick(); });
    connect(HallPotRadioGroup, &TRadioGroup::Changed, this, [this] { HallPotRadioGroupClick(); });
    connect(BUSBaudRateRadioGroup, &TRadioGroup::Changed, this, [this] { BUSBaudRateRadioGroupClick(); });
    connect(VoltageOutComboBox, &QComboBox::activated, this, [this] { VoltageOutComboBoxSelect(); });
    connect(LoadConfigButton, &QPushButton::clicked, this, [this] { LoadConfigButtonClick(); });
    connect(UpdateConfigButton, &QPushButton::clicked, this, [this] { UpdateConfigButtonClick(); });
    connect(ImportConfigButton, &QPushButton::clicked, this, [this] { ImportConfigButtonClick(); });
    connect(ExportConfigButton, &QPushButton::clicked, this, [this] { ExportConfigButtonClick(); });

    connect(LearnButton, &QPushButton::clicked, this, [this] { LearnButtonClick(); });
    connect(MotorLearnStatusTimer, &QTimer::timeout, this, [this] { MotorLearnStatusTimerTimer(); });

    MODBusDevicesListBox->viewport()->installEventFilter(this);
    MODBusDevicesListBox->installEventFilter(this);
    connect(BusAdvCheckBox, &QCheckBox::toggled, this, [this] { BusAdvCheckBoxClick(); });
    connect(motorUpButton, &QPushButton::clicked, this, [this] { motorUpButtonClick(); });
    connect(motorDownButton, &QPushButton::clicked, this, [this] { motorDownButtonClick(); });
    connect(motorStopButton, &QPushButton::clicked, this, [this] { motorStopButtonClick(); });
    connect(targetPosEdit, &QLineEdit::textChanged, this, [this] { targetPosEditChange(); });
    connect(motorGoToPosTrackBar, &QSlider::valueChanged, this, [this] { motorGoToPosTrackBarChange(); });
    connect(motorActionGoButton, &QPushButton::clicked, this, [this] { motorActionGoButtonClick(); });
    connect(MotorSpeedUpDown, &TUpDown::Click, this, [this] { MotorSpeedUpDownClick(); });
    connect(GetMotorStatusCheckBox, &QCheckBox::toggled, this, [this] { GetMotorStatusCheckBoxClick(); });
    connect(controlSelectTimer_, &QTimer::timeout, this, [this] { RunPendingControlSelect(); });

    connect(FunCodeComboBox, &QComboBox::activated, this, [this] { FunCodeComboBoxSelect(); });
    connect(RegisterComboBox, &QComboBox::activated, this, [this] {
        RegisterComboBoxChange();
        RegisterComboBoxSelect();
    });
    connect(RegCountsComboBox, &QComboBox::activated, this, [this] { RegCountsComboBoxSelect(); });
    connect(dSendCMDButton, &QPushButton::clicked, this, [this] { dSendCMDButtonClick(); });
    connect(dClearButton, &QPushButton::clicked, this, [this] { dClearButtonClick(); });
    debugMemo->viewport()->installEventFilter(this);
    connect(CMDTryCountUpDown, &TUpDown::Click, this, [this] { CMDTryCountUpDownClick(); });

    connect(cycleTestStartButton, &QPushButton::clicked, this, [this] { cycleTestStartButtonClick(); });
    connect(cycleTestStopButton, &QPushButton::clicked, this, [this] { cycleTestStopButtonClick(); });
    connect(cycleTestTimerUpDown, &TUpDown::Click, this, [this] { cycleTestTimerUpDownClick(); });
    connect(cycleTestTimer, &QTimer::timeout, this, [this] { cycleTestTimerTimer(); });

    InstallStopKey();
}

bool TMODBUSSettingForm::eventFilter(QObject *watched, QEvent *event)
{
    // A list's click comes after the view has moved its selection (on the
    // press), so the handler sees the row the operator picked. Selection
    // keys count as clicks, as in a list box of the platform.
    auto isSelectionKey = [](QEvent *e) {
        if (e->type() != QEvent::KeyRelease)
            return false;
        switch (static_cast<QKeyEvent *>(e)->key()) {
        case Qt::Key_Up:
        case Qt::Key_Down:
        case Qt::Key_Home:
        case Qt::Key_End:
        case Qt::Key_PageUp:
        case Qt::Key_PageDown:
        case Qt::Key_Space:
            return true;
        default:
            return false;
        }
    };
    const bool mouseClick = event->type() == QEvent::MouseButtonRelease &&
                            static_cast<QMouseEvent *>(event)->button() == Qt::LeftButton;
    if (BusDevicesListView && ((watched == BusDevicesListView->viewport() && mouseClick) ||
                               (watched == BusDevicesListView && isSelectionKey(event))))
        BusDevicesListViewClick();
    else if (MODBusDevicesListBox && ((watched == MODBusDevicesListBox->viewport() && mouseClick) ||
                                      (watched == MODBusDevicesListBox && isSelectionKey(event))))
        MODBusDevicesListBoxClick();
    else if (debugMemo && watched == debugMemo->viewport() && event->type() == QEvent::MouseButtonDblClick)
        debugMemoDblClick();
    return QWidget::eventFilter(watched, event);
}

void TMODBUSSettingForm::SetWaitDialog(WaitDialog *waitDialog)
{
    waitDialog_ = waitDialog;
    waitWidget_ = dynamic_cast<QWidget *>(waitDialog);
    waitIsWidget_ = waitWidget_ != nullptr;
}

void TMODBUSSettingForm::FormCreate()
{
}

void TMODBUSSettingForm::FormDestroy()
{
    // Also when the window goes without having been closed, or something
    // set a device moving after the close: the stops go out while the port
    // is still open.
    StopBeforeClose();
    ClosePort();
    state_.portList.reset();
    state_.adapterPortList.reset();
    state_.adapterFinder.reset();
}

void TMODBUSSettingForm::InitConsoleState()
{
    state_.portList = std::make_unique<std::vector<std::string>>();
    state_.adapterPortList = std::make_unique<std::vector<std::string>>();
    state_.adapterFinder = env_.makeAdapterFinder ? env_.makeAdapterFinder() : std::make_unique<C_USBDevice>();
    SetProgress(0, 0);
    state_.comPort.reset();
    state_.portName.clear();

    state_.isConnected = false;
    state_.baudRate = 115200;
    state_.newDeviceId = 0;
    state_.selectedDeviceId = 0;
    state_.selectedModel = Model::None;
    MODBusDevicesListBox->clear();
    state_.controlDeviceId = 0;
    state_.controlModel = Model::None;

    SetEditText(DeviceIDEdit, QString());
    SetEditText(NewDeviceIDEdit, QString());
    SetEditText(MotorIDEdit, QString());
    SetEditText(FwVerMajorEdit, QStringLiteral("00"));
    SetEditText(FwVerMinorEdit, QStringLiteral("00"));

    state_.isScanning = false;
    state_.lastResult = 0;
    state_.responseDelayMs = 30;
    state_.commandGapMs = 20;
    state_.posOffset = 0;
    state_.configValid = false;
    state_.isBusy = false;
    state_.posRangeMax = 0;
    state_.posRangeMin = 0;
    state_.targetPosValid = false;

    PosRangeLabel->setText(QString::fromLatin1(kNoPosRange));
    motorGoToPosTrackBar->setEnabled(false);

    state_.broadcastRepeat = 1;
    state_.cmdTryCount = 3;
    state_.holdingRegisterNames = HoldingRegisterItems();
    state_.inputRegisterNames = InputRegisterItems();

    PageControl1->setTabVisible(PageControl1->indexOf(DebugPage), false);
    detectStatusAfterActionCheckBox->hide();
    TestGroupBox->hide();
    TestGroupBox->setEnabled(false);
}

void TMODBUSSettingForm::CentreOnDesktop()
{
    QScreen *desktop = screen() ? screen() : QGuiApplication::primaryScreen();
    if (!desktop)
        return;
    const QRect area = desktop->geometry();
    const QRect frame = frameGeometry();
    move(area.x() + area.width() / 2 - frame.width() / 2, area.y() + area.height() / 2 - frame.height() / 2);
}

void TMODBUSSettingForm::SetProgress(int32_t done, int32_t total)
{
    int position = 0;
    if (done <= 0 || total <= 0)
        position = 0;
    else if (total < done)
        position = 100;
    else
        position = static_cast<int>(static_cast<int64_t>(done) * 100 / total);
    ProgressBar1->setValue(position);
}

void TMODBUSSettingForm::RefreshUiState(bool busy)
{
    state_.uiBusy = busy;
    const UiView view = DeriveUiView(state_, !MODBusDevicesListBox->selectedItems().isEmpty());
    OptionStatusBar->SetPanelText(0, view.connectionText);
    BaudRateComboBox->setEnabled(view.baudRateEnabled);
    ScanDeviceButton->setText(view.scanCaption);
    ScanDeviceButton->setEnabled(view.scanEnabled);
    LearnButton->setEnabled(view.learnEnabled);
    LoadConfigButton->setEnabled(view.readEnabled);
    UpdateConfigButton->setEnabled(view.writeEnabled);
    modifyDeviceIDButton->setEnabled(view.renewIdEnabled);
    ExportConfigButton->setEnabled(view.exportEnabled);
    motorUpButton->setEnabled(view.motionEnabled);
    motorDownButton->setEnabled(view.motionEnabled);
    motorStopButton->setEnabled(view.motionEnabled);
    motorActionGoButton->setEnabled(view.goEnabled);
    targetPosEdit->setEnabled(view.targetPosEnabled);
    if (!view.statusCheckEnabled)
        GetMotorStatusCheckBox->setChecked(false);
    GetMotorStatusCheckBox->setEnabled(view.statusCheckEnabled);
    OptionStatusBar->SetPanelText(2, view.resultText);
}

void TMODBUSSettingForm::SetEditText(QLineEdit *edit, const QString &text)
{
    if (edit->text() == text)
        emit edit->textChanged(text);
    else
        edit->setText(text);
}

void TMODBUSSettingForm::SetActionText(const QString &text)
{
    OptionStatusBar->SetPanelText(1, text);
}

void TMODBUSSettingForm::PumpMessages(uint32_t maxWaitMs)
{
    // The stops on the way out handle no message: nothing may start a
    // workflow then, and a window being destroyed runs no more handlers.
    if (stoppingMovedDevices_) {
        clock_.SleepMs(maxWaitMs);
        return;
    }
    // Sleep in the event loop rather than spin: pending events run at once,
    // new ones as they come, and the loop ends when the wait is up.
    QEventLoop loop;
    QTimer::singleShot(std::chrono::milliseconds(maxWaitMs), &loop, &QEventLoop::quit);
    loop.exec();
}

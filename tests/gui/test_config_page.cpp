// The Actuators page on the real window: the inputs' rules as the operator
// meets them (red edits, "Write" and "Export"), and "Read" and "Write"
// against a virtual bus.

#include "ConfigTestSupport.h"
#include "modbus/ResultCode.h"

using namespace cfgtest;

namespace {

const QString kSingle = QStringLiteral("Single");
const QString kDual = QStringLiteral("Dual");
const QString kYes = QStringLiteral("Yes");
const QString kNo = QStringLiteral("No");
const QString kPot10 = QStringLiteral("0.5 ~ 10");
const QString kPot5 = QStringLiteral("0.5 ~ 5");
const QString kBaud115200 = QStringLiteral("115200");
const QString kBaud9600 = QStringLiteral("9600");

// The device's configuration registers in the order a write sends them.
const std::vector<uint16_t> kWriteOrder = {Reg::MaxPos,      Reg::RearLimit,     Reg::FrontLimit,
                                           Reg::CurrentLimit, Reg::SpeedPwm,      Reg::SettingFlag,
                                           Reg::HallPotSelect, Reg::BaudRate,     Reg::VoltageOut};

void SetDevice(lumosim::VirtualBus &bus, uint8_t address, const std::vector<std::pair<uint16_t, uint16_t>> &values)
{
    for (const auto &[reg, value] : values)
        bus.SetHolding(address, reg, value);
}

} // namespace

class ConfigPageTest : public QObject {
    Q_OBJECT
private slots:
    void rulesOnThePage_data();
    void rulesOnThePage();
    void redMarkGoesWhenInputIsGood();
    void voltageChoiceForLumoP();
    void readShowsDeviceValues();
    void readOfSilentDeviceKeepsPage();
    void readThenWriteLumoPUnchanged();
    void writeSendsRegistersInOrder();
    void writeWithHiddenVoltageSendsTenVolt();
    void unknownModelKeepsVoltageOut_data();
    void unknownModelKeepsVoltageOut();
    void writeStopsAtFailingRegister();
    void fiveDigitValuesSurviveReadAndWrite();
};

void ConfigPageTest::rulesOnThePage_data()
{
    QTest::addColumn<QStringList>("edits"); // stroke, front, rear, speed, over-load
    QTest::addColumn<QStringList>("red");
    QTest::addColumn<bool>("valid");
    auto row = [](const char *name, QStringList edits, QStringList red, bool valid) {
        QTest::newRow(name) << edits << red << valid;
    };
    row("all equal positions", {"1000", "1000", "1000", "50", "5000"}, {}, true);
    row("front above stroke", {"500", "600", "0", "50", "5000"}, {"ContainerStopEdit"}, false);
    row("rear above front", {"1000", "800", "900", "50", "5000"}, {"ShelfStopEdit"}, false);
    row("rear above stroke", {"500", "", "600", "50", "5000"}, {"ShelfStopEdit"}, false);
    row("speed 9", {"1000", "1000", "0", "9", "5000"}, {"MotorSpeedPWMEdit"}, false);
    row("speed 10", {"1000", "1000", "0", "10", "5000"}, {}, true);
    row("speed 100", {"1000", "1000", "0", "100", "5000"}, {}, true);
    row("speed 101", {"1000", "1000", "0", "101", "5000"}, {"MotorSpeedPWMEdit"}, false);
    row("over-load 2999", {"1000", "1000", "0", "50", "2999"}, {"OverLoadProtectEdit"}, false);
    row("over-load 3000", {"1000", "1000", "0", "50", "3000"}, {}, true);
    row("over-load 15000", {"1000", "1000", "0", "50", "15000"}, {}, true);
    row("over-load 15001", {"1000", "1000", "0", "50", "15001"}, {"OverLoadProtectEdit"}, false);
    row("position beyond a register", {"65536", "0", "0", "50", "5000"}, {"StrokeEdit"}, false);
    // Not a number: invalid, but not red; the rules against the stroke are skipped.
    row("empty stroke", {"", "60000", "0", "50", "5000"}, {}, false);
    row("empty speed", {"1000", "1000", "0", "", "5000"}, {}, false);
}

void ConfigPageTest::rulesOnThePage()
{
    QFETCH(QStringList, edits);
    QFETCH(QStringList, red);
    QFETCH(bool, valid);
    Rig rig;
    rig.Connect();
    rig.Select(1, Model::LumoP);
    rig.Fill(edits, kSingle, kYes, kPot10, kBaud115200, 0);

    for (const char *name : kEdits)
        QVERIFY2(rig.IsRed(name) == red.contains(QString::fromLatin1(name)), name);
    QCOMPARE(rig.state().configValid, valid);
    QCOMPARE(rig.Enabled("UpdateConfigButton"), valid);
    QCOMPARE(rig.Enabled("ExportConfigButton"), valid);
    QVERIFY(rig.Enabled("LoadConfigButton"));
}

void ConfigPageTest::redMarkGoesWhenInputIsGood()
{
    Rig rig;
    rig.Fill({"1000", "600", "0", "50", "5000"}, kSingle, kYes, kPot10, kBaud115200, 0);
    QVERIFY(rig.Enabled("ExportConfigButton"));
    // Typing a stroke of 500 with the front limit at 600 marks the front limit.
    rig.Type("StrokeEdit", QStringLiteral("500"));
    QVERIFY(rig.IsRed("ContainerStopEdit"));
    QVERIFY(!rig.IsRed("StrokeEdit"));
    QVERIFY(!rig.Enabled("ExportConfigButton"));
    // Emptying the front limit: not a number, so its colour stays red.
    rig.Type("ContainerStopEdit", QString());
    QVERIFY(rig.IsRed("ContainerStopEdit"));
    QVERIFY(!rig.Enabled("ExportConfigButton"));
    // A good value clears the mark at once.
    rig.Type("ContainerStopEdit", QStringLiteral("500"));
    QVERIFY(!rig.IsRed("ContainerStopEdit"));
    QCOMPARE(rig.edit("ContainerStopEdit")->palette().color(QPalette::Text),
             QApplication::palette(rig.edit("ContainerStopEdit")).color(QPalette::Text));
    QVERIFY(rig.Enabled("ExportConfigButton"));
}

void ConfigPageTest::voltageChoiceForLumoP()
{
    Rig rig({{1, Model::LumoP}, {2, Model::LumoD}});
    rig.Connect();
    rig.Select(1, Model::LumoP);
    QVERIFY(!rig.get<QComboBox>("VoltageOutComboBox")->isHidden());
    rig.Fill({"1000", "1000", "0", "50", "5000"}, kSingle, kYes, kPot10, kBaud115200, -1);
    QVERIFY(!rig.state().configValid);
    QVERIFY(!rig.Enabled("UpdateConfigButton"));
    rig.ChooseVoltage(1);
    QVERIFY(rig.state().configValid);
    QVERIFY(rig.Enabled("UpdateConfigButton"));

    // Another model hides the list; its inputs need no voltage.
    rig.Select(2, Model::LumoD);
    QVERIFY(rig.get<QComboBox>("VoltageOutComboBox")->isHidden());
    QVERIFY(rig.get<QLabel>("VoltageOutLabel")->isHidden());
}

void ConfigPageTest::readShowsDeviceValues()
{
    Rig rig;
    SetDevice(rig.bus, 1,
              {{Reg::MaxPos, 1200},
               {Reg::RearLimit, 100},
               {Reg::FrontLimit, 1100},
               {Reg::CurrentLimit, 6000},
               {Reg::SpeedPwm, 80},
               {Reg::SettingFlag, Setting::LimitSwitch},
               {Reg::VoltageOut, 2048},
               {Reg::HallPotSelect, 1},
               {Reg::BaudRate, 2}});
    rig.Connect();
    rig.Select(1, Model::LumoP);
    rig.Click("LoadConfigButton");

    QCOMPARE(rig.dialogs.shown, QStringList{QStringLiteral("info: Get device config successfully !")});
    QCOMPARE(rig.panel(1), QStringLiteral("Get config data"));
    QCOMPARE(rig.panel(2), QStringLiteral("No Error"));
    QCOMPARE(rig.edit("StrokeEdit")->text(), QStringLiteral("1200"));
    QCOMPARE(rig.edit("ShelfStopEdit")->text(), QStringLiteral("100"));
    QCOMPARE(rig.edit("ContainerStopEdit")->text(), QStringLiteral("1100"));
    QCOMPARE(rig.edit("OverLoadProtectEdit")->text(), QStringLiteral("6000"));
    QCOMPARE(rig.edit("MotorSpeedPWMEdit")->text(), QStringLiteral("80"));
    QCOMPARE(rig.group("HallSensorRadioGroup")->ItemIndex(), 1);  // "Dual"
    QCOMPARE(rig.group("LimitSwitchRadioGroup")->ItemIndex(), 0); // "Yes"
    QCOMPARE(rig.group("HallPotRadioGroup")->ItemIndex(), 1);     // "0.5 ~ 5"
    QCOMPARE(rig.group("BUSBaudRateRadioGroup")->ItemIndex(), 2); // "9600"
    QCOMPARE(rig.get<QComboBox>("VoltageOutComboBox")->currentText(), QStringLiteral("5.0"));
    QVERIFY(!rig.state().isBusy);

    // Ten reads, one per register, and nothing written.
    const auto requests = rig.Requests();
    QCOMPARE(requests.size(), size_t{10});
    for (const auto &r : requests)
        QCOMPARE(FunctionOf(r), Fc::ReadHolding);
}

void ConfigPageTest::readOfSilentDeviceKeepsPage()
{
    Rig rig;
    rig.Connect();
    rig.Select(1, Model::LumoP);
    rig.Fill({"900", "800", "100", "60", "4000"}, kDual, kNo, kPot5, kBaud9600, 1);
    const QStringList before = rig.PageSnapshot();
    lumosim::Faults silent;
    silent.silent = true;
    rig.bus.SetFaults(1, silent);
    rig.Click("LoadConfigButton");

    QVERIFY(rig.dialogs.shown.isEmpty());
    QCOMPARE(rig.PageSnapshot(), before);
    QVERIFY(rig.state().lastResult != Result::NoError);
    QCOMPARE(rig.panel(2), QString::fromLatin1(ResultText(rig.state().lastResult)));
    QVERIFY(!rig.state().isBusy);
    // The first register was tried cmdTryCount times, and nothing after it.
    QCOMPARE(rig.Requests().size(), size_t(rig.state().cmdTryCount));
}

// A LUMO-P read into an empty page must leave it writable as read: its
// voltage choice is set after the other controls.
void ConfigPageTest::readThenWriteLumoPUnchanged()
{
    Rig rig;
    rig.Connect();
    rig.Select(1, Model::LumoP);
    rig.Click("LoadConfigButton");
    QVERIFY(rig.state().configValid);
    QVERIFY(rig.Enabled("UpdateConfigButton"));
    QVERIFY(rig.Enabled("ExportConfigButton"));
}

void ConfigPageTest::writeSendsRegistersInOrder()
{
    Rig rig;
    rig.Connect();
    rig.Select(1, Model::LumoP);
    rig.Fill({"1500", "1400", "200", "70", "8000"}, kDual, kYes, kPot5, kBaud9600, 0);
    rig.Click("UpdateConfigButton");

    QCOMPARE(rig.dialogs.shown, QStringList{QStringLiteral("info: Update device config successfully !")});
    QCOMPARE(rig.panel(1), QStringLiteral("Set config data"));
    QCOMPARE(WrittenRegisters(rig.Requests()), kWriteOrder);
    QCOMPARE(rig.Requests().size(), kWriteOrder.size()); // no read, no second attempt
    const std::vector<std::pair<uint16_t, uint16_t>> expected = {
        {Reg::MaxPos, 1500},      {Reg::RearLimit, 200},    {Reg::FrontLimit, 1400},
        {Reg::CurrentLimit, 8000}, {Reg::SpeedPwm, 70},      {Reg::SettingFlag, Setting::LimitSwitch},
        {Reg::HallPotSelect, 1},  {Reg::BaudRate, 2},       {Reg::VoltageOut, Voltage::FiveVolt}};
    for (const auto &[reg, value] : expected)
        QCOMPARE(rig.bus.Holding(1, reg), value);
    // The device's position offset is never written.
    QCOMPARE(rig.bus.Holding(1, Reg::PosOffset), uint16_t{0});
}

void ConfigPageTest::writeWithHiddenVoltageSendsTenVolt()
{
    Rig rig({{3, Model::LumoD}});
    rig.bus.SetHolding(3, Reg::VoltageOut, Voltage::FiveVolt);
    rig.Connect();
    rig.Select(3, Model::LumoD);
    // The list shows "5.0" but is hidden for this model.
    rig.get<QComboBox>("VoltageOutComboBox")->setCurrentIndex(0);
    rig.Fill({"1000", "1000", "0", "100", "5000"}, kSingle, kYes, kPot10, kBaud115200, -1);
    rig.Click("UpdateConfigButton");
    QCOMPARE(rig.dialogs.shown, QStringList{QStringLiteral("info: Update device config successfully !")});
    QCOMPARE(rig.bus.Holding(3, Reg::VoltageOut), Voltage::TenVolt);
}

void ConfigPageTest::unknownModelKeepsVoltageOut_data()
{
    // A LUMO-P with a 5 V output whose model the scan could not read: its
    // row says "unknow" and the page hides the voltage row.
    QTest::addColumn<bool>("modelReadable");
    QTest::addColumn<bool>("readFirst");
    QTest::addColumn<QStringList>("dialogs");
    QTest::addColumn<uint16_t>("voltageAfter");
    const QString ok = QStringLiteral("info: Update device config successfully !");
    QTest::newRow("model read at Write: the LUMO-P's own rule") << true << true << QStringList{ok}
                                                                << Voltage::FiveVolt;
    QTest::newRow("model still unreadable: the value read is written back")
        << false << true << QStringList{ok} << Voltage::FiveVolt;
    QTest::newRow("model unreadable and nothing read: refused")
        << false << false
        << QStringList{QStringLiteral("error: The model of device 1 could not be read, so its analogue output "
                                      "setting is unknown. Read its configuration first, then write it.")}
        << Voltage::FiveVolt;
}

void ConfigPageTest::unknownModelKeepsVoltageOut()
{
    QFETCH(bool, modelReadable);
    QFETCH(bool, readFirst);
    QFETCH(QStringList, dialogs);
    QFETCH(uint16_t, voltageAfter);
    Rig rig({{1, Model::LumoP}});
    rig.bus.SetHolding(1, Reg::VoltageOut, Voltage::FiveVolt);
    rig.Connect();
    rig.Select(1, Model::None);
    QVERIFY(rig.get<QComboBox>("VoltageOutComboBox")->isHidden());
    if (!modelReadable) {
        lumosim::Faults faults;
        faults.exceptionRegister = Reg::Model;
        rig.bus.SetFaults(1, faults);
    }
    if (readFirst) {
        rig.Click("LoadConfigButton");
        rig.dialogs.shown.clear();
    } else {
        rig.Fill({"1000", "1000", "0", "100", "5000"}, kSingle, kYes, kPot10, kBaud115200, -1);
    }
    rig.bus.ClearFrameLog();

    rig.Click("UpdateConfigButton"); // nothing edited
    QCOMPARE(rig.dialogs.shown, dialogs);
    QCOMPARE(rig.bus.Holding(1, Reg::VoltageOut), voltageAfter);
    const auto written = WrittenRegisters(rig.Requests());
    QCOMPARE(written.empty(), !readFirst);
    // Once the model is known, the page and the list say so.
    const auto *modelCell = rig.get<QTableWidget>("BusDevicesListView")->item(0, 1);
    QCOMPARE(modelCell->text(), modelReadable ? QStringLiteral("LUMO-P") : QStringLiteral("unknow"));
    QCOMPARE(rig.get<QComboBox>("VoltageOutComboBox")->isHidden(), !modelReadable);
}

void ConfigPageTest::writeStopsAtFailingRegister()
{
    Rig rig;
    lumosim::Faults faults;
    faults.exceptionRegister = Reg::SpeedPwm;
    rig.bus.SetFaults(1, faults);
    rig.Connect();
    rig.Select(1, Model::LumoP);
    rig.Fill({"1500", "1400", "200", "70", "8000"}, kDual, kNo, kPot5, kBaud9600, 0);
    rig.Click("UpdateConfigButton");

    QCOMPARE(rig.dialogs.shown, QStringList{QStringLiteral("error: Failed to update device configuration !")});
    // The four registers before it were written once, SpeedPwm tried
    // cmdTryCount times, and nothing after it was sent.
    std::vector<uint16_t> expected = {Reg::MaxPos, Reg::RearLimit, Reg::FrontLimit, Reg::CurrentLimit};
    expected.insert(expected.end(), size_t(rig.state().cmdTryCount), Reg::SpeedPwm);
    QCOMPARE(WrittenRegisters(rig.Requests()), expected);
    QCOMPARE(rig.panel(2), QString::fromLatin1(ResultText(rig.state().lastResult)));
    QVERIFY(rig.state().lastResult != Result::NoError);
    // Written before the failure, kept on the device: no rollback.
    QCOMPARE(rig.bus.Holding(1, Reg::MaxPos), uint16_t{1500});
    QCOMPARE(rig.bus.Holding(1, Reg::CurrentLimit), uint16_t{8000});
    // Not reached: the device keeps its own.
    QCOMPARE(rig.bus.Holding(1, Reg::SettingFlag), uint16_t(Setting::SingleHall | Setting::LimitSwitch));
    QCOMPARE(rig.bus.Holding(1, Reg::HallPotSelect), uint16_t{0});
    QCOMPARE(rig.bus.Holding(1, Reg::BaudRate), uint16_t{0});
    QCOMPARE(rig.bus.Holding(1, Reg::VoltageOut), Voltage::TenVolt);
}

// A device value above 9999 is shown whole and goes back unchanged; one the
// page cannot take turns its edit red instead of being cut to fit.
void ConfigPageTest::fiveDigitValuesSurviveReadAndWrite()
{
    Rig rig;
    SetDevice(rig.bus, 1, {{Reg::MaxPos, 65535}, {Reg::FrontLimit, 40000}, {Reg::RearLimit, 12345}});
    rig.Connect();
    rig.Select(1, Model::LumoP);
    rig.Click("LoadConfigButton");
    QCOMPARE(rig.edit("StrokeEdit")->text(), QStringLiteral("65535"));
    QCOMPARE(rig.edit("ContainerStopEdit")->text(), QStringLiteral("40000"));
    QCOMPARE(rig.edit("ShelfStopEdit")->text(), QStringLiteral("12345"));
    QVERIFY(rig.state().configValid);

    rig.bus.SetHolding(1, Reg::MaxPos, 1);
    rig.bus.ClearFrameLog();
    rig.Click("UpdateConfigButton");
    QCOMPARE(rig.bus.Holding(1, Reg::MaxPos), uint16_t{65535});
    QCOMPARE(rig.bus.Holding(1, Reg::FrontLimit), uint16_t{40000});

    // A speed of 1000 must not become "100", a valid but different speed.
    rig.bus.SetHolding(1, Reg::SpeedPwm, 1000);
    rig.dialogs.shown.clear();
    rig.Click("LoadConfigButton");
    QCOMPARE(rig.edit("MotorSpeedPWMEdit")->text(), QStringLiteral("1000"));
    QVERIFY(rig.IsRed("MotorSpeedPWMEdit"));
    QVERIFY(!rig.Enabled("UpdateConfigButton"));
}

std::unique_ptr<QObject> MakeConfigPageTest()
{
    return std::make_unique<ConfigPageTest>();
}

#include "test_config_page.moc"

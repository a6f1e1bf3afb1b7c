// "Export" and "Import" on the real window: the bytes of a .config file, the
// save and open dialogs, the messages, and what an imported file does to
// the page.

#include <QDateTime>
#include <QFile>
#include <QRegularExpression>

#include "ConfigTestSupport.h"
#include "modbus/ResultCode.h"

using namespace cfgtest;

namespace {

// Stroke 1000, rear 0, front 1000, 5000 mA, 100 %, "Single", "Yes", "5.0",
// "0.5 ~ 10", "115200".
const QByteArray kExample = QByteArray::fromHex("0000E8030000E803881364000300000800000000" "0080");

void FillExample(Rig &rig)
{
    rig.Fill({"1000", "1000", "0", "100", "5000"}, QStringLiteral("Single"), QStringLiteral("Yes"),
             QStringLiteral("0.5 ~ 10"), QStringLiteral("115200"), 0);
}

QByteArray ReadAll(const QString &path)
{
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly))
        return QByteArray("<unreadable>");
    return f.readAll();
}

void WriteAll(const QString &path, const QByteArray &bytes)
{
    QFile f(path);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Truncate) || f.write(bytes) != bytes.size())
        qFatal("cannot write %s", qPrintable(path));
}

QByteArray WithWord(QByteArray bytes, int offset, uint16_t value)
{
    bytes[offset] = static_cast<char>(value & 0xFF);
    bytes[offset + 1] = static_cast<char>(value >> 8);
    return bytes;
}

QString ProposedName(const QDateTime &t)
{
    return QStringLiteral("LUMO_MID-0x0000_") + t.toString(QStringLiteral("yyyyMMdd-HHmm"));
}

} // namespace

class ConfigFilesTest : public QObject {
    Q_OBJECT
private slots:
    void init();
    void exportWritesExampleBytes();
    void exportWithHiddenVoltageList();
    void exportCancelled_data();
    void exportCancelled();
    void exportWithInvalidInputsOnlyReports();
    void exportAsksBeforeReplacing();
    void exportToUnwritablePlace();
    void importShowsFileWithoutConnection();
    void importRefusesOtherSizes_data();
    void importRefusesOtherSizes();
    void importMapsUnknownCodesToFirstChoice();
    void importedBadValuesTurnRedAndSendNothing();
    void importUnreadableOrCancelled_data();
    void importUnreadableOrCancelled();
    void configurationFromOneDeviceToAnother();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString Path(const char *name) const { return dir_->filePath(QString::fromLatin1(name)); }
};

void ConfigFilesTest::init()
{
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
}

void ConfigFilesTest::exportWritesExampleBytes()
{
    Rig rig;
    FillExample(rig);
    QVERIFY(rig.Enabled("ExportConfigButton"));
    const QString path = Path("a.config");
    rig.dialogs.saveAnswers.push_back(path);
    const QDateTime before = QDateTime::currentDateTime();
    rig.Click("ExportConfigButton");
    const QDateTime after = QDateTime::currentDateTime();

    QCOMPARE(ReadAll(path).toHex(' '), kExample.toHex(' '));
    QCOMPARE(rig.dialogs.shown.last(), QStringLiteral("info: Export device config successfully !"));
    QCOMPARE(rig.dialogs.shown.size(), 2); // the save dialog and the box
    QCOMPARE(rig.panel(1), QStringLiteral("Export config data"));
    QCOMPARE(rig.dialogs.saveFilter, QStringLiteral("Config file (*.config)"));
    QCOMPARE(rig.dialogs.saveExtension, QStringLiteral("config"));
    const QString proposed = rig.dialogs.saveInitialNames.value(0);
    QVERIFY2(proposed == ProposedName(before) || proposed == ProposedName(after), qPrintable(proposed));
    QVERIFY(QRegularExpression(QStringLiteral("^LUMO_MID-0x0000_\\d{8}-\\d{4}$")).match(proposed).hasMatch());
    // Nothing on the bus: no connection was needed.
    QVERIFY(rig.Requests().empty());
}

void ConfigFilesTest::exportWithHiddenVoltageList()
{
    Rig rig({{4, Model::LumoB}});
    rig.Connect();
    rig.Select(4, Model::LumoB);
    FillExample(rig); // the hidden list still says "5.0"
    const QString path = Path("b.config");
    rig.dialogs.saveAnswers.push_back(path);
    rig.Click("ExportConfigButton");
    QCOMPARE(ReadAll(path).mid(14, 2).toHex(), QByteArray("ff0f"));
    QCOMPARE(ReadAll(path).size(), 22);
}

void ConfigFilesTest::exportCancelled_data()
{
    QTest::addColumn<bool>("emptyName"); // else cancelled
    QTest::newRow("cancelled") << false;
    QTest::newRow("empty name") << true;
}

void ConfigFilesTest::exportCancelled()
{
    QFETCH(bool, emptyName);
    Rig rig;
    FillExample(rig);
    rig.dialogs.saveAnswers.push_back(emptyName ? std::optional<QString>(QString()) : std::nullopt);
    rig.Click("ExportConfigButton");
    QCOMPARE(rig.dialogs.shown.size(), 2);
    QCOMPARE(rig.dialogs.shown.last(), QStringLiteral("error: Device configuration export failed !"));
    QVERIFY(QDir(dir_->path()).isEmpty());
}

// "Export" is disabled while the inputs are invalid; should its handler run
// anyway it must not offer a file, only say "Parameter Error".
void ConfigFilesTest::exportWithInvalidInputsOnlyReports()
{
    Rig rig;
    FillExample(rig);
    rig.Type("StrokeEdit", QString());
    QVERIFY(!rig.Enabled("ExportConfigButton"));
    rig.dialogs.saveAnswers.push_back(Path("c.config"));
    emit rig.get<QPushButton>("ExportConfigButton")->clicked();
    QVERIFY(rig.dialogs.shown.isEmpty());
    QCOMPARE(rig.panel(1), QStringLiteral("Export config data"));
    QCOMPARE(rig.panel(2), QStringLiteral("Parameter Error"));
    QVERIFY(!rig.IsRed("StrokeEdit"));
    QVERIFY(QDir(dir_->path()).isEmpty());
}

void ConfigFilesTest::exportAsksBeforeReplacing()
{
    Rig rig;
    FillExample(rig);
    const QString path = Path("saved.config");
    const QByteArray earlier = WithWord(kExample, 10, 42);
    WriteAll(path, earlier);

    // "No": the save dialog comes back with that name; cancelling it keeps the file.
    rig.dialogs.overwrite = false;
    rig.dialogs.saveAnswers = {path, std::nullopt};
    rig.Click("ExportConfigButton");
    QCOMPARE(ReadAll(path), earlier);
    QCOMPARE(rig.dialogs.shown.filter(QStringLiteral("overwrite? ")), QStringList{QStringLiteral("overwrite? ") + path});
    QCOMPARE(rig.dialogs.saveInitialNames.size(), 2);
    QCOMPARE(rig.dialogs.saveInitialNames.last(), path);
    QCOMPARE(rig.dialogs.shown.last(), QStringLiteral("error: Device configuration export failed !"));

    // "Yes": replaced.
    rig.dialogs.shown.clear();
    rig.dialogs.overwrite = true;
    rig.dialogs.saveAnswers = {path};
    rig.Click("ExportConfigButton");
    QCOMPARE(ReadAll(path), kExample);
    QCOMPARE(rig.dialogs.shown.last(), QStringLiteral("info: Export device config successfully !"));

    // A new name is not asked about.
    rig.dialogs.shown.clear();
    rig.dialogs.saveAnswers = {Path("new.config")};
    rig.Click("ExportConfigButton");
    QVERIFY(rig.dialogs.shown.filter(QStringLiteral("overwrite? ")).isEmpty());
}

void ConfigFilesTest::exportToUnwritablePlace()
{
    Rig rig;
    FillExample(rig);
    const QString path = Path("missing-folder/x.config");
    rig.dialogs.saveAnswers.push_back(path);
    rig.Click("ExportConfigButton");
    // The system's reason, and neither of the export's own messages.
    QCOMPARE(rig.dialogs.shown.size(), 2);
    QCOMPARE(rig.dialogs.shown.last(),
             QStringLiteral("error: Cannot create file \"%1\". No such file or directory").arg(path));
    // The window goes on: the next export works.
    rig.dialogs.saveAnswers.push_back(Path("x.config"));
    rig.Click("ExportConfigButton");
    QCOMPARE(ReadAll(Path("x.config")), kExample);
}

void ConfigFilesTest::importShowsFileWithoutConnection()
{
    Rig rig;
    const QString path = Path("example.config");
    WriteAll(path, kExample);
    rig.dialogs.openAnswers.push_back(path);
    rig.Click("ImportConfigButton");

    QCOMPARE(rig.dialogs.shown.last(), QStringLiteral("info: Configuration data imported successfully !"));
    QCOMPARE(rig.dialogs.openFilter, QStringLiteral("Setting file (*.config)"));
    QCOMPARE(rig.panel(1), QStringLiteral("Import config data"));
    QCOMPARE(rig.edit("StrokeEdit")->text(), QStringLiteral("1000"));
    QCOMPARE(rig.edit("ContainerStopEdit")->text(), QStringLiteral("1000"));
    QCOMPARE(rig.edit("ShelfStopEdit")->text(), QStringLiteral("0"));
    QCOMPARE(rig.edit("MotorSpeedPWMEdit")->text(), QStringLiteral("100"));
    QCOMPARE(rig.edit("OverLoadProtectEdit")->text(), QStringLiteral("5000"));
    QCOMPARE(rig.group("HallSensorRadioGroup")->ItemIndex(), 0);
    QCOMPARE(rig.group("LimitSwitchRadioGroup")->ItemIndex(), 0);
    QCOMPARE(rig.group("HallPotRadioGroup")->ItemIndex(), 0);
    QCOMPARE(rig.group("BUSBaudRateRadioGroup")->ItemIndex(), 0);
    QCOMPARE(rig.get<QComboBox>("VoltageOutComboBox")->currentText(), QStringLiteral("5.0"));
    QVERIFY(rig.state().configValid);
    QVERIFY(rig.Enabled("ExportConfigButton"));
    QVERIFY(!rig.Enabled("UpdateConfigButton")); // no connection
    QVERIFY(rig.Requests().empty());

    // Exported again, the page gives back the same bytes.
    rig.dialogs.saveAnswers.push_back(Path("again.config"));
    rig.Click("ExportConfigButton");
    QCOMPARE(ReadAll(Path("again.config")), kExample);
}

void ConfigFilesTest::importRefusesOtherSizes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("21 bytes") << kExample.left(21);
    QTest::newRow("23 bytes") << kExample + QByteArray(1, '\0');
    QTest::newRow("empty") << QByteArray();
}

void ConfigFilesTest::importRefusesOtherSizes()
{
    QFETCH(QByteArray, bytes);
    Rig rig;
    rig.Fill({"900", "800", "700", "", "4000"}, QStringLiteral("Dual"), QStringLiteral("No"),
             QStringLiteral("0.5 ~ 5"), QStringLiteral("19200"), 1);
    const QStringList before = rig.PageSnapshot();
    const bool validBefore = rig.state().configValid;
    const QString path = Path("odd.config");
    WriteAll(path, bytes);
    rig.dialogs.openAnswers.push_back(path);
    rig.Click("ImportConfigButton");
    QCOMPARE(rig.dialogs.shown.last(), QStringLiteral("error: Configuration data import failed !"));
    QCOMPARE(rig.PageSnapshot(), before);
    QCOMPARE(rig.state().configValid, validBefore);
}

void ConfigFilesTest::importMapsUnknownCodesToFirstChoice()
{
    Rig rig;
    rig.Fill({"900", "800", "700", "50", "4000"}, QStringLiteral("Dual"), QStringLiteral("No"),
             QStringLiteral("0.5 ~ 5"), QStringLiteral("19200"), 1);
    QByteArray bytes = WithWord(kExample, 16, 7); // HallPotSelect
    bytes = WithWord(bytes, 18, 9);               // BaudRate
    bytes = WithWord(bytes, 14, 1000);            // VoltageOut below 5.0 V
    const QString path = Path("codes.config");
    WriteAll(path, bytes);
    rig.dialogs.openAnswers.push_back(path);
    rig.Click("ImportConfigButton");
    QCOMPARE(rig.group("HallPotRadioGroup")->ItemIndex(), 0);     // "0.5 ~ 10"
    QCOMPARE(rig.group("BUSBaudRateRadioGroup")->ItemIndex(), 0); // "115200"
    QCOMPARE(rig.get<QComboBox>("VoltageOutComboBox")->currentIndex(), -1);
}

void ConfigFilesTest::importedBadValuesTurnRedAndSendNothing()
{
    Rig rig;
    rig.Connect();
    rig.Select(1, Model::LumoP);
    FillExample(rig);
    QVERIFY(rig.Enabled("UpdateConfigButton"));
    rig.bus.ClearFrameLog();

    QByteArray bytes = WithWord(kExample, 2, 500); // stroke
    bytes = WithWord(bytes, 6, 600);               // front limit
    const QString path = Path("bad.config");
    WriteAll(path, bytes);
    rig.dialogs.openAnswers.push_back(path);
    rig.Click("ImportConfigButton");

    QCOMPARE(rig.dialogs.shown.last(), QStringLiteral("info: Configuration data imported successfully !"));
    QVERIFY(rig.IsRed("ContainerStopEdit"));
    QVERIFY(!rig.IsRed("StrokeEdit"));
    QVERIFY(!rig.state().configValid);
    QVERIFY(!rig.Enabled("UpdateConfigButton"));
    QVERIFY(!rig.Enabled("ExportConfigButton"));
    // Importing never touches the bus.
    QTest::qWait(50);
    QVERIFY(rig.Requests().empty());
}

void ConfigFilesTest::importUnreadableOrCancelled_data()
{
    QTest::addColumn<bool>("cancel");
    QTest::newRow("no such file") << false;
    QTest::newRow("cancelled") << true;
}

void ConfigFilesTest::importUnreadableOrCancelled()
{
    QFETCH(bool, cancel);
    Rig rig;
    const QString path = Path("nowhere.config");
    if (!cancel)
        rig.dialogs.openAnswers.push_back(path);
    rig.Click("ImportConfigButton");
    QCOMPARE(rig.dialogs.shown.size(), 2);
    QCOMPARE(rig.dialogs.shown.last(),
             cancel ? QStringLiteral("error: Configuration data import failed !")
                    : QStringLiteral("error: Cannot open file \"%1\". No such file or directory").arg(path));
    QCOMPARE(rig.edit("StrokeEdit")->text(), QString());
}

// Read one actuator, change its speed, write it, export; then give another
// actuator the same configuration from the file.
void ConfigFilesTest::configurationFromOneDeviceToAnother()
{
    Rig rig({{1, Model::LumoP}, {2, Model::LumoP}});
    rig.bus.SetHolding(1, Reg::MaxPos, 1300);
    rig.bus.SetHolding(1, Reg::FrontLimit, 1250);
    rig.bus.SetHolding(1, Reg::VoltageOut, Voltage::FiveVolt);
    rig.bus.SetHolding(1, Reg::BaudRate, 3);
    rig.Connect();
    rig.Select(1, Model::LumoP);
    rig.Click("LoadConfigButton");
    rig.Type("MotorSpeedPWMEdit", QStringLiteral("55"));
    rig.Click("UpdateConfigButton");
    QCOMPARE(rig.bus.Holding(1, Reg::SpeedPwm), uint16_t{55});
    const QString path = Path("from-1.config");
    rig.dialogs.saveAnswers.push_back(path);
    rig.Click("ExportConfigButton");
    QCOMPARE(ReadAll(path).size(), 22);

    // A fresh page, as after starting again.
    Rig second({{1, Model::LumoP}, {2, Model::LumoP}});
    second.Connect();
    second.Select(2, Model::LumoP);
    second.dialogs.openAnswers.push_back(path);
    second.Click("ImportConfigButton");
    QVERIFY(second.Enabled("UpdateConfigButton"));
    second.Click("UpdateConfigButton");
    QCOMPARE(second.dialogs.shown.last(), QStringLiteral("info: Update device config successfully !"));
    for (uint16_t reg : {Reg::MaxPos, Reg::RearLimit, Reg::FrontLimit, Reg::CurrentLimit, Reg::SpeedPwm,
                         Reg::SettingFlag, Reg::VoltageOut, Reg::HallPotSelect, Reg::BaudRate})
        QCOMPARE(second.bus.Holding(2, reg), rig.bus.Holding(1, reg));
    QCOMPARE(second.bus.Holding(2, Reg::SpeedPwm), uint16_t{55});
}

std::unique_ptr<QObject> MakeConfigFilesTest()
{
    return std::make_unique<ConfigFilesTest>();
}

#include "test_config_files.moc"

// Takes the pictures of the window that the README shows, in a known state:
// connected to the demo bus (LUMO-D at 1, LUMO-P at 5, LUMO-B at 9, as
// lumo-sim serves it without options), the bus scanned, the LUMO-P's row
// clicked and its configuration read, the LUMO-D moving up on the Control
// page, and the Bus backup comparing the bus with a backup of it after two
// changes. Usage: readme_pictures <output folder>
//
// As a test it fails, saying why, when a picture is blank, when the window
// does not show the state the picture is meant to show (the README would
// then show something else), or when a control shown is cut off by its
// parent or by the window's edge. The pictures in docs/pictures are copies
// of what this writes.

#include <QDir>
#include <QImage>
#include <QTabWidget>
#include <QTreeWidget>
#include <cstdio>
#include <vector>

#include "PictureChecks.h"
#include "CommandLine.h"
#include "RequiredTool.h"
#include "app/LumoApplication.h"
#include "console/Fonts.h"
#include "sidewindows/BusBackup.h"
#include "test_bus_scan_fixture.h"

using namespace bustest;

namespace {

// The README's pictures are of the Tahoma-metric font the window uses when
// fonts-wine is installed; in another font every caption moves.
const QString kReadmeFont = QStringLiteral("Tahoma");

constexpr uint8_t kConfigured = 5; // the LUMO-P: its page shows the most inputs
constexpr uint8_t kMoving = 1;     // the LUMO-D: every motion control is on
constexpr uint8_t kLastDemoAddress = 9;

// The demo bus over the real line model, as lumo-sim runs it: only the pause
// between two scan probes is shortened, so the scan takes seconds.
FixtureOptions DemoBus()
{
    FixtureOptions o;
    o.realLine = true;
    for (const lumosim::DeviceOptions &d : lumosim::DemoDevices())
        o.devices.push_back({d.address, d.model});
    o.timings.scanTickMs = 20;
    o.busBackupLastAddress = 9;
    return o;
}

class Pictures {
public:
    Pictures(BusWindow &w, QDir out) : w_(w), out_(std::move(out)) {}

    // Records a failure with its reason; false.
    bool Fail(const QString &what)
    {
        std::fprintf(stderr, "FAIL: %s\n", qPrintable(what));
        ok_ = false;
        return false;
    }

    // Brings `page` to the front, grabs the whole window, checks the picture
    // and the controls on it, and saves it as `name`.
    void Take(const char *page, const char *name)
    {
        auto *tabs = w_.W<QTabWidget>("PageControl1");
        tabs->setCurrentWidget(w_.W<QWidget>(page));
        Take(w_.form.get(), name);
    }

    // The same for a window beside the main one.
    void Take(QWidget *window, const char *name)
    {
        QApplication::processEvents();
        const QImage image = window->grab().toImage();
        const QString blank = pictures::Blankness(image);
        if (!blank.isEmpty())
            Fail(QStringLiteral("%1: %2").arg(QLatin1String(name), blank));
        for (const QString &clip : pictures::Clipped(window))
            Fail(QStringLiteral("%1: %2").arg(QLatin1String(name), clip));
        for (const auto &[earlier, picture] : taken_)
            if (picture == image)
                Fail(QStringLiteral("%1 looks exactly like %2").arg(QLatin1String(name), earlier));
        taken_.emplace_back(QLatin1String(name), image);
        const QString path = out_.filePath(QLatin1String(name));
        if (!image.save(path))
            Fail(QStringLiteral("cannot write %1").arg(path));
        else
            std::printf("%s\n", qPrintable(path));
    }

    // The text of the edit or label `name`, for comparing with what the
    // picture must show.
    bool Shows(const char *name, const QString &expected)
    {
        QWidget *widget = w_.W<QWidget>(name);
        QString text;
        if (auto *edit = qobject_cast<QLineEdit *>(widget))
            text = edit->text();
        else if (auto *label = qobject_cast<QLabel *>(widget))
            text = label->text();
        if (text == expected)
            return true;
        return Fail(QStringLiteral("%1 shows \"%2\", not \"%3\"").arg(QLatin1String(name), text, expected));
    }

    bool ok() const { return ok_; }

private:
    BusWindow &w_;
    QDir out_;
    std::vector<std::pair<QString, QImage>> taken_;
    bool ok_ = true;
};

} // namespace

int main(int argc, char **argv)
{
    LumoApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: readme_pictures <output folder>\n");
        return 2;
    }
    const QDir out(args.at(1));
    if (!QDir().mkpath(out.path())) {
        std::fprintf(stderr, "cannot make %s\n", qPrintable(out.path()));
        return 1;
    }
    if (UiFontFamily() != kReadmeFont) {
        std::fprintf(stderr, "the window's font is %s, not %s (Debian package fonts-wine): %s\n",
                     qPrintable(UiFontFamily()), qPrintable(kReadmeFont),
                     RunningInCi() ? "failing" LUMO_IN_CI_NOTE
                                   : "checking the pictures, but they are not the README's");
        if (RunningInCi())
            return 1;
    }

    BusWindow w(DemoBus());
    Pictures pictures(w, out);

    // The Bus Devices page when the scan has passed the last demo address.
    if (!w.Connect()) {
        pictures.Fail(QStringLiteral("the window did not connect to the demo bus"));
        return 1;
    }
    if (!w.ScanUpTo(kLastDemoAddress)) {
        pictures.Fail(QStringLiteral("the scan did not get past address %1").arg(kLastDemoAddress));
        return 1;
    }
    const QStringList expectedRows = {QStringLiteral("1 LUMO-D"), QStringLiteral("5 LUMO-P"),
                                      QStringLiteral("9 LUMO-B")};
    if (w.DeviceRows() != expectedRows)
        pictures.Fail(QStringLiteral("the scan listed [%1], not the demo bus [%2]")
                          .arg(w.DeviceRows().join(QStringLiteral(", ")), expectedRows.join(QStringLiteral(", "))));
    pictures.Take("DevicePage", "1-bus-devices-scanned.png");

    // The LUMO-P's row clicked: its address, motor ID and firmware read.
    if (!w.ClickDeviceRow(QString::number(kConfigured)) || w.state().selectedDeviceId != kConfigured) {
        pictures.Fail(QStringLiteral("clicking the row of %1 did not select it").arg(kConfigured));
        return 1;
    }
    pictures.Shows("DeviceIDEdit", QString::number(kConfigured));
    pictures.Shows("MotorIDEdit", QStringLiteral("5A%1").arg(kConfigured, 2, 10, QLatin1Char('0')));
    pictures.Shows("FwVerMajorEdit", QStringLiteral("01"));
    pictures.Shows("FwVerMinorEdit", QStringLiteral("02"));
    pictures.Take("DevicePage", "2-bus-devices.png");

    // Its configuration read on the Actuators page: a stroke of 1000.
    w.W<QTabWidget>("PageControl1")->setCurrentWidget(w.W<QWidget>("SettingPage"));
    w.Click("LoadConfigButton");
    const QStringList readDone = {QStringLiteral("info: Get device config successfully !")};
    if (w.dialogs.shown != readDone)
        pictures.Fail(QStringLiteral("reading the configuration said [%1]")
                          .arg(w.dialogs.shown.join(QStringLiteral("; "))));
    pictures.Shows("StrokeEdit", QStringLiteral("1000"));
    pictures.Shows("ContainerStopEdit", QStringLiteral("1000"));
    pictures.Shows("ShelfStopEdit", QStringLiteral("0"));
    pictures.Take("SettingPage", "3-actuators.png");

    // The LUMO-D picked on the Control page and sent up; the status poll
    // shows it moving, half-way between where it starts (500) and its front
    // limit (1000).
    if (!w.SelectControlDevice(QString::number(kMoving)) || w.state().controlDeviceId != kMoving) {
        pictures.Fail(QStringLiteral("picking %1 on the Control page did not select it").arg(kMoving));
        return 1;
    }
    w.Click("motorUpButton");
    auto *glyph = w.W<QLabel>("MotorStatusLabel");
    auto *position = w.W<QLineEdit>("motorPositionEdit");
    const bool moving = QTest::qWaitFor(
        [&] { return glyph->text() == QStringLiteral("\u25B2") && position->text().toInt() > 500; }, 3000);
    if (!moving)
        pictures.Fail(QStringLiteral("after \u25B2 the Control page shows \"%1\" at position %2, not moving up")
                          .arg(glyph->text(), position->text()));
    else if (position->text().toInt() >= 1000)
        pictures.Fail(QStringLiteral("the actuator had already stopped at %1").arg(position->text()));
    pictures.Take("OptionPage", "4-control.png");

    w.Click("motorStopButton");
    if (!QTest::qWaitFor([&] { return w.state().moved.Empty(); }, 5000))
        pictures.Fail(QStringLiteral("the LUMO-D did not come to rest after ■"));

    // The Bus backup: the demo bus backed up, then the LUMO-P set slower
    // and the LUMO-B replaced by a new unit, and the bus compared with the
    // backup.
    w.form->activateWindow();
    if (!QTest::qWaitForWindowActive(w.form.get()))
        pictures.Fail(QStringLiteral("the window did not become active for Ctrl+B"));
    QTest::keyClick(w.form.get(), Qt::Key_B, Qt::ControlModifier);
    auto *backup = w.form->findChild<TBusBackupForm *>(QStringLiteral("BusBackupForm"));
    if (!backup || !QTest::qWaitForWindowExposed(backup)) {
        pictures.Fail(QStringLiteral("Ctrl+B showed no Bus backup window"));
        return 1;
    }
    const QString file = out.filePath(QStringLiteral("demo.lumobus"));
    QFile::remove(file);
    w.dialogs.saveAnswers.push_back(file);
    QTest::mouseClick(Child<QPushButton>(backup, "backUpButton"), Qt::LeftButton);
    if (!QFile::exists(file))
        pictures.Fail(QStringLiteral("the backup did not save %1: %2")
                          .arg(file, Child<QLabel>(backup, "busBackupStatus")->text()));
    const uint16_t speed = 80;
    w.bus.SetHolding(kConfigured, Reg::SpeedPwm, speed);
    w.bus.SetHolding(kLastDemoAddress, Reg::Name, 0x7B11);
    w.dialogs.openAnswers.push_back(file);
    QTest::mouseClick(Child<QPushButton>(backup, "compareButton"), Qt::LeftButton);
    auto *table = Child<QTreeWidget>(backup, "busBackupTable");
    QStringList rows;
    for (int i = 0; i < table->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *row = table->topLevelItem(i);
        rows << row->text(0) + QStringLiteral(" | ") + row->text(TBusBackupForm::StateColumn);
        for (int r = 0; r < row->childCount(); ++r)
            rows << QStringLiteral("  %1: %2 -> %3")
                        .arg(row->child(r)->text(TBusBackupForm::StateColumn),
                             row->child(r)->text(TBusBackupForm::FileColumn),
                             row->child(r)->text(TBusBackupForm::BusColumn));
    }
    const QStringList expectedComparison = {QStringLiteral("1 | same"), QStringLiteral("5 | differs (1 register)"),
                                            QStringLiteral("  SpeedPwm: 100 -> %1").arg(speed),
                                            QStringLiteral("9 | 9: was 5A09, now 7B11 (replaced?)")};
    if (rows != expectedComparison)
        pictures.Fail(QStringLiteral("the Bus backup shows [%1], not [%2]")
                          .arg(rows.join(QStringLiteral("; ")), expectedComparison.join(QStringLiteral("; "))));
    pictures.Take(backup, "5-bus-backup.png");
    return pictures.ok() ? 0 : 1;
}

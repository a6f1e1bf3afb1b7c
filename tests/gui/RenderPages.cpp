// Renders the main window's four pages (the hidden Debug page included) and
// the wait dialog to PNG files, so the layout can be looked at without a
// display. Usage: render_pages <output folder>
//
// As a test it fails on what a person looking at the pictures would notice
// first: a picture that is blank or one flat colour (nothing was painted),
// or two pages that look the same (the tab did not change). Where each
// control sits and whether captions fit is checked by the window tests
// (tests/gui/test_window.cpp), not here.

#include <QApplication>
#include <QDir>
#include <QGroupBox>
#include <QImage>
#include <QTabWidget>
#include <cstdio>
#include <vector>

#include "PictureChecks.h"
#include "TempRecords.h"
#include "app/WaitDlg.h"
#include "console/Modbussetting.h"

namespace {

// Grabs `widget`, checks that the picture is painted and saves it; false
// (with the reason on stderr) when either fails.
bool Save(QWidget *widget, const QString &path, QImage *picture = nullptr)
{
    const QImage image = widget->grab().toImage();
    if (picture)
        *picture = image;
    const QString blank = pictures::Blankness(image);
    if (!blank.isEmpty()) {
        std::fprintf(stderr, "%s: %s\n", qPrintable(path), qPrintable(blank));
        return false;
    }
    if (!image.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
        return false;
    }
    std::printf("%s\n", qPrintable(path));
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2) {
        std::fprintf(stderr, "usage: render_pages <output folder>\n");
        return 2;
    }
    const QDir out(args.at(1));
    if (!QDir().mkpath(out.path()))
        return 1;

    RecordsToTempFolder();
    TMODBUSSettingForm form;
    form.show();
    auto *tabs = form.findChild<QTabWidget *>(QStringLiteral("PageControl1"));
    if (!tabs)
        return 1;
    // The Debug tab is hidden in the program; shown here only for the picture.
    tabs->setTabVisible(3, true);
    const char *names[] = {"page-1-bus-devices.png", "page-2-actuators.png", "page-3-control.png",
                           "page-4-debug.png"};
    bool ok = true;
    std::vector<QImage> pages(4);
    for (int i = 0; i < 4; ++i) {
        tabs->setCurrentIndex(i);
        QApplication::processEvents();
        ok = Save(&form, out.filePath(QString::fromLatin1(names[i])), &pages[i]) && ok;
        for (int j = 0; j < i; ++j) {
            if (pages[i] == pages[j]) {
                std::fprintf(stderr, "%s looks exactly like %s\n", names[i], names[j]);
                ok = false;
            }
        }
    }
    if (auto *cycle = form.findChild<QGroupBox *>(QStringLiteral("TestGroupBox"))) {
        cycle->setVisible(true);
        cycle->setEnabled(true);
        QApplication::processEvents();
        ok = Save(&form, out.filePath(QStringLiteral("page-4-debug-with-cycle-test.png"))) && ok;
    }

    TWaitDlg wait(&form);
    wait.ShowCentredOn(&form);
    QApplication::processEvents();
    ok = Save(&wait, out.filePath(QStringLiteral("wait-dialog.png"))) && ok;
    return ok ? 0 : 1;
}

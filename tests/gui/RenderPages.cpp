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
#include <QHash>
#include <QImage>
#include <QTabWidget>
#include <algorithm>
#include <cstdio>
#include <vector>

#include "app/WaitDlg.h"
#include "console/Modbussetting.h"

namespace {

// A painted page has text, frames and controls: many colours, none of them
// covering nearly everything. Antialiased text alone brings dozens.
constexpr int MinColours = 8;
constexpr double MaxShareOfOneColour = 0.99;

// Empty when the picture looks painted; otherwise what is wrong with it.
QString Blankness(const QImage &image)
{
    if (image.isNull() || image.width() == 0 || image.height() == 0)
        return QStringLiteral("empty picture");
    QHash<QRgb, qint64> counts;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            ++counts[image.pixel(x, y)];
    qint64 most = 0;
    for (qint64 n : counts)
        most = std::max(most, n);
    const double share = double(most) / (double(image.width()) * image.height());
    if (counts.size() < MinColours || share > MaxShareOfOneColour)
        return QStringLiteral("blank: %1 colours, one of them %2 % of the picture")
            .arg(counts.size())
            .arg(share * 100, 0, 'f', 1);
    return {};
}

// Grabs `widget`, checks that the picture is painted and saves it; false
// (with the reason on stderr) when either fails.
bool Save(QWidget *widget, const QString &path, QImage *picture = nullptr)
{
    const QImage image = widget->grab().toImage();
    if (picture)
        *picture = image;
    const QString blank = Blankness(image);
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

// Start-up of the window as the program does it, offscreen: time from
// main() to the first paint of the main window, and the peak resident
// memory once it has settled.

#include <QApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QEvent>
#include <QTemporaryDir>
#include <QTimer>
#include <sys/resource.h>

#include <cstdio>

#include "app/WaitDlg.h"
#include "console/Modbussetting.h"

namespace {

class FirstPaint : public QObject {
public:
    explicit FirstPaint(QElapsedTimer &clock) : clock_(clock) {}
    qint64 ms = -1;

protected:
    bool eventFilter(QObject *, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && ms < 0)
            ms = clock_.elapsed();
        return false;
    }

private:
    QElapsedTimer &clock_;
};

} // namespace

int main(int argc, char **argv)
{
    QElapsedTimer clock;
    clock.start();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    // A fresh record store, opened as at a first start, not the user's.
    QTemporaryDir records;
    qputenv("LUMO_RECORDS", QFile::encodeName(records.filePath(QStringLiteral("records.sqlite"))));
    QApplication app(argc, argv);
    FirstPaint paint(clock);
    TMODBUSSettingForm form;
    TWaitDlg waitDlg(&form);
    form.SetWaitDialog(&waitDlg);
    form.installEventFilter(&paint);
    form.show();
    QTimer::singleShot(1000, &app, &QApplication::quit);
    app.exec();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("%-44s %8lldms\n", "window start-up to first paint (offscreen)", static_cast<long long>(paint.ms));
    std::printf("%-44s %7.1fMiB\n", "window peak resident memory", usage.ru_maxrss / 1024.0);
    return paint.ms < 0 ? 1 : 0;
}

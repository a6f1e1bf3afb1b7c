#include "app/LumoApplication.h"

#include <cstdio>
#include <exception>

#include "ui/UserDialogs.h"

LumoApplication::LumoApplication(int &argc, char **argv) : QApplication(argc, argv)
{
    setApplicationName(QStringLiteral("lumo-tool"));
    // Lets a Wayland desktop match the window to its menu entry and icon.
    setDesktopFileName(QStringLiteral("lumo-tool"));
    setApplicationDisplayName(QString::fromUtf8(kApplicationTitle));
}

bool LumoApplication::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (...) {
        ShowCurrentException();
    }
    return false;
}

void LumoApplication::ShowCurrentException()
{
    QString message;
    try {
        throw;
    } catch (const std::exception &e) {
        message = QString::fromLocal8Bit(e.what());
    } catch (...) {
        // Not an exception of the library: shown without a message.
    }
    if (dialogs_)
        dialogs_->Error(message);
    else
        std::fprintf(stderr, "lumo-tool: %s\n", message.toLocal8Bit().constData());
}

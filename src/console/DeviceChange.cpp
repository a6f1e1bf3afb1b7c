// Device-change messages on Windows: a device arrived, or a port device was
// removed, with its port name. Windows sends them to every top-level window
// without any registration. The port watcher's poll (Connection.cpp) finds
// the same changes in SERIALCOMM within half a second; the messages make the
// window react at once and name a removed port even when it is not listed.

#ifdef _WIN32

// clang-format off
#include <windows.h>
#include <dbt.h>
// clang-format on

#include <QByteArray>
#include <QString>
#include <cstddef>
#include <string>

#include "console/Modbussetting.h"
#include "serial/PortWatcher.h"

namespace {

// The port name a removal message carries, in the system's code page as the
// port box uses it; empty when the message names no port.
std::string RemovedPortName(LPARAM lParam)
{
    const auto *header = reinterpret_cast<const DEV_BROADCAST_HDR *>(lParam);
    constexpr size_t kNameAt = offsetof(DEV_BROADCAST_PORT_W, dbcp_name);
    if (header == nullptr || header->dbch_devicetype != DBT_DEVTYP_PORT || header->dbch_size <= kNameAt)
        return {};
    // Qt's windows are Unicode windows, so the name comes as UTF-16.
    const auto *port = reinterpret_cast<const DEV_BROADCAST_PORT_W *>(header);
    const size_t room = (header->dbch_size - kNameAt) / sizeof(wchar_t);
    size_t length = 0;
    while (length < room && port->dbcp_name[length] != L'\0')
        ++length;
    const QString name = QString::fromWCharArray(port->dbcp_name, static_cast<qsizetype>(length));
    return name.toLocal8Bit().toStdString();
}

} // namespace

bool TMODBUSSettingForm::nativeEvent(const QByteArray &eventType, void *message, qintptr *result)
{
    const MSG *msg = static_cast<const MSG *>(message);
    if (msg != nullptr && msg->message == WM_DEVICECHANGE && portWatcher_) {
        if (msg->wParam == DBT_DEVICEARRIVAL) {
            portWatcher_->Poll();
        } else if (msg->wParam == DBT_DEVICEREMOVECOMPLETE) {
            const std::string name = RemovedPortName(msg->lParam);
            if (!name.empty())
                portWatcher_->ReportRemoved(name);
            portWatcher_->Poll();
        }
    }
    // The message goes on to Qt's own handling.
    return QWidget::nativeEvent(eventType, message, result);
}

#endif

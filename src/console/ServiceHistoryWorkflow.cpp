// The Service history from the main window: opening it for the selected
// actuator.
//
// Nothing here changes the four pages. Like the Bus monitor, the history is
// reached from the status bar's result panel, whose context menu offers
// both windows, or with its own shortcut, Ctrl+H, anywhere in the window.

#include <QKeySequence>
#include <QMenu>
#include <QShortcut>

#include "sidewindows/BusMonitor.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "sidewindows/ServiceHistory.h"

namespace {

constexpr int kResultPanel = 2;

} // namespace

void TMODBUSSettingForm::InstallServiceHistory()
{
    auto *shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_H), this);
    shortcut->setObjectName(QStringLiteral("serviceHistoryShortcut"));
    connect(shortcut, &QShortcut::activated, this, [this] { ShowServiceHistory(); });

    // The result panel's menu names the windows beside the pages and their
    // shortcuts. It
    // pops up without a loop of its own, so nothing waits on it.
    auto *menu = new QMenu(this);
    menu->setObjectName(QStringLiteral("sideWindowsMenu"));
    QAction *monitor = menu->addAction(QStringLiteral("Bus monitor"), this, [this] { ShowBusMonitor(); });
    monitor->setObjectName(QStringLiteral("busMonitorAction"));
    monitor->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    QAction *history = menu->addAction(QStringLiteral("Service history"), this, [this] { ShowServiceHistory(); });
    history->setObjectName(QStringLiteral("serviceHistoryAction"));
    history->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_H));
    QAction *backup = menu->addAction(QStringLiteral("Bus backup"), this, [this] { ShowBusBackup(); });
    backup->setObjectName(QStringLiteral("busBackupAction"));
    backup->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_B));
    // The shortcuts above are the window's; in the menu they are captions.
    monitor->setShortcutContext(Qt::WidgetShortcut);
    history->setShortcutContext(Qt::WidgetShortcut);
    backup->setShortcutContext(Qt::WidgetShortcut);
    connect(OptionStatusBar, &TStatusBar::PanelContextMenu, this, [menu](int panel, const QPoint &at) {
        if (panel == kResultPanel)
            menu->popup(at);
    });
}

void TMODBUSSettingForm::ShowServiceHistory()
{
    // Its own read-only connection: reading never waits for the records'
    // thread, and works when recording is off (a file the user may only
    // read, say).
    records::RecordStore *store = HistoryStore(false);
    if (!serviceHistory_) {
        serviceHistory_ = new TServiceHistoryForm(store, dialogs_, this);
        serviceHistory_->SetRecordingNotice(recordsNotice_);
    } else {
        serviceHistory_->SetStore(store);
    }
    // The actuator selected on the Bus Devices page, else the one the
    // Control page commands; with neither known, the history stays on the
    // actuator it showed (or lets the operator pick one on record).
    std::optional<uint16_t> motorId = MotorIdAt(state_.selectedDeviceId);
    if (!motorId)
        motorId = MotorIdAt(state_.controlDeviceId);
    serviceHistory_->Open(motorId);
}

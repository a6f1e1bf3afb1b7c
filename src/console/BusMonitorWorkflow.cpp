// The Bus monitor from the main window: feeding it, opening it, and its
// "Diagnose" button, which runs the bus doctor on the window's open port.
//
// Nothing here changes the four pages. The monitor is reached from the
// status bar: a double-click on the result panel, its context menu (shared
// with the Service history), or Ctrl+M anywhere in the window; the result
// panel's tooltip says so.

#include <QCoreApplication>
#include <QKeySequence>
#include <QPushButton>
#include <QShortcut>
#include <QTabWidget>
#include <QTimer>

#include "sidewindows/BusMonitor.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "diagnostics/Doctor.h"
#include "modbus/ResultCode.h"

namespace {

constexpr int kResultPanel = 2;

} // namespace

void TMODBUSSettingForm::InstallBusMonitor()
{
    // The counters run from the start, whether the monitor is open or not,
    // so that opening it shows what happened since connect.
    FrameObserver previous = engine_.SetFrameObserver({});
    engine_.SetFrameObserver([this, previous = std::move(previous)](const FrameEvent &event) {
        busHealth_.OnFrame(event);
        if (previous)
            previous(event);
    });
    // Every wait of a workflow (a reply, a gap between attempts, a pause of
    // a sequence) runs through the engine's pump. A Diagnose click handled
    // inside one of them would take the port from under that workflow.
    engine_.SetMessagePump([this](uint32_t maxWaitMs) {
        ++pumpDepth_;
        PumpMessages(maxWaitMs);
        --pumpDepth_;
    });

    OptionStatusBar->SetPanelToolTip(kResultPanel, QStringLiteral("Double-click here or press Ctrl+M for the Bus "
                                                                  "monitor; right-click for the Service history "
                                                                  "(Ctrl+H) and the Bus backup (Ctrl+B)"));
    connect(OptionStatusBar, &TStatusBar::PanelDoubleClicked, this, [this](int panel) {
        if (panel == kResultPanel)
            ShowBusMonitor();
    });
    auto *shortcut = new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_M), this);
    shortcut->setObjectName(QStringLiteral("busMonitorShortcut"));
    connect(shortcut, &QShortcut::activated, this, [this] { ShowBusMonitor(); });
}

void TMODBUSSettingForm::ShowBusMonitor()
{
    if (!busMonitor_) {
        busMonitor_ = new TBusMonitorForm(busHealth_, dialogs_, this);
        connect(busMonitor_, &TBusMonitorForm::DiagnoseRequested, this, [this] { DiagnoseBus(); });
    }
    busMonitor_->show();
    busMonitor_->raise();
    busMonitor_->activateWindow();
}

QString TMODBUSSettingForm::DoctorRefusal() const
{
    if (!state_.isConnected || !state_.comPort || state_.portName.empty())
        return QStringLiteral("connect to the bus's port first");
    // The doctor takes the port to other rates: a stop could not reach a
    // moving actuator until it ends.
    if (!state_.moved.Empty())
        return QString::fromStdString(state_.moved.MovingRefusal());
    if (state_.isScanning)
        return QStringLiteral("a bus scan is running; stop it first");
    if (MotorLearnStatusTimer->isActive())
        return QStringLiteral("stroke learning is running; wait until it ends");
    if (state_.cycleTestRunning)
        return QStringLiteral("the cycle test is running; stop it first");
    if (state_.isBusy)
        return QStringLiteral("a configuration transfer is running; wait until it ends");
    if (busWorkRunning_)
        return QStringLiteral("the Bus backup is at work; stop it first");
    if (pumpDepth_ > 0 || statusTickRunning_ || controlSelectRunning_ || controlSelectPending_)
        return QStringLiteral("the window is talking to a device; try again in a moment");
    return {};
}

void TMODBUSSettingForm::DiagnoseBus()
{
    if (doctorRunning_)
        return;
    const QString refusal = DoctorRefusal();
    if (!refusal.isEmpty()) {
        busMonitor_->DoctorRefused(refusal);
        return;
    }

    // The doctor has the port to itself: the pages are disabled (no
    // workflow can start) and the status poll waits. The monitor stays
    // usable, and its "Stop" ends the doctor at its next step.
    doctorRunning_ = true;
    const bool pollWasOn = GetDeviceStatusTimer->isActive();
    GetDeviceStatusTimer->stop();
    PageControl1->setEnabled(false);
    busMonitor_->DoctorStarted();

    const std::string portName = state_.portName;
    DoctorOptions options;
    // The baud rate box is locked while connected: it shows the open rate.
    options.connectedBaud = connectedBaud_;
    options.firstAddress = env_.doctorFirstAddress;
    options.lastAddress = env_.doctorLastAddress;
    options.progress = [this, &portName](const std::string &step) {
        busMonitor_->DoctorStep(QString::fromStdString(step));
        QCoreApplication::processEvents();
        // An unplugged adapter closes the port meanwhile: stop. Esc or a
        // close stops it too: their stops wait for the port to be back at
        // the connected rate.
        return !busMonitor_->DoctorStopRequested() && !stopAfterDoctor_ && state_.isConnected &&
               state_.portName == portName;
    };
    // The doctor changes the rate on the open port (DTR stays on) and puts
    // it back; the rate it leaves is checked below.
    const DoctorReport report = RunDoctor(engine_, state_.comPort, options);
    portBaud_ = 0;

    doctorRunning_ = false;
    PageControl1->setEnabled(true);
    if (state_.comPort && (!state_.comPort->IsOpen() || report.portLost)) {
        // It would not take the connected rate again, or went away: the
        // connection is lost, as when the adapter is unplugged.
        ClosePort();
        state_.lastResult = Result::PortError;
        ConnectButton->setText(QStringLiteral("Connect"));
    }
    // The doctor leaves the port at the connected rate; whatever happened
    // on its way, the stops below and every workflow after it need that.
    if (state_.isConnected && portBaud_ != connectedBaud_ && !UsePortRate(connectedBaud_)) {
        ClosePort();
        state_.lastResult = Result::PortError;
        ConnectButton->setText(QStringLiteral("Connect"));
    }
    if (pollWasOn && state_.isConnected)
        GetDeviceStatusTimer->start();
    RefreshUiState(false);
    busMonitor_->DoctorFinished(report);
    if (stopAfterDoctor_) {
        // Esc or a close came during the run: now the port can carry it.
        stopAfterDoctor_ = false;
        StopKeyPressed();
    }
}

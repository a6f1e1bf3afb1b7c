// Stopping what this window set moving: Esc from every window of the tool,
// Disconnect, closing the window, a vanished port, and the offer to stop
// what a vanished port left moving when it is connected again.
//
// Every one of them goes through state_.moved (MovedActuators), which every
// motion path tells of its commands: so a stop reaches the actuator that
// moved, whichever workflow moved it, and at the rate it was reached at.
// Before the stops, what would set an actuator moving again is ended: the
// cycle test's next step, the learning watch, the rest of a go-to's writes
// and the remaining attempts of a move.

#include <QApplication>
#include <QCheckBox>
#include <QCloseEvent>
#include <QDialog>
#include <QKeyEvent>
#include <QTimer>
#include <functional>
#include <utility>

#include "console/FlagScope.h"
#include "ui/UserDialogs.h"
#include "console/Modbussetting.h"
#include "console/WaitDialog.h"
#include "modbus/ResultCode.h"

namespace {

// Sees Esc before any widget of the application does: a drop-down list, a
// message box or the wait dialog would otherwise take the key for itself.
class StopKeyFilter : public QObject {
public:
    StopKeyFilter(std::function<bool(QObject *)> inTool, std::function<void()> stop, QObject *parent)
        : QObject(parent), inTool_(std::move(inTool)), stop_(std::move(stop))
    {
    }

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() != QEvent::KeyPress)
            return false;
        auto *key = static_cast<QKeyEvent *>(event);
        // The key reaches the window system's window first and then the
        // focus widget; only the widget is looked at, so one press is one
        // stop.
        auto *widget = qobject_cast<QWidget *>(watched);
        if (key->key() != Qt::Key_Escape || !widget || !inTool_(widget))
            return false;
        // Held down, the key sends one stop, not one per repeat.
        if (!key->isAutoRepeat())
            stop_();
        // The key is the stop's; what Esc would have done besides (close a
        // drop-down list, dismiss a box) still happens, after the stop.
        QWidget *window = widget->window();
        if (window->windowType() == Qt::Popup)
            window->close();
        else if (auto *dialog = qobject_cast<QDialog *>(window); dialog && dialog->isModal())
            QMetaObject::invokeMethod(dialog, &QDialog::reject, Qt::QueuedConnection);
        return true;
    }

private:
    std::function<bool(QObject *)> inTool_;
    std::function<void()> stop_;
};

QString FromStd(const std::string &text)
{
    return QString::fromStdString(text);
}

std::string NamesOf(const std::vector<uint8_t> &addresses)
{
    MovedActuators named;
    for (const uint8_t address : addresses)
        named.NoteCommand(address, Cmd::Up, Result::NoError, 0);
    return named.Names();
}

} // namespace

void TMODBUSSettingForm::InstallStopKey()
{
    stopKeyFilter_ = new StopKeyFilter([this](QObject *object) { return InToolWindow(object); },
                                       [this] { StopKeyPressed(); }, this);
    qApp->installEventFilter(stopKeyFilter_);
}

bool TMODBUSSettingForm::InToolWindow(QObject *object) const
{
    auto *widget = qobject_cast<QWidget *>(object);
    if (!widget)
        return false;
    const QWidget *waitWidget = waitWidget_;
    // The side windows, the wait dialog built by the shell, message boxes
    // and drop-down lists all have this window (or the wait dialog) among
    // their parents.
    for (const QWidget *w = widget; w; w = w->parentWidget())
        if (w == this || (waitWidget && w == waitWidget))
            return true;
    // A message box shown without a parent while this window is open.
    return isVisible() && QApplication::activeModalWidget() == widget->window();
}

void TMODBUSSettingForm::StopKeyPressed()
{
    // Pressed again while the stops of the first press go out: that run
    // covers it.
    if (stoppingMovedDevices_ || state_.moved.Stopping())
        return;
    EndMotionWorkflows();
    // Esc is also "■" for the device the Control page commands, from any
    // page and whatever the button's state: that device may move by its own
    // keys, or after a command whose answer was lost, and a stop moves
    // nothing. With "All Devices" that is the broadcast stop.
    std::vector<uint8_t> alsoStop;
    if (BusAdvCheckBox->isChecked())
        alsoStop.push_back(0);
    else if (state_.controlDeviceId != 0)
        alsoStop.push_back(state_.controlDeviceId);
    StopListed(alsoStop);
    EndInterruptedLearning();
}

void TMODBUSSettingForm::EndMotionWorkflows()
{
    ++stopEpoch_;
    // Bus-wide work moves nothing, but Esc and a close end it too, between
    // two devices.
    if (busWorkRunning_)
        stopBusWork_ = true;
    if (state_.cycleTestRunning || cycleTestTimer->isActive())
        cycleTestStopButtonClick();
    if (MotorLearnStatusTimer->isActive()) {
        MotorLearnStatusTimer->stop();
        learnInterrupted_ = true;
        HideWaitDialog();
    }
}

void TMODBUSSettingForm::EndInterruptedLearning()
{
    if (!learnInterrupted_)
        return;
    learnInterrupted_ = false;
    RecordLearning(state_.learnDeviceId, std::nullopt, static_cast<ResultCode>(state_.lastResult),
                   "stopped by the operator before it ended");
    // A failed stop has said so in panel 1; that stays.
    if (!state_.moved.Contains(state_.learnDeviceId))
        SetActionText(QStringLiteral("Motor Learn end: stopped, no stroke learned"));
    RefreshUiState(false);
}

bool TMODBUSSettingForm::UsePortRate(uint32_t baud)
{
    if (!state_.comPort || !state_.comPort->IsOpen())
        return false;
    if (baud == 0 || baud == portBaud_)
        return true;
    if (!state_.comPort->ApplyLineSettings(static_cast<int32_t>(baud)))
        return false;
    portBaud_ = baud;
    return true;
}

bool TMODBUSSettingForm::StopListed(const std::vector<uint8_t> &alsoStop)
{
    // The doctor has the port, perhaps at another rate: a stop sent now
    // would reach nobody. It is cancelled at its next step, gives the port
    // back at the connected rate, and the stops follow (DiagnoseBus).
    if (doctorRunning_) {
        stopAfterDoctor_ = true;
        return false;
    }
    // No port: nothing can be sent. The list stays for the next connection.
    if (!state_.isConnected || !state_.comPort)
        return state_.moved.Empty();
    if (state_.moved.Empty() && alsoStop.empty())
        return true;
    if (state_.moved.Stopping())
        return false;

    SetActionText(QStringLiteral("Motor stop..."));
    MovedActuators::StopLine line;
    line.useRate = [this](uint32_t baud) { return UsePortRate(baud); };
    line.sendStop = [this](uint8_t address) {
        const ResultCode result = registers_.WriteActionCmdIn(address, Cmd::Stop);
        state_.lastResult = result;
        return result;
    };
    line.afterAttempt = [this](uint8_t, ResultCode) {
        RefreshUiState(false);
        DelayWithMessages(state_.commandGapMs);
    };
    const MovedActuators::StopRun run = state_.moved.StopAll(line, kStopTries, connectedBaud_, alsoStop);
    UsePortRate(connectedBaud_);
    for (const uint8_t address : run.stopped)
        if (address != 0)
            RecordMotion(address, "stop", Result::NoError);
    for (const uint8_t address : run.failed) {
        if (address != 0)
            RecordMotion(address, "stop", run.lastFailure);
    }
    lastStopResult_ = run.lastFailure;
    if (!run.failed.empty()) {
        state_.lastResult = run.lastFailure;
        SetActionText(QStringLiteral("Stop failed: %1 may still be moving").arg(FromStd(NamesOf(run.failed))));
    }
    RefreshUiState(false);
    return state_.moved.Empty();
}

void TMODBUSSettingForm::StopBeforeClose()
{
    if (stoppingMovedDevices_)
        return;
    EndMotionWorkflows();
    {
        // No window message is handled until the stops are out
        // (PumpMessages only sleeps): no timer tick or click may start
        // anything on the way out, and a window being destroyed runs no
        // more handlers.
        const FlagScope stopping(stoppingMovedDevices_);
        StopListed();
    }
    EndInterruptedLearning();
}

void TMODBUSSettingForm::OfferKeptStops()
{
    if (state_.moved.Empty() || !state_.isConnected)
        return;
    const std::string names = state_.moved.Names();
    const bool one = state_.moved.Entries().size() == 1 && !state_.moved.Contains(0);
    const QString text = QStringLiteral("When %1 went away, %2 %3 still moving.\nSend %4 a stop now?")
                             .arg(FromStd(state_.portName), FromStd(names),
                                  one ? QStringLiteral("was") : QStringLiteral("were"),
                                  one ? QStringLiteral("it") : QStringLiteral("them"));
    if (dialogs_.OfferStop(text))
        StopListed();
    else
        state_.moved.Clear(); // the operator has seen to them
}

void TMODBUSSettingForm::NoteMotionWrite(uint8_t address, uint16_t reg, uint16_t value, ResultCode result)
{
    // A failed write after which something was heard may still have been
    // acted on: only silence says the device heard nothing.
    const bool heard = result != Result::NoError && engine_.BytesHeard() > 0;
    state_.moved.NoteWrite(address, reg, value, result, portBaud_, heard);
}

void TMODBUSSettingForm::NoteMotionCommand(uint8_t address, uint16_t command, ResultCode result)
{
    NoteMotionWrite(address, Reg::ActionCmdIn, command, result);
}

void TMODBUSSettingForm::NoteMotionState(uint8_t address, uint16_t motion, uint16_t flags)
{
    state_.moved.NoteStatus(address, motion, flags);
}

void TMODBUSSettingForm::closeEvent(QCloseEvent *event)
{
    StopBeforeClose();
    QWidget::closeEvent(event);
}

// Stopping the actuator from anywhere: Esc is "■" of the Control page from
// every page of the window, and closing the window stops what it set moving
// before the port goes.
//
// What counts as "set moving by this window": a successful up, down or go-to
// command, from the Control page or a cycle test step. A device leaves that
// list when a stop to it succeeds or a status read finds it standing (motion
// state 0). A move sent to all devices (address 0) is kept as 0; a stop sent
// to all devices takes every device off the list, as it reaches them as
// surely as the move did. A move whose command failed is not on the list: the
// window told the operator it failed, and stopping every device that never
// answered would make each close wait for their timeouts.

#include <QCheckBox>
#include <QCloseEvent>
#include <QKeySequence>
#include <QShortcut>
#include <QTimer>

#include "console/FlagScope.h"
#include "console/Modbussetting.h"
#include "modbus/ResultCode.h"

void TMODBUSSettingForm::InstallStopShortcut()
{
    // The window's own shortcut: Esc in a dialog of the window (a message
    // box, a drop-down list) stays that dialog's. Held down, the key sends
    // one stop, not one per repeat.
    stopShortcut_ = new QShortcut(QKeySequence(Qt::Key_Escape), this);
    stopShortcut_->setObjectName(QStringLiteral("stopShortcut"));
    stopShortcut_->setContext(Qt::WindowShortcut);
    stopShortcut_->setAutoRepeat(false);
    connect(stopShortcut_, &QShortcut::activated, this, [this] { StopShortcutActivated(); });
}

void TMODBUSSettingForm::StopShortcutActivated()
{
    // Esc stops the device the Control page commands, exactly as "■" does
    // (panel 1 "Motor stop...", three attempts); with "All Devices" that is
    // the broadcast stop. Without a device or an open port there is nothing
    // to stop and nothing goes out.
    //
    // It does so also where "■" is off: during a scan, and for a device whose
    // model is unknown or a LUMO-P. The buttons stay off for such a device so
    // that nothing moves it with limits that are not its own; a stop cannot
    // move anything, and the device may well be moving (a command before its
    // model read failed, a reply lost on the way back). An emergency stop
    // that refuses in exactly those moments would be no emergency stop.
    //
    // Like any handler it may run inside the waits of another workflow (a
    // scan tick, a poll, a configuration read); the engine handles messages
    // only between transactions, so the stop has the bus to itself and that
    // workflow carries on after it.
    const bool allDevices = BusAdvCheckBox->isChecked();
    if (!state_.isConnected || (state_.controlDeviceId == 0 && !allDevices))
        return;
    // Pressed again while its attempts wait: the stop under way covers it.
    if (shortcutStopRunning_)
        return;
    const FlagScope running(shortcutStopRunning_);
    motorStopButtonClick();
}

void TMODBUSSettingForm::NoteMotionCommand(uint8_t address, uint16_t command, ResultCode result)
{
    if (result != Result::NoError)
        return; // a failed stop leaves the device where it was on the list
    switch (command) {
    case Cmd::Up:
    case Cmd::Down:
    case Cmd::GoToPos:
        state_.movedDevices.insert(address);
        break;
    case Cmd::Stop:
        if (address == 0)
            state_.movedDevices.clear();
        else
            state_.movedDevices.erase(address);
        break;
    default:
        break;
    }
}

void TMODBUSSettingForm::NoteMotionState(uint8_t address, uint16_t motion)
{
    if (motion == Motion::Stopped)
        state_.movedDevices.erase(address);
}

void TMODBUSSettingForm::StopMovedDevices()
{
    if (stoppingMovedDevices_ || !state_.comPort || state_.movedDevices.empty())
        return;
    // No window message is handled until the stops are out (PumpMessages
    // only sleeps): no timer tick or click may start anything on the way
    // out, and a window being destroyed runs no more handlers.
    const FlagScope stopping(stoppingMovedDevices_);
    const std::set<uint8_t> moved = std::move(state_.movedDevices);
    state_.movedDevices.clear();
    SetActionText(QStringLiteral("Motor stop..."));
    // In address order, so a move to all devices is stopped by a broadcast
    // first; the devices moved one by one then get their own stop, whose
    // answer confirms it, which a broadcast never does.
    for (const uint8_t address : moved)
        TryOperation(kStopTries, [&] { return registers_.WriteActionCmdIn(address, Cmd::Stop); });
    RefreshUiState(false);
}

void TMODBUSSettingForm::closeEvent(QCloseEvent *event)
{
    // A running cycle test would set the actuator moving again at its next
    // step, after the stop.
    if (state_.cycleTestRunning)
        cycleTestStopButtonClick();
    StopMovedDevices();
    QWidget::closeEvent(event);
}

// Stroke learning and its watch.
//
// "Learn" stops the actuator, tells it to learn its stroke and shows the wait
// dialog; a timer then reads the actuator's status until its Learning flag
// drops, and the configuration it found is read back onto the Actuators page.

#include <QTableWidget>
#include <QTimer>

#include "config/ActuatorConfig.h"
#include "console/Modbussetting.h"
#include "console/WaitDialog.h"
#include "modbus/ResultCode.h"

namespace {

// Consecutive failed status reads after which the watch gives up.
constexpr int32_t kLearnReadFailureLimit = 20;

} // namespace

void TMODBUSSettingForm::LearnButtonClick()
{
    // The whole run belongs to the device selected now: a row clicked
    // between the stop and the learn command, or during the watch, must not
    // send the learn command elsewhere or make the watch follow another
    // device.
    const uint8_t address = state_.selectedDeviceId;
    // The actuator is about to move: keep the status poll off the bus.
    StopInstantStatus(20);
    RefreshUiState(true);
    const AttemptHooks hooks{{}, [this] { RefreshUiState(false); }};
    // A stop (Esc, Disconnect) handled in one of the waits below ends the
    // run: the learn command after it would set the actuator moving.
    const uint32_t epoch = stopEpoch_;
    auto interrupted = [this, epoch] { return stopEpoch_ != epoch; };
    auto command = [this, address, interrupted](uint16_t value) {
        return [this, address, value, interrupted] {
            if (value == Cmd::Learn && interrupted())
                return Result::NoError; // ends the attempts; nothing is sent
            const ResultCode result = registers_.WriteActionCmdIn(address, value);
            NoteMotionCommand(address, value, result);
            return result;
        };
    };
    const ResultCode stopped =
        RunAttempts(engine_, state_.cmdTryCount, state_.commandGapMs, state_.lastResult, command(Cmd::Stop), hooks);
    if (stopped != Result::NoError) {
        RecordLearning(address, std::nullopt, stopped, "the stop before learning failed");
        return;
    }
    SetActionText(QStringLiteral("Motor Stop..."));
    DelayWithMessages(50);
    if (interrupted())
        return;
    const ResultCode learning =
        RunAttempts(engine_, state_.cmdTryCount, state_.commandGapMs, state_.lastResult, command(Cmd::Learn), hooks);
    if (interrupted()) {
        // Not sent, or sent before the stop that followed it: either way
        // nothing is being learned now. The stop's own result stays shown.
        state_.lastResult = lastStopResult_;
        if (learning == Result::NoError) {
            state_.learnDeviceId = address;
            learnInterrupted_ = true;
            EndInterruptedLearning();
        }
        RefreshUiState(false);
        return;
    }
    if (learning != Result::NoError) {
        RecordLearning(address, std::nullopt, learning, "the learn command failed");
        return;
    }
    state_.learnDeviceId = address;
    state_.learnErrorCount = 0;
    MotorLearnStatusTimer->start();
    SetActionText(QStringLiteral("Motor Learn..."));
    if (WaitDialog *dialog = LiveWaitDialog()) {
        dialog->SetMessage(QStringLiteral("Motor learning , please wait..."));
        dialog->ShowCentredOn(this);
    }
}

void TMODBUSSettingForm::MotorLearnStatusTimerTimer()
{
    // Off while this tick runs, so a tick never runs inside another.
    MotorLearnStatusTimer->stop();
    if (state_.isScanning) {
        // A scan has taken the bus over: the watch is abandoned.
        RecordLearning(state_.learnDeviceId, std::nullopt, Result::NoError,
                       "not followed to its end: a bus scan took the bus over");
        HideWaitDialog();
        return;
    }

    // A configuration read owns the bus; the watch looks again at its next
    // tick rather than run its own transactions, and perhaps its own read,
    // between that read's registers.
    if (state_.isBusy) {
        MotorLearnStatusTimer->start();
        return;
    }

    const uint8_t address = state_.learnDeviceId;
    uint16_t motion = 0;
    uint16_t flags = 0;
    state_.lastResult = Result::NoError;
    RefreshUiState(true);
    // One attempt per tick; the next tick is the retry.
    const ResultCode read = registers_.ReadMotorStatus(address, motion, flags);
    state_.lastResult = read;
    if (read == Result::NoError)
        NoteMotionState(address, motion, flags);
    RefreshUiState(false);
    if (read != Result::NoError) {
        if (++state_.learnErrorCount >= kLearnReadFailureLimit) {
            RecordLearning(address, std::nullopt, read, "the actuator stopped answering during learning");
            HideWaitDialog();
            return;
        }
        MotorLearnStatusTimer->start();
        return;
    }
    state_.learnErrorCount = 0;
    if (flags & Flag::Learning) {
        MotorLearnStatusTimer->start();
        return;
    }

    // Learning is over: show what the actuator found, as the configuration
    // of that actuator. If the operator has picked another row meanwhile,
    // the learned device is selected again first, so the page never shows
    // one device's values under another device's address (where "Write"
    // would send them).
    DelayWithMessages(10);
    if (state_.comPort)
        state_.comPort->DrainInput();
    ActuatorConfig record;
    const bool learned = ReadConfig(address, &record);
    if (learned) {
        RecordLearning(address, record.MaxPos, Result::NoError, "");
        RecordConfigRead(address, record, "read after stroke learning");
    } else {
        RecordLearning(address, std::nullopt, static_cast<ResultCode>(state_.lastResult),
                       "the learned configuration could not be read");
    }
    if (learned && (state_.selectedDeviceId == address || ReselectDevice(address)) &&
        state_.selectedDeviceId == address)
        ShowConfig(record);
    HideWaitDialog();
    SetActionText(QStringLiteral("Motor Learn end"));
    RefreshUiState(false);
}

bool TMODBUSSettingForm::ReselectDevice(uint8_t address)
{
    const QString caption = QString::number(address);
    for (int row = 0; row < BusDevicesListView->rowCount(); ++row) {
        const QTableWidgetItem *item = BusDevicesListView->item(row, 0);
        if (!item || item->text() != caption)
            continue;
        BusDevicesListView->selectRow(row);
        BusDevicesListViewClick();
        return true;
    }
    return false;
}

void TMODBUSSettingForm::HideWaitDialog()
{
    if (WaitDialog *dialog = LiveWaitDialog())
        dialog->HideDialog();
}

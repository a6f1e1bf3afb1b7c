// Stroke learning and its watch.
//
// "Learn" stops the actuator, tells it to learn its stroke and shows the wait
// dialog; a timer then reads the actuator's status until its Learning flag
// drops, and the configuration it found is read back onto the Actuators page.

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
    // The actuator is about to move: keep the status poll off the bus.
    StopInstantStatus(20);
    RefreshUiState(true);
    const AttemptHooks hooks{{}, [this] { RefreshUiState(false); }};
    auto command = [this](uint16_t value) {
        return [this, value] { return registers_.WriteActionCmdIn(state_.selectedDeviceId, value); };
    };
    if (RunAttempts(engine_, state_.cmdTryCount, state_.commandGapMs, state_.lastResult, command(Cmd::Stop), hooks) !=
        Result::NoError)
        return;
    SetActionText(QStringLiteral("Motor Stop..."));
    DelayWithMessages(50);
    if (RunAttempts(engine_, state_.cmdTryCount, state_.commandGapMs, state_.lastResult, command(Cmd::Learn), hooks) !=
        Result::NoError)
        return;
    state_.learnErrorCount = 0;
    MotorLearnStatusTimer->start();
    SetActionText(QStringLiteral("Motor Learn..."));
    if (waitDialog_) {
        waitDialog_->SetMessage(QStringLiteral("Motor learning , please wait..."));
        waitDialog_->ShowCentredOn(this);
    }
}

void TMODBUSSettingForm::MotorLearnStatusTimerTimer()
{
    // Off while this tick runs, so a tick never runs inside another.
    MotorLearnStatusTimer->stop();
    if (state_.isScanning) {
        // A scan has taken the bus over: the watch is abandoned.
        HideWaitDialog();
        return;
    }

    uint16_t motion = 0;
    uint16_t flags = 0;
    state_.lastResult = Result::NoError;
    RefreshUiState(true);
    // One attempt per tick; the next tick is the retry.
    state_.lastResult = registers_.ReadMotorStatus(state_.selectedDeviceId, motion, flags);
    RefreshUiState(false);
    if (state_.lastResult != Result::NoError) {
        if (++state_.learnErrorCount >= kLearnReadFailureLimit) {
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

    // Learning is over: show what the actuator found.
    DelayWithMessages(10);
    if (state_.comPort)
        state_.comPort->DrainInput();
    ActuatorConfig record;
    if (ReadConfig(state_.selectedDeviceId, &record))
        ShowConfig(record);
    HideWaitDialog();
    SetActionText(QStringLiteral("Motor Learn end"));
    RefreshUiState(false);
}

void TMODBUSSettingForm::HideWaitDialog()
{
    if (waitDialog_)
        waitDialog_->HideDialog();
}

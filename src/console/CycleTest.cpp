// The cycle test: up, stop, down, stop, on a timer, until the operator stops
// it or (with "Error Stop") the first command fails.

#include <QCheckBox>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTimer>
#include <array>
#include <optional>

#include "config/ConfigRules.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "modbus/ResultCode.h"

namespace {

// The command of steps 1..4; after step 4 the run goes back to step 1.
constexpr std::array<uint16_t, 4> kStepCommands = {Cmd::Up, Cmd::Stop, Cmd::Down, Cmd::Stop};

uint32_t NextStep(uint32_t step)
{
    return step % kStepCommands.size() + 1;
}

} // namespace

void TMODBUSSettingForm::cycleTestStartButtonClick()
{
    EndCycleRecord(); // a run under way ends here; the next step begins a new one
    state_.cycleTestRunning = true;
    state_.cycleTestStep = 1;
    cycleTestTimer->setInterval(env_.timings.cycleTestFirstStepMs);
    cycleTestTimer->start();
}

void TMODBUSSettingForm::cycleTestStopButtonClick()
{
    EndCycleRecord();
    state_.cycleTestRunning = false;
    state_.cycleTestStep = 0;
    cycleTestTimer->stop();
}

bool TMODBUSSettingForm::CycleTestFollowsControlDevice() const
{
    return !ParseDecimal(AddressEdit->text().toStdString());
}

uint8_t TMODBUSSettingForm::CycleTestAddress() const
{
    const std::optional<long> typed = ParseDecimal(AddressEdit->text().toStdString());
    return typed ? static_cast<uint8_t>(*typed) : state_.controlDeviceId;
}

void TMODBUSSettingForm::cycleTestTimerUpDownClick()
{
    // On a running timer the wait starts over with the new interval; a
    // stopped one stays stopped.
    cycleTestTimer->setInterval(cycleTestTimerUpDown->Position() * env_.timings.cycleTestSecondMs);
}

void TMODBUSSettingForm::cycleTestTimerTimer()
{
    // Off for the whole tick, so ticks never overlap and the next interval
    // counts from the end of this step's transaction.
    cycleTestTimer->stop();
    state_.lastResult = Result::NoError;
    if (!state_.cycleTestRunning)
        return;

    const uint8_t address = CycleTestAddress();
    RefreshUiState(true);

    const uint32_t step = state_.cycleTestStep;
    if (step < 1 || step > kStepCommands.size()) {
        // Step 0: the run ended at the last failure; nothing more is sent.
        EndCycleRecord();
        state_.cycleTestRunning = false;
        RefreshUiState(false);
        return;
    }

    const uint32_t run = cycleRecord_.run;
    const ResultCode result = registers_.WriteActionCmdIn(address, kStepCommands[step - 1]);
    NoteMotionCommand(address, kStepCommands[step - 1], result);
    NoteCycleStep(run, address, step, result);
    state_.lastResult = result;
    if (result != Result::NoError)
        debugMemo->appendPlainText(QString::asprintf("Error code = 0x%04X", static_cast<unsigned>(result)));

    // "start" or "stop" pressed while the command was on the bus has set the
    // run up afresh (the timer runs again) or ended it; this tick must not
    // overwrite what that click decided.
    const bool takenOver = cycleTestTimer->isActive() || !state_.cycleTestRunning;
    if (!takenOver) {
        if (result == Result::NoError)
            state_.cycleTestStep = NextStep(step);
        else if (ErrorStopCheckBox->isChecked())
            state_.cycleTestStep = 0; // the next tick ends the run
        // otherwise the same command is tried again at the next tick
    }
    RefreshUiState(false);

    if (!takenOver) {
        cycleTestTimer->setInterval(cycleTestTimerUpDown->Position() * env_.timings.cycleTestSecondMs);
        cycleTestTimer->start();
    }
}

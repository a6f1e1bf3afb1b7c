// The Control page: choosing one of the scanned devices, moving it up, down,
// stopping it or sending it to a target position, and the status poll that
// shows its position, current and status flags while it moves.
//
// Commands and the poll share the one port without a queue. The engine only
// handles window messages in the waits between transactions, never between
// a request and its reply, so a button clicked while a poll tick is under
// way runs its whole attempt loop inside that tick's gap, on a free bus, and
// the tick resumes afterwards. A command is therefore never lost to the
// poll; in particular "■" goes out at once. A command that starts the poll
// during a tick switches the timer on, and the tick's end keeps it on
// whatever motion state the tick had read before the command.

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPalette>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <array>
#include <cctype>
#include <optional>
#include <string>

#include "config/ConfigRules.h"
#include "console/Controls.h"
#include "console/FlagScope.h"
#include "console/Modbussetting.h"
#include "console/Shape.h"
#include "modbus/ResultCode.h"

namespace {

const char *const kNoPosRange = "( ____  -  ____ )";
// Between the block read and the current read of a newly selected device.
constexpr uint32_t kCurrentReadPauseMs = 10;

const QColor kRed(255, 0, 0);
const QColor kLime(0, 255, 0);
const QColor kSilver(192, 192, 192);

QColor WindowText(const QWidget *widget)
{
    return QApplication::palette(widget).color(QPalette::WindowText);
}

void SetTextColour(QLineEdit *edit, const QColor &colour)
{
    QPalette palette = edit->palette();
    if (palette.color(QPalette::Text) == colour)
        return;
    palette.setColor(QPalette::Text, colour);
    edit->setPalette(palette);
}

void SetLabelColour(QLabel *label, const QColor &colour)
{
    QPalette palette = label->palette();
    if (palette.color(QPalette::WindowText) == colour)
        return;
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

std::optional<long> NumberIn(const QLineEdit *edit)
{
    return ParseDecimal(edit->text().toStdString());
}

} // namespace

uint8_t TMODBUSSettingForm::SelectedControlAddress() const
{
    const QList<QListWidgetItem *> selected = MODBusDevicesListBox->selectedItems();
    if (selected.isEmpty())
        return 0;
    const std::optional<long> number = ParseDecimal(selected.first()->text().toStdString());
    return number ? static_cast<uint8_t>(*number) : 0; // kept in 8 bits
}

void TMODBUSSettingForm::SetControlDevice(uint8_t address)
{
    state_.controlDeviceId = address;
    state_.controlModel = Model::None;
    controlSelectPending_ = false;
    ForgetPosRange();
}

void TMODBUSSettingForm::ForgetPosRange()
{
    state_.posRangeKnown = false;
    state_.posRangeMin = 0;
    state_.posRangeMax = 0;
    PosRangeLabel->setText(QString::fromLatin1(kNoPosRange));
    // Disabled first, so moving it changes no target.
    motorGoToPosTrackBar->setEnabled(false);
    motorGoToPosTrackBar->setValue(motorGoToPosTrackBar->minimum());
    // The typed target stays, judged against no range: invalid. Not through
    // the edit's change handler: its refresh would clear the busy flag of a
    // workflow this may run inside.
    CheckTargetPos();
}

bool TMODBUSSettingForm::ControlSelectMustWait() const
{
    return state_.isScanning || state_.isBusy || state_.uiBusy || controlSelectRunning_ || statusTickRunning_;
}

void TMODBUSSettingForm::MODBusDevicesListBoxClick()
{
    const uint8_t address = SelectedControlAddress();
    const bool sameDevice = address == state_.controlDeviceId && state_.controlModel != Model::None;
    if (!sameDevice)
        SetControlDevice(address);
    if (address == 0) {
        RefreshUiState(state_.uiBusy);
        return;
    }
    if (ControlSelectMustWait()) {
        // Another workflow is between two transactions. The buttons are off
        // until this device's model and range are known; its reads follow
        // as soon as that workflow is over. The busy flag is that
        // workflow's and stays as it is.
        if (!sameDevice) {
            controlSelectPending_ = true;
            controlSelectTimer_->start();
        }
        RefreshUiState(state_.uiBusy);
        return;
    }
    ReadControlDevice();
}

void TMODBUSSettingForm::RunPendingControlSelect()
{
    if (!controlSelectPending_)
        return;
    if (ControlSelectMustWait()) {
        controlSelectTimer_->start();
        return;
    }
    controlSelectPending_ = false;
    ReadControlDevice();
}

void TMODBUSSettingForm::ReadControlDevice()
{
    const FlagScope running(controlSelectRunning_);
    BusAdvCheckBox->setChecked(false);
    RefreshUiState(true);
    // Fixed for the whole selection. If the operator picks another device
    // (or starts a scan) during one of the waits below, that choice has
    // reset the model and range and will run its own reads, and this one
    // stops rather than show the range and position of a device that is no
    // longer the selected one.
    const uint8_t address = state_.controlDeviceId;
    auto moved = [this, address] { return state_.controlDeviceId != address; };
    const AttemptHooks refreshBefore{[this] { RefreshUiState(true); }, {}};
    const AttemptHooks refreshAfter{{}, [this] { RefreshUiState(false); }};
    const int32_t tries = state_.cmdTryCount;

    // Unknown until both are read: a re-read of the same device starts
    // from nothing too.
    state_.controlModel = Model::None;
    ForgetPosRange();

    uint16_t model = 0;
    if (TryOperation(tries, [&] { return registers_.ReadModel(address, model); }, refreshBefore) != Result::NoError) {
        // Without a model nothing may move it: the buttons stay off.
        RefreshUiState(false);
        return;
    }
    if (moved())
        return;
    state_.controlModel = model <= Model::LumoB ? model : Model::None;
    RefreshUiState(false);

    SetActionText(QStringLiteral("Get config data"));
    std::array<uint16_t, Reg::BlockCount> words{};
    const bool ranged = registers_.ReadActuatorRegisters(address, words, state_.lastResult, refreshAfter.after);
    if (moved())
        return;
    if (!ranged) {
        SetEditText(targetPosEdit, QString()); // its change handler marks the target invalid
        RefreshUiState(false);
        return;
    }
    state_.posRangeMin = words[Reg::RearLimit - Reg::BlockStart];
    state_.posRangeMax = words[Reg::FrontLimit - Reg::BlockStart];
    state_.posRangeKnown = true;
    PosRangeLabel->setText(QString::asprintf("( %04d - %04d )", state_.posRangeMin, state_.posRangeMax));
    // Still disabled while the range changes, so the bar clamping its
    // position cannot rewrite the typed target.
    motorGoToPosTrackBar->setRange(state_.posRangeMin, state_.posRangeMax);
    motorGoToPosTrackBar->setEnabled(true);
    // The typed target is judged against this device's limits now.
    CheckTargetPos();
    motorPositionEdit->setText(QString::number(words[Reg::CurrentPos - Reg::BlockStart]));
    NotePosition(address, words[Reg::CurrentPos - Reg::BlockStart]);

    DelayWithMessages(kCurrentReadPauseMs);
    if (moved())
        return;
    uint16_t current = 0;
    if (TryOperation(tries, [&] { return registers_.ReadMotorCurrent(address, current); }, refreshAfter) !=
        Result::NoError) {
        RefreshUiState(false);
        return;
    }
    if (moved())
        return;
    motorCurrentEdit->setText(QString::number(current));
    RefreshUiState(false);
}

void TMODBUSSettingForm::BusAdvCheckBoxClick()
{
    if (BusAdvCheckBox->isChecked()) {
        // Commands go to every device at once (bus address 0), unanswered;
        // there is no single device whose status could be shown.
        state_.controlDeviceId = 0;
        GetMotorStatusCheckBox->setChecked(false);
    } else {
        state_.controlDeviceId = SelectedControlAddress();
    }
}

ResultCode TMODBUSSettingForm::SendMotorCommand(uint16_t command, int32_t tries)
{
    const uint8_t address = state_.controlDeviceId;
    // A stop (Esc, Disconnect) handled in the gap after a failed attempt
    // ends the move: its remaining attempts would set the actuator moving
    // again right after the stop.
    const uint32_t epoch = stopEpoch_;
    bool abandoned = false;
    // Noted at once after each attempt, before its gap lets another
    // handler (Esc, a poll tick's read) note something later.
    auto send = [&] {
        if (command != Cmd::Stop && stopEpoch_ != epoch) {
            abandoned = true;
            return Result::NoError; // ends the attempts; nothing is sent
        }
        const ResultCode result = registers_.WriteActionCmdIn(address, command);
        NoteMotionCommand(address, command, result);
        return result;
    };
    const ResultCode result = TryOperation(tries, send, {{}, [this] { RefreshUiState(false); }});
    if (abandoned) {
        state_.lastResult = lastStopResult_; // the status bar shows how the stop went
        RefreshUiState(false);
        return Result::ParameterError; // not sent: no poll, nothing recorded
    }
    const std::string_view name = Cmd::NameOf(command);
    std::string action(name);
    for (char &c : action)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    RecordMotion(address, action, result);
    return result;
}

void TMODBUSSettingForm::StartStatusPoll()
{
    if (state_.controlDeviceId == 0)
        return;
    GetDeviceStatusTimer->setInterval(env_.timings.statusPollMs);
    GetDeviceStatusTimer->start();
}

void TMODBUSSettingForm::motorUpButtonClick()
{
    SetActionText(QStringLiteral("Motor up..."));
    if (SendMotorCommand(Cmd::Up, state_.cmdTryCount) == Result::NoError)
        StartStatusPoll();
}

void TMODBUSSettingForm::motorDownButtonClick()
{
    SetActionText(QStringLiteral("Motor down..."));
    if (SendMotorCommand(Cmd::Down, state_.cmdTryCount) == Result::NoError)
        StartStatusPoll();
}

void TMODBUSSettingForm::motorStopButtonClick()
{
    // A cycle test moving this device would set it going again at its next
    // step: "■" ends it first, as Esc does. One that moves another device
    // (its address typed on the Debug page) goes on.
    if (state_.cycleTestRunning) {
        const uint8_t cycleAddress = CycleTestAddress();
        if (BusAdvCheckBox->isChecked() || cycleAddress == state_.controlDeviceId || cycleAddress == 0)
            cycleTestStopButtonClick();
    }
    SetActionText(QStringLiteral("Motor stop..."));
    SendMotorCommand(Cmd::Stop, kStopTries);
}

void TMODBUSSettingForm::CheckTargetPos()
{
    const std::optional<long> number = NumberIn(targetPosEdit);
    const uint16_t value = number ? static_cast<uint16_t>(*number) : 0; // its low 16 bits
    if (!number || !state_.posRangeKnown || value < state_.posRangeMin || value > state_.posRangeMax) {
        SetTextColour(targetPosEdit, kRed);
        state_.targetPosValid = false;
    } else {
        SetTextColour(targetPosEdit, WindowText(targetPosEdit));
        state_.targetPosValid = true;
        motorGoToPosTrackBar->setValue(value);
    }
}

void TMODBUSSettingForm::targetPosEditChange()
{
    CheckTargetPos();
    RefreshUiState(false);
}

void TMODBUSSettingForm::motorGoToPosTrackBarChange()
{
    if (motorGoToPosTrackBar->isEnabled())
        SetEditText(targetPosEdit, QString::number(motorGoToPosTrackBar->value()));
}

void TMODBUSSettingForm::motorActionGoButtonClick()
{
    // "Go" is enabled for a LUMO-D whether or not the target is valid, so
    // the range is checked here too: a target outside the device's own
    // limits never goes to the bus.
    const std::optional<long> number = NumberIn(targetPosEdit);
    const uint16_t target = number ? static_cast<uint16_t>(*number) : 0;
    if (!number || !state_.posRangeKnown || target < state_.posRangeMin || target > state_.posRangeMax) {
        SetTextColour(targetPosEdit, kRed);
        state_.targetPosValid = false;
        return;
    }
    const uint8_t address = state_.controlDeviceId;
    const AttemptHooks refreshAfter{{}, [this] { RefreshUiState(false); }};
    // A stop handled between two of the writes (or two attempts of one)
    // ends the go-to: command 5 after it would set the actuator moving.
    const uint32_t epoch = stopEpoch_;
    auto stopped = [&] {
        if (stopEpoch_ == epoch)
            return false;
        state_.lastResult = lastStopResult_; // the status bar shows how the stop went
        RefreshUiState(false);
        return true;
    };
    auto write = [&](auto operation) {
        return TryOperation(state_.cmdTryCount,
                            [&] {
                                // After the stop nothing is sent; the attempts end.
                                return stopEpoch_ == epoch ? operation() : Result::NoError;
                            },
                            refreshAfter);
    };

    SetActionText(QStringLiteral("set position..."));
    const auto goal = static_cast<uint16_t>(target + state_.posOffset); // modulo 65536
    // The three writes are one command in the records, with the result of
    // the one that ended it.
    const std::string action = "goto " + std::to_string(target);
    auto written = [&](ResultCode result) {
        if (result != Result::NoError)
            RecordMotion(address, action, result);
        return result == Result::NoError;
    };
    if (!written(write([&] { return registers_.WriteGoToPos(address, goal); })))
        return;
    auto command = [&](uint16_t value) {
        return [&, value] {
            const ResultCode result = registers_.WriteActionCmdIn(address, value);
            NoteMotionCommand(address, value, result);
            return result;
        };
    };
    if (stopped())
        return;
    SetActionText(QStringLiteral("stop motor..."));
    if (!written(write(command(Cmd::Stop))))
        return;
    if (stopped())
        return;
    SetActionText(QStringLiteral("go to..."));
    if (!written(write(command(Cmd::GoToPos))) || stopped())
        return;
    RecordMotion(address, action, Result::NoError);
    StartStatusPoll();
}

void TMODBUSSettingForm::MotorSpeedUpDownClick()
{
    const uint8_t address = state_.controlDeviceId;
    const auto speed = static_cast<uint16_t>(MotorSpeedUpDown->Position());
    TryOperation(state_.cmdTryCount, [&] { return registers_.WriteSpeedPwm(address, speed); },
                 {{}, [this] { RefreshUiState(false); }});
}

void TMODBUSSettingForm::GetMotorStatusCheckBoxClick()
{
    // Unchecking does nothing at once: the poll ends by its own rule.
    if (GetMotorStatusCheckBox->isChecked() && !state_.isScanning) {
        GetDeviceStatusTimer->setInterval(env_.timings.statusPollMs);
        GetDeviceStatusTimer->start();
    }
}

bool TMODBUSSettingForm::StatusPollTick(uint8_t address, bool probed, uint16_t motion, uint16_t flags)
{
    const bool movingAtStart = motion != Motion::Stopped;
    const AttemptHooks refreshBefore{[this] { RefreshUiState(true); }, {}};
    auto read = [&](auto operation) { return TryOperation(state_.cmdTryCount, operation, refreshBefore); };
    if (probed) {
        uint16_t position = 0;
        if (read([&] { return registers_.ReadCurrentPos(address, position); }) == Result::NoError) {
            motorPositionEdit->setText(QString::number(static_cast<int>(position) - state_.posOffset));
            NotePosition(address, position);
        }
        uint16_t current = 0;
        if (read([&] { return registers_.ReadMotorCurrent(address, current); }) == Result::NoError)
            motorCurrentEdit->setText(QString::number(current));
        RefreshUiState(false);
    }

    // The latest successful read of this tick decides; none at all reads as
    // stopped without flags (the tick's first read left both at 0).
    uint16_t latestMotion = 0;
    uint16_t latestFlags = 0;
    auto readStatus = [&] {
        const ResultCode result = registers_.ReadMotorStatus(address, latestMotion, latestFlags);
        if (result == Result::NoError)
            NoteMotionState(address, latestMotion, latestFlags);
        return result;
    };
    if (read(readStatus) == Result::NoError) {
        motion = latestMotion;
        flags = latestFlags;
    }
    ShowMotorStatus(motion, flags);
    RefreshUiState(false);

    // The position shown was read between the two status reads. If the
    // first still saw motion, the actuator stopped after it and the shown
    // position is short of where it stands: one more tick reads that.
    const bool moving = motion != Motion::Stopped || (probed && movingAtStart);
    // Standing, with its position read: the move's summary is complete.
    if (!moving)
        FlushMotion(address);
    if (state_.controlDeviceId == 0)
        return false;
    if (GetMotorStatusCheckBox->isChecked())
        return true;
    return moving;
}

void TMODBUSSettingForm::ShowMotorStatus(uint16_t motionState, uint16_t flags)
{
    switch (motionState) {
    case Motion::Stopped:
        MotorStatusLabel->setText(QStringLiteral("\u25A0"));
        SetLabelColour(MotorStatusLabel, WindowText(MotorStatusLabel));
        break;
    case Motion::MovingUp:
        MotorStatusLabel->setText(QStringLiteral("\u25B2"));
        SetLabelColour(MotorStatusLabel, kLime);
        break;
    case Motion::MovingDown:
        MotorStatusLabel->setText(QStringLiteral("\u25BC"));
        SetLabelColour(MotorStatusLabel, kLime);
        break;
    default:
        MotorStatusLabel->clear();
        SetLabelColour(MotorStatusLabel, WindowText(MotorStatusLabel));
        break;
    }
    const struct {
        TShape *shape;
        uint16_t bit;
        const QColor &set;
    } dots[] = {{HallErrorShape, Flag::HallError, kRed},
                {MotorOverLoadShape, Flag::OverCurrent, kRed},
                {InLearningShape, Flag::Learning, kLime},
                {InGoToShape, Flag::PositionOk, kLime}};
    for (const auto &dot : dots)
        dot.shape->SetPenColor((flags & dot.bit) ? dot.set : kSilver);
}

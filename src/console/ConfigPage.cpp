// The Actuators page: keeping the inputs' validity, "Read" and "Write".
//
// The rules themselves (what is valid, how a record is built from the page
// and what the page shows for a record) are the configuration library's;
// this file only moves values between those rules and the controls.

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLineEdit>
#include <QLabel>
#include <QPalette>
#include <QTableWidget>
#include <QTimer>
#include <optional>
#include <string>

#include "config/ActuatorConfig.h"
#include "config/ConfigRules.h"
#include "config/ConfigTransfer.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "ui/UserDialogs.h"
#include "modbus/ResultCode.h"

namespace {

std::string TextOf(const QLineEdit *edit)
{
    return edit->text().toStdString();
}

std::optional<int> ChoiceOf(int index)
{
    return index >= 0 ? std::optional<int>(index) : std::nullopt;
}

// Red for a bad value, the normal text colour for a good one; text that is
// not a number keeps whatever colour it had.
void MarkEdit(QLineEdit *edit, Mark mark)
{
    if (mark == Mark::Unchanged)
        return;
    QPalette palette = edit->palette();
    const QColor colour = mark == Mark::Bad ? QColor(Qt::red) : QApplication::palette(edit).color(QPalette::Text);
    if (palette.color(QPalette::Text) == colour)
        return;
    palette.setColor(QPalette::Text, colour);
    edit->setPalette(palette);
}

// A change made by the program runs the edit's change handler only when the
// text really changes (QLineEdit signals nothing for the same text).
void ShowText(QLineEdit *edit, const std::string &text)
{
    const QString shown = QString::fromStdString(text);
    if (edit->text() != shown)
        edit->setText(shown);
}

// The same for a radio group: TRadioGroup reports a change of its index only.
void ShowChoice(TRadioGroup *group, const std::optional<int> &choice)
{
    group->SetItemIndex(choice.value_or(-1));
}

} // namespace

ConfigInputs TMODBUSSettingForm::PageConfigInputs() const
{
    ConfigInputs in;
    in.stroke = TextOf(StrokeEdit);
    in.front = TextOf(ContainerStopEdit);
    in.rear = TextOf(ShelfStopEdit);
    in.speed = TextOf(MotorSpeedPWMEdit);
    in.overLoad = TextOf(OverLoadProtectEdit);
    in.hallSensor = ChoiceOf(HallSensorRadioGroup->ItemIndex());
    in.limitSwitch = ChoiceOf(LimitSwitchRadioGroup->ItemIndex());
    in.hallPot = ChoiceOf(HallPotRadioGroup->ItemIndex());
    in.busBaud = ChoiceOf(BUSBaudRateRadioGroup->ItemIndex());
    // Hidden by the device selection, not by the page being out of sight.
    in.voltageVisible = !VoltageOutComboBox->isHidden();
    in.voltage = ChoiceOf(VoltageOutComboBox->currentIndex());
    return in;
}

bool TMODBUSSettingForm::ValidateConfigInputs()
{
    const ValidationResult result = ::ValidateConfigInputs(PageConfigInputs(), state_.posOffset, state_.selectedModel);
    MarkEdit(StrokeEdit, result.stroke);
    MarkEdit(ContainerStopEdit, result.front);
    MarkEdit(ShelfStopEdit, result.rear);
    MarkEdit(MotorSpeedPWMEdit, result.speed);
    MarkEdit(OverLoadProtectEdit, result.overLoad);
    return result.valid;
}

bool TMODBUSSettingForm::GatherConfig(ActuatorConfig *record)
{
    // Validating first also marks the bad edits red.
    if (!record || !ValidateConfigInputs())
        return false;
    return ::GatherConfig(PageConfigInputs(), state_.posOffset, state_.selectedModel, *record);
}

void TMODBUSSettingForm::ShowConfig(const ActuatorConfig &record)
{
    const ConfigInputs shown = ::ShowConfig(record, state_.posOffset, PageConfigInputs());
    ShowChoice(HallSensorRadioGroup, shown.hallSensor);
    ShowChoice(LimitSwitchRadioGroup, shown.limitSwitch);
    ShowChoice(HallPotRadioGroup, shown.hallPot);
    ShowChoice(BUSBaudRateRadioGroup, shown.busBaud);
    ShowText(StrokeEdit, shown.stroke);
    ShowText(ContainerStopEdit, shown.front);
    ShowText(ShelfStopEdit, shown.rear);
    ShowText(MotorSpeedPWMEdit, shown.speed);
    ShowText(OverLoadProtectEdit, shown.overLoad);
    // The voltage list has no change handler of its own for a program
    // change, but validity depends on it (a LUMO-P needs a choice): set
    // last, after the other controls' handlers, it must be judged again or
    // a LUMO-P read into an empty page would keep "Write" disabled.
    const int voltage = shown.voltage.value_or(-1);
    if (VoltageOutComboBox->currentIndex() != voltage) {
        VoltageOutComboBox->setCurrentIndex(voltage);
        ConfigInputChange();
    }
}

bool TMODBUSSettingForm::ReadConfig(uint8_t address, ActuatorConfig *record)
{
    TransferContext context{state_.lastResult, state_.isBusy, state_.posOffset, state_.cmdTryCount,
                            state_.commandGapMs, [this](bool busy) { RefreshUiState(busy); }};
    if (!::ReadConfig(registers_, address, record, context))
        return false;
    lastReadVoltage_ = {address, record->VoltageOut};
    return true;
}

TMODBUSSettingForm::ConfigWriteOutcome TMODBUSSettingForm::WriteConfig(uint8_t address, const ActuatorConfig *record)
{
    TransferContext context{state_.lastResult, state_.isBusy, state_.posOffset, state_.cmdTryCount,
                            state_.commandGapMs, [this](bool busy) { RefreshUiState(busy); }};
    ConfigWriteOutcome outcome;
    size_t written = 0;
    outcome.complete = ::WriteConfig(registers_, address, record, context, &written);
    if (outcome.complete) {
        outcome.results = records::ConfigWriteResults(written, Result::NoError);
        return outcome;
    }
    const auto failure = static_cast<ResultCode>(state_.lastResult);
    size_t taken = written;
    if (record != nullptr && state_.comPort && state_.comPort->IsOpen()) {
        // The register the write stopped at may have been carried out with
        // its reply lost; the record must say what the device really holds.
        taken = ReadBackFailedWrite(registers_, address, *record, written, context).taken;
    }
    outcome.results = records::ConfigWriteResults(written, taken, failure);
    if (taken > written) {
        outcome.detail = std::string("reading back shows ") + kConfigWriteOrder[written] +
                         " taken although its reply was lost";
        if (taken < kConfigWriteOrder.size())
            outcome.detail += "; the registers after it were not sent";
    }
    return outcome;
}

void TMODBUSSettingForm::ShowModelInputs()
{
    // Only the LUMO-P has an analogue output to choose.
    const bool voltage = state_.selectedModel == Model::LumoP;
    VoltageOutLabel->setVisible(voltage);
    VoltageOutComboBox->setVisible(voltage);
    // Whether a voltage choice is required follows the selected model, so
    // "Write" and "Export" must follow it too.
    ConfigInputChange();
}

void TMODBUSSettingForm::ConfigInputChange()
{
    state_.configValid = ValidateConfigInputs();
    RefreshUiState(false);
}

void TMODBUSSettingForm::StopInstantStatus(uint32_t settleMs)
{
    if (!GetMotorStatusCheckBox->isChecked())
        return;
    GetMotorStatusCheckBox->setChecked(false);
    GetDeviceStatusTimer->stop();
    DelayWithMessages(settleMs);
}

void TMODBUSSettingForm::StrokeEditChange()
{
    ConfigInputChange();
}

void TMODBUSSettingForm::ContainerStopEditChange()
{
    ConfigInputChange();
}

void TMODBUSSettingForm::ShelfStopEditChange()
{
    ConfigInputChange();
}

void TMODBUSSettingForm::MotorSpeedPWMEditChange()
{
    ConfigInputChange();
}

void TMODBUSSettingForm::OverLoadProtectEditChange()
{
    ConfigInputChange();
}

void TMODBUSSettingForm::HallSensorRadioGroupClick()
{
    ConfigInputChange();
}

void TMODBUSSettingForm::LimitSwitchRadioGroupClick()
{
    ConfigInputChange();
}

void TMODBUSSettingForm::HallPotRadioGroupClick()
{
    ConfigInputChange();
}

void TMODBUSSettingForm::BUSBaudRateRadioGroupClick()
{
    ConfigInputChange();
}

void TMODBUSSettingForm::VoltageOutComboBoxSelect()
{
    ConfigInputChange();
}

void TMODBUSSettingForm::LoadConfigButtonClick()
{
    // Keep the status poll off the bus for the whole transfer.
    StopInstantStatus(10);
    if (state_.comPort)
        state_.comPort->DrainInput();
    SetActionText(QStringLiteral("Get config data"));
    ActuatorConfig record;
    const uint8_t address = state_.selectedDeviceId;
    // A failed read leaves the page as it was; its code is in the status bar.
    if (!ReadConfig(address, &record))
        return;
    RecordConfigRead(address, record);
    // Another row clicked during the read, or a learning run that ended
    // and selected its own device again, has made its own choice. These
    // values under that device's address would be what "Write" sends it.
    if (state_.selectedDeviceId != address)
        return;
    ShowConfig(record);
    dialogs_.Information(QStringLiteral("Get device config successfully !"));
}

void TMODBUSSettingForm::UpdateConfigButtonClick()
{
    StopInstantStatus(10);
    ActuatorConfig record;
    if (!GatherConfig(&record))
        return;
    const uint8_t address = state_.selectedDeviceId;
    if (state_.selectedModel == Model::None && !SettleVoltageOut(address, &record))
        return;
    SetActionText(QStringLiteral("Set config data"));
    ConfigWriteOutcome outcome = WriteConfig(address, &record);
    RecordConfigWrite(address, record,
                      outcome.complete ? Result::NoError : static_cast<ResultCode>(state_.lastResult),
                      std::move(outcome.results), std::move(outcome.detail));
    if (outcome.complete)
        dialogs_.Information(QStringLiteral("Update device config successfully !"));
    else
        dialogs_.Error(QStringLiteral("Failed to update device configuration !"));
    RefreshUiState(false);
}

bool TMODBUSSettingForm::SettleVoltageOut(uint8_t address, ActuatorConfig *record)
{
    // The page hides the voltage row for a device of unknown model, and a
    // hidden row gathers as 10 V: a LUMO-P whose model the scan could not
    // read would have its 5 V output changed by a Write nobody edited. So
    // the model is asked for now; failing that, the value read from the
    // device is written back unchanged.
    uint16_t code = 0;
    const ResultCode read = TryOperation(state_.cmdTryCount, [&] { return registers_.ReadModel(address, code); },
                                         {{}, [this] { RefreshUiState(false); }});
    if (state_.selectedDeviceId != address)
        return false; // another row was clicked meanwhile; that choice stands
    if (read == Result::NoError && code <= Model::LumoB) {
        state_.selectedModel = code;
        const std::string_view name = Model::NameOf(code);
        for (int row = 0; row < BusDevicesListView->rowCount(); ++row) {
            const QTableWidgetItem *caption = BusDevicesListView->item(row, 0);
            QTableWidgetItem *model = BusDevicesListView->item(row, 1);
            if (caption && model && caption->text() == QString::number(address))
                model->setText(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
        }
        ShowModelInputs();
        // The model's own rule now decides; a LUMO-P whose voltage the
        // page does not show yet is refused by it, with the row now shown.
        return GatherConfig(record);
    }
    if (lastReadVoltage_.address == address && address != 0) {
        record->VoltageOut = lastReadVoltage_.value;
        return true;
    }
    dialogs_.Error(QString::asprintf("The model of device %d could not be read, so its analogue output setting is "
                                     "unknown. Read its configuration first, then write it.",
                                     address));
    RefreshUiState(false);
    return false;
}

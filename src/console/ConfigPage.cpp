// The Actuators page: keeping the inputs' validity, "Read" and "Write".

#include "console/Modbussetting.h"

void TMODBUSSettingForm::StrokeEditChange()
{
}

void TMODBUSSettingForm::ContainerStopEditChange()
{
}

void TMODBUSSettingForm::ShelfStopEditChange()
{
}

void TMODBUSSettingForm::MotorSpeedPWMEditChange()
{
}

void TMODBUSSettingForm::OverLoadProtectEditChange()
{
}

void TMODBUSSettingForm::HallSensorRadioGroupClick()
{
}

void TMODBUSSettingForm::LimitSwitchRadioGroupClick()
{
}

void TMODBUSSettingForm::HallPotRadioGroupClick()
{
}

void TMODBUSSettingForm::BUSBaudRateRadioGroupClick()
{
}

void TMODBUSSettingForm::VoltageOutComboBoxSelect()
{
}

void TMODBUSSettingForm::LoadConfigButtonClick()
{
}

void TMODBUSSettingForm::UpdateConfigButtonClick()
{
}

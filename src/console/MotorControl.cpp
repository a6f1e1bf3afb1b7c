// The Control page: device choice, motion commands and the status poll.

#include "console/Modbussetting.h"

void TMODBUSSettingForm::MODBusDevicesListBoxClick()
{
}

void TMODBUSSettingForm::BusAdvCheckBoxClick()
{
}

void TMODBUSSettingForm::motorUpButtonClick()
{
}

void TMODBUSSettingForm::motorDownButtonClick()
{
}

void TMODBUSSettingForm::motorStopButtonClick()
{
}

void TMODBUSSettingForm::targetPosEditChange()
{
}

void TMODBUSSettingForm::motorGoToPosTrackBarChange()
{
}

void TMODBUSSettingForm::motorActionGoButtonClick()
{
}

void TMODBUSSettingForm::MotorSpeedUpDownClick()
{
}

void TMODBUSSettingForm::GetMotorStatusCheckBoxClick()
{
}

void TMODBUSSettingForm::ShowMotorStatus(uint16_t, uint16_t)
{
}

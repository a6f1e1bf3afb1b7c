// The Debug page: one raw Modbus request at a time, the memo and "CMD try".

#include "console/Modbussetting.h"

void TMODBUSSettingForm::FunCodeComboBoxSelect()
{
}

void TMODBUSSettingForm::RegisterComboBoxSelect()
{
}

void TMODBUSSettingForm::RegisterComboBoxChange()
{
}

void TMODBUSSettingForm::RegCountsComboBoxSelect()
{
}

void TMODBUSSettingForm::dSendCMDButtonClick()
{
}

void TMODBUSSettingForm::dClearButtonClick()
{
}

void TMODBUSSettingForm::debugMemoDblClick()
{
}

void TMODBUSSettingForm::CMDTryCountUpDownClick()
{
}

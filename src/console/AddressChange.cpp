// Giving the selected actuator a new bus address.

#include "console/Modbussetting.h"

void TMODBUSSettingForm::NewDeviceIDEditChange()
{
}

void TMODBUSSettingForm::modifyDeviceIDButtonClick()
{
}

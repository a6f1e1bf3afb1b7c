// Bus scan and device information.

#include "console/Modbussetting.h"

void TMODBUSSettingForm::ScanDeviceButtonClick()
{
}

void TMODBUSSettingForm::GetDeviceStatusTimerTimer()
{
}

void TMODBUSSettingForm::BusDevicesListViewClick()
{
}

void TMODBUSSettingForm::AddBusDevice(uint8_t, uint32_t)
{
}

// The cycle test: up, stop, down, stop, on a timer.

#include "console/Modbussetting.h"

void TMODBUSSettingForm::cycleTestStartButtonClick()
{
}

void TMODBUSSettingForm::cycleTestStopButtonClick()
{
}

void TMODBUSSettingForm::cycleTestTimerUpDownClick()
{
}

void TMODBUSSettingForm::cycleTestTimerTimer()
{
}

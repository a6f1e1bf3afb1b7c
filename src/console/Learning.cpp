// Stroke learning and its watch.

#include "console/Modbussetting.h"

void TMODBUSSettingForm::LearnButtonClick()
{
}

void TMODBUSSettingForm::MotorLearnStatusTimerTimer()
{
}

// Configuration files: "Import" and "Export".

#include "console/Modbussetting.h"

void TMODBUSSettingForm::ImportConfigButtonClick()
{
}

void TMODBUSSettingForm::ExportConfigButtonClick()
{
}

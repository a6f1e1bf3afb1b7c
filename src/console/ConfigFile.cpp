// Configuration files: "Import" and "Export" of the Actuators page.
//
// A .config file is the 22 bytes of one configuration record; the file
// format, the proposed name and the safe write are the configuration
// library's. Here: the dialogs, the messages, and what the page shows.

#include <QByteArray>
#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <ctime>
#include <string>

#include "config/ActuatorConfig.h"
#include "config/ConfigFile.h"
#include "console/Modbussetting.h"
#include "ui/NativePath.h"
#include "ui/UserDialogs.h"
#include "modbus/ResultCode.h"

namespace {

std::tm LocalNow()
{
    const QDateTime now = QDateTime::currentDateTime();
    std::tm t{};
    t.tm_year = now.date().year() - 1900;
    t.tm_mon = now.date().month() - 1;
    t.tm_mday = now.date().day();
    t.tm_hour = now.time().hour();
    t.tm_min = now.time().minute();
    t.tm_sec = now.time().second();
    return t;
}

} // namespace

bool TMODBUSSettingForm::ExportConfigFile(const ActuatorConfig &record, QString &systemError, QString &path)
{
    const QString filter = QString::fromLatin1(ConfigFile::ExportFilter);
    const QString extension = QString::fromLatin1(ConfigFile::DefaultExtension);
    QString initialName = QString::fromStdString(ProposedConfigFileName(record.motorId, LocalNow()));
    for (;;) {
        const std::optional<QString> chosen = dialogs_.SaveFileName(QString(), filter, initialName, extension);
        if (!chosen || chosen->isEmpty())
            return false;
        // An existing file (a configuration saved earlier) is replaced only
        // when the operator says so; otherwise the dialog comes back, as a
        // save dialog does after "No".
        if (QFileInfo::exists(*chosen) && !dialogs_.ConfirmOverwrite(*chosen)) {
            initialName = *chosen;
            continue;
        }
        std::string reason;
        if (!WriteConfigFile(NativePath(*chosen), record, reason)) {
            systemError = QStringLiteral("Cannot create file \"%1\". %2").arg(*chosen, SystemText(reason));
            return false;
        }
        path = *chosen;
        return true;
    }
}

bool TMODBUSSettingForm::ImportConfigFile(ActuatorConfig *record, QString &systemError, QString &path)
{
    const std::optional<QString> chosen = dialogs_.OpenFileName(QString(), QString::fromLatin1(ConfigFile::ImportFilter));
    if (!chosen || chosen->isEmpty())
        return false;
    ActuatorConfig read;
    std::string reason;
    switch (ReadConfigFile(NativePath(*chosen), read, reason)) {
    case ImportStatus::Ok:
        break;
    case ImportStatus::WrongSize:
        return false;
    case ImportStatus::Unreadable:
        systemError = QStringLiteral("Cannot open file \"%1\". %2").arg(*chosen, SystemText(reason));
        return false;
    }
    *record = read;
    ShowConfig(*record);
    path = *chosen;
    return true;
}

void TMODBUSSettingForm::ImportConfigButtonClick()
{
    SetActionText(QStringLiteral("Import config data"));
    ActuatorConfig record;
    QString systemError;
    QString path;
    if (ImportConfigFile(&record, systemError, path)) {
        RecordConfigFile(records::EventKind::ConfigImport, path, record);
        dialogs_.Information(QStringLiteral("Configuration data imported successfully !"));
    } else if (!systemError.isEmpty())
        dialogs_.Error(systemError);
    else
        dialogs_.Error(QStringLiteral("Configuration data import failed !"));
    RefreshUiState(false);
}

void TMODBUSSettingForm::ExportConfigButtonClick()
{
    SetActionText(QStringLiteral("Export config data"));
    ActuatorConfig record;
    // Invalid inputs are already marked red; the status bar says why nothing happened.
    if (!GatherConfig(&record)) {
        state_.lastResult = Result::ParameterError;
        RefreshUiState(false);
        return;
    }
    QString systemError;
    QString path;
    if (ExportConfigFile(record, systemError, path)) {
        RecordConfigFile(records::EventKind::ConfigExport, path, record);
        dialogs_.Information(QStringLiteral("Export device config successfully !"));
    } else if (!systemError.isEmpty())
        dialogs_.Error(systemError);
    else
        dialogs_.Error(QStringLiteral("Device configuration export failed !"));
    RefreshUiState(false);
}

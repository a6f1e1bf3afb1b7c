#include "ui/UserDialogs.h"

#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>

void QtUserDialogs::Information(const QString &text)
{
    QMessageBox::information(parent_, QString::fromUtf8(kApplicationTitle), text, QMessageBox::Ok);
}

void QtUserDialogs::Error(const QString &text)
{
    QMessageBox::critical(parent_, QStringLiteral("Error"), text, QMessageBox::Ok);
}

std::optional<QString> QtUserDialogs::SaveFileName(const QString &caption, const QString &filter,
                                                   const QString &initialName, const QString &defaultExt)
{
    QFileDialog dialog(parent_, caption, QString(), filter);
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(defaultExt);
    // The overwrite question goes through ConfirmOverwrite so it can be scripted too.
    dialog.setOption(QFileDialog::DontConfirmOverwrite, true);
    dialog.selectFile(initialName);
    if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
        return std::nullopt;
    return dialog.selectedFiles().first();
}

std::optional<QString> QtUserDialogs::OpenFileName(const QString &caption, const QString &filter)
{
    const QString path = QFileDialog::getOpenFileName(parent_, caption, QString(), filter);
    if (path.isEmpty())
        return std::nullopt;
    return path;
}

bool QtUserDialogs::ConfirmOverwrite(const QString &path)
{
    const QString text = QStringLiteral("%1 already exists.\nDo you want to replace it?")
                             .arg(QFileInfo(path).fileName());
    return QMessageBox::warning(parent_, QStringLiteral("Confirm Save As"), text, QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No) == QMessageBox::Yes;
}

bool QtUserDialogs::OfferStop(const QString &text)
{
    return QMessageBox::question(parent_, QString::fromUtf8(kApplicationTitle), text,
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::Yes) == QMessageBox::Yes;
}

bool QtUserDialogs::ConfirmWrite(const QString &text)
{
    // No is the default: Enter pressed out of habit writes nothing.
    return QMessageBox::question(parent_, QString::fromUtf8(kApplicationTitle), text,
                                 QMessageBox::Yes | QMessageBox::No, QMessageBox::No) == QMessageBox::Yes;
}

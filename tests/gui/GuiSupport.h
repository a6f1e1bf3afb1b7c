#pragma once
// Shared helpers of the window tests: finding controls by object name,
// reading what the guarded controls show, a window with a quiet environment.

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "ScriptedDialogs.h"
#include "TempRecords.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "console/UiView.h"
#include "serial/UsbDevice.h"

template <class T> T *Find(QWidget *root, const char *name)
{
    T *found = root->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control named %s", name);
    return found;
}

inline QString PanelText(QWidget *form, int panel)
{
    return Find<TStatusBar>(form, "OptionStatusBar")->PanelText(panel);
}

// What the window's guarded controls show now, in the terms of UiView.
inline UiView ShownView(QWidget *form)
{
    UiView v;
    v.connectionText = PanelText(form, 0);
    v.resultText = PanelText(form, 2);
    v.baudRateEnabled = Find<QComboBox>(form, "BaudRateComboBox")->isEnabled();
    v.scanCaption = Find<QPushButton>(form, "ScanDeviceButton")->text();
    v.scanEnabled = Find<QPushButton>(form, "ScanDeviceButton")->isEnabled();
    v.learnEnabled = Find<QPushButton>(form, "LearnButton")->isEnabled();
    v.readEnabled = Find<QPushButton>(form, "LoadConfigButton")->isEnabled();
    v.writeEnabled = Find<QPushButton>(form, "UpdateConfigButton")->isEnabled();
    v.renewIdEnabled = Find<QPushButton>(form, "modifyDeviceIDButton")->isEnabled();
    v.exportEnabled = Find<QPushButton>(form, "ExportConfigButton")->isEnabled();
    v.motionEnabled = Find<QPushButton>(form, "motorUpButton")->isEnabled();
    v.goEnabled = Find<QPushButton>(form, "motorActionGoButton")->isEnabled();
    v.targetPosEnabled = Find<QLineEdit>(form, "targetPosEdit")->isEnabled();
    v.statusCheckEnabled = Find<QCheckBox>(form, "GetMotorStatusCheckBox")->isEnabled();
    return v;
}

// Up, down and stop are enabled together or not at all.
inline bool MotionButtonsAgree(QWidget *form)
{
    const bool up = Find<QPushButton>(form, "motorUpButton")->isEnabled();
    return Find<QPushButton>(form, "motorDownButton")->isEnabled() == up &&
           Find<QPushButton>(form, "motorStopButton")->isEnabled() == up;
}

inline const char *Yes(bool b)
{
    return b ? "yes" : "no";
}

inline QByteArray Describe(const UiView &v)
{
    return QStringLiteral("[%1|%2|baud %3|%4 %5|learn %6 read %7 write %8 renew %9 export %10|"
                          "motion %11 go %12|target %13|status %14]")
        .arg(v.connectionText, v.resultText, QString::fromLatin1(Yes(v.baudRateEnabled)), v.scanCaption,
             QString::fromLatin1(Yes(v.scanEnabled)), QString::fromLatin1(Yes(v.learnEnabled)),
             QString::fromLatin1(Yes(v.readEnabled)), QString::fromLatin1(Yes(v.writeEnabled)),
             QString::fromLatin1(Yes(v.renewIdEnabled)))
        .arg(QString::fromLatin1(Yes(v.exportEnabled)), QString::fromLatin1(Yes(v.motionEnabled)),
             QString::fromLatin1(Yes(v.goEnabled)), QString::fromLatin1(Yes(v.targetPosEnabled)),
             QString::fromLatin1(Yes(v.statusCheckEnabled)))
        .toUtf8();
}

// A window that sees a fixed port list and no adapters, whatever the machine
// has, answers its dialogs from a script and notices port changes quickly.
struct QuietWindow {
    explicit QuietWindow(std::vector<std::string> ports = {})
        : portList(std::make_shared<std::vector<std::string>>(std::move(ports)))
    {
        ConsoleEnvironment env;
        env.dialogs = &dialogs;
        const std::string emptyTree = sysfs.path().toStdString();
        QDir(sysfs.path()).mkpath(QStringLiteral("class/tty"));
        env.makeAdapterFinder = [emptyTree] { return std::make_unique<C_USBDevice>(SysfsTree{emptyTree, emptyTree}); };
        auto list = portList;
        env.readSerialPorts = [list](std::vector<std::string> *out) {
            if (!out)
                return false;
            *out = *list;
            return true;
        };
        env.timings.portWatchMs = 20;
        env.recordsPath = RecordsFileIn(sysfs);
        form = std::make_unique<TMODBUSSettingForm>(std::move(env));
    }

    QTemporaryDir sysfs;
    ScriptedDialogs dialogs;
    std::shared_ptr<std::vector<std::string>> portList;
    std::unique_ptr<TMODBUSSettingForm> form;
};

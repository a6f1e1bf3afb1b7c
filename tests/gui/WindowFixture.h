#pragma once
// What every window fixture starts with: an environment that sees no serial
// ports and no USB adapters of the machine (whatever it has) and answers its
// dialogs from a script; the window shown; a virtual bus serving its devices;
// the bus's path typed into the port box as the operator does.

#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "ScriptedDialogs.h"
#include "TempRecords.h"
#include "VirtualBus.h"
#include "console/Modbussetting.h"
#include "serial/UsbDevice.h"

// `sysfs` stands in for /sys with an empty tty class, and holds the window's
// service records; it and `dialogs` must outlive the window.
inline ConsoleEnvironment IsolatedEnvironment(const QTemporaryDir &sysfs, ScriptedDialogs &dialogs)
{
    ConsoleEnvironment env;
    env.dialogs = &dialogs;
    env.recordsPath = RecordsFileIn(sysfs);
    const std::string emptyTree = sysfs.path().toStdString();
    QDir(sysfs.path()).mkpath(QStringLiteral("class/tty"));
    env.makeAdapterFinder = [emptyTree] { return std::make_unique<C_USBDevice>(SysfsTree{emptyTree, emptyTree}); };
    env.readSerialPorts = [](std::vector<std::string> *out) {
        if (!out)
            return false;
        out->clear();
        return true;
    };
    return env;
}

// The window, shown and exposed.
inline std::unique_ptr<TMODBUSSettingForm> ShowWindow(ConsoleEnvironment env)
{
    auto form = std::make_unique<TMODBUSSettingForm>(std::move(env));
    form->show();
    if (!QTest::qWaitForWindowExposed(form.get()))
        qFatal("the window was not shown");
    return form;
}

inline void StartVirtualBus(lumosim::VirtualBus &bus, const std::vector<lumosim::DeviceOptions> &devices)
{
    for (const lumosim::DeviceOptions &device : devices)
        bus.AddDevice(device);
    if (!bus.Start())
        qFatal("virtual bus did not start");
}

// Replaces the port box's text with `path`, key by key.
inline void TypePortName(TMODBUSSettingForm &form, const std::string &path)
{
    auto *combo = form.findChild<QComboBox *>(QStringLiteral("PortNameComboBox"));
    if (!combo)
        qFatal("no control named PortNameComboBox");
    combo->lineEdit()->selectAll();
    QTest::keyClick(combo->lineEdit(), Qt::Key_Backspace);
    QTest::keyClicks(combo->lineEdit(), QString::fromStdString(path));
}

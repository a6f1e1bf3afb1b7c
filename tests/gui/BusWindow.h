#pragma once
// A shown window connected to a virtual bus, with short timer intervals, and
// the operator's gestures the address-change, Debug page and cycle-test
// tests share: typing, choosing list items, clicking rows and spinners, and
// reading the requests the bus heard.

#include <QAbstractItemView>
#include <QComboBox>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QToolButton>
#include <memory>
#include <string>
#include <vector>

#include "GuiSupport.h"
#include "ScriptedDialogs.h"
#include "VirtualBus.h"
#include "WindowFixture.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "serial/UsbDevice.h"

inline ConsoleTimings ShortTimings()
{
    ConsoleTimings t;
    t.scanTickMs = 20;
    t.statusPollMs = 600000; // the Control page poll stays out of the frame logs
    t.learnWatchMs = 20;
    t.cycleTestFirstStepMs = 20;
    t.cycleTestSecondMs = 50;
    t.portWatchMs = 50;
    return t;
}

inline lumosim::DeviceOptions Device(uint8_t address, uint16_t model = 0)
{
    lumosim::DeviceOptions d;
    d.address = address;
    d.model = model;
    return d;
}

// The window sees no ports and no adapters of the machine; it answers its
// dialogs from a script. With devices, a virtual bus serves them and the
// window is connected to it.
struct BusWindow {
    explicit BusWindow(const std::vector<lumosim::DeviceOptions> &devices, ConsoleTimings timings = ShortTimings())
    {
        ConsoleEnvironment env = IsolatedEnvironment(sysfs, dialogs);
        env.timings = timings;
        form = ShowWindow(std::move(env));
        if (devices.empty())
            return;
        StartVirtualBus(bus, devices);
        auto *combo = Find<QComboBox>(form.get(), "PortNameComboBox");
        combo->setEditText(QString::fromStdString(bus.DevicePath()));
        QTest::mouseClick(Find<QPushButton>(form.get(), "ConnectButton"), Qt::LeftButton);
        if (!form->consoleState().isConnected)
            qFatal("the window did not connect to the virtual bus");
    }

    TMODBUSSettingForm *operator->() const { return form.get(); }
    const ConsoleState &state() const { return form->consoleState(); }
    template <class T> T *find(const char *name) const { return Find<T>(form.get(), name); }

    QTemporaryDir sysfs;
    ScriptedDialogs dialogs;
    lumosim::VirtualBus bus{lumosim::InstantLine()}; // ShortTimings() waits too little for a real line
    std::unique_ptr<TMODBUSSettingForm> form;
};

// Replaces the edit's text keystroke by keystroke, as the operator does; the
// change handler runs on every key.
inline void TypeInto(QLineEdit *edit, const QString &text)
{
    edit->setFocus();
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Backspace);
    QTest::keyClicks(edit, text);
}

// Picks item `index` in the combo's open drop-down list and confirms it with
// Return, so the selection handler runs even when the item was already the
// current one.
inline void Choose(QComboBox *combo, int index)
{
    combo->showPopup();
    QAbstractItemView *view = combo->view();
    if (!QTest::qWaitForWindowExposed(view->window()))
        qFatal("the drop-down list of %s did not open", qPrintable(combo->objectName()));
    view->setCurrentIndex(view->model()->index(index, combo->modelColumn(), view->rootIndex()));
    QTest::keyClick(view, Qt::Key_Return);
    if (combo->currentIndex() != index)
        qFatal("%s did not take item %d", qPrintable(combo->objectName()), index);
}

// Rows of the Bus Devices list as a scan leaves them: address, model name.
inline void ListDevice(BusWindow &w, int address, const QString &model)
{
    auto *list = w.find<QTableWidget>("BusDevicesListView");
    const int row = list->rowCount();
    list->insertRow(row);
    list->setItem(row, 0, new QTableWidgetItem(QString::number(address)));
    list->setItem(row, 1, new QTableWidgetItem(model));
    w.find<QListWidget>("MODBusDevicesListBox")->addItem(QString::number(address));
}

inline void ClickListRow(BusWindow &w, int row)
{
    auto *list = w.find<QTableWidget>("BusDevicesListView");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row, 0)).center());
}

inline void ClickControlListRow(BusWindow &w, int row)
{
    auto *list = w.find<QListWidget>("MODBusDevicesListBox");
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(list->item(row)).center());
}

inline QStringList ControlListItems(BusWindow &w)
{
    auto *list = w.find<QListWidget>("MODBusDevicesListBox");
    QStringList items;
    for (int i = 0; i < list->count(); ++i)
        items << list->item(i)->text();
    return items;
}

// Clicks a spinner's arrow `times` times.
inline void StepSpinner(BusWindow &w, const char *spinner, bool up, int times)
{
    auto *arrow = Find<QToolButton>(w.find<TUpDown>(spinner), up ? "up" : "down");
    for (int i = 0; i < times; ++i)
        QTest::mouseClick(arrow, Qt::LeftButton);
}

// Shows the Debug page, hidden in the product, so the tests can drive it.
inline void ShowDebugPage(BusWindow &w)
{
    auto *tabs = w.find<QTabWidget>("PageControl1");
    QWidget *page = w.find<QWidget>("DebugPage");
    tabs->setTabVisible(tabs->indexOf(page), true);
    tabs->setCurrentWidget(page);
    QTest::qWait(0);
}

inline QStringList MemoLines(BusWindow &w)
{
    const QString text = w.find<QPlainTextEdit>("debugMemo")->toPlainText();
    return text.isEmpty() ? QStringList() : text.split(QLatin1Char('\n'));
}

// What the master sent, request by request.
inline std::vector<std::vector<uint8_t>> Requests(const lumosim::VirtualBus &bus)
{
    std::vector<std::vector<uint8_t>> out;
    for (const auto &frame : bus.FrameLog())
        if (frame.fromMaster)
            out.push_back(frame.bytes);
    return out;
}

// A frame without its CRC, in hex, for comparing and for messages.
inline QByteArray HexWithoutCrc(const std::vector<uint8_t> &frame)
{
    const size_t n = frame.size() >= 2 ? frame.size() - 2 : 0;
    return QByteArray(reinterpret_cast<const char *>(frame.data()), static_cast<qsizetype>(n)).toHex(' ');
}

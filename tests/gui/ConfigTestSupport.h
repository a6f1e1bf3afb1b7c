#pragma once
// What the Actuators page tests share: a window connected to a virtual bus
// with the device of their choice selected, the operator's ways of filling
// the page, and reading back what the bus heard.

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QPalette>
#include <QPushButton>
#include <QRadioButton>
#include <QTabWidget>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <memory>
#include <string>
#include <vector>

#include "ScriptedDialogs.h"
#include "VirtualBus.h"
#include "WindowFixture.h"
#include "app/WaitDlg.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "modbus/Registers.h"
#include "serial/UsbDevice.h"

namespace cfgtest {

template <class T> T *Get(QWidget *root, const char *name)
{
    T *found = root->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control named %s", name);
    return found;
}

// Also keeps what the file dialogs were set up with.
class Dialogs : public ScriptedDialogs {
public:
    std::optional<QString> SaveFileName(const QString &caption, const QString &filter, const QString &initialName,
                                        const QString &defaultExt) override
    {
        saveFilter = filter;
        saveExtension = defaultExt;
        saveInitialNames << initialName;
        return ScriptedDialogs::SaveFileName(caption, filter, initialName, defaultExt);
    }
    std::optional<QString> OpenFileName(const QString &caption, const QString &filter) override
    {
        openFilter = filter;
        return ScriptedDialogs::OpenFileName(caption, filter);
    }
    QString saveFilter;
    QString saveExtension;
    QStringList saveInitialNames;
    QString openFilter;
};

// The five edits in page order, for tables of cases.
inline const char *const kEdits[] = {"StrokeEdit", "ContainerStopEdit", "ShelfStopEdit", "MotorSpeedPWMEdit",
                                     "OverLoadProtectEdit"};

// A window with quiet port discovery, scripted dialogs, the real wait
// dialog and a short learning watch; optionally a virtual bus.
class Rig {
public:
    struct Device {
        uint8_t address;
        uint16_t model;
    };

    explicit Rig(std::vector<Device> devices = {{1, static_cast<uint16_t>(Model::LumoP)}},
                 lumosim::BusOptions busOptions = {})
        : bus(lumosim::InstantLine(busOptions)) // the window's waits are shortened for the tests
    {
        std::vector<lumosim::DeviceOptions> options;
        for (const Device &d : devices) {
            lumosim::DeviceOptions &device = options.emplace_back();
            device.address = d.address;
            device.model = d.model;
        }
        StartVirtualBus(bus, options);

        ConsoleEnvironment env = IsolatedEnvironment(sysfs, dialogs);
        env.timings.learnWatchMs = 20;
        env.timings.scanTickMs = 20;
        env.timings.statusPollMs = 50;
        env.timings.portWatchMs = 1000;
        form = ShowWindow(std::move(env));
        waitDlg = std::make_unique<TWaitDlg>();
        form->SetWaitDialog(waitDlg.get());
    }

    const ConsoleState &state() const { return form->consoleState(); }
    template <class T> T *get(const char *name) const { return Get<T>(form.get(), name); }
    QLineEdit *edit(const char *name) const { return get<QLineEdit>(name); }
    TRadioGroup *group(const char *name) const { return get<TRadioGroup>(name); }
    QString panel(int index) const { return get<TStatusBar>("OptionStatusBar")->PanelText(index); }

    // Brings the page holding `control` to the front, as the operator
    // does before using it.
    void Reveal(QWidget *control) const
    {
        auto *tabs = get<QTabWidget>("PageControl1");
        for (QWidget *w = control; w; w = w->parentWidget())
            if (tabs->indexOf(w) >= 0) {
                tabs->setCurrentWidget(w);
                return;
            }
    }

    void Connect()
    {
        TypePortName(*form, bus.DevicePath());
        Click("ConnectButton");
        if (!state().isConnected)
            qFatal("the window did not connect to the virtual bus");
    }

    // Lists the device as a scan does and clicks its row on the Bus Devices
    // page; the frame log is cleared afterwards.
    void Select(uint8_t address, uint32_t model)
    {
        auto *list = get<QTableWidget>("BusDevicesListView");
        Reveal(list);
        int row = -1;
        for (int i = 0; i < list->rowCount(); ++i)
            if (list->item(i, 0)->text().toInt() == address)
                row = i;
        if (row < 0) {
            row = list->rowCount();
            list->insertRow(row);
            list->setItem(row, 0, new QTableWidgetItem(QString::number(address)));
            list->setItem(row, 1, new QTableWidgetItem(QString::fromLatin1(Model::NameOf(model).data())));
        }
        const QRect cell = list->visualRect(list->model()->index(row, 0));
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, cell.center());
        if (state().selectedDeviceId != address)
            qFatal("clicking the row did not select device %d", address);
        bus.ClearFrameLog();
    }

    void Click(const char *name)
    {
        auto *button = get<QPushButton>(name);
        Reveal(button);
        QTest::mouseClick(button, Qt::LeftButton);
    }

    // Replaces an edit's text by typing, as the operator does.
    void Type(const char *name, const QString &text)
    {
        QLineEdit *e = edit(name);
        Reveal(e);
        e->selectAll();
        QTest::keyClick(e, Qt::Key_Backspace);
        if (!text.isEmpty())
            QTest::keyClicks(e, text);
    }

    void Choose(const char *groupName, const QString &item)
    {
        for (QRadioButton *b : group(groupName)->findChildren<QRadioButton *>())
            if (b->text() == item) {
                Reveal(b);
                // On the indicator: a radio button takes clicks on its
                // indicator and caption only, not the whole grid cell.
                QTest::mouseClick(b, Qt::LeftButton, {}, QPoint(8, b->height() / 2));
                if (!b->isChecked())
                    qFatal("%s: clicking %s did not choose it", groupName, qPrintable(item));
                return;
            }
        qFatal("%s has no item %s", groupName, qPrintable(item));
    }

    // Picks a voltage with the keyboard; -1 leaves the list as it is.
    void ChooseVoltage(int index)
    {
        auto *combo = get<QComboBox>("VoltageOutComboBox");
        if (index < 0)
            return;
        Reveal(combo);
        QTest::keyClick(combo, index == 0 ? Qt::Key_Home : Qt::Key_End);
        if (combo->currentIndex() != index)
            qFatal("could not choose voltage item %d", index);
    }

    // Fills the whole page as the operator would.
    void Fill(const QStringList &edits, const QString &hall, const QString &limit, const QString &pot,
              const QString &baud, int voltage)
    {
        for (int i = 0; i < 5; ++i)
            Type(kEdits[i], edits.value(i));
        Choose("HallSensorRadioGroup", hall);
        Choose("LimitSwitchRadioGroup", limit);
        Choose("HallPotRadioGroup", pot);
        Choose("BUSBaudRateRadioGroup", baud);
        ChooseVoltage(voltage);
    }

    bool IsRed(const char *name) const { return edit(name)->palette().color(QPalette::Text) == QColor(Qt::red); }
    bool Enabled(const char *button) const { return get<QPushButton>(button)->isEnabled(); }

    // Everything the page shows, for "the page is unchanged".
    QStringList PageSnapshot() const
    {
        QStringList s;
        for (const char *name : kEdits)
            s << edit(name)->text() << edit(name)->palette().color(QPalette::Text).name();
        for (const char *name :
             {"HallSensorRadioGroup", "LimitSwitchRadioGroup", "HallPotRadioGroup", "BUSBaudRateRadioGroup"})
            s << QString::number(group(name)->ItemIndex());
        s << QString::number(get<QComboBox>("VoltageOutComboBox")->currentIndex());
        return s;
    }

    // Requests the bus heard, oldest first.
    std::vector<std::vector<uint8_t>> Requests() const
    {
        std::vector<std::vector<uint8_t>> out;
        for (const lumosim::LoggedFrame &f : bus.FrameLog())
            if (f.fromMaster)
                out.push_back(f.bytes);
        return out;
    }

    lumosim::VirtualBus bus;
    QTemporaryDir sysfs;
    Dialogs dialogs;
    std::unique_ptr<TMODBUSSettingForm> form;
    std::unique_ptr<TWaitDlg> waitDlg;
};

inline uint16_t RegisterOf(const std::vector<uint8_t> &request)
{
    return request.size() >= 4 ? static_cast<uint16_t>(request[2] << 8 | request[3]) : 0xFFFF;
}

inline uint8_t FunctionOf(const std::vector<uint8_t> &request)
{
    return request.size() >= 2 ? request[1] : 0;
}

// The registers of the single-register writes among `requests`, in order.
inline std::vector<uint16_t> WrittenRegisters(const std::vector<std::vector<uint8_t>> &requests)
{
    std::vector<uint16_t> out;
    for (const auto &r : requests)
        if (FunctionOf(r) == Fc::WriteSingle)
            out.push_back(RegisterOf(r));
    return out;
}

} // namespace cfgtest

// The test classes, run by test_config_page_main.cpp.
std::unique_ptr<QObject> MakeConfigPageTest();
std::unique_ptr<QObject> MakeConfigFilesTest();
std::unique_ptr<QObject> MakeLearningTest();

#pragma once
// The real window connected to an in-process virtual bus, for the scan and
// Control page tests: a faster clock for the probe waits, shortened timer
// intervals, and helpers that click the lists as the operator does and read
// the frames the bus heard.

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QSlider>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <algorithm>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ScriptedDialogs.h"
#include "VirtualBus.h"
#include "WindowFixture.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "console/Shape.h"
#include "base/Clock.h"
#include "modbus/Crc.h"
#include "modbus/Registers.h"
#include "serial/UsbDevice.h"

namespace bustest {

template <class T> T *Child(QWidget *root, const char *name)
{
    T *found = root->findChild<T *>(QString::fromLatin1(name));
    if (!found)
        qFatal("no control named %s", name);
    return found;
}

// Real time, running `factor` times faster: every wait the engine and the
// port make on it (the reply wait, the read polls) lasts 1/factor of its
// length. The waits that handle window messages run on Qt timers and keep
// their real length.
class FastClock : public Clock {
public:
    explicit FastClock(uint32_t factor) : factor_(factor), start_(std::chrono::steady_clock::now()) {}
    uint32_t TickMs() override
    {
        const auto real = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() -
                                                                                start_);
        return static_cast<uint32_t>(real.count() * factor_ / 1000);
    }
    void SleepMs(uint32_t ms) override
    {
        std::this_thread::sleep_for(std::chrono::microseconds(uint64_t{ms} * 1000 / factor_));
    }

private:
    uint32_t factor_;
    std::chrono::steady_clock::time_point start_;
};

struct BusDevice {
    uint8_t address;
    uint32_t model;
    std::optional<uint16_t> name = std::nullopt; // motor ID; the bus's default when absent
    uint16_t firmware = 0x0102;
    lumosim::Faults faults = {};
    bool sharesAddress = false; // a second device at an address already taken
};

struct FixtureOptions {
    std::vector<BusDevice> devices;
    lumosim::BusOptions bus;
    ConsoleTimings timings;
    uint32_t clockFactor = 1; // 1: the system clock
    // The bus as a real RS-485 line (wire time, turnaround, adapter); the
    // default instant line suits the shortened waits of most tests.
    bool realLine = false;
    // The addresses the Bus monitor's Diagnose probes.
    uint8_t doctorFirstAddress = 1;
    uint8_t doctorLastAddress = 127;
    // The addresses the Bus backup reads.
    uint8_t busBackupLastAddress = 127;
    // The service records' file; unset: one in the fixture's temporary folder.
    std::optional<std::string> recordsPath;
};

// The devices on the instant line, with the scan's and the poll's pauses cut
// short and the engine's waits ten times faster: a scan of a few addresses
// takes well under a second.
inline FixtureOptions QuickScanOptions(std::vector<BusDevice> devices)
{
    FixtureOptions o;
    o.devices = std::move(devices);
    o.timings.scanTickMs = 1;
    o.timings.statusPollMs = 20;
    o.clockFactor = 10;
    return o;
}

// A virtual bus with the given devices, and the window connected to it.
class BusWindow {
public:
    // The instant line: the fixtures shorten the window's waits and run its clock fast.
    explicit BusWindow(FixtureOptions options)
        : bus(options.realLine ? options.bus : lumosim::InstantLine(options.bus))
    {
        std::vector<lumosim::DeviceOptions> devices;
        for (const BusDevice &d : options.devices) {
            lumosim::DeviceOptions &device = devices.emplace_back();
            device.address = d.address;
            device.model = static_cast<uint16_t>(d.model);
            device.name = d.name;
            device.firmware = d.firmware;
            device.faults = d.faults;
            device.sharesAddress = d.sharesAddress;
        }
        StartVirtualBus(bus, devices);

        ConsoleEnvironment env = IsolatedEnvironment(sysfs, dialogs);
        env.timings = options.timings;
        env.doctorFirstAddress = options.doctorFirstAddress;
        env.doctorLastAddress = options.doctorLastAddress;
        env.busBackupLastAddress = options.busBackupLastAddress;
        if (options.recordsPath)
            env.recordsPath = options.recordsPath;
        if (options.clockFactor > 1) {
            clock = std::make_unique<FastClock>(options.clockFactor);
            env.clock = clock.get();
        }
        form = ShowWindow(std::move(env));
    }

    // Types the bus's path and clicks "Connect"; true when connected.
    bool Connect()
    {
        TypePortName(*form, bus.DevicePath());
        QTest::mouseClick(Child<QPushButton>(form.get(), "ConnectButton"), Qt::LeftButton);
        return state().isConnected;
    }

    const ConsoleState &state() const { return form->consoleState(); }
    template <class T> T *W(const char *name) const { return Child<T>(form.get(), name); }
    QString Panel(int panel) const { return W<TStatusBar>("OptionStatusBar")->PanelText(panel); }
    QTimer *StatusTimer() const { return form->findChild<QTimer *>(QStringLiteral("GetDeviceStatusTimer")); }

    void Click(const char *button) { QTest::mouseClick(W<QPushButton>(button), Qt::LeftButton); }

    // Clicks "Scan Devices" and lets the scan run until it has probed
    // `lastAddress`, then clicks "Stop Scan".
    bool ScanUpTo(uint8_t lastAddress, int timeoutMs = 20000)
    {
        Click("ScanDeviceButton");
        if (!state().isScanning)
            return false;
        if (!QTest::qWaitFor([&] { return state().scanId > lastAddress || !state().isScanning; }, timeoutMs))
            return false;
        if (state().isScanning)
            Click("ScanDeviceButton");
        return !state().isScanning;
    }

    QStringList DeviceRows() const
    {
        QStringList rows;
        auto *view = W<QTableWidget>("BusDevicesListView");
        for (int r = 0; r < view->rowCount(); ++r)
            rows << view->item(r, 0)->text() + QLatin1Char(' ') + view->item(r, 1)->text();
        return rows;
    }
    QStringList ControlItems() const
    {
        QStringList items;
        auto *list = W<QListWidget>("MODBusDevicesListBox");
        for (int i = 0; i < list->count(); ++i)
            items << list->item(i)->text();
        return items;
    }

    // Clicks the row of the Bus Devices list whose caption is `caption`.
    bool ClickDeviceRow(const QString &caption)
    {
        auto *view = W<QTableWidget>("BusDevicesListView");
        for (int r = 0; r < view->rowCount(); ++r) {
            if (view->item(r, 0)->text() != caption)
                continue;
            const QRect cell = view->visualItemRect(view->item(r, 0));
            QTest::mouseClick(view->viewport(), Qt::LeftButton, {}, cell.center());
            return true;
        }
        return false;
    }

    // Clicks the Control page list item `text`, as the operator picks a device.
    bool ClickControlItem(const QString &text)
    {
        auto *list = W<QListWidget>("MODBusDevicesListBox");
        const QList<QListWidgetItem *> found = list->findItems(text, Qt::MatchExactly);
        if (found.isEmpty())
            return false;
        QTest::mouseClick(list->viewport(), Qt::LeftButton, {}, list->visualItemRect(found.first()).center());
        return true;
    }

    // Shows the Control page (so its list can be clicked) and picks `text`.
    bool SelectControlDevice(const QString &text)
    {
        W<QTabWidget>("PageControl1")->setCurrentWidget(W<QWidget>("OptionPage"));
        return ClickControlItem(text);
    }

    std::vector<lumosim::LoggedFrame> Requests() const
    {
        std::vector<lumosim::LoggedFrame> out;
        for (auto &f : bus.FrameLog())
            if (f.fromMaster)
                out.push_back(f);
        return out;
    }

    lumosim::VirtualBus bus;
    QTemporaryDir sysfs;
    ScriptedDialogs dialogs;
    std::unique_ptr<Clock> clock;
    std::unique_ptr<TMODBUSSettingForm> form;
};

inline QByteArray Hex(const std::vector<uint8_t> &bytes)
{
    return QByteArray(reinterpret_cast<const char *>(bytes.data()), static_cast<qsizetype>(bytes.size()))
        .toHex(' ')
        .toUpper();
}

// A request frame with its CRC, as the window must put it on the wire.
inline std::vector<uint8_t> Frame(std::vector<uint8_t> body)
{
    const uint16_t crc = CalcCrc16(body.data(), body.size());
    body.push_back(static_cast<uint8_t>(crc & 0xFF));
    body.push_back(static_cast<uint8_t>(crc >> 8));
    return body;
}

// The register a 0x03/0x04/0x06 request names, and its function and address.
inline bool IsRequest(const lumosim::LoggedFrame &f, uint8_t address, uint8_t function, uint16_t reg)
{
    return f.fromMaster && f.bytes.size() == 8 && f.bytes[0] == address && f.bytes[1] == function &&
           ((f.bytes[2] << 8) | f.bytes[3]) == reg;
}

inline size_t CountRequests(const std::vector<lumosim::LoggedFrame> &log, uint8_t address, uint8_t function,
                            uint16_t reg)
{
    return static_cast<size_t>(std::count_if(log.begin(), log.end(), [&](const lumosim::LoggedFrame &f) {
        return IsRequest(f, address, function, reg);
    }));
}

// Runs `action` once, from inside a GetDeviceStatusTimer tick: the first time
// the window handles messages while a tick is waiting between two
// transactions (the timer is off and the window is busy) and `when` holds.
// Returns a flag that tells whether it ran.
class InsideTick : public QObject {
public:
    InsideTick(BusWindow &w, std::function<bool()> when, std::function<void()> action)
        : w_(w), when_(std::move(when)), action_(std::move(action))
    {
        timer_.setTimerType(Qt::PreciseTimer);
        timer_.setInterval(1);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] { Check(); });
        timer_.start();
    }
    bool ran() const { return ran_; }

private:
    void Check()
    {
        if (ran_ || w_.StatusTimer()->isActive() || !w_.state().uiBusy || !when_())
            return;
        ran_ = true;
        timer_.stop();
        action_();
    }

    BusWindow &w_;
    std::function<bool()> when_;
    std::function<void()> action_;
    QTimer timer_;
    bool ran_ = false;
};

} // namespace bustest

// Port selection and connection: the "COMMUNICATION PORT" group, opening and
// closing the port, the two ways the port list is filled, and the reaction
// to serial devices coming and going.

#include <QCheckBox>
#include <QComboBox>
#include <QPushButton>
#include <QSignalBlocker>
#include <QTimer>
#include <algorithm>
#include <cctype>

#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "modbus/ResultCode.h"
#include "serial/PortWatcher.h"
#include "serial/SerialPorts.h"

namespace {

const char *const kNoPortText = "Com Port";

char Lower(char c)
{
    return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}

bool EqualsIgnoringCase(const std::string &a, const std::string &b)
{
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return Lower(x) == Lower(y);
           });
}

bool LessIgnoringCase(const std::string &a, const std::string &b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char x, char y) { return Lower(x) < Lower(y); });
}

bool ContainsIgnoringCase(const std::vector<std::string> &list, const std::string &text)
{
    return std::any_of(list.begin(), list.end(), [&](const std::string &s) { return EqualsIgnoringCase(s, text); });
}

// Port names are file names of the system's own encoding.
std::string ToPortName(const QString &text)
{
    return text.toLocal8Bit().toStdString();
}

QString FromPortName(const std::string &name)
{
    return QString::fromLocal8Bit(name.data(), static_cast<qsizetype>(name.size()));
}

} // namespace

bool TMODBUSSettingForm::OpenPort(const std::string &name)
{
    if (name.empty())
        return false;
    if (name == state_.portName) {
        // Already open: leave it as it is.
        state_.lastResult = Result::NoError;
        return true;
    }
    if (state_.comPort)
        ClosePort();
    state_.comPort = std::make_unique<C_ComPort>(clock_);
    if (!state_.comPort->Open(name, state_.baudRate, 2048)) {
        ClosePort();
        state_.lastResult = Result::PortError;
        return false;
    }
    state_.comPort->SetTimeouts(200);
    state_.portName = name;
    connectedBaud_ = static_cast<uint32_t>(state_.baudRate);
    portBaud_ = connectedBaud_;
    // What a vanished port left listed waits for that port; another port
    // has another bus, where those addresses may name other devices.
    if (state_.moved.Port() != name)
        state_.moved.Clear();
    state_.moved.SetPort(name);
    // The actuator at an address may have been swapped while disconnected.
    ForgetMotorIds();
    state_.lastResult = Result::NoError;
    busHealth_.Reset(); // the Bus monitor counts per connection
    // A pseudo-terminal or a link is in no port list: watch its path so its
    // disappearance is noticed like an unplugged adapter.
    if (portWatcher_)
        portWatcher_->WatchPath(name);
    return true;
}

void TMODBUSSettingForm::ClosePort()
{
    // Stored while the port still names the connection.
    ForgetConnectionRecords();
    if (!state_.comPort)
        return;
    state_.comPort->DrainInput();
    state_.comPort->Close();
    state_.comPort.reset();
    if (portWatcher_ && !state_.portName.empty())
        portWatcher_->UnwatchPath(state_.portName);
    state_.portName.clear();
    state_.isConnected = false;
    state_.lastResult = Result::NoError;
    portBaud_ = 0;
    // state_.moved keeps what is still listed, with this port's name: a
    // port that vanished could carry no stop, and the next connection to it
    // offers one.
}

void TMODBUSSettingForm::ConnectButtonClick()
{
    // Every branch below closes the open port: what this window set moving
    // is stopped first, while the port can still carry the stops.
    if (state_.isConnected)
        StopBeforeClose();
    if (autoSelectComPortCheckBox->isChecked()) {
        // A click on the entry of the open port disconnects, a click on
        // another entry moves the connection there, and without a usable
        // entry nothing happens.
        const std::string name = PortNameOfItem(IndexOfComboText());
        const bool same = EqualsIgnoringCase(name, state_.portName);
        if (state_.isConnected)
            ClosePort();
        if (!same)
            state_.isConnected = OpenPort(name);
    } else if (state_.isConnected) {
        const std::string text = ToPortName(PortNameComboBox->currentText());
        // An emptied combo text cannot name another port; taking it as a
        // move would leave the open port held while the window shows
        // "Disconnect", so it disconnects.
        if (text == state_.portName || text.empty())
            ClosePort();
        else
            state_.isConnected = OpenPort(text);
    } else {
        state_.isConnected = OpenPort(ToPortName(PortNameComboBox->currentText()));
    }

    if (state_.isConnected) {
        ConnectButton->setText(QStringLiteral("Disconnect"));
        // The reply wait and the gap between attempts follow the line speed.
        switch (BaudRateComboBox->currentIndex()) {
        case 0: state_.responseDelayMs = 30; state_.commandGapMs = 20; break;   // 115200
        case 1: state_.responseDelayMs = 100; state_.commandGapMs = 50; break;  // 4800
        case 2: state_.responseDelayMs = 55; state_.commandGapMs = 35; break;   // 9600
        case 3: state_.responseDelayMs = 40; state_.commandGapMs = 25; break;   // 19200
        default: state_.responseDelayMs = 50; state_.commandGapMs = 30; break;
        }
        // How long a late reply may still come, for the wait after a
        // request that got none.
        engine_.SetLineTiming(state_.baudRate);
        RefreshUiState(false);
        OfferKeptStops();
    } else {
        ConnectButton->setText(QStringLiteral("Connect"));
    }
    RefreshUiState(false);
}

void TMODBUSSettingForm::BaudRateComboBoxSelect()
{
    // Applies at the next connect; the open port keeps its rate.
    switch (BaudRateComboBox->currentIndex()) {
    case 1: state_.baudRate = 4800; break;
    case 2: state_.baudRate = 9600; break;
    case 3: state_.baudRate = 19200; break;
    default: state_.baudRate = 115200; break;
    }
}

void TMODBUSSettingForm::PortNameComboBoxSelect()
{
    const bool openOne = state_.isConnected && ToPortName(PortNameComboBox->currentText()) == state_.portName;
    ConnectButton->setText(openOne ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    ConnectButton->setEnabled(true);
}

void TMODBUSSettingForm::PortNameComboBoxDropDown()
{
    RefreshPortList();
}

void TMODBUSSettingForm::PortNameComboBoxChange()
{
    ConnectButton->setEnabled(true);
}

void TMODBUSSettingForm::RefreshPortList()
{
    if (!state_.portList || !ReadPortList(state_.portList.get()))
        return;
    std::stable_sort(state_.portList->begin(), state_.portList->end(), LessIgnoringCase);
    QString text = PortNameComboBox->currentText();
    const std::string typed = ToPortName(text);
    // A typed path that is open stays: pseudo-terminals and links such as
    // /tmp/lumo-bus are in no port list but are what the window is using.
    const bool openOne = state_.isConnected && !typed.empty() && typed == state_.portName;
    if (!ContainsIgnoringCase(*state_.portList, typed) && !openOne)
        text = QString::fromLatin1(kNoPortText);
    SetComboItems(*state_.portList);
    SetComboText(text);
}

void TMODBUSSettingForm::AutoSelectRefresh()
{
    if (!state_.adapterFinder || !state_.adapterPortList)
        return;
    state_.adapterFinder->ScanAdapters();
    state_.adapterFinder->FillPortEntries(state_.adapterPortList.get());
    if (!autoSelectComPortCheckBox->isChecked())
        return;
    const std::vector<std::string> &entries = *state_.adapterPortList;
    SetComboItems(entries);
    QString text;
    if (!entries.empty()) {
        text = FromPortName(entries.front());
        for (const std::string &entry : entries) {
            if (EqualsIgnoringCase(entry, state_.autoPortEntry)) {
                text = FromPortName(entry);
                break;
            }
        }
    }
    SetComboText(text);
    state_.autoPortEntry = ToPortName(text);
}

void TMODBUSSettingForm::autoSelectComPortCheckBoxClick()
{
    if (autoSelectComPortCheckBox->isChecked()) {
        // The list is the automatic one; the operator can neither type nor choose.
        PortNameComboBox->setEnabled(false);
        AutoSelectRefresh();
        if (state_.isConnected) {
            const bool openOne = EqualsIgnoringCase(PortNameOfItem(IndexOfComboText()), state_.portName);
            ConnectButton->setText(openOne ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
        }
        return;
    }
    PortNameComboBox->setEnabled(true);
    SetComboItems({});
    SetComboText(QString());
    if (!state_.portList)
        return;
    ReadPortList(state_.portList.get());
    SetComboItems(*state_.portList);
    if (!state_.portList->empty() && state_.isConnected) {
        QString text = FromPortName(state_.portList->front());
        for (const std::string &port : *state_.portList) {
            if (EqualsIgnoringCase(port, state_.portName)) {
                text = FromPortName(port);
                break;
            }
        }
        SetComboText(text);
    }
}

void TMODBUSSettingForm::InstallPortWatcher()
{
    auto arrived = [this] { PortArrived(); };
    auto removed = [this](const std::string &name) { PortRemoved(name); };
    if (env_.readSerialPorts)
        portWatcher_ = std::make_unique<PortWatcher>(arrived, removed, env_.readSerialPorts);
    else
        portWatcher_ = std::make_unique<PortWatcher>(arrived, removed);
    portWatchTimer_ = new QTimer(this);
    portWatchTimer_->setObjectName(QStringLiteral("portWatchTimer"));
    portWatchTimer_->setInterval(env_.timings.portWatchMs);
    connect(portWatchTimer_, &QTimer::timeout, this, [this] { portWatcher_->Poll(); });
    portWatchTimer_->start();
}

void TMODBUSSettingForm::PortArrived()
{
    if (autoSelectComPortCheckBox->isChecked())
        AutoSelectRefresh();
    else
        RefreshPortList();
}

void TMODBUSSettingForm::PortRemoved(const std::string &removedName)
{
    // Names are compared in full: cut short, "/dev/ttyUSB1" and
    // "/dev/ttyUSB10" (or COM12 and COM123) would be taken for one another.
    if (!state_.portName.empty() && EqualsIgnoringCase(removedName, state_.portName)) {
        // A port the system took off its list may still work (a driver
        // reloading, a name that went away before the device): then it
        // carries the stops before it is closed. One that has hung up
        // cannot; what it set moving stays listed for the next connection.
        if (state_.comPort && state_.comPort->IsOpen() && !state_.comPort->HungUp())
            StopBeforeClose();
        else if (state_.cycleTestRunning || cycleTestTimer->isActive())
            cycleTestStopButtonClick(); // its next step would move the actuator on the next connection
        // (A learning watch only reads; it gives up by its own rule.)
        // The port was taken away, not closed by the operator: a failure
        // that a workflow met on the vanishing line stays in the status bar
        // rather than turning into "No Error".
        const uint32_t lastFailure = state_.lastResult;
        ClosePort();
        state_.lastResult = lastFailure;
        if (!state_.moved.Empty()) {
            // Said where it stays: the poll and the scan end here, as their
            // next tick would end them on the missing port after writing
            // their own text over this.
            GetDeviceStatusTimer->stop();
            if (state_.isScanning) {
                state_.isScanning = false;
                SetProgress(0, 0);
            }
            SetActionText(QStringLiteral("%1 is gone: %2 may still be moving; connect to it again to stop")
                              .arg(FromPortName(removedName), QString::fromStdString(state_.moved.Names())));
        }
        if (EqualsIgnoringCase(ToPortName(PortNameComboBox->currentText()), removedName))
            SetComboText(QString::fromLatin1(kNoPortText));
        ConnectButton->setText(state_.isConnected ? QStringLiteral("Disconnect") : QStringLiteral("Connect"));
    }
    if (autoSelectComPortCheckBox->isChecked())
        AutoSelectRefresh();
    else
        RefreshPortList();
    RefreshUiState(false);
}

bool TMODBUSSettingForm::ReadPortList(std::vector<std::string> *list)
{
    return env_.readSerialPorts ? env_.readSerialPorts(list) : ReadSerialPorts(list);
}

std::string TMODBUSSettingForm::PortNameOfItem(int index) const
{
    if (index < 0 || index >= PortNameComboBox->count())
        return {};
    return PortNameOfEntry(ToPortName(PortNameComboBox->itemText(index)));
}

int TMODBUSSettingForm::IndexOfComboText() const
{
    const std::string text = ToPortName(PortNameComboBox->currentText());
    for (int i = 0; i < PortNameComboBox->count(); ++i)
        if (EqualsIgnoringCase(ToPortName(PortNameComboBox->itemText(i)), text))
            return i;
    return -1;
}

void TMODBUSSettingForm::SetComboItems(const std::vector<std::string> &items)
{
    // Replacing the items is no operator change: the change handler stays quiet.
    const QString text = PortNameComboBox->currentText();
    const QSignalBlocker blocker(PortNameComboBox);
    PortNameComboBox->clear();
    for (const std::string &item : items)
        PortNameComboBox->addItem(FromPortName(item));
    PortNameComboBox->setEditText(text);
}

void TMODBUSSettingForm::SetComboText(const QString &text)
{
    PortNameComboBox->setEditText(text);
}

// Bus scan and device information: "Scan Devices" probes the addresses 1 to
// 127, one per tick of GetDeviceStatusTimer, and lists those that answer; a
// click on a listed device shows its motor ID and firmware version.
//
// ProgressBar1 follows the scan: address / 127 from the start of each probe,
// so a full scan (two minutes at the 500 ms tick) shows how far it is; it is
// back at 0 whenever the scan ends: after address 127, on "Stop Scan" (also
// the one a new scan begins with) and when the port fails.
//
// GetDeviceStatusTimer also drives the Control page's status poll; the tick
// lives here because its first step is shared by both uses.

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QTableWidget>
#include <QTimer>
#include <optional>

#include "config/ConfigRules.h"
#include "console/FlagScope.h"
#include "console/Modbussetting.h"
#include "modbus/ResultCode.h"

namespace {

constexpr uint8_t kFirstScanAddress = 1;
constexpr uint8_t kLastScanAddress = 127;
// A device that has just answered its probe gets this pause before the
// model is asked for.
constexpr uint32_t kModelReadPauseMs = 50;
// The device-information reads always make three attempts, whatever the
// Debug page's attempt count says.
constexpr int32_t kInfoReadTries = 3;

} // namespace

ResultCode TMODBUSSettingForm::TryOperation(int32_t tries, const std::function<ResultCode()> &operation,
                                            const AttemptHooks &hooks)
{
    ResultCode own = Result::NoError;
    auto attempt = [&] {
        own = operation();
        return own;
    };
    RunAttempts(engine_, tries, state_.commandGapMs, state_.lastResult, attempt, hooks);
    return own;
}

uint32_t TMODBUSSettingForm::ModelCodeFromName(const QString &name)
{
    return Model::CodeFromName(name.toStdString());
}

void TMODBUSSettingForm::ScanDeviceButtonClick()
{
    if (state_.isScanning) {
        GetDeviceStatusTimer->stop();
        state_.isScanning = false;
        SetProgress(0, 0);
        RefreshUiState(false);
        return;
    }

    // A cycle test that drives the Control page's device would, once the
    // scan has cleared that choice, send its next step to address 0: to
    // every actuator at once. It ends here and its actuator is stopped, as
    // "■" would do. A run on an address typed on the Debug page goes on.
    if (state_.cycleTestRunning && !BusAdvCheckBox->isChecked() && state_.controlDeviceId != 0 &&
        CycleTestFollowsControlDevice())
        motorStopButtonClick();

    MODBusDevicesListBox->clear();
    BusDevicesListView->setRowCount(0);
    SetEditText(MotorIDEdit, QString());
    SetEditText(FwVerMajorEdit, QStringLiteral("00"));
    SetEditText(FwVerMinorEdit, QStringLiteral("00"));

    state_.newDeviceId = 0;
    state_.selectedDeviceId = 0;
    state_.selectedModel = Model::None;
    SetControlDevice(0);

    // The actuators found now may not be those found before (one swapped
    // for another at the same address): their motor IDs are read again.
    ForgetMotorIds();
    state_.scanId = kFirstScanAddress;
    state_.isScanning = true;
    // A tick of an earlier scan that is still waiting on the bus sees this
    // and leaves the lists, scanId and the timer to this scan.
    ++scanRun_;

    SetEditText(DeviceIDEdit, QString());
    SetEditText(NewDeviceIDEdit, QString());
    GetMotorStatusCheckBox->setChecked(false);
    RefreshUiState(false);

    GetDeviceStatusTimer->setInterval(env_.timings.scanTickMs);
    GetDeviceStatusTimer->start();
}

void TMODBUSSettingForm::GetDeviceStatusTimerTimer()
{
    // A configuration transfer owns the bus: the scan or the poll pauses and
    // resumes at a later tick.
    if (state_.isBusy)
        return;
    // A handler that ran inside the waits of the running tick switched the
    // timer on again and it fired before that tick ended. Leaving it running
    // is the request; the running tick honours it when it ends.
    if (statusTickRunning_)
        return;

    GetDeviceStatusTimer->stop();
    const FlagScope scope(statusTickRunning_);
    const bool scanTick = state_.isScanning;
    const uint32_t run = scanRun_;
    const uint8_t address = scanTick ? state_.scanId : state_.controlDeviceId;

    SetActionText(QString::asprintf("GetStatus ID = %d", address));
    if (scanTick)
        SetProgress(address, kLastScanAddress);
    state_.lastResult = Result::NoError;
    RefreshUiState(true);

    uint16_t motion = 0;
    uint16_t flags = 0;
    // A device seen standing is noted at once, before the gap after the
    // read lets a motion command run.
    auto readStatus = [&] {
        const ResultCode result = registers_.ReadMotorStatus(address, motion, flags);
        if (result == Result::NoError)
            NoteMotionState(address, motion, flags);
        return result;
    };
    const ResultCode probe = TryOperation(state_.cmdTryCount, readStatus);
    if (probe == Result::PortError) {
        // The port is closed or gone: nothing more can be reached.
        state_.isScanning = false;
        SetProgress(0, 0);
        RefreshUiState(false);
        EndStatusTick(false);
        return;
    }
    if (probe != Result::NoError)
        RefreshUiState(false);

    if (!scanTick) {
        EndStatusTick(StatusPollTick(address, probe == Result::NoError, motion, flags));
        return;
    }
    if (!state_.isScanning || scanRun_ != run) {
        // "Stop Scan" (and perhaps "Scan Devices" again) while this probe
        // waited. The probed address is not the Control page's device, so
        // nothing more is read or shown for it; a new scan starts at 1.
        RefreshUiState(false);
        EndStatusTick(false);
        return;
    }

    // Listed even if "Stop Scan" comes during the model read, as a device
    // that answered its probe; but then the scan goes no further.
    const bool sameScan = probe != Result::NoError || AddProbedDevice(address, run);
    if (!sameScan || !state_.isScanning) {
        RefreshUiState(false);
        EndStatusTick(false);
        return;
    }

    // On to the next address, or the scan is over.
    ++state_.scanId;
    const bool more = state_.scanId <= kLastScanAddress;
    if (!more) {
        state_.isScanning = false;
        SetProgress(0, 0);
    }
    EndStatusTick(more);
    RefreshUiState(false);
}

bool TMODBUSSettingForm::AddProbedDevice(uint8_t address, uint32_t scanRun)
{
    MODBusDevicesListBox->addItem(QString::number(address));
    DelayWithMessages(kModelReadPauseMs);
    if (scanRun_ != scanRun)
        return false;

    uint32_t model = Model::None;
    uint16_t code = 0;
    if (TryOperation(state_.cmdTryCount, [&] { return registers_.ReadModel(address, code); },
                     {[this] { RefreshUiState(true); }, {}}) == Result::NoError)
        model = code;
    if (scanRun_ != scanRun)
        return false;
    // Listed also when the model could not be read, then as "unknow".
    AddBusDevice(address, model);
    RefreshUiState(false);
    return true;
}

void TMODBUSSettingForm::EndStatusTick(bool goOn)
{
    // The timer was switched off when the tick began, so if it runs now a
    // handler started it meanwhile (a motion command, a new scan).
    if (goOn || GetDeviceStatusTimer->isActive())
        GetDeviceStatusTimer->start(); // the next tick one interval from now
    else
        GetDeviceStatusTimer->stop();
}

void TMODBUSSettingForm::AddBusDevice(uint8_t address, uint32_t model)
{
    const int row = BusDevicesListView->rowCount();
    BusDevicesListView->insertRow(row);
    BusDevicesListView->setItem(row, 0, new QTableWidgetItem(QString::number(address)));
    const std::string_view name = Model::NameOf(model);
    auto *modelItem = new QTableWidgetItem(QString::fromLatin1(name.data(), static_cast<qsizetype>(name.size())));
    modelItem->setTextAlignment(Qt::AlignCenter);
    BusDevicesListView->setItem(row, 1, modelItem);
}

void TMODBUSSettingForm::BusDevicesListViewClick()
{
    const QModelIndexList rows = BusDevicesListView->selectionModel()->selectedRows();
    const QTableWidgetItem *caption = rows.isEmpty() ? nullptr : BusDevicesListView->item(rows.first().row(), 0);
    const QTableWidgetItem *modelName = rows.isEmpty() ? nullptr : BusDevicesListView->item(rows.first().row(), 1);
    const std::optional<long> number = caption ? ParseDecimal(caption->text().toStdString()) : std::nullopt;

    if (!number) {
        // No row, or a caption that is no address: nothing is selected.
        state_.selectedDeviceId = 0;
        state_.selectedModel = Model::None;
        SetEditText(DeviceIDEdit, QString());
        SetEditText(NewDeviceIDEdit, QString());
        RefreshUiState(false);
        return;
    }

    state_.selectedDeviceId = static_cast<uint8_t>(*number);
    state_.selectedModel = modelName ? ModelCodeFromName(modelName->text()) : Model::None;
    SetEditText(DeviceIDEdit, caption->text());
    // Its change handler finds the selected address itself and offers
    // nothing to apply until the operator types another one.
    SetEditText(NewDeviceIDEdit, caption->text());

    ShowModelInputs();

    if (!state_.isScanning) {
        // The selection is fixed for both reads: a row clicked during their
        // waits runs its own reads.
        const uint8_t address = state_.selectedDeviceId;
        const AttemptHooks refreshAfter{{}, [this] { RefreshUiState(false); }};

        uint16_t name = 0;
        auto read = [&](auto operation) { return TryOperation(kInfoReadTries, operation, refreshAfter); };
        const bool named = read([&] { return registers_.ReadName(address, name); }) == Result::NoError;
        if (named) {
            // Before the click is recorded: held against the unit the
            // records saw here last.
            CheckReplacedUnit(address, name, true);
            NoteMotorId(address, name);
        }
        // Another row clicked (or a scan started) during the waits has made
        // its own choice; this device's answers would only overwrite it.
        if (state_.selectedDeviceId != address)
            return;
        SetEditText(MotorIDEdit, named ? QString::asprintf("%04X", name) : QStringLiteral("????"));

        uint16_t firmware = 0;
        const bool versioned = read([&] { return registers_.ReadFwVersion(address, firmware); }) == Result::NoError;
        if (state_.selectedDeviceId != address)
            return;
        SetEditText(FwVerMajorEdit, versioned ? QString::asprintf("%02d", firmware >> 8) : QStringLiteral("00"));
        SetEditText(FwVerMinorEdit, versioned ? QString::asprintf("%02d", firmware & 0xFF) : QStringLiteral("00"));
        if (named)
            RecordDeviceSeen(address, versioned ? std::optional<uint16_t>(firmware) : std::nullopt);
    }
    RefreshUiState(false);
}

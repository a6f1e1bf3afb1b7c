// Service records from the window: what each workflow did to an actuator,
// stored in the record store under the actuator's motor ID.
//
// Recording never talks to the bus. Every event carries what its workflow
// read or wrote anyway, so the frames on the line are those of the workflow
// alone. An actuator is known by its motor ID, which the window reads when a
// row of the Bus Devices list is clicked; the addresses whose motor ID this
// connection has read are kept until the port closes. An event at an address
// whose motor ID is not known (a device picked on the Control page only,
// say) is not recorded: there is no actuator to file it under.
//
// Events are written by a thread of their own (records::EventWriter), so a
// records file that another program holds locked delays the records and
// never the window. What goes wrong with them stays in sight: a mark on the
// result panel whose tooltip says why, and a line in the Service history; a
// new problem is also said once in status panel 1 and on stderr. The
// workflows go on as without records.

#include <QDateTime>
#include <QFileInfo>
#include <QMetaObject>
#include <cstdio>

#include "config/ActuatorConfig.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "sidewindows/ServiceHistory.h"
#include "sidewindows/ServiceReport.h"
#include "modbus/Registers.h"
#include "modbus/ResultCode.h"

namespace {

constexpr int kActionPanel = 1;
constexpr int kResultPanel = 2;

// Events waiting at the close get this long to be written.
constexpr std::chrono::milliseconds kCloseTime{2000};

} // namespace

void TMODBUSSettingForm::OpenRecords()
{
    const std::string path = env_.recordsPath ? *env_.recordsPath : records::DefaultRecordsPath();
    if (path.empty())
        return; // recording turned off ("off" or an empty $LUMO_RECORDS)
    origin_.station = records::StationName();
    origin_.user = records::UserName();
    origin_.program = "lumo-tool";
    recordsPath_ = path;
    records_ = std::make_unique<records::EventWriter>(
        path, [this](const records::EventWriter::Status &status, const records::Event *written) {
            std::optional<records::Event> copy;
            if (written)
                copy = *written;
            // Queued to the window's thread; dropped if the window is gone.
            QMetaObject::invokeMethod(
                this, [this, status, copy] { RecordsChanged(status, copy ? &*copy : nullptr); },
                Qt::QueuedConnection);
        });
}

void TMODBUSSettingForm::CloseRecords()
{
    if (!records_)
        return;
    const size_t lost = records_->Close(kCloseTime);
    const records::EventWriter::Status status = records_->Current();
    if (lost > 0)
        std::fprintf(stderr, "lumo-tool: %zu service event%s could not be recorded in %s%s%s\n", lost,
                     lost == 1 ? "" : "s", recordsPath_.c_str(), status.problem.empty() ? "" : ": ",
                     status.problem.c_str());
}

bool TMODBUSSettingForm::RecordingOn() const
{
    return records_ && records_->Current().state != records::EventWriter::Status::State::Off;
}

records::RecordStore *TMODBUSSettingForm::HistoryStore(bool reopen)
{
    if (recordsPath_.empty())
        return nullptr;
    if (reopen || !historyStore_ || !historyStore_->IsOpen())
        historyStore_ = std::make_unique<records::RecordStore>(recordsPath_, records::Access::Read);
    return historyStore_.get();
}

void TMODBUSSettingForm::RecordsChanged(const records::EventWriter::Status &status, const records::Event *written)
{
    // A file set aside, or made by the first event: the history's
    // connection had the old one, or none.
    const bool replaced = status.setAside != recordsSetAside_;
    recordsSetAside_ = status.setAside;
    if (serviceHistory_) {
        if (replaced || (written && (!historyStore_ || !historyStore_->IsOpen())))
            serviceHistory_->SetStore(HistoryStore(true));
        else if (written)
            serviceHistory_->EventRecorded(*written);
    }
    ShowRecordsStatus(status);
}

void TMODBUSSettingForm::ShowRecordsStatus(const records::EventWriter::Status &status)
{
    using State = records::EventWriter::Status::State;
    std::string problem; // without the counts, which change at each event
    QString notice;
    if (status.state == State::Off) {
        problem = status.problem;
    } else if (!status.problem.empty()) {
        problem = "Service records: " + status.problem + ".";
        notice = QStringLiteral(" %1 event(s) wait and are tried again with the next one.").arg(status.waiting);
    }
    if (status.lost > 0)
        notice += QStringLiteral(" %1 event(s) could not be recorded.").arg(status.lost);
    if (!status.setAside.empty()) {
        if (!problem.empty())
            problem += ' ';
        problem += status.setAside;
    }
    notice = (QString::fromStdString(problem) + notice).trimmed();
    if (notice != recordsNotice_) {
        recordsNotice_ = notice;
        OptionStatusBar->SetPanelMark(kResultPanel, notice.isEmpty() ? QString() : QStringLiteral("\u26A0"), notice);
        if (serviceHistory_)
            serviceHistory_->SetRecordingNotice(notice);
    }
    if (!problem.empty() && problem != recordsProblemSaid_) {
        recordsProblemSaid_ = problem;
        std::fprintf(stderr, "lumo-tool: %s\n", problem.c_str());
        SetActionText(QString::fromStdString(problem));
        OptionStatusBar->SetPanelToolTip(kActionPanel, QString::fromStdString(problem));
    }
}

std::optional<uint16_t> TMODBUSSettingForm::MotorIdAt(uint8_t address) const
{
    const auto found = motorIds_.find(address);
    if (found == motorIds_.end())
        return std::nullopt;
    return found->second;
}

void TMODBUSSettingForm::NoteMotorId(uint8_t address, uint16_t motorId)
{
    const auto previous = motorIds_.find(address);
    if (previous != motorIds_.end() && previous->second != motorId) {
        // Another actuator answers at this address now: what was pending
        // belongs to the one before.
        FlushMotion(address);
        lastPosition_.erase(address);
    }
    motorIds_[address] = motorId;
    if (serviceHistory_ && serviceHistory_->isVisible() && address == state_.selectedDeviceId)
        serviceHistory_->ShowMotor(motorId);
}

void TMODBUSSettingForm::ForgetMotorId(uint8_t address)
{
    FlushMotion(address);
    motorIds_.erase(address);
    seenDevices_.erase(address);
    lastPosition_.erase(address);
}

void TMODBUSSettingForm::ForgetMotorIds()
{
    FlushAllMotion();
    motorIds_.clear();
    seenDevices_.clear();
    lastPosition_.clear();
    replacedOffered_.clear();
    pendingReplaced_.reset();
}

void TMODBUSSettingForm::Record(uint8_t address, records::Event event)
{
    if (!RecordingOn())
        return;
    const std::optional<uint16_t> motorId = MotorIdAt(address);
    if (!motorId)
        return;
    event.motorId = *motorId;
    event.address = address;
    event.origin = origin_;
    event.origin.port = state_.portName;
    if (event.timeMs == 0)
        event.timeMs = QDateTime::currentMSecsSinceEpoch();
    // Listed in the Service history once written (RecordsChanged).
    if (!records_->Add(std::move(event)))
        ShowRecordsStatus(records_->Current());
}

void TMODBUSSettingForm::RecordDeviceSeen(uint8_t address, std::optional<uint16_t> firmware)
{
    // Once per connection, unless what the device tells changes: clicking
    // its row again (or learning selecting it again) sees nothing new.
    const std::optional<uint16_t> motorId = MotorIdAt(address);
    if (!motorId)
        return;
    const SeenDevice seen{*motorId, firmware, state_.selectedModel};
    const auto previous = seenDevices_.find(address);
    if (previous != seenDevices_.end() && previous->second == seen)
        return;
    seenDevices_[address] = seen;
    records::Event event;
    event.kind = records::EventKind::DeviceSeen;
    if (state_.selectedModel <= Model::LumoB)
        event.model = static_cast<uint16_t>(state_.selectedModel);
    event.firmware = firmware;
    Record(address, std::move(event));
}

void TMODBUSSettingForm::RecordConfigRead(uint8_t address, const ActuatorConfig &values, const char *detail)
{
    const std::optional<uint16_t> motorId = MotorIdAt(address);
    if (!motorId)
        return;
    records::Event event;
    event.kind = records::EventKind::ConfigRead;
    event.config = values;
    event.config->motorId = *motorId;
    if (address == state_.selectedDeviceId && state_.selectedModel <= Model::LumoB)
        event.model = static_cast<uint16_t>(state_.selectedModel);
    event.detail = detail;
    lastReadConfig_[*motorId] = *event.config;
    Record(address, std::move(event));
}

void TMODBUSSettingForm::RecordConfigWrite(uint8_t address, const ActuatorConfig &written, ResultCode result,
                                           std::vector<records::RegisterResult> results, std::string detail)
{
    const std::optional<uint16_t> motorId = MotorIdAt(address);
    if (!motorId || !RecordingOn())
        return;
    records::Event event;
    event.kind = records::EventKind::ConfigWrite;
    event.result = result;
    // Before: the last configuration this window read from the device (or
    // wrote to it), else the newest one on record from any program, which
    // the records' thread reads when it writes the event.
    const auto known = lastReadConfig_.find(*motorId);
    if (known != lastReadConfig_.end())
        event.before = known->second;
    // After: what was sent. A write never sends PosOffset; the device keeps
    // its own, so the after keeps the before's.
    ActuatorConfig after = written;
    after.motorId = *motorId;
    if (event.before)
        after.PosOffset = event.before->PosOffset;
    event.config = after;
    if (address == state_.selectedDeviceId && state_.selectedModel <= Model::LumoB)
        event.model = static_cast<uint16_t>(state_.selectedModel);

    // What the device holds now: the registers that were written (or, after
    // a failure, read back as taken) took the new values, the others kept
    // theirs.
    if (result == Result::NoError) {
        lastReadConfig_[*motorId] = after;
    } else if (event.before) {
        ActuatorConfig now = *event.before;
        for (const records::RegisterResult &r : results) {
            if (r.code != Result::NoError)
                continue;
            for (const servicereport::ConfigWord &w : servicereport::ConfigWords())
                if (r.name == w.name)
                    now.*w.word = after.*w.word;
        }
        lastReadConfig_[*motorId] = now;
    }
    event.registers = std::move(results);
    event.detail = std::move(detail);
    Record(address, std::move(event));
}

void TMODBUSSettingForm::RecordAddressChange(uint8_t from, uint8_t to, ResultCode result, const char *detail)
{
    records::Event event;
    event.kind = records::EventKind::AddressChange;
    event.newAddress = to;
    event.result = result;
    event.detail = detail;
    Record(from, std::move(event));
    if (result != Result::NoError)
        return;
    // The actuator answers at its new address from now on.
    FlushMotion(from);
    const std::optional<uint16_t> motorId = MotorIdAt(from);
    motorIds_.erase(from);
    seenDevices_.erase(from);
    lastPosition_.erase(from);
    if (motorId)
        NoteMotorId(to, *motorId);
}

void TMODBUSSettingForm::RecordLearning(uint8_t address, std::optional<uint16_t> stroke, ResultCode result,
                                        const char *detail)
{
    records::Event event;
    event.kind = records::EventKind::Learning;
    event.stroke = stroke;
    event.result = result;
    event.detail = detail;
    Record(address, std::move(event));
}

void TMODBUSSettingForm::RecordConfigFile(records::EventKind kind, const QString &path, const ActuatorConfig &values)
{
    records::Event event;
    event.kind = kind;
    event.file = QFileInfo(path).absoluteFilePath().toStdString();
    event.config = values;
    Record(state_.selectedDeviceId, std::move(event));
}

void TMODBUSSettingForm::RecordMotion(uint8_t address, const std::string &action, ResultCode result)
{
    // A new command ends the summary of the one before.
    FlushMotion(address);
    if (!MotorIdAt(address))
        return;
    records::Event event;
    event.kind = records::EventKind::Motion;
    event.action = action;
    event.result = result;
    const auto position = lastPosition_.find(address);
    if (position != lastPosition_.end())
        event.position = position->second;
    event.timeMs = QDateTime::currentMSecsSinceEpoch();
    // A move that went out is followed by the status poll: its summary
    // waits for where the actuator ends up.
    const bool moves = result == Result::NoError && action != "stop";
    if (moves)
        pendingMotion_[address] = std::move(event);
    else
        Record(address, std::move(event));
}

void TMODBUSSettingForm::NotePosition(uint8_t address, uint16_t position)
{
    lastPosition_[address] = position;
    const auto pending = pendingMotion_.find(address);
    if (pending != pendingMotion_.end())
        pending->second.position = position;
}

void TMODBUSSettingForm::FlushMotion(uint8_t address)
{
    const auto pending = pendingMotion_.find(address);
    if (pending == pendingMotion_.end())
        return;
    records::Event event = std::move(pending->second);
    pendingMotion_.erase(pending);
    Record(address, std::move(event));
}

void TMODBUSSettingForm::FlushAllMotion()
{
    while (!pendingMotion_.empty())
        FlushMotion(pendingMotion_.begin()->first);
}

void TMODBUSSettingForm::NoteCycleStep(uint32_t run, uint8_t address, uint32_t step, ResultCode result)
{
    // A "start" clicked while this step's command was on the bus began a
    // new run; the step belonged to the one it ended.
    if (run != cycleRecord_.run)
        return;
    if (!cycleRecord_.active) {
        cycleRecord_.active = true;
        cycleRecord_.address = address;
        cycleRecord_.steps = 0;
        cycleRecord_.sent = 0;
        cycleRecord_.firstError.reset();
        cycleRecord_.firstErrorStep = 0;
    }
    ++cycleRecord_.sent;
    if (result == Result::NoError) {
        ++cycleRecord_.steps;
    } else if (!cycleRecord_.firstError) {
        cycleRecord_.firstError = result;
        cycleRecord_.firstErrorStep = step;
    }
}

void TMODBUSSettingForm::EndCycleRecord()
{
    ++cycleRecord_.run;
    if (!cycleRecord_.active)
        return;
    cycleRecord_.active = false;
    records::Event event;
    event.kind = records::EventKind::CycleTest;
    event.steps = cycleRecord_.steps;
    event.result = cycleRecord_.firstError.value_or(Result::NoError);
    static constexpr const char *kStepNames[] = {"up", "stop", "down", "stop"};
    if (cycleRecord_.firstError && cycleRecord_.firstErrorStep >= 1 && cycleRecord_.firstErrorStep <= 4)
        event.detail = "first error at step " + std::to_string(cycleRecord_.firstErrorStep) + " (" +
                       kStepNames[cycleRecord_.firstErrorStep - 1] + "), " + std::to_string(cycleRecord_.sent) +
                       " commands sent";
    Record(cycleRecord_.address, std::move(event));
}

void TMODBUSSettingForm::ForgetConnectionRecords()
{
    EndCycleRecord();
    FlushAllMotion();
    motorIds_.clear();
    seenDevices_.clear();
    lastPosition_.clear();
}

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
// A store that cannot be opened or written is said once, in status panel 1
// and on stderr; the workflows go on as without records.

#include <QDateTime>
#include <QFileInfo>
#include <cstdio>

#include "config/ActuatorConfig.h"
#include "console/Controls.h"
#include "console/Modbussetting.h"
#include "console/ServiceHistory.h"
#include "console/ServiceReport.h"
#include "modbus/Registers.h"
#include "modbus/ResultCode.h"

namespace {

constexpr int kActionPanel = 1;

} // namespace

void TMODBUSSettingForm::OpenRecords()
{
    const std::string path = env_.recordsPath ? *env_.recordsPath : records::DefaultRecordsPath();
    if (path.empty())
        return; // recording turned off ("off" or an empty $LUMO_RECORDS)
    origin_.station = records::StationName();
    origin_.user = records::UserName();
    origin_.program = "lumo-tool";
    records_ = std::make_unique<records::RecordStore>(path);
    ReportRecordsProblem();
}

void TMODBUSSettingForm::ReportRecordsProblem()
{
    if (!records_ || recordsProblemShown_)
        return;
    const std::string &problem = records_->Problem().empty() ? records_->SetAside() : records_->Problem();
    if (problem.empty())
        return;
    recordsProblemShown_ = true;
    std::fprintf(stderr, "lumo-tool: %s\n", problem.c_str());
    const QString text = QString::fromStdString(problem);
    SetActionText(text);
    OptionStatusBar->SetPanelToolTip(kActionPanel, text);
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
}

void TMODBUSSettingForm::Record(uint8_t address, records::Event event)
{
    if (!records_ || !records_->IsOpen())
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
    event.id = records_->Add(event);
    if (event.id == 0) {
        ReportRecordsProblem();
        return;
    }
    if (serviceHistory_)
        serviceHistory_->EventRecorded(event);
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
                                           std::vector<records::RegisterResult> results)
{
    const std::optional<uint16_t> motorId = MotorIdAt(address);
    if (!motorId || !records_ || !records_->IsOpen())
        return;
    records::Event event;
    event.kind = records::EventKind::ConfigWrite;
    event.result = result;
    // Before: the last configuration this window read from the device (or
    // wrote to it), else the newest one on record from any program.
    const auto known = lastReadConfig_.find(*motorId);
    if (known != lastReadConfig_.end())
        event.before = known->second;
    else
        event.before = records_->LastKnownConfig(*motorId);
    // After: what was sent. A write never sends PosOffset; the device keeps
    // its own, so the after keeps the before's.
    ActuatorConfig after = written;
    after.motorId = *motorId;
    if (event.before)
        after.PosOffset = event.before->PosOffset;
    event.config = after;
    if (address == state_.selectedDeviceId && state_.selectedModel <= Model::LumoB)
        event.model = static_cast<uint16_t>(state_.selectedModel);

    // What the device holds now: the registers that were written took the
    // new values, the others (after a failure) kept theirs.
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

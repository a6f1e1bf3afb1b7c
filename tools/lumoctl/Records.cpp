#include "Records.h"

#include "BusSession.h"
#include "Commands.h"

Recorder *PortOptions::Recording() const
{
    return records != nullptr && records->On() ? records : nullptr;
}

Recorder::Recorder(std::string path, Output &out) : path_(std::move(path)), out_(out) {}

Recorder::~Recorder() = default;

bool Recorder::On() const
{
    return !path_.empty() && !failed_;
}

// Opened at the first event, so a command that records nothing (or fails
// before it has done anything) never touches the file.
records::RecordStore *Recorder::Store()
{
    if (!On())
        return nullptr;
    if (!store_) {
        store_ = std::make_unique<records::RecordStore>(path_);
        if (!store_->SetAside().empty())
            out_.Note(store_->SetAside());
    }
    if (!store_->IsOpen()) {
        SayProblem();
        return nullptr;
    }
    return store_.get();
}

void Recorder::SayProblem()
{
    if (failed_)
        return;
    failed_ = true;
    out_.Note(store_->Problem());
}

void Recorder::SayWriteProblem()
{
    // One command's events are few and it ends soon: after one that could
    // not be written the rest are not tried, and the note says so once.
    if (failed_)
        return;
    failed_ = true;
    out_.Note("Service records: " + store_->WriteProblem() + "; this command's events are not recorded.");
}

std::optional<uint16_t> Recorder::MotorId(BusSession &bus, uint8_t address, ResultCode outcome)
{
    // The store first: one that cannot keep the event is not worth a read.
    if (outcome == Result::PortError || Store() == nullptr)
        return std::nullopt;
    uint16_t name = 0;
    const ResultCode code = outcome == Result::NoError
                                ? bus.Attempt([&] { return bus.registers().ReadName(address, name); })
                                : bus.registers().ReadName(address, name);
    if (code == Result::NoError)
        return name;
    if (outcome == Result::NoError)
        out_.Note("not recorded: the motor ID of device " + std::to_string(address) +
                  " could not be read: " + CodeText(bus.ErrorOf(code)));
    return std::nullopt;
}

std::optional<ActuatorConfig> Recorder::LastKnownConfig(uint16_t motorId)
{
    records::RecordStore *store = Store();
    return store != nullptr ? store->LastKnownConfig(motorId) : std::nullopt;
}

std::vector<records::Event> Recorder::History(const records::HistoryQuery &query)
{
    records::RecordStore *store = Store();
    return store != nullptr ? store->History(query) : std::vector<records::Event>{};
}

records::Event Recorder::NewEvent(records::EventKind kind, uint16_t motorId, uint8_t address,
                                  const BusSession &bus) const
{
    records::Event event;
    event.kind = kind;
    event.motorId = motorId;
    event.address = address;
    event.origin.station = records::StationName();
    event.origin.user = records::UserName();
    event.origin.program = "lumoctl";
    event.origin.port = bus.portName();
    return event;
}

void Recorder::Add(const records::Event &event)
{
    records::RecordStore *store = Store();
    if (store != nullptr && store->Add(event) == 0)
        SayWriteProblem();
}

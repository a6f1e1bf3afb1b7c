#pragma once
// Service records for lumoctl: every command that changes a device, and the
// reads that tell what a device holds, leave an event in the station's
// record store, keyed by the actuator's motor ID.
//
// Recording stays out of the way: a store that cannot be opened or written
// is said once on stderr (and in the document's notes) and the command goes
// on with its own result. The only traffic it adds is one read of the
// motor ID (register 0x0010) where a command has not read it itself, and
// only while recording is on.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Output.h"
#include "records/RecordStore.h"

class BusSession;

class Recorder {
public:
    // `path` empty: recording is off.
    Recorder(std::string path, Output &out);
    ~Recorder();
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // True while events are kept: a path was given and the store has not
    // failed.
    bool On() const;

    // The motor ID of the device at `address`, read for the records after
    // the command's own traffic, whose result is `outcome`: with the
    // attempt loop after a success, one attempt after a failure (the
    // device may well be gone), none after a lost port. Nothing, and no
    // traffic, when recording is off or the store cannot be opened. When
    // the read fails after a success, a note says that the event is not
    // recorded.
    std::optional<uint16_t> MotorId(BusSession &bus, uint8_t address, ResultCode outcome = Result::NoError);

    // The values a write changes from: the motor's last known configuration.
    std::optional<ActuatorConfig> LastKnownConfig(uint16_t motorId);
    // The events matching `query`, newest first; none when recording is off.
    std::vector<records::Event> History(const records::HistoryQuery &query);

    // An event of this station, user and program, on the bus's port.
    records::Event NewEvent(records::EventKind kind, uint16_t motorId, uint8_t address,
                            const BusSession &bus) const;
    void Add(const records::Event &event);

private:
    records::RecordStore *Store();
    void SayProblem();
    void SayWriteProblem();

    std::string path_;
    Output &out_;
    std::unique_ptr<records::RecordStore> store_;
    bool failed_ = false;
};

// "history": the events of one motor, or at one address, newest first.
void RunHistory(Output &out, const std::string &recordsPath, const std::string &motorIdText,
                const std::string &addressText);

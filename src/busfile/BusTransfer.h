#pragma once
// Reading one device whole and giving it a saved configuration back, for
// every program that works on a whole bus (lumoctl's backup, diff and
// restore, the window's Bus backup). The caller brings its own attempt
// loop and pauses; what happens on the bus is the same for both.

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "BusFile.h"
#include "modbus/RegisterOps.h"
#include "modbus/RtuEngine.h"
#include "records/RecordStore.h"

namespace busfile {

// Runs one bus operation with the caller's attempt loop and returns the
// last attempt's code.
using Attempt = std::function<ResultCode(const std::function<ResultCode()> &operation)>;

// A step that did not succeed: "reading the motor ID of device 5", its
// code, and the exception the device sent when it refused.
struct StepFailure {
    std::string step;
    ResultCode code = Result::NoError;
    uint8_t exception = 0;
};

// The ten configuration words from the 14 registers 0x001F..0x002C.
ActuatorConfig ConfigOfBlock(const uint16_t *words);

// The configuration in one block read: all ten words come from one moment,
// and one transaction costs a tenth of ten.
std::optional<StepFailure> ReadConfigBlock(RtuEngine &engine, const Attempt &read, uint8_t address,
                                           ActuatorConfig &config);

// A device's identity and configuration in three reads: firmware and model
// (input registers 0x0045..0x0046), the motor ID, the configuration block.
std::optional<StepFailure> ReadDevice(RtuEngine &engine, const Attempt &read, uint8_t address, Device &device);

// How giving one device a configuration ended.
struct DeviceRestore {
    // "restored", "partly restored", "failed", "not verified", "verify failed"
    std::string result;
    std::vector<records::RegisterResult> written;
    std::vector<std::string> kept;         // registers left as the device has them, by rule
    std::vector<RegisterDiff> mismatches;  // after the read-back: wanted -> device
    std::optional<ActuatorConfig> readBack;
    std::optional<StepFailure> failure;    // the write or read that failed
    bool portLost = false;                 // the failure was the port going away
    bool restored() const { return result == "restored"; }
};

struct RestoreOptions {
    // A new rate takes the device off the bus at its next power-up: written
    // only when asked for.
    bool withBaud = false;
    // False when another unit takes an old unit's place: its PosOffset is
    // its own, not a setting the old unit's could stand for.
    bool sameUnit = true;
    // Told, in words, that the rate was kept (baudKept) or what a written
    // rate will do.
    std::function<void(const std::string &text, bool baudKept)> note;
    // Runs before the read-back (the caller drains a late reply there).
    std::function<void()> beforeReadBack;
};

// Writes the registers of `target` that differ from `current`, one by one
// in the order the configuration write sends them, then reads the
// configuration back. "restored" only when every register written reads
// back as wanted and none was kept; a failed register ends the writes (the
// ones before it keep their new values). A lost port ends everything at
// once with portLost set.
DeviceRestore RestoreDevice(ActuatorRegisters &registers, RtuEngine &engine, const Attempt &write,
                            const Attempt &read, uint8_t address, const ActuatorConfig &target,
                            const ActuatorConfig &current, const RestoreOptions &options);

} // namespace busfile

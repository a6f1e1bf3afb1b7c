#include "BusTransfer.h"

#include <algorithm>

#include "modbus/Registers.h"

namespace busfile {

namespace {

std::string DeviceName(uint8_t address)
{
    return "device " + std::to_string(address);
}

std::optional<StepFailure> Step(RtuEngine &engine, const Attempt &attempt, const std::string &what,
                                const std::function<ResultCode()> &operation)
{
    const ResultCode code = attempt(operation);
    if (code == Result::NoError)
        return std::nullopt;
    return StepFailure{what, code, code == Result::ExceptionReply ? engine.LastExceptionCode() : uint8_t{0}};
}

// The typed write of each register a restore may send, in the order the
// configuration write sends them.
struct Writable {
    const char *name;
    uint16_t ActuatorConfig::*member;
    ResultCode (ActuatorRegisters::*write)(uint8_t, uint16_t);
};
constexpr Writable kWritable[] = {
    {"MaxPos", &ActuatorConfig::MaxPos, &ActuatorRegisters::WriteMaxPos},
    {"RearLimit", &ActuatorConfig::RearLimit, &ActuatorRegisters::WriteRearLimit},
    {"FrontLimit", &ActuatorConfig::FrontLimit, &ActuatorRegisters::WriteFrontLimit},
    {"CurrentLimit", &ActuatorConfig::CurrentLimit, &ActuatorRegisters::WriteCurrentLimit},
    {"SpeedPwm", &ActuatorConfig::SpeedPwm, &ActuatorRegisters::WriteSpeedPwm},
    {"SettingFlag", &ActuatorConfig::SettingFlag, &ActuatorRegisters::WriteSettingFlag},
    {"HallPotSelect", &ActuatorConfig::HallPotSelect, &ActuatorRegisters::WriteHallPotSelect},
    {"BaudRate", &ActuatorConfig::BaudRate, &ActuatorRegisters::WriteBaudRate},
    {"VoltageOut", &ActuatorConfig::VoltageOut, &ActuatorRegisters::WriteVoltageOut},
};

} // namespace

ActuatorConfig ConfigOfBlock(const uint16_t *w)
{
    ActuatorConfig c;
    c.MaxPos = w[1];
    c.RearLimit = w[2];
    c.FrontLimit = w[3];
    c.CurrentLimit = w[4];
    c.SpeedPwm = w[5];
    c.SettingFlag = w[8];
    c.VoltageOut = w[9];
    c.PosOffset = w[10];
    c.HallPotSelect = w[12];
    c.BaudRate = w[13];
    return c;
}

std::optional<StepFailure> ReadConfigBlock(RtuEngine &engine, const Attempt &read, uint8_t address,
                                           ActuatorConfig &config)
{
    uint16_t words[Reg::BlockCount] = {};
    auto failed = Step(engine, read, "reading the configuration of " + DeviceName(address), [&] {
        return engine.ReadRegisters(Fc::ReadHolding, address, Reg::BlockStart, Reg::BlockCount, words);
    });
    if (!failed)
        config = ConfigOfBlock(words);
    return failed;
}

std::optional<StepFailure> ReadDevice(RtuEngine &engine, const Attempt &read, uint8_t address, Device &d)
{
    d = Device{};
    d.address = address;
    uint16_t identity[2] = {};
    if (auto failed = Step(engine, read, "reading the firmware version and model of " + DeviceName(address), [&] {
            return engine.ReadRegisters(Fc::ReadInput, address, Reg::FwVersion, 2, identity);
        }))
        return failed;
    d.firmware = identity[0];
    d.model = identity[1];
    // Through the checked read: its reply must carry exactly one word, so a
    // late reply to the two-word identity read or to the probe can never
    // pass for the motor ID (two units would then seem to share one).
    if (auto failed = Step(engine, read, "reading the motor ID of " + DeviceName(address), [&] {
            return engine.ReadRegisters(Fc::ReadHolding, address, Reg::Name, 1, &d.motorId);
        }))
        return failed;
    return ReadConfigBlock(engine, read, address, d.config);
}

DeviceRestore RestoreDevice(ActuatorRegisters &registers, RtuEngine &engine, const Attempt &write,
                            const Attempt &read, uint8_t address, const ActuatorConfig &target,
                            const ActuatorConfig &current, const RestoreOptions &options)
{
    const auto note = [&](const std::string &text, bool baudKept) {
        if (options.note)
            options.note(text, baudKept);
    };
    DeviceRestore r;
    for (const Writable &w : kWritable) {
        const uint16_t want = target.*w.member;
        if (want == current.*w.member)
            continue;
        if (w.member == &ActuatorConfig::BaudRate) {
            if (!options.withBaud) {
                r.kept.push_back(w.name);
                note(DeviceName(address) + ": BaudRate kept at " + std::to_string(current.BaudRate) +
                     " (the file has " + std::to_string(want) + ")",
                     true);
                continue;
            }
            note(DeviceName(address) + ": BaudRate written as " + std::to_string(want) +
                 "; from its next power-up the device talks at " + std::to_string(Reg::BaudRateOf(want)) +
                 " baud and no longer answers at this rate",
                 false);
        }
        auto failed = Step(engine, write, "writing " + std::string(w.name) + " to " + DeviceName(address),
                           [&] { return (registers.*w.write)(address, want); });
        r.written.push_back({w.name, failed ? failed->code : Result::NoError});
        if (failed) {
            r.result = "failed";
            r.portLost = failed->code == Result::PortError;
            r.failure = std::move(failed);
            return r;
        }
    }
    if (options.sameUnit && current.PosOffset != target.PosOffset)
        r.kept.push_back("PosOffset");
    if (options.beforeReadBack)
        options.beforeReadBack();
    ActuatorConfig back;
    if (auto failed = ReadConfigBlock(engine, read, address, back)) {
        failed->step = "reading back the configuration of " + DeviceName(address);
        r.result = "not verified";
        r.portLost = failed->code == Result::PortError;
        r.failure = std::move(failed);
        return r;
    }
    r.readBack = back;
    for (const Writable &w : kWritable) {
        const bool keptByRule = std::find(r.kept.begin(), r.kept.end(), std::string(w.name)) != r.kept.end();
        if (!keptByRule && back.*w.member != target.*w.member)
            r.mismatches.push_back({w.name, target.*w.member, back.*w.member});
    }
    if (!r.mismatches.empty()) {
        r.result = "verify failed";
        return r;
    }
    // Read back as written; a register kept by rule still differs from
    // the file, and then the device is not "restored".
    r.result = r.kept.empty() ? "restored" : "partly restored";
    return r;
}

} // namespace busfile

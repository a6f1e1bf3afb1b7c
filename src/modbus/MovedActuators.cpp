#include "modbus/MovedActuators.h"

#include <algorithm>

#include "modbus/Registers.h"

bool MovedActuators::SetsMoving(uint16_t reg, uint16_t value)
{
    if (reg == Reg::GoToPos)
        return true;
    if (reg != Reg::ActionCmdIn)
        return false;
    return value == Cmd::Up || value == Cmd::Down || value == Cmd::Learn || value == Cmd::GoToPos;
}

void MovedActuators::NoteWrite(uint8_t address, uint16_t reg, uint16_t value, ResultCode result, uint32_t baud,
                               bool heard)
{
    if (SetsMoving(reg, value)) {
        if (result == Result::NoError || heard)
            listed_[address] = baud;
        return;
    }
    // Only an acknowledged stop tells that the device stands. A broadcast
    // stop is never answered: its success means it went out whole, which
    // ends the broadcast move but confirms nothing about any one device.
    if (reg == Reg::ActionCmdIn && value == Cmd::Stop && result == Result::NoError)
        listed_.erase(address);
}

void MovedActuators::NoteCommand(uint8_t address, uint16_t command, ResultCode result, uint32_t baud, bool heard)
{
    NoteWrite(address, Reg::ActionCmdIn, command, result, baud, heard);
}

void MovedActuators::NoteStatus(uint8_t address, uint16_t motion, uint16_t flags)
{
    // A learning actuator may pause between its two runs: only the flag
    // dropping says learning is over.
    if (motion == Motion::Stopped && (flags & Flag::Learning) == 0)
        listed_.erase(address);
}

std::vector<MovedActuators::Entry> MovedActuators::Entries() const
{
    // std::map keeps the addresses in order, and the broadcast (0) first.
    std::vector<Entry> out;
    out.reserve(listed_.size());
    for (const auto &[address, baud] : listed_)
        out.push_back({address, baud});
    return out;
}

std::string MovedActuators::Names() const
{
    if (listed_.empty())
        return {};
    if (listed_.count(0) != 0)
        return "all devices";
    std::vector<std::string> numbers;
    for (const auto &entry : listed_)
        numbers.push_back(std::to_string(entry.first));
    if (numbers.size() == 1)
        return "device " + numbers.front();
    std::string text = "devices ";
    for (size_t i = 0; i < numbers.size(); ++i) {
        if (i > 0)
            text += i + 1 == numbers.size() ? " and " : ", ";
        text += numbers[i];
    }
    return text;
}

std::string MovedActuators::MovingRefusal() const
{
    if (listed_.empty())
        return {};
    const bool one = listed_.size() == 1 && listed_.count(0) == 0;
    return Names() + (one ? " is moving: stop it first (Esc)" : " are moving: stop them first (Esc)");
}

MovedActuators::StopRun MovedActuators::StopAll(const StopLine &line, int32_t tries, uint32_t connectedBaud,
                                                const std::vector<uint8_t> &alsoStop)
{
    StopRun run;
    if (stopping_)
        return run;
    stopping_ = true;
    run.ran = true;

    // The targets are fixed at the start: a handler that runs in a gap may
    // change the list, but what this run set out to stop, it stops. What
    // is known to move goes first; a device only asked for after it, so an
    // unanswered stop to a standing device delays no moving one.
    std::vector<Entry> targets = Entries();
    for (const uint8_t address : alsoStop) {
        const bool listed = std::any_of(targets.begin(), targets.end(),
                                        [address](const Entry &e) { return e.address == address; });
        if (!listed)
            targets.push_back({address, connectedBaud});
    }
    std::vector<uint32_t> rates;
    for (const Entry &target : targets)
        if (std::find(rates.begin(), rates.end(), target.baud) == rates.end())
            rates.push_back(target.baud);
    // The connected rate first: it needs no change of the port.
    std::stable_partition(rates.begin(), rates.end(), [&](uint32_t b) { return b == connectedBaud; });

    const int32_t attempts = std::max<int32_t>(tries, 1);
    for (const uint32_t baud : rates) {
        const bool atRate = !line.useRate || line.useRate(baud);
        for (const Entry &target : targets) {
            if (target.baud != baud)
                continue;
            const uint8_t address = target.address;
            ResultCode result = Result::PortError;
            for (int32_t made = 0; atRate && made < attempts; ++made) {
                result = line.sendStop(address);
                NoteCommand(address, Cmd::Stop, result, baud);
                if (line.afterAttempt)
                    line.afterAttempt(address, result);
                if (result == Result::NoError)
                    break;
            }
            if (result == Result::NoError) {
                run.stopped.push_back(address);
            } else {
                run.failed.push_back(address);
                run.lastFailure = result;
                // One that was only in alsoStop may be moving too: from now
                // on it is listed, so it is not left moving silently.
                listed_.emplace(address, baud);
            }
        }
    }
    stopping_ = false;
    return run;
}

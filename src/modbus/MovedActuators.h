#pragma once
// The one owner of what this tool has set moving.
//
// Every path that can set an actuator moving (the Control page's up, down and
// go-to, a cycle-test step, stroke learning, a raw write on the Debug page, a
// write to all devices at once) tells this list; every path that stops
// actuators (Esc, Disconnect, closing the window, a port that vanishes while
// still open, the offer after an unplug) stops them through StopAll and
// nothing else. So no workflow keeps a copy of "what is moving", and a stop
// reaches the actuator that moved whichever workflow moved it.
//
// A device is listed with the baud rate it was reached at. It leaves the
// list only when a stop to it was acknowledged, or when a status read shows
// it at rest and not learning. A stop that fails keeps it listed. A move sent
// to all devices (address 0) is listed as 0; a broadcast is never answered,
// so that entry leaves when a broadcast stop has been sent whole.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "modbus/ResultCode.h"

class MovedActuators {
public:
    struct Entry {
        uint8_t address = 0; // 0: a move sent to all devices
        uint32_t baud = 0;   // the rate the move went out at
        bool operator==(const Entry &) const = default;
    };

    // True when a write of `value` to holding register `reg` can set an
    // actuator moving: ActionCmdIn with up (1), down (2), learn (4) or go
    // to position (5), or any write to GoToPos, which some firmware takes
    // as the go-to itself.
    static bool SetsMoving(uint16_t reg, uint16_t value);

    // A write of `value` to `reg` at `address`, sent at `baud`, that ended
    // with `result`. A move lists the device when it was acknowledged, or
    // when it failed after something was heard from the line (`heard`): a
    // reply lost or garbled on the way back does not mean the device did
    // not act. An acknowledged stop takes it off. Other writes change
    // nothing.
    void NoteWrite(uint8_t address, uint16_t reg, uint16_t value, ResultCode result, uint32_t baud,
                   bool heard = false);
    void NoteCommand(uint8_t address, uint16_t command, ResultCode result, uint32_t baud, bool heard = false);
    // A successful status read: at rest (motion 0) and not learning (flag
    // 0x40 clear) takes the device off.
    void NoteStatus(uint8_t address, uint16_t motion, uint16_t flags);

    bool Empty() const { return listed_.empty(); }
    bool Contains(uint8_t address) const { return listed_.count(address) != 0; }
    // The broadcast entry first, then by address.
    std::vector<Entry> Entries() const;
    // "device 1", "devices 1 and 2", "devices 1, 2 and 5"; a move to all
    // devices is "all devices". Empty when nothing is listed.
    std::string Names() const;
    // Why a workflow that takes the port over (the bus doctor, a change of
    // the port's rate) must not start now; empty when nothing is listed.
    // "device 1 is moving: stop it first (Esc)".
    std::string MovingRefusal() const;

    // The port the listed addresses belong to. Kept when a port vanishes
    // with devices still listed, so that the next connection to it can
    // offer to stop them.
    const std::string &Port() const { return port_; }
    void SetPort(const std::string &port) { port_ = port; }
    void Clear() { listed_.clear(); }

    // What StopAll needs of the line.
    struct StopLine {
        // Puts the port at `baud`; false when it cannot (then nothing is
        // sent to the devices reached at that rate, and they stay listed).
        std::function<bool(uint32_t baud)> useRate;
        // One stop command to `address` (0: to all devices).
        std::function<ResultCode(uint8_t address)> sendStop;
        // After each attempt: the gap before the next one.
        std::function<void(uint8_t address, ResultCode result)> afterAttempt;
    };
    struct StopRun {
        bool ran = false;              // false: another run was under way
        std::vector<uint8_t> stopped;  // acknowledged (0: the broadcast went out)
        std::vector<uint8_t> failed;   // every attempt failed; still listed
        ResultCode lastFailure = Result::NoError;
    };
    // Stops every listed device, and `alsoStop` (devices that may be moving
    // though this list does not know it), each with up to `tries` attempts:
    // the broadcast first, so a move to all devices ends at once; then each
    // device by address, whose own answer confirms its stop, which a
    // broadcast never does. Devices are grouped by the rate they were
    // reached at; `connectedBaud` is the rate for `alsoStop`. A call made
    // while a run is under way (from a handler in one of its gaps) sends
    // nothing and returns with ran false: one stop run, not two.
    StopRun StopAll(const StopLine &line, int32_t tries, uint32_t connectedBaud,
                    const std::vector<uint8_t> &alsoStop = {});
    bool Stopping() const { return stopping_; }

private:
    std::map<uint8_t, uint32_t> listed_; // address -> baud
    std::string port_;
    bool stopping_ = false;
};

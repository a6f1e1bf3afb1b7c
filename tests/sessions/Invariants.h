#pragma once
// The rules a session is held to, each checked against the bus's truth
// (what the devices really did), never against what the tool says of itself.
// Plain C++ over lumosim::BusTruth, so that the same checks judge the real
// window, lumoctl and the deliberately broken stand-ins of the checks' own
// tests.

#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Truth.h"
#include "records/RecordStore.h"

namespace sessions {

// The invariants' names, as reports print them.
inline constexpr const char *NoMotionUnasked = "No motion unasked";
inline constexpr const char *StopMeansStop = "Stop means stop";
inline constexpr const char *ShownIsTrue = "Shown is true";
inline constexpr const char *NoLostWrite = "No lost write";
inline constexpr const char *NothingHangs = "Nothing hangs";
inline constexpr const char *Bounded = "Bounded";
inline constexpr const char *RecordsAreTrue = "Records are true";
inline constexpr const char *NoChangeUnasked = "No change unasked";

struct Break {
    std::string invariant;
    std::string detail;
};
using Breaks = std::vector<Break>;

// Addresses a device answers at now; for two devices at one address both.
std::vector<const lumosim::DeviceTruth *> DevicesAt(const lumosim::BusTruth &truth, uint8_t address);

// The values that devices at `address` really answered for register `reg`
// (holding for 0x03, input for 0x04) in requests acted on after `afterSeq`.
std::vector<uint16_t> RepliedValues(const lumosim::BusTruth &truth, uint8_t address, uint8_t function,
                                    uint16_t reg, uint64_t afterSeq);
uint64_t LastSeq(const lumosim::BusTruth &truth);

// Shown is true, for a value read: `shown` (less `offset`, where the tool
// shows positions relative to an offset) must be one that a device at
// `address` answered for `reg` after `afterSeq`.
std::optional<Break> CheckShownValue(const lumosim::BusTruth &truth, uint8_t address, uint8_t function, uint16_t reg,
                                     long shown, uint64_t afterSeq, const std::string &what,
                                     std::vector<long> offsets = {0});

// Shown is true, for a success: a device at `address` acted on a request
// beginning with `pduPrefix` after `afterSeq`.
std::optional<Break> CheckActed(const lumosim::BusTruth &truth, uint8_t address, const std::vector<uint8_t> &pduPrefix,
                                uint64_t afterSeq, const std::string &what);

// No motion unasked: between `before` and `after`, a device started moving
// only if its address is in `allowed`.
std::optional<Break> CheckMotionAsked(const lumosim::BusTruth &before, const lumosim::BusTruth &after,
                                      const std::set<uint8_t> &allowed, const std::string &action);

// Stop means stop: every device in `devices` (DeviceTruth::index) is at rest
// within `withinMs`, polling `truth`; a device for which `excused` holds
// (the tool said it could not reach it) is left out.
Breaks CheckAtRest(const std::function<lumosim::BusTruth()> &truth, const std::set<size_t> &devices, int withinMs,
                   const std::function<bool(const lumosim::DeviceTruth &)> &excused, const std::string &action,
                   const std::function<void(int)> &waitMs = {});

// No lost write: after a write reported as done, every device at `address`
// holds `values` from configuration register `first` on; after a failure,
// either all of `oldValues` or what was written.
std::optional<Break> CheckWritten(const lumosim::BusTruth &truth, uint8_t address, uint16_t first,
                                  const std::vector<uint16_t> &values, const std::vector<uint16_t> &oldValues,
                                  bool reportedDone, const std::string &what);

// One register of a whole configuration write, in the order it goes out;
// `value` unset: sent, but with a value the check does not judge (one a
// model's rule may set).
struct SentWord {
    uint16_t reg = 0;
    std::optional<uint16_t> value;
};

// No lost write, for a whole configuration written register by register:
// reported done, every device at `address` holds every judged value and
// acted on a write of every sent register after `afterSeq` (a value it held
// already shows only there). Reported
// failed, it holds either all of `oldValues` (one per sent word) or the first
// registers new and the rest old: the first `recordedWritten` when the
// service record tells how many the device took, else any such prefix (the
// write stops at the register that failed and rolls nothing back). When
// the register after the recorded ones failed without a refusal (its reply
// may have been lost, and nothing could read it back), the device may hold
// it new or old: `nextUncertain`. Registers outside the truth's ten are
// not judged.
std::optional<Break> CheckConfigWrite(const lumosim::BusTruth &truth, uint8_t address,
                                      const std::vector<SentWord> &sent, const std::vector<uint16_t> &oldValues,
                                      bool reportedDone, std::optional<size_t> recordedWritten, uint64_t afterSeq,
                                      const std::string &what, bool nextUncertain = false);

// Whether the register after those a write's record says were taken failed
// in a way that leaves open whether the device took it: anything but a
// refusal (an exception) or a request never sent.
bool RecordLeavesNextOpen(const records::Event &event);

// Shown is true, for a failure: a failure reported for the requests
// `pdus` (each a PDU prefix) is false when a device at `address` acted on
// every one of them after `afterSeq` and none of its replies could have been
// lost on the way (`repliesCanBeLost`: a fault of the line or the device).
std::optional<Break> CheckFailureTrue(const lumosim::BusTruth &truth, uint8_t address,
                                      const std::vector<std::vector<uint8_t>> &pdus, uint64_t afterSeq,
                                      bool repliesCanBeLost, const std::string &what);

// Records are true, for a configuration write: the record's registers that
// it says the device took hold, on the device, the values the record says
// were written (each device at the record's address), and a write reported
// done is recorded as done, with every register.
std::optional<Break> CheckRecordedWrite(const lumosim::BusTruth &truth, const records::Event &event,
                                        bool reportedDone, const std::string &what);

// Records are true, for motion: the motion commands recorded as done for
// the motor of device `device` (oldest first; other kinds and failures are
// passed over) are, in their order, commands that device acted on.
std::optional<Break> CheckRecordedMotion(const lumosim::BusTruth &truth, size_t device,
                                         const std::vector<records::Event> &events);

// The registers a recorded configuration write says the device took.
size_t RecordedWritten(const records::Event &event);

// No change unasked, for an action that must leave the bus as it found it
// (Diagnose): between `before` and `after` no device started moving or
// changed its address or a configuration word.
std::optional<Break> CheckUnchanged(const lumosim::BusTruth &before, const lumosim::BusTruth &after,
                                    const std::string &action);

// A configuration register's value in the truth; nullopt outside the ten.
std::optional<uint16_t> ConfigWord(const lumosim::DeviceTruth &device, uint16_t reg);

// Bounded: the files this process has open stay within `slack` of what it
// had open at the start of the session (the port and the records come and
// go with connecting; a leak grows with every action).
size_t OpenFiles();
std::optional<Break> CheckOpenFiles(size_t atStart, size_t now, size_t slack, const std::string &action);

// Bounded: this process's resident memory (kB) stays within `slackKb` of
// what it held once the session had warmed up.
size_t ResidentKb();
std::optional<Break> CheckResident(size_t atStartKb, size_t nowKb, size_t slackKb, const std::string &action);

// Nothing hangs.
std::optional<Break> CheckDuration(double tookMs, double boundMs, const std::string &action);

} // namespace sessions

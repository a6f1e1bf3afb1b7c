#include "Invariants.h"

#include "modbus/Registers.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include <cstdio>

#include <dirent.h>
#include <unistd.h>

namespace sessions {

namespace {

uint16_t Word(const std::vector<uint8_t> &bytes, size_t at)
{
    return static_cast<uint16_t>((bytes[at] << 8) | bytes[at + 1]);
}

std::string List(const std::vector<uint16_t> &values)
{
    std::string out;
    for (uint16_t v : values)
        out += (out.empty() ? "" : ",") + std::to_string(v);
    return out.empty() ? "none" : out;
}

// The register of a configuration word, by the name records give it.
uint16_t RegisterOfWord(const std::string &name)
{
    static const std::pair<const char *, uint16_t> registers[] = {
        {"MaxPos", Reg::MaxPos},           {"RearLimit", Reg::RearLimit},   {"FrontLimit", Reg::FrontLimit},
        {"CurrentLimit", Reg::CurrentLimit}, {"SpeedPwm", Reg::SpeedPwm},   {"SettingFlag", Reg::SettingFlag},
        {"VoltageOut", Reg::VoltageOut},   {"HallPotSelect", Reg::HallPotSelect}, {"BaudRate", Reg::BaudRate},
        {"PosOffset", Reg::PosOffset}};
    for (const auto &[n, reg] : registers)
        if (name == n)
            return reg;
    return 0;
}

} // namespace

std::vector<const lumosim::DeviceTruth *> DevicesAt(const lumosim::BusTruth &truth, uint8_t address)
{
    std::vector<const lumosim::DeviceTruth *> out;
    for (const auto &d : truth.devices)
        if (d.address == address)
            out.push_back(&d);
    return out;
}

uint64_t LastSeq(const lumosim::BusTruth &truth)
{
    return truth.acted.empty() ? 0 : truth.acted.back().seq;
}

std::vector<uint16_t> RepliedValues(const lumosim::BusTruth &truth, uint8_t address, uint8_t function,
                                    uint16_t reg, uint64_t afterSeq)
{
    std::vector<uint16_t> out;
    for (const auto &a : truth.acted) {
        if (a.seq <= afterSeq || a.address != address || a.request.size() != 5 || a.request[0] != function)
            continue;
        const uint16_t first = Word(a.request, 1);
        const uint16_t count = Word(a.request, 3);
        if (reg < first || reg >= first + count)
            continue;
        const size_t at = 2 + 2 * static_cast<size_t>(reg - first);
        if (a.reply.size() >= at + 2 && a.reply[0] == function)
            out.push_back(Word(a.reply, at));
    }
    return out;
}

std::optional<Break> CheckShownValue(const lumosim::BusTruth &truth, uint8_t address, uint8_t function, uint16_t reg,
                                     long shown, uint64_t afterSeq, const std::string &what,
                                     std::vector<long> offsets)
{
    const std::vector<uint16_t> replied = RepliedValues(truth, address, function, reg, afterSeq);
    for (uint16_t v : replied)
        for (long offset : offsets)
            if (static_cast<long>(v) - offset == shown)
                return std::nullopt;
    return Break{ShownIsTrue, what + " shows " + std::to_string(shown) + " for device " + std::to_string(address) +
                                  ", which answered " + List(replied)};
}

std::optional<Break> CheckActed(const lumosim::BusTruth &truth, uint8_t address, const std::vector<uint8_t> &pduPrefix,
                                uint64_t afterSeq, const std::string &what)
{
    for (const auto &a : truth.acted)
        if (a.seq > afterSeq && a.address == address && a.request.size() >= pduPrefix.size() &&
            std::equal(pduPrefix.begin(), pduPrefix.end(), a.request.begin()))
            return std::nullopt;
    return Break{ShownIsTrue, what + " reported done, but no device at " + std::to_string(address) + " acted on it"};
}

std::optional<Break> CheckMotionAsked(const lumosim::BusTruth &before, const lumosim::BusTruth &after,
                                      const std::set<uint8_t> &allowed, const std::string &action)
{
    for (const auto &d : after.devices) {
        uint32_t startsBefore = 0;
        for (const auto &b : before.devices)
            if (b.index == d.index)
                startsBefore = b.motionStarts;
        if (d.motionStarts == startsBefore)
            continue;
        // The address it answered at before or after (an address change moves it).
        bool asked = allowed.count(d.address) != 0;
        for (const auto &b : before.devices)
            asked = asked || (b.index == d.index && allowed.count(b.address));
        if (!asked)
            return Break{NoMotionUnasked, "device " + std::to_string(d.index) + " at " + std::to_string(d.address) +
                                              " started moving during \"" + action + "\", which did not ask for it"};
    }
    return std::nullopt;
}

Breaks CheckAtRest(const std::function<lumosim::BusTruth()> &truth, const std::set<size_t> &devices, int withinMs,
                   const std::function<bool(const lumosim::DeviceTruth &)> &excused, const std::string &action,
                   const std::function<void(int)> &waitMs)
{
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(withinMs);
    for (;;) {
        const lumosim::BusTruth now = truth();
        Breaks breaks;
        for (const auto &d : now.devices)
            if (devices.count(d.index) && d.motion != 0 && !excused(d))
                breaks.push_back(Break{StopMeansStop, "device " + std::to_string(d.index) + " at " +
                                                          std::to_string(d.address) + " still moving " +
                                                          std::to_string(withinMs) + " ms after \"" + action +
                                                          "\" (position " + std::to_string(d.position) + ")"});
        if (breaks.empty() || std::chrono::steady_clock::now() >= deadline)
            return breaks;
        if (waitMs)
            waitMs(10); // a window under test goes on handling its messages meanwhile
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

std::optional<uint16_t> ConfigWord(const lumosim::DeviceTruth &device, uint16_t reg)
{
    for (size_t k = 0; k < lumosim::TruthConfigRegisters.size(); ++k)
        if (lumosim::TruthConfigRegisters[k] == reg)
            return device.config[k];
    return std::nullopt;
}

std::optional<Break> CheckWritten(const lumosim::BusTruth &truth, uint8_t address, uint16_t first,
                                  const std::vector<uint16_t> &values, const std::vector<uint16_t> &oldValues,
                                  bool reportedDone, const std::string &what)
{
    for (const lumosim::DeviceTruth *d : DevicesAt(truth, address)) {
        std::vector<uint16_t> held;
        for (size_t k = 0; k < values.size(); ++k)
            held.push_back(ConfigWord(*d, static_cast<uint16_t>(first + k)).value_or(0));
        if (held == values || (!reportedDone && held == oldValues))
            continue;
        return Break{NoLostWrite, what + (reportedDone ? " reported done" : " reported failed") + ": device " +
                                      std::to_string(d->index) + " at " + std::to_string(address) + " holds " +
                                      List(held) + ", written " + List(values) + ", before " + List(oldValues)};
    }
    return std::nullopt;
}

std::optional<Break> CheckConfigWrite(const lumosim::BusTruth &truth, uint8_t address,
                                      const std::vector<SentWord> &sent, const std::vector<uint16_t> &oldValues,
                                      bool reportedDone, std::optional<size_t> recordedWritten, uint64_t afterSeq,
                                      const std::string &what, bool nextUncertain)
{
    if (reportedDone)
        for (const SentWord &w : sent) {
            const std::vector<uint8_t> pdu = {Fc::WriteSingle, static_cast<uint8_t>(w.reg >> 8),
                                              static_cast<uint8_t>(w.reg)};
            if (auto missing = CheckActed(truth, address, pdu, afterSeq, what)) {
                missing->invariant = NoLostWrite;
                missing->detail = what + " reported done, but no device at " + std::to_string(address) +
                                  " took its " + std::string(Reg::HoldingName(w.reg));
                return missing;
            }
        }
    for (const lumosim::DeviceTruth *d : DevicesAt(truth, address)) {
        // For each judged word: does the device hold the new value, the old one?
        std::vector<uint16_t> held, written, old;
        std::vector<bool> isNew, isOld;
        for (size_t k = 0; k < sent.size(); ++k) {
            const std::optional<uint16_t> now = ConfigWord(*d, sent[k].reg);
            const uint16_t before = k < oldValues.size() ? oldValues[k] : 0;
            const bool judged = now && sent[k].value;
            isNew.push_back(!judged || *now == *sent[k].value);
            isOld.push_back(!now || *now == before);
            if (now) {
                held.push_back(*now);
                written.push_back(sent[k].value.value_or(*now));
                old.push_back(before);
            }
        }
        auto prefixHolds = [&](size_t n) {
            for (size_t k = 0; k < sent.size(); ++k)
                if (!(k < n ? isNew[k] : isOld[k]))
                    return false;
            return true;
        };
        bool ok = false;
        if (reportedDone) {
            ok = prefixHolds(sent.size());
        } else if (recordedWritten) {
            ok = prefixHolds(0) || prefixHolds(std::min(*recordedWritten, sent.size())) ||
                 (nextUncertain && prefixHolds(std::min(*recordedWritten + 1, sent.size())));
        } else {
            for (size_t n = 0; n <= sent.size() && !ok; ++n)
                ok = prefixHolds(n);
        }
        if (ok)
            continue;
        return Break{NoLostWrite, what + (reportedDone ? " reported done" : " reported failed") +
                                      (recordedWritten && !reportedDone
                                           ? " (the record says " + std::to_string(*recordedWritten) + " taken)"
                                           : std::string()) +
                                      ": device " + std::to_string(d->index) + " at " + std::to_string(address) +
                                      " holds " + List(held) + ", written " + List(written) + ", before " +
                                      List(old)};
    }
    return std::nullopt;
}

std::optional<Break> CheckFailureTrue(const lumosim::BusTruth &truth, uint8_t address,
                                      const std::vector<std::vector<uint8_t>> &pdus, uint64_t afterSeq,
                                      bool repliesCanBeLost, const std::string &what)
{
    if (repliesCanBeLost || pdus.empty())
        return std::nullopt;
    for (const auto &pdu : pdus) {
        bool acted = false;
        for (const auto &a : truth.acted)
            acted = acted || (a.seq > afterSeq && a.address == address && !a.reply.empty() &&
                              a.request.size() >= pdu.size() && std::equal(pdu.begin(), pdu.end(), a.request.begin()));
        if (!acted)
            return std::nullopt; // a request the device never acted on: the failure is true
    }
    return Break{ShownIsTrue, what + " reported failed, but the device at " + std::to_string(address) +
                                  " acted on all " + std::to_string(pdus.size()) +
                                  " requests and answered each on a clean line"};
}

std::optional<Break> CheckUnchanged(const lumosim::BusTruth &before, const lumosim::BusTruth &after,
                                    const std::string &action)
{
    for (const auto &d : after.devices)
        for (const auto &b : before.devices) {
            if (b.index != d.index)
                continue;
            const std::string who = "device " + std::to_string(d.index) + " at " + std::to_string(b.address);
            if (d.motionStarts != b.motionStarts)
                return Break{NoChangeUnasked, who + " started moving during \"" + action + "\""};
            if (d.address != b.address)
                return Break{NoChangeUnasked, who + " answers at " + std::to_string(d.address) + " after \"" +
                                                  action + "\""};
            for (size_t k = 0; k < d.config.size(); ++k)
                if (d.config[k] != b.config[k])
                    return Break{NoChangeUnasked, who + " holds " + std::to_string(d.config[k]) + " in register " +
                                                      std::to_string(lumosim::TruthConfigRegisters[k]) + " (was " +
                                                      std::to_string(b.config[k]) + ") after \"" + action + "\""};
        }
    return std::nullopt;
}

std::optional<Break> CheckRecordedMotion(const lumosim::BusTruth &truth, size_t device,
                                         const std::vector<records::Event> &events)
{
    size_t next = 0; // the acted-on requests not yet matched
    for (const records::Event &e : events) {
        if (e.kind != records::EventKind::Motion || e.result != Result::NoError)
            continue;
        const uint16_t command = e.action == "up"     ? Cmd::Up
                                 : e.action == "down" ? Cmd::Down
                                 : e.action == "stop" ? Cmd::Stop
                                 : e.action.rfind("goto ", 0) == 0 ? Cmd::GoToPos
                                                                   : 0;
        if (command == 0)
            continue;
        const std::vector<uint8_t> pdu = {Fc::WriteSingle, 0x00, static_cast<uint8_t>(Reg::ActionCmdIn), 0x00,
                                          static_cast<uint8_t>(command)};
        bool found = false;
        for (; next < truth.acted.size() && !found; ++next) {
            const lumosim::ActedRequest &a = truth.acted[next];
            found = a.device == device && a.request.size() >= pdu.size() &&
                    std::equal(pdu.begin(), pdu.end(), a.request.begin());
        }
        if (!found)
            return Break{RecordsAreTrue, "the records say \"" + e.action + "\" was done to motor " +
                                             std::to_string(e.motorId) + " at " + std::to_string(e.address) +
                                             " (" + e.origin.program + "), which device " + std::to_string(device) +
                                             " never acted on at that point"};
    }
    return std::nullopt;
}

bool RecordLeavesNextOpen(const records::Event &event)
{
    const size_t n = RecordedWritten(event);
    if (n >= event.registers.size())
        return false;
    const ResultCode code = event.registers[n].code;
    return code != Result::ExceptionReply && code != Result::ParameterError && code != Result::PortError;
}

size_t RecordedWritten(const records::Event &event)
{
    size_t n = 0;
    while (n < event.registers.size() && event.registers[n].code == Result::NoError)
        ++n;
    return n;
}

std::optional<Break> CheckRecordedWrite(const lumosim::BusTruth &truth, const records::Event &event,
                                        bool reportedDone, const std::string &what)
{
    const size_t taken = RecordedWritten(event);
    const std::string recorded = what + "'s record (motor " + std::to_string(event.motorId) + ")";
    if (reportedDone && (event.result != Result::NoError || taken != event.registers.size() || taken == 0))
        return Break{RecordsAreTrue, recorded + " says it failed after " + std::to_string(taken) +
                                         " registers, but the tool reported it done"};
    if (!event.config)
        return Break{RecordsAreTrue, recorded + " has no values"};
    for (const lumosim::DeviceTruth *d : DevicesAt(truth, event.address)) {
        for (size_t k = 0; k < taken; ++k) {
            const std::string &name = event.registers[k].name;
            for (const records::ConfigWord &word : records::kConfigWords) {
                if (name != word.name)
                    continue;
                const std::optional<uint16_t> held = ConfigWord(*d, RegisterOfWord(name));
                const uint16_t said = (*event.config).*(word.member);
                if (held && *held != said)
                    return Break{RecordsAreTrue, recorded + " says " + name + " = " + std::to_string(said) +
                                                     " was taken; device " + std::to_string(d->index) + " at " +
                                                     std::to_string(event.address) + " holds " +
                                                     std::to_string(*held)};
            }
        }
    }
    return std::nullopt;
}

size_t OpenFiles()
{
    size_t n = 0;
    if (DIR *dir = ::opendir("/proc/self/fd")) {
        while (::readdir(dir))
            ++n;
        ::closedir(dir);
    }
    return n;
}

std::optional<Break> CheckOpenFiles(size_t atStart, size_t now, size_t slack, const std::string &action)
{
    if (now <= atStart + slack)
        return std::nullopt;
    return Break{Bounded, std::to_string(now) + " files open after \"" + action + "\", " + std::to_string(atStart) +
                              " at the start of the session"};
}

size_t ResidentKb()
{
    unsigned long size = 0, resident = 0;
    FILE *f = std::fopen("/proc/self/statm", "r");
    if (!f)
        return 0;
    if (std::fscanf(f, "%lu %lu", &size, &resident) != 2)
        resident = 0;
    std::fclose(f);
    return static_cast<size_t>(resident) * static_cast<size_t>(::sysconf(_SC_PAGESIZE)) / 1024;
}

std::optional<Break> CheckResident(size_t atStartKb, size_t nowKb, size_t slackKb, const std::string &action)
{
    if (nowKb <= atStartKb + slackKb)
        return std::nullopt;
    return Break{Bounded, std::to_string(nowKb / 1024) + " MB resident after \"" + action + "\", " +
                              std::to_string(atStartKb / 1024) + " MB once the session had begun"};
}

std::optional<Break> CheckDuration(double tookMs, double boundMs, const std::string &action)
{
    if (tookMs <= boundMs)
        return std::nullopt;
    return Break{NothingHangs, "\"" + action + "\" took " + std::to_string(static_cast<long>(tookMs)) +
                                   " ms, more than " + std::to_string(static_cast<long>(boundMs))};
}

} // namespace sessions

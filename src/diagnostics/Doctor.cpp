#include "diagnostics/Doctor.h"

#include <algorithm>
#include <cmath>
#include <map>
#include <set>

#include "modbus/Frames.h"
#include "modbus/Registers.h"

namespace {

constexpr uint8_t MaxSlaveAddress = 247;
// The scan asks for one register; the probes for the whole holding map,
// 0x000F..0x002C: a 65-byte reply.
constexpr uint16_t ProbeCount = Reg::LastHolding - Reg::FirstHolding + 1;
// A sweep probe that hears bytes but no frame from the address is asked
// again this many times in all: two devices at one address often spoil a
// short reply, and only a clean copy proves anybody is there.
constexpr int SweepTries = 3;
// The quiet line the doctor waits for before a probe: on a line that never
// falls quiet (a babbling device) it probes anyway after this long.
constexpr uint32_t MaxQuietWaitMs = 1000;
// Enough of a babbling line to tell frames from garbage.
constexpr size_t MaxHeardBytes = 4096;

// 8N1: ten bits a character.
double CharMs(uint32_t baud)
{
    return 10000.0 / baud;
}

// The silence that ends a frame: 3.5 characters, fixed at 1.75 ms above 19200 baud.
double T35Ms(uint32_t baud)
{
    return baud > 19200 ? 1.75 : 3.5 * CharMs(baud);
}

// How long the line must have been silent before a probe: t3.5 on the
// wire, and the adapter's timer, which may still hold bytes that ended on
// the wire before it, and one more millisecond for the clock's whole ticks.
// At 115200 with a 16 ms adapter: 2 + 16 + 1, 19 ms; at 4800: 8 + 16 + 1,
// 25 ms.
uint32_t QuietMs(uint32_t baud, uint32_t adapterLatencyMs)
{
    return static_cast<uint32_t>(std::ceil(T35Ms(baud))) + adapterLatencyMs + 1;
}

std::string Join(const std::vector<uint32_t> &values, const char *last)
{
    std::string out;
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0)
            out += i + 1 == values.size() ? last : ", ";
        out += std::to_string(values[i]);
    }
    return out;
}

// What one probe heard after its request: every byte not the adapter's
// echo, with the engine-clock time it was taken from the port.
struct Heard {
    std::optional<uint32_t> sentMs;
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> ms;
    void Begin()
    {
        sentMs.reset();
        bytes.clear();
        ms.clear();
    }
    void Add(const uint8_t *b, size_t n, uint32_t at)
    {
        n = std::min(n, MaxHeardBytes - std::min(MaxHeardBytes, bytes.size()));
        bytes.insert(bytes.end(), b, b + n);
        ms.insert(ms.end(), n, at);
    }
};

enum class Outcome { Good, Late, Garbled, Silent, Lost };

struct ProbeResult {
    Outcome outcome = Outcome::Silent;
    std::optional<uint32_t> turnaroundMs;
};

class Doctor {
public:
    Doctor(RtuEngine &engine, const std::unique_ptr<C_ComPort> &comPort, const DoctorOptions &options)
        : engine_(engine), comPort_(comPort), options_(options)
    {
    }

    DoctorReport Run();

private:
    bool Step(const std::string &text);
    bool PortGone();
    void Lost();
    // Puts the open port at `baud` and waits for a quiet line. False when
    // the port refuses the rate (a PortTrouble finding) or has gone.
    bool SetRate(uint32_t baud);
    // Waits until nothing has arrived for QuietMs; what arrives meanwhile
    // is thrown away. False when the port has gone.
    bool QuietLine(uint32_t baud);
    std::vector<uint8_t> Listen(uint32_t ms);
    // Listens at the chosen rate, and at the others when what it heard makes
    // no frame there. True when probing may go on.
    bool CheckQuietLine();
    ProbeResult Probe(uint8_t address, uint16_t first, uint16_t count, uint32_t baud);
    // The reply from `address` to a read of `count` registers (or its
    // exception) in heard_, if one is there.
    std::optional<FoundFrame> ReplyIn(uint8_t address, uint16_t count) const;
    bool ProbeAt(uint32_t baud);
    void Conclude();
    void Add(FindingKind kind, std::optional<uint8_t> address, std::optional<uint32_t> baud, std::string text,
             std::string nextStep, bool problem = true)
    {
        report_.findings.push_back({kind, address, baud, std::move(text), std::move(nextStep), problem});
    }

    RtuEngine &engine_;
    const std::unique_ptr<C_ComPort> &comPort_;
    const DoctorOptions &options_;
    DoctorReport report_;
    Heard heard_;
    bool echoSeen_ = false;
    EchoMode callerEcho_ = EchoMode::Auto;
};

bool Doctor::Step(const std::string &text)
{
    if (options_.progress && !options_.progress(text)) {
        report_.cancelled = true;
        return false;
    }
    return true;
}

bool Doctor::PortGone()
{
    return !comPort_ || !comPort_->IsOpen() || comPort_->HungUp();
}

void Doctor::Lost()
{
    if (report_.portLost)
        return;
    report_.portLost = true;
    Add(FindingKind::PortLost, std::nullopt, std::nullopt,
        "the port went away during the diagnosis (adapter unplugged or its driver gone); what came before is "
        "listed, nothing after",
        "plug the adapter in again, connect and diagnose again");
}

bool Doctor::SetRate(uint32_t baud)
{
    if (PortGone()) {
        Lost();
        return false;
    }
    if (!comPort_->SetBaudRate(static_cast<int32_t>(baud))) {
        if (PortGone()) {
            Lost();
            return false;
        }
        Add(FindingKind::PortTrouble, std::nullopt, baud,
            "the port does not take " + std::to_string(baud) + " baud (system error " +
                std::to_string(comPort_->lastError) + ")",
            "the adapter or its driver may not support the rate; nothing was probed at it");
        return false;
    }
    return QuietLine(baud);
}

bool Doctor::QuietLine(uint32_t baud)
{
    Clock &clock = engine_.clock();
    const uint32_t quiet = QuietMs(baud, options_.adapterLatencyMs);
    const uint32_t start = clock.TickMs();
    uint32_t lastByte = start;
    uint8_t buffer[256];
    while (clock.TickMs() - lastByte < quiet && clock.TickMs() - start < MaxQuietWaitMs) {
        const int n = comPort_->ReadAvailable(buffer, sizeof buffer);
        if (n < 0 || comPort_->HungUp()) {
            Lost();
            return false;
        }
        if (n > 0) {
            lastByte = clock.TickMs();
            continue;
        }
        clock.SleepMs(RtuEngine::FastPollMs);
    }
    return true;
}

std::vector<uint8_t> Doctor::Listen(uint32_t ms)
{
    std::vector<uint8_t> heard;
    Clock &clock = engine_.clock();
    const uint32_t start = clock.TickMs();
    uint8_t buffer[256];
    while (clock.TickMs() - start < ms) {
        const int n = comPort_->ReadAvailable(buffer, sizeof buffer);
        if (n < 0 || comPort_->HungUp()) {
            Lost();
            break;
        }
        if (n > 0) {
            // A babbling line: what the first few frames' worth shows is enough.
            if (heard.size() < MaxHeardBytes)
                heard.insert(heard.end(), buffer, buffer + n);
            continue;
        }
        clock.SleepMs(RtuEngine::FastPollMs);
    }
    return heard;
}

bool Doctor::CheckQuietLine()
{
    const uint32_t chosen = options_.connectedBaud;
    if (!Step("listening at " + std::to_string(chosen) + " baud"))
        return false;
    const std::vector<uint8_t> heard = Listen(options_.listenMs);
    if (report_.portLost)
        return false;
    if (heard.empty())
        return true;
    auto report = [&](uint32_t baud, const std::vector<FoundFrame> &frames, const std::vector<uint8_t> &bytes) {
        std::set<uint32_t> addresses;
        for (const FoundFrame &f : frames)
            addresses.insert(bytes[f.offset]);
        Add(FindingKind::ForeignTraffic, std::nullopt, baud,
            "another master is talking on the line at " + std::to_string(baud) + " baud (" +
                std::to_string(frames.size()) + " frames in " + std::to_string(options_.listenMs) +
                " ms, address " + Join({addresses.begin(), addresses.end()}, " and ") + ")",
            "stop it or disconnect it, then diagnose again");
    };
    if (const std::vector<FoundFrame> frames = FindFrames(heard); !frames.empty()) {
        report(chosen, frames, heard);
        return false;
    }
    // Bytes but no frame: traffic at another rate, or noise.
    for (const uint32_t baud : options_.bauds) {
        if (baud == chosen)
            continue;
        if (!Step("listening at " + std::to_string(baud) + " baud"))
            return false;
        if (!SetRate(baud)) {
            if (report_.portLost)
                return false;
            continue;
        }
        const std::vector<uint8_t> there = Listen(options_.listenMs);
        if (report_.portLost)
            return false;
        if (const std::vector<FoundFrame> frames = FindFrames(there); !frames.empty()) {
            report(baud, frames, there);
            return false;
        }
    }
    Add(FindingKind::IdleNoise, std::nullopt, chosen,
        "bytes arrive on the quiet line that make no frame at any baud rate (" + std::to_string(heard.size()) +
            " bytes in " + std::to_string(options_.listenMs) + " ms)",
        "noise or a device talking another protocol: check the A/B wiring, the termination and the ground");
    return SetRate(chosen);
}

std::optional<FoundFrame> Doctor::ReplyIn(uint8_t address, uint16_t count) const
{
    // Only the layout asked for: the request's own copy (8 bytes) or a
    // reply to another count is no answer to this probe.
    const std::vector<uint8_t> &b = heard_.bytes;
    const size_t replyLength = 5 + 2u * count;
    for (const FoundFrame &f : FindFrames(b)) {
        if (b[f.offset] != address)
            continue;
        const uint8_t function = b[f.offset + 1];
        if (function == (Fc::ReadHolding | Fc::ExceptionBit) && f.length == 5)
            return f;
        if (function == Fc::ReadHolding && f.length == replyLength && b[f.offset + 2] == 2 * count)
            return f;
    }
    return std::nullopt;
}

ProbeResult Doctor::Probe(uint8_t address, uint16_t first, uint16_t count, uint32_t baud)
{
    ProbeResult out;
    if (!QuietLine(baud)) {
        out.outcome = Outcome::Lost;
        return out;
    }
    const uint32_t window = DoctorReplyWindowMs(baud, count, options_.adapterLatencyMs);
    engine_.SetReplyMode(ReplyMode::AsSoonAsComplete, window);
    heard_.Begin();
    std::vector<uint16_t> words(count);
    const ResultCode result = engine_.ReadRegisters(Fc::ReadHolding, address, first, count, words.data());
    echoSeen_ = echoSeen_ || engine_.EchoSeen();
    if (result == Result::PortError || PortGone()) {
        out.outcome = Outcome::Lost;
        return out;
    }
    // The port did not take the request (a write that ran out of time):
    // nothing went out, so nothing can answer.
    if (!heard_.sentMs)
        return out;
    const uint32_t sent = *heard_.sentMs;
    // A request is still on the wire when its write returns; the first byte
    // of the reply is taken once its own stop bit is in.
    auto turnaround = [&](uint32_t firstByteMs) {
        const double ms = static_cast<double>(firstByteMs - sent) - 9 * CharMs(baud);
        return static_cast<uint32_t>(std::max(0.0, std::round(ms)));
    };
    if (result == Result::NoError || result == Result::ExceptionReply) {
        out.outcome = Outcome::Good;
        if (!heard_.ms.empty())
            out.turnaroundMs = turnaround(heard_.ms.front());
        return out;
    }

    // No reply the engine could take within the window: what came may be
    // garbage, a part of the reply, or nothing yet. Listen on for a late
    // reply until lateMs after the window, and stop once one is whole.
    Clock &clock = engine_.clock();
    const uint32_t until = window + options_.lateMs;
    uint8_t buffer[256];
    std::optional<FoundFrame> reply = ReplyIn(address, count);
    while (!reply && clock.TickMs() - sent < until) {
        const int n = comPort_->ReadAvailable(buffer, sizeof buffer);
        if (n < 0 || comPort_->HungUp()) {
            out.outcome = Outcome::Lost;
            return out;
        }
        if (n > 0) {
            heard_.Add(buffer, static_cast<size_t>(n), clock.TickMs());
            reply = ReplyIn(address, count);
            continue;
        }
        clock.SleepMs(RtuEngine::FastPollMs);
    }
    if (reply) {
        // On time only if it was whole within the window, as the tool
        // needs it; the turnaround is measured to its first byte.
        const uint32_t whole = heard_.ms[reply->offset + reply->length - 1];
        out.outcome = whole - sent <= window ? Outcome::Good : Outcome::Late;
        out.turnaroundMs = turnaround(heard_.ms[reply->offset]);
        return out;
    }
    out.outcome = heard_.bytes.empty() ? Outcome::Silent : Outcome::Garbled;
    return out;
}

bool Doctor::ProbeAt(uint32_t baud)
{
    if (!Step("switching to " + std::to_string(baud) + " baud"))
        return false;
    if (!SetRate(baud))
        return !report_.portLost;
    // The addresses to ask the long probes: those that answered with a
    // frame of their own, and those that only ever gave garbage (suspects).
    struct Candidate {
        uint8_t address;
        bool suspect;
    };
    std::vector<Candidate> candidates;
    for (unsigned a = options_.firstAddress; a <= options_.lastAddress && a <= MaxSlaveAddress; ++a) {
        if (a == options_.firstAddress || a % 16 == 0) {
            if (!Step("asking addresses " + std::to_string(a) + ".." + std::to_string(options_.lastAddress) +
                      " at " + std::to_string(baud) + " baud"))
                return false;
        }
        // An address answers only with a frame of its own; bytes without one
        // are worth asking again, silence is not.
        std::optional<Outcome> last;
        for (int attempt = 0; attempt < SweepTries; ++attempt) {
            last = Probe(static_cast<uint8_t>(a), Reg::Address, 1, baud).outcome;
            if (last != Outcome::Garbled)
                break;
        }
        if (last == Outcome::Lost) {
            Lost();
            return false;
        }
        if (last == Outcome::Good || last == Outcome::Late)
            candidates.push_back({static_cast<uint8_t>(a), false});
        else if (last == Outcome::Garbled)
            candidates.push_back({static_cast<uint8_t>(a), true});
    }
    for (const Candidate &c : candidates) {
        const uint8_t a = c.address;
        if (!Step("probing address " + std::to_string(a) + " at " + std::to_string(baud) + " baud"))
            return false;
        DoctorDevice device;
        device.address = a;
        device.baud = baud;
        device.windowMs = DoctorReplyWindowMs(baud, ProbeCount, options_.adapterLatencyMs);
        std::vector<uint32_t> turnarounds;
        for (uint32_t i = 0; i < options_.probesPerDevice; ++i) {
            const ProbeResult r = Probe(a, Reg::FirstHolding, ProbeCount, baud);
            switch (r.outcome) {
            case Outcome::Good: ++device.good; break;
            case Outcome::Late: ++device.late; break;
            case Outcome::Garbled: ++device.garbled; break;
            case Outcome::Silent: ++device.silent; break;
            case Outcome::Lost:
                // The probes after the loss tell nothing about the device.
                Lost();
                return false;
            }
            ++device.probes;
            if (r.turnaroundMs)
                turnarounds.push_back(*r.turnaroundMs);
        }
        // Two devices at one address spoil every reply, so a suspect is
        // kept when the long probes hear it again and again; a burst of
        // stray bytes in one probe's window does not come back.
        if (c.suspect && device.good + device.late == 0 && 2 * device.garbled <= device.probes)
            continue;
        if (!turnarounds.empty()) {
            std::sort(turnarounds.begin(), turnarounds.end());
            device.turnaroundMs = turnarounds[turnarounds.size() / 2];
        }
        report_.devices.push_back(device);
    }
    return true;
}

void Doctor::Conclude()
{
    const uint32_t chosen = options_.connectedBaud;
    if (echoSeen_) {
        // The engine skips the copy ahead of every reply: nothing to do
        // unless the caller turned that off.
        const bool handled = callerEcho_ != EchoMode::Off;
        Add(FindingKind::Echo, std::nullopt, std::nullopt, "your adapter echoes what it sends",
            handled ? "echo handling is on" : "turn echo handling on (Auto)", !handled);
    }

    // Two devices at one address spoil (nearly) every long reply there,
    // while a clean device elsewhere at the same rate shows the line itself
    // is fine. Without a clean neighbour, all-garbled replies are noise as
    // likely as anything.
    auto clean = [](const DoctorDevice &d) { return d.good + d.late; };
    auto shared = [&](const DoctorDevice &d) { return clean(d) == 0 && d.garbled + 1 >= d.probes && d.probes >= 2; };
    std::map<uint32_t, std::vector<const DoctorDevice *>> byRate;
    for (const DoctorDevice &d : report_.devices)
        byRate[d.baud].push_back(&d);
    std::vector<uint32_t> noisy;
    uint32_t garbledReplies = 0, replies = 0;
    for (const auto &[baud, devices] : byRate) {
        const bool someClean = std::any_of(devices.begin(), devices.end(),
                                           [&](const DoctorDevice *d) { return d->garbled == 0 && clean(*d) > 0; });
        const bool alone = devices.size() == 1;
        for (const DoctorDevice *d : devices) {
            if (shared(*d) && (someClean || alone)) {
                Add(FindingKind::SharedAddress, d->address, baud,
                    "two devices answer at address " + std::to_string(d->address),
                    "leave one connected and give it a new address (Renew ID / lumoctl set-address)");
            } else if (d->garbled > 0) {
                noisy.push_back(d->address);
                garbledReplies += d->garbled;
                replies += d->probes;
            }
        }
    }
    if (!noisy.empty()) {
        Add(FindingKind::Noise, std::nullopt, std::nullopt,
            "replies from address " + Join(noisy, " and ") + " are garbled now and then (" +
                std::to_string(garbledReplies) + " of " + std::to_string(replies) + ")",
            "noise on the line: check the termination (120 ohm at both ends only), the cable's twisted pair and "
            "shield, and the ground");
    }

    // A device that mostly answers after the window the tool gives it: the
    // tool's commands to it fail (or find its reply to the one before).
    for (const DoctorDevice &d : report_.devices) {
        if (!d.Slow())
            continue;
        std::string text = "device " + std::to_string(d.address) + " answers late at " + std::to_string(d.baud) +
                           " baud (" + std::to_string(d.late) + " of " + std::to_string(d.probes) +
                           " replies after the " + std::to_string(d.windowMs) + " ms the tool waits";
        if (d.turnaroundMs)
            text += ", turnaround " + std::to_string(*d.turnaroundMs) + " ms";
        Add(FindingKind::SlowDevice, d.address, d.baud, text + ")",
            "the tool's requests to it will time out: check the device and its power; at a lower baud rate the "
            "tool waits longer");
    }

    // The rates the devices answer at.
    std::set<uint32_t> rates;
    for (const DoctorDevice &d : report_.devices)
        rates.insert(d.baud);
    if (rates.empty()) {
        bool rateRefused = false;
        for (const Finding &f : report_.findings)
            rateRefused = rateRefused || f.kind == FindingKind::PortTrouble;
        Add(FindingKind::NoDevice, std::nullopt, std::nullopt,
            "no device answers at any baud rate (addresses " + std::to_string(options_.firstAddress) + ".." +
                std::to_string(options_.lastAddress) + ")",
            rateRefused ? "use an adapter that takes every rate, then diagnose again"
                        : "check the power, the A/B wiring (swap A and B if unsure) and the adapter");
    } else if (!rates.contains(chosen)) {
        const std::vector<uint32_t> list(rates.rbegin(), rates.rend());
        const uint32_t first = list.front();
        Add(FindingKind::OtherBaud, std::nullopt, first,
            "devices answer at " + Join(list, " and ") + " baud, not " + std::to_string(chosen),
            list.size() == 1 ? "connect at " + std::to_string(first)
                             : "connect at each rate in turn and give every device the same baud rate");
    } else {
        for (const DoctorDevice &d : report_.devices) {
            if (d.baud == chosen)
                continue;
            Add(FindingKind::MixedBaud, d.address, d.baud,
                "device " + std::to_string(d.address) + " answers at " + std::to_string(d.baud) + " baud, not " +
                    std::to_string(chosen) + " like the others",
                "connect at " + std::to_string(d.baud) + " and set its baud rate to " + std::to_string(chosen));
        }
    }
}

DoctorReport Doctor::Run()
{
    const EchoMode echoMode = engine_.GetEchoMode();
    const ReplyMode replyMode = engine_.GetReplyMode();
    const uint32_t replyWindow = engine_.GetReplyWindowMs();
    callerEcho_ = echoMode;
    FrameObserver previous;
    previous = engine_.SetFrameObserver([this, &previous](const FrameEvent &e) {
        if (e.kind == FrameKind::Request) {
            heard_.sentMs = e.ms;
        } else if (e.kind != FrameKind::Echo && e.kind != FrameKind::Finished && !e.bytes.empty()) {
            // Whatever the transaction took from the port after the echo:
            // the reply, garbage, or a frame the engine would not take.
            heard_.Add(e.bytes.data(), e.bytes.size(), e.ms);
        }
        if (previous)
            previous(e);
    });
    // An echo is learned from what comes back, whatever the caller's
    // setting: the doctor must never take its own request for a reply.
    engine_.SetEchoMode(EchoMode::Auto);

    bool goOn = SetRate(options_.connectedBaud) && CheckQuietLine();
    if (goOn && Step("checking whether the adapter echoes")) {
        engine_.SetReplyMode(ReplyMode::AsSoonAsComplete,
                             DoctorReplyWindowMs(options_.connectedBaud, 1, options_.adapterLatencyMs));
        engine_.CheckEcho();
        echoSeen_ = engine_.EchoSeen();
        if (PortGone())
            Lost();
    }
    goOn = goOn && !report_.cancelled && !report_.portLost;
    if (goOn) {
        std::vector<uint32_t> order{options_.connectedBaud};
        for (const uint32_t baud : options_.bauds)
            if (baud != options_.connectedBaud)
                order.push_back(baud);
        for (const uint32_t baud : order)
            if (!ProbeAt(baud))
                break;
        // After a lost port, silence everywhere would say nothing about the
        // devices: no conclusions are drawn from it.
        if (!report_.cancelled && !report_.portLost)
            Conclude();
    }
    if (report_.findings.empty() && !report_.cancelled)
        Add(FindingKind::NoProblem, std::nullopt, std::nullopt, "no problem found", "", false);

    engine_.SetFrameObserver(std::move(previous));
    engine_.SetEchoMode(echoMode);
    engine_.SetReplyMode(replyMode, replyWindow);
    // Back at the rate the caller connected at, or closed: never left open
    // at a rate the caller does not know of.
    if (comPort_ && comPort_->IsOpen() && !report_.portLost &&
        !comPort_->SetBaudRate(static_cast<int32_t>(options_.connectedBaud)))
        comPort_->Close();
    return report_;
}

// The lengths a frame starting with this function code may have, given what
// of it is there: request and reply layouts both, since a listener does not
// know which it hears.
std::vector<size_t> CandidateLengths(const std::vector<uint8_t> &b, size_t i)
{
    std::vector<size_t> out;
    const size_t left = b.size() - i;
    if (left < 5)
        return out;
    const uint8_t function = b[i + 1];
    if (function & Fc::ExceptionBit) {
        out.push_back(5);
    } else if (function == Fc::ReadHolding || function == Fc::ReadInput) {
        out.push_back(8);
        out.push_back(5 + static_cast<size_t>(b[i + 2]));
    } else if (function == Fc::WriteSingle) {
        out.push_back(8);
    } else if (function == Fc::WriteMultiple) {
        out.push_back(8);
        if (left > 6)
            out.push_back(9 + static_cast<size_t>(b[i + 6]));
    }
    return out;
}

} // namespace

std::vector<FoundFrame> FindFrames(const std::vector<uint8_t> &bytes)
{
    std::vector<FoundFrame> out;
    size_t i = 0;
    while (i < bytes.size()) {
        bool found = false;
        if (bytes[i] <= MaxSlaveAddress) {
            for (const size_t length : CandidateLengths(bytes, i)) {
                if (i + length <= bytes.size() && Rtu::CrcMatches(bytes.data() + i, length)) {
                    out.push_back({i, length});
                    i += length;
                    found = true;
                    break;
                }
            }
        }
        if (!found)
            ++i;
    }
    return out;
}

size_t DoctorReport::Problems() const
{
    return static_cast<size_t>(std::count_if(findings.begin(), findings.end(), [](const Finding &f) {
        return f.problem && f.kind != FindingKind::NoProblem;
    }));
}

uint32_t ToolReplyWaitMs(uint32_t baud)
{
    switch (baud) {
    case 115200: return 30;
    case 19200: return 40;
    case 9600: return 55;
    case 4800: return 100;
    default: return 50;
    }
}

uint32_t DoctorReplyWindowMs(uint32_t baud, uint16_t count, uint32_t adapterLatencyMs)
{
    const double wire = (8 + 5 + 2.0 * count) * CharMs(baud) + T35Ms(baud);
    return static_cast<uint32_t>(std::ceil(wire)) + ToolReplyWaitMs(baud) + adapterLatencyMs;
}

DoctorReport RunDoctor(RtuEngine &engine, const std::unique_ptr<C_ComPort> &comPort, const DoctorOptions &options)
{
    Doctor doctor(engine, comPort, options);
    return doctor.Run();
}

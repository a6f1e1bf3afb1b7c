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

// The reply window of a read of `count` registers: the 8-byte request and
// the 5 + 2 * count byte reply on the wire, t3.5 between them, and the
// allowance for turnaround and adapter. At 4800 baud for 30 registers:
// 16.7 + 7.3 + 135.4 + 30 = 190 ms.
uint32_t WindowMs(uint32_t baud, uint16_t count, uint32_t allowanceMs)
{
    const double wire = (8 + 5 + 2.0 * count) * CharMs(baud) + T35Ms(baud);
    return static_cast<uint32_t>(std::ceil(wire)) + allowanceMs;
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

// Where the doctor's own traffic goes: what the transaction in hand heard.
struct Listener {
    uint32_t sentMs = 0;
    std::optional<uint32_t> replyMs;
    size_t replyBytes = 0;
    void Begin()
    {
        replyMs.reset();
        replyBytes = 0;
    }
};

enum class Outcome { Good, Garbled, Silent };

class Doctor {
public:
    Doctor(RtuEngine &engine, const std::unique_ptr<C_ComPort> &comPort, const PortOpener &reopenAt,
           const DoctorOptions &options)
        : engine_(engine), comPort_(comPort), reopenAt_(reopenAt), options_(options)
    {
    }

    DoctorReport Run();

private:
    bool Step(const std::string &text);
    bool Open(uint32_t baud);
    std::vector<uint8_t> Listen(uint32_t ms);
    // Listens at the chosen rate, and at the others when what it heard makes
    // no frame there. True when probing may go on.
    bool CheckQuietLine();
    Outcome Probe(uint8_t address, uint16_t first, uint16_t count, uint32_t baud, std::optional<uint32_t> &turnaround);
    bool ProbeAt(uint32_t baud);
    void Conclude();
    void Add(FindingKind kind, std::optional<uint8_t> address, std::optional<uint32_t> baud, std::string text,
             std::string nextStep)
    {
        report_.findings.push_back({kind, address, baud, std::move(text), std::move(nextStep)});
    }

    RtuEngine &engine_;
    const std::unique_ptr<C_ComPort> &comPort_;
    const PortOpener &reopenAt_;
    const DoctorOptions &options_;
    DoctorReport report_;
    Listener listener_;
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

bool Doctor::Open(uint32_t baud)
{
    if (reopenAt_ && reopenAt_(baud) && comPort_ && comPort_->IsOpen())
        return true;
    Add(FindingKind::PortTrouble, std::nullopt, baud, "the port does not open at " + std::to_string(baud) + " baud",
        "check that no other program holds it and that the adapter supports the rate");
    return false;
}

std::vector<uint8_t> Doctor::Listen(uint32_t ms)
{
    std::vector<uint8_t> heard;
    Clock &clock = engine_.clock();
    const uint32_t start = clock.TickMs();
    uint8_t buffer[256];
    while (clock.TickMs() - start < ms) {
        const int n = comPort_->ReadAvailable(buffer, sizeof buffer);
        if (n < 0 || comPort_->HungUp())
            break;
        if (n > 0) {
            // A babbling line: what the first few frames' worth shows is enough.
            if (heard.size() < 4096)
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
        if (!Open(baud))
            continue;
        const std::vector<uint8_t> there = Listen(options_.listenMs);
        if (const std::vector<FoundFrame> frames = FindFrames(there); !frames.empty()) {
            report(baud, frames, there);
            return false;
        }
    }
    Add(FindingKind::IdleNoise, std::nullopt, chosen,
        "bytes arrive on the quiet line that make no frame at any baud rate (" + std::to_string(heard.size()) +
            " bytes in " + std::to_string(options_.listenMs) + " ms)",
        "noise or a device talking another protocol: check the A/B wiring, the termination and the ground");
    return Open(chosen);
}

Outcome Doctor::Probe(uint8_t address, uint16_t first, uint16_t count, uint32_t baud,
                      std::optional<uint32_t> &turnaround)
{
    engine_.SetReplyMode(ReplyMode::AsSoonAsComplete, WindowMs(baud, count, options_.allowanceMs));
    listener_.Begin();
    std::vector<uint16_t> words(count);
    const ResultCode result = engine_.ReadRegisters(Fc::ReadHolding, address, first, count, words.data());
    echoSeen_ = echoSeen_ || engine_.EchoSeen();
    if (result == Result::NoError || result == Result::ExceptionReply) {
        if (listener_.replyMs) {
            // The request is still on the wire when the write returns; the
            // first reply byte is taken once its stop bit is in.
            const double ms = *listener_.replyMs - listener_.sentMs - 9 * CharMs(baud);
            turnaround = static_cast<uint32_t>(std::max(0.0, std::round(ms)));
        }
        return Outcome::Good;
    }
    return listener_.replyBytes > 0 ? Outcome::Garbled : Outcome::Silent;
}

bool Doctor::ProbeAt(uint32_t baud)
{
    if (!Step("connecting at " + std::to_string(baud) + " baud"))
        return false;
    if (!Open(baud))
        return true;
    std::vector<uint8_t> answered;
    for (unsigned a = options_.firstAddress; a <= options_.lastAddress && a <= MaxSlaveAddress; ++a) {
        if (a == options_.firstAddress || a % 16 == 0) {
            if (!Step("asking addresses " + std::to_string(a) + ".." + std::to_string(options_.lastAddress) +
                      " at " + std::to_string(baud) + " baud"))
                return false;
        }
        std::optional<uint32_t> unused;
        if (Probe(static_cast<uint8_t>(a), Reg::Address, 1, baud, unused) != Outcome::Silent)
            answered.push_back(static_cast<uint8_t>(a));
    }
    for (const uint8_t a : answered) {
        if (!Step("probing address " + std::to_string(a) + " at " + std::to_string(baud) + " baud"))
            return false;
        DoctorDevice device;
        device.address = a;
        device.baud = baud;
        std::vector<uint32_t> turnarounds;
        for (uint32_t i = 0; i < options_.probesPerDevice; ++i) {
            std::optional<uint32_t> turnaround;
            ++device.probes;
            switch (Probe(a, Reg::FirstHolding, ProbeCount, baud, turnaround)) {
            case Outcome::Good: ++device.good; break;
            case Outcome::Garbled: ++device.garbled; break;
            case Outcome::Silent: ++device.silent; break;
            }
            if (turnaround)
                turnarounds.push_back(*turnaround);
        }
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
        Add(FindingKind::Echo, std::nullopt, std::nullopt, "your adapter echoes what it sends",
            callerEcho_ == EchoMode::Off ? "turn echo handling on (Auto)" : "echo handling is on");
    }

    // Two devices at one address spoil (nearly) every long reply there,
    // while a clean device elsewhere at the same rate shows the line itself
    // is fine. Without a clean neighbour, all-garbled replies are noise as
    // likely as anything.
    auto shared = [&](const DoctorDevice &d) { return d.good == 0 && d.garbled + 1 >= d.probes && d.probes >= 2; };
    std::map<uint32_t, std::vector<const DoctorDevice *>> byRate;
    for (const DoctorDevice &d : report_.devices)
        byRate[d.baud].push_back(&d);
    std::vector<uint32_t> noisy;
    uint32_t garbledReplies = 0, replies = 0;
    for (const auto &[baud, devices] : byRate) {
        const bool someClean = std::any_of(devices.begin(), devices.end(),
                                           [](const DoctorDevice *d) { return d->garbled == 0 && d->good > 0; });
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

    // The rates the devices answer at.
    std::set<uint32_t> rates;
    for (const DoctorDevice &d : report_.devices)
        rates.insert(d.baud);
    if (rates.empty()) {
        bool listenedOnly = false;
        for (const Finding &f : report_.findings)
            listenedOnly = listenedOnly || f.kind == FindingKind::PortTrouble;
        Add(FindingKind::NoDevice, std::nullopt, std::nullopt,
            "no device answers at any baud rate (addresses " + std::to_string(options_.firstAddress) + ".." +
                std::to_string(options_.lastAddress) + ")",
            listenedOnly ? "open the port, then diagnose again"
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
            listener_.sentMs = e.ms;
        } else if (e.kind == FrameKind::Reply) {
            if (!listener_.replyMs)
                listener_.replyMs = e.ms;
            listener_.replyBytes += e.bytes.size();
        }
        if (previous)
            previous(e);
    });
    // An echo is learned from what comes back, whatever the caller's
    // setting: the doctor must never take its own request for a reply.
    engine_.SetEchoMode(EchoMode::Auto);

    bool goOn = Open(options_.connectedBaud) && CheckQuietLine();
    if (goOn && Step("checking whether the adapter echoes")) {
        engine_.SetReplyMode(ReplyMode::AsSoonAsComplete, WindowMs(options_.connectedBaud, 1, options_.allowanceMs));
        engine_.CheckEcho();
        echoSeen_ = engine_.EchoSeen();
    }
    goOn = goOn && !report_.cancelled;
    if (goOn) {
        std::vector<uint32_t> order{options_.connectedBaud};
        for (const uint32_t baud : options_.bauds)
            if (baud != options_.connectedBaud)
                order.push_back(baud);
        for (const uint32_t baud : order)
            if (!ProbeAt(baud))
                break;
        if (!report_.cancelled)
            Conclude();
    }
    if (report_.findings.empty() && !report_.cancelled)
        Add(FindingKind::NoProblem, std::nullopt, std::nullopt, "no problem found", "");

    engine_.SetFrameObserver(std::move(previous));
    engine_.SetEchoMode(echoMode);
    engine_.SetReplyMode(replyMode, replyWindow);
    if (reopenAt_)
        reopenAt_(options_.connectedBaud);
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

DoctorReport RunDoctor(RtuEngine &engine, const std::unique_ptr<C_ComPort> &comPort, const PortOpener &reopenAt,
                       const DoctorOptions &options)
{
    Doctor doctor(engine, comPort, reopenAt, options);
    return doctor.Run();
}

#include "CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <optional>
#include <utility>

#include "modbus/Registers.h"

namespace lumosim {

namespace {

constexpr unsigned long MaxSlaveAddress = 247;

// A whole decimal number, or hex after "0x"; false for anything else or
// for a value above `max`.
bool ParseNumber(const std::string &text, unsigned long max, unsigned long &value)
{
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const std::string digits = hex ? text.substr(2) : text;
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [&](unsigned char c) {
            return hex ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
        }))
        return false;
    errno = 0;
    value = std::strtoul(digits.c_str(), nullptr, hex ? 16 : 10);
    return errno == 0 && value <= max;
}

bool ParseReal(const std::string &text, double &value)
{
    if (text.empty())
        return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtod(text.c_str(), &end);
    return errno == 0 && end == text.c_str() + text.size() && std::isfinite(value);
}

std::vector<std::string> Split(const std::string &text, char separator)
{
    std::vector<std::string> parts;
    size_t begin = 0;
    for (;;) {
        const size_t end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end - begin));
        if (end == std::string::npos)
            return parts;
        begin = end + 1;
    }
}

// "MS" or "MIN-MAX", milliseconds, MIN <= MAX.
bool ParseTurnaround(const std::string &text, Turnaround &out)
{
    const size_t dash = text.find('-');
    double low = 0;
    double high = 0;
    if (dash == std::string::npos) {
        if (!ParseReal(text, low))
            return false;
        high = low;
    } else if (!ParseReal(text.substr(0, dash), low) || !ParseReal(text.substr(dash + 1), high)) {
        return false;
    }
    if (low < 0 || high < low || high > 60000)
        return false;
    out = Turnaround{low, high};
    return true;
}

// The rates the devices know (their BaudRate register's codes 0..3).
bool ParseBaud(const std::string &text, uint32_t &baud)
{
    unsigned long value = 0;
    if (!ParseNumber(text, 115200, value) || (value != 4800 && value != 9600 && value != 19200 && value != 115200))
        return false;
    baud = static_cast<uint32_t>(value);
    return true;
}

bool ParseChance(const std::string &text, double &chance)
{
    return ParseReal(text, chance) && chance >= 0 && chance <= 1;
}

// "ADDR:REST" → address and REST.
std::string ParseAddressPrefix(const std::string &option, const std::string &text, uint8_t &address,
                               std::string &rest)
{
    const size_t colon = text.find(':');
    unsigned long value = 0;
    if (colon == std::string::npos || !ParseNumber(text.substr(0, colon), MaxSlaveAddress, value) || value == 0)
        return option + " '" + text + "': expected ADDR:... with ADDR 1..247";
    address = static_cast<uint8_t>(value);
    rest = text.substr(colon + 1);
    return {};
}

// "ADDR:MODEL[,name=ID][,fw=VER][,stroke=N][,turnaround=T][,shared]"; sets
// `ownTurnaround` when the device names its own.
std::string ParseDevice(const std::string &text, DeviceOptions &device, bool &ownTurnaround)
{
    std::string rest;
    if (auto error = ParseAddressPrefix("--device", text, device.address, rest); !error.empty())
        return error;
    const auto parts = Split(rest, ',');
    std::string model = parts[0];
    std::transform(model.begin(), model.end(), model.begin(), [](unsigned char c) { return std::toupper(c); });
    unsigned long value = 0;
    if (const uint32_t code = Model::CodeFromName(model); code != Model::None)
        device.model = static_cast<uint16_t>(code);
    else if (ParseNumber(parts[0], 0xFFFF, value))
        device.model = static_cast<uint16_t>(value);
    else
        return "--device '" + text + "': model must be LUMO-D, LUMO-P, LUMO-B or a code 0..65535";
    for (size_t i = 1; i < parts.size(); ++i) {
        const size_t eq = parts[i].find('=');
        const std::string key = parts[i].substr(0, eq);
        const bool number = eq != std::string::npos && ParseNumber(parts[i].substr(eq + 1), 0xFFFF, value);
        if (parts[i] == "shared")
            device.sharesAddress = true;
        else if (key == "turnaround" && eq != std::string::npos &&
                 ParseTurnaround(parts[i].substr(eq + 1), device.turnaround))
            ownTurnaround = true;
        else if (key == "name" && number)
            device.name = static_cast<uint16_t>(value);
        else if (key == "fw" && number)
            device.firmware = static_cast<uint16_t>(value);
        else if (key == "stroke" && number)
            device.learnedStroke = static_cast<uint16_t>(value);
        else
            return "--device '" + text + "': '" + parts[i] +
                   "' is not name=ID, fw=VER, stroke=N (0..65535), turnaround=MS[-MS] or shared";
    }
    return {};
}

// One KIND of "--fault ADDR:KIND[,KIND...]" applied to `faults`.
std::string ParseFault(const std::string &kind, Faults &faults)
{
    const size_t eq = kind.find('=');
    const std::string key = kind.substr(0, eq);
    const std::string argument = eq == std::string::npos ? std::string() : kind.substr(eq + 1);
    const bool hasArgument = eq != std::string::npos;
    unsigned long value = 0;
    double chance = 0;
    uint32_t baud = 0;
    if (!hasArgument) {
        if (key == "silent")
            faults.silent = true;
        else if (key == "stray")
            faults.strayByteBeforeReply = true;
        else if (key == "garbage")
            faults.garbageReplies = true;
        else if (key == "hall-error")
            faults.hallError = true;
        else if (key == "over-current")
            faults.overCurrent = true;
        else
            return "unknown fault '" + kind + "'";
        return {};
    }
    if (key == "delay" && ParseNumber(argument, 60000, value))
        faults.replyDelayMs = static_cast<uint32_t>(value);
    else if (key == "corrupt-every" && ParseNumber(argument, 0xFFFFFFFF, value))
        faults.corruptCrcEveryN = static_cast<uint32_t>(value);
    else if (key == "exception" && ParseNumber(argument, 0xFFFF, value))
        faults.exceptionRegister = static_cast<uint16_t>(value);
    else if (key == "exception-code" && ParseNumber(argument, 0xFF, value))
        faults.exceptionCode = static_cast<uint8_t>(value);
    else if (key == "corrupt-prob" && ParseReal(argument, chance) && chance >= 0 && chance <= 1)
        faults.corruptCrcProbability = chance;
    else if (key == "silent-prob" && ParseReal(argument, chance) && chance >= 0 && chance <= 1)
        faults.silentProbability = chance;
    else if (key == "stray-prob" && ParseReal(argument, chance) && chance >= 0 && chance <= 1)
        faults.strayByteProbability = chance;
    else if (key == "baud" && ParseBaud(argument, baud))
        faults.lineBaud = baud;
    else if (key == "noise" && ParseChance(argument, chance))
        faults.bitErrorRate = chance;
    else
        return "bad fault '" + kind + "'";
    return {};
}

} // namespace

std::vector<DeviceOptions> DemoDevices()
{
    DeviceOptions d;
    d.address = 1;
    d.model = Model::LumoD;
    DeviceOptions p;
    p.address = 5;
    p.model = Model::LumoP;
    DeviceOptions b;
    b.address = 9;
    b.model = Model::LumoB;
    return {d, p, b};
}

std::string ParseCommandLine(const std::vector<std::string> &args, CommandLine &out)
{
    out = CommandLine{};
    std::vector<std::pair<uint8_t, std::string>> faultSpecs;
    std::vector<bool> ownTurnaround; // beside out.devices
    std::optional<Turnaround> busTurnaround;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string option = args[i];
        std::string value;
        bool inlineValue = false;
        if (const size_t eq = option.find('='); option.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option = option.substr(0, eq);
            inlineValue = true;
        }
        if (option == "-h" || option == "--help") {
            out.help = true; // help wins over anything else on the line
            return {};
        }
        if (option == "--version") {
            out.version = true; // as does the version
            return {};
        }
        if (option == "--echo" || option == "--instant") {
            if (inlineValue)
                return "option " + option + " takes no value";
            (option == "--echo" ? out.bus.echo : out.bus.instant) = true;
            continue;
        }
        static const char *const withValue[] = {"--device", "--fault", "--link", "--log", "--time-scale",
                                                "--learn-ms", "--full-stroke-ms", "--frame-gap-ms", "--seed",
                                                "--baud", "--baud-change", "--turnaround", "--adapter-latency",
                                                "--adapter-packet", "--noise", "--truth"};
        if (std::find(std::begin(withValue), std::end(withValue), option) == std::end(withValue))
            return option.rfind("-", 0) == 0 ? "unknown option '" + option + "'"
                                             : "unexpected argument '" + option + "'";
        if (!inlineValue) {
            if (i + 1 >= args.size())
                return "option " + option + " needs a value";
            value = args[++i];
        }

        unsigned long number = 0;
        if (option == "--device") {
            DeviceOptions device;
            bool own = false;
            if (auto error = ParseDevice(value, device, own); !error.empty())
                return error;
            if (!device.sharesAddress &&
                std::any_of(out.devices.begin(), out.devices.end(),
                            [&](const DeviceOptions &d) { return d.address == device.address; }))
                return "--device '" + value + "': address " + std::to_string(device.address) +
                       " is given twice (add ',shared' for two devices at one address)";
            out.devices.push_back(device);
            ownTurnaround.push_back(own);
        } else if (option == "--fault") {
            uint8_t address = 0;
            std::string kinds;
            if (auto error = ParseAddressPrefix("--fault", value, address, kinds); !error.empty())
                return error;
            faultSpecs.emplace_back(address, kinds);
        } else if (option == "--truth") {
            if (value.empty())
                return "option --truth needs a path";
            out.truthPath = value;
        } else if (option == "--link" || option == "--log") {
            if (value.empty())
                return "option " + option + " needs a path";
            (option == "--link" ? out.linkPath : out.bus.logPath) = value;
        } else if (option == "--baud") {
            if (!ParseBaud(value, out.bus.baud))
                return "--baud '" + value + "': expected 4800, 9600, 19200 or 115200";
        } else if (option == "--baud-change") {
            if (value == "now")
                out.bus.baudChange = BaudChange::Now;
            else if (value == "power-up")
                out.bus.baudChange = BaudChange::PowerUp;
            else
                return "--baud-change '" + value + "': expected now or power-up";
        } else if (option == "--turnaround") {
            Turnaround t;
            if (!ParseTurnaround(value, t))
                return "--turnaround '" + value + "': expected MS or MIN-MAX (0..60000, MIN <= MAX)";
            busTurnaround = t;
        } else if (option == "--noise") {
            if (!ParseChance(value, out.bus.bitErrorRate))
                return "--noise '" + value + "': expected a bit error rate 0..1";
        } else if (option == "--time-scale") {
            if (!ParseReal(value, out.bus.timeScale) || !(out.bus.timeScale > 0))
                return "--time-scale '" + value + "': expected a number above 0";
        } else if (!ParseNumber(value, 0xFFFFFFFF, number)) {
            return option + " '" + value + "': expected a whole number";
        } else if (option == "--learn-ms") {
            out.bus.learnDurationMs = static_cast<uint32_t>(number);
        } else if (option == "--full-stroke-ms") {
            if (number == 0)
                return "--full-stroke-ms must be above 0";
            out.bus.fullStrokeMs = static_cast<uint32_t>(number);
        } else if (option == "--frame-gap-ms") {
            // No silence at all would end a frame after every byte: the bus
            // would hear no request whole and answer nothing.
            if (number == 0 || number > 60000)
                return "--frame-gap-ms must be 1..60000";
            out.bus.frameGapMs = static_cast<uint32_t>(number);
        } else if (option == "--seed") {
            out.bus.seed = static_cast<uint32_t>(number);
        } else if (option == "--adapter-latency") {
            if (number > 255)
                return "--adapter-latency must be 0..255 (ms, as an FTDI latency timer)";
            out.bus.adapterLatencyMs = static_cast<uint32_t>(number);
        } else if (option == "--adapter-packet") {
            if (number == 0 || number > 4096)
                return "--adapter-packet must be 1..4096";
            out.bus.adapterPacketSize = static_cast<uint32_t>(number);
        }
    }
    if (out.devices.empty()) {
        out.devices = DemoDevices();
        ownTurnaround.assign(out.devices.size(), false);
    }
    if (busTurnaround)
        for (size_t i = 0; i < out.devices.size(); ++i)
            if (!ownTurnaround[i])
                out.devices[i].turnaround = *busTurnaround;
    // Faults last, so that they may come before the --device they refer to.
    for (const auto &spec : faultSpecs) {
        const uint8_t address = spec.first; // not a structured binding: lambdas capture it
        const std::string &kinds = spec.second;
        // Two devices at one address both get the fault.
        bool found = false;
        for (DeviceOptions &device : out.devices) {
            if (device.address != address)
                continue;
            found = true;
            for (const auto &kind : Split(kinds, ','))
                if (auto error = ParseFault(kind, device.faults); !error.empty())
                    return "--fault " + std::to_string(address) + ": " + error;
        }
        if (!found)
            return "--fault " + std::to_string(address) + ":" + kinds + ": no device at address " +
                   std::to_string(address);
    }
    return {};
}

std::string UsageText()
{
    return R"(Usage: lumo-sim [OPTION]...
A virtual RS-485 bus of LUMO actuators on a pseudo-terminal pair. Prints the
device path to connect to, then answers Modbus RTU until SIGINT or SIGTERM.
SIGUSR1 power-cycles every device (see --baud-change).

The line behaves like a real one unless --instant is given: bytes take 10 bit
times each at the rate the master's side of the pseudo-terminal is set to, a
device answers after the t3.5 silence and its turnaround, and the reply
reaches the master through a USB adapter's latency timer and packets.

Options:
  --device ADDR:MODEL[,name=ID][,fw=VER][,stroke=N][,turnaround=T][,shared]
        put an actuator on the bus (repeatable). ADDR 1..247; MODEL LUMO-D,
        LUMO-P, LUMO-B or a raw model code 0..65535; name: motor ID (default
        0x5A00 + ADDR); fw: firmware word (default 0x0102 = 01.02); stroke:
        what stroke learning finds (default 980); turnaround: this device's
        own (see --turnaround); shared: a second device at an address already
        given (a wiring fault: both answer and their replies collide).
        Without --device: LUMO-D at 1, LUMO-P at 5, LUMO-B at 9.
  --fault ADDR:KIND[,KIND...]
        make the device at ADDR misbehave (repeatable; both devices of a
        shared address). KIND is one of
          silent            hears nothing, acts on nothing, answers nothing
          delay=MS          answers MS milliseconds late
          corrupt-every=N   every Nth reply carries a wrong CRC
          stray             a 0xFF byte goes out before every reply
          garbage           every reply goes out as random bytes that form
                            no frame (the first is no slave address)
          hall-error        MotorStatus flag 0x10 (Hall error)
          over-current      MotorStatus flag 0x20 (Over current)
          exception=REG     every request touching register REG gets an exception
          exception-code=C  ... with code C (default 0x04)
          corrupt-prob=P    a reply carries a wrong CRC with chance P (0..1)
          silent-prob=P     a request goes unheard with chance P (0..1)
          stray-prob=P      a 0xFF goes out in front of a reply with chance P (0..1)
          baud=RATE         talks at RATE whatever its BaudRate register says:
                            it hears a master at another rate as garbage
          noise=BER         each bit of its replies flips with chance BER
  --link PATH           also make the symlink PATH to the device (the demo uses
                        /tmp/lumo-bus); replaces an old symlink, removed at exit
  --log FILE            write every frame heard and sent to FILE, one a line:
                        ms since start when it began and ended on the wire,
                        M>S or S>M, the bytes in hex
  --truth PATH          serve what really happened (every device's state and the
                        requests each acted on) as JSON on the Unix socket PATH;
                        reading it changes nothing (see docs/line-model.md)
  --time-scale X        run motion and learning X times faster (default 1)
  --learn-ms N          how long stroke learning takes at scale 1 (default 3000)
  --full-stroke-ms N    time for a whole stroke at SpeedPwm 100 (default 5000)
  --seed N              seed of the probabilistic faults, the turnaround jitter
                        and the noise (default 1)

The line:
  --baud RATE           the devices' rate at start: 4800, 9600, 19200 or 115200
                        (default 115200). A master at another rate is not
                        understood, and receives garbage or nothing.
  --baud-change WHEN    when a device starts talking at the rate written to its
                        BaudRate register: power-up (default: at the next
                        power cycle, SIGUSR1) or now (once its reply to the
                        write has left the wire)
  --turnaround T        time from the t3.5 silence after a request to the reply,
                        MS or MIN-MAX drawn anew for each reply (default
                        0.5-3): on top of t3.5, 1.75 ms above 19200 baud and
                        3.5 characters below (7.3 ms at 4800)
  --adapter-latency MS  the USB adapter's latency timer (default 16, FTDI's
                        default; 1 for a well-tuned adapter, 0 for a UART that
                        hands over every byte as it comes)
  --adapter-packet N    data bytes of one USB packet (default 62)
  --echo                a 2-wire adapter without echo suppression: the master
                        reads back every byte it sends, ahead of the reply
  --noise BER           every bit on the line flips with chance BER, both ways
  --instant             no line: a reply is written whole when due, at once
                        (today's pseudo-terminal; for tests of the tool's logic)
  --frame-gap-ms N      with --instant: silence that ends a request, 1..60000
                        (default 5); on the line it is t3.5 of the rate
  -h, --help            show this help and exit
  --version             show the version and exit

Numbers are decimal, or hex after 0x. Options take their value as the next
argument or after '=' (--link=/tmp/lumo-bus).
Exit status: 0 after SIGINT or SIGTERM, 1 when the bus cannot be set up,
2 for a bad option.

Examples:
  lumo-sim --link /tmp/lumo-bus --device 5:LUMO-P --fault 5:delay=50
  lumo-sim --baud 9600 --echo --fault 9:baud=19200 --noise 1e-4
  lumo-sim --device 5:LUMO-P --device 5:LUMO-B,shared,turnaround=1-4
)";
}

} // namespace lumosim

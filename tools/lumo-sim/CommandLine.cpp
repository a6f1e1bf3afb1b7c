#include "CommandLine.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
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

// "ADDR:MODEL[,name=ID][,fw=VER][,stroke=N]"
std::string ParseDevice(const std::string &text, DeviceOptions &device)
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
        if (key == "name" && number)
            device.name = static_cast<uint16_t>(value);
        else if (key == "fw" && number)
            device.firmware = static_cast<uint16_t>(value);
        else if (key == "stroke" && number)
            device.learnedStroke = static_cast<uint16_t>(value);
        else
            return "--device '" + text + "': '" + parts[i] + "' is not name=ID, fw=VER or stroke=N (0..65535)";
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
    if (!hasArgument) {
        if (key == "silent")
            faults.silent = true;
        else if (key == "stray")
            faults.strayByteBeforeReply = true;
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
        static const char *const withValue[] = {"--device", "--fault", "--link", "--log", "--time-scale",
                                                "--learn-ms", "--full-stroke-ms", "--frame-gap-ms", "--seed"};
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
            if (auto error = ParseDevice(value, device); !error.empty())
                return error;
            if (std::any_of(out.devices.begin(), out.devices.end(),
                            [&](const DeviceOptions &d) { return d.address == device.address; }))
                return "--device '" + value + "': address " + std::to_string(device.address) + " is given twice";
            out.devices.push_back(device);
        } else if (option == "--fault") {
            uint8_t address = 0;
            std::string kinds;
            if (auto error = ParseAddressPrefix("--fault", value, address, kinds); !error.empty())
                return error;
            faultSpecs.emplace_back(address, kinds);
        } else if (option == "--link" || option == "--log") {
            if (value.empty())
                return "option " + option + " needs a path";
            (option == "--link" ? out.linkPath : out.bus.logPath) = value;
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
            out.bus.frameGapMs = static_cast<uint32_t>(number);
        } else if (option == "--seed") {
            out.bus.seed = static_cast<uint32_t>(number);
        }
    }
    if (out.devices.empty())
        out.devices = DemoDevices();
    // Faults last, so that they may come before the --device they refer to.
    for (const auto &spec : faultSpecs) {
        const uint8_t address = spec.first; // not a structured binding: lambdas capture it
        const std::string &kinds = spec.second;
        auto device = std::find_if(out.devices.begin(), out.devices.end(),
                                   [&](const DeviceOptions &d) { return d.address == address; });
        if (device == out.devices.end())
            return "--fault " + std::to_string(address) + ":" + kinds + ": no device at address " +
                   std::to_string(address);
        for (const auto &kind : Split(kinds, ','))
            if (auto error = ParseFault(kind, device->faults); !error.empty())
                return "--fault " + std::to_string(address) + ": " + error;
    }
    return {};
}

std::string UsageText()
{
    return R"(Usage: lumo-sim [OPTION]...
A virtual RS-485 bus of LUMO actuators on a pseudo-terminal pair. Prints the
device path to connect to, then answers Modbus RTU until SIGINT or SIGTERM.

Options:
  --device ADDR:MODEL[,name=ID][,fw=VER][,stroke=N]
        put an actuator on the bus (repeatable). ADDR 1..247; MODEL LUMO-D,
        LUMO-P, LUMO-B or a raw model code 0..65535; name: motor ID (default
        0x5A00 + ADDR); fw: firmware word (default 0x0102 = 01.02); stroke:
        what stroke learning finds (default 980).
        Without --device: LUMO-D at 1, LUMO-P at 5, LUMO-B at 9.
  --fault ADDR:KIND[,KIND...]
        make the device at ADDR misbehave (repeatable). KIND is one of
          silent            hears nothing, acts on nothing, answers nothing
          delay=MS          answers MS milliseconds late
          corrupt-every=N   every Nth reply carries a wrong CRC
          stray             a 0xFF byte goes out before every reply
          hall-error        MotorStatus flag 0x10 (Hall error)
          over-current      MotorStatus flag 0x20 (Over current)
          exception=REG     every request touching register REG gets an exception
          exception-code=C  ... with code C (default 0x04)
          corrupt-prob=P    a reply carries a wrong CRC with chance P (0..1)
          silent-prob=P     a request goes unheard with chance P (0..1)
          stray-prob=P      a 0xFF goes out in front of a reply with chance P (0..1)
  --link PATH           also make the symlink PATH to the device (the demo uses
                        /tmp/lumo-bus); replaces an old symlink, removed at exit
  --log FILE            write every frame heard and sent to FILE, one a line:
                        ms since start, M>S or S>M, the bytes in hex
  --time-scale X        run motion and learning X times faster (default 1)
  --learn-ms N          how long stroke learning takes at scale 1 (default 3000)
  --full-stroke-ms N    time for a whole stroke at SpeedPwm 100 (default 5000)
  --frame-gap-ms N      silence that ends a request (default 5)
  --seed N              seed of the corrupt-prob and silent-prob faults (default 1)
  -h, --help            show this help and exit

Numbers are decimal, or hex after 0x. Options take their value as the next
argument or after '=' (--link=/tmp/lumo-bus).
Exit status: 0 after SIGINT or SIGTERM, 1 when the bus cannot be set up,
2 for a bad option.

Example: lumo-sim --link /tmp/lumo-bus --device 5:LUMO-P --fault 5:delay=50
)";
}

} // namespace lumosim

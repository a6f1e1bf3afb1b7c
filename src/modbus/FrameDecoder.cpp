#include "modbus/FrameDecoder.h"

#include <cstdio>

#include "modbus/Frames.h"
#include "modbus/Registers.h"
#include "modbus/ResultCode.h"

namespace {

// A hex dump is cut here: a monitor line stays one line.
constexpr size_t MaxDumpBytes = 16;

std::string Hex(unsigned value, int digits)
{
    char text[8];
    std::snprintf(text, sizeof text, "%0*X", digits, value);
    return text;
}

std::string Dump(std::span<const uint8_t> bytes)
{
    std::string out;
    for (size_t i = 0; i < bytes.size() && i < MaxDumpBytes; ++i) {
        if (i > 0)
            out += ' ';
        out += Hex(bytes[i], 2);
    }
    if (bytes.size() > MaxDumpBytes)
        out += " ...";
    return out;
}

std::string AddressText(uint8_t address)
{
    char text[8];
    std::snprintf(text, sizeof text, "%02u", static_cast<unsigned>(address));
    return text;
}

std::string_view NameOf(bool input, uint16_t reg)
{
    return input ? Reg::InputName(reg) : Reg::HoldingName(reg);
}

// "0x0020 MaxPos" or "0x001F..0x002C CurrentPos..BaudRate x14"; names are
// left out where the map has none.
std::string Range(bool input, uint16_t first, uint16_t count)
{
    std::string out = "0x" + Hex(first, 4);
    const std::string_view firstName = NameOf(input, first);
    if (count == 1)
        return firstName.empty() ? out : out + " " + std::string(firstName);
    const uint16_t last = static_cast<uint16_t>(first + count - 1);
    out += "..0x" + Hex(last, 4);
    const std::string_view lastName = NameOf(input, last);
    if (!firstName.empty() && !lastName.empty())
        out += " " + std::string(firstName) + ".." + std::string(lastName);
    return out + " x" + std::to_string(count);
}

// What a value means where the map says more than the number.
std::string Meaning(bool input, uint16_t reg, uint16_t value)
{
    if (!input && reg == Reg::ActionCmdIn) {
        const std::string_view name = Cmd::NameOf(value);
        return name.empty() ? std::string() : std::string(name);
    }
    if (!input && reg == Reg::BaudRate) {
        const uint32_t rate = Reg::BaudRateOf(value);
        return rate == 0 ? std::string() : std::to_string(rate);
    }
    if (input && reg == Reg::Model)
        return std::string(Model::NameOf(value));
    if (input && reg == Reg::MotorStatus) {
        switch (value) {
        case Motion::Stopped: return "stopped";
        case Motion::MovingUp: return "moving up";
        case Motion::MovingDown: return "moving down";
        default: return {};
        }
    }
    return {};
}

// "MaxPos=1000", "ActionCmdIn=3 (Stop)", "0x0011=0", "FwVersion=0x0102",
// "MotorFlags=0x0080": flag words and versions read best in hex.
std::string Assignment(bool input, uint16_t reg, uint16_t value)
{
    const std::string_view name = NameOf(input, reg);
    std::string out = name.empty() ? "0x" + Hex(reg, 4) : std::string(name);
    const bool hex = input ? (reg == Reg::FwVersion || reg == Reg::MotorStatus + 1)
                           : reg == Reg::SettingFlag;
    out += "=" + (hex ? "0x" + Hex(value, 4) : std::to_string(value));
    const std::string meaning = Meaning(input, reg, value);
    if (!meaning.empty())
        out += " (" + meaning + ")";
    return out;
}

std::string FunctionText(uint8_t function)
{
    switch (function) {
    case Fc::ReadHolding: return "read holding";
    case Fc::ReadInput: return "read input";
    case Fc::WriteSingle: return "write";
    case Fc::WriteMultiple: return "write";
    default: return "function 0x" + Hex(function, 2);
    }
}

std::string Request(std::span<const uint8_t> f)
{
    const uint8_t function = f[1];
    const size_t n = f.size();
    if ((function == Fc::ReadHolding || function == Fc::ReadInput) && n == 8) {
        const uint16_t count = Rtu::GetU16(&f[4]);
        if (count == 0)
            return FunctionText(function) + " 0x" + Hex(Rtu::GetU16(&f[2]), 4) + " x0";
        return FunctionText(function) + " " + Range(function == Fc::ReadInput, Rtu::GetU16(&f[2]), count);
    }
    if (function == Fc::WriteSingle && n == 8) {
        const uint16_t reg = Rtu::GetU16(&f[2]);
        return "write 0x" + Hex(reg, 4) + " " + Assignment(false, reg, Rtu::GetU16(&f[4]));
    }
    if (function == Fc::WriteMultiple && n >= 9 && f[6] % 2 == 0 && n == 9u + f[6]
        && Rtu::GetU16(&f[4]) * 2u == f[6] && f[6] > 0) {
        const uint16_t first = Rtu::GetU16(&f[2]);
        const uint16_t count = Rtu::GetU16(&f[4]);
        std::string out = "write 0x" + Hex(first, 4);
        if (count > 1)
            out += "..0x" + Hex(static_cast<uint16_t>(first + count - 1), 4);
        for (uint16_t i = 0; i < count; ++i)
            out += " " + Assignment(false, static_cast<uint16_t>(first + i), Rtu::GetU16(&f[7 + 2u * i]));
        return out;
    }
    if (function == Fc::ReadHolding || function == Fc::ReadInput || function == Fc::WriteSingle
        || function == Fc::WriteMultiple)
        return FunctionText(function) + ", malformed (" + std::to_string(n) + " bytes)";
    return FunctionText(function) + " (" + std::to_string(n - 4) + " data bytes)";
}

std::string Reply(std::span<const uint8_t> f, std::span<const uint8_t> request)
{
    const uint8_t function = f[1];
    const size_t n = f.size();
    if (function & Fc::ExceptionBit) {
        if (n != 5)
            return "exception, malformed (" + std::to_string(n) + " bytes)";
        const char *name = ExceptionName(f[2]);
        return "exception " + Hex(f[2], 2) + (name ? std::string(" ") + name : std::string(" (unknown code)"));
    }
    if (function == Fc::ReadHolding || function == Fc::ReadInput) {
        const size_t k = f[2];
        if (n != k + 5 || k % 2 != 0)
            return "reply, malformed (" + std::to_string(n) + " bytes, " + std::to_string(k) + " announced)";
        const bool input = function == Fc::ReadInput;
        // The request names the registers when it is the one this answers.
        const bool named = request.size() == 8 && request[0] == f[0] && request[1] == function
                           && Rtu::GetU16(&request[4]) * 2u == k;
        std::string out = "reply";
        if (!named)
            out += " " + std::to_string(k / 2) + (k == 2 ? " word:" : " words:");
        const uint16_t first = named ? Rtu::GetU16(&request[2]) : 0;
        for (size_t i = 0; i < k / 2; ++i) {
            const uint16_t value = Rtu::GetU16(&f[3 + 2 * i]);
            out += " " + (named ? Assignment(input, static_cast<uint16_t>(first + i), value) : std::to_string(value));
        }
        return out;
    }
    if (function == Fc::WriteSingle && n == 8) {
        const uint16_t reg = Rtu::GetU16(&f[2]);
        return "wrote 0x" + Hex(reg, 4) + " " + Assignment(false, reg, Rtu::GetU16(&f[4]));
    }
    if (function == Fc::WriteMultiple && n == 8) {
        const uint16_t first = Rtu::GetU16(&f[2]);
        const uint16_t count = Rtu::GetU16(&f[4]);
        if (count <= 1)
            return "wrote 0x" + Hex(first, 4) + " x" + std::to_string(count);
        return "wrote 0x" + Hex(first, 4) + "..0x" + Hex(static_cast<uint16_t>(first + count - 1), 4) + " x"
               + std::to_string(count);
    }
    if (function == Fc::WriteSingle || function == Fc::WriteMultiple)
        return "wrote, malformed (" + std::to_string(n) + " bytes)";
    return FunctionText(function) + " (" + std::to_string(n - 4) + " data bytes)";
}

} // namespace

std::string DecodeFrame(std::span<const uint8_t> frame, FrameDirection direction, const DecodeContext &context)
{
    const std::string who = context.echo ? "echo" : direction == FrameDirection::ToSlave ? "M>S" : "S>M";
    const size_t n = frame.size();
    if (n == 0)
        return who + " nothing";
    // Address, function and CRC at least; four bytes is already an
    // exception or request missing its body, shown by the checks below.
    if (n < 4)
        return who + " garbage (" + std::to_string(n) + (n == 1 ? " byte): " : " bytes): ") + Dump(frame);
    if (!Rtu::CrcMatches(frame.data(), n))
        return who + " bad CRC (" + std::to_string(n) + " bytes): " + Dump(frame);

    const uint8_t address = frame[0];
    std::string out = who + " " + AddressText(address) + " ";
    const bool request = direction == FrameDirection::ToSlave || context.echo;
    out += request ? Request(frame) : Reply(frame, context.request);
    if (request && address == 0)
        out += ", broadcast (no reply expected)";
    return out;
}

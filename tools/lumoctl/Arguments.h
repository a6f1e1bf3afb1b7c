#pragma once
// Reading numbers from the command line. Every refusal is a usage error
// (exit 2) that names the argument and the accepted range; nothing is cut
// to a field width or clamped.

#include <cstdint>
#include <optional>
#include <string>

// Actuator addresses: 0 is the broadcast address and 128 and up are not
// actuator addresses.
inline constexpr long kFirstAddress = 1;
inline constexpr long kLastAddress = 127;
// Any Modbus slave, for raw requests to other devices on the bus.
inline constexpr long kLastModbusAddress = 247;

// A whole number: decimal with an optional sign, or with allowHex also
// "0x" followed by hex digits. Nothing else (no blanks, no trailing text).
std::optional<long> ParseNumber(const std::string &text, bool allowHex);

// The number in `text` when it lies in low..high; otherwise a usage error
// "<what> must be a number from <low> to <high>, not '<text>'".
long ParseInRange(const std::string &text, const std::string &what, long low, long high, bool allowHex = false);

// An actuator address 1..127.
uint8_t ParseAddress(const std::string &text, const std::string &what = "address");

#include "Arguments.h"

#include <cctype>

#include "Output.h"
#include "config/ConfigRules.h"

std::optional<long> ParseNumber(const std::string &text, bool allowHex)
{
    if (allowHex && text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        long value = 0;
        for (size_t i = 2; i < text.size(); ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (!std::isxdigit(c))
                return std::nullopt;
            const int digit = std::isdigit(c) ? c - '0' : std::tolower(c) - 'a' + 10;
            // Far beyond any register or value: refuse instead of overflowing.
            if (value > 0xFFFFFFF)
                return std::nullopt;
            value = value * 16 + digit;
        }
        return value;
    }
    // The same reading of a decimal as the configuration page's edits.
    return ParseDecimal(text);
}

long ParseInRange(const std::string &text, const std::string &what, long low, long high, bool allowHex)
{
    const std::optional<long> value = ParseNumber(text, allowHex);
    if (!value || *value < low || *value > high)
        ThrowUsage(what + " must be a number from " + std::to_string(low) + " to " + std::to_string(high) +
                   ", not '" + text + "'");
    return *value;
}

uint8_t ParseAddress(const std::string &text, const std::string &what)
{
    return static_cast<uint8_t>(ParseInRange(text, what, kFirstAddress, kLastAddress));
}

#include "modbus/Crc.h"

#include <array>

namespace {
// One table lookup per byte instead of eight shifts: the engine checks every
// reply and the fuzzers hammer this, so the table pays for its 512 bytes.
constexpr std::array<uint16_t, 256> MakeTable()
{
    std::array<uint16_t, 256> table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t crc = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
        table[i] = crc;
    }
    return table;
}
constexpr auto kTable = MakeTable();
} // namespace

uint16_t CalcCrc16(const uint8_t *bytes, size_t length)
{
    uint16_t crc = 0xFFFF;
    for (size_t i = 0; i < length; ++i)
        crc = static_cast<uint16_t>((crc >> 8) ^ kTable[(crc ^ bytes[i]) & 0xFF]);
    return crc;
}

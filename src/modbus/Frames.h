#pragma once
// Small pure helpers for RTU frames, shared by the engine and the virtual bus.

#include <cstddef>
#include <cstdint>

#include "modbus/Crc.h"

namespace Rtu {

// The longest RTU frame: address, 253-byte PDU, CRC.
inline constexpr size_t MaxFrameLength = 256;
// 0x10 carries at most 123 registers (9 + 2 * 123 = 255 bytes).
inline constexpr uint16_t MaxWriteRegisters = 123;

// Register addresses, counts and values go high byte first.
inline void PutU16(uint8_t *p, uint16_t value)
{
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value & 0xFF);
}

inline uint16_t GetU16(const uint8_t *p)
{
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

// Appends the CRC of frame[0, length) at frame[length], low byte first;
// returns the new length. The caller provides the two bytes of room.
inline size_t AppendCrc(uint8_t *frame, size_t length)
{
    const uint16_t crc = CalcCrc16(frame, length);
    frame[length] = static_cast<uint8_t>(crc & 0xFF);
    frame[length + 1] = static_cast<uint8_t>(crc >> 8);
    return length + 2;
}

// True when the last two bytes of a frame of `length` (>= 3) bytes are the
// CRC of the bytes before them.
inline bool CrcMatches(const uint8_t *frame, size_t length)
{
    if (length < 3)
        return false;
    const uint16_t crc = CalcCrc16(frame, length - 2);
    return frame[length - 2] == (crc & 0xFF) && frame[length - 1] == (crc >> 8);
}

} // namespace Rtu

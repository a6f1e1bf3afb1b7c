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

// The length of the normal reply a slave gives to `request` (a whole frame
// of `length` bytes, CRC included): 0x03/0x04 5 + 2 per register, 0x01/0x02
// 5 + one per 8 bits, 0x05/0x06/0x0F/0x10 8. Any other function, or a
// request too short to say, gets 5, the length of an exception reply.
inline size_t ExpectedReplyLength(const uint8_t *request, size_t length)
{
    if (request == nullptr || length < 8)
        return 5;
    const size_t count = GetU16(&request[4]);
    switch (request[1]) {
    case 0x01:
    case 0x02: return 5 + (count + 7) / 8 > MaxFrameLength ? MaxFrameLength : 5 + (count + 7) / 8;
    case 0x03:
    case 0x04: return 5 + 2 * count > MaxFrameLength ? MaxFrameLength : 5 + 2 * count;
    case 0x05:
    case 0x06:
    case 0x0F:
    case 0x10: return 8;
    default: return 5;
    }
}

} // namespace Rtu

#pragma once
#include <cstddef>
#include <cstdint>

// CRC-16/MODBUS: initial 0xFFFF, reflected polynomial 0xA001, no final XOR.
// On the wire it follows the covered bytes, low byte first.
// "123456789" gives 0x4B37; no bytes give 0xFFFF.
uint16_t CalcCrc16(const uint8_t *bytes, size_t length);

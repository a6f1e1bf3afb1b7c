#pragma once
// One line of words for one frame, for a technician reading the bus
// monitor: who it is for, what it asks or answers, register names from the
// register map and the values.
//
//   M>S 05 read holding 0x001F..0x002C CurrentPos..BaudRate x14
//   S>M 05 reply CurrentPos=0 MaxPos=1000 ... BaudRate=0 (115200)
//   M>S 05 write 0x0025 ActionCmdIn=3 (Stop)
//   M>S 00 write 0x0025 ActionCmdIn=3 (Stop), broadcast (no reply expected)
//   S>M 05 wrote 0x0020..0x0022 x3
//   S>M 05 exception 02 illegal data address
//   echo 05 read holding 0x0020 MaxPos
//   S>M bad CRC (7 bytes): 05 03 02 03 E8 00 00
//   S>M garbage (2 bytes): FF 05
//
// The slave address is decimal, two digits at least, as the window and
// lumoctl take it; register addresses are hexadecimal, values decimal.

#include <cstdint>
#include <span>
#include <string>

enum class FrameDirection { ToSlave, FromSlave };

struct DecodeContext {
    // For a reply: the request it answers. A read reply carries no register
    // addresses; with its request the values are named, without it they are
    // listed as words.
    std::span<const uint8_t> request;
    // The adapter's copy of our own request: decoded as the request, marked "echo".
    bool echo = false;
};

// Never fails: a frame that is too short, has a bad CRC or does not fit its
// function code is shown as such, with its bytes in hex.
std::string DecodeFrame(std::span<const uint8_t> frame, FrameDirection direction, const DecodeContext &context = {});

#pragma once
// Result of every bus operation. 0 is success; callers keep it in 32 bits.

#include <cstdint>

using ResultCode = uint16_t;

namespace Result {
inline constexpr ResultCode NoError = 0x0000;
inline constexpr ResultCode ParameterError = 0x0001;  // refused before anything was sent
inline constexpr ResultCode CmdRetry = 0x0002;        // reserved
inline constexpr ResultCode WaitingForErase = 0x0003; // reserved
inline constexpr ResultCode WriteError = 0x1001;      // the port did not take the whole request
inline constexpr ResultCode RespondError = 0x1002;    // reserved
inline constexpr ResultCode ReadError = 0x2001;       // part of the reply missing or short
inline constexpr ResultCode ReadHeadError = 0x2002;   // strict read: first byte was not the slave
inline constexpr ResultCode ReadCommandError = 0x2003;
inline constexpr ResultCode ReceivedDataError = 0x2004; // reply data does not fit what was asked
inline constexpr ResultCode ChecksumError = 0x2005;
inline constexpr ResultCode ReadDataWait = 0x2006;    // searching read: the slave address never came
inline constexpr ResultCode AckError = 0x3001;        // reserved
inline constexpr ResultCode SetDataError = 0x3002;    // a write echo carried another value
inline constexpr ResultCode ExceptionReply = 0x4001;  // slave answered with a Modbus exception
inline constexpr ResultCode PortError = 0xFFFF;
} // namespace Result

// The status-bar text of a result; every value without a text of its own
// (the exception reply included) reads "unknow Error".
const char *ResultText(uint32_t code);

// The standard name of a Modbus exception code: 0x01 "illegal function",
// 0x02 "illegal data address", 0x03 "illegal data value", 0x04 "server
// device failure", 0x05 "acknowledge", 0x06 "server device busy", 0x0A
// "gateway path unavailable", 0x0B "gateway target device failed to
// respond"; nullptr for any other code.
const char *ExceptionName(uint8_t code);

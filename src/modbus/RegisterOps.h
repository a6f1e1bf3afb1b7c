#pragma once
// One operation per actuator register and direction. Each makes exactly one
// request (a broadcast write may repeat it); retrying is the caller's
// business, through RunAttempts. Only ReadActuatorRegisters loops itself.

#include <array>
#include <cstdint>
#include <functional>

#include "modbus/Registers.h"
#include "modbus/RtuEngine.h"

// The attempt loop every workflow wraps around a bus operation: run it, keep
// its code in lastResult, call `after`, wait gapMs; repeat while it fails,
// at most `tries` times and at least once. `before` runs ahead of each
// attempt (the window refreshes its busy state there). Returns the last
// attempt's own result, whatever a handler in a gap did to lastResult.
struct AttemptHooks {
    std::function<void()> before;
    std::function<void()> after;
};
ResultCode RunAttempts(RtuEngine &engine, int32_t tries, uint32_t gapMs, uint32_t &lastResult,
                       const std::function<ResultCode()> &operation, const AttemptHooks &hooks = {});

class ActuatorRegisters {
public:
    // The settings are the window's fields, read at every call.
    ActuatorRegisters(RtuEngine &engine, const uint32_t &responseDelayMs, const uint32_t &commandGapMs,
                      const int32_t &cmdTryCount, const int32_t &broadcastRepeat);

    // Reads: address 0 is refused with 0x0001 and nothing is sent; the
    // out-value is written only on success. ReadMotorStatus reads searching
    // (it skips stray bytes before the reply), the others strict.
    ResultCode ReadMotorStatus(uint8_t address, uint16_t &state, uint16_t &flags);
    ResultCode ReadMotorCurrent(uint8_t address, uint16_t &value);
    ResultCode ReadFwVersion(uint8_t address, uint16_t &value);
    ResultCode ReadModel(uint8_t address, uint16_t &value);
    ResultCode ReadName(uint8_t address, uint16_t &value);
    ResultCode ReadCurrentPos(uint8_t address, uint16_t &value);
    ResultCode ReadMaxPos(uint8_t address, uint16_t &value);
    ResultCode ReadRearLimit(uint8_t address, uint16_t &value);
    ResultCode ReadFrontLimit(uint8_t address, uint16_t &value);
    ResultCode ReadCurrentLimit(uint8_t address, uint16_t &value);
    ResultCode ReadSpeedPwm(uint8_t address, uint16_t &value);
    ResultCode ReadSettingFlag(uint8_t address, uint16_t &value);
    ResultCode ReadVoltageOut(uint8_t address, uint16_t &value);
    ResultCode ReadPosOffset(uint8_t address, uint16_t &value);
    ResultCode ReadHallPotSelect(uint8_t address, uint16_t &value);
    ResultCode ReadBaudRate(uint8_t address, uint16_t &value);

    // Writes: strict echo, compared on the value (0x3002 when it differs).
    ResultCode WriteMaxPos(uint8_t address, uint16_t value);
    ResultCode WriteRearLimit(uint8_t address, uint16_t value);
    ResultCode WriteFrontLimit(uint8_t address, uint16_t value);
    ResultCode WriteCurrentLimit(uint8_t address, uint16_t value);
    ResultCode WriteSpeedPwm(uint8_t address, uint16_t value);
    ResultCode WriteSettingFlag(uint8_t address, uint16_t value);
    ResultCode WriteVoltageOut(uint8_t address, uint16_t value);
    // Broadcast-capable: to address 0 the frame goes out broadcastRepeat
    // times, each followed by commandGapMs, and no reply is read.
    ResultCode WriteActionCmdIn(uint8_t address, uint16_t value);
    ResultCode WriteGoToPos(uint8_t address, uint16_t value);
    ResultCode WriteHallPotSelect(uint8_t address, uint16_t value);
    ResultCode WriteBaudRate(uint8_t address, uint16_t value);
    // The device answers from its old address after a fixed 20 ms.
    ResultCode WriteAddress(uint8_t oldAddress, uint8_t newAddress);

    // The 14 registers 0x001F..0x002C in one request, with cmdTryCount
    // attempts; `after` runs after each (the window refreshes its status
    // bar). True on success; lastResult holds the last attempt's code and
    // `words` is untouched on failure.
    bool ReadActuatorRegisters(uint8_t address, std::array<uint16_t, Reg::BlockCount> &words, uint32_t &lastResult,
                               const std::function<void()> &after = {});

    static constexpr uint32_t AddressEchoWaitMs = 20;
    static constexpr size_t ReplyArea = 20;

    RtuEngine &engine() { return engine_; }

private:
    ResultCode ReadWords(uint8_t function, uint16_t reg, uint16_t count, uint8_t address, uint16_t *values,
                         bool searching);
    ResultCode ReadOne(uint8_t function, uint16_t reg, uint8_t address, uint16_t &value);
    ResultCode WriteOne(uint16_t reg, uint8_t address, uint16_t value, bool broadcastCapable);
    ResultCode AwaitEcho(uint8_t address, uint16_t expected, uint32_t waitMs);

    RtuEngine &engine_;
    const uint32_t &responseDelayMs_;
    const uint32_t &commandGapMs_;
    const int32_t &cmdTryCount_;
    const int32_t &broadcastRepeat_;
};

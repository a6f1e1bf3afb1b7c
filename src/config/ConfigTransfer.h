#pragma once
// Reading and writing a whole configuration, register by register, each
// register with the window's attempt loop.

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>

#include "config/ActuatorConfig.h"
#include "modbus/RegisterOps.h"

// The window's console-state fields a transfer reads and updates.
struct TransferContext {
    uint32_t &lastResult;      // the code of the last attempt, shown in the status bar
    bool &isBusy;              // held by ReadConfig from start to return
    uint16_t &posOffset;       // set to 0 by a complete ReadConfig
    const int32_t &cmdTryCount;
    const uint32_t &commandGapMs;
    std::function<void(bool busy)> refreshUiState; // called with false after every attempt
};

// Reads MaxPos, RearLimit, FrontLimit, CurrentLimit, SpeedPwm, SettingFlag,
// VoltageOut, HallPotSelect, BaudRate and PosOffset, in that order, into
// words 1 to 10 of `record`. Stops at the first register that fails all its
// attempts: the words read before it are filled, the rest keep their values.
// True when all ten were read; then posOffset is 0. motorId is never touched.
// Address 0 or no record: lastResult 1, one refresh, nothing sent, false.
bool ReadConfig(ActuatorRegisters &registers, uint8_t address, ActuatorConfig *record, TransferContext &context);

// The registers WriteConfig sends, by name, in the order it sends them.
inline constexpr std::array<const char *, 9> kConfigWriteOrder = {
    "MaxPos", "RearLimit", "FrontLimit", "CurrentLimit", "SpeedPwm",
    "SettingFlag", "HallPotSelect", "BaudRate", "VoltageOut"};

// Writes MaxPos, RearLimit, FrontLimit, CurrentLimit, SpeedPwm, SettingFlag,
// HallPotSelect, BaudRate and last VoltageOut. Stops at the first register
// that fails all its attempts; the registers already written keep their new
// values on the device (nothing is rolled back). motorId and PosOffset are
// never written, and isBusy is not set. `written`, when given, receives how
// many registers (of kConfigWriteOrder, from the first) the device took:
// 9 after a complete write; on a failure the next one is the register that
// failed, with lastResult its code.
// Address 0 or no record: lastResult 1, one refresh, nothing sent, false.
bool WriteConfig(ActuatorRegisters &registers, uint8_t address, const ActuatorConfig *record,
                 TransferContext &context, size_t *written = nullptr);

// What a failed WriteConfig left on the device, as far as a read-back shows.
struct WriteReadBack {
    bool read = false;   // the register the write stopped at was read back
    uint16_t value = 0;  // what it holds, when read
    size_t taken = 0;    // registers of kConfigWriteOrder the device took, from the first
};

// A device can carry out a write whose reply the line then loses or garbles,
// so the register a write stopped at may hold its new value all the same.
// Reads that one register back (with the attempt loop, holding isBusy) and
// counts it as taken when it holds the value sent. Registers after it were
// never sent. When the read-back fails, `taken` is `written`: only what the
// replies confirmed. lastResult keeps the write's code, so the status bar
// still shows why the write failed.
WriteReadBack ReadBackFailedWrite(ActuatorRegisters &registers, uint8_t address, const ActuatorConfig &sent,
                                  size_t written, TransferContext &context);

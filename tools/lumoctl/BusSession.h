#pragma once
// One open bus for the length of a command: the port, the engine, the
// typed register operations and the settings the window's connect would
// give them for the chosen baud rate.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "Output.h"
#include "config/ConfigTransfer.h"
#include "modbus/RegisterOps.h"
#include "modbus/RtuEngine.h"
#include "serial/ComPort.h"

// The reply wait and the gap between attempts at one line speed.
struct LineTiming {
    uint32_t responseDelayMs;
    uint32_t commandGapMs;
};
// 115200: 30/20 ms, 19200: 40/25, 9600: 55/35, 4800: 100/50; nothing for
// any other rate.
std::optional<LineTiming> TimingForBaud(int32_t baudRate);

// Why a port would not open, in words and with what usually helps:
// "Permission denied (add your user to the dialout group: ...)".
std::string OpenFailureReason(uint32_t systemError);

class BusSession {
public:
    // Opens `port` (a device path, a bare name such as ttyUSB0, or an entry
    // of `lumoctl ports` such as "/dev/ttyUSB0 >>PL-2303"). Throws a
    // Failure with ExitPort when it cannot be opened, ExitUsage for an
    // unsupported baud rate or a try count outside 1..5.
    BusSession(const std::string &port, int32_t baudRate, int32_t tries);
    ~BusSession();
    BusSession(const BusSession &) = delete;
    BusSession &operator=(const BusSession &) = delete;

    // The window's attempt loop: cmdTryCount attempts at most, each followed
    // by commandGapMs; the last attempt's code.
    ResultCode Attempt(const std::function<ResultCode()> &operation);
    // Waits, with nothing on the bus.
    void Pause(uint32_t milliseconds) { engine_.DelayWithMessages(milliseconds); }
    // Discards whatever is waiting on the line (a late reply of an earlier
    // attempt) before a transfer.
    void DrainInput();

    // `code` as a bus failure, with the exception code the device sent when
    // `code` is an exception reply of the last request.
    BusError ErrorOf(ResultCode code) const
    {
        return {code, code == Result::ExceptionReply ? engine_.LastExceptionCode() : uint8_t{0}};
    }

    // The failure of the last transfer or block read (lastResult).
    BusError LastTransferError() const { return ErrorOf(static_cast<ResultCode>(lastResult_)); }

    ActuatorRegisters &registers() { return registers_; }
    RtuEngine &engine() { return engine_; }
    TransferContext &transfer() { return transfer_; }
    const std::string &portName() const { return portName_; }
    int32_t baudRate() const { return baudRate_; }
    int32_t tries() const { return cmdTryCount_; }
    uint32_t commandGapMs() const { return commandGapMs_; }
    uint16_t posOffset() const { return posOffset_; }
    // The code of the last attempt of a transfer or block read.
    uint32_t &lastResult() { return lastResult_; }

    static constexpr int32_t kQueueSize = 2048;
    static constexpr uint32_t kWriteTimeoutMs = 200;

private:
    std::string portName_;
    int32_t baudRate_;
    // The fields the engine, the register operations and the transfers read
    // through references; declared before them.
    std::unique_ptr<C_ComPort> comPort_;
    uint32_t responseDelayMs_ = 30;
    uint32_t commandGapMs_ = 20;
    int32_t cmdTryCount_ = 3;
    int32_t broadcastRepeat_ = 1;
    uint32_t lastResult_ = 0;
    bool isBusy_ = false;
    uint16_t posOffset_ = 0;
    RtuEngine engine_;
    ActuatorRegisters registers_;
    TransferContext transfer_;
};

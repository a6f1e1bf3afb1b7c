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

// The silence that ends an RTU frame, t3.5, in microseconds: 3.5
// characters of 10 bits (8N1), fixed at 1750 us above 19200 baud. At 9600
// baud 3646 us, at 4800 7292 us.
uint32_t SilentIntervalUs(int32_t baudRate);

// How long lumoctl waits for the reply to `request` (a whole frame, CRC
// included), counted from the end of its write: both frames' time on the
// wire (the reply's length follows from the request), the t3.5 after the
// request, and the reply wait of the rate (responseDelayMs) for what is not
// on the wire: the device's turnaround and the USB adapter's latency timer
// (16 ms by default). A status probe at 115200 baud gets 30 + 1.5 + 1.75,
// rounded up: 34 ms; the 14-register block read at 4800 baud 100 + 85.4 +
// 7.3: 193 ms, still inside the 200 ms after which the window itself
// (the reply wait and its ten 10 ms read polls) gives a silent device up.
uint32_t ReplyWindowMs(int32_t baudRate, const uint8_t *request, size_t length);

// Why a port would not open, in words and with what usually helps:
// "Permission denied (add your user to the dialout group: ...)".
std::string OpenFailureReason(uint32_t systemError);

// What lumoctl says when the port goes away during a command (an adapter
// unplugged, a virtual line closed): "the port /dev/ttyUSB0 is gone (...)".
// `port` is the port argument as given.
std::string LostPortText(const std::string &port);

class BusSession {
public:
    // Opens `port` (a device path, a bare name such as ttyUSB0, or an entry
    // of `lumoctl ports` such as "/dev/ttyUSB0 >>PL-2303"). Throws a
    // Failure with ExitPort when it cannot be opened, ExitUsage for an
    // unsupported baud rate or a try count outside 1..5.
    // `observer`, when given, sees every frame from the first request on.
    BusSession(const std::string &port, int32_t baudRate, int32_t tries, EchoMode echo = EchoMode::Auto,
               FrameObserver observer = {});
    ~BusSession();
    BusSession(const BusSession &) = delete;
    BusSession &operator=(const BusSession &) = delete;

    // The attempt loop: cmdTryCount attempts at most; the last attempt's
    // code. Each attempt is followed by commandGapMs when something came
    // back, and by t3.5 alone when the line stayed silent: then no device
    // has anything to finish, and the line only needs its frame gap.
    ResultCode Attempt(const std::function<ResultCode()> &operation);
    // The scan's probe: like Attempt, but tries again only while something
    // was heard (a garbled reply is worth another attempt; silence is an
    // empty address).
    ResultCode Probe(const std::function<ResultCode()> &operation);
    // For reads of a whole bus: like Attempt, but after a reply only the
    // line's frame gap (t3.5) is owed. A device that has answered a read
    // has finished with it; the command gap is for a device that may still
    // be storing a write.
    // onlyWhileHeard: as Probe, tries again only while something was heard.
    ResultCode AttemptRead(const std::function<ResultCode()> &operation, bool onlyWhileHeard = false);
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

    const std::unique_ptr<C_ComPort> &comPort() const { return comPort_; }
    // The port has gone away since it was opened: nothing more can be sent.
    bool PortLost() const { return !comPort_ || !comPort_->IsOpen() || comPort_->HungUp(); }

    ActuatorRegisters &registers() { return registers_; }
    RtuEngine &engine() { return engine_; }
    TransferContext &transfer() { return transfer_; }
    const std::string &portName() const { return portName_; }
    int32_t baudRate() const { return baudRate_; }
    int32_t tries() const { return cmdTryCount_; }
    uint32_t commandGapMs() const { return commandGapMs_; }
    // t3.5 in whole milliseconds, rounded up: 2 ms above 19200 baud.
    uint32_t silentIntervalMs() const { return silentIntervalMs_; }
    uint16_t posOffset() const { return posOffset_; }
    // The code of the last attempt of a transfer or block read.
    uint32_t &lastResult() { return lastResult_; }

    static constexpr int32_t kQueueSize = 2048;
    static constexpr uint32_t kWriteTimeoutMs = 200;

private:
    ResultCode Attempts(const std::function<ResultCode()> &operation, bool onlyWhileHeard, bool read = false);
    // The pause after one transaction ended with `code`.
    void PauseAfter(ResultCode code, bool read = false);

    std::string portName_;
    int32_t baudRate_;
    // The fields the engine, the register operations and the transfers read
    // through references; declared before them.
    std::unique_ptr<C_ComPort> comPort_;
    uint32_t responseDelayMs_ = 30;
    uint32_t commandGapMs_ = 20;
    uint32_t silentIntervalMs_ = 2;
    int32_t cmdTryCount_ = 3;
    int32_t broadcastRepeat_ = 1;
    uint32_t lastResult_ = 0;
    bool isBusy_ = false;
    uint16_t posOffset_ = 0;
    RtuEngine engine_;
    ActuatorRegisters registers_;
    TransferContext transfer_;
};

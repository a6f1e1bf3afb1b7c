#include "BusSession.h"

#include <cerrno>
#include <cstring>
#include <utility>

#include "Output.h"
#include "modbus/Frames.h"
#include "serial/SerialPorts.h"

std::optional<LineTiming> TimingForBaud(int32_t baudRate)
{
    switch (baudRate) {
    case 115200: return LineTiming{30, 20};
    case 4800: return LineTiming{100, 50};
    case 9600: return LineTiming{55, 35};
    case 19200: return LineTiming{40, 25};
    default: return std::nullopt;
    }
}

uint32_t SilentIntervalUs(int32_t baudRate)
{
    if (baudRate <= 0)
        return 0;
    if (baudRate > 19200)
        return 1750;
    // 3.5 characters of 10 bits: 35 bit times.
    return static_cast<uint32_t>((35ull * 1000000 + static_cast<uint64_t>(baudRate) - 1) / static_cast<uint64_t>(baudRate));
}

uint32_t ReplyWindowMs(int32_t baudRate, const uint8_t *request, size_t length)
{
    const std::optional<LineTiming> timing = TimingForBaud(baudRate);
    if (!timing)
        return 0;
    const uint64_t onWire = length + Rtu::ExpectedReplyLength(request, length);
    // 10 bits a character; microseconds, rounded up to whole milliseconds.
    const uint64_t wireUs = (onWire * 10 * 1000000 + static_cast<uint64_t>(baudRate) - 1) / static_cast<uint64_t>(baudRate);
    const uint64_t us = wireUs + SilentIntervalUs(baudRate);
    return timing->responseDelayMs + static_cast<uint32_t>((us + 999) / 1000);
}

std::string OpenFailureReason(uint32_t systemError)
{
    if (systemError == 0)
        return "the port refused its settings";
    std::string reason = std::strerror(static_cast<int>(systemError));
    switch (systemError) {
    case EACCES:
    case EPERM:
        reason += " (add your user to the dialout group: sudo usermod -aG dialout \"$USER\", then log out and in again)";
        break;
    case EWOULDBLOCK:
    case EBUSY:
        reason += " (another program has the port open)";
        break;
    case ENOENT:
    case ENODEV:
    case ENXIO:
        reason += " ('lumoctl ports' lists the serial ports)";
        break;
    default:
        break;
    }
    return reason;
}

namespace {

std::string PortOfArgument(const std::string &port)
{
    const std::string fromEntry = PortNameOfEntry(port);
    return fromEntry.empty() ? port : fromEntry;
}

} // namespace

std::string LostPortText(const std::string &port)
{
    return "the port " + PortOfArgument(port) + " is gone (the adapter was unplugged or the port was closed)";
}

BusSession::BusSession(const std::string &port, int32_t baudRate, int32_t tries, EchoMode echo,
                       FrameObserver observer)
    : portName_(PortOfArgument(port)), baudRate_(baudRate), cmdTryCount_(tries),
      engine_(comPort_, responseDelayMs_),
      registers_(engine_, responseDelayMs_, commandGapMs_, cmdTryCount_, broadcastRepeat_),
      transfer_{lastResult_, isBusy_, posOffset_, cmdTryCount_, commandGapMs_, {}}
{
    const std::optional<LineTiming> timing = TimingForBaud(baudRate);
    if (!timing)
        ThrowUsage("--baud must be 115200, 4800, 9600 or 19200, not " + std::to_string(baudRate));
    if (tries < 1 || tries > 5)
        ThrowUsage("--tries must be a number from 1 to 5, not " + std::to_string(tries));
    if (portName_.empty())
        ThrowUsage("--port is required for this command ('lumoctl ports' lists the serial ports)");

    comPort_ = std::make_unique<C_ComPort>();
    if (!comPort_->Open(portName_, baudRate, kQueueSize)) {
        const uint32_t error = comPort_->lastError;
        comPort_.reset();
        throw Failure(ExitPort, "cannot open " + portName_ + ": " + OpenFailureReason(error));
    }
    comPort_->SetTimeouts(kWriteTimeoutMs);
    // What the window's connect sets for the chosen rate.
    responseDelayMs_ = timing->responseDelayMs;
    commandGapMs_ = timing->commandGapMs;
    silentIntervalMs_ = (SilentIntervalUs(baudRate) + 999) / 1000;
    // A transaction ends as soon as its reply is whole, and a silent device
    // costs one reply window (see ReplyWindowMs), not the fixed wait and
    // every read poll after it.
    engine_.SetReplyMode(ReplyMode::AsSoonAsComplete);
    engine_.SetReplyWindow(
        [baudRate](const uint8_t *frame, size_t length) { return ReplyWindowMs(baudRate, frame, length); });
    engine_.SetLineTiming(baudRate);
    engine_.SetEchoMode(echo);
    engine_.SetFrameObserver(std::move(observer));
}

BusSession::~BusSession()
{
    if (comPort_) {
        comPort_->DrainInput();
        comPort_->Close();
    }
}

ResultCode BusSession::Attempt(const std::function<ResultCode()> &operation)
{
    return Attempts(operation, false);
}

ResultCode BusSession::Probe(const std::function<ResultCode()> &operation)
{
    return Attempts(operation, true);
}

ResultCode BusSession::AttemptRead(const std::function<ResultCode()> &operation, bool onlyWhileHeard)
{
    return Attempts(operation, onlyWhileHeard, true);
}

ResultCode BusSession::Attempts(const std::function<ResultCode()> &operation, bool onlyWhileHeard, bool read)
{
    int32_t made = 0;
    ResultCode result = Result::NoError;
    for (;;) {
        result = operation();
        lastResult_ = result;
        ++made;
        const bool heard = engine_.BytesHeard() > 0;
        PauseAfter(result, read);
        if (result == Result::NoError || result == Result::PortError || made >= cmdTryCount_)
            return result;
        if (onlyWhileHeard && !heard)
            return result;
    }
}

void BusSession::PauseAfter(ResultCode code, bool read)
{
    if (read && code == Result::NoError) {
        engine_.DelayWithMessages(silentIntervalMs_);
        return;
    }
    // A device that answered (even garbled) may still be busy with the
    // request, so it gets the command gap; after silence only the line's
    // frame gap is owed.
    const bool silent = code != Result::NoError && engine_.BytesHeard() == 0;
    engine_.DelayWithMessages(silent ? silentIntervalMs_ : commandGapMs_);
}

void BusSession::DrainInput()
{
    if (comPort_)
        comPort_->DrainInput();
}

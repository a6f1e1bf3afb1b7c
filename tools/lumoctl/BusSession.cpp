#include "BusSession.h"

#include <cerrno>
#include <cstring>

#include "Output.h"
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

BusSession::BusSession(const std::string &port, int32_t baudRate, int32_t tries)
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
    return RunAttempts(engine_, cmdTryCount_, commandGapMs_, lastResult_, operation);
}

void BusSession::DrainInput()
{
    if (comPort_)
        comPort_->DrainInput();
}

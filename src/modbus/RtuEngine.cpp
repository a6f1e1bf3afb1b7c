#include "modbus/RtuEngine.h"

#include <array>
#include <cstring>

#include "modbus/Frames.h"
#include "modbus/Registers.h"

RtuEngine::RtuEngine(const std::unique_ptr<C_ComPort> &comPort, const uint32_t &responseDelayMs, Clock &clock,
                     MessagePump pump)
    : comPort_(comPort), responseDelayMs_(responseDelayMs), clock_(clock), pump_(std::move(pump))
{
}

ResultCode RtuEngine::SendRequest(uint8_t address, const uint8_t *pdu, size_t pduLength, bool awaitReply)
{
    inTransaction_ = false;
    lastException_ = 0;
    if (!comPort_ || !comPort_->IsOpen())
        return Result::PortError;
    // Address, PDU and two CRC bytes must fit one RTU frame.
    if (pdu == nullptr || pduLength == 0 || pduLength + 3 > Rtu::MaxFrameLength)
        return Result::ParameterError;

    std::array<uint8_t, Rtu::MaxFrameLength> frame{};
    frame[0] = address;
    std::memcpy(frame.data() + 1, pdu, pduLength);
    const size_t length = Rtu::AppendCrc(frame.data(), pduLength + 1);

    // A reply that came too late for its own transaction must not be taken
    // for the answer to this one: without transaction numbers on an RTU
    // line, the only safe place for stale bytes is the bin.
    comPort_->DiscardInput();
    if (!comPort_->Write(frame.data(), length))
        return comPort_->HungUp() ? Result::PortError : Result::WriteError;
    inTransaction_ = awaitReply;
    return Result::NoError;
}

ResultCode RtuEngine::ReceiveResponse(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                                      bool skipToAddress)
{
    const ResultCode result = Receive(address, out, outCapacity, outLength, skipToAddress);
    inTransaction_ = false;
    return result;
}

ResultCode RtuEngine::Fail(ResultCode code)
{
    // A reply that stopped because the line itself vanished is a port
    // failure, not a silent slave: the caller must close the port.
    if (comPort_ && comPort_->HungUp())
        return Result::PortError;
    return code;
}

ResultCode RtuEngine::Receive(uint8_t address, uint8_t *out, size_t outCapacity, int32_t &outLength,
                              bool skipToAddress)
{
    if (!comPort_ || !comPort_->IsOpen())
        return Result::PortError;
    if (out == nullptr)
        return Result::ParameterError;
    C_ComPort &port = *comPort_;

    // Longest reply: address, function, byte count, 255 data bytes, CRC.
    std::array<uint8_t, 3 + 255 + 2> frame{};

    // 1. The address byte. A searching read gives up after dropping the
    // longest possible frame's worth of bytes, so a babbling line cannot
    // hold the window.
    size_t dropped = 0;
    for (;;) {
        if (!port.Read(&frame[0], 1))
            return Fail(skipToAddress ? Result::ReadDataWait : Result::ReadError);
        if (frame[0] == address)
            break;
        if (!skipToAddress) {
            port.DrainInput();
            return Fail(Result::ReadHeadError);
        }
        if (++dropped >= MaxSkippedBytes)
            return Result::ReadDataWait;
    }

    // 2. The function code decides the layout of the rest.
    if (!port.Read(&frame[1], 1))
        return Fail(Result::ReadError);
    const uint8_t function = frame[1];

    if (function & Fc::ExceptionBit) {
        // exception code, CRC low, CRC high
        if (!port.Read(&frame[2], 3))
            return Fail(Result::ReadError);
        if (!Rtu::CrcMatches(frame.data(), 5))
            return Result::ChecksumError;
        if (outCapacity < 1)
            return Result::ReceivedDataError;
        out[0] = frame[2];
        outLength = 1;
        lastException_ = frame[2];
        return Result::ExceptionReply;
    }

    if (function == Fc::ReadHolding || function == Fc::ReadInput) {
        if (!port.Read(&frame[2], 1))
            return Fail(Result::ReadError);
        const size_t k = frame[2];
        if (!port.Read(&frame[3], k + 2))
            return Fail(Result::ReadError);
        if (!Rtu::CrcMatches(frame.data(), k + 5))
            return Result::ChecksumError;
        // Never copy past the caller's area.
        if (k > outCapacity)
            return Result::ReceivedDataError;
        std::memcpy(out, &frame[3], k);
        outLength = static_cast<int32_t>(k);
        return Result::NoError;
    }

    if (function == Fc::WriteSingle || function == Fc::WriteMultiple) {
        // register high, low, value or count high, low, CRC low, high
        if (!port.Read(&frame[2], 6))
            return Fail(Result::ReadError);
        if (!Rtu::CrcMatches(frame.data(), 8))
            return Result::ChecksumError;
        if (outCapacity < 4)
            return Result::ReceivedDataError;
        std::memcpy(out, &frame[2], 4);
        outLength = 4;
        return Result::NoError;
    }

    // Unknown function: the rest of that reply stays queued.
    return Result::ReadCommandError;
}

ResultCode RtuEngine::ReadRegisters(uint8_t functionCode, uint8_t address, uint16_t startRegister, uint16_t count,
                                    uint16_t *destination)
{
    // A read reply carries at most 125 registers (its byte count is one byte).
    constexpr uint16_t kMaxReadRegisters = 125;
    if (address == 0 || count == 0 || count > kMaxReadRegisters || destination == nullptr)
        return Result::ParameterError;

    uint8_t pdu[5] = {functionCode, 0, 0, 0, 0};
    Rtu::PutU16(&pdu[1], startRegister);
    Rtu::PutU16(&pdu[3], count);
    ResultCode result = SendRequest(address, pdu, sizeof pdu);
    if (result != Result::NoError)
        return result;

    std::array<uint8_t, 2 * kMaxReadRegisters> area{};
    const size_t expected = 2u * count;
    int32_t length = 0;
    WaitForReply(responseDelayMs_);
    result = ReceiveResponse(address, area.data(), expected, length, true);
    if (result != Result::NoError)
        return result;
    // Registers the slave did not send must not read as zeros.
    if (static_cast<size_t>(length) != expected)
        return Result::ReceivedDataError;
    for (uint16_t i = 0; i < count; ++i)
        destination[i] = Rtu::GetU16(&area[2u * i]);
    return Result::NoError;
}

ResultCode RtuEngine::WriteRegisters(uint32_t functionCode, uint8_t address, uint16_t startRegister, uint16_t count,
                                     const uint16_t *values)
{
    if (count == 0 || values == nullptr)
        return Result::ParameterError;

    std::array<uint8_t, 6 + 2 * Rtu::MaxWriteRegisters> pdu{};
    size_t length = 0;
    uint16_t expectedEcho = 0;
    if (functionCode == Fc::WriteSingle) {
        if (count != 1)
            return Result::ParameterError;
        pdu[0] = Fc::WriteSingle;
        Rtu::PutU16(&pdu[1], startRegister);
        Rtu::PutU16(&pdu[3], values[0]);
        length = 5;
        expectedEcho = values[0];
    } else if (functionCode == Fc::WriteMultiple) {
        if (count > Rtu::MaxWriteRegisters)
            return Result::ParameterError;
        pdu[0] = Fc::WriteMultiple;
        Rtu::PutU16(&pdu[1], startRegister);
        Rtu::PutU16(&pdu[3], count);
        pdu[5] = static_cast<uint8_t>(2 * count);
        for (uint16_t i = 0; i < count; ++i)
            Rtu::PutU16(&pdu[6 + 2u * i], values[i]);
        length = 6 + 2u * count;
        expectedEcho = count;
    } else {
        return Result::ParameterError;
    }

    ResultCode result = SendRequest(address, pdu.data(), length);
    if (result != Result::NoError)
        return result;
    uint8_t area[20] = {};
    int32_t got = 0;
    WaitForReply(responseDelayMs_);
    result = ReceiveResponse(address, area, sizeof area, got, true);
    if (result != Result::NoError)
        return result;
    // Only the value (or count) is compared, not the echoed register.
    if (Rtu::GetU16(&area[2]) != expectedEcho)
        return Result::SetDataError;
    return Result::NoError;
}

void RtuEngine::DelayWithMessages(uint32_t milliseconds)
{
    const uint32_t start = clock_.TickMs();
    for (;;) {
        // Unsigned difference: a wait across the tick counter's wrap still
        // lasts the requested time.
        const uint32_t elapsed = clock_.TickMs() - start;
        if (elapsed >= milliseconds)
            return;
        const uint32_t remaining = milliseconds - elapsed;
        if (pump_ && !inTransaction_)
            pump_(remaining);
        else
            clock_.SleepMs(remaining);
    }
}

void RtuEngine::WaitForReply(uint32_t milliseconds)
{
    const uint32_t start = clock_.TickMs();
    for (uint32_t elapsed = 0; elapsed < milliseconds; elapsed = clock_.TickMs() - start)
        clock_.SleepMs(milliseconds - elapsed);
}

#include "modbus/RegisterOps.h"

#include "modbus/Frames.h"

ResultCode RunAttempts(RtuEngine &engine, int32_t tries, uint32_t gapMs, uint32_t &lastResult,
                       const std::function<ResultCode()> &operation, const AttemptHooks &hooks)
{
    // The loop decides on its own copy of the result: a handler that runs
    // during the gap may overwrite lastResult (a disconnect resets it to 0),
    // which must not turn a failed attempt into a success.
    int32_t made = 0;
    ResultCode result = Result::NoError;
    do {
        if (hooks.before)
            hooks.before();
        result = operation();
        lastResult = result;
        ++made;
        if (hooks.after)
            hooks.after();
        engine.DelayWithMessages(gapMs);
    } while (result != Result::NoError && made < tries);
    return result;
}

ActuatorRegisters::ActuatorRegisters(RtuEngine &engine, const uint32_t &responseDelayMs,
                                     const uint32_t &commandGapMs, const int32_t &cmdTryCount,
                                     const int32_t &broadcastRepeat)
    : engine_(engine), responseDelayMs_(responseDelayMs), commandGapMs_(commandGapMs), cmdTryCount_(cmdTryCount),
      broadcastRepeat_(broadcastRepeat)
{
}

ResultCode ActuatorRegisters::ReadWords(uint8_t function, uint16_t reg, uint16_t count, uint8_t address,
                                        uint16_t *values, bool searching)
{
    if (address == 0)
        return Result::ParameterError;
    uint8_t pdu[5] = {function, 0, 0, 0, 0};
    Rtu::PutU16(&pdu[1], reg);
    Rtu::PutU16(&pdu[3], count);
    ResultCode result = engine_.SendRequest(address, pdu, sizeof pdu);
    if (result != Result::NoError)
        return result;
    uint8_t area[ReplyArea] = {};
    int32_t length = 0;
    engine_.WaitForReply(responseDelayMs_);
    result = engine_.ReceiveResponse(address, area, sizeof area, length, searching);
    if (result != Result::NoError)
        return result;
    // A reply short of the registers asked for would read as zeros the
    // device never sent.
    if (length < 2 * count)
        return Result::ReceivedDataError;
    for (uint16_t i = 0; i < count; ++i)
        values[i] = Rtu::GetU16(&area[2 * i]);
    return Result::NoError;
}

ResultCode ActuatorRegisters::ReadOne(uint8_t function, uint16_t reg, uint8_t address, uint16_t &value)
{
    uint16_t word = 0;
    const ResultCode result = ReadWords(function, reg, 1, address, &word, false);
    if (result == Result::NoError)
        value = word;
    return result;
}

ResultCode ActuatorRegisters::ReadMotorStatus(uint8_t address, uint16_t &state, uint16_t &flags)
{
    uint16_t words[2] = {};
    const ResultCode result = ReadWords(Fc::ReadInput, Reg::MotorStatus, 2, address, words, true);
    if (result == Result::NoError) {
        state = words[0];
        flags = words[1];
    }
    return result;
}

ResultCode ActuatorRegisters::ReadMotorCurrent(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadInput, Reg::MotorCurrent, a, v); }
ResultCode ActuatorRegisters::ReadFwVersion(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadInput, Reg::FwVersion, a, v); }
ResultCode ActuatorRegisters::ReadModel(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadInput, Reg::Model, a, v); }
ResultCode ActuatorRegisters::ReadName(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::Name, a, v); }
ResultCode ActuatorRegisters::ReadCurrentPos(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::CurrentPos, a, v); }
ResultCode ActuatorRegisters::ReadMaxPos(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::MaxPos, a, v); }
ResultCode ActuatorRegisters::ReadRearLimit(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::RearLimit, a, v); }
ResultCode ActuatorRegisters::ReadFrontLimit(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::FrontLimit, a, v); }
ResultCode ActuatorRegisters::ReadCurrentLimit(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::CurrentLimit, a, v); }
ResultCode ActuatorRegisters::ReadSpeedPwm(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::SpeedPwm, a, v); }
ResultCode ActuatorRegisters::ReadSettingFlag(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::SettingFlag, a, v); }
ResultCode ActuatorRegisters::ReadVoltageOut(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::VoltageOut, a, v); }
ResultCode ActuatorRegisters::ReadPosOffset(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::PosOffset, a, v); }
ResultCode ActuatorRegisters::ReadHallPotSelect(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::HallPotSelect, a, v); }
ResultCode ActuatorRegisters::ReadBaudRate(uint8_t a, uint16_t &v) { return ReadOne(Fc::ReadHolding, Reg::BaudRate, a, v); }

ResultCode ActuatorRegisters::AwaitEcho(uint8_t address, uint16_t expected, uint32_t waitMs)
{
    uint8_t area[ReplyArea] = {};
    int32_t length = 0;
    engine_.WaitForReply(waitMs);
    const ResultCode result = engine_.ReceiveResponse(address, area, sizeof area, length, false);
    if (result != Result::NoError)
        return result;
    // The echoed register address is not compared, only the value.
    return Rtu::GetU16(&area[2]) == expected ? Result::NoError : Result::SetDataError;
}

ResultCode ActuatorRegisters::WriteOne(uint16_t reg, uint8_t address, uint16_t value, bool broadcastCapable)
{
    uint8_t pdu[5] = {Fc::WriteSingle, 0, 0, 0, 0};
    Rtu::PutU16(&pdu[1], reg);
    Rtu::PutU16(&pdu[3], value);

    const bool broadcast = broadcastCapable && address == 0;
    if (!broadcast) {
        const ResultCode result = engine_.SendRequest(address, pdu, sizeof pdu);
        if (result != Result::NoError)
            return result;
        return AwaitEcho(address, value, responseDelayMs_);
    }
    // Nobody answers a broadcast; the gap gives every device time to act
    // before the next frame. The result is that of the last send.
    ResultCode result = Result::NoError;
    int32_t sends = broadcastRepeat_;
    do {
        result = engine_.SendRequest(0, pdu, sizeof pdu, false);
        engine_.DelayWithMessages(commandGapMs_);
    } while (--sends > 0);
    return result;
}

ResultCode ActuatorRegisters::WriteMaxPos(uint8_t a, uint16_t v) { return WriteOne(Reg::MaxPos, a, v, false); }
ResultCode ActuatorRegisters::WriteRearLimit(uint8_t a, uint16_t v) { return WriteOne(Reg::RearLimit, a, v, false); }
ResultCode ActuatorRegisters::WriteFrontLimit(uint8_t a, uint16_t v) { return WriteOne(Reg::FrontLimit, a, v, false); }
ResultCode ActuatorRegisters::WriteCurrentLimit(uint8_t a, uint16_t v) { return WriteOne(Reg::CurrentLimit, a, v, false); }
ResultCode ActuatorRegisters::WriteSpeedPwm(uint8_t a, uint16_t v) { return WriteOne(Reg::SpeedPwm, a, v, false); }
ResultCode ActuatorRegisters::WriteSettingFlag(uint8_t a, uint16_t v) { return WriteOne(Reg::SettingFlag, a, v, false); }
ResultCode ActuatorRegisters::WriteVoltageOut(uint8_t a, uint16_t v) { return WriteOne(Reg::VoltageOut, a, v, false); }
ResultCode ActuatorRegisters::WriteActionCmdIn(uint8_t a, uint16_t v) { return WriteOne(Reg::ActionCmdIn, a, v, true); }
ResultCode ActuatorRegisters::WriteGoToPos(uint8_t a, uint16_t v) { return WriteOne(Reg::GoToPos, a, v, true); }
ResultCode ActuatorRegisters::WriteHallPotSelect(uint8_t a, uint16_t v) { return WriteOne(Reg::HallPotSelect, a, v, true); }
ResultCode ActuatorRegisters::WriteBaudRate(uint8_t a, uint16_t v) { return WriteOne(Reg::BaudRate, a, v, true); }

ResultCode ActuatorRegisters::WriteAddress(uint8_t oldAddress, uint8_t newAddress)
{
    if (newAddress == oldAddress)
        return Result::ParameterError;
    const uint8_t pdu[5] = {Fc::WriteSingle, 0x00, static_cast<uint8_t>(Reg::Address), 0x00, newAddress};
    const ResultCode result = engine_.SendRequest(oldAddress, pdu, sizeof pdu);
    if (result != Result::NoError)
        return result;
    return AwaitEcho(oldAddress, newAddress, AddressEchoWaitMs);
}

bool ActuatorRegisters::ReadActuatorRegisters(uint8_t address, std::array<uint16_t, Reg::BlockCount> &words,
                                              uint32_t &lastResult, const std::function<void()> &after)
{
    std::array<uint16_t, Reg::BlockCount> block{};
    const ResultCode result = RunAttempts(
        engine_, cmdTryCount_, commandGapMs_, lastResult,
        [&] { return engine_.ReadRegisters(Fc::ReadHolding, address, Reg::BlockStart, Reg::BlockCount, block.data()); },
        {nullptr, after});
    if (result != Result::NoError)
        return false;
    words = block;
    return true;
}

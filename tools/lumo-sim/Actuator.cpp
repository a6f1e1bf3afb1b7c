#include "Actuator.h"

#include <algorithm>
#include <cmath>

#include "modbus/Frames.h"

namespace lumosim {

namespace {

// Modbus exception codes a slave answers with.
constexpr uint8_t IllegalFunction = 0x01;
constexpr uint8_t IllegalDataAddress = 0x02;
constexpr uint8_t IllegalDataValue = 0x03;

// The largest valid slave address; 0 is the broadcast address.
constexpr uint16_t MaxSlaveAddress = 247;

// Motor current while moving: 400 mA at rest load plus 10 mA per percent of
// PWM, so 1400 mA at full speed.
constexpr uint16_t IdleLoadMa = 400;
constexpr uint16_t MaPerPercent = 10;

constexpr uint16_t Index(uint16_t reg, uint16_t first) { return static_cast<uint16_t>(reg - first); }

} // namespace

Actuator::Actuator(const DeviceOptions &options, uint16_t name, const MotionTiming &timing)
    : address_(options.address), timing_(timing), faults_(options.faults),
      learnedStroke_(options.learnedStroke)
{
    H(Reg::Address) = options.address;
    H(Reg::Name) = name;
    H(Reg::MaxPos) = 1000;
    H(Reg::RearLimit) = 0;
    H(Reg::FrontLimit) = 1000;
    H(Reg::CurrentLimit) = 5000;
    H(Reg::SpeedPwm) = 100;
    H(Reg::SettingFlag) = Setting::SingleHall | Setting::LimitSwitch;
    H(Reg::VoltageOut) = Voltage::TenVolt;
    H(Reg::HallPotSelect) = 0;
    H(Reg::BaudRate) = 0;
    input_[Index(Reg::FwVersion, Reg::FirstInput)] = options.firmware;
    input_[Index(Reg::Model, Reg::FirstInput)] = options.model;
}

bool Actuator::InHolding(uint32_t first, uint32_t count)
{
    return first >= Reg::FirstHolding && first + count - 1 <= Reg::LastHolding;
}

bool Actuator::InInput(uint32_t first, uint32_t count)
{
    return first >= Reg::FirstInput && first + count - 1 <= Reg::LastInput;
}

bool Actuator::HitsFaultRegister(uint32_t first, uint32_t count) const
{
    return faults_.exceptionRegister && *faults_.exceptionRegister >= first &&
           *faults_.exceptionRegister < first + count;
}

// The values the device refuses with exception 0x03: a command other than
// 1..5 and a bus address outside 1..247. Everything else is stored as sent.
bool Actuator::Acceptable(uint16_t reg, uint16_t value)
{
    if (reg == Reg::ActionCmdIn)
        return value >= Cmd::Up && value <= Cmd::GoToPos;
    if (reg == Reg::Address)
        return value >= 1 && value <= MaxSlaveAddress;
    return true;
}

std::optional<std::vector<uint8_t>> Actuator::Handle(const uint8_t *pdu, size_t length,
                                                     double nowMs, bool broadcast)
{
    const uint8_t function = pdu[0];
    auto exception = [&](uint8_t code) -> std::optional<std::vector<uint8_t>> {
        if (broadcast)
            return std::nullopt;
        return std::vector<uint8_t>{static_cast<uint8_t>(function | Fc::ExceptionBit), code};
    };

    switch (function) {
    case Fc::ReadHolding:
    case Fc::ReadInput: {
        if (broadcast)
            return std::nullopt; // a read sent to everyone has no one to answer it
        if (length != 5)
            return exception(IllegalDataValue);
        const uint16_t first = Rtu::GetU16(pdu + 1);
        const uint16_t count = Rtu::GetU16(pdu + 3);
        // Count before address, as a real slave checks them.
        if (count == 0 || count > MaxReadRegisters)
            return exception(IllegalDataValue);
        const bool mapped = function == Fc::ReadHolding ? InHolding(first, count) : InInput(first, count);
        if (!mapped)
            return exception(IllegalDataAddress);
        if (!faults_.exceptionOnWritesOnly && HitsFaultRegister(first, count))
            return exception(faults_.exceptionCode);
        Advance(nowMs);
        // function, byte count, then each register high byte first
        std::vector<uint8_t> reply(2 + 2 * size_t{count});
        reply[0] = function;
        reply[1] = static_cast<uint8_t>(2 * count);
        for (uint16_t i = 0; i < count; ++i)
            Rtu::PutU16(&reply[2 + 2 * size_t{i}], Read(static_cast<uint16_t>(first + i)));
        return reply;
    }
    case Fc::WriteSingle: {
        if (length != 5)
            return exception(IllegalDataValue);
        const uint16_t reg = Rtu::GetU16(pdu + 1);
        const uint16_t value = Rtu::GetU16(pdu + 3);
        if (!InHolding(reg, 1))
            return exception(IllegalDataAddress);
        if (HitsFaultRegister(reg, 1))
            return exception(faults_.exceptionCode);
        if (!Acceptable(reg, value))
            return exception(IllegalDataValue);
        Write(reg, value, nowMs);
        if (broadcast)
            return std::nullopt;
        return std::vector<uint8_t>(pdu, pdu + length); // the echo is the request itself
    }
    case Fc::WriteMultiple: {
        if (length < 6)
            return exception(IllegalDataValue);
        const uint16_t first = Rtu::GetU16(pdu + 1);
        const uint16_t count = Rtu::GetU16(pdu + 3);
        const uint8_t bytes = pdu[5];
        if (count == 0 || count > Rtu::MaxWriteRegisters || bytes != 2 * count || length != 6u + bytes)
            return exception(IllegalDataValue);
        if (!InHolding(first, count))
            return exception(IllegalDataAddress);
        if (HitsFaultRegister(first, count))
            return exception(faults_.exceptionCode);
        for (uint16_t i = 0; i < count; ++i)
            if (!Acceptable(static_cast<uint16_t>(first + i), Rtu::GetU16(pdu + 6 + 2 * size_t{i})))
                return exception(IllegalDataValue);
        for (uint16_t i = 0; i < count; ++i)
            Write(static_cast<uint16_t>(first + i), Rtu::GetU16(pdu + 6 + 2 * size_t{i}), nowMs);
        if (broadcast)
            return std::nullopt;
        // function, first register, count
        return std::vector<uint8_t>(pdu, pdu + 5);
    }
    default:
        return exception(IllegalFunction);
    }
}

uint16_t Actuator::Holding(uint16_t reg, double nowMs)
{
    if (!InHolding(reg, 1))
        return 0;
    Advance(nowMs);
    return Read(reg);
}

void Actuator::SetHolding(uint16_t reg, uint16_t value, double nowMs)
{
    if (InHolding(reg, 1) && Acceptable(reg, value))
        Write(reg, value, nowMs);
}

uint16_t Actuator::Input(uint16_t reg, double nowMs)
{
    if (!InInput(reg, 1))
        return 0;
    Advance(nowMs);
    return Read(reg);
}

void Actuator::SetInput(uint16_t reg, uint16_t value, double nowMs)
{
    if (!InInput(reg, 1))
        return;
    Advance(nowMs);
    input_[Index(reg, Reg::FirstInput)] = value;
}

void Actuator::PowerUp(double nowMs)
{
    Advance(nowMs);
    if (activity_ != Activity::Idle)
        lastMotionStopMs_ = nowMs;
    activity_ = Activity::Idle;
    positionOk_ = false;
}

uint16_t Actuator::Read(uint16_t reg)
{
    if (reg == Reg::CurrentPos)
        return static_cast<uint16_t>(std::clamp(std::lround(position_), 0L, 65535L));
    if (reg == Reg::MotorStatus)
        return MotionState();
    if (reg == Reg::MotorStatus + 1)
        return StatusFlags();
    if (reg == Reg::MotorCurrent)
        return Current();
    if (InHolding(reg, 1))
        return H(reg);
    return input_[Index(reg, Reg::FirstInput)];
}

void Actuator::Write(uint16_t reg, uint16_t value, double nowMs)
{
    Advance(nowMs); // motion so far at the old settings
    H(reg) = value;
    if (reg == Reg::Address)
        address_ = static_cast<uint8_t>(value);
    else if (reg == Reg::CurrentPos)
        position_ = value;
    else if (reg == Reg::ActionCmdIn)
        StartCommand(value, nowMs);
}

// Each command replaces whatever the motor was doing; a learning run that is
// cut short leaves the stroke registers as they were.
void Actuator::StartCommand(uint16_t command, double nowMs)
{
    const bool wasMoving = activity_ != Activity::Idle;
    switch (command) {
    case Cmd::Up:
        positionOk_ = false;
        activity_ = Activity::Up;
        break;
    case Cmd::Down:
        positionOk_ = false;
        activity_ = Activity::Down;
        break;
    case Cmd::Stop:
        activity_ = Activity::Idle;
        break;
    case Cmd::Learn:
        // Retract to 0, then extend over the whole stroke, at the one speed
        // that makes both together last learnDurationMs.
        positionOk_ = false;
        learnRate_ = std::max(position_ + learnedStroke_, 1.0) / std::max(timing_.learnDurationMs, 1e-3);
        activity_ = Activity::LearnRetract;
        break;
    case Cmd::GoToPos: {
        const double rear = H(Reg::RearLimit);
        const double front = std::max<double>(H(Reg::FrontLimit), rear);
        goToTarget_ = std::clamp<double>(H(Reg::GoToPos), rear, front);
        positionOk_ = false;
        activity_ = Activity::GoTo;
        break;
    }
    default:
        break;
    }
    const bool motionCommand =
        command == Cmd::Up || command == Cmd::Down || command == Cmd::Learn || command == Cmd::GoToPos;
    if (motionCommand && activity_ != Activity::Idle) {
        ++motionStarts_;
        lastMotionStartMs_ = nowMs;
    } else if (wasMoving) {
        lastMotionStopMs_ = nowMs;
    }
    Advance(nowMs); // a motor already at its target or limit stops at once
}

double Actuator::Rate() const
{
    const double stroke = std::max<uint16_t>(H(Reg::MaxPos), 1);
    const double speed = std::clamp<uint16_t>(H(Reg::SpeedPwm), 1, 100);
    return stroke * speed / 100.0 / std::max(timing_.fullStrokeMs, 1e-3);
}

// Moves the motor from lastMs_ to nowMs, passing from one leg of its run to
// the next (learning has two) within the same step.
void Actuator::Advance(double nowMs)
{
    double dt = nowMs - lastMs_;
    if (dt < 0)
        dt = 0;
    lastMs_ = std::max(lastMs_, nowMs);
    for (;;) {
        double target = 0;
        double rate = Rate();
        switch (activity_) {
        case Activity::Idle: return;
        // Up never runs back down, nor Down back up, when a limit is moved
        // past the motor: it stops where it is.
        case Activity::Up: target = std::max<double>(H(Reg::FrontLimit), position_); break;
        case Activity::Down: target = std::min<double>(H(Reg::RearLimit), position_); break;
        case Activity::GoTo: target = goToTarget_; break;
        case Activity::LearnRetract: target = 0; rate = learnRate_; break;
        case Activity::LearnExtend: target = learnedStroke_; rate = learnRate_; break;
        }

        const double distance = std::fabs(target - position_);
        const double needed = distance / rate;
        if (needed > dt) {
            position_ += (target > position_ ? rate : -rate) * dt;
            return;
        }
        dt -= needed;
        position_ = target;
        const double reachedMs = nowMs - dt;
        switch (activity_) {
        case Activity::GoTo:
            positionOk_ = true;
            activity_ = Activity::Idle;
            break;
        case Activity::LearnRetract:
            activity_ = Activity::LearnExtend;
            break;
        case Activity::LearnExtend:
            H(Reg::MaxPos) = learnedStroke_;
            H(Reg::RearLimit) = 0;
            H(Reg::FrontLimit) = learnedStroke_;
            activity_ = Activity::Idle;
            break;
        default:
            activity_ = Activity::Idle;
            break;
        }
        if (activity_ == Activity::Idle)
            lastMotionStopMs_ = reachedMs;
    }
}

uint16_t Actuator::MotionState() const
{
    switch (activity_) {
    case Activity::Up:
    case Activity::LearnExtend: return Motion::MovingUp;
    case Activity::Down:
    case Activity::LearnRetract: return Motion::MovingDown;
    case Activity::GoTo: return goToTarget_ > position_ ? Motion::MovingUp : Motion::MovingDown;
    case Activity::Idle: break;
    }
    return input_[Index(Reg::MotorStatus, Reg::FirstInput)];
}

uint16_t Actuator::StatusFlags() const
{
    uint16_t flags = input_[Index(Reg::MotorStatus + 1, Reg::FirstInput)];
    if (faults_.hallError)
        flags |= Flag::HallError;
    if (faults_.overCurrent)
        flags |= Flag::OverCurrent;
    if (activity_ == Activity::LearnRetract || activity_ == Activity::LearnExtend)
        flags |= Flag::Learning;
    if (positionOk_)
        flags |= Flag::PositionOk;
    return flags;
}

uint16_t Actuator::Current() const
{
    if (activity_ == Activity::Idle)
        return input_[Index(Reg::MotorCurrent, Reg::FirstInput)];
    const uint16_t speed = std::clamp<uint16_t>(H(Reg::SpeedPwm), 1, 100);
    return static_cast<uint16_t>(IdleLoadMa + MaPerPercent * speed);
}

} // namespace lumosim

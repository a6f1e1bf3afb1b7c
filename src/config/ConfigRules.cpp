#include "config/ConfigRules.h"

#include <charconv>

#include "modbus/Registers.h"

std::optional<long> ParseDecimal(const std::string &text)
{
    const char *first = text.data();
    const char *last = first + text.size();
    // from_chars takes a '-' but not a '+'.
    if (first != last && *first == '+') {
        ++first;
        if (first != last && (*first == '-' || *first == '+'))
            return std::nullopt;
    }
    long value = 0;
    const auto [end, error] = std::from_chars(first, last, value, 10);
    if (error != std::errc() || end != last)
        return std::nullopt;
    return value;
}

namespace {

// A level read back just under the written 2048 still counts as 5.0 V.
constexpr uint16_t kFiveVoltFrom = Voltage::FiveVolt - 1;

bool Chosen(const std::optional<int> &choice, int choices)
{
    return choice && *choice >= 0 && *choice < choices;
}

// A position edit: its value when it parses and fits a register once the
// offset is added. The bounds are moved to the value's side so a huge
// number cannot overflow the sum.
std::optional<long> CheckPosition(const std::string &text, uint16_t posOffset, Mark &mark, bool &valid)
{
    const std::optional<long> v = ParseDecimal(text);
    if (!v) {
        valid = false; // colour left as it is
        return std::nullopt;
    }
    if (*v >= -static_cast<long>(posOffset) && *v <= ConfigLimits::MaxPosition - static_cast<long>(posOffset)) {
        mark = Mark::Good;
        return v;
    }
    mark = Mark::Bad;
    valid = false;
    return std::nullopt;
}

void CheckRange(const std::string &text, long low, long high, Mark &mark, bool &valid)
{
    const std::optional<long> v = ParseDecimal(text);
    if (!v) {
        valid = false;
        return;
    }
    if (*v >= low && *v <= high) {
        mark = Mark::Good;
    } else {
        mark = Mark::Bad;
        valid = false;
    }
}

} // namespace

ValidationResult ValidateConfigInputs(const ConfigInputs &in, uint16_t posOffset, uint32_t selectedModel)
{
    ValidationResult r;
    bool valid = true;
    // An edit that does not hold a usable position takes no part in the
    // cross-rules (an absent value, not a sentinel: with an offset a
    // negative shown position is a real one).
    const std::optional<long> stroke = CheckPosition(in.stroke, posOffset, r.stroke, valid);
    const std::optional<long> front = CheckPosition(in.front, posOffset, r.front, valid);
    const std::optional<long> rear = CheckPosition(in.rear, posOffset, r.rear, valid);

    if (stroke) {
        if (front && *front > *stroke) {
            r.front = Mark::Bad;
            valid = false;
        }
        if (rear && *rear > *stroke) {
            r.rear = Mark::Bad;
            valid = false;
        }
    }
    if (front && rear && *rear > *front) {
        r.rear = Mark::Bad;
        valid = false;
    }

    CheckRange(in.speed, ConfigLimits::MinSpeed, ConfigLimits::MaxSpeed, r.speed, valid);
    CheckRange(in.overLoad, ConfigLimits::MinOverLoad, ConfigLimits::MaxOverLoad, r.overLoad, valid);

    if (selectedModel == Model::LumoP && !Chosen(in.voltage, ConfigLimits::TwoChoices))
        valid = false;
    if (!Chosen(in.hallSensor, ConfigLimits::TwoChoices) || !Chosen(in.limitSwitch, ConfigLimits::TwoChoices) ||
        !Chosen(in.hallPot, ConfigLimits::TwoChoices) || !Chosen(in.busBaud, ConfigLimits::BaudChoices))
        valid = false;

    r.valid = valid;
    return r;
}

bool GatherConfig(const ConfigInputs &in, uint16_t posOffset, uint32_t selectedModel, ActuatorConfig &out)
{
    if (!ValidateConfigInputs(in, posOffset, selectedModel).valid)
        return false;

    // Validation has checked every value below, so each fits its word.
    ActuatorConfig r;
    r.motorId = 0;
    r.PosOffset = ConfigLimits::GatheredPosOffset;
    r.MaxPos = static_cast<uint16_t>(*ParseDecimal(in.stroke) + posOffset);
    r.RearLimit = static_cast<uint16_t>(*ParseDecimal(in.rear) + posOffset);
    r.FrontLimit = static_cast<uint16_t>(*ParseDecimal(in.front) + posOffset);
    r.CurrentLimit = static_cast<uint16_t>(*ParseDecimal(in.overLoad));
    r.SpeedPwm = static_cast<uint16_t>(*ParseDecimal(in.speed));
    // Hidden list (not a LUMO-P) or no choice: the full 10.0 V level.
    r.VoltageOut = (in.voltageVisible && in.voltage == 0) ? Voltage::FiveVolt : Voltage::TenVolt;
    r.SettingFlag = static_cast<uint16_t>((*in.hallSensor == 0 ? Setting::SingleHall : 0) |
                                          (*in.limitSwitch == 0 ? Setting::LimitSwitch : 0));
    r.HallPotSelect = static_cast<uint16_t>(*in.hallPot);
    r.BaudRate = static_cast<uint16_t>(*in.busBaud);
    out = r;
    return true;
}

ConfigInputs ShowConfig(const ActuatorConfig &c, uint16_t posOffset, ConfigInputs current)
{
    ConfigInputs in = std::move(current);
    in.hallSensor = (c.SettingFlag & Setting::SingleHall) ? 0 : 1;
    in.limitSwitch = (c.SettingFlag & Setting::LimitSwitch) ? 0 : 1;
    in.hallPot = c.HallPotSelect == 1 ? 1 : 0;
    in.busBaud = (c.BaudRate >= 1 && c.BaudRate <= 3) ? c.BaudRate : 0;
    const long offset = posOffset;
    in.stroke = std::to_string(static_cast<long>(c.MaxPos) - offset);
    in.front = std::to_string(static_cast<long>(c.FrontLimit) - offset);
    in.rear = std::to_string(static_cast<long>(c.RearLimit) - offset);
    in.speed = std::to_string(c.SpeedPwm);
    in.overLoad = std::to_string(c.CurrentLimit);
    if (c.VoltageOut >= Voltage::TenVolt)
        in.voltage = 1;
    else if (c.VoltageOut >= kFiveVoltFrom)
        in.voltage = 0;
    else
        in.voltage = std::nullopt;
    return in;
}

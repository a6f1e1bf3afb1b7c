#include "ConfigView.h"

#include <array>
#include <cstdio>

#include "modbus/Registers.h"

namespace {

constexpr std::array<const char *, 2> kHallSensor = {"Single", "Dual"};
constexpr std::array<const char *, 2> kLimitSwitch = {"Yes", "No"};
constexpr std::array<const char *, 2> kHallPot = {"0.5 ~ 10", "0.5 ~ 5"};
constexpr std::array<const char *, 4> kBusBaud = {"115200", "4800", "9600", "19200"};
constexpr std::array<int, 4> kBusBaudValue = {115200, 4800, 9600, 19200};
constexpr std::array<const char *, 2> kVoltage = {"5.0", "10.0"};

template <size_t N>
const char *Choice(const std::array<const char *, N> &names, const std::optional<int> &index)
{
    if (!index || *index < 0 || static_cast<size_t>(*index) >= N)
        return "none";
    return names[static_cast<size_t>(*index)];
}

std::string Range(long low, long high)
{
    return std::to_string(low) + ".." + std::to_string(high);
}

// Says which rule an edit marked red breaks. Positions are judged in the
// order ValidateConfigInputs applies them.
void Explain(const ConfigView &view, std::vector<std::string> &problems)
{
    const ConfigInputs &in = view.inputs;
    const ValidationResult &v = view.verdict;
    const long front = ParseDecimal(in.front).value_or(-1);
    const long rear = ParseDecimal(in.rear).value_or(-1);
    const auto inPositionRange = [](long value) { return value >= 0 && value <= ConfigLimits::MaxPosition; };

    if (v.stroke == Mark::Bad)
        problems.push_back("stroke " + in.stroke + " is outside " + Range(0, ConfigLimits::MaxPosition));
    if (v.front == Mark::Bad) {
        if (!inPositionRange(front))
            problems.push_back("front limit " + in.front + " is outside " + Range(0, ConfigLimits::MaxPosition));
        else
            problems.push_back("front limit " + in.front + " is above the stroke " + in.stroke);
    }
    if (v.rear == Mark::Bad) {
        if (!inPositionRange(rear))
            problems.push_back("rear limit " + in.rear + " is outside " + Range(0, ConfigLimits::MaxPosition));
        else if (inPositionRange(front) && rear > front)
            problems.push_back("rear limit " + in.rear + " is above the front limit " + in.front);
        else
            problems.push_back("rear limit " + in.rear + " is above the stroke " + in.stroke);
    }
    if (v.speed == Mark::Bad)
        problems.push_back("motor speed " + in.speed + " % is outside " +
                           Range(ConfigLimits::MinSpeed, ConfigLimits::MaxSpeed));
    if (v.overLoad == Mark::Bad)
        problems.push_back("over load protect " + in.overLoad + " mA is outside " +
                           Range(ConfigLimits::MinOverLoad, ConfigLimits::MaxOverLoad));
    if (view.model == Model::LumoP && !in.voltage)
        problems.push_back("VoltageOut " + std::to_string(view.record.VoltageOut) +
                           " gives no voltage choice; a LUMO-P needs 2048 (5.0 V) or 4095 (10.0 V)");
    if (!v.valid && problems.empty())
        problems.push_back("the settings do not pass the configuration checks");
}

} // namespace

ConfigView ViewConfig(const ActuatorConfig &record, uint32_t model)
{
    ConfigView view{record, model, {}, {}, {}};
    ConfigInputs shown;
    // The voltage row is offered for a LUMO-P; with no device to go by, a
    // file's own choice is shown.
    shown.voltageVisible = model == Model::LumoP || model == Model::None;
    // Positions go through the page with posOffset 0, as after a read.
    constexpr uint16_t kPosOffset = 0;
    view.inputs = ShowConfig(record, kPosOffset, shown);
    view.verdict = ValidateConfigInputs(view.inputs, kPosOffset, model);
    Explain(view, view.problems);
    return view;
}

ActuatorConfig GatheredRecord(const ConfigView &view)
{
    ActuatorConfig out;
    GatherConfig(view.inputs, 0, view.model, out);
    return out;
}

std::vector<std::string> AdjustmentNotes(const ActuatorConfig &original, const ActuatorConfig &gathered,
                                         uint32_t model)
{
    std::vector<std::string> notes;
    const auto number = [](uint16_t value) { return std::to_string(value); };
    if (original.SettingFlag != gathered.SettingFlag)
        notes.push_back("SettingFlag " + Hex4(original.SettingFlag) + " has bits besides 0 and 1; it becomes " +
                        Hex4(gathered.SettingFlag));
    if (original.HallPotSelect != gathered.HallPotSelect)
        notes.push_back("HallPotSelect " + number(original.HallPotSelect) +
                        " is not a known code; it becomes 0 (0.5 ~ 10 V)");
    if (original.BaudRate != gathered.BaudRate)
        notes.push_back("BaudRate " + number(original.BaudRate) + " is not a known code; it becomes 0 (115200)");
    if (original.VoltageOut != gathered.VoltageOut) {
        std::string note = "VoltageOut " + number(original.VoltageOut) + " becomes " + number(gathered.VoltageOut);
        if (model != Model::LumoP && model != Model::None)
            note += ": a " + std::string(Model::NameOf(model)) + " has no voltage output setting";
        notes.push_back(note);
    }
    const std::array<std::pair<const char *, uint16_t ActuatorConfig::*>, 5> others = {{
        {"MaxPos", &ActuatorConfig::MaxPos},
        {"RearLimit", &ActuatorConfig::RearLimit},
        {"FrontLimit", &ActuatorConfig::FrontLimit},
        {"CurrentLimit", &ActuatorConfig::CurrentLimit},
        {"SpeedPwm", &ActuatorConfig::SpeedPwm},
    }};
    for (const auto &[name, word] : others)
        if (original.*word != gathered.*word)
            notes.push_back(std::string(name) + " " + number(original.*word) + " becomes " + number(gathered.*word));
    return notes;
}

std::vector<std::string> ConfigLines(const ConfigView &view)
{
    const ConfigInputs &in = view.inputs;
    std::vector<std::string> lines;
    const auto line = [&lines](const char *caption, const std::string &value) {
        char text[128];
        std::snprintf(text, sizeof text, "%-19s %s", caption, value.c_str());
        lines.emplace_back(text);
    };
    line("Stroke", in.stroke + " steps");
    line("Front limit", in.front + " steps");
    line("Rear limit", in.rear + " steps");
    line("Motor speed", in.speed + " % PWM");
    line("Over load protect", in.overLoad + " mA");
    line("Hall sensor", Choice(kHallSensor, in.hallSensor));
    line("Limit switch", Choice(kLimitSwitch, in.limitSwitch));
    line("Hall Pot (Volt.)", Choice(kHallPot, in.hallPot));
    line("Baud Rate", Choice(kBusBaud, in.busBaud));
    if (in.voltageVisible)
        line("Voltage out", in.voltage ? std::string(Choice(kVoltage, in.voltage)) + " V" : "none");
    return lines;
}

Json ConfigJson(const ConfigView &view)
{
    const ConfigInputs &in = view.inputs;
    Json j = Json::object();
    const auto numberOrText = [](const std::string &text) -> Json {
        const std::optional<long> value = ParseDecimal(text);
        return value ? Json(*value) : Json(text);
    };
    j["stroke"] = numberOrText(in.stroke);
    j["frontLimit"] = numberOrText(in.front);
    j["rearLimit"] = numberOrText(in.rear);
    j["speedPwm"] = numberOrText(in.speed);
    j["overLoadMilliamps"] = numberOrText(in.overLoad);
    j["hallSensor"] = Choice(kHallSensor, in.hallSensor);
    j["limitSwitch"] = Choice(kLimitSwitch, in.limitSwitch);
    j["hallPot"] = Choice(kHallPot, in.hallPot);
    j["busBaudRate"] = in.busBaud ? Json(kBusBaudValue[static_cast<size_t>(*in.busBaud)]) : Json(nullptr);
    if (in.voltageVisible)
        j["voltageOut"] = in.voltage ? Json(Choice(kVoltage, in.voltage)) : Json(nullptr);
    return j;
}

Json RegistersJson(const ActuatorConfig &r)
{
    Json j = Json::object();
    j["motorId"] = r.motorId;
    j["MaxPos"] = r.MaxPos;
    j["RearLimit"] = r.RearLimit;
    j["FrontLimit"] = r.FrontLimit;
    j["CurrentLimit"] = r.CurrentLimit;
    j["SpeedPwm"] = r.SpeedPwm;
    j["SettingFlag"] = r.SettingFlag;
    j["VoltageOut"] = r.VoltageOut;
    j["HallPotSelect"] = r.HallPotSelect;
    j["BaudRate"] = r.BaudRate;
    j["PosOffset"] = r.PosOffset;
    return j;
}

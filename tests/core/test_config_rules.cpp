#include <gtest/gtest.h>

#include <functional>
#include <limits>
#include <optional>
#include <string>

#include "config/ConfigRules.h"
#include "modbus/Registers.h"

namespace {

// Every choice made, every number in range, positions rear <= front <= stroke.
ConfigInputs GoodInputs()
{
    ConfigInputs in;
    in.stroke = "1000";
    in.front = "1000";
    in.rear = "1000";
    in.speed = "50";
    in.overLoad = "5000";
    in.hallSensor = 0;
    in.limitSwitch = 0;
    in.hallPot = 0;
    in.busBaud = 0;
    in.voltageVisible = true;
    in.voltage = 0;
    return in;
}

using Edit = std::string ConfigInputs::*;

struct RuleCase {
    const char *what;
    std::function<void(ConfigInputs &)> change;
    bool valid;
    Mark stroke, front, rear, speed, overLoad;
    uint32_t model = Model::LumoD;
    uint16_t posOffset = 0;
};

std::function<void(ConfigInputs &)> Set(Edit edit, std::string text)
{
    return [edit, text](ConfigInputs &in) { in.*edit = text; };
}

std::function<void(ConfigInputs &)> Positions(std::string stroke, std::string front, std::string rear)
{
    return [=](ConfigInputs &in) {
        in.stroke = stroke;
        in.front = front;
        in.rear = rear;
    };
}

constexpr Mark G = Mark::Good, B = Mark::Bad, U = Mark::Unchanged;

class ValidationTable : public ::testing::TestWithParam<RuleCase> {};

TEST_P(ValidationTable, DecidesValidityAndWhichEditTurnsRed)
{
    const RuleCase &c = GetParam();
    ConfigInputs in = GoodInputs();
    c.change(in);
    const ValidationResult r = ValidateConfigInputs(in, c.posOffset, c.model);
    EXPECT_EQ(r.valid, c.valid);
    EXPECT_EQ(r.stroke, c.stroke);
    EXPECT_EQ(r.front, c.front);
    EXPECT_EQ(r.rear, c.rear);
    EXPECT_EQ(r.speed, c.speed);
    EXPECT_EQ(r.overLoad, c.overLoad);
}

const RuleCase kRuleCases[] = {
    {"equal_positions_are_valid", Positions("1000", "1000", "1000"), true, G, G, G, G, G},
    {"front_above_stroke_marks_front", Positions("500", "600", "0"), false, G, B, G, G, G},
    {"rear_above_front_marks_rear", Positions("1000", "800", "900"), false, G, G, B, G, G},
    {"rear_above_stroke_marks_rear", Positions("500", "", "600"), false, G, U, B, G, G},
    {"empty_stroke_skips_stroke_rules_without_red", Positions("", "600", "500"), false, U, G, G, G, G},
    {"empty_front_still_checks_rear_against_stroke", Positions("1000", "", "500"), false, G, U, G, G, G},
    {"position_beyond_register_is_red", Positions("65536", "0", "0"), false, B, G, G, G, G},
    {"largest_position_is_valid", Positions("65535", "0", "0"), true, G, G, G, G, G},
    {"negative_position_is_red", Positions("1000", "1000", "-1"), false, G, G, B, G, G},
    {"offset_pushes_position_beyond_register", Positions("65500", "0", "0"), false, B, G, G, G, G, Model::LumoD, 36},
    // With an offset a negative shown position is a real one and must still
    // take part in the cross-rules.
    {"negative_stroke_with_offset_still_bounds_front", Positions("-10", "0", "-20"), false, G, B, G, G, G,
     Model::LumoD, 100},
    {"huge_number_is_red_without_overflow", Positions(std::to_string(std::numeric_limits<long>::max()), "0", "0"),
     false, B, G, G, G, G, Model::LumoD, 0x8000},
    {"number_beyond_long_counts_as_not_a_number", Positions("99999999999999999999", "0", "0"), false, U, G, G, G,
     G},
    {"speed_9", Set(&ConfigInputs::speed, "9"), false, G, G, G, B, G},
    {"speed_10", Set(&ConfigInputs::speed, "10"), true, G, G, G, G, G},
    {"speed_100", Set(&ConfigInputs::speed, "100"), true, G, G, G, G, G},
    {"speed_101", Set(&ConfigInputs::speed, "101"), false, G, G, G, B, G},
    {"speed_not_a_number_keeps_colour", Set(&ConfigInputs::speed, "5x"), false, G, G, G, U, G},
    {"overload_2999", Set(&ConfigInputs::overLoad, "2999"), false, G, G, G, G, B},
    {"overload_3000", Set(&ConfigInputs::overLoad, "3000"), true, G, G, G, G, G},
    {"overload_15000", Set(&ConfigInputs::overLoad, "15000"), true, G, G, G, G, G},
    {"overload_15001", Set(&ConfigInputs::overLoad, "15001"), false, G, G, G, G, B},
    {"overload_empty", Set(&ConfigInputs::overLoad, ""), false, G, G, G, G, U},
    {"lumo_p_without_voltage_choice", [](ConfigInputs &in) { in.voltage.reset(); }, false, G, G, G, G, G,
     Model::LumoP},
    {"lumo_p_with_voltage_choice", [](ConfigInputs &) {}, true, G, G, G, G, G, Model::LumoP},
    {"other_model_needs_no_voltage_choice",
     [](ConfigInputs &in) {
         in.voltage.reset();
         in.voltageVisible = false;
     },
     true, G, G, G, G, G, Model::LumoB},
    {"no_hall_sensor_choice", [](ConfigInputs &in) { in.hallSensor.reset(); }, false, G, G, G, G, G},
    {"no_limit_switch_choice", [](ConfigInputs &in) { in.limitSwitch.reset(); }, false, G, G, G, G, G},
    {"no_hall_pot_choice", [](ConfigInputs &in) { in.hallPot.reset(); }, false, G, G, G, G, G},
    {"no_baud_choice", [](ConfigInputs &in) { in.busBaud.reset(); }, false, G, G, G, G, G},
    {"baud_index_outside_its_group", [](ConfigInputs &in) { in.busBaud = 4; }, false, G, G, G, G, G},
    {"voltage_index_outside_its_list", [](ConfigInputs &in) { in.voltage = 2; }, false, G, G, G, G, G,
     Model::LumoP},
};

INSTANTIATE_TEST_SUITE_P(Rules, ValidationTable, ::testing::ValuesIn(kRuleCases),
                         [](const auto &info) { return std::string(info.param.what); });

struct ParseCase {
    const char *text;
    std::optional<long> value;
};

TEST(ParseDecimal, AcceptsOnlySignedAsciiDigits)
{
    const ParseCase cases[] = {
        {"0", 0},      {"1000", 1000}, {"007", 7},    {"+12", 12},    {"-12", -12},   {"", std::nullopt},
        {"-", std::nullopt},  {"+", std::nullopt},   {"+-1", std::nullopt}, {"--1", std::nullopt},
        {" 12", std::nullopt}, {"12 ", std::nullopt}, {"1 2", std::nullopt}, {"12a", std::nullopt},
        {"1e3", std::nullopt}, {"0x10", std::nullopt}, {"1.0", std::nullopt},
        {"99999999999999999999", std::nullopt},
    };
    for (const ParseCase &c : cases)
        EXPECT_EQ(ParseDecimal(c.text), c.value) << '"' << c.text << '"';
}

TEST(GatherConfig, BuildsTheRecordWithOffsetAndFixedWords)
{
    ConfigInputs in = GoodInputs();
    in.stroke = "1000";
    in.front = "900";
    in.rear = "100";
    in.hallSensor = 1;  // Dual
    in.limitSwitch = 0; // Yes
    in.hallPot = 1;
    in.busBaud = 3;
    in.voltage = 0;
    ActuatorConfig r;
    r.motorId = 0x1234;
    ASSERT_TRUE(GatherConfig(in, 5, Model::LumoP, r));
    EXPECT_EQ(r.motorId, 0);
    EXPECT_EQ(r.MaxPos, 1005);
    EXPECT_EQ(r.FrontLimit, 905);
    EXPECT_EQ(r.RearLimit, 105);
    EXPECT_EQ(r.SpeedPwm, 50);
    EXPECT_EQ(r.CurrentLimit, 5000);
    EXPECT_EQ(r.SettingFlag, Setting::LimitSwitch);
    EXPECT_EQ(r.VoltageOut, Voltage::FiveVolt);
    EXPECT_EQ(r.HallPotSelect, 1);
    EXPECT_EQ(r.BaudRate, 3);
    EXPECT_EQ(r.PosOffset, 0x8000);
}

TEST(GatherConfig, VoltageIsFullLevelUnlessTheShownListSaysFiveVolt)
{
    struct Case {
        bool visible;
        std::optional<int> choice;
        uint16_t expected;
    };
    for (const Case &c : {Case{true, 0, Voltage::FiveVolt}, Case{true, 1, Voltage::TenVolt},
                          Case{true, std::nullopt, Voltage::TenVolt}, Case{false, 0, Voltage::TenVolt}}) {
        ConfigInputs in = GoodInputs();
        in.voltageVisible = c.visible;
        in.voltage = c.choice;
        ActuatorConfig r;
        ASSERT_TRUE(GatherConfig(in, 0, Model::LumoD, r));
        EXPECT_EQ(r.VoltageOut, c.expected) << c.visible << ' ' << c.choice.value_or(-1);
    }
}

TEST(GatherConfig, InvalidInputsLeaveTheRecordUntouched)
{
    ConfigInputs in = GoodInputs();
    in.stroke.clear();
    ActuatorConfig r;
    r.MaxPos = 77;
    r.PosOffset = 1;
    const ActuatorConfig before = r;
    EXPECT_FALSE(GatherConfig(in, 0, Model::LumoD, r));
    EXPECT_EQ(r, before);
}

struct ShowCase {
    const char *what;
    std::function<void(ActuatorConfig &)> change;
    std::function<void(ConfigInputs &)> expect;
};

class ShowTable : public ::testing::TestWithParam<ShowCase> {};

TEST_P(ShowTable, MapsRecordWordsToPageChoices)
{
    ActuatorConfig r;
    r.MaxPos = 1000;
    r.FrontLimit = 900;
    r.RearLimit = 100;
    r.CurrentLimit = 5000;
    r.SpeedPwm = 80;
    r.SettingFlag = Setting::SingleHall | Setting::LimitSwitch;
    r.VoltageOut = Voltage::FiveVolt;
    r.HallPotSelect = 1;
    r.BaudRate = 2;
    GetParam().change(r);

    ConfigInputs current;
    current.voltageVisible = false;
    ConfigInputs expected;
    expected.stroke = "1000";
    expected.front = "900";
    expected.rear = "100";
    expected.speed = "80";
    expected.overLoad = "5000";
    expected.hallSensor = 0;
    expected.limitSwitch = 0;
    expected.hallPot = 1;
    expected.busBaud = 2;
    expected.voltageVisible = false; // the device's model decides it, not the record
    expected.voltage = 0;
    GetParam().expect(expected);
    EXPECT_EQ(ShowConfig(r, 0, current), expected);
}

const ShowCase kShowCases[] = {
    {"all_known_codes", [](ActuatorConfig &) {}, [](ConfigInputs &) {}},
    {"clear_bits_are_dual_and_no", [](ActuatorConfig &r) { r.SettingFlag = 0xFFFC; },
     [](ConfigInputs &in) {
         in.hallSensor = 1;
         in.limitSwitch = 1;
     }},
    {"hall_pot_7_is_first_choice", [](ActuatorConfig &r) { r.HallPotSelect = 7; },
     [](ConfigInputs &in) { in.hallPot = 0; }},
    {"baud_9_is_115200", [](ActuatorConfig &r) { r.BaudRate = 9; }, [](ConfigInputs &in) { in.busBaud = 0; }},
    {"baud_3_is_19200", [](ActuatorConfig &r) { r.BaudRate = 3; }, [](ConfigInputs &in) { in.busBaud = 3; }},
    {"voltage_1000_no_choice", [](ActuatorConfig &r) { r.VoltageOut = 1000; },
     [](ConfigInputs &in) { in.voltage.reset(); }},
    {"voltage_2046_no_choice", [](ActuatorConfig &r) { r.VoltageOut = 2046; },
     [](ConfigInputs &in) { in.voltage.reset(); }},
    {"voltage_2047_is_5", [](ActuatorConfig &r) { r.VoltageOut = 2047; }, [](ConfigInputs &in) { in.voltage = 0; }},
    {"voltage_4094_is_5", [](ActuatorConfig &r) { r.VoltageOut = 4094; }, [](ConfigInputs &in) { in.voltage = 0; }},
    {"voltage_4095_is_10", [](ActuatorConfig &r) { r.VoltageOut = 4095; }, [](ConfigInputs &in) { in.voltage = 1; }},
    {"voltage_65535_is_10", [](ActuatorConfig &r) { r.VoltageOut = 65535; },
     [](ConfigInputs &in) { in.voltage = 1; }},
};

INSTANTIATE_TEST_SUITE_P(Records, ShowTable, ::testing::ValuesIn(kShowCases),
                         [](const auto &info) { return std::string(info.param.what); });

// Showing a record and gathering it back gives the device the same words,
// also when a position lies below the offset.
TEST(ShowConfig, ShownRecordGathersBackToTheSameWords)
{
    ActuatorConfig device;
    device.MaxPos = 1000;
    device.FrontLimit = 60;
    device.RearLimit = 40;
    device.CurrentLimit = 3000;
    device.SpeedPwm = 10;
    device.SettingFlag = Setting::SingleHall;
    device.VoltageOut = Voltage::TenVolt;
    device.HallPotSelect = 0;
    device.BaudRate = 1;
    const uint16_t posOffset = 50;
    const ConfigInputs shown = ShowConfig(device, posOffset, ConfigInputs{});
    EXPECT_EQ(shown.rear, "-10");
    ActuatorConfig back;
    ASSERT_TRUE(GatherConfig(shown, posOffset, Model::LumoP, back));
    device.PosOffset = 0x8000;
    EXPECT_EQ(back, device);
}

} // namespace

#pragma once
// The Actuators page's rules as plain functions over the page's values, so
// the window, a command-line tool and the tests share one set of rules and
// none of them needs a widget.

#include <cstdint>
#include <optional>
#include <string>

#include "config/ActuatorConfig.h"

// What the page's controls hold. Edits are their texts; a radio group or
// the voltage list is its choice's index, or nothing when none is chosen.
struct ConfigInputs {
    std::string stroke;   // StrokeEdit, steps
    std::string front;    // ContainerStopEdit, steps
    std::string rear;     // ShelfStopEdit, steps
    std::string speed;    // MotorSpeedPWMEdit, percent
    std::string overLoad; // OverLoadProtectEdit, mA
    std::optional<int> hallSensor;  // 0 "Single", 1 "Dual"
    std::optional<int> limitSwitch; // 0 "Yes", 1 "No"
    std::optional<int> hallPot;     // 0 "0.5 ~ 10", 1 "0.5 ~ 5"
    std::optional<int> busBaud;     // 0 "115200", 1 "4800", 2 "9600", 3 "19200"
    bool voltageVisible = true;     // VoltageOutComboBox shown
    std::optional<int> voltage;     // 0 "5.0", 1 "10.0"

    bool operator==(const ConfigInputs &) const = default;
};

// How an edit's text colour should be set: Unchanged leaves it as it is
// (text that is not a number), Good is the normal window-text colour, Bad red.
enum class Mark { Unchanged, Good, Bad };

struct ValidationResult {
    bool valid = false;
    Mark stroke = Mark::Unchanged;
    Mark front = Mark::Unchanged;
    Mark rear = Mark::Unchanged;
    Mark speed = Mark::Unchanged;
    Mark overLoad = Mark::Unchanged;
};

namespace ConfigLimits {
inline constexpr long MinSpeed = 10;
inline constexpr long MaxSpeed = 100;
inline constexpr long MinOverLoad = 3000;
inline constexpr long MaxOverLoad = 15000;
inline constexpr long MaxPosition = 65535; // a position plus posOffset must fit a register
inline constexpr uint16_t GatheredPosOffset = 0x8000;
// Choices per group; an index outside its group counts as no choice.
inline constexpr int TwoChoices = 2;
inline constexpr int BaudChoices = 4;
} // namespace ConfigLimits

// The one reading of an edit's text as a decimal integer: an optional '+'
// or '-' followed by one or more ASCII digits, and nothing else. Blanks
// anywhere, an empty text, other characters, or a value beyond `long` give
// nothing (so they count as "not a number", never as some clamped value).
std::optional<long> ParseDecimal(const std::string &text);

// Checks every input and says how to colour each edit. Positions need
// 0 <= value + posOffset <= 65535 and rear <= front <= stroke (equality
// allowed); a broken pair marks the edit that must hold the smaller value.
// Speed 10..100, over-load 3000..15000. Every radio group needs a choice,
// and the voltage list too when selectedModel is 1 (LUMO-P).
ValidationResult ValidateConfigInputs(const ConfigInputs &inputs, uint16_t posOffset, uint32_t selectedModel);

// Builds a record from valid inputs: positions plus posOffset, motorId 0,
// PosOffset 0x8000, VoltageOut 4095 unless the shown list says "5.0".
// False, with `out` untouched, when the inputs are not valid.
bool GatherConfig(const ConfigInputs &inputs, uint16_t posOffset, uint32_t selectedModel, ActuatorConfig &out);

// What the page should show for a record: positions minus posOffset (a
// device value below the offset shows as a negative number, which
// GatherConfig turns back into the same word),
// unknown hall-pot and baud codes as the first choice, VoltageOut from 4095
// up as "10.0", 2047..4094 as "5.0", below 2047 no choice. Only
// voltageVisible is kept from `current`: the selected device decides it.
ConfigInputs ShowConfig(const ActuatorConfig &config, uint16_t posOffset, ConfigInputs current);

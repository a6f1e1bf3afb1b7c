#pragma once
// A configuration record as people and scripts see it, judged by the same
// rules as the configuration page: the page's values of the record (shown
// with posOffset 0), the verdict of ValidateConfigInputs on them, and in
// words what is wrong or what the page would change.

#include <cstdint>
#include <string>
#include <vector>

#include "Output.h"
#include "config/ActuatorConfig.h"
#include "config/ConfigRules.h"

struct ConfigView {
    ActuatorConfig record;   // as read from the device or the file
    uint32_t model;          // the target's model code; Model::None when not known
    ConfigInputs inputs;     // what the page would show for the record
    ValidationResult verdict;
    std::vector<std::string> problems; // one sentence per rule broken; empty when valid
};

// Shows `record` as the page would for a device of `model` (the voltage
// choice is offered for a LUMO-P, and with an unknown model so that a
// file's choice can be seen) and judges it.
ConfigView ViewConfig(const ActuatorConfig &record, uint32_t model);

// The record the page would build from a valid view: what goes to a device
// or into a file. Only for a valid view.
ActuatorConfig GatheredRecord(const ConfigView &view);

// Each of the nine written registers whose value in `gathered` differs
// from `original`, with the reason: "HallPotSelect 7 is not a known code;
// it is written as 0 (0.5 ~ 10 V)".
std::vector<std::string> AdjustmentNotes(const ActuatorConfig &original, const ActuatorConfig &gathered,
                                         uint32_t model);

// Lines for people, one setting a line, with the page's captions.
std::vector<std::string> ConfigLines(const ConfigView &view);
// The settings by name, and the eleven words by register name.
Json ConfigJson(const ConfigView &view);
Json RegistersJson(const ActuatorConfig &record);

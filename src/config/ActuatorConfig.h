#pragma once
// One actuator configuration as it travels between the device, the
// Actuators page and a .config file: eleven 16-bit words, 22 bytes.

#include <array>
#include <cstddef>
#include <cstdint>

struct ActuatorConfig {
    uint16_t motorId = 0;       // only names the export file; never sent to a device
    uint16_t MaxPos = 0;        // stroke in steps, posOffset included
    uint16_t RearLimit = 0;     // steps, posOffset included
    uint16_t FrontLimit = 0;    // steps, posOffset included
    uint16_t CurrentLimit = 0;  // over-load protection, mA
    uint16_t SpeedPwm = 0;      // PWM percent
    uint16_t SettingFlag = 0;   // Setting::SingleHall | Setting::LimitSwitch
    uint16_t VoltageOut = 0;    // Voltage::FiveVolt or Voltage::TenVolt
    uint16_t HallPotSelect = 0; // 0 "0.5 ~ 10", 1 "0.5 ~ 5"
    uint16_t BaudRate = 0;      // 0 115200, 1 4800, 2 9600, 3 19200
    uint16_t PosOffset = 0;     // as read from the device; 0x8000 when built from the page

    bool operator==(const ActuatorConfig &) const = default;
};

inline constexpr size_t ConfigWordCount = 11;
inline constexpr size_t ConfigFileSize = 2 * ConfigWordCount;

// The eleven words in record order, each least significant byte first.
std::array<uint8_t, ConfigFileSize> ToFileBytes(const ActuatorConfig &config);
// The reverse of ToFileBytes; `bytes` must hold ConfigFileSize bytes.
ActuatorConfig FromFileBytes(const uint8_t *bytes);

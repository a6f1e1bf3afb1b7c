#include "config/ActuatorConfig.h"

namespace {

// Record order: the file layout and the word numbers both follow it.
constexpr uint16_t ActuatorConfig::*kWords[ConfigWordCount] = {
    &ActuatorConfig::motorId,      &ActuatorConfig::MaxPos,        &ActuatorConfig::RearLimit,
    &ActuatorConfig::FrontLimit,   &ActuatorConfig::CurrentLimit,  &ActuatorConfig::SpeedPwm,
    &ActuatorConfig::SettingFlag,  &ActuatorConfig::VoltageOut,    &ActuatorConfig::HallPotSelect,
    &ActuatorConfig::BaudRate,     &ActuatorConfig::PosOffset,
};

} // namespace

std::array<uint8_t, ConfigFileSize> ToFileBytes(const ActuatorConfig &config)
{
    std::array<uint8_t, ConfigFileSize> out{};
    for (size_t i = 0; i < ConfigWordCount; ++i) {
        const uint16_t word = config.*kWords[i];
        out[2 * i] = static_cast<uint8_t>(word & 0xFF); // low byte first on file
        out[2 * i + 1] = static_cast<uint8_t>(word >> 8);
    }
    return out;
}

ActuatorConfig FromFileBytes(const uint8_t *bytes)
{
    ActuatorConfig config;
    for (size_t i = 0; i < ConfigWordCount; ++i)
        config.*kWords[i] = static_cast<uint16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
    return config;
}

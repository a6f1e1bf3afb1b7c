#pragma once
// The LUMO actuator's register map: addresses, commands, flag bits and model
// codes. The register operations, the window and the virtual bus all take
// them from here.

#include <cstdint>
#include <string_view>

namespace Fc {
inline constexpr uint8_t ReadHolding = 0x03;
inline constexpr uint8_t ReadInput = 0x04;
inline constexpr uint8_t WriteSingle = 0x06;
inline constexpr uint8_t WriteMultiple = 0x10;
inline constexpr uint8_t ExceptionBit = 0x80;
} // namespace Fc

namespace Reg {
// Holding registers (0x03 read, 0x06 / 0x10 write).
inline constexpr uint16_t Address = 0x000F;
inline constexpr uint16_t Name = 0x0010;
inline constexpr uint16_t CurrentPos = 0x001F;
inline constexpr uint16_t MaxPos = 0x0020;
inline constexpr uint16_t RearLimit = 0x0021;
inline constexpr uint16_t FrontLimit = 0x0022;
inline constexpr uint16_t CurrentLimit = 0x0023;
inline constexpr uint16_t SpeedPwm = 0x0024;
inline constexpr uint16_t ActionCmdIn = 0x0025;
inline constexpr uint16_t GoToPos = 0x0026;
inline constexpr uint16_t SettingFlag = 0x0027;
inline constexpr uint16_t VoltageOut = 0x0028;
inline constexpr uint16_t PosOffset = 0x0029;
inline constexpr uint16_t KeyInLock = 0x002A;
inline constexpr uint16_t HallPotSelect = 0x002B;
inline constexpr uint16_t BaudRate = 0x002C;
inline constexpr uint16_t FirstHolding = Address;
inline constexpr uint16_t LastHolding = BaudRate;

// Input registers (0x04 read only).
inline constexpr uint16_t MotorStatus = 0x003F; // two words: motion state, status flags
inline constexpr uint16_t MotorCurrent = 0x0041;
inline constexpr uint16_t FwVersion = 0x0045;   // high byte major, low byte minor
inline constexpr uint16_t Model = 0x0046;
inline constexpr uint16_t FirstInput = MotorStatus;
inline constexpr uint16_t LastInput = Model;

// The block that the Control page reads in one request: 0x001F .. 0x002C.
inline constexpr uint16_t BlockStart = CurrentPos;
inline constexpr uint16_t BlockCount = 14;

// The name of a holding register (0x03 / 0x06 / 0x10) as spelt above, or
// empty for an address the map gives no name: 0x0011..0x001E, the rest of
// the motor ID block, and anything outside the map.
inline std::string_view HoldingName(uint16_t reg)
{
    switch (reg) {
    case Address: return "Address";
    case Name: return "Name";
    case CurrentPos: return "CurrentPos";
    case MaxPos: return "MaxPos";
    case RearLimit: return "RearLimit";
    case FrontLimit: return "FrontLimit";
    case CurrentLimit: return "CurrentLimit";
    case SpeedPwm: return "SpeedPwm";
    case ActionCmdIn: return "ActionCmdIn";
    case GoToPos: return "GoToPos";
    case SettingFlag: return "SettingFlag";
    case VoltageOut: return "VoltageOut";
    case PosOffset: return "PosOffset";
    case KeyInLock: return "KeyInLock";
    case HallPotSelect: return "HallPotSelect";
    case BaudRate: return "BaudRate";
    default: return {};
    }
}

// The same for input registers (0x04). MotorStatus is two words; the
// second, the status flags, is called MotorFlags. 0x0042..0x0044 are
// reserved and have no name.
inline std::string_view InputName(uint16_t reg)
{
    switch (reg) {
    case MotorStatus: return "MotorStatus";
    case MotorStatus + 1: return "MotorFlags";
    case MotorCurrent: return "MotorCurrent";
    case FwVersion: return "FwVersion";
    case Model: return "Model";
    default: return {};
    }
}

// The rate a value of the BaudRate register selects: 0 115200, 1 4800,
// 2 9600, 3 19200; 0 for any other value.
inline constexpr uint32_t BaudRateOf(uint16_t code)
{
    switch (code) {
    case 0: return 115200;
    case 1: return 4800;
    case 2: return 9600;
    case 3: return 19200;
    default: return 0;
    }
}
} // namespace Reg

// Values of ActionCmdIn.
namespace Cmd {
inline constexpr uint16_t Up = 1;
inline constexpr uint16_t Down = 2;
inline constexpr uint16_t Stop = 3;
inline constexpr uint16_t Learn = 4;
inline constexpr uint16_t GoToPos = 5;

// "Up", "Down", "Stop", "Learn", "GoToPos"; empty for any other value.
inline std::string_view NameOf(uint16_t command)
{
    switch (command) {
    case Up: return "Up";
    case Down: return "Down";
    case Stop: return "Stop";
    case Learn: return "Learn";
    case GoToPos: return "GoToPos";
    default: return {};
    }
}
} // namespace Cmd

// MotorStatus word 0.
namespace Motion {
inline constexpr uint16_t Stopped = 0;
inline constexpr uint16_t MovingUp = 1;
inline constexpr uint16_t MovingDown = 2;
} // namespace Motion

// MotorStatus word 1; only the low byte carries meaning.
namespace Flag {
inline constexpr uint16_t HallError = 0x10;
inline constexpr uint16_t OverCurrent = 0x20;
inline constexpr uint16_t Learning = 0x40;
inline constexpr uint16_t PositionOk = 0x80;
} // namespace Flag

// SettingFlag bits.
namespace Setting {
inline constexpr uint16_t SingleHall = 0x0001;
inline constexpr uint16_t LimitSwitch = 0x0002;
} // namespace Setting

// VoltageOut levels.
namespace Voltage {
inline constexpr uint16_t FiveVolt = 2048;
inline constexpr uint16_t TenVolt = 4095;
} // namespace Voltage

namespace Model {
inline constexpr uint32_t LumoD = 0;
inline constexpr uint32_t LumoP = 1;
inline constexpr uint32_t LumoB = 2;
inline constexpr uint32_t None = 0xFFFF;

// "LUMO-D", "LUMO-P", "LUMO-B", or "unknow" for any other code.
inline std::string_view NameOf(uint32_t code)
{
    switch (code) {
    case LumoD: return "LUMO-D";
    case LumoP: return "LUMO-P";
    case LumoB: return "LUMO-B";
    default: return "unknow";
    }
}

// The exact (case-sensitive) reverse of NameOf; any other text is None.
inline uint32_t CodeFromName(std::string_view name)
{
    if (name == "LUMO-D") return LumoD;
    if (name == "LUMO-P") return LumoP;
    if (name == "LUMO-B") return LumoB;
    return None;
}
} // namespace Model

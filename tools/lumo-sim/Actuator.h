#pragma once
// One virtual LUMO actuator: its registers, its motion and its answers to
// request PDUs. No I/O and no clock of its own: the caller passes the time
// (in simulated milliseconds), so every behaviour is a pure function of the
// requests and the times they came at.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

#include "VirtualBus.h"
#include "modbus/Registers.h"

namespace lumosim {

struct MotionTiming {
    double fullStrokeMs = 5000;    // a whole MaxPos at SpeedPwm 100
    double learnDurationMs = 3000; // the Learning flag's time
};

class Actuator {
public:
    Actuator(const DeviceOptions &options, uint16_t name, const MotionTiming &timing);

    uint8_t Address() const { return address_; }
    uint16_t Name() const { return holding_[Reg::Name - Reg::FirstHolding]; }
    uint16_t Model() const { return input_[Reg::Model - Reg::FirstInput]; }
    const Faults &faults() const { return faults_; }
    void SetFaults(const Faults &faults) { faults_ = faults; }

    // Acts on one request PDU (function code first, no address, no CRC) that
    // came at `nowMs`. Returns the reply PDU (an exception reply is the
    // function code | 0x80 and the code), or nothing for a broadcast, which
    // acts but never answers. A change of the Address register takes effect
    // for the next request; the reply goes out under the address it came to.
    std::optional<std::vector<uint8_t>> Handle(const uint8_t *pdu, size_t length, double nowMs,
                                               bool broadcast);

    // Register access outside the bus; 0 outside the map.
    uint16_t Holding(uint16_t reg, double nowMs);
    void SetHolding(uint16_t reg, uint16_t value, double nowMs);
    uint16_t Input(uint16_t reg, double nowMs);
    void SetInput(uint16_t reg, uint16_t value, double nowMs);

    // The BaudRate register as stored: 0 115200, 1 4800, 2 9600, 3 19200.
    uint16_t BaudCode() const { return H(Reg::BaudRate); }
    // Power comes back at `nowMs`: the motor stands still; the registers,
    // which the device keeps through a power cycle, stay as they are.
    void PowerUp(double nowMs);

    // The bus's truth (Truth.h), as of the last Advance: times in simulated ms.
    bool Moving() const { return activity_ != Activity::Idle; }
    bool Learning() const { return activity_ == Activity::LearnRetract || activity_ == Activity::LearnExtend; }
    uint32_t MotionStarts() const { return motionStarts_; }
    double LastMotionStartMs() const { return lastMotionStartMs_; }
    double LastMotionStopMs() const { return lastMotionStopMs_; }

    // Counts the replies for "corrupt every Nth"; returns the new count.
    uint32_t CountReply() { return ++replies_; }

    // Largest register count of one 0x03/0x04 read (250 data bytes).
    static constexpr uint16_t MaxReadRegisters = 125;

private:
    enum class Activity { Idle, Up, Down, GoTo, LearnRetract, LearnExtend };

    static bool InHolding(uint32_t first, uint32_t count);
    static bool InInput(uint32_t first, uint32_t count);
    bool HitsFaultRegister(uint32_t first, uint32_t count) const;
    static bool Acceptable(uint16_t reg, uint16_t value);
    void Write(uint16_t reg, uint16_t value, double nowMs);
    void StartCommand(uint16_t command, double nowMs);
    void Advance(double nowMs);
    double Target() const;
    double Rate() const; // steps per simulated ms
    uint16_t Read(uint16_t reg); // after Advance; holding or input
    uint16_t MotionState() const;
    uint16_t StatusFlags() const;
    uint16_t Current() const;
    uint16_t &H(uint16_t reg) { return holding_[reg - Reg::FirstHolding]; }
    uint16_t H(uint16_t reg) const { return holding_[reg - Reg::FirstHolding]; }

    uint8_t address_;
    MotionTiming timing_;
    Faults faults_;
    uint16_t learnedStroke_;
    std::array<uint16_t, Reg::LastHolding - Reg::FirstHolding + 1> holding_{};
    std::array<uint16_t, Reg::LastInput - Reg::FirstInput + 1> input_{};

    double position_ = 500;
    double lastMs_ = 0;
    Activity activity_ = Activity::Idle;
    double goToTarget_ = 0;
    double learnRate_ = 0;
    bool positionOk_ = false;
    uint32_t replies_ = 0;
    uint32_t motionStarts_ = 0;
    double lastMotionStartMs_ = -1;
    double lastMotionStopMs_ = -1;
};

} // namespace lumosim

#pragma once
// A virtual RS-485 bus of LUMO actuators on a pseudo-terminal pair.
//
// The tool opens DevicePath() like a serial adapter; the bus answers on the
// master side of the pair, in its own thread, exactly as the actuators'
// register map says. Each device can be told to misbehave (Faults) so that
// the tool's error paths can be driven on purpose.
//
// Framing follows a real RTU slave: a request ends with the silence after
// it. Where the function code fixes the length (8 bytes for 0x01..0x06,
// 9 + byte count for 0x0F/0x10) the request is taken as soon as it is whole;
// any other (0x2B, 0x11, a user-defined code) is what was heard until the
// line has been silent for BusOptions::frameGapMs, and gets exception 01
// like every function the actuators do not implement. A frame with a bad CRC
// is ignored and a partial frame is dropped at the gap. Bytes that form no frame are searched for one that
// starts after them, so a stray byte before a request costs nothing, even
// when both reach the bus in one chunk (see RequestFramer.h).

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace lumosim {

// Misbehaviour of one device. All of it can be changed while the bus runs.
struct Faults {
    bool silent = false;               // hears nothing, acts on nothing, answers nothing
    uint32_t replyDelayMs = 0;         // extra time between request and reply
    uint32_t corruptCrcEveryN = 0;     // every Nth reply of the device has a wrong CRC (0 = never)
    bool strayByteBeforeReply = false; // a 0xFF goes out in front of every reply
    bool hallError = false;            // MotorStatus flag 0x10
    bool overCurrent = false;          // MotorStatus flag 0x20
    std::optional<uint16_t> exceptionRegister; // any request touching it gets exceptionCode
    uint8_t exceptionCode = 0x04;      // 0x04 = slave device failure
    // For soak runs; drawn from BusOptions::seed, so a run can be repeated.
    double corruptCrcProbability = 0;  // chance that a reply has a wrong CRC
    double silentProbability = 0;      // chance that a request is not heard at all
    double strayByteProbability = 0;   // chance that a 0xFF goes out in front of a reply
};

struct DeviceOptions {
    uint8_t address = 1;               // 1..247
    uint16_t model = 0;                // Model::LumoD / LumoP / LumoB or any raw code
    std::optional<uint16_t> name;      // motor ID; default: a distinct 0x5A00 + address
    uint16_t firmware = 0x0102;        // 01.02
    Faults faults;
    uint16_t learnedStroke = 980;      // what stroke learning finds and stores in MaxPos
};

struct BusOptions {
    double timeScale = 1.0;            // > 1 makes motion and learning faster
    uint32_t learnDurationMs = 3000;   // how long the Learning flag stays up (at scale 1)
    uint32_t fullStrokeMs = 5000;      // a whole MaxPos at SpeedPwm 100 (at scale 1)
    std::string logPath;               // every frame in and out, in hex; empty = none
    uint32_t seed = 1;                 // for the probabilistic faults
    uint32_t frameGapMs = 5;           // silence that ends a request of no fixed length,
                                       // or a broken or partial frame
};

struct LoggedFrame {
    uint64_t ms;                       // since the bus was made
    bool fromMaster;                   // true: a request heard, or bytes heard that formed no
                                       // frame (dropped); false: a reply sent
    std::vector<uint8_t> bytes;
};

class VirtualBus {
public:
    explicit VirtualBus(BusOptions options = {});
    ~VirtualBus(); // stops the thread, closes the pty, removes the link
    VirtualBus(const VirtualBus &) = delete;
    VirtualBus &operator=(const VirtualBus &) = delete;

    // False for an address outside 1..247 or one already on the bus.
    bool AddDevice(const DeviceOptions &device);
    // Opens the pty pair (raw from creation; the slave fd stays open here),
    // opens the log file and starts serving. False when any of that fails.
    bool Start();
    // Stops serving, closes the pair and the log, removes the link. Idempotent.
    void Stop();
    // The slave side the tool opens, e.g. "/dev/pts/3"; empty when not started.
    std::string DevicePath() const;
    // Points a symlink at DevicePath(), replacing an existing symlink (never
    // a regular file). Removed again by Stop() if it still points there.
    bool MakeLink(const std::string &path);

    // Register access by the device's current bus address; 0 for an absent
    // device or a register outside the map. Reading CurrentPos or MotorStatus
    // gives the live value. SetHolding acts like a write on the bus (a
    // command starts, an address moves the device); a value the device
    // would refuse with exception 0x03 is ignored.
    uint16_t Holding(uint8_t address, uint16_t reg) const;
    void SetHolding(uint8_t address, uint16_t reg, uint16_t value);
    // SetInput sets the resting value: MotorStatus word 0 and MotorCurrent
    // while the device stands still, extra flags ORed into word 1, FwVersion,
    // Model and the reserved words.
    uint16_t Input(uint8_t address, uint16_t reg) const;
    void SetInput(uint8_t address, uint16_t reg, uint16_t value);
    bool HasDevice(uint8_t address) const;
    std::vector<uint8_t> Addresses() const; // in the order the devices were added
    void SetFaults(uint8_t address, const Faults &faults);

    // The most recent frames (at most 10000 kept).
    std::vector<LoggedFrame> FrameLog() const;
    void ClearFrameLog();
    // True once `fromMasterCount` frames from the master (dropped bytes
    // count as one) were heard since the start or the last ClearFrameLog();
    // false after `timeoutMs`.
    bool WaitForFrames(size_t fromMasterCount, int timeoutMs) const;

    // Closes the master side, as when the adapter is unplugged: the tool's
    // reads return 0 and its writes fail with EIO. Returns once it is closed.
    void Unplug();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace lumosim

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
//
// The line. By default the bus behaves like an RS-485 line (see Wire.h):
// every byte takes 10 bit times of the baud rate the master's side of the
// pseudo-terminal is set to, in both directions; a device hears a request
// only when its last byte has arrived and answers after its turnaround; the
// reply reaches the master through a modelled USB adapter, in packets, as
// its latency timer or a full packet releases them. A device at another baud
// rate than the master hears garbage and stays silent; two devices at one
// address both answer and their replies collide. BusOptions::instant turns
// all of this off: then a reply is written whole the moment it is due, as a
// pseudo-terminal on its own does.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Truth.h"

namespace lumosim {

// Misbehaviour of one device. All of it can be changed while the bus runs.
struct Faults {
    bool silent = false;               // hears nothing, acts on nothing, answers nothing
    uint32_t replyDelayMs = 0;         // extra time between request and reply
    uint32_t corruptCrcEveryN = 0;     // every Nth reply of the device has a wrong CRC (0 = never)
    bool strayByteBeforeReply = false; // a 0xFF goes out in front of every reply
    bool garbageReplies = false;       // each reply goes out as as many random bytes, the first of
                                       // them no slave address (0xF8..0xFF): no frame of any slave
    bool hallError = false;            // MotorStatus flag 0x10
    bool overCurrent = false;          // MotorStatus flag 0x20
    std::optional<uint16_t> exceptionRegister; // any request touching it gets exceptionCode
    uint8_t exceptionCode = 0x04;      // 0x04 = slave device failure
    bool exceptionOnWritesOnly = false; // exceptionRegister reads as usual and refuses writes only
    // A single-register write to it is carried out, and its reply goes out
    // with a wrong CRC: the device acted, the master cannot know it.
    std::optional<uint16_t> corruptWriteReplyRegister;
    // For soak runs; drawn from BusOptions::seed, so a run can be repeated.
    double corruptCrcProbability = 0;  // chance that a reply has a wrong CRC
    double silentProbability = 0;      // chance that a request is not heard at all
    double strayByteProbability = 0;   // chance that a 0xFF goes out in front of a reply
    // Line faults (ignored on the instant line).
    uint32_t lineBaud = 0;             // the device talks at this rate whatever its BaudRate
                                       // register says (0: it follows the register)
    double bitErrorRate = 0;           // chance that a bit of its replies flips on the way
};

// Time from the end of a request to the first bit of the reply, on top of
// the t3.5 silence by which the device knows the request has ended (a slave
// cannot answer sooner: the reply would run into the request as one frame).
// Drawn evenly from [minMs, maxMs] for each reply, from the bus's seed.
struct Turnaround {
    double minMs = 0.5;
    double maxMs = 3.0;
};

struct DeviceOptions {
    uint8_t address = 1;               // 1..247
    uint16_t model = 0;                // Model::LumoD / LumoP / LumoB or any raw code
    std::optional<uint16_t> name;      // motor ID; default: a distinct 0x5A00 + address
    uint16_t firmware = 0x0102;        // 01.02
    Faults faults;
    uint16_t learnedStroke = 980;      // what stroke learning finds and stores in MaxPos
    Turnaround turnaround;
    // Added even when another device has this address already: two devices
    // at one address (a wiring fault) both answer, and their replies collide.
    bool sharesAddress = false;
};

// When a device starts talking at the rate a write to its BaudRate register
// asks for.
enum class BaudChange {
    PowerUp, // at the next power-up (VirtualBus::PowerCycle)
    Now,     // as soon as its reply to the write has left the wire
};

struct BusOptions {
    double timeScale = 1.0;            // > 1 makes motion and learning faster
    uint32_t learnDurationMs = 3000;   // how long the Learning flag stays up (at scale 1)
    uint32_t fullStrokeMs = 5000;      // a whole MaxPos at SpeedPwm 100 (at scale 1)
    std::string logPath;               // every frame in and out, in hex; empty = none
    uint32_t seed = 1;                 // for the probabilistic faults
    uint32_t frameGapMs = 5;           // instant line (at least 1): silence that ends a request of no fixed
                                       // length, or a broken or partial frame (the line model
                                       // uses t3.5 of the rate instead)

    // The line.
    bool instant = false;              // a reply is written whole when due; none of the below
    uint32_t baud = 115200;            // the devices' rate at start (their BaudRate register):
                                       // 4800, 9600, 19200 or 115200
    BaudChange baudChange = BaudChange::PowerUp;
    uint32_t adapterLatencyMs = 16;    // USB adapter's latency timer (FTDI default 16; 0: every
                                       // byte is handed over as it arrives)
    uint32_t adapterPacketSize = 62;   // data bytes of one USB packet (FTDI: 64 less 2 status)
    bool echo = false;                 // 2-wire adapter without echo suppression: the master
                                       // reads back every byte it sends
    double bitErrorRate = 0;           // chance that any bit on the line flips, both directions
};

// The options with the instant line: for tests of the tool's logic that
// shorten its waits and want replies at once.
inline BusOptions InstantLine(BusOptions options = {})
{
    options.instant = true;
    return options;
}

struct LoggedFrame {
    uint64_t ms;                       // since the bus was made: when the frame began (whole ms)
    bool fromMaster;                   // true: a request heard, or bytes heard that formed no
                                       // frame (dropped); false: a reply sent
    std::vector<uint8_t> bytes;
    // On the wire, ms since the bus was made: the first start bit and the
    // end of the last stop bit. The instant line: both when it was heard or sent.
    double startMs = 0;
    double endMs = 0;
};

class VirtualBus {
public:
    explicit VirtualBus(BusOptions options = {});
    ~VirtualBus(); // stops the thread, closes the pty, removes the link
    VirtualBus(const VirtualBus &) = delete;
    VirtualBus &operator=(const VirtualBus &) = delete;

    // False for an address outside 1..247 or one already on the bus (unless
    // the device sharesAddress).
    bool AddDevice(const DeviceOptions &device);
    // Opens the pty pair (raw from creation; the slave fd stays open here),
    // opens the log file and starts serving. False when any of that fails,
    // when BusOptions::baud is not one of the devices' four rates, or when
    // the instant line is given no frame gap (frameGapMs 0).
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
    // The rate the device at `address` talks at now; 0 for no device.
    uint32_t DeviceBaud(uint8_t address) const;
    // Every device loses power and gets it back: motors stop, and a BaudRate
    // written under BaudChange::PowerUp takes effect.
    void PowerCycle();

    // The most recent frames (at most 10000 kept).
    std::vector<LoggedFrame> FrameLog() const;
    void ClearFrameLog();
    // True once `fromMasterCount` frames from the master (dropped bytes
    // count as one) were heard since the start or the last ClearFrameLog();
    // false after `timeoutMs`.
    bool WaitForFrames(size_t fromMasterCount, int timeoutMs) const;

    // What really happened (Truth.h): copied under the bus's lock, changes nothing.
    BusTruth Truth() const;

    // Closes the master side, as when the adapter is unplugged: the tool's
    // reads return 0 and its writes fail with EIO. Returns once it is closed.
    void Unplug();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace lumosim

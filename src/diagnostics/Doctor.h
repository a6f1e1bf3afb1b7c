#pragma once
// The bus doctor: one routine that looks at an open line and says, in plain
// words, what is wrong with it and what to do next. lumoctl's "doctor" and
// the Bus monitor's "Diagnose" button both run it.
//
// What it does, in order (docs/bus-doctor.md tells what it can and cannot
// tell apart):
//  1. Listens with nothing sent: frames with a good CRC mean another master
//     is talking (then it stops: probing would only collide with it);
//     bytes that make no frame at any rate mean noise on an idle line.
//  2. Learns whether the adapter echoes (RtuEngine::CheckEcho).
//  3. At each baud rate, asks every address of the range for one register,
//     then asks each address that answered probesPerDevice times for all
//     30 holding registers: a reply that long overlaps with a second
//     device's at the same address whatever their turnarounds, so a shared
//     address cannot hide behind one clean copy.
//  4. Sorts what came back: clean replies, garbled ones (bytes but no valid
//     frame) and silence, per address and rate; measures each device's
//     turnaround from the good replies.
//
// The engine and the port are the caller's; the port is reopened at each
// rate through `reopenAt` and left open at options.connectedBaud. The
// engine's echo mode, reply mode and frame observer are put back as they
// were; the observer sees the doctor's traffic meanwhile.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "modbus/RtuEngine.h"
#include "serial/ComPort.h"

enum class FindingKind {
    NoProblem,
    PortTrouble,    // the port would not open at a rate
    ForeignTraffic, // another master (or a talking device) on the line
    IdleNoise,      // bytes on a quiet line that make no frame at any rate
    Echo,           // the adapter gives back what it sends
    OtherBaud,      // the devices answer at another rate than the one chosen
    MixedBaud,      // one device answers at another rate than the others
    SharedAddress,  // two devices answer at one address
    Noise,          // replies garbled now and then
    NoDevice,       // nothing answers at any rate
};

struct Finding {
    FindingKind kind = FindingKind::NoProblem;
    std::optional<uint8_t> address;
    std::optional<uint32_t> baud;
    std::string text;     // what is wrong, e.g. "two devices answer at address 1"
    std::string nextStep; // what to do, e.g. "connect at 9600"; may be empty
    // "text: next step", the line lumoctl prints and the window lists.
    std::string Line() const { return nextStep.empty() ? text : text + ": " + nextStep; }
};

// An address that answered at a rate, with what its probes gave.
struct DoctorDevice {
    uint8_t address = 0;
    uint32_t baud = 0;
    uint32_t probes = 0;
    uint32_t good = 0;    // valid replies (exceptions included: the device is there)
    uint32_t garbled = 0; // bytes came, no valid frame
    uint32_t silent = 0;
    // From the end of the request on the wire to the first byte of the
    // reply at the host, less that byte's own time on the wire: the t3.5
    // silence, the device's turnaround and the adapter's latency timer
    // together (the host cannot see them apart). The median of the good
    // replies; none without one.
    std::optional<uint32_t> turnaroundMs;
};

struct DoctorReport {
    std::vector<Finding> findings; // "no problem found" alone when all is well
    std::vector<DoctorDevice> devices;
    bool cancelled = false;        // the progress callback asked to stop
};

struct DoctorOptions {
    uint32_t connectedBaud = 115200;               // the rate the user chose
    std::vector<uint32_t> bauds = {115200, 19200, 9600, 4800}; // connectedBaud goes first
    uint8_t firstAddress = 1;
    uint8_t lastAddress = 127;
    uint32_t listenMs = 500;                       // step 1, per rate listened at
    uint32_t probesPerDevice = 6;
    // Added to the wire times of request and reply for the reply window: the
    // device's turnaround and the USB adapter's latency timer (16 ms for an
    // FTDI chip as it comes).
    uint32_t allowanceMs = 30;
    // Called before each step with a line for a progress display; returning
    // false stops the doctor (the window pumps its messages here).
    std::function<bool(const std::string &step)> progress;
};

// Closes the caller's port and opens the same device again at `baud`;
// false when it cannot.
using PortOpener = std::function<bool(uint32_t baud)>;

DoctorReport RunDoctor(RtuEngine &engine, const std::unique_ptr<C_ComPort> &comPort, const PortOpener &reopenAt,
                       const DoctorOptions &options = {});

// The frames with a good CRC found in a run of bytes from the line, each as
// its offset and length; what lies between them is garbage. Knows the
// layouts of 0x03, 0x04, 0x06 and 0x10 requests and replies and of
// exceptions.
struct FoundFrame {
    size_t offset;
    size_t length;
};
std::vector<FoundFrame> FindFrames(const std::vector<uint8_t> &bytes);

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
//  4. Sorts what came back: clean replies on time, clean replies after the
//     tool's reply window (a slow device), garbled ones (bytes but no frame
//     from that address) and silence, per address and rate; measures each
//     device's turnaround from its clean replies.
//
// Timing. Each probe gets the reply window the tool itself gives a request
// at that rate (both frames on the wire, t3.5, and the reply wait of the
// rate: 30 ms at 115200 up to 100 ms at 4800) plus the adapter's latency
// timer; a reply that has not come by then is listened for lateMs longer.
// Before every probe, and after every change of rate, the line must have
// been quiet for t3.5 plus the adapter's latency, so that nothing left over
// from the last probe is taken for the next one's reply. Only a frame with
// the probed address, a good CRC and the layout of the reply asked for
// counts as an answer; an address that only ever gives garbage is listed
// only when most of its long probes come back garbled too (two devices at
// one address), never for one stray burst.
//
// The engine and the port are the caller's. The rate is changed on the
// open port (C_ComPort::SetBaudRate): the port is never closed, so DTR,
// which powers many RS-485 converters, stays on. At the end the port is put
// back at options.connectedBaud; if it will not take that rate it is
// closed, never left at another. The engine's echo mode, reply mode and
// frame observer are put back as they were; the observer sees the doctor's
// requests and the replies the engine read meanwhile (not the late bytes
// the doctor reads itself after the reply window).

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
    PortTrouble,    // the port would not take a rate
    PortLost,       // the port went away while the doctor ran (adapter unplugged)
    ForeignTraffic, // another master (or a talking device) on the line
    IdleNoise,      // bytes on a quiet line that make no frame at any rate
    Echo,           // the adapter gives back what it sends
    OtherBaud,      // the devices answer at another rate than the one chosen
    MixedBaud,      // one device answers at another rate than the others
    SharedAddress,  // two devices answer at one address
    SlowDevice,     // a device answers, but after the tool's reply window
    Noise,          // replies garbled now and then
    NoDevice,       // nothing answers at any rate
};

struct Finding {
    FindingKind kind = FindingKind::NoProblem;
    std::optional<uint8_t> address;
    std::optional<uint32_t> baud;
    std::string text;     // what is wrong, e.g. "two devices answer at address 1"
    std::string nextStep; // what to do, e.g. "connect at 9600"; may be empty
    // False for a note: something worth knowing that needs no action (an
    // echoing adapter while echo handling is on).
    bool problem = true;
    // "text: next step", the line lumoctl prints and the window lists.
    std::string Line() const { return nextStep.empty() ? text : text + ": " + nextStep; }
};

// An address that answered at a rate, with what its probes gave.
struct DoctorDevice {
    uint8_t address = 0;
    uint32_t baud = 0;
    uint32_t probes = 0;
    uint32_t good = 0;    // valid replies inside the reply window (exceptions included: the device is there)
    uint32_t late = 0;    // valid replies that came after the reply window
    uint32_t garbled = 0; // bytes came, no valid frame from this address
    uint32_t silent = 0;
    // From the end of the request on the wire to the first byte of the
    // reply at the host, less that byte's own time on the wire: the t3.5
    // silence, the device's turnaround and the adapter's latency timer
    // together (the host cannot see them apart). The median of the valid
    // replies, late ones included; none without one.
    std::optional<uint32_t> turnaroundMs;
    // The reply window the probes had at this rate (see DoctorReplyWindowMs).
    uint32_t windowMs = 0;
    // Answers, but most of its replies later than the tool waits: commands
    // to it time out. One late reply among good ones is shown in `late`
    // only: a busy host can read a reply that late too.
    bool Slow() const { return late > 0 && 2 * late > probes; }
};

struct DoctorReport {
    std::vector<Finding> findings; // "no problem found" alone when nothing at all was found
    std::vector<DoctorDevice> devices;
    bool cancelled = false;        // the progress callback asked to stop
    bool portLost = false;         // the port went away; the findings end there
    // The findings that are problems, notes not counted.
    size_t Problems() const;
};

struct DoctorOptions {
    uint32_t connectedBaud = 115200;               // the rate the user chose
    std::vector<uint32_t> bauds = {115200, 19200, 9600, 4800}; // connectedBaud goes first
    uint8_t firstAddress = 1;
    uint8_t lastAddress = 127;
    uint32_t listenMs = 500;                       // step 1, per rate listened at
    uint32_t probesPerDevice = 6;
    // The USB adapter's latency timer, added to each reply window and to the
    // quiet time before each probe: 16 ms for an FTDI chip as it comes.
    uint32_t adapterLatencyMs = 16;
    // How long after its reply window a probe still listens for a late
    // reply: a device that answers within it is listed as slow, one that
    // answers later looks silent.
    uint32_t lateMs = 60;
    // Called before each step with a line for a progress display; returning
    // false stops the doctor (the window pumps its messages here).
    std::function<bool(const std::string &step)> progress;
};

DoctorReport RunDoctor(RtuEngine &engine, const std::unique_ptr<C_ComPort> &comPort,
                       const DoctorOptions &options = {});

// The reply wait the tool gives a request at `baud` for what is not on the
// wire (the device's turnaround, the adapter): 30 ms at 115200, 40 at 19200,
// 55 at 9600, 100 at 4800; 50 at any other rate.
uint32_t ToolReplyWaitMs(uint32_t baud);

// The reply window of a probe reading `count` registers at `baud`, counted
// from the end of the request's write: the 8-byte request and the
// 5 + 2 * count byte reply on the wire, t3.5 between them, the tool's reply
// wait at that rate and the adapter's latency. One register at 115200 with
// a 16 ms adapter: 1.3 + 1.75 + 30 + 16, rounded up, 50 ms; 30 registers at
// 4800: 152.1 + 7.3 + 100 + 16: 276 ms.
uint32_t DoctorReplyWindowMs(uint32_t baud, uint16_t count, uint32_t adapterLatencyMs);

// The frames with a good CRC found in a run of bytes from the line, each as
// its offset and length; what lies between them is garbage. Knows the
// layouts of 0x03, 0x04, 0x06 and 0x10 requests and replies and of
// exceptions.
struct FoundFrame {
    size_t offset;
    size_t length;
};
std::vector<FoundFrame> FindFrames(const std::vector<uint8_t> &bytes);

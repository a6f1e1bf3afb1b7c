#pragma once
// Per-device counters since connect and the last frames on the line, fed
// by the engine's frame observer: what the bus monitor shows.
//
//   BusHealth health;                       // one per connection
//   engine.SetFrameObserver(health.Observer());
//   ... health.Devices(), health.Frames()   // refresh the monitor from these
//
// Memory is bounded: at most frameCapacity frames are kept (the oldest go
// first), and each device keeps its last latencySamples reply times for the
// median. Safe to read from another thread than the engine's.

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "modbus/FrameObserver.h"

struct DeviceHealth {
    uint8_t address = 0;
    uint32_t requests = 0;     // requests that waited for a reply
    uint32_t goodReplies = 0;  // a valid reply, exceptions not counted
    uint32_t silent = 0;       // nothing at all came back
    uint32_t crcErrors = 0;    // a whole frame with a bad CRC
    uint32_t unreadable = 0;   // bytes came, but no frame could be read from them
    uint32_t exceptions = 0;   // the device answered with a Modbus exception
    uint32_t echoes = 0;       // the adapter gave the request back
    // Bad replies (CRC errors and unreadable ones) that came in a run of
    // CollisionRun or more with no good reply between: noise hits a reply
    // now and then, two devices answering at one address spoil nearly all.
    uint32_t collisionsSuspected = 0;
    // From the end of the request's write to the reply's first byte taken
    // from the port, as the engine saw it: in the window's fixed-wait mode
    // at least that wait. Min and max over all replies, the median over the
    // last samples.
    std::optional<uint32_t> latencyMinMs, latencyMedianMs, latencyMaxMs;
};

// One frame as the monitor lists it.
struct MonitorFrame {
    uint32_t ms = 0;
    FrameKind kind = FrameKind::Request; // Request, Echo or Reply
    uint8_t address = 0;
    std::vector<uint8_t> bytes;
    std::string text;                   // DecodeFrame's words
    ResultCode result = Result::NoError; // the transaction's, once it has ended
};

class BusHealth {
public:
    explicit BusHealth(size_t frameCapacity = 2000, size_t latencySamples = 64);

    // Feeds one engine event; an observer that does this.
    void OnFrame(const FrameEvent &event);
    FrameObserver Observer();

    // Devices that were sent a request, by address. Broadcasts and the
    // engine's echo check (address 248) are not devices.
    std::vector<DeviceHealth> Devices() const;
    DeviceHealth Device(uint8_t address) const;
    uint32_t Broadcasts() const;
    // The kept frames, oldest first.
    std::vector<MonitorFrame> Frames() const;

    // How far a reader that follows the frames has got, so that a display
    // refreshing on a timer copies only what is new, not the whole ring.
    struct FrameCursor {
        uint64_t resets = 0; // Reset()s the reader has seen
        uint64_t next = 0;   // frames kept since that Reset, counted from 0
    };
    // The frames after `cursor` whose transaction has ended, so that their
    // result is final, oldest first; the cursor moves past them. The frames
    // of a transaction still open, and all after them, wait for a later
    // call. Frames that left the ring before they were asked for are
    // skipped. After a Reset the reader starts again at the first frame and
    // `restarted` (when given) is set: what it showed is gone.
    std::vector<MonitorFrame> SettledFrames(FrameCursor &cursor, bool *restarted = nullptr) const;
    // Forgets everything, as at a new connection.
    void Reset();

    static constexpr uint32_t CollisionRun = 3;

private:
    struct Tally {
        DeviceHealth health;
        std::deque<uint32_t> latencies;
        uint32_t badRun = 0;
    };
    struct Open {
        uint8_t address = 0;
        uint32_t sentMs = 0;
        std::vector<uint8_t> request;
        std::optional<uint32_t> replyMs;
        size_t replyBytes = 0;
        size_t firstFrame = 0; // index in frames_ counted from the start of time
        bool counted = false;
    };

    void Keep(MonitorFrame frame);
    void Finish(const Open &open, ResultCode result);
    static DeviceHealth Summary(const Tally &tally);

    mutable std::mutex mutex_;
    size_t frameCapacity_;
    size_t latencySamples_;
    std::map<uint8_t, Tally> devices_;
    uint32_t broadcasts_ = 0;
    std::deque<MonitorFrame> frames_;
    size_t dropped_ = 0; // frames that left the front of frames_
    uint64_t resets_ = 0;
    // At most two transactions are open at once: the engine's settling read
    // runs inside a write's transaction.
    std::vector<Open> open_;
};

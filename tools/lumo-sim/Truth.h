#pragma once
// What really happened on the virtual bus, for checking a tool against it:
// every device's state and the requests each device acted on, with their
// time on the wire. Read through VirtualBus::Truth() in-process, or from
// lumo-sim's --truth socket as JSON (TruthJson). Taking it never changes the
// bus: a snapshot is copied under the bus's lock and served from elsewhere.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace lumosim {

struct DeviceTruth {
    size_t index = 0;                    // order the device was added in (stable across address changes)
    uint8_t address = 0;
    uint16_t model = 0;
    uint16_t motorId = 0;                // the Name register
    uint16_t position = 0;               // CurrentPos now
    uint16_t motion = 0;                 // 0 stopped, 1 moving up, 2 moving down
    bool learning = false;
    std::array<uint16_t, 10> config{};   // MaxPos, RearLimit, FrontLimit, CurrentLimit, SpeedPwm,
                                         // SettingFlag, VoltageOut, PosOffset, KeyInLock, HallPotSelect
    uint32_t baud = 0;                   // the rate it talks at now
    uint32_t motionStarts = 0;           // commands that set it moving, since the bus started
    double lastMotionStartMs = -1;       // bus ms (wire time); -1: never
    double lastMotionStopMs = -1;
};

// One request a device acted on (heard whole, at its rate, and not missed by
// a fault), in the order the bus heard them.
struct ActedRequest {
    uint64_t seq = 0;                    // 1, 2, ... over the bus's life
    size_t device = 0;                   // DeviceTruth::index
    uint8_t address = 0;                 // the address the request was sent to (0: broadcast)
    double startMs = 0;                  // the request on the wire, bus ms
    double endMs = 0;
    std::vector<uint8_t> request;        // PDU: function code first, no address, no CRC
    std::vector<uint8_t> reply;          // PDU the device answered; empty for a broadcast
};

struct BusTruth {
    double nowMs = 0;                    // when the snapshot was taken, bus ms
    std::vector<DeviceTruth> devices;    // in the order they were added
    std::vector<ActedRequest> acted;     // the most recent, oldest first (at most MaxActedRequests)
    uint64_t actedDropped = 0;           // older ones no longer kept
};

inline constexpr size_t MaxActedRequests = 10000;

// The configuration words of DeviceTruth::config, by register.
inline constexpr std::array<uint16_t, 10> TruthConfigRegisters = {0x0020, 0x0021, 0x0022, 0x0023, 0x0024,
                                                                  0x0027, 0x0028, 0x0029, 0x002A, 0x002B};

// The snapshot as one JSON document (see docs/line-model.md).
std::string TruthJson(const BusTruth &truth);

// Serves a snapshot to every client of a Unix socket: connect, read the JSON
// to the end, done. Runs in its own thread, so the bus's thread only ever
// waits for the copy under its lock.
class TruthServer {
public:
    TruthServer() = default;
    ~TruthServer();
    TruthServer(const TruthServer &) = delete;
    TruthServer &operator=(const TruthServer &) = delete;

    // Binds `path` (an existing socket there is replaced, nothing else) and
    // starts serving. False when the socket cannot be made.
    bool Start(const std::string &path, std::function<std::string()> snapshot);
    void Stop(); // idempotent; removes the socket

private:
    void Serve();

    std::string path_;
    std::function<std::string()> snapshot_;
    int listenFd_ = -1;
    int wake_[2] = {-1, -1};
    std::thread thread_;
};

} // namespace lumosim

#pragma once
// The serial line: fixed 8N1 settings, reads that never wait inside the
// operating system, writes bounded in time. Knows nothing of Modbus.

#include <cstddef>
#include <cstdint>
#include <string>

#include "base/Clock.h"

#ifdef _WIN32
using ComHandle = void *;   // HANDLE
#else
using ComHandle = int;      // file descriptor
#endif

class C_ComPort {
public:
    explicit C_ComPort(Clock &clock = SystemClock::Instance());
    ~C_ComPort();
    C_ComPort(const C_ComPort &) = delete;
    C_ComPort &operator=(const C_ComPort &) = delete;

    // Opens `name` exclusively with the line settings and time-outs below.
    // On POSIX a name without '/' means /dev/<name>; on Windows it is
    // prefixed with "\\.\". Any device this object had open is closed first.
    // openStep tells how far it came (6 = open); lastError keeps the system's
    // error code of the failed step.
    bool Open(const std::string &name, int32_t baudRate, int32_t queueSize);
    // 8 data bits, no parity, one stop bit, no flow control, DTR on, RTS off.
    // An unsupported baud rate is refused. A refusal closes the device.
    bool ApplyLineSettings(int32_t baudRate);
    // Reads return at once with what is queued; a write of n bytes may take
    // at most n ms + writeConstantMs. A refusal closes the device.
    bool SetTimeouts(uint32_t writeConstantMs);
    // Changes the speed of the open port and nothing else: the device stays
    // open, so DTR stays on (closing drops it, and many RS-485 converters
    // draw their power from it) and the exclusive hold is kept. Meant for a
    // quiet line: bytes still queued for output may go out at the new rate.
    // False for a closed port, an unsupported rate (lastError EINVAL /
    // ERROR_INVALID_PARAMETER) or a refusal by the system (its error code in
    // lastError); the port then stays open at the rate it had.
    bool SetBaudRate(int32_t baudRate);
    // Collects `count` bytes, however many deliveries they come in. Polls
    // again 10 ms after every empty poll, at most readRetries empty polls in
    // all; fails at once when the line has hung up. True when all `count`
    // bytes arrived; on failure the bytes that did arrive are consumed too.
    // `received`, when given, tells how many arrived either way.
    bool Read(uint8_t *buffer, size_t count, size_t *received = nullptr);
    // Read with a budget of empty polls shared by several calls: each empty
    // poll takes one from `pollsLeft`, and the read fails once none is left.
    // A reply read in several steps then has one deadline in all, however
    // its bytes (or the noise ahead of it) trickle in.
    bool ReadWithin(uint8_t *buffer, size_t count, size_t *received, int32_t &pollsLeft);
    // Takes at most `count` bytes of what is queued now, without waiting.
    // Returns the number taken, or -1 when the port is closed or failed.
    int ReadAvailable(uint8_t *buffer, size_t count);
    // True only when all `count` bytes went out within the write bound.
    bool Write(const uint8_t *buffer, size_t count);
    // Discards pending input: at most 40 bytes, in reads of 20.
    void DrainInput();
    // Discards everything the input queue holds, however much.
    void DiscardInput();
    void Close();

    bool IsOpen() const;
    // The far side has gone (adapter unplugged, pty master closed). Once set
    // it stays set until the port is closed.
    bool HungUp();
    // Queue size the last Open asked for (0 or negative becomes 12288).
    int32_t QueueSize() const { return queueSize_; }
    // Changes with every successful Open (never 0 after one), so what was
    // learned about a connection can be dropped when a new one begins.
    uint64_t ConnectionId() const { return connectionId_; }

    int32_t readRetries = 10;
    uint32_t lastError = 0;
    int32_t openStep = 0;
    ComHandle handle;

    static constexpr int32_t DefaultQueueSize = 0x3000;
    static constexpr uint32_t ReadPollMs = 10;
    static constexpr size_t DrainChunk = 20;

private:
    int ReadSome(uint8_t *buffer, size_t count); // -1 error, else bytes read
    Clock &clock_;
    std::string path_;
    uint32_t writeConstantMs_ = 200;
    int32_t queueSize_ = DefaultQueueSize;
    bool hungUp_ = false;
    uint64_t connectionId_ = 0;
};

#pragma once
// Time as the engine sees it: a wrapping millisecond tick and a way to pause.
// Tests inject their own to make slow workflows fast and waits observable.

#include <cstdint>

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds since an arbitrary start; wraps at 2^32 like GetTickCount.
    virtual uint32_t TickMs() = 0;
    // Blocks the calling thread for about `ms` milliseconds.
    virtual void SleepMs(uint32_t ms) = 0;
};

// The steady clock of the machine.
class SystemClock final : public Clock {
public:
    uint32_t TickMs() override;
    void SleepMs(uint32_t ms) override;
    static SystemClock &Instance();
};

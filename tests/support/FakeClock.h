#pragma once
// A clock that only moves when somebody sleeps on it (or a test advances it),
// so timed loops run instantly and their waits can be counted.

#include <atomic>
#include <cstdint>
#include <vector>

#include "base/Clock.h"

class FakeClock : public Clock {
public:
    explicit FakeClock(uint32_t start = 0) : now_(start) {}
    uint32_t TickMs() override
    {
        now_ += tickStep;
        return now_;
    }
    void SleepMs(uint32_t ms) override
    {
        sleeps.push_back(ms);
        now_ += ms;
    }
    void Advance(uint32_t ms) { now_ += ms; }
    uint32_t now() const { return now_; }

    std::vector<uint32_t> sleeps;
    uint32_t tickStep = 0;   // added at every TickMs: time that passes while code runs

private:
    uint32_t now_;
};

// Real time, but every pause is written down, so a test can tell which wait
// an operation made (the reply wait or the gap between attempts).
class RecordingClock : public Clock {
public:
    uint32_t TickMs() override { return SystemClock::Instance().TickMs(); }
    void SleepMs(uint32_t ms) override
    {
        sleeps.push_back(ms);
        SystemClock::Instance().SleepMs(ms);
    }
    std::vector<uint32_t> sleeps;
};

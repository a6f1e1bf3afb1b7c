#include "base/Clock.h"

#include <chrono>
#include <thread>

uint32_t SystemClock::TickMs()
{
    using namespace std::chrono;
    return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void SystemClock::SleepMs(uint32_t ms)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

SystemClock &SystemClock::Instance()
{
    static SystemClock clock;
    return clock;
}

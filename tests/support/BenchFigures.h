#pragma once
// The few figures every benchmark reports: a percentile of its samples and
// the CPU time a clock has counted.

#include <algorithm>
#include <ctime>
#include <vector>

// The sample at fraction `p` (0..1) of the sorted samples; -1 for none.
inline double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return -1;
    std::sort(values.begin(), values.end());
    const size_t i = std::min(values.size() - 1, static_cast<size_t>(p * static_cast<double>(values.size())));
    return values[i];
}

inline double Median(std::vector<double> values)
{
    return Percentile(std::move(values), 0.5);
}

// Seconds on a CPU-time clock (CLOCK_PROCESS_CPUTIME_ID, a thread's clock).
inline double CpuSeconds(clockid_t clock)
{
    timespec t{};
    clock_gettime(clock, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

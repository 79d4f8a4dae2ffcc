// The one clock of the benchmarks: CLOCK_MONOTONIC in nanoseconds, which the
// probe, the window harness and the start-up timer print and compare across
// processes.
#pragma once

#include <ctime>

inline long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

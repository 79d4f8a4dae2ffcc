// The clocks of the benchmarks: CLOCK_MONOTONIC in nanoseconds, which the
// probe, the window harness and the start-up timer print and compare across
// processes, and the process's own CPU time.
#pragma once

#include <sys/resource.h>

#include <ctime>

inline long long monotonicNs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000000000LL + now.tv_nsec;
}

inline double cpu_seconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

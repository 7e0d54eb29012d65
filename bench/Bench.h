// Timing helpers shared by the benchmark figures.
#pragma once

#include <windows.h>
#include <intrin.h>

inline double BenchNow()
{
    static LARGE_INTEGER s_freq = [] {
        LARGE_INTEGER li;
        QueryPerformanceFrequency(&li);
        return li;
    }();
    LARGE_INTEGER li;
    QueryPerformanceCounter(&li);
    return static_cast<double>(li.QuadPart) / static_cast<double>(s_freq.QuadPart);
}

// A clock for single calls: QueryPerformanceCounter ticks at 10 MHz here
// and costs about as much as a short call, so one call is timed by the time
// stamp counter, whose rate is measured against it once.
inline double BenchCallSeconds(unsigned long long ullTicks)
{
    static const double s_dSecondsPerTick = [] {
        const double t0 = BenchNow();
        const unsigned long long ull0 = __rdtsc();
        while (BenchNow() - t0 < 0.02)
        {
        }
        return (BenchNow() - t0) / static_cast<double>(__rdtsc() - ull0);
    }();
    return static_cast<double>(ullTicks) * s_dSecondsPerTick;
}

// Seconds that one call of fn takes, by the time stamp counter.
template <typename TFn>
double TimeOneCall(TFn fn)
{
    const unsigned long long ull0 = __rdtsc();
    fn();
    return BenchCallSeconds(__rdtsc() - ull0);
}

// Seconds per call of fn over n calls, after a short warm-up.
template <typename TFn>
double PerCall(int n, TFn fn)
{
    for (int i = 0; i < n / 100 + 1; ++i)
        fn(i);
    const double t0 = BenchNow();
    for (int i = 0; i < n; ++i)
        fn(i);
    return (BenchNow() - t0) / n;
}

struct ILogObject;
// A log object that drops every line, for the cost of building lines.
ILogObject* DroppingLog();

// Figures of the sample path: checksum throughput and the sample line.
void RunSampleBenchmarks();

// Figures of sample capture: the streaming thread's cost and the worker's throughput.
void RunCaptureBenchmarks();

// Figures of the filter framework: samples through the test in-place filter against a direct connection.
void RunPassThroughBenchmarks();

// Figures of the spy filter: samples through it without a log, traced to a
// file, and traced with the checksum of 64 KiB samples, against direct.
void RunSpyBenchmarks();

// Timing helpers shared by the benchmark figures.
#pragma once

#include <windows.h>

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

// Figures of the sample path: checksum throughput and the sample line.
void RunSampleBenchmarks();

// Figures of sample capture: the streaming thread's cost and the worker's throughput.
void RunCaptureBenchmarks();

// Figures of the filter framework: samples through the test in-place filter against a direct connection.
void RunPassThroughBenchmarks();

// Figures of the spy filter: samples through it without a log, traced to a
// file, and traced with the checksum of 64 KiB samples, against direct.
void RunSpyBenchmarks();

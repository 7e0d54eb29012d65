// Samples per second through the test in-place filter against the same
// source feeding the same sink directly, in the same run, tracing off.
#include <stdio.h>

#include "../tests/support/PassThroughChain.h"
#include "Bench.h"

void RunPassThroughBenchmarks()
{
    const HRESULT hrInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        CPassThroughChain chain;
        if (FAILED(chain.Build()))
        {
            printf("passthrough: the test chain could not be built\n");
            return;
        }
        const int n = 1000000;
        const double tDirect = PerCall(n, [&](int) { chain.Push(chain.Sink(), 4096); });
        const double tFilter = PerCall(n, [&](int) { chain.Push(chain.Filter(), 4096); });
        printf("passthrough_direct_samples_per_s: %.0f samples/s\n", 1.0 / tDirect);
        printf("passthrough_filter_samples_per_s: %.0f samples/s\n", 1.0 / tFilter);
        // Samples per second through the filter over direct (the goal is 0.8 or more).
        printf("passthrough_vs_direct_speedup: %.2f x\n", tDirect / tFilter);
        printf("passthrough_cost_per_sample: %.0f ns\n", (tFilter - tDirect) * 1e9);
    }
    if (SUCCEEDED(hrInit))
        CoUninitialize();
}

// GetBuffer plus last Release of a sample: the framework's allocator against
// the platform's own (CLSID_MemoryAllocator) with the same properties, in
// the same run.
#include "Bench.h"

#include <dshowx/DSAllocators.h>

#include <uuids.h>

#include <stdio.h>

namespace
{
// Seconds per cycle, or a negative value when the allocator cannot run.
double CycleTime(IMemAllocator* pAlloc, int n)
{
    ALLOCATOR_PROPERTIES req = {4, 65536, 16, 0};
    ALLOCATOR_PROPERTIES act = {};
    if (FAILED(pAlloc->SetProperties(&req, &act)) || FAILED(pAlloc->Commit()))
        return -1;
    const double t = PerCall(n, [pAlloc](int) {
        IMediaSample* pSample = nullptr;
        if (SUCCEEDED(pAlloc->GetBuffer(&pSample, nullptr, nullptr, 0)) && pSample != nullptr)
            pSample->Release();
    });
    pAlloc->Decommit();
    return t;
}
// The floor of any locked allocator: per cycle, one critical-section pair
// around a pop from a free list and the push that gives the buffer back.
struct CFloorNode
{
    CFloorNode* pNext;
};

// bSplit: the pop and the push each under a pair of their own, as they must
// be when GetBuffer and the sample's Release are separate calls (often on
// separate threads).
double FloorTime(int n, bool bSplit)
{
    CRITICAL_SECTION cs;
    InitializeCriticalSectionAndSpinCount(&cs, 4000);
    CFloorNode nodes[4] = {{&nodes[1]}, {&nodes[2]}, {&nodes[3]}, {nullptr}};
    CFloorNode* volatile pHead = &nodes[0];
    const double t = PerCall(n, [&](int) {
        EnterCriticalSection(&cs);
        CFloorNode* p = pHead;
        pHead = p->pNext;
        if (bSplit)
        {
            LeaveCriticalSection(&cs);
            EnterCriticalSection(&cs);
        }
        p->pNext = pHead;
        pHead = p;
        LeaveCriticalSection(&cs);
    });
    DeleteCriticalSection(&cs);
    return t;
}
} // namespace

void BenchAllocators()
{
    const HRESULT hrInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    const int c_nCycles = 1000000;
    double tOurs = -1, tPlatform = -1;
    IMemAllocator* pAlloc = nullptr;
    if (SUCCEEDED(CreateMemoryAllocator(&pAlloc, nullptr)))
    {
        tOurs = CycleTime(pAlloc, c_nCycles);
        pAlloc->Release();
    }
    pAlloc = nullptr;
    if (SUCCEEDED(CoCreateInstance(CLSID_MemoryAllocator, nullptr, CLSCTX_INPROC_SERVER, IID_IMemAllocator,
                                   reinterpret_cast<void**>(&pAlloc))))
    {
        tPlatform = CycleTime(pAlloc, c_nCycles);
        pAlloc->Release();
    }
    const double tFloor = FloorTime(c_nCycles, false);
    const double tFloorSplit = FloorTime(c_nCycles, true);
    if (tOurs > 0)
        printf("alloc_cycle: %.1f ns/cycle\n", tOurs * 1e9);
    printf("alloc_cycle_floor: %.1f ns/cycle\n", tFloor * 1e9);
    printf("alloc_cycle_floor_two_calls: %.1f ns/cycle\n", tFloorSplit * 1e9);
    if (tPlatform > 0)
        printf("alloc_cycle_wine: %.1f ns/cycle\n", tPlatform * 1e9);
    if (tOurs > 0)
    {
        printf("alloc_cycle_vs_floor_slowdown: %.2f x\n", tOurs / tFloor);
        printf("alloc_cycle_vs_floor_two_calls_slowdown: %.2f x\n", tOurs / tFloorSplit);
    }
    if (tOurs > 0 && tPlatform > 0)
        printf("alloc_cycle_vs_wine_slowdown: %.4f x\n", tOurs / tPlatform);
    if (SUCCEEDED(hrInit))
        CoUninitialize();
}

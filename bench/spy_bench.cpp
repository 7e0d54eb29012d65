// Samples per second through the spy filter against the same source feeding
// the same sink directly, in one run: without a log object (the sample line,
// lateness and checksum are then not computed), with the stand-in log library
// writing a file, and with the checksum of 64 KiB samples on top.
#include <stdio.h>

#include <string>

#include "../tests/support/PassThroughChain.h"
#include "Bench.h"
#include "Filter.h"
#include "StandInLog.h"

namespace
{

// source -> spy -> sink without a graph, the input connected again after the
// output as the graph's reconnection does, so that samples pass in place.
class CSpyChain
{
public:
    CSpyChain()
    {
        m_source.m_eDir = PINDIR_OUTPUT;
        m_sink.m_eDir = PINDIR_INPUT;
    }
    ~CSpyChain()
    {
        if (m_spSpy == nullptr)
            return;
        m_spSpy->Stop();
        static_cast<IPin*>(m_pSpy->m_apOut)->Disconnect();
        static_cast<IPin*>(m_pSpy->m_apIn)->Disconnect();
        m_spAlloc.Release();
        m_sink.m_spNotified.Release();
    }

    HRESULT Build()
    {
        CComObject<CSpyFilter>* pObject = nullptr;
        HRESULT hr = CComObject<CSpyFilter>::CreateInstance(&pObject);
        if (FAILED(hr))
            return hr;
        m_pSpy = pObject;
        m_spSpy = static_cast<IBaseFilter*>(m_pSpy);
        const CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
        if (FAILED(hr = ConnectInput(mt)) || FAILED(hr = static_cast<IPin*>(m_pSpy->m_apOut)->Connect(&m_sink, &mt)))
            return hr;
        static_cast<IPin*>(m_pSpy->m_apIn)->Disconnect();
        if (FAILED(hr = ConnectInput(mt)) || FAILED(hr = m_spSpy->Run(0)))
            return hr;
        return m_spAlloc->Commit();
    }

    HRESULT Push(IMemInputPin* pTarget, long cbActual) { return PushSample(m_spAlloc, pTarget, cbActual); }

    IMemInputPin* Spy() { return m_pSpy->m_apIn; }
    IMemInputPin* Sink() { return &m_sink; }
    CSpyFilter* m_pSpy = nullptr;

private:
    HRESULT ConnectInput(const CMType& mt)
    {
        m_spAlloc.Release();
        ALLOCATOR_PROPERTIES req = {4, 65536, 1, 0}, act = {};
        IMemInputPin* pMemIn = m_pSpy->m_apIn;
        HRESULT hr;
        if (FAILED(hr = static_cast<IPin*>(m_pSpy->m_apIn)->ReceiveConnection(&m_source, &mt)) ||
            FAILED(hr = pMemIn->GetAllocator(&m_spAlloc)) || FAILED(hr = m_spAlloc->SetProperties(&req, &act)))
            return hr;
        return pMemIn->NotifyAllocator(m_spAlloc, FALSE);
    }

    CCountingPin m_source, m_sink;
    CComPtr<IBaseFilter> m_spSpy;
    CComPtr<IMemAllocator> m_spAlloc;
};

// The stand-in log library's object, writing to a file in the temp folder.
ILogObject* AttachFileLog(std::wstring& sFile)
{
    WCHAR sz[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, sz, MAX_PATH);
    std::wstring sLib = sz;
    sLib = sLib.substr(0, sLib.find_last_of(L'\\') + 1) + L"velmoralog.dll";
    HMODULE hLib = LoadLibraryW(sLib.c_str());
    auto pfnGet = reinterpret_cast<PFN_EXP_GETLOGOBJECT>(
        reinterpret_cast<void*>(hLib ? GetProcAddress(hLib, "Exp_GetLogObject") : nullptr));
    auto pfnSetFile = reinterpret_cast<PFN_STANDIN_SETLOGFILE>(
        reinterpret_cast<void*>(hLib ? GetProcAddress(hLib, "StandIn_SetLogFile") : nullptr));
    ILogObject* pLog = nullptr;
    if (!pfnGet || !pfnSetFile || pfnGet(&pLog) != 0 || !pLog)
        return nullptr;
    GetTempPathW(MAX_PATH, sz);
    sFile = std::wstring(sz) + L"velmora-spy-bench.log";
    DeleteFileW(sFile.c_str());
    pfnSetFile(sFile.c_str());
    pLog->lpVtbl->Attach(pLog, &pLog, 0, 0);
    return pLog;
}

} // namespace

void RunSpyBenchmarks()
{
    const HRESULT hrInit = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ILogObject* pPrevious = Log_SetObject(nullptr);
    {
        CSpyChain chain;
        if (FAILED(chain.Build()))
        {
            printf("spy: the chain could not be built\n");
            Log_SetObject(pPrevious);
            return;
        }
        const double tDirect = PerCall(1000000, [&](int) { chain.Push(chain.Sink(), 4096); });
        const double tSpy = PerCall(1000000, [&](int) { chain.Push(chain.Spy(), 4096); });
        printf("spy_direct_samples_per_s: %.0f samples/s\n", 1.0 / tDirect);
        printf("spy_samples_per_s: %.0f samples/s\n", 1.0 / tSpy);
        printf("spy_vs_direct_slowdown: %.2f x\n", tSpy / tDirect);
        std::wstring sFile;
        ILogObject* pLog = AttachFileLog(sFile);
        if (pLog != nullptr)
        {
            Log_SetObject(pLog);
            const double tTraced = PerCall(20000, [&](int) { chain.Push(chain.Spy(), 4096); });
            chain.m_pSpy->SetCheckSum(TRUE);
            const double tCrc = PerCall(5000, [&](int) { chain.Push(chain.Spy(), 65536); });
            Log_SetObject(nullptr);
            pLog->lpVtbl->Detach(pLog, &pLog);
            DeleteFileW(sFile.c_str());
            printf("spy_traced_samples_per_s: %.0f samples/s\n", 1.0 / tTraced);
            printf("spy_traced_crc_64k_samples_per_s: %.0f samples/s\n", 1.0 / tCrc);
        }
        else
        {
            printf("spy: velmoralog.dll not found beside the program\n");
        }
    }
    Log_SetObject(pPrevious);
    if (SUCCEEDED(hrInit))
        CoUninitialize();
}

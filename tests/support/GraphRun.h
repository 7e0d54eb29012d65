// Small helpers for tests that build a real filter graph: create it, add
// filters, find pins, connect, run to the end and take it down again.
//
// Teardown order matters with the platform's parsers: they free their
// output pins when their input is disconnected, so release every pin you
// hold before TearDownGraph.
#pragma once

#include <windows.h>
#include <dshow.h>

#include <vector>

#include <helpers/GraphPins.h>
#include <winapi/ComPtr.h>

inline CComPtr<IGraphBuilder> CreateGraph()
{
    CComPtr<IGraphBuilder> sp;
    CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                     reinterpret_cast<void**>(&sp));
    return sp;
}

// Null when the class cannot be created or the graph refuses it.
inline CComPtr<IBaseFilter> AddFilterByClsid(IGraphBuilder* pGraph, REFCLSID clsid, LPCWSTR pszName)
{
    CComPtr<IBaseFilter> sp;
    if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                reinterpret_cast<void**>(&sp))))
        return nullptr;
    if (FAILED(pGraph->AddFilter(sp, pszName)))
        return nullptr;
    return sp;
}

// An async file source in the graph with pszPath loaded.
inline CComPtr<IBaseFilter> AddFileSource(IGraphBuilder* pGraph, LPCWSTR pszPath)
{
    CComPtr<IBaseFilter> sp = AddFilterByClsid(pGraph, CLSID_AsyncReader, L"File");
    CComPtr<IFileSourceFilter> spFile;
    if (!sp || FAILED(sp.QueryInterface(&spFile)) || FAILED(spFile->Load(pszPath, nullptr)))
        return nullptr;
    return sp;
}

// The first output pin of pUp to the first input pin of pDown; direct when
// bDirect (the graph inserts nothing), else the graph may add filters.
inline HRESULT ConnectFilters(IGraphBuilder* pGraph, IBaseFilter* pUp, IBaseFilter* pDown, bool bDirect = true,
                              const AM_MEDIA_TYPE* pmt = nullptr)
{
    CComPtr<IPin> spOut = FindPin(pUp, PINDIR_OUTPUT);
    CComPtr<IPin> spIn = FindPin(pDown, PINDIR_INPUT);
    if (!spOut || !spIn)
        return VFW_E_NOT_FOUND;
    return bDirect ? pGraph->ConnectDirect(spOut, spIn, pmt) : pGraph->Connect(spOut, spIn);
}

// Runs the graph until EC_COMPLETE or the timeout; stops it either way.
// Returns WaitForCompletion's result (E_ABORT on timeout) or the failure of Run.
inline HRESULT RunToCompletion(IGraphBuilder* pGraph, DWORD dwTimeoutMs, long* plEvent = nullptr)
{
    CComPtr<IMediaControl> spControl;
    CComPtr<IMediaEvent> spEvent;
    HRESULT hr = pGraph->QueryInterface(IID_IMediaControl, reinterpret_cast<void**>(&spControl));
    if (SUCCEEDED(hr))
        hr = pGraph->QueryInterface(IID_IMediaEvent, reinterpret_cast<void**>(&spEvent));
    if (FAILED(hr))
        return hr;
    hr = spControl->Run();
    if (FAILED(hr))
        return hr;
    long lEvent = 0;
    hr = spEvent->WaitForCompletion(static_cast<long>(dwTimeoutMs), &lEvent);
    if (plEvent)
        *plEvent = lEvent;
    spControl->Stop();
    return hr;
}

// Stops the graph and removes every filter (the graph disconnects their
// pins), then drops the caller's reference.
inline void TearDownGraph(CComPtr<IGraphBuilder>& spGraph)
{
    if (!spGraph)
        return;
    CComPtr<IMediaControl> spControl;
    if (SUCCEEDED(spGraph.QueryInterface(&spControl)))
        spControl->Stop();
    std::vector<CComPtr<IBaseFilter>> filters;
    CComPtr<IEnumFilters> spEnum;
    if (SUCCEEDED(spGraph->EnumFilters(&spEnum)))
        for (CComPtr<IBaseFilter> sp; spEnum->Next(1, &sp, nullptr) == S_OK; sp.Release())
            filters.push_back(sp);
    spEnum.Release();
    for (auto& sp : filters)
        spGraph->RemoveFilter(sp);
    filters.clear();
    spGraph.Release();
}

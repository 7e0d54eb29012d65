#include "HostGraph.h"

#include <dvdmedia.h>
#include <mmreg.h>
#include <uuids.h>

#include <dshowx/DSDefines.h>
#include <helpers/GraphPins.h>

#include <cstdio>

namespace
{

void FreeMediaType(AM_MEDIA_TYPE& mt)
{
    if (mt.cbFormat != 0)
        CoTaskMemFree(mt.pbFormat);
    mt.cbFormat = 0;
    mt.pbFormat = nullptr;
    if (mt.pUnk != nullptr)
        mt.pUnk->Release();
    mt.pUnk = nullptr;
}

// The first type a pin offers; false when it offers none.
bool FirstMediaType(IPin* pPin, AM_MEDIA_TYPE& mt)
{
    CComPtr<IEnumMediaTypes> spEnum;
    AM_MEDIA_TYPE* pmt = nullptr;
    if (FAILED(pPin->EnumMediaTypes(&spEnum)) || spEnum->Next(1, &pmt, nullptr) != S_OK || pmt == nullptr)
        return false;
    mt = *pmt;
    CoTaskMemFree(pmt);
    return true;
}

std::string GuidText(REFGUID guid)
{
    WCHAR sz[40] = {};
    StringFromGUID2(guid, sz, 40);
    return Utf8(sz);
}

std::string FourccText(DWORD fcc)
{
    std::string s;
    for (int i = 0; i < 4; ++i)
    {
        const char c = static_cast<char>((fcc >> (8 * i)) & 0xFF);
        s += (c >= 0x20 && c < 0x7F) ? c : '?';
    }
    return s;
}

std::string DescribeVideo(const AM_MEDIA_TYPE& mt)
{
    const BITMAPINFOHEADER* pbih = nullptr;
    REFERENCE_TIME tFrame = 0;
    if (mt.formattype == FORMAT_VideoInfo && mt.cbFormat >= sizeof(VIDEOINFOHEADER) && mt.pbFormat)
    {
        auto pvih = reinterpret_cast<const VIDEOINFOHEADER*>(mt.pbFormat);
        pbih = &pvih->bmiHeader;
        tFrame = pvih->AvgTimePerFrame;
    }
    else if (mt.formattype == FORMAT_VideoInfo2 && mt.cbFormat >= sizeof(VIDEOINFOHEADER2) && mt.pbFormat)
    {
        auto pvih = reinterpret_cast<const VIDEOINFOHEADER2*>(mt.pbFormat);
        pbih = &pvih->bmiHeader;
        tFrame = pvih->AvgTimePerFrame;
    }
    if (pbih == nullptr)
        return "Video";
    std::string s = pbih->biCompression == BI_RGB || pbih->biCompression == BI_BITFIELDS
                        ? Fmt("Video RGB%u", static_cast<unsigned>(pbih->biBitCount))
                        : "Video " + FourccText(pbih->biCompression);
    s += Fmt(" %ldx%ld", static_cast<long>(pbih->biWidth), static_cast<long>(pbih->biHeight));
    if (tFrame > 0)
        s += Fmt(", %.3g fps", 10000000.0 / static_cast<double>(tFrame));
    return s;
}

std::string DescribeAudio(const AM_MEDIA_TYPE& mt)
{
    if (mt.formattype != FORMAT_WaveFormatEx || mt.cbFormat < sizeof(WAVEFORMAT) || mt.pbFormat == nullptr)
        return "Audio";
    auto pwfx = reinterpret_cast<const WAVEFORMATEX*>(mt.pbFormat);
    const std::string tag = pwfx->wFormatTag == WAVE_FORMAT_PCM ? "PCM" : Fmt("format 0x%04X", pwfx->wFormatTag);
    return Fmt("Audio %s %lu Hz, %u ch, %u bit", tag.c_str(), static_cast<unsigned long>(pwfx->nSamplesPerSec),
               pwfx->nChannels, mt.cbFormat >= sizeof(PCMWAVEFORMAT) ? pwfx->wBitsPerSample : 0u);
}

std::string DescribeMediaType(const AM_MEDIA_TYPE& mt, std::string& major)
{
    if (mt.majortype == MEDIATYPE_Video)
    {
        major = "video";
        return DescribeVideo(mt);
    }
    if (mt.majortype == MEDIATYPE_Audio)
    {
        major = "audio";
        return DescribeAudio(mt);
    }
    static const struct
    {
        const GUID* pGuid;
        const char* pszName;
    } s_majors[] = {{&MEDIATYPE_Stream, "stream"}, {&MEDIATYPE_Text, "text"}, {&MEDIATYPE_Midi, "midi"},
                    {&MEDIATYPE_Interleaved, "interleaved"}, {&MEDIATYPE_Timecode, "timecode"}};
    for (const auto& m : s_majors)
        if (mt.majortype == *m.pGuid)
        {
            major = m.pszName;
            return std::string(1, static_cast<char>(m.pszName[0] - 'a' + 'A')) + (m.pszName + 1);
        }
    major = "other";
    return "Major type " + GuidText(mt.majortype);
}

std::string FilterName(IBaseFilter* pFilter)
{
    FILTER_INFO fi = {};
    if (pFilter == nullptr || FAILED(pFilter->QueryFilterInfo(&fi)))
        return "?";
    if (fi.pGraph)
        fi.pGraph->Release();
    return Utf8(fi.achName);
}

// The filters after pOut up to the renderer, as "A > B".
std::string ChainAfter(IPin* pOut)
{
    std::string chain;
    CComPtr<IPin> spPin(pOut);
    for (int nDepth = 0; spPin && nDepth < 8; ++nDepth)
    {
        CComPtr<IPin> spPeer;
        PIN_INFO pi = {};
        if (FAILED(spPin->ConnectedTo(&spPeer)) || FAILED(spPeer->QueryPinInfo(&pi)))
            break;
        CComPtr<IBaseFilter> spFilter;
        spFilter.Attach(pi.pFilter);
        chain += (chain.empty() ? "" : " > ") + FilterName(spFilter);
        spPin = FindPin(spFilter, PINDIR_OUTPUT);
    }
    return chain;
}

LONGLONG Counter()
{
    LARGE_INTEGER li;
    QueryPerformanceCounter(&li);
    return li.QuadPart;
}

double SecondsSince(LONGLONG llStart)
{
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<double>(Counter() - llStart) / static_cast<double>(f.QuadPart);
}

struct CPropsArgs
{
    IUnknown* pSpy; // a reference the thread releases
    std::wstring caption;
};

// Runs a modal property frame; it returns when the user or StopProps closes it.
DWORD WINAPI PropsThread(void* pv)
{
    CPropsArgs* pArgs = static_cast<CPropsArgs*>(pv);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    CComPtr<ISpecifyPropertyPages> spPages;
    CAUUID pages = {};
    HRESULT hr = pArgs->pSpy->QueryInterface(IID_ISpecifyPropertyPages, reinterpret_cast<void**>(&spPages));
    if (SUCCEEDED(hr))
        hr = spPages->GetPages(&pages);
    if (SUCCEEDED(hr))
        hr = OleCreatePropertyFrame(nullptr, 0, 0, pArgs->caption.c_str(), 1, &pArgs->pSpy, pages.cElems,
                                    pages.pElems, 0, 0, nullptr);
    CoTaskMemFree(pages.pElems);
    if (FAILED(hr))
        fprintf(stderr, "spyhost: %s: no property page: %s\n", Utf8(pArgs->caption).c_str(), HResultText(hr).c_str());
    spPages.Release();
    pArgs->pSpy->Release();
    delete pArgs;
    CoUninitialize();
    return 0;
}

BOOL CALLBACK CloseThreadWindow(HWND hwnd, LPARAM)
{
    PostMessageW(hwnd, WM_CLOSE, 0, 0);
    return TRUE;
}

} // namespace

// ---------------------------------------------------------------------------
// Building

int CHostGraph::Build(LPCWSTR pszFile, std::string& message)
{
    const std::string file = "'" + Utf8(pszFile) + "'";
    HANDLE h = CreateFileW(pszFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
    {
        message = "cannot open " + file + ": " + HResultText(HRESULT_FROM_WIN32(GetLastError()));
        return eExitBadInput;
    }
    LARGE_INTEGER size = {};
    GetFileSizeEx(h, &size);
    CloseHandle(h);
    if (size.QuadPart == 0)
    {
        message = file + " is empty";
        return eExitBadInput;
    }

    HRESULT hr = CoCreateInstance(CLSID_FilterGraph, nullptr, CLSCTX_INPROC_SERVER, IID_IGraphBuilder,
                                  reinterpret_cast<void**>(&m_spGraph));
    if (FAILED(hr))
    {
        message = "no filter graph manager: " + HResultText(hr);
        return eExitGraphFailed;
    }
    hr = m_spGraph->AddSourceFilter(pszFile, L"Source", &m_spSource);
    if (FAILED(hr))
    {
        message = file + " cannot be opened as media: " + HResultText(hr);
        return eExitBadInput;
    }
    CComPtr<IPin> spSourceOut = FindPin(m_spSource, PINDIR_OUTPUT);
    if (!spSourceOut)
    {
        message = file + ": its source filter has no output";
        return eExitBadInput;
    }
    AM_MEDIA_TYPE mt = {};
    const bool bStream = FirstMediaType(spSourceOut, mt) && mt.majortype == MEDIATYPE_Stream;
    FreeMediaType(mt);
    if (!bStream)
        m_spSplitter = m_spSource; // the source itself delivers elementary streams
    else if (const int nExit = FindSplitter(spSourceOut, message))
    {
        message = file + " " + message;
        return nExit;
    }

    std::vector<CComPtr<IPin>> outputs;
    for (CComPtr<IPin> sp; (sp = FindPin(m_spSplitter, PINDIR_OUTPUT, static_cast<int>(outputs.size())));)
        outputs.push_back(sp);
    if (outputs.empty())
    {
        message = file + " holds no stream";
        return eExitBadInput;
    }
    if (m_opt.nStream >= static_cast<int>(outputs.size()))
    {
        message = Fmt("%s has %u stream(s), numbered from 0; --stream %d is not one of them", file.c_str(),
                      static_cast<unsigned>(outputs.size()), m_opt.nStream);
        return eExitBadInput;
    }
    m_nSpyStreams = m_opt.nStream >= 0 ? 1 : outputs.size();
    for (size_t n = 0; n < outputs.size(); ++n)
    {
        if (m_opt.nStream >= 0 && static_cast<int>(n) != m_opt.nStream)
            continue;
        if (const int nExit = AddStream(outputs[n], static_cast<int>(n), message))
            return nExit;
    }
    return eExitPlayed;
}

// A parser for the byte stream of the source: the filters registered for
// its type, then the platform's own parsers.
int CHostGraph::FindSplitter(IPin* pSourceOut, std::string& message)
{
    AM_MEDIA_TYPE mt = {};
    FirstMediaType(pSourceOut, mt);
    const GUID aTypes[2] = {MEDIATYPE_Stream, mt.subtype};
    FreeMediaType(mt);

    std::vector<CComPtr<IBaseFilter>> candidates;
    CComPtr<IFilterMapper2> spMapper;
    CComPtr<IEnumMoniker> spEnum;
    if (SUCCEEDED(CoCreateInstance(CLSID_FilterMapper2, nullptr, CLSCTX_INPROC_SERVER, IID_IFilterMapper2,
                                   reinterpret_cast<void**>(&spMapper))) &&
        SUCCEEDED(spMapper->EnumMatchingFilters(&spEnum, 0, FALSE, MERIT_DO_NOT_USE + 1, TRUE, 1, aTypes, nullptr,
                                                nullptr, FALSE, TRUE, 0, nullptr, nullptr, nullptr)))
        for (CComPtr<IMoniker> spMoniker; spEnum->Next(1, &spMoniker, nullptr) == S_OK; spMoniker.Release())
        {
            CComPtr<IBaseFilter> spFilter;
            if (SUCCEEDED(spMoniker->BindToObject(nullptr, nullptr, IID_IBaseFilter,
                                                  reinterpret_cast<void**>(&spFilter))))
                candidates.push_back(spFilter);
        }
    for (const CLSID* pClsid : std::initializer_list<const CLSID*>{&CLSID_AviSplitter, &CLSID_WaveParserFilter, &CLSID_MPEG1Splitter})
    {
        CComPtr<IBaseFilter> spFilter;
        if (SUCCEEDED(CoCreateInstance(*pClsid, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                       reinterpret_cast<void**>(&spFilter))))
            candidates.push_back(spFilter);
    }

    HRESULT hrLast = VFW_E_UNSUPPORTED_STREAM;
    for (CComPtr<IBaseFilter>& spFilter : candidates)
    {
        CComPtr<IPin> spIn = FindPin(spFilter, PINDIR_INPUT);
        if (!spIn || FAILED(m_spGraph->AddFilter(spFilter, L"Splitter")))
            continue;
        const HRESULT hr = m_spGraph->ConnectDirect(pSourceOut, spIn, nullptr);
        if (SUCCEEDED(hr))
        {
            m_spSplitter = spFilter;
            return eExitPlayed;
        }
        hrLast = hr;
        m_spGraph->RemoveFilter(spFilter);
    }
    message = "is not a media file that a splitter understands: " + HResultText(hrLast);
    return eExitBadInput;
}

bool CHostGraph::NeedsControl() const
{
    return m_opt.bChecksum || !m_opt.capture.empty() || m_opt.bForcePassthru || m_opt.bNoDynReconnect ||
           m_opt.bNoMTEnumRedir;
}

std::wstring CHostGraph::PerStreamName(const std::wstring& name, int nStream) const
{
    if (m_nSpyStreams <= 1)
        return name;
    const size_t atSlash = name.find_last_of(L"\\/");
    const size_t atDot = name.find_last_of(L'.');
    const size_t at = (atDot == std::wstring::npos || (atSlash != std::wstring::npos && atDot < atSlash))
                          ? name.size()
                          : atDot;
    return name.substr(0, at) + L"-" + std::to_wstring(nStream) + name.substr(at);
}

int CHostGraph::AddStream(IPin* pOut, int nStream, std::string& message)
{
    CHostStream s;
    s.nStream = nStream;
    PIN_INFO pi = {};
    if (SUCCEEDED(pOut->QueryPinInfo(&pi)))
    {
        if (pi.pFilter)
            pi.pFilter->Release();
        s.pinName = Utf8(pi.achName);
    }
    AM_MEDIA_TYPE mt = {};
    if (FirstMediaType(pOut, mt))
        s.mediaType = DescribeMediaType(mt, s.major);
    FreeMediaType(mt);
    const std::string what = Fmt("stream %d ('%s')", nStream, s.pinName.c_str());

    CComPtr<IPin> spOut(pOut);
    if (!m_opt.bNoSpy)
    {
        HRESULT hr = m_factory.Create(&s.spSpy, message);
        if (FAILED(hr))
            return eExitGraphFailed;
        hr = s.spSpy.QueryInterface(&s.spControl);
        if (FAILED(hr) && NeedsControl())
        {
            message = "the spy offers no IVelmoraSpyFilter (" + HResultText(hr) +
                      "), which the options of the filter need";
            return eExitGraphFailed;
        }
        if (FAILED(hr) && m_note.empty())
            m_note = "the spy offers no IVelmoraSpyFilter: its bitrates are not shown";
        {
            // The spy reads these when it joins the graph; the user's values
            // return right after.
            const WCHAR szKey[] = L"Software\\Velmora\\Spy Filter";
            CRegValueOverride diff(szKey, L"Difference file");
            CRegValueOverride positioning(szKey, L"Check positioning");
            if (!m_opt.diffFile.empty())
                diff.SetString(PerStreamName(m_opt.diffFile, nStream).c_str());
            if (m_opt.bCheckPositioning)
                positioning.SetDword(1);
            hr = m_spGraph->AddFilter(s.spSpy, std::wstring(L"Spy " + std::to_wstring(nStream)).c_str());
        }
        if (FAILED(hr))
        {
            message = "the graph refuses the spy: " + HResultText(hr);
            return eExitGraphFailed;
        }
        CComPtr<IDirectShowDebug> spDebug;
        WCHAR szTag[128] = {};
        if (SUCCEEDED(s.spSpy.QueryInterface(&spDebug)) && SUCCEEDED(spDebug->GetDebugNameW(szTag, 128)))
            m_counter.AddSpy(szTag, m_streams.size());
        if (s.spControl && m_opt.bNoDynReconnect)
            s.spControl->EnableDynReconnect(FALSE);
        if (s.spControl && m_opt.bNoMTEnumRedir)
            s.spControl->EnableMTEnumRedir(FALSE);
        if (s.spControl && m_opt.bForcePassthru)
            s.spControl->ForcePassthruAllocator(TRUE);

        CComPtr<IPin> spSpyIn = FindPin(s.spSpy, PINDIR_INPUT);
        hr = spSpyIn ? m_spGraph->ConnectDirect(pOut, spSpyIn, nullptr) : E_UNEXPECTED;
        if (FAILED(hr))
        {
            message = what + " does not connect to the spy: " + HResultText(hr);
            return eExitGraphFailed;
        }
        AM_MEDIA_TYPE mtIn = {};
        if (SUCCEEDED(spSpyIn->ConnectionMediaType(&mtIn)))
            s.mediaType = DescribeMediaType(mtIn, s.major);
        FreeMediaType(mtIn);
        spOut = FindPin(s.spSpy, PINDIR_OUTPUT);
    }

    const HRESULT hr = ConnectRenderer(spOut, s, message);
    if (FAILED(hr))
    {
        message = what + " " + message;
        return eExitGraphFailed;
    }
    ApplySpyOptions(s);
    m_streams.push_back(s);
    return eExitPlayed;
}

// Video goes to the plain window renderer first: it needs no 3D device,
// which a remote or virtual display may lack (the renderers that use one can
// crash there). Whatever it cannot take is rendered as the graph likes.
HRESULT CHostGraph::RenderVideo(IPin* pOut)
{
    CComPtr<IBaseFilter> spRenderer;
    HRESULT hr = CoCreateInstance(CLSID_VideoRenderer, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(&spRenderer));
    if (SUCCEEDED(hr))
        hr = m_spGraph->AddFilter(spRenderer, L"Video Renderer");
    CComPtr<IPin> spIn = FindPin(spRenderer, PINDIR_INPUT);
    if (SUCCEEDED(hr))
        hr = spIn ? m_spGraph->Connect(pOut, spIn) : E_UNEXPECTED;
    if (SUCCEEDED(hr))
        return hr;
    if (spRenderer)
        m_spGraph->RemoveFilter(spRenderer);
    return m_spGraph->Render(pOut);
}

HRESULT CHostGraph::ConnectRenderer(IPin* pOut, CHostStream& s, std::string& message)
{
    if (!m_opt.bNull)
    {
        const HRESULT hr = s.major == "video" ? RenderVideo(pOut) : m_spGraph->Render(pOut);
        if (SUCCEEDED(hr))
        {
            s.renderer = ChainAfter(pOut);
            return hr;
        }
        CComPtr<IPin> spPeer;
        if (SUCCEEDED(pOut->ConnectedTo(&spPeer)))
        {
            m_spGraph->Disconnect(pOut);
            m_spGraph->Disconnect(spPeer);
        }
        if (m_note.empty())
            m_note = Fmt("stream %d (%s) cannot be rendered here (%s); such streams end in a null renderer",
                         s.nStream, s.major.c_str(), HResultText(hr).c_str());
    }
    CComPtr<IBaseFilter> spNull;
    HRESULT hr = CoCreateInstance(CLSID_NullRendererFilter, nullptr, CLSCTX_INPROC_SERVER, IID_IBaseFilter,
                                  reinterpret_cast<void**>(&spNull));
    if (SUCCEEDED(hr))
        hr = m_spGraph->AddFilter(spNull, std::wstring(L"Null Renderer " + std::to_wstring(s.nStream)).c_str());
    CComPtr<IPin> spIn = FindPin(spNull, PINDIR_INPUT);
    if (SUCCEEDED(hr))
        hr = spIn ? m_spGraph->ConnectDirect(pOut, spIn, nullptr) : E_UNEXPECTED;
    if (FAILED(hr))
    {
        message = "does not connect to a null renderer: " + HResultText(hr);
        return hr;
    }
    s.renderer = ChainAfter(pOut);
    return S_OK;
}

void CHostGraph::ApplySpyOptions(CHostStream& s)
{
    if (!s.spControl)
        return;
    if (m_opt.bChecksum)
        s.spControl->SetCheckSum(TRUE);
    if (m_opt.capture.empty())
        return;
    BSTR bstr = SysAllocString(PerStreamName(m_opt.capture, s.nStream).c_str());
    // Without --samples the whole run is captured.
    HRESULT hr = s.spControl->SetCaptureProps(bstr, m_opt.bOnePerFile, m_opt.bSamplesGiven ? m_opt.nSamples : 0xFFFFFFFFu);
    SysFreeString(bstr);
    if (SUCCEEDED(hr))
        hr = s.spControl->StartCapture();
    if (FAILED(hr))
        fprintf(stderr, "spyhost: stream %d: capture does not start: %s\n", s.nStream, HResultText(hr).c_str());
}

// ---------------------------------------------------------------------------
// Running

int CHostGraph::Run(HANDLE hStop, std::string& message)
{
    CComPtr<IMediaControl> spControl;
    CComPtr<IMediaEventEx> spEvent;
    CComPtr<IMediaSeeking> spSeeking;
    CComPtr<IMediaFilter> spMediaFilter;
    if (FAILED(m_spGraph.QueryInterface(&spControl)) || FAILED(m_spGraph->QueryInterface(IID_IMediaEventEx, reinterpret_cast<void**>(&spEvent))) ||
        FAILED(m_spGraph.QueryInterface(&spSeeking)) || FAILED(m_spGraph.QueryInterface(&spMediaFilter)))
    {
        message = "the filter graph manager lacks its control interfaces";
        return eExitGraphFailed;
    }
    if (m_opt.bNoClock)
        spMediaFilter->SetSyncSource(nullptr);
    bool bWatchPosition = false;
    if (m_opt.dSeconds > 0)
    {
        LONGLONG llStart = 0, llStop = static_cast<LONGLONG>(m_opt.dSeconds * 10000000.0);
        // Where the graph cannot stop by itself, the host watches the position.
        bWatchPosition = FAILED(spSeeking->SetPositions(&llStart, AM_SEEKING_AbsolutePositioning, &llStop,
                                                        AM_SEEKING_AbsolutePositioning));
    }
    if (m_opt.dRate > 0)
    {
        const HRESULT hr = spSeeking->SetRate(m_opt.dRate);
        if (FAILED(hr))
        {
            message = Fmt("the graph refuses the rate %g: %s", m_opt.dRate, HResultText(hr).c_str());
            return eExitGraphFailed;
        }
    }
    LONGLONG llDuration = 0;
    if (SUCCEEDED(spSeeking->GetDuration(&llDuration)))
        m_dDuration = static_cast<double>(llDuration) / 1e7;
    if (m_opt.dSeconds > 0 && (m_dDuration == 0 || m_opt.dSeconds < m_dDuration))
        m_dDuration = m_opt.dSeconds;

    DWORD dwMode = 0;
    m_bConsole = GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &dwMode) != 0;
    HANDLE hEvent = nullptr;
    spEvent->GetEventHandle(reinterpret_cast<OAEVENT*>(&hEvent));

    const LONGLONG llStart = Counter();
    HRESULT hr = spControl->Run();
    if (SUCCEEDED(hr) && m_opt.bProps)
        StartProps();
    if (FAILED(hr))
    {
        message = "the graph cannot run: " + HResultText(hr);
        spControl->Stop();
        return eExitGraphFailed;
    }
    int nExit = -1;
    double dLastProgress = 0;
    const double dProgressEvery = m_bConsole ? 0.25 : 1.0;
    while (nExit < 0)
    {
        HANDLE ah[2] = {hEvent, hStop};
        const DWORD dw = WaitForMultipleObjects(hEvent ? 2 : 1, hEvent ? ah : ah + 1, FALSE, 100);
        if (dw == (hEvent ? WAIT_OBJECT_0 + 1 : WAIT_OBJECT_0))
            nExit = eExitInterrupted;
        long lCode = 0;
        LONG_PTR lp1 = 0, lp2 = 0;
        while (nExit < 0 && spEvent->GetEvent(&lCode, &lp1, &lp2, 0) == S_OK)
        {
            if (lCode == EC_COMPLETE)
                nExit = eExitPlayed;
            else if (lCode == EC_ERRORABORT || lCode == EC_ERRORABORTEX)
            {
                message = "the graph stopped with an error: " + HResultText(static_cast<HRESULT>(lp1));
                nExit = eExitGraphFailed;
            }
            else if (lCode == EC_USERABORT)
                nExit = eExitInterrupted;
            spEvent->FreeEventParams(lCode, lp1, lp2);
        }
        LONGLONG llPos = 0;
        if (nExit < 0 && bWatchPosition && SUCCEEDED(spSeeking->GetCurrentPosition(&llPos)) &&
            llPos >= static_cast<LONGLONG>(m_opt.dSeconds * 1e7))
            nExit = eExitPlayed;
        const double dNow = SecondsSince(llStart);
        if (nExit < 0 && dNow - dLastProgress >= dProgressEvery)
        {
            dLastProgress = dNow;
            Progress(false);
        }
    }
    m_dWallSeconds = SecondsSince(llStart);
    ReadMeasurements();
    StopProps();
    spControl->Stop();
    Progress(true);
    if (nExit == eExitInterrupted && message.empty())
        message = "interrupted; the summary covers what played";
    return nExit;
}

void CHostGraph::Progress(bool bFinal)
{
    if (bFinal && !m_bConsole)
        return;
    if (bFinal)
    {
        fprintf(stderr, "\r%*s\r", static_cast<int>(m_cchProgress), "");
        fflush(stderr);
        return;
    }
    CComPtr<IMediaSeeking> spSeeking;
    LONGLONG llPos = 0;
    if (SUCCEEDED(m_spGraph.QueryInterface(&spSeeking)))
        spSeeking->GetCurrentPosition(&llPos);
    std::string line = Fmt("spyhost: %.1f of %.1f s", static_cast<double>(llPos) / 1e7, m_dDuration);
    for (size_t i = 0; i < m_streams.size(); ++i)
    {
        const CHostStream& s = m_streams[i];
        if (!s.spSpy)
            continue;
        const CStreamCounts c = m_counter.Counts(i);
        line += Fmt(" | #%d %s %lld samples", s.nStream, s.major.c_str(), static_cast<long long>(c.llSamples));
        unsigned nTotal = 0, nMoving = 0;
        if (s.spControl && SUCCEEDED(s.spControl->GetBitrates(&nTotal, &nMoving)))
            line += Fmt(" %.1f kbit/s", nMoving / 1000.0);
    }
    if (m_bConsole)
    {
        const size_t cch = line.size();
        if (cch < m_cchProgress)
            line.append(m_cchProgress - cch, ' ');
        m_cchProgress = cch;
        fprintf(stderr, "\r%s", line.c_str());
    }
    else
        fprintf(stderr, "%s\n", line.c_str());
    fflush(stderr);
}

void CHostGraph::ReadMeasurements()
{
    for (CHostStream& s : m_streams)
        if (s.spControl)
            s.bMeasured = SUCCEEDED(s.spControl->GetBitrates(&s.nTotalAvg, &s.nMovingAvg)) &&
                          SUCCEEDED(s.spControl->GetSamplesPerSec(&s.dSamplesPerSec));
}

void CHostGraph::StartProps()
{
    for (CHostStream& s : m_streams)
    {
        if (!s.spSpy)
            continue;
        CPropsArgs* pArgs = new CPropsArgs{s.spSpy, L"Spy " + std::to_wstring(s.nStream)};
        pArgs->pSpy->AddRef();
        HANDLE h = CreateThread(nullptr, 0, PropsThread, pArgs, 0, nullptr);
        if (h == nullptr)
        {
            pArgs->pSpy->Release();
            delete pArgs;
            continue;
        }
        m_propThreads.push_back(h);
    }
}

void CHostGraph::StopProps()
{
    for (HANDLE h : m_propThreads)
    {
        // The frame's windows belong to its thread: close them until it ends.
        for (int n = 0; n < 50 && WaitForSingleObject(h, 100) == WAIT_TIMEOUT; ++n)
            EnumThreadWindows(GetThreadId(h), CloseThreadWindow, 0);
        CloseHandle(h);
    }
    m_propThreads.clear();
}

void CHostGraph::TearDown()
{
    StopProps();
    if (!m_spGraph)
        return;
    CComPtr<IMediaControl> spControl;
    if (SUCCEEDED(m_spGraph.QueryInterface(&spControl)))
        spControl->Stop();
    for (CHostStream& s : m_streams)
    {
        s.spControl.Release();
        s.spSpy.Release();
    }
    std::vector<CComPtr<IBaseFilter>> filters;
    CComPtr<IEnumFilters> spEnum;
    if (SUCCEEDED(m_spGraph->EnumFilters(&spEnum)))
        for (CComPtr<IBaseFilter> sp; spEnum->Next(1, &sp, nullptr) == S_OK; sp.Release())
            filters.push_back(sp);
    spEnum.Release();
    for (auto& sp : filters)
        m_spGraph->RemoveFilter(sp);
    filters.clear();
    m_spSplitter.Release();
    m_spSource.Release();
    m_spGraph.Release();
}

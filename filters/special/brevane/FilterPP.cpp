#include "FilterPP.h"

#include <commctrl.h>
#include <math.h>
#include <stdio.h>


namespace
{

// Seconds and rounded milliseconds of a reference time, for "%u.%03u".
void SplitTime(REFERENCE_TIME t, UINT* pnSec, UINT* pnMs)
{
    if (t < 0)
        t = 0;
    LONGLONG llSec = t / 10000000;
    LONGLONG llMs = (t % 10000000 + 5000) / 10000;
    if (llMs >= 1000)
    {
        ++llSec;
        llMs = 0;
    }
    *pnSec = static_cast<UINT>(llSec);
    *pnMs = static_cast<UINT>(llMs);
}

void Print(LPWSTR psz, size_t cch, LPCWSTR pszFormat, ...)
{
    if (cch == 0)
        return;
    va_list args;
    va_start(args, pszFormat);
    const int n = _vsnwprintf(psz, cch - 1, pszFormat, args);
    va_end(args);
    psz[n < 0 ? cch - 1 : static_cast<size_t>(n)] = 0;
}

} // namespace

HRESULT CSpyFilterPP::FinalConstruct()
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"CSpyFilterPP::FinalConstruct()\n");
    return CreateFreeThreadedMarshaler(GetControllingUnknown());
}

void CSpyFilterPP::FinalRelease()
{
    TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"CSpyFilterPP::FinalRelease()\n");
    m_spFTM.Release();
    m_spSpy.Release();
}

STDMETHODIMP CSpyFilterPP::SetObjects(ULONG cObjects, IUnknown** ppUnk)
{
    const HRESULT hr = CPropertyPageImpl<CSpyFilterPP>::SetObjects(cObjects, ppUnk);
    if (SUCCEEDED(hr))
        m_spSpy.Release();
    return hr;
}

STDMETHODIMP CSpyFilterPP::Apply()
{
    if (m_spSpy == nullptr || !m_bDirty)
        return S_OK;
    TraceW(TRACE_CAT_INTERFACE, TRACE_LEVEL_CALL, L"CSpyFilterPP::Apply()\n");
    CComBSTR bsName(m_szFileName);
    const HRESULT hr = m_spSpy->SetCaptureProps(bsName, m_bOneSamplePerFile, m_nSamples);
    if (SUCCEEDED(hr))
        SetDirty(false);
    return hr;
}

// ---------------------------------------------------------------------------
// Texts

void CSpyFilterPP::FormatBitrate(UINT v, LPWSTR psz, size_t cch)
{
    if (v <= 999)
    {
        Print(psz, cch, L" %u b/s", v);
        return;
    }
    if (v <= 999999)
    {
        Print(psz, cch, L" %i.%03i Kb/s", static_cast<int>(v / 1000), static_cast<int>(v % 1000));
        return;
    }
    UINT nMega = v / 1000000;
    UINT nFraction = (v % 1000000 + 500) / 1000;
    if (nFraction >= 1000)
    {
        ++nMega;
        nFraction = 0;
    }
    Print(psz, cch, L" %u.%03u Mb/s", nMega, nFraction);
}

void CSpyFilterPP::FormatSamplesPerSec(double d, LPWSTR psz, size_t cch)
{
    if (!(d >= 0.0) || d > 2147483647.0)
        d = 0.0;
    const int nWhole = static_cast<int>(d);
    const int nFraction = static_cast<int>((d - nWhole) * 1000.0);
    Print(psz, cch, L" %i.%03i", nWhole, nFraction);
}

void CSpyFilterPP::FormatRate(double dRate, LPWSTR psz, size_t cch)
{
    const double dAbs = fabs(dRate);
    UINT nWhole = dAbs < 4294967295.0 ? static_cast<UINT>(dAbs) : 0;
    UINT nFraction = static_cast<UINT>((dAbs - nWhole) * 1000.0 + 0.5);
    if (nFraction >= 1000)
    {
        ++nWhole;
        nFraction = 0;
    }
    Print(psz, cch, dRate < 0 ? L"-%u.%03u" : L"%u.%03u", nWhole, nFraction);
}

void CSpyFilterPP::FormatPosition(HRESULT hr, REFERENCE_TIME tCurrent, REFERENCE_TIME tStop, LPWSTR psz, size_t cch)
{
    if (FAILED(hr))
    {
        Print(psz, cch, L"Position unknown: error 0x%X", static_cast<UINT>(hr));
        return;
    }
    UINT nSec = 0, nMs = 0;
    SplitTime(tCurrent, &nSec, &nMs);
    if (tStop == MAXLONGLONG)
    {
        Print(psz, cch, L"Position %u.%03u sec", nSec, nMs);
        return;
    }
    UINT nStopSec = 0, nStopMs = 0;
    SplitTime(tStop, &nStopSec, &nStopMs);
    Print(psz, cch, L"Position %u.%03u from %u.%03u sec", nSec, nMs, nStopSec, nStopMs);
}

double CSpyFilterPP::PositionToRate(int nPos)
{
    nPos = nPos < 0 ? 0 : (nPos > 100 ? 100 : nPos);
    return pow(10.0, (nPos - 50) / 50.0);
}

int CSpyFilterPP::RateToPosition(double dRate)
{
    dRate = fabs(dRate);
    if (!TRACE_ASSERT(dRate >= 0.00001))
        return 0;
    const double dPos = 50.0 * log10(dRate) + 50.0;
    if (dPos <= 0.0)
        return 0;
    return dPos >= 100.0 ? 100 : static_cast<int>(dPos);
}

// ---------------------------------------------------------------------------
// Upstream seeking and messages

HRESULT CSpyFilterPP::GetMediaSeeking(IMediaSeeking** ppSeeking)
{
    if (ppSeeking == nullptr)
        return E_POINTER;
    *ppSeeking = nullptr;
    if (m_nObjects != 1 || m_ppUnk == nullptr || m_ppUnk[0] == nullptr)
        return E_UNEXPECTED;
    CComPtr<IBaseFilter> spFilter;
    HRESULT hr = m_ppUnk[0]->QueryInterface(IID_IBaseFilter, reinterpret_cast<void**>(&spFilter));
    if (FAILED(hr))
        return hr;
    CComPtr<IEnumPins> spEnum;
    hr = spFilter->EnumPins(&spEnum);
    if (FAILED(hr))
        return hr;
    if (spEnum == nullptr)
        return E_UNEXPECTED;
    for (;;)
    {
        CComPtr<IPin> spPin;
        hr = spEnum->Next(1, &spPin, nullptr);
        if (hr != S_OK)
            return FAILED(hr) ? hr : S_FALSE;
        if (spPin == nullptr)
            return E_UNEXPECTED;
        PIN_DIRECTION eDir = PINDIR_OUTPUT;
        hr = spPin->QueryDirection(&eDir);
        if (FAILED(hr))
            return hr;
        if (eDir != PINDIR_INPUT)
            continue;
        CComPtr<IPin> spUp;
        hr = spPin->ConnectedTo(&spUp);
        if (FAILED(hr))
            return hr;
        if (spUp == nullptr)
            return VFW_E_NOT_CONNECTED;
        return spUp->QueryInterface(IID_IMediaSeeking, reinterpret_cast<void**>(ppSeeking));
    }
}

void CSpyFilterPP::ShowError(LPCWSTR pszText, HRESULT hr)
{
    WCHAR szMessage[1024] = L"";
    lstrcpynW(szMessage, pszText != nullptr ? pszText : L"", ARRAYSIZE(szMessage));
    if (hr != 0)
    {
        WCHAR szDescription[512] = L"";
        DWORD cch = 0;
        if (HRESULT_FACILITY(hr) == FACILITY_ITF)
            cch = AMGetErrorTextW(hr, szDescription, ARRAYSIZE(szDescription));
        else
            cch = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                                 static_cast<DWORD>(hr), MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), szDescription,
                                 ARRAYSIZE(szDescription), nullptr);
        size_t n = wcslen(szMessage);
        if (cch > 0 && szDescription[0] != 0)
            Print(szMessage + n, ARRAYSIZE(szMessage) - n, L"\n%s", szDescription);
        n = wcslen(szMessage);
        const bool bLineEnd = n > 0 && (szMessage[n - 1] == L'\n' || szMessage[n - 1] == L'\r');
        Print(szMessage + n, ARRAYSIZE(szMessage) - n, bLineEnd ? L"Error 0x%X" : L"\r\nError 0x%X",
              static_cast<UINT>(hr));
    }
    HWND hWndOwner = ::IsWindow(m_hWnd) ? m_hWnd : ::GetActiveWindow();
    ::MessageBoxW(hWndOwner, szMessage, L"Spy Filter", MB_OK | (FAILED(hr) ? MB_ICONERROR : MB_ICONWARNING));
}

// ---------------------------------------------------------------------------
// Dialog

LRESULT CSpyFilterPP::OnInitDialog(UINT, WPARAM, LPARAM, BOOL&)
{
    bool bObtained = false;
    if (m_spSpy == nullptr && TRACE_ASSERT(m_nObjects == 1) && TRACE_ASSERT(m_ppUnk[0] != NULL))
    {
        const HRESULT hr = m_ppUnk[0]->QueryInterface(IID_IVelmoraSpyFilter, reinterpret_cast<void**>(&m_spSpy));
        if (FAILED(hr))
            TraceW(TRACE_CAT_GENERAL, TRACE_LEVEL_ERROR, L"###Err### CSpyFilterPP::OnInitDialog(): m_ppUnk[0]->QI()=0x%X\n",
                   static_cast<UINT>(hr));
        bObtained = SUCCEEDED(hr) && m_spSpy != nullptr;
    }
    FillControls(bObtained);
    static const int s_anSpyControls[] = {IDC_PP_DYNRECONNECT, IDC_PP_PASSTHRU,     IDC_PP_MTENUM,
                                          IDC_PP_BACKWARD,     IDC_PP_RATE,         IDC_PP_FILE_BUTTON,
                                          IDC_PP_FILE,         IDC_PP_NSAMPLES,     IDC_PP_NSAMPLES_SPIN,
                                          IDC_PP_ONE_PER_FILE, IDC_PP_START};
    for (int nId : s_anSpyControls)
        EnableItem(nId, m_spSpy != nullptr);
    if (m_spSpy != nullptr)
        ::SetTimer(m_hWnd, TIMER_REFRESH, REFRESH_PERIOD_MS, nullptr);
    m_bInitialized = true;
    return TRUE;
}

void CSpyFilterPP::FillControls(bool bReadCaptureProps)
{
    SetDlgItemText(IDC_PP_TOTAL, L"");
    SetDlgItemText(IDC_PP_MOVING, L"");
    SetDlgItemText(IDC_PP_SAMPLES, L"");
    SendDlgItemMessage(IDC_PP_RATE, TBM_SETRANGE, FALSE, MAKELPARAM(0, 100));
    SendDlgItemMessage(IDC_PP_RATE, TBM_SETPAGESIZE, 0, 10);
    for (int nTick = 10; nTick <= 90; nTick += 10)
        SendDlgItemMessage(IDC_PP_RATE, TBM_SETTIC, 0, nTick);
    SendDlgItemMessage(IDC_PP_NSAMPLES_SPIN, UDM_SETRANGE32, 0, 32767);
    if (m_spSpy == nullptr)
    {
        for (int nId = IDC_PP_DYNRECONNECT; nId <= IDC_PP_MTENUM; ++nId)
            Check(nId, false);
        Check(IDC_PP_BACKWARD, false);
        SetDlgItemText(IDC_PP_FILE, L"");
        ::SetDlgItemInt(m_hWnd, IDC_PP_NSAMPLES, 0, FALSE);
        Check(IDC_PP_ONE_PER_FILE, false);
        return;
    }
    Check(IDC_PP_DYNRECONNECT, m_spSpy->IsDynReconnecEnabled() == S_OK);
    LONG bForced = FALSE;
    HRESULT hr = m_spSpy->IsPassthruAllocatorForced(&bForced);
    TRACE_ASSERT(hr == S_OK);
    Check(IDC_PP_PASSTHRU, hr == S_OK && bForced);
    Check(IDC_PP_MTENUM, m_spSpy->IsMTEnumRedirEnabled() != S_OK);
    LONG bCheckSum = FALSE;
    Check(IDC_PP_CHECKSUM, SUCCEEDED(m_spSpy->GetCheckSum(&bCheckSum)) && bCheckSum);
    const double dRate = ReadRate();
    Check(IDC_PP_BACKWARD, dRate < 0);
    SendDlgItemMessage(IDC_PP_RATE, TBM_SETPOS, TRUE, RateToPosition(dRate));
    ShowRate(dRate);
    if (bReadCaptureProps)
    {
        CComBSTR bsName;
        LONG bOnePerFile = TRUE;
        UINT nSamples = 0;
        hr = m_spSpy->GetCaptureProps(&bsName, &bOnePerFile, &nSamples);
        if (hr == S_OK)
        {
            lstrcpynW(m_szFileName, bsName.m_str != nullptr ? bsName.m_str : L"", ARRAYSIZE(m_szFileName));
            m_bOneSamplePerFile = bOnePerFile != FALSE;
            m_nSamples = nSamples;
        }
        else
        {
            m_szFileName[0] = 0;
            m_bOneSamplePerFile = true;
            m_nSamples = 0;
        }
    }
    SetDlgItemText(IDC_PP_FILE, m_szFileName);
    ::SetDlgItemInt(m_hWnd, IDC_PP_NSAMPLES, m_nSamples, FALSE);
    Check(IDC_PP_ONE_PER_FILE, m_bOneSamplePerFile);
}

LRESULT CSpyFilterPP::OnTimer(UINT, WPARAM wParam, LPARAM, BOOL& bHandled)
{
    if (wParam != TIMER_REFRESH)
    {
        bHandled = FALSE;
        return 0;
    }
    if (m_spSpy == nullptr)
    {
        ::KillTimer(m_hWnd, TIMER_REFRESH);
        return 0;
    }
    WCHAR sz[64];
    UINT nTotal = 0, nMoving = 0;
    HRESULT hr = m_spSpy->GetBitrates(&nTotal, &nMoving);
    TRACE_ASSERT(hr == S_OK);
    FormatBitrate(nTotal, sz, ARRAYSIZE(sz));
    SetDlgItemText(IDC_PP_TOTAL, sz);
    FormatBitrate(nMoving, sz, ARRAYSIZE(sz));
    SetDlgItemText(IDC_PP_MOVING, sz);
    double dSamples = 0;
    hr = m_spSpy->GetSamplesPerSec(&dSamples);
    TRACE_ASSERT(hr == S_OK);
    FormatSamplesPerSec(dSamples, sz, ARRAYSIZE(sz));
    SetDlgItemText(IDC_PP_SAMPLES, sz);

    CComPtr<IMediaSeeking> spSeeking;
    hr = GetMediaSeeking(&spSeeking);
    REFERENCE_TIME tCurrent = 0, tStop = MAXLONGLONG;
    if (spSeeking == nullptr)
        hr = FAILED(hr) ? hr : E_NOINTERFACE;
    else
        hr = spSeeking->GetPositions(&tCurrent, &tStop);
    if (SUCCEEDED(hr) && tStop == MAXLONGLONG && FAILED(spSeeking->GetDuration(&tStop)))
        tStop = MAXLONGLONG;
    FormatPosition(hr, tCurrent, tStop, sz, ARRAYSIZE(sz));
    SetDlgItemText(IDC_PP_POSITION, sz);
    return 0;
}

LRESULT CSpyFilterPP::OnHScroll(UINT, WPARAM, LPARAM lParam, BOOL& bHandled)
{
    if (reinterpret_cast<HWND>(lParam) != GetDlgItem(IDC_PP_RATE))
    {
        bHandled = FALSE;
        return 0;
    }
    ChangeRate();
    return 0;
}

LRESULT CSpyFilterPP::OnDestroy(UINT, WPARAM, LPARAM, BOOL& bHandled)
{
    ::KillTimer(m_hWnd, TIMER_REFRESH);
    m_bInitialized = false;
    bHandled = FALSE;
    return 0;
}

LRESULT CSpyFilterPP::OnOption(WORD, WORD wId, HWND, BOOL&)
{
    if (!m_bInitialized || m_spSpy == nullptr)
        return 0;
    const bool bChecked = IsChecked(wId);
    HRESULT hr = S_OK;
    switch (wId)
    {
    case IDC_PP_DYNRECONNECT:
        m_spSpy->EnableDynReconnect(bChecked);
        break;
    case IDC_PP_PASSTHRU:
        hr = m_spSpy->ForcePassthruAllocator(bChecked);
        if (FAILED(hr))
            ShowError(L"Can't force pass-through allocator", hr);
        break;
    case IDC_PP_CHECKSUM:
        hr = m_spSpy->SetCheckSum(bChecked);
        if (FAILED(hr))
            ShowError(L"Can't change checksum calculation", hr);
        break;
    case IDC_PP_MTENUM:
        // The box says "disable": the filter's switch is the opposite.
        m_spSpy->EnableMTEnumRedir(!bChecked);
        break;
    default:
        break;
    }
    return 0;
}

LRESULT CSpyFilterPP::OnBackward(WORD, WORD, HWND, BOOL&)
{
    ChangeRate();
    return 0;
}

double CSpyFilterPP::ReadRate()
{
    CComPtr<IMediaSeeking> spSeeking;
    double dRate = 1.0;
    GetMediaSeeking(&spSeeking);
    if (spSeeking == nullptr || FAILED(spSeeking->GetRate(&dRate)))
        dRate = 1.0;
    return dRate;
}

void CSpyFilterPP::ShowRate(double dRate)
{
    WCHAR sz[32];
    FormatRate(dRate, sz, ARRAYSIZE(sz));
    SetDlgItemText(IDC_PP_RATE_TEXT, sz);
}

void CSpyFilterPP::ChangeRate()
{
    if (!m_bInitialized || m_spSpy == nullptr)
        return;
    const int nPos = static_cast<int>(SendDlgItemMessage(IDC_PP_RATE, TBM_GETPOS));
    double dRate = PositionToRate(nPos);
    if (IsChecked(IDC_PP_BACKWARD))
        dRate = -dRate;
    CComPtr<IMediaSeeking> spSeeking;
    HRESULT hr = GetMediaSeeking(&spSeeking);
    if (spSeeking == nullptr)
        hr = FAILED(hr) ? hr : E_NOINTERFACE;
    else
        hr = spSeeking->SetRate(dRate);
    if (FAILED(hr))
    {
        ShowError(L"Can't change playback rate", hr);
        dRate = ReadRate();
        Check(IDC_PP_BACKWARD, dRate < 0);
        SendDlgItemMessage(IDC_PP_RATE, TBM_SETPOS, TRUE, RateToPosition(dRate));
    }
    ShowRate(dRate);
}

// ---------------------------------------------------------------------------
// Capture

LRESULT CSpyFilterPP::OnFileButton(WORD, WORD, HWND, BOOL&)
{
    if (!m_bInitialized)
        return 0;
    WCHAR szFile[CCH_FILE_NAME + 1];
    lstrcpynW(szFile, m_szFileName, ARRAYSIZE(szFile));
    OPENFILENAMEW ofn = {};
    ofn.lStructSize = sizeof(ofn);
    ofn.hwndOwner = m_hWnd;
    ofn.lpstrFilter = L"Binary files (.bin)\0*.bin\0 Bitmap files (.bmp)\0*.bmp\0 VANC files (.vanc, .blk)\0"
                      L"*.vanc;*.blk\0All files\0*.*\0";
    ofn.lpstrFile = szFile;
    ofn.nMaxFile = CCH_FILE_NAME;
    ofn.lpstrTitle = L"Select file";
    ofn.lpstrDefExt = L"bin";
    ofn.Flags = OFN_PATHMUSTEXIST | OFN_OVERWRITEPROMPT | OFN_NOREADONLYRETURN | OFN_EXPLORER;
    if (s_pfnGetSaveFileName(&ofn))
        SetDlgItemText(IDC_PP_FILE, szFile);
    return 0;
}

LRESULT CSpyFilterPP::OnFileChange(WORD, WORD, HWND, BOOL&)
{
    if (!m_bInitialized)
        return 0;
    WCHAR szFile[CCH_FILE_NAME + 1] = L"";
    GetDlgItemText(IDC_PP_FILE, szFile, ARRAYSIZE(szFile));
    if (lstrcmpiW(szFile, m_szFileName) == 0)
        return 0;
    lstrcpynW(m_szFileName, szFile, ARRAYSIZE(m_szFileName));
    SetDirty(true);
    return 0;
}

bool CSpyFilterPP::ReadSamples(UINT* pnSamples)
{
    BOOL bValid = FALSE;
    *pnSamples = ::GetDlgItemInt(m_hWnd, IDC_PP_NSAMPLES, &bValid, FALSE);
    if (!bValid)
        ShowError(L"Error in number of samples", E_INVALIDARG);
    return bValid != FALSE;
}

LRESULT CSpyFilterPP::OnSamplesChange(WORD, WORD, HWND, BOOL&)
{
    if (!m_bInitialized)
        return 0;
    UINT nSamples = 0;
    if (!ReadSamples(&nSamples) || nSamples == m_nSamples)
        return 0;
    m_nSamples = nSamples;
    SetDirty(true);
    return 0;
}

LRESULT CSpyFilterPP::OnOnePerFile(WORD, WORD, HWND, BOOL&)
{
    if (!m_bInitialized)
        return 0;
    const bool bChecked = IsChecked(IDC_PP_ONE_PER_FILE);
    if (bChecked == m_bOneSamplePerFile)
        return 0;
    m_bOneSamplePerFile = bChecked;
    SetDirty(true);
    return 0;
}

LRESULT CSpyFilterPP::OnStartCapture(WORD, WORD, HWND, BOOL&)
{
    if (!m_bInitialized || m_spSpy == nullptr)
        return 0;
    UINT nSamples = 0;
    if (!ReadSamples(&nSamples))
        return 0;
    if (m_szFileName[0] == 0)
    {
        ShowError(L"File not selected", E_INVALIDARG);
        return 0;
    }
    m_nSamples = nSamples;
    CComBSTR bsName(m_szFileName);
    HRESULT hr = m_spSpy->SetCaptureProps(bsName, m_bOneSamplePerFile, m_nSamples);
    if (SUCCEEDED(hr))
        hr = m_spSpy->StartCapture();
    if (FAILED(hr))
    {
        ShowError(L"Can't start capturing", hr);
        return 0;
    }
    SetDirty(false);
    return 0;
}

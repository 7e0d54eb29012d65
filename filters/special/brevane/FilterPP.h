// The spy filter's property page: bitrates, samples per second and the
// upstream position refreshed every 300 ms, the filter's options (acting at
// once), the upstream playback rate and the sample capture.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <commdlg.h>

#include <VelmoraSpy.h>

#include <winapi/ComModule.h>
#include <winapi/ComObject.h>
#include <winapi_i/PropertyPage.h>

#include "PagesRes.h"
#include "Registration.h"
#include "ServerIds.h"

class CSpyFilterPP : public CComObjectRootMT,
                     public CComCoClass<CSpyFilterPP, &CLSID_SpyFilterPP>,
                     public CPropertyPageImpl<CSpyFilterPP>
{
public:
    enum
    {
        IDD = IDD_SPYFILTERPP,
        IDS_TITLE = IDS_TITLE_SPYFILTERPP,
        TIMER_REFRESH = 1,
        REFRESH_PERIOD_MS = 300,
        CCH_FILE_NAME = 260,
    };

    typedef BOOL(WINAPI* PFN_GET_SAVE_FILE_NAME)(OPENFILENAMEW*);
    // The file dialog behind "File name...": the system's, or what a test
    // puts in its place to check the request and choose a name.
    static inline PFN_GET_SAVE_FILE_NAME s_pfnGetSaveFileName = &::GetSaveFileNameW;

    BEGIN_COM_MAP(CSpyFilterPP)
    COM_INTERFACE_ENTRY(IPropertyPage)
    COM_INTERFACE_ENTRY_AGGREGATE(IID_IMarshal, m_spFTM)
    END_COM_MAP()

    static HRESULT UpdateRegistry(BOOL bRegister) { return SpyPage_UpdateRegistry(IDR_SPYFILTERPP, bRegister); }

    HRESULT FinalConstruct();
    void FinalRelease();

    // IPropertyPage: a new object set drops the filter's interface.
    STDMETHOD(SetObjects)(ULONG cObjects, IUnknown** ppUnk) override;
    // Commits the capture properties when they were edited.
    STDMETHOD(Apply)() override;

    BEGIN_MSG_MAP(CSpyFilterPP)
    MESSAGE_HANDLER(WM_INITDIALOG, OnInitDialog)
    MESSAGE_HANDLER(WM_TIMER, OnTimer)
    MESSAGE_HANDLER(WM_HSCROLL, OnHScroll)
    MESSAGE_HANDLER(WM_DESTROY, OnDestroy)
    COMMAND_RANGE_HANDLER(IDC_PP_DYNRECONNECT, IDC_PP_MTENUM, OnOption)
    COMMAND_ID_HANDLER(IDC_PP_BACKWARD, OnBackward)
    COMMAND_ID_HANDLER(IDC_PP_FILE_BUTTON, OnFileButton)
    COMMAND_HANDLER(IDC_PP_FILE, EN_CHANGE, OnFileChange)
    COMMAND_HANDLER(IDC_PP_NSAMPLES, EN_CHANGE, OnSamplesChange)
    COMMAND_ID_HANDLER(IDC_PP_ONE_PER_FILE, OnOnePerFile)
    COMMAND_ID_HANDLER(IDC_PP_START, OnStartCapture)
    END_MSG_MAP()

    // Texts and the rate mapping of the page.
    static void FormatBitrate(UINT nBitrate, LPWSTR psz, size_t cch);
    static void FormatSamplesPerSec(double d, LPWSTR psz, size_t cch);
    static void FormatRate(double dRate, LPWSTR psz, size_t cch);
    // hr of the position query; tStop MAXLONGLONG when the end is unknown.
    static void FormatPosition(HRESULT hr, REFERENCE_TIME tCurrent, REFERENCE_TIME tStop, LPWSTR psz, size_t cch);
    static double PositionToRate(int nPos);
    static int RateToPosition(double dRate);

    // The seeking of the filter upstream of the page object's input pin:
    // S_FALSE and no interface when the object has no input pin.
    HRESULT GetMediaSeeking(IMediaSeeking** ppSeeking);

    // Message box of the page: the text, the error's description and code.
    void ShowError(LPCWSTR pszText, HRESULT hr);

private:
    LRESULT OnInitDialog(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnTimer(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnHScroll(UINT, WPARAM, LPARAM lParam, BOOL& bHandled);
    LRESULT OnDestroy(UINT, WPARAM, LPARAM, BOOL&);
    LRESULT OnOption(WORD, WORD wId, HWND, BOOL&);
    LRESULT OnBackward(WORD, WORD, HWND, BOOL&);
    LRESULT OnFileButton(WORD, WORD, HWND, BOOL&);
    LRESULT OnFileChange(WORD, WORD, HWND, BOOL&);
    LRESULT OnSamplesChange(WORD, WORD, HWND, BOOL&);
    LRESULT OnOnePerFile(WORD, WORD, HWND, BOOL&);
    LRESULT OnStartCapture(WORD, WORD, HWND, BOOL&);

    void FillControls(bool bReadCaptureProps);
    void ChangeRate();
    double ReadRate();
    void ShowRate(double dRate);
    bool ReadSamples(UINT* pnSamples);

    CComPtr<IVelmoraSpyFilter> m_spSpy;
    bool m_bInitialized = false;
    WCHAR m_szFileName[CCH_FILE_NAME + 1] = L"";
    bool m_bOneSamplePerFile = true;
    UINT m_nSamples = 0;
};

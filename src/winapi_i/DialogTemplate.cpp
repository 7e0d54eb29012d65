// Page size of a dialog template, computed the way the dialog manager sizes a
// dialog: dialog units scaled by the average character width and the height
// of the template's font.
#include <winapi_i/PropertyPage.h>

namespace
{

// Reads a WORD and moves on.
WORD TakeWord(const BYTE*& pb)
{
    WORD w;
    memcpy(&w, pb, sizeof(w));
    pb += sizeof(w);
    return w;
}

// Skips a menu, class or title field: empty, an ordinal or a string.
void SkipSzOrOrd(const BYTE*& pb)
{
    const WORD w = TakeWord(pb);
    if (w == 0xFFFF)
    {
        pb += sizeof(WORD);
        return;
    }
    for (WORD c = w; c != 0; c = TakeWord(pb))
    {
    }
}

struct DialogFont
{
    int nPointSize = 0;
    int nWeight = FW_NORMAL;
    BYTE bItalic = FALSE;
    BYTE nCharSet = DEFAULT_CHARSET;
    LPCWSTR pszFace = nullptr;
};

struct DialogHeader
{
    DWORD dwStyle = 0;
    short cx = 0;
    short cy = 0;
    DialogFont font;
};

DialogHeader ParseHeader(const BYTE* pb)
{
    DialogHeader h;
    WORD awFirst[2];
    memcpy(awFirst, pb, sizeof(awFirst));
    const bool bEx = awFirst[0] == 1 && awFirst[1] == 0xFFFF;
    if (bEx)
    {
        pb += 2 * sizeof(WORD) + 2 * sizeof(DWORD); // version, signature, help id, extended style
        memcpy(&h.dwStyle, pb, sizeof(DWORD));
        pb += sizeof(DWORD);
    }
    else
    {
        memcpy(&h.dwStyle, pb, sizeof(DWORD));
        pb += 2 * sizeof(DWORD); // style, extended style
    }
    pb += sizeof(WORD) + 2 * sizeof(short); // item count, x, y
    h.cx = static_cast<short>(TakeWord(pb));
    h.cy = static_cast<short>(TakeWord(pb));
    SkipSzOrOrd(pb); // menu
    SkipSzOrOrd(pb); // class
    SkipSzOrOrd(pb); // title
    if ((h.dwStyle & DS_SETFONT) == 0)
        return h;
    h.font.nPointSize = TakeWord(pb);
    if (bEx)
    {
        h.font.nWeight = TakeWord(pb);
        h.font.bItalic = pb[0];
        h.font.nCharSet = pb[1];
        pb += 2;
    }
    h.font.pszFace = reinterpret_cast<LPCWSTR>(pb);
    return h;
}

// Average character width and height of the font, as the dialog manager
// measures them; the system font's when the template names none.
SIZE GetBaseUnits(const DialogFont& font)
{
    const LONG lUnits = ::GetDialogBaseUnits();
    SIZE units = {LOWORD(lUnits), HIWORD(lUnits)};
    if (font.pszFace == nullptr || font.nPointSize == 0x7FFF)
        return units;
    HDC hdc = ::GetDC(nullptr);
    if (hdc == nullptr)
        return units;
    const int nHeight = -MulDiv(font.nPointSize, ::GetDeviceCaps(hdc, LOGPIXELSY), 72);
    HFONT hFont = ::CreateFontW(nHeight, 0, 0, 0, font.nWeight, font.bItalic, FALSE, FALSE, font.nCharSet,
                                OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, FF_DONTCARE, font.pszFace);
    if (hFont != nullptr)
    {
        HGDIOBJ hOld = ::SelectObject(hdc, hFont);
        static const WCHAR szAlphabet[] = L"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz";
        TEXTMETRICW tm = {};
        SIZE size = {};
        if (::GetTextMetricsW(hdc, &tm) && ::GetTextExtentPoint32W(hdc, szAlphabet, 52, &size))
        {
            units.cx = (size.cx / 26 + 1) / 2;
            units.cy = tm.tmHeight;
        }
        ::SelectObject(hdc, hOld);
        ::DeleteObject(hFont);
    }
    ::ReleaseDC(nullptr, hdc);
    return units;
}

} // namespace

HRESULT GetDialogTemplateSize(HINSTANCE hInstance, UINT nIdd, SIZE* pSize)
{
    if (pSize == nullptr)
        return E_POINTER;
    HRSRC hRes = ::FindResourceW(hInstance, MAKEINTRESOURCEW(nIdd), MAKEINTRESOURCEW(5) /* RT_DIALOG */);
    if (hRes == nullptr)
        return E_UNEXPECTED;
    HGLOBAL hGlobal = ::LoadResource(hInstance, hRes);
    const BYTE* pb = hGlobal != nullptr ? static_cast<const BYTE*>(::LockResource(hGlobal)) : nullptr;
    if (pb == nullptr)
        return E_UNEXPECTED;
    const DialogHeader h = ParseHeader(pb);
    const SIZE units = GetBaseUnits(h.font);
    pSize->cx = MulDiv(h.cx, units.cx, 4);
    pSize->cy = MulDiv(h.cy, units.cy, 8);
    return S_OK;
}

// Media type value of the framework and the texts that describe media types.
// Format blocks and duplicated records live in the COM task allocator.
#pragma once

#include <windows.h>
#include <strmif.h>
#include <mmreg.h>

#include <ddraw.h>
#include <ks.h>
#include <ksmedia.h>

// ---- Free functions on bare records -------------------------------------

void MTInit(AM_MEDIA_TYPE* pmt, REFGUID major = GUID_NULL, REFGUID sub = GUID_NULL);
BYTE* MTAllocFormat(ULONG cb, const void* pSrc = nullptr);
HRESULT MTCopyFormat(const AM_MEDIA_TYPE* pmt, BYTE** ppbFormat);
// Deep copy into an uninitialised record; the destination is untouched on failure.
HRESULT MTCopy(AM_MEDIA_TYPE* pDst, const AM_MEDIA_TYPE* pSrc);
AM_MEDIA_TYPE* MTDup(const AM_MEDIA_TYPE* pmt);
void MTDelete(AM_MEDIA_TYPE* pmt);
void MTClear(AM_MEDIA_TYPE* pmt, REFGUID major = GUID_NULL, REFGUID sub = GUID_NULL);
bool MTIsEqual(const AM_MEDIA_TYPE* pa, const AM_MEDIA_TYPE* pb);

// Video that the framework can read: major type video, a subtype, one of the
// four video format types with at least its header's size.
HRESULT MTCheckVideo(const AM_MEDIA_TYPE* pmt, bool bOnly2);

// ---- Value class ----------------------------------------------------------

class CMType : public AM_MEDIA_TYPE
{
public:
    CMType();
    CMType(REFGUID major, REFGUID sub);
    CMType(const AM_MEDIA_TYPE& mt);
    CMType(const CMType& mt);
    ~CMType();

    CMType& operator=(const AM_MEDIA_TYPE& mt);
    CMType& operator=(const CMType& mt);

    HRESULT Set(const AM_MEDIA_TYPE* pmt);
    void Clear();
    HRESULT CopyTo(AM_MEDIA_TYPE* pmt) const;
    HRESULT Duplicate(AM_MEDIA_TYPE** ppmt) const;

    bool operator==(const AM_MEDIA_TYPE& mt) const { return MTIsEqual(this, &mt); }
    bool operator!=(const AM_MEDIA_TYPE& mt) const { return !MTIsEqual(this, &mt); }

    // The format block as WAVEFORMATEX when the format type says so and the
    // block holds the whole 18-byte header, else null.
    const WAVEFORMATEX* GetWaveFormatEx() const;
};

struct CMTHelp
{
    // FOURCC of the subtype and the picture header's size fields of a video type.
    static HRESULT MTParseVideo(const AM_MEDIA_TYPE* pmt, DWORD* pFourcc, LONG* pWidth, LONG* pHeight,
                                DWORD* pImageSize);
};

// ---- Serialised form --------------------------------------------------------
// [size of block 1][72-byte record as on the 32-bit platform][format][pad]
// [size of block 2][narrow description, zero-terminated][pad]; sizes are
// multiples of 16 and count their own 4 bytes.

// The media type record as the 32-bit platform lays it out, whichever build
// writes or reads it: the two pointers are stored as 32-bit values.
#pragma pack(push, 4)
struct MTBUF_RECORD
{
    GUID majortype;
    GUID subtype;
    DWORD bFixedSizeSamples;
    DWORD bTemporalCompression;
    DWORD lSampleSize;
    GUID formattype;
    DWORD pUnk;
    DWORD cbFormat;
    DWORD pbFormat;
};
#pragma pack(pop)
static_assert(sizeof(MTBUF_RECORD) == 72, "stored as it lies in memory");
constexpr ULONG MTBUF_RECORD_SIZE = sizeof(MTBUF_RECORD);
constexpr ULONG MTBUF_ROUND(ULONG cb) { return (cb + 15) & ~15UL; }
#define MTBUF_MIN_SIZE(cbFormat) (MTBUF_ROUND(4 + MTBUF_RECORD_SIZE + (cbFormat)) + 16)

// Returns the number of bytes written, or 0.
ULONG MTToBuffer(const AM_MEDIA_TYPE* pmt, BYTE* pbBuf, ULONG cbBuf);

// ---- Descriptions -------------------------------------------------------------

// Wide one-line summary, truncated to cchMax characters.
void ParseMediaType(const AM_MEDIA_TYPE* pmt, LPWSTR pszMediaType, size_t cchMax, bool bDetails);
// Narrow one-line summary with the format decoded; characters written without the zero.
int MTToTextA(const AM_MEDIA_TYPE* pmt, LPSTR pszBuf, int cbBuf);

// The traces below never fail: a missing pointer or failing call becomes a
// "###Err### " or "### " line. Each returns at once for category 0 or a
// level above 8. Prefixes are part of the output and differ by function:
// Debug_MediaType writes "MT: " for null, else the prefix and one space;
// Debug_BitmapInfoHeader adds a space unless the prefix is empty or ends
// with one; Debug_WaveFormatEx and Debug_DvInfo add a space to a non-null
// prefix; the others use the prefix as given.
void Debug_MediaType(DWORD dwCategory, DWORD dwLevel, const AM_MEDIA_TYPE* pmt, LPCWSTR pszPrefix);
// Every type the pin enumerates, between BEGIN and END lines.
void Debug_PinMediaTypes(DWORD dwCategory, DWORD dwLevel, IPin* pPin);
// The capabilities of an object with IAMStreamConfig.
void Debug_AMStreamConfig(DWORD dwCategory, DWORD dwLevel, IUnknown* pObject, LPCWSTR pszPrefix);
// cbExtra: bytes that follow the 40-byte header (12 or 16 hold colour masks).
void Debug_BitmapInfoHeader(DWORD dwCategory, DWORD dwLevel, const BITMAPINFOHEADER* pbmih, int cbExtra,
                            LPCWSTR pszPrefix);
// cbFormat: bytes the caller really has at the record (ULONG_MAX when the
// caller vouches for the whole record); nothing beyond it is read.
void Debug_WaveFormatEx(DWORD dwCategory, DWORD dwLevel, const WAVEFORMATEX* pwfx, LPCWSTR pszPrefix,
                        ULONG cbFormat = ULONG_MAX);
void Debug_DvInfo(DWORD dwCategory, DWORD dwLevel, const DVINFO* pdv, LPCWSTR pszPrefix,
                  ULONG cbFormat = ULONG_MAX);
void Debug_KsVBIInfoHeader(DWORD dwCategory, DWORD dwLevel, const KS_VBIINFOHEADER* pvbi, LPCWSTR pszPrefix,
                           ULONG cbFormat = ULONG_MAX);
void Debug_ColorControl(DWORD dwCategory, DWORD dwLevel, const DDCOLORCONTROL* pcc);
void Debug_FilterFromPin(DWORD dwCategory, DWORD dwLevel, LPCWSTR pszPrefix, IPin* pPin);


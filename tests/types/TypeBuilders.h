// Media types for the tests, built the way filters build them.
#pragma once

#include <windows.h>
#include <dshow.h>
#include <amvideo.h>
#include <dvdmedia.h>
#include <mmreg.h>

#include <dshowx/DSTypes.h>

// A held object that only counts its references.
class CCountedUnknown : public IUnknown
{
public:
    virtual ~CCountedUnknown() = default;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override
    {
        if (!IsEqualIID(riid, IID_IUnknown))
            return E_NOINTERFACE;
        *ppv = this;
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return ++m_nRefs; }
    STDMETHODIMP_(ULONG) Release() override { return --m_nRefs; }
    LONG Refs() const { return m_nRefs; }

private:
    LONG m_nRefs = 0;
};

inline GUID FourccSubtype(DWORD fcc)
{
    GUID guid = MEDIASUBTYPE_YUY2;
    guid.Data1 = fcc;
    return guid;
}

// Video type with a zeroed format block of cb bytes.
inline CMType MakeVideoType(REFGUID formattype, ULONG cb, REFGUID subtype = MEDIASUBTYPE_YUY2)
{
    CMType mt(MEDIATYPE_Video, subtype);
    mt.formattype = formattype;
    mt.cbFormat = cb;
    mt.pbFormat = cb != 0 ? MTAllocFormat(cb) : nullptr;
    return mt;
}

inline VIDEOINFOHEADER* VideoInfoOf(CMType& mt) { return reinterpret_cast<VIDEOINFOHEADER*>(mt.pbFormat); }
inline VIDEOINFOHEADER2* VideoInfo2Of(CMType& mt) { return reinterpret_cast<VIDEOINFOHEADER2*>(mt.pbFormat); }

inline BITMAPINFOHEADER* BitmapHeaderOf(CMType& mt)
{
    bool b1 = IsEqualGUID(mt.formattype, FORMAT_VideoInfo) || IsEqualGUID(mt.formattype, FORMAT_MPEGVideo);
    return reinterpret_cast<BITMAPINFOHEADER*>(mt.pbFormat + (b1 ? 48 : 72));
}

// PCM audio with a WAVEFORMATEX of 18 + cbExtra bytes.
inline CMType MakeAudioType(DWORD nRate, WORD nChannels, WORD nBits, WORD cbExtra = 0)
{
    CMType mt(MEDIATYPE_Audio, MEDIASUBTYPE_PCM);
    mt.formattype = FORMAT_WaveFormatEx;
    mt.cbFormat = sizeof(WAVEFORMATEX) + cbExtra;
    mt.pbFormat = MTAllocFormat(mt.cbFormat);
    WAVEFORMATEX* pwfx = reinterpret_cast<WAVEFORMATEX*>(mt.pbFormat);
    pwfx->wFormatTag = WAVE_FORMAT_PCM;
    pwfx->nChannels = nChannels;
    pwfx->nSamplesPerSec = nRate;
    pwfx->wBitsPerSample = nBits;
    pwfx->nBlockAlign = static_cast<WORD>(nChannels * nBits / 8);
    pwfx->nAvgBytesPerSec = nRate * pwfx->nBlockAlign;
    pwfx->cbSize = cbExtra;
    return mt;
}

// Memory streams for persistence tests: bytes in, bytes out.
#pragma once

#include <windows.h>
#include <objidl.h>

#include <vector>

#include <winapi/ComPtr.h>

inline CComPtr<IStream> StreamOf(const std::vector<BYTE>& bytes)
{
    CComPtr<IStream> sp;
    CreateStreamOnHGlobal(nullptr, TRUE, &sp);
    if (!bytes.empty())
        sp->Write(bytes.data(), static_cast<ULONG>(bytes.size()), nullptr);
    LARGE_INTEGER zero = {};
    sp->Seek(zero, STREAM_SEEK_SET, nullptr);
    return sp;
}

// Everything written to the stream so far.
inline std::vector<BYTE> BytesOf(IStream* pStm)
{
    STATSTG stat = {};
    pStm->Stat(&stat, STATFLAG_NONAME);
    std::vector<BYTE> bytes(static_cast<size_t>(stat.cbSize.QuadPart));
    LARGE_INTEGER zero = {};
    pStm->Seek(zero, STREAM_SEEK_SET, nullptr);
    ULONG cbRead = 0;
    if (!bytes.empty())
        pStm->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &cbRead);
    return bytes;
}

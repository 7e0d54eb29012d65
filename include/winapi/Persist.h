// Stream persistence helpers: exact-size reads and writes of plain values and
// the length-prefixed string form (a 32-bit byte count, then the UTF-16
// characters with their zero character; a count of 0 for a null string).
#pragma once

#include <windows.h>
#include <objidl.h>

#include <winapi/ComPtr.h>

// Largest string byte count a stream may announce.
constexpr ULONG PERSIST_STRING_MAX = 1048576;

// Writes exactly cb bytes; a short write is E_FAIL.
HRESULT PersistWrite(IStream* pStm, const void* pv, ULONG cb);
// Reads exactly cb bytes; a stream that ends early is E_FAIL.
HRESULT PersistRead(IStream* pStm, void* pv, ULONG cb);

// Bytes the string takes in a stream: 4, plus its length in bytes and 2.
ULONG PersistStringSize(LPCWSTR psz);
HRESULT PersistWriteString(IStream* pStm, LPCWSTR psz);
// Reads a string into *pbs (emptied first; a count of 0 leaves it null).
// A corrupt stream is traced with its reason and gives E_FAIL or the
// stream's own failure.
HRESULT PersistReadString(IStream* pStm, CComBSTR* pbs);

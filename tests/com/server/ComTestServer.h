// The test server's interface and identifiers, shared by the server DLL and
// the tests that drive it; the IDL beside it describes the same for the
// type library.
#pragma once

#include <windows.h>
#include <unknwn.h>

struct IVelmoraComTest : public IUnknown
{
    virtual HRESULT STDMETHODCALLTYPE Add(LONG nA, LONG nB, LONG* pnSum) = 0;
};
__CRT_UUID_DECL(IVelmoraComTest, 0x3b7f1c20, 0x8e4d, 0x4a61, 0xb2, 0x05, 0x71, 0x9c, 0x0d, 0x5e, 0x2a, 0x10)

// {3B7F1C21-8E4D-4A61-B205-719C0D5E2A10}
static const CLSID CLSID_VelmoraComTest = {0x3b7f1c21, 0x8e4d, 0x4a61, {0xb2, 0x05, 0x71, 0x9c, 0x0d, 0x5e, 0x2a, 0x10}};
// {3B7F1C22-8E4D-4A61-B205-719C0D5E2A10}
static const GUID LIBID_VelmoraComTestLib = {0x3b7f1c22, 0x8e4d, 0x4a61, {0xb2, 0x05, 0x71, 0x9c, 0x0d, 0x5e, 0x2a, 0x10}};

#define VELMORA_COMTEST_CLSID L"3B7F1C21-8E4D-4A61-B205-719C0D5E2A10"
#define VELMORA_COMTEST_LIBID L"3B7F1C22-8E4D-4A61-B205-719C0D5E2A10"
#define VELMORA_COMTEST_DLL L"velmora_comtestsrv.dll"
#define IDR_COMTEST_SCRIPT 101

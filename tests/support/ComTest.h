// COM for the tests: one helper initialises the calling thread's apartment
// (multithreaded, as the filters' own threads are) for the life of an
// object, so that every fixture, test and test thread does it the same way.
#pragma once

#include <objbase.h>

#include <gtest/gtest.h>

class CComInit
{
public:
    CComInit() : m_hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
    ~CComInit()
    {
        if (SUCCEEDED(m_hr))
            CoUninitialize();
    }
    CComInit(const CComInit&) = delete;
    CComInit& operator=(const CComInit&) = delete;

    HRESULT Result() const { return m_hr; }

private:
    HRESULT m_hr;
};

// Fixture base: COM is up before the derived fixture's members are built
// and goes down after they are gone, so no reference outlives it.
class CComTest : public ::testing::Test
{
protected:
    HRESULT ComResult() const { return m_com.Result(); }

private:
    CComInit m_com;
};

// Concrete filters for the hook check. Built as written they must compile;
// with HOOK_FAULTS each fault class must fail, with its hook named in the
// diagnostic (CheckHooks.cmake reads it).
#include <dshowx/DSFilters.h>

// {0C9E54D2-7A31-4B8F-9D16-3E2B5A0F8C47}
inline constexpr CLSID CLSID_HookCase = {0x0C9E54D2, 0x7A31, 0x4B8F, {0x9D, 0x16, 0x3E, 0x2B, 0x5A, 0x0F, 0x8C, 0x47}};

template <class F>
class CPlainIn : public CInputPin<CPlainIn<F>, F>
{
};
template <class F>
class CPlainOut : public COutputPin<CPlainOut<F>, F>
{
};

#define CASE_REQUIRED_BUT_SEND                                                                        \
    DS_HOOK(Filter_JoinFilterGraph) HRESULT Filter_JoinFilterGraph(bool) { return S_OK; }              \
    DS_HOOK(Filter_CompleteConnect) HRESULT Filter_CompleteConnect(DWORD) { return S_OK; }             \
    DS_HOOK(Filter_Disconnect) void Filter_Disconnect(DWORD) {}                                        \
    DS_HOOK(Filter_EndOfStream) HRESULT Filter_EndOfStream(DWORD) { return S_OK; }                     \
    DS_HOOK(Filter_BeginFlush) HRESULT Filter_BeginFlush(DWORD) { return S_OK; }                       \
    DS_HOOK(Filter_EndFlush) HRESULT Filter_EndFlush(DWORD) { return S_OK; }
#define CASE_SEND DS_HOOK(Filter_SendSample) HRESULT Filter_SendSample(DWORD, IMediaSample*) { return S_OK; }
#define CASE_SEGMENT                                                                                  \
    DS_HOOK(Filter_NewSegment) HRESULT Filter_NewSegment(DWORD, REFERENCE_TIME, REFERENCE_TIME, double) { return S_OK; }

#define CASE_FILTER(name, in, out, hooks)                                                             \
    class name;                                                                                       \
    class name : public CTransInPlaceFilter<name, in<name>, out<name>>,                               \
                 public CComCoClass<name, &CLSID_HookCase>                                            \
    {                                                                                                 \
    public:                                                                                           \
        BEGIN_COM_MAP(name)                                                                           \
        COM_INTERFACE_ENTRY(IBaseFilter)                                                              \
        END_COM_MAP()                                                                                 \
        hooks                                                                                         \
    };

template <class F>
HRESULT Make()
{
    CComObject<F>* p = nullptr;
    return CComObject<F>::CreateInstance(&p);
}

// Every required hook, each marked.
CASE_FILTER(CGoodFilter, CPlainIn, CPlainOut, CASE_REQUIRED_BUT_SEND CASE_SEND CASE_SEGMENT)
template HRESULT Make<CGoodFilter>();

#ifdef HOOK_FAULTS
// Misspelt filter hook.
CASE_FILTER(CFault1, CPlainIn, CPlainOut,
            CASE_REQUIRED_BUT_SEND CASE_SEND CASE_SEGMENT DS_HOOK(Filter_QueryAcceptMt) bool Filter_QueryAcceptMt(
                DWORD, const AM_MEDIA_TYPE*) { return false; })
template HRESULT Make<CFault1>();

// Misspelt pin hook.
template <class F>
class CFault2In : public CInputPin<CFault2In<F>, F>
{
public:
    DS_HOOK(IsExamineMediaType) bool IsExamineMediaType() { return false; }
};
CASE_FILTER(CFault2, CFault2In, CPlainOut, CASE_REQUIRED_BUT_SEND CASE_SEND CASE_SEGMENT)
template HRESULT Make<CFault2>();

// The mark is right, the declaration misspelt: the default would run.
CASE_FILTER(CFault3, CPlainIn, CPlainOut,
            CASE_REQUIRED_BUT_SEND CASE_SEND CASE_SEGMENT DS_HOOK(Filter_GetAllocator) HRESULT
                Filter_GetAlocator(DWORD, IMemAllocator**) { return E_FAIL; })
template HRESULT Make<CFault3>();

// Mistyped hook: a float rate would compile silently without the check.
CASE_FILTER(CFault4, CPlainIn, CPlainOut,
            CASE_REQUIRED_BUT_SEND CASE_SEND DS_HOOK(Filter_NewSegment) HRESULT
                Filter_NewSegment(DWORD, REFERENCE_TIME, REFERENCE_TIME, float) { return S_OK; })
template HRESULT Make<CFault4>();

// A hook written without its mark.
template <class F>
class CFault5Out : public COutputPin<CFault5Out<F>, F>
{
public:
    HRESULT AgreeExchange() { return this->AgreeAllocator(); }
};
CASE_FILTER(CFault5, CPlainIn, CFault5Out, CASE_REQUIRED_BUT_SEND CASE_SEND CASE_SEGMENT)
template HRESULT Make<CFault5>();

// A required hook left out.
CASE_FILTER(CFault6, CPlainIn, CPlainOut, CASE_REQUIRED_BUT_SEND CASE_SEGMENT)
template HRESULT Make<CFault6>();
#endif

// The hooks: what the framework calls on a concrete filter and its pins, by
// name, through static polymorphism. This header is their contract, written
// once per hook; the framework's defaults refer here.
//
// A concrete class that writes a hook marks the declaration with DS_HOOK:
//
//     DS_HOOK(Filter_SendSample) HRESULT Filter_SendSample(DWORD dwCookie, IMediaSample* pSample);
//
// and the framework checks at compile time, once per concrete class, that
//   - a mark names a hook of this list, and the class declares that hook: a
//     misspelt mark, or a mark on a misspelt declaration, fails with the
//     hook's name in the message (unchecked, a misspelt hook compiles and
//     the default runs instead);
//   - every hook the class writes is marked, so that marking is a habit the
//     compiler keeps (a misspelt declaration without a mark is the one slip
//     it cannot see);
//   - every hook has the parameters and result written below (a const hook
//     is allowed);
//   - every hook without a default is there.
//
// The pin cookie dwCookie is the calling pin's direction: PINDIR_INPUT (0) for
// the input pin, PINDIR_OUTPUT (1) for the output pin.
//
// Threads: "application" is the thread of the graph and its host (connection,
// state changes, graph membership); "streaming" is upstream's thread calling
// Receive and the stream events; "downstream" is a downstream filter's thread.
// Locks are named as in DSFilters.h: filter lock, pin lock, the input pin's
// streaming lock, the output pin's delivery lock.
#pragma once

#include <windows.h>
#include <strmif.h>

#include <type_traits>

template <class TPin, class TFilter>
class CPinBase;
template <class TPin, class TFilter>
class CInputPin;
template <class TPin, class TFilter>
class COutputPin;
template <class T, class TIn, class TOut>
class CTransformFilter;
template <class T, class TIn, class TOut>
class CTransInPlaceFilter;

// Marks the declaration of a hook in a concrete filter or pin.
#define DS_HOOK(name) using DsHook_##name = ::dshook::name;

namespace dshook
{
// The framework classes whose members are the hooks' defaults.
template <class C>
struct CIsDefault : std::false_type
{
};
template <class TPin, class TFilter>
struct CIsDefault<CPinBase<TPin, TFilter>> : std::true_type
{
};
template <class TPin, class TFilter>
struct CIsDefault<CInputPin<TPin, TFilter>> : std::true_type
{
};
template <class TPin, class TFilter>
struct CIsDefault<COutputPin<TPin, TFilter>> : std::true_type
{
};
template <class T, class TIn, class TOut>
struct CIsDefault<CTransformFilter<T, TIn, TOut>> : std::true_type
{
};
template <class T, class TIn, class TOut>
struct CIsDefault<CTransInPlaceFilter<T, TIn, TOut>> : std::true_type
{
};

// A member function pointer's class and its function type without the class.
template <class TMember>
struct CMember
{
    using Class = void;
    using Function = void;
};
template <class R, class C, class... A>
struct CMember<R (C::*)(A...)>
{
    using Class = C;
    using Function = R(A...);
};
template <class R, class C, class... A>
struct CMember<R (C::*)(A...) const>
{
    using Class = C;
    using Function = R(A...);
};
} // namespace dshook

// Declares hook `name` with function type `sig` and its compile-time check.
#define DS_DECLARE_HOOK(name, sig)                                                                                        \
    namespace dshook                                                                                                      \
    {                                                                                                                     \
    struct name                                                                                                           \
    {                                                                                                                     \
        template <class T, class = void>                                                                                  \
        struct CFind                                                                                                      \
        {                                                                                                                 \
            static constexpr bool bExists = false, bOwn = false, bTyped = true;                                           \
        };                                                                                                                \
        template <class T>                                                                                                \
        struct CFind<T, std::void_t<decltype(&T::name)>>                                                                  \
        {                                                                                                                 \
            using M = CMember<decltype(&T::name)>;                                                                        \
            static constexpr bool bExists = true;                                                                         \
            static constexpr bool bOwn = !CIsDefault<typename M::Class>::value;                                           \
            static constexpr bool bTyped = std::is_same_v<typename M::Function, sig>;                                     \
        };                                                                                                                \
        template <class T, class = void>                                                                                  \
        struct CMarked : std::false_type                                                                                  \
        {                                                                                                                 \
        };                                                                                                                \
        template <class T>                                                                                                \
        struct CMarked<T, std::void_t<typename T::DsHook_##name>> : std::true_type                                        \
        {                                                                                                                 \
        };                                                                                                                \
        template <class T>                                                                                                \
        static constexpr bool Check()                                                                                     \
        {                                                                                                                 \
            static_assert(CFind<T>::bExists, "hook " #name " is missing: it has no default, the class must write it");    \
            static_assert(CFind<T>::bTyped, "hook " #name " differs in its parameters or result from the framework's");   \
            static_assert(!CFind<T>::bOwn || CMarked<T>::value, "hook " #name " is written without DS_HOOK(" #name ")");  \
            static_assert(!CMarked<T>::value || CFind<T>::bOwn, "DS_HOOK(" #name ") marks no declaration of " #name);     \
            return true;                                                                                                  \
        }                                                                                                                 \
    };                                                                                                                    \
    }

// ---------------------------------------------------------------------------
// Filter hooks, on the concrete filter T

// Filter_JoinFilterGraph(bJoined)                                   required
//   Called by IBaseFilter::JoinFilterGraph on the application thread, under
//   the filter lock, after the filter stored the graph, its event sink and
//   the name (bJoined true) or forgot them (bJoined false). A concrete filter
//   usually calls ResetFilter() when it leaves.
//   Result: a failure on joining makes the filter forget the graph again and
//   is returned to the graph; on leaving the result is returned as it is.
DS_DECLARE_HOOK(Filter_JoinFilterGraph, HRESULT(bool bJoined))

// Filter_QueryAcceptMT(dwCookie, pmt)                               optional
//   Asked by a pin whether it takes media type pmt: by IPin::QueryAccept on
//   any thread without a lock, by ReceiveConnection under the input pin
//   lock, by the output pin's connection attempts under the output pin lock,
//   and for a type attached to a sample on the streaming thread under the
//   input pin lock.
//   Arguments: pmt is the caller's and may be null (from QueryAccept).
//   Result: true accepts.
//   Default (CTransInPlaceFilter): the input asks the downstream pin (and
//   takes anything while the output is unconnected); the output asks the
//   upstream pin (and refuses everything while the input is unconnected).
DS_DECLARE_HOOK(Filter_QueryAcceptMT, bool(DWORD dwCookie, const AM_MEDIA_TYPE* pmt))

// Filter_AgreeMT(dwCookie, pReceivePin)                             optional
//   Output pin only. The last try of IPin::Connect without a media type, on
//   the application thread under the output pin lock, after neither the
//   downstream pin's types nor the output pin's own types connected.
//   Arguments: pReceivePin is the caller's.
//   Result: S_OK when a connection was made (through the output pin's
//   TryMediaTypes or AttemptConnection), else the failure Connect returns.
//   Default (CTransInPlaceFilter): tries the upstream pin's types.
DS_DECLARE_HOOK(Filter_AgreeMT, HRESULT(DWORD dwCookie, IPin* pReceivePin))

// Filter_CompleteConnect(dwCookie)                                  required
//   Called once a pin has a peer and a media type: by the input pin's
//   ReceiveConnection under the input pin lock (on the thread of the
//   connecting pin), by the output pin after downstream accepted
//   ReceiveConnection and before the allocator agreement, under the output
//   pin lock on the application thread.
//   Result: only S_OK connects. Anything else undoes the connection (the
//   input forgets the peer and takes back its old type, the output
//   disconnects downstream) and is returned as a failure.
DS_DECLARE_HOOK(Filter_CompleteConnect, HRESULT(DWORD dwCookie))

// Filter_Disconnect(dwCookie)                                       required
//   Called by IPin::Disconnect of a connected pin of a stopped filter, under
//   that pin's lock, before the pin breaks its connection; also by the
//   output pin's Connect when AgreeExchange failed. The filter forgets what
//   it keeps of that side (for example its separate-allocators decision).
DS_DECLARE_HOOK(Filter_Disconnect, void(DWORD dwCookie))

// Filter_GetAllocator(dwCookie, ppAllocator)                        optional
//   Input pin only: IMemInputPin::GetAllocator, asked by the upstream pin
//   (while it connects, on the application thread) under the input pin lock.
//   Arguments: ppAllocator is checked and set to null by the pin.
//   Result: S_OK with *ppAllocator holding a reference for the caller; on
//   failure *ppAllocator stays null and the failure goes upstream.
//   Default (CTransInPlaceFilter): the output pin's allocator while both
//   pins carry the same media type, else a new memory allocator.
DS_DECLARE_HOOK(Filter_GetAllocator, HRESULT(DWORD dwCookie, IMemAllocator** ppAllocator))

// Filter_NotifyAllocator(dwCookie, pAllocator, bReadOnly)           optional
//   Input pin only: IMemInputPin::NotifyAllocator, from the upstream pin on
//   its thread (while it connects, or when it changes allocators), under the
//   input pin lock.
//   Arguments: pAllocator is upstream's, never null, borrowed for the call.
//   Result: S_OK makes the input pin keep pAllocator; anything else is
//   returned upstream and the pin keeps the allocator it had.
//   Default (CTransInPlaceFilter): decides whether the two sides use
//   separate allocators (m_bSeparateAllocators, then samples are copied);
//   when the output used upstream's old allocator, it first tries to carry
//   the new one through, and disconnects the output when that fails.
DS_DECLARE_HOOK(Filter_NotifyAllocator, HRESULT(DWORD dwCookie, IMemAllocator* pAllocator, BOOL bReadOnly))

// Filter_GetAllocatorRequirements(dwCookie, pProps)                 optional
//   Input pin only: IMemInputPin::GetAllocatorRequirements, from the
//   upstream pin on its thread, under the input pin lock.
//   Arguments: pProps is the caller's, never null; filled on S_OK.
//   Default (CTransInPlaceFilter): the downstream pin's requirements;
//   E_NOTIMPL while the output is unconnected.
DS_DECLARE_HOOK(Filter_GetAllocatorRequirements, HRESULT(DWORD dwCookie, ALLOCATOR_PROPERTIES* pProps))

// Filter_GetTransInPlaceAlloc(dwCookie, ppUpAlloc, pbUseUpstream, pbReadOnly)
//                                                                   optional
//   Output pin only: the start of the allocator agreement, on the
//   application thread under the output pin lock (inside Connect).
//   Arguments: all three are the caller's, never null, preset to null,
//   true and false. *ppUpAlloc receives upstream's allocator with a
//   reference for the caller (or stays null), *pbUseUpstream whether to
//   offer it to downstream first, *pbReadOnly whether upstream gave it read
//   only (it is then offered without being resized).
//   Result: a failure ends the agreement and fails the connection.
//   Default (CTransInPlaceFilter): the input pin's allocator, offered unless
//   it is read only.
DS_DECLARE_HOOK(Filter_GetTransInPlaceAlloc,
                HRESULT(DWORD dwCookie, IMemAllocator** ppUpAlloc, bool* pbUseUpstream, bool* pbReadOnly))

// Filter_SendSample(dwCookie, pSample)                              required
//   IMemInputPin::Receive after the input pin's checks (connected, not
//   flushing, not stopped, a media type on the sample adopted), on the
//   streaming thread, holding only the input pin's streaming lock: neither
//   the filter lock nor the pin lock. Stop waits for that lock, so the hook
//   must not wait for a state change.
//   Arguments: pSample is borrowed for the call (upstream holds it until
//   Receive returns).
//   Result: returned to upstream as Receive's result.
//   The framework does not deliver: the hook hands the sample (or, with
//   separate allocators, a copy) to the output pin's SendSample.
DS_DECLARE_HOOK(Filter_SendSample, HRESULT(DWORD dwCookie, IMediaSample* pSample))

// Filter_EndOfStream(dwCookie)                                      required
// Filter_BeginFlush(dwCookie)                                       required
// Filter_EndFlush(dwCookie)                                         required
// Filter_NewSegment(dwCookie, tStart, tStop, dRate)                 required
//   The input pin's stream events, on upstream's thread, without any lock.
//   EndOfStream is not called while the pin flushes (the pin answers
//   S_FALSE); BeginFlush runs after the pin started refusing samples,
//   EndFlush before it takes them again; NewSegment after the pin stored
//   the segment.
//   Result: returned upstream. The framework does not forward the events:
//   the hook passes them to the downstream pin.
DS_DECLARE_HOOK(Filter_EndOfStream, HRESULT(DWORD dwCookie))
DS_DECLARE_HOOK(Filter_BeginFlush, HRESULT(DWORD dwCookie))
DS_DECLARE_HOOK(Filter_EndFlush, HRESULT(DWORD dwCookie))
DS_DECLARE_HOOK(Filter_NewSegment, HRESULT(DWORD dwCookie, REFERENCE_TIME tStart, REFERENCE_TIME tStop, double dRate))

// Filter_QualityNotify(dwCookie, pSender, q)                        optional
//   Output pin only: IQualityControl::Notify from downstream when no sink
//   was set on the pin, on downstream's thread, without any lock.
//   Arguments: pSender is the caller's.
//   Default (CTransInPlaceFilter): passes the message to the input pin,
//   which passes it upstream.
DS_DECLARE_HOOK(Filter_QualityNotify, HRESULT(DWORD dwCookie, IBaseFilter* pSender, Quality q))

// GetMediaTypeRedirection()                                         optional
//   Read once by the output pin's PinInit while the filter creates its pins.
//   Result: 1 makes the output pin enumerate the upstream pin's media types
//   instead of its own.
//   Default (CTransformFilter): 0.
DS_DECLARE_HOOK(GetMediaTypeRedirection, int())

// ---------------------------------------------------------------------------
// Pin hooks, on the concrete pins TIn and TOut

// PinInit()                                                          optional
//   Both pins: called once by the filter's CreatePins after the pin was
//   linked to the filter and named, on the constructing thread, without a
//   lock.
//   Result: anything but S_OK fails the pin's creation and with it the
//   filter's.
//   Default: S_OK (CPinBase); the output pin's (COutputPin) reads
//   GetMediaTypeRedirection, so a concrete output pin calls it first.
DS_DECLARE_HOOK(PinInit, HRESULT())

// BreakConnection()                                                  optional
//   Both pins: called by IPin::Disconnect under the pin lock after
//   Filter_Disconnect, and by the output pin's Connect when AgreeExchange
//   failed. A concrete pin that keeps something of the connection forgets it
//   here and calls the framework's BreakConnection.
//   Default (CInputPin, COutputPin): releases the allocators and the peer.
DS_DECLARE_HOOK(BreakConnection, void())

// IsDynamicReconnectAllowed()                                        optional
//   Input pin: asked by ReceiveConnection while the filter is not stopped,
//   under the input pin lock.
//   Result: true lets the connected upstream pin reconnect with a new media
//   type without a stop; false refuses with VFW_E_NOT_STOPPED.
//   Default (CInputPin): true.
DS_DECLARE_HOOK(IsDynamicReconnectAllowed, bool())

// IsExamineMediaTypes()                                              optional
//   Input pin: asked for every sample, on the streaming thread without a
//   lock (a media type found on the sample is adopted under the pin lock).
//   Result: true makes the pin adopt a media type attached to a sample
//   (refusing the sample when Filter_QueryAcceptMT does not take it).
//   Default (CInputPin): true.
DS_DECLARE_HOOK(IsExamineMediaTypes, bool())

// QueryInterfaceCatchAll(riid, ppv)                                  optional
//   Input pin: the last entry of the pin's interface map, for an interface
//   no other entry answered; on the caller's thread without a lock.
//   Arguments: ppv is the caller's; on S_OK it holds a reference for them.
//   Default (CInputPin): E_NOINTERFACE.
DS_DECLARE_HOOK(QueryInterfaceCatchAll, HRESULT(REFIID riid, void** ppv))

// AgreeExchange()                                                    optional
//   Output pin: called by Connect once a media type is agreed and
//   downstream accepted the connection, on the application thread under
//   the output pin lock.
//   Result: S_OK completes the connection; anything else makes Connect
//   call Filter_Disconnect and BreakConnection and fail.
//   Default (COutputPin): AgreeAllocator, the allocator agreement.
DS_DECLARE_HOOK(AgreeExchange, HRESULT())

namespace dshook
{
// The hooks each kind of concrete class may write.
template <class... THook>
struct CHookSet
{
    template <class T>
    static constexpr bool Check()
    {
        return (THook::template Check<T>() && ...);
    }
};
using CFilterHooks = CHookSet<Filter_JoinFilterGraph, Filter_QueryAcceptMT, Filter_AgreeMT, Filter_CompleteConnect,
                              Filter_Disconnect, Filter_GetAllocator, Filter_NotifyAllocator, Filter_GetAllocatorRequirements,
                              Filter_GetTransInPlaceAlloc, Filter_SendSample, Filter_EndOfStream, Filter_BeginFlush,
                              Filter_EndFlush, Filter_NewSegment, Filter_QualityNotify, GetMediaTypeRedirection>;
using CInputPinHooks =
    CHookSet<PinInit, BreakConnection, IsDynamicReconnectAllowed, IsExamineMediaTypes, QueryInterfaceCatchAll>;
using COutputPinHooks = CHookSet<PinInit, BreakConnection, AgreeExchange>;
} // namespace dshook

// The filter framework: a transform filter with one input and one output
// pin, built as class templates over the concrete classes. The framework
// calls the concrete filter's Filter_* hooks directly (no virtual calls), so a
// concrete class replaces a default simply by declaring its own hook, marked
// with DS_HOOK; DSHooks.h lists the hooks and checks the marks.
//
// Locks, always taken in this order and never the other way round:
//   filter lock (the filter's object root)  -> output pin lock
//   input pin lock                          -> (calls into neighbours)
//   input pin streaming lock                   taken only without the pin lock
//   output pin delivery lock                   a leaf: guards two pointers
//
// This is the one header a concrete filter includes. A concrete filter
// derives from CTransInPlaceFilter<T, TIn, TOut> (plus CComCoClass and
// IDirectShowDebugImpl), its input pin from CInputPin<TIn, T> and its output
// pin from COutputPin<TOut, T>; tests/support/TestInPlaceFilter.h is the
// smallest complete example.
//
// Index (header: classes)
//   DSFilterCommon.h       DS_NAME_MAX, TraceNotImplemented, FailureOr,
//                          AllocProps* helpers
//   DSPinBase.h            CPin, CMTSingle, CPinBase, IPinImpl, IQualityControlImpl
//   DSInputPin.h           IMemInputPinImpl, CMemInputPinFilter, CInputPin
//   DSOutputAllocator.h    EAllocSrc, CAllocatorMatch, CTransInPlaceAllocator
//   DSOutputPin.h          COutputPin
//   DSBaseFilter.h         CFilterTraceIds, IBaseFilterImpl, CBaseFilter,
//                          IDirectShowDebugImpl
//   DSTransformFilter.h    CTransformFilter (one input, one output pin)
//   DSTransInPlaceFilter.h CTransInPlaceFilter (default hooks of a pass-through)
//   DSHooks.h              the hooks a concrete filter and its pins write, their
//                          contract, DS_HOOK and the compile-time check
#pragma once

#include <dshowx/DSBaseFilter.h>
#include <dshowx/DSFilterCommon.h>
#include <dshowx/DSHooks.h>
#include <dshowx/DSInputPin.h>
#include <dshowx/DSOutputAllocator.h>
#include <dshowx/DSOutputPin.h>
#include <dshowx/DSPinBase.h>
#include <dshowx/DSTransInPlaceFilter.h>
#include <dshowx/DSTransformFilter.h>

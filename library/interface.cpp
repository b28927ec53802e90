// The exported C interface: a thin shell over the typed engines.
//
// Every export forwards to a template of the shared design; nothing throws
// across it. The STD twins are generated from exports.def at the end.
#include <cstddef>
#include <cstring>

#include "bulk.h"
#include "engine.h"
#include "error_texts.h"
#include "evaluator/calls.h"
#include "lifecycle.h"
#include "quibex.h"
#include "string_table.h"
#include "workers.h"

// The version number is the header's QX_VERSION_STRING; the build reads the
// project version from the same lines, so that ver(), the shared object's
// name and the installed package files agree.

namespace qx {
namespace {


// Everything an export's evaluation checks, for every case.
template <class T>
__attribute__((noinline)) typename T::Value evalRowChecked(int32_t row, const typename T::Value* args, bool copyArgs,
                                                           const char* name) noexcept {
  Engine<T>& E = engine<T>();
  TableView<typename T::Value>& t = E.table;
  if (static_cast<uint32_t>(row) >= static_cast<uint32_t>(t.rows) || !t.flags[row]) return T::zero();
  // A host function re-entering from inside an evaluation starts a nested
  // evaluation and needs the same room; an evaluation started by the host
  // itself is not nested and runs on whatever stack the thread has.
  if (gLib.depth >= kMaxNativeDepth || (gLib.depth > 0 && !stackRoomLeft())) {
    E.err.record(-2, name);
    return T::zero();
  }
  // An evaluation the host starts itself drops an interrupt request left
  // over from a time when nothing was running.
  if (gLib.depth == 0) gInterrupt.store(0, std::memory_order_relaxed);
  return runRow<T>(t, row, copyArgs ? args : nullptr);
}

// The host's own evaluation of a translated row, the common case of a host
// evaluating one formula many times, takes a short path: the checks that
// cannot fail when nothing runs are left out, and runRow's steps for
// machine code are written out, so that the export reaches the row's code
// without a call in between. Everything else goes the checked way.
template <class T>
inline typename T::Value evalRow(int32_t row, const typename T::Value* args, bool copyArgs, const char* name) noexcept {
  TableView<typename T::Value>& t = engine<T>().table;
  // (A host may clear a row's flag through getfortrue: the flag is read.)
  if (__builtin_expect(gLib.depth == 0, 1) && static_cast<uint32_t>(row) < static_cast<uint32_t>(t.rows) &&
      t.flags[row]) {
    if (void* code = t.jit[row]) {
      gInterrupt.store(0, std::memory_order_relaxed);
      // Nothing runs at depth 0, so the row is not busy and no evaluation
      // of the engine is active: the counts are set, not added to, and a
      // call does not wait on the stores of the call before it.
      int32_t* busy = t.busy + row;
      *busy = 1;
      gLib.active[T::kEngine] = 1;
      gLib.depth = 1;
      const typename T::Value v = jit::run<T>(code, copyArgs ? args : nullptr);
      gLib.depth = 0;
      gLib.active[T::kEngine] = 0;
      *busy = 0;
      return v;
    }
  }
  return evalRowChecked<T>(row, args, copyArgs, name);
}

// The bulk calls: exactly the loop `for i: results[i] = rcal(row, args of
// i)`, with the checks that cannot change during the loop made once. While
// an evaluation of the row runs the row is busy (so it cannot be compiled
// again) and its table is in use (so it cannot be resized or released);
// between two evaluations nothing runs. The nesting depth and the native
// stack are the same before every evaluation, and a stale interrupt request
// is dropped once, at the start of a call made by the host itself.
//
// Argument k of evaluation i is args[i*rowStride + k*argStride], computed in
// 64 bits; any stride is accepted (0 repeats a value, a negative one walks
// backwards from args). The arguments are read just before their
// evaluation and the result is written just after it, so a host function
// that reads results or writes later arguments, and results that overlay
// args, see what the loop of single calls would show them.
//
// Returns the number of results written: 0 with nothing touched for a bad or
// uncompiled row, count <= 0, a null results, or a null args when the row
// takes arguments. An interrupt request pending when an evaluation has
// ended and another is due ends the call there (the error -3 is recorded
// under the first-error rule), so the host learns from the count how far
// it got; a request during the last evaluation acts as it would on rcal.
//
// Rows whose evaluations nobody can observe and none depends on another
// (order_free.h) may instead run in the tier's lane code, and have all but
// their last evaluation shared out over worker threads; the last one then
// runs here on the row's own storage, so that the value array ends as the
// loop leaves it (bulk.h). Interrupted on threads, the call returns the
// prefix of evaluations made (at least one block), runs the last of them
// again on the row's storage for the same reason, and records -3; results
// after the prefix may have been written.
template <class T>
int32_t evalBulk(int32_t row, int32_t count, const typename T::Value* args, int32_t rowStride, int32_t argStride,
                 typename T::Value* results, const char* name) noexcept {
  using V = typename T::Value;
  Engine<T>& E = engine<T>();
  TableView<V>& t = E.table;
  if (static_cast<uint32_t>(row) >= static_cast<uint32_t>(t.rows) || !t.flags[row]) return 0;
  if (count <= 0 || results == nullptr) return 0;
  const int32_t last = t.header[row][H_LAST_ARG];
  if (last >= 0 && args == nullptr) return 0;
  if (gLib.depth >= kMaxNativeDepth || (gLib.depth > 0 && !stackRoomLeft())) {
    // Every single call would have been refused the same way.
    E.err.record(-2, name);
    for (int32_t i = 0; i < count; ++i) results[i] = T::zero();
    return count;
  }
  if (gLib.depth == 0) gInterrupt.store(0, std::memory_order_relaxed);
  // A row the tier translates at its next evaluation gets that evaluation
  // from the loop below, and may go on out of order from there (as may a
  // row the tier translates part-way through the loop).
  bool untranslated = t.jit[row] == nullptr;
  if (!untranslated || t.hits[row] < jit::gTierAt - 1) {
    const int32_t made = bulk::run<T>(t, row, count, args, rowStride, argStride, results);
    if (made >= 0) return made;
  }
  for (int32_t i = 0; i < count; ++i) {
    if (i > 0 && __builtin_expect(gInterrupt.load(std::memory_order_relaxed) != 0, 0)) {
      E.err.record(kErrInterrupted, kInterruptName);
      return i;
    }
    bulk::runSingle<T>(t, row, i, args, rowStride, argStride, results);
    if (untranslated && t.jit[row] && i + 1 < count && gInterrupt.load(std::memory_order_relaxed) == 0) {
      untranslated = false;
      const std::ptrdiff_t skip = static_cast<std::ptrdiff_t>(static_cast<int64_t>(i + 1) * rowStride);
      const int32_t rest = bulk::run<T>(t, row, count - i - 1, last >= 0 ? args + skip : args, rowStride, argStride,
                                        results + i + 1);
      if (rest >= 0) return i + 1 + rest;
    }
  }
  return count;
}

// Most threads one bulk call may use (0: one per online processor). Only
// bulk calls read it; workers beyond a lowered limit stay asleep.
int32_t setThreadLimit(int32_t n) noexcept {
  const int32_t previous = gLib.threads;
  if (n >= 0) gLib.threads = n;
  return previous;
}

template <class T>
typename T::Value* rowValues(int32_t row) noexcept {
  TableView<typename T::Value>& t = engine<T>().table;
  if (static_cast<uint32_t>(row) >= static_cast<uint32_t>(t.rows)) return nullptr;
  return t.vals[row];
}

template <class T>
typename T::Value* numberStore(int32_t* count) noexcept {
  auto& S = engine<T>().stores;
  if (count) *count = S.numCount;
  return S.nums;
}

template <class T>
typename T::Value** arrayStore(int32_t* count, int32_t** lengths) noexcept {
  auto& S = engine<T>().stores;
  if (count) *count = S.arrCount;
  if (lengths) *lengths = S.lens;
  return S.arrays;
}

template <class T>
int32_t fetchError(const char** name) noexcept {
  ErrorRecord& r = engine<T>().err;
  const int32_t n = r.number;
  if (name) *name = r.name;
  r.number = 0;
  return n;
}

template <class T>
void setError(int32_t number, const char* name) noexcept {
  ErrorRecord& r = engine<T>().err;
  r.number = number;
  r.name = name;
}

template <class T>
void setConstants(const char* const* names, const typename T::Value* values) noexcept {
  Engine<T>& E = engine<T>();
  // A null names or values address means no constants: without values a
  // name could only be resolved by reading through a null pointer.
  const bool none = names == nullptr || values == nullptr;
  E.constNames = none ? nullptr : names;
  E.constValues = none ? nullptr : values;
}

inline QxComplex toQx(Complex c) noexcept { return QxComplex{c.re, c.im}; }
inline const Complex* fromQx(const QxComplex* p) noexcept { return reinterpret_cast<const Complex*>(p); }

using R = RealTraits;
using C = ComplexTraits;
using I = IntTraits;

}  // namespace
}  // namespace qx

using namespace qx;

extern "C" {

// ---- shared -----------------------------------------------------------------
QX_API void userci(void) {
  refreshPeers<R>();
  refreshPeers<C>();
  refreshPeers<I>();
}

// Releases everything and leaves the library as freshly loaded; ignored
// while an evaluation is running (it would free what is in use).
QX_API void deletedll(void) {
  if (gLib.depth > 0) return;
  releaseEngine<R>();
  releaseEngine<C>();
  releaseEngine<I>();
  jit::shutdown();
  workers::shutdown();
  bulk::releaseScratch();
  strings::release();
  gLib = Library();
}

QX_API uint8_t setfcstrmax(int32_t n) { return strings::setMax(n); }
QX_API char** getfcstr(int32_t** lengths) { return strings::get(lengths); }
QX_API void initfcstr(void) { strings::init(); }
QX_API const char* ver(void) { return "quibex formula engine " QX_VERSION_STRING; }
// The one export that may be called from any thread at any time.
QX_API void fcinterrupt(void) { gInterrupt.store(1, std::memory_order_relaxed); }
QX_API const char* comerrtext(int32_t code) { return texts::compileText(code); }
QX_API const char* fcerrtext(int32_t number, const char* name) { return texts::runtimeText(number, name); }
QX_API int32_t comerrpos(void) { return gLib.real.errPos; }
QX_API int32_t Ccomerrpos(void) { return gLib.cplx.errPos; }
QX_API int32_t Icomerrpos(void) { return gLib.integer.errPos; }
QX_API int32_t setthreads(int32_t n) { return setThreadLimit(n); }

// ---- real ---------------------------------------------------------------------
QX_API uint8_t setfornum(int32_t n) { return sizeTable<R>(n); }
QX_API int32_t rcom(int32_t row, const char* text, int32_t* lastArg) { return compiler::compileRow<R>(row, text, lastArg); }
QX_API double rcal(int32_t row, const double* args) { return evalRow<R>(row, args, true, "rcal"); }
QX_API double rcals(int32_t row) { return evalRow<R>(row, nullptr, false, "rcals"); }
QX_API int32_t rcalv(int32_t row, int32_t count, const double* args, int32_t rowStride, int32_t argStride,
                     double* results) {
  return evalBulk<R>(row, count, args, rowStride, argStride, results, "rcalv");
}
QX_API double* getin(int32_t row) { return rowValues<R>(row); }
QX_API double** getallin(void) { return gLib.real.table.vals; }
QX_API uint8_t* getfortrue(void) { return gLib.real.table.flags; }
QX_API int32_t* getvarnum(void) { return gLib.real.table.argc; }
QX_API double* getfcdoubles(int32_t* count) { return numberStore<R>(count); }
QX_API double** getfcdoublearrays(int32_t* count, int32_t** lengths) { return arrayStore<R>(count, lengths); }
QX_API uint8_t setfcfun(const char* const* names, const int32_t* argRules, const QxRealFn* handlers) {
  return registerHostFunctions<R>(names, argRules, handlers);
}
QX_API void setdoubleconst(const char* const* names, const double* values) { setConstants<R>(names, values); }
QX_API int32_t fcerr(const char** name) { return fetchError<R>(name); }
QX_API int32_t fcerrnum(void) { return gLib.real.err.number; }
QX_API void setfcerr(int32_t number, const char* name) { setError<R>(number, name); }

// ---- complex ------------------------------------------------------------------
QX_API uint8_t Csetfornum(int32_t n) { return sizeTable<C>(n); }
QX_API int32_t Ccom(int32_t row, const char* text, int32_t* lastArg) { return compiler::compileRow<C>(row, text, lastArg); }
QX_API QxComplex Ccal(int32_t row, const QxComplex* args) { return toQx(evalRow<C>(row, fromQx(args), true, "Ccal")); }
QX_API QxComplex Ccals(int32_t row) { return toQx(evalRow<C>(row, nullptr, false, "Ccals")); }
QX_API int32_t Ccalv(int32_t row, int32_t count, const QxComplex* args, int32_t rowStride, int32_t argStride,
                     QxComplex* results) {
  // QxComplex and Complex are the same two doubles (see fromQx).
  return evalBulk<C>(row, count, fromQx(args), rowStride, argStride, reinterpret_cast<Complex*>(results), "Ccalv");
}
QX_API QxComplex* Cgetin(int32_t row) { return reinterpret_cast<QxComplex*>(rowValues<C>(row)); }
QX_API QxComplex** Cgetallin(void) { return reinterpret_cast<QxComplex**>(gLib.cplx.table.vals); }
QX_API uint8_t* Cgetfortrue(void) { return gLib.cplx.table.flags; }
QX_API int32_t* Cgetvarnum(void) { return gLib.cplx.table.argc; }
QX_API QxComplex* Cgetfccomplexs(int32_t* count) { return reinterpret_cast<QxComplex*>(numberStore<C>(count)); }
QX_API QxComplex** Cgetfccomplexarrays(int32_t* count, int32_t** lengths) {
  return reinterpret_cast<QxComplex**>(arrayStore<C>(count, lengths));
}
QX_API uint8_t Csetfcfun(const char* const* names, const int32_t* argRules, const QxComplexFn* handlers) {
  // Same layout and return convention: two doubles, real part first.
  return registerHostFunctions<C>(names, argRules, reinterpret_cast<const C::Fn*>(handlers));
}
QX_API void Csetcomplexconst(const char* const* names, const QxComplex* values) { setConstants<C>(names, fromQx(values)); }
QX_API int32_t Cfcerr(const char** name) { return fetchError<C>(name); }
QX_API int32_t Cfcerrnum(void) { return gLib.cplx.err.number; }
QX_API void Csetfcerr(int32_t number, const char* name) { setError<C>(number, name); }

// ---- integer ------------------------------------------------------------------
QX_API uint8_t Isetfornum(int32_t n) { return sizeTable<I>(n); }
QX_API int32_t Icom(int32_t row, const char* text, int32_t* lastArg) { return compiler::compileRow<I>(row, text, lastArg); }
QX_API int32_t Ical(int32_t row, const int32_t* args) { return evalRow<I>(row, args, true, "Ical"); }
QX_API int32_t Icals(int32_t row) { return evalRow<I>(row, nullptr, false, "Icals"); }
QX_API int32_t Icalv(int32_t row, int32_t count, const int32_t* args, int32_t rowStride, int32_t argStride,
                     int32_t* results) {
  return evalBulk<I>(row, count, args, rowStride, argStride, results, "Icalv");
}
QX_API int32_t* Igetin(int32_t row) { return rowValues<I>(row); }
QX_API int32_t** Igetallin(void) { return gLib.integer.table.vals; }
QX_API uint8_t* Igetfortrue(void) { return gLib.integer.table.flags; }
QX_API int32_t* Igetvarnum(void) { return gLib.integer.table.argc; }
QX_API int32_t* Igetfclongs(int32_t* count) { return numberStore<I>(count); }
QX_API int32_t** Igetfclongarrays(int32_t* count, int32_t** lengths) { return arrayStore<I>(count, lengths); }
QX_API uint8_t Isetfcfun(const char* const* names, const int32_t* argRules, const QxIntFn* handlers) {
  return registerHostFunctions<I>(names, argRules, handlers);
}
QX_API void Isetlongconst(const char* const* names, const int32_t* values) { setConstants<I>(names, values); }
QX_API int32_t Ifcerr(const char** name) { return fetchError<I>(name); }
QX_API int32_t Ifcerrnum(void) { return gLib.integer.err.number; }
QX_API void Isetfcerr(int32_t number, const char* name) { setError<I>(number, name); }

}  // extern "C"

// ---- the STD twins --------------------------------------------------------------
// Where the callee-cleans convention differs from the plain one (32-bit x86),
// each twin with parameters is an entry point of its own that forwards to the
// plain function and removes its arguments on return. Elsewhere, and for
// operations without parameters (the two conventions coincide), the twin is
// the plain entry point exported under a second name.
// (MinGW's GCC infers nothrow for the plain functions and warns that an
// alias does not repeat it; the alias is the same code.)
#if defined(_WIN32) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmissing-attributes"
#endif
#if defined(__i386__)
#define QX_EXPORT(ret, name, params, args) \
  extern "C" QX_API ret QX_STDCALL STD##name params { return name args; }
#else
#define QX_EXPORT(ret, name, params, args) \
  extern "C" QX_API ret QX_STDCALL STD##name params __attribute__((alias(#name)));
#endif
#define QX_EXPORT0(ret, name) extern "C" QX_API ret QX_STDCALL STD##name(void) __attribute__((alias(#name)));
#include "exports.def"
#undef QX_EXPORT
#undef QX_EXPORT0

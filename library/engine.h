// Library-wide state of the three engines.
//
// All state is plain and unlocked: the host calls the library from one
// thread at a time, also from inside host functions. Each engine owns its
// formula table, a copy of the other two tables (for cross-type calls),
// its error record, loop state, merged function table, registrations,
// compile work area and data stores.
#pragma once
#include <atomic>
#include <cstdint>
#include <type_traits>

#include "alloc.h"
#include "native_stack.h"
#include "complex/complex_traits.h"
#include "real/real_traits.h"
#include "integer/integer_traits.h"
#include "values.h"

namespace qx {

// One formula table, or an engine's copy of another engine's table. The
// copy holds the same addresses (not the contents), so a row compiled
// later is visible through it; a resize empties every copy.
template <class V>
struct TableView {
  int32_t rows = 0;
  uint8_t** code = nullptr;    // per row: code bytes ending in OP_END
  int32_t** header = nullptr;  // per row: lastArg, codeLength, refCount, lastSlot, (unused)
  V*** ptrs = nullptr;         // per row: pointer table into the value array
  V** vals = nullptr;          // per row: value array (arguments first)
  V** stack = nullptr;         // per row: evaluation stack, codeLength + 1 slots
  uint8_t* flags = nullptr;    // per row: 1 when compiled
  int32_t* argc = nullptr;     // per row: copy of lastArg
  int32_t* busy = nullptr;     // per row: evaluations in progress
  void** jit = nullptr;        // per row: machine code of the row (jit::RowCode), null when interpreted
  int32_t* hits = nullptr;     // per row: evaluations counted toward translation
  int32_t* bulk = nullptr;     // per row: how bulk calls may run it (bulk.h); 0 until first asked
};

// Header fields of a compiled row.
enum HeaderField { H_LAST_ARG = 0, H_CODE_LENGTH, H_REF_COUNT, H_LAST_SLOT, H_OPERAND0, H_SIZE };

struct ErrorRecord {
  int32_t number = 0;          // 0: no error pending
  const char* name = nullptr;  // function that recorded it (not copied)
  // First error wins: a later error while one is pending is dropped.
  void record(int32_t e, const char* fn) noexcept {
    if (number == 0) {
      number = e;
      name = fn;
    }
  }
};

// Saved state of an active loop, restored for each new pass.
template <class V>
struct LoopRecord {
  const uint8_t* pc;  // first code after OP_LOOP
  V* const* pp;       // pointer cursor
  const V* kc;        // constant cursor
  V* sp;              // stack (next free slot) with the loop's index slot on top
  int32_t iter;       // passes that went back to the start
};

// Number store and array store of one engine.
template <class V>
struct Stores {
  V* nums = nullptr;
  int32_t numCount = 0;
  V** arrays = nullptr;
  int32_t* lens = nullptr;
  int32_t arrCount = 0;
};

// Compile work area: grows, never shrinks, survives between compilations.
// Every buffer holds `size` elements; the compiler checks its room against
// the size it was given and reports "does not fit" (11) instead of writing
// past it.
template <class V>
struct WorkArea {
  int32_t size = 0;          // L; 0 when not allocated
  char* text = nullptr;      // the whole formula without blanks
  char* seg = nullptr;       // text of the segment being compiled, rewritten in place
  char* scratch = nullptr;   // rewritten calls, bracket kinds, shape string, operator stack
  uint8_t* code = nullptr;   // code of the segments compiled so far
  int32_t* operands = nullptr;  // operand list of the segment: slot, or -1 - pool index
  int32_t* refs = nullptr;   // variable slot of each OP_VAR, in code order
  int32_t* names = nullptr;  // per variable: start in the segment text, length
  int32_t* lookup = nullptr; // hash index of the variable names: slot + 1, 0 empty
  int32_t* segs = nullptr;   // per further segment: start, "=", end in the whole text
  V* vals = nullptr;         // constants of the segments compiled so far, in code order
  V* pool = nullptr;         // constants of the segment being compiled (also folded ones)
  // Where each character came from in the compiled text, so that an error
  // can be reported at its place in the host's text: per character of
  // `text` (and the parameter list kept after it), of `seg`, and of a
  // rewritten call or assignment being built in `scratch`.
  int32_t* textFrom = nullptr;
  int32_t* segFrom = nullptr;
  int32_t* scratchFrom = nullptr;
};

// Number of formula-calling functions with a nesting count of their own.
constexpr int kNestCounts = 10;
enum NestIndex { NEST_CALL = 0, NEST_CALFOR, NEST_CALX1, NEST_CALX2, NEST_SIMP, NEST_SUM, NEST_PRO,
                 NEST_DATASUM, NEST_DATAPRO, NEST_DATAARRAYSUM };

template <class T>
struct Engine {
  using V = typename T::Value;
  using Fn = typename T::Fn;

  TableView<V> table;
  ErrorRecord err;

  int32_t level = -1;          // current loop level, -1 when no loop is active
  int32_t levelLimit = 16;     // loop levels and nested formula calls allowed
  int32_t iterLimit = 1000000; // passes per loop
  LoopRecord<V>* loops = nullptr;
  int32_t loopCap = 0;         // records allocated (>= levelLimit, >= active loops)

  // Merged function table: built-in functions, then host functions, then
  // an entry with an empty name. mCount excludes the end entry.
  const char** mNames = nullptr;
  int32_t* mLens = nullptr;
  int32_t* mRules = nullptr;
  Fn* mFns = nullptr;
  int32_t mCount = 0;
  bool mergedBuilt = false;    // a build by setfornum has succeeded

  const char* const* constNames = nullptr;
  const V* constValues = nullptr;
  const char* const* hostNames = nullptr;
  int32_t* hostLens = nullptr;  // owned: name lengths minus one
  const int32_t* hostRules = nullptr;
  const Fn* hostFns = nullptr;

  WorkArea<V> work;
  int32_t errPos = -1;          // comerrpos: offset of the last compile error, -1 after success
  Stores<V> stores;
  int32_t nest[kNestCounts] = {};
};

struct Library {
  Engine<RealTraits> real;
  Engine<ComplexTraits> cplx;
  Engine<IntTraits> integer;
  // Copies of the other engines' tables, per engine.
  TableView<Complex> realSeesComplex;
  TableView<int32_t> realSeesInt;
  TableView<double> complexSeesReal;
  TableView<int32_t> complexSeesInt;
  TableView<Complex> intSeesComplex;
  TableView<double> intSeesReal;
  int32_t active[3] = {0, 0, 0};  // evaluations in progress per table (engine index)
  int32_t depth = 0;              // nested evaluations in progress, all engines
  int32_t threads = 0;            // most threads a bulk call may use; 0: one per online processor
};

extern Library gLib;

template <class T> Engine<T>& engine() noexcept;
template <> inline Engine<RealTraits>& engine<RealTraits>() noexcept { return gLib.real; }
template <> inline Engine<ComplexTraits>& engine<ComplexTraits>() noexcept { return gLib.cplx; }
template <> inline Engine<IntTraits>& engine<IntTraits>() noexcept { return gLib.integer; }

// The table of engine To as engine From sees it (its own, or its copy).
template <class From, class To>
inline TableView<typename To::Value>& view() noexcept {
  if constexpr (std::is_same_v<From, To>) return engine<From>().table;
  else if constexpr (std::is_same_v<From, RealTraits> && std::is_same_v<To, ComplexTraits>) return gLib.realSeesComplex;
  else if constexpr (std::is_same_v<From, RealTraits> && std::is_same_v<To, IntTraits>) return gLib.realSeesInt;
  else if constexpr (std::is_same_v<From, ComplexTraits> && std::is_same_v<To, RealTraits>) return gLib.complexSeesReal;
  else if constexpr (std::is_same_v<From, ComplexTraits> && std::is_same_v<To, IntTraits>) return gLib.complexSeesInt;
  else if constexpr (std::is_same_v<From, IntTraits> && std::is_same_v<To, ComplexTraits>) return gLib.intSeesComplex;
  else return gLib.intSeesReal;
}

// Deepest chain of nested evaluations (formula calls, repeated evaluation,
// host functions re-entering) the library runs on the native stack. A call
// that would go deeper records error -2 and yields the substitute value.
constexpr int32_t kMaxNativeDepth = 1000;

// True when one more nested evaluation may start: the chain is shorter than
// kMaxNativeDepth and the thread has kStackMargin of native stack left.
// Every path that starts a nested evaluation asks this first and records
// -2 for the calling function when it is false.
inline bool nestedRoomLeft() noexcept { return gLib.depth < kMaxNativeDepth && stackRoomLeft(); }

// Interrupt request: set by fcinterrupt from any thread, cleared when the
// host starts an evaluation of its own (so a request made while nothing was
// running has no effect). It stays set until then, so every engine that
// takes part in the running evaluation sees it at its next check point and
// unwinds. Check points: the end of a loop pass, continue, every
// second-level or host call, and every step of the repeated-evaluation
// functions; one relaxed load each (a plain load on x86).
extern std::atomic<int32_t> gInterrupt;
constexpr int32_t kErrInterrupted = -3;
extern const char kInterruptName[];

// At a check point: when an interrupt is requested, records it in engine
// T's error record (first error wins) and returns true.
template <class T>
inline bool interruptRequested() noexcept {
  if (__builtin_expect(gInterrupt.load(std::memory_order_relaxed) == 0, 1)) return false;
  engine<T>().err.record(kErrInterrupted, kInterruptName);
  return true;
}

}  // namespace qx

// How the rest of the library meets the machine-code tier: the evaluation
// count that triggers translation, translation itself, running a row's
// machine code and releasing it. Present in every build; without the tier
// translation never succeeds and rows run in the interpreter.
#pragma once
#include <cstdint>

#include "engine.h"
#include "jit/jit.h"

namespace qx::jit {

// Evaluation count at which a row is offered for translation: 1 when every
// row is translated at its first evaluation, INT32_MAX when the tier is off
// or the mode has not been read yet (the first offer reads it).
extern int32_t gTierAt;

// Machine code of one row; t.jit[row] points here. `entry` is the
// translated function: double(const double* args) for the real engine,
// int32_t(const int32_t* args) for the integer engine and
// void(Complex* out, const Complex* args) for the complex engine; args may
// be null (parameters already set).
//
// `lanes`, when not null, runs many evaluations at once (real and integer
// engines, V double or int32_t): int32_t(int32_t i0, int32_t i1, const V*
// args, int32_t rowStride, int32_t argStride, V* results, V* vals), see
// lanes.h;
// `laneWidth` is the number of evaluations per step it was made for.
struct RowCode {
  void* entry;
  void* lanes;
  int32_t laneWidth;
};

// Offers row `row` of table `t` (of engine T) for translation once its
// count reached gTierAt. True when the row has machine code now. A failed
// translation records no error; the row keeps running in the interpreter.
template <class T>
bool offer(TableView<typename T::Value>& t, int32_t row) noexcept;

// Releases the machine code of a row (if any) and restarts its count.
void releaseRowCode(void** jit, int32_t* hits, int32_t row) noexcept;

// Releases everything the tier holds (deletedll); rows must be released first.
void shutdown() noexcept;

// Between the two files of the tier.
Mode readMode() noexcept;
void releaseCode(RowCode* code) noexcept;
void countTranslated() noexcept;
// The counts of stats() over the life of the process (resetStats leaves
// them alone): the share of rows translated over a whole test run.
Stats lifetimeStats() noexcept;
// Evaluations that machine code handed to the interpreter part-way (a
// state the translator did not plan a label for), over the process.
uint64_t handovers() noexcept;
void countHandover() noexcept;
void countFailed() noexcept;
void countNotTranslated() noexcept;

// Runs a row's machine code; with `args`, it first sets the row's
// parameters from them.
template <class T>
inline typename T::Value run(void* code, const typename T::Value* args) noexcept {
  void* entry = static_cast<RowCode*>(code)->entry;
  if constexpr (std::is_same_v<T, ComplexTraits>) {
    Complex out;
    reinterpret_cast<void (*)(Complex*, const Complex*)>(entry)(&out, args);
    return out;
  } else {
    using V = typename T::Value;
    return reinterpret_cast<V (*)(const V*)>(entry)(args);
  }
}

// The row's code has a lane function: its evaluations may run in any order.
inline bool hasLanes(const void* code) noexcept { return static_cast<const RowCode*>(code)->lanes != nullptr; }

// Runs evaluations i0 .. i1-1 of a row with lane code (hasLanes) on the
// value array `vals` (the row's own, or a copy of all of it): evaluation i
// takes parameter k from args[i*rowStride + k*argStride] and writes
// results[i]. Afterwards vals holds what evaluation i1-1 left in it. False,
// with nothing run, when the row's constants no longer allow lanes (a host
// changed them through the value array); then the loop must run instead.
template <class T>
inline bool runLanes(const void* code, int32_t i0, int32_t i1, const typename T::Value* args, int32_t rowStride,
                     int32_t argStride, typename T::Value* results, typename T::Value* vals) noexcept {
  using V = typename T::Value;
  using Fn = int32_t (*)(int32_t, int32_t, const V*, int32_t, int32_t, V*, V*);
  return reinterpret_cast<Fn>(static_cast<const RowCode*>(code)->lanes)(i0, i1, args, rowStride, argStride, results,
                                                                        vals) != 0;
}

}  // namespace qx::jit

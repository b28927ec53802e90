// Formulas calling formulas: call, calfor, para and the calls across
// engines, shared by the three engines.
#pragma once
#include <cstdint>

#include "engine.h"
#include "evaluator/evaluator.h"
#include "jit/tier.h"

namespace qx {

// Name of the running handler: its index sits in the slot after its last
// argument.
template <class T>
inline const char* selfName(int32_t last, const typename T::Value* a) noexcept {
  Engine<T>& E = engine<T>();
  const int32_t idx = T::hidden(a[last + 1]);
  return (idx >= 0 && idx < E.mCount && E.mNames) ? E.mNames[idx] : kUnknownFunction;
}

// Records error e for the running handler and yields its substitute value.
template <class T>
inline typename T::Value fail(int32_t e, int32_t last, typename T::Value* a) noexcept {
  engine<T>().err.record(e, selfName<T>(last, a));
  return T::failed(a);
}

// True when a formula-calling function must not call anything: an error is
// pending, or an interrupt was requested (then recorded now).
template <class T>
inline bool callsStopped() noexcept {
  return engine<T>().err.number != 0 || interruptRequested<T>();
}

// Runs row r of a table (own or another engine's) as a nested evaluation.
// With `args`, the row's parameters are set from them first (the host's
// own evaluations); machine code of the row copies them itself.
template <class Target>
inline typename Target::Value runRow(TableView<typename Target::Value>& t, int32_t r,
                                     const typename Target::Value* args = nullptr) noexcept {
  int32_t* busy = t.busy;
  ++busy[r];
  ++gLib.active[Target::kEngine];
  ++gLib.depth;
  typename Target::Value v;
  if (void* code = t.jit[r]) {
    v = jit::run<Target>(code, args);
  } else {
    if (args) {
      typename Target::Value* slots = t.vals[r];
      for (int32_t i = 0, last = t.header[r][H_LAST_ARG]; i <= last; ++i) slots[i] = args[i];
    }
    if (++t.hits[r] >= jit::gTierAt && jit::offer<Target>(t, r)) v = jit::run<Target>(t.jit[r], nullptr);
    else v = evaluate<Target>(t.code[r], t.ptrs[r], t.stack[r]);
  }
  --gLib.depth;
  --gLib.active[Target::kEngine];
  --busy[r];
  return v;
}

// Converts a value of engine From to an argument of engine To.
template <class From, class To>
inline typename To::Value convertValue(const typename From::Value& v) noexcept {
  if constexpr (std::is_same_v<From, To>) return v;
  else if constexpr (std::is_same_v<To, IntTraits>) return truncToInt32(From::re(v));
  else return To::fromDouble(From::re(v));
}

// Common checks of the formula-calling functions, in their order. Returns
// 0 and the row when the call may go on, or the error number. `values` is
// the number of argument slots after the row that the target needs per
// parameter (1, or 2 when complex values come as pairs of parts).
// The row is at a[rowArg]; fewer than minArgs arguments is 3.
template <class T, class Target>
inline int32_t checkCall(int nest, int32_t last, const typename T::Value* a, int32_t& row, int32_t minArgs = 1,
                         int32_t rowArg = 0) noexcept {
  Engine<T>& E = engine<T>();
  TableView<typename Target::Value>& t = view<T, Target>();
  if (E.nest[nest] + 1 > E.levelLimit || !nestedRoomLeft()) return -2;
  if (t.rows <= 0) return -1;
  if (last + 1 < minArgs) return 3;
  row = T::toInt(a[rowArg]);
  if (row < 0 || row >= t.rows) return 1;
  if (!t.flags[row]) return 2;
  return 0;
}

// calfor and the cross-engine calls: row, then the arguments.
template <class T, class Target>
typename T::Value callWithArgs(int nest, int32_t last, typename T::Value* a) noexcept {
  using TV = typename Target::Value;
  Engine<T>& E = engine<T>();
  if (callsStopped<T>()) return T::failed(a);
  int32_t row = 0;
  if (int32_t e = checkCall<T, Target>(nest, last, a, row)) return fail<T>(e, last, a);
  TableView<TV>& t = view<T, Target>();
  const int32_t P = t.header[row][H_LAST_ARG] + 1;
  constexpr bool pairs = std::is_same_v<Target, ComplexTraits> && !std::is_same_v<T, ComplexTraits>;
  if (last != (pairs ? 2 * P : P)) return fail<T>(3, last, a);
  TV* params = t.vals[row];
  for (int32_t k = 0; k < P; ++k) {
    if constexpr (pairs) params[k] = TV{T::re(a[1 + 2 * k]), T::re(a[2 + 2 * k])};
    else params[k] = convertValue<T, Target>(a[1 + k]);
  }
  ++E.nest[nest];
  TV r = runRow<Target>(t, row);
  --E.nest[nest];
  // An interrupt that stopped the called formula (maybe of another engine)
  // is recorded for the caller's engine too, so its loops unwind as well.
  if (interruptRequested<T>()) return T::failed(a);
  return convertValue<Target, T>(r);
}

// call(row): evaluates a formula of the own engine with the parameter
// values it holds; yields 0.
template <class T>
typename T::Value callKeep(int32_t last, typename T::Value* a) noexcept {
  Engine<T>& E = engine<T>();
  if (callsStopped<T>()) return T::failed(a);
  int32_t row = 0;
  if (int32_t e = checkCall<T, T>(NEST_CALL, last, a, row)) return fail<T>(e, last, a);
  ++E.nest[NEST_CALL];
  runRow<T>(E.table, row);
  --E.nest[NEST_CALL];
  return T::zero();
}

// para(row, i): the value parameter i of a formula of the own engine holds.
template <class T>
typename T::Value para(int32_t last, typename T::Value* a) noexcept {
  TableView<typename T::Value>& t = engine<T>().table;
  if (t.rows <= 0) return fail<T>(-1, last, a);
  const int32_t row = T::toInt(a[0]);
  if (row < 0 || row >= t.rows) return fail<T>(1, last, a);
  if (!t.flags[row]) return fail<T>(2, last, a);
  const int32_t i = T::toInt(a[1]);
  if (i < 0 || i > t.header[row][H_LAST_ARG]) return fail<T>(3, last, a);
  return t.vals[row][i];
}

template <class T>
typename T::Value calfor(int32_t last, typename T::Value* a) noexcept {
  return callWithArgs<T, T>(NEST_CALFOR, last, a);
}

template <class T>
typename T::Value setStackMaxFn(int32_t last, typename T::Value* a) noexcept;
template <class T>
typename T::Value setCycleMaxFn(int32_t last, typename T::Value* a) noexcept;

}  // namespace qx

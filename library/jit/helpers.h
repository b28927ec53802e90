// Functions that translated code calls: the engine's arithmetic where it
// is not inline, host functions, logic through OP_CALL, and the control
// flow helpers that run the interpreter's own rules on the cursors of a
// position and tell the machine code where to go on.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

#include "engine.h"
#include "evaluator/calls.h"
#include "evaluator/evaluator.h"
#include "jit/row_info.h"
#include "jit/tier.h"

namespace qx::jit {

template <class T>
typename T::Value powHelper(typename T::Value a, typename T::Value b) noexcept {
  return T::pow(a, b);
}

template <class T, int C>
typename T::Value unaryHelper(typename T::Value x) noexcept {
  return T::unary(C, x);
}

template <class T>
typename T::Value handlerHelper(int32_t m, int32_t last, typename T::Value* args) noexcept {
  return callHandler<T>(m, last, args);
}

// Complex: the result goes to the frame's top-of-stack value.
template <class T>
void handlerToSlot(int32_t m, int32_t last, typename T::Value* args, typename T::Value* out) noexcept {
  *out = callHandler<T>(m, last, args);
}

template <class T>
void logicHelper(int32_t m, typename T::Value* a) noexcept {
  logicalCall<T>(m, a);
}

template <class T, int Op>
void binaryInPlace(typename T::Value* a) noexcept {
  if constexpr (Op == OP_ADD) a[0] = T::add(a[0], a[1]);
  else if constexpr (Op == OP_SUB) a[0] = T::sub(a[0], a[1]);
  else if constexpr (Op == OP_MUL) a[0] = T::mul(a[0], a[1]);
  else if constexpr (Op == OP_DIV) a[0] = T::div(a[0], a[1]);
  else a[0] = T::pow(a[0], a[1]);
}

template <class T, int C>
void unaryInPlace(typename T::Value* a) noexcept {
  a[0] = T::unary(C, a[0]);
}

template <class T, std::size_t... I>
constexpr auto unaryTable(std::index_sequence<I...>) noexcept {
  using V = typename T::Value;
  if constexpr (std::is_same_v<T, ComplexTraits>) {
    using F = void (*)(V*);
    return std::array<F, sizeof...(I)>{&unaryInPlace<T, kFirstUnary + static_cast<int>(I)>...};
  } else {
    using F = V (*)(V);
    return std::array<F, sizeof...(I)>{&unaryHelper<T, kFirstUnary + static_cast<int>(I)>...};
  }
}

// Cursors of position q with the stack pointer the tables give.
template <class T>
Cursors<T> cursorsAt(const RowInfo<typename T::Value>* ri, int32_t q) noexcept {
  return Cursors<T>{ri->code + q, ri->ptrs[0] + ri->kOff[q], ri->ptrs + 1 + ri->pOff[q],
                    ri->ptrs[0] - ri->sOff[q], ri->stack + ri->spOff[q]};
}

template <class T>
typename T::Value handOver(const RowInfo<typename T::Value>* ri, const Cursors<T>& c, int32_t baseLevel) noexcept {
  countHandover();
  const Handover<T> h{c, baseLevel};
  return evaluate<T, true>(ri->code, ri->ptrs, ri->stack, &h);
}

// Where the machine code goes on after a helper moved the cursors: the
// label number of the position when the state is the one the translator
// expects there, else -1 after the interpreter ran the rest of the row
// (its result in *out).
template <class T>
int32_t landOrFinish(const RowInfo<typename T::Value>* ri, const Cursors<T>& c, int32_t baseLevel,
                     typename T::Value* out) noexcept {
  const std::ptrdiff_t q = c.pc - ri->code;
  if (q >= 0 && q <= ri->len && ri->dynId[q] >= 0) {
    const Cursors<T> e = cursorsAt<T>(ri, static_cast<int32_t>(q));
    if (c.sp == e.sp && c.kc == e.kc && c.pp == e.pp && c.sb == e.sb) return ri->dynId[q];
  }
  *out = handOver<T>(ri, c, baseLevel);
  return -1;
}

// A control function reached its OP_CALL at position pos (stack in memory).
template <class T>
int32_t controlHelper(const RowInfo<typename T::Value>* ri, int32_t pos, int32_t baseLevel,
                      typename T::Value* out) noexcept {
  using V = typename T::Value;
  Cursors<T> c = cursorsAt<T>(ri, pos);
  ++c.pc;
  const int32_t n = T::hidden(c.sp[-1]);
  const int32_t m = T::hidden(c.sp[-2]);
  V* args = c.sp - 1 - n;
  controlCall<T>(c, m, n - 2, args, baseLevel);
  return landOrFinish<T>(ri, c, baseLevel, out);
}

// The interpreter takes over at position pos (stack in memory).
template <class T>
void resumeHelper(const RowInfo<typename T::Value>* ri, int32_t pos, int32_t baseLevel,
                  typename T::Value* out) noexcept {
  const Cursors<T> c = cursorsAt<T>(ri, pos);
  *out = handOver<T>(ri, c, baseLevel);
}

// Lane code: the engine's own function applied to each of n values in
// place, so that every lane gets the interpreter's bits. `Wide` variants are
// called from code that uses the upper halves of the 256-bit registers;
// they clear them first, as code that calls back into SSE code must (no
// value lives there across the call: the caller has saved what it needs).
template <class T, int C, bool Wide>
void unaryLanes(typename T::Value* v, int32_t n) noexcept {
  if constexpr (Wide) __asm__ volatile("vzeroupper" ::: "memory");
  for (int32_t i = 0; i < n; ++i) v[i] = T::unary(C, v[i]);
}

// a[i] = a[i] ^ b[i], or a[i] / b[i] (the integer engine's division, whose
// zero divisor and INT32_MIN / -1 have rules of their own).
template <class T, int Op, bool Wide>
void binaryLanes(typename T::Value* a, const typename T::Value* b, int32_t n) noexcept {
  static_assert(Op == OP_POW || Op == OP_DIV, "the other operators run in the lanes themselves");
  if constexpr (Wide) __asm__ volatile("vzeroupper" ::: "memory");
  for (int32_t i = 0; i < n; ++i) a[i] = Op == OP_POW ? T::pow(a[i], b[i]) : T::div(a[i], b[i]);
}

template <class T, bool Wide, std::size_t... I>
constexpr auto unaryLaneTable(std::index_sequence<I...>) noexcept {
  using F = void (*)(typename T::Value*, int32_t);
  return std::array<F, sizeof...(I)>{&unaryLanes<T, kFirstUnary + static_cast<int>(I), Wide>...};
}

}  // namespace qx::jit

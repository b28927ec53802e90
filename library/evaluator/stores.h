// Number store and array store of an engine, shared by the three engines.
// Indices and lengths come from formula values and are always checked.
#pragma once
#include <cstdint>

#include "engine.h"
#include "evaluator/calls.h"
#include "evaluator/limits.h"

namespace qx {

template <class V>
inline void releaseNumberStore(Stores<V>& S) noexcept {
  freeArray(S.nums);
  S.numCount = 0;
}

template <class V>
inline void releaseArrayStore(Stores<V>& S) noexcept {
  if (S.arrays)
    for (int32_t k = 0; k < S.arrCount; ++k) freeArray(S.arrays[k]);
  freeArray(S.arrays);
  freeArray(S.lens);
  S.arrCount = 0;
}

// newdoubles(n): a new number store of n elements (none for n < 1).
template <class T>
typename T::Value newNumbers(int32_t last, typename T::Value* a) noexcept {
  auto& S = engine<T>().stores;
  releaseNumberStore(S);
  const int32_t n = T::toInt(a[0]);
  if (n >= 1) {
    if (!(S.nums = allocZeroed<typename T::Value>(n))) return fail<T>(1, last, a);
    S.numCount = n;
  }
  return T::zero();
}

template <class T>
inline typename T::Value* numberAt(typename T::Value* a) noexcept {
  auto& S = engine<T>().stores;
  const int32_t i = T::toInt(a[0]);
  if (i < 0 || i >= S.numCount) return nullptr;
  return S.nums + i;
}

template <class T>
typename T::Value setNumber(int32_t last, typename T::Value* a) noexcept {
  typename T::Value* e = numberAt<T>(a);
  if (!e) return fail<T>(1, last, a);
  return *e = a[1];
}

template <class T>
typename T::Value getNumber(int32_t last, typename T::Value* a) noexcept {
  typename T::Value* e = numberAt<T>(a);
  if (!e) return fail<T>(1, last, a);
  return *e;
}

template <class T>
typename T::Value addGetNumber(int32_t last, typename T::Value* a) noexcept {
  typename T::Value* e = numberAt<T>(a);
  if (!e) return fail<T>(1, last, a);
  return *e = T::add(*e, a[1]);
}

template <class T>
typename T::Value getNumberAdd(int32_t last, typename T::Value* a) noexcept {
  typename T::Value* e = numberAt<T>(a);
  if (!e) return fail<T>(1, last, a);
  const typename T::Value old = *e;
  *e = T::add(old, a[1]);
  return old;
}

// newdoublearrays(n): n empty array slots (none for n < 1).
template <class T>
typename T::Value newArrays(int32_t last, typename T::Value* a) noexcept {
  auto& S = engine<T>().stores;
  releaseArrayStore(S);
  const int32_t n = T::toInt(a[0]);
  if (n >= 1) {
    S.arrays = allocZeroed<typename T::Value*>(n);
    S.lens = allocZeroed<int32_t>(n);
    if (!S.arrays || !S.lens) {
      freeArray(S.arrays);
      freeArray(S.lens);
      return fail<T>(1, last, a);
    }
    S.arrCount = n;
  }
  return T::zero();
}

// newdoublearray(k, len, x1, ..., xm): slot k gets len elements, the first
// m of them set.
template <class T>
typename T::Value newArray(int32_t last, typename T::Value* a) noexcept {
  auto& S = engine<T>().stores;
  if (last < 1) return fail<T>(1, last, a);
  if (!S.arrays) return fail<T>(2, last, a);
  const int32_t k = T::toInt(a[0]);
  if (k < 0 || k >= S.arrCount) return fail<T>(3, last, a);
  freeArray(S.arrays[k]);
  S.lens[k] = 0;
  const int32_t len = T::toInt(a[1]);
  if (len >= 1) {
    if (!(S.arrays[k] = allocZeroed<typename T::Value>(len))) return fail<T>(4, last, a);
    S.lens[k] = len;
  }
  const int32_t m = last - 1;
  if (m > S.lens[k]) return fail<T>(5, last, a);
  for (int32_t i = 0; i < m; ++i) S.arrays[k][i] = a[2 + i];
  return T::zero();
}

// Element i of array k, or null after recording the error.
template <class T>
inline typename T::Value* arrayAt(int32_t last, typename T::Value* a) noexcept {
  auto& S = engine<T>().stores;
  Engine<T>& E = engine<T>();
  if (!S.arrays) {
    E.err.record(1, selfName<T>(last, a));
    return nullptr;
  }
  const int32_t k = T::toInt(a[0]);
  if (k < 0 || k >= S.arrCount) {
    E.err.record(2, selfName<T>(last, a));
    return nullptr;
  }
  const int32_t i = T::toInt(a[1]);
  if (i < 0 || i >= S.lens[k]) {
    E.err.record(3, selfName<T>(last, a));
    return nullptr;
  }
  return S.arrays[k] + i;
}

template <class T>
typename T::Value setArrayElement(int32_t last, typename T::Value* a) noexcept {
  typename T::Value* e = arrayAt<T>(last, a);
  if (!e) return T::failed(a);
  return *e = a[2];
}

template <class T>
typename T::Value getArrayElement(int32_t last, typename T::Value* a) noexcept {
  typename T::Value* e = arrayAt<T>(last, a);
  if (!e) return T::failed(a);
  return *e;
}

template <class T>
typename T::Value addGetArrayElement(int32_t last, typename T::Value* a) noexcept {
  typename T::Value* e = arrayAt<T>(last, a);
  if (!e) return T::failed(a);
  return *e = T::add(*e, a[2]);
}

// setstackmax and setcyclemax as formula functions.
template <class T>
typename T::Value setStackMaxFn(int32_t last, typename T::Value* a) noexcept {
  Engine<T>& E = engine<T>();
  setLevelLimit(E, T::toInt(a[0]), selfName<T>(last, a));
  return T::zero();
}

template <class T>
typename T::Value setCycleMaxFn(int32_t last, typename T::Value* a) noexcept {
  Engine<T>& E = engine<T>();
  const int32_t n = T::toInt(a[0]);
  if (n > 1) E.iterLimit = n;
  else E.err.record(1, selfName<T>(last, a));
  return T::zero();
}

// Entries 0 .. 17 of every handler table: run by the evaluator, never called.
template <class T>
typename T::Value notCalled(int32_t, typename T::Value*) noexcept {
  return T::zero();
}

}  // namespace qx

// Formula tables, peer copies, merged function tables, loop limits and the
// release of everything: the parts of an engine's life outside compiling
// and evaluating.
#pragma once
#include <cstdint>
#include <cstring>

#include "compiler/driver.h"
#include "engine.h"
#include "evaluator/limits.h"
#include "evaluator/stores.h"
#include "opcodes.h"

namespace qx {

// Handlers of the built-in second-level functions, parallel to
// T::kBuiltins (entries 0 .. 17 are run by the evaluator itself).
template <class T>
struct BuiltinHandlers {
  static const typename T::Fn table[T::kBuiltinCount];
};
template <> const RealTraits::Fn BuiltinHandlers<RealTraits>::table[RealTraits::kBuiltinCount];
template <> const ComplexTraits::Fn BuiltinHandlers<ComplexTraits>::table[ComplexTraits::kBuiltinCount];
template <> const IntTraits::Fn BuiltinHandlers<IntTraits>::table[IntTraits::kBuiltinCount];

template <class T>
void releaseMerged(Engine<T>& E) noexcept {
  freeArray(E.mNames);
  freeArray(E.mLens);
  freeArray(E.mRules);
  freeArray(E.mFns);
  E.mCount = 0;
}

// Built-in functions, then the registered host functions, then an entry
// with an empty name. On failure the engine has no merged table.
template <class T>
bool rebuildMerged(Engine<T>& E) noexcept {
  releaseMerged(E);
  const int32_t B = T::kBuiltinCount;
  int32_t H = -1;
  if (E.hostNames) {
    H = 0;
    while (E.hostNames[H] && E.hostNames[H][0]) ++H;
  }
  const int32_t total = B + H + 2;
  E.mNames = allocArray<const char*>(total);
  E.mLens = allocArray<int32_t>(total);
  E.mRules = allocArray<int32_t>(total);
  E.mFns = allocArray<typename T::Fn>(total);
  if (!E.mNames || !E.mLens || !E.mRules || !E.mFns) {
    releaseMerged(E);
    return false;
  }
  for (int32_t i = 0; i < B; ++i) {
    E.mNames[i] = T::kBuiltins[i].name;
    E.mLens[i] = static_cast<int32_t>(std::strlen(T::kBuiltins[i].name)) - 1;
    E.mRules[i] = T::kBuiltins[i].rule;
    E.mFns[i] = BuiltinHandlers<T>::table[i];
  }
  for (int32_t i = 0; i < H; ++i) {
    E.mNames[B + i] = E.hostNames[i];
    E.mLens[B + i] = E.hostLens[i];
    E.mRules[B + i] = E.hostRules ? E.hostRules[i] : -2;
    E.mFns[B + i] = E.hostFns ? E.hostFns[i] : nullptr;
  }
  E.mNames[B + (H < 0 ? 0 : H)] = "";
  E.mCount = B + (H < 0 ? 0 : H);
  return true;
}

template <class T>
uint8_t registerHostFunctions(const char* const* names, const int32_t* rules, const typename T::Fn* fns) noexcept {
  Engine<T>& E = engine<T>();
  if (!names) {
    freeArray(E.hostLens);
    E.hostNames = nullptr;
    E.hostRules = rules;
    E.hostFns = fns;
    return rebuildMerged(E) ? 1 : 0;
  }
  if (!names[0] || !names[0][0]) return 0;
  int32_t H = 0;
  while (names[H] && names[H][0]) ++H;
  int32_t* lens = allocArray<int32_t>(H);
  if (!lens) return 0;
  for (int32_t i = 0; i < H; ++i) lens[i] = static_cast<int32_t>(std::strlen(names[i])) - 1;
  freeArray(E.hostLens);
  E.hostLens = lens;
  E.hostNames = names;
  E.hostRules = rules;
  E.hostFns = fns;
  return rebuildMerged(E) ? 1 : 0;
}

// Empties the copies that the other two engines hold of engine T's table.
template <class T>
void emptyPeerCopies() noexcept {
  if constexpr (!std::is_same_v<T, RealTraits>) view<RealTraits, T>() = {};
  if constexpr (!std::is_same_v<T, ComplexTraits>) view<ComplexTraits, T>() = {};
  if constexpr (!std::is_same_v<T, IntTraits>) view<IntTraits, T>() = {};
}

template <class T>
void releaseTable(Engine<T>& E) noexcept {
  TableView<typename T::Value>& t = E.table;
  emptyPeerCopies<T>();
  for (int32_t r = 0; r < t.rows; ++r) compiler::releaseRow(t, r);
  freeArray(t.code);
  freeArray(t.header);
  freeArray(t.ptrs);
  freeArray(t.vals);
  freeArray(t.stack);
  freeArray(t.flags);
  freeArray(t.argc);
  freeArray(t.busy);
  freeArray(t.jit);
  freeArray(t.hits);
  freeArray(t.bulk);
  t.rows = 0;
}

// Refreshes the copies engine T holds of the other two tables.
template <class T>
void refreshPeers() noexcept {
  if constexpr (std::is_same_v<T, RealTraits>) {
    gLib.realSeesComplex = gLib.cplx.table;
    gLib.realSeesInt = gLib.integer.table;
  } else if constexpr (std::is_same_v<T, ComplexTraits>) {
    gLib.complexSeesReal = gLib.real.table;
    gLib.complexSeesInt = gLib.integer.table;
  } else {
    gLib.intSeesComplex = gLib.cplx.table;
    gLib.intSeesReal = gLib.real.table;
  }
}

template <class T>
uint8_t sizeTable(int32_t n) noexcept {
  using V = typename T::Value;
  Engine<T>& E = engine<T>();
  if (gLib.active[T::kEngine] > 0) return 0;  // rows of this table are running
  if (!E.mergedBuilt) {
    if (!rebuildMerged(E)) return 0;
    E.mergedBuilt = true;
  }
  releaseTable(E);
  TableView<V>& t = E.table;
  t.code = allocZeroed<uint8_t*>(n);
  t.header = allocZeroed<int32_t*>(n);
  t.ptrs = allocZeroed<V**>(n);
  t.vals = allocZeroed<V*>(n);
  t.stack = allocZeroed<V*>(n);
  t.flags = allocZeroed<uint8_t>(n);
  t.argc = allocZeroed<int32_t>(n);
  t.busy = allocZeroed<int32_t>(n);
  t.jit = allocZeroed<void*>(n);
  t.hits = allocZeroed<int32_t>(n);
  t.bulk = allocZeroed<int32_t>(n);
  if (!t.code || !t.header || !t.ptrs || !t.vals || !t.stack || !t.flags || !t.argc || !t.busy || !t.jit ||
      !t.hits || !t.bulk) {
    releaseTable(E);
    return 0;
  }
  t.rows = n;
  setLevelLimit(E, E.levelLimit, T::kBuiltins[T::kFnSetStackMax].name);
  refreshPeers<T>();
  return 1;
}

// Releases everything engine T holds and returns it to its state at load.
template <class T>
void releaseEngine() noexcept {
  Engine<T>& E = engine<T>();
  releaseTable(E);
  compiler::releaseWorkArea(E.work);
  releaseNumberStore(E.stores);
  releaseArrayStore(E.stores);
  releaseMerged(E);
  freeArray(E.loops);
  freeArray(E.hostLens);
  E = Engine<T>();
}

}  // namespace qx

// Compile driver: text -> one row of an engine's formula table.
#pragma once
#include <cstdint>
#include <cstring>

#include "compiler/compiler.h"
#include "engine.h"
#include "jit/tier.h"
#include "string_table.h"

namespace qx::compiler {

template <class V>
void releaseWorkArea(WorkArea<V>& w) noexcept {
  freeArray(w.text);
  freeArray(w.seg);
  freeArray(w.scratch);
  freeArray(w.code);
  freeArray(w.operands);
  freeArray(w.refs);
  freeArray(w.names);
  freeArray(w.lookup);
  freeArray(w.segs);
  freeArray(w.vals);
  freeArray(w.pool);
  freeArray(w.textFrom);
  freeArray(w.segFrom);
  freeArray(w.scratchFrom);
  w.size = 0;
}

// Grows the work area to L elements per buffer. On failure the buffers
// allocated so far stay (the next compilation releases them) and the size
// stays 0.
template <class V>
bool growWorkArea(WorkArea<V>& w, int32_t L) noexcept {
  releaseWorkArea(w);
  if (!(w.text = allocArray<char>(L)) || !(w.seg = allocArray<char>(L)) || !(w.scratch = allocArray<char>(L)) ||
      !(w.code = allocArray<uint8_t>(L)) || !(w.operands = allocArray<int32_t>(L)) ||
      !(w.refs = allocArray<int32_t>(L)) || !(w.names = allocArray<int32_t>(L)) ||
      !(w.lookup = allocArray<int32_t>(L)) ||
      !(w.segs = allocArray<int32_t>(L)) || !(w.vals = allocArray<V>(L)) || !(w.pool = allocArray<V>(L)) ||
      !(w.textFrom = allocArray<int32_t>(L)) || !(w.segFrom = allocArray<int32_t>(L)) ||
      !(w.scratchFrom = allocArray<int32_t>(L)))
    return false;
  w.size = L;
  return true;
}

constexpr int32_t kMaxWork = 32766;

inline int32_t workSizeFor(int64_t n) noexcept {
  return n < 24500 ? static_cast<int32_t>(n * 4 / 3 + 100) : kMaxWork;
}

// Releases the five arrays of one row, its machine code and what bulk
// calls learned about it.
template <class V>
void releaseRow(TableView<V>& t, int32_t row) noexcept {
  jit::releaseRowCode(t.jit, t.hits, row);
  t.bulk[row] = 0;
  freeArray(t.code[row]);
  freeArray(t.header[row]);
  freeArray(t.ptrs[row]);
  freeArray(t.vals[row]);
  freeArray(t.stack[row]);
}

template <class T>
int compileRow(int32_t row, const char* text, int32_t* lastArgOut) noexcept {
  using V = typename T::Value;
  Engine<T>& E = engine<T>();
  TableView<V>& t = E.table;
  // Codes about the text as a whole (a bad or busy row, no memory, no room)
  // are placed at its start.
  E.errPos = 0;
  if (row < 0 || row >= t.rows) return C_BAD_ROW;
  if (t.busy[row] > 0) return C_ROW_BUSY;
  if (!text) text = "";
  // Machine code translated from the old formula never runs again.
  jit::releaseRowCode(t.jit, t.hits, row);

  // String literals: the row gives back its strings, and the text with
  // literals replaced by slot numbers is compiled instead.
  const bool ownedStrings = strings::owns(T::kType, row);
  const char* rewritten = nullptr;
  const int pre = strings::prepass(text, T::kType, row, &rewritten);
  if (pre > 0) {
    // The row's strings were given back and may be reused by others: a
    // formula that still used them must not stay runnable.
    if (ownedStrings) t.flags[row] = 0;
    E.errPos = strings::errorOffset();
    return C_PREPASS_BASE + pre;
  }
  const char* src = pre < 0 ? rewritten : text;

  t.flags[row] = 0;
  int64_t n = static_cast<int64_t>(std::strlen(src));
  Compiled out;
  for (;;) {
    const int32_t L = workSizeFor(n);
    if (L > E.work.size && !growWorkArea(E.work, L)) return C_MEMORY;
    Compiler<T> c(E, L);
    const int r = c.compile(src, out);
    if (r == C_NO_ROOM && L < kMaxWork) {
      n = L;
      continue;
    }
    if (r != C_OK) {
      if (r != C_NO_ROOM && r != C_MEMORY) {
        // The compiler's offset is in the text it compiled: map a
        // rewritten text back to the host's.
        const int32_t at = c.errorOffset();
        E.errPos = pre < 0 ? strings::origins()[at] : at;
      }
      return r;
    }
    break;
  }

  releaseRow(t, row);
  const int32_t codeLength = out.header[H_CODE_LENGTH];
  const int32_t refCount = out.header[H_REF_COUNT];
  const int32_t lastSlot = out.header[H_LAST_SLOT];
  if (!(t.code[row] = allocArray<uint8_t>(codeLength + 1)) || !(t.header[row] = allocArray<int32_t>(H_SIZE)) ||
      !(t.ptrs[row] = allocArray<V*>(refCount + 1)) || !(t.vals[row] = allocArray<V>(lastSlot + 1)) ||
      !(t.stack[row] = allocArray<V>(codeLength + 1)))
    return C_MEMORY;

  std::memcpy(t.code[row], E.work.code, static_cast<size_t>(codeLength) + 1);
  std::memcpy(t.header[row], out.header, sizeof out.header);
  V* vals = t.vals[row];
  for (int32_t i = 0; i < out.vars; ++i) vals[i] = T::zero();  // variables start at 0
  for (int32_t i = out.vars; i <= lastSlot; ++i) vals[i] = E.work.vals[i - out.vars];
  V** ptrs = t.ptrs[row];
  ptrs[0] = vals + out.vars;
  for (int32_t i = 0; i < refCount; ++i) ptrs[i + 1] = vals + E.work.refs[i];

  t.flags[row] = 1;
  E.errPos = -1;
  t.argc[row] = out.header[H_LAST_ARG];
  if (lastArgOut) *lastArgOut = out.header[H_LAST_ARG];
  return C_OK;
}

}  // namespace qx::compiler

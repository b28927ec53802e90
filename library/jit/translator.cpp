// The machine-code tier's translation: the entry points tier.h declares.
//
// A row is translated in passes, each in a file of its own:
//  * analysis.h works out what the row does at every code (stack depth,
//    cursors, hidden operands, the ends of forward skips, labels);
//  * scalar_values.h keeps the row's stack in registers and memory while
//    code is emitted, and has the emitting blocks the codes share;
//  * scalar.h emits one function per row from the codes;
//  * lanes.h emits a second one that runs many evaluations at once, for
//    rows whose evaluations may run in any order;
//  * helpers.h has the functions machine code calls.
// This file owns the code allocator, offers rows for translation and
// releases their code.
#include <climits>
#include <cstdint>
#include <new>

#include "alloc.h"
#include "engine.h"
#include "jit/jit.h"
#include "jit/tier.h"
#include "native_stack.h"

#if defined(QX_JIT)
#include "jit/scalar.h"
#endif

namespace qx::jit {

#if !defined(QX_JIT)

bool available() noexcept { return false; }

template <class T>
bool offer(TableView<typename T::Value>& t, int32_t row) noexcept {
  readMode();
  t.hits[row] = 0;
  return false;
}

void releaseCode(RowCode*) noexcept {}
void shutdown() noexcept {}

#else

bool available() noexcept { return true; }

namespace {
alignas(JitRuntime) unsigned char gRuntimeStore[sizeof(JitRuntime)];
JitRuntime* gRuntime = nullptr;
}  // namespace

JitRuntime* runtime() noexcept {
  if (!gRuntime) {
    // Dual mapping: the code is written through one mapping and run through
    // another, so no page is ever writable and executable at once.
    JitAllocator::CreateParams params;
    params.options = JitAllocatorOptions::kUseDualMapping;
    gRuntime = new (gRuntimeStore) JitRuntime(&params);
  }
  return gRuntime;
}

template <class T>
bool offer(TableView<typename T::Value>& t, int32_t row) noexcept {
  if (readMode() == Mode::Off) {
    t.hits[row] = 0;
    return false;
  }
  if (t.hits[row] < gTierAt) return false;  // the mode changed the threshold
  // Translation takes far more stack than an evaluation (the assembler's
  // passes): on a thread with little stack left the row stays in the
  // interpreter for now and is offered again at its next evaluation.
  if (!stackRoomLeft()) return false;
  RowCode* code = nullptr;
  Outcome o;
  {
    Translator<T> tr(t, row);
    o = tr.run(&code);
  }
  if (o == kOk) {
    t.jit[row] = code;
    countTranslated();
    return true;
  }
  // Not offered again for a long while; the row stays in the interpreter.
  t.hits[row] = INT32_MIN / 2;
  if (o == kFailed) countFailed();
  else countNotTranslated();
  return false;
}

void releaseCode(RowCode* code) noexcept {
  if (gRuntime && code->entry) gRuntime->_release(code->entry);
  if (gRuntime && code->lanes) gRuntime->_release(code->lanes);
  freeTierRaw(code);
}

void shutdown() noexcept {
  if (gRuntime) {
    gRuntime->~JitRuntime();
    gRuntime = nullptr;
  }
}

#endif  // QX_JIT

template bool offer<RealTraits>(TableView<double>&, int32_t) noexcept;
template bool offer<ComplexTraits>(TableView<Complex>&, int32_t) noexcept;
template bool offer<IntTraits>(TableView<int32_t>&, int32_t) noexcept;

}  // namespace qx::jit

// What the translator finds out about a row before it emits anything.
//
// The codes of a row have no jump offsets, but everything the interpreter
// finds out while running is fixed when the row is compiled: the stack
// depth at each code, the positions of the constant, variable and
// store-back cursors, the function index and slot count of every call and
// the end of every forward skip. RowAnalysis works these out once, by the
// interpreter's own rules, into the row's RowInfo tables and its own work
// tables; the emitters read them.
#pragma once
#include <cstdint>
#include <type_traits>

#include "alloc.h"
#include "engine.h"
#include "evaluator/calls.h"
#include "evaluator/evaluator.h"
#include "jit/row_info.h"
#include "opcodes.h"

namespace qx::jit {

// The names of RowAnalysis<T> in a class template built on it: a template
// does not look into a base that depends on its parameter without them.
#define QX_ROW_ANALYSIS_NAMES \
  using A = RowAnalysis<T>; \
  using V = typename A::V; \
  using Scan = typename A::Scan; \
  using A::kCplx; \
  using A::kInt; \
  using A::kSz; \
  using A::code_; \
  using A::ptrs_; \
  using A::vals_; \
  using A::stack_; \
  using A::len_; \
  using A::lastSlot_; \
  using A::lastArg_; \
  using A::info_; \
  using A::work_; \
  using A::known_; \
  using A::loopOf_; \
  using A::target_; \
  using A::scanMem_; \
  using A::openLoops_; \
  using A::touched_; \
  using A::touchedCount_; \
  using A::hid1_; \
  using A::hid2_; \
  using A::dynCount_; \
  using A::reentrant_; \
  using A::constant; \
  using A::inVals; \
  using A::analyze; \
  using A::scan; \
  using A::markTargets; \
  using A::marker; \
  using A::callCount; \
  using A::callIndex;

template <class T>
class RowAnalysis {
 protected:
  using V = typename T::Value;
  static constexpr bool kCplx = std::is_same_v<T, ComplexTraits>;
  static constexpr bool kInt = std::is_same_v<T, IntTraits>;
  static constexpr int32_t kSz = static_cast<int32_t>(sizeof(V));

  struct Scan {
    SkipEnd kind;
    int32_t pos;  // position after the code the scan stopped at
    int32_t sp;
  };

  RowAnalysis(TableView<V>& t, int32_t row) noexcept
      : code_(t.code[row]), ptrs_(t.ptrs[row]), vals_(t.vals[row]), stack_(t.stack[row]),
        len_(t.header[row][H_CODE_LENGTH]), lastSlot_(t.header[row][H_LAST_SLOT]),
        lastArg_(t.header[row][H_LAST_ARG]) {}

  ~RowAnalysis() {
    freeTierRaw(work_);
    freeTierRaw(info_);
  }

  const uint8_t* code_;
  V* const* ptrs_;
  V* vals_;
  V* stack_;
  int32_t len_;
  int32_t lastSlot_;
  int32_t lastArg_;
  RowInfo<V>* info_ = nullptr;
  int32_t* work_ = nullptr;
  int32_t* known_ = nullptr;      // per stack offset: constant index held (linear pass), else -1
  int32_t* loopOf_ = nullptr;     // per position of a loop's closing call: position of its OP_LOOP
  int32_t* target_ = nullptr;     // per position: 1 when code jumps there
  int32_t* scanMem_ = nullptr;    // per stack offset: constant a scan copied there, else -1
  int32_t* openLoops_ = nullptr;  // analysis: stack of open OP_LOOP positions
  int32_t* touched_ = nullptr;    // offsets a scan wrote, in order
  int32_t touchedCount_ = 0;
  int32_t* hid1_ = nullptr;       // per position: the hidden operand on top (marker, slot count)
  int32_t* hid2_ = nullptr;       // per position of a call: its function index

  int32_t dynCount_ = 0;
  // The row calls handlers, so it may run again while it is running (formula
  // calls, a host function evaluating it): activations share the stack area,
  // and an outer one reads its pending operands back after the call.
  bool reentrant_ = false;

  const V& constant(int32_t k) const noexcept { return ptrs_[0][k]; }

  bool inVals(const V* p) const noexcept { return p >= vals_ && p <= vals_ + lastSlot_; }

  // Linear pass: the state before every code, the hidden operands, the
  // loop each closing call belongs to.
  Outcome analyze() noexcept {
    int32_t* spOff = info_->spOff;
    int32_t s = 1, k = 0, p = 0, st = 0, open = 0;
    const int32_t maxSp = len_ + 1;
    for (int32_t pos = 0; pos <= len_ + 1; ++pos) {
      info_->dynId[pos] = -1;
      target_[pos] = 0;
      loopOf_[pos] = -1;
      known_[pos] = -1;
    }
    for (int32_t pos = 0; pos <= len_; ++pos) {
      spOff[pos] = s;
      info_->kOff[pos] = k;
      info_->pOff[pos] = p;
      info_->sOff[pos] = st;
      const uint8_t op = canonical(code_[pos]);
      switch (op) {
        case OP_END: break;
        case OP_CONST: known_[s++] = k++; break;
        case OP_VAR: known_[s++] = -1; ++p; break;
        case OP_STORE: --s; ++st; break;
        case OP_LOOP:
          if (known_[s - 1] < 0) return kUnsupported;
          hid1_[pos] = T::hidden(constant(known_[s - 1]));
          openLoops_[open++] = pos;
          break;
        case OP_TEST:
        case OP_WHICH:
          if (known_[s - 1] < 0) return kUnsupported;
          hid1_[pos] = T::hidden(constant(known_[s - 1]));
          break;
        case OP_CALL: {
          if (s < 3 || known_[s - 1] < 0 || known_[s - 2] < 0) return kUnsupported;
          const int32_t cnt = T::hidden(constant(known_[s - 1]));
          const int32_t m = T::hidden(constant(known_[s - 2]));
          const int32_t a = s - 1 - cnt;
          if (cnt < 1 || a < 0 || m < 0) return kUnsupported;
          hid1_[pos] = cnt;
          hid2_[pos] = m;
          if (m >= FN_FIRST_HANDLER) reentrant_ = true;
          if (m == FN_FOR || m == FN_DOWHILE) {
            // The innermost open loop whose index slot is this call's first.
            while (open > 0 && spOff[openLoops_[open - 1]] - 1 > a) --open;
            if (open > 0 && spOff[openLoops_[open - 1]] - 1 == a) loopOf_[pos] = openLoops_[--open];
          }
          s = a + 1;
          known_[a] = -1;
          break;
        }
        default:
          if (isBinary(op)) --s;
          known_[s - 1] = -1;
          break;
      }
      if (s < 1 || s > maxSp) return kUnsupported;
    }
    // Hidden operands are needed again while emitting: keep them per code.
    return kOk;
  }

  // The interpreter's forward scan over the codes from position pos, with
  // the stack pointer at offset sp. Records the constants it copies.
  bool scan(int32_t pos, int32_t sp, int32_t target, int32_t whichMarker, Scan& out) noexcept {
    for (int32_t i = 0; i <= len_ + 1; ++i) scanMem_[i] = -1;
    touchedCount_ = 0;
    int32_t k = info_->kOff[pos];
    for (;;) {
      if (pos > len_ || sp < 1 || sp > len_ + 1) return false;
      const uint8_t op = canonical(code_[pos++]);
      switch (op) {
        case OP_CONST:
          if (scanMem_[sp] < 0) touched_[touchedCount_++] = sp;
          scanMem_[sp++] = k++;
          break;
        case OP_VAR: ++sp; break;
        case OP_STORE: --sp; break;
        case OP_END:
          out = {SKIP_AT_END, pos - 1, sp};
          return true;
        case OP_CALL:
          if (scanMem_[sp - 1] < 0) return false;
          sp -= T::hidden(constant(scanMem_[sp - 1]));
          if (sp - 1 == target) {
            out = {SKIP_AT_CALL, pos, sp};
            return true;
          }
          break;
        case OP_WHICH:
          if (whichMarker >= 0 && sp - 1 == whichMarker + 2) {
            if (scanMem_[sp - 1] < 0) return false;
            if (T::hidden(constant(scanMem_[sp - 1])) != 1) {
              out = {SKIP_AT_WHICH, pos, sp};
              return true;
            }
          }
          break;
        default:
          if (isBinary(op)) --sp;
          break;
      }
    }
  }

  // Static skips and positions helpers may continue at.
  Outcome markTargets() noexcept {
    int32_t dyn = 0;
    for (int32_t pos = 0; pos < len_; ++pos) {
      const uint8_t op = canonical(code_[pos]);
      const int32_t s = info_->spOff[pos];
      Scan sc;
      if (op == OP_LOOP) {
        info_->dynId[pos + 1] = dyn++;
        if (scan(pos + 1, s, s - 1, -1, sc) && sc.kind == SKIP_AT_CALL && s == info_->spOff[sc.pos])
          target_[sc.pos] = 1;
      } else if (op == OP_TEST) {
        const int32_t h = marker(pos);
        const int32_t tgt = h == 0 ? s - 3 : s - 2;
        if (scan(pos + 1, s, tgt, -1, sc) && sc.kind == SKIP_AT_CALL && tgt + 1 == info_->spOff[sc.pos])
          target_[sc.pos] = 1;
      } else if (op == OP_WHICH) {
        const int32_t k = marker(pos);
        const int32_t top = s - 1;
        if (k & 1) {
          const int32_t W = top - (2 * k - 1);
          if (scan(pos + 1, s, W, top, sc) &&
              ((sc.kind == SKIP_AT_CALL && W + 1 == info_->spOff[sc.pos]) ||
               (sc.kind == SKIP_AT_WHICH && sc.sp == info_->spOff[sc.pos])))
            target_[sc.pos] = 1;
        } else {
          const int32_t W = top - 1 - (2 * k - 2);
          if (scan(pos + 1, s, W, -1, sc) && sc.kind == SKIP_AT_CALL && W + 1 == info_->spOff[sc.pos])
            target_[sc.pos] = 1;
        }
      } else if (op == OP_CALL) {
        const int32_t m = callIndex(pos);
        if (m < FN_GT && m != FN_IF && m != FN_ONE && m != FN_RETURN) info_->dynId[pos + 1] = dyn++;
      }
    }
    dynCount_ = dyn;
    return kOk;
  }

  int32_t marker(int32_t pos) const noexcept { return hid1_[pos]; }
  int32_t callCount(int32_t pos) const noexcept { return hid1_[pos]; }
  int32_t callIndex(int32_t pos) const noexcept { return hid2_[pos]; }
};

}  // namespace qx::jit

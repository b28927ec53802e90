// The evaluator shared by the three engines.
//
// A loop over one-byte codes on the row's own stack area. Constants and
// variables come from two sequential streams; control flow has no jump
// offsets: forward transfers scan the following codes for the call that
// ends the construct (tracking only the stack depth), backward transfers
// restore the state saved when the loop was entered.
#pragma once
#include <cstdint>

#include "engine.h"
#include "opcodes.h"

namespace qx {

template <class T>
struct Cursors {
  using V = typename T::Value;
  const uint8_t* pc;
  const V* kc;   // constant stream
  V* const* pp;  // variable stream
  V* sb;         // store-back cursor of segment variables
  V* sp;         // next free stack slot; the top is sp[-1]
};

enum SkipEnd { SKIP_AT_CALL, SKIP_AT_WHICH, SKIP_AT_END };

// Reads codes without running them until an OP_CALL leaves the top at
// `target`, or (when whichMarker is set) until an OP_WHICH of another
// value than 1 is met with the top at whichMarker + 2. Only constants are
// copied, because slot counts of calls are constants.
template <class T>
SkipEnd skipForward(Cursors<T>& c, typename T::Value* target, typename T::Value* whichMarker) noexcept {
  for (;;) {
    const uint8_t op = *c.pc++;
    switch (op) {
      case OP_CONST: *c.sp++ = *c.kc++; break;
      case OP_VAR: ++c.sp; ++c.pp; break;
      case OP_STORE: case OP_STORE2: --c.sp; --c.sb; break;
      case OP_END: --c.pc; return SKIP_AT_END;  // cannot happen in compiled code
      case OP_CALL:
        c.sp -= T::hidden(c.sp[-1]);
        if (c.sp - 1 == target) return SKIP_AT_CALL;
        break;
      case OP_WHICH:
        if (whichMarker && c.sp - 1 == whichMarker + 2 && T::hidden(c.sp[-1]) != 1) return SKIP_AT_WHICH;
        break;
      case OP_NOT: break;
      default:
        if ((op >= OP_ADD && op <= OP_POW) || op >= OP_GT) --c.sp;  // binary codes pop one
        break;
    }
  }
}


// Second-level call of index m >= FN_FIRST_HANDLER through the merged
// function table of the moment. A compiled index beyond it (host functions
// re-registered with a shorter list, or no table) or a host entry without a
// handler records error 3.
extern const char kUnknownFunction[];
constexpr int32_t kErrStaleFunction = 3;

template <class T>
inline typename T::Value callHandler(int32_t m, int32_t lastIndex, typename T::Value* args) noexcept {
  Engine<T>& E = engine<T>();
  if (m < E.mCount && E.mFns && E.mFns[m]) return E.mFns[m](lastIndex, args);
  E.err.record(kErrStaleFunction, kUnknownFunction);
  return T::failed(args);
}

template <class T>
inline const char* builtinName(int32_t index) noexcept { return T::kBuiltins[index].name; }

// gt .. xor called through OP_CALL (the compiler normally emits codes
// 32 .. 41 instead).
template <class T>
inline void logicalCall(int32_t m, typename T::Value* a) noexcept {
  switch (m) {
    case FN_GT: T::setTruth(a[0], cmpGT(T::cmpKey(a[0]), T::cmpKey(a[1]))); break;
    case FN_GE: T::setTruth(a[0], cmpGE(T::cmpKey(a[0]), T::cmpKey(a[1]))); break;
    case FN_LT: T::setTruth(a[0], cmpLT(T::cmpKey(a[0]), T::cmpKey(a[1]))); break;
    case FN_LE: T::setTruth(a[0], cmpLE(T::cmpKey(a[0]), T::cmpKey(a[1]))); break;
    case FN_EQ: T::setTruth(a[0], cmpEQ(T::cmpKey(a[0]), T::cmpKey(a[1]))); break;
    case FN_NE: T::setTruth(a[0], cmpNE(T::cmpKey(a[0]), T::cmpKey(a[1]))); break;
    case FN_AND: T::setTruth(a[0], T::truth(a[0]) && T::truth(a[1])); break;
    case FN_OR: T::setTruth(a[0], T::truth(a[0]) || T::truth(a[1])); break;
    case FN_NOT: T::setTruth(a[0], !T::truth(a[0])); break;
    default: T::setTruth(a[0], T::truth(a[0]) != T::truth(a[1])); break;
  }
}

// OP_LOOP: opens a loop level and saves the state a new pass starts from.
// Beyond the level limit the whole loop call is skipped and yields 0.
template <class T>
inline void loopStart(Cursors<T>& c) noexcept {
  Engine<T>& E = engine<T>();
  typename T::Value* idx = c.sp - 1;
  if (E.level + 1 < E.levelLimit && E.level + 1 < E.loopCap) {
    E.loops[++E.level] = {c.pc, c.pp, c.kc, c.sp, 0};
    return;
  }
  E.err.record(-2, builtinName<T>(T::hidden(*idx) == 1 ? FN_DOWHILE : FN_FOR));
  if (skipForward<T>(c, idx, nullptr) == SKIP_AT_CALL) {
    *idx = T::zero();
    c.sp = idx + 1;
  }
}

template <class T>
inline void restoreLoop(Cursors<T>& c, const LoopRecord<typename T::Value>& r) noexcept {
  c.pc = r.pc;
  c.pp = r.pp;
  c.kc = r.kc;
  c.sp = r.sp;
}

// OP_WHICH: after a condition (odd k) either go on with its value or skip
// to the next condition; after a value (even k) skip to the end of the call
// and make the value the call's result.
template <class T>
inline void whichMarker(Cursors<T>& c) noexcept {
  using V = typename T::Value;
  V* top = c.sp - 1;
  const int32_t k = T::hidden(*top);
  if (k & 1) {
    if (T::truth(top[-1])) return;
    V* W = top - (2 * k - 1);
    if (skipForward<T>(c, W, top) == SKIP_AT_CALL) {
      engine<T>().err.record(1, builtinName<T>(FN_WHICH));
      c.sp = W + 1;  // no condition held: the slot keeps the first condition
    }
  } else {
    V* B = top - 1;
    V* W = B - (2 * k - 2);
    if (skipForward<T>(c, W, nullptr) == SKIP_AT_CALL) {
      *W = *B;
      c.sp = W + 1;
    }
  }
}

// Control functions that reach their OP_CALL: the end of a loop pass, if,
// which, one, break and continue.
template <class T>
inline void controlCall(Cursors<T>& c, int32_t m, int32_t count, typename T::Value* args,
                        int32_t baseLevel) noexcept {
  using V = typename T::Value;
  Engine<T>& E = engine<T>();
  switch (m) {
    case FN_FOR:
    case FN_DOWHILE: {
      if (E.level > baseLevel) {
        LoopRecord<V>& r = E.loops[E.level];
        bool again = false;
        if (E.err.number == 0) {
          if (++r.iter > E.iterLimit) E.err.record(1, builtinName<T>(m));
          else again = m == FN_FOR || T::truth(args[count]);
        }
        if (again) {
          restoreLoop(c, r);
          return;
        }
        --E.level;
      }
      break;
    }
    case FN_WHICH:
      if (count >= 0) {
        *args = args[count];
        c.sp = args + 1;
        return;
      }
      E.err.record(1, builtinName<T>(FN_WHICH));
      break;
    case FN_BREAK:
      if (E.level > baseLevel) {
        restoreLoop(c, E.loops[E.level]);
        V* idx = c.sp - 1;
        if (skipForward<T>(c, idx, nullptr) == SKIP_AT_CALL) {
          --E.level;
          args = idx;
        }
      }
      break;
    case FN_CONTINUE:
      if (E.level > baseLevel && E.err.number == 0) {
        LoopRecord<V>& r = E.loops[E.level];
        if (++r.iter > E.iterLimit) {
          E.err.record(1, builtinName<T>(FN_CONTINUE));
        } else {
          restoreLoop(c, r);
          return;
        }
      }
      break;
    default:  // if, one
      break;
  }
  *args = T::zero();
  c.sp = args + 1;
}

template <class T>
typename T::Value evaluate(const uint8_t* code, typename T::Value* const* ptrs, typename T::Value* stack) noexcept {
  using V = typename T::Value;
  Engine<T>& E = engine<T>();
  const int32_t baseLevel = E.level;
  // The cursors live in locals (registers); they go through a Cursors
  // record only around the rare control-flow helpers.
  const uint8_t* pc = code;
  const V* kc = ptrs[0];
  V* const* pp = ptrs + 1;
  V* sb = ptrs[0];
  V* sp = stack;  // next free slot; the top is sp[-1]
#define QX_SYNC_OUT Cursors<T> c{pc, kc, pp, sb, sp}
#define QX_SYNC_IN \
  pc = c.pc;       \
  kc = c.kc;       \
  pp = c.pp;       \
  sb = c.sb;       \
  sp = c.sp

  for (;;) {
    const uint8_t op = *pc++;
    switch (op) {
      case OP_END: return sp[-1];
      case OP_CONST: *sp++ = *kc++; break;
      case OP_VAR: *sp++ = **pp++; break;
      case OP_STORE: case OP_STORE2: *--sb = *--sp; break;
      case OP_ADD: sp[-2] = T::add(sp[-2], sp[-1]); --sp; break;
      case OP_SUB: sp[-2] = T::sub(sp[-2], sp[-1]); --sp; break;
      case OP_MUL: sp[-2] = T::mul(sp[-2], sp[-1]); --sp; break;
      case OP_DIV: sp[-2] = T::div(sp[-2], sp[-1]); --sp; break;
      case OP_POW: sp[-2] = T::pow(sp[-2], sp[-1]); --sp; break;
      case OP_MOV: *pp[-1] = sp[-1]; break;
      case 11: case 12: case 13: case 14: case 15: case 16: case 17: case 18:
      case 19: case 20: case 21: case 22: case 23: case 24: case 25:
        sp[-1] = T::unary(op, sp[-1]);
        break;
      case OP_GT: --sp; T::setTruth(sp[-1], cmpGT(T::cmpKey(sp[-1]), T::cmpKey(sp[0]))); break;
      case OP_GE: --sp; T::setTruth(sp[-1], cmpGE(T::cmpKey(sp[-1]), T::cmpKey(sp[0]))); break;
      case OP_LT: --sp; T::setTruth(sp[-1], cmpLT(T::cmpKey(sp[-1]), T::cmpKey(sp[0]))); break;
      case OP_LE: --sp; T::setTruth(sp[-1], cmpLE(T::cmpKey(sp[-1]), T::cmpKey(sp[0]))); break;
      case OP_EQ: --sp; T::setTruth(sp[-1], cmpEQ(T::cmpKey(sp[-1]), T::cmpKey(sp[0]))); break;
      case OP_NE: --sp; T::setTruth(sp[-1], cmpNE(T::cmpKey(sp[-1]), T::cmpKey(sp[0]))); break;
      case OP_AND: --sp; T::setTruth(sp[-1], T::truth(sp[-1]) && T::truth(sp[0])); break;
      case OP_OR: --sp; T::setTruth(sp[-1], T::truth(sp[-1]) || T::truth(sp[0])); break;
      case OP_NOT: T::setTruth(sp[-1], !T::truth(sp[-1])); break;
      case OP_XOR: --sp; T::setTruth(sp[-1], T::truth(sp[-1]) != T::truth(sp[0])); break;
      case OP_CALL: {
        const int32_t n = T::hidden(sp[-1]);
        const int32_t m = T::hidden(sp[-2]);
        V* args = sp - 1 - n;
        if (m >= FN_FIRST_HANDLER) {
          const V r = callHandler<T>(m, n - 2, args);
          *args = r;
          sp = args + 1;
        } else if (m >= FN_GT) {
          logicalCall<T>(m, args);
          sp = args + 1;
        } else if (m == FN_RETURN) {
          E.level = baseLevel;
          return args[0];
        } else {
          QX_SYNC_OUT;
          controlCall<T>(c, m, n - 2, args, baseLevel);
          QX_SYNC_IN;
        }
        break;
      }
      case OP_LOOP: {
        QX_SYNC_OUT;
        loopStart<T>(c);
        QX_SYNC_IN;
        break;
      }
      case OP_TEST: {
        if (T::truth(sp[-2])) break;
        V* B = sp - 1;
        const bool isFor = T::hidden(*B) == 0;
        V* target = isFor ? B - 2 : B - 1;
        QX_SYNC_OUT;
        if (skipForward<T>(c, target, nullptr) == SKIP_AT_CALL) {
          *target = T::zero();
          c.sp = target + 1;
          if (isFor) --E.level;
        }
        QX_SYNC_IN;
        break;
      }
      case OP_WHICH: case OP_WRAP: case OP_UNUSED28: {
        QX_SYNC_OUT;
        whichMarker<T>(c);
        QX_SYNC_IN;
        break;
      }
      default:
        if (op >= 128) { *--sb = *--sp; }  // runs as OP_STORE
        else { --sp; T::setTruth(sp[-1], T::truth(sp[-1]) != T::truth(sp[0])); }  // as OP_XOR
        break;
    }
  }
#undef QX_SYNC_OUT
#undef QX_SYNC_IN
}

}  // namespace qx

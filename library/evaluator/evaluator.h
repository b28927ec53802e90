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
  // An interrupted evaluation calls no host function any more: the call
  // yields the substitute value. (Formula-calling functions check for
  // themselves; the other built-in functions work as under any pending
  // error.)
  if (m >= T::kBuiltinCount && interruptRequested<T>()) return T::failed(args);
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
        if (E.err.number == 0 && !interruptRequested<T>()) {
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
      if (E.level > baseLevel && E.err.number == 0 && !interruptRequested<T>()) {
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

// Each code ends with its own indirect jump through a table of label
// addresses (a gcc and clang extension), which predicts far better than one
// shared switch.
#if !defined(__GNUC__)
#error "the evaluator needs label addresses (gcc or clang)"
#endif
#define QX_OP(label) L_##label:
#define QX_NEXT goto* kDispatch[*pc++]

// Where a running evaluation is handed to the interpreter: the cursors
// (every stack value in memory, the top at c.sp[-1]) and the loop level
// the evaluation started at.
template <class T>
struct Handover {
  Cursors<T> c;
  int32_t baseLevel;
};

// Runs a row from its first code, or (the Handed instance, with `from`)
// continues an evaluation that the machine-code tier hands over at any
// code. Two instances, so that the prologue of the second costs the first
// nothing: one more live value there leaves too few registers and the
// compiler folds the per-code jumps into one shared dispatch.
template <class T, bool Handed = false>
typename T::Value evaluate(const uint8_t* code, typename T::Value* const* ptrs, typename T::Value* stack,
                           const Handover<T>* from = nullptr) noexcept {
  using V = typename T::Value;
  Engine<T>& E = engine<T>();
  int32_t baseLevel = E.level;
  // The cursors live in locals (registers); they go through a Cursors
  // record only around the rare control-flow helpers.
  const uint8_t* pc = code;
  const V* kc = ptrs[0];
  V* const* pp = ptrs + 1;
  V* sb = ptrs[0];
  // The top of the stack is kept in `tos`; its slot in memory is written
  // only before a helper or handler looks at the stack. The stack starts one
  // slot into the area: slot 0 of the area takes the first such write of an
  // empty stack (a row's area has one slot more than its deepest stack).
  V* sp = stack + 1;  // next free slot; the top is sp[-1]
  V tos = T::zero();
  if constexpr (Handed) {
    pc = from->c.pc;
    kc = from->c.kc;
    pp = from->c.pp;
    sb = from->c.sb;
    sp = from->c.sp;
    tos = sp[-1];
    baseLevel = from->baseLevel;
  }
#define QX_SYNC_OUT \
  sp[-1] = tos;     \
  Cursors<T> c{pc, kc, pp, sb, sp}
#define QX_SYNC_IN \
  pc = c.pc;       \
  kc = c.kc;       \
  pp = c.pp;       \
  sb = c.sb;       \
  sp = c.sp;       \
  tos = sp[-1]
#define QX_PUSH(v) \
  sp[-1] = tos;    \
  tos = (v);       \
  ++sp
#define QX_BINARY(f) \
  tos = f(sp[-2], tos); \
  --sp
#define QX_LOGIC(expr)    \
  {                       \
    V a = sp[-2];         \
    const V& b = tos;     \
    T::setTruth(a, expr); \
    tos = a;              \
    --sp;                 \
  }

  // 0 end, 1 const, 2 var, 3-4 store, 5-9 operators, 10 mov, 11-25 one-argument
  // functions, 26 call, 27-28 and 31 which marker, 29 loop, 30 test, 32-41
  // logic, 42-127 as xor, 128-255 as store.
#define QX_X2(l) l, l
#define QX_X4(l) QX_X2(l), QX_X2(l)
#define QX_X16(l) QX_X4(l), QX_X4(l), QX_X4(l), QX_X4(l)
#define QX_X64(l) QX_X16(l), QX_X16(l), QX_X16(l), QX_X16(l)
  static const void* const kDispatch[] = {
      &&L_end, &&L_cnst, &&L_var, &&L_store, &&L_store, &&L_add, &&L_sub, &&L_mul,
      &&L_div, &&L_pow, &&L_mov, &&L_u11, &&L_u12, &&L_u13, &&L_u14, &&L_u15,
      &&L_u16, &&L_u17, &&L_u18, &&L_u19, &&L_u20, &&L_u21, &&L_u22, &&L_u23,
      &&L_u24, &&L_u25, &&L_call, &&L_which, &&L_which, &&L_loop, &&L_test, &&L_which,
      &&L_gt, &&L_ge, &&L_lt, &&L_le, &&L_eq, &&L_ne, &&L_and, &&L_or,
      &&L_not, QX_X64(&&L_xor), QX_X16(&&L_xor), QX_X4(&&L_xor), QX_X2(&&L_xor), &&L_xor,
      QX_X64(&&L_store), QX_X64(&&L_store),
  };
  static_assert(sizeof kDispatch / sizeof kDispatch[0] == 256, "one label per code byte");
#undef QX_X64
#undef QX_X16
#undef QX_X4
#undef QX_X2
  QX_NEXT;

  QX_OP(end) return tos;
  QX_OP(cnst) QX_PUSH(*kc++); QX_NEXT;
  QX_OP(var) QX_PUSH(**pp++); QX_NEXT;
  QX_OP(store) *--sb = tos; --sp; tos = sp[-1]; QX_NEXT;
  QX_OP(add) QX_BINARY(T::add); QX_NEXT;
  QX_OP(sub) QX_BINARY(T::sub); QX_NEXT;
  QX_OP(mul) QX_BINARY(T::mul); QX_NEXT;
  QX_OP(div) QX_BINARY(T::div); QX_NEXT;
  QX_OP(pow) QX_BINARY(T::pow); QX_NEXT;
  QX_OP(mov) *pp[-1] = tos; QX_NEXT;
  // One label per one-argument function, so each calls its function directly.
#define QX_UNARY(code) \
  QX_OP(u##code) tos = T::unary(code, tos); QX_NEXT;
  QX_UNARY(11) QX_UNARY(12) QX_UNARY(13) QX_UNARY(14) QX_UNARY(15)
  QX_UNARY(16) QX_UNARY(17) QX_UNARY(18) QX_UNARY(19) QX_UNARY(20)
  QX_UNARY(21) QX_UNARY(22) QX_UNARY(23) QX_UNARY(24) QX_UNARY(25)
#undef QX_UNARY
  QX_OP(gt) QX_LOGIC(cmpGT(T::cmpKey(a), T::cmpKey(b))); QX_NEXT;
  QX_OP(ge) QX_LOGIC(cmpGE(T::cmpKey(a), T::cmpKey(b))); QX_NEXT;
  QX_OP(lt) QX_LOGIC(cmpLT(T::cmpKey(a), T::cmpKey(b))); QX_NEXT;
  QX_OP(le) QX_LOGIC(cmpLE(T::cmpKey(a), T::cmpKey(b))); QX_NEXT;
  QX_OP(eq) QX_LOGIC(cmpEQ(T::cmpKey(a), T::cmpKey(b))); QX_NEXT;
  QX_OP(ne) QX_LOGIC(cmpNE(T::cmpKey(a), T::cmpKey(b))); QX_NEXT;
  QX_OP(and) QX_LOGIC(T::truth(a) && T::truth(b)); QX_NEXT;
  QX_OP(or) QX_LOGIC(T::truth(a) || T::truth(b)); QX_NEXT;
  QX_OP(not) T::setTruth(tos, !T::truth(tos)); QX_NEXT;
  QX_OP(xor) QX_LOGIC(T::truth(a) != T::truth(b)); QX_NEXT;
  QX_OP(call) {
    // Arguments and the function index are in memory already; the top
    // (the slot count) is in tos.
    const int32_t n = T::hidden(tos);
    const int32_t m = T::hidden(sp[-2]);
    V* args = sp - 1 - n;
    if (m >= FN_FIRST_HANDLER) {
      tos = callHandler<T>(m, n - 2, args);
      sp = args + 1;
    } else if (m >= FN_GT) {
      logicalCall<T>(m, args);
      tos = *args;
      sp = args + 1;
    } else if (m == FN_RETURN) {
      E.level = baseLevel;
      return args[0];
    } else {
      QX_SYNC_OUT;
      controlCall<T>(c, m, n - 2, args, baseLevel);
      QX_SYNC_IN;
    }
    QX_NEXT;
  }
  QX_OP(loop) {
    QX_SYNC_OUT;
    loopStart<T>(c);
    QX_SYNC_IN;
    QX_NEXT;
  }
  QX_OP(test) {
    if (!T::truth(sp[-2])) {
      V* B = sp - 1;
      const bool isFor = T::hidden(tos) == 0;
      V* target = isFor ? B - 2 : B - 1;
      QX_SYNC_OUT;
      if (skipForward<T>(c, target, nullptr) == SKIP_AT_CALL) {
        *target = T::zero();
        c.sp = target + 1;
        if (isFor) --E.level;
      }
      QX_SYNC_IN;
    }
    QX_NEXT;
  }
  QX_OP(which) {
    QX_SYNC_OUT;
    whichMarker<T>(c);
    QX_SYNC_IN;
    QX_NEXT;
  }
#undef QX_SYNC_OUT
#undef QX_SYNC_IN
#undef QX_PUSH
#undef QX_BINARY
#undef QX_LOGIC
}

#undef QX_OP
#undef QX_NEXT

// One instance of each kind per engine, compiled in evaluator.cpp only: its dispatch
// loop stays threaded (one indirect jump per code) whatever else a
// translation unit that calls it contains.
extern template RealTraits::Value evaluate<RealTraits, false>(const uint8_t*, RealTraits::Value* const*, RealTraits::Value*,
                                                       const Handover<RealTraits>*) noexcept;
extern template ComplexTraits::Value evaluate<ComplexTraits, false>(const uint8_t*, ComplexTraits::Value* const*,
                                                             ComplexTraits::Value*,
                                                             const Handover<ComplexTraits>*) noexcept;
extern template IntTraits::Value evaluate<IntTraits, false>(const uint8_t*, IntTraits::Value* const*, IntTraits::Value*,
                                                     const Handover<IntTraits>*) noexcept;

}  // namespace qx

// Translation of a compiled row into x86-64 machine code.
//
// The codes of a row have no jump offsets, but everything the interpreter
// finds out while running is fixed when the row is compiled: the stack
// depth at each code, the positions of the constant, variable and
// store-back cursors, the function index and slot count of every call and
// the end of every forward skip. The translator works these out once (by
// the interpreter's own rules) and emits straight machine code:
//
//  * stack values live in registers between codes and are written to their
//    slots of the row's stack area before anything can look at them (a
//    handler, a control-flow helper, a jump to a label); after a call every
//    value is read back from memory, because the call may have changed it;
//  * forward skips become jumps, with the constant copies the interpreter's
//    scan leaves in the stack area;
//  * loops keep their records in the engine's loop table exactly as the
//    interpreter does; the common end of a pass jumps back inline, every
//    other outcome (limits, errors, break, continue) runs the interpreter's
//    own helper and continues at the label of the position it leads to;
//  * whatever cannot continue in machine code (a state the translator did
//    not foresee) hands the evaluation to the interpreter at that point,
//    with the stack in memory, so the result is the interpreter's.
//
// Real and integer arithmetic is inline; complex values stay in memory and
// call the engine's routines.
#include <array>
#include <climits>
#include <cstddef>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "alloc.h"
#include "engine.h"
#include "evaluator/calls.h"
#include "evaluator/evaluator.h"
#include "jit/jit.h"
#include "jit/tier.h"
#include "native_stack.h"
#include "opcodes.h"

#if defined(QX_JIT)
#include <asmjit/x86.h>
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

using namespace asmjit;

// What the translated code and its helpers know of the row. The per-code
// tables (state before the code at each position, 0 .. code length) follow
// the record in the same block.
template <class V>
struct RowInfo : RowCode {
  const uint8_t* code;
  V* const* ptrs;
  V* stack;
  int32_t len;
  int32_t* spOff;  // sp - stack
  int32_t* kOff;   // constants read
  int32_t* pOff;   // variables read
  int32_t* sOff;   // segment stores done
  int32_t* dynId;  // label number for positions a helper may lead to, else -1
};

alignas(JitRuntime) unsigned char gRuntimeStore[sizeof(JitRuntime)];
JitRuntime* gRuntime = nullptr;

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

// Codes as the interpreter's dispatch table treats them.
inline uint8_t canonical(uint8_t op) noexcept {
  if (op >= 128 || op == OP_STORE2) return OP_STORE;
  if (op > OP_XOR) return OP_XOR;
  if (op == OP_WRAP || op == OP_UNUSED28) return OP_WHICH;
  return op;
}

inline bool isBinary(uint8_t op) noexcept { return (op >= OP_ADD && op <= OP_POW) || (op >= OP_GT && op != OP_NOT); }

// ---- helpers called from machine code --------------------------------------

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

// ---- translation ---------------------------------------------------------------

class FirstError : public ErrorHandler {
 public:
  Error err = kErrorOk;
  void handleError(Error e, const char*, BaseEmitter*) override {
    if (err == kErrorOk) err = e;
  }
};

enum Outcome { kOk, kFailed, kUnsupported };

template <class T>
class Translator {
  using V = typename T::Value;
  static constexpr bool kCplx = std::is_same_v<T, ComplexTraits>;
  static constexpr bool kInt = std::is_same_v<T, IntTraits>;
  static constexpr int32_t kSz = static_cast<int32_t>(sizeof(V));
  using Reg = std::conditional_t<kInt, x86::Gp, x86::Xmm>;

  // A stack slot's value lives in the slot's own virtual register (one per
  // stack offset, so that a long formula does not make thousands of them).
  // A constant pushed is loaded only when something uses it (hidden
  // operands never are): until then `lazy` points at it in the value array
  // and the slot's memory is not written yet.
  struct Slot {
    Reg r;
    bool inReg;
    bool dirty;
    bool made;
    const V* lazy;
  };
  struct Scan {
    SkipEnd kind;
    int32_t pos;  // position after the code the scan stopped at
    int32_t sp;
  };

 public:
  Translator(TableView<V>& t, int32_t row) noexcept
      : code_(t.code[row]), ptrs_(t.ptrs[row]), vals_(t.vals[row]), stack_(t.stack[row]),
        len_(t.header[row][H_CODE_LENGTH]), lastSlot_(t.header[row][H_LAST_SLOT]),
        lastArg_(t.header[row][H_LAST_ARG]) {}

  ~Translator() {
    freeTierRaw(work_);
    freeTierRaw(info_);
  }

  Outcome run(RowCode** result) noexcept {
    if (len_ < 0 || code_[len_] != OP_END || lastArg_ > lastSlot_) return kUnsupported;
    const int64_t n = static_cast<int64_t>(len_) + 2;
    // The record with its five tables, and the translator's work tables.
    info_ = static_cast<RowInfo<V>*>(allocTierRaw(1, sizeof(RowInfo<V>) + 5 * n * sizeof(int32_t)));
    work_ = static_cast<int32_t*>(allocTierRaw(8 * n, sizeof(int32_t)));
    slots_ = static_cast<Slot*>(allocTierRaw(n, sizeof(Slot)));
    if (!info_ || !work_ || !slots_) {
      if (slots_) freeTierRaw(slots_);
      slots_ = nullptr;
      return kFailed;
    }
    int32_t* tables = reinterpret_cast<int32_t*>(info_ + 1);
    info_->entry = nullptr;
    info_->code = code_;
    info_->ptrs = ptrs_;
    info_->stack = stack_;
    info_->len = len_;
    info_->spOff = tables;
    info_->kOff = tables + n;
    info_->pOff = tables + 2 * n;
    info_->sOff = tables + 3 * n;
    info_->dynId = tables + 4 * n;
    known_ = work_;
    loopOf_ = work_ + n;
    target_ = work_ + 2 * n;
    scanMem_ = work_ + 3 * n;
    openLoops_ = work_ + 4 * n;
    touched_ = work_ + 5 * n;
    hid1_ = work_ + 6 * n;
    hid2_ = work_ + 7 * n;
    Outcome o = analyze();
    if (o == kOk) o = emit();
    freeTierRaw(slots_);
    slots_ = nullptr;
    if (o == kOk) {
      *result = info_;
      info_ = nullptr;
    }
    return o;
  }

 private:
  const uint8_t* code_;
  V* const* ptrs_;
  V* vals_;
  V* stack_;
  int32_t len_;
  int32_t lastSlot_;
  int32_t lastArg_;
  RowInfo<V>* info_ = nullptr;
  int32_t* work_ = nullptr;
  Slot* slots_ = nullptr;
  int32_t* known_ = nullptr;      // per stack offset: constant index held (linear pass), else -1
  int32_t* loopOf_ = nullptr;     // per position of a loop's closing call: position of its OP_LOOP
  int32_t* target_ = nullptr;     // per position: 1 when code jumps there
  int32_t* scanMem_ = nullptr;    // per stack offset: constant a scan copied there, else -1
  int32_t* openLoops_ = nullptr;  // analysis: stack of open OP_LOOP positions
  int32_t* touched_ = nullptr;    // offsets a scan wrote, in order
  int32_t touchedCount_ = 0;
  int32_t* hid1_ = nullptr;       // per position: the hidden operand on top (marker, slot count)
  int32_t* hid2_ = nullptr;       // per position of a call: its function index

  const V& constant(int32_t k) const noexcept { return ptrs_[0][k]; }

  bool inVals(const V* p) const noexcept { return p >= vals_ && p <= vals_ + lastSlot_; }

  // ---- analysis ----------------------------------------------------------------

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
  int32_t dynCount_ = 0;
  // The row calls handlers, so it may run again while it is running (formula
  // calls, a host function evaluating it): activations share the stack area,
  // and an outer one reads its pending operands back after the call.
  bool reentrant_ = false;

  // A push writes the value it covers to its slot, as the interpreter does,
  // in rows that another activation of the row can follow: that activation
  // reads the slots back (registers hold the value until the next call).
  void pushOver(int32_t off) noexcept {
    if constexpr (!kCplx) {
      if (!reentrant_ || off < 1) return;
      Slot& sl = slots_[off];
      if (sl.lazy) get(off);
      if (sl.inReg && sl.dirty) {
        store(slot(off), sl.r);
        sl.dirty = false;
      }
    }
  }

  int32_t marker(int32_t pos) const noexcept { return hid1_[pos]; }
  int32_t callCount(int32_t pos) const noexcept { return hid1_[pos]; }
  int32_t callIndex(int32_t pos) const noexcept { return hid2_[pos]; }

  // ---- emission ------------------------------------------------------------------

  x86::Compiler* cc_ = nullptr;
  x86::Gp stk_, vb_, eng_, base_, outArg_;
  x86::Mem out_;
  Label* labels_ = nullptr;
  Label* dynLabels_ = nullptr;
  int32_t sp_ = 1;

  x86::Mem slot(int32_t off) const noexcept { return x86::ptr(stk_, off * kSz, static_cast<uint32_t>(kSz)); }
  x86::Mem val(const V* p) const noexcept {
    return x86::ptr(vb_, static_cast<int32_t>((p - vals_) * kSz), static_cast<uint32_t>(kSz));
  }
  x86::Mem field(const void* p, uint32_t size) const noexcept {
    Engine<T>& E = engine<T>();
    return x86::ptr(eng_, static_cast<int32_t>(static_cast<const char*>(p) - reinterpret_cast<const char*>(&E)), size);
  }

  // The register of stack offset off.
  Reg reg(int32_t off) noexcept {
    Slot& sl = slots_[off];
    if (!sl.made) {
      if constexpr (kInt) sl.r = cc_->newGpd();
      else sl.r = cc_->newXmmSd();
      sl.made = true;
    }
    return sl.r;
  }

  // Temporaries of one code: the k-th of a kind is the same virtual
  // register in every code.
  static constexpr int kPool = 12;
  x86::Gp gpdPool_[kPool], ptrPool_[kPool], gpqPool_[kPool];
  x86::Xmm xsdPool_[kPool], xPool_[kPool];
  int nGpd_ = 0, nPtr_ = 0, nGpq_ = 0, nXsd_ = 0, nX_ = 0;
  int uGpd_ = 0, uPtr_ = 0, uGpq_ = 0, uXsd_ = 0, uX_ = 0;
  template <class R, class Make>
  R pooled(R* pool, int& made, int& used, Make make) noexcept {
    if (used < made) return pool[used++];
    R r = make();
    if (made < kPool) {
      pool[made++] = r;
      ++used;
    }
    return r;
  }
  x86::Gp gpd() noexcept { return pooled(gpdPool_, nGpd_, uGpd_, [&] { return cc_->newGpd(); }); }
  x86::Gp gpq() noexcept { return pooled(gpqPool_, nGpq_, uGpq_, [&] { return cc_->newGpq(); }); }
  x86::Gp ptr() noexcept { return pooled(ptrPool_, nPtr_, uPtr_, [&] { return cc_->newIntPtr(); }); }
  x86::Xmm xsd() noexcept { return pooled(xsdPool_, nXsd_, uXsd_, [&] { return cc_->newXmmSd(); }); }
  x86::Xmm x128() noexcept { return pooled(xPool_, nX_, uX_, [&] { return cc_->newXmm(); }); }
  void freeTemps() noexcept { uGpd_ = uPtr_ = uGpq_ = uXsd_ = uX_ = 0; }
  Reg temp() noexcept {
    if constexpr (kInt) return gpd();
    else return xsd();
  }
  x86::Xmm copyX_;
  x86::Gp copyG_;
  x86::Gp condByte_;
  void load(const Reg& r, const x86::Mem& m) noexcept {
    if constexpr (kInt) cc_->mov(r, m);
    else cc_->movsd(r, m);
  }
  void store(const x86::Mem& m, const Reg& r) noexcept {
    if constexpr (kInt) cc_->mov(m, r);
    else cc_->movsd(m, r);
  }
  // 16-byte copy for complex values.
  void copy16(const x86::Mem& dst, const x86::Mem& src) noexcept {
    x86::Xmm x = copyX_;
    x86::Mem s = src, d = dst;
    s.setSize(16);
    d.setSize(16);
    cc_->movups(x, s);
    cc_->movups(d, x);
  }
  void copyValue(const x86::Mem& dst, const x86::Mem& src) noexcept {
    if constexpr (kCplx) {
      copy16(dst, src);
    } else {
      Reg r;
      if constexpr (kInt) r = copyG_;
      else r = copyX_;
      load(r, src);
      store(dst, r);
    }
  }

  Reg get(int32_t off) noexcept {
    Slot& sl = slots_[off];
    if (!sl.inReg) {
      reg(off);
      if (sl.lazy) {
        load(sl.r, val(sl.lazy));
        sl.lazy = nullptr;
        sl.dirty = true;
      } else {
        load(sl.r, slot(off));
        sl.dirty = false;
      }
      sl.inReg = true;
    }
    return sl.r;
  }
  void pushConstant(int32_t off, const V* k) noexcept {
    Slot& sl = slots_[off];
    sl.inReg = false;
    sl.dirty = false;
    sl.lazy = k;
  }
  // The value in r becomes the value of offset off.
  void put(int32_t off, const Reg& r) noexcept {
    Reg home = reg(off);
    if (r.id() != home.id()) {
      if constexpr (kInt) cc_->mov(home, r);
      else cc_->movapd(home, r);
    }
    Slot& sl = slots_[off];
    sl.inReg = true;
    sl.dirty = true;
    sl.lazy = nullptr;
  }

  // Complex values live in memory, but the top of the stack lives in top_
  // (a frame value, as the interpreter keeps it in a local): its slot is
  // written only where the interpreter writes it (a push over it, a control
  // function), because recursive activations of the row share the slots.
  // The second half of the 32-byte area takes a second operand.
  int32_t ctop_ = -1;  // offset whose value is in top_, else -1
  x86::Mem top_;
  x86::Mem cval(int32_t off) const noexcept { return kCplx && off == ctop_ ? top_ : slot(off); }
  x86::Mem second() const noexcept {
    x86::Mem m = top_;
    m.addOffset(16);
    return m;
  }
  // The two operands of a binary code to top_ and second(); the result goes to top_.
  void cplxOperands(int32_t a, int32_t b) noexcept {
    copy16(second(), cval(b));
    copy16(top_, slot(a));
    ctop_ = a;
  }
  void cplxPush(const x86::Mem& src) noexcept {
    writeBack(sp_);
    copy16(top_, src);
    ctop_ = sp_;
  }

  // Writes register values of offsets below `limit` to their slots.
  void writeBack(int32_t limit) noexcept {
    if constexpr (kCplx) {
      if (ctop_ >= 0 && ctop_ < limit) copy16(slot(ctop_), top_);
      if (ctop_ < limit) ctop_ = -1;
    } else {
      for (int32_t i = 0; i < limit; ++i) {
        if (slots_[i].lazy) get(i);
        if (slots_[i].inReg && slots_[i].dirty) {
          store(slot(i), slots_[i].r);
          slots_[i].dirty = false;
        }
      }
    }
  }
  // Stores register values of offsets below `limit` on a path that leaves
  // the straight line (the model stays as it is for the path that goes on).
  void spill(int32_t limit) noexcept {
    if constexpr (kCplx) {
      if (ctop_ >= 0 && ctop_ < limit) copy16(slot(ctop_), top_);
    } else {
      for (int32_t i = 0; i < limit; ++i) {
        if (slots_[i].lazy) copyValue(slot(i), val(slots_[i].lazy));
        else if (slots_[i].inReg && slots_[i].dirty) store(slot(i), slots_[i].r);
      }
    }
  }
  void forgetAll() noexcept {
    ctop_ = -1;
    for (int32_t i = 0; i <= len_ + 1; ++i) {
      slots_[i].inReg = false;
      slots_[i].lazy = nullptr;
    }
  }

  x86::Gp lea(const x86::Mem& m) noexcept {
    x86::Gp g = ptr();
    cc_->lea(g, m);
    return g;
  }

  // Calls fn with the given signature; up to four arguments.
  InvokeNode* invoke(const void* fn, const FuncSignature& sig) noexcept {
    InvokeNode* node = nullptr;
    cc_->invoke(&node, reinterpret_cast<uint64_t>(fn), sig);
    return node;
  }

  // The value at off (its real part in the complex engine) in a register.
  x86::Xmm realPartOf(int32_t off) noexcept {
    if constexpr (kCplx) {
      x86::Xmm v = xsd();
      x86::Mem m = cval(off);
      m.setSize(8);
      cc_->movsd(v, m);
      return v;
    } else {
      return get(off);
    }
  }
  // A byte register set to the value's truth.
  x86::Gp truthOf(int32_t off) noexcept {
    x86::Gp b = gpd();
    if constexpr (kInt) {
      cc_->cmp(get(off), 0);
      cc_->setg(b.r8());
    } else {
      x86::Xmm v = realPartOf(off);
      x86::Xmm z = xsd();
      cc_->xorpd(z, z);
      cc_->ucomisd(v, z);
      cc_->seta(b.r8());
    }
    cc_->movzx(b, b.r8());
    return b;
  }
  // Jumps to `to` when the value at off is true (no register change).
  void jumpIfTrue(int32_t off, const Label& to) noexcept {
    if constexpr (kInt) {
      cc_->cmp(get(off), 0);
      cc_->jg(to);
    } else {
      x86::Xmm v = realPartOf(off);
      x86::Xmm z = xsd();
      cc_->xorpd(z, z);
      cc_->ucomisd(v, z);
      cc_->ja(to);
    }
  }

  // Value of a truth byte b (0 or 1) as 1 or -1, placed on offset off.
  void putTruth(int32_t off, const x86::Gp& b) noexcept {
    x86::Gp w = gpd();
    cc_->lea(w, x86::ptr(b.r64(), b.r64(), 0, -1));  // 2b - 1
    if constexpr (kInt) {
      put(off, w);
    } else {
      x86::Xmm r = reg(off);
      cc_->xorpd(r, r);
      cc_->cvtsi2sd(r, w);
      put(off, r);
    }
  }

  void recordError(int32_t number, const char* name) noexcept {
    Engine<T>& E = engine<T>();
    Label done = cc_->newLabel();
    cc_->cmp(field(&E.err.number, 4), 0);
    cc_->jne(done);
    cc_->mov(field(&E.err.number, 4), number);
    x86::Gp n = ptr();
    cc_->mov(n, reinterpret_cast<uint64_t>(name));
    cc_->mov(field(&E.err.name, 8), n);
    cc_->bind(done);
  }

  void emitReturn(int32_t off) noexcept {
    if constexpr (kCplx) {
      copy16(x86::ptr(outArg_, 0, 16), cval(off));
      cc_->ret();
    } else {
      cc_->ret(get(off));
    }
  }
  void returnOut() noexcept {
    if constexpr (kCplx) {
      copy16(x86::ptr(outArg_, 0, 16), out_);
      cc_->ret();
    } else {
      Reg r = temp();
      x86::Mem m = out_;
      m.setSize(kSz);
      load(r, m);
      cc_->ret(r);
    }
  }

  // The interpreter runs the rest of the row from position pos.
  void emitResume(int32_t pos) noexcept {
    spill(sp_);
    x86::Gp out = lea(out_);
    InvokeNode* n = invoke(reinterpret_cast<const void*>(&resumeHelper<T>),
                           FuncSignatureT<void, const void*, int32_t, int32_t, void*>());
    n->setArg(0, Imm(reinterpret_cast<intptr_t>(info_)));
    n->setArg(1, Imm(pos));
    n->setArg(2, base_);
    n->setArg(3, out);
    returnOut();
  }

  // A control helper ran at position pos; continue at its label.
  void emitControlHelper(int32_t pos) noexcept {
    spill(sp_);
    x86::Gp out = lea(out_);
    InvokeNode* n = invoke(reinterpret_cast<const void*>(&controlHelper<T>),
                           FuncSignatureT<int32_t, const void*, int32_t, int32_t, void*>());
    x86::Gp id = gpd();
    n->setArg(0, Imm(reinterpret_cast<intptr_t>(info_)));
    n->setArg(1, Imm(pos));
    n->setArg(2, base_);
    n->setArg(3, out);
    n->setRet(0, id);
    for (int32_t d = 0; d < dynCount_; ++d) {
      cc_->cmp(id, d);
      cc_->je(dynLabels_[d]);
    }
    returnOut();
  }

  // Memory writes of a scan: the constants it copied into the stack area.
  void emitScanCopies() noexcept {
    for (int32_t i = 0; i < touchedCount_; ++i) {
      const int32_t off = touched_[i];
      copyValue(slot(off), val(ptrs_[0] + scanMem_[off]));
    }
  }

  void storeZero(int32_t off) noexcept {
    if constexpr (kCplx) {
      x86::Xmm z = x128();
      cc_->xorps(z, z);
      x86::Mem m = slot(off);
      m.setSize(16);
      cc_->movups(m, z);
    } else if constexpr (kInt) {
      cc_->mov(slot(off), 0);
    } else {
      x86::Xmm z = xsd();
      cc_->xorpd(z, z);
      cc_->movsd(slot(off), z);
    }
  }

  void emitBinary(uint8_t op) noexcept {
    const int32_t a = sp_ - 2, b = sp_ - 1;
    if constexpr (kCplx) {
      const void* fn = nullptr;
      switch (op) {
        case OP_ADD: fn = reinterpret_cast<const void*>(&binaryInPlace<T, OP_ADD>); break;
        case OP_SUB: fn = reinterpret_cast<const void*>(&binaryInPlace<T, OP_SUB>); break;
        case OP_MUL: fn = reinterpret_cast<const void*>(&binaryInPlace<T, OP_MUL>); break;
        case OP_DIV: fn = reinterpret_cast<const void*>(&binaryInPlace<T, OP_DIV>); break;
        default: fn = reinterpret_cast<const void*>(&binaryInPlace<T, OP_POW>); break;
      }
      cplxOperands(a, b);
      x86::Gp pa = lea(top_);
      InvokeNode* n = invoke(fn, FuncSignatureT<void, void*>());
      n->setArg(0, pa);
    } else if (op == OP_POW) {
      Reg x = get(a), y = get(b);
      InvokeNode* n = invoke(reinterpret_cast<const void*>(&powHelper<T>), FuncSignatureT<V, V, V>());
      Reg r = reg(a);
      n->setArg(0, x);
      n->setArg(1, y);
      n->setRet(0, r);
      put(a, r);
    } else if constexpr (kInt) {
      x86::Gp x = get(a), y = get(b);
      x86::Gp r = gpd();
      if (op == OP_DIV) {
        // Division by 0 gives 0, by -1 the wrapped negation: never a trap.
        Label zero = cc_->newLabel(), neg = cc_->newLabel(), done = cc_->newLabel();
        x86::Gp q = gpd(), rem = gpd();
        cc_->test(y, y);
        cc_->jz(zero);
        cc_->cmp(y, -1);
        cc_->je(neg);
        cc_->mov(q, x);
        cc_->cdq(rem, q);
        cc_->idiv(rem, q, y);
        cc_->mov(r, q);
        cc_->jmp(done);
        cc_->bind(neg);
        cc_->mov(r, x);
        cc_->neg(r);
        cc_->jmp(done);
        cc_->bind(zero);
        cc_->xor_(r, r);
        cc_->bind(done);
      } else {
        cc_->mov(r, x);
        if (op == OP_ADD) cc_->add(r, y);
        else if (op == OP_SUB) cc_->sub(r, y);
        else cc_->imul(r, y);
      }
      put(a, r);
    } else {
      x86::Xmm r = get(a), y = get(b);  // in place: the slot's register
      if (op == OP_ADD) cc_->addsd(r, y);
      else if (op == OP_SUB) cc_->subsd(r, y);
      else if (op == OP_MUL) cc_->mulsd(r, y);
      else cc_->divsd(r, y);
      put(a, r);
    }
    --sp_;
  }

  void emitUnary(uint8_t op) noexcept {
    static const auto table = unaryTable<T>(std::make_index_sequence<kLastUnary - kFirstUnary + 1>{});
    const int32_t a = sp_ - 1;
    const void* fn = reinterpret_cast<const void*>(table[op - kFirstUnary]);
    if constexpr (kCplx) {
      if (ctop_ != a) copy16(top_, slot(a));
      ctop_ = a;
      x86::Gp pa = lea(top_);
      InvokeNode* n = invoke(fn, FuncSignatureT<void, void*>());
      n->setArg(0, pa);
    } else {
      if constexpr (!kInt) {
        if (op == 11) {  // sqrt: the instruction is the library's function
          x86::Xmm r = get(a);
          cc_->sqrtsd(r, r);
          put(a, r);
          return;
        }
      }
      Reg x = get(a);
      InvokeNode* n = invoke(fn, FuncSignatureT<V, V>());
      Reg r = reg(a);
      n->setArg(0, x);
      n->setRet(0, r);
      put(a, r);
    }
  }

  void emitLogic(uint8_t op) noexcept {
    const int32_t m = op - 24;
    if constexpr (kCplx) {
      const int32_t a = op == OP_NOT ? sp_ - 1 : sp_ - 2;
      if (op != OP_NOT) cplxOperands(a, a + 1);
      else if (ctop_ != a) copy16(top_, slot(a));
      ctop_ = a;
      x86::Gp pa = lea(top_);
      InvokeNode* n = invoke(reinterpret_cast<const void*>(&logicHelper<T>), FuncSignatureT<void, int32_t, void*>());
      n->setArg(0, Imm(m));
      n->setArg(1, pa);
      if (op != OP_NOT) --sp_;
      return;
    } else {
      if (op == OP_NOT) {
        x86::Gp t = truthOf(sp_ - 1);
        cc_->xor_(t, 1);
        putTruth(sp_ - 1, t);
        return;
      }
      const int32_t a = sp_ - 2, b = sp_ - 1;
      x86::Gp t = gpd();
      if (op >= OP_GT && op <= OP_NE) {
        if constexpr (kInt) cc_->cmp(get(a), get(b));
        else cc_->ucomisd(get(a), get(b));
        switch (op) {
          case OP_GT: kInt ? cc_->setg(t.r8()) : cc_->seta(t.r8()); break;
          case OP_GE: kInt ? cc_->setge(t.r8()) : cc_->setae(t.r8()); break;
          case OP_LT: kInt ? cc_->setl(t.r8()) : cc_->setb(t.r8()); break;
          case OP_LE: kInt ? cc_->setle(t.r8()) : cc_->setbe(t.r8()); break;
          case OP_EQ: cc_->sete(t.r8()); break;
          default: cc_->setne(t.r8()); break;
        }
        cc_->movzx(t, t.r8());
        cc_->mov(condByte_, t);  // for a test that follows at once
      } else if (op == OP_XOR) {
        x86::Gp x = truthOf(a), y = truthOf(b);
        cc_->mov(t, x);
        cc_->xor_(t, y);
      } else {
        // and / or decided by the first operand do not wait for the second:
        // in "(v=expr)" the value assigned does not depend on v's old
        // value through them.
        get(b);
        Label done = cc_->newLabel();
        x86::Gp x = truthOf(a);
        cc_->mov(t, x);
        cc_->test(x, x);
        if (op == OP_AND) cc_->jz(done);
        else cc_->jnz(done);
        x86::Gp y = truthOf(b);
        cc_->mov(t, y);
        cc_->bind(done);
      }
      putTruth(a, t);
      --sp_;
    }
  }

  void emitCall(int32_t pos) noexcept {
    Engine<T>& E = engine<T>();
    const int32_t cnt = callCount(pos), m = callIndex(pos);
    const int32_t a = sp_ - 1 - cnt;
    if (m >= FN_FIRST_HANDLER || (m >= FN_GT && m <= FN_XOR)) {
      // Arguments and the index in memory; the count stays where it is.
      writeBack(sp_ - 1);
      forgetAll();
      x86::Gp pa = lea(slot(a));
      if (m <= FN_XOR) {
        InvokeNode* n = invoke(reinterpret_cast<const void*>(&logicHelper<T>), FuncSignatureT<void, int32_t, void*>());
        n->setArg(0, Imm(m));
        n->setArg(1, pa);
      } else if constexpr (kCplx) {
        x86::Gp po = lea(top_);
        InvokeNode* n = invoke(reinterpret_cast<const void*>(&handlerToSlot<T>),
                               FuncSignatureT<void, int32_t, int32_t, void*, void*>());
        n->setArg(0, Imm(m));
        n->setArg(1, Imm(cnt - 2));
        n->setArg(2, pa);
        n->setArg(3, po);
        ctop_ = a;
      } else {
        InvokeNode* n = invoke(reinterpret_cast<const void*>(&handlerHelper<T>),
                               FuncSignatureT<V, int32_t, int32_t, void*>());
        Reg r = reg(a);
        n->setArg(0, Imm(m));
        n->setArg(1, Imm(cnt - 2));
        n->setArg(2, pa);
        n->setRet(0, r);
        put(a, r);
      }
      sp_ = a + 1;
      return;
    }
    if (m == FN_RETURN) {
      cc_->mov(field(&E.level, 4), base_);
      emitReturn(a);
      live_ = false;
      return;
    }
    if (m == FN_IF || m == FN_ONE || (m == FN_WHICH && cnt - 2 >= 0)) {
      // The call's value goes to its first slot, in memory as well.
      writeBack(sp_);
      if (m == FN_WHICH) copyValue(slot(a), slot(a + cnt - 2));
      else storeZero(a);
      forgetAll();
      sp_ = a + 1;
      return;
    }
    if ((m == FN_FOR || m == FN_DOWHILE) && loopOf_[pos] >= 0) {
      // The usual end of a pass: count it and go back to the loop's start.
      // Only the slots up to the loop's index slot live on into the next pass.
      if (m == FN_DOWHILE) get(a + cnt - 2);
      Label slow = cc_->newLabel();
      x86::Gp lvl = gpd(), rec = ptr(), tmp = ptr(), it = gpd();
      cc_->mov(lvl, field(&E.level, 4));
      cc_->cmp(lvl, base_);
      cc_->jle(slow);
      cc_->cmp(field(&E.err.number, 4), 0);
      cc_->jne(slow);
      // An interrupt request takes the helper's path, which records it and
      // ends the loop as the interpreter does.
      cc_->mov(tmp, reinterpret_cast<uint64_t>(&gInterrupt));
      cc_->cmp(x86::dword_ptr(tmp), 0);
      cc_->jne(slow);
      recordAddress(rec, tmp, lvl);
      cc_->mov(tmp, reinterpret_cast<uint64_t>(code_ + loopOf_[pos] + 1));
      cc_->cmp(x86::qword_ptr(rec, static_cast<int32_t>(offsetof(LoopRecord<V>, pc))), tmp);
      cc_->jne(slow);
      cc_->mov(it, x86::dword_ptr(rec, static_cast<int32_t>(offsetof(LoopRecord<V>, iter))));
      cc_->add(it, 1);
      cc_->cmp(it, field(&E.iterLimit, 4));
      cc_->jg(slow);
      if (m == FN_DOWHILE) {
        Label again = cc_->newLabel();
        jumpIfTrue(a + cnt - 2, again);
        cc_->jmp(slow);
        cc_->bind(again);
      }
      cc_->mov(x86::dword_ptr(rec, static_cast<int32_t>(offsetof(LoopRecord<V>, iter))), it);
      spill(a + 1);
      cc_->jmp(dynLabels_[info_->dynId[loopOf_[pos] + 1]]);
      cc_->bind(slow);
    }
    emitControlHelper(pos);
    live_ = false;
  }

  // rec = &E.loops[level].
  void recordAddress(const x86::Gp& rec, const x86::Gp& tmp, const x86::Gp& level) noexcept {
    Engine<T>& E = engine<T>();
    static_assert(sizeof(LoopRecord<V>) == 40, "loop records are 5 * 8 bytes");
    cc_->mov(rec, field(&E.loops, 8));
    cc_->movsxd(tmp, level);
    cc_->lea(tmp, x86::ptr(tmp, tmp, 2));       // 5 * level
    cc_->lea(rec, x86::ptr(rec, tmp, 3));       // + 8 * that
  }

  void emitLoop(int32_t pos) noexcept {
    Engine<T>& E = engine<T>();
    Label slow = cc_->newLabel(), ok = cc_->newLabel();
    x86::Gp nl = gpd(), rec = ptr(), tmp = ptr();
    cc_->mov(nl, field(&E.level, 4));
    cc_->add(nl, 1);
    cc_->cmp(nl, field(&E.levelLimit, 4));
    cc_->jge(slow);
    cc_->cmp(nl, field(&E.loopCap, 4));
    cc_->jge(slow);
    cc_->mov(field(&E.level, 4), nl);
    recordAddress(rec, tmp, nl);
    const Cursors<T> c = cursorsAt<T>(info_, pos + 1);
    auto put64 = [&](std::size_t off, const void* p) {
      cc_->mov(tmp, reinterpret_cast<uint64_t>(p));
      cc_->mov(x86::qword_ptr(rec, static_cast<int32_t>(off)), tmp);
    };
    put64(offsetof(LoopRecord<V>, pc), c.pc);
    put64(offsetof(LoopRecord<V>, pp), c.pp);
    put64(offsetof(LoopRecord<V>, kc), c.kc);
    put64(offsetof(LoopRecord<V>, sp), c.sp);
    cc_->mov(x86::dword_ptr(rec, static_cast<int32_t>(offsetof(LoopRecord<V>, iter))), 0);
    cc_->jmp(ok);
    cc_->bind(slow);
    // Level limit: error -2, the whole loop call is skipped and yields 0.
    const int32_t idx = sp_ - 1;
    Scan sc;
    if (scan(pos + 1, sp_, idx, -1, sc) && sc.kind == SKIP_AT_CALL && idx + 1 == info_->spOff[sc.pos] &&
        target_[sc.pos]) {
      spill(sp_);
      recordError(-2, builtinName<T>(marker(pos) == 1 ? FN_DOWHILE : FN_FOR));
      emitScanCopies();
      storeZero(idx);
      cc_->jmp(labels_[sc.pos]);
    } else {
      emitResume(pos);
    }
    cc_->bind(ok);
  }

  void emitTest(int32_t pos) noexcept {
    Engine<T>& E = engine<T>();
    const int32_t B = sp_ - 1;
    const bool isFor = marker(pos) == 0;
    const int32_t tgt = isFor ? B - 2 : B - 1;
    Label cont = cc_->newLabel();
    const uint8_t before = pos >= 2 ? canonical(code_[pos - 2]) : 0;
    if (!kCplx && before >= OP_GT && before <= OP_NE && canonical(code_[pos - 1]) == OP_CONST && !target_[pos - 1] &&
        !target_[pos]) {
      // The condition was computed by the comparison just before: its
      // truth is still in condByte_.
      cc_->test(condByte_, condByte_);
      cc_->jnz(cont);
    } else {
      jumpIfTrue(sp_ - 2, cont);
    }
    Scan sc;
    if (scan(pos + 1, sp_, tgt, -1, sc) && sc.kind == SKIP_AT_CALL && tgt + 1 == info_->spOff[sc.pos] &&
        target_[sc.pos]) {
      spill(sp_);
      emitScanCopies();
      storeZero(tgt);
      if (isFor) cc_->dec(field(&E.level, 4));
      cc_->jmp(labels_[sc.pos]);
    } else {
      emitResume(pos);
    }
    cc_->bind(cont);
  }

  void emitWhich(int32_t pos) noexcept {
    const int32_t k = marker(pos);
    const int32_t top = sp_ - 1;
    Scan sc;
    if (k & 1) {
      Label cont = cc_->newLabel();
      jumpIfTrue(top - 1, cont);
      const int32_t W = top - (2 * k - 1);
      if (scan(pos + 1, sp_, W, top, sc) && target_[sc.pos] &&
          ((sc.kind == SKIP_AT_CALL && W + 1 == info_->spOff[sc.pos]) ||
           (sc.kind == SKIP_AT_WHICH && sc.sp == info_->spOff[sc.pos]))) {
        spill(sp_);
        emitScanCopies();
        if (sc.kind == SKIP_AT_CALL) recordError(1, builtinName<T>(FN_WHICH));
        cc_->jmp(labels_[sc.pos]);
      } else {
        emitResume(pos);
      }
      cc_->bind(cont);
    } else {
      writeBack(sp_);
      const int32_t B = top - 1, W = B - (2 * k - 2);
      if (scan(pos + 1, sp_, W, -1, sc) && sc.kind == SKIP_AT_CALL && W + 1 == info_->spOff[sc.pos] &&
          target_[sc.pos]) {
        emitScanCopies();
        copyValue(slot(W), slot(B));
        cc_->jmp(labels_[sc.pos]);
      } else {
        emitResume(pos);
      }
      live_ = false;
    }
  }

  bool live_ = true;
  int32_t assignEnd_ = -1;
  Label assignDone_;

  // "(v=expr)" compiles to expr, CONST 1, CONST 0, VAR v, AND, ADD, SUB,
  // MOV: expr - (1 + and(0, v)), which is expr itself, stored into v. When
  // the two constants still hold 1 and 0 the machine code stores expr
  // directly; otherwise it runs the seven codes as written.
  void emitAssignmentShortcut(int32_t pos) noexcept {
    if constexpr (kCplx) {
      return;
    } else {
      static const uint8_t kShape[7] = {OP_CONST, OP_CONST, OP_VAR, OP_AND, OP_ADD, OP_SUB, OP_MOV};
      if (pos + 7 > len_ || sp_ < 2) return;
      for (int32_t i = 0; i < 7; ++i)
        if (canonical(code_[pos + i]) != kShape[i] || (i > 0 && target_[pos + i])) return;
      V* dst = ptrs_[info_->pOff[pos + 6]];
      if (!inVals(dst)) return;
      const V* one = ptrs_[0] + info_->kOff[pos];
      const V* zero = one + 1;
      Reg v = get(sp_ - 1);
      Label general = cc_->newLabel();
      assignDone_ = cc_->newLabel();
      if constexpr (kInt) {
        cc_->cmp(val(one), 1);
        cc_->jne(general);
        cc_->cmp(val(zero), 0);
        cc_->jne(general);
      } else {
        cc_->cmp(x86::dword_ptr(vb_, static_cast<int32_t>((one - vals_) * kSz + 4)), 0x3FF00000);
        cc_->jne(general);
        cc_->cmp(x86::dword_ptr(vb_, static_cast<int32_t>((one - vals_) * kSz)), 0);
        cc_->jne(general);
        cc_->cmp(x86::qword_ptr(vb_, static_cast<int32_t>((zero - vals_) * kSz)), 0);
        cc_->jne(general);
      }
      store(val(dst), v);
      if (reentrant_) {
        // The three pushes skipped here write what they cover to the stack
        // area (the value, 1, 0; on this path the constants are exactly 1
        // and 0); an activation of the row suspended in a call reads those
        // slots after the call, and so does a host function whose
        // arguments lie there.
        const int32_t e = sp_ - 1;
        store(slot(e), v);
        if constexpr (kInt) {
          cc_->mov(slot(e + 1), 1);
        } else {
          x86::Gp bits = gpq();
          cc_->mov(bits, uint64_t{0x3FF0000000000000});
          cc_->mov(slot(e + 1), bits);
        }
        cc_->mov(slot(e + 2), 0);
      }
      cc_->jmp(assignDone_);
      cc_->bind(general);
      assignEnd_ = pos + 7;
    }
  }

  Outcome emit() noexcept {
    markTargets();
    JitRuntime* rt = runtime();
    CodeHolder holder;
    FirstError errors;
    if (holder.init(rt->environment()) != kErrorOk) return kFailed;
    holder.setErrorHandler(&errors);
    x86::Compiler cc(&holder);
    cc_ = &cc;
    Engine<T>& E = engine<T>();

    FuncNode* fn = nullptr;
    if constexpr (kCplx) fn = cc.addFunc(FuncSignatureT<void, void*, const void*>());
    else fn = cc.addFunc(FuncSignatureT<V, const void*>());
    if (!fn) return kFailed;
    x86::Gp args = cc.newIntPtr();
    if constexpr (kCplx) {
      outArg_ = cc.newIntPtr();
      fn->setArg(0, outArg_);
      fn->setArg(1, args);
    } else {
      fn->setArg(0, args);
    }
    stk_ = cc.newIntPtr();
    vb_ = cc.newIntPtr();
    eng_ = cc.newIntPtr();
    base_ = cc.newGpd();
    out_ = cc.newStack(16, 16);
    top_ = cc.newStack(32, 16);
    top_.setSize(16);
    copyX_ = cc.newXmm();
    copyG_ = kInt ? cc.newGpd() : cc.newGpq();
    condByte_ = cc.newGpd();
    for (int32_t i = 0; i <= len_ + 1; ++i) slots_[i].made = false;
    cc.mov(stk_, reinterpret_cast<uint64_t>(stack_));
    cc.mov(vb_, reinterpret_cast<uint64_t>(vals_));
    cc.mov(eng_, reinterpret_cast<uint64_t>(&E));
    cc.mov(base_, field(&E.level, 4));
    // The first push of the interpreter writes its initial top (zero) to
    // slot 0.
    storeZero(0);
    // The host's arguments to the parameter slots, when given.
    {
      Label none = cc.newLabel();
      cc.test(args, args);
      cc.jz(none);
      for (int32_t i = 0; i <= lastArg_; ++i) {
        if constexpr (kCplx) {
          copy16(val(vals_ + i), x86::ptr(args, i * kSz, 16));
        } else {
          x86::Gp g = kInt ? gpd() : gpq();
          cc.mov(g, x86::ptr(args, i * kSz, static_cast<uint32_t>(kSz)));
          cc.mov(val(vals_ + i), g);
        }
      }
      cc.bind(none);
    }

    labels_ = static_cast<Label*>(allocTierRaw(static_cast<int64_t>(len_) + 2, sizeof(Label)));
    dynLabels_ = static_cast<Label*>(allocTierRaw(dynCount_ > 0 ? dynCount_ : 1, sizeof(Label)));
    if (!labels_ || !dynLabels_) {
      freeTierRaw(labels_);
      freeTierRaw(dynLabels_);
      labels_ = dynLabels_ = nullptr;
      return kFailed;
    }
    for (int32_t pos = 0; pos <= len_ + 1; ++pos) new (&labels_[pos]) Label();
    for (int32_t pos = 0; pos <= len_; ++pos) {
      if (info_->dynId[pos] >= 0) {
        labels_[pos] = cc.newLabel();
        target_[pos] = 1;
        new (&dynLabels_[info_->dynId[pos]]) Label(labels_[pos]);
      } else if (target_[pos]) {
        labels_[pos] = cc.newLabel();
      }
    }

    forgetAll();
    live_ = true;
    assignEnd_ = -1;
    for (int32_t pos = 0; pos <= len_; ++pos) {
      if (pos == assignEnd_) {
        // Both ways through an assignment meet here, the value in the
        // register of its slot.
        cc.bind(assignDone_);
        slots_[info_->spOff[pos] - 1].inReg = true;
        slots_[info_->spOff[pos] - 1].dirty = true;
        slots_[info_->spOff[pos] - 1].lazy = nullptr;
        assignEnd_ = -1;
      }
      if (target_[pos]) {
        if (live_) writeBack(sp_);
        cc.bind(labels_[pos]);
        forgetAll();
        live_ = true;
      }
      sp_ = info_->spOff[pos];
      freeTemps();
      if (!live_) continue;
      if (assignEnd_ < 0) emitAssignmentShortcut(pos);
      const uint8_t op = canonical(code_[pos]);
      const int32_t k = info_->kOff[pos], p = info_->pOff[pos], st = info_->sOff[pos];
      switch (op) {
        case OP_END:
          emitReturn(sp_ - 1);
          live_ = false;
          break;
        case OP_CONST:
          if constexpr (kCplx) {
            cplxPush(val(ptrs_[0] + k));
          } else {
            pushOver(sp_ - 1);
            pushConstant(sp_, ptrs_[0] + k);
          }
          break;
        case OP_VAR:
          if (!inVals(ptrs_[1 + p])) goto unsupported;
          if constexpr (kCplx) {
            cplxPush(val(ptrs_[1 + p]));
          } else {
            pushOver(sp_ - 1);
            Reg r = reg(sp_);
            load(r, val(ptrs_[1 + p]));
            put(sp_, r);
          }
          break;
        case OP_STORE: {
          V* dst = ptrs_[0] - st - 1;
          if (!inVals(dst)) goto unsupported;
          if constexpr (kCplx) copy16(val(dst), cval(sp_ - 1)), ctop_ = -1;  // the new top is in memory
          else store(val(dst), get(sp_ - 1));
          break;
        }
        case OP_MOV: {
          V* dst = ptrs_[p];
          if (!inVals(dst)) goto unsupported;
          if constexpr (kCplx) copy16(val(dst), cval(sp_ - 1));
          else store(val(dst), get(sp_ - 1));
          break;
        }
        case OP_CALL: emitCall(pos); break;
        case OP_LOOP: emitLoop(pos); break;
        case OP_TEST: emitTest(pos); break;
        case OP_WHICH: emitWhich(pos); break;
        default:
          if (op >= OP_ADD && op <= OP_POW) emitBinary(op);
          else if (op >= kFirstUnary && op <= kLastUnary) emitUnary(op);
          else if (op >= OP_GT) emitLogic(op);
          else goto unsupported;
          break;
      }
      if (!live_) forgetAll();
    }
    if (live_) {
      // Cannot happen: the last code is OP_END.
      goto unsupported;
    }
    cc.endFunc();
    freeTierRaw(labels_);
    freeTierRaw(dynLabels_);
    labels_ = dynLabels_ = nullptr;
    if (cc.finalize() != kErrorOk || errors.err != kErrorOk) return kFailed;
    {
      void* entry = nullptr;
      if (!tierMayAllocate() || rt->_add(&entry, &holder) != kErrorOk || !entry) return kFailed;
      info_->entry = entry;
    }
    return kOk;

  unsupported:
    freeTierRaw(labels_);
    freeTierRaw(dynLabels_);
    labels_ = dynLabels_ = nullptr;
    return kUnsupported;
  }
};

}  // namespace

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

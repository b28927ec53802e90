// Lane code: many evaluations of one row at once, for the bulk calls.
//
// A row whose evaluations may run in any order (order_free.h) gets a
// second function next to its scalar one:
//
//   bool lanes(int32_t i0, int32_t i1, const double* args, int32_t rowStride,
//              int32_t argStride, double* results, double* vals)
//
// It runs evaluations i0 .. i1-1: evaluation i takes parameter k from
// args[i*rowStride + k*argStride] and writes its value to results[i]. All
// value-array addresses (parameters, slots, constants) are taken relative
// to `vals`, so the function runs on the row's own array or on a copy of
// it. Evaluations go W at a time, one per lane of a vector register (4 with
// AVX2, else 2), and the last one to 4 go one at a time through the same
// emitter with one lane; only those write the value array, so afterwards it
// holds what the last evaluation left, as the loop of single calls leaves
// it. Nothing else can see the array or the stack area in between.
//
// An assignment "(v=expr)" compiles to expr - (1 + and(0, v)), which reads
// v before it writes it; its value does not depend on v as long as the
// constant 0 there is not true, which the host could change through the
// value array (the same holds for any `and` with a constant before it). The lane function checks those constants first and returns
// false without running anything when one has become true (the caller then
// runs the loop of single evaluations); otherwise it returns true.
//
// Every lane gets the interpreter's bits: + - * / and sqrt are the packed
// forms of the scalar instructions (same rounding); ^ and the other
// functions call the engine's own functions lane by lane (helpers.h);
// comparisons use the predicates that match the interpreter's tests on
// unordered operands, and truth values come out as exactly 1 or -1.
#pragma once
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "alloc.h"
#include "engine.h"
#include "jit/helpers.h"
#include "jit/row_info.h"
#include "opcodes.h"
#include "order_free.h"

namespace qx::jit {

// The widest lanes a translation may use (setLaneWidth); 0: the processor's.
extern int32_t gLaneWidth;

template <class T>
class LaneTranslator {
  using V = typename T::Value;
  static_assert(std::is_same_v<T, RealTraits>, "lanes are emitted for the real engine");
  static constexpr int32_t kSz = 8;

 public:
  LaneTranslator(const uint8_t* code, V* const* ptrs, const V* vals, int32_t len, int32_t lastSlot, int32_t lastArg,
                 const RowInfo<V>* info) noexcept
      : code_(code), ptrs_(ptrs), vals_(vals), len_(len), lastSlot_(lastSlot), lastArg_(lastArg), info_(info) {}

  ~LaneTranslator() {
    freeTierRaw(written_);
    freeTierRaw(guards_);
    freeTierRaw(vars_);
    freeTierRaw(stack_);
  }

  // The width the processor and setLaneWidth allow: 4, 2, or 1 (no lanes).
  static int32_t width() noexcept {
    int32_t w = asmjit::CpuInfo::host().hasFeature(asmjit::CpuFeatures::X86::kAVX2) ? 4 : 2;
#if defined(_WIN32)
    // The Windows convention keeps only the low 128 bits of xmm6-15 across
    // a call: 256-bit values would not survive the calls to the engine's
    // functions.
    w = 2;
#endif
    if (gLaneWidth > 0 && gLaneWidth < w) w = gLaneWidth;
    return w;
  }

  // The lane function of the row, or null when the row's evaluations may
  // not be reordered, or on any failure (the row then runs the loop of
  // single evaluations). `*w` is the width used.
  void* translate(int32_t* wOut) noexcept {
    const int32_t w = width();
    if (w < 2 || !orderFree()) return nullptr;
    const int64_t slots = static_cast<int64_t>(lastSlot_) + 1;
    vars_ = static_cast<x86::Vec*>(allocTierRaw(slots, sizeof(x86::Vec)));
    stack_ = static_cast<x86::Vec*>(allocTierRaw(static_cast<int64_t>(len_) + 2, sizeof(x86::Vec)));
    if (!vars_ || !stack_) return nullptr;
    JitRuntime* rt = runtime();
    CodeHolder holder;
    FirstError errors;
    if (holder.init(rt->environment()) != kErrorOk) return nullptr;
    holder.setErrorHandler(&errors);
    x86::Compiler cc(&holder);
    cc_ = &cc;
    FuncNode* fn = cc.addFunc(FuncSignatureT<int32_t, int32_t, int32_t, const void*, int32_t, int32_t, void*, void*>());
    if (!fn) return nullptr;
    if (w == 4) {
      fn->frame().setAvxEnabled();
      fn->frame().setAvxCleanup();
    }
    x86::Gp i0 = cc.newGpd(), i1 = cc.newGpd(), rowStride = cc.newGpd(), argStride = cc.newGpd();
    x86::Gp args = cc.newIntPtr(), results = cc.newIntPtr();
    vb_ = cc.newIntPtr();
    fn->setArg(0, i0);
    fn->setArg(1, i1);
    fn->setArg(2, args);
    fn->setArg(3, rowStride);
    fn->setArg(4, argStride);
    fn->setArg(5, results);
    fn->setArg(6, vb_);
    // Byte offsets in 64 bits: i * rowStride does not wrap.
    i_ = cc.newGpq();
    end_ = cc.newGpq();
    rs_ = cc.newGpq();
    rs3_ = cc.newGpq();
    ks_ = cc.newGpq();
    ap_ = cc.newIntPtr();
    rp_ = cc.newIntPtr();
    pk_ = cc.newIntPtr();
    tmp_ = cc.newGpq();
    cc.movsxd(i_, i0);
    cc.movsxd(end_, i1);
    cc.movsxd(rs_, rowStride);
    cc.shl(rs_, 3);
    cc.movsxd(ks_, argStride);
    cc.shl(ks_, 3);
    cc.lea(rs3_, x86::ptr(rs_, rs_, 1));
    cc.mov(ap_, i_);
    cc.imul(ap_, rs_);
    cc.add(ap_, args);
    cc.lea(rp_, x86::ptr(results, i_, 3));
    buf_ = cc.newStack(64, 32);

    Label tail = cc.newLabel(), done = cc.newLabel(), refused = cc.newLabel();
    if (guardCount_ > 0) {
      x86::Xmm z = cc.newXmmSd(), g = cc.newXmmSd();
      cc.xorpd(z, z);
      for (int32_t n = 0; n < guardCount_; ++n) {
        cc.movsd(g, valAt(guards_[n]));
        cc.ucomisd(g, z);
        cc.ja(refused);
      }
    }
    {
      // W evaluations a step while more than W remain: the last one to W
      // go one at a time below.
      Label step = cc.newLabel();
      cc.bind(step);
      cc.mov(tmp_, end_);
      cc.sub(tmp_, i_);
      cc.cmp(tmp_, w);
      cc.jle(tail);
      body(w, false);
      cc.add(i_, w);
      cc.add(rp_, w * kSz);
      cc.lea(tmp_, x86::ptr(0, rs_, w == 4 ? 2 : 1));
      cc.add(ap_, tmp_);
      cc.jmp(step);
    }
    cc.bind(tail);
    // Nothing lives in the upper halves from here on: the one-lane code and
    // the functions it calls run without the cost of mixing encodings.
    if (w == 4) cc.vzeroupper();
    cc.cmp(i_, end_);
    cc.jge(done);
    body(1, true);
    cc.add(i_, 1);
    cc.add(rp_, kSz);
    cc.add(ap_, rs_);
    cc.jmp(tail);
    cc.bind(done);
    {
      x86::Gp r = cc.newGpd();
      cc.mov(r, 1);
      cc.ret(r);
      cc.bind(refused);
      x86::Gp z = cc.newGpd();
      cc.xor_(z, z);
      cc.ret(z);
    }
    cc.endFunc();
    if (cc.finalize() != kErrorOk || errors.err != kErrorOk) return nullptr;
    void* entry = nullptr;
    if (!tierMayAllocate() || rt->_add(&entry, &holder) != kErrorOk || !entry) return nullptr;
    *wOut = w;
    return entry;
  }

 private:
  const uint8_t* code_;
  V* const* ptrs_;
  const V* vals_;
  int32_t len_;
  int32_t lastSlot_;
  int32_t lastArg_;
  const RowInfo<V>* info_;
  uint8_t* written_ = nullptr;  // per slot: written by this evaluation so far
  int32_t* guards_ = nullptr;   // slots of the constants 0 of assignments
  int32_t guardCount_ = 0;
  x86::Vec* vars_ = nullptr;    // per slot: its value in this evaluation
  x86::Vec* stack_ = nullptr;   // per stack offset: its value
  x86::Compiler* cc_ = nullptr;
  x86::Gp vb_, i_, end_, rs_, rs3_, ks_, ap_, rp_, pk_, tmp_;
  x86::Mem buf_;
  int32_t w_ = 1;

  int32_t slotOf(const V* p) const noexcept {
    return p >= vals_ && p <= vals_ + lastSlot_ ? static_cast<int32_t>(p - vals_) : -1;
  }
  int32_t varSlot(int32_t pos) const noexcept { return slotOf(ptrs_[1 + info_->pOff[pos]]); }
  int32_t movSlot(int32_t pos) const noexcept { return slotOf(ptrs_[info_->pOff[pos]]); }
  int32_t storeSlot(int32_t pos) const noexcept { return slotOf(ptrs_[0] - info_->sOff[pos] - 1); }

  // The row's evaluations may run in any order (order_free.h); the
  // constants that must stay false are noted for the check on entry.
  bool orderFree() noexcept {
    // The codes first: most rows that are not order-free stop here, before
    // anything is allocated.
    for (int32_t pos = 0; pos < len_; ++pos) {
      const uint8_t op = canonical(code_[pos]);
      if (op == OP_CALL || op == OP_LOOP || op == OP_TEST || op == OP_WHICH) return false;
    }
    const int64_t vars = ptrs_[0] - vals_;  // slots before the first constant
    if (vars < 0 || vars > static_cast<int64_t>(lastSlot_) + 1) return false;
    written_ = static_cast<uint8_t*>(allocTierRaw(static_cast<int64_t>(lastSlot_) + 1, 1));
    guards_ = static_cast<int32_t*>(allocTierRaw(static_cast<int64_t>(len_) + 1, sizeof(int32_t)));
    if (!written_ || !guards_) return false;
    std::memset(written_, 0, static_cast<size_t>(lastSlot_) + 1);
    auto guard = [&](int64_t slot) {
      guards_[guardCount_++] = static_cast<int32_t>(slot);
      return true;
    };
    return scanOrderFree<T>(code_, ptrs_, vals_, lastArg_, vars, written_, guard, nullptr);
  }

  // ---- instructions by width: 4 (256-bit, VEX), 2 (128-bit), 1 (scalar) ----

  x86::Vec newVec() noexcept {
    if (w_ == 4) return cc_->newYmmPd();
    if (w_ == 2) return cc_->newXmmPd();
    return cc_->newXmmSd();
  }
  void move(const x86::Vec& d, const x86::Vec& s) noexcept {
    if (w_ == 4) cc_->vmovapd(d.ymm(), s.ymm());
    else cc_->movapd(d.xmm(), s.xmm());
  }
  // The value at m in every lane.
  void broadcast(const x86::Vec& d, const x86::Mem& m) noexcept {
    if (w_ == 4) {
      cc_->vbroadcastsd(d.ymm(), m);
    } else {
      cc_->movsd(d.xmm(), m);
      if (w_ == 2) cc_->unpcklpd(d.xmm(), d.xmm());
    }
  }
  void arith(uint8_t op, const x86::Vec& a, const x86::Vec& b) noexcept {
    if (w_ == 4) {
      const x86::Ymm y = a.ymm(), z = b.ymm();
      if (op == OP_ADD) cc_->vaddpd(y, y, z);
      else if (op == OP_SUB) cc_->vsubpd(y, y, z);
      else if (op == OP_MUL) cc_->vmulpd(y, y, z);
      else cc_->vdivpd(y, y, z);
    } else if (w_ == 2) {
      const x86::Xmm y = a.xmm(), z = b.xmm();
      if (op == OP_ADD) cc_->addpd(y, z);
      else if (op == OP_SUB) cc_->subpd(y, z);
      else if (op == OP_MUL) cc_->mulpd(y, z);
      else cc_->divpd(y, z);
    } else {
      const x86::Xmm y = a.xmm(), z = b.xmm();
      if (op == OP_ADD) cc_->addsd(y, z);
      else if (op == OP_SUB) cc_->subsd(y, z);
      else if (op == OP_MUL) cc_->mulsd(y, z);
      else cc_->divsd(y, z);
    }
  }
  // d = all ones in the lanes where a `pred` b holds. Predicates as numbered
  // by the 256-bit compare; the 128-bit and scalar compares know only eight,
  // so the others are built from those with the operands swapped.
  enum Pred { kEqOQ = 0, kLtOS = 1, kLeOS = 2, kUnord = 3, kNeqUQ = 4, kNltUS = 5, kNleUS = 6, kOrd = 7,
              kEqUQ = 8, kNgeUQ = 9, kNgtUQ = 10, kNeqOQ = 12, kGeOQ = 29, kGtOQ = 30 };
  void compare(const x86::Vec& d, const x86::Vec& a, const x86::Vec& b, Pred p) noexcept {
    if (w_ == 4) {
      cc_->vcmppd(d.ymm(), a.ymm(), b.ymm(), p);
      return;
    }
    auto cmp = [&](const x86::Vec& x, const x86::Vec& y, int imm) {
      if (w_ == 2) cc_->cmppd(x.xmm(), y.xmm(), imm);
      else cc_->cmpsd(x.xmm(), y.xmm(), imm);
    };
    switch (p) {
      case kGtOQ: move(d, b), cmp(d, a, kLtOS); break;    // b < a
      case kGeOQ: move(d, b), cmp(d, a, kLeOS); break;    // b <= a
      case kNgeUQ: move(d, b), cmp(d, a, kNleUS); break;  // not b <= a
      case kNgtUQ: move(d, b), cmp(d, a, kNltUS); break;  // not b < a
      case kEqUQ: {
        x86::Vec u = newVec();
        move(d, a), cmp(d, b, kEqOQ);
        move(u, a), cmp(u, b, kUnord);
        cc_->orpd(d.xmm(), u.xmm());
        break;
      }
      case kNeqOQ: {
        x86::Vec o = newVec();
        move(d, a), cmp(d, b, kNeqUQ);
        move(o, a), cmp(o, b, kOrd);
        cc_->andpd(d.xmm(), o.xmm());
        break;
      }
      default: move(d, a), cmp(d, b, p); break;
    }
  }
  void bitAnd(const x86::Vec& a, const x86::Vec& b) noexcept {
    if (w_ == 4) cc_->vandpd(a.ymm(), a.ymm(), b.ymm());
    else cc_->andpd(a.xmm(), b.xmm());
  }
  void bitOr(const x86::Vec& a, const x86::Vec& b) noexcept {
    if (w_ == 4) cc_->vorpd(a.ymm(), a.ymm(), b.ymm());
    else cc_->orpd(a.xmm(), b.xmm());
  }
  void bitXor(const x86::Vec& a, const x86::Vec& b) noexcept {
    if (w_ == 4) cc_->vxorpd(a.ymm(), a.ymm(), b.ymm());
    else cc_->xorpd(a.xmm(), b.xmm());
  }
  void zero(const x86::Vec& d) noexcept {
    if (w_ == 4) cc_->vxorpd(d.ymm(), d.ymm(), d.ymm());
    else cc_->xorpd(d.xmm(), d.xmm());
  }
  // A double constant in every lane.
  void constant(const x86::Vec& d, double v) noexcept {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    cc_->mov(tmp_, bits);
    cc_->movq(d.xmm(), tmp_);
    if (w_ == 4) cc_->vbroadcastsd(d.ymm(), d.xmm());
    else if (w_ == 2) cc_->unpcklpd(d.xmm(), d.xmm());
  }
  // Lanes of mask m (all ones or all zeros) to 1 or -1: (m & 2) - 1.
  void truthValue(const x86::Vec& d, const x86::Vec& m) noexcept {
    x86::Vec two = newVec(), one = newVec();
    constant(two, 2.0);
    constant(one, 1.0);
    move(d, m);
    bitAnd(d, two);
    arith(OP_SUB, d, one);
  }
  // Lanes where v > 0 (the engine's truth), or where it is not.
  void truthMask(const x86::Vec& d, const x86::Vec& v, bool negate) noexcept {
    x86::Vec z = newVec();
    zero(z);
    compare(d, v, z, negate ? kNgtUQ : kGtOQ);
  }
  x86::Mem bufAt(int32_t half) const noexcept {
    x86::Mem m = buf_;
    m.addOffset(half * 32);
    m.setSize(static_cast<uint32_t>(w_ * kSz));
    return m;
  }
  void toMemory(const x86::Mem& m, const x86::Vec& v) noexcept {
    if (w_ == 4) cc_->vmovupd(m, v.ymm());
    else if (w_ == 2) cc_->movupd(m, v.xmm());
    else cc_->movsd(m, v.xmm());
  }
  void fromMemory(const x86::Vec& v, const x86::Mem& m) noexcept {
    if (w_ == 4) cc_->vmovupd(v.ymm(), m);
    else if (w_ == 2) cc_->movupd(v.xmm(), m);
    else cc_->movsd(v.xmm(), m);
  }

  // The lanes of parameter k: one value per evaluation, rowStride apart.
  void loadArgument(const x86::Vec& d) noexcept {
    const x86::Mem at0 = x86::qword_ptr(pk_), at1 = x86::qword_ptr(pk_, rs_, 0);
    if (w_ == 4) {
      const x86::Xmm lo = d.xmm();
      x86::Xmm hi = cc_->newXmmPd();
      cc_->vmovsd(lo, at0);
      cc_->vmovhpd(lo, lo, at1);
      cc_->vmovsd(hi, x86::qword_ptr(pk_, rs_, 1));
      cc_->vmovhpd(hi, hi, x86::qword_ptr(pk_, rs3_, 0));
      cc_->vinsertf128(d.ymm(), d.ymm(), hi, 1);
    } else {
      cc_->movsd(d.xmm(), at0);
      if (w_ == 2) cc_->movhpd(d.xmm(), at1);
    }
  }

  void callUnary(uint8_t op, const x86::Vec& v) noexcept {
    static const auto narrow = unaryLaneTable<T, false>(std::make_index_sequence<kLastUnary - kFirstUnary + 1>{});
    static const auto wide = unaryLaneTable<T, true>(std::make_index_sequence<kLastUnary - kFirstUnary + 1>{});
    const void* fn = reinterpret_cast<const void*>(w_ == 4 ? wide[op - kFirstUnary] : narrow[op - kFirstUnary]);
    toMemory(bufAt(0), v);
    x86::Gp p = cc_->newIntPtr();
    cc_->lea(p, bufAt(0));
    InvokeNode* n = nullptr;
    cc_->invoke(&n, reinterpret_cast<uint64_t>(fn), FuncSignatureT<void, void*, int32_t>());
    n->setArg(0, p);
    n->setArg(1, asmjit::Imm(w_));
    fromMemory(v, bufAt(0));
  }
  void callPow(const x86::Vec& a, const x86::Vec& b) noexcept {
    const void* fn = w_ == 4 ? reinterpret_cast<const void*>(&powLanes<T, true>)
                             : reinterpret_cast<const void*>(&powLanes<T, false>);
    toMemory(bufAt(0), a);
    toMemory(bufAt(1), b);
    x86::Gp p = cc_->newIntPtr(), q = cc_->newIntPtr();
    cc_->lea(p, bufAt(0));
    cc_->lea(q, bufAt(1));
    InvokeNode* n = nullptr;
    cc_->invoke(&n, reinterpret_cast<uint64_t>(fn), FuncSignatureT<void, void*, const void*, int32_t>());
    n->setArg(0, p);
    n->setArg(1, q);
    n->setArg(2, asmjit::Imm(w_));
    fromMemory(a, bufAt(0));
  }

  x86::Mem valAt(int32_t j) const noexcept { return x86::qword_ptr(vb_, j * kSz); }

  // One step of w evaluations (the arguments at ap_, the results to rp_).
  // With `keep` the value array receives the slots this evaluation set.
  void body(int32_t w, bool keep) noexcept {
    w_ = w;
    for (int32_t j = 0; j <= lastSlot_; ++j) written_[j] = 0;
    for (int32_t off = 0; off <= len_ + 1; ++off) new (&stack_[off]) x86::Vec(newVec());
    if (lastArg_ >= 0) cc_->mov(pk_, ap_);
    for (int32_t k = 0; k <= lastArg_; ++k) {
      new (&vars_[k]) x86::Vec(newVec());
      written_[k] = 1;
      loadArgument(vars_[k]);
      if (k < lastArg_) cc_->add(pk_, ks_);
    }
    for (int32_t pos = 0; pos < len_; ++pos) {
      const int32_t s = info_->spOff[pos];  // the top is s - 1
      const uint8_t op = canonical(code_[pos]);
      const x86::Vec top = stack_[s - 1];
      switch (op) {
        case OP_CONST: broadcast(stack_[s], valAt(static_cast<int32_t>(ptrs_[0] + info_->kOff[pos] - vals_))); break;
        case OP_VAR: {
          // An assignment's own variable before it is written: any value
          // does (see above); the one in memory.
          const int32_t j = varSlot(pos);
          if (written_[j]) move(stack_[s], vars_[j]);
          else broadcast(stack_[s], valAt(j));
          break;
        }
        case OP_MOV:
        case OP_STORE: {
          const int32_t j = op == OP_MOV ? movSlot(pos) : storeSlot(pos);
          if (!written_[j]) new (&vars_[j]) x86::Vec(newVec());
          written_[j] = 1;
          move(vars_[j], top);
          break;
        }
        case OP_POW: callPow(stack_[s - 2], top); break;
        case OP_NOT: {
          x86::Vec m = newVec();
          truthMask(m, top, true);
          truthValue(top, m);
          break;
        }
        default:
          if (op >= OP_ADD && op <= OP_DIV) {
            arith(op, stack_[s - 2], top);
          } else if (op == kFirstUnary) {  // sqrt: the instruction is the library's function
            if (w_ == 4) cc_->vsqrtpd(top.ymm(), top.ymm());
            else if (w_ == 2) cc_->sqrtpd(top.xmm(), top.xmm());
            else cc_->sqrtsd(top.xmm(), top.xmm());
          } else if (op > kFirstUnary && op <= kLastUnary) {
            callUnary(op, top);
          } else {
            logic(op, stack_[s - 2], top);
          }
          break;
      }
    }
    toMemory(w == 1 ? x86::qword_ptr(rp_) : x86::ptr(rp_, 0, static_cast<uint32_t>(w * kSz)),
             stack_[info_->spOff[len_] - 1]);
    if (keep)
      for (int32_t j = 0; j <= lastSlot_; ++j)
        if (written_[j]) cc_->movsd(valAt(j), vars_[j].xmm());
  }

  // Comparisons and two-operand logic: the result replaces a.
  void logic(uint8_t op, const x86::Vec& a, const x86::Vec& b) noexcept {
    x86::Vec m = newVec();
    switch (op) {
      // The interpreter's tests: gt a > b, ge a >= b, lt !(a >= b),
      // le !(a > b), eq !(a < b) && !(a > b), ne a < b || a > b.
      case OP_GT: compare(m, a, b, kGtOQ); break;
      case OP_GE: compare(m, a, b, kGeOQ); break;
      case OP_LT: compare(m, a, b, kNgeUQ); break;
      case OP_LE: compare(m, a, b, kNgtUQ); break;
      case OP_EQ: compare(m, a, b, kEqUQ); break;
      case OP_NE: compare(m, a, b, kNeqOQ); break;
      default: {
        x86::Vec n = newVec();
        truthMask(m, a, false);
        truthMask(n, b, false);
        if (op == OP_AND) bitAnd(m, n);
        else if (op == OP_OR) bitOr(m, n);
        else bitXor(m, n);
        break;
      }
    }
    truthValue(a, m);
  }
};

}  // namespace qx::jit

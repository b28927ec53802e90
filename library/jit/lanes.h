// Lane code: many evaluations of one row at once, for the bulk calls.
//
// A row whose evaluations may run in any order (order_free.h) gets a
// second function next to its scalar one (V: double or int32_t):
//
//   bool lanes(int32_t i0, int32_t i1, const V* args, int32_t rowStride,
//              int32_t argStride, V* results, V* vals)
//
// It runs evaluations i0 .. i1-1: evaluation i takes parameter k from
// args[i*rowStride + k*argStride] and writes its value to results[i]. All
// value-array addresses (parameters, slots, constants) are taken relative
// to `vals`, so the function runs on the row's own array or on a copy of
// it. Evaluations go W at a time, one per lane of a vector register (real:
// 4 with AVX2, else 2; integer: 8 with AVX2, else 4), and the last one to W
// go one at a time through the same emitter with one lane; only those
// write the value array, so afterwards it holds what the last evaluation
// left, as the loop of single calls leaves it. Nothing else can see the
// array or the stack area in between.
//
// An assignment "(v=expr)" compiles to expr - (1 + and(0, v)), which reads
// v before it writes it; its value does not depend on v as long as the
// constant 0 there is not true, which the host could change through the
// value array (the same holds for any `and` with a constant before it). The
// lane function checks those constants first and returns false without
// running anything when one has become true (the caller then runs the loop
// of single evaluations); otherwise it returns true.
//
// Every lane gets the interpreter's bits. The instructions that differ by
// engine are in lane_ops.h: real + - * / and sqrt are the packed forms of
// the scalar instructions (same rounding); integer + - * wrap, abs and
// sqrt are exact; comparisons match the interpreter's tests and truth
// values come out as exactly 1 or -1. ^, integer / and the other functions
// call the engine's own functions lane by lane (helpers.h).
#pragma once
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>
#include <utility>

#include "alloc.h"
#include "engine.h"
#include "jit/helpers.h"
#include "jit/lane_ops.h"
#include "jit/row_info.h"
#include "opcodes.h"
#include "order_free.h"

namespace qx::jit {

// The widest lanes a translation may use (setLaneWidth); 0: the processor's.
extern int32_t gLaneWidth;

template <class T>
class LaneTranslator : LaneOps<T> {
  using V = typename T::Value;
  using Ops = LaneOps<T>;
  using Ops::kSz;
  using Ops::kShift;
  using Ops::cc_;
  using Ops::w_;
  using Ops::wide_;
  using Ops::vb_;
  using Ops::pk_;
  using Ops::rs_;
  using Ops::rs3_;
  using Ops::tmp_;
  using Ops::buf_;
  using Ops::newVec;
  using Ops::move;
  using Ops::broadcast;
  using Ops::toMemory;
  using Ops::fromMemory;
  using Ops::loadArgument;
  using Ops::refuseIfTrue;
  using Ops::arith;
  using Ops::unary;
  using Ops::compare;
  using Ops::truthMask;
  using Ops::truthValue;
  using Ops::bitAnd;
  using Ops::bitOr;
  using Ops::bitXor;
  // Lanes of one 128-bit register.
  static constexpr int32_t kNarrow = 16 / kSz;

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

  // The width the processor and setLaneWidth allow: the lanes of a 256-bit
  // register with AVX2, else of a 128-bit one, or 1 (no lanes) when
  // setLaneWidth allows fewer than a 128-bit register holds.
  static int32_t width() noexcept {
    int32_t w = asmjit::CpuInfo::host().hasFeature(asmjit::CpuFeatures::X86::kAVX2) ? 2 * kNarrow : kNarrow;
#if defined(_WIN32)
    // The Windows convention keeps only the low 128 bits of xmm6-15 across
    // a call: 256-bit values would not survive the calls to the engine's
    // functions.
    w = kNarrow;
#endif
    if (gLaneWidth > 0 && gLaneWidth < w) w = gLaneWidth >= kNarrow ? kNarrow : 1;
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
    if (w > kNarrow) {
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
    cc.shl(rs_, kShift);
    cc.movsxd(ks_, argStride);
    cc.shl(ks_, kShift);
    cc.lea(rs3_, x86::ptr(rs_, rs_, 1));
    cc.mov(ap_, i_);
    cc.imul(ap_, rs_);
    cc.add(ap_, args);
    cc.lea(rp_, x86::ptr(results, i_, kShift));
    buf_ = cc.newStack(64, 32);

    Label tail = cc.newLabel(), done = cc.newLabel(), refused = cc.newLabel();
    for (int32_t n = 0; n < guardCount_; ++n) refuseIfTrue(valAt(guards_[n]), refused);
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
      cc.lea(tmp_, x86::ptr(0, rs_, w == 8 ? 3 : w == 4 ? 2 : 1));
      cc.add(ap_, tmp_);
      cc.jmp(step);
    }
    cc.bind(tail);
    // Nothing lives in the upper halves from here on: the one-lane code and
    // the functions it calls run without the cost of mixing encodings.
    if (w > kNarrow) cc.vzeroupper();
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
  x86::Gp i_, end_, ks_, ap_, rp_;

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

  x86::Mem bufAt(int32_t half) const noexcept {
    x86::Mem m = buf_;
    m.addOffset(half * 32);
    m.setSize(static_cast<uint32_t>(w_ * kSz));
    return m;
  }

  void callUnary(uint8_t op, const x86::Vec& v) noexcept {
    static const auto narrow = unaryLaneTable<T, false>(std::make_index_sequence<kLastUnary - kFirstUnary + 1>{});
    static const auto wide = unaryLaneTable<T, true>(std::make_index_sequence<kLastUnary - kFirstUnary + 1>{});
    const void* fn = reinterpret_cast<const void*>(wide_ ? wide[op - kFirstUnary] : narrow[op - kFirstUnary]);
    toMemory(bufAt(0), v);
    x86::Gp p = cc_->newIntPtr();
    cc_->lea(p, bufAt(0));
    InvokeNode* n = nullptr;
    cc_->invoke(&n, reinterpret_cast<uint64_t>(fn), FuncSignatureT<void, void*, int32_t>());
    n->setArg(0, p);
    n->setArg(1, asmjit::Imm(w_));
    fromMemory(v, bufAt(0));
  }
  // a = a ^ b or a / b, lane by lane through the engine's function.
  template <int Op>
  void callBinary(const x86::Vec& a, const x86::Vec& b) noexcept {
    const void* fn = wide_ ? reinterpret_cast<const void*>(&binaryLanes<T, Op, true>)
                           : reinterpret_cast<const void*>(&binaryLanes<T, Op, false>);
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

  x86::Mem valAt(int32_t j) const noexcept { return x86::ptr(vb_, j * kSz, kSz); }

  // One step of w evaluations (the arguments at ap_, the results to rp_).
  // With `keep` the value array receives the slots this evaluation set.
  void body(int32_t w, bool keep) noexcept {
    w_ = w;
    wide_ = w > kNarrow;
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
        case OP_POW: callBinary<OP_POW>(stack_[s - 2], top); break;
        case OP_NOT: {
          x86::Vec m = newVec();
          truthMask(m, top, true);
          truthValue(top, m);
          break;
        }
        default:
          if (op >= OP_ADD && op <= OP_DIV) {
            if (!arith(op, stack_[s - 2], top)) callBinary<OP_DIV>(stack_[s - 2], top);
          } else if (op >= kFirstUnary && op <= kLastUnary) {
            if (!unary(op, top)) callUnary(op, top);
          } else {
            logic(op, stack_[s - 2], top);
          }
          break;
      }
    }
    toMemory(x86::ptr(rp_, 0, static_cast<uint32_t>(w * kSz)), stack_[info_->spOff[len_] - 1]);
    if (keep)
      for (int32_t j = 0; j <= lastSlot_; ++j)
        if (written_[j]) toMemory(valAt(j), vars_[j]);
  }

  // Comparisons and two-operand logic: the result replaces a.
  void logic(uint8_t op, const x86::Vec& a, const x86::Vec& b) noexcept {
    x86::Vec m = newVec();
    if (op >= OP_GT && op <= OP_NE) {
      compare(op, m, a, b);
    } else {
      x86::Vec n = newVec();
      truthMask(m, a, false);
      truthMask(n, b, false);
      if (op == OP_AND) bitAnd(m, n);
      else if (op == OP_OR) bitOr(m, n);
      else bitXor(m, n);
    }
    truthValue(a, m);
  }
};

}  // namespace qx::jit

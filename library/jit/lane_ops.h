// The instructions of lane code that differ between the engines: how a
// value is held in a lane, moved, loaded from the arguments, combined by
// the operators and compared. lanes.h builds the loop over the evaluations
// from these pieces and is the same for both engines.
//
// A step emits for w_ lanes: the widest (256-bit registers, AVX2), 128-bit
// registers, or one lane (the tail of a range, which also writes the value
// array). One lane uses the scalar forms where they exist and otherwise the
// 128-bit forms, of which only the lowest lane counts.
#pragma once
#include <cstdint>
#include <cstring>

#include "engine.h"
#include "jit/row_info.h"
#include "opcodes.h"

namespace qx::jit {

// What the emitters of both engines share: the compiler, the width of the
// step being emitted and the registers of the loop they read.
struct LaneState {
  x86::Compiler* cc_ = nullptr;
  int32_t w_ = 1;       // lanes of the step being emitted
  bool wide_ = false;   // in 256-bit registers
  x86::Gp vb_;          // the value array
  x86::Gp pk_;          // parameter k of the step's first evaluation
  x86::Gp rs_, rs3_;    // bytes between evaluations' arguments, and three times that
  x86::Gp tmp_;
  x86::Mem buf_;        // 64 bytes for the lanes of two operands of a call
};

template <class T>
struct LaneOps;

// ---- the real engine: doubles, 4 lanes (AVX2) or 2 ----

template <>
struct LaneOps<RealTraits> : LaneState {
  static constexpr int32_t kSz = 8;
  static constexpr int32_t kShift = 3;

  x86::Vec newVec() noexcept {
    if (wide_) return cc_->newYmmPd();
    if (w_ > 1) return cc_->newXmmPd();
    return cc_->newXmmSd();
  }
  void move(const x86::Vec& d, const x86::Vec& s) noexcept {
    if (wide_) cc_->vmovapd(d.ymm(), s.ymm());
    else cc_->movapd(d.xmm(), s.xmm());
  }
  // The value at m in every lane.
  void broadcast(const x86::Vec& d, const x86::Mem& m) noexcept {
    if (wide_) {
      cc_->vbroadcastsd(d.ymm(), m);
    } else {
      cc_->movsd(d.xmm(), m);
      if (w_ > 1) cc_->unpcklpd(d.xmm(), d.xmm());
    }
  }
  void toMemory(const x86::Mem& m, const x86::Vec& v) noexcept {
    if (wide_) cc_->vmovupd(m, v.ymm());
    else if (w_ > 1) cc_->movupd(m, v.xmm());
    else cc_->movsd(m, v.xmm());
  }
  void fromMemory(const x86::Vec& v, const x86::Mem& m) noexcept {
    if (wide_) cc_->vmovupd(v.ymm(), m);
    else if (w_ > 1) cc_->movupd(v.xmm(), m);
    else cc_->movsd(v.xmm(), m);
  }
  // The lanes of parameter k: one value per evaluation, rowStride apart.
  void loadArgument(const x86::Vec& d) noexcept {
    const x86::Mem at0 = x86::qword_ptr(pk_), at1 = x86::qword_ptr(pk_, rs_, 0);
    if (wide_) {
      const x86::Xmm lo = d.xmm();
      x86::Xmm hi = cc_->newXmmPd();
      cc_->vmovsd(lo, at0);
      cc_->vmovhpd(lo, lo, at1);
      cc_->vmovsd(hi, x86::qword_ptr(pk_, rs_, 1));
      cc_->vmovhpd(hi, hi, x86::qword_ptr(pk_, rs3_, 0));
      cc_->vinsertf128(d.ymm(), d.ymm(), hi, 1);
    } else {
      cc_->movsd(d.xmm(), at0);
      if (w_ > 1) cc_->movhpd(d.xmm(), at1);
    }
  }
  // The check on entry: jumps to `refused` when the constant at m is true.
  void refuseIfTrue(const x86::Mem& m, const Label& refused) noexcept {
    x86::Xmm z = cc_->newXmmSd(), g = cc_->newXmmSd();
    cc_->xorpd(z, z);
    cc_->movsd(g, m);
    cc_->ucomisd(g, z);
    cc_->ja(refused);
  }

  // a = a op b for + - * /: the packed forms of the scalar instructions,
  // which round alike. False when op needs a call (never here).
  bool arith(uint8_t op, const x86::Vec& a, const x86::Vec& b) noexcept {
    const x86::Xmm y = a.xmm(), z = b.xmm();
    if (wide_) {
      const x86::Ymm p = a.ymm(), q = b.ymm();
      if (op == OP_ADD) cc_->vaddpd(p, p, q);
      else if (op == OP_SUB) cc_->vsubpd(p, p, q);
      else if (op == OP_MUL) cc_->vmulpd(p, p, q);
      else cc_->vdivpd(p, p, q);
    } else if (w_ > 1) {
      if (op == OP_ADD) cc_->addpd(y, z);
      else if (op == OP_SUB) cc_->subpd(y, z);
      else if (op == OP_MUL) cc_->mulpd(y, z);
      else cc_->divpd(y, z);
    } else {
      if (op == OP_ADD) cc_->addsd(y, z);
      else if (op == OP_SUB) cc_->subsd(y, z);
      else if (op == OP_MUL) cc_->mulsd(y, z);
      else cc_->divsd(y, z);
    }
    return true;
  }
  // A one-argument function in the lanes themselves; false when it is
  // called lane by lane. sqrt: the instruction is the library's function.
  bool unary(uint8_t op, const x86::Vec& v) noexcept {
    if (op != kFirstUnary) return false;
    if (wide_) cc_->vsqrtpd(v.ymm(), v.ymm());
    else if (w_ > 1) cc_->sqrtpd(v.xmm(), v.xmm());
    else cc_->sqrtsd(v.xmm(), v.xmm());
    return true;
  }

  // m = all ones in the lanes where the interpreter's comparison holds:
  // gt a > b, ge a >= b, lt !(a >= b), le !(a > b), eq !(a < b) && !(a > b),
  // ne a < b || a > b (so unordered operands make lt, le and eq true).
  void compare(uint8_t op, const x86::Vec& m, const x86::Vec& a, const x86::Vec& b) noexcept {
    switch (op) {
      case OP_GT: predicate(m, a, b, kGtOQ); break;
      case OP_GE: predicate(m, a, b, kGeOQ); break;
      case OP_LT: predicate(m, a, b, kNgeUQ); break;
      case OP_LE: predicate(m, a, b, kNgtUQ); break;
      case OP_EQ: predicate(m, a, b, kEqUQ); break;
      default: predicate(m, a, b, kNeqOQ); break;
    }
  }
  // Lanes where v > 0 (the engine's truth), or where it is not.
  void truthMask(const x86::Vec& d, const x86::Vec& v, bool negate) noexcept {
    x86::Vec z = newVec();
    bitXor(z, z);
    predicate(d, v, z, negate ? kNgtUQ : kGtOQ);
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
  void bitAnd(const x86::Vec& a, const x86::Vec& b) noexcept {
    if (wide_) cc_->vandpd(a.ymm(), a.ymm(), b.ymm());
    else cc_->andpd(a.xmm(), b.xmm());
  }
  void bitOr(const x86::Vec& a, const x86::Vec& b) noexcept {
    if (wide_) cc_->vorpd(a.ymm(), a.ymm(), b.ymm());
    else cc_->orpd(a.xmm(), b.xmm());
  }
  void bitXor(const x86::Vec& a, const x86::Vec& b) noexcept {
    if (wide_) cc_->vxorpd(a.ymm(), a.ymm(), b.ymm());
    else cc_->xorpd(a.xmm(), b.xmm());
  }

 private:
  // A double constant in every lane.
  void constant(const x86::Vec& d, double v) noexcept {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    cc_->mov(tmp_, bits);
    cc_->movq(d.xmm(), tmp_);
    if (wide_) cc_->vbroadcastsd(d.ymm(), d.xmm());
    else if (w_ > 1) cc_->unpcklpd(d.xmm(), d.xmm());
  }
  // Predicates as numbered by the 256-bit compare; the 128-bit and scalar
  // compares know only eight, so the others are built from those with the
  // operands swapped.
  enum Pred { kEqOQ = 0, kLtOS = 1, kLeOS = 2, kUnord = 3, kNeqUQ = 4, kNltUS = 5, kNleUS = 6, kOrd = 7,
              kEqUQ = 8, kNgeUQ = 9, kNgtUQ = 10, kNeqOQ = 12, kGeOQ = 29, kGtOQ = 30 };
  void predicate(const x86::Vec& d, const x86::Vec& a, const x86::Vec& b, Pred p) noexcept {
    if (wide_) {
      cc_->vcmppd(d.ymm(), a.ymm(), b.ymm(), p);
      return;
    }
    auto cmp = [&](const x86::Vec& x, const x86::Vec& y, int imm) {
      if (w_ > 1) cc_->cmppd(x.xmm(), y.xmm(), imm);
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
};

// ---- the integer engine: 32-bit integers, 8 lanes (AVX2) or 4 ----
//
// + - * wrap as the scalar instructions do; / goes lane by lane through the
// engine's own division (zero divisor, INT32_MIN / -1); abs and sqrt are
// exact in the lanes; comparisons are those of signed integers.

template <>
struct LaneOps<IntTraits> : LaneState {
  static constexpr int32_t kSz = 4;
  static constexpr int32_t kShift = 2;

  x86::Vec newVec() noexcept { return wide_ ? x86::Vec(cc_->newYmm()) : x86::Vec(cc_->newXmm()); }
  void move(const x86::Vec& d, const x86::Vec& s) noexcept {
    if (wide_) cc_->vmovdqa(d.ymm(), s.ymm());
    else cc_->movdqa(d.xmm(), s.xmm());
  }
  void broadcast(const x86::Vec& d, const x86::Mem& m) noexcept {
    if (wide_) {
      cc_->vpbroadcastd(d.ymm(), m);
    } else {
      cc_->movd(d.xmm(), m);
      if (w_ > 1) cc_->pshufd(d.xmm(), d.xmm(), 0);
    }
  }
  void toMemory(const x86::Mem& m, const x86::Vec& v) noexcept {
    if (wide_) cc_->vmovdqu(m, v.ymm());
    else if (w_ > 1) cc_->movdqu(m, v.xmm());
    else cc_->movd(m, v.xmm());
  }
  void fromMemory(const x86::Vec& v, const x86::Mem& m) noexcept {
    if (wide_) cc_->vmovdqu(v.ymm(), m);
    else if (w_ > 1) cc_->movdqu(v.xmm(), m);
    else cc_->movd(v.xmm(), m);
  }
  // The lanes of parameter k, rowStride apart: four at a time from `at`.
  void loadArgument(const x86::Vec& d) noexcept {
    if (w_ == 1) {
      cc_->movd(d.xmm(), x86::dword_ptr(pk_));
      return;
    }
    gatherFour(d.xmm(), pk_);
    if (wide_) {
      x86::Gp at = cc_->newIntPtr();
      x86::Xmm hi = cc_->newXmm();
      cc_->lea(at, x86::ptr(pk_, rs_, 2));
      gatherFour(hi, at);
      cc_->vinserti128(d.ymm(), d.ymm(), hi, 1);
    }
  }
  void refuseIfTrue(const x86::Mem& m, const Label& refused) noexcept {
    cc_->cmp(m, 0);
    cc_->jg(refused);
  }

  // a = a op b for + - *, wrapping; false for /, which is called lane by
  // lane. Without AVX2 the low halves of the products come from the
  // unsigned 32 x 32 -> 64 multiply of SSE2 (the low 32 bits of a product
  // do not depend on signedness), for lanes 0 and 2, then 1 and 3.
  bool arith(uint8_t op, const x86::Vec& a, const x86::Vec& b) noexcept {
    if (op == OP_DIV) return false;
    if (wide_) {
      const x86::Ymm p = a.ymm(), q = b.ymm();
      if (op == OP_ADD) cc_->vpaddd(p, p, q);
      else if (op == OP_SUB) cc_->vpsubd(p, p, q);
      else cc_->vpmulld(p, p, q);
      return true;
    }
    const x86::Xmm y = a.xmm(), z = b.xmm();
    if (op == OP_ADD) {
      cc_->paddd(y, z);
    } else if (op == OP_SUB) {
      cc_->psubd(y, z);
    } else if (w_ == 1) {
      cc_->pmuludq(y, z);
    } else {
      x86::Xmm odd = cc_->newXmm(), oddB = cc_->newXmm();
      cc_->pshufd(odd, y, 0xF5);    // lanes 1, 1, 3, 3
      cc_->pshufd(oddB, z, 0xF5);
      cc_->pmuludq(y, z);           // products of lanes 0 and 2
      cc_->pmuludq(odd, oddB);      // of lanes 1 and 3
      cc_->pshufd(y, y, 0x08);      // their low halves side by side
      cc_->pshufd(odd, odd, 0x08);
      cc_->punpckldq(y, odd);
    }
    return true;
  }
  // abs wraps (abs(INT32_MIN) is INT32_MIN); sqrt of a value of 32 bits is
  // exact in doubles, and truncating the root gives the engine's result:
  // negative values (whose root is not a number, hence 0) are taken as 0
  // first, so no lane converts a NaN. The others are called lane by lane.
  bool unary(uint8_t op, const x86::Vec& v) noexcept {
    if (op == 15) {
      if (wide_) {
        cc_->vpabsd(v.ymm(), v.ymm());
      } else {
        x86::Xmm s = cc_->newXmm();
        cc_->movdqa(s, v.xmm());
        cc_->psrad(s, 31);
        cc_->pxor(v.xmm(), s);
        cc_->psubd(v.xmm(), s);
      }
      return true;
    }
    if (op != kFirstUnary) return false;
    if (wide_) {
      const x86::Ymm y = v.ymm();
      x86::Ymm sign = cc_->newYmm(), l = cc_->newYmm(), h = cc_->newYmm();
      x86::Xmm upper = cc_->newXmm();
      cc_->vpsrad(sign, y, 31);
      cc_->vpandn(y, sign, y);
      cc_->vextracti128(upper, y, 1);
      cc_->vcvtdq2pd(l, v.xmm());
      cc_->vcvtdq2pd(h, upper);
      cc_->vsqrtpd(l, l);
      cc_->vsqrtpd(h, h);
      cc_->vcvttpd2dq(v.xmm(), l);
      cc_->vcvttpd2dq(upper, h);
      cc_->vinserti128(y, y, upper, 1);
      return true;
    }
    const x86::Xmm x = v.xmm();
    x86::Xmm s = cc_->newXmm(), lo = cc_->newXmm();
    cc_->movdqa(s, x);
    cc_->psrad(s, 31);
    cc_->pandn(s, x);  // x, or 0 where x < 0
    cc_->cvtdq2pd(lo, s);
    cc_->sqrtpd(lo, lo);
    cc_->cvttpd2dq(x, lo);
    if (w_ > 1) {
      x86::Xmm hi = cc_->newXmm();
      cc_->pshufd(s, s, 0xEE);  // lanes 2 and 3 down
      cc_->cvtdq2pd(hi, s);
      cc_->sqrtpd(hi, hi);
      cc_->cvttpd2dq(hi, hi);
      cc_->punpcklqdq(x, hi);
    }
    return true;
  }

  // m = all ones in the lanes where the signed comparison holds; what is
  // not "greater than" or "equal" is the complement of one of them.
  void compare(uint8_t op, const x86::Vec& m, const x86::Vec& a, const x86::Vec& b) noexcept {
    switch (op) {
      case OP_GT: greater(m, a, b); break;
      case OP_GE: greater(m, b, a), invert(m); break;
      case OP_LT: greater(m, b, a); break;
      case OP_LE: greater(m, a, b), invert(m); break;
      case OP_EQ: equal(m, a, b); break;
      default: equal(m, a, b), invert(m); break;
    }
  }
  // Lanes where v > 0 (the engine's truth), or where it is not (1 > v).
  void truthMask(const x86::Vec& d, const x86::Vec& v, bool negate) noexcept {
    x86::Vec c = newVec();
    if (negate) {
      cc_->mov(tmp_.r32(), 1);
      cc_->movd(c.xmm(), tmp_.r32());
      if (wide_) cc_->vpbroadcastd(c.ymm(), c.xmm());
      else if (w_ > 1) cc_->pshufd(c.xmm(), c.xmm(), 0);
      greater(d, c, v);
    } else {
      bitXor(c, c);
      greater(d, v, c);
    }
  }
  // Lanes of mask m (all ones or all zeros) to 1 or -1: ~(m + m).
  void truthValue(const x86::Vec& d, const x86::Vec& m) noexcept {
    move(d, m);
    if (wide_) cc_->vpaddd(d.ymm(), d.ymm(), d.ymm());
    else cc_->paddd(d.xmm(), d.xmm());
    invert(d);
  }
  void bitAnd(const x86::Vec& a, const x86::Vec& b) noexcept {
    if (wide_) cc_->vpand(a.ymm(), a.ymm(), b.ymm());
    else cc_->pand(a.xmm(), b.xmm());
  }
  void bitOr(const x86::Vec& a, const x86::Vec& b) noexcept {
    if (wide_) cc_->vpor(a.ymm(), a.ymm(), b.ymm());
    else cc_->por(a.xmm(), b.xmm());
  }
  void bitXor(const x86::Vec& a, const x86::Vec& b) noexcept {
    if (wide_) cc_->vpxor(a.ymm(), a.ymm(), b.ymm());
    else cc_->pxor(a.xmm(), b.xmm());
  }

 private:
  // d = the values at at, at + rs, at + 2 rs, at + 3 rs.
  void gatherFour(const x86::Xmm& d, const x86::Gp& at) noexcept {
    x86::Xmm b = cc_->newXmm(), c = cc_->newXmm(), e = cc_->newXmm();
    if (wide_) {
      cc_->vmovd(d, x86::dword_ptr(at));
      cc_->vmovd(b, x86::dword_ptr(at, rs_, 0));
      cc_->vmovd(c, x86::dword_ptr(at, rs_, 1));
      cc_->vmovd(e, x86::dword_ptr(at, rs3_, 0));
      cc_->vpunpckldq(d, d, b);
      cc_->vpunpckldq(c, c, e);
      cc_->vpunpcklqdq(d, d, c);
    } else {
      cc_->movd(d, x86::dword_ptr(at));
      cc_->movd(b, x86::dword_ptr(at, rs_, 0));
      cc_->movd(c, x86::dword_ptr(at, rs_, 1));
      cc_->movd(e, x86::dword_ptr(at, rs3_, 0));
      cc_->punpckldq(d, b);
      cc_->punpckldq(c, e);
      cc_->punpcklqdq(d, c);
    }
  }
  void greater(const x86::Vec& m, const x86::Vec& a, const x86::Vec& b) noexcept {
    if (wide_) {
      cc_->vpcmpgtd(m.ymm(), a.ymm(), b.ymm());
    } else {
      move(m, a);
      cc_->pcmpgtd(m.xmm(), b.xmm());
    }
  }
  void equal(const x86::Vec& m, const x86::Vec& a, const x86::Vec& b) noexcept {
    if (wide_) {
      cc_->vpcmpeqd(m.ymm(), a.ymm(), b.ymm());
    } else {
      move(m, a);
      cc_->pcmpeqd(m.xmm(), b.xmm());
    }
  }
  void invert(const x86::Vec& m) noexcept {
    x86::Vec ones = newVec();
    if (wide_) cc_->vpcmpeqd(ones.ymm(), ones.ymm(), ones.ymm());
    else cc_->pcmpeqd(ones.xmm(), ones.xmm());
    bitXor(m, ones);
  }
};

}  // namespace qx::jit

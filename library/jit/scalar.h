// The scalar translator: one row's codes as one function of straight
// x86-64 code, running on the row's own value array and stack area.
//
//  * stack values live in registers between codes (see ScalarValues);
//  * forward skips become jumps, with the constant copies the interpreter's
//    scan leaves in the stack area;
//  * loops keep their records in the engine's loop table exactly as the
//    interpreter does; the common end of a pass jumps back inline, every
//    other outcome (limits, errors, break, continue) runs the interpreter's
//    own helper and continues at the label of the position it leads to;
//  * an innermost loop whose passes make no call that could look at the
//    value array keeps the variables it uses in registers across its
//    passes, and writes them back wherever the loop is left (see
//    planRegion);
//  * whatever cannot continue in machine code (a state the translator did
//    not foresee) hands the evaluation to the interpreter at that point,
//    with the stack in memory, so the result is the interpreter's.
//
// Real and integer arithmetic is inline; complex values stay in memory and
// call the engine's routines.
#pragma once
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <type_traits>

#include "alloc.h"
#include "engine.h"
#include "jit/helpers.h"
#include "jit/lanes.h"
#include "jit/scalar_values.h"

namespace qx::jit {

template <class T>
class Translator : public ScalarValues<T> {
  // Names of the layers below: a template does not look into a base that
  // depends on its parameter without them.
  QX_ROW_ANALYSIS_NAMES
  using VM = ScalarValues<T>;
  using Reg = typename VM::Reg;
  using Slot = typename VM::Slot;
  using VM::slots_;
  using VM::cc_;
  using VM::stk_;
  using VM::vb_;
  using VM::eng_;
  using VM::base_;
  using VM::outArg_;
  using VM::out_;
  using VM::labels_;
  using VM::dynLabels_;
  using VM::sp_;
  using VM::slot;
  using VM::val;
  using VM::field;
  using VM::reg;
  using VM::gpd;
  using VM::gpq;
  using VM::ptr;
  using VM::xsd;
  using VM::x128;
  using VM::freeTemps;
  using VM::temp;
  using VM::copyX_;
  using VM::copyG_;
  using VM::condByte_;
  using VM::load;
  using VM::store;
  using VM::copy16;
  using VM::copyValue;
  using VM::get;
  using VM::pushConstant;
  using VM::put;
  using VM::ctop_;
  using VM::top_;
  using VM::cval;
  using VM::second;
  using VM::cplxOperands;
  using VM::cplxPush;
  using VM::writeBack;
  using VM::spill;
  using VM::forgetAll;
  using VM::lea;
  using VM::invoke;
  using VM::realPartOf;
  using VM::truthOf;
  using VM::jumpIfTrue;
  using VM::putTruth;
  using VM::recordError;
  using VM::emitScanCopies;
  using VM::storeZero;
  using VM::pushOver;

 public:
  Translator(TableView<V>& t, int32_t row) noexcept : VM(t, row) {}

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
    info_->lanes = nullptr;
    info_->laneWidth = 0;
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
    if constexpr (!kCplx) {
      // Lanes for the bulk calls where the row allows them; without them
      // the row still has its scalar code. (Complex rows have none: their
      // bulk calls use threads alone.)
      if (o == kOk) {
        LaneTranslator<T> lanes(code_, ptrs_, vals_, len_, lastSlot_, lastArg_, info_);
        info_->lanes = lanes.translate(&info_->laneWidth);
      }
    }
    freeTierRaw(slots_);
    slots_ = nullptr;
    if (o == kOk) {
      *result = info_;
      info_ = nullptr;
    }
    return o;
  }

 private:
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
      x86::Xmm r = get(a);  // in place: the slot's register
      if (const V* k = slots_[b].lazy) {
        // A constant not loaded yet is the instruction's memory operand.
        x86::Mem y = val(k);
        if (op == OP_ADD) cc_->addsd(r, y);
        else if (op == OP_SUB) cc_->subsd(r, y);
        else if (op == OP_MUL) cc_->mulsd(r, y);
        else cc_->divsd(r, y);
        slots_[b].lazy = nullptr;
      } else {
        x86::Xmm y = get(b);
        if (op == OP_ADD) cc_->addsd(r, y);
        else if (op == OP_SUB) cc_->subsd(r, y);
        else if (op == OP_MUL) cc_->mulsd(r, y);
        else cc_->divsd(r, y);
      }
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

  void emitLogic(int32_t pos, uint8_t op) noexcept {
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
        if (regionEnd_ >= 0 && one_ && pos + 2 < regionEnd_ && canonical(code_[pos + 1]) == OP_CONST &&
            canonical(code_[pos + 2]) == OP_TEST && !target_[pos + 1] && !target_[pos + 2]) {
          // The loop's test follows at once and branches on the flags;
          // the truth value is made only where the slot is written.
          deferred_ = a;
          deferredOp_ = op;
          --sp_;
          return;
        }
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
    if ((m == FN_FOR || m == FN_DOWHILE) && regionEnd_ == pos) {
      // The end of a pass of a loop with its variables in registers: the
      // record, its level and the iteration limit cannot have changed since
      // the loop's start, and the count is in a register.
      if (m == FN_DOWHILE) get(a + cnt - 2);
      Label slow = cc_->newLabel();
      x86::Gp tmp = ptr(), it = gpd();
      cc_->cmp(field(&E.err.number, 4), 0);
      cc_->jne(slow);
      cc_->mov(tmp, reinterpret_cast<uint64_t>(&gInterrupt));
      cc_->cmp(x86::dword_ptr(tmp), 0);
      cc_->jne(slow);
      cc_->lea(it, x86::ptr(iter_, 1));
      cc_->cmp(it, field(&E.iterLimit, 4));
      cc_->jg(slow);
      if (m == FN_DOWHILE) {
        Label again = cc_->newLabel();
        jumpIfTrue(a + cnt - 2, again);
        cc_->jmp(slow);
        cc_->bind(again);
      }
      cc_->mov(iter_, it);
      spill(a + 1);
      cc_->jmp(regionBody_);
      cc_->bind(slow);
      flushResidents();
      regionEnd_ = -1;
      emitControlHelper(pos);
      live_ = false;
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
    const bool deferred = deferred_ >= 0 && deferred_ == sp_ - 2;
    deferred_ = -1;
    if (deferred) {
      if constexpr (!kCplx) {
        switch (deferredOp_) {
          case OP_GT: kInt ? cc_->jg(cont) : cc_->ja(cont); break;
          case OP_GE: kInt ? cc_->jge(cont) : cc_->jae(cont); break;
          case OP_LT: kInt ? cc_->jl(cont) : cc_->jb(cont); break;
          case OP_LE: kInt ? cc_->jle(cont) : cc_->jbe(cont); break;
          case OP_EQ: cc_->je(cont); break;
          default: cc_->jne(cont); break;
        }
        // Not true: the comparison's value is -1.
        Reg r = reg(sp_ - 2);
        if constexpr (kInt) {
          cc_->mov(r, -1);
        } else {
          x86::Gp bits = gpq();
          cc_->mov(bits, uint64_t{0xBFF0000000000000});
          cc_->movq(r, bits);
        }
        put(sp_ - 2, r);
      }
    } else if (!kCplx && before >= OP_GT && before <= OP_NE && canonical(code_[pos - 1]) == OP_CONST &&
               !target_[pos - 1] && !target_[pos]) {
      // The condition was computed by the comparison just before: its
      // truth is still in condByte_.
      cc_->test(condByte_, condByte_);
      cc_->jnz(cont);
    } else {
      jumpIfTrue(sp_ - 2, cont);
    }
    flushResidents();  // the loop ends here
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
    if (deferred) {
      // True: the value is 1, which one_ holds.
      Slot& sl = slots_[sp_ - 2];
      sl.inReg = false;
      sl.dirty = false;
      sl.lazy = one_;
    }
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

  // The value "(v=expr)" stores and leaves is expr - (1 + and(0, v)), that
  // is expr - 0, which is expr itself in every rounding direction except
  // where the host turned on flush-to-zero or denormals-are-zero: then a
  // subnormal expr becomes a zero of its sign. Multiplying by the constant
  // known to hold exactly 1 gives that same value in every mode, in one
  // instruction. (Integers need nothing.)
  void flushLikeSubtraction(const Reg& v, const V* one) noexcept {
    if constexpr (!kInt && !kCplx) cc_->mulsd(v, val(one));
  }
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
      if (regionEnd_ >= 0) {
        // In a loop with its variables in registers the constants were
        // checked when the loop was entered (nothing in the loop can change
        // them): the value goes to the variable's register, and the seven
        // codes leave it where it is, on the slot of expr.
        flushLikeSubtraction(v, one);
        slots_[sp_ - 1].dirty = true;
        setResident(dst, v);
        skipTo_ = pos + 7;
        return;
      }
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
      flushLikeSubtraction(v, one);
      store(val(dst), v);
      cc_->jmp(assignDone_);
      cc_->bind(general);
      assignEnd_ = pos + 7;
    }
  }

  // ---- Loops with their variables in registers ----
  //
  // An innermost loop whose codes are only constants, variables,
  // assignments, arithmetic, comparisons, one-argument functions and powers
  // (no host or formula call, no store, no control function but its own
  // test and end) cannot be watched while it runs: nothing but machine code
  // reads the value array between entering it and leaving it. Its
  // variables then live in registers from the loop's start to every way
  // out (the end of its test, the helper at the end of a pass for limits,
  // errors and interrupt requests), where they are written back. The
  // constants of its assignments are checked once at the start: a host
  // that changed them gets the interpreter for the rest of the row.
  static constexpr int32_t kMaxResidents = 6;
  int32_t regionEnd_ = -1;  // the closing call of the loop being emitted, else -1
  int32_t skipTo_ = -1;     // codes before this position are not emitted
  int32_t resCount_ = 0;
  V* resAddr_[kMaxResidents] = {};
  Reg resReg_[kMaxResidents];
  Label regionBody_;

  int32_t residentOf(const V* p) const noexcept {
    if (regionEnd_ < 0) return -1;
    for (int32_t i = 0; i < resCount_; ++i)
      if (resAddr_[i] == p) return i;
    return -1;
  }
  void copyReg(const Reg& dst, const Reg& src) noexcept {
    if constexpr (kInt) cc_->mov(dst, src);
    else cc_->movapd(dst, src);
  }
  void setResident(const V* p, const Reg& v) noexcept { copyReg(resReg_[residentOf(p)], v); }
  // On a path that leaves the loop: the variables to the value array.
  void flushResidents() noexcept {
    if (regionEnd_ < 0) return;
    for (int32_t i = 0; i < resCount_; ++i) store(val(resAddr_[i]), resReg_[i]);
    cc_->mov(x86::dword_ptr(rec_, static_cast<int32_t>(offsetof(LoopRecord<V>, iter))), iter_);
  }
  x86::Gp rec_, iter_;     // the loop's record and its iteration count
  const V* one_ = nullptr;  // a constant checked to hold 1 at the loop's start, else null
  int32_t deferred_ = -1;   // slot of a comparison whose truth is only in the flags
  uint8_t deferredOp_ = 0;

  // The seven codes of "(v=expr)" at pos, as emitAssignmentShortcut sees them.
  bool assignmentAt(int32_t pos) const noexcept {
    static const uint8_t kShape[7] = {OP_CONST, OP_CONST, OP_VAR, OP_AND, OP_ADD, OP_SUB, OP_MOV};
    if (pos + 7 > len_ || info_->spOff[pos] < 2) return false;
    for (int32_t i = 0; i < 7; ++i)
      if (canonical(code_[pos + i]) != kShape[i] || (i > 0 && target_[pos + i])) return false;
    return inVals(ptrs_[info_->pOff[pos + 6]]);
  }

  // Whether the loop whose passes start at head qualifies; sets the
  // resident variables when it does.
  bool planRegion(int32_t head) noexcept {
    if constexpr (kCplx) {
      return false;
    } else {
      if (reentrant_ || regionEnd_ >= 0) return false;
      const int32_t loopPos = head - 1;
      int32_t end = -1;
      for (int32_t q = head; q < len_; ++q) {
        if (loopOf_[q] == loopPos) {
          end = q;
          break;
        }
      }
      if (end < 0) return false;
      int32_t count = 0;
      V* addr[kMaxResidents];
      auto use = [&](V* p) {
        for (int32_t i = 0; i < count; ++i)
          if (addr[i] == p) return true;
        if (count == kMaxResidents || !inVals(p)) return false;
        addr[count++] = p;
        return true;
      };
      for (int32_t q = head; q < end; ++q) {
        if (q > head && target_[q]) return false;
        const uint8_t op = canonical(code_[q]);
        if (op == OP_VAR) {
          if (!use(ptrs_[1 + info_->pOff[q]])) return false;
        } else if (op == OP_MOV) {
          if (!use(ptrs_[info_->pOff[q]])) return false;
        } else if (op == OP_TEST) {
          // Only the test of this loop (a `for`): an `if` is a call.
          if (marker(q) != 0 || marker(loopPos) != 0) return false;
        } else if (op != OP_CONST && !(op >= OP_ADD && op <= OP_POW) &&
                   !(op >= kFirstUnary && op <= kLastUnary) && !(op >= OP_GT && op <= OP_XOR)) {
          return false;
        }
      }
      if (target_[end] || count == 0) return false;
      // No constant of the loop may share a slot with a variable it keeps
      // in a register.
      for (int32_t q = head; q < end; ++q) {
        if (canonical(code_[q]) != OP_CONST) continue;
        const V* k = ptrs_[0] + info_->kOff[q];
        for (int32_t i = 0; i < count; ++i)
          if (addr[i] == k) return false;
      }
      resCount_ = count;
      for (int32_t i = 0; i < count; ++i) {
        resAddr_[i] = addr[i];
        if constexpr (kInt) resReg_[i] = cc_->newGpd();
        else resReg_[i] = cc_->newXmmSd();
      }
      regionEnd_ = end;
      return true;
    }
  }

  // The start of a pass as reached from outside (entering the loop, a
  // helper's landing): the assignments' constants are checked and the
  // variables loaded; passes from the loop's own end start after this.
  void emitRegionEntry(int32_t head) noexcept {
    if constexpr (!kCplx) {
      Label fail = cc_->newLabel();
      one_ = nullptr;
      for (int32_t q = head; q < regionEnd_; ++q) {
        if (!assignmentAt(q)) continue;
        const V* one = ptrs_[0] + info_->kOff[q];
        const V* zero = one + 1;
        one_ = one;
        if constexpr (kInt) {
          cc_->cmp(val(one), 1);
          cc_->jne(fail);
          cc_->cmp(val(zero), 0);
          cc_->jne(fail);
        } else {
          x86::Gp bits = gpq();
          cc_->mov(bits, uint64_t{0x3FF0000000000000});
          cc_->cmp(x86::qword_ptr(vb_, static_cast<int32_t>((one - vals_) * kSz)), bits);
          cc_->jne(fail);
          cc_->cmp(x86::qword_ptr(vb_, static_cast<int32_t>((zero - vals_) * kSz)), 0);
          cc_->jne(fail);
        }
        q += 6;
      }
      // The record the loop's start opened (a landing helper leaves it so).
      Engine<T>& E = engine<T>();
      x86::Gp lvl = gpd(), tmp = ptr();
      rec_ = cc_->newIntPtr();
      iter_ = cc_->newGpd();
      cc_->mov(lvl, field(&E.level, 4));
      cc_->cmp(lvl, base_);
      cc_->jle(fail);
      recordAddress(rec_, tmp, lvl);
      cc_->mov(tmp, reinterpret_cast<uint64_t>(code_ + head));
      cc_->cmp(x86::qword_ptr(rec_, static_cast<int32_t>(offsetof(LoopRecord<V>, pc))), tmp);
      cc_->jne(fail);
      cc_->mov(iter_, x86::dword_ptr(rec_, static_cast<int32_t>(offsetof(LoopRecord<V>, iter))));
      for (int32_t i = 0; i < resCount_; ++i) load(resReg_[i], val(resAddr_[i]));
      regionBody_ = cc_->newLabel();
      cc_->jmp(regionBody_);
      cc_->bind(fail);
      const int32_t end = regionEnd_;
      regionEnd_ = -1;  // nothing in registers on this path
      emitResume(head);
      regionEnd_ = end;
      cc_->bind(regionBody_);
    }
  }

  // Only calls and control flow make machine code look at the stack area
  // or the engine (a helper, a handler, the interpreter taking over, a
  // jump target) in the real and integer engines; without them the stack
  // lives in registers and nothing can see the area, so a row of plain
  // arithmetic leaves it alone and its entry sets up only the value array.
  bool usesStackArea() const noexcept {
    if (kCplx) return true;
    for (int32_t pos = 0; pos < len_; ++pos) {
      const uint8_t op = canonical(code_[pos]);
      if (op == OP_CALL || op == OP_LOOP || op == OP_TEST || op == OP_WHICH) return true;
    }
    return false;
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
    cc.mov(vb_, reinterpret_cast<uint64_t>(vals_));
    if (usesStackArea()) {
      cc.mov(stk_, reinterpret_cast<uint64_t>(stack_));
      cc.mov(eng_, reinterpret_cast<uint64_t>(&E));
      cc.mov(base_, field(&E.level, 4));
      // The first push of the interpreter writes its initial top (zero) to
      // slot 0.
      storeZero(0);
    }
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
    skipTo_ = -1;
    regionEnd_ = -1;
    resCount_ = 0;
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
      if (pos > regionEnd_) regionEnd_ = -1;
      if (!live_ || pos < skipTo_) continue;
      if (target_[pos] && pos > 0 && canonical(code_[pos - 1]) == OP_LOOP && planRegion(pos)) {
        emitRegionEntry(pos);
        freeTemps();
      }
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
            const int32_t res = residentOf(ptrs_[1 + p]);
            if (res >= 0) copyReg(r, resReg_[res]);
            else load(r, val(ptrs_[1 + p]));
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
          else if (residentOf(dst) >= 0) setResident(dst, get(sp_ - 1));
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
          else if (op >= OP_GT) emitLogic(pos, op);
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

}  // namespace qx::jit

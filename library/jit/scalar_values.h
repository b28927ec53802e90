// How the scalar translator keeps the row's stack while it emits code.
//
// Stack values live in registers between codes and are written to their
// slots of the row's stack area before anything can look at them (a
// handler, a control-flow helper, a jump to a label); after a call every
// value is read back from memory, because the call may have changed it.
// Complex values live in memory, with the top of the stack in a frame
// value. This layer also has the small emitting blocks the codes share:
// loads and stores, truth values, recorded errors, calls.
#pragma once
#include <cstdint>
#include <type_traits>

#include "engine.h"
#include "jit/analysis.h"
#include "jit/row_info.h"

namespace qx::jit {

template <class T>
class ScalarValues : public RowAnalysis<T> {
 protected:
  // Names of the layers below: a template does not look into a base that
  // depends on its parameter without them.
  QX_ROW_ANALYSIS_NAMES
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

  ScalarValues(TableView<V>& t, int32_t row) noexcept : A(t, row) {}

  Slot* slots_ = nullptr;

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
};

}  // namespace qx::jit

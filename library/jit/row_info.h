// The record machine code and its helpers share for one translated row, and
// the view of the codes the translator works with. Only built with the tier.
#pragma once
#include <cstdint>

#include "engine.h"
#include "jit/tier.h"
#include "opcodes.h"

#include <asmjit/x86.h>

namespace qx::jit {

// The AsmJit names the tier's emitters use.
namespace x86 = asmjit::x86;
using asmjit::BaseEmitter;
using asmjit::CodeHolder;
using asmjit::Error;
using asmjit::ErrorHandler;
using asmjit::FuncNode;
using asmjit::FuncSignature;
using asmjit::FuncSignatureT;
using asmjit::Imm;
using asmjit::InvokeNode;
using asmjit::JitAllocator;
using asmjit::JitAllocatorOptions;
using asmjit::JitRuntime;
using asmjit::kErrorOk;
using asmjit::Label;

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

// Codes as the interpreter's dispatch table treats them.
inline uint8_t canonical(uint8_t op) noexcept {
  if (op >= 128 || op == OP_STORE2) return OP_STORE;
  if (op > OP_XOR) return OP_XOR;
  if (op == OP_WRAP || op == OP_UNUSED28) return OP_WHICH;
  return op;
}

inline bool isBinary(uint8_t op) noexcept { return (op >= OP_ADD && op <= OP_POW) || (op >= OP_GT && op != OP_NOT); }

// The process's one code allocator (created at the first translation).
JitRuntime* runtime() noexcept;

// What a translation ended with: machine code, a failure (allocation,
// executable memory refused) or a row the translator leaves to the
// interpreter.
enum Outcome { kOk, kFailed, kUnsupported };

// Keeps the first error AsmJit reports while code is emitted.
class FirstError : public ErrorHandler {
 public:
  Error err = kErrorOk;
  void handleError(Error e, const char*, BaseEmitter*) override {
    if (err == kErrorOk) err = e;
  }
};

}  // namespace qx::jit

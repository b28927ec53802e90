// Which rows' evaluations may run in any order: the one test that both the
// bulk calls' threads (bulk.h) and the tier's lane code (jit/lanes.h) use.
//
// A row is ORDER-FREE when nothing can observe its evaluations while they
// run and none of them depends on another. Its code is straight-line:
// constants, variables, segment stores, the five operators, assignments,
// one-argument functions, comparisons and logical codes; no second-level
// call, loop, condition or `which`. And every variable slot beyond the
// arguments that it reads has been written earlier in the same evaluation,
// or is written by no code at all (then it holds one value for the whole
// call). A local read before it is assigned carries the previous
// evaluation's value, as in `(x:s)=(s=s+x)`, and makes the row ordered.
//
// One read is no read: `and` with a false constant before it. Assignments
// compile to exactly this (`(v=e)` is `mov(e-(1+and(0,v)))`, so that v is
// where the store goes). That holds only while the constant stays false,
// and a host can change it through the value array; the scan hands each
// such constant to the caller, who checks it when it runs the row.
#pragma once
#include <cstdint>
#include <type_traits>

#include "engine.h"
#include "opcodes.h"

namespace qx {

// Whether a code calls into the mathematical library (pow, exp, sin, ...)
// rather than being a few instructions: cost models weigh these apart.
template <class T>
constexpr bool callsLibm(uint8_t op) noexcept {
  if (op == OP_POW) return true;
  if (op < kFirstUnary || op > kLastUnary) return false;
  if constexpr (std::is_same_v<T, RealTraits>) return op != 11 && op != 24 && op != 25;  // sqrt abs int
  else if constexpr (std::is_same_v<T, IntTraits>) return op >= 12 && op <= 14;          // exp ln lg
  else return op <= 15;  // complex sqrt exp ln sin cos
}

// Codes of one evaluation: those of a few instructions, and calls of the
// mathematical library.
struct CodeCounts {
  int32_t cheap = 0;
  int32_t libm = 0;
};

// Two linear scans of the code of a row: the first checks the codes and
// notes every slot the code writes, the second every slot it reads.
// `state` holds one zeroed byte per slot before the row's first constant
// (`ptrs[0] - vals` of them). `guard(slot)` is called with the slot of the
// constant of each dead read that matters (the variable is written by the
// row, but not yet in this evaluation) and returns whether the read may be
// ignored. Returns whether the row is order-free; `counts`, when given,
// receives the codes of one evaluation (OP_END included).
template <class T, class Guard>
bool scanOrderFree(const uint8_t* code, typename T::Value* const* ptrs, const typename T::Value* vals, int32_t lastArg,
                   int64_t vars, uint8_t* state, Guard&& guard, CodeCounts* counts) noexcept {
  constexpr uint8_t kEver = 1, kSoFar = 2;
  CodeCounts n;
  for (int pass = 0; pass < 2; ++pass) {
    int64_t pp = 1, kc = 0, sb = vars;  // pointer, constant and store-back cursors
    const uint8_t mark = pass == 0 ? kEver : kSoFar;
    for (const uint8_t* pc = code; *pc != OP_END; ++pc) {
      const uint8_t op = *pc;
      if (op == OP_CONST) {
        ++kc;
      } else if (op == OP_VAR) {
        const int64_t s = ptrs[pp++] - vals;
        if (s < 0 || s >= vars) return false;
        if (pass == 1 && s > lastArg && state[s] == kEver) {
          // Reads what the previous evaluation left, unless dead.
          const bool dead = pc > code && pc[-1] == OP_CONST && pc[1] == OP_AND && guard(vars + kc - 1);
          if (!dead) return false;
        }
      } else if (op == OP_STORE || op == OP_STORE2 || op >= 128) {
        if (--sb < 0) return false;
        state[sb] |= mark;
      } else if (op == OP_MOV) {
        if (pp < 2) return false;  // no variable read yet: never compiled
        state[ptrs[pp - 1] - vals] |= mark;
      } else if (op == OP_CALL || (op >= OP_WRAP && op <= OP_WHICH)) {
        return false;  // calls, loops, conditions and `which`
      }
      if (pass == 0) {
        if (callsLibm<T>(op)) ++n.libm;
        else ++n.cheap;
      }
    }
  }
  ++n.cheap;  // OP_END
  if (counts) *counts = n;
  return true;
}

}  // namespace qx

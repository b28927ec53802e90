// The instruction set shared by the three engines.
//
// One byte per code, no operand bytes: OP_CONST reads the next constant of
// the row's value array, OP_VAR the next entry of its pointer table. Every
// code pushes at most one slot, so a stack of (code length + 1) slots is
// always enough. The numbering is part of the compiled format and fixed.
#pragma once
#include <cstdint>

namespace qx {

// X(name, code, scan effect, meaning)
//   scan effect: stack change while a forward skip passes over the code
//   without running it (OP_CALL is handled separately: it drops n slots).
#define QX_OPCODES(X)                                                        \
  X(OP_END, 0, -1, "end: the top of the stack is the result")                \
  X(OP_CONST, 1, +1, "push the next constant")                               \
  X(OP_VAR, 2, +1, "push the variable of the next pointer-table entry")      \
  X(OP_STORE, 3, -1, "pop into the next segment variable (downwards)")       \
  X(OP_STORE2, 4, -1, "never generated; runs as OP_STORE")                   \
  X(OP_ADD, 5, -1, "below = below + top")                                    \
  X(OP_SUB, 6, -1, "below = below - top")                                    \
  X(OP_MUL, 7, -1, "below = below * top")                                    \
  X(OP_DIV, 8, -1, "below = below / top")                                    \
  X(OP_POW, 9, -1, "below = below ^ top")                                    \
  X(OP_MOV, 10, 0, "store top into the variable read last; top stays")       \
  X(OP_CALL, 26, 0, "call a second-level function: args, index, count+2")    \
  X(OP_WRAP, 27, 0, "argument wrapper; removed by the compiler")             \
  X(OP_UNUSED28, 28, 0, "never generated")                                   \
  X(OP_LOOP, 29, 0, "loop start; hidden constant 0 for, 1 dowhile")          \
  X(OP_TEST, 30, 0, "condition; hidden constant 0 in for, 2 in if")          \
  X(OP_WHICH, 31, 0, "which branch marker k = 1, 2, 3, ...")                 \
  X(OP_GT, 32, -1, "below = below > top ? 1 : -1")                           \
  X(OP_GE, 33, -1, "below >= top")                                           \
  X(OP_LT, 34, -1, "below < top, or unordered")                              \
  X(OP_LE, 35, -1, "below <= top, or unordered")                             \
  X(OP_EQ, 36, -1, "below == top, or unordered")                             \
  X(OP_NE, 37, -1, "below != top and ordered")                               \
  X(OP_AND, 38, -1, "both true")                                             \
  X(OP_OR, 39, -1, "either true")                                            \
  X(OP_NOT, 40, 0, "top not true (one operand)")                             \
  X(OP_XOR, 41, -1, "exactly one true")

enum Op : uint8_t {
#define QX_OP_ENUM(name, code, scan, text) name = code,
  QX_OPCODES(QX_OP_ENUM)
#undef QX_OP_ENUM
};

// One-argument functions occupy codes 10 .. 31 (the position in the
// engine's one-argument name table plus 10); codes 26 .. 31 are the
// compiler's internal names "a" .. "f".
constexpr int kFirstUnary = 11;
constexpr int kLastUnary = 25;

// Built-in second-level functions shared by the three engines (their
// indices in every merged function table).
enum BuiltinIndex : int32_t {
  FN_FOR = 0, FN_DOWHILE, FN_IF, FN_WHICH, FN_ONE, FN_BREAK, FN_CONTINUE, FN_RETURN,
  FN_GT, FN_GE, FN_LT, FN_LE, FN_EQ, FN_NE, FN_AND, FN_OR, FN_NOT, FN_XOR,
  FN_FIRST_HANDLER  // 18: from here on the evaluator calls the handler
};

static_assert(OP_CALL == 26 && OP_LOOP == 29 && OP_WHICH == 31, "fixed numbering");
static_assert(OP_GT == 24 + FN_GT && OP_XOR == 24 + FN_XOR, "logical codes are 24 + index");

// Name of a code for disassembly; null for codes that have no name.
const char* opName(uint8_t code) noexcept;

}  // namespace qx

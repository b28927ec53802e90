// Characters, numbers and names of the formula language.
#pragma once
#include <clocale>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <locale.h>

#include "opcodes.h"

namespace qx::compiler {

// Compile result codes.
enum CompileCode : int {
  C_OK = 0,
  C_SYNTAX = 1,
  C_EMPTY = 2,
  C_NO_CLOSE_BEFORE_EQ = 3,
  C_NO_OPEN = 4,
  C_PARAM_CHAR = 5,
  C_DIGIT_NAME = 6,
  C_DUP_PARAM = 7,
  C_BRACKETS = 8,
  C_IMAG_PARAM = 9,
  C_UNDEF_FN = 10,
  C_NO_ROOM = 11,
  C_UNDEF_NAME = 12,
  C_NUMBER = 13,
  C_CHAR = 14,
  C_MEMORY = 15,
  C_ARGS = 16,
  C_SEGMENT = 17,
  C_PREPASS_BASE = 17,  // pre-pass errors 1..8 are returned as 18..25
  C_BAD_ROW = 26,       // row outside the table, or no table
  C_ROW_BUSY = 27,      // the row is being evaluated right now
};

// Characters kept free in every buffer beyond the text itself.
constexpr int32_t kMargin = 8;
// Internal operator of assignments (control characters never survive the
// character check, so it cannot come from formula text).
constexpr char kAssignJoin = '\x01';

inline bool isOpen(unsigned char c) noexcept { return c == '(' || c == '[' || c == '{'; }
inline bool isClose(unsigned char c) noexcept { return c == ')' || c == ']' || c == '}'; }
inline char openOf(unsigned char c) noexcept { return c == ')' ? '(' : c == ']' ? '[' : '{'; }
inline char closeOf(unsigned char c) noexcept { return c == '(' ? ')' : c == '[' ? ']' : '}'; }
inline bool isDigit(unsigned char c) noexcept { return c >= '0' && c <= '9'; }
inline bool isLetter(unsigned char c) noexcept { return c >= 'a' && c <= 'z'; }
inline bool isNameChar(unsigned char c) noexcept { return isLetter(c) || isDigit(c) || c == '_'; }

// Index of the bracket that closes the one at `pos` (kinds are not told
// apart here), or -1 before `end`.
inline int32_t matchBracket(const char* s, int32_t pos, int32_t end) noexcept {
  int32_t depth = 0;
  for (int32_t i = pos; i < end; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (isOpen(c)) ++depth;
    else if (isClose(c) && --depth == 0) return i;
  }
  return -1;
}

// The last opening bracket of s[from, to) that no bracket closes there
// (`from` when there is none).
inline int32_t lastUnclosed(const char* s, int32_t from, int32_t to) noexcept {
  int32_t depth = 0;
  for (int32_t i = to - 1; i >= from; --i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (isClose(c)) ++depth;
    else if (isOpen(c) && depth-- == 0) return i;
  }
  return from;
}

// -1 when the brackets of s[from, to) pair up, each with one of its own
// kind; else the offending bracket: a closing one without its partner or of
// another kind, or the last one left open. `stack` holds at least to - from
// characters.
inline int32_t unpairedByKind(const char* s, int32_t from, int32_t to, char* stack) noexcept {
  int32_t top = 0;
  for (int32_t i = from; i < to; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (isOpen(c)) {
      stack[top++] = static_cast<char>(c);
    } else if (isClose(c)) {
      if (top == 0 || stack[--top] != openOf(c)) return i;
    }
  }
  return top == 0 ? -1 : lastUnclosed(s, from, to);
}

// Decimal text to double independent of the host's locale: the decimal
// point is always ".", whatever locale the host has set.
#ifdef _WIN32
inline double decimalToDouble(const char* p) noexcept {
  static _locale_t cLocale = _create_locale(LC_NUMERIC, "C");
  return cLocale ? _strtod_l(p, nullptr, cLocale) : std::strtod(p, nullptr);
}
#else
inline double decimalToDouble(const char* p) noexcept {
  static locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  return cLocale ? strtod_l(p, nullptr, cLocale) : std::strtod(p, nullptr);
}
#endif

// Scans a number at p: digits with at most one ".", then optionally "e",
// an optional sign and digits. Returns its length (value in `out`) or -1
// for a malformed number.
inline int32_t scanNumber(char* p, double& out) noexcept {
  int32_t i = 0, digits = 0, dots = 0;
  for (;; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (isDigit(c)) ++digits;
    else if (c == '.') {
      if (++dots > 1) return -1;
    } else break;
  }
  if (digits == 0) return -1;
  if (p[i] == 'e') {
    int32_t j = i + 1;
    if (p[j] == '+' || p[j] == '-') ++j;
    if (!isDigit(static_cast<unsigned char>(p[j]))) return -1;
    while (isDigit(static_cast<unsigned char>(p[j]))) ++j;
    if (p[j] == '.') return -1;
    i = j;
  }
  const char saved = p[i];
  p[i] = 0;  // convert exactly these characters
  out = decimalToDouble(p);
  p[i] = saved;
  return i;
}

inline int32_t formatInt(int32_t v, char* buf) noexcept {
  char tmp[12];
  int32_t k = 0;
  uint32_t u = v < 0 ? 0u - static_cast<uint32_t>(v) : static_cast<uint32_t>(v);
  do {
    tmp[k++] = static_cast<char>('0' + u % 10);
    u /= 10;
  } while (u);
  int32_t len = 0;
  if (v < 0) buf[len++] = '-';
  while (k) buf[len++] = tmp[--k];
  buf[len] = 0;
  return len;
}

// Code of a one-argument function name (10 + its position in the engine's
// table of 4-character, blank-padded names), or -1.
template <class T>
inline int32_t unaryCode(const char* name, int32_t len) noexcept {
  if (len < 1 || len > 4) return -1;
  char padded[4] = {' ', ' ', ' ', ' '};
  std::memcpy(padded, name, static_cast<size_t>(len));
  for (int32_t slot = 0; slot < 22; ++slot)
    if (std::memcmp(T::kUnaryNames[slot], padded, 4) == 0) return 10 + slot;
  return -1;
}

template <class T>
inline typename T::Value makeImaginary(double d) noexcept {
  if constexpr (T::kImaginaryUnit) return typename T::Value{0.0, d};
  else return T::fromDouble(d);
}

// Binding strength on the operator stack.
inline int precedence(unsigned char c) noexcept {
  if (c >= 10 && c <= 31) return 4;  // function codes
  switch (c) {
    case '^': case kAssignJoin: return 3;
    case '*': case '/': return 2;
    default: return 1;  // + -
  }
}

inline uint8_t codeOfStacked(unsigned char c) noexcept {
  switch (c) {
    case '+': return OP_ADD;
    case '-': return OP_SUB;
    case '*': return OP_MUL;
    case '/': return OP_DIV;
    case '^': return OP_POW;
    case kAssignJoin: return OP_AND;
    default: return c;  // function code
  }
}

}  // namespace qx::compiler

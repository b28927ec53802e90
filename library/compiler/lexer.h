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

// Character kinds, one table lookup each: every pass of the compiler asks
// these for every character of the text.
enum CharKind : uint8_t {
  CK_OPEN = 1, CK_CLOSE = 2, CK_DIGIT = 4, CK_LETTER = 8, CK_UNDERSCORE = 16, CK_UPPER = 32,
  CK_CONTROL = 64,  // codes 1 to 31 and "!": illegal in an expression
};
constexpr uint8_t CK_NAME = CK_LETTER | CK_DIGIT | CK_UNDERSCORE;

struct CharKinds {
  uint8_t kind[256];
  constexpr CharKinds() : kind() {
    kind[static_cast<unsigned char>('(')] = CK_OPEN;
    kind[static_cast<unsigned char>('[')] = CK_OPEN;
    kind[static_cast<unsigned char>('{')] = CK_OPEN;
    kind[static_cast<unsigned char>(')')] = CK_CLOSE;
    kind[static_cast<unsigned char>(']')] = CK_CLOSE;
    kind[static_cast<unsigned char>('}')] = CK_CLOSE;
    for (int c = '0'; c <= '9'; ++c) kind[c] = CK_DIGIT;
    for (int c = 'a'; c <= 'z'; ++c) kind[c] = CK_LETTER;
    for (int c = 'A'; c <= 'Z'; ++c) kind[c] = CK_UPPER;
    kind[static_cast<unsigned char>('_')] = CK_UNDERSCORE;
    for (int c = 1; c <= 31; ++c) kind[c] = CK_CONTROL;
    kind[static_cast<unsigned char>('!')] = CK_CONTROL;
  }
};
inline constexpr CharKinds kChars{};

inline bool isOpen(unsigned char c) noexcept { return kChars.kind[c] & CK_OPEN; }
inline bool isClose(unsigned char c) noexcept { return kChars.kind[c] & CK_CLOSE; }
inline char openOf(unsigned char c) noexcept { return c == ')' ? '(' : c == ']' ? '[' : '{'; }
inline char closeOf(unsigned char c) noexcept { return c == '(' ? ')' : c == '[' ? ']' : '}'; }
inline bool isDigit(unsigned char c) noexcept { return kChars.kind[c] & CK_DIGIT; }
inline bool isLetter(unsigned char c) noexcept { return kChars.kind[c] & CK_LETTER; }
inline bool isNameChar(unsigned char c) noexcept { return kChars.kind[c] & CK_NAME; }
inline bool isUpper(unsigned char c) noexcept { return kChars.kind[c] & CK_UPPER; }

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

// Powers of ten that a double holds exactly.
constexpr double kExactTens[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                   1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Scans a number at p: digits with at most one ".", then optionally "e",
// an optional sign and digits. Returns its length (value in `out`) or -1
// for a malformed number.
//
// Most literals have few digits: with at most 15 significant digits the
// digits form an integer that a double holds exactly, and with a power of
// ten of at most 22 either way that power is exact too, so one
// multiplication or division rounds the exact value once, which is what the
// decimal conversion returns. Every other literal goes to that conversion.
inline int32_t scanNumber(char* p, double& out) noexcept {
  int32_t i = 0, digits = 0, dots = 0;
  int32_t significant = 0, fraction = 0;  // digits after the leading zeros; digits after "."
  uint64_t mantissa = 0;
  for (;; ++i) {
    const unsigned char c = static_cast<unsigned char>(p[i]);
    if (isDigit(c)) {
      ++digits;
      fraction += dots;
      if (mantissa != 0 || c != '0') {
        if (++significant <= 15) mantissa = mantissa * 10 + (c - '0');
      }
    } else if (c == '.') {
      if (++dots > 1) return -1;
    } else {
      break;
    }
  }
  if (digits == 0) return -1;
  int32_t exponent = 0;
  if (p[i] == 'e') {
    int32_t j = i + 1;
    const bool negative = p[j] == '-';
    if (p[j] == '+' || p[j] == '-') ++j;
    if (!isDigit(static_cast<unsigned char>(p[j]))) return -1;
    for (; isDigit(static_cast<unsigned char>(p[j])); ++j)
      if (exponent < 100000) exponent = exponent * 10 + (p[j] - '0');
    if (p[j] == '.') return -1;
    if (negative) exponent = -exponent;
    i = j;
  }
  const int32_t power = exponent - fraction;
  if (significant <= 15 && power >= -22 && power <= 22) {
    const double m = static_cast<double>(mantissa);
    out = power >= 0 ? m * kExactTens[power] : m / kExactTens[-power];
    return i;
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
struct Precedences {
  uint8_t of[256];
  constexpr Precedences() : of() {
    for (int c = 0; c < 256; ++c) of[c] = 1;   // + -
    for (int c = 10; c <= 31; ++c) of[c] = 4;  // function codes
    of[static_cast<unsigned char>('^')] = 3;
    of[static_cast<unsigned char>(kAssignJoin)] = 3;
    of[static_cast<unsigned char>('*')] = 2;
    of[static_cast<unsigned char>('/')] = 2;
  }
};
inline constexpr Precedences kPrecedence{};
inline int precedence(unsigned char c) noexcept { return kPrecedence.of[c]; }

// Equal characters in a[0, len) and b[0, len): names are short, so a loop
// is cheaper than a call.
inline bool sameChars(const char* a, const char* b, int32_t len) noexcept {
  for (int32_t i = 0; i < len; ++i)
    if (a[i] != b[i]) return false;
  return true;
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

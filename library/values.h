// Value helpers shared by the three engines.
#pragma once
#include <cmath>
#include <cstdint>

#include "quibex.h"

namespace qx {

// Complex element: real part first, 16 bytes, passed and returned by value.
// The library uses the interface's own type so that host functions are
// called through exactly the type they were registered with.
using Complex = QxComplex;
static_assert(sizeof(Complex) == 16, "Complex crosses the interface as two doubles");

// Conversion of a floating-point value to a row, index, count or integer:
// truncation toward zero to 64 bits, of which the low 32 bits are kept.
// NaN, infinities and magnitudes of 2^63 or more give 0.
inline int32_t truncToInt32(double d) noexcept {
  if (!(d > -9223372036854775808.0 && d < 9223372036854775808.0)) return 0;
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(static_cast<int64_t>(d))));
}

// Comparisons of the floating-point unit: an unordered pair (a NaN) makes
// lt, le and eq true and gt, ge and ne false.
inline bool cmpGT(double a, double b) noexcept { return a > b; }
inline bool cmpGE(double a, double b) noexcept { return a >= b; }
inline bool cmpLT(double a, double b) noexcept { return !(a >= b); }
inline bool cmpLE(double a, double b) noexcept { return !(a > b); }
inline bool cmpEQ(double a, double b) noexcept { return !(a < b) && !(a > b); }
inline bool cmpNE(double a, double b) noexcept { return a < b || a > b; }

// Integer arithmetic is total: wrapping add, subtract, multiply and negate;
// division by 0 gives 0 and INT32_MIN / -1 wraps to INT32_MIN; the
// remainder by 0 or -1 is 0 (the hardware would trap on INT32_MIN % -1).
// None of them signals or records an error.
inline int32_t wrapAdd(int32_t a, int32_t b) noexcept {
  return static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
}
inline int32_t wrapSub(int32_t a, int32_t b) noexcept {
  return static_cast<int32_t>(static_cast<uint32_t>(a) - static_cast<uint32_t>(b));
}
inline int32_t wrapMul(int32_t a, int32_t b) noexcept {
  return static_cast<int32_t>(static_cast<uint32_t>(a) * static_cast<uint32_t>(b));
}
inline int32_t safeDiv(int32_t a, int32_t b) noexcept {
  if (b == 0 || (b == -1 && a == INT32_MIN)) return b == -1 ? static_cast<int32_t>(0u - static_cast<uint32_t>(a)) : 0;
  return a / b;
}
inline int32_t safeMod(int32_t a, int32_t b) noexcept {
  if (b == 0 || b == -1) return 0;
  return a % b;
}
inline int32_t wrapAbs(int32_t a) noexcept {
  return a < 0 ? static_cast<int32_t>(0u - static_cast<uint32_t>(a)) : a;
}

// Built-in name table entry: name and argument rule (number of arguments
// minus one; -1 none; -2 any number).
struct BuiltinName {
  const char* name;
  int32_t rule;
};

}  // namespace qx

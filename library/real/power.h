// "^" of the real engine (and, converted, of the integer engine): the C
// runtime's pow, bit for bit, with a shortcut for the commonest power.
//
// x^2 is most of the powers formulas hold (squares of differences, norms,
// densities), and the runtime's pow spends some 50 cycles on it. Where
// the runtime documents how far pow may be from the exact power, a
// product that is close enough to exact must be what pow returns:
//
//   glibc's pow (x86-64) is within 0.54 ulp of the exact x^y in
//   round-to-nearest (since 2.28; before, it was correctly rounded).
//   q = x*x is the exact square rounded; if the exact square is within
//   0.44 ulp of q, every other double is more than 0.56 ulp away from
//   it, so pow(x, 2) can only be q.
//
// The shortcut is taken only in round-to-nearest, for q well inside the
// normal range and not a power of two (where the ulp below is half the one
// above), and only for that runtime; everything else, and the one square
// in eight that is near a tie, calls pow. Nothing there comes near a
// subnormal, so flush-to-zero does not matter. The exact residue is
// Dekker's product, which needs no fused multiply-add.
#pragma once
#include <cmath>
#include <cstdint>
#include <cstring>

#if defined(__GLIBC__) && defined(__x86_64__)
#define QX_SQUARE_SHORTCUT 1
#else
#define QX_SQUARE_SHORTCUT 0
#endif

namespace qx {

#if QX_SQUARE_SHORTCUT
// Whether the processor rounds to nearest, asked of the arithmetic itself
// (reading the control register costs more than the square): 1 + 2^-54
// rounds to 1 in round-to-nearest, toward zero and downward; 1 + 3*2^-54
// rounds to 1 + 2^-52 in round-to-nearest and upward. The empty volatile
// statement keeps the sums at run time, in the mode of the moment.
// (SSE arithmetic: x87 registers would hold the sums exactly.)
inline bool roundsToNearest() noexcept {
  double one = 1.0;
  __asm__ volatile("" : "+x"(one));
  return one + 0x1p-54 == 1.0 && one + 0x1.8p-53 == 1.0 + 0x1p-52;
}
#endif

// x*x when it is provably the runtime's pow(x, 2); 0 otherwise (0 is never
// such a square: q >= 2^-900 below).
inline double exactSquare(double x) noexcept {
#if QX_SQUARE_SHORTCUT
  const double q = x * x;
  if (!(q >= 0x1p-900 && q <= 0x1p+900)) return 0.0;
  uint64_t bits;
  std::memcpy(&bits, &q, sizeof bits);
  if ((bits & 0x000FFFFFFFFFFFFFull) == 0) return 0.0;
  if (!roundsToNearest()) return 0.0;
  // Dekker: x = hi + lo of at most 26 significant bits each, so every partial
  // product below is exact, and e = x*x - q exactly (round to nearest).
  const double c = 134217729.0 * x;  // 2^27 + 1
  const double hi = c - (c - x);
  const double lo = x - hi;
  const double e = ((hi * hi - q) + 2.0 * hi * lo) + lo * lo;
  // The ulp of q: its exponent with an empty fraction, times 2^-52.
  const uint64_t unitBits = bits & 0x7FF0000000000000ull;
  double unit;
  std::memcpy(&unit, &unitBits, sizeof unit);
  return std::fabs(e) <= unit * (0.44 * 0x1p-52) ? q : 0.0;
#else
  (void)x;
  return 0.0;
#endif
}

inline double power(double a, double b) noexcept {
  if (b == 2.0) {
    const double q = exactSquare(a);
    if (q != 0.0) return q;
  }
  return std::pow(a, b);
}

}  // namespace qx

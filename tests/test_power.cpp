// "^" of the real and integer engines: the shortcut for squares must give
// the runtime's pow bit for bit, in every rounding mode and with flush-to-
// zero, and must actually be taken where it applies.
#include <gtest/gtest.h>

#include <cfenv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <xmmintrin.h>
#endif

#include "real/power.h"

namespace {

uint64_t bitsOf(double d) {
  uint64_t b;
  std::memcpy(&b, &d, sizeof b);
  return b;
}
double fromBits(uint64_t b) {
  double d;
  std::memcpy(&d, &b, sizeof d);
  return d;
}

// The runtime's own pow, out of the compiler's reach (it may turn a
// constant exponent 2 into a product).
double runtimePow(double a, double b) {
  volatile double vb = b;
  return std::pow(a, vb);
}

// Bases of every kind: random ones over most exponents, squares that are
// exactly on or next to a tie (odd integers of 27 bits, whose squares need
// 54 bits, and their neighbours), edges of the shortcut's range and the
// special values.
std::vector<double> bases() {
  std::vector<double> v;
  std::mt19937_64 r(1);
  for (int i = 0; i < 300000; ++i) {
    const uint64_t exp = 1023 - 600 + r() % 1200;
    v.push_back(fromBits((r() >> 12) | (exp << 52) | (r() & 0x8000000000000000ull)));
  }
  for (int i = 0; i < 100000; ++i) {
    const uint64_t m = (94906267 + r() % (134217728 - 94906267)) | 1;
    const double t = std::ldexp(static_cast<double>(m), static_cast<int>(r() % 80) - 40);
    v.push_back(t);
    v.push_back(std::nextafter(t, 0.0));
    v.push_back(std::nextafter(t, 1e300));
  }
  const double inf = std::numeric_limits<double>::infinity();
  for (double d : {0.0, -0.0, 1.0, -1.0, 2.0, 0.5, 3.0, 1.5, inf, -inf, std::numeric_limits<double>::quiet_NaN(),
                   std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
                   std::numeric_limits<double>::max(), 0x1p-450, 0x1p+450, 0x1.8p-450, 0x1.8p+450, 0x1.6a09e667f3bcdp+0,
                   0x1p-540, 0x1p+520, 46341.0, -46341.0}) {
    v.push_back(d);
    v.push_back(std::nextafter(d, 0.0));
    v.push_back(std::nextafter(d, inf));
  }
  return v;
}

// Every base squared, and a few other exponents, against the runtime.
int64_t mismatches(const std::vector<double>& v) {
  int64_t bad = 0;
  for (double a : v)
    for (double b : {2.0, 0x1.0000000000001p+1, 3.0, -2.0, 0.5})
      if (bitsOf(qx::power(a, b)) != bitsOf(runtimePow(a, b))) ++bad;
  return bad;
}

TEST(Power, SquaresAreTheRuntimesPowInEveryMode) {
  const std::vector<double> v = bases();
  EXPECT_EQ(mismatches(v), 0) << "round to nearest";
  for (int mode : {FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO}) {
    std::fesetround(mode);
#if QX_SQUARE_SHORTCUT
    EXPECT_FALSE(qx::roundsToNearest());
#endif
    const int64_t bad = mismatches(v);
    std::fesetround(FE_TONEAREST);
    EXPECT_EQ(bad, 0) << "rounding mode " << mode;
  }
#if QX_SQUARE_SHORTCUT
  EXPECT_TRUE(qx::roundsToNearest());
#endif
#if defined(__x86_64__) || defined(__i386__) && defined(__SSE2__)
  const unsigned csr = _mm_getcsr();
  _mm_setcsr(csr | 0x8040);  // flush-to-zero and denormals-are-zero
  const int64_t bad = mismatches(v);
  _mm_setcsr(csr);
  EXPECT_EQ(bad, 0) << "flush-to-zero";
#endif
}

TEST(Power, ShortcutIsTakenOnlyWhereItIsProvablyExact) {
#if QX_SQUARE_SHORTCUT
  // Most random squares, and all exactly representable ones that are not
  // powers of two, take it.
  EXPECT_EQ(qx::exactSquare(1.5), 2.25);
  EXPECT_EQ(qx::exactSquare(-3.0), 9.0);
  std::mt19937_64 r(1);
  int taken = 0;
  for (int i = 0; i < 10000; ++i) {
    const double t = fromBits((r() >> 12) | 0x3FF0000000000000ull);
    if (qx::exactSquare(t) != 0.0) ++taken;
  }
  EXPECT_GT(taken, 8000);
  EXPECT_LT(taken, 9500);  // about one in eight is near a tie and is left to pow
  // An exact tie (2^27 - 1 squared needs 54 bits) is never taken.
  EXPECT_EQ(qx::exactSquare(134217727.0), 0.0);
  // Nor are powers of two, the edges of the range or the special values.
  for (double d : {2.0, 0.25, 0x1p-451, 0x1p+451, 0.0, std::numeric_limits<double>::infinity(),
                   std::numeric_limits<double>::quiet_NaN()})
    EXPECT_EQ(qx::exactSquare(d), 0.0) << d;
  std::fesetround(FE_UPWARD);
  const double up = qx::exactSquare(1.5);
  std::fesetround(FE_TONEAREST);
  EXPECT_EQ(up, 0.0);
#else
  EXPECT_EQ(qx::exactSquare(1.5), 0.0);  // this runtime gives no bound: always pow
#endif
}

}  // namespace

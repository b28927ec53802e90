// Arithmetic helpers of the real engine.
#include "real/numeric.h"

#include <cmath>

#include "evaluator/calls.h"

namespace qx::numeric {

using R = RealTraits;

double atan2Fn(int32_t, double* a) noexcept { return std::atan2(a[0], a[1]); }

// A NaN on either side always replaces the running maximum.
double maxFn(int32_t last, double* a) noexcept {
  if (last < 0) return fail<R>(1, last, a);
  double r = a[0];
  for (int32_t i = 1; i <= last; ++i)
    if (r < a[i] || std::isnan(r) || std::isnan(a[i])) r = a[i];
  return r;
}

double minFn(int32_t last, double* a) noexcept {
  if (last < 0) return fail<R>(1, last, a);
  double r = a[0];
  for (int32_t i = 1; i <= last; ++i)
    if (r > a[i]) r = a[i];
  return r;
}

double fmodFn(int32_t, double* a) noexcept { return std::fmod(a[0], a[1]); }

double modfFn(int32_t, double* a) noexcept {
  double whole;
  return std::modf(a[0], &whole);
}

double signFn(int32_t, double* a) noexcept {
  if (a[1] > 0.0) return std::fabs(a[0]);
  if (a[1] == 0.0) return a[0];
  return -std::fabs(a[0]);  // negative or NaN
}

double dimFn(int32_t, double* a) noexcept { return a[0] > a[1] ? a[0] - a[1] : 0.0; }

}  // namespace qx::numeric

// What the complex engine (pairs of doubles, real part first) adds to the
// shared design.
#pragma once
#include <cmath>
#include <cstdint>

#include "values.h"

namespace qx {

struct ComplexTraits {
  using Value = Complex;
  using Fn = Complex (*)(int32_t lastIndex, Complex* args);
  static constexpr int kType = 3;
  static constexpr char kLetter = 'c';
  static constexpr int kEngine = 1;
  static constexpr bool kImaginaryUnit = true;  // "i" and 3i literals
  static constexpr int32_t kBuiltinCount = 35;
  static const BuiltinName kBuiltins[kBuiltinCount];
  static constexpr int32_t kFnSetStackMax = 33;
  static constexpr int32_t kFnSetCycleMax = 34;
  static const char kUnaryNames[22][5];

  static Value fromDouble(double d) noexcept { return {d, 0.0}; }
  static Value fromInt(int64_t i) noexcept { return {static_cast<double>(i), 0.0}; }
  static double re(Value v) noexcept { return v.re; }
  static int32_t hidden(Value v) noexcept { return static_cast<int32_t>(v.re); }
  static int32_t toInt(Value v) noexcept { return truncToInt32(v.re); }
  static bool truth(Value v) noexcept { return v.re > 0.0; }
  static Value zero() noexcept { return {0.0, 0.0}; }
  // A failing complex function yields its first argument unchanged.
  static Value failed(const Value* args) noexcept { return args[0]; }
  // Truth values go into the real part; the imaginary part of the first
  // operand stays.
  static void setTruth(Value& slot, bool t) noexcept { slot.re = t ? 1.0 : -1.0; }
  static double cmpKey(Value v) noexcept { return v.re; }

  static Value add(Value a, Value b) noexcept { return {a.re + b.re, a.im + b.im}; }
  static Value sub(Value a, Value b) noexcept { return {a.re - b.re, a.im - b.im}; }
  static Value mul(Value a, Value b) noexcept {
    double p1 = a.re * b.re, p2 = a.im * b.im, p3 = (a.re + a.im) * (b.re + b.im);
    return {p1 - p2, p3 - p1 - p2};
  }
  static Value div(Value a, Value b) noexcept {
    double d = b.re * b.re + b.im * b.im;
    double p1 = a.re * b.re, p2 = a.im * b.im, p3 = (a.re + a.im) * (b.re - b.im);
    return {(p1 + p2) / d, (p3 - p1 + p2) / d};
  }
  static Value pow(Value a, Value b) noexcept {
    if (a.re == 0.0 && a.im == 0.0) return a;
    double t = std::atan2(a.im, a.re);
    double L = std::log(std::sqrt(a.re * a.re + a.im * a.im));
    double m = std::exp(L * b.re - t * b.im);
    double f = t * b.re + L * b.im;
    return {m * std::cos(f), m * std::sin(f)};
  }

  static Value unary(uint8_t code, Value z) noexcept {
    const double x = z.re, y = z.im;
    switch (code) {
      case 11: {
        double r = std::sqrt(std::sqrt(x * x + y * y));
        double t = std::atan2(y, x) * 0.5;
        return {r * std::cos(t), r * std::sin(t)};
      }
      case 12: {
        double e = std::exp(x);
        return {e * std::cos(y), e * std::sin(y)};
      }
      case 13: return {std::log(std::sqrt(x * x + y * y)), std::atan2(y, x)};
      case 14: {
        double ep = std::exp(y), em = std::exp(-y);
        return {std::sin(x) * (ep + em) * 0.5, std::cos(x) * (ep - em) * 0.5};
      }
      case 15: {
        double ep = std::exp(y), em = std::exp(-y);
        return {std::cos(x) * (ep + em) * 0.5, -(std::sin(x) * (ep - em) * 0.5)};
      }
      case 16: return {std::sqrt(x * x + y * y), 0.0};
      case 17: return {std::floor(x), 0.0};
      case 18: return {x, -y};
      case 19: return {y, x};
      case 20: return {0.0, y};
      case 21: return {x, 0.0};
      default: return z;
    }
  }
};

}  // namespace qx

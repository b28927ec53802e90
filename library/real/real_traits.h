// What the real engine (64-bit IEEE values) adds to the shared design.
#pragma once
#include <cmath>
#include <cstdint>

#include "real/power.h"
#include "values.h"

namespace qx {

struct RealTraits {
  using Value = double;
  using Fn = double (*)(int32_t lastIndex, double* args);
  static constexpr int kType = 2;        // type code of the string table
  static constexpr char kLetter = 'r';   // type letter of formula names
  static constexpr int kEngine = 0;      // index of the engine in library state
  static constexpr bool kImaginaryUnit = false;
  static constexpr int32_t kBuiltinCount = 48;
  static const BuiltinName kBuiltins[kBuiltinCount];
  static constexpr int32_t kFnSetStackMax = 45;
  static constexpr int32_t kFnSetCycleMax = 46;
  // One-argument names, 4 characters, blank padded; code = 10 + position.
  static const char kUnaryNames[22][5];

  static Value fromDouble(double d) noexcept { return d; }
  static Value fromInt(int64_t i) noexcept { return static_cast<double>(i); }
  static double re(Value v) noexcept { return v; }
  // Hidden operands (function index, slot count, markers) come from the
  // compiler and are small exact integers.
  static int32_t hidden(Value v) noexcept { return static_cast<int32_t>(v); }
  // Rows, indices and counts taken from formula values.
  static int32_t toInt(Value v) noexcept { return truncToInt32(v); }
  static bool truth(Value v) noexcept { return v > 0.0; }
  static Value zero() noexcept { return 0.0; }
  // Value of a second-level function after it recorded an error.
  static Value failed(const Value*) noexcept { return 0.0; }
  // Writes a truth value into the slot of the first operand.
  static void setTruth(Value& slot, bool t) noexcept { slot = t ? 1.0 : -1.0; }

  static Value add(Value a, Value b) noexcept { return a + b; }
  static Value sub(Value a, Value b) noexcept { return a - b; }
  static Value mul(Value a, Value b) noexcept { return a * b; }
  static Value div(Value a, Value b) noexcept { return a / b; }
  static Value pow(Value a, Value b) noexcept { return power(a, b); }
  static double cmpKey(Value v) noexcept { return v; }

  static Value unary(uint8_t code, Value x) noexcept {
    switch (code) {
      case 11: return std::sqrt(x);
      case 12: return std::exp(x);
      case 13: return std::log(x);
      case 14: return std::log10(x);
      case 15: return std::sin(x);
      case 16: return std::cos(x);
      case 17: return std::tan(x);
      case 18: return std::asin(x);
      case 19: return std::acos(x);
      case 20: return std::atan(x);
      case 21: return std::sinh(x);
      case 22: return std::cosh(x);
      case 23: return std::tanh(x);
      case 24: return std::fabs(x);
      case 25: return std::floor(x);
      default: return x;
    }
  }
};

}  // namespace qx

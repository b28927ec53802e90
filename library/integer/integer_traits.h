// What the integer engine (32-bit two's-complement values) adds to the
// shared design. Arithmetic wraps modulo 2^32 and never traps.
#pragma once
#include <cmath>
#include <cstdint>

#include "real/power.h"
#include "values.h"

namespace qx {

struct IntTraits {
  using Value = int32_t;
  using Fn = int32_t (*)(int32_t lastIndex, int32_t* args);
  static constexpr int kType = 1;
  static constexpr char kLetter = 'i';
  static constexpr int kEngine = 2;
  static constexpr bool kImaginaryUnit = false;
  static constexpr int32_t kBuiltinCount = 40;
  static const BuiltinName kBuiltins[kBuiltinCount];
  static constexpr int32_t kFnSetStackMax = 38;
  static constexpr int32_t kFnSetCycleMax = 39;
  static const char kUnaryNames[22][5];

  // Literals are read as doubles and then truncated like every
  // floating-point result of this engine.
  static Value fromDouble(double d) noexcept { return truncToInt32(d); }
  static Value fromInt(int64_t i) noexcept { return static_cast<int32_t>(static_cast<uint32_t>(i)); }
  static double re(Value v) noexcept { return v; }
  static int32_t hidden(Value v) noexcept { return v; }
  static int32_t toInt(Value v) noexcept { return v; }
  static bool truth(Value v) noexcept { return v > 0; }
  static Value zero() noexcept { return 0; }
  static Value failed(const Value*) noexcept { return 0; }
  static void setTruth(Value& slot, bool t) noexcept { slot = t ? 1 : -1; }
  static double cmpKey(Value v) noexcept { return v; }

  static Value add(Value a, Value b) noexcept { return wrapAdd(a, b); }
  static Value sub(Value a, Value b) noexcept { return wrapSub(a, b); }
  static Value mul(Value a, Value b) noexcept { return wrapMul(a, b); }
  static Value div(Value a, Value b) noexcept { return safeDiv(a, b); }
  static Value pow(Value a, Value b) noexcept {
    return truncToInt32(power(static_cast<double>(a), static_cast<double>(b)));
  }

  static Value unary(uint8_t code, Value n) noexcept {
    switch (code) {
      case 11: return truncToInt32(std::sqrt(static_cast<double>(n)));
      case 12: return truncToInt32(std::exp(static_cast<double>(n)));
      case 13: return truncToInt32(std::log(static_cast<double>(n)));
      case 14: return truncToInt32(std::log10(static_cast<double>(n)));
      case 15: return wrapAbs(n);
      default: return n;
    }
  }
};

}  // namespace qx

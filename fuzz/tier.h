// Control of the machine-code tier for the harnesses. A source tree without
// the tier (library/jit/) gets a stand-in with the interpreter-only
// behaviour, so the harnesses build either way.
#pragma once
#include <cstdint>

#if __has_include("jit/jit.h")
#include "jit/jit.h"
#else
namespace qx::jit {
enum class Mode : int { Off = 0, Tiered = 1, Always = 2 };
struct Stats {
  uint64_t translated;
  uint64_t failed;
  uint64_t released;
  uint64_t notTranslated;
};
inline void setMode(Mode) noexcept {}
inline Mode mode() noexcept { return Mode::Off; }
inline bool available() noexcept { return false; }
inline Stats stats() noexcept { return Stats{0, 0, 0, 0}; }
inline void resetStats() noexcept {}
inline bool rowTranslated(int, int32_t) noexcept { return false; }
}  // namespace qx::jit
#endif

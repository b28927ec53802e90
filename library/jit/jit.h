// The machine-code tier: rows that are evaluated often run as x86-64 code
// translated from their compiled codes. The interpreter stays the reference
// and the fallback; the tier changes nothing a host or formula can observe.
//
// A build without the tier (QX_JIT off, or no AsmJit) keeps this interface:
// available() is false and every row runs in the interpreter.
#pragma once
#include <cstdint>

namespace qx::jit {

enum class Mode : int { Off = 0, Tiered = 1, Always = 2 };

// Overrides QUIBEX_JIT for this process from now on. Off releases the
// machine code of every row that is not being evaluated at that moment.
void setMode(Mode m) noexcept;
// Mode in force now. QUIBEX_JIT is read once at first use ("0": Off,
// "always": Always, anything else or unset: Tiered) unless setMode was
// called. Always without the tier in the build behaves as Off.
Mode mode() noexcept;
// This build has the tier.
bool available() noexcept;

struct Stats {
  uint64_t translated;     // rows translated successfully since resetStats
  uint64_t failed;         // translations that failed (allocation, executable memory refused)
  uint64_t released;       // translations released (recompile, resize, deletedll)
  uint64_t notTranslated;  // rows that reached the threshold but were left to the interpreter
                           // for another reason than a failure
};
Stats stats() noexcept;
void resetStats() noexcept;

// Whether row `row` of engine `engine` (0 real, 1 complex, 2 integer)
// currently has machine code.
bool rowTranslated(int engine, int32_t row) noexcept;

// The widest lanes (evaluations per step) of the lane code translated from
// now on: 0 the processor's widest (real 4 with AVX2, else 2; integer 8,
// else 4); a smaller w gives the lanes of a 128-bit register (real 2,
// integer 4) when w is at least that, and no lane code otherwise (1 none
// for either engine, 2 or 3 none for the integer engine). Returns the
// previous setting. For tests and measurements.
int32_t setLaneWidth(int32_t w) noexcept;
// Evaluations per step of the lane code of row `row` of engine `engine`;
// 0 when it has none.
int32_t laneWidth(int engine, int32_t row) noexcept;

// Evaluations of a row in Tiered mode before it is translated. Measured
// side by side: translating costs 4 to 60 us per formula (about 4 us plus
// 0.1 us per code), and machine code saves 3 to 190 ns per evaluation of a
// formula without loops, so a translation pays for itself after 200 to
// 1000 evaluations (median about 500), and after one evaluation of a
// formula with a loop of some length. At 1000 a row that stops being used
// right after its translation has spent at most about half again its
// interpretation time on it, while rows evaluated more often get nearly
// the whole gain; rows evaluated a few times are never translated.
constexpr int32_t kThreshold = 1000;

}  // namespace qx::jit

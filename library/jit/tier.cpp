// Mode, counters and the release of machine code: the parts of the tier
// that exist in every build. Translation itself is in translator.cpp.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "engine.h"
#include "jit/jit.h"
#include "jit/tier.h"

namespace qx::jit {

// 1 until the mode is read: the first offer reads it.
int32_t gTierAt = 1;

namespace {
Mode gMode = Mode::Tiered;
bool gModeKnown = false;
Stats gStats = {0, 0, 0, 0};
Stats gLifetime = {0, 0, 0, 0};  // the same counts, never reset

int32_t tierAtFor(Mode m) noexcept {
  if (!available() || m == Mode::Off) return INT32_MAX;
  return m == Mode::Always ? 1 : kThreshold;
}

// Rows being evaluated right now (setMode called from a host function)
// keep their code: it may be running.
template <class V>
void releaseTableCode(TableView<V>& t) noexcept {
  if (!t.jit) return;
  for (int32_t r = 0; r < t.rows; ++r)
    if (t.busy[r] == 0) releaseRowCode(t.jit, t.hits, r);
}
}  // namespace

Mode readMode() noexcept {
  if (!gModeKnown) {
    const char* e = std::getenv("QUIBEX_JIT");
    if (e && std::strcmp(e, "0") == 0) gMode = Mode::Off;
    else if (e && std::strcmp(e, "always") == 0) gMode = Mode::Always;
    else gMode = Mode::Tiered;
    gModeKnown = true;
    gTierAt = tierAtFor(gMode);
  }
  return gMode;
}

void setMode(Mode m) noexcept {
  gMode = m;
  gModeKnown = true;
  gTierAt = tierAtFor(m);
  // Interpreter only from now on: rows translated earlier stop using their
  // machine code (rows running right now keep it).
  if (m == Mode::Off) {
    releaseTableCode(gLib.real.table);
    releaseTableCode(gLib.cplx.table);
    releaseTableCode(gLib.integer.table);
  }
}

Mode mode() noexcept {
  const Mode m = readMode();
  return available() ? m : Mode::Off;
}

Stats stats() noexcept { return gStats; }
void resetStats() noexcept { gStats = Stats{0, 0, 0, 0}; }
Stats lifetimeStats() noexcept { return gLifetime; }
namespace {
uint64_t gHandovers = 0;
}
uint64_t handovers() noexcept { return gHandovers; }
void countHandover() noexcept { ++gHandovers; }
void countTranslated() noexcept { ++gStats.translated, ++gLifetime.translated; }
void countFailed() noexcept { ++gStats.failed, ++gLifetime.failed; }
void countNotTranslated() noexcept { ++gStats.notTranslated, ++gLifetime.notTranslated; }

int32_t gLaneWidth = 0;

int32_t setLaneWidth(int32_t w) noexcept {
  const int32_t previous = gLaneWidth;
  gLaneWidth = w;
  return previous;
}

int32_t laneWidth(int engineIndex, int32_t row) noexcept {
  if (!rowTranslated(engineIndex, row)) return 0;
  void* code = engineIndex == 0 ? gLib.real.table.jit[row] : engineIndex == 1 ? gLib.cplx.table.jit[row] : gLib.integer.table.jit[row];
  return static_cast<RowCode*>(code)->lanes ? static_cast<RowCode*>(code)->laneWidth : 0;
}

bool rowTranslated(int engineIndex, int32_t row) noexcept {
  void** jit = nullptr;
  int32_t rows = 0;
  switch (engineIndex) {
    case 0: jit = gLib.real.table.jit; rows = gLib.real.table.rows; break;
    case 1: jit = gLib.cplx.table.jit; rows = gLib.cplx.table.rows; break;
    case 2: jit = gLib.integer.table.jit; rows = gLib.integer.table.rows; break;
    default: return false;
  }
  return jit && row >= 0 && row < rows && jit[row] != nullptr;
}

void releaseRowCode(void** jit, int32_t* hits, int32_t row) noexcept {
  if (hits) hits[row] = 0;
  if (!jit || !jit[row]) return;
  releaseCode(static_cast<RowCode*>(jit[row]));
  jit[row] = nullptr;
  ++gStats.released;
  ++gLifetime.released;
}

}  // namespace qx::jit

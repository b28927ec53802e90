// Loop limits of an engine.
#pragma once
#include <cstdint>
#include <cstring>

#include "engine.h"

namespace qx {

// Level limit and loop record table. Records of loops that are running
// right now are carried over into the new table, which is never smaller
// than the number of active loops; when the allocation fails the old table
// stays for them, no new loop can open (limit 0) and error 2 is recorded.
template <class T>
void setLevelLimit(Engine<T>& E, int32_t n, const char* name) noexcept {
  if (n < 1 || n > 32766) {
    E.err.record(1, name);
    return;
  }
  const int32_t active = E.level + 1;
  const int32_t cap = n > active ? n : active;
  auto* fresh = allocArray<LoopRecord<typename T::Value>>(cap);
  if (!fresh) {
    if (active == 0) {
      freeArray(E.loops);
      E.loopCap = 0;
    }
    E.levelLimit = 0;
    E.err.record(2, name);
    return;
  }
  if (active > 0) std::memcpy(static_cast<void*>(fresh), E.loops, sizeof(*fresh) * static_cast<size_t>(active));
  freeArray(E.loops);
  E.loops = fresh;
  E.loopCap = cap;
  E.levelLimit = n;
}

}  // namespace qx

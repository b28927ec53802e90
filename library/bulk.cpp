// Storage of the threaded bulk evaluation kept between calls.
#include "bulk.h"

namespace qx::bulk {

Scratch gScratch[workers::kMaxThreads];
int64_t gMinParallelWork = kMinParallelWork;

void releaseScratch() noexcept {
  for (Scratch& s : gScratch) {
    freeArray(s.block);
    s.size = 0;
  }
}

}  // namespace qx::bulk

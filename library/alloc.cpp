#include "alloc.h"

namespace qx {
namespace {
int64_t gFailAfter = -1;   // -1: never fail on purpose
int64_t gAttempts = 0;
int64_t gLive = 0;
}  // namespace

void* allocRaw(int64_t count, size_t size, bool zeroed) noexcept {
  ++gAttempts;
  if (gFailAfter >= 0) {
    if (gFailAfter == 0) {
      gFailAfter = -1;  // one failure per request
      return nullptr;
    }
    --gFailAfter;
  }
  if (count < 0 || size == 0) return nullptr;
  uint64_t bytes = static_cast<uint64_t>(count) * size;
  if (count != 0 && bytes / static_cast<uint64_t>(count) != size) return nullptr;
  if (bytes > (uint64_t{1} << 32)) return nullptr;
  // Where size_t is 32 bits wide, 4 GiB itself does not fit: refuse it
  // rather than let the cast wrap to a tiny block.
  if (static_cast<uint64_t>(static_cast<size_t>(bytes)) != bytes) return nullptr;
  const size_t n = bytes ? static_cast<size_t>(bytes) : 1;
  void* p = zeroed ? std::calloc(n, 1) : std::malloc(n);
  if (p) ++gLive;
  return p;
}

void freeRaw(void* p) noexcept {
  if (!p) return;
  --gLive;
  std::free(p);
}

namespace testing {
void failAllocationAfter(int64_t n) noexcept { gFailAfter = n < 0 ? -1 : n; }
int64_t allocationCount() noexcept { return gAttempts; }
int64_t liveAllocations() noexcept { return gLive; }
void resetAllocationCount() noexcept { gAttempts = 0; }
}  // namespace testing
}  // namespace qx

#include "alloc.h"

namespace qx {
namespace {
int64_t gFailAfter = -1;   // -1: never fail on purpose
int64_t gAttempts = 0;
int64_t gLive = 0;
int64_t gTierFailAfter = -1;
int64_t gTierAttempts = 0;

bool takeStep(int64_t& failAfter) noexcept {
  if (failAfter >= 0) {
    if (failAfter == 0) {
      failAfter = -1;  // one failure per request
      return false;
    }
    --failAfter;
  }
  return true;
}

int64_t gTierLive = 0;
uint64_t gBlockLimit = uint64_t{1} << 32;

void* allocChecked(int64_t count, size_t size, bool zeroed, int64_t& live) noexcept {
  if (count < 0 || size == 0) return nullptr;
  uint64_t bytes = static_cast<uint64_t>(count) * size;
  if (count != 0 && bytes / static_cast<uint64_t>(count) != size) return nullptr;
  if (bytes > gBlockLimit) return nullptr;
  // Where size_t is 32 bits wide, 4 GiB itself does not fit: refuse it
  // rather than let the cast wrap to a tiny block.
  if (static_cast<uint64_t>(static_cast<size_t>(bytes)) != bytes) return nullptr;
  const size_t n = bytes ? static_cast<size_t>(bytes) : 1;
  void* p = zeroed ? std::calloc(n, 1) : std::malloc(n);
  if (p) ++live;
  return p;
}
}  // namespace

void* allocRaw(int64_t count, size_t size, bool zeroed) noexcept {
  ++gAttempts;
  if (!takeStep(gFailAfter)) return nullptr;
  return allocChecked(count, size, zeroed, gLive);
}

void* allocTierRaw(int64_t count, size_t size) noexcept {
  ++gTierAttempts;
  if (!takeStep(gTierFailAfter)) return nullptr;
  return allocChecked(count, size, false, gTierLive);
}

void freeTierRaw(void* p) noexcept {
  if (!p) return;
  --gTierLive;
  std::free(p);
}

bool tierMayAllocate() noexcept {
  ++gTierAttempts;
  return takeStep(gTierFailAfter);
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
void limitBlockSize(uint64_t bytes) noexcept { gBlockLimit = bytes < (uint64_t{1} << 32) ? bytes : uint64_t{1} << 32; }
void failTierAllocationAfter(int64_t n) noexcept { gTierFailAfter = n < 0 ? -1 : n; }
int64_t tierAllocationCount() noexcept { return gTierAttempts; }
int64_t liveTierAllocations() noexcept { return gTierLive; }
}  // namespace testing
}  // namespace qx

// Checked allocation for the whole library.
//
// Every allocation of the library goes through these functions so that a
// failure is always seen (null result) and so that tests can make the k-th
// allocation fail on purpose. Nothing here throws.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace qx {

// Returns null when the allocator fails, when `count` is negative, or when
// count * size would overflow. A count of 0 allocates one byte so that the
// result is a valid, unique, freeable address.
// Single blocks are limited to 4 GiB: a larger request from a formula (a
// store length, say) fails like any other allocation.
void* allocRaw(int64_t count, size_t size, bool zeroed = false) noexcept;
void freeRaw(void* p) noexcept;

template <class T>
inline T* allocArray(int64_t count) noexcept {
  return static_cast<T*>(allocRaw(count, sizeof(T)));
}

// Same as allocArray, with every element zero-filled.
template <class T>
inline T* allocZeroed(int64_t count) noexcept {
  return static_cast<T*>(allocRaw(count, sizeof(T), true));
}

template <class T>
inline void freeArray(T*& p) noexcept {
  freeRaw(const_cast<void*>(static_cast<const void*>(p)));
  p = nullptr;
}

// The machine-code tier allocates through its own entry: the same checks
// and live count, with a failure switch of its own, so that a failure
// injected into the formulas' allocations is never taken by a translation
// that happens to run first (and the other way round); its blocks are
// counted apart as well. tierMayAllocate
// consumes one step of that switch without allocating: the tier asks it
// before it takes executable memory.
void* allocTierRaw(int64_t count, size_t size) noexcept;
void freeTierRaw(void* p) noexcept;
bool tierMayAllocate() noexcept;

namespace testing {
// Failure injection into the tier's allocations: after `n` further
// successful ones the next fails; negative switches it off.
void failTierAllocationAfter(int64_t n) noexcept;
int64_t tierAllocationCount() noexcept;
int64_t liveTierAllocations() noexcept;

// Failure injection for tests: after `n` further successful allocations the
// next one fails (n = 0 fails the very next one). A negative value switches
// injection off. `allocationCount` counts every allocation attempt since the
// last reset; `liveAllocations` counts blocks not yet released.
void failAllocationAfter(int64_t n) noexcept;
int64_t allocationCount() noexcept;
int64_t liveAllocations() noexcept;
void resetAllocationCount() noexcept;
// Lowers the 4 GiB limit on single blocks (fuzzers: a formula asking for a
// store of a billion elements then fails at once instead of zero-filling
// gigabytes). Values above 4 GiB restore the default.
void limitBlockSize(uint64_t bytes) noexcept;
}  // namespace testing

}  // namespace qx

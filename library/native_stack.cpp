// The stack bounds of the calling thread, read once per thread.
#include "native_stack.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace qx {

namespace {

// Records a stack whose usable part starts at `low` and is `size` bytes.
void setBounds(StackBounds& b, uintptr_t low, size_t size) noexcept {
  b.low = low;
  // On a stack smaller than the margin no frame reaches the limit, so no
  // nested evaluation starts; frames of other stacks above it still pass.
  b.limit = b.low + (size < kStackMargin ? size : kStackMargin);
}

}  // namespace

#ifdef _WIN32
// A Windows thread's stack is one reserved block: its allocation base is the
// bottom (the guard pages lie within its lowest pages, well inside the
// margin), and the committed pages in use run from below the current frame
// up to its top.
void readStackBounds() noexcept {
  StackBounds& b = tStackBounds;
  b.read = true;
  MEMORY_BASIC_INFORMATION region;
  const void* here = __builtin_frame_address(0);
  if (VirtualQuery(here, &region, sizeof region) != sizeof region || !region.AllocationBase) return;
  const uintptr_t low = reinterpret_cast<uintptr_t>(region.AllocationBase);
  const uintptr_t high = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
  if (high <= low) return;
  setBounds(b, low, high - low);
}
#else
void readStackBounds() noexcept {
  StackBounds& b = tStackBounds;
  b.read = true;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* addr = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size > 0)
    setBounds(b, reinterpret_cast<uintptr_t>(addr), size);
  pthread_attr_destroy(&attr);
}
#endif

}  // namespace qx

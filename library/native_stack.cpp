// The stack bounds of the calling thread, read once per thread.
#include "native_stack.h"

#include <pthread.h>

namespace qx {

void readStackBounds() noexcept {
  StackBounds& b = tStackBounds;
  b.read = true;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* addr = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size > 0) {
    b.low = reinterpret_cast<uintptr_t>(addr);
    // On a stack smaller than the margin no frame reaches the limit, so no
    // nested evaluation starts; frames of other stacks above it still pass.
    b.limit = b.low + (size < kStackMargin ? size : kStackMargin);
  }
  pthread_attr_destroy(&attr);
}

}  // namespace qx

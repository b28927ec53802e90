#include "native_stack.h"

#include <pthread.h>

#include <cstdint>

namespace qx {

namespace {

enum class BoundsState : unsigned char { Unread, Known, Unknown };

struct StackBounds {
  uintptr_t low;   // lowest usable address (the guard page lies below it)
  uintptr_t high;  // one past the highest address
  BoundsState state;
};

// Constant-initialised, so reading it needs no initialisation guard.
thread_local StackBounds tBounds = {0, 0, BoundsState::Unread};

void readBounds(StackBounds& b) noexcept {
  b.state = BoundsState::Unknown;
  pthread_attr_t attr;
  if (pthread_getattr_np(pthread_self(), &attr) != 0) return;
  void* addr = nullptr;
  size_t size = 0;
  if (pthread_attr_getstack(&attr, &addr, &size) == 0 && addr && size > 0) {
    b.low = reinterpret_cast<uintptr_t>(addr);
    b.high = b.low + size;
    b.state = BoundsState::Known;
  }
  pthread_attr_destroy(&attr);
}

}  // namespace

bool stackRoomLeft() noexcept {
  StackBounds& b = tBounds;
  if (b.state == BoundsState::Unread) readBounds(b);
  if (b.state != BoundsState::Known) return true;
  // The frame address, not the address of a local: with AddressSanitizer's
  // fake stacks a local may live on the heap, the frame never does.
  const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  if (here < b.low || here >= b.high) return true;
  return here - b.low >= kStackMargin;
}

}  // namespace qx

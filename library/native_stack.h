// Room left on the native stack of the calling thread.
//
// Nested evaluations (formula calls, repeated evaluation, calls across
// engines, host functions re-entering the exports) recurse on the caller's
// native stack. A count of levels alone cannot keep that safe: what one
// level costs depends on the path (a datasum level takes more than twice a
// calfor level) and on the build, and host threads often have far smaller
// stacks than the main thread. So each nested evaluation also checks the
// stack that is really left.
#pragma once
#include <cstddef>
#include <cstdint>

namespace qx {

// Stack that must be left when a nested evaluation starts. The deepest
// single step between two checks takes about 0.7 KB (datasum; 1.6 KB with
// AddressSanitizer), and the step below the last check may still run a
// host function (printing, libm) with its own needs: 64 KB leaves that
// room many times over.
constexpr size_t kStackMargin = 64 * 1024;

// What is known of the calling thread's stack.
struct StackBounds {
  uintptr_t low = 0;    // lowest usable address (any guard page lies below)
  uintptr_t limit = 0;  // low + kStackMargin; 0 when the bounds are unknown
  bool read = false;
};

// One per thread, read at the thread's first nested evaluation. The
// initial-exec model makes each check one thread-pointer-relative load
// instead of a call into the dynamic loader (ELF only; a DLL's thread
// storage has no such choice).
#ifdef _WIN32
inline thread_local StackBounds tStackBounds;
#else
inline thread_local StackBounds tStackBounds __attribute__((tls_model("initial-exec")));
#endif

// Reads the thread's stack bounds into tStackBounds.
void readStackBounds() noexcept;

// True when the calling thread has at least kStackMargin bytes of stack
// below the current frame. Where the bounds cannot be read, or the current
// frame lies below them (a stack the host switched to, such as a
// coroutine's), nothing is known and the answer is true: the level cap
// alone applies.
inline bool stackRoomLeft() noexcept {
  const StackBounds& b = tStackBounds;
  if (__builtin_expect(!b.read, 0)) readStackBounds();
  // The frame address, not the address of a local: with AddressSanitizer's
  // fake stacks a local may live on the heap, the frame never does.
  const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  return here >= b.limit || here < b.low;
}

}  // namespace qx

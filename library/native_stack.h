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

namespace qx {

// Stack that must be left when a nested evaluation starts. The deepest
// single step between two checks takes about 0.7 KB (datasum; 1.6 KB with
// AddressSanitizer), and the step below the last check may still run a
// host function (printing, libm) with its own needs: 64 KB leaves that
// room many times over.
constexpr size_t kStackMargin = 64 * 1024;

// True when the calling thread has at least kStackMargin bytes of stack
// below the current frame. The thread's stack bounds are read once per
// thread and kept; where they cannot be read, or the current frame lies
// outside them (a stack the host switched to, such as a coroutine's),
// nothing is known and the answer is true: the level cap alone applies.
bool stackRoomLeft() noexcept;

}  // namespace qx

// Worker threads for bulk evaluation.
//
// The library has no threads until a bulk call first asks for them. The
// workers then persist between calls, asleep on a condition variable, and
// are ended (joined) by deletedll and when the library is unloaded. Only
// the calling thread ever talks to the pool (the library's one-host-thread
// rule); workers only run the part of a job they are handed.
#pragma once
#include <cstdint>

namespace qx::workers {

// Most threads one call can use, the calling thread included.
constexpr int32_t kMaxThreads = 64;

// Threads a bulk call may use for the limit set by setthreads (0: one per
// online processor), at least 1 and at most kMaxThreads.
int32_t threadsFor(int32_t limit) noexcept;

// Makes sure `wanted` workers run (starting the missing ones) and returns
// how many do, which is fewer when a thread could not be started.
int32_t ensure(int32_t wanted) noexcept;

// Runs part(job, 0) on the calling thread and part(job, k) for k = 1 ..
// `helpers` on the workers (all of them started by ensure), and returns
// when every part has returned. Each part runs on one thread only.
using Part = void (*)(void* job, int32_t part);
void run(int32_t helpers, Part part, void* job) noexcept;

// Ends and joins every worker; the next ensure starts them again.
void shutdown() noexcept;

// Workers running now (tests).
int32_t running() noexcept;

}  // namespace qx::workers

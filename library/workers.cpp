// The worker pool behind bulk evaluation: started lazily, asleep between
// jobs, ended by deletedll or unloading.
#include "workers.h"

#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qx::workers {
namespace {

struct Pool {
  std::mutex m;
  std::condition_variable wake;  // workers wait here for a job or for the end
  std::condition_variable idle;  // the caller waits here for the parts to finish
  uint64_t generation = 0;       // counts jobs; a worker runs a job it has not seen
  int32_t helpers = 0;           // workers taking part in the current job (1 .. helpers)
  int32_t pending = 0;           // of those, the ones still running their part
  Part part = nullptr;
  void* job = nullptr;
  bool quit = false;
  int32_t count = 0;             // workers started; worker k runs part k
  alignas(std::thread) unsigned char threads[kMaxThreads][sizeof(std::thread)];
#ifndef _WIN32
  pid_t pid = 0;                 // process that started the workers
#endif
  std::thread& thread(int32_t k) noexcept { return *std::launder(reinterpret_cast<std::thread*>(threads[k])); }
};

// The pool lives in static storage that is never destroyed automatically:
// its end is the explicit shutdown below, which must not depend on the
// order in which the runtime destroys static objects at exit.
alignas(Pool) unsigned char gStorage[sizeof(Pool)];
Pool* gPool = nullptr;

void workerMain(Pool* p, int32_t index, uint64_t seen) noexcept {
  std::unique_lock<std::mutex> lk(p->m);
  for (;;) {
    p->wake.wait(lk, [&] { return p->quit || p->generation != seen; });
    if (p->quit) return;
    seen = p->generation;
    if (index > p->helpers) continue;  // not needed for this job
    const Part part = p->part;
    void* job = p->job;
    lk.unlock();
    part(job, index);
    lk.lock();
    if (--p->pending == 0) p->idle.notify_one();
  }
}

// While workers run, the module that holds their code must stay loaded.
// Windows: a worker cannot be joined from DllMain (thread exit needs the
// loader lock that FreeLibrary holds), so the running pool holds a
// reference on the DLL instead: FreeLibrary without deletedll then leaves
// the DLL loaded with its workers asleep, and deletedll (called from the
// host's code, not DllMain) joins them and gives the reference back. At
// process exit Windows ends the threads itself; nothing runs then.
// Elsewhere: unloading (dlclose, or exit) joins the workers from a
// destructor function of the shared object.
#ifdef _WIN32
HMODULE gPinned = nullptr;

void holdModule() noexcept {
  if (gPinned) return;
  const auto here = reinterpret_cast<LPCWSTR>(&gStorage);
  HMODULE self = nullptr;
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          here, &self))
    return;
  // Linked into a program (not a DLL): nothing can unload it.
  if (self == GetModuleHandleW(nullptr)) return;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, here, &gPinned);
}

void releaseModule() noexcept {
  if (HMODULE h = gPinned) {
    gPinned = nullptr;
    FreeLibrary(h);  // the host still holds its own reference while it calls deletedll
  }
}
#else
void holdModule() noexcept {}
void releaseModule() noexcept {}

__attribute__((destructor)) void endWorkersAtUnload() { shutdown(); }
#endif

Pool* pool() noexcept {
  if (!gPool) gPool = new (gStorage) Pool();
#ifndef _WIN32
  // A child process after fork has none of its parent's workers: forget
  // them (they cannot be joined here) and start afresh.
  if (gPool->count > 0 && gPool->pid != getpid()) gPool = new (gStorage) Pool();
#endif
  return gPool;
}

}  // namespace

// Processors online, asked once per life of the library (deletedll asks
// again): the system answers by reading a file, which costs microseconds,
// more than a small bulk call.
static int32_t gOnline = 0;

int32_t threadsFor(int32_t limit) noexcept {
  int64_t n = limit;
  if (n <= 0) {
    if (gOnline <= 0) gOnline = static_cast<int32_t>(std::thread::hardware_concurrency());  // 0 when unknown
    n = gOnline;
  }
  if (n < 1) n = 1;
  return n > kMaxThreads ? kMaxThreads : static_cast<int32_t>(n);
}

int32_t ensure(int32_t wanted) noexcept {
  if (wanted > kMaxThreads - 1) wanted = kMaxThreads - 1;
  Pool* p = pool();
  while (p->count < wanted) {
    if (p->count == 0) holdModule();
    const int32_t index = p->count + 1;
    try {
      new (p->threads[p->count]) std::thread(workerMain, p, index, p->generation);
    } catch (...) {
      break;  // no thread (or no memory for one): make do with those running
    }
#ifndef _WIN32
    p->pid = getpid();
#endif
    ++p->count;
  }
  if (p->count == 0) releaseModule();
  return p->count < wanted ? p->count : wanted;
}

void run(int32_t helpers, Part part, void* job) noexcept {
  Pool* p = helpers > 0 ? pool() : nullptr;
  if (p) {
    std::lock_guard<std::mutex> lk(p->m);
    p->part = part;
    p->job = job;
    p->helpers = helpers;
    p->pending = helpers;
    ++p->generation;
  }
  if (p) p->wake.notify_all();
  part(job, 0);
  if (p) {
    std::unique_lock<std::mutex> lk(p->m);
    p->idle.wait(lk, [p] { return p->pending == 0; });
  }
}

void shutdown() noexcept {
  gOnline = 0;
  Pool* p = gPool;
  if (!p || p->count == 0) return;
#ifndef _WIN32
  if (p->pid != getpid()) {
    gPool = new (gStorage) Pool();
    return;
  }
#endif
  {
    std::lock_guard<std::mutex> lk(p->m);
    p->quit = true;
  }
  p->wake.notify_all();
  for (int32_t k = 0; k < p->count; ++k) {
    std::thread& t = p->thread(k);
    try {
      if (t.joinable()) t.join();
    } catch (...) {
      try {
        t.detach();
      } catch (...) {
      }
    }
    if (!t.joinable()) t.~thread();  // (a thread that could be neither joined nor detached is left alone)
  }
  p->count = 0;
  p->quit = false;
  releaseModule();
}

int32_t running() noexcept { return gPool ? gPool->count : 0; }

}  // namespace qx::workers

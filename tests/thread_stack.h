// Threads with a stack of a chosen size, for the tests of the native-stack
// guard: a POSIX thread on a stack mapped here, or a Windows thread with
// that much stack reserved.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace qxtest {

#ifdef _WIN32
// Windows reserves stacks in whole allocation units (64 KB).
inline size_t smallestThreadStack() {
  SYSTEM_INFO info;
  GetSystemInfo(&info);
  return std::max<size_t>(16 * 1024, info.dwAllocationGranularity);
}

struct StackCall {
  const std::function<void()>* f;
  size_t room;
};

// Calls f with at most c.room bytes of the thread's stack left below it.
// Windows gives the thread that much stack (rounded up to 64 KB); Wine gives
// every thread at least 1 MB, and there the stack down to c.room is taken
// first (the allocation is probed page by page, as the stack grows).
inline DWORD WINAPI stackCallBody(void* p) {
  const StackCall& c = *static_cast<const StackCall*>(p);
  const uintptr_t here = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
  MEMORY_BASIC_INFORMATION region{};
  if (VirtualQuery(reinterpret_cast<const void*>(here), &region, sizeof region) != sizeof region) return 1;
  const uintptr_t low = reinterpret_cast<uintptr_t>(region.AllocationBase);
  if (here > low + c.room) {
    volatile char* taken = static_cast<volatile char*>(__builtin_alloca(here - low - c.room));
    taken[0] = 0;
  }
  (*c.f)();
  return 0;
}

// Runs f on a new thread with stackBytes of stack (0: on the calling
// thread). False when the thread could not be made.
inline bool runOnThread(size_t stackBytes, const std::function<void()>& f) {
  if (stackBytes == 0) {
    f();
    return true;
  }
  StackCall call{&f, stackBytes};
  HANDLE thread = CreateThread(nullptr, stackBytes, stackCallBody, &call, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!thread) return false;
  WaitForSingleObject(thread, INFINITE);
  DWORD status = 1;
  GetExitCodeThread(thread, &status);
  CloseHandle(thread);
  return status == 0;
}
#else
inline size_t smallestThreadStack() {
  return std::max<size_t>(16 * 1024, static_cast<size_t>(sysconf(_SC_THREAD_STACK_MIN)));
}

// Runs f on a new thread whose stack is exactly stackBytes, with an
// inaccessible page below it (0: on the calling thread). The stack is
// mapped here rather than left to the thread library, which may hand out a
// larger cached one. False when the thread could not be made.
inline bool runOnThread(size_t stackBytes, const std::function<void()>& f) {
  if (stackBytes == 0) {
    f();
    return true;
  }
  const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  void* block = mmap(nullptr, stackBytes + page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (block == MAP_FAILED) return false;
  bool ok = mprotect(block, page, PROT_NONE) == 0;
  pthread_attr_t attr;
  ok = ok && pthread_attr_init(&attr) == 0;
  if (ok) {
    ok = pthread_attr_setstack(&attr, static_cast<char*>(block) + page, stackBytes) == 0;
    auto body = [](void* p) -> void* {
      (*static_cast<const std::function<void()>*>(p))();
      return nullptr;
    };
    pthread_t thread;
    ok = ok && pthread_create(&thread, &attr, body, const_cast<std::function<void()>*>(&f)) == 0;
    if (ok) pthread_join(thread, nullptr);
    pthread_attr_destroy(&attr);
  }
  munmap(block, stackBytes + page);
  return ok;
}
#endif

}  // namespace qxtest

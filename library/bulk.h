// Bulk evaluation of rows whose evaluations may run in any order.
//
// A bulk call means exactly the loop of single calls. For most rows it is
// that loop (interface.cpp). An order-free row (order_free.h) may instead
// run in the lane code of the tier, several evaluations per step, and have
// its evaluations split into blocks over worker threads, each with its own
// copy of the value array, pointer table and stack area; a block runs in
// lane code when the row has some, else in the interpreter.
#pragma once
#include <algorithm>
#include <atomic>
#include <cfenv>
#include <cstdint>
#include <cstring>

#include "engine.h"
#include "evaluator/calls.h"
#include "evaluator/evaluator.h"
#include "jit/tier.h"
#include "opcodes.h"
#include "order_free.h"
#include "workers.h"

namespace qx::bulk {

// ---- classification ---------------------------------------------------------------
//
// Per row, cached in TableView::bulk (0: not decided yet, cleared whenever
// the row is released or compiled again): -1 when the row must run as the
// loop, otherwise its estimated cost per evaluation, packed as
// cheap codes | (calls of the mathematical library << 16), plus kGuarded
// when it holds assignments whose constants must stay false (order_free.h).
constexpr int32_t kSequential = -1;
constexpr int32_t kGuarded = 1 << 30;

inline int32_t cheapCodes(int32_t cost) noexcept { return cost & 0xffff; }
inline int32_t libmCalls(int32_t cost) noexcept { return (cost >> 16) & 0x3fff; }

// The scan needs a map of the variable slots; when it cannot be allocated
// the row runs as the loop for this call (and the answer is not kept).
template <class T>
int32_t classify(const TableView<typename T::Value>& t, int32_t row, bool& cacheable) noexcept {
  using V = typename T::Value;
  cacheable = true;
  V* const* ptrs = t.ptrs[row];
  const V* vals = t.vals[row];
  const int64_t vars = ptrs[0] - vals;  // slots before the first constant
  const int64_t slots = static_cast<int64_t>(t.header[row][H_LAST_SLOT]) + 1;
  if (vars < 0 || vars > slots) return kSequential;
  uint8_t* state = allocZeroed<uint8_t>(vars);
  if (!state) {
    cacheable = false;
    return kSequential;
  }
  bool guarded = false;
  auto guard = [&](int64_t slot) {
    guarded = true;
    return !T::truth(vals[slot]);
  };
  CodeCounts n;
  const bool free = scanOrderFree<T>(t.code[row], ptrs, vals, t.header[row][H_LAST_ARG], vars, state, guard, &n);
  freeArray(state);
  if (!free) return kSequential;
  if (n.cheap > 0xffff) n.cheap = 0xffff;
  if (n.libm > 0x3fff) n.libm = 0x3fff;
  return n.cheap | (n.libm << 16) | (guarded ? kGuarded : 0);
}

template <class T>
int32_t rowCost(TableView<typename T::Value>& t, int32_t row) noexcept {
  int32_t c = t.bulk[row];
  if (c != 0) return c;
  bool cacheable = true;
  c = classify<T>(t, row, cacheable);
  if (cacheable) t.bulk[row] = c;
  return c;
}

// A row with assignments stays order-free only while their constants stay
// false, and a host may have changed them since the answer was cached:
// scanned again before the interpreter runs it out of order (lane code
// checks them itself).
template <class T>
bool guardsHold(const TableView<typename T::Value>& t, int32_t row, int32_t cost) noexcept {
  bool cacheable;
  return !(cost & kGuarded) || classify<T>(t, row, cacheable) != kSequential;
}

// ---- when threads pay --------------------------------------------------------------
//
// Estimated time of one evaluation in units of about one code of machine
// code: an interpreted code costs several translated ones (dispatch, stack
// traffic in memory), a call of the mathematical library costs the same in
// either tier and many codes, and lane code shares its cheap codes out over
// two to eight evaluations (weighed as four throughout). Measured side by
// side with rcalv over 3 .. 1,000,000 argument sets (x*2+y, Horner degree
// 8, x*2+sin(y), the exp/ln/cos formula, the normal density), interpreter
// on one and two threads and machine code on one: an interpreted cheap
// code took 6 to 12 times a translated one, sin or exp 20 to 40 translated
// codes. Those runs shared the machine's two cores with a fuzzing campaign
// and builds (load 8 to 11), so the figures are rough; the weights are
// round values within them. On a quiet machine, lane code on two threads
// against one (wall clock, two cores) broke even at about 6,000
// evaluations of x*2+sin(y), 2,000 to 3,000 of the exp/ln/cos formula and
// of the normal density, and about 100,000 of x*2+y, whose lanes are
// bound by memory more than by their codes; the lane weights give about
// 6,300, 2,100, 3,100 and 100,000.
constexpr int64_t kInterpCheap = 6;   // interpreted code
constexpr int64_t kJitCheap = 1;      // the same code as machine code
constexpr int64_t kLibmCall = 30;     // one call of pow, exp, sin, ... in either tier

inline int64_t interpretedUnits(int32_t cost) noexcept {
  return kInterpCheap * cheapCodes(cost) + kLibmCall * libmCalls(cost);
}
inline int64_t machineUnits(int32_t cost) noexcept {
  return kJitCheap * cheapCodes(cost) + kLibmCall * libmCalls(cost);
}
inline int64_t laneUnits(int32_t cost) noexcept {
  return (kJitCheap * cheapCodes(cost) + 2) / 4 + kLibmCall * libmCalls(cost);
}

// Least estimated work (evaluations x units) for which a second thread
// pays for waking it and waiting for it. Waking a sleeping worker and
// waiting for its last block cost 8 to 32 us per call in the runs above
// (count 3, two threads against one); with a unit of roughly 0.3 ns (a
// translated code) that is 30,000 to 100,000 units, and a second thread
// pays from about twice that. So, in the interpreter: x*2+y (36 units)
// from about 5,500 evaluations, x*2+sin(y) (66) from about 3,000, the
// exp/ln/cos formula (210) from about 1,000, the normal density (150) from
// about 1,300.
constexpr int64_t kMinParallelWork = 200000;
// The value in force (tests lower it to put small counts on threads).
extern int64_t gMinParallelWork;
namespace testing {
inline void setMinParallelWork(int64_t units) noexcept { gMinParallelWork = units < 0 ? kMinParallelWork : units; }
}  // namespace testing

// ---- storage of the threads ---------------------------------------------------------
//
// Per thread (worker k uses block k; the calling thread works on the row's
// own storage) one block holding a copy of the value array, the stack area
// and a pointer table rebased onto the copy. Kept between calls, grown
// when a row needs more, released by deletedll.
struct Scratch {
  unsigned char* block = nullptr;
  int64_t size = 0;
};
extern Scratch gScratch[workers::kMaxThreads];
void releaseScratch() noexcept;

inline int64_t roundUp(int64_t n) noexcept { return (n + 15) & ~int64_t{15}; }

template <class V>
struct Storage {
  V* vals;
  V* const* ptrs;
  V* stack;
};

// Sets up the storage of workers 1 .. helpers for row `row`; returns how
// many could be set up (fewer when an allocation failed).
template <class T>
int32_t prepareStorage(const TableView<typename T::Value>& t, int32_t row, int32_t helpers,
                       Storage<typename T::Value>* storage) noexcept {
  using V = typename T::Value;
  const int64_t slots = static_cast<int64_t>(t.header[row][H_LAST_SLOT]) + 1;
  const int64_t stackSlots = static_cast<int64_t>(t.header[row][H_CODE_LENGTH]) + 1;
  const int64_t refs = static_cast<int64_t>(t.header[row][H_REF_COUNT]) + 1;
  const int64_t valsBytes = roundUp(slots * static_cast<int64_t>(sizeof(V)));
  const int64_t stackBytes = roundUp(stackSlots * static_cast<int64_t>(sizeof(V)));
  const int64_t need = valsBytes + stackBytes + refs * static_cast<int64_t>(sizeof(V*));
  const V* vals = t.vals[row];
  V* const* ptrs = t.ptrs[row];
  for (int32_t k = 1; k <= helpers; ++k) {
    Scratch& s = gScratch[k];
    if (s.size < need) {
      freeArray(s.block);
      s.size = 0;
      if (!(s.block = allocArray<unsigned char>(need))) return k - 1;
      s.size = need;
    }
    V* copy = reinterpret_cast<V*>(s.block);
    V* stack = reinterpret_cast<V*>(s.block + valsBytes);
    V** table = reinterpret_cast<V**>(s.block + valsBytes + stackBytes);
    std::memcpy(static_cast<void*>(copy), vals, static_cast<size_t>(slots) * sizeof(V));
    for (int64_t j = 0; j < refs; ++j) table[j] = copy + (ptrs[j] - vals);
    storage[k] = Storage<V>{copy, table, stack};
  }
  return helpers;
}

// ---- the evaluations -------------------------------------------------------------------

// Argument k of evaluation i is args[i*rowStride + k*argStride], in 64 bits.
template <class V>
inline void loadArguments(V* vals, int32_t last, const V* args, int32_t i, int32_t rowStride,
                          int32_t argStride) noexcept {
  const V* a = args + static_cast<std::ptrdiff_t>(static_cast<int64_t>(i) * rowStride);
  for (int32_t k = 0; k <= last; ++k) vals[k] = a[static_cast<std::ptrdiff_t>(static_cast<int64_t>(k) * argStride)];
}

// Evaluation i as a single call on the row's own storage.
template <class T>
inline void runSingle(TableView<typename T::Value>& t, int32_t row, int32_t i, const typename T::Value* args,
                      int32_t rowStride, int32_t argStride, typename T::Value* results) noexcept {
  const int32_t last = t.header[row][H_LAST_ARG];
  if (last >= 0) loadArguments(t.vals[row], last, args, i, rowStride, argStride);
  results[i] = runRow<T>(t, row);
}

template <class T>
struct Job {
  using V = typename T::Value;
  const uint8_t* code;
  const void* laneCode;  // the row's lane code, or null: the interpreter
  const V* args;
  int32_t rowStride, argStride, last;
  V* results;
  int32_t count;  // evaluations 0 .. count-1 are shared out
  int32_t block;  // evaluations per block
  std::atomic<int32_t> next{0};                // next block to claim
  std::atomic<int32_t> stoppedAt{INT32_MAX};   // lowest block left undone after an interrupt
  std::fenv_t env;                             // the calling thread's floating-point environment
  Storage<V> storage[workers::kMaxThreads];
};

// Evaluations i0 .. i1-1 on one thread's storage: the unit of work a
// thread takes.
template <class T>
void runBlock(const Job<T>& job, int32_t i0, int32_t i1, const Storage<typename T::Value>& s) noexcept {
  // An order-free row's code reaches none of the engine's shared state:
  // no error record (errors come only from second-level functions), no
  // loop records or nesting counts (no loops or calls), no host code. The
  // evaluator reads the engine's loop level once at its start, and nothing
  // writes it while the threads run; the operators and one-argument
  // functions are the C library's, which keep no state but errno (per
  // thread). So the only memory written is the thread's own and results.
  // (Lane code refuses only when an assignment's constant has turned true,
  // which the caller checked and nothing changes during the call.)
  if (job.laneCode) {
    jit::runLanes<T>(job.laneCode, i0, i1, job.args, job.rowStride, job.argStride, job.results, s.vals);
    return;
  }
  for (int32_t i = i0; i < i1; ++i) {
    if (job.last >= 0) loadArguments(s.vals, job.last, job.args, i, job.rowStride, job.argStride);
    job.results[i] = evaluate<T>(job.code, s.ptrs, s.stack);
  }
}

// Part k of a job: claims blocks in order until none is left. A block
// after the first is not started once an interrupt is requested, so the
// blocks done always form a prefix (every block below a claimed one has
// been claimed, and a claimed block is finished or recorded as stopped).
template <class T>
void runPart(void* p, int32_t k) noexcept {
  Job<T>& job = *static_cast<Job<T>*>(p);
  if (k > 0) std::fesetenv(&job.env);
  for (;;) {
    const int32_t b = job.next.fetch_add(1, std::memory_order_relaxed);
    const int64_t i0 = static_cast<int64_t>(b) * job.block;
    if (i0 >= job.count) return;
    if (b > 0 && gInterrupt.load(std::memory_order_relaxed) != 0) {
      int32_t seen = job.stoppedAt.load(std::memory_order_relaxed);
      while (b < seen && !job.stoppedAt.compare_exchange_weak(seen, b, std::memory_order_relaxed)) {
      }
      return;
    }
    const int64_t i1 = i0 + job.block < job.count ? i0 + job.block : job.count;
    runBlock<T>(job, static_cast<int32_t>(i0), static_cast<int32_t>(i1), job.storage[k]);
  }
}

// Whether the arguments, the results and the row's value array lie apart.
// Out of order, evaluations read the arguments of later ones before
// earlier results are written and work on copies of the value array:
// where those share memory, the order would show, and the call keeps the
// loop of single evaluations.
template <class V>
bool apart(int32_t count, const V* args, int32_t rowStride, int32_t argStride, int32_t last, const V* results,
           const V* vals, int32_t lastSlot) noexcept {
  const int64_t n = static_cast<int64_t>(sizeof(V));
  const int64_t rowSpan = static_cast<int64_t>(count - 1) * rowStride * n;
  const int64_t argSpan = static_cast<int64_t>(last < 0 ? 0 : last) * argStride * n;
  const uintptr_t a = reinterpret_cast<uintptr_t>(args);
  // Byte ranges [lo, hi).
  const uintptr_t argLo = a + static_cast<uintptr_t>(std::min<int64_t>(rowSpan, 0) + std::min<int64_t>(argSpan, 0));
  const uintptr_t argHi = a + static_cast<uintptr_t>(std::max<int64_t>(rowSpan, 0) + std::max<int64_t>(argSpan, 0) + n);
  const uintptr_t resLo = reinterpret_cast<uintptr_t>(results), resHi = resLo + static_cast<uintptr_t>(count * n);
  const uintptr_t valLo = reinterpret_cast<uintptr_t>(vals), valHi = valLo + static_cast<uintptr_t>((lastSlot + 1) * n);
  auto disjoint = [](uintptr_t lo1, uintptr_t hi1, uintptr_t lo2, uintptr_t hi2) { return hi1 <= lo2 || hi2 <= lo1; };
  return disjoint(resLo, resHi, valLo, valHi) &&
         (last < 0 || (disjoint(argLo, argHi, resLo, resHi) && disjoint(argLo, argHi, valLo, valHi)));
}

// The row's lane code, when it has some and may use it now (lane code
// refuses to run, doing nothing, when an assignment's constant has turned
// true; asked here with no evaluation to run).
template <class T>
const void* usableLaneCode(TableView<typename T::Value>& t, int32_t row) noexcept {
  const void* code = t.jit[row];
  if (!code || !jit::hasLanes(code)) return nullptr;
  return jit::runLanes<T>(code, 0, 0, nullptr, 0, 0, nullptr, t.vals[row]) ? code : nullptr;
}

// Evaluations 0 .. count-2 over the calling thread and the workers, when
// that pays. Returns the number of evaluations made (a prefix: fewer than
// count-1 after an interrupt), or -1 when nothing ran.
template <class T>
int32_t runThreads(TableView<typename T::Value>& t, int32_t row, int32_t count, const typename T::Value* args,
                   int32_t rowStride, int32_t argStride, typename T::Value* results, int32_t cost,
                   const void* laneCode) noexcept {
  using V = typename T::Value;
  if (count < 3 || gLib.threads == 1) return -1;
  const int32_t shared = count - 1;
  const int64_t units = laneCode ? laneUnits(cost) : interpretedUnits(cost);
  const int64_t work = static_cast<int64_t>(shared) * units;
  if (work < gMinParallelWork) return -1;
  const int32_t threads = workers::threadsFor(gLib.threads);
  if (threads < 2) return -1;
  // One more thread per gMinParallelWork of work, up to the limit.
  int64_t wanted = gMinParallelWork > 0 ? work / gMinParallelWork : threads;
  if (wanted > threads) wanted = threads;
  if (wanted < 2) wanted = 2;
  // Without lane code, threads run the interpreter: scalar machine code on
  // this thread alone beats it on `wanted` threads when the row is mostly
  // cheap codes (the interpreter's time shared out is no less).
  if (!laneCode && t.jit[row] && units >= machineUnits(cost) * wanted) return -1;
  if (!laneCode && !guardsHold<T>(t, row, cost)) return -1;

  static Job<T> job;  // (large: the storage; only the calling thread sets it up)
  int32_t helpers = workers::ensure(static_cast<int32_t>(wanted) - 1);
  helpers = prepareStorage<T>(t, row, helpers, job.storage);
  if (helpers < 1) return -1;

  job.code = t.code[row];
  job.laneCode = laneCode;
  job.args = args;
  job.rowStride = rowStride;
  job.argStride = argStride;
  job.last = t.header[row][H_LAST_ARG];
  job.results = results;
  job.count = shared;
  // Blocks small enough to share out evenly (about eight per thread) and
  // to stop soon after an interrupt, large enough to cost little to claim.
  int64_t block = shared / (8 * (static_cast<int64_t>(helpers) + 1));
  if (block < 256) block = 256;
  if (block > 16384) block = 16384;
  job.block = static_cast<int32_t>(block);
  job.next.store(0, std::memory_order_relaxed);
  job.stoppedAt.store(INT32_MAX, std::memory_order_relaxed);
  std::fegetenv(&job.env);
  // The calling thread works on the row's own storage: the last evaluation
  // runs there afterwards and leaves what the loop would.
  job.storage[0] = Storage<V>{t.vals[row], t.ptrs[row], t.stack[row]};

  // The row is busy and its table in use for the whole call, as during
  // each evaluation of the loop.
  ++t.busy[row];
  ++gLib.active[T::kEngine];
  ++gLib.depth;
  workers::run(helpers, &runPart<T>, &job);
  --gLib.depth;
  --gLib.active[T::kEngine];
  --t.busy[row];

  // Count the evaluations toward translation, as the loop would (short
  // of the threshold: the last evaluation, run as a single one, offers it).
  if (!t.jit[row] && jit::gTierAt != INT32_MAX) {
    const int64_t cap = static_cast<int64_t>(jit::gTierAt) - 1;
    int64_t h = static_cast<int64_t>(t.hits[row]) + shared;
    if (h > cap) h = cap;
    if (h > t.hits[row]) t.hits[row] = static_cast<int32_t>(h);
  }

  const int32_t stopped = job.stoppedAt.load(std::memory_order_relaxed);
  if (stopped == INT32_MAX) return shared;
  const int64_t made = static_cast<int64_t>(stopped) * job.block;
  return static_cast<int32_t>(made < shared ? made : shared);
}

// All evaluations in lane code on the calling thread, in blocks: between
// two blocks an interrupt request ends the call as it ends the loop of
// single evaluations (each block leaves the value array as its last
// evaluation left it). Returns the number of evaluations made.
constexpr int32_t kLaneBlock = 8192;

template <class T>
int32_t runLanesHere(TableView<typename T::Value>& t, int32_t row, const void* code, int32_t count,
                     const typename T::Value* args, int32_t rowStride, int32_t argStride,
                     typename T::Value* results) noexcept {
  ++t.busy[row];
  ++gLib.active[T::kEngine];
  ++gLib.depth;
  int32_t done = 0;
  while (done < count) {
    if (done > 0 && __builtin_expect(gInterrupt.load(std::memory_order_relaxed) != 0, 0)) {
      engine<T>().err.record(kErrInterrupted, kInterruptName);
      break;
    }
    const int32_t end = count - done > kLaneBlock ? done + kLaneBlock : count;
    jit::runLanes<T>(code, done, end, args, rowStride, argStride, results, t.vals[row]);
    done = end;
  }
  --gLib.depth;
  --gLib.active[T::kEngine];
  --t.busy[row];
  return done;
}

// The bulk call of an order-free row out of order: in lane code and on
// worker threads where they pay, with results, value array and error
// record those of the loop. Returns the number of evaluations made (count,
// or after an interrupt the prefix made, with -3 recorded), or -1 when the
// call is better (or only) served by the loop and nothing ran. The caller
// has made the checks of the loop and dropped a stale interrupt.
template <class T>
int32_t run(TableView<typename T::Value>& t, int32_t row, int32_t count, const typename T::Value* args,
            int32_t rowStride, int32_t argStride, typename T::Value* results) noexcept {
  const int32_t cost = rowCost<T>(t, row);
  if (cost == kSequential) return -1;
  if (!apart(count, args, rowStride, argStride, t.header[row][H_LAST_ARG], results, t.vals[row],
             t.header[row][H_LAST_SLOT]))
    return -1;
  const void* laneCode = usableLaneCode<T>(t, row);
  const int32_t made = runThreads<T>(t, row, count, args, rowStride, argStride, results, cost, laneCode);
  if (made < 0) return laneCode ? runLanesHere<T>(t, row, laneCode, count, args, rowStride, argStride, results) : -1;
  if (made == count - 1 && gInterrupt.load(std::memory_order_relaxed) == 0) {
    runSingle<T>(t, row, count - 1, args, rowStride, argStride, results);
    return count;
  }
  // Stopped by an interrupt after `made` evaluations (at least one): their
  // last runs again on the row's storage, which then holds what it leaves
  // (an order-free evaluation depends on its arguments alone).
  runSingle<T>(t, row, made - 1, args, rowStride, argStride, results);
  engine<T>().err.record(kErrInterrupted, kInterruptName);
  return made;
}

}  // namespace qx::bulk

// Bulk evaluation of rows whose evaluations may run in any order.
//
// A bulk call means exactly the loop of single calls. For most rows it is
// that loop (interface.cpp). A row is ORDER-FREE when nothing can observe
// its evaluations while they run and none of them depends on another: its
// code is straight-line (constants, variables, segment stores, the five
// operators, assignments, one-argument functions, comparisons and logical
// codes; no second-level call, loop, condition or `which`) and every
// variable slot beyond the arguments that it reads has been written
// earlier in the same evaluation, or is written by no code at all (then it
// holds one value for the whole call). (A local read before it is assigned
// carries the previous evaluation's value, as in `(x:s)=(s=s+x)`.) Such a
// row's evaluations can be split into blocks over worker threads, each
// with its own copy of the value array, pointer table and stack area.
#pragma once
#include <atomic>
#include <cfenv>
#include <cstdint>
#include <cstring>

#include "engine.h"
#include "evaluator/calls.h"
#include "evaluator/evaluator.h"
#include "jit/tier.h"
#include "opcodes.h"
#include "workers.h"

namespace qx::bulk {

// ---- classification ---------------------------------------------------------------
//
// Per row, cached in TableView::bulk (0: not decided yet, cleared whenever
// the row is released or compiled again): -1 when the row must run as the
// loop, otherwise its estimated cost per evaluation, packed as
// cheap codes | (calls of the mathematical library << 16).
constexpr int32_t kSequential = -1;

inline int32_t cheapCodes(int32_t cost) noexcept { return cost & 0xffff; }
inline int32_t libmCalls(int32_t cost) noexcept { return cost >> 16; }

// Whether a code calls into the mathematical library (pow, exp, sin, ...)
// rather than being a few instructions: the cost model below weighs these.
template <class T>
constexpr bool callsLibm(uint8_t op) noexcept {
  if (op == OP_POW) return true;
  if (op < kFirstUnary || op > kLastUnary) return false;
  if constexpr (std::is_same_v<T, RealTraits>) return op != 11 && op != 24 && op != 25;  // sqrt abs int
  else if constexpr (std::is_same_v<T, IntTraits>) return op >= 12 && op <= 14;          // exp ln lg
  else return op <= 15;  // complex sqrt exp ln sin cos
}

// Two linear scans of the code decide: the first checks the codes and
// notes every slot the code writes, the second every slot it reads. A slot
// that no code writes (a local the host sets through getin, say) holds the
// same value for the whole call and may be read at any time. The scans
// need a map of the variable slots; when it cannot be allocated the row
// runs as the loop for this call (and the answer is not kept).
template <class T>
int32_t classify(const TableView<typename T::Value>& t, int32_t row, bool& cacheable) noexcept {
  using V = typename T::Value;
  cacheable = true;
  const uint8_t* code = t.code[row];
  V* const* ptrs = t.ptrs[row];
  const V* vals = t.vals[row];
  const int32_t last = t.header[row][H_LAST_ARG];
  const int64_t vars = ptrs[0] - vals;  // slots before the first constant
  const int64_t slots = static_cast<int64_t>(t.header[row][H_LAST_SLOT]) + 1;
  if (vars < 0 || vars > slots) return kSequential;
  uint8_t* state = allocZeroed<uint8_t>(vars);  // per slot: kEver | kSoFar
  if (!state) {
    cacheable = false;
    return kSequential;
  }
  constexpr uint8_t kEver = 1, kSoFar = 2;
  int32_t cheap = 0, libm = 0;
  bool orderFree = true;
  for (int pass = 0; pass < 2 && orderFree; ++pass) {
    int64_t pp = 1, kc = 0, sb = vars;  // pointer, constant and store-back cursors
    const uint8_t mark = pass == 0 ? kEver : kSoFar;
    for (const uint8_t* pc = code; *pc != OP_END; ++pc) {
      const uint8_t op = *pc;
      if (op == OP_CONST) {
        ++kc;
      } else if (op == OP_VAR) {
        const int64_t s = ptrs[pp++] - vals;
        if (s < 0 || s >= vars) {
          orderFree = false;
          break;
        }
        // A read whose value cannot matter is no read: `and` with a false
        // constant before it. Assignments compile to exactly this (`(v=e)`
        // is `mov(e-(1+and(0,v)))`, so that v is where the store goes).
        const bool dead = pc > code && pc[-1] == OP_CONST && pc[1] == OP_AND && !T::truth(vals[vars + kc - 1]);
        if (pass == 1 && s > last && state[s] == kEver && !dead) {
          orderFree = false;  // reads what the previous evaluation left
          break;
        }
      } else if (op == OP_STORE || op == OP_STORE2 || op >= 128) {
        if (--sb < 0) {
          orderFree = false;
          break;
        }
        state[sb] |= mark;
      } else if (op == OP_MOV) {
        if (pp < 2) {  // no variable read yet: never compiled
          orderFree = false;
          break;
        }
        state[ptrs[pp - 1] - vals] |= mark;
      } else if (op == OP_CALL || (op >= OP_WRAP && op <= OP_WHICH)) {
        orderFree = false;  // calls, loops, conditions and `which`
        break;
      }
      if (pass == 0) {
        if (callsLibm<T>(op)) ++libm;
        else ++cheap;
      }
    }
  }
  freeArray(state);
  if (!orderFree) return kSequential;
  ++cheap;  // OP_END
  if (cheap > 0xffff) cheap = 0xffff;
  if (libm > 0x7fff) libm = 0x7fff;
  return cheap | (libm << 16);
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

// ---- when threads pay --------------------------------------------------------------
//
// Estimated time of one evaluation in units of about one code of machine
// code: an interpreted code costs several translated ones (dispatch, stack
// traffic in memory), a call of the mathematical library costs the same in
// either tier and many codes. Measured side by side with rcalv over 3 ..
// 1,000,000 argument sets (x*2+y, Horner degree 8, x*2+sin(y), the
// exp/ln/cos formula, the normal density), interpreter on one and two
// threads and machine code on one: an interpreted cheap code took 6 to 12
// times a translated one, sin or exp 20 to 40 translated codes. Those runs
// shared the machine's two cores with a fuzzing campaign and builds (load
// 8 to 11), so the figures are rough; the weights are round values within
// them.
constexpr int64_t kInterpCheap = 6;   // interpreted code
constexpr int64_t kJitCheap = 1;      // the same code as machine code
constexpr int64_t kLibmCall = 30;     // one call of pow, exp, sin, ... in either tier

inline int64_t interpretedUnits(int32_t cost) noexcept {
  return kInterpCheap * cheapCodes(cost) + kLibmCall * libmCalls(cost);
}
inline int64_t machineUnits(int32_t cost) noexcept {
  return kJitCheap * cheapCodes(cost) + kLibmCall * libmCalls(cost);
}

// Least estimated work (evaluations x interpreted units) for which a
// second thread pays for waking it and waiting for it. Waking a sleeping
// worker and waiting for its last block cost 8 to 32 us per call in the
// runs above (count 3, two threads against one); with a unit of roughly
// 0.3 ns (a translated code) that is 30,000 to 100,000 units, and a second
// thread pays from about twice that. So: x*2+y (36 units) from about 5,500
// evaluations, x*2+sin(y) (66) from about 3,000, the exp/ln/cos formula
// (210) from about 1,000, the normal density (150) from about 1,300.
constexpr int64_t kMinParallelWork = 200000;
// The value in force (tests lower it to put small counts on threads).
extern int64_t gMinParallelWork;
namespace testing {
inline void setMinParallelWork(int64_t units) noexcept { gMinParallelWork = units < 0 ? kMinParallelWork : units; }
}  // namespace testing

// ---- scratch of the workers -------------------------------------------------------
//
// Per lane (worker k uses lane k; the calling thread works on the row's
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
struct Lane {
  V* vals;
  V* const* ptrs;
  V* stack;
};

// Sets up lanes 1 .. helpers for row `row`; returns how many could be set
// up (fewer when an allocation failed).
template <class T>
int32_t prepareLanes(const TableView<typename T::Value>& t, int32_t row, int32_t helpers,
                     Lane<typename T::Value>* lanes) noexcept {
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
    lanes[k] = Lane<V>{copy, table, stack};
  }
  return helpers;
}

// ---- the threaded evaluation ---------------------------------------------------------

template <class T>
struct Job {
  using V = typename T::Value;
  const uint8_t* code;
  const V* args;
  int32_t rowStride, argStride, last;
  V* results;
  int32_t count;  // evaluations 0 .. count-1 are shared out
  int32_t block;  // evaluations per block
  std::atomic<int32_t> next{0};                // next block to claim
  std::atomic<int32_t> stoppedAt{INT32_MAX};   // lowest block left undone after an interrupt
  std::fenv_t env;                             // the calling thread's floating-point environment
  Lane<V> lanes[workers::kMaxThreads];
};

// Evaluations i0 .. i1-1 on one lane: the unit of work a thread takes.
// Kept to the arguments a vectorised body would need as well.
template <class T>
void runBlock(const Job<T>& job, int32_t i0, int32_t i1, typename T::Value* vals, typename T::Value* const* ptrs,
              typename T::Value* stack) noexcept {
  using V = typename T::Value;
  const int32_t last = job.last;
  for (int32_t i = i0; i < i1; ++i) {
    if (last >= 0) {
      const V* a = job.args + static_cast<std::ptrdiff_t>(static_cast<int64_t>(i) * job.rowStride);
      for (int32_t k = 0; k <= last; ++k) vals[k] = a[static_cast<std::ptrdiff_t>(static_cast<int64_t>(k) * job.argStride)];
    }
    // An order-free row's code reaches none of the engine's shared state:
    // no error record (errors come only from second-level functions), no
    // loop records or nesting counts (no loops or calls), no host code. The
    // evaluator reads the engine's loop level once at its start, and nothing
    // writes it while the threads run; the operators and one-argument
    // functions are the C library's, which keep no state but errno (per
    // thread). So the only memory written is the lane's own and results[i].
    job.results[i] = evaluate<T>(job.code, ptrs, stack);
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
  const Lane<typename T::Value>& lane = job.lanes[k];
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
    runBlock<T>(job, static_cast<int32_t>(i0), static_cast<int32_t>(i1), lane.vals, lane.ptrs, lane.stack);
  }
}

// True when the memory the arguments are read from and the results are
// written to may overlap (the loop's order then matters).
template <class V>
bool overlaps(const V* args, int32_t count, int32_t last, int32_t rowStride, int32_t argStride,
              const V* results) noexcept {
  if (last < 0) return false;
  const int64_t rowSpan = static_cast<int64_t>(count - 1) * rowStride;
  const int64_t argSpan = static_cast<int64_t>(last) * argStride;
  const int64_t lo = (rowSpan < 0 ? rowSpan : 0) + (argSpan < 0 ? argSpan : 0);
  const int64_t hi = (rowSpan > 0 ? rowSpan : 0) + (argSpan > 0 ? argSpan : 0) + 1;
  const uintptr_t a = reinterpret_cast<uintptr_t>(args);
  const uintptr_t argsLo = a + static_cast<uintptr_t>(lo * static_cast<int64_t>(sizeof(V)));
  const uintptr_t argsHi = a + static_cast<uintptr_t>(hi * static_cast<int64_t>(sizeof(V)));
  const uintptr_t resLo = reinterpret_cast<uintptr_t>(results);
  const uintptr_t resHi = resLo + static_cast<uintptr_t>(count) * sizeof(V);
  return argsLo < resHi && resLo < argsHi;
}

// Evaluations 0 .. count-2 of an order-free row over the calling thread and
// the workers, when that pays; the caller then runs the last evaluation on
// the row's own storage, as the loop would. Returns the number of
// evaluations made (a prefix: fewer than count-1 after an interrupt), or -1
// when the call is better (or only) served by the loop and nothing ran.
// The caller has made the checks of the loop and dropped a stale interrupt.
template <class T>
int32_t shareOut(TableView<typename T::Value>& t, int32_t row, int32_t count, const typename T::Value* args,
                 int32_t rowStride, int32_t argStride, typename T::Value* results) noexcept {
  using V = typename T::Value;
  const int32_t threads = workers::threadsFor(gLib.threads);
  if (threads < 2 || count < 3) return -1;
  const int32_t cost = rowCost<T>(t, row);
  if (cost == kSequential) return -1;
  const int32_t shared = count - 1;
  const int64_t interp = interpretedUnits(cost);
  const int64_t work = static_cast<int64_t>(shared) * interp;
  if (work < gMinParallelWork) return -1;
  const int32_t last = t.header[row][H_LAST_ARG];
  if (overlaps(args, count, last, rowStride, argStride, results)) return -1;
  // One more thread per gMinParallelWork of work, up to the limit.
  int64_t wanted = gMinParallelWork > 0 ? work / gMinParallelWork : threads;
  if (wanted > threads) wanted = threads;
  if (wanted < 2) wanted = 2;
  // Machine code on this thread alone beats the interpreter on `wanted`
  // threads when the row is mostly cheap codes.
  if (t.jit[row] && machineUnits(cost) * wanted >= interp) return -1;

  static Job<T> job;  // (large: the lanes; only the calling thread sets it up)
  int32_t helpers = workers::ensure(static_cast<int32_t>(wanted) - 1);
  helpers = prepareLanes<T>(t, row, helpers, job.lanes);
  if (helpers < 1) return -1;

  job.code = t.code[row];
  job.args = args;
  job.rowStride = rowStride;
  job.argStride = argStride;
  job.last = last;
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
  job.lanes[0] = Lane<V>{t.vals[row], t.ptrs[row], t.stack[row]};

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

}  // namespace qx::bulk

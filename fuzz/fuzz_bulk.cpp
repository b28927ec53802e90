// Differential target for the bulk calls: rcalv, Ccalv and Icalv must mean
// exactly the loop `for i: results[i] = rcal(row, args of i)`. Every input
// runs twice from a fresh library: once with every bulk call (the script's
// own and those a host function makes from inside an evaluation) replaced
// by that loop of single calls, once with the bulk calls themselves. Each
// run logs everything a host can observe after every step, and the logs
// must agree:
//   - compile results and every call's return value;
//   - the whole buffer that held the arguments and the results, bit for
//     bit (any NaN equals any NaN), so that results written over
//     arguments, and elements no evaluation should touch, are compared too;
//   - the three error records (number and name), the value arrays of every
//     row of the three tables and the contents of the data stores;
//   - every host-function call in order, with its arguments and result.
// Both runs use the same tier (interpreter, every row translated at once,
// or tiered with a small threshold so that a row is translated part-way
// through a bulk call), the same thread limit and parallel cut-off (often
// lowered to nothing, so that a few hundred evaluations go to the
// workers) and the same lane width. A run the watchdog cut short is not
// compared.
//
// The rows come from a generator that builds formulas nothing can observe
// while they run (arithmetic, one-argument functions, comparisons,
// assignments to locals before they are read, segments, locals no code
// writes), the rows that go to lane code and threads, and now and then
// puts in what makes a row keep the loop: host calls (one of which makes
// bulk calls itself), stores, errors, a local read before it is assigned.
// Templates with re-entering host calls and plain formula texts add the
// rest.
//
// Input:
//   byte 0    bits 0-1  tier: 0 interpreter, 1 and 3 every row translated
//                       at its first evaluation, 2 tiered (threshold from
//                       byte 1)
//             bits 2-3  threads: 1; 3 with no cut-off; the default; 2 with
//                       no cut-off
//             bit 4     lanes of two evaluations at most
//             bit 5     host functions        bit 6  named constants
//             bit 7     iteration limit 20 instead of 200
//   byte 1    bits 0-1  number of rows - 1 (1 .. 4 records)
//             bits 2-4  tier threshold 1, 2, 3, 5, 8, 17, 257 or 1000
//   per record: a selector byte and a text up to the next zero byte;
//     selector bits 0-1  engine (0 real, 1 complex, 2 integer, 3 real)
//              bits 2-3  0, 1 generated formula from the text's bytes;
//                        2 re-entry template (which picks its own engine);
//                        3 the text as it stands
//              bit 4     the generated formula may hold what keeps the loop
//     record k is compiled into row k of its engine.
//   then steps of five bytes (op, a, b, c, d), at most 8; none: one bulk
//   call of record 0:
//     op bits 0-1 record; bits 2-4 what:
//       0-2  bulk call: count from a (0 .. 4097), layout from b (tuples,
//            columns, odd strides, tuples from the last, row stride 0,
//            argument stride 0, arguments backwards, columns from the
//            last), values from c, where the results go from d (apart,
//            over the arguments, shifted over them by a few elements, over
//            the row's variables, or the arguments read from there)
//       3    bulk call of 256 .. 4351 evaluations
//       4    single call with arguments from a
//       5    the host writes variable a of the row (getin)
//       6    the host turns the a-th false constant of the row's
//            assignments true, so that the assignment reads the old value
//       7    a odd: the host sets the thread limit and cut-off anew;
//            else by (a >> 1) & 7: 0-2 fetches the three error records,
//            3 turns on flush-to-zero and denormals-are-zero, 4-7 sets
//            one of the four rounding directions (the workers must
//            compute in the calling thread's environment)
//
// QX_FUZZ_STATS=1 in the environment prints at exit how many inputs were
// compared, and how many bulk calls were compared, were of order-free
// rows, ran in lane code (judged from the row's state before the call) and
// ran on worker threads (seen from the workers' storage).
#include <algorithm>
#include <cfenv>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bulk.h"
#include "harness.h"
#include "jit/jit.h"
#include "workers.h"

namespace {

using fz::ComplexTraits;
using fz::IntTraits;
using fz::RealTraits;

constexpr int32_t kRows = 4;
constexpr int kMaxSteps = 8;
int gBudgetMs = 40;  // CPU time per run (QX_FUZZ_BUDGET_MS)

// ---------------------------------------------------------------------------
// The log of one run
// ---------------------------------------------------------------------------
struct Log : fz::TextLog {
  // Buffers of values go to `bin` as their bytes (every NaN as one
  // pattern): written out as text they would cost more than the
  // evaluations. The text notes where each starts.
  std::string bin;
  void raw(double v) {
    if (std::isnan(v)) v = NAN;
    bin.append(reinterpret_cast<const char*>(&v), sizeof v);
  }
  void raw(const qx::Complex& c) {
    raw(c.re);
    raw(c.im);
  }
  void raw(int32_t v) { bin.append(reinterpret_cast<const char*>(&v), sizeof v); }
  void clear() {
    text.clear();
    bin.clear();
  }
};

Log* gLog = nullptr;
bool gBulk = false;  // this run makes real bulk calls (else the loop)

struct Counts {
  uint64_t inputs = 0, compared = 0, timedOut = 0;
  uint64_t calls = 0, orderFree = 0, lanes = 0, threads = 0, nested = 0;
  uint64_t inputsOrderFree = 0, inputsLanes = 0, inputsThreads = 0;
};
Counts gCounts;
// Counted in the bulk run of the input under way, added once it compared.
Counts gPending;

void printCounts() {
  const Counts& c = gCounts;
  std::fprintf(stderr,
               "fuzz_bulk: %" PRIu64 " inputs, %" PRIu64 " compared, %" PRIu64
               " cut short by the watchdog; tier %s, %d threads\n"
               "fuzz_bulk: %" PRIu64 " top-level bulk calls compared, %" PRIu64 " of order-free rows, %" PRIu64
               " in lane code, %" PRIu64 " on worker threads; %" PRIu64 " bulk calls from host functions\n"
               "fuzz_bulk: inputs with an order-free bulk call %" PRIu64 ", with lane code %" PRIu64
               ", with worker threads %" PRIu64 "\n",
               c.inputs, c.compared, c.timedOut, qx::jit::available() ? "present" : "absent",
               qx::workers::threadsFor(0), c.calls, c.orderFree, c.lanes, c.threads, c.nested, c.inputsOrderFree,
               c.inputsLanes, c.inputsThreads);
}

// ---------------------------------------------------------------------------
// The three engines through the interface
// ---------------------------------------------------------------------------
template <class T>
struct Api;
template <>
struct Api<RealTraits> {
  using V = double;
  static V cal(int32_t r, const V* a) { return rcal(r, a); }
  static int32_t calv(int32_t r, int32_t n, const V* a, int32_t rs, int32_t as, V* out) {
    return rcalv(r, n, a, rs, as, out);
  }
  static V* in(int32_t r) { return getin(r); }
  static const int32_t* argc() { return getvarnum(); }
};
template <>
struct Api<ComplexTraits> {
  using V = QxComplex;
  static V cal(int32_t r, const V* a) { return Ccal(r, a); }
  static int32_t calv(int32_t r, int32_t n, const V* a, int32_t rs, int32_t as, V* out) {
    return Ccalv(r, n, a, rs, as, out);
  }
  static V* in(int32_t r) { return Cgetin(r); }
  static const int32_t* argc() { return Cgetvarnum(); }
};
template <>
struct Api<IntTraits> {
  using V = int32_t;
  static V cal(int32_t r, const V* a) { return Ical(r, a); }
  static int32_t calv(int32_t r, int32_t n, const V* a, int32_t rs, int32_t as, V* out) {
    return Icalv(r, n, a, rs, as, out);
  }
  static V* in(int32_t r) { return Igetin(r); }
  static const int32_t* argc() { return Igetvarnum(); }
};

template <class T>
using IV = typename Api<T>::V;  // a value as the interface passes it

// What a host may write in a row's value array: the variables (the slots
// before the first constant), and the constant 0 of each assignment
// `(v=e)`, compiled as `mov(e-(1+and(0,v)))`, which a host can turn true
// so that the assignment reads the variable's old value. The other
// constants include the hidden operands of calls and loops, which the
// library trusts as it compiled them.
template <class T>
int32_t variablesOf(int32_t row) {
  auto& t = qx::engine<T>().table;
  return static_cast<int32_t>(t.ptrs[row][0] - t.vals[row]);
}

template <class T>
std::vector<int32_t> guardSlots(int32_t row) {
  auto& t = qx::engine<T>().table;
  std::vector<int32_t> slots;
  const int32_t vars = variablesOf<T>(row);
  int32_t kc = 0;
  for (const uint8_t* pc = t.code[row]; *pc != qx::OP_END; ++pc) {
    if (*pc != qx::OP_CONST) continue;
    if (pc[1] == qx::OP_VAR && pc[2] == qx::OP_AND) slots.push_back(vars + kc);
    ++kc;
  }
  return slots;
}

// The loop the bulk call stands for: the checks of the bulk call, then one
// single call per argument set, reading the set just before its call and
// writing the result just after it.
template <class T>
int32_t loopCall(int32_t row, int32_t count, const IV<T>* args, int32_t rowStride, int32_t argStride,
                 IV<T>* results) {
  using V = IV<T>;
  if (!fz::compiled(T::kEngine, row) || count <= 0 || results == nullptr) return 0;
  const int32_t n = Api<T>::argc()[row] + 1;
  if (n > 0 && args == nullptr) return 0;
  std::vector<V> a(static_cast<size_t>(n > 0 ? n : 1));
  for (int32_t i = 0; i < count; ++i) {
    for (int32_t k = 0; k < n; ++k)
      a[static_cast<size_t>(k)] =
          args[static_cast<std::ptrdiff_t>(int64_t{i} * rowStride + int64_t{k} * argStride)];
    results[i] = Api<T>::cal(row, n > 0 ? a.data() : nullptr);
  }
  return count;
}

template <class T>
int32_t bulkOrLoop(int32_t row, int32_t count, const IV<T>* args, int32_t rowStride, int32_t argStride,
                   IV<T>* results) {
  if (gBulk) return Api<T>::calv(row, count, args, rowStride, argStride, results);
  return loopCall<T>(row, count, args, rowStride, argStride, results);
}

// ---------------------------------------------------------------------------
// Argument values
// ---------------------------------------------------------------------------
uint32_t mix(uint32_t a, uint32_t b) {
  uint32_t h = a * 0x9e3779b1u ^ (b + 0x7f4a7c15u + (a << 6) + (a >> 2));
  h ^= h >> 15;
  h *= 0x2c1b3c6du;
  h ^= h >> 12;
  return h;
}

double edgeReal(uint32_t h) {
  static const double v[] = {0.0,   -0.0,     1.0,     -1.0,   0.5,     -2.5,     3.0,    16.0,
                             1e300, -1e300,   INFINITY, -INFINITY, NAN,  2147483648.0, -2147483649.0, 1e-300,
                             5e-324, -1e-310, 1.7976931348623157e308, 0.1, 1e15 + 0.3, -7.0, 2.0, 1e-8};
  return v[h % (sizeof v / sizeof v[0])];
}

double realAt(uint8_t seed, uint32_t j) {
  const uint32_t h = mix(seed, j);
  switch ((seed & 3) == 3 ? h >> 30 & 3 : seed & 3) {
    case 0: return edgeReal(h);
    case 1: return static_cast<double>(static_cast<int32_t>(h >> 8) - (1 << 23)) * 0x1p-20;  // within +-8
    case 2: return static_cast<double>(static_cast<int32_t>((j * 7919u + seed * 31u) % 23u) - 5);
    default: return edgeReal(h >> 5);
  }
}

int32_t intAt(uint8_t seed, uint32_t j) {
  const uint32_t h = mix(seed, j);
  switch ((seed & 3) == 3 ? h >> 30 & 3 : seed & 3) {
    case 0: return fz::intValue(h);
    case 1: return static_cast<int32_t>(h);
    case 2: return static_cast<int32_t>((j * 7919u + seed * 31u) % 23u) - 5;
    default: return static_cast<int32_t>(static_cast<uint32_t>(fz::intValue(h >> 7)) + h % 3u);  // wraps
  }
}

template <class T>
IV<T> valueAt(uint8_t seed, uint32_t j) {
  if constexpr (std::is_same_v<T, RealTraits>) return realAt(seed, j);
  else if constexpr (std::is_same_v<T, IntTraits>) return intAt(seed, j);
  else return QxComplex{realAt(seed, 2 * j), realAt(static_cast<uint8_t>(seed + 1), 2 * j + 1)};
}

// Between the engines, values pass as real numbers (integers from finite
// values in range only).
template <class T>
double asReal(const IV<T>& v) {
  if constexpr (std::is_same_v<T, ComplexTraits>) return v.re;
  else return static_cast<double>(v);
}
template <class T>
IV<T> fromReal(double d) {
  if constexpr (std::is_same_v<T, RealTraits>) return d;
  else if constexpr (std::is_same_v<T, ComplexTraits>) return QxComplex{d, 0.0};
  else return d > -2147483649.0 && d < 2147483648.0 ? static_cast<int32_t>(d) : 0;
}

// ---------------------------------------------------------------------------
// Host functions
// ---------------------------------------------------------------------------
// hlog(...) logs its arguments and yields their sum; herr(n) records error
// n unless one is pending; hset(row, slot, v) writes variable `slot` of a
// row of its engine through getin, as a host may, or past the variables
// the constant of one of its assignments; hre(k, ...) makes a bulk call
// (the loop in the other run) of row (k >> 2) & 3 of engine k & 3 (3: its
// own) with a few argument sets made from its arguments (from its index,
// the slot after them, when it has none), logs the results and yields
// their sum.
int gReentries = 0, gDepth = 0;
constexpr int kMaxReentries = 24, kMaxDepth = 3;

template <class T>
struct Host {
  using V = typename T::Value;
  static void enter(const char* name, int32_t last, const V* a) {
    gLog->word("host");
    gLog->num(T::kEngine);
    gLog->word(name);
    gLog->num(last);
    for (int32_t i = 0; i <= last; ++i) gLog->value(a[i]);
    gLog->end();
  }
  static V hlog(int32_t last, V* a) {
    enter("hlog", last, a);
    V s = T::zero();
    for (int32_t i = 0; i <= last; ++i) s = T::add(s, a[i]);
    return s;
  }
  static V herr(int32_t last, V* a) {
    enter("herr", last, a);
    const int32_t n = T::toInt(a[0]);
    if (T::kEngine == 0 && fcerrnum() == 0) setfcerr(n ? n : 7, "herr");
    if (T::kEngine == 1 && Cfcerrnum() == 0) Csetfcerr(n ? n : 7, "herr");
    if (T::kEngine == 2 && Ifcerrnum() == 0) Isetfcerr(n ? n : 7, "herr");
    return T::fromInt(1);
  }
  static V hset(int32_t last, V* a) {
    enter("hset", last, a);
    const int32_t row = T::toInt(a[0]);
    int32_t slot = T::toInt(a[1]);
    if (fz::compiled(T::kEngine, row) && slot >= 0) {
      // A variable, or past them the constant of one of the assignments.
      const int32_t vars = variablesOf<T>(row);
      if (slot >= vars) {
        const std::vector<int32_t> guards = guardSlots<T>(row);
        slot = guards.empty() ? -1 : guards[static_cast<size_t>(slot - vars) % guards.size()];
      }
      if (slot >= 0) std::memcpy(&Api<T>::in(row)[slot], &a[2], sizeof(V));
    }
    return a[2];
  }
  template <class U>
  static double nested(int32_t row, int32_t count, bool columns, int32_t last, const V* a) {
    using W = IV<U>;
    const int32_t n = fz::compiled(U::kEngine, row) ? Api<U>::argc()[row] + 1 : 0;
    if (n > 16) return 0;
    W args[17 * 16];
    W out[17];
    for (int32_t i = 0; i < count; ++i)
      for (int32_t k = 0; k < n; ++k) {
        IV<T> v;
        std::memcpy(&v, &a[last >= 1 ? 1 + (i + k) % last : 0], sizeof v);
        args[columns ? k * count + i : i * n + k] = fromReal<U>(asReal<T>(v) + i);
      }
    for (int32_t i = 0; i < count; ++i) out[i] = fromReal<U>(-1.0);
    if (gBulk) ++gPending.nested;
    const int32_t made = bulkOrLoop<U>(row, count, n ? args : nullptr, columns ? 1 : n, columns ? count : 1, out);
    gLog->word("nested");
    gLog->num(made);
    double s = made;
    for (int32_t i = 0; i < count; ++i) {
      gLog->value(out[i]);
      s += asReal<U>(out[i]);
    }
    gLog->end();
    return s;
  }
  static V hre(int32_t last, V* a) {
    enter("hre", last, a);
    const unsigned k = static_cast<unsigned>(T::toInt(a[0]));
    static const int32_t counts[] = {1, 2, 3, 4, 5, 9, 17, 0};
    const int engine = (k & 3) == 3 ? T::kEngine : static_cast<int>(k & 3);
    const int32_t row = static_cast<int32_t>((k >> 2) & 3);
    const int32_t count = counts[(k >> 4) & 7];
    const bool columns = (k >> 7) & 1;
    double r = 0;
    if (!fz::gTimedOut && gDepth < kMaxDepth && gReentries < kMaxReentries) {
      ++gReentries;
      ++gDepth;
      // The arguments and the slot after them, which holds the function's
      // index: without arguments, a[0] is that index and the argument sets
      // are made from it.
      IV<T> copy[64];
      const int32_t l = last < 62 ? last : 62;
      std::memcpy(static_cast<void*>(copy), a, sizeof(V) * static_cast<size_t>(l + 2));
      if (engine == 0) r = nested<RealTraits>(row, count, columns, l, reinterpret_cast<const V*>(copy));
      else if (engine == 1) r = nested<ComplexTraits>(row, count, columns, l, reinterpret_cast<const V*>(copy));
      else r = nested<IntTraits>(row, count, columns, l, reinterpret_cast<const V*>(copy));
      --gDepth;
    }
    IV<T> v = fromReal<T>(r);
    V out;
    std::memcpy(&out, &v, sizeof out);
    return out;
  }
};

QxComplex cx(qx::Complex c) { return QxComplex{c.re, c.im}; }
qx::Complex* cv(QxComplex* a) { return reinterpret_cast<qx::Complex*>(a); }
QxComplex cHlog(int32_t l, QxComplex* a) { return cx(Host<ComplexTraits>::hlog(l, cv(a))); }
QxComplex cHerr(int32_t l, QxComplex* a) { return cx(Host<ComplexTraits>::herr(l, cv(a))); }
QxComplex cHset(int32_t l, QxComplex* a) { return cx(Host<ComplexTraits>::hset(l, cv(a))); }
QxComplex cHre(int32_t l, QxComplex* a) { return cx(Host<ComplexTraits>::hre(l, cv(a))); }

const char* const kHostNames[] = {"hlog", "herr", "hset", "hre", ""};
const int32_t kHostRules[] = {-2, 0, 2, -2};
const QxRealFn kRealHosts[] = {Host<RealTraits>::hlog, Host<RealTraits>::herr, Host<RealTraits>::hset,
                               Host<RealTraits>::hre};
const QxComplexFn kComplexHosts[] = {cHlog, cHerr, cHset, cHre};
const QxIntFn kIntHosts[] = {Host<IntTraits>::hlog, Host<IntTraits>::herr, Host<IntTraits>::hset,
                             Host<IntTraits>::hre};

// ---------------------------------------------------------------------------
// Formula generator
// ---------------------------------------------------------------------------
// Builds a formula of one engine from bytes. Variables: the parameters
// x, y, z, w; the locals t and u, which assignments write (and are read
// only after that in the same evaluation, so the row stays order-free); the
// local v, which no code writes; the segments a and b (evaluated b, a, then
// the main expression, so each may read only those evaluated before it).
// With `ordered`, nodes now and then take what keeps a row in the loop.
struct Gen {
  const std::string& bytes;
  size_t pos = 0;
  int engine;
  bool ordered;
  bool consts;
  int params = 0;
  bool assigned[2] = {false, false};
  int nodes = 0;

  uint8_t next() { return pos < bytes.size() ? static_cast<uint8_t>(bytes[pos++]) : 0; }

  const char* number(uint8_t b) {
    static const char* const real[] = {"0",     "1",       "2",        "0.5",  "3.25", "10",  "1e308",     "1e-310",
                                       "0.001", "7",       "(0/0)",    "(1/0)", "(0*(-1))", "1e300", "2.5", "100"};
    static const char* const cplx[] = {"0",    "1",     "2",     "0.5",   "i",     "2i",  "(1+2i)", "(0/0)",
                                       "1e308", "(-1)", "3.5",   "(0-i)", "1e-310", "(1/0)", "0.25i", "10"};
    static const char* const integer[] = {"0",         "1",     "2",   "3",     "7",
                                          "(-1)",      "2147483647", "(0-2147483647-1)", "65536", "100",
                                          "31",        "(-7)",  "13",  "5",     "(0-2)", "1000000"};
    return (engine == 0 ? real : engine == 1 ? cplx : integer)[b & 15];
  }
  const char* unary(uint8_t b) {
    static const char* const real[] = {"sqrt", "exp", "ln",   "lg",   "sin",  "cos", "tan", "asin",
                                       "acos", "atan", "sinh", "cosh", "tanh", "abs", "int", "sqrt"};
    static const char* const cplx[] = {"sqrt", "exp", "ln", "sin", "cos", "abs", "int", "con", "xy", "x0", "y0"};
    static const char* const integer[] = {"sqrt", "exp", "ln", "lg", "abs"};
    if (engine == 0) return real[b % 16];
    if (engine == 1) return cplx[b % 11];
    return integer[b % 5];
  }
  const char* constant(uint8_t b) {
    static const char* const real[] = {"kpi", "kbig", "knan"};
    static const char* const cplx[] = {"kz", "kinf"};
    static const char* const integer[] = {"kmin", "kmax", "kneg"};
    if (engine == 0) return real[b % 3];
    if (engine == 1) return cplx[b % 2];
    return integer[b % 3];
  }

  // A variable that may be read here: `seg` is the number of segments
  // already evaluated (b first, then a).
  std::string variable(uint8_t b, int seg) {
    std::vector<const char*> ok;
    static const char* const p[] = {"x", "y", "z", "w"};
    for (int i = 0; i < params; ++i) ok.push_back(p[i]);
    if (assigned[0]) ok.push_back("t");
    if (assigned[1]) ok.push_back("u");
    ok.push_back("v");
    if (seg >= 1) ok.push_back("b");
    if (seg >= 2) ok.push_back("a");
    return ok[b % ok.size()];
  }

  std::string expr(int depth, int seg) {
    const uint8_t b = next();
    ++nodes;
    if (depth <= 0 || nodes > 40) {
      if (b & 1) return variable(b >> 1, seg);
      if (consts && (b & 6) == 6) return constant(b >> 3);
      return number(b >> 1);
    }
    if (ordered && (b & 0xF0) == 0xF0) return orderedNode(b & 15, depth, seg);
    switch (b % 12) {
      case 0: case 1: return variable(b >> 4, seg);
      case 2: return number(b >> 4);
      case 3: case 4: {
        static const char ops[] = "+-*/^+*-";
        const std::string l = expr(depth - 1, seg);
        const char op = ops[(b >> 4) & 7];
        return "(" + l + op + expr(depth - 1, seg) + ")";
      }
      case 5: return std::string(unary(b >> 4)) + "(" + expr(depth - 1, seg) + ")";
      case 6: {
        static const char* const cmp[] = {"gt", "ge", "lt", "le", "eq", "ne", "and", "or", "xor"};
        const char* f = cmp[(b >> 4) % 9];
        const std::string l = expr(depth - 1, seg);
        return std::string(f) + "(" + l + "," + expr(depth - 1, seg) + ")";
      }
      case 7: return "not(" + expr(depth - 1, seg) + ")";
      case 8: case 9: {
        // An assignment: its value is computed before the variable is
        // written, so the expression may not read it yet.
        const int which = (b >> 4) & 1;
        const bool toParam = params > 0 && ((b >> 5) & 3) == 3;
        const std::string e = expr(depth - 1, seg);
        if (toParam) return std::string("(") + "xyzw"[(b >> 7) % params] + "=" + e + ")";
        assigned[which] = true;
        return std::string("(") + (which ? "u" : "t") + "=" + e + ")";
      }
      case 10: return "(-" + expr(depth - 1, seg) + ")";
      default: return consts && (b & 0x10) ? constant(b >> 5) : number(b >> 4);
    }
  }

  // What keeps a row in the loop of single calls.
  std::string orderedNode(uint8_t k, int depth, int seg) {
    static const char* const get[] = {"getd", "getc", "geti"};
    static const char* const set[] = {"setd", "setc", "seti"};
    static const char* const add[] = {"addgetd", "addgetc", "addgeti"};
    const std::string e = expr(depth - 1, seg);
    switch (k % 10) {
      case 0: return "hlog(" + e + ")";
      case 1: return "hlog(" + e + "," + expr(depth - 1, seg) + ")";
      case 2: return "hre(" + std::to_string(next()) + "," + e + ")";
      case 3: return "hset(" + std::to_string(next() & 3) + "," + std::to_string(next() & 15) + "," + e + ")";
      case 4: return "herr(" + std::to_string(next() & 7) + ")+" + e;
      case 5: return std::string(set[engine]) + "(" + std::to_string(next() % 5) + "," + e + ")";
      case 6: return std::string(get[engine]) + "(" + std::to_string(next() % 5) + ")+" + e;
      case 7: return std::string(add[engine]) + "(" + std::to_string(next() & 3) + "," + e + ")";
      case 8: return "(t=t+" + e + ")";  // reads t before writing it: carries a value over
      default: return "if(gt(" + e + ",0)," + expr(depth - 1, seg) + ")";
    }
  }

  std::string formula() {
    const uint8_t shape = next();
    params = shape & 3;
    if ((shape >> 2) & 1) params = 4;
    const int segments = (shape >> 3) & 3;  // 0, 1, 2 (3: 2)
    const int depth = 2 + ((shape >> 5) & 3);
    std::string b, a;
    int seg = 0;
    if (segments >= 2) b = expr(depth - 1, seg++);
    if (segments >= 1) a = expr(depth - 1, seg++);
    const std::string main = expr(depth, seg);
    static const char* const p[] = {"x", "y", "z", "w"};
    std::string text = "(";
    for (int i = 0; i < params; ++i) text += std::string(i ? "," : "") + p[i];
    text += ":t,u,v)=" + main;
    if (segments >= 1) text += ",a=" + a;
    if (segments >= 2) text += ",b=" + b;
    return text;
  }
};

// ---------------------------------------------------------------------------
// The script
// ---------------------------------------------------------------------------
struct Row {
  int engine;
  std::string text;
};
struct Step {
  uint8_t op, a, b, c, d;
};
struct Script {
  uint8_t config = 0, config2 = 0;
  std::vector<Row> rows;
  std::vector<Step> steps;
};

bool readScript(const uint8_t* data, size_t size, Script& s) {
  fz::Reader in{data, data + size};
  s.config = in.byte();
  s.config2 = in.byte();
  const int n = 1 + (s.config2 & 3);
  fz::WorkFilter filter;
  for (int k = 0; k < n && !in.empty(); ++k) {
    const uint8_t sel = in.byte();
    const std::string bytes = in.text(512);
    Row r{(sel & 3) == 3 ? 0 : sel & 3, std::string()};
    switch ((sel >> 2) & 3) {
      case 0: case 1: {
        Gen g{bytes, 0, r.engine, (sel & 0x10) != 0, (s.config & 0x40) != 0};
        r.text = g.formula();
        break;
      }
      case 2: r.text = fz::reentryTemplate(bytes, &r.engine); break;
      default:
        if (!filter.accept(bytes)) return false;
        r.text = bytes;
        break;
    }
    s.rows.push_back(r);
  }
  if (s.rows.empty()) return false;
  while (s.steps.size() < kMaxSteps && !in.empty()) {
    Step st{in.byte(), in.byte(), in.byte(), in.byte(), in.byte()};
    s.steps.push_back(st);
  }
  if (s.steps.empty()) s.steps.push_back(Step{0, static_cast<uint8_t>(size), 0, 0, 0});
  return true;
}

void setThreads(uint8_t k) {
  static const int32_t limits[] = {1, 3, 0, 2};
  setthreads(limits[k & 3]);
  qx::bulk::testing::setMinParallelWork((k & 3) == 1 || (k & 3) == 3 ? 0 : -1);
}

// ---------------------------------------------------------------------------
// State after a step
// ---------------------------------------------------------------------------
template <class T>
void logEngine() {
  qx::Engine<T>& E = qx::engine<T>();
  gLog->word("engine");
  gLog->num(T::kEngine);
  gLog->word("error");
  gLog->num(E.err.number);
  gLog->word(E.err.name ? E.err.name : "(none)");
  gLog->end();
  fz::logRowsAndStores<T>(*gLog, 64, 8);
}

void logState() {
  logEngine<RealTraits>();
  logEngine<ComplexTraits>();
  logEngine<IntTraits>();
}

// ---------------------------------------------------------------------------
// Steps
// ---------------------------------------------------------------------------
int32_t countFor(uint8_t a) {
  static const int32_t counts[] = {0,   1,   2,   3,   4,   5,   6,   7,   8,    9,    10,   11,   12,   13,   15,
                                   16,  17,  31,  32,  33,  63,  64,  65,  127,  128,  129,  255,  256,  257,  258,
                                   300, 511, 512, 513, 600, 1000, 1023, 1024, 1025, 2047, 2049, 3000, 4095, 4097};
  constexpr uint8_t n = sizeof counts / sizeof counts[0];
  return a < 200 ? counts[a % n] : a;
}

// Whether the worker threads' storage changed: a call that used the
// workers copied the row into it (bulk.h's Scratch).
struct ScratchWatch {
  unsigned char* block;
  int64_t size;
  unsigned char mark[16];
  void arm() {
    block = qx::bulk::gScratch[1].block;
    size = qx::bulk::gScratch[1].size;
    if (block && size >= 16) {
      for (int i = 0; i < 16; ++i) mark[i] = static_cast<unsigned char>(0xa5 ^ (i * 37));
      std::memcpy(block, mark, 16);
    }
  }
  bool changed() const {
    const qx::bulk::Scratch& s = qx::bulk::gScratch[1];
    if (s.block != block || s.size != size) return true;
    return block && size >= 16 && std::memcmp(block, mark, 16) != 0;
  }
};

template <class T>
void bulkStep(int32_t row, const Step& st, bool big) {
  using V = IV<T>;
  auto& t = qx::engine<T>().table;
  const bool ok = fz::compiled(T::kEngine, row);
  const int32_t p = ok ? Api<T>::argc()[row] + 1 : 0;
  const int32_t lastSlot = ok ? t.header[row][qx::H_LAST_SLOT] : -1;
  int32_t count = big ? 256 * (1 + (st.a & 15)) + st.b : countFor(st.a);
  int32_t rs = 0, as = 0;
  switch (st.b & 7) {
    case 0: rs = p, as = 1; break;                       // tuples
    case 1: rs = 1, as = count; break;                   // columns
    case 2: rs = 2 * p + 3, as = 2; break;               // odd strides
    case 3: rs = -p, as = 1; break;                      // tuples from the last
    case 4: rs = 0, as = 1; break;                       // the same set every time
    case 5: rs = 1, as = 0; break;                       // one value per set
    case 6: rs = p, as = -1; break;                      // arguments backwards
    default: rs = -1, as = count; break;                 // columns from the last
  }
  // Where the results go: apart (most calls), over the arguments, over
  // them shifted by a few elements, or over the row's own variables (or
  // the arguments come from there).
  static const int places[] = {0, 0, 0, 0, 0, 1, 2, 3};
  const int place = places[(st.d >> 2) & 7];
  const bool argsFromRow = place == 3 && (st.d & 0x40) && ok;  // the row's own value array
  if (argsFromRow) rs = 0, as = 1;
  // Offsets of the elements addressed, at the corners of the index ranges.
  int64_t lo = 0, hi = 0;
  if (count > 0 && p > 0) {
    for (int64_t i : {int64_t{0}, int64_t{count} - 1})
      for (int64_t k : {int64_t{0}, int64_t{p} - 1}) {
        lo = std::min(lo, i * rs + k * as);
        hi = std::max(hi, i * rs + k * as);
      }
  }
  const int64_t pad = 4, span = p > 0 && count > 0 ? hi - lo + 1 : 0;
  const int64_t argStart = pad;
  int64_t resStart = argStart + span + (st.d & 3);
  if (place == 1) resStart = argStart;  // results over the arguments
  if (place == 2) {
    static const int64_t shifts[] = {-1, 1, 2, -3};
    resStart = std::max<int64_t>(0, argStart + shifts[(st.d >> 5) & 3]);
  }
  // Results written over the row's own variables.
  const int32_t vars = ok ? variablesOf<T>(row) : 0;
  const bool resultsInRow = place == 3 && !(st.d & 0x40) && vars > 0;
  int32_t resSlot = 0;
  if (resultsInRow) {
    resSlot = (st.d >> 7) % vars;
    count = std::min(count, vars - resSlot);
  }
  const int64_t total = std::max(argStart + span, resStart + count) + pad;
  std::vector<V> buf(static_cast<size_t>(total));
  for (int64_t j = 0; j < total; ++j) buf[static_cast<size_t>(j)] = valueAt<T>(st.c, static_cast<uint32_t>(j));
  const V* args = argsFromRow ? Api<T>::in(row) : buf.data() + argStart - lo;
  if (p == 0 && (st.d & 0x80)) args = nullptr;
  V* results = resultsInRow ? Api<T>::in(row) + resSlot : buf.data() + resStart;

  bool lanes = false, freeRow = false;
  ScratchWatch watch{};
  if (gBulk && ok && count > 0) {
    bool cacheable = true;
    freeRow = qx::bulk::classify<T>(t, row, cacheable) != qx::bulk::kSequential;
    const auto* vargs = reinterpret_cast<const typename T::Value*>(args);
    const auto* vres = reinterpret_cast<const typename T::Value*>(results);
    lanes = freeRow && t.jit[row] &&
            qx::bulk::apart(count, vargs, rs, as, p - 1, vres, t.vals[row], lastSlot) &&
            qx::bulk::usableLaneCode<T>(t, row) != nullptr;
    watch.arm();
  }
  gReentries = 0;
  const int32_t made = bulkOrLoop<T>(row, count, args, rs, as, results);
  fz::checkIdle();
  if (gBulk && ok && count > 0) {
    ++gPending.calls;
    if (freeRow) ++gPending.orderFree;
    if (lanes) ++gPending.lanes;
    if (watch.changed()) ++gPending.threads;
  }
  gLog->word("bulk");
  gLog->num(T::kEngine);
  gLog->num(row);
  gLog->num(count);
  gLog->num(made);
  gLog->end();
  gLog->word("buffer at");
  gLog->num(static_cast<int64_t>(gLog->bin.size()));
  gLog->num(static_cast<int64_t>(buf.size()));
  gLog->end();
  for (const V& v : buf) gLog->raw(v);
}

template <class T>
void singleStep(int32_t row, uint8_t seed) {
  using V = IV<T>;
  if (!fz::compiled(T::kEngine, row)) return;
  const int32_t p = Api<T>::argc()[row] + 1;
  std::vector<V> a(static_cast<size_t>(p > 0 ? p : 1));
  for (int32_t k = 0; k < p; ++k) a[static_cast<size_t>(k)] = valueAt<T>(seed, static_cast<uint32_t>(k));
  gReentries = 0;
  const V v = Api<T>::cal(row, p > 0 ? a.data() : nullptr);
  fz::checkIdle();
  gLog->word("single");
  gLog->value(v);
  gLog->end();
}

// The host writes a variable of the row through getin, or turns the a-th
// of its assignments' constants that are false true.
template <class T>
void pokeStep(int32_t row, const Step& st, bool falseConstant) {
  using V = IV<T>;
  if (!fz::compiled(T::kEngine, row)) return;
  auto& t = qx::engine<T>().table;
  V* in = Api<T>::in(row);
  if (falseConstant) {
    std::vector<int32_t> found;
    for (const int32_t s : guardSlots<T>(row))
      if (!T::truth(t.vals[row][s])) found.push_back(s);
    if (found.empty()) return;
    const int32_t slot = found[st.a % found.size()];
    static const double truths[] = {1.0, 0.5, 2.0, 1e300};
    if constexpr (std::is_same_v<T, IntTraits>) in[slot] = static_cast<int32_t>(1 + (st.b & 3));
    else if constexpr (std::is_same_v<T, ComplexTraits>) in[slot] = QxComplex{truths[st.b & 3], st.b & 4 ? 1.0 : 0.0};
    else in[slot] = truths[st.b & 3];
  } else {
    const int32_t vars = variablesOf<T>(row);
    if (vars > 0) in[st.a % vars] = valueAt<T>(st.b, st.c);
  }
}

template <class T>
void runStep(int32_t row, const Step& st) {
  const int what = (st.op >> 2) & 7;
  switch (what) {
    case 0: case 1: case 2: bulkStep<T>(row, st, false); break;
    case 3: bulkStep<T>(row, st, true); break;
    case 4: singleStep<T>(row, st.a); break;
    case 5: pokeStep<T>(row, st, false); break;
    case 6: pokeStep<T>(row, st, true); break;
    default:
      if (st.a & 1) {
        setThreads(st.a >> 1);
      } else if (((st.a >> 1) & 7) < 3) {
        for (int e = 0; e < 3; ++e) fz::fetchError(e);
      } else {
        fz::setFloatingPoint((st.a >> 1) & 7);
      }
      break;
  }
}

// Runs the script on a fresh library and logs it; false when the watchdog
// cut it short.
bool runScript(const Script& s, bool bulk, Log& log) {
  gLog = &log;
  gBulk = bulk;
  static const qx::jit::Mode modes[] = {qx::jit::Mode::Off, qx::jit::Mode::Always, qx::jit::Mode::Tiered,
                                        qx::jit::Mode::Always};
  deletedll();
  FZ_CHECK(qx::testing::liveAllocations() == 0);
  std::fesetenv(FE_DFL_ENV);
  const qx::jit::Mode mode = modes[s.config & 3];
  qx::jit::setMode(mode);
  if (mode == qx::jit::Mode::Tiered && qx::jit::available()) {
    static const int32_t thresholds[] = {1, 2, 3, 5, 8, 17, 257, 1000};
    qx::jit::gTierAt = thresholds[(s.config2 >> 2) & 7];
  }
  qx::jit::setLaneWidth(s.config & 0x10 ? 2 : 0);
  setThreads(s.config >> 2);
  qx::gLib.real.levelLimit = qx::gLib.cplx.levelLimit = qx::gLib.integer.levelLimit = 6;
  qx::gLib.real.iterLimit = qx::gLib.cplx.iterLimit = qx::gLib.integer.iterLimit = s.config & 0x80 ? 20 : 200;
  if (s.config & 0x20) {
    setfcfun(kHostNames, kHostRules, kRealHosts);
    Csetfcfun(kHostNames, kHostRules, kComplexHosts);
    Isetfcfun(kHostNames, kHostRules, kIntHosts);
  }
  fz::registerConstants(s.config & 0x40);
  for (int e = 0; e < 3; ++e) fz::sizeTable(e, kRows, false);
  userci();
  // Number stores of four elements for the store functions (row 0 of each
  // engine; a record compiled there replaces it).
  static const char* const init[] = {"newdoubles(4)", "newcomplexs(4)", "newlongs(4)"};
  for (int e = 0; e < 3; ++e) {
    std::vector<char> text(init[e], init[e] + std::strlen(init[e]) + 1);
    int32_t last = 0;
    FZ_CHECK(fz::compileText(e, 0, text.data(), &last, false) == QX_OK);
    FZ_CHECK(fz::evaluateRow(e, 0, 0, false, false));
  }
  for (size_t k = 0; k < s.rows.size(); ++k) {
    std::vector<char> text(s.rows[k].text.begin(), s.rows[k].text.end());
    text.push_back(0);
    int32_t last = -7;
    const int32_t r = fz::compileText(s.rows[k].engine, static_cast<int32_t>(k), text.data(), &last, false);
    fz::checkIdle();
    log.word("compile");
    log.num(static_cast<int64_t>(k));
    log.num(r);
    log.num(last);
    log.end();
  }
  logState();

  fz::armWatchdog(gBudgetMs);
  for (size_t i = 0; i < s.steps.size() && !fz::gTimedOut; ++i) {
    const Step& st = s.steps[i];
    const size_t k = (st.op & 3) % s.rows.size();
    const int32_t row = static_cast<int32_t>(k);
    log.word("step");
    log.num(static_cast<int64_t>(i));
    log.end();
    switch (s.rows[k].engine) {
      case 0: runStep<RealTraits>(row, st); break;
      case 1: runStep<ComplexTraits>(row, st); break;
      default: runStep<IntTraits>(row, st); break;
    }
    logState();
  }
  fz::disarmWatchdog();
  std::fesetenv(FE_DFL_ENV);
  const bool complete = !fz::gTimedOut;
  fz::touchStores<RealTraits>();
  fz::touchStores<ComplexTraits>();
  fz::touchStores<IntTraits>();
  fz::releaseAndCheck();
  gLog = nullptr;
  return complete;
}

// With FZ_TRACE set, the two logs are also written out whole
// (fuzz_bulk-loop.log and fuzz_bulk-bulk.log in the working directory).
[[noreturn]] void reportDifference(const std::string& a, const std::string& b) {
  if (fz::tracing()) {
    for (int k = 0; k < 2; ++k) {
      if (FILE* f = std::fopen(k ? "fuzz_bulk-bulk.log" : "fuzz_bulk-loop.log", "w")) {
        std::fwrite((k ? b : a).data(), 1, (k ? b : a).size(), f);
        std::fclose(f);
      }
    }
  }
  fz::reportLogDifference(a, b, "fuzz_bulk: the loop of single calls and the bulk calls disagree", "loop", "bulk");
}

// The buffers differ at byte `at` of `bin`: names the buffer (from the
// text, equal in both runs) and the bytes of the element.
[[noreturn]] void reportBufferDifference(const Log& a, const Log& b) {
  size_t at = 0;
  while (at < a.bin.size() && at < b.bin.size() && a.bin[at] == b.bin[at]) ++at;
  size_t line = 0, start = 0;
  for (size_t pos = a.text.find("buffer at "); pos != std::string::npos; pos = a.text.find("buffer at ", pos + 1)) {
    const size_t offset = std::strtoull(a.text.c_str() + pos + 10, nullptr, 10);
    if (offset > at) break;
    line = pos;
    start = offset;
  }
  const size_t lineStart = a.text.rfind("step ", line);
  std::fprintf(stderr, "fuzz_bulk: the loop of single calls and the bulk calls leave different buffers\n%s",
               a.text.substr(lineStart == std::string::npos ? 0 : lineStart,
                             std::min<size_t>(a.text.find('\n', line) + 1 - (lineStart == std::string::npos ? 0 : lineStart), 4000))
                   .c_str());
  std::fprintf(stderr, "first difference at byte %zu of that buffer\n-- loop --\n", at - start);
  const size_t from = at & ~size_t{7};
  for (size_t i = from; i < from + 16 && i < a.bin.size(); ++i) std::fprintf(stderr, "%02x", static_cast<unsigned char>(a.bin[i]));
  std::fprintf(stderr, "\n-- bulk --\n");
  for (size_t i = from; i < from + 16 && i < b.bin.size(); ++i) std::fprintf(stderr, "%02x", static_cast<unsigned char>(b.bin[i]));
  std::fprintf(stderr, "\n");
  std::abort();
}

bool statsWanted() {
  const char* v = std::getenv("QX_FUZZ_STATS");
  return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  if (statsWanted()) std::atexit(printCounts);
  if (const char* b = std::getenv("QX_FUZZ_BUDGET_MS")) {
    const int ms = std::atoi(b);
    if (ms > 0 && ms <= 10000) gBudgetMs = ms;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  Script s;
  if (!readScript(data, size, s)) return 0;
  if (fz::tracing()) {
    for (const Row& r : s.rows) std::fprintf(stderr, "row %c %s\n", "rci"[r.engine], r.text.c_str());
  }
  ++gCounts.inputs;
  static Log loop, bulk;  // kept across inputs: clearing keeps their capacity
  loop.clear();
  bulk.clear();
  gPending = Counts{};
  bool complete = runScript(s, false, loop);
  complete = complete && runScript(s, true, bulk);
  qx::jit::setMode(qx::jit::Mode::Off);
  qx::jit::setLaneWidth(0);
  qx::bulk::testing::setMinParallelWork(-1);
  if (!complete) {
    ++gCounts.timedOut;
    return 0;
  }
  ++gCounts.compared;
  gCounts.calls += gPending.calls;
  gCounts.orderFree += gPending.orderFree;
  gCounts.lanes += gPending.lanes;
  gCounts.threads += gPending.threads;
  gCounts.nested += gPending.nested;
  gCounts.inputsOrderFree += gPending.orderFree > 0;
  gCounts.inputsLanes += gPending.lanes > 0;
  gCounts.inputsThreads += gPending.threads > 0;
  if (loop.text != bulk.text) reportDifference(loop.text, bulk.text);
  if (loop.bin != bulk.bin) reportBufferDifference(loop, bulk);
  return 0;
}

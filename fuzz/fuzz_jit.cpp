// Differential target for the two evaluation tiers: every input runs twice
// from a fresh library, once with every row interpreted and once with every
// row translated to machine code at its first evaluation, and everything a
// host can observe is written to a log per run. Inputs of odd length run a
// third time in the default tiered mode, where a row changes tier after a
// number of evaluations, possibly while an activation of it is running in
// the interpreter. The logs must agree:
//   - compile results;
//   - every evaluation's result, bit for bit (any NaN equals any NaN);
//   - after every evaluation: the three error records (number and name), the
//     loop level, limits and nesting counts, the compiled flags and value
//     arrays of every row, and the contents of the data stores;
//   - every host-function call in order: name, argument count, argument
//     values, the hidden index after them, where the arguments lie in the
//     calling row's stack area (row and slot), the engine's loop levels
//     with their pass counts, limits and nesting counts at the call, and
//     the value returned.
// The host functions are those of harness.h, each logging its calls, hset,
// which writes a row's variable in the middle of an evaluation, and hre,
// which evaluates the row it was called from (or another row of any
// engine) again through any of the six evaluation exports, writing its
// argument slots before and after and logging them as the re-entry left
// them.
// A run the watchdog cut short is not compared: where the budget runs out
// depends on the speed of the tier.
//
// Input: the format of fuzz_eval (whose seeds serve here too): byte 0
// configures the library:
//   bits 0-1  level limit 3, 6, 16 or 1 in every engine
//   bits 2-3  iteration limit 20, 200, 5000 or 2
//   bit 4     string table     bit 5  host functions    bit 6  named constants
//   bit 7     leave run-time errors pending between evaluations
// then up to 8 records separated by zero bytes: a selector byte, an argument
// byte and a formula text.
//   selector bits 0-1  0 real, 1 complex, 2 integer formula; 3 a formula
//                      built from a template with the text's bytes (a
//                      re-entry template of any engine when the first
//                      byte is 0xC0 or above, else a real one)
//            bits 2-3  row 0 .. 3
//            bits 4-5  number of evaluations after all records are compiled
//            bit 6     pass the arguments through the slots (getin + rcals)
//            bit 7     use the STD twins
//   argument byte: picks the argument values (fz::argValue)
// A last byte of 0x80 or above after a zero byte is no record: its bits
// 5-7 set the floating-point environment the rows compile and run in, 4
// flush-to-zero and denormals-are-zero, 5-7 rounding down, up or toward
// zero; machine code must give the interpreter's bits there too.
// After the records' evaluations every compiled row of the three tables is
// evaluated once more.
//
// QX_FUZZ_STATS=1 in the environment prints at exit how many inputs were
// compared, what share of the rows the host evaluated in the translating
// run had been translated, and how often hre re-entered a row, the row it
// was called from, and that row from inside an assignment.
#include <algorithm>
#include <charconv>
#include <cinttypes>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"
#include "jit/jit.h"

namespace {

constexpr int32_t kRows = 4;
// CPU time per run of an input; QX_FUZZ_BUDGET_MS overrides it (long runs
// of an uninstrumented build trade the slowest inputs for more inputs).
int gBudgetMs = 40;
// Store elements that enter the log per store or array; longer ones are
// logged by length and first elements (a difference in the tail would come
// from the same code as one in the head).
constexpr int32_t kStoreElements = 4096;

// ---------------------------------------------------------------------------
// The log of one run
// ---------------------------------------------------------------------------
struct Log : fz::TextLog {
  void line(const char* s) {
    text += s;
    text += '\n';
  }
};

Log* gLog = nullptr;
int gHopCalls = 0;  // hop calls since the top-level evaluation started
// Re-entries by hre since the top-level evaluation started, and hre calls
// under way: both bounded, so that a loop or a recursion of re-entering
// calls stays cheap (later hre calls return without re-entering).
int gReentries = 0, gReenterDepth = 0;
constexpr int kMaxReentries = 24, kMaxReenterDepth = 3;

struct Counts {
  uint64_t inputs = 0, compared = 0, timedOut = 0;
  uint64_t evaluated = 0, translated = 0;  // rows evaluated by the host in the translating run
  uint64_t failed = 0, notTranslated = 0;  // from the tier's own statistics
  // hre calls of the translating run that evaluated a row again: all of
  // them, those that re-entered the row they were called from, and those
  // among these whose call lies inside an assignment of that row, with
  // the number of inputs that had at least one of the last kind.
  uint64_t reentries = 0, sameRow = 0, underAssignment = 0, inputsUnderAssignment = 0;
};
Counts gCounts;
bool gCounting = false;      // the translating run is under way
bool gSawAssignment = false;  // this input re-entered a row under an assignment

void printCounts() {
  const Counts& c = gCounts;
  std::fprintf(stderr,
               "fuzz_jit: %" PRIu64 " inputs, %" PRIu64 " compared, %" PRIu64 " cut short by the watchdog; tier %s;\n"
               "fuzz_jit: %" PRIu64 " evaluated rows, %" PRIu64 " translated (%.2f%%), %" PRIu64
               " translations failed, %" PRIu64 " not translated\n",
               c.inputs, c.compared, c.timedOut, qx::jit::available() ? "present" : "absent", c.evaluated,
               c.translated, c.evaluated ? 100.0 * static_cast<double>(c.translated) / static_cast<double>(c.evaluated) : 0.0,
               c.failed, c.notTranslated);
  std::fprintf(stderr,
               "fuzz_jit: %" PRIu64 " re-entries by hre, %" PRIu64 " into the running row, %" PRIu64
               " of these under an assignment (in %" PRIu64 " inputs, %.2f%% of those compared)\n",
               c.reentries, c.sameRow, c.underAssignment, c.inputsUnderAssignment,
               c.compared ? 100.0 * static_cast<double>(c.inputsUnderAssignment) / static_cast<double>(c.compared) : 0.0);
}

// Where a host function's arguments lie: the row of its engine whose stack
// area holds them (-1 when none does), and the slot.
template <class T>
int32_t placeOf(const typename T::Value* a, int32_t* slot) {
  auto& t = qx::engine<T>().table;
  for (int32_t r = 0; r < t.rows; ++r) {
    if (!t.flags[r] || !t.stack[r]) continue;
    const int64_t slots = int64_t{t.header[r][qx::H_CODE_LENGTH]} + 1;
    if (a >= t.stack[r] && a < t.stack[r] + slots) {
      *slot = static_cast<int32_t>(a - t.stack[r]);
      return r;
    }
  }
  *slot = -1;
  return -1;
}

template <class T>
void logPlace(const typename T::Value* a) {
  int32_t slot = -1;
  gLog->num(placeOf<T>(a, &slot));
  gLog->num(slot);
}

// Whether a call of host function `fn` whose value lands on stack offset
// `result` of row `row` lies inside an assignment "(v=expr)" of that row.
// The offsets of the stack top are followed linearly through the codes, as
// the compiler lays them out; the assignment adds seven codes after expr
// (CONST, CONST, VAR, AND, ADD, SUB, MOV), and expr holds the call when the
// stack never dropped below expr's offset between the call and them.
template <class T>
bool callInAssignment(int32_t row, int32_t result, int32_t fn) {
  auto& t = qx::engine<T>().table;
  const uint8_t* code = t.code[row];
  const typename T::Value* k = t.ptrs[row][0];
  const int32_t len = t.header[row][qx::H_CODE_LENGTH];
  auto canonical = [](uint8_t op) -> uint8_t {
    if (op >= 128 || op == qx::OP_STORE2) return qx::OP_STORE;
    if (op > qx::OP_XOR) return qx::OP_XOR;
    if (op == qx::OP_WRAP || op == qx::OP_UNUSED28) return qx::OP_WHICH;
    return op;
  };
  static std::vector<int32_t> top, known, calls;
  top.assign(static_cast<size_t>(len) + 2, 0);
  known.assign(static_cast<size_t>(len) + 3, -1);  // per offset: constant index held, else -1
  calls.clear();
  int32_t s = 1, kc = 0;
  for (int32_t pos = 0; pos <= len; ++pos) {
    top[static_cast<size_t>(pos)] = s - 1;
    const uint8_t op = canonical(code[pos]);
    if (op == qx::OP_END) break;
    if (op == qx::OP_CONST) {
      known[static_cast<size_t>(s++)] = kc++;
    } else if (op == qx::OP_VAR) {
      known[static_cast<size_t>(s++)] = -1;
    } else if (op == qx::OP_STORE) {
      --s;
    } else if (op == qx::OP_CALL) {
      if (s < 3 || known[static_cast<size_t>(s - 1)] < 0 || known[static_cast<size_t>(s - 2)] < 0) return false;
      const int32_t cnt = T::hidden(k[known[static_cast<size_t>(s - 1)]]);
      const int32_t m = T::hidden(k[known[static_cast<size_t>(s - 2)]]);
      s -= cnt;
      if (s < 1) return false;
      known[static_cast<size_t>(s - 1)] = -1;
      if (m == fn && s - 1 == result) calls.push_back(pos);
    } else if ((op >= qx::OP_ADD && op <= qx::OP_POW) || (op >= qx::OP_GT && op != qx::OP_NOT)) {
      known[static_cast<size_t>(--s - 1)] = -1;
    } else if (op != qx::OP_LOOP && op != qx::OP_TEST && op != qx::OP_WHICH) {
      known[static_cast<size_t>(s - 1)] = -1;  // one-argument functions, NOT, MOV
    }
    if (s < 1 || s > len + 1) return false;
  }
  static const uint8_t kShape[7] = {qx::OP_CONST, qx::OP_CONST, qx::OP_VAR, qx::OP_AND,
                                    qx::OP_ADD,   qx::OP_SUB,   qx::OP_MOV};
  for (const int32_t p : calls) {
    int32_t low = result;
    for (int32_t q = p + 1; q + 7 <= len; ++q) {
      const int32_t e = top[static_cast<size_t>(q)];
      low = std::min(low, e);
      bool shape = true;
      for (int i = 0; i < 7 && shape; ++i) shape = canonical(code[q + i]) == kShape[i];
      if (shape && e == low) return true;
    }
  }
  return false;
}

// The loop state of an engine as a called function finds it: the open
// loop levels with their pass counts, the limits and the nesting counts.
template <class T>
void logLoops() {
  qx::Engine<T>& E = qx::engine<T>();
  gLog->word("loops");
  gLog->num(E.level);
  gLog->num(E.levelLimit);
  gLog->num(E.iterLimit);
  for (int k = 0; k < qx::kNestCounts; ++k) gLog->num(E.nest[k]);
  for (int32_t l = 0; l <= E.level && l < E.loopCap; ++l) gLog->num(E.loops[l].iter);
  gLog->end();
}

// hre passes values between engines as numbers: the real part, and an
// integer only from a finite value in its range (0 otherwise).
template <class T>
double asReal(const typename T::Value& v) {
  if constexpr (std::is_same_v<T, fz::ComplexTraits>) return v.re;
  else return static_cast<double>(v);
}
template <class T>
typename T::Value fromReal(double d) {
  if constexpr (std::is_same_v<T, fz::RealTraits>) return d;
  else if constexpr (std::is_same_v<T, fz::ComplexTraits>) return qx::Complex{d, 0.0};
  else return d > -2147483649.0 && d < 2147483648.0 ? static_cast<int32_t>(d) : 0;
}
template <class From, class To>
typename To::Value convert(const typename From::Value& v) {
  if constexpr (std::is_same_v<From, To>) return v;
  else return fromReal<To>(asReal<From>(v));
}

// Evaluates row `row` of engine `engine` through rcal/Ccal/Ical with
// arguments taken from a[1..l] (a[0] when there are none), or through
// rcals/Ccals/Icals with the parameters it holds. The value as a number.
template <class T, class U>
double reenterAs(int32_t row, bool withArgs, int32_t l, const typename T::Value* a) {
  using W = typename U::Value;
  const int32_t* last = U::kEngine == 0 ? getvarnum() : U::kEngine == 1 ? Cgetvarnum() : Igetvarnum();
  const int32_t n = last[row] + 1;
  W v[64];
  if (withArgs && n <= 64) {
    for (int32_t i = 0; i < n; ++i) v[i] = convert<T, U>(a[l >= 1 ? 1 + i % l : 0]);
  } else {
    withArgs = false;
  }
  if constexpr (U::kEngine == 0) {
    return withArgs ? rcal(row, n ? v : nullptr) : rcals(row);
  } else if constexpr (U::kEngine == 1) {
    static_assert(sizeof(W) == sizeof(QxComplex), "complex values cross the interface as they are");
    const QxComplex z = withArgs ? Ccal(row, n ? reinterpret_cast<QxComplex*>(v) : nullptr) : Ccals(row);
    return z.re;
  } else {
    return withArgs ? Ical(row, n ? v : nullptr) : Icals(row);
  }
}

// Host functions that log each call and its result around the shared ones.
template <class T>
struct Logged {
  using V = typename T::Value;
  using H = fz::Host<T>;
  static void enter(const char* name, int32_t last, V* a) {
    gLog->word("host");
    gLog->num(T::kEngine);
    gLog->word(name);
    gLog->num(last);
    logPlace<T>(a);
    for (int32_t i = 0; i <= last + 1; ++i) gLog->value(a[i]);  // arguments and the hidden index
    gLog->end();
    logLoops<T>();
  }
  static V leave(V v) {
    gLog->word("returns");
    gLog->value(v);
    gLog->end();
    return v;
  }
  static V hargs(int32_t l, V* a) { return enter("hargs", l, a), leave(H::hargs(l, a)); }
  static V herr(int32_t l, V* a) { return enter("herr", l, a), leave(H::herr(l, a)); }
  static V hclear(int32_t l, V* a) { return enter("hclear", l, a), leave(H::hclear(l, a)); }
  static V heval(int32_t l, V* a) { return enter("heval", l, a), leave(H::heval(l, a)); }
  static V hop(int32_t l, V* a) {
    ++gHopCalls;
    return enter("hop", l, a), leave(H::hop(l, a));
  }
  // hset(row, slot, value): writes a variable (argument, local or segment
  // variable) of a row of its engine while formulas run, as a host may do
  // through getin. Code that kept a variable in a register across the call
  // reads a stale value.
  // hre(k, ...): evaluates a row again from inside the evaluation, through
  // any of the six evaluation exports: k's bit 0 picks rcal/Ccal/Ical with
  // arguments (from the later arguments) or rcals/Ccals/Icals, (k >> 1) % 5
  // picks the row the call came from (0, 1) or engine 0, 1, 2 with row
  // (k >> 4) % 4. It writes its last argument slot before the re-entry,
  // logs its slots as the re-entry left them, writes its second slot after
  // it, and returns the value plus its last argument as read afterwards.
  static V hre(int32_t l, V* a) {
    enter("hre", l, a);
    const unsigned k = static_cast<unsigned>(T::toInt(a[0]));
    int32_t slot = -1;
    const int32_t running = placeOf<T>(a, &slot);
    const unsigned target = (k >> 1) % 5;
    const int engine = target < 2 ? T::kEngine : static_cast<int>(target - 2);
    const int32_t row = target < 2 ? running : static_cast<int32_t>((k >> 4) % kRows);
    if (l >= 1) a[l] = T::add(a[l], T::fromInt(1));
    double r = 0;
    if (!fz::gTimedOut && row >= 0 && fz::compiled(engine, row) && gReenterDepth < kMaxReenterDepth &&
        gReentries < kMaxReentries) {
      if (gCounting) {
        ++gCounts.reentries;
        if (engine == T::kEngine && row == running) {
          ++gCounts.sameRow;
          if (callInAssignment<T>(running, slot, T::hidden(a[l + 1]))) {
            ++gCounts.underAssignment;
            gSawAssignment = true;
          }
        }
      }
      ++gReentries;
      ++gReenterDepth;
      const bool withArgs = (k & 1) != 0;
      if (engine == 0) r = reenterAs<T, fz::RealTraits>(row, withArgs, l, a);
      else if (engine == 1) r = reenterAs<T, fz::ComplexTraits>(row, withArgs, l, a);
      else r = reenterAs<T, fz::IntTraits>(row, withArgs, l, a);
      --gReenterDepth;
    }
    gLog->word("after");
    for (int32_t i = 0; i <= l + 1; ++i) gLog->value(a[i]);
    gLog->end();
    const V v = T::add(fromReal<T>(r), a[l]);
    if (l >= 1) a[1] = a[0];
    return leave(v);
  }
  static V hset(int32_t l, V* a) {
    enter("hset", l, a);
    FZ_CHECK(l == 2);
    auto& t = qx::engine<T>().table;
    const int32_t row = T::toInt(a[0]), slot = T::toInt(a[1]);
    if (row >= 0 && row < t.rows && t.flags[row] && slot >= 0 && slot < t.ptrs[row][0] - t.vals[row])
      t.vals[row][slot] = a[2];
    return leave(a[2]);
  }
};

using C = fz::ComplexTraits;
QxComplex cxArgs(QxComplex* a, qx::Complex (*fn)(int32_t, qx::Complex*), int32_t l) {
  return fz::cx(fn(l, reinterpret_cast<qx::Complex*>(a)));
}
QxComplex lcHargs(int32_t l, QxComplex* a) { return cxArgs(a, Logged<C>::hargs, l); }
QxComplex lcHerr(int32_t l, QxComplex* a) { return cxArgs(a, Logged<C>::herr, l); }
QxComplex lcHclear(int32_t l, QxComplex* a) { return cxArgs(a, Logged<C>::hclear, l); }
QxComplex lcHeval(int32_t l, QxComplex* a) { return cxArgs(a, Logged<C>::heval, l); }
QxComplex lcHop(int32_t l, QxComplex* a) { return cxArgs(a, Logged<C>::hop, l); }
QxComplex lcHset(int32_t l, QxComplex* a) { return cxArgs(a, Logged<C>::hset, l); }
QxComplex lcHre(int32_t l, QxComplex* a) { return cxArgs(a, Logged<C>::hre, l); }

// The shared five, then hset and hre.
const QxRealFn kLoggedReal[] = {Logged<fz::RealTraits>::hargs, Logged<fz::RealTraits>::herr,
                                Logged<fz::RealTraits>::hclear, Logged<fz::RealTraits>::heval,
                                Logged<fz::RealTraits>::hop,   Logged<fz::RealTraits>::hset,
                                Logged<fz::RealTraits>::hre};
const QxComplexFn kLoggedComplex[] = {lcHargs, lcHerr, lcHclear, lcHeval, lcHop, lcHset, lcHre};
const QxIntFn kLoggedInt[] = {Logged<fz::IntTraits>::hargs, Logged<fz::IntTraits>::herr,
                              Logged<fz::IntTraits>::hclear, Logged<fz::IntTraits>::heval,
                              Logged<fz::IntTraits>::hop,   Logged<fz::IntTraits>::hset,
                              Logged<fz::IntTraits>::hre};
const char* const kLoggedNames[] = {"hargs", "herr", "hclear", "heval", "hop", "hset", "hre", ""};
const int32_t kLoggedRules[] = {-2, 0, -1, 0, 1, 2, -2};

void registerLoggedHosts() {
  setfcfun(kLoggedNames, kLoggedRules, kLoggedReal);
  Csetfcfun(kLoggedNames, kLoggedRules, kLoggedComplex);
  Isetfcfun(kLoggedNames, kLoggedRules, kLoggedInt);
}

// Everything of an engine that a host or a formula can see after an
// evaluation.
template <class T>
void logEngine() {
  qx::Engine<T>& E = qx::engine<T>();
  gLog->word("engine");
  gLog->num(T::kEngine);
  gLog->word("error");
  gLog->num(E.err.number);
  gLog->word(E.err.name ? E.err.name : "(none)");
  gLog->word("limits");
  gLog->num(E.level);
  gLog->num(E.levelLimit);
  gLog->num(E.iterLimit);
  for (int k = 0; k < qx::kNestCounts; ++k) gLog->num(E.nest[k]);
  gLog->end();
  fz::logRowsAndStores<T>(*gLog, kStoreElements, 64);
}

void logState() {
  logEngine<fz::RealTraits>();
  logEngine<fz::ComplexTraits>();
  logEngine<fz::IntTraits>();
}

using fz::Record;
using fz::Script;

int gFloatingPoint = 0;  // the trailer's bits 5-7 (see the top), else 0

// Runs the whole script on a fresh library and logs it. Returns false when
// the watchdog cut the run short.
bool runScript(const Script& s, qx::jit::Mode mode, Log& log) {
  qx::jit::setMode(mode);
  gLog = &log;
  const bool translating = mode == qx::jit::Mode::Always;

  deletedll();
  FZ_CHECK(qx::testing::liveAllocations() == 0);
  const uint8_t config = s.config;
  // Any text naming simpintegrate keeps the real iteration limit small.
  bool simp = false;
  for (const std::string& text : s.texts) simp = simp || text.find("simpintegrate") != std::string::npos;
  fz::applyLimits(config, simp);
  if (config & 0x10) setfcstrmax(30);
  if (config & 0x20) registerLoggedHosts();
  fz::registerConstants(config & 0x40);
  for (int e = 0; e < 3; ++e) fz::sizeTable(e, kRows, false);
  userci();
  if (gFloatingPoint >= 4) fz::setFloatingPoint(gFloatingPoint == 4 ? 3 : gFloatingPoint);
  const qx::jit::Stats before = qx::jit::stats();
  gCounting = translating;

  fz::armWatchdog(gBudgetMs);
  for (size_t i = 0; i < s.records.size(); ++i) {
    std::vector<char> buf(s.texts[i].begin(), s.texts[i].end());
    buf.push_back(0);
    int32_t lastArg = -7;
    const int32_t r = fz::compileText(s.records[i].engine, s.records[i].row, buf.data(), &lastArg, s.records[i].twin);
    fz::checkIdle();
    if (r == QX_OK) fz::checkCompiled(s.records[i].engine, s.records[i].row);
    log.word("compile");
    log.num(static_cast<int64_t>(i));
    log.num(r);
    log.num(lastArg);
    log.end();
  }
  auto evaluateOnce = [&](const Record& r, unsigned args) {
    log.word("evaluate");
    log.num(r.engine);
    log.num(r.row);
    log.end();
    gHopCalls = 0;
    gReentries = 0;
    qx::Complex result{0.0, 0.0};
    const bool ran = fz::evaluateRow(r.engine, r.row, args, r.slots, r.twin, &result);
    fz::checkIdle();
    if (!ran) return;
    log.word("result");
    log.value(result);
    log.end();
    logState();
    // A host operation may have compiled the row again (and so released
    // its machine code); only rows that kept their code are counted.
    if (translating && gHopCalls == 0 && fz::compiled(r.engine, r.row)) {
      ++gCounts.evaluated;
      if (qx::jit::rowTranslated(r.engine, r.row)) ++gCounts.translated;
    }
    if (!(config & 0x80)) {
      for (int e = 0; e < 3; ++e) fz::fetchError(e);
    }
  };
  for (size_t i = 0; i < s.records.size() && !fz::gTimedOut; ++i) {
    const Record& r = s.records[i];
    for (int k = 0; k < r.evals && !fz::gTimedOut; ++k) evaluateOnce(r, r.args + 5u * k);
  }
  // Then every compiled row once more, so that no row escapes translation.
  for (int e = 0; e < 3 && !fz::gTimedOut; ++e)
    for (int32_t row = 0; row < kRows && !fz::gTimedOut; ++row)
      evaluateOnce(Record{e, row, 1, false, false, 0}, static_cast<unsigned>(7 * row + e));
  fz::disarmWatchdog();
  std::fesetenv(FE_DFL_ENV);
  gCounting = false;
  const bool complete = !fz::gTimedOut;
  if (translating) {
    const qx::jit::Stats after = qx::jit::stats();
    gCounts.failed += after.failed - before.failed;
    gCounts.notTranslated += after.notTranslated - before.notTranslated;
  }

  fz::touchStores<fz::RealTraits>();
  fz::touchStores<fz::ComplexTraits>();
  fz::touchStores<fz::IntTraits>();
  fz::releaseAndCheck();
  gLog = nullptr;
  return complete;
}

[[noreturn]] void reportDifference(const std::string& a, const std::string& b, const char* other) {
  char what[96];
  std::snprintf(what, sizeof what, "fuzz_jit: the interpreter and the %s run disagree", other);
  fz::reportLogDifference(a, b, what, "interpreter", other);
}

bool statsWanted() {
  const char* v = std::getenv("QX_FUZZ_STATS");
  return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  fz::gRealHosts = kLoggedReal;
  fz::gComplexHosts = kLoggedComplex;
  fz::gIntHosts = kLoggedInt;
  if (statsWanted()) std::atexit(printCounts);
  if (const char* b = std::getenv("QX_FUZZ_BUDGET_MS")) {
    const int ms = std::atoi(b);
    if (ms > 0 && ms <= 10000) gBudgetMs = ms;
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  const bool trailer = size >= 4 && data[size - 1] >= 0x80 && data[size - 2] == 0;
  gFloatingPoint = trailer ? data[size - 1] >> 5 : 0;
  fz::Reader in{data, data + size - (trailer ? 1 : 0)};
  Script s;
  if (!fz::readScript(in, s)) return 0;

  ++gCounts.inputs;
  // Kept across inputs: clearing keeps the buffers' capacity.
  static Log interpreted, translated, tiered;
  interpreted.text.clear();
  translated.text.clear();
  tiered.text.clear();
  const bool tieredRun = (size & 1) != 0;
  gSawAssignment = false;
  // A run the watchdog cut short cannot be compared: the later runs are
  // left out as soon as one is.
  bool complete = runScript(s, qx::jit::Mode::Off, interpreted);
  complete = complete && runScript(s, qx::jit::Mode::Always, translated);
  if (tieredRun) complete = complete && runScript(s, qx::jit::Mode::Tiered, tiered);
  qx::jit::setMode(qx::jit::Mode::Off);
  if (!complete) {
    ++gCounts.timedOut;
    return 0;
  }
  ++gCounts.compared;
  if (gSawAssignment) ++gCounts.inputsUnderAssignment;
  if (fz::tracing()) std::fprintf(stderr, "%s", interpreted.text.c_str());
  if (interpreted.text != translated.text) reportDifference(interpreted.text, translated.text, "machine code");
  if (tieredRun && interpreted.text != tiered.text) reportDifference(interpreted.text, tiered.text, "tiered");
  return 0;
}

// Pieces shared by the fuzz harnesses: invariant checks on library state, a
// bound on the work and memory that fuzzed formulas may ask for, and a set of
// host functions that call back into the library.
#pragma once
#include <signal.h>
#include <sys/time.h>
#include <xmmintrin.h>

#include <algorithm>
#include <cfenv>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <type_traits>
#include <vector>

#include "alloc.h"
#include "engine.h"
#include "opcodes.h"
#include "quibex.h"

namespace fz {

using qx::ComplexTraits;
using qx::IntTraits;
using qx::RealTraits;

[[noreturn]] inline void broken(const char* what, const char* file, int line) {
  std::fprintf(stderr, "fuzz invariant broken: %s (%s:%d)\n", what, file, line);
  std::abort();
}
#define FZ_CHECK(cond) \
  do {                 \
    if (!(cond)) ::fz::broken(#cond, __FILE__, __LINE__); \
  } while (0)

// FZ_TRACE=1 in the environment prints every compilation and evaluation,
// for reading what an input does.
inline bool tracing() {
  static const bool on = std::getenv("FZ_TRACE") != nullptr;
  return on;
}

// ---------------------------------------------------------------------------
// Input reader
// ---------------------------------------------------------------------------
// A run's log as text: numbers, and values by their bits (every NaN the
// same), so that two runs compare as strings. Logs grow by tens of
// kilobytes per input: snprintf would cost more than the formulas.
struct TextLog {
  std::string text;
  void word(const char* s) {
    text += s;
    text += ' ';
  }
  void num(int64_t v) {
    char buf[24];
    char* end = std::to_chars(buf, buf + sizeof buf - 1, v).ptr;
    *end++ = ' ';
    text.append(buf, static_cast<size_t>(end - buf));
  }
  void real(double v) {
    if (std::isnan(v)) {
      text += "nan ";
      return;
    }
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    static const char hex[] = "0123456789abcdef";
    char buf[17];
    for (int i = 0; i < 16; ++i) buf[i] = hex[(bits >> (60 - 4 * i)) & 15];
    buf[16] = ' ';
    text.append(buf, 17);
  }
  void value(double v) { real(v); }
  void value(const qx::Complex& c) {
    real(c.re);
    real(c.im);
  }
  void value(int32_t v) { num(v); }
  void end() { text += '\n'; }
};

// The value arrays of an engine's compiled rows and its stores (at most
// `arrays` arrays and `elements` values of each store): what a host or a
// formula can see of the engine after an evaluation, besides the error
// record.
template <class T>
void logRowsAndStores(TextLog& log, int32_t elements, int32_t arrays) {
  qx::Engine<T>& E = qx::engine<T>();
  auto& t = E.table;
  for (int32_t r = 0; r < t.rows; ++r) {
    log.word("row");
    log.num(r);
    log.num(t.flags[r]);
    if (t.flags[r]) {
      const int32_t lastSlot = t.header[r][qx::H_LAST_SLOT];
      for (int32_t i = 0; i <= lastSlot; ++i) log.value(t.vals[r][i]);
    }
    log.end();
  }
  const auto& S = E.stores;
  log.word("numbers");
  log.num(S.numCount);
  for (int32_t i = 0; i < S.numCount && i < elements; ++i) log.value(S.nums[i]);
  log.end();
  log.word("arrays");
  log.num(S.arrCount);
  log.end();
  for (int32_t k = 0; k < S.arrCount && k < arrays; ++k) {
    log.word("array");
    log.num(S.lens[k]);
    for (int32_t i = 0; i < S.lens[k] && i < elements; ++i) log.value(S.arrays[k][i]);
    log.end();
  }
}

// Prints `what`, then the lines around the first difference of two logs
// (a few before it, then each log's own), and aborts.
[[noreturn]] inline void reportLogDifference(const std::string& a, const std::string& b, const char* what,
                                             const char* nameA, const char* nameB) {
  size_t at = 0;
  while (at < a.size() && at < b.size() && a[at] == b[at]) ++at;
  size_t lineStart = a.rfind('\n', at == 0 ? 0 : at - 1);
  lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
  size_t context = lineStart;
  for (int n = 0; n < 6 && context > 0; ++n) {
    const size_t prev = a.rfind('\n', context - 2);
    context = prev == std::string::npos ? 0 : prev + 1;
  }
  auto upToLines = [](const std::string& s, size_t from, int lines) {
    size_t end = from;
    for (int n = 0; n < lines && end < s.size(); ++n) {
      const size_t nl = s.find('\n', end);
      end = nl == std::string::npos ? s.size() : nl + 1;
    }
    return s.substr(from, std::min<size_t>(end - from, 4000));
  };
  std::fprintf(stderr, "%s\n-- context --\n%s", what,
               a.substr(context, std::min<size_t>(lineStart - context, 4000)).c_str());
  std::fprintf(stderr, "-- %s --\n%s", nameA, upToLines(a, lineStart, 3).c_str());
  std::fprintf(stderr, "-- %s --\n%s", nameB, upToLines(b, lineStart, 3).c_str());
  std::abort();
}

struct Reader {
  const uint8_t* p;
  const uint8_t* end;
  bool empty() const { return p >= end; }
  uint8_t byte() { return p < end ? *p++ : 0; }
  // Bytes up to the next zero byte (consumed) or the end of the input.
  std::string text(size_t maxLen = 4096) {
    std::string s;
    while (p < end && *p && s.size() < maxLen) s.push_back(static_cast<char>(*p++));
    while (p < end && *p) ++p;
    if (p < end) ++p;
    return s;
  }
};

// ---------------------------------------------------------------------------
// Work and memory bounds
// ---------------------------------------------------------------------------
// Fuzzed formulas can run loops, recursive formula calls and repeated
// evaluations whose cost multiplies, and can raise the iteration and level
// limits themselves. Two bounds keep every input short:
//   - a CPU-time watchdog (user and system time, so that page faults of
//     large stores count too): when an input has used its budget, a timer signal
//     makes an error pending in every engine (and keeps doing so). A pending
//     error ends every loop at its next pass and makes every formula call and
//     repeated-evaluation function return at once, so the evaluation winds
//     down quickly along the library's own paths;
//   - a text filter (WorkFilter) for the functions whose work a pending error
//     does not cut short: the grid walks of sum and pro, the refinement
//     passes of simpintegrate and the walk of dataarraysum over arrays of
//     any length. Harnesses build those calls from templates with small,
//     bounded arguments instead. heval, the host function that evaluates a
//     row, stops evaluating once the budget is spent.
constexpr int32_t kWatchdogError = 30999;
inline volatile sig_atomic_t gTimedOut = 0;

// Single blocks above 64 MiB fail as if the allocator refused them: a store
// of hundreds of millions of elements would otherwise spend seconds in page
// faults inside one library call, which no watchdog can cut short.
inline const bool kBlockLimitSet = (qx::testing::limitBlockSize(uint64_t{64} << 20), true);

inline void forcePending(qx::ErrorRecord& r) {
  if (r.number == 0) {
    r.number = kWatchdogError;
    r.name = "watchdog";
  }
}

inline void onWatchdog(int) {
  gTimedOut = 1;
  forcePending(qx::gLib.real.err);
  forcePending(qx::gLib.cplx.err);
  forcePending(qx::gLib.integer.err);
}

inline void armWatchdog(int milliseconds) {
  static bool installed = false;
  if (!installed) {
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = onWatchdog;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGPROF, &sa, nullptr);
    installed = true;
  }
  gTimedOut = 0;
  itimerval tv;
  tv.it_value.tv_sec = milliseconds / 1000;
  tv.it_value.tv_usec = (milliseconds % 1000) * 1000;
  tv.it_interval.tv_sec = 0;
  tv.it_interval.tv_usec = 1000;  // keep the errors pending once the budget is spent
  setitimer(ITIMER_PROF, &tv, nullptr);
}

inline void disarmWatchdog() {
  itimerval tv;
  std::memset(&tv, 0, sizeof tv);
  setitimer(ITIMER_PROF, &tv, nullptr);
}

// Brackets of all three kinds pair up by kind.
inline bool balanced(const std::string& text) {
  std::string open;
  for (char ch : text) {
    if (ch == '(' || ch == '[' || ch == '{') {
      open.push_back(ch);
    } else if (ch == ')' || ch == ']' || ch == '}') {
      const char want = ch == ')' ? '(' : ch == ']' ? '[' : '{';
      if (open.empty() || open.back() != want) return false;
      open.pop_back();
    }
  }
  return open.empty();
}

// Lower-cases and drops blanks the way the compiler does.
inline std::string normalised(const std::string& text) {
  std::string s;
  for (char ch : text) {
    if (ch == ' ') continue;
    s.push_back(ch >= 'A' && ch <= 'Z' ? static_cast<char>(ch - 'A' + 'a') : ch);
  }
  return s;
}

inline bool nameChar(char ch) {
  return (ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || ch == '_';
}

// Calls of `name` (the name directly followed by an opening bracket) in a
// normalised text.
inline int countCalls(const std::string& norm, const char* name) {
  const size_t n = std::strlen(name);
  int count = 0;
  for (size_t pos = norm.find(name); pos != std::string::npos; pos = norm.find(name, pos + 1)) {
    if (pos > 0 && nameChar(norm[pos - 1])) continue;
    const size_t after = pos + n;
    if (after < norm.size() && (norm[after] == '(' || norm[after] == '[' || norm[after] == '{')) ++count;
  }
  return count;
}

struct WorkFilter {
  bool allowLimitSetters = true;  // setcyclemax, setstackmax
  int dataCalls = 0;              // datasum and datapro calls seen so far
  bool accept(const std::string& text) {
    const std::string s = normalised(text);
    if (countCalls(s, "sum") || countCalls(s, "pro") || countCalls(s, "simpintegrate") ||
        countCalls(s, "dataarraysum"))
      return false;
    if (!allowLimitSetters && (countCalls(s, "setcyclemax") || countCalls(s, "setstackmax"))) return false;
    dataCalls += countCalls(s, "datasum") + countCalls(s, "datapro");
    return dataCalls <= 2;
  }
};


// ---------------------------------------------------------------------------
// Formula templates with bounded work
// ---------------------------------------------------------------------------
// A small number written as formula text.
inline std::string small(uint8_t b) {
  static const char* const v[] = {"0", "1", "2", "3", "-1", "0.5", "-2", "1.5"};
  return v[b & 7];
}

// A grid triple (start, end, step) of at most 13 points.
inline std::string triple(uint8_t b) {
  static const char* const start[] = {"0", "1", "-3", "3"};
  static const char* const end[] = {"0", "3", "-1", "3.5"};
  static const char* const step[] = {"1", "0.5", "2", "0", "-1", "0.25", "1", "3"};
  return std::string(start[b & 3]) + "," + end[(b >> 2) & 3] + "," + step[(b >> 4) & 7];
}

// Formulas in which the host function hre (fuzz_jit) evaluates rows again
// from inside assignments, segments and loops, for any engine (integer
// formulas use whole numbers only). K1 and K2 pick hre's export and row.
inline std::string reentryTemplate(const std::string& bytes, int* engine) {
  auto at = [&](size_t i) -> uint8_t { return i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : 0; };
  *engine = at(1) % 3;
  const std::string k1 = std::to_string(at(2) & 63), k2 = std::to_string(at(3) & 63);
  const std::string n = std::to_string(1 + (at(4) & 3));
  switch ((at(1) >> 2) % 10) {
    case 0: return "(x:t)=(t=1-hre(" + k1 + ",x))+t";
    case 1: return "(x:t)=3*(t=1-hre(" + k1 + ",x,t))+x";
    case 2: return "(x:t,u)=(u=0)+for(lt(u," + n + "),(u=u+1),(t=t+hre(" + k1 + ",x,u)))+t";
    case 3: return "(x:t)=s+hre(" + k1 + ",x)*(t=s-1),s=(x=1-hre(" + k2 + ",x,s))+x";
    case 4: return "(x)=(x=hre(" + k1 + ",x,x+1))-hre(" + k2 + ",x)";
    case 5: return "(x:u)=dowhile((u=u+1),lt(hre(" + k1 + ",x,(x=x*2)),u+" + n + "))+u";
    case 6: return "(x)=which(gt(x,0),(x=hre(" + k1 + ",x)),1)+x";
    case 7: return "(x:t)=(t=2)+(x=hre(" + k1 + ",(t=t+x),hre(" + k2 + ",x,t)))*t";
    case 8: return "(x,y:t)=y+(t=x-hre(" + k1 + ",x,y,(y=t+1)))*2,s=(t=hre(" + k2 + ",s,x))";
    default: return "(x:t,u)=(u=0)+for(1,(u=u+1),if(gt(u," + n + "),break()),(x=x+hre(" + k1 + ",u,(t=x))))+x";
  }
}

// Real formulas calling the repeated-evaluation functions with bounded
// work; a first byte of 0xC0 and above gives a re-entry template instead,
// of the engine it sets.
inline std::string evalTemplate(const std::string& bytes, int* engine) {
  auto at = [&](size_t i) -> uint8_t { return i < bytes.size() ? static_cast<uint8_t>(bytes[i]) : 0; };
  if (at(0) >= 0xC0) return reentryTemplate(bytes, engine);
  *engine = 0;
  const std::string row = std::to_string(at(1) & 3);
  switch (at(0) % 6) {
    case 0: return "(x)=sum(" + row + ",0," + triple(at(2)) + ")+x";
    case 1: return "(x)=pro(" + row + ",0," + triple(at(2)) + "," + triple(at(3)) + ")";
    case 2: return "(x,y)=sum(" + row + ",1," + small(at(2)) + "," + triple(at(3)) + ")*y";
    case 3: {
      static const char* const eps[] = {"0.001", "1e-9", "0", "-1", "(0/0)", "1e10", "0.1", "1e-300"};
      return "(a,b)=simpintegrate(a,b," + std::string(eps[at(2) & 7]) + "," + row + (at(3) & 1 ? ",2" : "") + ")";
    }
    case 4: return "(x)=datasum(" + row + ",0," + small(at(2)) + "," + small(at(3)) + ",x)";
    default:
      return "(x)=one(newdoublearrays(2),newdoublearray(0,4,1,2,3),newdoublearray(1," + small(at(2)) +
             ",x),dataarraysum(" + row + "," + (at(3) & 1 ? "1,x," : "0,") + small(at(4)) + ",0" +
             (at(3) & 2 ? ",1" : "") + "))";
  }
}


// ---------------------------------------------------------------------------
// Invariants
// ---------------------------------------------------------------------------
// Nothing runs: no loop level open, every nesting count and busy count back
// at zero. Checked after every top-level call into the library.
template <class T>
void checkEngineIdle() {
  qx::Engine<T>& E = qx::engine<T>();
  FZ_CHECK(E.level == -1);
  for (int k = 0; k < qx::kNestCounts; ++k) FZ_CHECK(E.nest[k] == 0);
  for (int32_t r = 0; r < E.table.rows; ++r) FZ_CHECK(E.table.busy[r] == 0);
  FZ_CHECK(E.table.rows >= 0);
}

inline void checkIdle() {
  FZ_CHECK(qx::gLib.depth == 0);
  for (int k = 0; k < 3; ++k) FZ_CHECK(qx::gLib.active[k] == 0);
  checkEngineIdle<RealTraits>();
  checkEngineIdle<ComplexTraits>();
  checkEngineIdle<IntTraits>();
}

// The two stores of an engine are consistent: counts match the arrays and
// every element the counts promise can be read and written.
template <class T>
void touchStores() {
  auto& S = qx::engine<T>().stores;
  FZ_CHECK(S.numCount >= 0);
  FZ_CHECK((S.numCount == 0) == (S.nums == nullptr));
  for (int32_t i = 0; i < S.numCount; ++i) {
    typename T::Value v;
    std::memcpy(&v, &S.nums[i], sizeof v);
    std::memcpy(&S.nums[i], &v, sizeof v);
  }
  FZ_CHECK(S.arrCount >= 0);
  FZ_CHECK((S.arrCount == 0) == (S.arrays == nullptr));
  FZ_CHECK((S.arrCount == 0) == (S.lens == nullptr));
  for (int32_t k = 0; k < S.arrCount; ++k) {
    FZ_CHECK(S.lens[k] >= 0);
    FZ_CHECK(S.lens[k] == 0 || S.arrays[k] != nullptr);
    for (int32_t i = 0; i < S.lens[k]; ++i) {
      typename T::Value v;
      std::memcpy(&v, &S.arrays[k][i], sizeof v);
      std::memcpy(&S.arrays[k][i], &v, sizeof v);
    }
  }
}

// A hidden operand (function index, slot count, marker) read as a number.
template <class T>
bool asSmallInt(const typename T::Value& v, int64_t& out) {
  double d;
  if constexpr (std::is_same_v<T, ComplexTraits>) {
    if (v.im != 0.0) return false;
    d = v.re;
  } else {
    d = static_cast<double>(v);
  }
  if (!(d >= -1e9 && d <= 1e9) || d != std::floor(d)) return false;
  out = static_cast<int64_t>(d);
  return true;
}

// What a successful compilation must leave in a row: a code of one-byte
// operations ending in the only 0, headers that agree with the code, a
// pointer table into the row's own variables, calls laid out with their two
// hidden constants, and a stack effect that never underflows and leaves
// exactly the result.
// `fresh`: the row was compiled against the merged function table as it is
// now (a later registration may leave compiled indices beyond its end).
template <class T>
void checkCompiledRow(int32_t r, bool fresh = true) {
  using V = typename T::Value;
  qx::Engine<T>& E = qx::engine<T>();
  auto& t = E.table;
  FZ_CHECK(r >= 0 && r < t.rows);
  FZ_CHECK(t.flags[r] == 1);
  const int32_t* h = t.header[r];
  const int32_t lastArg = h[qx::H_LAST_ARG], codeLength = h[qx::H_CODE_LENGTH];
  const int32_t refCount = h[qx::H_REF_COUNT], lastSlot = h[qx::H_LAST_SLOT];
  FZ_CHECK(lastArg >= -1 && codeLength >= 1 && refCount >= 0 && lastSlot >= -1);
  FZ_CHECK(t.argc[r] == lastArg);
  const uint8_t* code = t.code[r];
  V* vals = t.vals[r];
  V** ptrs = t.ptrs[r];
  const int64_t vars = ptrs[0] - vals;
  FZ_CHECK(vars >= 0 && vars <= int64_t{lastSlot} + 1);
  FZ_CHECK(lastArg + 1 <= vars);
  for (int32_t i = 1; i <= refCount; ++i) FZ_CHECK(ptrs[i] >= vals && ptrs[i] < vals + vars);

  int64_t consts = 0, refs = 0, depth = 0;
  for (int32_t i = 0; i < codeLength; ++i) {
    const uint8_t op = code[i];
    switch (op) {
      case qx::OP_CONST: ++consts; ++depth; break;
      case qx::OP_VAR: ++refs; ++depth; break;
      case qx::OP_STORE: --depth; break;
      case qx::OP_ADD: case qx::OP_SUB: case qx::OP_MUL: case qx::OP_DIV: case qx::OP_POW: --depth; break;
      case qx::OP_MOV: FZ_CHECK(refs > 0); break;
      case qx::OP_CALL: {
        FZ_CHECK(i >= 2 && code[i - 1] == qx::OP_CONST && code[i - 2] == qx::OP_CONST);
        int64_t m = -1, n = -1;
        FZ_CHECK(asSmallInt<T>(vals[vars + consts - 2], m));
        FZ_CHECK(asSmallInt<T>(vals[vars + consts - 1], n));
        FZ_CHECK(m >= 0);
        if (fresh) FZ_CHECK(m < E.mCount);
        FZ_CHECK(m < qx::FN_GT || m > qx::FN_XOR);  // logical calls become codes 32 .. 41
        FZ_CHECK(n >= 1 && depth >= n + 1);
        depth -= n;
        break;
      }
      case qx::OP_LOOP: case qx::OP_TEST: case qx::OP_WHICH:
        FZ_CHECK(i >= 1 && code[i - 1] == qx::OP_CONST);
        break;
      case qx::OP_NOT: break;
      default:
        if (op >= qx::OP_GT && op <= qx::OP_XOR) {
          --depth;
        } else {
          // A one-argument function of this engine.
          FZ_CHECK(op >= qx::kFirstUnary && op <= qx::kLastUnary);
          FZ_CHECK(T::kUnaryNames[op - 10][0] != ' ');
        }
        break;
    }
    FZ_CHECK(depth >= 0);
  }
  FZ_CHECK(code[codeLength] == qx::OP_END);
  FZ_CHECK(depth == 1);
  FZ_CHECK(consts == int64_t{lastSlot} + 1 - vars);
  FZ_CHECK(refs == refCount);
}

// ---------------------------------------------------------------------------
// Values used as arguments
// ---------------------------------------------------------------------------
inline double realValue(unsigned k) {
  static const double v[] = {0.0, 1.0, -1.0, 2.0, 0.5, -2.5, 3.0, 16.0,
                             1e300, -1e300, INFINITY, -INFINITY, NAN, 2147483648.0, -2147483649.0, 1e-300};
  return v[k % 16];
}
inline int32_t intValue(unsigned k) {
  static const int32_t v[] = {0, 1, -1, 2, INT32_MIN, INT32_MAX, -2, 3, 16, 7, -7, 100, 0, 1, 4, -2147483647};
  return v[k % 16];
}
template <class T>
typename T::Value argValue(unsigned k) {
  if constexpr (std::is_same_v<T, RealTraits>) return realValue(k);
  else if constexpr (std::is_same_v<T, IntTraits>) return intValue(k);
  else return qx::Complex{realValue(k), realValue(k / 3 + 5)};
}

// ---------------------------------------------------------------------------
// Host functions
// ---------------------------------------------------------------------------
// Every engine registers the same five: hargs (any arguments; checks that
// the slot after the last argument holds its own index), herr(n) (records
// error n the way a host should), hclear() (clears the pending error),
// heval(row) (evaluates a row of its own engine from inside the evaluation)
// and hop(k, row) (calls a lifecycle export from inside the evaluation).
inline const char* const kHostNames[] = {"hargs", "herr", "hclear", "heval", "hop", ""};
inline const int32_t kHostRules[] = {-2, 0, -1, 0, 1};
// A shorter list registered in place of the first, so that compiled calls of
// the last three reach past the end of the merged table.
inline const char* const kHostNamesShort[] = {"hargs", "herr", ""};
inline const char* const kHostNamesEmpty[] = {""};

inline uint8_t registerHosts(int engine, int list);

// Lifecycle operation k from inside an evaluation. The library must refuse
// whatever would free storage in use, and survive the rest.
inline void hostOperation(int k, int32_t row) {
  static char realText[] = "(x)=x+1";
  static char complexText[] = "(z)=z*i";
  static char intText[] = "(n)=n/2";
  const int op = static_cast<int>(static_cast<unsigned>(k) % 12);
  const int engine = static_cast<int>(static_cast<unsigned>(k) / 12 % 3);
  int32_t lastArg = 0;
  switch (op) {
    case 0: case 1: case 2: {
      const int e = op;
      const bool running = qx::gLib.active[e] > 0;
      const int32_t rows = e == 0 ? qx::gLib.real.table.rows : e == 1 ? qx::gLib.cplx.table.rows : qx::gLib.integer.table.rows;
      const uint8_t ok = e == 0 ? setfornum(4) : e == 1 ? Csetfornum(4) : Isetfornum(4);
      if (running) {
        FZ_CHECK(ok == 0);  // rows of that table are running: it must stay
        const int32_t after = e == 0 ? qx::gLib.real.table.rows : e == 1 ? qx::gLib.cplx.table.rows : qx::gLib.integer.table.rows;
        FZ_CHECK(after == rows);
      }
      break;
    }
    case 3: userci(); break;
    case 4: {
      const int32_t rows = qx::gLib.real.table.rows;
      deletedll();  // refused while anything is being evaluated
      FZ_CHECK(qx::gLib.real.table.rows == rows);
      break;
    }
    case 5: rcom(row, realText, &lastArg); break;
    case 6: Ccom(row, complexText, &lastArg); break;
    case 7: Icom(row, intText, &lastArg); break;
    case 8: setfcstrmax(16); break;
    case 9: initfcstr(); break;
    case 10: registerHosts(engine, static_cast<int>(static_cast<unsigned>(k) / 36 % 2)); break;
    default:
      if (!gTimedOut) {
        const char* name = nullptr;
        (void)(engine == 0 ? fcerr(&name) : engine == 1 ? Cfcerr(&name) : Ifcerr(&name));
      }
      break;
  }
}

template <class T>
int32_t hostIndex(int i) {
  return T::kBuiltinCount + i;
}

template <class T>
struct Host {
  using V = typename T::Value;
  static int32_t num(const V& v) { return T::toInt(v); }
  static V hargs(int32_t last, V* a) {
    int64_t self = -1;
    FZ_CHECK(asSmallInt<T>(a[last + 1], self) && self == hostIndex<T>(0));
    V s = T::zero();
    for (int32_t i = 0; i <= last; ++i) s = T::add(s, a[i]);
    return s;
  }
  static V herr(int32_t last, V* a) {
    FZ_CHECK(last == 0);
    if (errNumber() == 0) setErr(num(a[0]) ? num(a[0]) : 7, "herr");
    return T::zero();
  }
  static V hclear(int32_t last, V*) {
    FZ_CHECK(last == -1);
    if (!gTimedOut) setErr(0, nullptr);
    return T::fromInt(1);
  }
  static V heval(int32_t last, V* a) {
    FZ_CHECK(last == 0);
    const int32_t row = num(a[0]);
    auto& t = qx::engine<T>().table;
    if (gTimedOut || row < 0 || row >= t.rows || !t.flags[row]) return T::zero();
    if constexpr (std::is_same_v<T, RealTraits>) return rcals(row);
    else if constexpr (std::is_same_v<T, IntTraits>) return Icals(row);
    else {
      QxComplex c = Ccals(row);
      return qx::Complex{c.re, c.im};
    }
  }
  static V hop(int32_t last, V* a) {
    FZ_CHECK(last == 1);
    hostOperation(num(a[0]), num(a[1]));
    return T::zero();
  }
  static int32_t errNumber() {
    if constexpr (std::is_same_v<T, RealTraits>) return fcerrnum();
    else if constexpr (std::is_same_v<T, IntTraits>) return Ifcerrnum();
    else return Cfcerrnum();
  }
  static void setErr(int32_t n, const char* name) {
    if constexpr (std::is_same_v<T, RealTraits>) setfcerr(n, name);
    else if constexpr (std::is_same_v<T, IntTraits>) Isetfcerr(n, name);
    else Csetfcerr(n, name);
  }
};

// Complex host functions cross the interface as QxComplex.
inline QxComplex cx(qx::Complex c) { return QxComplex{c.re, c.im}; }
inline QxComplex cHargs(int32_t l, QxComplex* a) { return cx(Host<ComplexTraits>::hargs(l, reinterpret_cast<qx::Complex*>(a))); }
inline QxComplex cHerr(int32_t l, QxComplex* a) { return cx(Host<ComplexTraits>::herr(l, reinterpret_cast<qx::Complex*>(a))); }
inline QxComplex cHclear(int32_t l, QxComplex* a) { return cx(Host<ComplexTraits>::hclear(l, reinterpret_cast<qx::Complex*>(a))); }
inline QxComplex cHeval(int32_t l, QxComplex* a) { return cx(Host<ComplexTraits>::heval(l, reinterpret_cast<qx::Complex*>(a))); }
inline QxComplex cHop(int32_t l, QxComplex* a) { return cx(Host<ComplexTraits>::hop(l, reinterpret_cast<qx::Complex*>(a))); }

inline const QxRealFn kRealHosts[] = {Host<RealTraits>::hargs, Host<RealTraits>::herr, Host<RealTraits>::hclear,
                                      Host<RealTraits>::heval, Host<RealTraits>::hop};
inline const QxComplexFn kComplexHosts[] = {cHargs, cHerr, cHclear, cHeval, cHop};
inline const QxIntFn kIntHosts[] = {Host<IntTraits>::hargs, Host<IntTraits>::herr, Host<IntTraits>::hclear,
                                    Host<IntTraits>::heval, Host<IntTraits>::hop};

// The handler arrays that registerHosts hands to the library. A harness may
// point them at its own five handlers of the same names and rules (wrappers
// that record each call, say); the library references the arrays it was
// given, so they must stay alive while registered.
inline const QxRealFn* gRealHosts = kRealHosts;
inline const QxComplexFn* gComplexHosts = kComplexHosts;
inline const QxIntFn* gIntHosts = kIntHosts;

// list 0: all five, 1: the short list, 2: none (null names), 3: empty list
// (rejected, the registration stays).
inline uint8_t registerHosts(int engine, int list) {
  const char* const* names = list == 0 ? kHostNames : list == 1 ? kHostNamesShort : list == 2 ? nullptr : kHostNamesEmpty;
  switch (engine) {
    case 0: return setfcfun(names, kHostRules, gRealHosts);
    case 1: return Csetfcfun(names, kHostRules, gComplexHosts);
    default: return Isetfcfun(names, kHostRules, gIntHosts);
  }
}

// Named constants of the three engines.
inline const char* const kRealConstNames[] = {"kpi", "kbig", "knan", "kpi", ""};
inline const double kRealConstValues[] = {3.141592653589793, 1e308, NAN, 0.0};
inline const char* const kComplexConstNames[] = {"kz", "kinf", "i", ""};
inline const QxComplex kComplexConstValues[] = {{1.0, 2.0}, {INFINITY, -INFINITY}, {5.0, 5.0}};
inline const char* const kIntConstNames[] = {"kmin", "kmax", "kneg", ""};
inline const int32_t kIntConstValues[] = {INT32_MIN, INT32_MAX, -1};

inline void registerConstants(bool on) {
  setdoubleconst(on ? kRealConstNames : nullptr, kRealConstValues);
  Csetcomplexconst(on ? kComplexConstNames : nullptr, kComplexConstValues);
  Isetlongconst(on ? kIntConstNames : nullptr, kIntConstValues);
}

// ---------------------------------------------------------------------------
// Uniform access to the three engines' exports
// ---------------------------------------------------------------------------
inline uint8_t sizeTable(int engine, int32_t n, bool twin) {
  switch (engine) {
    case 0: return twin ? STDsetfornum(n) : setfornum(n);
    case 1: return twin ? STDCsetfornum(n) : Csetfornum(n);
    default: return twin ? STDIsetfornum(n) : Isetfornum(n);
  }
}

inline int32_t compileText(int engine, int32_t row, char* text, int32_t* lastArg, bool twin) {
  std::string copy = tracing() ? std::string(text) : std::string();
  int32_t r;
  switch (engine) {
    case 0: r = twin ? STDrcom(row, text, lastArg) : rcom(row, text, lastArg); break;
    case 1: r = twin ? STDCcom(row, text, lastArg) : Ccom(row, text, lastArg); break;
    default: r = twin ? STDIcom(row, text, lastArg) : Icom(row, text, lastArg); break;
  }
  if (tracing()) std::fprintf(stderr, "compile %c%d %.200s -> %d\n", "rci"[engine], row, copy.c_str(), r);
  return r;
}

inline int32_t rowsOf(int engine) {
  switch (engine) {
    case 0: return qx::gLib.real.table.rows;
    case 1: return qx::gLib.cplx.table.rows;
    default: return qx::gLib.integer.table.rows;
  }
}

inline bool compiled(int engine, int32_t row) {
  if (row < 0 || row >= rowsOf(engine)) return false;
  switch (engine) {
    case 0: return getfortrue()[row] == 1;
    case 1: return Cgetfortrue()[row] == 1;
    default: return Igetfortrue()[row] == 1;
  }
}

inline void checkCompiled(int engine, int32_t row, bool fresh = true) {
  switch (engine) {
    case 0: checkCompiledRow<RealTraits>(row, fresh); break;
    case 1: checkCompiledRow<ComplexTraits>(row, fresh); break;
    default: checkCompiledRow<IntTraits>(row, fresh); break;
  }
}

inline int32_t fetchError(int engine) {
  const char* name = nullptr;
  switch (engine) {
    case 0: return fcerr(&name);
    case 1: return Cfcerr(&name);
    default: return Ifcerr(&name);
  }
}

// Evaluates a compiled row with argument pattern k, through the argument
// array (rcal) or through the argument slots (getin, then rcals). Returns
// the result as a complex number (real and integer results in the real
// part, exactly), or nothing when the row is not compiled.
inline bool evaluateRow(int engine, int32_t row, unsigned k, bool throughSlots, bool twin,
                        qx::Complex* result = nullptr) {
  if (!compiled(engine, row)) return false;
  qx::Complex value{0.0, 0.0};
  int32_t last;
  switch (engine) {
    case 0: last = getvarnum()[row]; break;
    case 1: last = Cgetvarnum()[row]; break;
    default: last = Igetvarnum()[row]; break;
  }
  FZ_CHECK(last >= -1);
  const int32_t count = last + 1;
  if (tracing()) std::fprintf(stderr, "evaluate %c%d (%d arguments, pattern %u)\n", "rci"[engine], row, count, k);
  switch (engine) {
    case 0: {
      double args[64];
      double* a = count <= 64 ? args : static_cast<double*>(std::malloc(sizeof(double) * count));
      for (int32_t i = 0; i < count; ++i) a[i] = argValue<RealTraits>(k + 3 * i);
      if (throughSlots) {
        double* slots = getin(row);
        FZ_CHECK(slots == getallin()[row]);
        for (int32_t i = 0; i < count; ++i) slots[i] = a[i];
        value.re = twin ? STDrcals(row) : rcals(row);
      } else {
        value.re = twin ? STDrcal(row, count ? a : nullptr) : rcal(row, count ? a : nullptr);
      }
      if (a != args) std::free(a);
      break;
    }
    case 1: {
      QxComplex args[64];
      QxComplex* a = count <= 64 ? args : static_cast<QxComplex*>(std::malloc(sizeof(QxComplex) * count));
      for (int32_t i = 0; i < count; ++i) a[i] = cx(argValue<ComplexTraits>(k + 3 * i));
      if (throughSlots) {
        QxComplex* slots = Cgetin(row);
        FZ_CHECK(slots == Cgetallin()[row]);
        for (int32_t i = 0; i < count; ++i) slots[i] = a[i];
        const QxComplex z = twin ? STDCcals(row) : Ccals(row);
        value = qx::Complex{z.re, z.im};
      } else {
        const QxComplex z = twin ? STDCcal(row, count ? a : nullptr) : Ccal(row, count ? a : nullptr);
        value = qx::Complex{z.re, z.im};
      }
      if (a != args) std::free(a);
      break;
    }
    default: {
      int32_t args[64];
      int32_t* a = count <= 64 ? args : static_cast<int32_t*>(std::malloc(sizeof(int32_t) * count));
      for (int32_t i = 0; i < count; ++i) a[i] = argValue<IntTraits>(k + 3 * i);
      if (throughSlots) {
        int32_t* slots = Igetin(row);
        FZ_CHECK(slots == Igetallin()[row]);
        for (int32_t i = 0; i < count; ++i) slots[i] = a[i];
        value.re = twin ? STDIcals(row) : Icals(row);
      } else {
        value.re = twin ? STDIcal(row, count ? a : nullptr) : Ical(row, count ? a : nullptr);
      }
      if (a != args) std::free(a);
      break;
    }
  }
  if (result) *result = value;
  return true;
}

// The library holds nothing after deletedll.
inline void releaseAndCheck() {
  deletedll();
  FZ_CHECK(qx::testing::liveAllocations() == 0);
  FZ_CHECK(qx::gLib.real.table.rows == 0 && qx::gLib.cplx.table.rows == 0 && qx::gLib.integer.table.rows == 0);
}

// ---------------------------------------------------------------------------
// The record format of fuzz_eval and fuzz_jit
// ---------------------------------------------------------------------------
// Byte 0 configures the library; then up to 8 records separated by zero
// bytes: a selector byte, an argument byte and a formula text (see
// fuzz_eval.cpp for the bits).
struct Record {
  int engine;
  int32_t row;
  int evals;
  bool slots;
  bool twin;
  uint8_t args;
};

// The host changes the floating-point environment of the evaluating
// thread (the workers of a bulk call take it over): 3 flush-to-zero and
// denormals-are-zero, 4 .. 7 the four rounding directions. fesetenv
// (FE_DFL_ENV) undoes either.
inline void setFloatingPoint(int k) {
  if (k == 3) {
    _mm_setcsr(_mm_getcsr() | 0x8040);
    return;
  }
  static const int modes[] = {FE_TONEAREST, FE_DOWNWARD, FE_UPWARD, FE_TOWARDZERO};
  std::fesetround(modes[(k - 4) & 3]);
}

struct Script {
  uint8_t config = 0;
  std::vector<Record> records;
  std::vector<std::string> texts;
  bool simp = false;  // a template calls simpintegrate
};

// Reads an input; false when it must not run (the work filter refused a
// text, or simpintegrate meets a formula that raises the iteration limit,
// whose steps it halves up to that limit times).
inline bool readScript(Reader& in, Script& s) {
  s.config = in.byte();
  WorkFilter filter;
  while (s.records.size() < 8 && !in.empty()) {
    const uint8_t sel = in.byte();
    const uint8_t args = in.byte();
    std::string text = in.text(2048);
    Record r{sel & 3, (sel >> 2) & 3, (sel >> 4) & 3, (sel & 0x40) != 0, (sel & 0x80) != 0, args};
    if (r.engine == 3) {
      text = evalTemplate(text, &r.engine);
      s.simp = s.simp || text.find("simpintegrate") != std::string::npos;
    } else if (!filter.accept(text)) {
      return false;
    }
    s.records.push_back(r);
    s.texts.push_back(text);
  }
  if (s.simp) {
    for (size_t i = 0; i < s.records.size(); ++i)
      if (s.records[i].engine == 0 && countCalls(normalised(s.texts[i]), "setcyclemax")) return false;
  }
  return true;
}

// Sets every engine's level and iteration limits from the configuration
// byte; with simpintegrate the real engine's iteration limit stays small.
inline void applyLimits(uint8_t config, bool simp) {
  static const int32_t levels[] = {3, 6, 16, 1};
  static const int32_t iterations[] = {20, 200, 5000, 2};
  qx::gLib.real.levelLimit = qx::gLib.cplx.levelLimit = qx::gLib.integer.levelLimit = levels[config & 3];
  qx::gLib.real.iterLimit = qx::gLib.cplx.iterLimit = qx::gLib.integer.iterLimit = iterations[(config >> 2) & 3];
  if (simp && qx::gLib.real.iterLimit > 10) qx::gLib.real.iterLimit = 10;
}

}  // namespace fz

// Formulas may ask for stores of any length (the library itself refuses
// blocks above 4 GiB). Under the address sanitizer a large zero-filled block
// is written in full, so the harnesses make the allocator refuse blocks
// above 128 MiB (returning null rather than aborting): the library must then
// report the failure like any other. A small quarantine keeps the memory of
// released blocks from piling up across inputs.
extern "C" const char* __asan_default_options() {
  return "allocator_may_return_null=1:max_allocation_size_mb=128:quarantine_size_mb=32";
}

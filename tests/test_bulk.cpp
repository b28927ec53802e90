// The bulk calls rcalv, Ccalv and Icalv held to the loop of single calls:
// every case runs once as that loop and once as one bulk call, each from a
// freshly loaded library, and the two must leave the same bits behind
// (results, error record, value arrays, number store, host calls).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "alloc.h"
#include "bulk.h"
#include "engine.h"
#include "jit/jit.h"
#include "quibex.h"
#include "workers.h"

namespace {

template <class V>
bool sameBytes(const std::vector<V>& a, const std::vector<V>& b) {
  return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(V)) == 0);
}

// Host calls of the running case, in order.
std::vector<double> gRealLog;
std::vector<QxComplex> gComplexLog;
std::vector<int32_t> gIntLog;
int gStopAt = 0;  // host call that asks for an interrupt (0: none)
int32_t gThreads = 0;  // setthreads of every run (0: the default)

// log(x): records x and yields it. again(x): re-enters the library with a
// single call and a bulk call of row 1 and yields their sum.
double realLog(int32_t, double* a) {
  gRealLog.push_back(a[0]);
  if (static_cast<int>(gRealLog.size()) == gStopAt) fcinterrupt();
  return a[0];
}
double realAgain(int32_t, double* a) {
  gRealLog.push_back(-a[0]);
  const double set[2] = {a[0], a[0] + 1};
  double out[2] = {0, 0};
  const int32_t n = rcalv(1, 2, set, 1, 1, out);
  return rcal(1, a) + out[0] + out[1] + n;
}
QxComplex complexLog(int32_t, QxComplex* a) {
  gComplexLog.push_back(a[0]);
  return a[0];
}
QxComplex complexAgain(int32_t, QxComplex* a) {
  gComplexLog.push_back(QxComplex{-a[0].re, -a[0].im});
  QxComplex out[1];
  const int32_t n = Ccalv(1, 1, a, 1, 1, out);
  const QxComplex one = Ccal(1, a);
  return QxComplex{one.re + out[0].re + n, one.im + out[0].im};
}
int32_t intLog(int32_t, int32_t* a) {
  gIntLog.push_back(a[0]);
  return a[0];
}
int32_t intAgain(int32_t, int32_t* a) {
  gIntLog.push_back(-a[0]);
  int32_t out[1] = {0};
  const int32_t n = Icalv(1, 1, a, 1, 1, out);
  return static_cast<int32_t>(static_cast<uint32_t>(Ical(1, a)) + static_cast<uint32_t>(out[0]) + n);
}

// The three engines as the harness sees them.
struct RealApi {
  using V = double;
  static constexpr const char* kHelper = "(x)=x*3+1";
  static constexpr const char* kStoreInit = "newdoubles(3)";
  static void setUp() {
    static const char* const names[] = {"log", "again", ""};
    static const int32_t rules[] = {0, 0};
    static const QxRealFn fns[] = {realLog, realAgain};
    ASSERT_EQ(setfcfun(names, rules, fns), 1);
    gRealLog.clear();
  }
  static int32_t com(int32_t r, const std::string& s) {
    int32_t last = 0;
    return rcom(r, s.c_str(), &last);
  }
  static V arg(int64_t i, int32_t k) { return std::sin(static_cast<double>(i) * 1.3 + k) * 4.5; }
  static V cal(int32_t r, const V* a) { return rcal(r, a); }
  static int32_t calv(int32_t r, int32_t n, const V* a, int32_t rs, int32_t as, V* out) {
    return rcalv(r, n, a, rs, as, out);
  }
  static int32_t err(const char** name) { return fcerr(name); }
  static V* in(int32_t r) { return getin(r); }
  static V* store(int32_t* n) { return getfcdoubles(n); }
  static int32_t lastSlot(int32_t r) { return qx::gLib.real.table.header[r][qx::H_LAST_SLOT]; }
  static std::vector<unsigned char> log() { return bytes(gRealLog); }
  template <class X>
  static std::vector<unsigned char> bytes(const std::vector<X>& v) {
    const auto* p = reinterpret_cast<const unsigned char*>(v.data());
    return std::vector<unsigned char>(p, p + v.size() * sizeof(X));
  }
};
struct ComplexApi {
  using V = QxComplex;
  static constexpr const char* kHelper = "(z)=z*z+1";
  static constexpr const char* kStoreInit = "newcomplexs(3)";
  static void setUp() {
    static const char* const names[] = {"log", "again", ""};
    static const int32_t rules[] = {0, 0};
    static const QxComplexFn fns[] = {complexLog, complexAgain};
    ASSERT_EQ(Csetfcfun(names, rules, fns), 1);
    gComplexLog.clear();
  }
  static int32_t com(int32_t r, const std::string& s) {
    int32_t last = 0;
    return Ccom(r, s.c_str(), &last);
  }
  static V arg(int64_t i, int32_t k) {
    return V{std::sin(static_cast<double>(i) + k) * 4.5, std::cos(static_cast<double>(i) * 2 - k)};
  }
  static V cal(int32_t r, const V* a) { return Ccal(r, a); }
  static int32_t calv(int32_t r, int32_t n, const V* a, int32_t rs, int32_t as, V* out) {
    return Ccalv(r, n, a, rs, as, out);
  }
  static int32_t err(const char** name) { return Cfcerr(name); }
  static V* in(int32_t r) { return Cgetin(r); }
  static V* store(int32_t* n) { return Cgetfccomplexs(n); }
  static int32_t lastSlot(int32_t r) { return qx::gLib.cplx.table.header[r][qx::H_LAST_SLOT]; }
  static std::vector<unsigned char> log() { return RealApi::bytes(gComplexLog); }
};
struct IntApi {
  using V = int32_t;
  static constexpr const char* kHelper = "(a)=a*3+1";
  static constexpr const char* kStoreInit = "newlongs(3)";
  static void setUp() {
    static const char* const names[] = {"log", "again", ""};
    static const int32_t rules[] = {0, 0};
    static const QxIntFn fns[] = {intLog, intAgain};
    ASSERT_EQ(Isetfcfun(names, rules, fns), 1);
    gIntLog.clear();
  }
  static int32_t com(int32_t r, const std::string& s) {
    int32_t last = 0;
    return Icom(r, s.c_str(), &last);
  }
  // Small values with zeros among them, and now and then a large one.
  static V arg(int64_t i, int32_t k) {
    return (i + k) % 11 == 5 ? INT32_MAX - k : static_cast<V>((i * 7919 + k * 31) % 23) - 5;
  }
  static V cal(int32_t r, const V* a) { return Ical(r, a); }
  static int32_t calv(int32_t r, int32_t n, const V* a, int32_t rs, int32_t as, V* out) {
    return Icalv(r, n, a, rs, as, out);
  }
  static int32_t err(const char** name) { return Ifcerr(name); }
  static V* in(int32_t r) { return Igetin(r); }
  static V* store(int32_t* n) { return Igetfclongs(n); }
  static int32_t lastSlot(int32_t r) { return qx::gLib.integer.table.header[r][qx::H_LAST_SLOT]; }
  static std::vector<unsigned char> log() { return RealApi::bytes(gIntLog); }
};

enum Layout { TUPLES, COLUMNS, ODD, BACKWARDS };

// Arguments of `count` sets of `params` values in one layout, with every
// element the layout does not address set to a value no case expects.
template <class Api>
struct Arguments {
  using V = typename Api::V;
  std::vector<V> buf;
  const V* base = nullptr;
  int32_t rowStride = 0, argStride = 0;
  Arguments(Layout layout, int32_t count, int32_t params) {
    const int64_t n = count, p = params;
    int64_t span = n * p, first = 0;
    switch (layout) {
      case TUPLES: rowStride = params, argStride = 1; break;
      case COLUMNS: rowStride = 1, argStride = count; break;
      case ODD: rowStride = 2 * params + 3, argStride = 2, span = n * (2 * p + 3); break;
      case BACKWARDS: rowStride = -params, argStride = 1, first = (n > 0 ? n - 1 : 0) * p; break;
    }
    buf.assign(static_cast<size_t>(span + 1), Api::arg(-7, 99));
    for (int64_t i = 0; i < n; ++i)
      for (int32_t k = 0; k < params; ++k) buf[static_cast<size_t>(first + i * rowStride + k * argStride)] = Api::arg(i, k);
    base = buf.data() + first;
  }
  std::vector<V> set(int64_t i, int32_t params) const {
    std::vector<V> a;
    for (int32_t k = 0; k < params; ++k) a.push_back(base[i * rowStride + static_cast<int64_t>(k) * argStride]);
    return a;
  }
};

// What a run leaves behind.
struct Outcome {
  int32_t returned = 0;
  int32_t workers = 0;  // worker threads running after the call
  std::vector<unsigned char> results, slots, store, log;
  int32_t err = 0;
  std::string errName;
};

template <class Api>
Outcome run(const std::string& formula, int32_t params, Layout layout, int32_t count, bool bulk) {
  using V = typename Api::V;
  Outcome o;
  deletedll();
  setthreads(gThreads);
  Api::setUp();
  EXPECT_EQ(setfornum(3), 1);
  EXPECT_EQ(Csetfornum(3), 1);
  EXPECT_EQ(Isetfornum(3), 1);
  userci();
  EXPECT_EQ(Api::com(0, formula), 0) << formula;
  EXPECT_EQ(Api::com(1, Api::kHelper), 0);
  EXPECT_EQ(Api::com(2, Api::kStoreInit), 0);
  Api::cal(2, nullptr);
  Arguments<Api> args(layout, count, params);
  V sentinel;
  std::memset(&sentinel, 0x5a, sizeof sentinel);
  std::vector<V> results(static_cast<size_t>(count) + 1, sentinel);
  if (bulk) {
    o.returned = Api::calv(0, count, args.base, args.rowStride, args.argStride, results.data());
    o.workers = qx::workers::running();
  } else {
    for (int32_t i = 0; i < count; ++i) {
      const std::vector<V> a = args.set(i, params);
      results[i] = Api::cal(0, a.empty() ? nullptr : a.data());
    }
    o.returned = count;
  }
  o.results = RealApi::bytes(results);
  const V* slots = Api::in(0);
  o.slots = RealApi::bytes(std::vector<V>(slots, slots + Api::lastSlot(0) + 1));
  int32_t n = 0;
  const V* store = Api::store(&n);
  o.store = RealApi::bytes(std::vector<V>(store, store + n));
  o.log = Api::log();
  const char* name = nullptr;
  o.err = Api::err(&name);
  o.errName = name ? name : "";
  deletedll();
  return o;
}

// Runs the case as the loop and as a bulk call and compares; returns the
// loop's outcome so that callers can check the case is not vacuous.
template <class Api>
Outcome expectLoop(const std::string& formula, int32_t params, Layout layout, int32_t count) {
  const Outcome loop = run<Api>(formula, params, layout, count, false);
  const Outcome bulk = run<Api>(formula, params, layout, count, true);
  const std::string what = formula + " layout " + std::to_string(layout) + " count " + std::to_string(count);
  EXPECT_EQ(bulk.returned, count) << what;
  EXPECT_TRUE(bulk.results == loop.results) << what;
  EXPECT_TRUE(bulk.slots == loop.slots) << what;
  EXPECT_TRUE(bulk.store == loop.store) << what;
  EXPECT_TRUE(bulk.log == loop.log) << what;
  EXPECT_EQ(bulk.err, loop.err) << what;
  EXPECT_EQ(bulk.errName, loop.errName) << what;
  return loop;
}

struct Case {
  std::string formula;
  int32_t params;
  bool raises;  // the loop records an error for count 9
};

template <class Api>
void expectCasesMatchLoop(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    for (Layout layout : {TUPLES, COLUMNS, ODD, BACKWARDS}) {
      for (int32_t count : {0, 1, 3, 4, 5, 7, 8, 9}) {
        const Outcome loop = expectLoop<Api>(c.formula, c.params, layout, count);
        if (count == 9) {
          EXPECT_EQ(loop.err != 0, c.raises) << c.formula;
        }
      }
    }
  }
  // Many evaluations: the plain case in two layouts.
  expectLoop<Api>(cases[0].formula, cases[0].params, TUPLES, 100000);
  expectLoop<Api>(cases[0].formula, cases[0].params, COLUMNS, 100000);
}

// Errors come from two built-in functions and host calls, so that "first
// error wins" decides which one the record holds.
TEST(Bulk, RealMatchesTheLoopOfSingleCalls) {
  expectCasesMatchLoop<RealApi>({
      {"(x,y,z)=x*2+sin(y)-z/3+sqrt(x*x+y*y)", 3, false},
      {"(x,y)=x+if(gt(x,3),getd(99))+if(gt(y,3),para(0,7))", 2, true},
      {"(x,y)=setd(0,getd(0)+x)+getd(0)*y+log(x)+again(y)", 2, false},
      {"(x:s,k)=one((s=0),(k=0),for(lt(k,3),(k=k+1),(s=s+x*k)))+s+k", 1, false},
      {"7-setd(1,getd(1)+1)", 0, false},
  });
}

TEST(Bulk, ComplexMatchesTheLoopOfSingleCalls) {
  expectCasesMatchLoop<ComplexApi>({
      {"(z,w)=z*w+exp(z)/(w+2)", 2, false},
      {"(z,w)=z+if(gt(z,3),getc(99))+if(gt(w,0.9),para(0,7))", 2, true},
      {"(z,w)=setc(0,getc(0)+z)+getc(0)*w+log(z)+again(w)", 2, false},
  });
}

TEST(Bulk, IntegerMatchesTheLoopOfSingleCalls) {
  expectCasesMatchLoop<IntApi>({
      {"(a,b,c)=a*b+c*7-a/(b+100)", 3, false},
      {"(a,b)=a*b+1+a/b+geti(b)", 2, true},
      {"(a,b)=seti(0,geti(0)+a)+geti(0)*b+log(a)+again(b)", 2, false},
  });
}

// ---- the calls that evaluate nothing ------------------------------------------

TEST(Bulk, RefusedCallsTouchNothing) {
  deletedll();
  RealApi::setUp();
  ASSERT_EQ(setfornum(3), 1);
  ASSERT_EQ(Csetfornum(1), 1);
  ASSERT_EQ(Isetfornum(1), 1);
  userci();
  ASSERT_EQ(RealApi::com(0, "(x)=log(x)+getd(5)"), 0);
  ASSERT_EQ(RealApi::com(1, "log(2)"), 0);
  double* slots = getin(0);
  slots[0] = 42.0;
  const double args[3] = {1, 2, 3};
  double out[3] = {-1, -1, -1};
  EXPECT_EQ(rcalv(-1, 3, args, 1, 1, out), 0);      // outside the table
  EXPECT_EQ(rcalv(3, 3, args, 1, 1, out), 0);
  EXPECT_EQ(rcalv(2, 3, args, 1, 1, out), 0);       // not compiled
  EXPECT_EQ(rcalv(0, -1, args, 1, 1, out), 0);      // negative count
  EXPECT_EQ(rcalv(0, 0, args, 1, 1, out), 0);
  EXPECT_EQ(rcalv(0, 3, nullptr, 1, 1, out), 0);    // the row takes an argument
  EXPECT_EQ(rcalv(0, 3, args, 1, 1, nullptr), 0);
  EXPECT_EQ(rcalv(1, 3, args, 1, 1, nullptr), 0);
  EXPECT_EQ(out[0], -1.0);
  EXPECT_EQ(out[2], -1.0);
  EXPECT_EQ(slots[0], 42.0);
  EXPECT_TRUE(gRealLog.empty());
  EXPECT_EQ(fcerrnum(), 0);
  // A row without arguments takes a null args.
  EXPECT_EQ(rcalv(1, 3, nullptr, 0, 0, out), 3);
  EXPECT_EQ(out[2], 2.0);
  EXPECT_EQ(gRealLog.size(), 3u);

  int32_t cout[2] = {-1, -1};
  QxComplex zout[2] = {{-1, -1}, {-1, -1}};
  const int32_t iargs[2] = {1, 2};
  EXPECT_EQ(Icalv(0, 2, iargs, 1, 1, cout), 0);     // nothing compiled there
  EXPECT_EQ(Ccalv(5, 2, nullptr, 1, 1, zout), 0);
  EXPECT_EQ(cout[0], -1);
  EXPECT_EQ(zout[1].im, -1.0);
  deletedll();
}

// ---- interrupts, nesting, threads -----------------------------------------------

TEST(Bulk, InterruptStopsTheCallAndAStaleOneIsDropped) {
  deletedll();
  RealApi::setUp();
  ASSERT_EQ(setfornum(1), 1);
  ASSERT_EQ(Csetfornum(1), 1);
  ASSERT_EQ(Isetfornum(1), 1);
  userci();
  ASSERT_EQ(RealApi::com(0, "(x)=log(x)*2"), 0);
  std::vector<double> args = {1, 2, 3, 4, 5, 6}, out(6, -1.0);
  // Asked for during the third evaluation: it ends, the rest do not run.
  gStopAt = 3;
  EXPECT_EQ(rcalv(0, 6, args.data(), 1, 1, out.data()), 3);
  gStopAt = 0;
  EXPECT_EQ(out[2], 6.0);
  EXPECT_EQ(out[3], -1.0);
  EXPECT_EQ(gRealLog.size(), 3u);
  const char* name = nullptr;
  EXPECT_EQ(fcerr(&name), QX_RTERR_INTERRUPTED);
  EXPECT_STREQ(name, QX_RTERR_INTERRUPTED_NAME);
  // Asked for during the last evaluation: nothing is left to stop.
  gRealLog.clear();
  gStopAt = 6;
  EXPECT_EQ(rcalv(0, 6, args.data(), 1, 1, out.data()), 6);
  gStopAt = 0;
  EXPECT_EQ(out[5], 12.0);
  // A request made while nothing runs is dropped by the next bulk call.
  fcinterrupt();
  EXPECT_EQ(rcalv(0, 6, args.data(), 1, 1, out.data()), 6);
  EXPECT_EQ(out[5], 12.0);
  EXPECT_EQ(fcerrnum(), 0);
  deletedll();
}

double reenterBulk(int32_t, double* a) {
  double r = 0;
  rcalv(static_cast<int32_t>(a[0]), 1, a, 1, 1, &r);
  return r + 1;
}

TEST(Bulk, HostReentryThroughBulkCallsIsBounded) {
  deletedll();
  static const char* const names[] = {"deeper", ""};
  static const int32_t rules[] = {0};
  static const QxRealFn fns[] = {reenterBulk};
  ASSERT_EQ(setfcfun(names, rules, fns), 1);
  ASSERT_EQ(setfornum(1), 1);
  ASSERT_EQ(RealApi::com(0, "(r)=deeper(r)"), 0);
  const double zero = 0;
  double out = -1;
  EXPECT_EQ(rcalv(0, 1, &zero, 1, 1, &out), 1);
  EXPECT_GT(out, 100.0);
  const char* name = nullptr;
  EXPECT_EQ(fcerr(&name), -2);
  EXPECT_STREQ(name, "rcalv");
  deletedll();
}

TEST(Bulk, ThreadLimitRoundTrip) {
  deletedll();
  EXPECT_EQ(setthreads(2), 0);  // the default: one per processor
  EXPECT_EQ(setthreads(1), 2);
  EXPECT_EQ(setthreads(-5), 1);  // a query
  EXPECT_EQ(setthreads(0), 1);
  EXPECT_EQ(STDsetthreads(3), 0);
  deletedll();
  EXPECT_EQ(setthreads(0), 0);  // deletedll restores the default
}


// ---- worker threads -------------------------------------------------------------------
//
// Rows that nothing can observe and whose evaluations do not depend on one
// another share their evaluations out over threads; the outcome must stay
// the loop's, bit for bit, whatever the count, layout and thread limit.

struct ThreadedCase {
  std::string formula;
  int32_t params;
  bool threaded;  // large counts must use the workers
};

// Small counts run once more with the cut-off lowered to nothing, so that
// three evaluations go to the threads (blocks of one evaluation each are
// not made: a block is at least 256, so the calling thread may do all).
// With the tier on, the first evaluation translates the row and the rest
// go to the threads, in lane code where the row has some.
template <class Api>
void expectThreadedMatchesLoop(const std::vector<ThreadedCase>& cases) {
  gThreads = 3;
  for (const ThreadedCase& c : cases) {
    for (Layout layout : {TUPLES, COLUMNS, ODD, BACKWARDS}) {
      for (int32_t count : {2, 3, 255, 257, 600, 9999, 40001}) expectLoop<Api>(c.formula, c.params, layout, count);
      qx::bulk::testing::setMinParallelWork(0);
      for (int32_t count : {4, 257, 600}) {
        expectLoop<Api>(c.formula, c.params, layout, count);
        EXPECT_EQ(run<Api>(c.formula, c.params, layout, count, true).workers > 0, c.threaded) << c.formula;
      }
      qx::bulk::testing::setMinParallelWork(-1);
    }
    const Outcome big = run<Api>(c.formula, c.params, COLUMNS, 300001, true);
    EXPECT_EQ(big.workers > 0, c.threaded) << c.formula;
    expectLoop<Api>(c.formula, c.params, ODD, 300001);
  }
  gThreads = 0;
}

// Assignments, segments, a local that no code writes, comparisons, and one
// row of each kind that must stay the loop: a local read before it is
// assigned carries the previous evaluation's value.
TEST(BulkThreads, RealMatchesTheLoop) {
  expectThreadedMatchesLoop<RealApi>({
      {"(x,y,z)=x*2+sin(y)-z/3+sqrt(x*x+y*y)", 3, true},
      {"(x,y:t,k)=(t=x*y)+t^2+a*k-gt(x,y)+and(y,t), a=exp(-x)+b, b=cos(y)", 2, true},
      {"(x:s)=(s=s+x)*2", 1, false},
      {"(x:s)=s+(s=x)", 1, false},
  });
}

TEST(BulkThreads, ComplexMatchesTheLoop) {
  expectThreadedMatchesLoop<ComplexApi>({
      {"(z,w:t)=(t=z*w)+exp(z)/(w+2)+sin(t)*cos(w)-lt(z,w)", 2, true},
      {"(z:s)=(s=s*z+1)", 1, false},
  });
}

TEST(BulkThreads, IntegerMatchesTheLoop) {
  expectThreadedMatchesLoop<IntApi>({
      {"(a,b,c:t)=(t=a*b)+c*7-a/(b+100)+t^2+b^3+abs(t)", 3, true},
      {"(a:s)=(s=s+a)", 1, false},
  });
}

// Results written over the arguments: the loop reads each set before it
// writes the result, so such a call runs as the loop.
TEST(BulkThreads, ResultsOverArgumentsRunAsTheLoop) {
  deletedll();
  setthreads(2);
  ASSERT_EQ(setfornum(1), 1);
  ASSERT_EQ(RealApi::com(0, "(x)=x*x+sin(x)"), 0);
  std::vector<double> buf(100000), expect(100000);
  for (size_t i = 0; i < buf.size(); ++i) buf[i] = static_cast<double>(i) * 0.001;
  for (size_t i = 0; i + 1 < buf.size(); ++i) expect[i] = rcal(0, &buf[i + 1]);
  // Set i reads buf[i+1] and writes buf[i]: in order, every set is read
  // before any result lands on it.
  EXPECT_EQ(rcalv(0, 99999, buf.data() + 1, 1, 1, buf.data()), 99999);
  expect.back() = buf.back();
  EXPECT_EQ(0, std::memcmp(buf.data(), expect.data(), buf.size() * sizeof(double)));
  deletedll();
}

// setthreads decides how many threads a call uses; deletedll ends the
// workers and a later call starts them again.
// "(t=x*2)" does not read t's old value only while its constant 0 is not
// true. A host that turns it true through the value array after a threaded
// call (the row's answer cached) makes every evaluation depend on the one
// before: the next call keeps the loop, in either tier.
TEST(BulkThreads, AnAssignmentsConstantTurnedTrueKeepsTheLoop) {
  std::vector<double> out[2];
  qx::bulk::testing::setMinParallelWork(0);
  for (int bulk : {0, 1}) {
    deletedll();
    setthreads(3);
    ASSERT_EQ(setfornum(1), 1);
    ASSERT_EQ(RealApi::com(0, "(x:t)=(t=x*2)+sin(t)"), 0);
    const int32_t lastSlot = qx::gLib.real.table.header[0][qx::H_LAST_SLOT];
    ASSERT_EQ(getin(0)[lastSlot], 0.0);  // the constants 2, 1, 0 come last
    std::vector<double> xs(1000);
    // t's sign, and so the value read back, changes where blocks begin
    // (evaluation 255 gives a negative t, 999 a positive one)
    for (size_t i = 0; i < xs.size(); ++i) xs[i] = i % 7 == 3 ? -5.0 - static_cast<double>(i) : 5.0 + static_cast<double>(i);
    out[bulk].assign(xs.size() + 1, 0.0);
    for (int round = 0; round < 2; ++round) {
      if (round == 1) getin(0)[lastSlot] = 1;
      if (bulk) {
        EXPECT_EQ(rcalv(0, 1000, xs.data(), 1, 1, out[bulk].data()), 1000);
        if (round == 0) {
          EXPECT_GT(qx::workers::running(), 0);
        }
      } else {
        for (size_t i = 0; i < xs.size(); ++i) out[bulk][i] = rcal(0, &xs[i]);
      }
    }
    out[bulk].back() = getin(0)[1];
  }
  qx::bulk::testing::setMinParallelWork(-1);
  deletedll();
  EXPECT_EQ(out[0], out[1]);
}

TEST(BulkThreads, ThreadLimitAndDeletedll) {
  const std::string formula = "(x,y)=exp(-x*y)*ln(y+1)+cos(x)/(1+y*y)";
  gThreads = 1;
  const Outcome one = run<RealApi>(formula, 2, TUPLES, 200000, true);
  EXPECT_EQ(one.workers, 0);
  gThreads = 2;
  const Outcome two = run<RealApi>(formula, 2, TUPLES, 200000, true);
  EXPECT_EQ(two.workers, 1);
  gThreads = 0;
  const Outcome all = run<RealApi>(formula, 2, TUPLES, 200000, true);
  EXPECT_EQ(all.workers, std::min<int32_t>(qx::workers::threadsFor(0), qx::workers::kMaxThreads) - 1);
  EXPECT_TRUE(one.results == two.results && one.results == all.results && one.slots == two.slots &&
              one.slots == all.slots);
  EXPECT_EQ(qx::workers::running(), 0);  // run() ends with deletedll

  // Workers alive across deletedll, then used again.
  deletedll();
  EXPECT_EQ(setthreads(3), 0);
  ASSERT_EQ(setfornum(1), 1);
  ASSERT_EQ(RealApi::com(0, formula), 0);
  Arguments<RealApi> args(TUPLES, 200000, 2);
  std::vector<double> out(200000);
  EXPECT_EQ(rcalv(0, 200000, args.base, 2, 1, out.data()), 200000);
  EXPECT_EQ(qx::workers::running(), 2);
  deletedll();
  EXPECT_EQ(qx::workers::running(), 0);
  EXPECT_EQ(setthreads(3), 0);
  ASSERT_EQ(setfornum(1), 1);
  ASSERT_EQ(RealApi::com(0, formula), 0);
  std::vector<double> again(200000);
  EXPECT_EQ(rcalv(0, 200000, args.base, 2, 1, again.data()), 200000);
  EXPECT_EQ(qx::workers::running(), 2);
  EXPECT_EQ(0, std::memcmp(out.data(), again.data(), out.size() * sizeof(double)));
  EXPECT_EQ(0, std::memcmp(out.data(), two.results.data(), out.size() * sizeof(double)));
  deletedll();
}

// No memory for the map of the classification or for a worker's copy of
// the row: the call runs as the loop and loses nothing.
TEST(BulkThreads, AllocationFailureFallsBackToTheLoop) {
  const std::string formula = "(x:t)=(t=exp(x))+sin(t)";
  gThreads = 2;
  const Outcome loop = run<RealApi>(formula, 1, TUPLES, 100000, false);
  for (int64_t k : {0, 1}) {
    deletedll();
    setthreads(2);
    ASSERT_EQ(setfornum(1), 1);
    ASSERT_EQ(RealApi::com(0, formula), 0);
    Arguments<RealApi> args(TUPLES, 100000, 1);
    std::vector<double> out(100001);
    std::memset(out.data(), 0x5a, out.size() * sizeof(double));
    qx::testing::failAllocationAfter(k);
    EXPECT_EQ(rcalv(0, 100000, args.base, 1, 1, out.data()), 100000);
    qx::testing::failAllocationAfter(-1);
    EXPECT_TRUE(RealApi::bytes(out) == loop.results) << k;
    const double* slots = getin(0);
    EXPECT_EQ(0, std::memcmp(slots, loop.slots.data(), loop.slots.size())) << k;
  }
  // With memory again the row goes to the threads (unless it runs as
  // machine code by now, which may be the faster choice).
  std::vector<double> out(100000);
  Arguments<RealApi> args(TUPLES, 100000, 1);
  EXPECT_EQ(rcalv(0, 100000, args.base, 1, 1, out.data()), 100000);
  if (!qx::jit::rowTranslated(0, 0)) {
    EXPECT_EQ(qx::workers::running(), 1);
  }
  deletedll();
  gThreads = 0;
}

// After an interrupt the call returns a prefix of evaluations made, each
// result of it the loop's, and the value array holds what the last of them
// left; the error record holds -3.
void expectInterruptedPrefix(int32_t made, int32_t count, const std::vector<double>& xs,
                             const std::vector<double>& out) {
  ASSERT_GE(made, 1);
  ASSERT_LE(made, count);
  for (int32_t i = 0; i < made; i += 997) EXPECT_EQ(out[i], rcal(0, &xs[i])) << i;
  EXPECT_EQ(out[made - 1], rcal(0, &xs[made - 1]));
  const double* slots = getin(0);
  const std::vector<double> after(slots, slots + 3);
  rcal(0, &xs[made - 1]);
  EXPECT_EQ(0, std::memcmp(after.data(), slots, sizeof(double) * 3));
}

const std::vector<double>* gInnerArgs = nullptr;
std::vector<double>* gInnerOut = nullptr;
int32_t gInnerMade = 0;

// Asks for an interrupt, then makes a bulk call: a call from inside an
// evaluation keeps the request, so the workers stop after the first block.
double interruptThenBulk(int32_t, double*) {
  fcinterrupt();
  gInnerMade = rcalv(0, static_cast<int32_t>(gInnerArgs->size()), gInnerArgs->data(), 1, 1, gInnerOut->data());
  return 0;
}

TEST(BulkThreads, InterruptStopsTheWorkers) {
  deletedll();
  static const char* const names[] = {"inner", ""};
  static const int32_t rules[] = {-1};
  static const QxRealFn fns[] = {interruptThenBulk};
  ASSERT_EQ(setfcfun(names, rules, fns), 1);
  setthreads(4);
  ASSERT_EQ(setfornum(2), 1);
  ASSERT_EQ(RealApi::com(0, "(x:t)=(t=x*3)+sin(t)"), 0);
  ASSERT_EQ(RealApi::com(1, "inner()"), 0);
  std::vector<double> xs(400000), out(400000, -1.0);
  for (size_t i = 0; i < xs.size(); ++i) xs[i] = static_cast<double>(i) * 0.01;
  rcal(0, xs.data());  // translated first where the tier is on: lane code on the threads
  gInnerArgs = &xs;
  gInnerOut = &out;
  rcals(1);
  EXPECT_GT(gInnerMade, 0);
  EXPECT_LT(gInnerMade, 400000);
  EXPECT_GT(qx::workers::running(), 0);
  const char* name = nullptr;
  EXPECT_EQ(fcerr(&name), QX_RTERR_INTERRUPTED);
  expectInterruptedPrefix(gInnerMade, 400000, xs, out);

  // From another thread while the call runs: stopped or not, the outcome
  // is a prefix of the loop.
  const int32_t count = 4000000;
  std::vector<double> many(count), got(count, -1.0);
  for (int32_t i = 0; i < count; ++i) many[i] = i * 1e-4;
  std::atomic<bool> done{false};
  std::thread watchdog([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
    if (!done) fcinterrupt();
  });
  const int32_t made = rcalv(0, count, many.data(), 1, 1, got.data());
  done = true;
  watchdog.join();
  EXPECT_EQ(fcerr(&name), made < count ? QX_RTERR_INTERRUPTED : 0);
  expectInterruptedPrefix(made, count, many, got);
  deletedll();
}

}  // namespace

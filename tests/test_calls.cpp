// Formulas calling formulas (also across engines), the data stores, and
// the bounds on nested evaluations (chain length and native stack).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine.h"
#include "fresh_library.h"
#include "quibex.h"
#include "thread_stack.h"

namespace {

struct Calls : FreshLibrary<5> {
  static void real(int32_t row, const std::string& text) {
    std::string t = text;
    int32_t last;
    ASSERT_EQ(rcom(row, t.data(), &last), 0) << text;
  }
  static void cplx(int32_t row, const std::string& text) {
    std::string t = text;
    int32_t last;
    ASSERT_EQ(Ccom(row, t.data(), &last), 0) << text;
  }
  static void integer(int32_t row, const std::string& text) {
    std::string t = text;
    int32_t last;
    ASSERT_EQ(Icom(row, t.data(), &last), 0) << text;
  }
  static double eval(const std::string& text) {
    real(4, text);
    return rcal(4, nullptr);
  }
  // Fetches the real error and checks its number and name.
  static void expectError(int32_t number, const char* name) {
    const char* got = nullptr;
    EXPECT_EQ(fcerr(&got), number);
    if (number) {
      ASSERT_NE(got, nullptr);
      EXPECT_STREQ(got, name);
    }
  }
};

TEST_F(Calls, SameEngineCallsAndTheirErrors) {
  real(0, "(x,y)=x*10+y");
  real(1, "(x)=x");
  EXPECT_EQ(eval("calfor(0,3,4)"), 34.0);
  expectError(0, "");
  EXPECT_EQ(eval("para(0,0)+para(0,1)"), 7.0);  // parameters stay after the call
  EXPECT_EQ(eval("call(0)"), 0.0);               // call yields 0
  expectError(0, "");

  EXPECT_EQ(eval("calfor(1)"), 0.0);
  expectError(3, "calfor");
  EXPECT_EQ(eval("calfor(7,1)"), 0.0);
  expectError(1, "calfor");
  EXPECT_EQ(eval("calfor(2,1)"), 0.0);
  expectError(2, "calfor");
  EXPECT_EQ(eval("calfor(-1,1)"), 0.0);
  expectError(1, "calfor");
  EXPECT_EQ(eval("call(3)"), 0.0);
  expectError(2, "call");
  EXPECT_EQ(eval("para(0,2)"), 0.0);
  expectError(3, "para");
  EXPECT_EQ(eval("para(9,0)"), 0.0);
  expectError(1, "para");

  // A pending error: calls return 0 at once without evaluating.
  real(2, "(x)=setd(0,x)");
  eval("newdoubles(1)");
  setfcerr(11, "host");
  EXPECT_EQ(eval("calfor(2,5)+call(2)"), 0.0);
  expectError(11, "host");
  EXPECT_EQ(eval("getd(0)"), 0.0);  // setd never ran
}

TEST_F(Calls, CrossEngineCalls) {
  cplx(0, "(z)=z*z");
  integer(0, "(n)=n+1");
  real(0, "(x)=x/2");
  EXPECT_EQ(eval("calcfor(0,1,2)"), -3.0);  // real part of (1+2i)^2
  EXPECT_EQ(eval("califor(0,2.9)"), 3.0);
  EXPECT_EQ(eval("califor(0,-2.9)"), -1.0);
  EXPECT_EQ(eval("calcfor(0,1)"), 0.0);
  expectError(3, "calcfor");
  EXPECT_EQ(eval("califor(3,1)"), 0.0);
  expectError(2, "califor");

  // From the complex engine: failures yield the first argument.
  cplx(1, "calrfor(0,3+4i)");
  QxComplex r = Ccal(1, nullptr);
  EXPECT_EQ(r.re, 1.5);
  EXPECT_EQ(r.im, 0.0);
  cplx(1, "califor(0,2.9+5i)");
  r = Ccal(1, nullptr);
  EXPECT_EQ(r.re, 3.0);
  cplx(1, "calrfor(9+2i,1)");
  r = Ccal(1, nullptr);
  EXPECT_EQ(r.re, 9.0);
  EXPECT_EQ(r.im, 2.0);
  const char* name = nullptr;
  EXPECT_EQ(Cfcerr(&name), 1);
  EXPECT_STREQ(name, "calrfor");

  // From the integer engine.
  integer(1, "calrfor(0,3)");
  EXPECT_EQ(Ical(1, nullptr), 1);
  integer(1, "calcfor(0,1,2)");
  EXPECT_EQ(Ical(1, nullptr), -3);
  integer(1, "calcfor(0,1)");
  EXPECT_EQ(Ical(1, nullptr), 0);
  EXPECT_EQ(Ifcerr(&name), 3);
  EXPECT_STREQ(name, "calcfor");

  // An empty target table, and a resize that empties the other engines'
  // copies until userci.
  ASSERT_EQ(Csetfornum(0), 1);
  EXPECT_EQ(eval("calcfor(0,1,2)"), 0.0);
  expectError(-1, "calcfor");
  ASSERT_EQ(Isetfornum(3), 1);
  EXPECT_EQ(eval("califor(0,1)"), 0.0);
  expectError(-1, "califor");
  userci();
  EXPECT_EQ(eval("califor(0,1)"), 0.0);
  expectError(2, "califor");
  integer(0, "(n)=n*5");  // compiled after userci: visible at once
  EXPECT_EQ(eval("califor(0,2)"), 10.0);
}

TEST_F(Calls, RecursionSharesTheRowAndIsBounded) {
  // Depth n through calfor: 16 levels are allowed, the 17th is refused.
  real(0, "(n)=which(gt(n,0),calfor(0,n-1)+1,0)");
  double n = 16;
  EXPECT_EQ(rcal(0, &n), 16.0);
  expectError(0, "");
  n = 17;
  rcal(0, &n);
  expectError(-2, "calfor");
  n = 16;
  EXPECT_EQ(rcal(0, &n), 16.0);  // the counts went back to 0
  expectError(0, "");

  // Accumulation in the number store through recursion.
  real(1, "(n)=if(gt(n,0),addgetd(0,n),calfor(1,n-1))");
  eval("newdoubles(1)");
  n = 4;
  rcal(1, &n);
  EXPECT_EQ(eval("getd(0)"), 4.0 + 3 + 2 + 1);
  expectError(0, "");

  // The largest limits: the native depth bound stops the chain with -2.
  real(2, "(n)=setstackmax(32766)+calfor(2,n+1)");
  n = 0;
  EXPECT_EQ(rcal(2, &n), 0.0);
  expectError(-2, "calfor");
  real(3, "(n)=setstackmax(32766)+call(3)");
  rcal(3, &n);
  expectError(-2, "call");
}

double reenter(int32_t, double* args) {
  // Re-enters the row that is running, without any nesting count.
  return rcals(static_cast<int32_t>(args[0])) + 1;
}

TEST_F(Calls, HostReentryIsBounded) {
  static const char* names[] = {"again", ""};
  static const int32_t rules[] = {0};
  static const QxRealFn fns[] = {reenter};
  ASSERT_EQ(setfcfun(names, rules, fns), 1);
  ASSERT_EQ(setfornum(5), 1);
  real(0, "again(0)");
  EXPECT_GT(rcal(0, nullptr), 100.0);
  expectError(-2, "rcals");
}

// ---- Chains bounded by the native stack --------------------------------------
//
// With the level limit lifted, a chain of nested evaluations is bounded by
// the chain cap of 1000 and by the native stack left on the thread. Each
// chain must end with -2 for the calling function on small thread stacks
// and on the main thread, never with a crashed process.

// Deepest chain of nested evaluations seen by probe().
int32_t gDeepest = 0;

double probe(int32_t, double*) {
  if (qx::gLib.depth > gDeepest) gDeepest = qx::gLib.depth;
  return 0;
}

struct StackChain {
  const char* kind;
  std::vector<std::pair<char, std::string>> rows;  // engine ('r', 'c', 'i') and text of row 0
  char start;                                      // engine whose row 0 starts the chain
  std::set<std::string> names;                     // who may record the -2
  bool counted;  // a real formula of the chain records the depth with probe()
};

const std::vector<StackChain>& stackChains() {
  static const std::string lift = "setstackmax(32766)+";
  static const std::string count = "probe()+";
  static const std::vector<StackChain> chains = {
      {"datasum", {{'r', "(x)=" + lift + count + "datasum(0,0,x)"}}, 'r', {"datasum"}, true},
      {"datapro", {{'r', "(x)=" + lift + count + "datapro(0,0,x)"}}, 'r', {"datapro"}, true},
      {"dataarraysum", {{'r', "(x)=" + lift + count + "dataarraysum(0,0,1,0)"}}, 'r', {"dataarraysum"}, true},
      {"sum", {{'r', "(x)=" + lift + count + "sum(0,0,1,1,1)"}}, 'r', {"sum"}, true},
      {"pro", {{'r', "(x)=" + lift + count + "pro(0,0,1,1,1)"}}, 'r', {"pro"}, true},
      {"simpintegrate", {{'r', "(x)=" + lift + count + "simpintegrate(0,1,1,0)"}}, 'r', {"simpintegrate"}, true},
      {"calfor", {{'r', "(x)=" + lift + count + "calfor(0,x)"}}, 'r', {"calfor"}, true},
      {"call", {{'r', "(x)=" + lift + count + "call(0)"}}, 'r', {"call"}, true},
      {"complex calfor", {{'c', "(z)=" + lift + "calfor(0,z)"}}, 'c', {"calfor"}, false},
      {"integer calfor", {{'i', "(k)=" + lift + "calfor(0,k)"}}, 'i', {"calfor"}, false},
      {"across engines",
       {{'r', "(x)=" + lift + count + "calcfor(0,x,0)"}, {'c', "(z)=" + lift + "califor(0,z)"},
        {'i', "(k)=" + lift + "calrfor(0,k)"}},
       'r',
       {"calcfor", "califor", "calrfor"},
       true},
      {"host re-entry", {{'r', "(x)=" + count + "again(0)"}}, 'r', {"rcals"}, true},
  };
  return chains;
}

struct ChainOutcome {
  int32_t errors = 0;  // engines with a pending error
  int32_t number = 0;
  std::string name;
  int32_t levels = 0;  // deepest chain reached, where counted
};

// Runs f on a new thread with a stack of stackBytes (0: on the main thread).
template <class F>
void onThread(size_t stackBytes, F f) {
  ASSERT_TRUE(qxtest::runOnThread(stackBytes, f));
}

ChainOutcome runChain(const StackChain& chain, size_t stackBytes) {
  static const char* names[] = {"again", "probe", ""};
  static const int32_t rules[] = {0, -1};
  static const QxRealFn fns[] = {reenter, probe};
  deletedll();
  EXPECT_EQ(setfcfun(names, rules, fns), 1);
  EXPECT_EQ(setfornum(2), 1);
  EXPECT_EQ(Csetfornum(1), 1);
  EXPECT_EQ(Isetfornum(1), 1);
  userci();
  std::string setup = "newdoublearrays(1)+newdoublearray(0,1,1)";
  int32_t last;
  EXPECT_EQ(rcom(1, setup.data(), &last), 0);
  rcal(1, nullptr);
  for (const auto& [engine, text] : chain.rows) {
    std::string t = text;
    const int32_t code = engine == 'r' ? rcom(0, t.data(), &last)
                         : engine == 'c' ? Ccom(0, t.data(), &last)
                                         : Icom(0, t.data(), &last);
    EXPECT_EQ(code, 0) << text;
  }
  gDeepest = 0;
  onThread(stackBytes, [&] {
    if (chain.start == 'r') {
      double x = 1;
      rcal(0, &x);
    } else if (chain.start == 'c') {
      QxComplex z{1, 0};
      Ccal(0, &z);
    } else {
      int32_t k = 1;
      Ical(0, &k);
    }
  });
  ChainOutcome out;
  const char* name = nullptr;
  for (int32_t (*fetch)(const char**) : {fcerr, Cfcerr, Ifcerr}) {
    if (const int32_t n = fetch(&name)) {
      ++out.errors;
      out.number = n;
      out.name = name ? name : "";
    }
  }
  out.levels = gDeepest;
  return out;
}

TEST(NativeStack, RoomIsJudgedOnTheThreadsOwnStack) {
  bool onSmall = true, onLarge = false;
  onThread(32 * 1024, [&] { onSmall = qx::stackRoomLeft(); });
  onThread(1024 * 1024, [&] { onLarge = qx::stackRoomLeft(); });
  EXPECT_FALSE(onSmall);  // 32 KB: less than the margin however little is used
  EXPECT_TRUE(onLarge);
  EXPECT_TRUE(qx::stackRoomLeft());  // the main thread
}

TEST(NativeStack, EveryChainEndsWithMinusTwoOnSmallStacksAndTheMainThread) {
  for (const StackChain& chain : stackChains()) {
    int32_t levelsOn256 = 0;
    // The smallest stack a thread can have, two common small sizes, and the
    // main thread.
    const size_t smallest = qxtest::smallestThreadStack();
    for (size_t stack : {smallest, size_t{128} * 1024, size_t{256} * 1024, size_t{0}}) {
      SCOPED_TRACE(std::string(chain.kind) + ", stack " + (stack ? std::to_string(stack / 1024) + " KB" : "main"));
      const ChainOutcome out = runChain(chain, stack);
      EXPECT_EQ(out.errors, 1);
      EXPECT_EQ(out.number, -2);
      EXPECT_TRUE(chain.names.count(out.name)) << out.name;
      if (stack == 256 * 1024) levelsOn256 = out.levels;
      // On the small stacks the stack, not the cap, ends the chain; on 256 KB
      // machine code may need little enough stack to reach the cap first.
      if (stack != 0 && stack <= 128 * 1024 && chain.counted) {
        EXPECT_LT(out.levels, qx::kMaxNativeDepth);
      }
    }
    // The guard leaves the chain most of a small stack, not a token few levels.
    if (chain.counted) {
      EXPECT_GE(levelsOn256, 25) << chain.kind;
    }
  }
  deletedll();
}

TEST_F(Calls, NumberStore) {
  int32_t count = -1;
  EXPECT_EQ(getfcdoubles(&count), nullptr);
  EXPECT_EQ(count, 0);
  eval("newdoubles(3.9)");
  double* d = getfcdoubles(&count);
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(eval("setd(0,5)"), 5.0);
  EXPECT_EQ(eval("getdadd(0,2)"), 5.0);
  EXPECT_EQ(eval("addgetd(0,2)"), 9.0);
  EXPECT_EQ(d[0], 9.0);
  d[2] = 1.5;  // the host writes in place
  EXPECT_EQ(eval("getd(2)"), 1.5);
  EXPECT_EQ(eval("getd(0/0)"), 9.0);  // NaN index converts to 0
  expectError(0, "");
  EXPECT_EQ(eval("getd(3)+setd(-1,1)"), 0.0);
  expectError(1, "getd");
  eval("newdoubles(0)");
  EXPECT_EQ(getfcdoubles(&count), nullptr);
  EXPECT_EQ(eval("getd(0)"), 0.0);
  expectError(1, "getd");
  EXPECT_EQ(eval("newdoubles(2147483647)"), 0.0);  // far too large: refused
  expectError(1, "newdoubles");
  EXPECT_EQ(getfcdoubles(&count), nullptr);
  EXPECT_EQ(count, 0);
}

TEST_F(Calls, ArrayStore) {
  EXPECT_EQ(eval("getda(0,0)"), 0.0);
  expectError(1, "getda");
  EXPECT_EQ(eval("newdoublearray(0,3)"), 0.0);
  expectError(2, "newdoublearray");
  eval("newdoublearrays(2)");
  EXPECT_EQ(eval("newdoublearray(0,3,1,2)"), 0.0);
  expectError(0, "");
  int32_t count = 0;
  int32_t* lens = nullptr;
  double** arrays = getfcdoublearrays(&count, &lens);
  ASSERT_EQ(count, 2);
  EXPECT_EQ(lens[0], 3);
  EXPECT_EQ(lens[1], 0);
  EXPECT_EQ(arrays[0][0], 1.0);
  EXPECT_EQ(arrays[0][1], 2.0);
  EXPECT_EQ(eval("setda(0,2,7)+addgetda(0,2,1)+getda(0,1)"), 7.0 + 8 + 2);
  EXPECT_EQ(eval("getda(2,0)"), 0.0);
  expectError(2, "getda");
  EXPECT_EQ(eval("getda(0,3)"), 0.0);
  expectError(3, "getda");
  EXPECT_EQ(eval("newdoublearray(1,1,1,2)"), 0.0);
  expectError(5, "newdoublearray");
  EXPECT_EQ(lens[1], 1);  // allocated, nothing written
  EXPECT_EQ(eval("newdoublearray(0,0)"), 0.0);
  expectError(0, "");
  EXPECT_EQ(lens[0], 0);
  EXPECT_EQ(eval("getda(0,0)"), 0.0);
  expectError(3, "getda");
  EXPECT_EQ(eval("newdoublearray(5,1)"), 0.0);
  expectError(3, "newdoublearray");
  EXPECT_EQ(eval("newdoublearray(1,2147483647)"), 0.0);
  expectError(4, "newdoublearray");
  EXPECT_EQ(lens[1], 0);
}

TEST_F(Calls, ComplexAndIntegerStores) {
  cplx(0, "newcomplexs(3)+getc(5)");
  QxComplex r = Ccal(0, nullptr);
  EXPECT_EQ(r.re, 5.0);  // a failing complex function yields its first argument
  const char* name = nullptr;
  EXPECT_EQ(Cfcerr(&name), 1);
  EXPECT_STREQ(name, "getc");
  cplx(0, "getc(5+2i)");
  r = Ccal(0, nullptr);
  EXPECT_EQ(r.re, 5.0);
  EXPECT_EQ(r.im, 2.0);
  Cfcerr(&name);
  cplx(0, "setc(1,1+i)+getc(1.9)");
  r = Ccal(0, nullptr);
  EXPECT_EQ(r.re, 2.0);
  EXPECT_EQ(r.im, 2.0);
  int32_t count = 0;
  QxComplex* c = Cgetfccomplexs(&count);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(c[1].im, 1.0);

  integer(0, "newlongs(2)+seti(0,2147483647)+addgeti(0,1)");
  EXPECT_EQ(Ical(0, nullptr), 2147483647 + static_cast<int64_t>(INT32_MIN));
  integer(0, "newlongarrays(1)+newlongarray(0,2,5,6)+getia(0,1)+mod(-7,3)+mod(7,0)+sign(-5,1)+dim(3,5)");
  EXPECT_EQ(Ical(0, nullptr), 6 - 1 + 0 + 5 + 0);
  EXPECT_EQ(Ifcerrnum(), 0);
}

}  // namespace

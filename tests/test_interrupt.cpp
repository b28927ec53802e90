// fcinterrupt from another thread against runaway formulas of the three
// engines: long loops, a sum over 10^12 points, an exponential recursion and
// a long integration. Each must stop soon after the request, record the
// interrupt and leave the library usable. The suite runs once with the
// interpreter and once with every row translated, so both tiers are held to
// the same promise.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

#include "engine.h"
#include "fresh_library.h"
#include "jit/jit.h"
#include "quibex.h"

namespace {

using Clock = std::chrono::steady_clock;

// Runs `run` while a watchdog thread asks for an interrupt after `delayMs`
// and again every 100 ms until `run` returns (a request that arrives before
// the evaluation started is dropped by design). Returns the time from the
// first request to the return of `run`, in milliseconds.
double stopWithWatchdog(const std::function<void()>& run, int delayMs = 30) {
  std::atomic<bool> done{false};
  std::atomic<int64_t> firstRequest{0};
  std::thread watchdog([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
    firstRequest = Clock::now().time_since_epoch().count();
    while (!done) {
      fcinterrupt();
      for (int i = 0; i < 100 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  run();
  const int64_t end = Clock::now().time_since_epoch().count();
  done = true;
  watchdog.join();
  const int64_t first = firstRequest.load();
  EXPECT_NE(first, 0) << "the evaluation ended before the first request";
  return std::chrono::duration<double, std::milli>(Clock::duration(end - first)).count();
}

using ErrFetch = int32_t (*)(const char**);

// The engine's record holds the interrupt, named as documented.
void expectInterrupted(ErrFetch fetch, const std::string& what) {
  const char* name = nullptr;
  EXPECT_EQ(fetch(&name), QX_RTERR_INTERRUPTED) << what;
  EXPECT_TRUE(name && std::strcmp(name, QX_RTERR_INTERRUPTED_NAME) == 0) << what;
}

// In the run with every row translated, the rows really ran as machine code.
void expectTier(int engine, int32_t row, const std::string& what) {
  if (qx::jit::available() && qx::jit::mode() == qx::jit::Mode::Always) {
    EXPECT_TRUE(qx::jit::rowTranslated(engine, row)) << what;
  }
}

// The bound is generous so that a loaded machine never fails the test; the
// latencies measured are printed.
constexpr double kBoundMs = 2000.0;

void report(const std::string& what, double ms) {
  std::printf("[ latency  ] %-48s %8.3f ms\n", what.c_str(), ms);
  EXPECT_LT(ms, kBoundMs) << what;
}

using Interrupt = FreshLibrary<4>;

char* text(std::string& s) { return s.data(); }

// Loops of 2*10^9 passes (the iteration limit raised inside the formula):
// a for loop, a dowhile loop and a loop that goes round through continue.
TEST_F(Interrupt, LongLoopsStopInEveryEngine) {
  const char* loops[] = {
      "(:u)=setcyclemax(2000000000)+(u=0)+for(lt(u,2000000000),(u=u+1))+u",
      "(:u)=setcyclemax(2000000000)+(u=0)+dowhile((u=u+1),lt(u,2000000000))+u",
      "(:u)=setcyclemax(2000000000)+(u=0)+for(lt(u,2000000000),(u=u+1),continue(),(u=0))+u",
  };
  int32_t last = 0;
  for (const char* f : loops) {
    std::string r = f, c = f, i = f;
    ASSERT_EQ(rcom(0, text(r), &last), 0) << f;
    ASSERT_EQ(Ccom(0, text(c), &last), 0) << f;
    ASSERT_EQ(Icom(0, text(i), &last), 0) << f;

    double rv = -1;
    report(std::string("real ") + f, stopWithWatchdog([&] { rv = rcals(0); }));
    EXPECT_LT(rv, 2e9);
    expectInterrupted(fcerr, f);
    expectTier(0, 0, f);

    QxComplex cv{};
    report(std::string("complex ") + f, stopWithWatchdog([&] { cv = Ccals(0); }));
    EXPECT_LT(cv.re, 2e9);
    expectInterrupted(Cfcerr, f);
    expectTier(1, 0, f);

    int32_t iv = -1;
    report(std::string("integer ") + f, stopWithWatchdog([&] { iv = Icals(0); }));
    EXPECT_LT(iv, 2000000000);
    expectInterrupted(Ifcerr, f);
    expectTier(2, 0, f);
  }
}

// A loop interrupted between two passes leaves its variables as the last
// pass left them: the two sums below stay in step. (The limit is raised by
// a row of its own, so that the loops' rows make no call.)
TEST_F(Interrupt, AnInterruptedLoopLeavesItsVariablesInStep) {
  const char* loops[] = {
      "(:u,s)=(u=0)+(s=0)+for(lt(u,2000000000),(u=u+1),(s=s+2))+u",
      "(:u,s)=(u=0)+(s=0)+dowhile((u=u+1),(s=s+2),lt(u,2000000000))+u",
  };
  std::string limit = "setcyclemax(2000000000)";
  int32_t last = 0;
  ASSERT_EQ(rcom(1, text(limit), &last), 0);
  for (const char* f : loops) {
    rcals(1);
    std::string r = f;
    ASSERT_EQ(rcom(0, text(r), &last), 0) << f;
    report(std::string("real ") + f, stopWithWatchdog([&] { rcals(0); }));
    expectInterrupted(fcerr, f);
    expectTier(0, 0, f);
    const double u = getin(0)[0], s = getin(0)[1];
    EXPECT_GT(u, 0) << f;
    EXPECT_EQ(s, 2 * u) << f;
  }
}

// sum over 10^12 points (real); the complex and integer engines run it
// through calrfor, and the interrupt reaches their records as well.
TEST_F(Interrupt, HugeSumStopsAlsoWhenCalledFromOtherEngines) {
  int32_t last = 0;
  std::string target = "(x)=x", summing = "sum(0,0,0,1e12,1)";
  ASSERT_EQ(rcom(0, text(target), &last), 0);
  ASSERT_EQ(rcom(1, text(summing), &last), 0);
  double rv = -1;
  report("real sum over 1e12 points", stopWithWatchdog([&] { rv = rcals(1); }));
  EXPECT_EQ(rv, 0.0);
  expectInterrupted(fcerr, "real sum");
  expectTier(0, 1, "real sum");

  std::string viaC = "calrfor(1)", viaI = "calrfor(1)+1";
  ASSERT_EQ(Ccom(0, text(viaC), &last), 0);
  ASSERT_EQ(Icom(0, text(viaI), &last), 0);
  report("complex calrfor of the sum", stopWithWatchdog([&] { Ccals(0); }));
  expectInterrupted(Cfcerr, "complex caller");
  expectInterrupted(fcerr, "real sum under complex");
  expectTier(1, 0, "complex caller");

  int32_t iv = -1;
  report("integer calrfor of the sum", stopWithWatchdog([&] { iv = Icals(0); }));
  EXPECT_EQ(iv, 1);  // the failed call yields 0
  expectInterrupted(Ifcerr, "integer caller");
  expectInterrupted(fcerr, "real sum under integer");
}

// Activations of one row share its value array and stack, so a recursion
// that branches keeps its state in the number store: slot 0 holds the
// depth, slot d the passes made at depth d. Each activation goes twice
// round a loop that calls the row again down to depth 50: 2^50 calls.
std::string recursion(const char* letter, const char* create) {
  const std::string set = std::string("set") + letter, get = std::string("get") + letter,
                    addget = std::string("addget") + letter;
  return "(:d)=(d=" + addget + "(0,1))+" + set + "(d,0)+for(lt(" + get + "(" + get + "(0)),2)," + addget + "(" +
         get + "(0),1),which(lt(" + get + "(0),50),calfor(0),1))+" + addget + "(0,-1)+0*" + create + "(0)";
}

TEST_F(Interrupt, BranchingRecursionStops) {
  int32_t last = 0;
  std::string fr = recursion("d", "newdoubles"), fc = recursion("c", "newcomplexs"), fi = recursion("i", "newlongs");
  std::string sr = "setstackmax(200)+newdoubles(64)+calfor(0)", sc = "setstackmax(200)+newcomplexs(64)+calfor(0)",
              si = "setstackmax(200)+newlongs(64)+calfor(0)";
  // The trailing 0*new...(0) is never reached before the interrupt; it
  // only shows that the store functions compile in each engine's spelling.
  for (std::string* f : {&fr, &fc, &fi}) f->erase(f->find("+0*"));
  ASSERT_EQ(rcom(0, text(fr), &last), 0);
  ASSERT_EQ(rcom(1, text(sr), &last), 0);
  ASSERT_EQ(Ccom(0, text(fc), &last), 0);
  ASSERT_EQ(Ccom(1, text(sc), &last), 0);
  ASSERT_EQ(Icom(0, text(fi), &last), 0);
  ASSERT_EQ(Icom(1, text(si), &last), 0);

  report("real recursion 2^50 calls", stopWithWatchdog([&] { rcals(1); }));
  expectInterrupted(fcerr, "real recursion");
  expectTier(0, 0, "real recursion");
  report("complex recursion 2^50 calls", stopWithWatchdog([&] { Ccals(1); }));
  expectInterrupted(Cfcerr, "complex recursion");
  expectTier(1, 0, "complex recursion");
  report("integer recursion 2^50 calls", stopWithWatchdog([&] { Icals(1); }));
  expectInterrupted(Ifcerr, "integer recursion");
  expectTier(2, 0, "integer recursion");
  // Loop levels and nesting counts unwound with the calls: after the
  // interrupt a fresh run starts at depth 0 again (slot 0 is back at 0 when
  // every activation reached its end).
  double* depth = getfcdoubles(nullptr);
  ASSERT_NE(depth, nullptr);
  EXPECT_EQ(depth[0], 0.0);
  EXPECT_EQ(qx::gLib.real.level, -1);
  EXPECT_EQ(qx::gLib.real.nest[qx::NEST_CALFOR], 0);
  EXPECT_EQ(qx::gLib.integer.level, -1);
  EXPECT_EQ(qx::gLib.cplx.nest[qx::NEST_CALFOR], 0);
}

// Simpson integration with a tolerance of 0 runs tens of millions of
// evaluations; datasum over its tuples stops between two of them.
TEST_F(Interrupt, LongIntegrationStops) {
  int32_t last = 0;
  std::string f = "(x)=sin(x)*exp(-x)+sqrt(x)", integrate = "simpintegrate(0,1,0,0)";
  std::string nested = "(:k,s)=(k=0)+(s=0)+for(lt(k,1000000),(k=k+1),(s=s+simpintegrate(0,1,0,0)))+s";
  ASSERT_EQ(rcom(0, text(f), &last), 0);
  ASSERT_EQ(rcom(1, text(integrate), &last), 0);
  ASSERT_EQ(rcom(2, text(nested), &last), 0);
  double v = -1;
  report("real simpintegrate eps 0", stopWithWatchdog([&] { v = rcals(1); }, 10));
  EXPECT_EQ(v, 0.0);
  expectInterrupted(fcerr, "simpintegrate");
  expectTier(0, 1, "simpintegrate");
  // The loop around it ends with the same error instead of going on.
  report("real loop of integrations", stopWithWatchdog([&] { v = rcals(2); }, 10));
  expectInterrupted(fcerr, "loop of integrations");

  std::string viaC = "calrfor(2)", viaI = "calrfor(2)";
  ASSERT_EQ(Ccom(0, text(viaC), &last), 0);
  ASSERT_EQ(Icom(0, text(viaI), &last), 0);
  report("complex calrfor of the integrations", stopWithWatchdog([&] { Ccals(0); }, 10));
  expectInterrupted(Cfcerr, "complex caller");
  expectInterrupted(fcerr, "integration under complex");
  report("integer calrfor of the integrations", stopWithWatchdog([&] { Icals(0); }, 10));
  expectInterrupted(Ifcerr, "integer caller");
  expectInterrupted(fcerr, "integration under integer");
}

// A host function that asks for the interrupt itself: the formula makes no
// further host call and its loop ends after the current pass.
int gHostCalls = 0;
double hostStop(int32_t, double*) {
  if (++gHostCalls == 3) fcinterrupt();
  return 1.0;
}

TEST(InterruptNoEvaluation, StaleRequestHasNoEffectAndHostCallsStop) {
  deletedll();
  static const char* const names[] = {"stop", ""};
  static const int32_t rules[] = {-1};
  static const QxRealFn fns[] = {hostStop};
  ASSERT_EQ(setfcfun(names, rules, fns), 1);
  ASSERT_EQ(setfornum(2), 1);
  ASSERT_EQ(Csetfornum(1), 1);
  ASSERT_EQ(Isetfornum(1), 1);
  userci();
  int32_t last = 0;
  std::string loop = "(:u)=(u=0)+for(lt(u,1000),(u=u+1))+u", host = "(:u)=(u=0)+for(lt(u,10),(u=u+stop()))+u";
  ASSERT_EQ(rcom(0, text(loop), &last), 0);
  ASSERT_EQ(rcom(1, text(host), &last), 0);
  // Requested while nothing runs: dropped by the next evaluation.
  fcinterrupt();
  EXPECT_EQ(rcals(0), 1000.0);
  EXPECT_EQ(fcerrnum(), 0);
  // Requested from inside: the third call asks, no fourth call is made, the
  // pass ends and the loop stops.
  gHostCalls = 0;
  EXPECT_EQ(rcals(1), 3.0);
  EXPECT_EQ(gHostCalls, 3);
  expectInterrupted(fcerr, "host request");
  // The request does not outlive the evaluation.
  gHostCalls = 100;
  EXPECT_EQ(rcals(1), 10.0);
  EXPECT_EQ(fcerrnum(), 0);
  deletedll();
}

}  // namespace

// Disagreements between machine code and the interpreter that the
// differential fuzzer found, one test per cause. Each case compiles rows in
// the three engines, evaluates one row under each mode from a fresh library
// and compares everything observable: results bit for bit, error records and
// the value arrays of every row.
#include <gtest/gtest.h>

#include <xmmintrin.h>

#include <algorithm>
#include <cfenv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "engine.h"
#include "fresh_library.h"
#include "jit/jit.h"
#include "quibex.h"
#include "thread_stack.h"

namespace {

using qx::jit::Mode;

struct Row {
  char engine;  // 'r', 'c', 'i'
  int32_t row;
  const char* text;
};

struct Case {
  std::vector<Row> rows;
  char engine;  // the engine and row the host evaluates
  int32_t row;
  double arg;
};

std::string hex(double d) {
  if (d != d) return "nan ";
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  char buf[24];
  std::snprintf(buf, sizeof buf, "%llx ", static_cast<unsigned long long>(u));
  return buf;
}

std::string errors() {
  std::string s;
  const char* name = nullptr;
  int32_t e = fcerr(&name);
  s += "R" + std::to_string(e) + (e && name ? name : "") + " ";
  e = Cfcerr(&name);
  s += "C" + std::to_string(e) + (e && name ? name : "") + " ";
  e = Ifcerr(&name);
  s += "I" + std::to_string(e) + (e && name ? name : "") + " ";
  return s;
}

std::string valueArrays(const Case& c) {
  std::string s;
  for (const Row& r : c.rows) {
    s += "|";
    if (r.engine == 'r') {
      const int32_t last = qx::gLib.real.table.header[r.row][qx::H_LAST_SLOT];
      for (int32_t i = 0; i <= last; ++i) s += hex(getin(r.row)[i]);
    } else if (r.engine == 'c') {
      const int32_t last = qx::gLib.cplx.table.header[r.row][qx::H_LAST_SLOT];
      for (int32_t i = 0; i <= last; ++i) s += hex(Cgetin(r.row)[i].re) + hex(Cgetin(r.row)[i].im);
    } else {
      const int32_t last = qx::gLib.integer.table.header[r.row][qx::H_LAST_SLOT];
      for (int32_t i = 0; i <= last; ++i) s += std::to_string(Igetin(r.row)[i]) + " ";
    }
  }
  return s;
}

// Everything observable over three evaluations of the case under mode m.
std::string observeCompiled(const Case& c, Mode m);
std::string observe(const Case& c, Mode m) {
  deletedll();
  qx::jit::setMode(m);
  EXPECT_EQ(setfornum(4), 1);
  EXPECT_EQ(Csetfornum(4), 1);
  EXPECT_EQ(Isetfornum(4), 1);
  userci();
  return observeCompiled(c, m);
}

// The same, with the tables already set up.
std::string observeCompiled(const Case& c, Mode m) {
  int32_t last = 0;
  for (const Row& r : c.rows) {
    std::string text = r.text;
    const int rc = r.engine == 'r' ? rcom(r.row, text.data(), &last)
                   : r.engine == 'c' ? Ccom(r.row, text.data(), &last)
                                     : Icom(r.row, text.data(), &last);
    EXPECT_EQ(rc, 0) << r.text;
  }
  std::string out;
  for (int n = 0; n < 3; ++n) {
    if (c.engine == 'r') {
      double a[4] = {c.arg, c.arg, c.arg, c.arg};
      out += hex(rcal(c.row, a));
    } else if (c.engine == 'c') {
      QxComplex a[4] = {{c.arg, 0.5}, {c.arg, 0.5}, {c.arg, 0.5}, {c.arg, 0.5}};
      const QxComplex v = Ccal(c.row, a);
      out += hex(v.re) + hex(v.im);
    } else {
      int32_t a[4] = {static_cast<int32_t>(c.arg), 1, 1, 1};
      out += std::to_string(Ical(c.row, a)) + " ";
    }
    out += errors() + valueArrays(c) + "\n";
  }
  if (m == Mode::Always) {
    const int e = c.engine == 'r' ? 0 : c.engine == 'c' ? 1 : 2;
    EXPECT_TRUE(qx::jit::rowTranslated(e, c.row)) << c.rows[0].text;
  }
  return out;
}

class JitFindings : public FreshLibrary<4> {
 protected:
  void SetUp() override {
    saved_ = qx::jit::mode();
    FreshLibrary<4>::SetUp();
  }
  void TearDown() override {
    qx::jit::setMode(saved_);
    FreshLibrary<4>::TearDown();
  }
  void same(const std::vector<Case>& cases) {
    if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
    for (const Case& c : cases)
      EXPECT_EQ(observe(c, Mode::Off), observe(c, Mode::Always)) << c.rows[0].text;
  }
  Mode saved_ = Mode::Tiered;
};

// Recursive activations of a complex row share its stack area: the top of
// the stack must reach its slot only where the interpreter writes it, or
// an outer activation reads an inner one's result as its pending operand.
TEST_F(JitFindings, ComplexTopOfStackStaysOutOfItsSlot) {
  std::vector<Case> cases = {
      {{{'c', 0, "(z)=3+calfor(0,z)"}}, 'c', 0, 1},
      {{{'c', 0, "(z)=(3+calfor(0,z))*2"}}, 'c', 0, 1},
      {{{'c', 0, "(z)=gt(calfor(0,z),1)+2"}}, 'c', 0, 1},
      {{{'c', 0, "(z)=3-exp(calfor(0,z)/9)"}}, 'c', 0, 1},
      {{{'c', 0, "(z:v)=2+(v=calfor(0,z)+1)"}}, 'c', 0, 1},
      // a chain of calls across the engines back into the same rows
      {{{'r', 0, "(x)=calcfor(0,x,2)+califor(0,x)"},
        {'r', 1, "(x)=x*3"},
        {'c', 0, "(z)=calrfor(1,z)+califor(0,z)"},
        {'i', 0, "(n)=calrfor(1,n)+calcfor(0,n,n)"}},
       'r', 0, 1},
  };
  same(cases);
}

// The machine code of a row that calls out keeps values in registers, but
// every push writes the value it covers to its slot as the interpreter does:
// the row may run again inside the call (a formula call, a host function
// evaluating it) and the outer activation reads its pending operands back.
double hostEval(int32_t, double* a) { return rcals(static_cast<int32_t>(a[0])); }
double hostSum(int32_t last, double* a) {
  double s = 0;
  for (int32_t i = 0; i <= last; ++i) s += a[i];
  return s;
}

TEST_F(JitFindings, PushesWriteTheCoveredValueInRowsThatCallOut) {
  static const char* const names[] = {"heval", "hsum", ""};
  static const int32_t rules[] = {0, -2};
  static const QxRealFn fns[] = {hostEval, hostSum};
  std::vector<Case> cases = {
      {{{'r', 0, "(y)=2+calfor(0,y)+or(0,y)"}}, 'r', 0, 1},
      {{{'i', 0, "(y)=2+calfor(0,y)*(y+1)-y*3"}}, 'i', 0, 1},
      {{{'r', 0, "(y)=2+calfor(0,y)*(y+1)-y*3"}}, 'r', 0, 2},
      {{{'r', 0, "(y)=heval(1)+hsum(y,heval(0))+or(0,y)"}}, 'r', 0, 0},
  };
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  for (const Case& c : cases) {
    std::string seen[2];
    for (Mode m : {Mode::Off, Mode::Always}) {
      deletedll();
      ASSERT_EQ(setfornum(4), 1);
      ASSERT_EQ(Isetfornum(4), 1);
      userci();
      ASSERT_EQ(setfcfun(names, rules, fns), 1);
      qx::jit::setMode(m);
      seen[m == Mode::Always] = observeCompiled(c, m);
    }
    EXPECT_EQ(seen[0], seen[1]) << c.rows[0].text;
  }
}

// A host function that evaluates the running row again while the row is
// suspended in it: the inner activation overwrites the outer one's stack
// slots (the host function's own argument block among them) exactly as the
// interpreter's pushes do, assignments included, and the outer activation
// and the host function carry on with what it left there.
int gArmed = 0;  // re-entries still to make (each host call makes at most one)
int32_t gAgainRow = 0;
char gAgainEngine = 'r';  // which export the host function re-enters through

double reenterAny() {
  if (gArmed <= 0) return 0;
  --gArmed;
  if (gAgainEngine == 'r') return rcals(gAgainRow);
  if (gAgainEngine == 'c') return Ccals(gAgainRow).re;
  return Icals(gAgainRow);
}
// hre reads its argument before the re-entry, hra after it, hrw writes it
// before and reads it after.
double hostReenter(int32_t, double* a) {
  const double x = a[0];
  return 10 * x + reenterAny();
}
double hostReenterAfter(int32_t last, double* a) {
  const double r = reenterAny();
  double s = 10 * a[0] + r;
  for (int32_t i = 1; i <= last; ++i) s += 100 * i * a[i];
  return s;
}
double hostReenterWrite(int32_t last, double* a) {
  a[0] = a[last] + 0.5;
  const double r = reenterAny();
  return a[0] * 3 + r;
}
QxComplex hostReenterC(int32_t, QxComplex* a) {
  const QxComplex x = a[0];
  return QxComplex{10 * x.re + reenterAny(), x.im};
}
QxComplex hostReenterAfterC(int32_t last, QxComplex* a) {
  const double r = reenterAny();
  QxComplex s{10 * a[0].re + r, a[0].im};
  for (int32_t i = 1; i <= last; ++i) s.re += 100 * i * a[i].re, s.im += a[i].im;
  return s;
}
QxComplex hostReenterWriteC(int32_t last, QxComplex* a) {
  a[0].re = a[last].re + 0.5;
  const double r = reenterAny();
  return QxComplex{a[0].re * 3 + r, a[0].im};
}
// Integer host functions wrap as the engine does.
int32_t wrap(int64_t v) { return static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(v))); }
int32_t hostReenterI(int32_t, int32_t* a) {
  const int32_t x = a[0];
  return wrap(int64_t{10} * x + static_cast<int32_t>(reenterAny()));
}
int32_t hostReenterAfterI(int32_t last, int32_t* a) {
  const int32_t r = static_cast<int32_t>(reenterAny());
  int64_t s = int64_t{10} * a[0] + r;
  for (int32_t i = 1; i <= last; ++i) s += int64_t{100} * i * a[i];
  return wrap(s);
}
int32_t hostReenterWriteI(int32_t last, int32_t* a) {
  a[0] = wrap(int64_t{a[last]} + 5);
  const int32_t r = static_cast<int32_t>(reenterAny());
  return wrap(int64_t{a[0]} * 3 + r);
}

struct Reentry {
  char engine;  // engine of row 0, the row evaluated and re-entered
  const char* text;
  int armed;  // re-entries per evaluation from the host
};

// Result, error and row 0's value array over `times` evaluations with
// `x` = 2, the host function armed afresh before each.
std::string observeReentry(const Reentry& c, Mode m, int times, bool* translated) {
  static const char* const names[] = {"hre", "hra", "hrw", ""};
  static const int32_t rules[] = {0, -2, -2};
  static const QxRealFn rf[] = {hostReenter, hostReenterAfter, hostReenterWrite};
  static const QxComplexFn cf[] = {hostReenterC, hostReenterAfterC, hostReenterWriteC};
  static const QxIntFn inf[] = {hostReenterI, hostReenterAfterI, hostReenterWriteI};
  deletedll();
  EXPECT_EQ(setfcfun(names, rules, rf), 1);
  EXPECT_EQ(Csetfcfun(names, rules, cf), 1);
  EXPECT_EQ(Isetfcfun(names, rules, inf), 1);
  EXPECT_EQ(setfornum(2), 1);
  EXPECT_EQ(Csetfornum(2), 1);
  EXPECT_EQ(Isetfornum(2), 1);
  userci();
  qx::jit::setMode(m);
  qx::jit::resetStats();
  std::string text = c.text;
  int32_t last = 0;
  const int rc = c.engine == 'r' ? rcom(0, text.data(), &last)
                 : c.engine == 'c' ? Ccom(0, text.data(), &last)
                                   : Icom(0, text.data(), &last);
  EXPECT_EQ(rc, 0) << c.text;
  gAgainRow = 0;
  gAgainEngine = c.engine;
  std::string out;
  for (int n = 0; n < times; ++n) {
    gArmed = c.armed;
    if (c.engine == 'r') {
      double a[2] = {2, 2};
      out += hex(rcal(0, a));
    } else if (c.engine == 'c') {
      QxComplex a[2] = {{2, 0.5}, {2, 0.5}};
      const QxComplex v = Ccal(0, a);
      out += hex(v.re) + hex(v.im);
    } else {
      int32_t a[2] = {2, 2};
      out += std::to_string(Ical(0, a)) + " ";
    }
    out += errors() + valueArrays(Case{{{c.engine, 0, c.text}}, c.engine, 0, 0}) + "\n";
  }
  *translated = qx::jit::rowTranslated(c.engine == 'r' ? 0 : c.engine == 'c' ? 1 : 2, 0);
  return out;
}

// The first line where two observations differ, or "" when they agree.
std::string firstDifference(const std::string& a, const std::string& b) {
  if (a == b) return "";
  size_t start = 0, line = 0;
  for (;;) {
    const size_t ea = a.find('\n', start), eb = b.find('\n', start);
    if (a.compare(start, ea - start, b, start, eb - start) != 0 || ea == std::string::npos)
      return "line " + std::to_string(line) + ":\n  " + a.substr(start, ea - start) + "\n  " +
             b.substr(start, eb - start);
    start = ea + 1;
    ++line;
  }
}

TEST_F(JitFindings, HostFunctionReenteringItsRowUnderAnAssignment) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  static const char* const shapes[] = {
      "(x)=(x=1-hre(x))",
      "(x:t)=(t=1-hre(x))",
      "(x:t)=3*(t=1-hre(x))+x",
      "(x)=(x=1-hra(x))",
      "(x:t)=3*(t=1-hra(x))+x",
      "(x:u)=hra(x,x,x,x,x,x)+(u=0)+for(lt(u,3),(u=u+1),u*2)",
      "(x:u)=hra(x,x,x,x,x,x,x)+(u=0)+for(lt(u,3),(u=u+1),u*2)",
      "(x:u)=hra(x,x,x,x,x,x,x,x)+(u=0)+for(lt(u,3),(u=u+1),u*2)",
      "(x:t)=(x=hrw(x,x+1))-hre(x)",
      "(x:t)=x+(t=hre(x+1)*2)+(x=hrw(t,x))",
      "(x:t)=(x=x+1)+hre((t=x*2))-(x=1-hrw(x))",
      "(x:t,u)=(u=0)+for(lt(u,3),(u=u+1),(t=hrw(x,u)-(x=1-hre(t))))+t",
      "(x:t)=s+hre(x)*(t=s-1),s=(x=1-hrw(x))+x",
      "(x:t)=(t=hrw(x)+1)+(x=2-hre(t))*(t=x-1)",
  };
  for (char engine : {'r', 'i', 'c'}) {
    for (const char* shape : shapes) {
      for (int armed : {1, 2}) {
        const Reentry c{engine, shape, armed};
        bool translated = false;
        const std::string ref = observeReentry(c, Mode::Off, 3, &translated);
        EXPECT_FALSE(translated);
        EXPECT_EQ(firstDifference(ref, observeReentry(c, Mode::Always, 3, &translated)), "")
            << engine << " " << shape << " " << armed;
        EXPECT_TRUE(translated) << engine << " " << shape;
        // Default tiering: the row is translated part-way through the run.
        const std::string many = observeReentry(c, Mode::Off, 700, &translated);
        EXPECT_EQ(firstDifference(many, observeReentry(c, Mode::Tiered, 700, &translated)), "")
            << engine << " " << shape << " " << armed;
        EXPECT_TRUE(translated) << engine << " " << shape;
      }
    }
  }
}

// The issue's figures, for the record: the interpreter's values.
TEST_F(JitFindings, ReentryUnderAnAssignmentGivesTheInterpretersValues) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  struct Want {
    char engine;
    const char* text;
    double result;
  };
  const Want wants[] = {{'r', "(x)=(x=1-hre(x))", -20}, {'r', "(x:t)=(t=1-hre(x))", -20},
                        {'r', "(x:t)=3*(t=1-hre(x))+x", -910}, {'i', "(x:t)=(t=1-hre(x))", -20}};
  for (const Want& w : wants) {
    for (Mode m : {Mode::Off, Mode::Always}) {
      bool translated = false;
      const std::string seen = observeReentry(Reentry{w.engine, w.text, 1}, m, 1, &translated);
      const std::string want = w.engine == 'i' ? std::to_string(static_cast<int32_t>(w.result)) + " " : hex(w.result);
      EXPECT_EQ(seen.substr(0, want.size()), want) << w.text << " mode " << static_cast<int>(m) << ": " << seen;
      EXPECT_EQ(translated, m == Mode::Always);
    }
  }
}

// Translating takes far more stack than evaluating: a thread with a small
// stack evaluates in the interpreter (the sanitizer build overflowed its
// stack translating there), and the row is translated later on a thread
// with room.
void* evalOnSmallStack(void* out) {
  double x = 1.5;
  *static_cast<double*>(out) = rcal(0, &x);
  return nullptr;
}

// "(v=expr)" stores expr - (1 + and(0, v)): with flush-to-zero or
// denormals-are-zero on, a subnormal expr is stored (and left) as a zero of
// its sign, and machine code must store that too, on the straight line, in
// a loop whose variables live in registers and in a row that calls out.
// Zeros keep their sign in every rounding direction.
TEST_F(JitFindings, AssignmentsUnderTheHostsFloatingPointEnvironment) {
  const double tiny = std::ldexp(1.0, -1074);
  std::vector<Case> cases;
  for (double arg : {tiny, -tiny, 3 * tiny, 0.0, -0.0, 1.5}) {
    cases.push_back({{{'r', 0, "(x:t)=(t=x)"}}, 'r', 0, arg});
    cases.push_back({{{'r', 0, "(x,y,z,w:t,u,v)=x,a=(t=tan(x)),b=1e-310"}}, 'r', 0, arg});
    cases.push_back({{{'r', 0, "(x:s,k)=one((s=0),(k=0),for(lt(k,3),(s=x),(k=k+1)))+s"}}, 'r', 0, arg});
    cases.push_back({{{'r', 0, "(x:t)=(t=x)+calfor(1,x)"}, {'r', 1, "(x)=x*0"}}, 'r', 0, arg});
  }
  const unsigned csr = _mm_getcsr();
  for (int env = 0; env < 6; ++env) {
    if (env == 0) _mm_setcsr(csr | 0x8040);   // both
    else if (env == 1) _mm_setcsr(csr | 0x8000);  // flush-to-zero only
    else std::fesetround(env == 2 ? FE_DOWNWARD : env == 3 ? FE_UPWARD : env == 4 ? FE_TOWARDZERO : FE_TONEAREST);
    SCOPED_TRACE(env);
    same(cases);
    _mm_setcsr(csr);
    std::fesetround(FE_TONEAREST);
  }
}

TEST_F(JitFindings, NoTranslationOnAThreadWithLittleStack) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  qx::jit::setMode(Mode::Always);
  char f[] = "(x)=x*2+sin(x)";
  int32_t last;
  ASSERT_EQ(rcom(0, f, &last), 0);
  double onThread = 0;
  ASSERT_TRUE(qxtest::runOnThread(qxtest::smallestThreadStack(), [&] { evalOnSmallStack(&onThread); }));
  EXPECT_FALSE(qx::jit::rowTranslated(0, 0));
  double x = 1.5;
  EXPECT_EQ(rcal(0, &x), onThread);
  EXPECT_TRUE(qx::jit::rowTranslated(0, 0));
  EXPECT_EQ(onThread, 1.5 * 2 + std::sin(1.5));
}

}  // namespace

// The machine-code tier against the interpreter: every formula runs once
// with the interpreter only and once translated at its first evaluation,
// each time from a freshly loaded library, and everything observable must
// match: results bit for bit, value arrays, error records, loop levels and
// limits, and the host calls with their arguments and argument addresses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <type_traits>
#include <cstring>
#include <string>
#include <vector>

#include "alloc.h"
#include "engine.h"
#include "fresh_library.h"
#include "jit/jit.h"
#include "jit/tier.h"
#include "quibex.h"

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

using qx::jit::Mode;

// ---- a log of host calls ------------------------------------------------------

// Where a pointer points: the engine, row and slot of a stack area, or -1.
std::string where(const void* p) {
  auto find = [&](auto& t, int e) -> std::string {
    using V = std::remove_pointer_t<std::remove_pointer_t<decltype(t.stack)>>;
    for (int32_t r = 0; r < t.rows; ++r) {
      if (!t.stack[r] || !t.header[r]) continue;
      const V* s = t.stack[r];
      const V* q = static_cast<const V*>(p);
      if (q >= s && q <= s + t.header[r][qx::H_CODE_LENGTH]) {
        char buf[48];
        std::snprintf(buf, sizeof buf, "%d/%d/%ld", e, r, static_cast<long>(q - s));
        return buf;
      }
    }
    return "";
  };
  std::string w = find(qx::gLib.real.table, 0);
  if (w.empty()) w = find(qx::gLib.cplx.table, 1);
  if (w.empty()) w = find(qx::gLib.integer.table, 2);
  return w.empty() ? "elsewhere" : w;
}

std::string gLog;

void logCall(const char* fn, int32_t last, const void* args, const std::string& values) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%s(%d)@", fn, last);
  gLog += buf + where(args) + ":" + values + ";";
}

// NaNs compare equal whatever their sign and payload: which operand's NaN
// an instruction passes on is the compiler's choice, not the formula's.
std::string bits(double d) {
  if (d != d) return "nan,";
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  char buf[24];
  std::snprintf(buf, sizeof buf, "%llx,", static_cast<unsigned long long>(u));
  return buf;
}

// hr(a, b, ...): logs its arguments and returns their sum plus the calls so far.
double hostReal(int32_t last, double* a) {
  std::string v;
  double s = 0;
  for (int32_t i = 0; i <= last; ++i) v += bits(a[i]), s += a[i];
  logCall("hr", last, a, v);
  return s + static_cast<double>(gLog.size() % 7);
}
// hw(x): writes below and beyond its arguments' first slot is not allowed;
// it overwrites its own argument (which the caller must not see again).
double hostWrite(int32_t last, double* a) {
  logCall("hw", last, a, bits(a[0]));
  a[0] = 1234.5;
  return a[last >= 0 ? 0 : 0] * 2;
}
// hv(x): logs row 0's value array as the call sees it, returns x + 1.
double hostValues(int32_t last, double* a) {
  std::string v;
  const int32_t* h = qx::gLib.real.table.header[0];
  for (int32_t i = 0; h && i <= h[qx::H_LAST_SLOT]; ++i) v += bits(getin(0)[i]);
  logCall("hv", last, a, v);
  return last >= 0 ? a[0] + 1 : 0;
}
QxComplex hostComplex(int32_t last, QxComplex* a) {
  std::string v;
  QxComplex s{0, 0};
  for (int32_t i = 0; i <= last; ++i) v += bits(a[i].re) + bits(a[i].im), s.re += a[i].re, s.im += a[i].im;
  logCall("hc", last, a, v);
  return s;
}
int32_t hostInt(int32_t last, int32_t* a) {
  std::string v;
  int32_t s = 0;
  for (int32_t i = 0; i <= last; ++i) v += std::to_string(a[i]) + ",", s += a[i];
  logCall("hi", last, a, v);
  return s;
}

// ---- one run ----------------------------------------------------------------------

struct Case {
  char engine;  // 'r', 'c', 'i'
  std::vector<std::string> rows;  // row 0 is evaluated; the others are there to be called
  std::vector<double> args;
  int evaluations = 3;
  bool mayNotCompile = false;  // names of one engine tried in all three
};

// Everything observable after the evaluations, as text.
std::string observe(const Case& c, Mode m, bool* allTranslated) {
  deletedll();
  qx::jit::setMode(m);
  qx::jit::resetStats();
  gLog.clear();
  EXPECT_EQ(setfornum(4), 1);
  EXPECT_EQ(Csetfornum(4), 1);
  EXPECT_EQ(Isetfornum(4), 1);
  userci();
  static const char* const rn[] = {"hr", "hw", "hv", ""};
  static const int32_t rr[] = {-2, 0, 0};
  static const QxRealFn rf[] = {hostReal, hostWrite, hostValues};
  static const char* const cn[] = {"hc", ""};
  static const int32_t cr[] = {-2};
  static const QxComplexFn cf[] = {hostComplex};
  static const char* const in[] = {"hi", ""};
  static const int32_t ir[] = {-2};
  static const QxIntFn inf[] = {hostInt};
  EXPECT_EQ(setfcfun(rn, rr, rf), 1);
  EXPECT_EQ(Csetfcfun(cn, cr, cf), 1);
  EXPECT_EQ(Isetfcfun(in, ir, inf), 1);
  std::string out;
  int32_t last = 0;
  for (size_t r = 0; r < c.rows.size(); ++r) {
    std::string text = c.rows[r];
    int rc = c.engine == 'r' ? rcom(static_cast<int32_t>(r), text.data(), &last)
             : c.engine == 'c' ? Ccom(static_cast<int32_t>(r), text.data(), &last)
                               : Icom(static_cast<int32_t>(r), text.data(), &last);
    out += "compiled " + std::to_string(rc) + "\n";  // some names exist in one engine only
  }
  for (int n = 0; n < c.evaluations; ++n) {
    const char* name = nullptr;
    int32_t err = 0;
    if (c.engine == 'r') {
      out += "=" + bits(rcal(0, c.args.data()));
      err = fcerr(&name);
    } else if (c.engine == 'c') {
      std::vector<QxComplex> a;
      for (double d : c.args) a.push_back({d, d / 4});
      const QxComplex v = Ccal(0, a.data());
      out += "=" + bits(v.re) + bits(v.im);
      err = Cfcerr(&name);
    } else {
      std::vector<int32_t> a;
      for (double d : c.args) a.push_back(d > -2147483649.0 && d < 2147483648.0 ? static_cast<int32_t>(d) : 0);
      out += "=" + std::to_string(Ical(0, a.data()));
      err = Ifcerr(&name);
    }
    out += " err " + std::to_string(err) + (err && name ? name : "");
    // value arrays of every row
    for (size_t r = 0; r < c.rows.size(); ++r) {
      const int32_t* h = c.engine == 'r'   ? qx::gLib.real.table.header[r]
                         : c.engine == 'c' ? qx::gLib.cplx.table.header[r]
                                           : qx::gLib.integer.table.header[r];
      out += " |";
      for (int32_t i = 0; h && i <= h[qx::H_LAST_SLOT]; ++i) {
        if (c.engine == 'r') out += bits(getin(static_cast<int32_t>(r))[i]);
        else if (c.engine == 'c') out += bits(Cgetin(static_cast<int32_t>(r))[i].re) + bits(Cgetin(static_cast<int32_t>(r))[i].im);
        else out += std::to_string(Igetin(static_cast<int32_t>(r))[i]) + ",";
      }
    }
    out += " levels " + std::to_string(qx::gLib.real.level) + std::to_string(qx::gLib.cplx.level) +
           std::to_string(qx::gLib.integer.level);
    out += " limits " + std::to_string(qx::gLib.real.levelLimit) + "," + std::to_string(qx::gLib.real.iterLimit) + "," +
           std::to_string(qx::gLib.cplx.levelLimit) + "," + std::to_string(qx::gLib.integer.iterLimit);
    out += "\n";
  }
  out += gLog;
  if (allTranslated) {
    bool all = true;
    const int e = c.engine == 'r' ? 0 : c.engine == 'c' ? 1 : 2;
    for (size_t r = 0; r < c.rows.size(); ++r)
      if (!c.rows[r].empty() && !qx::jit::rowTranslated(e, static_cast<int32_t>(r))) {
        // rows that never ran are not translated
        const int32_t* hits = e == 0 ? qx::gLib.real.table.hits : e == 1 ? qx::gLib.cplx.table.hits : qx::gLib.integer.table.hits;
        if (hits[r] != 0) all = false;
      }
    *allTranslated = all && qx::jit::stats().notTranslated == 0 && qx::jit::stats().failed == 0;
  }
  return out;
}

class JitTier : public FreshLibrary<4> {
 protected:
  void SetUp() override {
    saved_ = qx::jit::mode();
    FreshLibrary<4>::SetUp();
  }
  Mode saved_ = Mode::Tiered;
  void TearDown() override {
    qx::jit::setMode(saved_);
    qx::testing::failTierAllocationAfter(-1);
    FreshLibrary<4>::TearDown();
  }
  void same(const std::vector<Case>& cases) {
    if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
    for (const Case& c : cases) {
      const std::string interp = observe(c, Mode::Off, nullptr);
      bool all = false;
      const std::string jit = observe(c, Mode::Always, &all);
      EXPECT_EQ(interp, jit) << c.engine << " " << c.rows[0];
      if (!c.mayNotCompile) {
        EXPECT_EQ(interp.compare(0, 11, "compiled 0\n"), 0) << c.engine << " " << c.rows[0];
      }
      EXPECT_TRUE(all) << c.engine << " " << c.rows[0];
    }
  }
};

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

TEST_F(JitTier, ArithmeticFunctionsAndComparisonsInAllEngines) {
  std::vector<Case> cases;
  const char* const formulas[] = {
      "(a,b,c)=a+b*c-a/b",
      "(a,b,c)=a^b+c^0.5-b^c",
      "(a,b,c)=-a^b+(a-b)*(b-c)/(c-a)",
      "(a,b,c)=gt(a,b)*8+ge(a,b)*4+lt(a,c)*2+le(b,c)+eq(a,a)*16+ne(b,c)*32",
      "(a,b,c)=and(a,b)+or(b,c)*2+xor(a,c)*4+not(b)*8",
      "(a,b,c)=and(gt(a,0),not(b))",
      "(a,b,c)=sqrt(a)+exp(b)+ln(c)+lg(a)+abs(b)",
      "(a,b,c)=a/0+b/c",
      "(a,b,c)=(a+b)*(a+b)*(a+b)*(a+b)*(a+b)*(a+b)*(a+b)",
      "(a,b,c)=((((((a+1)*b)+2)*c)+3)*a)",
      "(a,b,c)=1+2*3-4/5",
  };
  const char* const realOnly[] = {
      "(a,b,c)=sin(a)*cos(b)+tan(c)+asin(a/8)+acos(b/8)+atan(c)+sinh(a)+cosh(b)+tanh(c)+int(a)",
      "(a,b,c)=atan2(a,b)+max(a,b,c)+min(a,b,c)+fmod(a,b)+sign(a,b)+dim(a,b)",
      "(x,y,z)=sqrt(x*x+y*y+z*z)",
  };
  const std::vector<std::vector<double>> argSets = {
      {1.5, -2.25, 3}, {0, 0, 0}, {-7, 2, -3}, {kNaN, 1, 2}, {kInf, -kInf, 0.5}, {2147483647, -1, 3}};
  for (const char* f : formulas)
    for (const auto& a : argSets)
      for (char e : {'r', 'c', 'i'}) cases.push_back({e, {f}, a, 3, true});
  for (const char* f : realOnly)
    for (const auto& a : argSets) cases.push_back({'r', {f}, a});
  // integer wrapping and the division rules: the edge pairs of / and mod
  // (0, -1, INT32_MIN on either side)
  const std::vector<std::vector<double>> intEdges = {
      {-2147483648.0, -1, 0}, {2147483647, 1, 2},  {-2147483648.0, 0, -1}, {7, -1, 0},
      {0, -2147483648.0, -1}, {-1, 0, -2147483648.0}, {-2147483648.0, -2147483648.0, 7}, {-1, -1, -1}};
  for (const char* f : {"(a,b,c)=a/b+a/c", "(a,b,c)=a*a+a-b", "(a,b,c)=0-a+abs(a)", "(a,b,c)=a^b",
                        "(a,b,c)=mod(a,b)+mod(a,c)*3+mod(b,a)*5+mod(c,b)*7", "(a,b,c)=b/a+c/b"})
    for (const auto& a : intEdges) cases.push_back({'i', {f}, a});
  same(cases);
}

// Unordered operands: every comparison and logical function with NaN on
// either side and on both, as a value and as the condition of a branch
// (where the machine code tests the comparison's flags directly).
TEST_F(JitTier, ComparisonsAndLogicWithNaNOnEitherSide) {
  std::vector<Case> cases;
  const std::vector<std::vector<double>> argSets = {
      {kNaN, 1, 0}, {1, kNaN, 0}, {kNaN, kNaN, 0}, {1, 1, 0}, {2, 1, 0}, {1, 2, 0}, {-kNaN, -1, 0}};
  for (const char* fn : {"gt", "ge", "lt", "le", "eq", "ne", "and", "or", "xor"}) {
    const std::string f = fn;
    for (const std::string& text :
         {"(a,b,c)=" + f + "(a,b)", "(a,b,c)=if(" + f + "(a,b),3,5)", "(a,b,c)=which(" + f + "(a,b),3,5)",
          "(a,b,c)=if(" + f + "(b,a),3,5)+" + f + "(b,a)*8"})
      for (const auto& a : argSets)
        for (char e : {'r', 'c'}) cases.push_back({e, {text}, a, 1});
  }
  for (const auto& a : argSets)
    for (char e : {'r', 'c'}) {
      cases.push_back({e, {"(a,b,c)=not(a)+not(b)*2+if(not(a),4,8)+if(b,16,32)"}, a, 1});
      cases.push_back({e, {"(a,b,c:k)=(k=0)+dowhile((k=k+1),and(lt(k,3),ne(a,b)))+k"}, a, 1});
    }
  same(cases);
}

TEST_F(JitTier, StoresMovesAndSegments) {
  std::vector<Case> cases;
  for (char e : {'r', 'c', 'i'}) {
    cases.push_back({e, {"(x)=a*2,a=x+1"}, {3}});
    cases.push_back({e, {"(x, y)=max(x,y)+b, b=[x]"}, {3, 4}});
    cases.push_back({e, {"(:t)=(t=t+1)"}, {}});
    cases.push_back({e, {"(:k,s)=(k=0)+(s=0)+(k=k+1)*(s=s+k)"}, {}});
  }
  for (Case& c : cases)
    if (c.rows[0].find("max") != std::string::npos && c.engine != 'r') c.rows[0] = "(x, y)=x+y+b, b=x";
  same(cases);
}

TEST_F(JitTier, LoopsTestsWhichAndEarlyExits) {
  const char* const formulas[] = {
      "(:k,s)=(k=0)+(s=0)+for(lt(k,3),(k=k+1),(s=s+k))+s",
      "(:u)=(u=0)+dowhile((u=u+1),lt(u,6))+u",
      "(:u)=setcyclemax(3000)+(u=0)+dowhile((u=u+1),1)+u",
      "(:u)=setcyclemax(2000)+(u=0)+for(1,(u=u+1))+u",
      "(:u)=setcyclemax(5)+(u=0)+for(1,(u=u+1))+u",
      "(:u)=(u=0)+for(lt(u,5),(u=u+1),continue(),(u=u+100))+u",
      "(:u,j)=setcyclemax(999)+(u=0)+(j=0)+for(1,(u=u+1),continue(),(j=j+1))+u*10+j",
      "(:u,j,s)=(u=0)+(s=0)+for(lt(u,4),(u=u+1),(j=0),for(lt(j,5),(j=j+1),(s=s+1)))+s",
      "(:k)=(k=0)+dowhile((k=k+1),if(ge(k,4),break()),1)+k",
      "(:u)=(u=0)+for(lt(u,10),(u=u+1),if(eq(u,3),setcyclemax(0)),(u=u+0))+u",
      "(:u)=(u=0)+for(lt(u,3),(u=u+1),setstackmax(100+u))+u",
      "(:u,j)=(u=0)+for(lt(u,3),(u=u+1),(j=0),for(lt(j,2),(j=j+1),setstackmax(1)))+u*10+j",
      "(:u,j)=(u=0)+for(lt(u,3),(u=u+1),(j=0),dowhile((j=j+1),setstackmax(40),lt(j,5)))+u*10+j",
      "(:a)=setcyclemax(1)+gt(which(0,1),0)*0+(a=3)+a",
      "(x)=if(gt(x,0),1,2)",
      "(x)=if(gt(x,0),(x=x*2),(x=x-1))+x",
      "(x)=which(lt(x,0),1,lt(x,2),2,3)",
      "(x)=which(lt(x,0),1,lt(x,2),2)",
      "(x)=which(lt(x,0),1)+which()",
      "(x)=one(x,x+1,x+2)+x",
      "(x)=return(x*2)+1",
      "(:k,s)=(s=0)+for((k=0),lt(k,5),(k=k+1),if(eq(k,3),return(s)),(s=s+k))+100",
      "(:k)=(k=0)+for(lt(k,3),(k=k+1),break(),(k=k+10))+k",
      "(:k,s)=(s=0)+(k=0)+for(lt(k,1000),(k=k+1),(s=s+1/(k*k+1)))+s",
  };
  std::vector<Case> cases;
  for (const char* f : formulas)
    for (char e : {'r', 'c', 'i'})
      for (double x : {-1.0, 1.5, 3.0}) cases.push_back({e, {f}, {x}});
  // the default iteration limit, once
  cases.push_back({'r', {"(:u)=(u=0)+for(1,(u=u+1))+u"}, {}, 1});
  same(cases);
}

// Loops whose passes make no call keep their variables in registers; every
// way out of such a loop (its test, the iteration limit, a pending error)
// must leave the value array as the interpreter does, and a loop with a
// call in it must show the call the current values. Comparisons as loop
// tests branch on the flags, also with NaN on either side.
TEST_F(JitTier, LoopsKeepingVariablesInRegisters) {
  const char* const formulas[] = {
      "(n:k,s)=(k=0)+(s=0)+for(lt(k,n),(s=s+1/(k*k+1)),(k=k+1))+s",
      "(n:k,s)=(k=0)+(s=0)+for(le(k,n),(k=k+1),(s=s+k*2))+s*100+k",
      "(n:k,s)=(k=0)+(s=0)+for(gt(n,k),(k=k+1),(s=s-k))+s*100+k",
      "(n:k,s)=(k=0)+(s=0)+for(ge(n,k),(k=k+1),(s=s+n))+s*100+k",
      "(n:k)=(k=0)+for(eq(k,0),(k=k+1))+k+n",
      "(n:k)=(k=0)+for(ne(k,n),(k=k+1))+k",
      "(n:k)=(k=n)+for(k,(k=k-1))+k",
      "(n:k)=(k=0)+for(lt(k,n),(k=k+1),(n=n-0.5))+k*100+n",
      "(n:u,s)=(u=0)+(s=0)+dowhile((u=u+1),(s=s+sin(u)*u^2),lt(u,n))+s",
      "(n:k,v,s)=(k=0)+(s=0)+for(lt(k,n),(k=k+1),(v=0),for(lt(v,k),(v=v+1),(s=s+v)))+s+v",
      "(n:k,s)=(k=0)+(s=0)+for(lt(k,n),(k=k+1),if(gt(k,2),break()),(s=s+k))+s",
      "(n:k,s)=(k=0)+(s=0)+for(lt(k,n),(k=k+1),if(eq(k,2),continue()),(s=s+k))+s",
      "(n:k,s)=(k=0)+(s=0)+for(lt(k,n),(k=k+1),(s=s+k),if(gt(s,2),return(s*10)))+s",
      "(n:a,b,c,d,p,q,r)=(a=0)+(b=1)+(c=2)+(d=3)+(p=4)+(q=5)+(r=6)+for(lt(a,n),(a=a+1),(b=b+c),(c=c+d),(d=d+p),"
      "(p=p+q),(q=q+r),(r=r+a))+a+b+c+d+p+q+r",
      "(n:k,s)=(k=0)+(s=0)+for(lt(k,n),(k=k+1),(s=s+k/(k-2)))+s",
  };
  std::vector<Case> cases;
  // NaN makes lt and le true: only the tests of the first formulas take it
  // (le(i,n) then runs to the iteration limit); ne(i,n) with a fractional
  // or negative n runs to the limit, which the cases below cover.
  const size_t takesNaN[] = {1, 2, 3, 4, 6};
  for (size_t k = 0; k < sizeof formulas / sizeof formulas[0]; ++k)
    for (char e : {'r', 'c', 'i'})
      for (double x : {-1.0, 2.5, 4.0, kNaN}) {
        if (x != x && (e == 'i' || std::find(std::begin(takesNaN), std::end(takesNaN), k) == std::end(takesNaN)))
          continue;
        if (std::strstr(formulas[k], "ne(k,n)") && x != 4.0) continue;
        cases.push_back({e, {formulas[k]}, {x}, x != x ? 1 : 2, e == 'i' && std::strstr(formulas[k], "sin")});
      }
  // The iteration limit ends a loop in registers, once per engine and kind.
  for (char e : {'r', 'c', 'i'}) {
    cases.push_back({e, {"(n:k)=(k=0)+for(ne(k,n),(k=k+1))+k"}, {-1.0}, 1});
    cases.push_back({e, {"(n:u)=(u=0)+dowhile((u=u+1),1)+u"}, {0.0}, 1});
  }
  // A host function inside the loop sees the variables as they are.
  for (double x : {-1.0, 3.0}) {
    cases.push_back({'r', {"(n:k,s)=(k=0)+(s=0)+for(lt(k,n),(k=k+1),(s=s+hv(k)))+s"}, {x}});
    cases.push_back({'r', {"(n:k,s)=(k=0)+(s=0)+for(lt(k,n),(k=k+1),(s=s+k),(s=s*hv(s)))+s"}, {x}});
  }
  same(cases);
}

// A host that changes the constants of an assignment inside such a loop
// gets the interpreter's result for the new values.
TEST_F(JitTier, LoopAssignmentsFollowChangedConstants) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  for (int changed = 0; changed < 3; ++changed) {
    std::string seen[2];
    for (Mode m : {Mode::Off, Mode::Always}) {
      deletedll();
      ASSERT_EQ(setfornum(2), 1);
      qx::jit::setMode(m);
      char f[] = "(x:v,k)=(k=0)+(v=0)+for(lt(k,3),(k=k+1),(v=v+x*7))+v";
      int32_t last;
      ASSERT_EQ(rcom(0, f, &last), 0);
      double* vals = getin(0);
      const int32_t lastSlot = qx::gLib.real.table.header[0][qx::H_LAST_SLOT];
      int32_t at = -1;
      for (int32_t i = 1; i + 1 <= lastSlot; ++i)
        if (vals[i - 1] == 7 && vals[i] == 1 && vals[i + 1] == 0) at = i;
      ASSERT_GE(at, 0);
      if (changed == 1) vals[at] = 5;
      if (changed == 2) vals[at + 1] = 3;
      std::string& out = seen[m == Mode::Off ? 0 : 1];
      for (double x : {3.0, -2.0}) {
        out += bits(rcal(0, &x));
        for (int32_t i = 0; i <= lastSlot; ++i) out += bits(vals[i]);
        out += "\n";
      }
      EXPECT_EQ(qx::jit::rowTranslated(0, 0), m == Mode::Always);
    }
    EXPECT_EQ(seen[0], seen[1]) << changed;
  }
}

TEST_F(JitTier, HostFunctionsFormulaCallsAndCrossEngineCalls) {
  std::vector<Case> cases;
  // host functions see their arguments at the interpreter's addresses
  cases.push_back({'r', {"(x,y)=hr(x,y,x*y)+hr()*2+hw(x+1)+x"}, {2, 3}});
  cases.push_back({'r', {"(:i,s)=(s=0)+(i=0)+for(lt(i,4),(i=i+1),(s=s+hr(i,s)))+s"}, {}});
  cases.push_back({'c', {"(x,y)=hc(x,y,x*y)+hc()"}, {2, 3}});
  cases.push_back({'i', {"(x,y)=hi(x,y,x*y)+hi()"}, {2, 3}});
  // formula calls, recursion sharing the row's stack area
  for (char e : {'r', 'c', 'i'}) {
    cases.push_back({e, {"(x)=calfor(1,x)+calfor(1,x+1)*para(1,0)", "(y)=y*y+1"}, {3}});
    cases.push_back({e, {"(x)=call(1)+para(1,0)", "(y)=(y=y+5)"}, {3}});
    cases.push_back({e, {"(n)=if(gt(n,0),n+calfor(0,n-1)*2,1)"}, {6}});
    cases.push_back({e, {"(x)=calfor(3,x)+calfor(9,x)+calfor(2)", "(y)=y", "", ""}, {1}});
    cases.push_back({e, {"(n)=calfor(0,n+1)"}, {1}});  // runs into the nesting limit
  }
  // across engines
  cases.push_back({'r', {"(x)=califor(0,x)+calcfor(0,x,1)"}, {2}});
  cases.push_back({'c', {"(x)=calrfor(0,x)+califor(0,x)"}, {2}});
  same(cases);
}

// An assignment runs as a plain store while its two hidden constants hold
// 1 and 0; a host that changes them through getin gets what the
// interpreter computes from the new values.
TEST_F(JitTier, AssignmentsFollowChangedConstants) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  for (int changed = 0; changed < 3; ++changed) {
    double results[2][3];
    for (Mode m : {Mode::Off, Mode::Always}) {
      deletedll();
      ASSERT_EQ(setfornum(2), 1);
      qx::jit::setMode(m);
      char f[] = "(x:v)=(v=x*2)+v";
      int32_t last;
      ASSERT_EQ(rcom(0, f, &last), 0);
      double* vals = getin(0);
      const int32_t lastSlot = qx::gLib.real.table.header[0][qx::H_LAST_SLOT];
      int32_t at = -1;
      for (int32_t i = 1; i + 1 <= lastSlot; ++i)
        if (vals[i - 1] == 2 && vals[i] == 1 && vals[i + 1] == 0) at = i;
      ASSERT_GE(at, 0);
      if (changed == 1) vals[at] = 5;
      if (changed == 2) vals[at + 1] = 3;
      double x = 3;
      const int k = m == Mode::Off ? 0 : 1;
      results[k][0] = rcal(0, &x);
      results[k][1] = vals[1];  // v
      x = -2;
      results[k][2] = rcal(0, &x);
      EXPECT_EQ(qx::jit::rowTranslated(0, 0), m == Mode::Always);
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(results[0][i], results[1][i]) << changed << " " << i;
    if (changed == 0) EXPECT_EQ(results[1][0] + results[1][2], 12.0 - 8.0);
    else EXPECT_NE(results[1][0] + results[1][2], 12.0 - 8.0);
  }
}

TEST_F(JitTier, RowsAreTranslatedAtTheThresholdAndReleased) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  qx::jit::setMode(Mode::Tiered);
  qx::jit::resetStats();
  char f[] = "(x)=x*2+sin(x)";
  int32_t last;
  ASSERT_EQ(rcom(0, f, &last), 0);
  double x = 0.5;
  for (int32_t i = 1; i < qx::jit::kThreshold; ++i) rcal(0, &x);
  EXPECT_FALSE(qx::jit::rowTranslated(0, 0));
  EXPECT_EQ(rcal(0, &x), x * 2 + std::sin(x));
  EXPECT_TRUE(qx::jit::rowTranslated(0, 0));
  EXPECT_EQ(qx::jit::stats().translated, 1u);
  // recompiling releases it, and the new formula counts from the start
  char g[] = "(x)=x+1";
  ASSERT_EQ(rcom(0, g, &last), 0);
  EXPECT_FALSE(qx::jit::rowTranslated(0, 0));
  EXPECT_EQ(qx::jit::stats().released, 1u);
  EXPECT_EQ(rcal(0, &x), 1.5);
  // a resize and deletedll release as well
  qx::jit::setMode(Mode::Always);
  EXPECT_EQ(rcal(0, &x), 1.5);
  EXPECT_TRUE(qx::jit::rowTranslated(0, 0));
  ASSERT_EQ(setfornum(2), 1);
  EXPECT_EQ(qx::jit::stats().released, 2u);
  ASSERT_EQ(rcom(0, g, &last), 0);
  EXPECT_EQ(rcal(0, &x), 1.5);
  deletedll();
  EXPECT_EQ(qx::jit::stats().released, 3u);
  EXPECT_EQ(qx::testing::liveTierAllocations(), 0);
  // switching the tier off stops machine code at once
  ASSERT_EQ(setfornum(2), 1);
  ASSERT_EQ(rcom(0, g, &last), 0);
  EXPECT_EQ(rcal(0, &x), 1.5);
  EXPECT_TRUE(qx::jit::rowTranslated(0, 0));
  qx::jit::setMode(Mode::Off);
  EXPECT_FALSE(qx::jit::rowTranslated(0, 0));
  EXPECT_EQ(rcal(0, &x), 1.5);
  EXPECT_FALSE(qx::jit::rowTranslated(0, 0));
  EXPECT_EQ(qx::jit::mode(), Mode::Off);
}

// What a host function sees while the host's own evaluation of a
// translated row runs: the nesting depth, the table in use, the row busy.
struct Seen {
  int32_t depth, active, busy, recompile;
};
Seen gSeen;
double probe(int32_t, double* a) {
  char text[] = "(x)=x";
  int32_t last;
  gSeen = {qx::gLib.depth, qx::gLib.active[0], qx::gLib.real.table.busy[1], rcom(1, text, &last)};
  return a[0];
}

// rcal, rcals and Ical reach a translated row's code by a short path when
// the host calls them itself; it must keep what the checked path does.
TEST_F(JitTier, TheHostsOwnEvaluationOfATranslatedRowKeepsTheRules) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  qx::jit::setMode(Mode::Always);
  static const char* const names[] = {"probe", ""};
  static const int32_t rules[] = {0};
  static const QxRealFn fns[] = {probe};
  ASSERT_EQ(setfcfun(names, rules, fns), 1);
  userci();
  int32_t last;
  char twice[] = "(x)=x*2";
  char probed[] = "(x)=probe(x)+1";
  char loop[] = "(n:i,s)=(i=0)+(s=0)+for(lt(i,n),(s=s+1),(i=i+1))+s";
  ASSERT_EQ(rcom(0, twice, &last), 0);
  ASSERT_EQ(rcom(1, probed, &last), 0);
  ASSERT_EQ(rcom(2, loop, &last), 0);
  double x = 1.5;
  EXPECT_EQ(rcal(0, &x), 3.0);
  ASSERT_TRUE(qx::jit::rowTranslated(0, 0));
  // a row the host switched off through its flag yields 0 and runs nothing
  getfortrue()[0] = 0;
  EXPECT_TRUE(sameBits(rcal(0, &x), 0.0));
  getfortrue()[0] = 1;
  // rcals keeps the parameters the row holds
  x = 4;
  EXPECT_EQ(rcal(0, &x), 8.0);
  EXPECT_EQ(rcals(0), 8.0);
  EXPECT_EQ(getin(0)[0], 4.0);
  // inside: one evaluation deep, the table in use, the row busy
  EXPECT_EQ(rcal(1, &x), 5.0);
  EXPECT_EQ(gSeen.depth, 1);
  EXPECT_EQ(gSeen.active, 1);
  EXPECT_EQ(gSeen.busy, 1);
  EXPECT_EQ(gSeen.recompile, QX_ERR_ROW_BUSY);
  EXPECT_EQ(qx::gLib.depth, 0);
  EXPECT_EQ(qx::gLib.active[0], 0);
  EXPECT_EQ(qx::gLib.real.table.busy[1], 0);
  // an interrupt requested while nothing ran is dropped
  double n = 50;
  EXPECT_EQ(rcal(2, &n), 50.0);
  fcinterrupt();
  EXPECT_EQ(rcal(2, &n), 50.0);
  EXPECT_EQ(fcerrnum(), 0);
}

TEST_F(JitTier, FailedTranslationsLeaveTheRowInTheInterpreter) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  qx::jit::setMode(Mode::Always);
  int32_t last;
  // every allocation of a translation, and the executable memory, refused in turn
  for (int64_t k = 0;; ++k) {
    deletedll();
    ASSERT_EQ(setfornum(2), 1);
    ASSERT_EQ(Csetfornum(2), 1);
    ASSERT_EQ(Isetfornum(2), 1);
    qx::jit::resetStats();
    char f[] = "(:k,s)=(s=0)+(k=0)+for(lt(k,10),(k=k+1),(s=s+k))+s";
    char g[] = "(:k,s)=(s=0)+(k=0)+for(lt(k,10),(k=k+1),(s=s+k))+s";
    char h[] = "(:k,s)=(s=0)+(k=0)+for(lt(k,10),(k=k+1),(s=s+k))+s";
    ASSERT_EQ(rcom(0, f, &last), 0);
    ASSERT_EQ(Ccom(0, g, &last), 0);
    ASSERT_EQ(Icom(0, h, &last), 0);
    const int64_t before = qx::testing::tierAllocationCount();
    qx::testing::failTierAllocationAfter(k);
    const double r = rcal(0, nullptr);
    const QxComplex c = Ccal(0, nullptr);
    const int32_t i = Ical(0, nullptr);
    qx::testing::failTierAllocationAfter(-1);
    EXPECT_EQ(r, 55.0);
    EXPECT_EQ(c.re, 55.0);
    EXPECT_EQ(i, 55);
    EXPECT_EQ(fcerr(nullptr), 0);
    EXPECT_EQ(Cfcerr(nullptr), 0);
    EXPECT_EQ(Ifcerr(nullptr), 0);
    const qx::jit::Stats s = qx::jit::stats();
    EXPECT_EQ(s.translated + s.failed, 3u);
    const int64_t steps = qx::testing::tierAllocationCount() - before;
    if (k >= steps) {
      EXPECT_EQ(s.failed, 0u);
      break;
    }
    EXPECT_EQ(s.failed, 1u) << k;
    // the failed row keeps working in the interpreter
    EXPECT_EQ(rcal(0, nullptr), 55.0);
    EXPECT_EQ(Ical(0, nullptr), 55);
  }
  deletedll();
  EXPECT_EQ(qx::testing::liveTierAllocations(), 0);
}

// No mapping of the process is writable and executable at once, with rows
// of all three engines translated.
TEST_F(JitTier, NoWritableAndExecutableMemory) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  qx::jit::setMode(Mode::Always);
  int32_t last;
  char f[] = "(x)=x*2+sin(x)";
  char g[] = "(z)=z*z+1";
  char h[] = "(x)=x/3";
  ASSERT_EQ(rcom(0, f, &last), 0);
  ASSERT_EQ(Ccom(0, g, &last), 0);
  ASSERT_EQ(Icom(0, h, &last), 0);
  double x = 1;
  QxComplex cx{1, 1};
  int32_t ix = 9;
  rcal(0, &x);
  Ccal(0, &cx);
  EXPECT_EQ(Ical(0, &ix), 3);
  EXPECT_TRUE(qx::jit::rowTranslated(0, 0));
  EXPECT_TRUE(qx::jit::rowTranslated(1, 0));
  EXPECT_TRUE(qx::jit::rowTranslated(2, 0));
  int regions = 0;
#ifdef _WIN32
  // Every committed region of the address space, as VirtualQuery reports it.
  const DWORD writableCode = PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  MEMORY_BASIC_INFORMATION r;
  for (const char* at = nullptr; VirtualQuery(at, &r, sizeof r) == sizeof r;
       at = static_cast<const char*>(r.BaseAddress) + r.RegionSize) {
    ++regions;
    if (r.State == MEM_COMMIT) {
      EXPECT_EQ(r.Protect & writableCode, 0u) << r.BaseAddress << " size " << r.RegionSize << " protection "
                                              << r.Protect << " type " << r.Type;
    }
    if (static_cast<const char*>(r.BaseAddress) + r.RegionSize < at) break;  // wrapped around
  }
#else
  FILE* maps = std::fopen("/proc/self/maps", "r");
  ASSERT_NE(maps, nullptr);
  char line[512];
  while (std::fgets(line, sizeof line, maps)) {
    ++regions;
    char perms[8] = {};
    ASSERT_EQ(std::sscanf(line, "%*s %7s", perms), 1);
    EXPECT_FALSE(perms[1] == 'w' && perms[2] == 'x') << line;
  }
  std::fclose(maps);
#endif
  EXPECT_GT(regions, 0);
}

// The suite runs twice, with QUIBEX_JIT=0 and QUIBEX_JIT=always: in the
// second run the tests that leave the tier alone must run machine code.
TEST_F(JitTier, TheEnvironmentPicksTheTier) {
  const char* env = std::getenv("QUIBEX_JIT");
  if (!env) GTEST_SKIP() << "QUIBEX_JIT is not set";
  char f[] = "(x)=x*3+1";
  int32_t last;
  ASSERT_EQ(rcom(0, f, &last), 0);
  const double x = 2;
  EXPECT_EQ(rcal(0, &x), 7.0);
  if (std::strcmp(env, "always") == 0 && qx::jit::available()) {
    EXPECT_EQ(qx::jit::mode(), Mode::Always);
    EXPECT_TRUE(qx::jit::rowTranslated(0, 0));
  } else if (std::strcmp(env, "0") == 0) {
    EXPECT_EQ(qx::jit::mode(), Mode::Off);
    EXPECT_FALSE(qx::jit::rowTranslated(0, 0));
  }
}

// With QX_TIER_REPORT set, the counts of the whole run go to stderr at
// the end: how many rows that reached translation got machine code.
class TierReport : public ::testing::Environment {
 public:
  void TearDown() override {
    if (!std::getenv("QX_TIER_REPORT")) return;
    const qx::jit::Stats s = qx::jit::lifetimeStats();
    std::fprintf(stderr,
                 "tier report: translated %llu failed %llu not translated %llu released %llu handed over %llu\n",
                 static_cast<unsigned long long>(s.translated), static_cast<unsigned long long>(s.failed),
                 static_cast<unsigned long long>(s.notTranslated), static_cast<unsigned long long>(s.released),
                 static_cast<unsigned long long>(qx::jit::handovers()));
  }
};
::testing::Environment* const kTierReport = ::testing::AddGlobalTestEnvironment(new TierReport);

}  // namespace

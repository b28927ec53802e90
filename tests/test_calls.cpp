// Formulas calling formulas (also across engines), the data stores, and
// the bound on nested evaluations.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include "fresh_library.h"
#include "quibex.h"

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

// Host functions, named constants, error records and calls back into the
// library from inside an evaluation.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "alloc.h"
#include "engine.h"
#include "quibex.h"

namespace {

struct Fresh : ::testing::Test {
  void SetUp() override { deletedll(); }
  void TearDown() override { deletedll(); }
  static void sizeAll(int32_t n = 10) {
    ASSERT_EQ(setfornum(n), 1);
    ASSERT_EQ(Csetfornum(n), 1);
    ASSERT_EQ(Isetfornum(n), 1);
    userci();
  }
  static int32_t compile(int32_t row, const std::string& text) {
    std::string copy = text;
    int32_t last = -99;
    return rcom(row, copy.data(), &last);
  }
};

// What the last host call saw.
int32_t gLastIndex;
std::vector<double> gArgs;

double recordArgs(int32_t lastIndex, double* args) {
  gLastIndex = lastIndex;
  gArgs.assign(args, args + lastIndex + 2);  // arguments and the index slot
  return 42.0;
}

double twice(int32_t, double* args) { return 2 * args[0]; }

double failing(int32_t lastIndex, double* args) {
  // A host function follows the first-error rule itself.
  if (fcerrnum() == 0) setfcerr(static_cast<int32_t>(args[0]), lastIndex == 0 ? "failing" : "failing2");
  return 0.0;
}

TEST_F(Fresh, HostFunctionsReceiveArgumentsAndTheirIndex) {
  static const char* names[] = {"probe", "twice", "sin", "max", "AREA", ""};
  static const int32_t rules[] = {-2, 0, 0, 1, 0};
  static const QxRealFn fns[] = {recordArgs, twice, twice, twice, twice};
  ASSERT_EQ(setfcfun(names, rules, fns), 1);
  sizeAll();

  ASSERT_EQ(compile(0, "probe(1,2,3)"), 0);
  EXPECT_EQ(rcal(0, nullptr), 42.0);
  EXPECT_EQ(gLastIndex, 2);
  EXPECT_EQ(gArgs, (std::vector<double>{1, 2, 3, 48}));

  ASSERT_EQ(compile(0, "probe()"), 0);
  rcal(0, nullptr);
  EXPECT_EQ(gLastIndex, -1);
  EXPECT_EQ(gArgs, (std::vector<double>{48}));

  // Fixed rules are checked by the compiler.
  EXPECT_EQ(compile(1, "twice(1,2)"), QX_ERR_ARG_COUNT);
  EXPECT_EQ(compile(1, "twice()"), QX_ERR_ARG_COUNT);
  ASSERT_EQ(compile(1, "(x)=twice(x)+TWICE(1)"), 0);
  double x = 5;
  EXPECT_EQ(rcal(1, &x), 12.0);

  // A host function named like a one-argument function replaces it; one
  // named like a built-in second-level function does not.
  ASSERT_EQ(compile(2, "sin(3)"), 0);
  EXPECT_EQ(rcal(2, nullptr), 6.0);
  ASSERT_EQ(compile(2, "max(3,7)"), 0);
  EXPECT_EQ(rcal(2, nullptr), 7.0);

  // Registered with a capital letter: never found.
  EXPECT_EQ(compile(3, "area(1)"), QX_ERR_UNDEFINED_FUNCTION);
  EXPECT_EQ(compile(3, "AREA(1)"), QX_ERR_UNDEFINED_FUNCTION);
}

TEST_F(Fresh, RegistrationRulesAndStaleIndices) {
  static const char* empty[] = {""};
  static const int32_t rules[] = {0, 0};
  static const QxRealFn fns[] = {twice, recordArgs};
  EXPECT_EQ(setfcfun(empty, rules, fns), 0);

  static const char* two[] = {"twice", "probe", ""};
  ASSERT_EQ(setfcfun(two, rules, fns), 1);
  sizeAll();
  ASSERT_EQ(compile(0, "probe(5)+1"), 0);
  EXPECT_EQ(rcal(0, nullptr), 43.0);

  // A shorter list afterwards: the compiled index 49 is beyond the table.
  static const char* one[] = {"twice", ""};
  ASSERT_EQ(setfcfun(one, rules, fns), 1);
  EXPECT_EQ(rcal(0, nullptr), 1.0);
  const char* name = nullptr;
  EXPECT_EQ(fcerr(&name), QX_RTERR_STALE_FUNCTION);
  ASSERT_NE(name, nullptr);
  EXPECT_STREQ(name, QX_RTERR_STALE_FUNCTION_NAME);

  // No host names at all: former host functions no longer compile.
  EXPECT_EQ(setfcfun(nullptr, rules, fns), 1);
  EXPECT_EQ(compile(1, "twice(2)"), QX_ERR_UNDEFINED_FUNCTION);
  EXPECT_EQ(rcal(0, nullptr), 1.0);
  EXPECT_EQ(fcerrnum(), QX_RTERR_STALE_FUNCTION);
  setfcerr(0, nullptr);

  // A failed rebuild leaves no table: no second-level function compiles,
  // formulas without them still do, compiled calls report the stale index.
  ASSERT_EQ(compile(2, "max(1,2)"), 0);
  qx::testing::failAllocationAfter(0);  // the name lengths: nothing changes
  EXPECT_EQ(setfcfun(two, rules, fns), 0);
  EXPECT_EQ(compile(1, "max(1,2)"), 0);
  qx::testing::failAllocationAfter(1);  // the merged table itself
  EXPECT_EQ(setfcfun(two, rules, fns), 0);
  qx::testing::failAllocationAfter(-1);
  EXPECT_EQ(compile(1, "max(1,2)"), QX_ERR_UNDEFINED_FUNCTION);
  EXPECT_EQ(compile(1, "1+sin(0)"), 0);
  EXPECT_EQ(rcal(2, nullptr), 0.0);
  EXPECT_EQ(fcerr(&name), QX_RTERR_STALE_FUNCTION);
  ASSERT_EQ(setfcfun(two, rules, fns), 1);
  EXPECT_EQ(rcal(2, nullptr), 2.0);
}

TEST_F(Fresh, NamedConstants) {
  static const char* names[] = {"c", "k", "c", "Big", ""};
  double values[] = {3, 10, 99, 7};
  setdoubleconst(names, values);
  sizeAll();
  double x = 2;
  ASSERT_EQ(compile(0, "(x)=c*x+k"), 0);
  EXPECT_EQ(rcal(0, &x), 16.0);  // the first "c" wins
  ASSERT_EQ(compile(1, "(c)=c*2"), 0);
  EXPECT_EQ(rcal(1, &x), 4.0);  // a variable hides a constant
  EXPECT_EQ(compile(2, "big"), QX_ERR_UNDEFINED_NAME);
  values[0] = 1000;  // compiled formulas keep the value they were compiled with
  EXPECT_EQ(rcal(0, &x), 16.0);
  setdoubleconst(nullptr, nullptr);
  EXPECT_EQ(compile(2, "c"), QX_ERR_UNDEFINED_NAME);

  static const char* cnames[] = {"w", "i", ""};
  static const QxComplex cvalues[] = {{1, 2}, {5, 5}};
  Csetcomplexconst(cnames, cvalues);
  std::string t = "w*i";
  int32_t last;
  ASSERT_EQ(Ccom(0, t.data(), &last), 0);
  QxComplex r = Ccal(0, nullptr);  // "i" is always the imaginary unit
  EXPECT_EQ(r.re, -2.0);
  EXPECT_EQ(r.im, 1.0);

  static const char* inames[] = {"n", ""};
  static const int32_t ivalues[] = {-7};
  Isetlongconst(inames, ivalues);
  t = "n/2";
  ASSERT_EQ(Icom(0, t.data(), &last), 0);
  EXPECT_EQ(Ical(0, nullptr), -3);
}

// Regression: a registration with names but a null value array used to be
// kept, and the first compile that named a constant read through the null
// pointer. Either address null now means no constants, in every engine.
TEST_F(Fresh, NullConstantArraysMeanNoConstants) {
  static const char* names[] = {"c", ""};
  static const double values[] = {3};
  static const QxComplex cvalues[] = {{3, 1}};
  static const int32_t ivalues[] = {3};
  sizeAll();
  int32_t last;
  for (int e = 0; e < 3; ++e) {
    SCOPED_TRACE(e);
    auto com = [&](const char* text) {
      std::string t = text;
      return e == 0 ? rcom(0, t.data(), &last) : e == 1 ? Ccom(0, t.data(), &last) : Icom(0, t.data(), &last);
    };
    auto reg = [&](const char* const* n, bool withValues) {
      if (e == 0) setdoubleconst(n, withValues ? values : nullptr);
      else if (e == 1) Csetcomplexconst(n, withValues ? cvalues : nullptr);
      else Isetlongconst(n, withValues ? ivalues : nullptr);
    };
    reg(names, true);
    ASSERT_EQ(com("c*2"), QX_OK);
    reg(names, false);  // replaces the registration: no constants at all
    EXPECT_EQ(com("c*2"), QX_ERR_UNDEFINED_NAME);
    EXPECT_EQ(com("(c)=c*2"), QX_OK);  // variables are unaffected
    EXPECT_EQ(com("(x)=x+zz"), QX_ERR_UNDEFINED_NAME);
    reg(nullptr, true);
    EXPECT_EQ(com("c*2"), QX_ERR_UNDEFINED_NAME);
    reg(names, true);
    ASSERT_EQ(com("c*2"), QX_OK);
    if (e == 0) {
      EXPECT_EQ(rcal(0, nullptr), 6.0);
    } else if (e == 1) {
      EXPECT_EQ(Ccal(0, nullptr).im, 2.0);
    } else {
      EXPECT_EQ(Ical(0, nullptr), 6);
    }
  }
}

TEST_F(Fresh, ErrorRecordsFollowTheFirstErrorRule) {
  static const char* names[] = {"failing", ""};
  static const int32_t rules[] = {-2};
  static const QxRealFn fns[] = {failing};
  ASSERT_EQ(setfcfun(names, rules, fns), 1);
  sizeAll();
  ASSERT_EQ(compile(0, "failing(3)+failing(4,1)"), 0);
  rcal(0, nullptr);
  EXPECT_EQ(fcerrnum(), 3);
  EXPECT_EQ(fcerrnum(), 3);  // reading leaves it pending
  const char* name = nullptr;
  EXPECT_EQ(fcerr(&name), 3);
  EXPECT_STREQ(name, "failing");
  EXPECT_EQ(fcerr(&name), 0);  // fetched: cleared
  EXPECT_STREQ(name, "failing");

  // setfcerr sets unconditionally; a built-in error does not overwrite it.
  setfcerr(3, "host");
  setfcerr(5, "other");
  ASSERT_EQ(compile(1, "getd(-1)"), 0);
  rcal(1, nullptr);
  EXPECT_EQ(fcerr(&name), 5);
  EXPECT_STREQ(name, "other");

  // An error stays pending into the next evaluation and stops loops at their
  // next pass; the library never clears it.
  ASSERT_EQ(compile(2, "(:n)=(n=0)+for(1,(n=n+1))+n"), 0);
  setfcerr(9, "pending");
  EXPECT_EQ(rcal(2, nullptr), 1.0);
  EXPECT_EQ(compile(3, "1"), 0);
  EXPECT_EQ(setfornum(10), 1);
  EXPECT_EQ(fcerrnum(), 9);
  setfcerr(0, nullptr);
  EXPECT_EQ(fcerrnum(), 0);

  // The three records are independent.
  Csetfcerr(1, "c");
  Isetfcerr(2, "i");
  EXPECT_EQ(fcerrnum(), 0);
  EXPECT_EQ(Cfcerr(&name), 1);
  EXPECT_STREQ(name, "c");
  EXPECT_EQ(Ifcerr(&name), 2);
  EXPECT_STREQ(name, "i");
  EXPECT_EQ(STDCfcerrnum(), 0);
}

// Calls back into the library from a host function during an evaluation.
std::vector<std::string> gLog;

double callback(int32_t, double* args) {
  const int what = static_cast<int>(args[0]);
  switch (what) {
    case 0: {  // queries and another row
      double* in = getin(1);
      in[0] = 20;
      const double other = rcals(1);
      if (getfortrue()[1] != 1 || getvarnum()[1] != 0) gLog.push_back("bad queries");
      return other;
    }
    case 1: {  // compile another row
      std::string t = "(x)=x*3";
      int32_t last = -1;
      gLog.push_back("rcom other " + std::to_string(rcom(2, t.data(), &last)));
      return 0;
    }
    case 2: {  // compile the row being evaluated: refused
      std::string t = "5";
      int32_t last = -1;
      gLog.push_back("rcom self " + std::to_string(rcom(0, t.data(), &last)));
      return 0;
    }
    case 3:  // resize the table being evaluated: refused
      gLog.push_back("setfornum " + std::to_string(setfornum(3)));
      return 0;
    case 4:  // release everything: ignored while evaluating
      deletedll();
      gLog.push_back("deletedll");
      return 0;
    default:
      return -1;
  }
}

TEST_F(Fresh, HostFunctionsCallBackIntoTheLibrary) {
  static const char* names[] = {"cb", ""};
  static const int32_t rules[] = {0};
  static const QxRealFn fns[] = {callback};
  ASSERT_EQ(setfcfun(names, rules, fns), 1);
  sizeAll();
  ASSERT_EQ(compile(1, "(x)=x+1"), 0);
  ASSERT_EQ(compile(0, "(k)=cb(k)"), 0);
  double k = 0;
  EXPECT_EQ(rcal(0, &k), 21.0);
  k = 1;
  rcal(0, &k);
  k = 2;
  rcal(0, &k);
  k = 3;
  rcal(0, &k);
  k = 4;
  rcal(0, &k);
  ASSERT_EQ(gLog, (std::vector<std::string>{"rcom other 0", "rcom self 27", "setfornum 0", "deletedll"}));
  // Everything still in place afterwards.
  EXPECT_EQ(getfortrue()[0], 1);
  double x = 2;
  EXPECT_EQ(rcal(2, &x), 6.0);
  EXPECT_EQ(rcal(1, &x), 3.0);
  EXPECT_EQ(setfornum(3), 1);  // allowed again once nothing runs
}

QxComplex cprobe(int32_t lastIndex, QxComplex* args) {
  return QxComplex{static_cast<double>(lastIndex), args[lastIndex + 1].re};
}
int32_t iprobe(int32_t lastIndex, int32_t* args) { return lastIndex * 1000 + args[lastIndex + 1]; }

TEST_F(Fresh, ComplexAndIntegerHostFunctions) {
  static const char* names[] = {"probe", ""};
  static const int32_t rules[] = {-2};
  static const QxComplexFn cfns[] = {cprobe};
  static const QxIntFn ifns[] = {iprobe};
  ASSERT_EQ(Csetfcfun(names, rules, cfns), 1);
  ASSERT_EQ(Isetfcfun(names, rules, ifns), 1);
  sizeAll();
  std::string t = "probe(1,2i)";
  int32_t last;
  ASSERT_EQ(Ccom(0, t.data(), &last), 0);
  QxComplex r = Ccal(0, nullptr);
  EXPECT_EQ(r.re, 1.0);
  EXPECT_EQ(r.im, 35.0);  // first complex host function has index 35
  t = "probe(1,2,3)";
  ASSERT_EQ(Icom(0, t.data(), &last), 0);
  EXPECT_EQ(Ical(0, nullptr), 2040);  // index 40
}

}  // namespace

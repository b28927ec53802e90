// Evaluation of compiled formulas: operators and precedence, one-argument
// functions, comparisons and logic, assignments, segments and the argument
// exports, first in the real engine, then the same tables through the
// complex and integer engines, then what only those engines do.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <complex>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine.h"
#include "evaluator/evaluator.h"
#include "fresh_library.h"
#include "jit/jit.h"
#include "quibex.h"

namespace {

const double kInf = std::numeric_limits<double>::infinity();
const double kNaN = std::numeric_limits<double>::quiet_NaN();

class EvalConformance : public FreshLibrary<4> {
 protected:
  // Compile into row 0 and evaluate with the given arguments. In a run with
  // every row translated (QUIBEX_JIT=always) the row must have run as
  // machine code, or these tests would check the interpreter twice.
  static double real(const std::string& f, const std::vector<double>& args = {}) {
    std::string text = f;
    int32_t last = -9;
    EXPECT_EQ(rcom(0, text.data(), &last), 0) << f;
    EXPECT_EQ(last + 1, static_cast<int32_t>(args.size())) << f;
    const double v = rcal(0, args.empty() ? nullptr : args.data());
    ranAsMachineCode(0, f);
    return v;
  }
  static QxComplex cplx(const std::string& f, const std::vector<QxComplex>& args = {}) {
    std::string text = f;
    int32_t last = -9;
    EXPECT_EQ(Ccom(0, text.data(), &last), 0) << f;
    EXPECT_EQ(last + 1, static_cast<int32_t>(args.size())) << f;
    const QxComplex v = Ccal(0, args.empty() ? nullptr : args.data());
    ranAsMachineCode(1, f);
    return v;
  }
  static int32_t integer(const std::string& f, const std::vector<int32_t>& args = {}) {
    std::string text = f;
    int32_t last = -9;
    EXPECT_EQ(Icom(0, text.data(), &last), 0) << f;
    EXPECT_EQ(last + 1, static_cast<int32_t>(args.size())) << f;
    const int32_t v = Ical(0, args.empty() ? nullptr : args.data());
    ranAsMachineCode(2, f);
    return v;
  }
  static void ranAsMachineCode(int engine, const std::string& f) {
    static const bool always = [] {
      const char* e = std::getenv("QUIBEX_JIT");
      return qx::jit::available() && e && std::strcmp(e, "always") == 0;
    }();
    if (always && qx::jit::mode() != qx::jit::Mode::Off) {
      EXPECT_TRUE(qx::jit::rowTranslated(engine, 0)) << "not translated: " << f;
    }
  }
};

struct Case {
  const char* f;
  std::vector<double> args;
  double want;
};

// Formulas with integral results, which every engine must compute alike.
const std::vector<Case>& sharedTable() {
  static const std::vector<Case> cases = {
      // precedence and associativity
      {"2^3^2", {}, 64}, {"(a,b,c)=a-b-c", {10, 3, 2}, 5}, {"(x)=-x^2", {3}, -9},
      {"(a,b,c)=a+b*c", {1, 2, 3}, 7}, {"(a,b,c)=(a+b)*c", {1, 2, 3}, 9}, {"(a,b,c)=a/b/c", {12, 2, 3}, 2},
      {"(a,b,c)=a-b+c", {1, 2, 3}, 2}, {"(a,b,c)=a*b^c", {3, 2, 3}, 24}, {"(x)=-(-x)", {4}, 4},
      {"(x)=+x", {4}, 4}, {"(x)=[x+1]*{x-1}", {5}, 24}, {"(x)=2*3*x", {5}, 30}, {"(x)=x*2*3", {5}, 30},
      {"(x)=x-2*3+1", {10}, 5}, {"(x)=(x-2)*(3+1)", {10}, 32}, {"(x)=2^x-1", {4}, 15},
      {"(x)=x^2^2", {2}, 16}, {"(x)=2^(x+1)", {2}, 8}, {"(x,y)=x-(-y)", {1, 2}, 3},
      {"(x)=sqrt(x)*2", {16}, 8}, {"(x)=abs(0-x)", {5}, 5}, {"ln(1)", {}, 0}, {"exp(0)", {}, 1},
      {"(X,Y)=X*Y", {3, 4}, 12}, {"(x)=sqrt(abs(x))", {-9}, 3}, {" 1 2+ 3 ", {}, 15},
      {"( a b )=a b*2+ab s(0-1)", {3}, 7},
      // assignments, locals and segments
      {"(x)=(x=x+1)*2", {3}, 8}, {"(x:t)=(t=x*2)+t", {3}, 12}, {"(x:a,b)=(a=(b=x+1)*2)+b", {2}, 9},
      {"(x)=a*b, a=x+1, b=x-1", {5}, 24}, {"(x)=y+x, y=x*2", {5}, 15}, {"1, y=2", {}, 1},
      {"(x)=y, y=z+1, z=x*x", {3}, 10},
      // comparisons and logic: +1 true, -1 false, true means greater than 0
      {"(a,b)=gt(a,b)", {2, 1}, 1}, {"(a,b)=gt(a,b)", {1, 2}, -1}, {"(a,b)=gt(a,b)", {1, 1}, -1},
      {"(a,b)=ge(a,b)", {1, 1}, 1}, {"(a,b)=ge(a,b)", {0, 1}, -1}, {"(a,b)=lt(a,b)", {1, 2}, 1},
      {"(a,b)=lt(a,b)", {2, 1}, -1}, {"(a,b)=lt(a,b)", {1, 1}, -1}, {"(a,b)=le(a,b)", {1, 1}, 1},
      {"(a,b)=le(a,b)", {2, 1}, -1}, {"(a,b)=eq(a,b)", {1, 1}, 1}, {"(a,b)=eq(a,b)", {1, 2}, -1},
      {"(a,b)=ne(a,b)", {1, 2}, 1}, {"(a,b)=ne(a,b)", {1, 1}, -1}, {"(a,b)=and(a,b)", {1, 2}, 1},
      {"(a,b)=and(a,b)", {0, 2}, -1}, {"(a,b)=and(a,b)", {2, -1}, -1}, {"(a,b)=or(a,b)", {0, -1}, -1},
      {"(a,b)=or(a,b)", {0, 1}, 1}, {"(a,b)=or(a,b)", {3, 0}, 1}, {"(a,b)=xor(a,b)", {1, 1}, -1},
      {"(a,b)=xor(a,b)", {-1, 1}, 1}, {"(a,b)=xor(a,b)", {0, 0}, -1}, {"(a,b)=xor(a,b)", {1, -3}, 1},
      {"(a)=not(a)", {0}, 1}, {"(a)=not(a)", {2}, -1}, {"(a)=not(a)", {-1}, 1},
      {"(a,b)=gt(a,b)*10+lt(a,b)", {3, 4}, -9}, {"(a,b)=and(gt(a,0),not(b))", {1, 0}, 1},
      {"GT(2,1)+EQ(3,3)", {}, 2}, {"(x)=gt(x,0)*x", {-4}, 4},
  };
  return cases;
}

TEST_F(EvalConformance, SharedTableInAllEngines) {
  for (const Case& c : sharedTable()) {
    SCOPED_TRACE(c.f);
    EXPECT_EQ(real(c.f, c.args), c.want) << "real";

    std::vector<int32_t> iargs;
    for (double a : c.args) iargs.push_back(static_cast<int32_t>(a));
    EXPECT_EQ(integer(c.f, iargs), static_cast<int32_t>(c.want)) << "integer";

    std::vector<QxComplex> cargs;
    for (double a : c.args) cargs.push_back({a, 0.0});
    const QxComplex z = cplx(c.f, cargs);
    // "^" goes through the logarithm in the complex engine: not exact.
    EXPECT_NEAR(z.re, c.want, 1e-12 * (1 + std::fabs(c.want))) << "complex";
    EXPECT_NEAR(z.im, 0.0, 1e-12 * (1 + std::fabs(c.want))) << "complex";
  }
  EXPECT_EQ(fcerrnum(), 0);
  EXPECT_EQ(Cfcerrnum(), 0);
  EXPECT_EQ(Ifcerrnum(), 0);
}

TEST_F(EvalConformance, RealOneArgumentFunctionsAndIeeeResults) {
  struct Fn {
    const char* name;
    double (*f)(double);
    double arg;
  };
  const Fn fns[] = {
      {"sqrt", [](double x) { return std::sqrt(x); }, 2},   {"exp", [](double x) { return std::exp(x); }, 0.7},
      {"ln", [](double x) { return std::log(x); }, 3},      {"lg", [](double x) { return std::log10(x); }, 7},
      {"sin", [](double x) { return std::sin(x); }, 0.5},   {"cos", [](double x) { return std::cos(x); }, 0.5},
      {"tan", [](double x) { return std::tan(x); }, 0.5},   {"asin", [](double x) { return std::asin(x); }, 0.3},
      {"acos", [](double x) { return std::acos(x); }, 0.3}, {"atan", [](double x) { return std::atan(x); }, 2},
      {"sinh", [](double x) { return std::sinh(x); }, 0.4}, {"cosh", [](double x) { return std::cosh(x); }, 0.4},
      {"tanh", [](double x) { return std::tanh(x); }, 0.4}, {"abs", [](double x) { return std::fabs(x); }, -2.5},
      {"int", [](double x) { return std::floor(x); }, -2.5},
  };
  for (const Fn& fn : fns) {
    const std::string name = fn.name;
    EXPECT_TRUE(sameBits(real("(x)=" + name + "(x)", {fn.arg}), fn.f(fn.arg))) << name;
  }
  EXPECT_EQ(real("(x)=sin(x)^2", {0.5}), std::pow(std::sin(0.5), 2));
  EXPECT_EQ(real("int(-2.5)"), -3.0);
  EXPECT_EQ(real("(x)=int(x)", {2.5}), 2.0);
  EXPECT_EQ(real("(x)=int(x)", {-0.5}), -1.0);
  EXPECT_EQ(real("(x)=abs(x)", {-kInf}), kInf);

  // Arithmetic faults give IEEE results and record nothing.
  EXPECT_EQ(real("1/0"), kInf);
  EXPECT_EQ(real("(x)=x/0", {-1}), -kInf);
  EXPECT_TRUE(std::isnan(real("(x)=x/0", {0})));
  EXPECT_TRUE(std::isnan(real("sqrt(-1)")));
  EXPECT_TRUE(std::isnan(real("(x)=sqrt(x)", {-1})));
  EXPECT_EQ(real("ln(0)"), -kInf);
  EXPECT_TRUE(std::isnan(real("(x)=asin(x)", {2})));
  EXPECT_EQ(real("(x)=exp(x)", {1000}), kInf);
  EXPECT_TRUE(std::isnan(real("(a,b)=a^b", {-8, 1.0 / 3})));
  EXPECT_EQ(real("0^0"), 1.0);
  EXPECT_EQ(real("(x)=x*2+abs(x)", {kInf}), kInf);
  EXPECT_TRUE(std::isnan(real("(x)=x*2+sin(x)", {kInf})));
  EXPECT_EQ(fcerrnum(), 0);
}

// NaN compares as the floating-point unit does: unordered makes lt, le and
// eq true. The evaluator runs the ten logical functions also when they come
// through a call with index 8 .. 17, with the same results.
TEST_F(EvalConformance, NaNComparisonsAndLogicalCallsThroughOpCall) {
  const char* logical[] = {"gt", "ge", "lt", "le", "eq", "ne", "and", "or", "not", "xor"};
  const double trueOnNaN[] = {-1, -1, 1, 1, 1, -1, -1, 1, 1, 1};  // with (NaN, 1)
  for (int k = 0; k < 10; ++k) {
    const std::string f = std::string("(a,b)=") + logical[k] + (k == 8 ? "(a)+b*0" : "(a,b)");
    SCOPED_TRACE(f);
    EXPECT_EQ(real(f, {kNaN, 1}), trueOnNaN[k]);
    const QxComplex z = cplx(f, {{kNaN, 0}, {1, 0}});
    EXPECT_EQ(z.re, trueOnNaN[k]);
    if (k < 6) {
      EXPECT_EQ(real(f, {1, kNaN}), trueOnNaN[k]);
      EXPECT_EQ(real(f, {kNaN, kNaN}), trueOnNaN[k]);
    }
  }
  EXPECT_EQ(real("(a,b)=and(a,b)", {0.5, 2}), 1.0);
  EXPECT_EQ(real("(a,b)=or(a,b)", {kNaN, kNaN}), -1.0);

  // The same operands through OP_CALL and through codes 32 .. 41.
  using qx::RealTraits;
  const double operands[][2] = {{2, 1}, {1, 2}, {1, 1}, {kNaN, 1}, {1, kNaN}, {0, -1}, {-1, 0.5}, {0.5, 0}};
  for (int m = 8; m <= 17; ++m) {
    for (const auto& ab : operands) {
      double consts[4] = {ab[0], ab[1], static_cast<double>(m), m == 16 ? 2.0 : 3.0};
      double stack[8];
      double* ptrs[1] = {consts};
      uint8_t viaCall[6] = {1, 1, 1, 1, 26, 0};
      double byCall;
      if (m == 16) {
        consts[1] = 16;
        consts[2] = 2;
        uint8_t notCall[5] = {1, 1, 1, 26, 0};
        byCall = qx::evaluate<RealTraits>(notCall, ptrs, stack);
      } else {
        byCall = qx::evaluate<RealTraits>(viaCall, ptrs, stack);
      }
      double consts2[2] = {ab[0], ab[1]};
      double* ptrs2[1] = {consts2};
      uint8_t byCode[4] = {1, 1, static_cast<uint8_t>(24 + m), 0};
      uint8_t notCode[3] = {1, 40, 0};
      const double direct = qx::evaluate<RealTraits>(m == 16 ? notCode : byCode, ptrs2, stack);
      EXPECT_EQ(byCall, direct) << "m " << m << " a " << ab[0] << " b " << ab[1];
      EXPECT_TRUE(byCall == 1.0 || byCall == -1.0);
    }
  }
}

// An assignment stores exactly the value of its expression, whatever the
// target held before, and the target is the last variable read.
TEST_F(EvalConformance, AssignmentsStoreExactValues) {
  for (double before : {0.0, kInf, -kInf, kNaN, -0.0, 1e308}) {
    for (double value : {5.0, -0.0, kInf, -kInf, 1e-310, 0.1}) {
      EXPECT_TRUE(sameBits(real("(x,y)=(x=y)", {before, value}), value)) << before << " <- " << value;
      EXPECT_TRUE(sameBits(getin(0)[0], value)) << before << " <- " << value;
    }
    real("(x,y)=(x=y)", {before, kNaN});
    EXPECT_TRUE(std::isnan(getin(0)[0]));
  }
  // Complex too, each part keeping the sign of its zero.
  for (const QxComplex value : {QxComplex{-0.0, 0.0}, QxComplex{0.0, -0.0}, QxComplex{-0.0, -0.0}}) {
    const QxComplex r = cplx("(x,y)=(x=y)", {{kInf, kNaN}, value});
    EXPECT_TRUE(sameBits(r.re, value.re) && sameBits(r.im, value.im));
    EXPECT_TRUE(sameBits(Cgetin(0)[0].re, value.re) && sameBits(Cgetin(0)[0].im, value.im));
  }
  EXPECT_EQ(real("(x,y)=(y=x+1)+(x=y*2)", {1, kNaN}), 2 + 4);
  EXPECT_EQ(getin(0)[0], 4.0);
  EXPECT_EQ(getin(0)[1], 2.0);
  EXPECT_EQ(real("(x)=mov(x+1)*10", {2}), 30.0);  // mov stores into the last variable read
  EXPECT_EQ(getin(0)[0], 3.0);

  const QxComplex z = cplx("(x,y)=(x=y)", {{kInf, kNaN}, {5, -6}});
  EXPECT_EQ(z.re, 5.0);
  EXPECT_EQ(z.im, -6.0);
  EXPECT_EQ(Cgetin(0)[0].re, 5.0);
  EXPECT_EQ(Cgetin(0)[0].im, -6.0);
  EXPECT_EQ(integer("(x,y)=(x=y)+x", {INT32_MIN, 7}), 14);
}

// Segments run from the last to the first, before the main expression;
// segment and local variables keep their values between evaluations.
TEST_F(EvalConformance, SegmentsAndPersistentVariables) {
  EXPECT_EQ(real("(x)=b, a=x+1, b=a*2", {1}), 0.0);  // b used a's initial 0
  EXPECT_EQ(getin(0)[1], 2.0);
  EXPECT_EQ(rcal(0, std::vector<double>{5}.data()), 4.0);  // a from the previous evaluation
  EXPECT_EQ(getin(0)[1], 6.0);
  EXPECT_EQ(getin(0)[2], 4.0);

  EXPECT_EQ(real("(x:n)=(n=n+x)", {2}), 2.0);  // locals start at 0 ...
  EXPECT_EQ(rcal(0, std::vector<double>{3}.data()), 5.0);  // ... and persist
  EXPECT_EQ(integer("(x:n)=(n=n+x)", {2}), 2);
  EXPECT_EQ(Ical(0, std::vector<int32_t>{3}.data()), 5);
  EXPECT_EQ(cplx("(x:n)=(n=n+x)", {{2, 1}}).im, 1.0);
  EXPECT_EQ(Ccal(0, std::vector<QxComplex>{{3, 1}}.data()).im, 2.0);
}

// rcal copies exactly lastArg + 1 values into the argument slots; rcals
// uses the slots as they are; the STD twins behave the same.
TEST_F(EvalConformance, ArgumentsAndTwins) {
  real("(x,y)=x-y", {7, 1});
  EXPECT_EQ(getin(0)[0], 7.0);
  getin(0)[0] = 5;
  getin(0)[1] = 2;
  EXPECT_EQ(rcals(0), 3.0);
  EXPECT_EQ(STDrcals(0), 3.0);
  EXPECT_EQ(getallin()[0], getin(0));

  std::string f = "(x,y:t)=t+x*y";
  int32_t last;
  ASSERT_EQ(rcom(1, f.data(), &last), 0);
  EXPECT_EQ(last, 1);
  getin(1)[2] = 42;
  std::vector<double>* exact = new std::vector<double>{1, 2};  // a heap block of exactly two values
  EXPECT_EQ(rcal(1, exact->data()), 44.0);
  delete exact;
  EXPECT_EQ(rcal(1, std::vector<double>{3, 4, 99}.data()), 54.0);
  EXPECT_EQ(getin(1)[2], 42.0);

  // A formula without arguments needs no argument array.
  f = "1+2";
  ASSERT_EQ(rcom(2, f.data(), &last), 0);
  EXPECT_EQ(rcal(2, nullptr), 3.0);
  f = "(:t)=(t=t+1)";
  ASSERT_EQ(Icom(2, f.data(), &last), 0);
  EXPECT_EQ(Ical(2, nullptr), 1);
  EXPECT_EQ(Icals(2), 2);
  ASSERT_EQ(Ccom(2, f.data(), &last), 0);
  EXPECT_EQ(Ccal(2, nullptr).re, 1.0);

  // STD twins.
  f = "(x,y)=x*2+sin(y)";
  int32_t last2 = -5;
  ASSERT_EQ(STDrcom(3, f.data(), &last2), 0);
  EXPECT_EQ(last2, 1);
  const double xy[2] = {3, 0.5};
  EXPECT_TRUE(sameBits(STDrcal(3, xy), rcal(3, xy)));
  EXPECT_EQ(STDgetin(3), getin(3));
  EXPECT_EQ(STDgetfortrue(), getfortrue());
  EXPECT_EQ(STDgetvarnum()[3], 1);
  f = "(z)=z*i";
  ASSERT_EQ(STDCcom(3, f.data(), &last2), 0);
  const QxComplex one{1, 2};
  EXPECT_EQ(STDCcal(3, &one).re, -2.0);
  EXPECT_EQ(STDCcals(3).im, 1.0);
  f = "(n)=n/2";
  ASSERT_EQ(STDIcom(3, f.data(), &last2), 0);
  const int32_t seven = 7;
  EXPECT_EQ(STDIcal(3, &seven), 3);
  EXPECT_EQ(STDIcals(3), 3);
  EXPECT_EQ(STDrcom(9, f.data(), &last2), 26);
  EXPECT_EQ(STDrcal(9, xy), 0.0);
}

TEST_F(EvalConformance, IntegerArithmetic) {
  struct IntCase {
    const char* f;
    std::vector<int32_t> args;
    int32_t want;
  };
  const std::vector<IntCase> cases = {
      {"7/2", {}, 3}, {"(-7)/2", {}, -3}, {"7/(-2)", {}, -3}, {"7.9/2", {}, 3}, {"-2.9", {}, -2},
      {"2^31", {}, INT32_MIN}, {"2^32", {}, 0}, {"2^(-1)", {}, 0}, {"0^0", {}, 1}, {"2^10", {}, 1024},
      {"(-2)^3", {}, -8}, {"3000000000", {}, -1294967296}, {"4294967297", {}, 1}, {"0.5", {}, 0},
      {"1e3", {}, 1000}, {"sqrt(-4)", {}, 0}, {"sqrt(10)", {}, 3}, {"ln(0)", {}, 0}, {"ln(10)", {}, 2},
      {"ln(1)", {}, 0}, {"lg(0)", {}, 0}, {"lg(999)", {}, 2}, {"lg(-5)", {}, 0}, {"exp(1)", {}, 2},
      {"exp(-1)", {}, 0}, {"exp(21)", {}, 1318815734}, {"exp(22)", {}, -710054450}, {"exp(44)", {}, 0},
      {"abs(-5)", {}, 5}, {"abs(0-2147483647-1)", {}, INT32_MIN}, {"2147483647+1", {}, INT32_MIN},
      {"65536*65536", {}, 0}, {"0-2147483647-2", {}, 2147483647},
      // the same at run time, where no folding happens
      {"(a,b)=a/b", {7, 2}, 3}, {"(a,b)=a/b", {-7, 2}, -3}, {"(a,b)=a^b", {2, 31}, INT32_MIN},
      {"(a,b)=a^b", {2, -1}, 0}, {"(a,b)=a^b", {0, 0}, 1}, {"(a)=sqrt(a)", {-4}, 0},
      {"(a)=abs(a)", {INT32_MIN}, INT32_MIN}, {"(a,b)=a+b", {2147483647, 1}, INT32_MIN},
      {"(a,b)=a*b", {65536, 65537}, 65536}, {"(a,b)=a-b", {INT32_MIN, 1}, 2147483647},
      {"(a)=0-a", {INT32_MIN}, INT32_MIN}, {"(a)=exp(a)", {22}, -710054450},
      // division by zero and INT_MIN / -1 neither trap nor record an error
      {"(a,b)=a/b", {5, 0}, 0}, {"(a,b)=a/b", {INT32_MIN, -1}, INT32_MIN}, {"5/0", {}, 0},
      {"(0-2147483647-1)/(0-1)", {}, INT32_MIN}, {"(a,b)=a/b", {0, 0}, 0},
      {"mod(0-2147483647-1,0-1)", {}, 0}, {"mod(7,0)", {}, 0},
      // truth is "greater than 0"
      {"gt(2,1)", {}, 1}, {"gt(1,2)", {}, -1}, {"(x:a)=(a=5)*0+if(x,(a=7))+a", {0}, 5},
      {"(x:a)=(a=5)*0+if(x,(a=7))+a", {1}, 7}, {"(x)=not(x)", {0}, 1},
  };
  for (const IntCase& c : cases) EXPECT_EQ(integer(c.f, c.args), c.want) << c.f;
  EXPECT_EQ(Ifcerrnum(), 0);
  // The edge pairs of / and mod at run time: divisors 0, -1 and INT32_MIN
  // (and 7) against dividends 0, -1, INT32_MIN, 7 and INT32_MAX. The
  // remainder by -1 is 0 without trapping, also for INT32_MIN.
  const int32_t dividends[] = {0, -1, INT32_MIN, 7, INT32_MAX};
  const int32_t divisors[] = {0, -1, INT32_MIN, 7};
  const int32_t quotients[4][5] = {{0, 0, 0, 0, 0},
                                   {0, 1, INT32_MIN, -7, -INT32_MAX},
                                   {0, 0, 1, 0, 0},
                                   {0, 0, -306783378, 1, 306783378}};
  const int32_t remainders[4][5] = {{0, 0, 0, 0, 0},
                                    {0, 0, 0, 0, 0},
                                    {0, -1, 0, 7, INT32_MAX},
                                    {0, -1, -2, 0, 1}};
  for (int d = 0; d < 4; ++d) {
    for (int n = 0; n < 5; ++n) {
      const std::vector<int32_t> ab = {dividends[n], divisors[d]};
      EXPECT_EQ(integer("(a,b)=a/b", ab), quotients[d][n]) << dividends[n] << " / " << divisors[d];
      EXPECT_EQ(integer("(a,b)=mod(a,b)", ab), remainders[d][n]) << "mod(" << dividends[n] << ", " << divisors[d] << ")";
    }
  }
  EXPECT_EQ(Ifcerrnum(), 0);
  std::string f = "sin(1)";
  int32_t last;
  EXPECT_EQ(Icom(1, f.data(), &last), 10);
}

TEST_F(EvalConformance, ComplexArithmeticAndFunctions) {
  auto expectExact = [](QxComplex z, double re, double im, const char* what) {
    EXPECT_TRUE(sameBits(z.re, re) && sameBits(z.im, im)) << what << ": (" << z.re << ", " << z.im << ")";
  };
  expectExact(cplx("i*i"), -1, 0, "i*i");
  expectExact(cplx("(a,b)=a*b", {{0, 1}, {0, 1}}), -1, 0, "i*i at run time");
  expectExact(cplx("(1+i)/(1-i)"), 0, 1, "(1+i)/(1-i)");
  expectExact(cplx("(a,b)=a/b", {{1, 1}, {1, -1}}), 0, 1, "(1+i)/(1-i) at run time");
  expectExact(cplx("3i"), 0, 3, "3i");
  expectExact(cplx("3 I"), 0, 3, "3 I");
  expectExact(cplx("2.5e3i"), 0, 2500, "2.5e3i");
  expectExact(cplx("i"), 0, 1, "i");
  expectExact(cplx("2+3i"), 2, 3, "2+3i");
  expectExact(cplx("(x)=x*i", {{2, 3}}), -3, 2, "x*i");
  expectExact(cplx("eq(1+2i,1+5i)"), 1, 2, "eq");
  expectExact(cplx("gt(1+2i,0)"), 1, 2, "gt");
  expectExact(cplx("not(-1+3i)"), 1, 3, "not");
  expectExact(cplx("and(1+2i,0+5i)"), -1, 2, "and");
  expectExact(cplx("abs(3+4i)"), 5, 0, "abs");
  expectExact(cplx("int(2.7+3i)"), 2, 0, "int");
  expectExact(cplx("int(-2.5)"), -3, 0, "int(-2.5)");
  expectExact(cplx("con(1+2i)"), 1, -2, "con");
  expectExact(cplx("xy(1+2i)"), 2, 1, "xy");
  expectExact(cplx("x0(1+2i)"), 0, 2, "x0");
  expectExact(cplx("y0(1+2i)"), 1, 0, "y0");
  expectExact(cplx("0^0"), 0, 0, "0^0");
  expectExact(cplx("0^(-1)"), 0, 0, "0^(-1)");
  expectExact(cplx("0^(2+3i)"), 0, 0, "0^(2+3i)");
  expectExact(cplx("(a,b)=a^b", {{0, 0}, {0, 0}}), 0, 0, "0^0 at run time");

  QxComplex z = cplx("1/0");
  EXPECT_TRUE(std::isnan(z.re) && std::isnan(z.im));
  z = cplx("i^2");
  EXPECT_EQ(z.re, -1.0);
  EXPECT_NEAR(z.im, 0.0, 1e-15);
  z = cplx("sqrt(-4)");
  EXPECT_NEAR(z.re, 0.0, 1e-15);
  EXPECT_EQ(z.im, 2.0);

  // The functions against the standard library's complex functions.
  using C = std::complex<double>;
  struct Fn {
    const char* name;
    C (*f)(C);
  };
  const Fn fns[] = {
      {"sqrt", [](C w) { return std::sqrt(w); }}, {"exp", [](C w) { return std::exp(w); }},
      {"ln", [](C w) { return std::log(w); }},    {"sin", [](C w) { return std::sin(w); }},
      {"cos", [](C w) { return std::cos(w); }},
  };
  for (const Fn& fn : fns) {
    for (QxComplex arg : {QxComplex{1, 2}, QxComplex{-0.5, 0.3}, QxComplex{2, -1}}) {
      const QxComplex got = cplx(std::string("(z)=") + fn.name + "(z)", {arg});
      const C want = fn.f(C(arg.re, arg.im));
      EXPECT_NEAR(got.re, want.real(), 1e-12) << fn.name;
      EXPECT_NEAR(got.im, want.imag(), 1e-12) << fn.name;
    }
  }
  z = cplx("(a,b)=a^b", {{1, 1}, {0.5, -2}});
  const C p = std::pow(C(1, 1), C(0.5, -2));
  EXPECT_NEAR(z.re, p.real(), 1e-12);
  EXPECT_NEAR(z.im, p.imag(), 1e-12);

  // Truth takes the real part only.
  z = cplx("(:a)=(a=1)*0+if(0+5i,(a=2))+a");
  EXPECT_EQ(z.re, 1.0);
  z = cplx("(:a)=(a=1)*0+if(1-5i,(a=2))+a");
  EXPECT_EQ(z.re, 2.0);
  EXPECT_EQ(Cfcerrnum(), 0);
}

}  // namespace

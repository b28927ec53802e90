// Numerical functions of the real engine: the arithmetic helpers and the
// functions that evaluate another formula many times, driven through the
// exported interface.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "alloc.h"
#include "engine.h"
#include "real/numeric.h"
#include "fresh_library.h"
#include "quibex.h"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr int kScratch = 39;  // row for throw-away formulas

// A right-nested sum of x: an evaluation that takes this path pushes many
// values, overwriting the stack slots a suspended activation of the same
// row still holds.
const std::string kDeep = "0*(x+(x+(x+(x+(x+(x+(x+(x+(x+(x+(x+(x+x))))))))))))";

struct Err {
  int32_t number;
  std::string name;
};

class NumericTest : public FreshLibrary<40, 2> {
 protected:
  static void com(int32_t row, std::string text) {
    int32_t last = 0;
    ASSERT_EQ(rcom(row, &text[0], &last), QX_OK) << text;
  }
  static double run(int32_t row, std::vector<double> args = {}) { return rcal(row, args.data()); }
  // Compiles text into the scratch row and evaluates it without arguments.
  static double eval(const std::string& text) {
    com(kScratch, text);
    return rcal(kScratch, nullptr);
  }
  static Err err() {
    const char* name = nullptr;
    const int32_t n = fcerr(&name);
    return {n, n && name ? name : ""};
  }
  // Number store of n elements (element 0 serves as an evaluation counter).
  static double* numbers(int32_t n) {
    eval("newdoubles(" + std::to_string(n) + ")");
    int32_t count = 0;
    double* d = getfcdoubles(&count);
    EXPECT_EQ(count, n);
    for (int32_t i = 0; i < count; ++i) d[i] = 0.0;
    return d;
  }
  static double counter() {
    int32_t count = 0;
    double* d = getfcdoubles(&count);
    return count > 0 ? d[0] : -1.0;
  }
};

#define EXPECT_ERR(n, fn)           \
  do {                              \
    const Err e_ = err();           \
    EXPECT_EQ(e_.number, (n));      \
    EXPECT_EQ(e_.name, (fn));       \
  } while (0)

TEST_F(NumericTest, ArithmeticHelpers) {
  com(0, "(y,x)=atan2(y,x)");
  for (double y : {0.0, -0.0, 1.0, -2.5})
    for (double x : {0.0, -0.0, 3.0, -4.0}) EXPECT_EQ(run(0, {y, x}), std::atan2(y, x)) << y << "," << x;

  com(1, "(a,b)=fmod(a,b)");
  EXPECT_EQ(run(1, {-7, 2}), -1.0);
  EXPECT_EQ(run(1, {7.5, -2}), 1.5);
  EXPECT_TRUE(std::isnan(run(1, {1, 0})));

  com(2, "(a)=modf(a)");
  EXPECT_EQ(run(2, {-2.5}), -0.5);
  EXPECT_EQ(run(2, {3.25}), 0.25);
  EXPECT_EQ(run(2, {4.0}), 0.0);

  com(3, "(a,b)=sign(a,b)");
  EXPECT_EQ(run(3, {3, 0}), 3.0);
  EXPECT_EQ(run(3, {-3, 0}), -3.0);
  EXPECT_EQ(run(3, {3, -0.5}), -3.0);
  EXPECT_EQ(run(3, {-3, 2}), 3.0);
  EXPECT_EQ(run(3, {3, kNaN}), -3.0);

  com(4, "(a,b)=dim(a,b)");
  EXPECT_EQ(run(4, {2, 5}), 0.0);
  EXPECT_EQ(run(4, {5, 2}), 3.0);
  EXPECT_EQ(run(4, {kNaN, 2}), 0.0);
  EXPECT_EQ(run(4, {5, kNaN}), 0.0);

  com(5, "(a,b,c)=max(a,b,c)");
  com(6, "(a,b,c)=min(a,b,c)");
  EXPECT_EQ(run(5, {1, kNaN, 2}), 2.0);
  EXPECT_EQ(run(5, {-1, -7, -3}), -1.0);
  EXPECT_TRUE(std::isnan(run(5, {1, 2, kNaN})));
  EXPECT_EQ(run(6, {4, -2, 3}), -2.0);
  EXPECT_TRUE(std::isnan(run(6, {kNaN, 1, 0})));
  EXPECT_EQ(run(6, {1, kNaN, 2}), 1.0);
  EXPECT_EQ(eval("max(7)+min(5)"), 12.0);
  EXPECT_EQ(err().number, 0);

  EXPECT_EQ(eval("max()+1"), 1.0);
  EXPECT_ERR(1, "max");
  EXPECT_EQ(eval("min()+1"), 1.0);
  EXPECT_ERR(1, "min");
}

TEST_F(NumericTest, SimpsonIntegratesCubicsExactlyAndSineWithinTolerance) {
  // Simpson's rule is exact for polynomials up to degree 3.
  com(0, "(x,p,q)=p*x*x*x+q*x*x-x+2");
  com(1, "(a,b,p,q)=simpintegrate(a,b,1e-9,0,p,q)");
  auto exact = [](double a, double b, double p, double q) {
    auto F = [&](double x) { return p * x * x * x * x / 4 + q * x * x * x / 3 - x * x / 2 + 2 * x; };
    return F(b) - F(a);
  };
  const double cases[][4] = {{0, 1, 0, 0}, {0, 1, 0, 1}, {-1, 2, 1, -3}, {2, -3, 0.5, 2}, {1.5, 1.5, 4, 4}};
  for (const auto& c : cases) {
    const double want = exact(c[0], c[1], c[2], c[3]);
    EXPECT_NEAR(run(1, {c[0], c[1], c[2], c[3]}), want, 1e-12 * (1 + std::fabs(want)))
        << c[0] << " " << c[1] << " " << c[2] << " " << c[3];
  }
  EXPECT_EQ(err().number, 0);

  // x*x on [0, 1]: f(a), f(b), one midpoint, then two midpoints; the
  // second estimate equals the first, which ends the integration. The
  // integration variable keeps the last point evaluated.
  double* d = numbers(2);
  com(2, "(x)=getdadd(0,1)*0+x*x");
  com(3, "()=simpintegrate(0,1,1e-10,2)");
  EXPECT_NEAR(run(3), 1.0 / 3.0, 1e-15);
  EXPECT_EQ(d[0], 5.0);
  EXPECT_EQ(eval("para(2,0)"), 0.75);

  com(4, "(x)=sin(x)");
  const double pi = std::acos(-1.0);
  com(5, "(e,b)=simpintegrate(0,b,e,4)");
  for (double eps : {1e-3, 1e-6, 1e-10}) EXPECT_NEAR(run(5, {eps, pi}), 2.0, eps) << eps;
  EXPECT_EQ(err().number, 0);

  // A NaN tolerance: f(a) and f(b) only, the trapezoid value, no error.
  d[0] = 0;
  com(6, "(e)=simpintegrate(0,2,e,2)");
  EXPECT_EQ(run(6, {kNaN}), 4.0);
  EXPECT_EQ(d[0], 2.0);
  EXPECT_EQ(err().number, 0);
}

TEST_F(NumericTest, SimpsonStopsAtPassCapOrIterationLimit) {
  double* d = numbers(2);
  com(0, "(x)=getdadd(0,1)*0+x*x");
  com(1, "(e)=simpintegrate(0,1,e,0)+1");
  // Iteration limit 3: passes 0 .. 3 run (1 + 2 + 4 + 8 midpoints), the
  // fifth pass is refused.
  eval("setcyclemax(3)");
  EXPECT_EQ(run(1, {0.0}), 1.0);
  EXPECT_ERR(4, "simpintegrate");
  EXPECT_EQ(d[0], 2.0 + 15.0);

  // Default limit: tolerance 0 never converges; the 25-pass cap ends it
  // after 2 + 2^25 - 1 evaluations.
  eval("setcyclemax(1000000)");
  d[0] = 0;
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(run(1, {0.0}), 1.0);
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_ERR(4, "simpintegrate");
  EXPECT_EQ(d[0], 2.0 + 33554431.0);
  EXPECT_LT(secs, 30.0);
}

TEST_F(NumericTest, SumAndProductOverGrids) {
  com(0, "(x)=x");
  EXPECT_EQ(eval("sum(0,0,1,3,1)"), 6.0);
  EXPECT_EQ(eval("sum(0,0,1,3.5,1)"), 6.0);
  EXPECT_EQ(eval("sum(0,0,2,2,1)"), 2.0);
  EXPECT_EQ(eval("pro(0,0,1,4,1)"), 24.0);
  EXPECT_EQ(err().number, 0);

  // Evaluation order: parameter 0 fastest. Each point is appended to the
  // number store.
  double* d = numbers(20);
  com(1, "(x,y)=setd(1+getdadd(0,1),x+10*y)");
  EXPECT_EQ(eval("sum(1,0,0,1,1,0,2,1)"), 63.0);
  EXPECT_EQ(d[0], 6.0);
  const double order[] = {0, 1, 10, 11, 20, 21};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(d[1 + i], order[i]) << i;

  // Fixed parameters after the free ones; fractional steps computed as
  // k * step + start.
  com(2, "(x,y,z)=x*y+z");
  com(3, "(z,sx,ex,dx,sy,ey,dy)=sum(2,1,z,sx,ex,dx,sy,ey,dy)");
  com(4, "(z,sx,ex,dx,sy,ey,dy)=pro(2,1,z,sx,ex,dx,sy,ey,dy)");
  const double grids[][7] = {{0.5, 0, 1, 0.1, -1, 1, 0.25}, {2, -3, 3, 0.7, 0, 0, 1}, {1, 0.1, 0.35, 0.05, 2, 2.9, 0.3}};
  for (const auto& g : grids) {
    const long mx = static_cast<long>((g[2] - g[1]) / g[3]) + 1;
    const long my = static_cast<long>((g[5] - g[4]) / g[6]) + 1;
    double s = 0.0, p = 1.0;
    for (long ky = 0; ky < my; ++ky)
      for (long kx = 0; kx < mx; ++kx) {
        const double v = (kx * g[3] + g[1]) * (ky * g[6] + g[4]) + g[0];
        s += v;
        p *= v;
      }
    std::vector<double> args(g, g + 7);
    EXPECT_DOUBLE_EQ(run(3, args), s);
    EXPECT_DOUBLE_EQ(run(4, args), p);
  }
  EXPECT_EQ(eval("para(2,2)"), 1.0);  // the fixed value stays written
  EXPECT_EQ(err().number, 0);
}

TEST_F(NumericTest, DataSumsOverHostData) {
  com(0, "(x,y)=x*y");
  EXPECT_EQ(eval("datasum(0,1,10,1,2,3)"), 60.0);
  EXPECT_EQ(eval("datapro(0,1,10,1,2,3)"), 6000.0);
  EXPECT_EQ(eval("datasum(0,1,10)"), 0.0);
  EXPECT_EQ(eval("datapro(0,1,10)"), 1.0);
  EXPECT_EQ(eval("datasum(0,0,1,2,3,4)"), 14.0);
  EXPECT_EQ(err().number, 0);

  // Values written by the host into the number store.
  double* d = numbers(6);
  const double host[] = {1.5, -2, 4, 0.25, 3, 7};
  for (int i = 0; i < 6; ++i) d[i] = host[i];
  const double s = host[0] * host[1] + host[2] * host[3] + host[4] * host[5];
  const double p = host[0] * host[1] * host[2] * host[3] * host[4] * host[5];
  EXPECT_EQ(eval("datasum(0,0,getd(0),getd(1),getd(2),getd(3),getd(4),getd(5))"), s);
  EXPECT_EQ(eval("datapro(0,0,getd(0),getd(1),getd(2),getd(3),getd(4),getd(5))"), p);

  // Arrays created by a formula, filled by the host.
  eval("newdoublearrays(3)+newdoublearray(0,5)+newdoublearray(1,6)+newdoublearray(2,5)");
  int32_t count = 0;
  int32_t* lens = nullptr;
  double** arr = getfcdoublearrays(&count, &lens);
  ASSERT_EQ(count, 3);
  for (int k = 0; k < 3; ++k)
    for (int i = 0; i < lens[k]; ++i) arr[k][i] = (k + 1) * 0.5 + i * i - 3 * k;
  com(1, "(x,y,z)=x*y-z");
  double want = 0.0;
  for (int i = 0; i < 5; ++i) want += arr[2][i] * arr[0][i] - 4.0;
  EXPECT_EQ(eval("dataarraysum(1,1,4,5,2,0)"), want);
  want = 0.0;
  for (int i = 0; i < 4; ++i) want += arr[1][i] * arr[0][i] - arr[2][i];
  EXPECT_EQ(eval("dataarraysum(1,0,4,1,0,2)"), want);
  EXPECT_EQ(err().number, 0);
}

TEST_F(NumericTest, SelfRecursionKeepsArguments) {
  // The target row is the calling row: the nested runs take the deep
  // branch on the same stack and overwrite the slots where the suspended
  // call's bounds, tuples, indices and own function index lie. (Arguments
  // are computed from x: skipping a call re-pushes its constants.)
  com(0, "(x)=which(lt(x,5),sum(0,0,x+9,x+11,x)," + kDeep + "+x)");
  EXPECT_EQ(run(0, {1}), 33.0);
  com(1, "(x)=which(lt(x,5),datasum(1,0,x+9,x+10,x+11)," + kDeep + "+x)");
  EXPECT_EQ(run(1, {1}), 33.0);
  com(2, "(x)=which(lt(x,5),datapro(2,0,x+9,x+10,x+11)," + kDeep + "+x)");
  EXPECT_EQ(run(2, {1}), 1320.0);
  com(3, "(x,d)=which(lt(d,0),simpintegrate(d+1,d+4,1e-9,3,-d)," + kDeep + "+x*x)");
  EXPECT_NEAR(run(3, {0, -1}), 9.0, 1e-12);
  eval("newdoublearrays(1)+newdoublearray(0,3,10,20,30)");
  com(4, "(x)=which(lt(x,5),dataarraysum(4,0,x+2,x-1)," + kDeep + "+x)");
  EXPECT_EQ(run(4, {1}), 60.0);
  EXPECT_EQ(err().number, 0);

  // An error found after nested runs still names the right function.
  eval("setcyclemax(2)");
  com(5, "(x,d)=which(lt(d,0),simpintegrate(d+1,d+2,0,5,-d)," + kDeep + "+x)");
  EXPECT_EQ(run(5, {0, -1}), 0.0);
  EXPECT_ERR(4, "simpintegrate");
}

TEST_F(NumericTest, CallErrorsOfSumAndPro) {
  com(1, "(x,y)=x+y");
  com(2, "(e,d)=sum(1,1,5,0,e,d)");
  com(3, "(e,d)=pro(1,1,5,0,e,d)");
  const std::pair<const char*, int32_t> cases[] = {
      {"(1)", 3},          {"(99,0,0,1,1,0,1,1)", 1}, {"(-1,0,0,1,1,0,1,1)", 1}, {"(5,0,0,1,1,0,1,1)", 2},
      {"(1,2,1,2)", 4},    {"(1,-1,0,1,1,0,1,1)", 3}, {"(1,3,1,2,3)", 3},        {"(1,0,0,1,1)", 3},
      {"(1,1,5,3,1,1)", 6}, {"(1,1,5,0,1,0,7)", 3},
  };
  for (const char* fn : {"sum", "pro"}) {
    for (const auto& c : cases) {
      EXPECT_EQ(eval(std::string(fn) + c.first + "+1"), 1.0) << fn << c.first;
      EXPECT_ERR(c.second, fn);
    }
    const int32_t row = fn[0] == 's' ? 2 : 3;
    const double ranges[][2] = {{-1, 1}, {1, 0}, {1, -1}, {1, kNaN}, {kInf, 1}, {-kInf, 1}};
    for (const auto& r : ranges) {
      EXPECT_EQ(run(row, {r[0], r[1]}), 0.0) << fn << " " << r[0] << " " << r[1];
      EXPECT_ERR(6, fn);
    }
  }

  // A refused count writes no parameter.
  double* p = getin(1);
  p[0] = 7;
  p[1] = 8;
  eval("sum(1,3,1,2,3)+pro(1,-1,0,1,1,0,1,1)");
  EXPECT_ERR(3, "sum");
  EXPECT_EQ(p[0], 7.0);
  EXPECT_EQ(p[1], 8.0);

  // Counter storage: its allocation failing is error 5, and it is released
  // on the error paths and after the walk.
  com(4, "sum(1,1,5,0,1,1)");
  const int64_t live = qx::testing::liveAllocations();
  qx::testing::failAllocationAfter(0);
  EXPECT_EQ(run(4), 0.0);
  qx::testing::failAllocationAfter(-1);
  EXPECT_ERR(5, "sum");
  EXPECT_EQ(run(4), 11.0);
  EXPECT_EQ(run(2, {-1, 1}), 0.0);
  EXPECT_ERR(6, "sum");
  EXPECT_EQ(qx::testing::liveAllocations(), live);
}

TEST_F(NumericTest, CallErrorsOfDataSums) {
  com(1, "(x,y)=x+y");
  com(3, "(x,y,z)=x+y+z");
  const std::pair<const char*, int32_t> tuples[] = {
      {"(1)", 3}, {"(99,0,1,2)", 1}, {"(5,0,1,2)", 2}, {"(1,2,1,2)", 4}, {"(1,-1,1,2)", 3},
      {"(1,3,1,2,3)", 3}, {"(1,0,1,2,3)", 3}, {"(3,2,5)", 3}, {"(3,0,1,2,3,4)", 3},
  };
  for (const char* fn : {"datasum", "datapro"})
    for (const auto& c : tuples) {
      EXPECT_EQ(eval(std::string(fn) + c.first + "+1"), 1.0) << fn << c.first;
      EXPECT_ERR(c.second, fn);
    }

  // dataarraysum before an array store exists, then with one.
  const std::pair<const char*, int32_t> arrays[] = {
      {"(1,0,1)", 3}, {"(99,0,1,0,0)", 1}, {"(5,0,1,0,0)", 2}, {"(1,2,1,2,1,0)", 4},
      {"(1,0,2,0)", 3}, {"(1,0,2,0,1)", 6},
  };
  for (const auto& c : arrays) {
    EXPECT_EQ(eval(std::string("dataarraysum") + c.first + "+1"), 1.0) << c.first;
    EXPECT_ERR(c.second, "dataarraysum");
  }
  eval("newdoublearrays(2)+newdoublearray(0,3,1,2,3)+newdoublearray(1,2,5,6)");
  double* p = getin(3);
  p[0] = p[1] = p[2] = -1;
  const std::pair<const char*, int32_t> bad[] = {
      {"(3,1,9,2,0,2)", 6}, {"(3,1,9,2,-1,0)", 6}, {"(3,1,9,2,0,2.5)", 6}, {"(3,2,5,4,2,2)", 6},
  };
  for (const auto& c : bad) {
    EXPECT_EQ(eval(std::string("dataarraysum") + c.first + "+1"), 1.0) << c.first;
    EXPECT_ERR(c.second, "dataarraysum");
  }
  EXPECT_EQ(p[0], -1.0);  // refused indices write nothing
  EXPECT_EQ(p[2], -1.0);
  EXPECT_EQ(eval("dataarraysum(3,1,9,0,0,1)+1"), 1.0);  // no data points
  EXPECT_ERR(5, "dataarraysum");
  EXPECT_EQ(p[2], 9.0);  // the fixed value was written before
  // The count is checked before the array indices: with no data points an
  // index outside the store still gives 5, after the fixed value is written.
  p[2] = -1;
  EXPECT_EQ(eval("dataarraysum(3,1,8,0,7,-1)+1"), 1.0);
  EXPECT_ERR(5, "dataarraysum");
  EXPECT_EQ(p[2], 8.0);
  EXPECT_EQ(eval("dataarraysum(3,1,9,3,0,1)+1"), 1.0);  // array 1 too short
  EXPECT_ERR(6, "dataarraysum");
  EXPECT_EQ(eval("dataarraysum(3,1,9,2,0,1)"), 1 + 5 + 9 + 2 + 6 + 9.0);

  // A formula that releases the arrays being summed ends the sum instead
  // of reading released storage.
  com(6, "(x)=x+newdoublearrays(2)");
  EXPECT_EQ(eval("dataarraysum(6,0,3,0)+1"), 1.0);
  EXPECT_ERR(6, "dataarraysum");
  eval("newdoublearray(0,3,1,2,3)");
  com(7, "(x)=x+newdoublearray(0,1)");
  EXPECT_EQ(eval("dataarraysum(7,0,3,0)+1"), 1.0);
  EXPECT_ERR(6, "dataarraysum");

  // Many values are copied to working storage; its allocation failing is 5
  // and nothing is evaluated.
  double* d = numbers(1);
  com(8, "(x)=getdadd(0,1)");
  std::string many = "datasum(8,0";
  for (int i = 0; i < 40; ++i) many += "," + std::to_string(i);
  com(9, many + ")");
  EXPECT_EQ(run(9), 40.0 * 39.0 / 2.0);
  d[0] = 0;
  qx::testing::failAllocationAfter(0);
  EXPECT_EQ(run(9), 0.0);
  qx::testing::failAllocationAfter(-1);
  EXPECT_ERR(5, "datasum");
  EXPECT_EQ(d[0], 0.0);
}

TEST_F(NumericTest, SimpsonCallErrors) {
  com(1, "(x,y)=x+y");
  const std::pair<const char*, int32_t> cases[] = {
      {"(0,1,1)", 3}, {"(0,1,1,99)", 1}, {"(0,1,1,-3)", 1}, {"(0,1,1,5)", 2}, {"(0,1,1,1)", 3}, {"(0,1,1,1,2,3)", 3},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(eval(std::string("simpintegrate") + c.first + "+1"), 1.0) << c.first;
    EXPECT_ERR(c.second, "simpintegrate");
  }
  EXPECT_EQ(eval("simpintegrate(0,1,1e-9,1,2)"), 2.5);
}

TEST_F(NumericTest, EmptyTableIsMinusOne) {
  // A real formula cannot run with an empty real table, so the handlers
  // are called directly, as the evaluator would.
  deletedll();
  ASSERT_EQ(setfornum(0), 1);
  using Handler = double (*)(int32_t, double*);
  const std::pair<Handler, int32_t> fns[] = {
      {qx::numeric::simpIntegrate, 40}, {qx::numeric::sum, 41},     {qx::numeric::pro, 42},
      {qx::numeric::dataSum, 43},       {qx::numeric::dataPro, 44}, {qx::numeric::dataArraySum, 47},
  };
  const char* names[] = {"simpintegrate", "sum", "pro", "datasum", "datapro", "dataarraysum"};
  for (int i = 0; i < 6; ++i) {
    double a[6] = {0, 1, 1, 0, 1, static_cast<double>(fns[i].second)};
    EXPECT_EQ(fns[i].first(4, a), 0.0);
    EXPECT_ERR(-1, names[i]);
  }
}

TEST_F(NumericTest, NestingLimitsAndPendingErrors) {
  double* d = numbers(1);
  eval("newdoublearrays(1)+newdoublearray(0,1,1)");
  const char* fns[] = {"sum", "pro", "datasum", "datapro", "dataarraysum"};
  const char* tails[] = {"0,0,1,1,1", "0,0,1,1,1", "0,0,1", "0,0,1", "0,0,1,0"};
  for (int i = 0; i < 5; ++i) {
    // Each level evaluates the formula once; the 17th nested call is one
    // more than the level limit of 16.
    com(0, std::string("(x)=getdadd(0,1)*0+") + fns[i] + "(" + tails[i] + ")");
    for (int round = 0; round < 2; ++round) {
      d[0] = 0;
      EXPECT_EQ(run(0, {1}), 0.0);
      EXPECT_ERR(-2, fns[i]);
      EXPECT_EQ(d[0], 17.0) << fns[i];
    }
  }
  com(0, "(x)=simpintegrate(0,1,1,0)");
  EXPECT_EQ(run(0, {1}), 0.0);
  EXPECT_ERR(-2, "simpintegrate");

  // Every function counts its own nesting.
  eval("setstackmax(1)");
  com(1, "(x)=x");
  com(2, "(x)=sum(1,0,1,1,1)");
  com(3, "(x)=pro(2,0,1,1,1)");
  EXPECT_EQ(run(3, {0}), 1.0);
  EXPECT_EQ(err().number, 0);
  com(4, "(x)=sum(2,0,1,1,1)");
  EXPECT_EQ(run(4, {0}), 0.0);
  EXPECT_ERR(-2, "sum");

  // Far above the native depth bound: the level limit allows it, the
  // native stack does not.
  eval("setstackmax(32766)");
  for (int i = 0; i < 5; ++i) {
    com(0, std::string("(x)=getdadd(0,1)*0+") + fns[i] + "(" + tails[i] + ")");
    d[0] = 0;
    EXPECT_EQ(run(0, {1}), 0.0);
    EXPECT_ERR(-2, fns[i]);
    EXPECT_EQ(d[0], static_cast<double>(qx::kMaxNativeDepth)) << fns[i];
  }
  com(0, "(x)=simpintegrate(0,1,1,0)");
  EXPECT_EQ(run(0, {1}), 0.0);
  EXPECT_ERR(-2, "simpintegrate");

  // A pending error: nothing is evaluated, nothing recorded.
  com(6, "(x,y)=getdadd(0,1)*0+1");
  const char* calls[] = {"sum(6,0,1,2,1,1,2,1)", "pro(6,0,1,2,1,1,2,1)", "datasum(6,0,1,2)",
                         "datapro(6,0,1,2)", "dataarraysum(6,0,1,0,0)", "simpintegrate(0,1,1,6,1)"};
  static const char kHost[] = "host";
  for (const char* call : calls) {
    d[0] = 0;
    EXPECT_GT(eval(std::string(call) + "+1"), 1.0) << call;  // runs with no error pending
    EXPECT_GT(d[0], 0.0) << call;
    d[0] = 0;
    setfcerr(7, kHost);
    EXPECT_EQ(eval(std::string(call) + "+1"), 1.0) << call;
    EXPECT_EQ(d[0], 0.0) << call;
    EXPECT_ERR(7, "host");
  }

  // An error raised inside the evaluations: the result is 0 and the first
  // error stays.
  com(7, "(x)=x+getd(-1)");
  EXPECT_EQ(eval("sum(7,0,1,3,1)+datasum(7,0,1,2)+simpintegrate(0,1,1e-9,7)+1"), 1.0);
  EXPECT_ERR(1, "getd");
}

}  // namespace

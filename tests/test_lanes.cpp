// Lane code held to the interpreter: rcalv and Icalv over rows whose
// evaluations may run in any order, with the lanes the processor has and
// with 128-bit lanes forced, must give the bits of the loop of single
// interpreted evaluations and leave the same value array behind.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "alloc.h"
#include "engine.h"
#include "fresh_library.h"
#include "jit/jit.h"
#include "jit/tier.h"
#include "quibex.h"

namespace {

using qx::jit::Mode;

const double kNaN = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

struct Layout {
  int32_t rowStride, argStride;  // as multiples of (args, count); see place()
  const char* name;
};

// Argument sets: ordinary values mixed with NaN, infinities, -0, 0 and
// values outside the functions' domains, different in every evaluation.
double argumentValue(int32_t i, int32_t k) {
  static const double special[] = {kNaN, kInf, -kInf, -0.0, 0.0, -1.5, 1e308, -2.0, 0.5, 1.0};
  if ((i * 7 + k * 3) % 5 == 0) return special[(i + k) % 10];
  return 0.25 + ((i * 37 + k * 11) % 101) / 16.0 - 3.0;
}

// Integer argument sets: every pair of the edge values (in the even
// evaluations) mixed with values of every size and small ones.
int32_t integerArgument(int32_t i, int32_t k) {
  static const int32_t edge[] = {0, -1, 1, INT32_MIN, INT32_MAX, 2, -2, 31, 32, -7};
  if (i % 2 == 0) {
    int32_t j = i / 2;
    for (int32_t n = 0; n < k; ++n) j /= 10;
    return edge[j % 10];
  }
  const uint32_t h = static_cast<uint32_t>(i) * 2654435761u + static_cast<uint32_t>(k) * 40503u + 12345u;
  return i % 4 == 1 ? static_cast<int32_t>(h % 61) - 30 : static_cast<int32_t>(h);
}

// Bits of n doubles; NaNs count as one value whatever their sign and
// payload (which operand's NaN an instruction passes on is the compiler's
// choice in the interpreter too, not the formula's).
std::vector<uint64_t> bitsOf(const double* v, int32_t n) {
  std::vector<uint64_t> b(static_cast<size_t>(n));
  if (n > 0) std::memcpy(b.data(), v, sizeof(double) * static_cast<size_t>(n));
  for (int32_t i = 0; i < n; ++i)
    if (v[i] != v[i]) b[static_cast<size_t>(i)] = 1;
  return b;
}
std::vector<uint64_t> bitsOf(const int32_t* v, int32_t n) {
  return std::vector<uint64_t>(v, v + n);
}

// The calls of one engine that the comparisons below make, on row 0.
struct RealEngine {
  using V = double;
  static constexpr int kIndex = 0;
  static constexpr V kFirst[4] = {0.5, -0.25, 2, 3};
  static int32_t com(char* t, int32_t* last) { return rcom(0, t, last); }
  static V cal(const V* a) { return rcal(0, a); }
  static int32_t calv(int32_t n, const V* a, int32_t rs, int32_t as, V* r) { return rcalv(0, n, a, rs, as, r); }
  static V* vals() { return getin(0); }
  static int32_t lastSlot() { return qx::gLib.real.table.header[0][qx::H_LAST_SLOT]; }
  static int32_t err() { return fcerr(nullptr); }
  static V argument(int32_t i, int32_t k) { return argumentValue(i, k); }
};
struct IntEngine {
  using V = int32_t;
  static constexpr int kIndex = 2;
  static constexpr V kFirst[4] = {1, -2, 3, 4};
  static int32_t com(char* t, int32_t* last) { return Icom(0, t, last); }
  static V cal(const V* a) { return Ical(0, a); }
  static int32_t calv(int32_t n, const V* a, int32_t rs, int32_t as, V* r) { return Icalv(0, n, a, rs, as, r); }
  static V* vals() { return Igetin(0); }
  static int32_t lastSlot() { return qx::gLib.integer.table.header[0][qx::H_LAST_SLOT]; }
  static int32_t err() { return Ifcerr(nullptr); }
  static V argument(int32_t i, int32_t k) { return integerArgument(i, k); }
};

class Lanes : public FreshLibrary<2> {
 protected:
  void SetUp() override {
    saved_ = qx::jit::mode();
    FreshLibrary<2>::SetUp();
  }
  void TearDown() override {
    qx::jit::setMode(saved_);
    qx::jit::setLaneWidth(0);
    FreshLibrary<2>::TearDown();
  }
  Mode saved_ = Mode::Tiered;

  struct Outcome {
    std::vector<uint64_t> results, vals;
    int32_t made, err;
  };

  static void freshTables() {
    deletedll();
    EXPECT_EQ(setfornum(2), 1);
    EXPECT_EQ(Isetfornum(2), 1);
    userci();
  }

  // Evaluations of `text` over `count` argument sets laid out with the
  // given strides: the interpreter's loop of single calls, or one bulk
  // call with every row translated (whose lane width is returned in *width).
  template <class E = RealEngine>
  Outcome run(const std::string& text, int32_t count, int32_t rowStride, int32_t argStride, bool bulk,
              int32_t* width = nullptr) {
    using V = typename E::V;
    freshTables();
    qx::jit::setMode(bulk ? Mode::Always : Mode::Off);
    std::string t = text;
    int32_t last = -1;
    EXPECT_EQ(E::com(&t[0], &last), 0) << text;
    const int32_t nArgs = last + 1;
    // Room for every offset the strides reach, arguments placed from `base`.
    const int64_t span = static_cast<int64_t>(count + 1) * std::abs(rowStride) + static_cast<int64_t>(nArgs + 1) * std::abs(argStride) + 8;
    std::vector<V> store(static_cast<size_t>(2 * span + 16), V(7));
    V* base = store.data() + span + 8;
    for (int32_t i = 0; i < count; ++i)
      for (int32_t k = 0; k < nArgs; ++k)
        base[static_cast<int64_t>(i) * rowStride + static_cast<int64_t>(k) * argStride] = E::argument(i, k);
    std::vector<V> results(static_cast<size_t>(count) + 1, V(-5));
    Outcome o{};
    // One evaluation first in both runs, so that the row is translated.
    E::cal(E::kFirst);
    if (bulk) {
      o.made = E::calv(count, base, rowStride, argStride, results.data());
      if (width) *width = qx::jit::laneWidth(E::kIndex, 0);
    } else {
      std::vector<V> a(static_cast<size_t>(nArgs) + 1);
      for (int32_t i = 0; i < count; ++i) {
        for (int32_t k = 0; k < nArgs; ++k)
          a[static_cast<size_t>(k)] = base[static_cast<int64_t>(i) * rowStride + static_cast<int64_t>(k) * argStride];
        results[static_cast<size_t>(i)] = E::cal(a.data());
      }
      o.made = count;
    }
    o.results = bitsOf(results.data(), count + 1);
    o.vals = bitsOf(E::vals(), E::lastSlot() + 1);
    o.err = E::err();
    return o;
  }

  // Every layout and count of interest, for one formula at one width.
  template <class E = RealEngine>
  void holdsToTheLoop(const std::string& text, int32_t expectWidth) {
    const int32_t w = expectWidth;
    for (int32_t count : {0, 1, 2, w - 1, w, w + 1, 2 * w + 1, 3 * w, 1003}) {
      if (count < 0) continue;
      std::string t = text;
      int32_t last = 0;
      freshTables();
      ASSERT_EQ(E::com(&t[0], &last), 0) << text;
      const int32_t n = last + 1;
      const int32_t strides[][2] = {{n, 1}, {1, count}, {n + 3, 1}, {1, count + 5}, {2 * n + 1, -1}, {-(n + 1), 1}, {0, 1}};
      for (const auto& s : strides) {
        const Outcome loop = run<E>(text, count, s[0], s[1], false);
        int32_t width = -1;
        const Outcome bulk = run<E>(text, count, s[0], s[1], true, &width);
        const std::string where = text + " count " + std::to_string(count) + " strides " + std::to_string(s[0]) +
                                  "," + std::to_string(s[1]);
        EXPECT_EQ(width, expectWidth) << where;
        EXPECT_EQ(bulk.made, count) << where;
        EXPECT_EQ(loop.results, bulk.results) << where;
        EXPECT_EQ(loop.vals, bulk.vals) << where;
        EXPECT_EQ(loop.err, bulk.err) << where;
      }
    }
  }
};

// Formulas lanes take: every operator and one-argument function, the
// comparisons and logic on unordered operands, constants, assignments to
// locals and parameters, and segment stores.
const char* const kOrderFree[] = {
    "(x,y,z)=x+y*z-x/y+(y-z)/(x*x)",
    "(x,y)=x^y+y^2+x^0.5",
    "(x)=sqrt(x)+exp(x)+ln(x)+lg(x)",
    "(x)=sin(x)+cos(x)+tan(x)+asin(x/8)+acos(x/8)+atan(x)",
    "(x)=sinh(x)+cosh(x)+tanh(x)+abs(x)+int(x)",
    "(x,y)=gt(x,y)+ge(x,y)*2+lt(x,y)*4+le(x,y)*8+eq(x,y)*16+ne(x,y)*32",
    "(x,y)=and(x,y)+or(x,y)*2+xor(x,y)*4+not(x)*8+not(y)*16",
    "(x,y:t)=(t=x*y)+t*t-(x=t+1)+x",
    "(x,y)=a*b+a,b=[a*2],a=x-y",
    "(x)=1+2*3-4/5",
    "(x,y,z,w)=exp(-x*y)*ln(z+1)+cos(w*x)/(1+y*y)",
};

TEST_F(Lanes, EveryCodeGivesTheInterpretersBitsAtTheProcessorsWidth) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  // The widest lanes the processor offers (2 under Windows' convention).
  deletedll();
  ASSERT_EQ(setfornum(2), 1);
  qx::jit::setMode(Mode::Always);
  char probe[] = "(x)=x+1";
  int32_t last;
  ASSERT_EQ(rcom(0, probe, &last), 0);
  double one = 1;
  rcal(0, &one);
  const int32_t widest = qx::jit::laneWidth(0, 0);
  ASSERT_TRUE(widest == 2 || widest == 4) << widest;
  for (const char* f : kOrderFree) holdsToTheLoop(f, widest);
}

TEST_F(Lanes, EveryCodeGivesTheInterpretersBitsInTwoLanes) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  qx::jit::setLaneWidth(2);
  for (const char* f : kOrderFree) holdsToTheLoop(f, 2);
}

// Integer rows: every operator on the edge values (wrapping + - *, division
// by 0 and INT32_MIN / -1, negative and overflowing powers), every
// one-argument function, comparisons and logic, assignments and segments.
const char* const kIntegerOrderFree[] = {
    "(x,y,z)=x+y*z-x/y+(y-z)/(x*x)",
    "(x,y)=x/y-y/x*3+x*y-(0-x)",
    "(x,y)=x^y+y^2+x^0+2^y+(0-2)^y",
    "(x)=sqrt(x)",
    "(x)=abs(x)",
    "(x)=exp(x)+ln(x)*3+lg(x)*5",
    "(x,y)=gt(x,y)+ge(x,y)*2+lt(x,y)*4+le(x,y)*8+eq(x,y)*16+ne(x,y)*32",
    "(x,y)=and(x,y)+or(x,y)*2+xor(x,y)*4+not(x)*8+not(y)*16",
    "(x,y:t)=(t=x*y)+t*t-(x=t+1)+x",
    "(x,y)=a*b+a,b=[a*2],a=x-y",
    "(x)=2147483647+1+x*0+7/2",
    "(x,y,z,w)=exp(x)*ln(z+1)+w/(1+y*y)+sqrt(abs(w))",
};

TEST_F(Lanes, IntegerRowsGiveTheInterpretersValuesAtEveryWidth) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  // The widest lanes the processor offers (4 under Windows' convention),
  // then four lanes forced.
  freshTables();
  qx::jit::setMode(Mode::Always);
  char probe[] = "(x)=x+1";
  int32_t last;
  ASSERT_EQ(Icom(0, probe, &last), 0);
  const int32_t one = 1;
  Ical(0, &one);
  const int32_t widest = qx::jit::laneWidth(2, 0);
  ASSERT_TRUE(widest == 4 || widest == 8) << widest;
  for (const char* f : kIntegerOrderFree) holdsToTheLoop<IntEngine>(f, widest);
  qx::jit::setLaneWidth(4);
  for (const char* f : kIntegerOrderFree) holdsToTheLoop<IntEngine>(f, 4);
  // Fewer than a 128-bit register holds: no lane code, the same values.
  qx::jit::setLaneWidth(2);
  holdsToTheLoop<IntEngine>(kIntegerOrderFree[0], 0);
}

// Rows whose evaluations depend on one another or on anything outside get
// no lane code, and their bulk calls stay the loop.
TEST_F(Lanes, RowsThatCannotBeReorderedKeepTheLoop) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  const char* const kept[] = {
      "(x:t)=(t=t+x)",                           // reads what the last evaluation left
      "(x:i,s)=(i=0)+(s=0)+for(lt(i,3),(s=s+x),(i=i+1))+s",  // a loop
      "(x)=if(gt(x,0),x,0-x)",                   // a branch
      "(x)=max(x,2)",                            // a function through a call
      "(x,y)=a*b+a,a=x-y,b=[a*2]",               // b's segment runs first and reads the last a
  };
  for (const char* f : kept) {
    int32_t width = -1;
    const Outcome loop = run(f, 9, 1, 9, false);
    const Outcome bulk = run(f, 9, 1, 9, true, &width);
    EXPECT_EQ(width, 0) << f;
    EXPECT_EQ(loop.results, bulk.results) << f;
    EXPECT_EQ(loop.vals, bulk.vals) << f;
  }
}

// Results written over the arguments of later evaluations, or into the
// row's value array, show the order of the loop: such calls keep it.
TEST_F(Lanes, OverlappingResultsAndArgumentsKeepTheLoop) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  for (bool bulk : {false, true}) {
    deletedll();
    ASSERT_EQ(setfornum(2), 1);
    qx::jit::setMode(bulk ? Mode::Always : Mode::Off);
    char f[] = "(x)=x*2+1";
    int32_t last;
    ASSERT_EQ(rcom(0, f, &last), 0);
    std::vector<double> a(40);
    for (size_t i = 0; i < a.size(); ++i) a[i] = static_cast<double>(i);
    double x = 0;
    rcal(0, &x);
    if (bulk) {
      EXPECT_EQ(rcalv(0, 30, a.data(), 1, 1, a.data() + 1), 30);
    } else {
      for (int32_t i = 0; i < 30; ++i) a[static_cast<size_t>(i) + 1] = rcal(0, a.data() + i);
    }
    // each evaluation doubles the result of the one before
    EXPECT_EQ(a[30], std::pow(2.0, 30) - 1) << bulk;
  }
}

// "(t=expr)" does not depend on t's old value only while its constant 0 is
// not true; a host that changes it through the value array gets the loop.
TEST_F(Lanes, AssignmentsWithAChangedConstantKeepTheLoop) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  std::vector<double> out[2];
  for (int bulk : {0, 1}) {
    deletedll();
    ASSERT_EQ(setfornum(2), 1);
    qx::jit::setMode(bulk ? Mode::Always : Mode::Off);
    char f[] = "(x:t)=(t=x*2)+t";
    int32_t last;
    ASSERT_EQ(rcom(0, f, &last), 0);
    const int32_t lastSlot = qx::gLib.real.table.header[0][qx::H_LAST_SLOT];
    ASSERT_EQ(getin(0)[lastSlot], 0.0);  // the constants 2, 1, 0 come last
    double x = 1;
    rcal(0, &x);
    if (bulk) {
      EXPECT_GT(qx::jit::laneWidth(0, 0), 0);
    }
    getin(0)[lastSlot] = 1;
    const double args[9] = {1, -2, 3, -4, 5, 0.5, -0.5, 2, 7};
    out[bulk].assign(10, 0.0);
    if (bulk) {
      EXPECT_EQ(rcalv(0, 9, args, 1, 1, out[bulk].data()), 9);
    } else {
      for (int i = 0; i < 9; ++i) out[bulk][static_cast<size_t>(i)] = rcal(0, args + i);
    }
    out[bulk][9] = getin(0)[1];
  }
  EXPECT_EQ(out[0], out[1]);
}

// Every allocation of a translation with lanes, and the executable memory,
// refused in turn: the row keeps its scalar code or the interpreter, and
// the bulk call its results.
TEST_F(Lanes, FailedLaneTranslationsLeaveTheLoop) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  qx::jit::setMode(Mode::Always);
  const double args[5] = {1, 2, 3, 4, 5};
  for (int64_t k = 0;; ++k) {
    deletedll();
    ASSERT_EQ(setfornum(2), 1);
    char f[] = "(x:t)=(t=x*x)+sqrt(t)";
    int32_t last;
    ASSERT_EQ(rcom(0, f, &last), 0);
    const int64_t before = qx::testing::tierAllocationCount();
    qx::testing::failTierAllocationAfter(k);
    double out[5];
    const int32_t made = rcalv(0, 5, args, 1, 1, out);
    qx::testing::failTierAllocationAfter(-1);
    EXPECT_EQ(made, 5);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(out[i], args[i] * args[i] + args[i]) << k;
    EXPECT_EQ(getin(0)[1], 25.0);
    if (k >= qx::testing::tierAllocationCount() - before) {
      EXPECT_GT(qx::jit::laneWidth(0, 0), 0);
      break;
    }
  }
  deletedll();
  EXPECT_EQ(qx::testing::liveTierAllocations(), 0);
}

// The lane function runs on any copy of the row's value array: the copy
// ends as the last evaluation left it, and the row's own array is untouched.
TEST_F(Lanes, LaneCodeRunsOnACopyOfTheValueArray) {
  if (!qx::jit::available()) GTEST_SKIP() << "built without the machine-code tier";
  qx::jit::setMode(Mode::Always);
  char f[] = "(x,y:t)=(t=x*y)+t";
  int32_t last;
  ASSERT_EQ(rcom(0, f, &last), 0);
  double a[2] = {1, 1};
  rcal(0, a);
  void* code = qx::gLib.real.table.jit[0];
  ASSERT_NE(code, nullptr);
  ASSERT_TRUE(qx::jit::hasLanes(code));
  const int32_t slots = qx::gLib.real.table.header[0][qx::H_LAST_SLOT] + 1;
  std::vector<double> own(getin(0), getin(0) + slots), copy = own;
  const double args[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14};
  double out[7];
  qx::jit::runLanes<qx::RealTraits>(code, 0, 7, args, 2, 1, out, copy.data());
  for (int i = 0; i < 7; ++i) EXPECT_EQ(out[i], 2 * args[2 * i] * args[2 * i + 1]) << i;
  EXPECT_EQ(copy[0], 13.0);
  EXPECT_EQ(copy[1], 14.0);
  EXPECT_EQ(copy[2], 13.0 * 14.0);
  EXPECT_EQ(std::vector<double>(getin(0), getin(0) + slots), own);
  // a block in the middle of the range reads and writes only its own part
  double part[7] = {0, 0, 0, 0, 0, 0, 0};
  qx::jit::runLanes<qx::RealTraits>(code, 2, 5, args, 2, 1, part, copy.data());
  EXPECT_EQ(part[0], 0.0);
  EXPECT_EQ(part[4], 2 * 9.0 * 10.0);
  EXPECT_EQ(part[5], 0.0);
  EXPECT_EQ(copy[2], 9.0 * 10.0);

  // The same for an integer row, over more evaluations than two steps of
  // the widest lanes, starting in the middle.
  char g[] = "(x,y:t)=(t=x*y)+t";
  ASSERT_EQ(Icom(0, g, &last), 0);
  const int32_t b[2] = {1, 1};
  Ical(0, b);
  void* icode = qx::gLib.integer.table.jit[0];
  ASSERT_NE(icode, nullptr);
  ASSERT_TRUE(qx::jit::hasLanes(icode));
  const int32_t islots = qx::gLib.integer.table.header[0][qx::H_LAST_SLOT] + 1;
  std::vector<int32_t> iown(Igetin(0), Igetin(0) + islots), icopy = iown;
  std::vector<int32_t> iargs(80), iout(40, -9);
  for (size_t i = 0; i < iargs.size(); ++i) iargs[i] = static_cast<int32_t>(i) - 30;
  ASSERT_TRUE(qx::jit::runLanes<qx::IntTraits>(icode, 3, 37, iargs.data(), 2, 1, iout.data(), icopy.data()));
  for (int i = 0; i < 40; ++i)
    EXPECT_EQ(iout[static_cast<size_t>(i)], i >= 3 && i < 37 ? 2 * iargs[2 * i] * iargs[2 * i + 1] : -9) << i;
  EXPECT_EQ(icopy[0], iargs[72]);
  EXPECT_EQ(icopy[1], iargs[73]);
  EXPECT_EQ(icopy[2], iargs[72] * iargs[73]);
  EXPECT_EQ(std::vector<int32_t>(Igetin(0), Igetin(0) + islots), iown);
}

}  // namespace

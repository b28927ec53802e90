// Sizing formula tables, the copies engines hold of each other's tables,
// row checks of the interface, and releasing everything.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "alloc.h"
#include "engine.h"
#include "quibex.h"

namespace {

int32_t compileReal(int32_t row, const char* text, int32_t* last = nullptr) {
  std::string t = text;
  int32_t dummy = -99;
  return rcom(row, t.data(), last ? last : &dummy);
}

struct Lifecycle : ::testing::Test {
  void SetUp() override { deletedll(); }
  void TearDown() override { deletedll(); }
};

TEST_F(Lifecycle, ResizingDiscardsFormulas) {
  ASSERT_EQ(setfornum(5), 1);
  ASSERT_EQ(compileReal(0, "1"), 0);
  ASSERT_EQ(compileReal(4, "(x)=x"), 0);
  EXPECT_EQ(getfortrue()[4], 1);
  EXPECT_EQ(getvarnum()[4], 0);
  EXPECT_EQ(getallin()[4], getin(4));
  ASSERT_EQ(setfornum(5), 1);
  for (int r = 0; r < 5; ++r) {
    EXPECT_EQ(getfortrue()[r], 0);
    EXPECT_EQ(getin(r), nullptr);
  }
  EXPECT_EQ(setfornum(0), 1);  // a table without rows
  EXPECT_EQ(compileReal(0, "1"), QX_ERR_BAD_ROW);
  EXPECT_EQ(setfornum(-1), 0);  // cannot be allocated: no table
  EXPECT_EQ(getfortrue(), nullptr);
}

TEST_F(Lifecycle, RowsAreCheckedBeforeAnythingElse) {
  int32_t last = -99;
  EXPECT_EQ(compileReal(0, "1", &last), QX_ERR_BAD_ROW);  // no table yet
  EXPECT_EQ(last, -99);
  ASSERT_EQ(setfornum(3), 1);
  EXPECT_EQ(compileReal(3, "1", &last), QX_ERR_BAD_ROW);
  EXPECT_EQ(compileReal(-1, "1", &last), QX_ERR_BAD_ROW);
  EXPECT_EQ(last, -99);
  double a = 1;
  EXPECT_EQ(rcal(3, &a), 0.0);
  EXPECT_EQ(rcals(-5), 0.0);
  EXPECT_EQ(rcal(1, &a), 0.0);  // inside, but never compiled
  EXPECT_EQ(getin(7), nullptr);
  EXPECT_EQ(getin(1), nullptr);
  QxComplex z = Ccals(0);
  EXPECT_EQ(z.re, 0.0);
  EXPECT_EQ(Icals(0), 0);
  // A failed compile does not write lastArg and leaves the row not compiled.
  ASSERT_EQ(compileReal(1, "(x)=x", &last), 0);
  EXPECT_EQ(last, 0);
  last = -99;
  EXPECT_NE(compileReal(1, "(x)=x+", &last), 0);
  EXPECT_EQ(last, -99);
  EXPECT_EQ(getfortrue()[1], 0);
  EXPECT_EQ(rcal(1, &a), 0.0);
}

TEST_F(Lifecycle, PeerCopiesFollowSizingAndUserci) {
  ASSERT_EQ(setfornum(3), 1);
  ASSERT_EQ(Isetfornum(3), 1);
  ASSERT_EQ(Csetfornum(3), 1);  // the complex engine sees both at once
  EXPECT_EQ(qx::gLib.complexSeesReal.rows, 3);
  EXPECT_EQ(qx::gLib.realSeesComplex.rows, 0);  // not before userci
  ASSERT_EQ(compileReal(0, "calcfor(0,1,1)"), 0);
  std::string t = "(z)=z*z";
  int32_t last;
  ASSERT_EQ(Ccom(0, t.data(), &last), 0);
  EXPECT_EQ(rcal(0, nullptr), 0.0);
  const char* name = nullptr;
  EXPECT_EQ(fcerr(&name), -1);
  userci();
  EXPECT_EQ(rcal(0, nullptr), 0.0);  // (1+i)^2 = 2i: real part 0
  EXPECT_EQ(fcerr(&name), 0);
  t = "(z)=z*3";
  ASSERT_EQ(Ccom(0, t.data(), &last), 0);  // visible without another userci
  EXPECT_EQ(rcal(0, nullptr), 3.0);

  // A failed resize leaves that type without a table; the others stay.
  qx::testing::failAllocationAfter(0);
  EXPECT_EQ(Isetfornum(4), 0);
  qx::testing::failAllocationAfter(-1);
  EXPECT_EQ(Igetfortrue(), nullptr);
  EXPECT_EQ(rcal(0, nullptr), 3.0);
  EXPECT_EQ(Cgetfortrue()[0], 1);
}

TEST_F(Lifecycle, DeletedllReleasesEverythingAndASecondLifeWorks) {
  const int64_t baseline = qx::testing::liveAllocations();
  static const char* names[] = {"k", ""};
  static const double values[] = {4};
  for (int life = 0; life < 2; ++life) {
    setdoubleconst(names, values);
    ASSERT_EQ(setfcstrmax(10), 1);
    ASSERT_EQ(setfornum(4), 1);
    ASSERT_EQ(Csetfornum(2), 1);
    ASSERT_EQ(Isetfornum(2), 1);
    userci();
    ASSERT_EQ(compileReal(0, "newdoubles(3)+newdoublearrays(2)+newdoublearray(1,4,1)+setd(0,k)+\"s\"*0"), 0);
    EXPECT_EQ(rcal(0, nullptr), 4.0);
    ASSERT_EQ(compileReal(1, "setstackmax(20)+for(0,1)+getd(9)"), 0);
    rcal(1, nullptr);
    EXPECT_EQ(fcerrnum(), 1);
    EXPECT_GT(qx::testing::liveAllocations(), baseline);
    deletedll();
    EXPECT_EQ(qx::testing::liveAllocations(), baseline);
    // As freshly loaded: nothing registered, no pending error, default limits.
    EXPECT_EQ(fcerrnum(), 0);
    EXPECT_EQ(qx::gLib.real.levelLimit, 16);
    EXPECT_EQ(qx::gLib.real.constNames, nullptr);
    EXPECT_EQ(getfcstr(nullptr), nullptr);
    EXPECT_EQ(getfcdoubles(nullptr), nullptr);
  }
  EXPECT_STREQ(ver(), STDver());
}

// The header's version macros agree with each other and with what the
// library reports.
TEST(Version, HeaderMacrosMatchVer) {
  char numbers[64];
  std::snprintf(numbers, sizeof numbers, "%d.%d.%d", QX_VERSION_MAJOR, QX_VERSION_MINOR, QX_VERSION_PATCH);
  EXPECT_STREQ(QX_VERSION_STRING, numbers);
  EXPECT_EQ(std::string(ver()), std::string("quibex formula engine ") + QX_VERSION_STRING);
}

}  // namespace

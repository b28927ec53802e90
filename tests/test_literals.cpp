// String literals through the compile drivers: slot numbers in formulas,
// formula names, lookups across engines, and the pre-pass error codes.
#include <gtest/gtest.h>

#include <string>

#include "alloc.h"
#include "fresh_library.h"
#include "quibex.h"

namespace {

struct Literals : FreshLibrary<5> {
  static int32_t real(int32_t row, const std::string& text, int32_t* lastOut = nullptr) {
    std::string t = text;
    int32_t last = -99;
    const int32_t r = rcom(row, t.data(), &last);
    EXPECT_EQ(t, text) << "the caller's text must come back unchanged";
    if (lastOut) *lastOut = last;
    return r;
  }
  static std::string slotText(int32_t slot) {
    int32_t* lens = nullptr;
    char** texts = getfcstr(&lens);
    return texts && texts[slot] ? std::string(texts[slot]) : std::string("<null>");
  }
};

TEST_F(Literals, SlotsNamesAndLookups) {
  EXPECT_EQ(real(0, "1+2"), 0);  // no literal: no table needed
  EXPECT_EQ(real(1, "\"abc\""), QX_ERR_NO_STRING_TABLE);
  EXPECT_EQ(setfcstrmax(9), 0);
  ASSERT_EQ(setfcstrmax(10), 1);

  int32_t last = -99;
  ASSERT_EQ(real(2, "\"area\"(r)=r*r", &last), 0);
  EXPECT_EQ(last, 0);
  double r = 3;
  EXPECT_EQ(rcal(2, &r), 9.0);
  EXPECT_EQ(slotText(1), "area");
  ASSERT_EQ(real(3, "#\"area\"*10+$\"area\""), 0);
  EXPECT_EQ(rcal(3, nullptr), 22.0);

  std::string c = "\"cz\"(z)=z*2";
  ASSERT_EQ(Ccom(4, c.data(), &last), 0);
  ASSERT_EQ(real(3, "#\"c#cz\"*10+$\"cz\"+#\"#cz\"*100"), 0);
  EXPECT_EQ(rcal(3, nullptr), 443.0);
  EXPECT_EQ(real(3, "#\"cz\""), QX_ERR_HASH_NOT_FOUND);  // own type only
  std::string i = "$\"area\"+#\"r#area\"";
  ASSERT_EQ(Icom(0, i.data(), &last), 0);
  EXPECT_EQ(Ical(0, nullptr), 4);

  // The same slot twice through &"text"; the formula is named "f".
  ASSERT_EQ(real(3, "\"f\"(x)=eq(\"abc\",&\"abc\")+\"abc\"-&\"abc\""), 0);
  double x = 0;
  EXPECT_EQ(rcal(3, &x), 1.0);
  EXPECT_EQ(real(3, "(x)=&\"zz\""), QX_ERR_TEXT_NOT_FOUND);
  EXPECT_EQ(real(3, "$\"nope\""), QX_ERR_DOLLAR_NOT_FOUND);

  // Recompiling a row gives its strings back first: slots are reused.
  ASSERT_EQ(real(4, "\"one\""), 0);
  const double first = rcal(4, nullptr);
  ASSERT_EQ(real(4, "\"two\""), 0);
  EXPECT_EQ(rcal(4, nullptr), first);
  EXPECT_EQ(slotText(static_cast<int32_t>(first)), "two");
}

TEST_F(Literals, EveryPrepassErrorThroughTheDriver) {
  ASSERT_EQ(setfcstrmax(10), 1);
  // Row 0 holds a formula without strings: its flag survives every error.
  ASSERT_EQ(real(0, "1+1"), 0);
  const struct {
    const char* text;
    int32_t code;
  } cases[] = {
      {"\"a\\nb\"", QX_ERR_STRING_LITERAL},
      {"\"open", QX_ERR_STRING_LITERAL},
      {"$\"nobody\"", QX_ERR_DOLLAR_NOT_FOUND},
      {"#\"nobody\"", QX_ERR_HASH_NOT_FOUND},
      {"&\"nothing\"", QX_ERR_TEXT_NOT_FOUND},
      {"@\"nothing\"", QX_ERR_TEXT_NOT_FOUND},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(real(0, c.text), c.code) << c.text;
    EXPECT_EQ(getfortrue()[0], 1) << c.text;
  }
  EXPECT_EQ(rcal(0, nullptr), 2.0);

  std::string longText(32770, '1');
  longText += "+\"x\"";
  EXPECT_EQ(real(0, longText), QX_ERR_TOO_MANY_LITERALS);
  EXPECT_EQ(getfortrue()[0], 1);

  std::string nine = "\"1\"";
  for (int k = 2; k <= 10; ++k) nine += "+\"" + std::to_string(k) + "\"";
  EXPECT_EQ(real(1, nine), QX_ERR_STRING_TABLE_FULL);  // ten literals, nine slots
  EXPECT_EQ(getfortrue()[0], 1);

  qx::testing::failAllocationAfter(1);  // the work buffer succeeds, the literal fails
  const int32_t r = real(1, "\"x\"+\"y\"");
  qx::testing::failAllocationAfter(-1);
  EXPECT_EQ(r, QX_ERR_STRING_NO_MEMORY);

  // A row whose formula used strings is no longer runnable once the
  // pre-pass gave them back.
  ASSERT_EQ(real(2, "\"s\"+1"), 0);
  EXPECT_EQ(real(2, "\"bad"), QX_ERR_STRING_LITERAL);
  EXPECT_EQ(getfortrue()[2], 0);
  EXPECT_EQ(rcal(2, nullptr), 0.0);
}

TEST_F(Literals, BytesRoundTripThroughTheTable) {
  ASSERT_EQ(setfcstrmax(20), 1);
  // GBK text (its second byte 0x5C written as an escaped backslash), an
  // escaped quote and an escaped backslash.
  const std::string gbk = "\xD6\xD0\xCE\xC4\x95\\\\";
  const std::string text = "(x)=x+\"n\"-\"n\"+\"" + gbk + "\"*0+\"q\\\"\\\\\"*0";
  ASSERT_EQ(real(0, text), 0);
  int32_t* lens = nullptr;
  char** texts = getfcstr(&lens);
  ASSERT_NE(texts, nullptr);
  EXPECT_EQ(std::string(texts[3]), "\xD6\xD0\xCE\xC4\x95\\");
  EXPECT_EQ(lens[3], 8);  // source characters between the quotes, plus one
  EXPECT_EQ(std::string(texts[4]), "q\"\\");
  EXPECT_EQ(lens[4], 6);
  double x = 5;
  EXPECT_EQ(rcal(0, &x), 5.0 + 1 - 2);

  initfcstr();  // the next literal goes to slot 1 again
  ASSERT_EQ(real(1, "\"again\""), 0);
  EXPECT_EQ(rcal(1, nullptr), 1.0);
  EXPECT_EQ(slotText(1), "again");
}

}  // namespace

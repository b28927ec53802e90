// Where a compile error is (comerrpos and its twins) and the texts of
// compile codes and run-time errors (comerrtext, fcerrtext).
#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "engine.h"
#include "fresh_library.h"
#include "quibex.h"

namespace {

using ErrorReports = FreshLibrary<4>;

struct Engine {
  const char* label;
  int32_t (*com)(int32_t, const char*, int32_t*);
  int32_t (*pos)(void);
};
const Engine kEngines[] = {{"real", rcom, comerrpos}, {"complex", Ccom, Ccomerrpos}, {"integer", Icom, Icomerrpos}};

struct Mistake {
  const char* text;
  int32_t code;
  const char* at;  // the offending text: the position is its first occurrence
  int nth = 1;     // or its nth occurrence
};

int32_t offsetOf(const std::string& text, const char* at, int nth) {
  size_t p = std::string::npos;
  for (int k = 0; k < nth; ++k) p = text.find(at, p == std::string::npos ? 0 : p + 1);
  return p == std::string::npos ? -100 : static_cast<int32_t>(p);
}

// The ordinary mistakes, written with blanks, brackets of every kind,
// string literals, a formula name, locals, segments, calls and assignments
// that the compiler rewrites before it finds them. Only functions all three
// engines have.
const Mistake kMistakes[] = {
    {"1+*2", 1, "*"},
    {" ( x ) = x +  * 2", 1, "*"},
    {"(x) = 2 x", 1, "x", 2},
    {"(x)=x*", 1, "*"},
    {"\"f\" (x) = \"s\" + x + * 2", 1, "*"},
    {"(x:k) = which( gt(x,0), x+ +1, 2)", 1, "+", 2},
    {"(x) = (x = x + 1) + *x", 1, "*"},
    {"(x) = x + yy", 12, "yy"},
    {"  \"name\" ( x ) = \"abc\" + \"de\" + yy", 12, "yy"},
    {"(x) = which(1, \"lit\", zz)", 12, "zz"},
    {"(x:k) = (k = x) + a2, a2 = k * qq", 12, "qq"},
    {"(x) = (q = 1) + x", 12, "q"},
    {"(x) = x + foo(x)", 10, "foo"},
    {"(x) = \"s\" + abs(x) + bar( 2 )", 10, "bar"},
    {"(x)=((x+1)", 8, "(", 2},
    {"(x) = [x + 1", 8, "["},
    {"(x) = x + 1)", 8, ")", 2},
    {"(x) = {x + 1]", 8, "]"},
    {"(x) = which(1,  x]", 8, "]"},
    {"(x) = \"a\" + (x $ 2)", 14, "$"},
    {"(x) = x\t+ 1", 14, "\t"},
    {"(x) = x ! 1", 14, "!"},
    {"(x) = x + 1.2.3", 13, "1.2"},
    {"(x, x) = 1", 7, "x", 2},
    {"(x, 1y) = 1", 6, "1"},
    {"(x+y) = 1", 5, "+"},
    {"x = 1", 4, "="},
    {"(x) y = 1", 3, "="},
    {"(x) = ", 2, " ", 2},  // just after the "="
    {"(x)=", 2, ""},
    {"(x) = which(1,, 2)", 16, ",", 2},
    {"(x) = 1, y", 17, "y"},
    {"(x) = \"a\\q\"", 18, "\\"},
    {"(x) = 1 + \"abc", 18, "\""},
    {"(x) = $\"nobody\" + 1", 22, "$"},
    {"(x) = 1 + #\"nobody\"", 23, "#"},
    {"(x) = &\"never\"", 24, "&"},
};

TEST_F(ErrorReports, PositionsPointAtTheMistakeInEveryEngine) {
  ASSERT_EQ(setfcstrmax(64), 1);
  for (const Engine& e : kEngines) {
    EXPECT_EQ(e.pos(), -1) << e.label << ": before any compile";
    for (const Mistake& m : kMistakes) {
      std::string text = m.text;
      int32_t last = 0;
      const int32_t code = e.com(1, text.data(), &last);
      const int32_t want = m.at[0] ? offsetOf(m.text, m.at, m.nth) : static_cast<int32_t>(text.size());
      EXPECT_EQ(code, m.code) << e.label << ": " << m.text;
      EXPECT_EQ(e.pos(), want) << e.label << ": " << m.text << "\n  "
                               << std::string(static_cast<size_t>(e.pos() < 0 ? 0 : e.pos()), ' ') << "^";
      EXPECT_EQ(text, m.text) << "the host's text is unchanged";
    }
    std::string good = "(x) = \"ok\" + x";
    int32_t last = 0;
    ASSERT_EQ(e.com(1, good.data(), &last), 0);
    EXPECT_EQ(e.pos(), -1) << e.label << ": after a success";
  }
}

TEST_F(ErrorReports, PositionsOfWholeTextCodesAndPerEngineRecords) {
  int32_t last = 0;
  std::string bad = "(x)=x+*1", good = "2", empty = "";
  // Each engine keeps its own position.
  ASSERT_EQ(rcom(0, bad.data(), &last), 1);
  ASSERT_EQ(Icom(0, good.data(), &last), 0);
  EXPECT_EQ(comerrpos(), 6);
  EXPECT_EQ(Icomerrpos(), -1);
  EXPECT_EQ(Ccomerrpos(), -1);
  // The complex engine's own codes.
  std::string imag = "(x, i) = x";
  EXPECT_EQ(Ccom(0, imag.data(), &last), 9);
  EXPECT_EQ(Ccomerrpos(), 4);
  // Codes about the row or the whole text are placed at 0.
  EXPECT_EQ(rcom(99, good.data(), &last), QX_ERR_BAD_ROW);
  EXPECT_EQ(comerrpos(), 0);
  EXPECT_EQ(rcom(0, empty.data(), &last), QX_ERR_EMPTY);
  EXPECT_EQ(comerrpos(), 0);
  // A blank text is empty too: the missing expression would start at 0.
  std::string blank = "   ";
  EXPECT_EQ(Icom(0, blank.data(), &last), QX_ERR_EMPTY);
  EXPECT_EQ(Icomerrpos(), 0);
  // A literal without a string table: the first literal.
  std::string lit = "(x) = x + \"a\"";
  EXPECT_EQ(rcom(0, lit.data(), &last), QX_ERR_NO_STRING_TABLE);
  EXPECT_EQ(comerrpos(), 10);
  // deletedll forgets the positions.
  deletedll();
  EXPECT_EQ(comerrpos(), -1);
  EXPECT_EQ(Ccomerrpos(), -1);
  ASSERT_EQ(setfornum(1), 1);
  EXPECT_EQ(STDcomerrpos(), -1);
}

TEST(ErrorTexts, EveryCompileCodeHasItsOwnText) {
  std::set<std::string> seen;
  for (int32_t code = 0; code <= 27; ++code) {
    const char* t = comerrtext(code);
    ASSERT_NE(t, nullptr);
    EXPECT_GT(std::strlen(t), 5u) << code;
    EXPECT_TRUE(seen.insert(t).second) << "code " << code << " shares its text";
  }
  const std::string unknown = comerrtext(28);
  EXPECT_EQ(unknown, comerrtext(-1));
  EXPECT_EQ(seen.count(unknown), 0u);
  EXPECT_STREQ(STDcomerrtext(8), comerrtext(8));
}

// Errors really recorded by the three engines get the text of their
// function, not the generic text of their number.
TEST_F(ErrorReports, RuntimeTextsFollowTheRecordingFunction) {
  struct Case {
    int engine;
    const char* formula;
    int32_t number;
    const char* words;  // part of the expected text
  };
  const Case cases[] = {
      {0, "getd(-1)", 1, "number store"},
      {1, "getc(-1)", 1, "number store"},
      {2, "geti(-1)", 1, "number store"},
      {0, "getda(0,0)", 1, "no array store"},
      {2, "newlongarrays(1)+newlongarray(0,1,5,6)", 5, "more initial values"},
      {0, "setcyclemax(2)+for(1,0)", 1, "iteration limit"},
      {1, "setcyclemax(2)+dowhile(0,1)", 1, "iteration limit"},
      {2, "which()", 1, "no condition"},
      {0, "calfor(7)", 1, "row outside"},
      {1, "calrfor(3)", 2, "no compiled formula"},
      {2, "calcfor(0,1)", 3, "wrong number of arguments"},
      {0, "para(0,5)", 3, "parameter index"},
      {0, "sum(0,0,2,1,1)", 6, "start greater than end"},
      {0, "simpintegrate(0,1,0,0)", 4, "no convergence"},
      {0, "setstackmax(0)", 1, "1 to 32766"},
      {2, "setcyclemax(1)", 1, "less than 2"},
      {0, "max()", 1, "no arguments"},
  };
  std::string target = "(x)=x", ctarget = "(x)=x";
  int32_t last = 0;
  ASSERT_EQ(rcom(0, target.data(), &last), 0);
  ASSERT_EQ(Ccom(0, ctarget.data(), &last), 0);
  for (const Case& c : cases) {
    std::string f = c.formula;
    const char* name = nullptr;
    int32_t n = 0;
    if (c.engine == 0) {
      ASSERT_EQ(rcom(1, f.data(), &last), 0) << f;
      rcals(1);
      n = fcerr(&name);
    } else if (c.engine == 1) {
      ASSERT_EQ(Ccom(1, f.data(), &last), 0) << f;
      Ccals(1);
      n = Cfcerr(&name);
    } else {
      ASSERT_EQ(Icom(1, f.data(), &last), 0) << f;
      Icals(1);
      n = Ifcerr(&name);
    }
    EXPECT_EQ(n, c.number) << f;
    const std::string text = fcerrtext(n, name);
    EXPECT_NE(text.find(c.words), std::string::npos) << f << " (" << (name ? name : "null") << "): " << text;
  }
}

TEST(ErrorTexts, SameNumberDiffersByFunctionAndFallsBackByNumber) {
  // 1 for a loop and 1 for a store are different errors.
  EXPECT_STRNE(fcerrtext(1, "for"), fcerrtext(1, "getd"));
  // All three spellings of one store function share the text.
  EXPECT_STREQ(fcerrtext(3, "setda"), fcerrtext(3, "setca"));
  EXPECT_STREQ(fcerrtext(3, "setda"), fcerrtext(3, "getia"));
  // A formula-calling function's common numbers, and its own.
  EXPECT_STREQ(fcerrtext(2, "sum"), fcerrtext(2, "calfor"));
  EXPECT_STRNE(fcerrtext(4, "sum"), fcerrtext(4, "simpintegrate"));
  // Unknown or null names, and numbers a function never records, get the
  // number's generic text; never null.
  EXPECT_STREQ(fcerrtext(1, nullptr), fcerrtext(1, "myhostfunction"));
  EXPECT_STREQ(fcerrtext(9, "getd"), fcerrtext(9, nullptr));
  EXPECT_STREQ(fcerrtext(QX_RTERR_INTERRUPTED, nullptr), fcerrtext(QX_RTERR_INTERRUPTED, QX_RTERR_INTERRUPTED_NAME));
  EXPECT_STREQ(fcerrtext(0, "getd"), "no error");
  EXPECT_NE(std::string(fcerrtext(QX_RTERR_STALE_FUNCTION, QX_RTERR_STALE_FUNCTION_NAME)).find("no longer"),
            std::string::npos);
  EXPECT_NE(std::string(fcerrtext(-2, "rcals")).find("too deep"), std::string::npos);
  for (int32_t n : {-4, -3, -2, -1, 0, 1, 2, 3, 4, 5, 6, 7, 1000}) EXPECT_NE(fcerrtext(n, "x"), nullptr);
  EXPECT_STREQ(STDfcerrtext(1, "for"), fcerrtext(1, "for"));
}

// Every built-in function of each engine that records run-time errors has
// its own texts: the name is known to the table.
TEST(ErrorTexts, EveryRecordingBuiltinIsKnown) {
  const std::set<std::string> silent = {"if", "one", "break", "return", "gt", "ge", "lt", "le", "eq", "ne",
                                        "and", "or", "not", "xor", "atan2", "fmod", "modf", "sign", "dim", "mod"};
  auto check = [&](const qx::BuiltinName* table, int count) {
    for (int k = 0; k < count; ++k) {
      const std::string name = table[k].name;
      if (silent.count(name)) continue;
      EXPECT_STRNE(fcerrtext(1, name.c_str()), fcerrtext(1, nullptr)) << name;
    }
  };
  check(qx::RealTraits::kBuiltins, qx::RealTraits::kBuiltinCount);
  check(qx::ComplexTraits::kBuiltins, qx::ComplexTraits::kBuiltinCount);
  check(qx::IntTraits::kBuiltins, qx::IntTraits::kBuiltinCount);
}

}  // namespace

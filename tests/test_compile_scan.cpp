// Scanning formula text: number literals, which the compiler reads without
// the library's decimal conversion when they are short (each must still get
// exactly the double that conversion gives), and which error a text with
// several faults reports, and where.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "compiler/lexer.h"
#include "fresh_library.h"
#include "quibex.h"

namespace {

using qx::compiler::decimalToDouble;
using qx::compiler::scanNumber;

uint64_t bits(double d) {
  uint64_t u;
  std::memcpy(&u, &d, sizeof u);
  return u;
}

// Scans `text` (followed by a character that ends a number) and compares
// value and length with the full conversion of the number's characters.
void expectConversion(const std::string& text) {
  std::string buf = text + "+x";
  double got = -1.0;
  const int32_t len = scanNumber(&buf[0], got);
  ASSERT_EQ(len, static_cast<int32_t>(text.size())) << text;
  EXPECT_EQ(buf, text + "+x") << "the text is left as it was";
  EXPECT_EQ(bits(got), bits(decimalToDouble(text.c_str()))) << text;
}

TEST(CompileNumbers, ShortAndLongLiteralsConvertExactly) {
  // Boundaries of the short path: 15 and 16 significant digits, powers of
  // ten 22 and 23 either way, leading and trailing zeros, halfway cases.
  const char* const fixed[] = {
      "0", "0.", ".0", "000", "0.000", "0e0", "0e400", "0.0e-400", "1", "5.", ".5", "1e5", "1.5e-3", "2e+10",
      "0.1", "0.2", "0.3", "0.7", "1.1", "3.141592653589793", "2.718281828459045", "123456789012345",
      "1234567890123456", "9007199254740993", "999999999999999", "9999999999999999", "100000000000000000000000",
      "1e22", "1e23", "1e-22", "1e-23", "123456789012345e22", "123456789012345e-22", "1.23456789012345e-7",
      "0.000000000000000000001", "0.0000000000000000000001", "00000000000000000000123.25", "1230000000000000000000",
      "4.35", "8.41", "5e-324", "1e308", "1.7976931348623157e308", "2.2250738585072014e-308", "1e-320",
      "2147483647", "2147483648", "4294967296", "0.30000000000000004", "1e0000000000000000000001",
      "1.000000000000000000000000000001", "7e-10", "5e-1", "25e-1", "125e-3", "9.999999999999999e22"};
  for (const char* t : fixed) expectConversion(t);

  // Generated literals of every shape: 1 to 20 digits, a point anywhere or
  // none, exponents from -40 to 40.
  uint64_t state = 12345;
  auto next = [&state](uint32_t n) {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<uint32_t>((state >> 33) % n);
  };
  for (int k = 0; k < 50000; ++k) {
    std::string t;
    const uint32_t digits = 1 + next(20);
    const uint32_t point = next(digits + 2);  // digits + 1: no point
    for (uint32_t d = 0; d < digits; ++d) {
      if (d == point) t += '.';
      t += static_cast<char>('0' + (next(4) == 0 ? 0 : next(10)));
    }
    if (point == digits) t += '.';
    if (next(3) == 0) {
      t += 'e';
      const uint32_t sign = next(3);
      if (sign == 1) t += '-';
      if (sign == 2) t += '+';
      t += std::to_string(next(41));
    }
    expectConversion(t);
    if (HasFailure()) return;
  }
}

TEST(CompileNumbers, MalformedLiteralsAreRejected) {
  for (const char* t : {".", "1.2.3", "1e", "1e+", "1e-", "1e2.5", "..5", "1.e.2", "e5"}) {
    std::string buf = t;
    double v = 0;
    EXPECT_EQ(scanNumber(&buf[0], v), -1) << t;
  }
}

// The first error in the order the compiler looks for them wins: brackets
// before illegal characters, names and numbers before the shape of the
// expression, reserved names before everything after them.
using CompileScan = FreshLibrary<1>;

TEST_F(CompileScan, ErrorsWinInOrderAndKeepTheirPlace) {
  struct Case {
    const char* text;
    int32_t code;
    int32_t pos;
  };
  const Case cases[] = {
      {"(x)=(x+1]*!", 8, 8},     // wrong closing kind, before the "!"
      {"(x)=(x", 8, 4},          // the bracket left open
      {"(x)=x)", 8, 5},
      {"(x)=x+y!", 14, 7},       // "!" before the undefined y
      {"(x)=x$+1", 14, 5},       // an illegal character after the names are read
      {"(x)=x$+q", 12, 7},       // so the undefined q wins
      {"(x)=x*", 1, 5},          // operator at the end
      {"(x)=x**2", 1, 6},        // two operators, at the second
      {"(x)=(x)(x)", 1, 7},      // ")(" at the "("
      {"(x)=2x", 1, 5},          // two operands
      {"(x)=sqrt()", 1, 9},      // "()"
      {"(x)=b(x)", 10, 4},       // a reserved name
      {"(x)=B(x)", 10, 4},       // also in capitals
      {"(x)=x+B (x)", 10, 6},    // and with a blank before its bracket
      {"(x)=xb(x)", 10, 4},      // a name that only ends in one is undefined
      {"((x+1))", 12, 2},        // outer brackets dropped, then x is undefined
      {"([x+1])", 12, 2},
      {"(x+1)*(x)", 12, 1},      // not one pair around the whole text
      {"SIN(X)+Cos(2)", 12, 4},
      {"(x)=x,a", 17, 6},
      {"(x)=max(x,,1)", 16, 10},
      {"(x) = x +  ! 2", 14, 11},  // positions count the blanks
      {"()=", 2, 3},
  };
  for (const Case& c : cases) {
    int32_t last = -99;
    EXPECT_EQ(rcom(0, c.text, &last), c.code) << c.text;
    EXPECT_EQ(comerrpos(), c.pos) << c.text;
    EXPECT_EQ(last, -99) << c.text;
  }
  // Texts whose outer brackets or literals take the other paths compile.
  for (const char* text : {"{(x)=x*2}", "(x)=1.5e3+.5+5.+1e-400+123456789012345678", "(x)=(x=x+1)*2",
                           "(x,y:t)=for(lt(t,3),(t=t+1))+if(gt(x,y),x,y)", "(x)=-x^2+(-x)"}) {
    int32_t last = -99;
    EXPECT_EQ(rcom(0, text, &last), 0) << text;
    EXPECT_EQ(comerrpos(), -1) << text;
  }
}

}  // namespace

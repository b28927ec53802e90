// The compiler and its output: compile codes of all three engines, the exact
// bytes, header, pointer table and value array a row receives, constant
// folding, and the compile driver's work area and failure behaviour.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "alloc.h"
#include "engine.h"
#include "fresh_library.h"
#include "quibex.h"

namespace {

enum Eng { kReal, kComplex, kInt };
const char* const kEngName[] = {"real", "complex", "integer"};

int32_t compileIn(Eng e, int32_t row, const std::string& text, int32_t* lastArg) {
  std::string copy = text;
  switch (e) {
    case kReal: return rcom(row, copy.data(), lastArg);
    case kComplex: return Ccom(row, copy.data(), lastArg);
    default: return Icom(row, copy.data(), lastArg);
  }
}

uint8_t* flagsOf(Eng e) {
  return e == kReal ? getfortrue() : e == kComplex ? Cgetfortrue() : Igetfortrue();
}

// What one compiled real row holds, read from the table.
struct RealRow {
  std::vector<int> code;    // up to and including the terminating 0
  std::vector<int> header;  // lastArg, codeLength, refCount, lastSlot
  std::vector<double> vals;
  std::vector<long> ptrs;   // slot index each pointer-table entry points to
};

RealRow readReal(int32_t row) {
  const auto& t = qx::gLib.real.table;
  RealRow r;
  const int32_t* h = t.header[row];
  r.header.assign(h, h + 4);
  for (int32_t i = 0; i <= h[qx::H_CODE_LENGTH]; ++i) r.code.push_back(t.code[row][i]);
  r.vals.assign(t.vals[row], t.vals[row] + h[qx::H_LAST_SLOT] + 1);
  for (int32_t i = 0; i <= h[qx::H_REF_COUNT]; ++i) r.ptrs.push_back(t.ptrs[row][i] - t.vals[row]);
  return r;
}

RealRow compileReal(const std::string& text, int32_t row = 0) {
  int32_t last = -99;
  EXPECT_EQ(compileIn(kReal, row, text, &last), 0) << text;
  if (getfortrue()[row] != 1) return {};
  return readReal(row);
}

class CompilerConformance : public FreshLibrary<4> {};

struct CodeCase {
  const char* text;
  int code;
};

// Compile codes that all three compilers give alike. A failed compile
// leaves the row not compiled and does not write the argument count.
TEST_F(CompilerConformance, CompileCodesOfAllEngines) {
  const std::vector<CodeCase> cases = {
      // accepted, including every number form
      {".5", 0}, {"5.", 0}, {"1e5", 0}, {"1.5E-3", 0}, {"2e+10", 0}, {"1E-2", 0},
      {"(x)=2^(-1)", 0}, {"(x)=[x+1]*{x-1}", 0}, {"(X)=SQRT(X)", 0}, {"(x : t)=t", 0},
      {"f(x)=x", 0}, {"(( (x)=x ))", 0}, {"()=1", 0}, {"(:t)=t", 0}, {"(x:)=x", 0},
      {"(x)=-x", 0}, {"(x)=+x", 0}, {"(x)=(x=x+1)*2", 0}, {"(x)=one((x=1))", 0},
      {"(sqrt)=sqrt(sqrt)", 0}, {"(gt)=gt(gt,1)", 0}, {"(a,b)=a*b", 0},
      {"1, y=2", 0}, {"(x)=y, y=x", 0}, {"(x)=for(0,break(),continue())", 0},
      {"(x)=dowhile(one(break()),0)", 0}, {"(x)=gt[x,1]", 0}, {"(x)=one{(x),(x)}", 0},
      {"(x)=mov(x+1)", 0}, {"(x)=x*2+ln(x)", 0}, {"(_x,x_1)=_x*x_1", 0},
      // 1: syntax
      {"(x)=2^-1", 1}, {"(x)=(x)(x)", 1}, {"(x)=2x", 1}, {"(x)=x=1", 1}, {"(x)=1+x=2", 1},
      {"+", 1}, {"(x)=x+", 1}, {"(x)=*x", 1}, {"(x)=(+)", 1}, {"(x)=x*(/x)", 1},
      {"(x)=sqrt()", 1}, {"(x)=sqrt(x)x", 1}, {"(x)=(x)sqrt(x)", 1}, {"(x)=2sqrt(x)", 1},
      {"(x)=1 2.5.", 13}, {"(x)=(=x)", 1}, {"(x)=(x=)", 1}, {"(x)=mov(2)", 1},
      {"(x)=x--x", 1}, {"(x)=()", 1},
      // 2: empty
      {"", 2}, {"   ", 2}, {"()", 2}, {"(())", 2}, {"[ ]", 2}, {",x", 2}, {"(x)=", 2}, {"(x)=  ", 2},
      // 3 and 4: the parameter list's "="
      {"ab=1", 3}, {"(x)y=x", 3}, {"f(x)+1=x", 3},
      {"=1", 4}, {"x=1", 4}, {"[x)=x", 4},
      // 5, 6, 7: parameter names
      {"(x+y)=x", 5}, {"(x;y)=x", 5}, {"(x\ty)=x", 5}, {"(x!)=x", 5}, {"(x:y:z)=x", 5},
      {"(1x)=1", 6}, {"(x,2)=x", 6}, {"(x)=(2y=x)", 6},
      {"(x,x)=x", 7}, {"(x:x)=x", 7}, {"(x)=x, x=1", 7}, {"(a)=a, b=1, b=2", 7},
      // 8: brackets
      {"(x)=(x+1]", 8}, {"(x)=(x+1", 8}, {"(x)=x+1)", 8}, {"(x)=sqrt(x", 8}, {"((x)", 8},
      {"one(1,2", 8}, {"(x)=x, y=(1", 8}, {"(x)=[x+1)", 8}, {"(x)=one(1,[2)]", 8},
      // 10: functions
      {"log(1)", 10}, {"log10(1)", 10}, {"(x)=a(x)", 10}, {"(x)=f[x]", 10}, {"(x)=sqrtx(x)", 10},
      {"(x)=x(1)", 10}, {"(x)=b(x)", 10}, {"(x)=E (x)", 10}, {"(x)=foo(x)", 10},
      // 12: names
      {"x", 12}, {"(x)=y", 12}, {"(x)=(y=1)", 12}, {"pi", 12}, {"(x)=x+_y", 12}, {"(x)=x+X1", 12},
      // 13: numbers
      {"1.2.3", 13}, {".", 13}, {"1e", 13}, {"1e+", 13}, {"1e2.5", 13}, {"2e+x", 13},
      {"1e-", 13}, {"..5", 13}, {"(x)=x+1..2", 13}, {"(x)=x*.", 13}, {"(x)=1ex", 13},
      // 14: characters
      {"1\t+2", 14}, {"1\n+2", 14}, {"1+2\r", 14}, {"(x)=x!", 14}, {"(x)=sqrt(x,1)", 14},
      {"(x)=x:1", 14}, {"(x)=x;1", 14}, {"(x)=x%2", 14}, {"(x)=x\x80", 14}, {"(x)=x&1", 14},
      // 16: argument counts
      {"(x)=gt(x)", 16}, {"(x)=if(x)", 16}, {"(x)=break()", 16}, {"(x)=continue()", 16},
      {"one(1,,2)", 16}, {"one(,1)", 16}, {"(x)=one(x,)", 16}, {"for(1)", 16},
      {"dowhile(1)", 16}, {"if(1)", 16}, {"not(1,2)", 16}, {"for(1,break(1))", 16},
      {"return()", 16}, {"setstackmax()", 16}, {"gt(1,2,3)", 16},
      {"(x)=if(1,break())", 16}, {"(x)=one(for(1,1),break())", 16}, {"(for)=break()", 16},
      {"(x)=for(1,1)+continue()", 16},
      // 17: further segments
      {"(x)=x, 1", 17}, {"(x)=x, y", 17}, {"(x)=x, =1", 17}, {"(x)=x, y=", 17}, {"(x)=x,", 17},
  };
  for (Eng e : {kReal, kComplex, kInt}) {
    for (const CodeCase& c : cases) {
      SCOPED_TRACE(std::string(kEngName[e]) + ": " + c.text);
      ASSERT_EQ(compileIn(e, 0, "(x)=x", nullptr), 0);
      int32_t last = -77;
      EXPECT_EQ(compileIn(e, 0, c.text, &last), c.code);
      if (c.code != 0) {
        EXPECT_EQ(last, -77);
        EXPECT_EQ(flagsOf(e)[0], 0);
      } else {
        EXPECT_EQ(flagsOf(e)[0], 1);
      }
    }
  }
}

// Codes that depend on the engine: each has its own one-argument names and
// second-level functions, and only the complex compiler knows "i".
TEST_F(CompilerConformance, EngineSpecificCompileCodes) {
  struct Case {
    const char* text;
    int code[3];  // real, complex, integer
  };
  const std::vector<Case> cases = {
      {"sin(1)", {0, 0, 10}},     {"lg(1)", {0, 10, 0}},     {"tanh(1)", {0, 10, 10}},
      {"int(1)", {0, 0, 10}},     {"con(1)", {10, 0, 10}},   {"xy(1)", {10, 0, 10}},
      {"max(1,2)", {0, 10, 0}},   {"mod(1,2)", {10, 10, 0}}, {"fmod(1,2)", {0, 10, 10}},
      {"(i,x)=x", {0, 9, 0}},     {"(x:i)=x", {0, 9, 0}},   {"(x,I)=x", {0, 9, 0}},
      {"3i", {12, 0, 12}},        {"i", {12, 0, 12}},        {"2.5e3i", {12, 0, 12}},
      {"(x)=3ix", {12, 12, 12}},     {"(ii)=ii*i", {12, 0, 12}}, {"calrfor(0)", {10, 0, 0}},
      {"(sin)=sin(sin)", {0, 0, 10}},
  };
  for (const Case& c : cases) {
    for (Eng e : {kReal, kComplex, kInt}) {
      SCOPED_TRACE(std::string(kEngName[e]) + ": " + c.text);
      EXPECT_EQ(compileIn(e, 1, c.text, nullptr), c.code[e]);
    }
  }
}

TEST_F(CompilerConformance, CodeBytesHeaderPointersAndValues) {
  // (x,y)=x*2+sin(y): x in slot 0, y in slot 1, the constant 2 in slot 2.
  RealRow r = compileReal("(x,y)=x*2+sin(y)");
  EXPECT_EQ(r.code, (std::vector<int>{2, 1, 7, 2, 15, 5, 0}));
  EXPECT_EQ(r.header, (std::vector<int>{1, 6, 2, 2}));
  ASSERT_EQ(r.vals.size(), 3u);
  EXPECT_EQ(r.vals[2], 2.0);
  EXPECT_EQ(r.ptrs, (std::vector<long>{2, 0, 1}));
  int32_t last = -9;
  ASSERT_EQ(compileIn(kReal, 1, "(x,y)=x*2+sin(y)", &last), 0);
  EXPECT_EQ(last, 1);
  EXPECT_EQ(getvarnum()[1], 1);
  // The stack area has codeLength + 1 slots: the allocator knows the size
  // only indirectly, so the evaluation below must run clean under ASan.
  const double xy[2] = {3, 0.5};
  EXPECT_EQ(rcal(1, xy), 3 * 2 + std::sin(0.5));

  r = compileReal("1+2");
  EXPECT_EQ(r.code, (std::vector<int>{1, 0}));
  EXPECT_EQ(r.header, (std::vector<int>{-1, 1, 0, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{3.0}));
  EXPECT_EQ(r.ptrs, (std::vector<long>{0}));

  r = compileReal("(x)=x");  // pointer entry 0: one past the last variable
  EXPECT_EQ(r.code, (std::vector<int>{2, 0}));
  EXPECT_EQ(r.header, (std::vector<int>{0, 1, 1, 0}));
  EXPECT_EQ(r.ptrs, (std::vector<long>{1, 0}));

  r = compileReal("(X)=LN(X)");
  EXPECT_EQ(r.code, (std::vector<int>{2, 13, 0}));

  r = compileReal("(x:t)=x");
  EXPECT_EQ(r.header, (std::vector<int>{0, 1, 1, 1}));
  r = compileReal("(x,y:t,u)=u");
  EXPECT_EQ(r.header, (std::vector<int>{1, 1, 1, 3}));
  EXPECT_EQ(r.ptrs, (std::vector<long>{4, 3}));
  r = compileReal("(:t)=t");
  EXPECT_EQ(r.header[0], -1);
  r = compileReal("()=1");
  EXPECT_EQ(r.header[0], -1);

  // A logical call leaves neither index nor count behind.
  r = compileReal("(x)=gt(x,0)");
  EXPECT_EQ(r.code, (std::vector<int>{2, 1, 32, 0}));
  EXPECT_EQ(r.header, (std::vector<int>{0, 3, 1, 1}));
  EXPECT_EQ(r.vals[1], 0.0);
  const char* logical[] = {"gt", "ge", "lt", "le", "eq", "ne", "and", "or", "xor"};
  for (int k = 0; k < 9; ++k) {
    const int m = k < 8 ? 8 + k : 17;
    r = compileReal(std::string("(x,y)=") + logical[k] + "(x,y)");
    EXPECT_EQ(r.code, (std::vector<int>{2, 2, 24 + m, 0})) << logical[k];
  }
  EXPECT_EQ(compileReal("(x)=not(x)").code, (std::vector<int>{2, 40, 0}));

  // Segments: x-1 is stored into b (slot 2), x+1 into a (slot 1), then a*b.
  r = compileReal("(x)=a*b, a=x+1, b=x-1");
  EXPECT_EQ(r.code, (std::vector<int>{2, 1, 6, 3, 2, 1, 5, 3, 2, 2, 7, 0}));
  EXPECT_EQ(r.header, (std::vector<int>{0, 11, 4, 4}));
  EXPECT_EQ(r.vals[3], 1.0);
  EXPECT_EQ(r.vals[4], 1.0);
  EXPECT_EQ(r.ptrs, (std::vector<long>{3, 0, 0, 1, 2}));
  r = compileReal("(x)=a+b, a=x*3, b=x/4");  // constants in code order
  EXPECT_EQ(r.code, (std::vector<int>{2, 1, 8, 3, 2, 1, 7, 3, 2, 2, 5, 0}));
  EXPECT_EQ(r.vals[3], 4.0);
  EXPECT_EQ(r.vals[4], 3.0);

  // Calls: arguments, CONST m, CONST count+2, OP_CALL.
  r = compileReal("max(1,2)");
  EXPECT_EQ(r.code, (std::vector<int>{1, 1, 1, 1, 26, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{1, 2, 34, 3}));
  r = compileReal("(x)=min(x)");
  EXPECT_EQ(r.code, (std::vector<int>{2, 1, 1, 26, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{0, 35, 2}));
  r = compileReal("(x)=for(1,break())");  // no arguments: count -1
  EXPECT_EQ(r.code, (std::vector<int>{1, 29, 1, 1, 30, 1, 1, 26, 1, 1, 26, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{0, 0, 1, 0, 5, 1, 0, 5}));

  // for(c, s): 0 LOOP, c, 0 TEST, s.
  r = compileReal("(x)=for(lt(x,3),(x=x+1))");
  EXPECT_EQ(r.code, (std::vector<int>{1, 29, 2, 1, 34, 1, 30,          // loop, condition, test
                                      2, 1, 5, 1, 1, 2, 38, 5, 6, 10,  // x = x + 1
                                      1, 1, 26, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{0, 0, 3, 0, 1, 1, 0, 0, 5}));
  // dowhile(s1, s2): 1 LOOP, s1, s2.
  r = compileReal("(x)=dowhile((x=x+1),lt(x,3))");
  EXPECT_EQ(r.code, (std::vector<int>{1, 29, 2, 1, 5, 1, 1, 2, 38, 5, 6, 10, 2, 1, 34, 1, 1, 26, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{0, 1, 1, 1, 0, 3, 1, 4}));
  // if(c, s): c, 2 TEST, s.
  r = compileReal("(x)=if(x,2)");
  EXPECT_EQ(r.code, (std::vector<int>{2, 1, 30, 1, 1, 1, 26, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{0, 2, 2, 2, 4}));
  // which(a1, a2, a3): a1, 1 WHICH, a2, 2 WHICH, a3.
  r = compileReal("(x)=which(x,1,2)");
  EXPECT_EQ(r.code, (std::vector<int>{2, 1, 31, 1, 1, 31, 1, 1, 1, 26, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{0, 1, 1, 2, 2, 3, 6}));
  r = compileReal("which()");
  EXPECT_EQ(r.code, (std::vector<int>{1, 1, 26, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{3, 1}));
  r = compileReal("one((1),[2],{3})");  // brackets of an argument stay
  EXPECT_EQ(r.vals, (std::vector<double>{1, 2, 3, 4, 4}));
  r = compileReal("one((1,2))");  // brackets around the whole list go
  EXPECT_EQ(r.vals, (std::vector<double>{1, 2, 4, 3}));
}

// Constant folding runs the evaluator, so a folded value has the same bits
// as the unfolded computation at run time.
TEST_F(CompilerConformance, ConstantFoldingIsBitIdentical) {
  RealRow r = compileReal("(x)=2*3*x");
  EXPECT_EQ(r.code, (std::vector<int>{1, 2, 7, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{0, 6}));
  r = compileReal("(x)=x*2*3");
  EXPECT_EQ(r.code, (std::vector<int>{2, 1, 7, 1, 7, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{0, 2, 3}));
  r = compileReal("(x)=sin(0.5)*x");
  EXPECT_EQ(r.code, (std::vector<int>{1, 2, 7, 0}));
  EXPECT_TRUE(sameBits(r.vals[1], std::sin(0.5)));
  r = compileReal("(x)=x+2^3^2-1");
  EXPECT_EQ(r.code, (std::vector<int>{2, 1, 5, 1, 6, 0}));
  EXPECT_EQ(r.vals[1], 64.0);

  struct Pair {
    const char* folded;
    const char* unfolded;
    std::vector<double> args;
  };
  const std::vector<Pair> pairs = {
      {"0.1+0.2", "(a,b)=a+b", {0.1, 0.2}},
      {"sin(0.5)*3", "(a,b)=sin(a)*b", {0.5, 3}},
      {"2^0.5", "(a,b)=a^b", {2, 0.5}},
      {"1/3", "(a,b)=a/b", {1, 3}},
      {"exp(1)-tanh(0.7)", "(a,b)=exp(a)-tanh(b)", {1, 0.7}},
      {"-1.5^2.5", "(a,b)=-a^b", {1.5, 2.5}},
      {"sqrt(2)*sqrt(2)", "(a)=sqrt(a)*sqrt(a)", {2}},
      {"atan(1)*4/3", "(a,b,c)=atan(a)*b/c", {1, 4, 3}},
      {"lg(7)+ln(7)", "(a)=lg(a)+ln(a)", {7}},
      {"acos(0.3)-asin(0.3)+cosh(0.2)-sinh(0.2)+tan(0.4)", "(a,b,c)=acos(a)-asin(a)+cosh(b)-sinh(b)+tan(c)",
       {0.3, 0.2, 0.4}},
      {"int(-2.5)+abs(-0.7)", "(a,b)=int(a)+abs(b)", {-2.5, -0.7}},
      {"1/0", "(a,b)=a/b", {1, 0}},
  };
  for (const Pair& p : pairs) {
    SCOPED_TRACE(p.folded);
    r = compileReal(p.folded, 0);
    EXPECT_EQ(r.code, (std::vector<int>{1, 0}));
    const double folded = rcal(0, nullptr);
    compileReal(p.unfolded, 1);
    const double run = rcal(1, p.args.data());
    EXPECT_TRUE(sameBits(folded, run)) << folded << " vs " << run;
  }

  // Complex and integer folding follow their own arithmetic.
  int32_t last;
  ASSERT_EQ(Ccom(0, const_cast<char*>("2+3i"), &last), 0);
  const auto& ct = qx::gLib.cplx.table;
  EXPECT_EQ(ct.header[0][qx::H_CODE_LENGTH], 1);
  EXPECT_EQ(ct.code[0][0], 1);
  EXPECT_EQ(ct.vals[0][0].re, 2.0);
  EXPECT_EQ(ct.vals[0][0].im, 3.0);
  ASSERT_EQ(Icom(0, const_cast<char*>("7/2*2"), &last), 0);
  const auto& it = qx::gLib.integer.table;
  EXPECT_EQ(it.header[0][qx::H_CODE_LENGTH], 1);
  EXPECT_EQ(it.vals[0][0], 6);
  ASSERT_EQ(Icom(0, const_cast<char*>("(x)=(0-2147483647-1)/(0-1)+1/0+x"), &last), 0);
  EXPECT_EQ(it.vals[0][1], INT32_MIN);
}

// Engine-specific code bytes: the one-argument codes differ per engine.
TEST_F(CompilerConformance, ComplexAndIntegerCodeBytes) {
  int32_t last;
  ASSERT_EQ(Ccom(0, const_cast<char*>("(x)=sin(x)+y0(x)"), &last), 0);
  const auto& ct = qx::gLib.cplx.table;
  EXPECT_EQ(std::vector<int>(ct.code[0], ct.code[0] + 6), (std::vector<int>{2, 14, 2, 21, 5, 0}));
  ASSERT_EQ(Ccom(0, const_cast<char*>("(x)=3i*x"), &last), 0);
  EXPECT_EQ(std::vector<int>(ct.code[0], ct.code[0] + 4), (std::vector<int>{1, 2, 7, 0}));
  EXPECT_EQ(ct.vals[0][1].re, 0.0);
  EXPECT_EQ(ct.vals[0][1].im, 3.0);
  ASSERT_EQ(Icom(0, const_cast<char*>("(x)=abs(x)+lg(x)"), &last), 0);
  const auto& it = qx::gLib.integer.table;
  EXPECT_EQ(std::vector<int>(it.code[0], it.code[0] + 6), (std::vector<int>{2, 15, 2, 14, 5, 0}));
}

// Name resolution: variables hide constants, the first registration wins,
// constants are copied at compile time, host functions come before the
// one-argument functions but after the built-in second-level ones.
TEST_F(CompilerConformance, NamesResolveInOrder) {
  static const char* names[] = {"c", "k", "c", "Big", ""};
  static double values[] = {3, 5, 7, 9};
  setdoubleconst(names, values);
  RealRow r = compileReal("(x)=c*x+k");
  EXPECT_EQ(r.vals[1], 3.0);
  const double two = 2;
  EXPECT_EQ(rcal(0, &two), 11.0);
  values[0] = 100;  // later changes do not reach compiled formulas
  EXPECT_EQ(rcal(0, &two), 11.0);
  r = compileReal("(c)=c*2");
  EXPECT_EQ(rcal(0, &two), 4.0);
  EXPECT_EQ(compileIn(kReal, 0, "Big", nullptr), 12);
  EXPECT_EQ(compileIn(kReal, 0, "big", nullptr), 12);

  static const char* fnNames[] = {"sin", "for", "area", ""};
  static const int32_t rules[] = {0, 0, 1};
  static QxRealFn fns[] = {
      [](int32_t, double* a) { return a[0] + 1000; },
      [](int32_t, double*) { return -1.0; },
      [](int32_t, double* a) { return a[0] * a[1]; },
  };
  ASSERT_EQ(setfcfun(fnNames, rules, fns), 1);
  r = compileReal("sin(1)");
  EXPECT_EQ(r.code, (std::vector<int>{1, 1, 1, 26, 0}));
  EXPECT_EQ(r.vals, (std::vector<double>{1, 48, 2}));
  EXPECT_EQ(rcal(0, nullptr), 1001.0);
  compileReal("AREA(2,3)");
  EXPECT_EQ(rcal(0, nullptr), 6.0);
  EXPECT_EQ(compileIn(kReal, 0, "for(1)", nullptr), 16);  // still the built-in rule
  EXPECT_EQ(compileIn(kReal, 0, "area(2)", nullptr), 16);
}

// The driver: large texts, growth of the work area, failures.
TEST_F(CompilerConformance, WorkAreaGrowsAndLongTextsFail) {
  // 24500 characters or more start at the maximum work size at once.
  std::string text = "(x)=x";
  while (text.size() < 24600) text += "+x";
  ASSERT_EQ(compileIn(kReal, 0, text, nullptr), 0);
  EXPECT_EQ(qx::gLib.real.work.size, 32766);
  const double one = 1;
  EXPECT_EQ(rcal(0, &one), static_cast<double>((text.size() - 4) / 2 + 1));

  // Rewriting of second-level calls roughly triples the text: the driver
  // retries with larger areas until it fits.
  deletedll();
  ASSERT_EQ(setfornum(2), 1);
  std::string calls = "(x)=x";
  for (int k = 0; k < 300; ++k) calls += "+max(1,x)";
  const int32_t firstSize = static_cast<int32_t>(calls.size() * 4 / 3 + 100);
  ASSERT_EQ(compileIn(kReal, 0, calls, nullptr), 0);
  EXPECT_GT(qx::gLib.real.work.size, firstSize);
  EXPECT_EQ(rcal(0, &one), 301.0);
  const double five = 5;
  EXPECT_EQ(rcal(0, &five), 5.0 * 301);

  // Assignments lengthen the text too.
  std::string moves = "(x:y)=0";
  for (int k = 0; k < 1000; ++k) moves += "+(y=y+x)";
  ASSERT_EQ(compileIn(kReal, 0, moves, nullptr), 0);
  EXPECT_EQ(rcal(0, &one), 1000.0 * 1001 / 2);

  // ... and gives 11 when even the largest area is too small.
  for (int k = 0; k < 1200; ++k) calls += "+max(1,x)";
  EXPECT_EQ(compileIn(kReal, 1, calls, nullptr), 11);
  EXPECT_EQ(getfortrue()[1], 0);
  EXPECT_EQ(qx::gLib.real.work.size, 32766);

  // A text of a megabyte is refused at once, in every engine.
  std::string huge(1 << 20, '1');
  for (size_t i = 1; i + 1 < huge.size(); i += 2) huge[i] = '+';
  ASSERT_EQ(Csetfornum(1), 1);
  ASSERT_EQ(Isetfornum(1), 1);
  for (Eng e : {kReal, kComplex, kInt}) EXPECT_EQ(compileIn(e, 0, huge, nullptr), 11) << kEngName[e];

  // Segments need room for the common parameter list in every segment.
  std::string segs = "(x)=x";
  for (int k = 0; k < 3000; ++k) segs += ",v" + std::to_string(k) + "=x";
  EXPECT_EQ(compileIn(kReal, 0, segs, nullptr), 11);
  segs = "(x)=v0+v9";
  for (int k = 0; k < 10; ++k) segs += ",v" + std::to_string(k) + "=x*" + std::to_string(k);
  ASSERT_EQ(compileIn(kReal, 0, segs, nullptr), 0);
  EXPECT_EQ(rcal(0, &five), 45.0);
}

TEST_F(CompilerConformance, FailedCompileKeepsRowUnrunnableAndTextIntact) {
  int32_t last = -5;
  ASSERT_EQ(compileIn(kReal, 0, "(x,y)=x-y", &last), 0);
  EXPECT_EQ(last, 1);
  last = -5;
  EXPECT_EQ(compileIn(kReal, 0, "(x)=y", &last), 12);
  EXPECT_EQ(last, -5);
  EXPECT_EQ(getfortrue()[0], 0);
  const double args[2] = {5, 1};
  EXPECT_EQ(rcal(0, args), 0.0);  // not compiled: not run
  EXPECT_EQ(getvarnum()[0], 1);   // the count of the last success stays
  ASSERT_EQ(compileIn(kReal, 0, "(x,y)=x*y", &last), 0);
  EXPECT_EQ(rcal(0, args), 5.0);

  // A pre-pass error changes nothing, not even the compiled flag.
  ASSERT_EQ(setfcstrmax(20), 1);
  EXPECT_EQ(compileIn(kReal, 0, "(x)=x+\"ab", &last), 18);
  EXPECT_EQ(getfortrue()[0], 1);
  EXPECT_EQ(rcal(0, args), 5.0);
  // ... unless the row used literals: they were given back, so it stops.
  ASSERT_EQ(compileIn(kReal, 0, "(x,y)=x+\"ab\"", &last), 0);
  EXPECT_EQ(compileIn(kReal, 0, "(x)=x+\"ab", &last), 18);
  EXPECT_EQ(getfortrue()[0], 0);
  ASSERT_EQ(compileIn(kReal, 0, "(x,y)=x*y", &last), 0);

  // Rows outside the table.
  EXPECT_EQ(compileIn(kReal, -1, "1", &last), 26);
  EXPECT_EQ(compileIn(kReal, 4, "1", &last), 26);
  EXPECT_EQ(rcal(4, args), 0.0);
  EXPECT_EQ(rcal(-1, args), 0.0);

  // The caller's text is left as it was, whatever the compiler did with it.
  const char* texts[] = {"(X, Y)=MAX(X,Y)+sin(x) , z=[x]", "(x)=for(lt(x,3),(x=x+1))", "(x)=x+\"ab\"",
                         "(x)=2x", "LOG(1)", "(x)=which(x,1,2)+one(x)"};
  for (const char* t : texts) {
    for (Eng e : {kReal, kComplex, kInt}) {
      std::vector<char> buf(t, t + std::strlen(t) + 1);
      if (e == kReal) rcom(1, buf.data(), &last);
      else if (e == kComplex) Ccom(1, buf.data(), &last);
      else Icom(1, buf.data(), &last);
      EXPECT_STREQ(buf.data(), t);
    }
  }
}

// Every allocation of a compilation may fail: the result is 15, the row is
// not runnable, and nothing leaks.
TEST_F(CompilerConformance, AllocationFailuresReturn15) {
  deletedll();
  const int64_t baseline = qx::testing::liveAllocations();
  const std::string text = "(x,y)=x*2+sin(y), z=max(x,y)";
  for (int round = 0; round < 2; ++round) {  // fresh work area, then a reused one
    if (round == 0) {
      ASSERT_EQ(setfornum(2), 1);
    }
    bool done = false;
    for (int k = 0; k < 40 && !done; ++k) {
      int32_t last = -3;
      qx::testing::failAllocationAfter(k);
      const int32_t rc = compileIn(kReal, 0, text, &last);
      qx::testing::failAllocationAfter(-1);
      if (rc == 0) {
        done = true;
        EXPECT_EQ(last, 1);
      } else {
        EXPECT_EQ(rc, 15) << k;
        EXPECT_EQ(last, -3);
        EXPECT_EQ(getfortrue()[0], 0);
      }
    }
    ASSERT_TRUE(done);
    const double xy[2] = {3, 0.5};
    EXPECT_EQ(rcal(0, xy), 6 + std::sin(0.5));
  }
  deletedll();
  EXPECT_EQ(qx::testing::liveAllocations(), baseline);
}

}  // namespace

// Regression: brackets around the whole text or a whole argument list are
// only dropped when they are of one kind, so mismatched kinds stay errors.
TEST(CompilerRegression, OuterBracketsOfDifferentKindsAreNotDropped) {
  deletedll();
  ASSERT_EQ(setfornum(2), 1);
  for (const char* text : {"(1+2]", "{1+2)", "max((1,2])", "[x+1)*2"}) {
    std::string t = text;
    int32_t last;
    EXPECT_EQ(rcom(0, t.data(), &last), QX_ERR_BRACKETS) << text;
  }
  std::string ok = "[{(1+2)}]+max([1,2])";
  int32_t last;
  EXPECT_EQ(rcom(0, ok.data(), &last), 0);
  deletedll();
}

// Regression: the brackets of a second-level or host function call were
// paired by count only, and the rewrite of the call dropped them, so
// "(x)=max(x,2]" compiled. Every pair is now of one kind, in every engine.
// The name before the parameter list stays ignored, brackets and all.
TEST(CompilerRegression, CallBracketsPairByKind) {
  deletedll();
  ASSERT_EQ(setfornum(2), 1);
  ASSERT_EQ(Csetfornum(2), 1);
  ASSERT_EQ(Isetfornum(2), 1);
  userci();
  const char* const wrong[] = {"(x)=gt(x,2]", "(x)=gt{x,2)", "gt[1,2)", "(x)=1+which[gt(x,1),2,3)",
                               "(x)=which(gt(x,1],2,3)", "(x)=which(gt(x,1),2,gt[x,3})",
                               "(x)=for(lt(x,3),(x=x+1),break(])", "(x)=one(]",
                               "(x)=1,y=gt(x,2]"};
  for (Eng e : {kReal, kComplex, kInt}) {
    for (const char* text : wrong) EXPECT_EQ(compileIn(e, 0, text, nullptr), QX_ERR_BRACKETS) << kEngName[e] << " " << text;
    // Brackets of one kind, any kind, still compile to the same code.
    ASSERT_EQ(compileIn(e, 0, "(x)=which(gt(x,1),2,3)+if(gt(x,0),1)", nullptr), QX_OK);
    ASSERT_EQ(compileIn(e, 1, "f[](x)=which[gt{x,1},2,3]+if{gt[x,0],1}", nullptr), QX_OK) << kEngName[e];
  }
  EXPECT_EQ(readReal(0).code, readReal(1).code);
  for (double x : {-1.0, 0.5, 2.0}) EXPECT_EQ(rcal(0, &x), rcal(1, &x));
  for (Eng e : {kReal, kComplex, kInt}) EXPECT_EQ(compileIn(e, 1, "f[)(x)=x", nullptr), QX_OK) << kEngName[e];
  deletedll();
}

// Regression: every segment name used to be checked against every earlier
// name once per segment, so compile time grew with the cube of the number
// of segments (about 8 s for 2,000). Results and codes stay as they were.
TEST(CompilerRegression, ManySegmentsCompileInLinearTime) {
  deletedll();
  ASSERT_EQ(setfornum(2), 1);
  ASSERT_EQ(Csetfornum(2), 1);
  ASSERT_EQ(Isetfornum(2), 1);
  userci();
  // The shape: (x)=..., a0=1, ..., a1998=1, a1999=x*2 (15 KB).
  std::string text = "(x)=a0+a1999";
  for (int k = 0; k < 1999; ++k) text += ",a" + std::to_string(k) + "=1";
  text += ",a1999=x*2";
  for (int e = 0; e < 3; ++e) {
    std::string copy = text;
    int32_t last = -5;
    const auto t0 = std::chrono::steady_clock::now();
    const int32_t rc = e == 0 ? rcom(0, copy.data(), &last) : e == 1 ? Ccom(0, copy.data(), &last)
                                                                   : Icom(0, copy.data(), &last);
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    ASSERT_EQ(rc, QX_OK) << e;
    EXPECT_EQ(last, 0);
    EXPECT_LT(seconds, 1.0) << "engine " << e;
  }
  const double x = 0.5;
  EXPECT_EQ(rcal(0, &x), 2.0);
  const QxComplex z{1, 2};
  EXPECT_EQ(Ccal(0, &z).re, 3.0);
  EXPECT_EQ(Ccal(0, &z).im, 4.0);
  const int32_t i = -7;
  EXPECT_EQ(Ical(0, &i), -13);

  // Every segment finds the variables by name: a0=a1+1, ..., a999=x (the
  // last segment runs first).
  auto chain = [](int n, const std::string& params) {
    std::string t = params + "=a0";
    for (int k = 0; k + 1 < n; ++k) t += ",a" + std::to_string(k) + "=a" + std::to_string(k + 1) + "+1";
    return t + ",a" + std::to_string(n - 1) + "=x";
  };
  std::string copy = chain(1000, "(x)");
  int32_t last;
  ASSERT_EQ(rcom(1, copy.data(), &last), QX_OK);
  EXPECT_EQ(rcal(1, &x), 999.5);

  // Duplicate names are still found, wherever the second one stands, and
  // names are told apart by every character and by their length.
  for (const std::string& dup : {text + ",a1500=1", chain(1000, "(x,a7)"), chain(1000, "(x:a999)"),
                                 chain(300, "(X)") + ",x=1"}) {
    copy = dup;
    EXPECT_EQ(rcom(1, copy.data(), &last), QX_ERR_PARAM_TWICE);
    copy = dup;
    EXPECT_EQ(Icom(1, copy.data(), &last), QX_ERR_PARAM_TWICE);
  }
  std::string similar = "(a,aa,a_,_a,a1,a10,a01)=a+aa+a_+_a+a1+a10+a01,b=a01*a10";
  ASSERT_EQ(rcom(1, similar.data(), &last), QX_OK);
  EXPECT_EQ(last, 6);
  const double args[7] = {1, 2, 4, 8, 16, 32, 64};
  EXPECT_EQ(rcal(1, args), 127.0);

  // Too many segments for the largest work area still give 11, at once.
  std::string big = "(x)=1";
  for (int k = 0; k < 2300; ++k) big += ",a" + std::to_string(k) + "=1";
  const auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(rcom(1, big.data(), &last), QX_ERR_TOO_LONG);
  EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 1.0);
  deletedll();
}

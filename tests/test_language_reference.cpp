// docs/language.md, the formula language reference, is read at test time:
// every example in its ```quibex blocks is compiled and evaluated, and every
// built-in and one-argument function of the three engines must appear in at
// least one example of its engine, so the reference cannot drift from the
// library. The example format is described in the reference itself
// ("Reading the examples").
#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "complex/complex_traits.h"
#include "integer/integer_traits.h"
#include "quibex.h"
#include "real/real_traits.h"

namespace {

constexpr int32_t kRows = 10;      // rows per engine in every block
constexpr int32_t kScratchRow = 9;  // row of an example without @row

// ---- The host that the examples assume ---------------------------------------

double twice(int32_t, double* a) { return 2 * a[0]; }
double count(int32_t last, double*) { return last + 1; }
double hostOne(int32_t, double*) { return 99; }  // shadowed by the built-in one
double len(int32_t, double* a) {
  int32_t* lengths = nullptr;
  char** texts = getfcstr(&lengths);
  const double slot = a[0];
  if (!texts || !(slot >= 1 && slot < 100) || !texts[static_cast<int>(slot)]) {
    if (fcerrnum() == 0) setfcerr(1, "len");
    return 0;
  }
  return static_cast<double>(std::strlen(texts[static_cast<int>(slot)]));
}
QxComplex turn(int32_t, QxComplex* a) { return QxComplex{-a[0].im, a[0].re}; }
int32_t square(int32_t, int32_t* a) { return a[0] * a[0]; }

const char* const kRealFnNames[] = {"twice", "count", "len", "one", ""};
const int32_t kRealFnRules[] = {0, QX_ARGS_ANY, 0, QX_ARGS_ANY};
const QxRealFn kRealFns[] = {twice, count, len, hostOne};
const char* const kComplexFnNames[] = {"turn", ""};
const int32_t kComplexFnRules[] = {0};
const QxComplexFn kComplexFns[] = {turn};
const char* const kIntFnNames[] = {"square", ""};
const int32_t kIntFnRules[] = {0};
const QxIntFn kIntFns[] = {square};

const char* const kRealConstNames[] = {"g", "pi", ""};
const double kRealConsts[] = {9.81, 3.141592653589793};
const char* const kComplexConstNames[] = {"w", ""};
const QxComplex kComplexConsts[] = {{0.5, -1}};
const char* const kIntConstNames[] = {"k", ""};
const int32_t kIntConsts[] = {7};

void freshLibrary() {
  deletedll();
  setdoubleconst(kRealConstNames, kRealConsts);
  Csetcomplexconst(kComplexConstNames, kComplexConsts);
  Isetlongconst(kIntConstNames, kIntConsts);
  ASSERT_EQ(setfcfun(kRealFnNames, kRealFnRules, kRealFns), 1);
  ASSERT_EQ(Csetfcfun(kComplexFnNames, kComplexFnRules, kComplexFns), 1);
  ASSERT_EQ(Isetfcfun(kIntFnNames, kIntFnRules, kIntFns), 1);
  ASSERT_EQ(setfcstrmax(100), 1);
  ASSERT_EQ(setfornum(kRows), 1);
  ASSERT_EQ(Csetfornum(kRows), 1);
  ASSERT_EQ(Isetfornum(kRows), 1);
  userci();
}

// ---- Values as the examples write them ----------------------------------------

std::string realText(double v) {
  if (std::isnan(v)) return "nan";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  return buf;
}

std::string complexText(QxComplex z) {
  std::string im = realText(z.im);
  if (im[0] == '-') return realText(z.re) + im + "i";
  return realText(z.re) + "+" + im + "i";
}

std::string trim(const std::string& s) {
  size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t");
  return b == std::string::npos ? std::string() : s.substr(b, e - b + 1);
}

// "2", "-1.5", "3i", "1+2i", "1-2i", "nan", "inf".
bool parseComplex(const std::string& s, QxComplex& z) {
  const char* p = s.c_str();
  char* end = nullptr;
  double first = std::strtod(p, &end);
  if (end == p) return false;
  if (*end == 'i' && end[1] == '\0') { z = {0, first}; return true; }
  if (*end == '\0') { z = {first, 0}; return true; }
  const char* q = end;
  double second = std::strtod(q, &end);
  if (end == q || *end != 'i' || end[1] != '\0') return false;
  z = {first, second};
  return true;
}

std::vector<std::string> split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, sep)) parts.push_back(trim(part));
  if (!s.empty() && s.back() == sep) parts.push_back("");
  return parts;
}

// ---- One example ----------------------------------------------------------------

struct Example {
  int line = 0;
  std::string engine;  // real, complex, integer
  int32_t row = kScratchRow;
  std::string formula, args, expected;
};

int32_t compileIn(const std::string& engine, int32_t row, const std::string& text, int32_t* last) {
  // The text is passed as c_str(): the compile functions take a const text.
  if (engine == "real") return rcom(row, text.c_str(), last);
  if (engine == "complex") return Ccom(row, text.c_str(), last);
  return Icom(row, text.c_str(), last);
}

int32_t errorPosition(const std::string& engine) {
  return engine == "real" ? comerrpos() : engine == "complex" ? Ccomerrpos() : Icomerrpos();
}

// Fetches (and clears) the engine's run-time error as "name number".
std::string fetchError(const std::string& engine) {
  const char* name = nullptr;
  int32_t e = engine == "real" ? fcerr(&name) : engine == "complex" ? Cfcerr(&name) : Ifcerr(&name);
  return e == 0 ? std::string() : std::string(name ? name : "?") + " " + std::to_string(e);
}

#ifdef _WIN32
// True when two printed values (real, or complex "a+bi") differ by at most
// 1e-12 of the larger magnitude.
bool sameBarLastDigits(const std::string& a, const std::string& b) {
  QxComplex x{}, y{};
  if (!parseComplex(a, x) || !parseComplex(b, y)) return false;
  const double scale = std::max({1e-300, std::hypot(x.re, x.im), std::hypot(y.re, y.im)});
  return std::hypot(x.re - y.re, x.im - y.im) <= 1e-12 * scale;
}
#endif

void runExample(const Example& x) {
  SCOPED_TRACE("docs/language.md:" + std::to_string(x.line) + ": " + x.engine + " " + x.formula);
  int32_t last = -5;
  const int32_t code = compileIn(x.engine, x.row, x.formula, &last);
  if (x.expected.rfind("error ", 0) == 0) {
    // "error N" or "error N at P": P is the offset comerrpos reports.
    EXPECT_EQ(code, std::atoi(x.expected.c_str() + 6)) << "compile code";
    const size_t at = x.expected.find(" at ");
    if (at != std::string::npos) {
      EXPECT_EQ(errorPosition(x.engine), std::atoi(x.expected.c_str() + at + 4)) << "position";
    }
    return;
  }
  ASSERT_EQ(code, 0) << "the example does not compile";
  if (x.expected == "ok") return;

  std::string wantValue = x.expected, wantError;
  const size_t semi = x.expected.find(';');
  if (semi != std::string::npos) {
    wantValue = trim(x.expected.substr(0, semi));
    wantError = trim(x.expected.substr(semi + 1));
  }
  const std::vector<std::string> args = x.args.empty() ? std::vector<std::string>() : split(x.args, ',');
  ASSERT_EQ(static_cast<int32_t>(args.size()), last + 1) << "argument count";

  std::string got;
  if (x.engine == "real") {
    std::vector<double> a;
    for (const std::string& s : args) a.push_back(std::strtod(s.c_str(), nullptr));
    got = realText(rcal(x.row, a.data()));
  } else if (x.engine == "complex") {
    std::vector<QxComplex> a;
    for (const std::string& s : args) {
      QxComplex z{};
      ASSERT_TRUE(parseComplex(s, z)) << "bad complex argument " << s;
      a.push_back(z);
    }
    got = complexText(Ccal(x.row, a.data()));
  } else {
    std::vector<int32_t> a;
    for (const std::string& s : args) a.push_back(static_cast<int32_t>(std::strtol(s.c_str(), nullptr, 10)));
    got = std::to_string(Ical(x.row, a.data()));
  }
#ifdef _WIN32
  // The Windows C runtime's mathematical functions may round differently
  // from the ones the reference was written with: there a value may differ
  // in its last digits (relative to the whole value), and nowhere else.
  if (got != wantValue && x.engine != "integer" && sameBarLastDigits(got, wantValue)) got = wantValue;
#endif
  EXPECT_EQ(got, wantValue) << "value";
  EXPECT_EQ(fetchError(x.engine), wantError) << "run-time error";
}

// ---- Reading the reference ----------------------------------------------------------

struct Block {
  int line = 0;
  std::vector<Example> examples;
};

std::vector<Block> readBlocks(std::vector<std::string>& problems) {
  std::ifstream in(std::string(QX_SOURCE_DIR) + "/docs/language.md");
  std::vector<Block> blocks;
  std::string line;
  bool inBlock = false;
  for (int n = 1; std::getline(in, line); ++n) {
    if (!inBlock) {
      if (line == "```quibex") {
        inBlock = true;
        blocks.push_back(Block{n, {}});
      }
      continue;
    }
    if (line == "```") {
      inBlock = false;
      continue;
    }
    const std::string t = trim(line);
    if (t.empty() || t[0] == '#') continue;
    const std::vector<std::string> cols = split(t, '|');
    Example x;
    x.line = n;
    const size_t space = cols.empty() ? std::string::npos : cols[0].find(' ');
    if (cols.size() != 3 || space == std::string::npos) {
      problems.push_back("line " + std::to_string(n) + ": not ENGINE FORMULA | ARGS | RESULT");
      continue;
    }
    std::string engine = cols[0].substr(0, space);
    const size_t at = engine.find('@');
    if (at != std::string::npos) {
      x.row = std::atoi(engine.c_str() + at + 1);
      engine.resize(at);
    }
    if (engine != "real" && engine != "complex" && engine != "integer") {
      problems.push_back("line " + std::to_string(n) + ": unknown engine " + engine);
      continue;
    }
    x.engine = engine;
    x.formula = trim(cols[0].substr(space));
    x.args = cols[1];
    x.expected = cols[2];
    blocks.back().examples.push_back(x);
  }
  if (inBlock) problems.push_back("an example block is not closed");
  return blocks;
}

// Names called in a formula: letters, digits and "_" before an opening bracket.
std::set<std::string> calledNames(const std::string& formula) {
  std::set<std::string> names;
  std::string lower;
  for (char c : formula) lower.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  for (size_t i = 0; i < lower.size(); ++i) {
    if (lower[i] != '(' && lower[i] != '[' && lower[i] != '{') continue;
    size_t b = i;
    while (b > 0 && (std::isalnum(static_cast<unsigned char>(lower[b - 1])) || lower[b - 1] == '_')) --b;
    if (b < i) names.insert(lower.substr(b, i - b));
  }
  return names;
}

template <class T>
std::vector<std::string> functionNames() {
  std::vector<std::string> names;
  for (int32_t i = 0; i < T::kBuiltinCount; ++i) names.push_back(T::kBuiltins[i].name);
  // One-argument names, without the assignment code and the internal names.
  for (int i = 1; i < 16; ++i) {
    std::string n = trim(T::kUnaryNames[i]);
    if (!n.empty()) names.push_back(n);
  }
  return names;
}

TEST(LanguageReference, EveryExampleHoldsAndEveryFunctionHasOne) {
  std::vector<std::string> problems;
  const std::vector<Block> blocks = readBlocks(problems);
  for (const std::string& p : problems) ADD_FAILURE() << p;
  ASSERT_GE(blocks.size(), 12u) << "docs/language.md or its example blocks are missing";

  std::map<std::string, std::set<std::string>> used;  // engine -> names called
  size_t examples = 0;
  for (const Block& b : blocks) {
    SCOPED_TRACE("block at docs/language.md:" + std::to_string(b.line));
    freshLibrary();
    for (const Example& x : b.examples) {
      runExample(x);
      for (const std::string& n : calledNames(x.formula)) used[x.engine].insert(n);
      ++examples;
    }
    // Nothing may stay pending for the next block's first example.
    for (const char* e : {"real", "complex", "integer"}) EXPECT_EQ(fetchError(e), "") << e;
  }
  EXPECT_GE(examples, 200u);

  const std::pair<const char*, std::vector<std::string>> engines[] = {
      {"real", functionNames<qx::RealTraits>()},
      {"complex", functionNames<qx::ComplexTraits>()},
      {"integer", functionNames<qx::IntTraits>()},
  };
  for (const auto& [engine, names] : engines)
    for (const std::string& n : names)
      EXPECT_TRUE(used[engine].count(n)) << n << " has no example in the " << engine << " engine";
  deletedll();
}

// The format check itself: a wrong expectation must be noticed.
TEST(LanguageReference, AWrongExpectationFails) {
  freshLibrary();
  Example x;
  x.engine = "real";
  x.formula = "1+2";
  x.expected = "4";
  EXPECT_NONFATAL_FAILURE(runExample(x), "value");
  x.expected = "3 ; getd 1";
  EXPECT_NONFATAL_FAILURE(runExample(x), "run-time error");
  x.expected = "error 1";
  EXPECT_NONFATAL_FAILURE(runExample(x), "compile code");
  x.formula = "1 + * 2";
  x.expected = "error 1 at 4";
  runExample(x);
  x.expected = "error 1 at 2";
  EXPECT_NONFATAL_FAILURE(runExample(x), "position");
  deletedll();
}

// ---- The error tables ------------------------------------------------------------

// The cells of a table row "| a | b | c |", trimmed; empty for other lines.
std::vector<std::string> tableCells(const std::string& line) {
  if (line.size() < 2 || line[0] != '|' || line.back() != '|') return {};
  std::vector<std::string> cells = split(line.substr(1, line.size() - 2), '|');
  return cells;
}

// The lines of the section that starts with `heading`, up to the next "## ".
std::vector<std::string> sectionLines(const std::string& heading) {
  std::ifstream in(std::string(QX_SOURCE_DIR) + "/docs/language.md");
  std::vector<std::string> lines;
  std::string line;
  bool inside = false;
  while (std::getline(in, line)) {
    if (line.rfind("## ", 0) == 0) inside = line == heading;
    else if (inside) lines.push_back(line);
  }
  return lines;
}

// "-1, 1, 2" -> {-1, 1, 2}; false when a part is no integer (a header row).
bool parseNumbers(const std::string& cell, std::vector<int32_t>& out) {
  out.clear();
  for (const std::string& part : split(cell, ',')) {
    char* end = nullptr;
    const long v = std::strtol(part.c_str(), &end, 10);
    if (part.empty() || *end != '\0') return false;
    out.push_back(static_cast<int32_t>(v));
  }
  return !out.empty();
}

// Names written `like this` in a cell.
std::vector<std::string> quotedNames(const std::string& cell) {
  std::vector<std::string> names;
  for (size_t b = cell.find('`'); b != std::string::npos; b = cell.find('`', b + 1)) {
    const size_t e = cell.find('`', b + 1);
    if (e == std::string::npos) break;
    names.push_back(cell.substr(b + 1, e - b - 1));
    b = e;
  }
  return names;
}

// The reference quotes the library's texts word for word: every compile
// code's text, and the text of every function and number pair in the
// run-time tables (a row with an empty first cell continues the names of
// the row above; a first cell without names stands for any other name).
TEST(LanguageReference, ErrorTablesQuoteTheLibrarysTexts) {
  std::set<int32_t> codes;
  for (const std::string& line : sectionLines("## Compile error codes")) {
    const std::vector<std::string> c = tableCells(line);
    std::vector<int32_t> n;
    if (c.size() != 3 || !parseNumbers(c[0], n) || n.size() != 1) continue;
    EXPECT_EQ(c[2], comerrtext(n[0])) << "compile code " << n[0];
    codes.insert(n[0]);
  }
  for (int32_t code = 0; code <= 27; ++code) EXPECT_TRUE(codes.count(code)) << "compile code " << code << " missing";

  std::set<std::string> named;
  std::vector<std::string> names;
  size_t pairs = 0;
  for (const std::string& line : sectionLines("## Run-time errors")) {
    const std::vector<std::string> c = tableCells(line);
    std::vector<int32_t> numbers;
    if (c.size() < 3 || !parseNumbers(c[1], numbers)) {
      names.clear();
      continue;
    }
    if (!c[0].empty()) names = quotedNames(c[0]);
    for (int32_t number : numbers) {
      if (names.empty()) {
        EXPECT_EQ(c.back(), fcerrtext(number, nullptr)) << "number " << number << " without a name";
        EXPECT_EQ(c.back(), fcerrtext(number, "myhostfunction")) << "number " << number << ", a host's name";
        ++pairs;
      }
      for (const std::string& name : names) {
        EXPECT_EQ(c.back(), fcerrtext(number, name.c_str())) << name << " " << number;
        named.insert(name);
        ++pairs;
      }
    }
  }
  EXPECT_GE(pairs, 150u);
  for (const char* name : {QX_RTERR_INTERRUPTED_NAME, QX_RTERR_STALE_FUNCTION_NAME, "rcal", "Icals", "getc", "setia",
                           "newlongarray", "calrfor", "simpintegrate", "dataarraysum", "para", "continue"})
    EXPECT_TRUE(named.count(name)) << name << " is missing from the run-time tables";
}

TEST(LanguageReference, ValuesAreWrittenAsTheReferenceWritesThem) {
  EXPECT_EQ(realText(0.1 + 0.2), "0.3");
  EXPECT_EQ(realText(-0.0), "-0");
  EXPECT_EQ(realText(-INFINITY), "-inf");
  EXPECT_EQ(realText(-NAN), "nan");
  EXPECT_EQ(complexText({1, -2}), "1-2i");
  EXPECT_EQ(complexText({0, 1}), "0+1i");
  QxComplex z{};
  ASSERT_TRUE(parseComplex("1-2i", z));
  EXPECT_EQ(z.re, 1);
  EXPECT_EQ(z.im, -2);
  ASSERT_TRUE(parseComplex("-3i", z));
  EXPECT_EQ(z.re, 0);
  EXPECT_EQ(z.im, -3);
  EXPECT_FALSE(parseComplex("1+2", z));
  EXPECT_EQ(calledNames("(x)=SUM(0,0,1,3,1)+sin[x]+a*(b)"), (std::set<std::string>{"sum", "sin"}));
}

}  // namespace

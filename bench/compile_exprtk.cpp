// Compile time of the peer set's formulas with exprtk, the header-only
// expression library, beside rcom's in quibex_bench --table. exprtk's
// header is large and slow to build, so it lives in this file alone; the
// build defines QX_HAVE_EXPRTK when it finds the header.
#include <cmath>
#include <string>
#include <vector>

#include "peer_set.h"

#ifdef QX_HAVE_EXPRTK
// Only numeric expressions are compiled here: leaving out the string, file
// and vector-operation packages shortens the build, and if anything it
// makes exprtk's parser faster, not slower.
#define exprtk_disable_string_capabilities
#define exprtk_disable_rtl_io_file
#define exprtk_disable_rtl_vecops
#include <exprtk.hpp>
#endif

namespace peer {

bool exprtkBuilt() {
#ifdef QX_HAVE_EXPRTK
  return true;
#else
  return false;
#endif
}

double exprtkCompileMicros(const Formula& f, std::string* why) {
#ifdef QX_HAVE_EXPRTK
  if (f.muparser.empty()) {
    *why = "no peer text";
    return NAN;
  }
  // muparser's text with exprtk's name for the natural logarithm; both
  // read the same brackets and operators.
  std::string text = f.muparser;
  for (size_t p = text.find("ln("); p != std::string::npos; p = text.find("ln(", p + 4)) text.replace(p, 3, "log(");
  double a[kMaxArgs] = {};
  fillArgs(f, 0.5, a);
  exprtk::symbol_table<double> symbols;
  for (int i = 0; i < f.args; ++i) symbols.add_variable(argName(f, i), a[i]);
  exprtk::expression<double> expression;
  expression.register_symbol_table(symbols);
  exprtk::parser<double> parser;
  if (!parser.compile(text, expression)) {
    *why = "exprtk: " + parser.error();
    return NAN;
  }
  if (!close(expression.value(), f.native(a))) {
    *why = "exprtk's value differs from native";
    return NAN;
  }
  return compileBatches([&] { return parser.compile(text, expression); });
#else
  (void)f;
  *why = "not in this build";
  return NAN;
#endif
}

}  // namespace peer

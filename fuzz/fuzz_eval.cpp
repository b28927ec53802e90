// Compiles formulas of the three engines and evaluates them with arguments
// taken from the input, including formulas that call each other across
// engines, use the data stores and call host functions that re-enter the
// library.
//
// Input: byte 0 configures the library:
//   bits 0-1  level limit 3, 6, 16 or 1 in every engine
//   bits 2-3  iteration limit 20, 200, 5000 or 2
//   bit 4     string table     bit 5  host functions    bit 6  named constants
//   bit 7     leave run-time errors pending between evaluations
// then up to 8 records separated by zero bytes: a selector byte, an argument
// byte and a formula text.
//   selector bits 0-1  0 real, 1 complex, 2 integer formula; 3 a formula
//                      built from a template (harness.h) with the text's
//                      bytes (the re-entry templates call fuzz_jit's hre,
//                      which is unknown here: they end as compile errors)
//            bits 2-3  row 0 .. 3
//            bits 4-5  number of evaluations after all records are compiled
//            bit 6     pass the arguments through the slots (getin + rcals)
//            bit 7     use the STD twins
//   argument byte: picks the argument values (fz::argValue)
//
// Work bound: see fz::WorkFilter and the watchdog in harness.h. sum, pro,
// simpintegrate and dataarraysum, whose walks a pending error does not
// shorten, only appear through the templates, with small grids.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr int32_t kRows = 5;  // rows 0 .. 3 for records, row 4 for skip checks
constexpr int32_t kSkipRow = 4;
constexpr int kBudgetMs = 25;

using fz::Record;

template <class T>
void storeShape(int32_t& numbers, int32_t& arrays) {
  numbers = qx::engine<T>().stores.numCount;
  arrays = qx::engine<T>().stores.arrCount;
}

// The body F of a formula that compiled on its own is placed where the
// evaluator must skip it without running it: a false if, a for whose
// condition is false, and the values of two false which branches. The
// result is 7 and nothing F would do happens (no error, no store change),
// whatever F contains. The parameter list, if any, is kept; formulas with
// further segments or string literals are left out.
void checkSkipped(int engine, const std::string& original) {
  // Blanks go and outer brackets are stripped as the compiler does.
  std::string text;
  for (char ch : original)
    if (ch != ' ') text.push_back(ch);
  if (text.find('"') != std::string::npos || !fz::balanced(text)) return;
  while (text.size() >= 2 && (text[0] == '(' || text[0] == '[' || text[0] == '{')) {
    int depth = 0;
    size_t match = 0;
    for (size_t i = 0; i < text.size(); ++i) {
      const char ch = text[i];
      if (ch == '(' || ch == '[' || ch == '{') ++depth;
      else if ((ch == ')' || ch == ']' || ch == '}') && --depth == 0) {
        match = i;
        break;
      }
    }
    if (match != text.size() - 1) break;
    text = text.substr(1, text.size() - 2);
  }
  std::string params, f = text;
  int depth = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    const char ch = text[i];
    if (ch == '(' || ch == '[' || ch == '{') ++depth;
    else if (ch == ')' || ch == ']' || ch == '}') --depth;
    else if (depth == 0 && ch == ',') return;  // a further segment
    else if (depth == 0 && ch == '=' && params.empty() && f == text) {
      params = text.substr(0, i + 1);
      f = text.substr(i + 1);
    }
  }
  for (int e = 0; e < 3; ++e) fz::fetchError(e);
  const std::string g = "(" + f + ")";
  const std::string wrapped = params + "if(0," + g + ")+for(0," + g + ")+which(0," + g + ",0," + g + ",7)";
  std::vector<char> buf(wrapped.begin(), wrapped.end());
  buf.push_back(0);
  int32_t lastArg = 0;
  const int32_t r = fz::compileText(engine, kSkipRow, buf.data(), &lastArg, false);
  FZ_CHECK(r == QX_OK || r == QX_ERR_TOO_LONG);
  if (r != QX_OK) return;
  int32_t before[6], after[6];
  storeShape<fz::RealTraits>(before[0], before[1]);
  storeShape<fz::ComplexTraits>(before[2], before[3]);
  storeShape<fz::IntTraits>(before[4], before[5]);
  double value;
  switch (engine) {
    case 0: value = rcals(kSkipRow); break;
    case 1: {
      const QxComplex z = Ccals(kSkipRow);
      FZ_CHECK(z.im == 0.0 || fz::gTimedOut);
      value = z.re;
      break;
    }
    default: value = Icals(kSkipRow); break;
  }
  fz::checkIdle();
  if (fz::gTimedOut) return;
  FZ_CHECK(value == 7.0);
  for (int e = 0; e < 3; ++e) FZ_CHECK(fz::fetchError(e) == 0);
  storeShape<fz::RealTraits>(after[0], after[1]);
  storeShape<fz::ComplexTraits>(after[2], after[3]);
  storeShape<fz::IntTraits>(after[4], after[5]);
  FZ_CHECK(std::memcmp(before, after, sizeof before) == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 3) return 0;
  fz::Reader in{data, data + size};
  // Read the records first: the filter decides whether the input runs.
  fz::Script script;
  if (!fz::readScript(in, script)) return 0;
  const uint8_t config = script.config;
  const std::vector<Record>& records = script.records;
  const std::vector<std::string>& texts = script.texts;

  deletedll();
  FZ_CHECK(qx::testing::liveAllocations() == 0);
  fz::applyLimits(config, script.simp);
  if (config & 0x10) setfcstrmax(30);
  if (config & 0x20)
    for (int e = 0; e < 3; ++e) fz::registerHosts(e, 0);
  fz::registerConstants(config & 0x40);
  for (int e = 0; e < 3; ++e) fz::sizeTable(e, kRows, false);
  userci();

  fz::armWatchdog(kBudgetMs);
  for (size_t i = 0; i < records.size(); ++i) {
    std::vector<char> buf(texts[i].begin(), texts[i].end());
    buf.push_back(0);
    int32_t lastArg = 0;
    const int32_t r = fz::compileText(records[i].engine, records[i].row, buf.data(), &lastArg, records[i].twin);
    fz::checkIdle();
    if (r == QX_OK) {
      fz::checkCompiled(records[i].engine, records[i].row);
      if (!fz::gTimedOut) checkSkipped(records[i].engine, texts[i]);
    }
  }
  for (size_t i = 0; i < records.size() && !fz::gTimedOut; ++i) {
    const Record& r = records[i];
    for (int k = 0; k < r.evals && !fz::gTimedOut; ++k) {
      fz::evaluateRow(r.engine, r.row, r.args + 5u * k, r.slots, r.twin);
      fz::checkIdle();
      if (!(config & 0x80)) {
        for (int e = 0; e < 3; ++e) fz::fetchError(e);
      }
    }
  }
  fz::disarmWatchdog();

  fz::touchStores<fz::RealTraits>();
  fz::touchStores<fz::ComplexTraits>();
  fz::touchStores<fz::IntTraits>();
  fz::releaseAndCheck();
  return 0;
}

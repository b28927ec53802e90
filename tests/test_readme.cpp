// The examples of the README's table for users of other expression parsers:
// every row must carry at least one, and each must give what it says.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "fresh_library.h"
#include "quibex.h"

namespace {

using Readme = FreshLibrary<2>;

// Rows of the table under the given heading (header and rule left out).
std::vector<std::string> tableRows(const std::string& heading) {
  std::ifstream in(std::string(QX_SOURCE_DIR) + "/README.md");
  std::vector<std::string> rows;
  std::string line;
  bool inSection = false, header = true;
  while (std::getline(in, line)) {
    if (line.rfind("## ", 0) == 0) inSection = line == "## " + heading;
    if (!inSection || line.rfind("|", 0) != 0) continue;
    if (header) {
      header = line.rfind("|---", 0) != 0;  // skip up to and including the rule
      continue;
    }
    rows.push_back(line);
  }
  return rows;
}

// "\t" and "\n" in an example stand for a tab and a line break.
std::string unescape(std::string s) {
  for (size_t i = 0; (i = s.find('\\', i)) != std::string::npos && i + 1 < s.size(); ++i)
    if (s[i + 1] == 't' || s[i + 1] == 'n') s.replace(i, 2, s[i + 1] == 't' ? "\t" : "\n");
  return s;
}

TEST_F(Readme, ComingFromOtherParsersExamplesHold) {
  const std::vector<std::string> rows = tableRows("Coming from other expression parsers");
  ASSERT_GE(rows.size(), 8u) << "README section or its table is missing";
  const std::regex example("`([^`]+)` → `([^`]+)`");
  const std::regex setup("row 0 holding `([^`]+)`");
  for (const std::string& row : rows) {
    SCOPED_TRACE(row);
    std::smatch m;
    int32_t last = 0;
    if (std::regex_search(row, m, setup)) {
      std::string text = m[1];
      ASSERT_EQ(rcom(0, text.data(), &last), 0);
    }
    int examples = 0;
    for (std::sregex_iterator it(row.begin(), row.end(), example), end; it != end; ++it, ++examples) {
      std::string text = unescape((*it)[1]);
      const std::string want = (*it)[2];
      const int32_t code = rcom(1, text.data(), &last);
      if (want.rfind("error ", 0) == 0) {
        EXPECT_EQ(code, std::atoi(want.c_str() + 6)) << (*it)[1];
        continue;
      }
      ASSERT_EQ(code, 0) << (*it)[1];
      ASSERT_EQ(last, -1) << (*it)[1];
      EXPECT_EQ(rcal(1, nullptr), std::strtod(want.c_str(), nullptr)) << (*it)[1];
      EXPECT_EQ(fcerrnum(), 0) << (*it)[1];
    }
    EXPECT_GT(examples, 0) << "a row without an example";
  }
}

}  // namespace

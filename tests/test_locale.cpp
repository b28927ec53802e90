// Numbers in formulas read the same whatever locale the host has set.
#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>
#include <string>

#include "fresh_library.h"
#include "quibex.h"

namespace {

using Locale = FreshLibrary<2>;

// A locale whose decimal point is a comma, named as Linux or Windows names
// it; empty when none is installed.
std::string setCommaLocale() {
  for (const char* name : {"de_DE.UTF-8", "de_DE.utf8", "de_DE", "fr_FR.UTF-8", "German_Germany.1252", "German",
                           "French"}) {
    if (std::setlocale(LC_ALL, name) && std::strtod("1.5", nullptr) != 1.5) return name;
  }
  std::setlocale(LC_ALL, "C");
  return std::string();
}

TEST_F(Locale, NumbersReadTheSameInACommaLocale) {
  const std::string name = setCommaLocale();
  if (name.empty()) GTEST_SKIP() << "no locale with a decimal comma installed";
  char text[] = "1.5*2+2.5e-1+(x)";
  char withArg[] = "(x)=x+0.125";
  int32_t last;
  const int32_t plain = rcom(0, text, &last);
  const int32_t second = rcom(1, withArg, &last);
  std::setlocale(LC_ALL, "C");
  ASSERT_EQ(second, 0) << name;
  double x = 1;
  EXPECT_EQ(rcal(1, &x), 1.125) << name;
  // "(x)" without a parameter list is an undefined name, not a number.
  EXPECT_EQ(plain, QX_ERR_UNDEFINED_NAME) << name;
  char sum[] = "1.5*2+2.5e-1";
  std::setlocale(LC_ALL, name.c_str());
  ASSERT_EQ(rcom(0, sum, &last), 0);
  std::setlocale(LC_ALL, "C");
  EXPECT_EQ(rcal(0, nullptr), 3.25) << name;
}

}  // namespace

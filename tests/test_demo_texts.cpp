// The demonstration program explains every run-time error in Chinese by
// translating the library's own text for it: every text the library can give
// for a built-in function or for a name of its own must have a translation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "complex/complex_traits.h"
#include "demo.h"
#include "integer/integer_traits.h"
#include "quibex.h"
#include "real/real_traits.h"

namespace demo {
Api api;  // only fcerrtext is used by the explanations
}

namespace {

TEST(DemoTexts, EveryLibraryTextHasAChineseExplanation) {
  demo::api.fcerrtext = fcerrtext;
  std::vector<std::string> names = {"unknown function", "interrupt", "rcal", "Ccals", "Icalv"};
  auto add = [&](const qx::BuiltinName* table, int count) {
    for (int k = 0; k < count; ++k) names.push_back(table[k].name);
  };
  add(qx::RealTraits::kBuiltins, qx::RealTraits::kBuiltinCount);
  add(qx::ComplexTraits::kBuiltins, qx::ComplexTraits::kBuiltinCount);
  add(qx::IntTraits::kBuiltins, qx::IntTraits::kBuiltinCount);
  for (int32_t number = -3; number <= 7; ++number) {
    EXPECT_NE(demo::runtimeErrorText(number, nullptr), demo::kUntranslatedError) << number;
    for (const std::string& name : names)
      EXPECT_NE(demo::runtimeErrorText(number, name.c_str()), demo::kUntranslatedError)
          << name << " " << number << ": " << fcerrtext(number, name.c_str());
  }
  // The program's own host functions keep their own meanings.
  EXPECT_STRNE(demo::runtimeErrorText(1, "sintegrate"), demo::runtimeErrorText(1, "calfor"));
}

}  // namespace

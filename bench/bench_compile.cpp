// Compile time of a formula with many trailing segments,
// "(x)=1,a0=1,a1=1,...": the common parameter list grows with every segment,
// so this shows whether compile time stays linear in the text. Compare the
// 1000- and 2000-segment runs of one engine: about 2x means linear.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <string>

#include "quibex.h"

namespace {

std::string manySegments(int64_t n) {
  std::string t = "(x)=1";
  for (int64_t k = 0; k < n; ++k) t += ",a" + std::to_string(k) + "=1";
  return t;
}

template <int Engine>
void BM_CompileSegments(benchmark::State& state) {
  deletedll();
  if (!setfornum(1) || !Csetfornum(1) || !Isetfornum(1)) return state.SkipWithError("setup failed");
  userci();
  const std::string text = manySegments(state.range(0));
  for (auto _ : state) {
    std::string copy = text;
    int32_t last = 0;
    const int32_t rc = Engine == 0 ? rcom(0, copy.data(), &last)
                       : Engine == 1 ? Ccom(0, copy.data(), &last)
                                     : Icom(0, copy.data(), &last);
    if (rc != QX_OK) return state.SkipWithError("compile failed");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(text.size()));
  deletedll();
}
BENCHMARK_TEMPLATE(BM_CompileSegments, 0)->Name("BM_CompileSegmentsReal")->Arg(1000)->Arg(2000);
BENCHMARK_TEMPLATE(BM_CompileSegments, 1)->Name("BM_CompileSegmentsComplex")->Arg(1000)->Arg(2000);
BENCHMARK_TEMPLATE(BM_CompileSegments, 2)->Name("BM_CompileSegmentsInteger")->Arg(1000)->Arg(2000);

}  // namespace

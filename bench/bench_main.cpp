// Entry point of quibex_bench: the Google Benchmark runner, or with
// --table the peer comparison as one table measured side by side.
#include <benchmark/benchmark.h>

#include <cstring>

namespace peer {
int printTable();
}

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--table") == 0) return peer::printTable();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

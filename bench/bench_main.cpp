// Entry point of quibex_bench: the Google Benchmark runner, or with
// --table the peer comparison as one table measured side by side, or with
// --bulk the bulk calls against the loop of single calls.
#include <benchmark/benchmark.h>

#include <cstring>

namespace peer {
int printTable();
}
namespace bulk {
int printBulk();
}

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], "--table") == 0) return peer::printTable();
    else if (std::strcmp(argv[i], "--bulk") == 0) return bulk::printBulk();
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

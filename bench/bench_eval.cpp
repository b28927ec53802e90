// Evaluation speed of the real engine next to the same computation
// compiled natively: single evaluations, compilation, a loop inside a
// formula, and a sum over a grid.
//
// Compare the time per iteration of each BM_Engine* benchmark with its
// BM_Native* partner; the ratio is the interpreter's overhead. These run
// with the machine-code tier switched off, so that they stay the measure of
// the interpreter itself (the peer set in bench_peer.cpp times both tiers).
#include <benchmark/benchmark.h>

#include <cmath>
#include <cstdint>
#include <string>

#include "quibex.h"
#include "jit/jit.h"

namespace {

// A fresh library with one real table of `rows` rows, interpreter only.
bool freshLibrary(int32_t rows) {
  qx::jit::setMode(qx::jit::Mode::Off);
  deletedll();
  if (!setfornum(rows) || !Csetfornum(1) || !Isetfornum(1)) return false;
  userci();
  return true;
}

bool compile(int32_t row, std::string text) {
  int32_t last = 0;
  return rcom(row, &text[0], &last) == QX_OK;
}

// Argument values that change every iteration so nothing can be folded.
struct Sweep {
  double x = 0.25;
  double next() {
    x += 0.001;
    if (x > 2.0) x = 0.25;
    return x;
  }
};

const char kSimple[] = "(x,y)=x*2+sin(y)";
const char kHorner[] = "(x)=((((((((2*x+3)*x-1)*x+4)*x-2)*x+5)*x-7)*x+1)*x+9)";
const char kMedium[] =
    "(x,y,z:t)=(t=x*y+z)+sin(t)*cos(x)-sqrt(abs(y))+max(x,y,z)*2.5"
    "+which(gt(x,y),x-y,y-x)+t^2/3-exp(-x*x)+lg(1+z*z)";
const char kLoop[] = "(n:i,s)=(i=0)+(s=0)+for(lt(i,n),(s=s+1/(i*i+1)),(i=i+1))+s";

void BM_EngineSimple(benchmark::State& state) {
  if (!freshLibrary(1) || !compile(0, kSimple)) return state.SkipWithError("setup failed");
  Sweep sweep;
  double args[2];
  for (auto _ : state) {
    args[0] = sweep.next();
    args[1] = args[0] * 0.5;
    benchmark::DoNotOptimize(rcal(0, args));
  }
  deletedll();
}
BENCHMARK(BM_EngineSimple);

void BM_NativeSimple(benchmark::State& state) {
  Sweep sweep;
  for (auto _ : state) {
    double x = sweep.next();
    double y = x * 0.5;
    benchmark::DoNotOptimize(x);
    benchmark::DoNotOptimize(y);
    benchmark::DoNotOptimize(x * 2 + std::sin(y));
  }
}
BENCHMARK(BM_NativeSimple);

void BM_EngineHorner(benchmark::State& state) {
  if (!freshLibrary(1) || !compile(0, kHorner)) return state.SkipWithError("setup failed");
  Sweep sweep;
  double x;
  for (auto _ : state) {
    x = sweep.next();
    benchmark::DoNotOptimize(rcal(0, &x));
  }
  deletedll();
}
BENCHMARK(BM_EngineHorner);

void BM_NativeHorner(benchmark::State& state) {
  Sweep sweep;
  for (auto _ : state) {
    double x = sweep.next();
    benchmark::DoNotOptimize(x);
    benchmark::DoNotOptimize(((((((((2 * x + 3) * x - 1) * x + 4) * x - 2) * x + 5) * x - 7) * x + 1) * x + 9));
  }
}
BENCHMARK(BM_NativeHorner);

// Compilations per second of a medium formula (about 130 characters).
void BM_EngineCompileMedium(benchmark::State& state) {
  if (!freshLibrary(1)) return state.SkipWithError("setup failed");
  const std::string source = kMedium;
  std::string text;
  for (auto _ : state) {
    text = source;
    int32_t last = 0;
    if (rcom(0, &text[0], &last) != QX_OK) return state.SkipWithError("compile failed");
  }
  state.SetItemsProcessed(state.iterations());
  deletedll();
}
BENCHMARK(BM_EngineCompileMedium);

void BM_EngineLoop(benchmark::State& state) {
  if (!freshLibrary(1) || !compile(0, kLoop)) return state.SkipWithError("setup failed");
  double n = static_cast<double>(state.range(0));
  for (auto _ : state) benchmark::DoNotOptimize(rcal(0, &n));
  if (fcerrnum() != 0) state.SkipWithError("run-time error");
  deletedll();
}
BENCHMARK(BM_EngineLoop)->Arg(1000);

void BM_NativeLoop(benchmark::State& state) {
  int64_t n = state.range(0);
  for (auto _ : state) {
    benchmark::DoNotOptimize(n);
    double s = 0.0;
    for (int64_t i = 0; i < n; ++i) {
      const double di = static_cast<double>(i);
      s = s + 1 / (di * di + 1);
    }
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_NativeLoop)->Arg(1000);

// sum over a 100 x 100 grid of a two-parameter formula with one fixed
// parameter.
void BM_EngineGridSum(benchmark::State& state) {
  if (!freshLibrary(2) || !compile(0, "(x,y,c)=x*y+c*x") || !compile(1, "(c)=sum(0,1,c,1,100,1,1,100,1)"))
    return state.SkipWithError("setup failed");
  Sweep sweep;
  double c;
  for (auto _ : state) {
    c = sweep.next();
    benchmark::DoNotOptimize(rcal(1, &c));
  }
  if (fcerrnum() != 0) state.SkipWithError("run-time error");
  deletedll();
}
BENCHMARK(BM_EngineGridSum);

void BM_NativeGridSum(benchmark::State& state) {
  Sweep sweep;
  for (auto _ : state) {
    double c = sweep.next();
    benchmark::DoNotOptimize(c);
    double s = 0.0;
    for (int ky = 0; ky < 100; ++ky) {
      const double y = ky * 1.0 + 1;
      for (int kx = 0; kx < 100; ++kx) {
        const double x = kx * 1.0 + 1;
        s += x * y + c * x;
      }
    }
    benchmark::DoNotOptimize(s);
  }
}
BENCHMARK(BM_NativeGridSum);

}  // namespace

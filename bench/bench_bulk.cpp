// quibex_bench --bulk: ns per evaluation over 1,000,000 argument sets for
// five formulas, side by side in one run: the native C++ loop (inlined into
// its timing loop), the loop of rcal calls, and rcalv over tuples and over
// columns. Rows run as machine code where the tier is available. Every
// rcalv result is checked against the rcal loop's bit for bit first.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "quibex.h"

#include "jit/jit.h"

namespace bulk {
namespace {

constexpr int32_t kSets = 1000000;
constexpr int kRounds = 5;

struct BulkFormula {
  const char* name;
  const char* text;
  int32_t args;
};

const BulkFormula kFormulas[] = {
    {"x*2+sin(y)", "(x,y)=x*2+sin(y)", 2},
    {"Horner degree 8", "(x)=((((((((2*x+3)*x-1)*x+4)*x-2)*x+5)*x-7)*x+1)*x+9)", 1},
    {"sqrt(x*x+y*y+z*z)", "(x,y,z)=sqrt(x*x+y*y+z*z)", 3},
    {"exp ln cos", "(x,y,z,w)=exp(-x*y)*ln(z+1)+cos(w*x)/(1+y*y)", 4},
    {"normal density", "(x,m,s)=exp(-((x-m)/s)^2/2)/(s*sqrt(2*3.141592653589793))", 3},
};

// The same formulas in C++, inlined into the timing loop.
template <int W>
inline __attribute__((always_inline)) double native(const double* a) {
  if constexpr (W == 0) return a[0] * 2 + std::sin(a[1]);
  else if constexpr (W == 1) {
    const double x = a[0];
    return ((((((((2 * x + 3) * x - 1) * x + 4) * x - 2) * x + 5) * x - 7) * x + 1) * x + 9);
  } else if constexpr (W == 2) return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]);
  else if constexpr (W == 3) return std::exp(-a[0] * a[1]) * std::log(a[2] + 1) + std::cos(a[3] * a[0]) / (1 + a[1] * a[1]);
  else {
    const double z = (a[0] - a[1]) / a[2];
    return std::exp(-std::pow(z, 2) / 2) / (a[2] * std::sqrt(2 * 3.141592653589793));
  }
}

double cpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

template <int W>
double timeNative(const double* tuples, int32_t args, double* out) {
  const double t0 = cpuNs();
  for (int32_t i = 0; i < kSets; ++i) out[i] = native<W>(tuples + static_cast<size_t>(i) * args);
  return cpuNs() - t0;
}

double timeNative(int w, const double* tuples, int32_t args, double* out) {
  switch (w) {
    case 0: return timeNative<0>(tuples, args, out);
    case 1: return timeNative<1>(tuples, args, out);
    case 2: return timeNative<2>(tuples, args, out);
    case 3: return timeNative<3>(tuples, args, out);
    default: return timeNative<4>(tuples, args, out);
  }
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int printBulk() {
  deletedll();
  const int32_t nf = static_cast<int32_t>(sizeof kFormulas / sizeof kFormulas[0]);
  if (!setfornum(nf) || !Csetfornum(1) || !Isetfornum(1)) {
    std::fprintf(stderr, "bulk: the library could not be set up\n");
    return 1;
  }
  userci();
  const bool machine = qx::jit::available();
  qx::jit::setMode(machine ? qx::jit::Mode::Always : qx::jit::Mode::Off);
  std::printf("Bulk evaluation, ns per evaluation over %d argument sets (processor time, median of %d rounds)\n",
              kSets, kRounds);
  std::printf("rows run as %s; bulk calls run on the calling thread\n\n", machine ? "machine code" : "interpreter");
  std::printf("%-20s | %8s | %8s %6s | %8s %6s | %8s %6s\n", "formula", "native", "rcal", "", "rcalv", "tuples",
              "rcalv", "columns");
  bool allGood = true;
  double logRatio = 0.0;
  std::vector<double> tuples, columns, loop(kSets), bulk(kSets), nat(kSets);
  for (int32_t w = 0; w < nf; ++w) {
    const BulkFormula& f = kFormulas[w];
    std::string text = f.text;
    int32_t last = 0;
    if (rcom(w, text.data(), &last) != 0 || last + 1 != f.args) {
      std::printf("%-20s | does not compile\n", f.name);
      allGood = false;
      continue;
    }
    const size_t n = static_cast<size_t>(kSets) * f.args;
    tuples.assign(n, 0.0);
    columns.assign(n, 0.0);
    for (int32_t i = 0; i < kSets; ++i)
      for (int32_t k = 0; k < f.args; ++k) {
        const double v = 0.25 + 0.75 * ((i * 7 + k * 13) % 1000) / 1000.0 + 0.25 * k;
        tuples[static_cast<size_t>(i) * f.args + k] = v;
        columns[static_cast<size_t>(k) * kSets + i] = v;
      }
    std::vector<double> tn, tl, tt, tc;
    bool same = true;
    for (int r = 0; r < kRounds; ++r) {
      tn.push_back(timeNative(w, tuples.data(), f.args, nat.data()));
      double t0 = cpuNs();
      for (int32_t i = 0; i < kSets; ++i) loop[i] = rcal(w, tuples.data() + static_cast<size_t>(i) * f.args);
      tl.push_back(cpuNs() - t0);
      t0 = cpuNs();
      const int32_t made = rcalv(w, kSets, tuples.data(), f.args, 1, bulk.data());
      tt.push_back(cpuNs() - t0);
      same = same && made == kSets && std::memcmp(loop.data(), bulk.data(), sizeof(double) * kSets) == 0;
      t0 = cpuNs();
      const int32_t madeColumns = rcalv(w, kSets, columns.data(), 1, kSets, bulk.data());
      tc.push_back(cpuNs() - t0);
      same = same && madeColumns == kSets && std::memcmp(loop.data(), bulk.data(), sizeof(double) * kSets) == 0;
    }
    if (fcerrnum() != 0) same = false;
    const double ns = 1.0 / kSets, native = median(tn) * ns;
    const double l = median(tl) * ns, t = median(tt) * ns, c = median(tc) * ns;
    std::printf("%-20s | %8.2f | %8.2f %5.2fx | %8.2f %5.2fx | %8.2f %5.2fx%s\n", f.name, native, l, l / native, t,
                t / native, c, c / native, same ? "" : "  BULK DIFFERS FROM THE rcal LOOP");
    allGood = allGood && same;
    logRatio += std::log(t / native);
  }
  std::printf("\ngeometric mean, rcalv over tuples against the native loop: %.2fx\n", std::exp(logRatio / nf));
  deletedll();
  return allGood ? 0 : 1;
}

}  // namespace bulk

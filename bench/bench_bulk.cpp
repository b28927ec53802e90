// quibex_bench --bulk: ns per evaluation over 1,000,000 argument sets for
// five formulas, side by side in one run:
//   - the native C++ loop, each formula inlined into its timing loop;
//   - the loop of rcal calls;
//   - rcalv over tuples and over columns, with setthreads(1) and
//     setthreads(0) (one thread per online processor);
//   - the peers of bulk_peers.h: muparser's bulk Eval on one and on all
//     threads, numexpr on one and on all threads, and NumPy.
// Rows run as machine code where the tier is available. Every rcalv result
// is checked against the rcal loop's bit for bit, every peer result against
// the native loop's within a few units in the last place.
//
// Clocks: what runs on the calling thread alone (native, the rcal loop, the
// one-thread columns) is timed with that thread's processor time; what may
// spread over threads (the "all" columns) with the wall clock. The speed-up
// of all threads over one compares wall clock with wall clock.
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "bulk_peers.h"
#include "clock.h"
#include "quibex.h"

#include "jit/jit.h"

namespace bulk {
namespace {

using benchclock::cpuNs;
using benchclock::median;
using benchclock::wallNs;

constexpr int32_t kSets = 1000000;
constexpr int kRounds = 5;

struct BulkFormula {
  const char* name;
  const char* text;  // for rcom
  PeerFormula peer;
};

const BulkFormula kFormulas[] = {
    {"x*2+sin(y)", "(x,y)=x*2+sin(y)", {"x*2+sin(y)", "x*2+sin(y)", "x,y", 2}},
    {"Horner degree 8", "(x)=((((((((2*x+3)*x-1)*x+4)*x-2)*x+5)*x-7)*x+1)*x+9)",
     {"((((((((2*x+3)*x-1)*x+4)*x-2)*x+5)*x-7)*x+1)*x+9)", "((((((((2*x+3)*x-1)*x+4)*x-2)*x+5)*x-7)*x+1)*x+9)", "x",
      1}},
    {"sqrt(x*x+y*y+z*z)", "(x,y,z)=sqrt(x*x+y*y+z*z)", {"sqrt(x*x+y*y+z*z)", "sqrt(x*x+y*y+z*z)", "x,y,z", 3}},
    {"exp ln cos", "(x,y,z,w)=exp(-x*y)*ln(z+1)+cos(w*x)/(1+y*y)",
     {"exp(-x*y)*ln(z+1)+cos(w*x)/(1+y*y)", "exp(-x*y)*log(z+1)+cos(w*x)/(1+y*y)", "x,y,z,w", 4}},
    {"normal density", "(x,m,s)=exp(-((x-m)/s)^2/2)/(s*sqrt(2*3.141592653589793))",
     {"exp(-((x-m)/s)^2/2)/(s*sqrt(2*3.141592653589793))", "exp(-((x-m)/s)**2/2)/(s*sqrt(2*3.141592653589793))",
      "x,m,s", 3}},
};
constexpr int kSpeedupFormula = 3;  // exp ln cos: the threads' speed-up is reported on it

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

// The speed-up formula in C++ over equal parts of the sets on `threads`
// threads, wall clock: what this machine itself gives all its processors over
// one on that formula, the ceiling for the library's threads.
double wallNativeThreads(const double* tuples, int32_t args, double* out, int threads) {
  auto part = [=](int k) {
    const int32_t i0 = static_cast<int32_t>(static_cast<int64_t>(kSets) * k / threads);
    const int32_t i1 = static_cast<int32_t>(static_cast<int64_t>(kSets) * (k + 1) / threads);
    for (int32_t i = i0; i < i1; ++i) out[i] = native<kSpeedupFormula>(tuples + static_cast<size_t>(i) * args);
  };
  const double t0 = wallNs();
  std::vector<std::thread> pool;
  for (int k = 1; k < threads; ++k) pool.emplace_back(part, k);
  part(0);
  for (std::thread& t : pool) t.join();
  return wallNs() - t0;
}

// The columns of the table, in order.
enum Col {
  cNative, cLoop, cTuples1, cTuplesAll, cColumns1, cColumnsAll,
  cMu1, cMuAll, cNumexpr1, cNumexprAll, cNumpy, kCols
};
const Col kQuibexBulk[] = {cTuples1, cTuplesAll, cColumns1, cColumnsAll};

struct Layout {
  const double* args;
  int32_t rowStride, argStride;
};

// Times one rcalv call over all sets with the given thread limit; checks its
// results against the rcal loop's bit for bit.
double timeBulk(int32_t row, const Layout& l, int32_t threads, const std::vector<double>& loop,
                std::vector<double>& out, bool* same, double* wall) {
  setthreads(threads);
  const double c0 = cpuNs(), w0 = wallNs();
  const int32_t made = rcalv(row, kSets, l.args, l.rowStride, l.argStride, out.data());
  const double c1 = cpuNs(), w1 = wallNs();
  *same = *same && made == kSets && std::memcmp(loop.data(), out.data(), sizeof(double) * kSets) == 0;
  *wall = w1 - w0;
  return threads == 1 ? c1 - c0 : w1 - w0;
}

void printCell(double ns) {
  if (std::isnan(ns)) std::printf(" %7s", "n/a");
  else std::printf(" %7.2f", ns);
}

void printRatio(double r) {
  if (std::isnan(r)) std::printf(" %9s |", "n/a");
  else std::printf(" %8.2fx |", r);
}

double bestOf(double a, double b) {
  if (std::isnan(a)) return b;
  if (std::isnan(b)) return a;
  return std::fmin(a, b);
}

struct GeoMean {
  double logSum = 0.0;
  int n = 0;
  void add(double r) {
    if (std::isnan(r)) return;
    logSum += std::log(r);
    ++n;
  }
  double value() const { return n ? std::exp(logSum / n) : NAN; }
};

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
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  const int all = online > 0 ? static_cast<int>(online) : 1;

  bool allGood = true;
  double ns[nf][kCols];
  double wall1[nf][2], wallAll[nf][2];  // wall clock of rcalv, [tuples, columns]
  double nativeWall1 = NAN, nativeWallAll = NAN;  // the speed-up formula in C++
  for (int32_t w = 0; w < nf; ++w)
    for (int l = 0; l < 2; ++l) wall1[w][l] = wallAll[w][l] = NAN;
  std::set<std::string> notes;
  std::string arrayVersions;
  std::vector<double> tuples, columns, loop(kSets), out(kSets), nat(kSets);
  for (int32_t w = 0; w < nf; ++w) {
    const BulkFormula& f = kFormulas[w];
    const int32_t nargs = f.peer.args;
    for (double& v : ns[w]) v = NAN;
    std::string text = f.text;
    int32_t last = 0;
    if (rcom(w, text.data(), &last) != 0 || last + 1 != nargs) {
      notes.insert(std::string(f.name) + ": does not compile");
      allGood = false;
      continue;
    }
    const size_t n = static_cast<size_t>(kSets) * nargs;
    tuples.assign(n, 0.0);
    columns.assign(n, 0.0);
    for (int32_t i = 0; i < kSets; ++i)
      for (int32_t k = 0; k < nargs; ++k) {
        const double v = 0.25 + 0.75 * ((i * 7 + k * 13) % 1000) / 1000.0 + 0.25 * k;
        tuples[static_cast<size_t>(i) * nargs + k] = v;
        columns[static_cast<size_t>(k) * kSets + i] = v;
      }
    const Layout byTuples{tuples.data(), nargs, 1}, byColumns{columns.data(), 1, kSets};

    // quibex and native, interleaved round by round.
    std::vector<double> samples[kCols], w1[2], wAll[2], nw1, nwAll;
    bool same = true;
    for (int r = 0; r < kRounds; ++r) {
      samples[cNative].push_back(timeNative(w, tuples.data(), nargs, nat.data()));
      const double t0 = cpuNs();
      for (int32_t i = 0; i < kSets; ++i) loop[i] = rcal(w, tuples.data() + static_cast<size_t>(i) * nargs);
      samples[cLoop].push_back(cpuNs() - t0);
      double wall = 0.0;
      samples[cTuples1].push_back(timeBulk(w, byTuples, 1, loop, out, &same, &wall));
      w1[0].push_back(wall);
      samples[cTuplesAll].push_back(timeBulk(w, byTuples, 0, loop, out, &same, &wall));
      wAll[0].push_back(wall);
      samples[cColumns1].push_back(timeBulk(w, byColumns, 1, loop, out, &same, &wall));
      w1[1].push_back(wall);
      samples[cColumnsAll].push_back(timeBulk(w, byColumns, 0, loop, out, &same, &wall));
      wAll[1].push_back(wall);
      if (w == kSpeedupFormula) {
        nw1.push_back(wallNativeThreads(tuples.data(), nargs, out.data(), 1));
        nwAll.push_back(wallNativeThreads(tuples.data(), nargs, out.data(), all));
      }
    }
    if (w == kSpeedupFormula) {
      nativeWall1 = median(nw1);
      nativeWallAll = median(nwAll);
    }
    if (fcerrnum() != 0) same = false;
    std::string why;
    if (!closeToNative(loop.data(), nat.data(), kSets, &why)) {
      notes.insert(std::string(f.name) + ": THE rcal LOOP DIFFERS FROM NATIVE: " + why);
      allGood = false;
    }
    if (!same) {
      notes.insert(std::string(f.name) + ": RCALV DIFFERS FROM THE rcal LOOP");
      allGood = false;
    }
    for (int c = cNative; c <= cColumnsAll; ++c)
      ns[w][c] = (c >= cTuples1 && !same) ? NAN : median(samples[c]) / kSets;
    for (int l = 0; l < 2; ++l) {
      wall1[w][l] = median(w1[l]) / kSets;
      wallAll[w][l] = median(wAll[l]) / kSets;
    }

    // The peers, against the native loop's results.
    PeerTime peers[5];
    peers[0] = timeMuparser(f.peer, columns.data(), kSets, 1, kRounds, nat.data(), out.data());
    peers[1] = timeMuparser(f.peer, columns.data(), kSets, all, kRounds, nat.data(), out.data());
    arrayVersions = timeArrayPeers(f.peer, columns.data(), kSets, all, kRounds, nat.data(), peers + 2);
    const char* const peerNames[] = {"muparser, 1 thread", "muparser, all threads", "numexpr, 1 thread",
                                     "numexpr, all threads", "NumPy"};
    for (int p = 0; p < 5; ++p) {
      ns[w][cMu1 + p] = peers[p].ns;
      if (peers[p].wrong) {
        notes.insert(std::string(f.name) + ": " + peerNames[p] + " DIFFERS FROM NATIVE: " + peers[p].why);
        allGood = false;
      } else if (std::isnan(peers[p].ns)) {
        notes.insert(std::string(peerNames[p]) + ": n/a, " + peers[p].why);
      }
    }
  }

  std::printf("Bulk evaluation, ns per evaluation over %d argument sets (median of %d rounds)\n", kSets, kRounds);
  std::printf("rows run as %s; \"all\" = setthreads(0) and the peers' thread count = %d online processors\n",
              machine ? "machine code" : "interpreter", all);
  std::printf("clocks: processor time of the calling thread for native, rcal and \"1 thr\"; wall clock for \"all\"\n");
  std::printf("muparser bulk Eval: %s; numexpr and NumPy: %s\n\n",
              !muparserBuilt() ? "not in this build"
              : muparserThreadable() ? "yes, OpenMP threads"
                                     : "yes, without OpenMP",
              arrayVersions.c_str());
  std::printf("%-18s | %7s %7s | %7s %7s | %7s %7s | %7s %7s | %7s %7s | %7s\n", "", "native", "rcal", "rcalv",
              "tuples", "rcalv", "columns", "muparser", "bulk", "numexpr", "", "NumPy");
  std::printf("%-18s | %7s %7s | %7s %7s | %7s %7s | %7s %7s | %7s %7s | %7s\n", "formula", "loop", "loop", "1 thr",
              "all", "1 thr", "all", "1 thr", "all", "1 thr", "all", "1 thr");
  for (int32_t w = 0; w < nf; ++w) {
    std::printf("%-18s |", kFormulas[w].name);
    for (int c = 0; c < kCols; ++c) {
      printCell(ns[w][c]);
      if (c == cLoop || c == cTuplesAll || c == cColumnsAll || c == cMuAll || c == cNumexprAll) std::printf(" |");
    }
    std::printf("\n");
  }

  // Best rcalv (the fastest of its four columns) against each peer's best.
  std::printf("\nbest rcalv (fastest of its four columns) against the native loop and each peer's best column\n");
  std::printf("%-18s | %8s | %9s | %9s | %9s | %9s | %9s |\n", "formula", "rcalv ns", "/native", "/rcal", "/numexpr",
              "/NumPy", "/muparser");
  GeoMean gm[5];
  for (int32_t w = 0; w < nf; ++w) {
    double best = NAN;
    for (Col c : kQuibexBulk) best = bestOf(best, ns[w][c]);
    const double ratio[5] = {best / ns[w][cNative], best / ns[w][cLoop],
                             best / bestOf(ns[w][cNumexpr1], ns[w][cNumexprAll]), best / ns[w][cNumpy],
                             best / bestOf(ns[w][cMu1], ns[w][cMuAll])};
    std::printf("%-18s |", kFormulas[w].name);
    printCell(best);
    std::printf("  |");
    for (int k = 0; k < 5; ++k) {
      printRatio(ratio[k]);
      gm[k].add(ratio[k]);
    }
    std::printf("\n");
  }
  std::printf("%-18s | %8s |", "geometric mean", "");
  for (const GeoMean& g : gm) printRatio(g.value());
  std::printf("\n\n");

  auto target = [&](const char* what, const GeoMean& g, double limit) {
    if (!g.n) std::printf("  %-34s n/a\n", what);
    else
      std::printf("  %-34s %5.2fx over %d formulas (at most %.2f: %s)\n", what, g.value(), g.n, limit,
                  g.value() <= limit ? "met" : "missed");
  };
  std::printf("targets, geometric mean of best rcalv over:\n");
  target("the native loop", gm[0], 0.7);
  target("numexpr's best", gm[2], 0.8);
  target("NumPy", gm[3], 0.8);
  target("muparser's best bulk", gm[4], 0.25);
  const double sT = wall1[kSpeedupFormula][0] / wallAll[kSpeedupFormula][0];
  const double sC = wall1[kSpeedupFormula][1] / wallAll[kSpeedupFormula][1];
  const double s = bestOf(wall1[kSpeedupFormula][0], wall1[kSpeedupFormula][1]) /
                   bestOf(wallAll[kSpeedupFormula][0], wallAll[kSpeedupFormula][1]);
  std::printf("  %d threads over 1 on %s (wall clock): tuples %.2fx, columns %.2fx, best against best %.2fx "
              "(at least 1.7: %s)\n",
              all, kFormulas[kSpeedupFormula].name, sT, sC, s, s >= 1.7 ? "met" : "missed");
  std::printf("  the same formula in C++ over equal parts on %d threads against 1 (wall clock): %.2fx\n", all,
              nativeWall1 / nativeWallAll);
  if (!notes.empty()) {
    std::printf("\nnotes:\n");
    for (const std::string& n : notes) std::printf("  %s\n", n.c_str());
  }
  setthreads(0);
  deletedll();
  return allGood ? 0 : 1;
}

}  // namespace bulk

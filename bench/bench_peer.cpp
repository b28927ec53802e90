// The peer comparison set (peer_set.h) timed five ways per formula: native
// C++ called once per evaluation, native C++ inlined into the timed loop,
// the interpreter, machine code, and muparser; and, where the fastest C++
// computes the value another way than the formula reads, that too.
//
// As Google Benchmark entries: peer/<formula>/<variant>, and
// peer/<formula>/rcom for its compilation. As one table
// measured side by side in one run: quibex_bench --table, which also gives
// the translation time per formula, the compile time per formula and the
// compilations per second. Every variant's result is checked against the
// native one before it is timed.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "clock.h"
#include "peer_set.h"

namespace peer {
namespace {

using benchclock::cpuNs;
using benchclock::median;

// kFastest: the fastest C++ of a formula, where it differs from native.
// kInlined: native C++ inlined into the timed loop (see inlinedSum).
enum Variant { kNative, kInterpreter, kMachine, kMuparser, kFastest, kInlined, kVariants };
const char* const kVariantNames[] = {"native", "interpreter", "machine", "muparser", "fastest", "inlined"};

bool freshLibrary(int32_t rows) {
  deletedll();
  if (!setfornum(rows) || !Csetfornum(1) || !Isetfornum(1)) return false;
  userci();
  return true;
}

bool hasMuparser() {
#ifdef QX_HAVE_MUPARSER
  return true;
#else
  return false;
#endif
}

// Evaluates formula f once by one variant on arguments a.
struct Evaluator {
  const Formula& f;
  int32_t row;
#ifdef QX_HAVE_MUPARSER
  std::unique_ptr<MuFormula> mu;
#endif
  Evaluator(const Formula& formula, int32_t r) : f(formula), row(r) {
#ifdef QX_HAVE_MUPARSER
    mu = std::make_unique<MuFormula>(f);
#endif
  }
  bool has(Variant v) const {
    switch (v) {
      case kMachine: return qx::jit::available();
#ifdef QX_HAVE_MUPARSER
      case kMuparser: return mu->ok;
#else
      case kMuparser: return false;
#endif
      case kFastest: return f.fastest != nullptr;
      default: return true;
    }
  }
  // Sets the tier for the variant and, for machine code, has the row
  // translated by a first evaluation.
  void prepare(Variant v) {
    if (v == kInterpreter) qx::jit::setMode(qx::jit::Mode::Off);
    if (v == kMachine) {
      qx::jit::setMode(qx::jit::Mode::Always);
      double a[kMaxArgs];
      fillArgs(f, 0.5, a);
      rcal(row, a);
    }
  }
  template <Variant V>
  double eval(const double* a) {
    if constexpr (V == kNative) return f.native(a);
    else if constexpr (V == kInlined) return f.inlined(a, 1);
    else if constexpr (V == kFastest) return f.fastest(a);
    else if constexpr (V == kInterpreter || V == kMachine) return rcal(row, a);
#ifdef QX_HAVE_MUPARSER
    else if constexpr (V == kMuparser) {
      std::memcpy(mu->args, a, sizeof mu->args);
      return mu->eval();
    }
#endif
    else return 0.0;
  }
  double eval(Variant v, const double* a) {
    switch (v) {
      case kNative: return eval<kNative>(a);
      case kInterpreter: return eval<kInterpreter>(a);
      case kMachine: return eval<kMachine>(a);
      case kFastest: return eval<kFastest>(a);
      case kInlined: return eval<kInlined>(a);
      default: return eval<kMuparser>(a);
    }
  }
};

// Argument tuples along the sweep, computed once, so that the timed loops
// only read them (see tupleAt).
struct ArgTable {
  std::vector<double> v;
  explicit ArgTable(const Formula& f) : v(kPoints * kMaxArgs, 0.0) {
    Sweep sweep;
    for (size_t k = 0; k < kPoints; ++k) fillArgs(f, sweep.next(), &v[k * kMaxArgs]);
  }
  const double* at(size_t k) const { return tupleAt(v.data(), static_cast<int64_t>(k)); }
};

// Checks variant v against native C++ over the sweep. Returns an empty
// string or what went wrong.
std::string check(Evaluator& e, const ArgTable& args, Variant v) {
  e.prepare(v);
  for (size_t k = 0; k < kPoints; k += e.f.fixedArgs ? 97 : 1) {
    const double want = e.f.native(args.at(k));
    const double got = e.eval(v, args.at(k));
    if (!close(want, got)) {
      char msg[160];
      std::snprintf(msg, sizeof msg, "%s gives %.17g, native %.17g at %.17g", kVariantNames[v], got, want,
                    args.at(k)[0]);
      return msg;
    }
  }
  if (v == kInterpreter || v == kMachine) {
    const char* name = nullptr;
    if (const int32_t err = fcerr(&name)) return std::string("run-time error ") + std::to_string(err);
  }
  if (v == kMachine && !qx::jit::rowTranslated(0, e.row)) return "row not translated";
  return std::string();
}

// A sink the optimiser cannot see through.
volatile double gSink;

// Runs n evaluations of variant V along the argument table; returns
// nanoseconds of the thread's processor time (see clock.h). Every variant
// does the same per iteration: load the next tuple, evaluate, add to a sum.
// All but kInlined evaluate through a call (to rcal, to the native
// function, to muparser); kInlined has the formula compiled into its loop.
template <Variant V>
double timeBatch(Evaluator& e, const ArgTable& args, int64_t n) {
  double s = 0.0;
  const double t0 = cpuNs();
  if constexpr (V == kInlined) s = e.f.inlined(args.v.data(), n);
  else
    for (int64_t i = 0; i < n; ++i) s += e.eval<V>(args.at(static_cast<size_t>(i)));
  const double t1 = cpuNs();
  gSink = s;
  return t1 - t0;
}
double timeBatch(Evaluator& e, const ArgTable& args, Variant v, int64_t n) {
  switch (v) {
    case kNative: return timeBatch<kNative>(e, args, n);
    case kInterpreter: return timeBatch<kInterpreter>(e, args, n);
    case kMachine: return timeBatch<kMachine>(e, args, n);
    case kFastest: return timeBatch<kFastest>(e, args, n);
    case kInlined: return timeBatch<kInlined>(e, args, n);
    default: return timeBatch<kMuparser>(e, args, n);
  }
}

using benchclock::wallNs;

// Translation time of formula f in microseconds: the first evaluation of a
// freshly compiled row with translation forced, minus the evaluation that
// follows it on machine code.
double translationMicros(const Formula& f, int32_t row) {
  if (!qx::jit::available()) return NAN;
  std::vector<double> d;
  double a[kMaxArgs];
  fillArgs(f, 0.5, a);
  for (int k = 0; k < 41; ++k) {
    qx::jit::setMode(qx::jit::Mode::Off);
    if (!compile(row, f.text)) return NAN;
    qx::jit::setMode(qx::jit::Mode::Always);
    const double t0 = wallNs();
    gSink = rcal(row, a);
    const double t1 = wallNs();
    gSink = rcal(row, a);
    const double t2 = wallNs();
    d.push_back(((t1 - t0) - (t2 - t1)) * 1e-3);
  }
  qx::jit::setMode(qx::jit::Mode::Off);
  return median(d);
}

// Compile time of formula f in microseconds: the median over batches of
// rcom calls (see compileBatches).
double compileMicros(const Formula& f, int32_t row) {
  return compileBatches([&] {
    int32_t last = 0;
    return rcom(row, f.text.c_str(), &last) == QX_OK;
  });
}

void printCell(double ns, double native) {
  if (std::isnan(ns)) {
    std::printf(" %9s %6s |", "-", "");
    return;
  }
  std::printf(" %9.2f %5.2fx |", ns, ns / native);
}

// ---------------------------------------------------------------------------
// Google Benchmark entries
// ---------------------------------------------------------------------------
template <Variant V>
void runPeer(benchmark::State& state, size_t index) {
  const std::vector<Formula> all = formulas();
  const Formula& f = all[index];
  if (!freshLibrary(1) || !compile(0, f.text)) return state.SkipWithError("setup failed");
  Evaluator e(f, 0);
  const ArgTable args(f);
  const std::string problem = check(e, args, V);
  if (!problem.empty()) {
    qx::jit::setMode(qx::jit::Mode::Off);
    deletedll();
    return state.SkipWithError(problem.c_str());
  }
  e.prepare(V);
  if constexpr (V == kInlined) {
    while (state.KeepRunningBatch(static_cast<benchmark::IterationCount>(kPoints)))
      benchmark::DoNotOptimize(f.inlined(args.v.data(), static_cast<int64_t>(kPoints)));
  } else {
    size_t k = 0;
    for (auto _ : state) benchmark::DoNotOptimize(e.eval<V>(args.at(k++)));
  }
  qx::jit::setMode(qx::jit::Mode::Off);
  deletedll();
}

// Compilations of one formula of the set; items per second is rcom
// formulas per second.
void compilePeer(benchmark::State& state, size_t index) {
  const std::vector<Formula> all = formulas();
  const Formula& f = all[index];
  if (!freshLibrary(1)) return state.SkipWithError("setup failed");
  std::string buf;
  for (auto _ : state) {
    buf = f.text;
    int32_t last = 0;
    if (rcom(0, &buf[0], &last) != QX_OK) return state.SkipWithError("compile failed");
  }
  state.SetItemsProcessed(state.iterations());
  deletedll();
}

bool registerPeers() {
  const std::vector<Formula> all = formulas();
  for (size_t i = 0; i < all.size(); ++i) {
    const std::string rcomName = std::string("peer/") + all[i].key + "/rcom";
    benchmark::RegisterBenchmark(rcomName.c_str(), [i](benchmark::State& s) { compilePeer(s, i); });
    for (int v = 0; v < kVariants; ++v) {
      if (v == kMachine && !qx::jit::available()) continue;
      if (v == kMuparser && (!hasMuparser() || all[i].muparser.empty())) continue;
      if (v == kFastest && !all[i].fastest) continue;
      const std::string name = std::string("peer/") + all[i].key + "/" + kVariantNames[v];
      void (*fn)(benchmark::State&, size_t) = v == kNative        ? runPeer<kNative>
                                              : v == kInterpreter ? runPeer<kInterpreter>
                                              : v == kMachine     ? runPeer<kMachine>
                                              : v == kFastest     ? runPeer<kFastest>
                                              : v == kInlined     ? runPeer<kInlined>
                                                                  : runPeer<kMuparser>;
      benchmark::RegisterBenchmark(name.c_str(), [i, fn](benchmark::State& s) { fn(s, i); });
    }
  }
  return true;
}
const bool gRegistered = registerPeers();

}  // namespace

// ---------------------------------------------------------------------------
// The side-by-side table
// ---------------------------------------------------------------------------
int printTable() {
  const std::vector<Formula> all = formulas();
  if (!freshLibrary(static_cast<int32_t>(all.size()))) {
    std::fprintf(stderr, "peer table: the library could not be set up\n");
    return 1;
  }
  const int rounds = 11;
  const double batchNs = 3e6;  // about 3 ms per timed batch
  bool allGood = true;
  double logSum[kVariants] = {}, logMuRatio = 0.0;
  double logFastest = 0.0;  // machine code against the fastest C++ of each formula
  int meanCount[kVariants] = {}, muRatioCount = 0, muThirdCount = 0;
  double compileTotal = 0.0;
  int compileCount = 0;
  // exprtk's compile times, and rcom's over the same formulas
  double exprtkTotal = 0.0, rcomBesideExprtk = 0.0;
  int exprtkCount = 0;
  double loopMachineRatio = NAN;  // the loop formula's machine code against native
  // Against inlined native: [0] the interpreter, [1] machine code.
  double logInlined[2] = {}, loopInlined[2] = {NAN, NAN};
  int inlinedCount[2] = {};

  std::printf("Peer comparison, ns per evaluation (processor time, median of %d rounds, variants interleaved),\n"
              "ratio to native\n",
              rounds);
  std::printf("machine code: %s; muparser: %s\n", qx::jit::available() ? "yes" : "not in this build",
              hasMuparser() ? "yes" : "not in this build");
  std::printf("native: a C++ function called once per evaluation, like rcal; every column includes the same\n"
              "timing loop (argument load, call, sum), whose cost alone the entry line shows in its native cell;\n"
              "inlined: the same C++ compiled into that loop, no call (mc/inl, int/inl: machine code and\n"
              "interpreter against it); transl. us: wall clock of the first evaluation less the next;\n"
              "rcom us, exprtk us: processor time per compilation, median of batches of 32\n\n");
  std::printf("%-20s | %9s %9s | %9s %6s | %9s %6s | %9s %6s | %7s | %7s %7s | %10s | %8s %9s\n", "formula",
              "native", "inlined", "interp.", "", "machine", "", "muparser", "", "mc/mu", "mc/inl", "int/inl",
              "transl. us", "rcom us", "exprtk us");

  for (size_t i = 0; i < all.size(); ++i) {
    const Formula& f = all[i];
    const int32_t row = static_cast<int32_t>(i);
    qx::jit::setMode(qx::jit::Mode::Off);
    if (!compile(row, f.text)) {
      std::printf("%-20s | does not compile\n", f.name);
      allGood = false;
      continue;
    }
    Evaluator e(f, row);
    const ArgTable args(f);
    bool on[kVariants];
    std::string problems;
    for (int v = 0; v < kVariants; ++v) {
      on[v] = e.has(static_cast<Variant>(v));
      if (!on[v] || v == kNative) continue;
      const std::string p = check(e, args, static_cast<Variant>(v));
      if (!p.empty()) {
        problems += "  " + p + "\n";
        on[v] = false;
        allGood = false;
      }
    }
    // Batch sizes: about batchNs per batch for each variant.
    int64_t n[kVariants] = {};
    for (int v = 0; v < kVariants; ++v) {
      if (!on[v]) continue;
      e.prepare(static_cast<Variant>(v));
      int64_t k = 64;
      double ns = timeBatch(e, args, static_cast<Variant>(v), k);
      while (ns < batchNs / 8 && k < (int64_t{1} << 32)) {
        k *= 2;
        ns = timeBatch(e, args, static_cast<Variant>(v), k);
      }
      n[v] = std::max<int64_t>(1, static_cast<int64_t>(static_cast<double>(k) * batchNs / std::max(ns, 1.0)));
    }
    std::vector<double> samples[kVariants];
    for (int r = 0; r < rounds; ++r) {
      for (int v = 0; v < kVariants; ++v) {
        if (!on[v]) continue;
        e.prepare(static_cast<Variant>(v));
        const double ns = timeBatch(e, args, static_cast<Variant>(v), n[v]);
        samples[v].push_back(ns / static_cast<double>(n[v]));
      }
    }
    double med[kVariants];
    for (int v = 0; v < kVariants; ++v) med[v] = on[v] ? median(samples[v]) : NAN;
    const double transl = translationMicros(f, row);
    qx::jit::setMode(qx::jit::Mode::Tiered);
    const double comp = compileMicros(f, row);
    qx::jit::setMode(qx::jit::Mode::Off);
    std::string why;
    const double exprtk = f.inMean ? exprtkCompileMicros(f, &why) : NAN;
    if (f.inMean && std::isnan(exprtk) && exprtkBuilt() && !f.muparser.empty()) problems += "  " + why + "\n";

    std::printf("%-20s | %9.2f", f.name, med[kNative]);
    if (on[kInlined]) std::printf(" %9.2f |", med[kInlined]);
    else std::printf(" %9s |", "-");
    printCell(med[kInterpreter], med[kNative]);
    printCell(med[kMachine], med[kNative]);
    printCell(med[kMuparser], med[kNative]);
    if (on[kMachine] && on[kMuparser]) std::printf(" %7.2f |", med[kMachine] / med[kMuparser]);
    else std::printf(" %7s |", "-");
    for (Variant v : {kMachine, kInterpreter}) {
      if (on[v] && on[kInlined]) std::printf(" %6.2fx", med[v] / med[kInlined]);
      else std::printf(" %7s", "-");
    }
    std::printf(" |");
    if (std::isnan(transl)) std::printf(" %10s |", "-");
    else std::printf(" %10.2f |", std::max(transl, 0.0));
    std::printf(" %8.2f", comp);
    if (std::isnan(exprtk)) std::printf(" %9s\n", "-");
    else std::printf(" %9.2f\n", exprtk);
    if (on[kFastest] && on[kMachine])
      std::printf("%-20s | %9.2f        | the fastest C++ (%s); machine code %.2fx of it\n", "", med[kFastest],
                  f.fastestName, med[kMachine] / med[kFastest]);
    if (!problems.empty()) std::printf("%s", problems.c_str());

    // The loop is the one formula with fixed arguments.
    if (f.fixedArgs && on[kMachine]) loopMachineRatio = med[kMachine] / med[kNative];
    for (int k = 0; k < 2; ++k) {
      const Variant v = k == 0 ? kInterpreter : kMachine;
      if (!on[v] || !on[kInlined]) continue;
      if (f.fixedArgs) loopInlined[k] = med[v] / med[kInlined];
      if (f.inMean) {
        logInlined[k] += std::log(med[v] / med[kInlined]);
        ++inlinedCount[k];
      }
    }
    if (f.inMean) {
      for (int v = kInterpreter; v <= kMuparser; ++v) {
        if (!on[v]) continue;
        logSum[v] += std::log(med[v] / med[kNative]);
        ++meanCount[v];
      }
      if (on[kMachine]) logFastest += std::log(med[kMachine] / (on[kFastest] ? med[kFastest] : med[kNative]));
      if (on[kMachine] && on[kMuparser]) {
        logMuRatio += std::log(med[kMachine] / med[kMuparser]);
        ++muRatioCount;
        if (3 * med[kMachine] <= med[kMuparser]) ++muThirdCount;
      }
      if (!std::isnan(comp)) {
        compileTotal += comp;
        ++compileCount;
      }
      if (!std::isnan(comp) && !std::isnan(exprtk)) {
        exprtkTotal += exprtk;
        rcomBesideExprtk += comp;
        ++exprtkCount;
      }
    }
  }
  std::printf("\ngeometric mean of the ratios to native (formulas above the entry line):\n");
  for (int v = kInterpreter; v <= kMuparser; ++v) {
    if (meanCount[v]) std::printf("  %-12s %5.2fx over %d formulas\n", kVariantNames[v], std::exp(logSum[v] / meanCount[v]), meanCount[v]);
    else std::printf("  %-12s -\n", kVariantNames[v]);
  }
  if (muRatioCount)
    std::printf("  machine code / muparser %5.2f over %d formulas; at most a third of muparser's time on %d of them\n",
                std::exp(logMuRatio / muRatioCount), muRatioCount, muThirdCount);
  if (meanCount[kMachine]) {
    std::printf("  machine code against the fastest C++ of each formula %5.2fx\n",
                std::exp(logFastest / meanCount[kMachine]));
    std::printf("  machine code against native called per evaluation: %.2fx on the geometric mean, %.2fx on the loop\n",
                std::exp(logSum[kMachine] / meanCount[kMachine]), loopMachineRatio);
  }
  std::printf("geometric mean of the ratios to inlined native (formulas above the entry line), and the loop's:\n");
  for (int k = 0; k < 2; ++k) {
    const char* name = k == 0 ? "interpreter" : "machine";
    if (inlinedCount[k])
      std::printf("  %-12s %5.2fx over %d formulas; loop %5.2fx\n", name, std::exp(logInlined[k] / inlinedCount[k]),
                  inlinedCount[k], loopInlined[k]);
    else std::printf("  %-12s -\n", name);
  }
  if (inlinedCount[1]) {
    const double mean = std::exp(logInlined[1] / inlinedCount[1]);
    std::printf("targets: machine code %.2fx inlined native on the geometric mean (at most 2.0: %s)", mean,
                mean <= 2.0 ? "met" : "missed");
    if (!std::isnan(loopInlined[1]))
      std::printf(", %.2fx on the loop (at most 3: %s)", loopInlined[1], loopInlined[1] <= 3.0 ? "met" : "missed");
    if (muRatioCount)
      std::printf(", a third of muparser's time on %d of %d formulas", muThirdCount, muRatioCount);
    std::printf("\n");
  }
  if (compileCount)
    std::printf("rcom: %.0f formulas per second over the set (mean %.2f us per formula)\n",
                1e6 * compileCount / compileTotal, compileTotal / compileCount);
  if (exprtkCount)
    std::printf("exprtk: %.0f formulas per second over the %d formulas it takes; rcom over the same %.0f\n",
                1e6 * exprtkCount / exprtkTotal, exprtkCount, 1e6 * exprtkCount / rcomBesideExprtk);
  else
    std::printf("exprtk: %s\n", exprtkBuilt() ? "took none of the formulas"
                                                : "not in this build (make bench-table builds it in)");
  deletedll();
  if (!allGood) std::printf("\nSOME RESULTS DID NOT MATCH NATIVE C++ (see above); those cells are not timed\n");
  return allGood ? 0 : 1;
}

}  // namespace peer

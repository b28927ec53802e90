// The peer comparison set: formulas of common kinds, each with the same
// computation written in C++, and (where it can be written there) in the
// syntax of muparser, the open-source tree-walking parser used as a peer.
// Both the Google Benchmark entries (bench_peer.cpp) and the side-by-side
// table (quibex_bench --table) time exactly these.
#pragma once
#include <cmath>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "clock.h"
#include "quibex.h"

#include "jit/jit.h"

#ifdef QX_HAVE_MUPARSER
#include <muParser.h>
#endif

namespace peer {

constexpr int kMaxArgs = 4;

struct Sweep {
  double t = 0.25;
  double next() {
    t += 0.001;
    if (t >= 1.0) t = 0.25;
    return t;
  }
};

using NativeFn = double (*)(const double*);

// Argument tuples of a timed loop: a table of kPoints tuples of kMaxArgs,
// read in turn, so that every evaluation gets new arguments at the cost of
// a load.
constexpr size_t kPoints = 1024;
inline const double* tupleAt(const double* table, int64_t k) {
  return table + (static_cast<size_t>(k) & (kPoints - 1)) * kMaxArgs;
}

// Inlined native C++: the timed loop with the formula F compiled into its
// body. Per iteration it loads tuple k mod kPoints, evaluates F on it and
// adds the value to a running sum, exactly the work the other variants'
// loops do around their call. The sum is the only dependency from one
// iteration to the next and floating-point addition is not reassociated,
// so the compiler can neither vectorise the evaluations nor hoist them out
// of the loop; independent evaluations still overlap in the processor, as
// in any host's own loop. Returns the sum.
using InlinedFn = double (*)(const double* table, int64_t n);
template <double (*F)(const double*)>
double inlinedSum(const double* table, int64_t n) {
  double s = 0.0;
  for (int64_t k = 0; k < n; ++k) s += F(tupleAt(table, k));
  return s;
}

struct Formula {
  const char* key;       // benchmark name
  const char* name;      // table label
  std::string text;      // formula for rcom
  std::string muparser;  // the same for muparser, empty when it cannot express it
  int args;              // arguments the formula takes
  NativeFn native;        // called, never inlined, once per evaluation
  InlinedFn inlined;      // the same computation inlined into the timed loop
  bool fixedArgs;        // the arguments stay at `fixed` (the loop's pass count)
  double fixed;
  bool inMean;           // counts in the geometric means
  double shift[kMaxArgs];  // added to the swept arguments (see fillArgs)
  // Where the fastest C++ computes the value another way than the formula
  // reads (x*x for a power): that function and what it does differently.
  NativeFn fastest = nullptr;
  const char* fastestName = nullptr;
};

// Argument values for step t of a sweep, t in [0.25, 1): argument i is
// t + 0.25 * i + shift[i], so every argument changes at every evaluation
// and nothing can be folded, and every formula stays inside its domain.
inline void fillArgs(const Formula& f, double t, double* a) {
  if (f.fixedArgs) {
    a[0] = f.fixed;
    return;
  }
  for (int i = 0; i < f.args; ++i) a[i] = t + 0.25 * i + f.shift[i];
}

// ---- the native computations: each formula as it reads, written in C++ ---
// iX is the computation, inlined wherever it is used; nX is the same as a
// function of its own, called once per evaluation as a host calls rcal.
#define PEER_INLINE __attribute__((always_inline)) inline
#define PEER_NATIVE __attribute__((noinline)) inline

PEER_INLINE double iIdentity(const double* a) { return a[0]; }
PEER_INLINE double iSimple(const double* a) { return a[0] * 2 + std::sin(a[1]); }
PEER_INLINE double iHorner(const double* a) {
  const double x = a[0];
  return ((((((((2 * x + 3) * x - 1) * x + 4) * x - 2) * x + 5) * x - 7) * x + 1) * x + 9);
}
// "^" is the runtime's pow, so the power form's native partner calls it,
// as the demonstration's own speed comparison does; Horner's form is the
// fastest C++ for the same polynomial.
PEER_INLINE double iPowers(const double* a) {
  const double x = a[0];
  return 2 * std::pow(x, 8) + 3 * std::pow(x, 7) - std::pow(x, 6) + 4 * std::pow(x, 5) - 2 * std::pow(x, 4) +
         5 * std::pow(x, 3) - 7 * std::pow(x, 2) + x + 9;
}
PEER_INLINE double iNorm3(const double* a) { return std::sqrt(a[0] * a[0] + a[1] * a[1] + a[2] * a[2]); }
PEER_INLINE double iExpLnCos(const double* a) {
  return std::exp(a[0] * a[1] - a[2]) + std::log(a[3] + 1) * std::cos(a[0] - a[3]) - std::exp(-a[3]) * std::log(a[1]);
}

// 60 products: term k is (0.5 + k/4) * v[k % 4] * v[(k + 1) % 4].
constexpr int kProductTerms = 60;
template <size_t... K>
PEER_INLINE double productSum(const double* a, std::index_sequence<K...>) {
  double s = 0.0;
  ((s = (K == 0 ? (0.5 + K * 0.25) * a[K % 4] * a[(K + 1) % 4]
                : s + (0.5 + K * 0.25) * a[K % 4] * a[(K + 1) % 4])),
   ...);
  return s;
}
PEER_INLINE double iProducts(const double* a) {
  return productSum(a, std::make_index_sequence<kProductTerms>());
}
inline std::string productText(bool withParams) {
  static const char* const v[] = {"x", "y", "z", "w"};
  std::string s = withParams ? "(x,y,z,w)=" : "";
  for (int k = 0; k < kProductTerms; ++k) {
    if (k) s += "+";
    char c[32];
    std::snprintf(c, sizeof c, "%g", 0.5 + k * 0.25);
    s += c;
    s += "*";
    s += v[k % 4];
    s += "*";
    s += v[(k + 1) % 4];
  }
  return s;
}

PEER_INLINE double iBrackets(const double* a) {
  const double x = a[0], y = a[1];
  return ((((((x + 1) * y - 2) * x + 3) * y - 4) * x + 5) * y - 6) * x + 7;
}
PEER_INLINE double iFolded(const double* a) {
  static const double k1 = 2.0 * 3 + 4.0 / 5 - std::sqrt(16.0);
  static const double k2 = std::sin(0.5) * (std::cos(0.25) * std::cos(0.25)) - std::exp(1.0) / 3;
  return a[0] * k1 + k2;
}
PEER_INLINE double iDensity(const double* a) {
  const double z = (a[0] - a[1]) / a[2];
  return std::exp(-std::pow(z, 2) / 2) / (a[2] * std::sqrt(2 * 3.141592653589793));
}
PEER_INLINE double iDensitySquare(const double* a) {
  const double z = (a[0] - a[1]) / a[2];
  return std::exp(-(z * z) / 2) / (a[2] * std::sqrt(2 * 3.141592653589793));
}
PEER_INLINE double iSpeed(const double* a) {
  const double x = a[0], y = a[1];
  auto s = [](double v) { return std::sin(v); };
  auto c = [](double v) { return std::cos(v); };
  auto p = [](double b, double e) { return std::pow(b, e); };
  return c(1 - s(1.2 * p(x + 0.1, y * 0.5 - x) + c(1 - s(1.2 * p(x + 0.2, y * 0.3333333333333333 - x)))) -
           c(1 - s(1.2 * p(x + 0.3, y * 0.25 - x))) -
           c(1 - s(1.2 * p(x + 0.4, y * 0.2 - x) + c(1 - s(1.2 * p(x + 0.5, y * 0.16666666666666666 - x)))) -
             c(1 - s(1.2 * p(x + 0.6, y * 0.14285714285714285 - x)))));
}
PEER_INLINE double iLoop(const double* a) {
  const int64_t n = static_cast<int64_t>(a[0]);
  double s = 0.0;
  for (int64_t i = 0; i < n; ++i) {
    const double di = static_cast<double>(i);
    s = s + 1 / (di * di + 1);
  }
  return s;
}

PEER_NATIVE double nIdentity(const double* a) { return iIdentity(a); }
PEER_NATIVE double nSimple(const double* a) { return iSimple(a); }
PEER_NATIVE double nHorner(const double* a) { return iHorner(a); }
PEER_NATIVE double nPowers(const double* a) { return iPowers(a); }
PEER_NATIVE double nNorm3(const double* a) { return iNorm3(a); }
PEER_NATIVE double nExpLnCos(const double* a) { return iExpLnCos(a); }
PEER_NATIVE double nProducts(const double* a) { return iProducts(a); }
PEER_NATIVE double nBrackets(const double* a) { return iBrackets(a); }
PEER_NATIVE double nFolded(const double* a) { return iFolded(a); }
PEER_NATIVE double nDensity(const double* a) { return iDensity(a); }
PEER_NATIVE double nDensitySquare(const double* a) { return iDensitySquare(a); }
PEER_NATIVE double nSpeed(const double* a) { return iSpeed(a); }
PEER_NATIVE double nLoop(const double* a) { return iLoop(a); }

// The speed formula of the demonstration; its arguments are shifted into
// the demonstration's grid, x in [0, 0.75) and y in [1, 1.75).
inline std::string speedText(bool withParams) {
  std::string body =
      "cos{1-sin[1.2*[x+0.1]^(y/2-x)+cos{1-sin[1.2*[x+0.2]^(y/3-x)]}]-cos{1-sin[1.2*[x+0.3]^(y/4-x)]}"
      "-cos{1-sin[1.2*[x+0.4]^(y/5-x)+cos{1-sin[1.2*[x+0.5]^(y/6-x)]}]-cos{1-sin[1.2*[x+0.6]^(y/7-x)]}}}";
  if (withParams) return "(x,y)=" + body;
  for (char& ch : body) {  // muparser knows round brackets only
    if (ch == '[' || ch == '{') ch = '(';
    if (ch == ']' || ch == '}') ch = ')';
  }
  return body;
}

inline std::vector<Formula> formulas() {
  return {
      {"simple", "x*2+sin(y)", "(x,y)=x*2+sin(y)", "x*2+sin(y)", 2, nSimple, inlinedSum<iSimple>, false, 0, true, {}},
      {"horner", "Horner degree 8", "(x)=((((((((2*x+3)*x-1)*x+4)*x-2)*x+5)*x-7)*x+1)*x+9)",
       "((((((((2*x+3)*x-1)*x+4)*x-2)*x+5)*x-7)*x+1)*x+9)", 1, nHorner, inlinedSum<iHorner>, false, 0, true, {}},
      {"powers", "powers degree 8", "(x)=2*x^8+3*x^7-x^6+4*x^5-2*x^4+5*x^3-7*x^2+x+9",
       "2*x^8+3*x^7-x^6+4*x^5-2*x^4+5*x^3-7*x^2+x+9", 1, nPowers, inlinedSum<iPowers>, false, 0, true, {}, nHorner, "Horner's form"},
      {"norm3", "sqrt(x*x+y*y+z*z)", "(x,y,z)=sqrt(x*x+y*y+z*z)", "sqrt(x*x+y*y+z*z)", 3, nNorm3, inlinedSum<iNorm3>, false, 0, true, {}},
      {"explncos", "exp ln cos, 4 args", "(x,y,z,w)=exp(x*y-z)+ln(w+1)*cos(x-w)-exp(-w)*ln(y)",
       "exp(x*y-z)+ln(w+1)*cos(x-w)-exp(-w)*ln(y)", 4, nExpLnCos, inlinedSum<iExpLnCos>, false, 0, true, {}},
      {"products60", "60 products", productText(true), productText(false), 4, nProducts, inlinedSum<iProducts>, false, 0, true, {}},
      {"brackets6", "brackets 6 deep", "(x,y)={[({[(x+1)*y-2]*x+3}*y-4)*x+5]*y-6}*x+7",
       "((((((x+1)*y-2)*x+3)*y-4)*x+5)*y-6)*x+7", 2, nBrackets, inlinedSum<iBrackets>, false, 0, true, {}},
      {"folded", "constants fold", "(x)=x*(2*3+4/5-sqrt(16))+sin(0.5)*cos(0.25)^2-exp(1)/3",
       "x*(2*3+4/5-sqrt(16))+sin(0.5)*cos(0.25)^2-exp(1)/3", 1, nFolded, inlinedSum<iFolded>, false, 0, true, {}},
      {"density", "normal density", "(x,m,s)=exp(-((x-m)/s)^2/2)/(s*sqrt(2*3.141592653589793))",
       "exp(-((x-m)/s)^2/2)/(s*sqrt(2*3.141592653589793))", 3, nDensity, inlinedSum<iDensity>, false, 0, true, {}, nDensitySquare, "z*z"},
      {"speed", "demo speed formula", speedText(true), speedText(false), 2, nSpeed, inlinedSum<iSpeed>, false, 0, true, {-0.25, 0.5}},
      {"loop1000", "for loop 1000", "(n:i,s)=(i=0)+(s=0)+for(lt(i,n),(s=s+1/(i*i+1)),(i=i+1))+s", "", 1, nLoop, inlinedSum<iLoop>, true, 1000.0,
       true, {}},
      // The entry path alone: call, row checks, argument copy.
      {"entry", "entry (x)=x", "(x)=x", "x", 1, nIdentity, inlinedSum<iIdentity>, false, 0, false, {}},
  };
}

// Names of the muparser variables, in argument order.
inline const char* argName(const Formula& f, int i) {
  static const char* const xyzw[] = {"x", "y", "z", "w"};
  static const char* const xms[] = {"x", "m", "s"};
  if (f.native == nDensity) return xms[i];
  return xyzw[i];
}

// Values agree when they differ by at most a few units in the last place
// of the larger (the engines may round a power or a folded constant
// differently from the C++ runtime).
inline bool close(double a, double b) {
  if (a == b) return true;
  if (std::isnan(a) || std::isnan(b)) return false;
  return std::fabs(a - b) <= 1e-12 * std::fmax(1.0, std::fmax(std::fabs(a), std::fabs(b)));
}

inline bool compile(int32_t row, const std::string& text) {
  std::string buf = text;
  int32_t last = 0;
  return rcom(row, &buf[0], &last) == QX_OK;
}

#ifdef QX_HAVE_MUPARSER
// A muparser evaluator for one formula, with its variables bound to args.
struct MuFormula {
  mu::Parser parser;
  double args[kMaxArgs] = {};
  bool ok = false;
  std::string error;
  explicit MuFormula(const Formula& f) {
    if (f.muparser.empty()) return;
    try {
      for (int i = 0; i < f.args; ++i) parser.DefineVar(argName(f, i), &args[i]);
      parser.SetExpr(f.muparser);
      parser.Eval();
      ok = true;
    } catch (mu::Parser::exception_type& e) {
      error = e.GetMsg();
    }
  }
  double eval() { return parser.Eval(); }
};
#endif

// Microseconds per call of compileOnce: the median over 31 batches of 32
// calls, timed with the thread's processor time (reading that clock costs a
// fraction of a microsecond, too much beside a single compilation). NaN when
// a call fails.
template <typename Compile>
double compileBatches(Compile compileOnce) {
  constexpr int kBatches = 31, kBatch = 32;
  std::vector<double> d;
  for (int b = 0; b < kBatches; ++b) {
    bool ok = true;
    const double t0 = benchclock::cpuNs();
    for (int k = 0; k < kBatch; ++k) ok = compileOnce() && ok;
    const double t1 = benchclock::cpuNs();
    if (!ok) return NAN;
    d.push_back((t1 - t0) * 1e-3 / kBatch);
  }
  return benchclock::median(d);
}

// exprtk's compile time for formula f in microseconds (compileBatches,
// compile_exprtk.cpp); NaN with the reason in *why when exprtk is not in the
// build or cannot take the formula.
bool exprtkBuilt();
double exprtkCompileMicros(const Formula& f, std::string* why);

}  // namespace peer

// The real host functions that expression files can call: add, pi,
// sintegrate, average, speed, print, printstr, end, fcstr and clock.
#include <cmath>
#include <cstdint>

#include "demo.h"
#include "platform.h"

namespace demo {

int32_t toIndex(double value) {
  if (!(std::fabs(value) < 9223372036854775808.0)) return 0;  // NaN, inf, >= 2^63
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<int64_t>(value)));
}

namespace {

// Records an error in the real engine unless one is already pending, so the
// record keeps the first error of an evaluation.
void recordError(int32_t number, const char* name) {
  if (api.fcerrnum() == 0) api.setfcerr(number, name);
}

double add(int32_t, double* args) { return args[1] + args[0]; }

double pi(int32_t, double*) { return 3.14159265358979; }

double average(int32_t last, double* args) {
  if (last < 0) {
    recordError(-1, "average");
    return 0.0;
  }
  double sum = 0.0;
  for (int32_t i = 0; i <= last; ++i) sum += args[i];
  return sum / (last + 1);
}

double print(int32_t, double* args) {
  putNumber(args[0]);
  put("  ");
  return args[0];
}

// Prints the text of a string-table slot. A slot outside the table or one
// without text prints nothing and records error 1 rather than reading
// memory that is not there.
double printstr(int32_t, double* args) {
  const int32_t slot = toIndex(args[0]);
  if (!stringTexts || slot < 0 || slot >= kStringLimit || !stringTexts[slot]) {
    recordError(1, "printstr");
    return 0.0;
  }
  put(stringTexts[slot]);
  return 0.0;
}

double end(int32_t, double*) {
  endl();
  return 0.0;
}

// Lists every slot of the string table that holds a text, slot 0 (the
// compiler's work copy of the last formula with literals) included.
double fcstr(int32_t, double*) {
  if (!stringTexts) return 0.0;
  for (int32_t k = 0; k < kStringLimit; ++k) {
    if (!stringTexts[k]) continue;
    putInteger(k);
    put(": ");
    put(stringTexts[k]);
    say("  长度：");
    putInteger(stringLengths[k]);
    endl();
  }
  return 0.0;
}

double clock(int32_t, double*) { return static_cast<double>(processorClock()); }

// ---- sintegrate -------------------------------------------------------------

// Nesting depth of sintegrate calls; reset to 0 whenever a call fails.
int32_t gDepth = 0;

// Refinement passes before giving up: the point count doubles each pass, so
// the last pass evaluates the formula about 2^24 times.
constexpr int32_t kMaxHalvings = 25;

double sintegrateFails(int32_t number) {
  recordError(number, "sintegrate");
  gDepth = 0;
  return 0.0;
}

// sintegrate(a, b, eps, k, p1, ..., pm): the integral of real formula k over
// its first argument from a to b, its further arguments held at p1 ... pm,
// by Simpson's rule with the step halved until two estimates differ by less
// than eps.
//   errors: -2 nested deeper than 10; 1 formula number outside 0..49;
//           2 formula not compiled; 3 too few arguments or m not matching
//           the formula; 4 no convergence within 25 halvings (also the end
//           of every call with eps <= 0).
// A NaN eps gives the trapezoid value over the whole interval. An estimate
// that is NaN ends the refinement, and the NaN is the result.
double sintegrate(int32_t last, double* args) {
  if (api.fcerrnum() != 0) {
    gDepth = 0;
    return 0.0;
  }
  if (++gDepth > kNestingLimit) return sintegrateFails(-2);
  if (last < 3) return sintegrateFails(3);
  const int32_t k = toIndex(args[3]);
  if (k < 0 || k >= kFormulaLimit) return sintegrateFails(1);
  if (!realCompiled[k]) return sintegrateFails(2);
  if (last != realLastArg[k] + 3) return sintegrateFails(3);

  // Everything is taken from args before formula k runs: when k is the
  // formula that called sintegrate, its evaluation reuses the stack that
  // args lies on.
  double* slots = api.getin(k);
  for (int32_t i = 4; i <= last; ++i) slots[i - 3] = args[i];
  const double a = args[0], b = args[1], eps = args[2];

  double h = b - a;
  slots[0] = a;
  const double fa = api.rcals(k);
  slots[0] = b;
  const double fb = api.rcals(k);
  double T = (fa + fb) * h * 0.5;
  double S = T;

  if (!std::isnan(eps)) {
    double previous = T;
    int64_t n = 1;
    for (int32_t pass = 0;; ++pass) {
      if (pass >= kMaxHalvings) return sintegrateFails(4);
      double sum = 0.0;
      for (int64_t i = 0; i < n; ++i) {
        slots[0] = a + (static_cast<double>(i) + 0.5) * h;
        sum += api.rcals(k);
      }
      const double Tnew = (T + h * sum) * 0.5;
      S = (4.0 * Tnew - T) * 0.3333333333333333;
      const double d = std::fabs(S - previous);
      previous = S;
      n *= 2;
      T = Tnew;
      h *= 0.5;
      // A pending error makes the result 0 anyway: no need to refine further.
      if (d < eps || std::isnan(d) || api.fcerrnum() != 0) break;
    }
  }

  if (api.fcerrnum() != 0) {
    gDepth = 0;
    return 0.0;
  }
  --gDepth;
  return S;
}

// ---- speed ------------------------------------------------------------------

char kSpeedFormula[] =
    "(x,y)=cos{1-sin[1.2*[x+0.1]^(y/2-x)+cos{1-sin[1.2*[x+0.2]^(y/3-x)]}]"
    "-cos{1-sin[1.2*[x+0.3]^(y/4-x)]}-cos{1-sin[1.2*[x+0.4]^(y/5-x)"
    "+cos{1-sin[1.2*[x+0.5]^(y/6-x)]}]-cos{1-sin[1.2*[x+0.6]^(y/7-x)]}}}";

// The speed formula in native code. With Checked, each math call is followed
// by a test for a math error and the first failing function is remembered;
// without it the calls are bare, as timed.
template <bool Checked>
struct NativeFormula {
  const char* failed = nullptr;

  double check(double r, const char* name) {
    if constexpr (Checked) {
      if (!failed && mathErrorRaised()) failed = name;
    }
    return r;
  }
  double s(double v) { return check(std::sin(v), "sin"); }
  double c(double v) { return check(std::cos(v), "cos"); }
  double p(double b, double e) { return check(std::pow(b, e), "pow"); }

  double operator()(double x, double y) {
    return c(1 - s(1.2 * p(x + 0.1, y * 0.5 - x) + c(1 - s(1.2 * p(x + 0.2, y * 0.3333333333333333 - x)))) -
             c(1 - s(1.2 * p(x + 0.3, y * 0.25 - x))) -
             c(1 - s(1.2 * p(x + 0.4, y * 0.2 - x) + c(1 - s(1.2 * p(x + 0.5, y * 0.16666666666666666 - x)))) -
               c(1 - s(1.2 * p(x + 0.6, y * 0.14285714285714285 - x)))));
  }

  // Sums the formula over the same grid as the engine's half.
  double sumOverGrid() {
    double sum = 0.0;
    double x = 0.0;
    do {
      double y = 1.0;
      do {
        sum += (*this)(x, y);
        y += 0.0011;
      } while (y <= 2.0);
      x += 0.0011;
    } while (x <= 1.0);
    return sum;
  }
};

void reportMathError(const char* function) {
  endl();
  say("标准数学错误! 出错函数名：");
  put(function);
  endl();
  endl();
}

void printTiming(long t0, long t1) {
  say("  运行时间：");
  putInteger(t1 - t0);
  say(" 即： ");
  putNumber(static_cast<double>(t1 - t0) * 0.001);
  say("秒");
  endl();
  endl();
}

double speed(int32_t, double*) {
  int32_t lastArg = 0;
  const int32_t code = api.rcom(kSpeedRow, kSpeedFormula, &lastArg);
  endl();
  say("QUIBEX与VC的速度比较:");
  endl();
  endl();
  say("表达式：");
  put(kSpeedFormula);
  endl();
  endl();
  // The row is compiled from a fixed text, so this fails only when the
  // library runs out of memory; nothing is then evaluated.
  double* slots = code == 0 ? api.getin(kSpeedRow) : nullptr;
  if (!slots) {
    recordError(code != 0 ? code : 1, "speed");
    return 0.0;
  }

  say("QUIBEXDLL正对表达式进行循环求和计算，请等待... ...");
  endl();
  double s = 0.0;
  long t0 = processorClock();
  slots[0] = 0.0;
  do {
    slots[1] = 1.0;
    do {
      s += api.rcals(kSpeedRow);
      slots[1] += 0.0011;
    } while (slots[1] <= 2.0);
    slots[0] += 0.0011;
  } while (slots[0] <= 1.0);
  long t1 = processorClock();
  say("quibex计算结果：");
  putNumber(s);
  printTiming(t0, t1);

  say("VC++     正对表达式进行循环求和计算，请等待... ...");
  endl();
  clearMathErrors();
  t0 = processorClock();
  s = NativeFormula<false>().sumOverGrid();
  t1 = processorClock();
  if (mathErrorRaised()) {
    // Find which function failed by running the sum again with checks.
    NativeFormula<true> probe;
    clearMathErrors();
    probe.sumOverGrid();
    reportMathError(probe.failed ? probe.failed : "?");
  }
  say("VC++     计算结果：");
  putNumber(s);
  put(" ");
  printTiming(t0, t1);
  return 0.0;
}

// ---- Registration -----------------------------------------------------------

// The library keeps references to these arrays: they live as long as the
// program.
const char* const kConstantNames[] = {"pi", "ee", "_999_", ""};
const double kConstantValues[] = {3.14, 2.718, 999.0};

const char* const kHostNames[] = {"add",   "pi",       "sintegrate", "average", "speed", "print",
                                  "printstr", "end", "fcstr",      "clock",   ""};
const int32_t kHostRules[] = {1, QX_ARGS_NONE, QX_ARGS_ANY, QX_ARGS_ANY, QX_ARGS_NONE,
                              0, 0,            QX_ARGS_ANY, QX_ARGS_ANY, QX_ARGS_NONE};
const QxRealFn kHostHandlers[] = {add, pi, sintegrate, average, speed, print, printstr, end, fcstr, clock};

}  // namespace

void registerConstants() { api.setdoubleconst(kConstantNames, kConstantValues); }

void registerHostFunctions() { api.setfcfun(kHostNames, kHostRules, kHostHandlers); }

}  // namespace demo

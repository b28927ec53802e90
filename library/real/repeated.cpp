// Functions of the real engine that evaluate another real formula many
// times: sums and products over grids, over data tuples and over data
// arrays, and Simpson integration.
//
// The target row may be the very row whose evaluation called the function
// (or a row that calls back into it). Every activation of a row shares that
// row's value array and stack, so a nested evaluation can overwrite the
// argument slots `a` this handler was given.
//
// Every step polls the interrupt request; an interrupted walk ends at once
// and yields 0 (the error is then pending). Everything still needed after
// the first nested evaluation (bounds, steps, tuples, array indices, the
// function's own name) is therefore copied out of `a` before it starts.
#include <cmath>
#include <cstdint>

#include "evaluator/calls.h"
#include "real/numeric.h"

namespace qx::numeric {

namespace {

using R = RealTraits;

// Simpson integration doubles its point count each pass; 25 passes end
// after about 2^25 evaluations, so even a tolerance of 0 finishes within
// seconds instead of running until the iteration limit.
constexpr int32_t kMaxSimpsonPasses = 25;

// Raises one nesting count for the lifetime of the object.
class NestGuard {
 public:
  explicit NestGuard(int32_t& count) noexcept : count_(count) { ++count_; }
  ~NestGuard() { --count_; }
  NestGuard(const NestGuard&) = delete;
  NestGuard& operator=(const NestGuard&) = delete;

 private:
  int32_t& count_;
};

// Working copy of arguments: small ones live in the object, larger ones on
// the heap (released with the object).
template <class V>
class Scratch {
 public:
  Scratch() noexcept = default;
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;
  ~Scratch() {
    if (data_ != local_) freeArray(data_);
  }
  // False when the heap allocation fails.
  bool reserve(int64_t n) noexcept {
    data_ = n <= kLocal ? local_ : allocArray<V>(n);
    return data_ != nullptr;
  }
  V& operator[](int64_t i) noexcept { return data_[i]; }

 private:
  static constexpr int64_t kLocal = 32;
  V local_[kLocal];
  V* data_ = local_;
};

// The call as it stands after the common checks.
struct Call {
  int32_t row = 0;
  int32_t P = 0;  // parameters of the target formula
  const char* name = nullptr;
};

// Names the call for its error record, then the common checks, in order:
// level, native depth and native stack (-2), empty table (-1), fewer than minArgs
// arguments (3), the row at a[rowArg] outside the table (1) or not compiled
// (2). Returns 0 or the error number.
int32_t checkRepeated(int nest, int32_t last, const double* a, int32_t minArgs, int32_t rowArg,
                      Call& call) noexcept {
  call.name = selfName<R>(last, a);
  if (int32_t e = checkCall<R, R>(nest, last, a, call.row, minArgs, rowArg)) return e;
  const TableView<double>& t = engine<R>().table;
  call.P = t.header[call.row][H_LAST_ARG] + 1;
  return 0;
}

// The count of fixed values c: no free parameter left is 4; a negative
// count or one beyond the parameters is 3 (rejected before anything is
// written).
int32_t checkFixedCount(int32_t c, int32_t P) noexcept {
  if (c == P) return 4;
  if (c < 0 || c > P) return 3;
  return 0;
}

// The common checks, then the count c of fixed values (a[1]); on success
// F is the number of free parameters.
int32_t checkWithFixed(int nest, int32_t last, const double* a, int32_t minArgs, Call& call, int32_t& c,
                       int32_t& F) noexcept {
  if (int32_t e = checkRepeated(nest, last, a, minArgs, 0, call)) return e;
  c = R::toInt(a[1]);
  if (int32_t e = checkFixedCount(c, call.P)) return e;
  F = call.P - c;
  return 0;
}

// Writes the c fixed values a[2] .. a[c + 1] into the last c parameters.
void writeFixed(double* params, int32_t F, int32_t c, const double* a) noexcept {
  for (int32_t k = 0; k < c; ++k) params[F + k] = a[2 + k];
}

double record(int32_t e, const char* name) noexcept {
  engine<R>().err.record(e, name);
  return 0.0;
}

// The result of a function whose nested evaluations may have failed.
double result(double v) noexcept { return engine<R>().err.number ? 0.0 : v; }

// One free parameter of a grid walk.
struct Axis {
  double start;
  double step;
  int64_t k;      // index of the current value
  int64_t count;  // number of values
};

// sum and pro: row, c, the c fixed values, then (start, end, step) for
// each free parameter; parameter 0 changes fastest.
double gridWalk(int nest, bool product, int32_t last, double* a) noexcept {
  Engine<R>& E = engine<R>();
  if (callsStopped<R>()) return 0.0;
  Call call;
  int32_t c = 0, F = 0;
  if (int32_t e = checkWithFixed(nest, last, a, 2, call, c, F)) return record(e, call.name);
  if (last + 1 != 2 + c + 3 * F) return record(3, call.name);

  double* params = E.table.vals[call.row];
  writeFixed(params, F, c, a);

  Axis* axes = allocArray<Axis>(F);
  if (!axes) return record(5, call.name);
  const double* triples = a + 2 + c;
  for (int32_t j = 0; j < F; ++j) {
    const double s = triples[3 * j], e = triples[3 * j + 1], d = triples[3 * j + 2];
    const double span = (e - s) / d;
    // The point count is kept in 64 bits: a 32-bit count would wrap for
    // huge ranges and walk a nonsense grid. A range whose point count is
    // not finite (an infinite end) cannot be walked and is refused too.
    if (!(s <= e) || !(d > 0.0) || !(span < 9.2e18)) {
      freeArray(axes);
      return record(6, call.name);
    }
    axes[j] = {s, d, 0, static_cast<int64_t>(span) + 1};
    params[j] = s;
  }

  NestGuard guard(E.nest[nest]);
  double acc = product ? 1.0 : 0.0;
  for (;;) {
    if (interruptRequested<R>()) break;
    const double v = runRow<R>(E.table, call.row);
    acc = product ? acc * v : acc + v;
    int32_t j = 0;
    for (; j < F; ++j) {
      Axis& x = axes[j];
      if (++x.k < x.count) {
        // Each value afresh from its index, never by repeated addition.
        params[j] = static_cast<double>(x.k) * x.step + x.start;
        break;
      }
      x.k = 0;
      params[j] = x.start;
    }
    if (j == F) break;
  }
  freeArray(axes);
  return result(acc);
}

// datasum and datapro: row, c, the c fixed values, then tuples of F values.
double tupleWalk(int nest, bool product, int32_t last, double* a) noexcept {
  Engine<R>& E = engine<R>();
  if (callsStopped<R>()) return 0.0;
  Call call;
  int32_t c = 0, F = 0;
  if (int32_t e = checkWithFixed(nest, last, a, 2, call, c, F)) return record(e, call.name);
  const int32_t values = last + 1 - 2 - c;  // after the fixed values
  if (values < 0 || values % F != 0) return record(3, call.name);

  // The tuples are read after nested evaluations have run on this stack.
  // Working storage for them is the only allocation; its failure is 5.
  Scratch<double> tuples;
  if (!tuples.reserve(values)) return record(5, call.name);
  for (int32_t i = 0; i < values; ++i) tuples[i] = a[2 + c + i];

  double* params = E.table.vals[call.row];
  writeFixed(params, F, c, a);

  NestGuard guard(E.nest[nest]);
  double acc = product ? 1.0 : 0.0;
  for (int32_t t = 0; t < values; t += F) {
    if (interruptRequested<R>()) break;
    for (int32_t j = 0; j < F; ++j) params[j] = tuples[t + j];
    const double v = runRow<R>(E.table, call.row);
    acc = product ? acc * v : acc + v;
  }
  return result(acc);
}

}  // namespace

double sum(int32_t last, double* a) noexcept { return gridWalk(NEST_SUM, false, last, a); }
double pro(int32_t last, double* a) noexcept { return gridWalk(NEST_PRO, true, last, a); }
double dataSum(int32_t last, double* a) noexcept { return tupleWalk(NEST_DATASUM, false, last, a); }
double dataPro(int32_t last, double* a) noexcept { return tupleWalk(NEST_DATAPRO, true, last, a); }

// dataarraysum(row, c, fixed values..., N, array index for each free
// parameter): the sum over i < N of the formula with parameter j set to
// element i of its array.
double dataArraySum(int32_t last, double* a) noexcept {
  Engine<R>& E = engine<R>();
  if (callsStopped<R>()) return 0.0;
  Call call;
  int32_t c = 0, F = 0;
  if (int32_t e = checkWithFixed(NEST_DATAARRAYSUM, last, a, 4, call, c, F)) return record(e, call.name);
  if (last + 1 != c + F + 3) return record(3, call.name);

  const int32_t N = R::toInt(a[2 + c]);
  const double* indexArgs = a + 3 + c;
  Scratch<int32_t> index;
  if (!index.reserve(F)) return record(5, call.name);
  for (int32_t j = 0; j < F; ++j) index[j] = R::toInt(indexArgs[j]);

  const Stores<double>& S = E.stores;
  // An array index outside the array store (or no store at all) is refused
  // before any parameter is written. With N < 1 the call fails with 5
  // below, as it would with valid indices.
  if (N >= 1)
    for (int32_t j = 0; j < F; ++j)
      if (!S.arrays || index[j] < 0 || index[j] >= S.arrCount) return record(6, call.name);

  double* params = E.table.vals[call.row];
  writeFixed(params, F, c, a);
  if (N < 1) return record(5, call.name);
  for (int32_t j = 0; j < F; ++j)
    if (S.lens[index[j]] < N) return record(6, call.name);

  NestGuard guard(E.nest[NEST_DATAARRAYSUM]);
  double acc = 0.0;
  for (int32_t i = 0; i < N; ++i) {
    if (interruptRequested<R>()) break;
    // The formula may re-create or shorten the arrays it is summed over:
    // every element is looked up afresh, and a vanished one ends the sum
    // with error 6 instead of reading released storage.
    for (int32_t j = 0; j < F; ++j) {
      const int32_t k = index[j];
      if (!S.arrays || k >= S.arrCount || i >= S.lens[k] || !S.arrays[k]) return record(6, call.name);
      params[j] = S.arrays[k][i];
    }
    acc += runRow<R>(E.table, call.row);
  }
  return result(acc);
}

// simpintegrate(a, b, eps, row, p1, ...): the integral of the formula over
// its parameter 0 from a to b by Simpson's rule, halving the step each pass
// until two estimates differ by less than eps.
double simpIntegrate(int32_t last, double* a) noexcept {
  Engine<R>& E = engine<R>();
  if (callsStopped<R>()) return 0.0;
  Call call;
  if (int32_t e = checkRepeated(NEST_SIMP, last, a, 4, 3, call)) return record(e, call.name);
  if (last + 1 != call.P + 3) return record(3, call.name);

  const double lo = a[0], hi = a[1], eps = a[2];
  double* params = E.table.vals[call.row];
  for (int32_t k = 1; k < call.P; ++k) params[k] = a[3 + k];

  NestGuard guard(E.nest[NEST_SIMP]);
  double h = hi - lo;
  params[0] = lo;
  const double fa = runRow<R>(E.table, call.row);
  params[0] = hi;
  const double fb = runRow<R>(E.table, call.row);
  double T = (fa + fb) * h * 0.5;

  // A NaN tolerance ends the call before any refinement; its value is then
  // the trapezoid value T over the whole interval.
  if (!(eps + 1.0 >= eps)) return result(T);

  double prev = T;
  int64_t n = 1;
  for (int32_t pass = 0;; ++pass) {
    if (pass > E.iterLimit || pass >= kMaxSimpsonPasses) return record(4, call.name);
    double M = 0.0;
    for (int64_t j = 0; j < n; ++j) {
      if (interruptRequested<R>()) return 0.0;
      params[0] = lo + (static_cast<double>(j) + 0.5) * h;
      M += runRow<R>(E.table, call.row);
    }
    const double Tn = (T + h * M) * 0.5;
    const double S = (4.0 * Tn - T) * 0.3333333333333333;
    n *= 2;
    T = Tn;
    h *= 0.5;
    const double diff = std::fabs(S - prev);
    if (diff < eps || std::isnan(diff)) return result(S);
    prev = S;
  }
}

}  // namespace qx::numeric

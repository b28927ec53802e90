// The peers of quibex_bench --bulk: muparser's bulk mode, and the array
// evaluators numexpr and NumPy run by bench/bulk_peers.py. Every peer is
// optional: a missing one gives a result with a reason instead of a time.
#pragma once
#include <cmath>
#include <cstdint>
#include <string>

namespace bulk {

// One formula as the peers write it.
struct PeerFormula {
  const char* muparser;  // muparser's syntax ("^", "ln")
  const char* array;     // numexpr's and NumPy's common syntax ("**", "log")
  const char* names;     // argument names in argument order, comma-separated
  int32_t args;
};

// A peer's time in ns per evaluation; NaN with the reason when it did not run
// or (wrong) its results did not match the native loop.
struct PeerTime {
  double ns = NAN;
  std::string why;
  bool wrong = false;
};

// Peer results agree with the native loop when every value is within a few
// units in the last place (they use their own mathematical functions).
bool closeToNative(const double* got, const double* want, int32_t count, std::string* why);

// muparser's bulk Eval over columns (argument k at columns[k*count]), with
// `threads` threads: 1 is the calling thread only, timed with its processor
// time; more are OpenMP threads, timed with the wall clock.
bool muparserBuilt();
bool muparserThreadable();  // its library uses OpenMP, so the count can be set
PeerTime timeMuparser(const PeerFormula& f, const double* columns, int32_t count, int threads, int rounds,
                      const double* want, double* out);

// numexpr with one thread and with `threads` threads, and NumPy, over the
// same columns. Returns the versions the script reported, or why it did not
// run.
enum ArrayPeer { kNumexpr1, kNumexprAll, kNumpy, kArrayPeers };
std::string timeArrayPeers(const PeerFormula& f, const double* columns, int32_t count, int threads, int rounds,
                           const double* want, PeerTime out[kArrayPeers]);

}  // namespace bulk

// Clocks and the median shared by the side-by-side tables.
//
// cpuNs is the calling thread's processor time: on a machine shared with
// other work, time spent descheduled would otherwise land on whichever
// variant happened to run. It is the right clock only where all the work
// runs on the calling thread; work spread over threads is timed with
// wallNs.
#pragma once
#include <algorithm>
#include <chrono>
#include <cmath>
#include <ctime>
#include <vector>

namespace benchclock {

inline double cpuNs() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

inline double wallNs() {
  return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// NaN for no samples.
inline double median(std::vector<double> v) {
  if (v.empty()) return NAN;
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace benchclock

// The peers of quibex_bench --bulk (see bulk_peers.h).
#include "bulk_peers.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "clock.h"

#ifdef QX_HAVE_MUPARSER
#include <muParser.h>
#endif

namespace bulk {

bool closeToNative(const double* got, const double* want, int32_t count, std::string* why) {
  for (int32_t i = 0; i < count; ++i) {
    const double a = got[i], b = want[i];
    if (a == b) continue;
    if (!std::isnan(a) && !std::isnan(b) &&
        std::fabs(a - b) <= 1e-12 * std::fmax(1.0, std::fmax(std::fabs(a), std::fabs(b))))
      continue;
    char msg[160];
    std::snprintf(msg, sizeof msg, "result %d is %.17g, native %.17g", static_cast<int>(i), a, b);
    *why = msg;
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// muparser
// ---------------------------------------------------------------------------
namespace {

// Debian's muparser runs its bulk Eval on OpenMP threads, as many as the
// OpenMP runtime's current limit allows. The runtime is loaded with
// muparser's library; its setter is looked up there rather than linked, so
// the benchmark needs no OpenMP flags of its own.
using SetThreadsFn = void (*)(int);
SetThreadsFn ompSetThreads() {
  static const SetThreadsFn fn = reinterpret_cast<SetThreadsFn>(dlsym(RTLD_DEFAULT, "omp_set_num_threads"));
  return fn;
}

std::vector<std::string> splitNames(const char* names) {
  std::vector<std::string> v;
  std::string cur;
  for (const char* p = names;; ++p) {
    if (*p == ',' || *p == '\0') {
      v.push_back(cur);
      cur.clear();
      if (*p == '\0') break;
    } else {
      cur += *p;
    }
  }
  return v;
}

}  // namespace

bool muparserBuilt() {
#ifdef QX_HAVE_MUPARSER
  return true;
#else
  return false;
#endif
}

bool muparserThreadable() { return muparserBuilt() && ompSetThreads() != nullptr; }

PeerTime timeMuparser(const PeerFormula& f, const double* columns, int32_t count, int threads, int rounds,
                      const double* want, double* out) {
  PeerTime t;
#ifdef QX_HAVE_MUPARSER
  if (threads != 1 && !muparserThreadable()) {
    t.why = "its library is built without OpenMP";
    return t;
  }
  if (SetThreadsFn set = ompSetThreads()) set(threads);
  std::vector<double> samples;
  try {
    mu::Parser parser;
    const std::vector<std::string> names = splitNames(f.names);
    for (size_t k = 0; k < names.size(); ++k)
      parser.DefineVar(names[k], const_cast<double*>(columns) + k * static_cast<size_t>(count));
    parser.SetExpr(f.muparser);
    parser.Eval(out, count);  // first call: parses and builds the byte code
    if ((t.wrong = !closeToNative(out, want, count, &t.why))) return t;
    for (int r = 0; r < rounds; ++r) {
      const double t0 = threads == 1 ? benchclock::cpuNs() : benchclock::wallNs();
      parser.Eval(out, count);
      const double t1 = threads == 1 ? benchclock::cpuNs() : benchclock::wallNs();
      samples.push_back(t1 - t0);
      if ((t.wrong = !closeToNative(out, want, count, &t.why))) return t;
    }
  } catch (mu::Parser::exception_type& e) {
    t.why = e.GetMsg();
    return t;
  }
  t.ns = benchclock::median(samples) / count;
#else
  (void)f, (void)columns, (void)count, (void)threads, (void)rounds, (void)want, (void)out;
  t.why = "not in this build";
#endif
  return t;
}

// ---------------------------------------------------------------------------
// numexpr and NumPy, through bench/bulk_peers.py
// ---------------------------------------------------------------------------
namespace {

const char* const kPeerKeys[kArrayPeers] = {"numexpr1", "numexprN", "numpy"};

std::string shellQuote(const std::string& s) {
  std::string q = "'";
  for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return q + "'";
}

// Debian's own interpreter first: the packages python3-numexpr and
// python3-numpy install into it, whatever else PATH may find.
std::string pythonCommand() {
  if (const char* env = std::getenv("QUIBEX_PYTHON"); env && *env) return env;
  if (access("/usr/bin/python3", X_OK) == 0) return "/usr/bin/python3";
  return "python3";
}

std::string scriptPath() {
#ifdef QX_BENCH_DIR
  return std::string(QX_BENCH_DIR) + "/bulk_peers.py";
#else
  return "bench/bulk_peers.py";
#endif
}

bool writeFile(const std::string& path, const double* v, size_t n) {
  FILE* fp = std::fopen(path.c_str(), "wb");
  if (!fp) return false;
  const bool ok = std::fwrite(v, sizeof(double), n, fp) == n;
  return std::fclose(fp) == 0 && ok;
}

bool readFile(const std::string& path, double* v, size_t n) {
  FILE* fp = std::fopen(path.c_str(), "rb");
  if (!fp) return false;
  const bool ok = std::fread(v, sizeof(double), n, fp) == n && std::fgetc(fp) == EOF;
  std::fclose(fp);
  return ok;
}

std::string firstLine(const std::string& path) {
  FILE* fp = std::fopen(path.c_str(), "r");
  if (!fp) return std::string();
  char buf[200] = {};
  const bool got = std::fgets(buf, sizeof buf, fp) != nullptr;
  std::fclose(fp);
  std::string s = got ? buf : "";
  while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
  return s;
}

}  // namespace

std::string timeArrayPeers(const PeerFormula& f, const double* columns, int32_t count, int threads, int rounds,
                           const double* want, PeerTime out[kArrayPeers]) {
  for (int p = 0; p < kArrayPeers; ++p) out[p] = PeerTime{NAN, "did not run"};
  const std::string script = scriptPath();
  if (access(script.c_str(), R_OK) != 0) return "no " + script;
  const char* tmp = std::getenv("TMPDIR");
  std::string dirTemplate = std::string(tmp && *tmp ? tmp : "/tmp") + "/quibex-bulk-XXXXXX";
  if (!mkdtemp(&dirTemplate[0])) return "no temporary folder";
  const std::string dir = dirTemplate, args = dir + "/args", err = dir + "/stderr";
  std::string versions;
  if (!writeFile(args, columns, static_cast<size_t>(count) * f.args)) {
    versions = "arguments not written to " + dir;
  } else {
    const std::string cmd = shellQuote(pythonCommand()) + " " + shellQuote(script) + " " + shellQuote(args) + " " +
                            shellQuote(f.names) + " " + shellQuote(f.array) + " " + std::to_string(threads) + " " +
                            std::to_string(rounds) + " 2>" + shellQuote(err);
    if (FILE* pipe = popen(cmd.c_str(), "r")) {
      char line[512];
      while (std::fgets(line, sizeof line, pipe)) {
        std::string s = line;
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) s.pop_back();
        const size_t sp = s.find(' ');
        const std::string key = s.substr(0, sp), rest = sp == std::string::npos ? "" : s.substr(sp + 1);
        if (key == "versions") versions = rest;
        for (int p = 0; p < kArrayPeers; ++p) {
          if (key != kPeerKeys[p]) continue;
          if (rest.compare(0, 3, "n/a") == 0) {
            out[p].why = rest.size() > 4 ? rest.substr(4) : "not available";
            continue;
          }
          char* end = nullptr;
          const double ns = std::strtod(rest.c_str(), &end);
          std::vector<double> got(static_cast<size_t>(count));
          if (end == rest.c_str() || !(ns > 0)) out[p].why = "no time reported";
          else if (!readFile(args + "." + kPeerKeys[p], got.data(), got.size())) out[p].why = "no results";
          else if (closeToNative(got.data(), want, count, &out[p].why)) out[p] = PeerTime{ns, "", false};
          else out[p].wrong = true;
        }
      }
      const int status = pclose(pipe);
      if (versions.empty()) {
        const std::string e = firstLine(err);
        versions = "did not run (" + pythonCommand() + ": " + (e.empty() ? "exit " + std::to_string(status) : e) + ")";
      }
    } else {
      versions = "could not start " + pythonCommand();
    }
  }
  for (const char* suffix : {"", ".numexpr1", ".numexprN", ".numpy"}) std::remove((args + suffix).c_str());
  std::remove(err.c_str());
  rmdir(dir.c_str());
  return versions;
}

}  // namespace bulk

// Compiles a large corpus of formula texts in all three engines and writes a
// canonical dump of everything each compilation leaves behind: the compile
// code, comerrpos, the lastArg written (or not), the row's flag and argument
// count, and for a compiled row its code bytes, the five header integers,
// the value array bit for bit and the pointer table as slot offsets.
//
// Two builds of the library that must compile identically give identical
// dumps; scripts/compile_identity.sh builds this tool against another
// revision of the library and compares the two dumps.
//
// Corpus, in this order (every source is read the same way in every build):
//   - the peer comparison set of the benchmarks;
//   - every string literal of the C and C++ files named on the command line,
//     every line of the other text files, and the zero-separated records of
//     binary files (fuzz inputs: each record as it is and without its first
//     byte, the fuzzers' selector);
//   - mutations of those texts (a character deleted, inserted, replaced or a
//     piece duplicated);
//   - generated formulas: mostly well-formed ones (arguments, locals,
//     segments, assignments, one-argument and second-level calls, all three
//     kinds of brackets, blanks and capitals), token soup, and a few long
//     texts that make the driver grow its work area.
//
// usage: qx_rowdump [--gen N] [--seed S] [--out FILE] [--stats] paths...
//        (a directory stands for the files in it, in name order)
//        qx_rowdump --peer-loop R [KEY]
//        compiles the peer set (or its formula KEY) R times with rcom and
//        prints the rate: a fixed workload for profilers and instruction
//        counts.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../bench/peer_set.h"
#include "engine.h"
#include "quibex.h"

namespace {

// ---------------------------------------------------------------------------
// A small generator with the same sequence on every platform. Every draw is
// a statement of its own (never two in one expression, whose order of
// evaluation compilers choose), so every build generates the same corpus.
// ---------------------------------------------------------------------------
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
  }
  uint32_t below(uint32_t n) { return n ? static_cast<uint32_t>(next() % n) : 0; }
  bool chance(uint32_t percent) { return below(100) < percent; }
  template <class C>
  const auto& pick(const C& c) { return c[below(static_cast<uint32_t>(std::size(c)))]; }
};

// ---------------------------------------------------------------------------
// Reading the corpus files
// ---------------------------------------------------------------------------
bool endsWith(const std::string& s, const char* suffix) {
  const size_t n = std::strlen(suffix);
  return s.size() >= n && s.compare(s.size() - n, n, suffix) == 0;
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// String literals of C or C++ source, escapes resolved (adjacent literals
// are kept apart: each is one candidate text).
void sourceLiterals(const std::string& src, std::vector<std::string>& out) {
  size_t i = 0;
  while (i < src.size()) {
    const char c = src[i];
    if (c == '/' && i + 1 < src.size() && src[i + 1] == '/') {
      while (i < src.size() && src[i] != '\n') ++i;
    } else if (c == '/' && i + 1 < src.size() && src[i + 1] == '*') {
      const size_t e = src.find("*/", i + 2);
      i = e == std::string::npos ? src.size() : e + 2;
    } else if (c == '\'') {
      ++i;
      while (i < src.size() && src[i] != '\'') i += src[i] == '\\' ? 2 : 1;
      ++i;
    } else if (c == 'R' && i + 1 < src.size() && src[i + 1] == '"') {
      const size_t open = src.find('(', i);
      if (open == std::string::npos) break;
      const std::string delim = ")" + src.substr(i + 2, open - i - 2) + "\"";
      const size_t close = src.find(delim, open);
      if (close == std::string::npos) break;
      out.push_back(src.substr(open + 1, close - open - 1));
      i = close + delim.size();
    } else if (c == '"') {
      std::string s;
      ++i;
      while (i < src.size() && src[i] != '"') {
        if (src[i] == '\\' && i + 1 < src.size()) {
          const char e = src[++i];
          switch (e) {
            case 'n': s += '\n'; break;
            case 't': s += '\t'; break;
            case 'r': s += '\r'; break;
            case '0': s += '\0'; break;
            case 'x': {
              int v = 0, k = 0;
              while (k < 2 && i + 1 < src.size() && std::isxdigit(static_cast<unsigned char>(src[i + 1]))) {
                const char h = src[++i];
                v = v * 16 + (std::isdigit(static_cast<unsigned char>(h)) ? h - '0' : (h | 32) - 'a' + 10);
                ++k;
              }
              s += static_cast<char>(v);
              break;
            }
            default: s += e;
          }
          ++i;
        } else {
          s += src[i++];
        }
      }
      ++i;
      // A literal with an embedded zero byte is read up to it, as rcom does.
      out.push_back(s.substr(0, s.find('\0')));
    } else {
      ++i;
    }
  }
}

void binaryRecords(const std::string& data, std::vector<std::string>& out) {
  size_t st = 0;
  for (size_t i = 0; i <= data.size(); ++i) {
    if (i < data.size() && data[i] != '\0') continue;
    if (i > st) {
      out.push_back(data.substr(st, std::min<size_t>(i - st, 40000)));
      if (i - st > 1) out.push_back(data.substr(st + 1, std::min<size_t>(i - st - 1, 40000)));
    }
    st = i + 1;
  }
}

void lines(const std::string& data, std::vector<std::string>& out) {
  std::istringstream in(data);
  std::string line;
  while (std::getline(in, line)) {
    out.push_back(line);
    // expression files put several formulas on a line, separated by ";"
    size_t st = 0;
    for (size_t i = 0; i <= line.size(); ++i) {
      if (i < line.size() && line[i] != ';') continue;
      if (st > 0 || i < line.size()) out.push_back(line.substr(st, i - st));
      st = i + 1;
    }
  }
}

void collect(const std::string& path, std::vector<std::string>& out) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    std::fprintf(stderr, "qx_rowdump: cannot read %s\n", path.c_str());
    std::exit(2);
  }
  if (S_ISDIR(st.st_mode)) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
      while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
      closedir(d);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& n : names) collect(path + "/" + n, out);
    return;
  }
  const std::string data = readFile(path);
  if (endsWith(path, ".cpp") || endsWith(path, ".h") || endsWith(path, ".c") || endsWith(path, ".inc")) {
    sourceLiterals(data, out);
  } else if (data.find('\0') != std::string::npos) {
    binaryRecords(data, out);
  } else {
    lines(data, out);
    binaryRecords(data, out);  // a fuzz input without zero bytes is one record
  }
}

// ---------------------------------------------------------------------------
// Mutations and generated formulas
// ---------------------------------------------------------------------------
const char kAlphabet[] = "xyzabcdefi0123456789.e+-*/^()[]{},=:!_ \"#$&@\\\tXYZE";

std::string mutate(const std::string& s, Rng& r) {
  std::string t = s;
  const int edits = 1 + static_cast<int>(r.below(3));
  for (int k = 0; k < edits; ++k) {
    const size_t at = t.empty() ? 0 : r.below(static_cast<uint32_t>(t.size() + 1));
    switch (r.below(4)) {
      case 0:
        if (at < t.size()) t.erase(at, 1);
        break;
      case 1: t.insert(at, 1, kAlphabet[r.below(sizeof kAlphabet - 1)]); break;
      case 2:
        if (at < t.size()) t[at] = kAlphabet[r.below(sizeof kAlphabet - 1)];
        break;
      default:
        if (at < t.size()) {
          const size_t len = 1 + r.below(static_cast<uint32_t>(std::min<size_t>(t.size() - at, 12)));
          t.insert(at, t.substr(at, len));
        }
    }
  }
  return t;
}

struct Gen {
  Rng& r;
  int engine;  // 0 real, 1 complex, 2 integer
  std::vector<std::string> vars;
  std::vector<std::string> locals;
  const char** fnNames;
  const int32_t* fnRules;
  int32_t fnCount;
  const char (*unary)[5];

  std::string number() {
    static const char* const fixed[] = {"0",    "1",     "2",    "3.5",   ".5",   "5.",     "1e5",   "1.5E-3",
                                        "2e+10", "1e308", "1e-320", "0.1", "255",  "65536",  "2147483647",
                                        "2147483648", "4294967296", "12345678901234567890", "0.30000000000000004"};
    static const char* const malformed[] = {"1e2.5", "1.2.3", "1e", "1e+", "."};
    if (r.chance(1)) return r.pick(malformed);
    if (r.chance(40)) return r.pick(fixed);
    std::string s = std::to_string(r.below(r.chance(50) ? 10 : 100000));
    if (r.chance(30)) s += "." + std::to_string(r.below(1000));
    if (r.chance(10)) {
      s += r.chance(50) ? "e" : "E";
      s += r.chance(50) ? "-" : "";
      s += std::to_string(r.below(30));
    }
    if (engine == 1 && r.chance(10)) s += "i";
    return s;
  }
  std::string name() {
    // Constants of each engine (see main), one undefined name, and "i".
    static const char* const consts[3][4] = {{"pi", "ee", "_999_", "k2"}, {"pi", "j2", "ee", "i"}, {"n", "big", "k2", "n"}};
    if (r.chance(2)) return r.chance(50) ? "nope" : "i";
    if (!vars.empty() && r.chance(70)) return vars[r.below(static_cast<uint32_t>(vars.size()))];
    if (!locals.empty() && r.chance(50)) return locals[r.below(static_cast<uint32_t>(locals.size()))];
    return consts[engine][r.below(4)];
  }
  std::string open(int kind) { return kind == 0 ? "(" : kind == 1 ? "[" : "{"; }
  std::string close(int kind) { return kind == 0 ? ")" : kind == 1 ? "]" : "}"; }
  std::string call(int depth) {
    // One-argument functions, second-level and host functions of this engine.
    static const char* const wrong[] = {"mov", "log", "a", "f", "sqrtx", "Sin"};
    const int k = static_cast<int>(r.below(3));
    if (r.chance(45) || fnCount == 0) {
      std::string fn = r.chance(5) ? std::string(r.pick(wrong)) : std::string(unary[1 + r.below(15)], 4);
      fn.erase(fn.find_last_not_of(' ') + 1);
      return fn + open(k) + expr(depth + 1) + close(k);
    }
    const int32_t m = static_cast<int32_t>(r.below(static_cast<uint32_t>(fnCount)));
    const std::string fn = fnNames[m];
    if ((fn == "break" || fn == "continue") && !r.chance(5)) return number();
    int32_t args = fnRules[m] + 1;
    if (fnRules[m] == -2) args = static_cast<int32_t>(r.below(5));
    if (fn == "for" && args < 4) args = 4;
    if ((fn == "if" || fn == "dowhile") && args < 3) args = 3;
    if (r.chance(3)) args += r.chance(50) ? 1 : -1;
    if (args < 0) args = 0;
    std::string s = fnNames[m] + open(k);
    for (int32_t a = 0; a < args; ++a) {
      if (a) s += ",";
      s += expr(depth + 1);
    }
    return s + close(k);
  }
  std::string operand(int depth) {
    const uint32_t c = r.below(100);
    if (depth > 5 || c < 30) return number();
    if (c < 60) return name();
    if (c < 78) return call(depth);
    if (c < 86 && (!vars.empty() || !locals.empty())) {
      const bool local = !locals.empty() && (vars.empty() || r.chance(60));
      const std::string target = local ? locals[r.below(static_cast<uint32_t>(locals.size()))]
                                       : r.chance(97) ? vars[r.below(static_cast<uint32_t>(vars.size()))] : name();
      return "(" + target + "=" + expr(depth + 1) + ")";
    }
    const int k = static_cast<int>(r.below(3));
    std::string t = open(k);
    if (r.chance(20)) t += "-";
    t += expr(depth + 1);
    return t + close(k);
  }
  std::string expr(int depth) {
    static const char* const ops[] = {"+", "-", "*", "/", "^"};
    std::string s = r.chance(8) ? "-" : "";
    s += operand(depth);
    const int terms = static_cast<int>(r.below(depth > 3 ? 2 : 5));
    for (int t = 0; t < terms; ++t) {
      s += r.pick(ops);
      s += operand(depth);
    }
    return s;
  }
  std::string formula() {
    static const char* const argNames[] = {"x", "y", "z", "w", "t", "u", "v", "arg_1", "k", "s", "i", "m"};
    vars.clear();
    locals.clear();
    std::string head;
    if (r.chance(80)) {
      const int na = static_cast<int>(r.below(5));
      const int nl = r.chance(30) ? static_cast<int>(r.below(3)) : 0;
      // Distinct names, now and then one twice.
      const uint32_t first = r.below(12);
      for (int k = 0; k < na; ++k) vars.push_back(argNames[(first + k) % 12]);
      for (int k = 0; k < nl; ++k) locals.push_back(argNames[(first + na + k) % 12]);
      if (na > 0 && r.chance(3)) vars.push_back(vars[0]);
      if (engine == 1) {  // "i" is the imaginary unit there, not a name
        for (auto& v : vars) if (v == "i") v = "q";
        for (auto& v : locals) if (v == "i") v = "q";
      }
      if (r.chance(5)) head += "\"nm" + std::to_string(r.below(4)) + "\"";
      head += "(";
      for (size_t k = 0; k < vars.size(); ++k) head += (k ? "," : "") + vars[k];
      if (!locals.empty() || r.chance(5)) head += ":";
      for (size_t k = 0; k < locals.size(); ++k) head += (k ? "," : "") + locals[k];
      head += ")=";
    }
    std::vector<std::string> segNames;
    const int segs = r.chance(20) ? 1 + static_cast<int>(r.below(3)) : 0;
    for (int k = 0; k < segs; ++k) segNames.push_back("s" + std::to_string(k));
    for (const std::string& n : segNames) locals.push_back(n);
    std::string s = head + expr(0);
    for (const std::string& n : segNames) s += "," + n + "=" + expr(1);
    return s;
  }
  // Blanks and capitals anywhere, as the language allows.
  std::string decorate(std::string s) {
    if (r.chance(20)) {
      std::string t;
      for (char c : s) {
        if (r.chance(5)) t += ' ';
        t += (c >= 'a' && c <= 'z' && r.chance(10)) ? static_cast<char>(c - 32) : c;
      }
      s = t;
    }
    return s;
  }
  std::string soup() {
    static const char* const tokens[] = {"x",   "y",    "(",     ")",  "[",   "]",    "{",  "}",   "+",      "-",
                                         "*",   "/",    "^",     ",",  "=",   ":",    "1",  "2.5", "1e3",    "sin",
                                         "for", "if",   "which", "gt", "sum", "pi",   "a(", "!",   "\"s\"",  " ",
                                         "(x)=", "(x,y:t)=", "break()", "continue()", "i", "mov("};
    std::string s;
    const int n = 1 + static_cast<int>(r.below(14));
    for (int k = 0; k < n; ++k) s += r.pick(tokens);
    return s;
  }
  std::string longText() {
    std::string s = "(x,y)=";
    const size_t target = 2000 + r.below(32000);
    const bool calls = r.chance(50);
    while (s.size() < target) {
      if (calls && fnCount > 8) s += "max(x," + number() + ")+";
      else s += expr(2) + "+";
    }
    return s + "x";
  }
};

// ---------------------------------------------------------------------------
// Dump
// ---------------------------------------------------------------------------
double rGuard(int32_t, double* a) { return a[0]; }
QxComplex cGuard(int32_t, QxComplex* a) { return a[0]; }
int32_t iGuard(int32_t, int32_t* a) { return a[0]; }

void hexBytes(std::string& o, const void* p, size_t n) {
  static const char kHex[] = "0123456789abcdef";
  const unsigned char* b = static_cast<const unsigned char*>(p);
  for (size_t i = 0; i < n; ++i) {
    o += kHex[b[i] >> 4];
    o += kHex[b[i] & 15];
  }
}

// The text on one line, cut at 200 characters, for reading a difference.
void quote(std::string& o, const std::string& text) {
  o += " text=\"";
  for (size_t i = 0; i < text.size() && i < 200; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 32 || c >= 127 || c == '\\' || c == '"') {
      char b[8];
      std::snprintf(b, sizeof b, "\\x%02x", c);
      o += b;
    } else {
      o += static_cast<char>(c);
    }
  }
  o += text.size() > 200 ? "\"..." : "\"";
}

template <class V>
void dumpRow(std::string& o, const qx::TableView<V>& t, int32_t row) {
  char buf[64];
  std::snprintf(buf, sizeof buf, " flag=%d argc=%d", t.flags[row], t.argc[row]);
  o += buf;
  if (!t.flags[row]) return;
  const int32_t* h = t.header[row];
  std::snprintf(buf, sizeof buf, "\n  h=%d,%d,%d,%d,%d code=", h[0], h[1], h[2], h[3], h[4]);
  o += buf;
  hexBytes(o, t.code[row], static_cast<size_t>(h[qx::H_CODE_LENGTH]) + 1);
  o += "\n  vals=";
  for (int32_t i = 0; i <= h[qx::H_LAST_SLOT]; ++i) {
    if (i) o += ',';
    hexBytes(o, &t.vals[row][i], sizeof(V));
  }
  o += "\n  ptrs=";
  for (int32_t i = 0; i <= h[qx::H_REF_COUNT]; ++i) {
    std::snprintf(buf, sizeof buf, "%s%td", i ? "," : "", t.ptrs[row][i] - t.vals[row]);
    o += buf;
  }
}

// The peer set compiled `rounds` times into one real row.
int peerLoop(long rounds, const char* key) {
  deletedll();
  if (!setfornum(1)) return 2;
  userci();
  std::vector<peer::Formula> set = peer::formulas();
  if (key) {
    set.erase(std::remove_if(set.begin(), set.end(), [key](const peer::Formula& f) { return std::strcmp(f.key, key) != 0; }),
              set.end());
    if (set.empty()) {
      std::fprintf(stderr, "qx_rowdump: no formula %s in the peer set\n", key);
      return 2;
    }
  }
  const auto t0 = std::chrono::steady_clock::now();
  for (long k = 0; k < rounds; ++k) {
    for (const peer::Formula& f : set) {
      int32_t last = 0;
      if (rcom(0, f.text.c_str(), &last) != 0) {
        std::fprintf(stderr, "qx_rowdump: %s does not compile\n", f.name);
        return 1;
      }
    }
  }
  const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  const double count = static_cast<double>(rounds) * static_cast<double>(set.size());
  std::printf("%.0f compilations in %.3f s: %.0f per second, %.3f us each\n", count, s, count / s, 1e6 * s / count);
  deletedll();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "--peer-loop") == 0)
    return peerLoop(std::atol(argv[2]), argc == 4 ? argv[3] : nullptr);
  long gen = 100000;
  uint64_t seed = 1;
  const char* outPath = nullptr;
  bool stats = false;
  std::vector<std::string> texts;
  for (const peer::Formula& f : peer::formulas()) texts.push_back(f.text);
  for (int a = 1; a < argc; ++a) {
    const std::string arg = argv[a];
    if (arg == "--gen" && a + 1 < argc) gen = std::atol(argv[++a]);
    else if (arg == "--seed" && a + 1 < argc) seed = std::strtoull(argv[++a], nullptr, 10);
    else if (arg == "--out" && a + 1 < argc) outPath = argv[++a];
    else if (arg == "--stats") stats = true;
    else collect(arg, texts);
  }

  Rng r{seed};
  const size_t read = texts.size();
  for (size_t k = 0; k < read; ++k) {
    if (texts[k].size() > 2000) continue;
    for (int m = 0; m < 3; ++m) texts.push_back(mutate(texts[k], r));
  }

  // Registrations every build makes alike: constants (one with a capital,
  // which no formula can reach), host functions of every argument rule.
  static const char* const rConstNames[] = {"pi", "ee", "c", "_999_", "k2", "Cap", ""};
  static const double rConstValues[] = {3.141592653589793, 2.718281828459045, 299792458.0, 999.0, 0.1, 1.0};
  static const char* const cConstNames[] = {"pi", "j2", "ee", ""};
  static const QxComplex cConstValues[] = {{3.141592653589793, 0}, {0, 2}, {2.718281828459045, 0}};
  static const char* const iConstNames[] = {"n", "big", "k2", ""};
  static const int32_t iConstValues[] = {7, 2147483647, -5};
  static const char* const fnNames[] = {"area", "log10", "hsum", "pi", "two_2", "Upper", ""};
  static const int32_t fnRules[] = {1, 0, -2, -1, 1, 0};
  static const QxRealFn rFns[] = {rGuard, rGuard, rGuard, rGuard, rGuard, rGuard};
  static const QxComplexFn cFns[] = {cGuard, cGuard, cGuard, cGuard, cGuard, cGuard};
  static const QxIntFn iFns[] = {iGuard, iGuard, iGuard, iGuard, iGuard, iGuard};
  deletedll();
  setdoubleconst(rConstNames, rConstValues);
  Csetcomplexconst(cConstNames, cConstValues);
  Isetlongconst(iConstNames, iConstValues);
  setfcfun(fnNames, fnRules, rFns);
  Csetfcfun(fnNames, fnRules, cFns);
  Isetfcfun(fnNames, fnRules, iFns);
  setfcstrmax(4000);
  constexpr int32_t kRows = 8;
  if (!setfornum(kRows) || !Csetfornum(kRows) || !Isetfornum(kRows)) {
    std::fprintf(stderr, "qx_rowdump: cannot size the tables\n");
    return 2;
  }
  userci();

  for (long k = 0; k < gen; ++k) {
    const int engine = static_cast<int>(k % 3);
    Gen g{r, engine, {}, {}, nullptr, nullptr, 0, qx::RealTraits::kUnaryNames};
    if (engine == 0) { g.fnNames = qx::gLib.real.mNames; g.fnRules = qx::gLib.real.mRules; g.fnCount = qx::gLib.real.mCount; }
    if (engine == 1) { g.fnNames = qx::gLib.cplx.mNames; g.fnRules = qx::gLib.cplx.mRules; g.fnCount = qx::gLib.cplx.mCount; g.unary = qx::ComplexTraits::kUnaryNames; }
    if (engine == 2) { g.fnNames = qx::gLib.integer.mNames; g.fnRules = qx::gLib.integer.mRules; g.fnCount = qx::gLib.integer.mCount; g.unary = qx::IntTraits::kUnaryNames; }
    const uint32_t kind = r.below(1000);
    if (kind < 3) texts.push_back(g.longText());
    else if (kind < 150) texts.push_back(g.decorate(g.soup()));
    else if (kind < 250) texts.push_back(mutate(g.formula(), r));
    else texts.push_back(g.decorate(g.formula()));
  }

  FILE* out = outPath ? std::fopen(outPath, "wb") : stdout;
  if (!out) {
    std::fprintf(stderr, "qx_rowdump: cannot write %s\n", outPath);
    return 2;
  }
  std::string o;
  long compiled = 0, failed = 0;
  double seconds = 0;
  for (size_t k = 0; k < texts.size(); ++k) {
    for (int e = 0; e < 3; ++e) {
      const int32_t row = static_cast<int32_t>((k * 3 + static_cast<size_t>(e)) % kRows);
      int32_t last = -99;
      const std::string& text = texts[k];
      const auto t0 = std::chrono::steady_clock::now();
      const int32_t rc = e == 0 ? rcom(row, text.c_str(), &last)
                         : e == 1 ? Ccom(row, text.c_str(), &last)
                                  : Icom(row, text.c_str(), &last);
      seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
      const int32_t pos = e == 0 ? comerrpos() : e == 1 ? Ccomerrpos() : Icomerrpos();
      (rc == 0 ? compiled : failed)++;
      char buf[96];
      std::snprintf(buf, sizeof buf, "#%zu %c row=%d rc=%d pos=%d last=%d", k, "rci"[e], row, rc, pos, last);
      o = buf;
      if (e == 0) quote(o, text);
      if (e == 0) dumpRow(o, qx::gLib.real.table, row);
      else if (e == 1) dumpRow(o, qx::gLib.cplx.table, row);
      else dumpRow(o, qx::gLib.integer.table, row);
      o += '\n';
      std::fwrite(o.data(), 1, o.size(), out);
    }
  }
  if (out != stdout) std::fclose(out);
  if (stats)
    std::fprintf(stderr, "qx_rowdump: %zu texts (%zu read, %zu mutated or generated), %ld compilations: %ld compiled, %ld failed; %.3f s in the compile calls\n",
                 texts.size(), read, texts.size() - read, compiled + failed, compiled, failed, seconds);
  deletedll();
  return 0;
}

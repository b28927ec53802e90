#include "platform.h"

#include <dlfcn.h>
#include <iconv.h>
#include <langinfo.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cfenv>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "quibex.h"

namespace demo {

// ---- Run-time loader --------------------------------------------------------

namespace {

// "quibex.dll" -> "libquibex.so.1" (the name an installed run-time library
// has; 1 is the library's major version), then "libquibex.so" (the name in
// the build directory and of the development link). Any other name is tried
// as it is.
std::vector<std::string> sharedObjectNames(const char* fileName) {
  std::string name = fileName;
  const std::string dll = ".dll";
  if (name.size() > dll.size() &&
      strcasecmp(name.c_str() + name.size() - dll.size(), dll.c_str()) == 0) {
    const std::string base = "lib" + name.substr(0, name.size() - dll.size()) + ".so";
    return {base + "." + std::to_string(QX_VERSION_MAJOR), base};
  }
  return {name};
}

// Why the last loadLibrary failed although a file was there; empty when no
// candidate existed.
std::string gLoadError;

// dlopen with the loader's reason kept when the file exists but cannot be
// loaded. For a name without a folder the loader searches itself, so only
// its own message tells "not found" from "found but unusable".
void* tryOpen(const std::string& path, bool searched) {
  if (void* lib = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL)) return lib;
  const char* why = dlerror();
  if (!why || !gLoadError.empty()) return nullptr;
  const bool exists = searched ? std::strstr(why, "No such file or directory") == nullptr
                               : access(path.c_str(), F_OK) == 0;
  if (exists) gLoadError = why;
  return nullptr;
}

// The directory this program was started from, with a trailing "/"; empty
// when it cannot be found.
std::string programDirectory() {
  char path[4096];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return std::string();
  std::string dir(path, static_cast<size_t>(n));
  size_t slash = dir.rfind('/');
  return slash == std::string::npos ? std::string() : dir.substr(0, slash + 1);
}

}  // namespace

std::string libraryFile(const char* fileName) { return sharedObjectNames(fileName).front(); }

std::string libraryLoadError() { return gLoadError; }

// Beside the program first, then the dynamic loader's own search, which
// starts with LD_LIBRARY_PATH (and ends with the system's library folders).
const char* librarySearchPlaces() { return "本程序所在的目录或LD_LIBRARY_PATH的搜索路径"; }

LibraryHandle loadLibrary(const char* fileName) {
  gLoadError.clear();
  const std::vector<std::string> names = sharedObjectNames(fileName);
  const std::string dir = programDirectory();
  if (!dir.empty()) {
    for (const std::string& name : names) {
      if (name.find('/') != std::string::npos) continue;
      if (void* lib = tryOpen(dir + name, false)) return lib;
    }
  }
  for (const std::string& name : names) {
    if (void* lib = tryOpen(name, name.find('/') == std::string::npos)) return lib;
  }
  return nullptr;
}

void* getProcAddress(LibraryHandle library, const char* name) {
  return library ? dlsym(library, name) : nullptr;
}

void freeLibrary(LibraryHandle library) {
  if (library) dlclose(library);
}

// ---- Console ----------------------------------------------------------------

namespace {

// UTF-8 -> GBK converter; (iconv_t)-1 when messages are written unchanged.
iconv_t gToConsole = reinterpret_cast<iconv_t>(-1);

bool isGbkCharset(const char* charset) {
  static const char* const kNames[] = {"GBK", "GB18030", "GB2312", "CP936"};
  for (const char* name : kNames)
    if (strcasecmp(charset, name) == 0) return true;
  return false;
}

// Converts a whole message; false (and nothing written to out) on failure.
bool toConsoleEncoding(const std::string& in, std::string& out) {
  iconv(gToConsole, nullptr, nullptr, nullptr, nullptr);  // reset the state
  out.assign(in.size() * 2 + 8, '\0');
  char* src = const_cast<char*>(in.data());
  size_t srcLeft = in.size();
  char* dst = &out[0];
  size_t dstLeft = out.size();
  if (iconv(gToConsole, &src, &srcLeft, &dst, &dstLeft) == static_cast<size_t>(-1)) return false;
  out.resize(out.size() - dstLeft);
  return true;
}

}  // namespace

void consoleInit() {
  // Only the character type category is read from the environment, and only
  // long enough to learn the console's charset: the library lower-cases and
  // parses formula text, and must keep seeing the "C" locale.
  const char* current = std::setlocale(LC_CTYPE, nullptr);
  const std::string saved = current ? current : "C";
  if (std::setlocale(LC_CTYPE, "")) {
    if (isGbkCharset(nl_langinfo(CODESET))) gToConsole = iconv_open("GBK", "UTF-8");
  }
  std::setlocale(LC_CTYPE, saved.c_str());
}

void say(const char* message) {
  std::string text;
  for (const char* p = message; *p; ++p) {
    if (p[0] == '\r' && p[1] == '\n') continue;  // "\r\n" -> "\n"
    text.push_back(*p);
  }
  std::string converted;
  if (gToConsole != reinterpret_cast<iconv_t>(-1) && toConsoleEncoding(text, converted))
    std::fputs(converted.c_str(), stdout);
  else
    std::fputs(text.c_str(), stdout);
}

void put(const char* text) { std::fputs(text ? text : "", stdout); }

void putNumber(double value) { std::printf("%.20g", value); }

void putInteger(long long value) { std::printf("%lld", value); }

void endl() {
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

int readChar() {
  // Whatever was written so far (a question, a host function's output
  // without line end) must be on screen before the program waits: output
  // into a pipe or file is not flushed at line ends.
  std::fflush(stdout);
  return std::getchar();
}

void unreadChar(int c) {
  if (c != EOF) std::ungetc(c, stdin);
}

// ---- Processor clock --------------------------------------------------------

long processorClock() {
  return static_cast<long>(static_cast<double>(std::clock()) * 1000.0 / CLOCKS_PER_SEC);
}

// ---- Math-library errors ----------------------------------------------------

namespace {
constexpr int kMathExceptions = FE_INVALID | FE_DIVBYZERO | FE_OVERFLOW;
}

void clearMathErrors() {
  errno = 0;
  std::feclearexcept(kMathExceptions);
}

bool mathErrorRaised() {
  return errno == EDOM || errno == ERANGE || std::fetestexcept(kMathExceptions) != 0;
}

}  // namespace demo

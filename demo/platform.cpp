#include "platform.h"

#ifdef _WIN32
#include <windows.h>
#include <math.h>
#else
#include <dlfcn.h>
#include <iconv.h>
#include <langinfo.h>
#include <strings.h>
#include <unistd.h>
#endif

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

#ifdef _WIN32
// The library is the DLL of that name, found by the system's DLL search
// (the program's own folder first).
std::string libraryFile(const char* fileName) { return fileName; }

const char* librarySearchPlaces() { return "WINDOWS的搜索路径"; }

DWORD gLoadError = ERROR_SUCCESS;

LibraryHandle loadLibrary(const char* fileName) {
  HMODULE h = LoadLibraryA(fileName);
  gLoadError = h ? ERROR_SUCCESS : GetLastError();
  return h;
}

// The system's text for a DLL that was found but could not be loaded (a
// broken file, a missing dependency, the wrong architecture); empty when no
// file was found.
std::string libraryLoadError() {
  if (gLoadError == ERROR_SUCCESS || gLoadError == ERROR_MOD_NOT_FOUND) return std::string();
  char text[512] = {0};
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, gLoadError, 0,
                           text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n' || text[n - 1] == ' ')) text[--n] = 0;
  if (n == 0) return "error " + std::to_string(gLoadError);
  return std::string(text, n);
}

void* getProcAddress(LibraryHandle library, const char* name) {
  if (!library) return nullptr;
  FARPROC proc = GetProcAddress(static_cast<HMODULE>(library), name);
  void* address;
  static_assert(sizeof address == sizeof proc, "function and data addresses differ in size");
  std::memcpy(&address, &proc, sizeof address);
  return address;
}

void freeLibrary(LibraryHandle library) {
  if (library) FreeLibrary(static_cast<HMODULE>(library));
}
#else
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
#endif

// ---- Console ----------------------------------------------------------------

#ifdef _WIN32
// On a console window, text goes out as UTF-16 through WriteConsoleW, so the
// messages show whatever the console's code page is. Redirected to a file
// or pipe, the output is bytes: the messages in code page 936 (GBK), the
// same text as the Linux program writes in a GBK locale, through the C
// runtime's stdout in text mode (line ends are CR LF).
namespace {

HANDLE gConsole = nullptr;  // the console window's output; null when redirected

std::wstring widen(const char* text, UINT codePage) {
  const int n = MultiByteToWideChar(codePage, 0, text, -1, nullptr, 0);
  if (n <= 1) return std::wstring();
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, text, -1, &wide[0], n);
  wide.resize(static_cast<size_t>(n - 1));
  return wide;
}

void writeConsole(const std::wstring& text) {
  DWORD written = 0;
  if (!text.empty()) WriteConsoleW(gConsole, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
}

// Bytes of the console's own encoding (input typed by the user, the
// library's texts): on a console window they are read in its input code page.
void writeBytes(const char* text) {
  if (gConsole)
    writeConsole(widen(text, GetConsoleCP()));
  else
    std::fputs(text, stdout);
}

}  // namespace

void consoleInit() {
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD mode = 0;
  if (out != INVALID_HANDLE_VALUE && out != nullptr && GetConsoleMode(out, &mode)) gConsole = out;
}

void say(const char* message) {
  std::string text;
  for (const char* p = message; *p; ++p) {
    if (p[0] == '\r' && p[1] == '\n') continue;  // "\r\n" -> one line end
    text.push_back(*p);
  }
  const std::wstring wide = widen(text.c_str(), CP_UTF8);
  if (gConsole) {
    std::wstring lines;  // line ends as the console wants them
    for (wchar_t c : wide) {
      if (c == L'\n') lines.push_back(L'\r');
      lines.push_back(c);
    }
    writeConsole(lines);
    return;
  }
  const int n = WideCharToMultiByte(936, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) {
    std::fputs(text.c_str(), stdout);
    return;
  }
  std::string gbk(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(936, 0, wide.data(), static_cast<int>(wide.size()), &gbk[0], n, nullptr, nullptr);
  std::fwrite(gbk.data(), 1, gbk.size(), stdout);
}

void put(const char* text) { writeBytes(text ? text : ""); }

void putNumber(double value) {
  char text[64];
  std::snprintf(text, sizeof text, "%.20g", value);
  writeBytes(text);
}

void putInteger(long long value) {
  char text[32];
  std::snprintf(text, sizeof text, "%lld", value);
  writeBytes(text);
}

void endl() {
  if (gConsole) {
    writeConsole(L"\r\n");
    return;
  }
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

#else
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
#endif

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

#ifdef _WIN32
// The C runtime reports math-library errors to a hook the program installs;
// the hook notes the error and lets the runtime's default handling go on
// (errno and the result stay as the runtime sets them).
namespace {
volatile bool gMathHookCalled = false;

int __cdecl onMathError(struct _exception*) {
  gMathHookCalled = true;
  return 0;
}
}  // namespace

void clearMathErrors() {
  static const bool installed = (__mingw_setusermatherr(onMathError), true);
  (void)installed;
  gMathHookCalled = false;
  errno = 0;
  std::feclearexcept(kMathExceptions);
}

bool mathErrorRaised() {
  return gMathHookCalled || errno == EDOM || errno == ERANGE || std::fetestexcept(kMathExceptions) != 0;
}
#else
void clearMathErrors() {
  errno = 0;
  std::feclearexcept(kMathExceptions);
}

bool mathErrorRaised() {
  return errno == EDOM || errno == ERANGE || std::fetestexcept(kMathExceptions) != 0;
}
#endif

}  // namespace demo

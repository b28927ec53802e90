// quibexdemo: a console program that shows the formula library at work.
//
// It loads the library at run time, then repeatedly reads an "expression
// file" typed at the console (formulas separated by ';', a "c:" prefix for
// complex and "i:" for integer formulas, "//" comments, '?' at the end),
// compiles every formula, evaluates those without arguments, prints the
// results and any run-time errors, and asks whether to quit.
//
// Choices of this program:
// - Console lines are not cut: a line longer than the announced 100
//   characters is read on as if it continued, so nothing typed is lost and a
//   "//" comment covers the whole line.
// - Once 1000 characters of a file are kept, the rest of the file up to its
//   '?' is read and ignored, so that it is not taken for the answer.
// - The rest of the line after '?' and after the answer character is
//   discarded.
// - End of input ends the file being read (it is still compiled and
//   evaluated) and counts as the answer "quit": the program never waits on a
//   closed console.
// - Carriage returns (files with CRLF line ends) and NUL bytes are ignored
//   like blanks.
// - The library is libquibex.so, looked for beside the program and then on
//   the loader's path (LD_LIBRARY_PATH first); the message for a missing
//   library names that file and those places.
// - Output is flushed before every read from the console, so a question is
//   on screen before the program waits, also when the output is a pipe.
// - A compile error is followed by a line that explains its code.
// - A library that lacks one of the exports used here is reported and not
//   used, instead of calling through a null address later.
// - A complex result whose imaginary part is a negative zero is written
//   "c:1-0i", not "c:1+-0i".
// - The exit status is 0 after the dialogue, 1 when the library cannot be
//   loaded, lacks an export, or its tables cannot be sized.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>

#include "demo.h"
#include "platform.h"

namespace demo {

Api api;
char** stringTexts = nullptr;
int32_t* stringLengths = nullptr;
uint8_t* realCompiled = nullptr;
int32_t* realLastArg = nullptr;

namespace {

// Binds every export by name, in the order of DEMO_EXPORTS; returns the name
// of the first missing one, or null when all are there.
const char* bindExports(LibraryHandle library) {
#define DEMO_BIND_EXPORT(name)                                                     \
  api.name = reinterpret_cast<decltype(api.name)>(getProcAddress(library, #name)); \
  if (!api.name) return #name;
  DEMO_EXPORTS(DEMO_BIND_EXPORT)
#undef DEMO_BIND_EXPORT
  return nullptr;
}

bool isSpace(int c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

void skipRestOfLine() {
  int c;
  do c = readChar();
  while (c != '\n' && c != EOF);
}

// Waits until the user types a word and presses Enter (or input ends).
void waitForWord() {
  int c;
  do c = readChar();
  while (isSpace(c));
  while (c != EOF && !isSpace(c)) c = readChar();
}

// ---- Reading an expression file ----------------------------------------------

// Reads one expression file into text: lines are joined without separator,
// blanks and tabs are dropped, "//" ends a line and '?' ends the file.
void readExpressionFile(std::string& text) {
  text.clear();
  for (;;) {
    int c = readChar();
    if (c == EOF) return;
    if (c == '/') {
      const int next = readChar();
      if (next == '/') {
        skipRestOfLine();
        continue;
      }
      unreadChar(next);
    }
    if (c == '?') {
      skipRestOfLine();
      return;
    }
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\0') continue;
    if (static_cast<int32_t>(text.size()) < kTextLimit) text.push_back(static_cast<char>(c));
  }
}

// Reads the answer to "quit?": the first non-blank character; true for "y"
// or "Y" and at the end of input.
bool answerIsQuit() {
  int c;
  do c = readChar();
  while (isSpace(c));
  if (c == EOF) return true;
  skipRestOfLine();
  return c == 'y' || c == 'Y';
}

// ---- Compiling and evaluating ---------------------------------------------------

enum EntryType : uint8_t { kEnd = 0, kInteger = 1, kReal = 2, kComplex = 3 };

struct Entry {
  EntryType type;
  int32_t row;  // -1: the formula takes arguments and is not evaluated
};

Entry gList[3 * kFormulaLimit + 1];

// Compiles one formula of the given type into the next row of its table and
// appends it to the list. False (after a message) when the type has too many
// formulas or the formula does not compile.
bool compileOne(EntryType type, char* piece, int32_t& counter, int32_t& listed) {
  static const char* const kTooMany[] = {"", "\r\n整数表达式太多！\r\n", "\r\n实数表达式太多！\r\n",
                                         "\r\n复数表达式太多!\r\n"};
  static const char* const kKind[] = {"", "\r\n整数表达式：", "\r\n实数表达式：", "\r\n复数表达式："};
  if (++counter == kFormulaLimit) {
    say(kTooMany[type]);
    return false;
  }
  int32_t lastArg = 0;
  int32_t code, at;
  switch (type) {
    case kInteger: code = api.Icom(counter, piece + 2, &lastArg), at = api.Icomerrpos() + 2; break;
    case kComplex: code = api.Ccom(counter, piece + 2, &lastArg), at = api.Ccomerrpos() + 2; break;
    default: code = api.rcom(counter, piece, &lastArg), at = api.comerrpos(); break;
  }
  if (code != 0) {
    say(kKind[type]);
    put(piece);
    endl();
    // A caret under the place of the error. The label before the formula
    // is six full-width characters, twelve columns wide; the formula's
    // bytes are one column each in the console's encoding.
    put(std::string(static_cast<size_t>(12 + (at < 0 ? 0 : at)), ' ').c_str());
    put("^");
    endl();
    say("编译错误代码：");
    putInteger(code);
    endl();
    say("错误说明：");
    say(compileErrorText(code));
    endl();
    return false;
  }
  gList[listed++] = Entry{type, lastArg == -1 ? counter : -1};
  return true;
}

// Compiles all formulas of the text, cutting it in place at each ';'. Rows
// are numbered per type from 0 in order of appearance. False for an empty
// text (silently) or when a formula fails.
bool compileAll(char* text) {
  if (!*text) return false;
  int32_t integers = -1, reals = -1, complexes = -1, listed = 0;
  for (char* piece = text; piece;) {
    char* next = std::strchr(piece, ';');
    if (next) *next++ = '\0';
    if (*piece) {
      bool ok;
      if (piece[0] == 'i' && piece[1] == ':')
        ok = compileOne(kInteger, piece, integers, listed);
      else if (piece[0] == 'c' && piece[1] == ':')
        ok = compileOne(kComplex, piece, complexes, listed);
      else
        ok = compileOne(kReal, piece, reals, listed);
      if (!ok) return false;
    }
    piece = next;
  }
  gList[listed].type = kEnd;
  return true;
}

void reportError(int32_t number, const char* name, const char* message) {
  if (number == 0) return;
  say(message);
  put(name);
  say(" 错误代码：");
  putInteger(number);
  endl();
  say("错误说明：");
  say(runtimeErrorText(number, name));
  endl();
}

void evaluateAll() {
  for (const Entry* e = gList; e->type != kEnd; ++e) {
    if (e->row < 0) continue;
    switch (e->type) {
      case kInteger:
        say("i:");
        putInteger(api.Icals(e->row));
        break;
      case kReal:
        putNumber(api.rcals(e->row));
        break;
      default: {
        const QxComplex c = api.Ccals(e->row);
        say("c:");
        putNumber(c.re);
        // The imaginary part carries its own '-'; a negative zero is not
        // written as "+-0".
        if (!std::signbit(c.im)) say("+");
        putNumber(c.im);
        say("i");
      }
    }
    endl();
  }
  const char* name = nullptr;
  int32_t n = api.Ifcerr(&name);
  reportError(n, name, "\r\nQUIBEX运行错误，整数表达式，函数名: ");
  n = api.fcerr(&name);
  reportError(n, name, "\r\nQUIBEX运行错误，实数表达式，函数名: ");
  n = api.Cfcerr(&name);
  reportError(n, name, "\r\nQUIBEX运行错误，复数表达式，函数名: ");
}

// ---- Start-up and dialogue -----------------------------------------------------

bool sizeTables() {
  return api.setfornum(kFormulaLimit + 1) && api.Csetfornum(kFormulaLimit) && api.Isetfornum(kFormulaLimit);
}

void printNotices() {
  put(api.ver());
  endl();
  endl();
  say("QUIBEX演示程序：编译计算多个表达式的值");
  endl();
  endl();
  say("注意1：各个表达式之间用分号‘;’分隔；");
  endl();
  say("注意2：以字母c:开头的表达式为复数表达式，以字母i:开头的表达式为整数表达式；");
  endl();
  say("注意3：对于有参数的表达式，只编译，不计算；");
  endl();
  say("注意4：最多可用的整数、实数、复数表达式的个数均为");
  putInteger(kFormulaLimit);
  say("个；");
  endl();
  say("注意5：表达式中最多可用");
  putInteger(kStringLimit);
  say("个字符串；");
  endl();
  say("注意6：表达式文件最多接收");
  putInteger(kTextLimit);
  say("个字符，每行最多接收");
  putInteger(kLineLimit);
  say("个字符；");
  endl();
  say("注意7：在每行中两个‘//’后的字符将被忽略，问号字符‘?’表示该文件的结束。");
  endl();
  endl();
}

void dialogue() {
  std::string text;
  text.reserve(kTextLimit + 1);
  for (;;) {
    say("请输入表达式文件：");
    endl();
    endl();
    readExpressionFile(text);
    api.initfcstr();
    if (compileAll(&text[0])) {
      endl();
      say("计算结果：");
      endl();
      endl();
      evaluateAll();
    }
    endl();
    say("是否退出？(Yes/No)：");
    const bool quit = answerIsQuit();
    endl();
    if (quit) return;
  }
}

int run() {
  consoleInit();
  static const char kLibrary[] = "quibex.dll";
  const std::string file = libraryFile(kLibrary);
  LibraryHandle library = loadLibrary(kLibrary);
  if (!library) {
    // The message names the file and the places that loadLibrary really
    // searches, so that the user knows where to put it.
    say(("找不到" + file + "！请将该库放到" + librarySearchPlaces() +
         "内！\n\n请输入任意字符后按回车键Enter退出！")
            .c_str());
    endl();
    // A file that is there but cannot be loaded (damaged, wrong
    // architecture, missing dependencies): the loader says why.
    const std::string why = libraryLoadError();
    if (!why.empty()) {
      say("加载失败的原因：");
      put(why.c_str());
      endl();
    }
    waitForWord();
    return 1;
  }
  if (const char* missing = bindExports(library)) {
    say((file + "中找不到函数：").c_str());
    put(missing);
    endl();
    freeLibrary(library);
    return 1;
  }

  registerConstants();
  registerHostFunctions();
  api.setfcstrmax(kStringLimit);
  stringTexts = api.getfcstr(&stringLengths);
  int status = 1;
  if (sizeTables()) {
    api.userci();
    realCompiled = api.getfortrue();
    realLastArg = api.getvarnum();
    printNotices();
    dialogue();
    status = 0;
  }
  api.deletedll();
  freeLibrary(library);
  return status;
}

}  // namespace
}  // namespace demo

int main() { return demo::run(); }

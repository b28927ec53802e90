// The little the demonstration program needs from the operating system:
// loading the library at run time, the console, the processor clock and the
// detection of math-library errors.
#ifndef QUIBEXDEMO_PLATFORM_H
#define QUIBEXDEMO_PLATFORM_H

#include <string>

namespace demo {

// ---- Run-time loader --------------------------------------------------------

using LibraryHandle = void*;

// Loads a library by file name. On Windows this is LoadLibraryA with the
// system's DLL search. Elsewhere a name of the form "x.dll" stands for the
// shared object "libx.so.<major>" and then "libx.so": they are looked for
// beside this program first, then on the system's library search path. Null
// when it cannot be loaded.
LibraryHandle loadLibrary(const char* fileName);
// The file loadLibrary(fileName) looks for first ("libx.so.<major>" for
// "x.dll").
std::string libraryFile(const char* fileName);
// After a failed loadLibrary: the system loader's reason when a file was
// found but could not be loaded; empty when none was found.
std::string libraryLoadError();
// Where loadLibrary looks for it, in the words of the program's messages.
const char* librarySearchPlaces();
// The address of an exported function, or null when the library lacks it.
void* getProcAddress(LibraryHandle library, const char* name);
void freeLibrary(LibraryHandle library);

// ---- Console ----------------------------------------------------------------

// Chooses the output encoding from the user's locale (on Windows: UTF-16
// to a console window, GBK bytes when redirected). Call once at start.
void consoleInit();
// Writes one of the program's own messages. Messages are kept as UTF-8 and
// converted to the console's encoding (GBK on GBK/GB18030 consoles); a
// "\r\n" in a message is written as this platform's line end.
void say(const char* message);
// Writes text that came from the user or the library, byte for byte: it is
// already in the console's encoding.
void put(const char* text);
// Writes a number with 20 significant digits, general notation.
void putNumber(double value);
void putInteger(long long value);
// Ends the line and flushes the output.
void endl();
// Flushes the output, then reads one byte of console input; EOF at the end
// of input.
int readChar();
// Pushes back the byte just read (ignored for EOF).
void unreadChar(int c);

// ---- Processor clock --------------------------------------------------------

// Processor time used by the program so far, 1000 ticks per second.
long processorClock();

// ---- Math-library errors ----------------------------------------------------

// Clears errno and the floating-point exception flags.
void clearMathErrors();
// True when a math-library call since the last clearMathErrors() reported a
// domain, pole or overflow error (through errno or the exception flags).
bool mathErrorRaised();

}  // namespace demo

#endif  // QUIBEXDEMO_PLATFORM_H

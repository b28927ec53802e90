// State shared by the dialogue and the host functions of quibexdemo.
#ifndef QUIBEXDEMO_DEMO_H
#define QUIBEXDEMO_DEMO_H

#include <cstdint>

// The library's header supplies the types of the exports only: nothing of
// the library is linked, every function is bound by name at start-up.
#include "quibex.h"

namespace demo {

constexpr int32_t kFormulaLimit = 50;  // formulas per type in one file
constexpr int32_t kSpeedRow = kFormulaLimit;  // extra real row for speed()
constexpr int32_t kStringLimit = 100;  // string-table capacity
constexpr int32_t kNestingLimit = 10;  // sintegrate nesting depth
constexpr int32_t kTextLimit = 1000;   // characters kept from one file
constexpr int32_t kLineLimit = 100;    // announced line length; longer lines are read on

// The exports the program uses, in the order they are bound.
#define DEMO_EXPORTS(X)                                                     \
  X(ver) X(setfornum) X(deletedll) X(rcom) X(fcerr) X(getin) X(rcals)       \
  X(setfcfun) X(setfcerr) X(getallin) X(getfortrue) X(fcerrnum)             \
  X(getvarnum) X(userci) X(setfcstrmax) X(getfcstr) X(initfcstr)            \
  X(setdoubleconst) X(Csetfornum) X(Ccom) X(Cfcerr) X(Ccals) X(Cgetallin)   \
  X(Isetfornum) X(Icom) X(Ifcerr) X(Icals) X(Igetallin)                    \
  X(comerrpos) X(Ccomerrpos) X(Icomerrpos) X(fcerrtext)

struct Api {
#define DEMO_DECLARE_EXPORT(name) decltype(&::name) name = nullptr;
  DEMO_EXPORTS(DEMO_DECLARE_EXPORT)
#undef DEMO_DECLARE_EXPORT
};

extern Api api;

// Addresses kept from the library after start-up (valid until deletedll,
// since the program never resizes the tables afterwards).
extern char** stringTexts;       // getfcstr
extern int32_t* stringLengths;   // getfcstr
extern uint8_t* realCompiled;    // getfortrue
extern int32_t* realLastArg;     // getvarnum

// Registers the real constants and the ten real host functions.
void registerConstants();
void registerHostFunctions();

// A short explanation of a compile result code of the library.
const char* compileErrorText(int32_t code);
// A short explanation of run-time error `number` recorded by function
// `name` (a built-in function of any engine or a host function of this
// program); a text for the number alone for other names.
const char* runtimeErrorText(int32_t number, const char* name);
// What runtimeErrorText gives for a library text it has no translation of.
extern const char kUntranslatedError[];

// Converts a number to a row, slot or count the way the library does:
// truncation toward zero, low 32 bits kept; NaN, infinities and magnitudes of
// 2^63 or more give 0.
int32_t toIndex(double value);

}  // namespace demo

#endif  // QUIBEXDEMO_DEMO_H

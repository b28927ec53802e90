// Short English texts for compile codes and run-time error numbers.
//
// One table inside the library serves every host (also hosts that bind by
// name from languages without C inline functions), the demonstration
// program's tests and the language reference; the texts can improve
// without rebuilding a host. Run-time numbers mean different things per
// function, so a run-time text is looked up by the recording function's
// name first, then by the number alone.
#include "error_texts.h"

#include <cstring>

namespace qx::texts {

namespace {

const char* const kCompileTexts[] = {
    "compiled successfully",
    "syntax error: an operator at the start or end, two operators or two operands in a row, an operand "
    "directly before or after a bracket, empty brackets, or a misplaced or empty assignment",
    "empty formula: no text, nothing in the brackets, a leading comma, or nothing after the \"=\"",
    "\")\" missing before the \"=\" of the parameter list",
    "\"(\" missing before the \"=\" of the parameter list, or \"=\" at the start",
    "illegal character in the parameter list (only letters, digits, \"_\", \",\" and \":\")",
    "a parameter or assigned variable name starts with a digit",
    "a parameter is named twice",
    "unpaired brackets, or a pair of two different kinds",
    "a complex formula's parameter or local variable is named i",
    "undefined function, or a reserved name a to f before a bracket",
    "formula too long for the compile work area (32766 characters)",
    "undefined name: neither a variable nor a named constant",
    "malformed number",
    "illegal character: a control character, \"!\", a byte from 128 up, or a comma or \":\" out of place",
    "out of memory",
    "wrong number of arguments, an empty argument, or break/continue outside for/dowhile",
    "a trailing segment is not of the form name=expression",
    "bad escape in a string literal, or a literal without its closing quote",
    "string literal used but no string table exists (setfcstrmax)",
    "too many string literals, or the text with literals replaced is too long",
    "out of memory while storing a string literal",
    "$\"name\": no formula of that name",
    "#\"name\": no formula of that name and type",
    "&\"text\" or @\"text\": no such string",
    "string table full",
    "row outside the formula table, or the table is not sized",
    "the row is being evaluated right now and cannot be recompiled",
};
constexpr int32_t kCompileCount = static_cast<int32_t>(sizeof kCompileTexts / sizeof kCompileTexts[0]);
static_assert(kCompileCount == 28, "one text for each of the codes 0 to 27");

// Functions that record the same numbers with the same meaning.
enum Family {
  F_NONE, F_LOOP, F_WHICH, F_STACKMAX, F_CYCLEMAX, F_NEW_NUMBERS, F_NEW_ARRAYS, F_NUMBER, F_NEW_ARRAY,
  F_ELEMENT, F_MAXMIN, F_CALL, F_PARA, F_SIMP, F_GRID, F_DATA, F_DATA_ARRAY, F_HOST_ENTRY, F_STALE,
  F_INTERRUPT,
};

struct Member {
  const char* name;
  Family family;
};

// The names of all three engines' built-in functions that record errors,
// and the names the library itself records under.
const Member kMembers[] = {
    {"for", F_LOOP}, {"dowhile", F_LOOP}, {"continue", F_LOOP}, {"which", F_WHICH},
    {"setstackmax", F_STACKMAX}, {"setcyclemax", F_CYCLEMAX},
    {"newdoubles", F_NEW_NUMBERS}, {"newcomplexs", F_NEW_NUMBERS}, {"newlongs", F_NEW_NUMBERS},
    {"newdoublearrays", F_NEW_ARRAYS}, {"newcomplexarrays", F_NEW_ARRAYS}, {"newlongarrays", F_NEW_ARRAYS},
    {"setd", F_NUMBER}, {"getd", F_NUMBER}, {"addgetd", F_NUMBER}, {"getdadd", F_NUMBER},
    {"setc", F_NUMBER}, {"getc", F_NUMBER}, {"addgetc", F_NUMBER}, {"getcadd", F_NUMBER},
    {"seti", F_NUMBER}, {"geti", F_NUMBER}, {"addgeti", F_NUMBER}, {"getiadd", F_NUMBER},
    {"newdoublearray", F_NEW_ARRAY}, {"newcomplexarray", F_NEW_ARRAY}, {"newlongarray", F_NEW_ARRAY},
    {"setda", F_ELEMENT}, {"getda", F_ELEMENT}, {"addgetda", F_ELEMENT},
    {"setca", F_ELEMENT}, {"getca", F_ELEMENT}, {"addgetca", F_ELEMENT},
    {"setia", F_ELEMENT}, {"getia", F_ELEMENT}, {"addgetia", F_ELEMENT},
    {"max", F_MAXMIN}, {"min", F_MAXMIN},
    {"call", F_CALL}, {"calfor", F_CALL}, {"calrfor", F_CALL}, {"calcfor", F_CALL}, {"califor", F_CALL},
    {"para", F_PARA}, {"simpintegrate", F_SIMP}, {"sum", F_GRID}, {"pro", F_GRID},
    {"datasum", F_DATA}, {"datapro", F_DATA}, {"dataarraysum", F_DATA_ARRAY},
    {"rcal", F_HOST_ENTRY}, {"rcals", F_HOST_ENTRY}, {"Ccal", F_HOST_ENTRY}, {"Ccals", F_HOST_ENTRY},
    {"Ical", F_HOST_ENTRY}, {"Icals", F_HOST_ENTRY},
    {"rcalv", F_HOST_ENTRY}, {"Ccalv", F_HOST_ENTRY}, {"Icalv", F_HOST_ENTRY},
    {"unknown function", F_STALE}, {"interrupt", F_INTERRUPT},
};

struct Text {
  Family family;
  int32_t number;
  const char* text;
};

const Text kTexts[] = {
    {F_LOOP, -2, "loop level limit exceeded (setstackmax)"},
    {F_LOOP, 1, "iteration limit exceeded (setcyclemax)"},
    {F_WHICH, 1, "no condition holds and there is no default value, or no arguments"},
    {F_STACKMAX, 1, "level limit outside 1 to 32766"},
    {F_STACKMAX, 2, "out of memory for the loop records"},
    {F_CYCLEMAX, 1, "iteration limit less than 2"},
    {F_NEW_NUMBERS, 1, "out of memory for the number store"},
    {F_NEW_ARRAYS, 1, "out of memory for the array store"},
    {F_NUMBER, 1, "index outside the number store, or no number store exists"},
    {F_NEW_ARRAY, 1, "fewer than two arguments"},
    {F_NEW_ARRAY, 2, "no array store exists"},
    {F_NEW_ARRAY, 3, "array index outside the array store"},
    {F_NEW_ARRAY, 4, "out of memory for the array"},
    {F_NEW_ARRAY, 5, "more initial values than elements"},
    {F_ELEMENT, 1, "no array store exists"},
    {F_ELEMENT, 2, "array index outside the array store"},
    {F_ELEMENT, 3, "element index outside the array"},
    {F_MAXMIN, 1, "no arguments"},
    {F_PARA, 3, "parameter index outside the formula's parameters"},
    {F_SIMP, 4, "no convergence within 25 refinement passes or the iteration limit"},
    {F_GRID, 3, "wrong number of arguments, or a count of fixed values outside 0 to the parameter count"},
    {F_GRID, 4, "the fixed values leave no free parameter"},
    {F_GRID, 5, "out of memory for the loop counters"},
    {F_GRID, 6, "a range with start greater than end, a step not greater than 0, or no finite point count"},
    {F_DATA, 3, "wrong number of values, or a count of fixed values outside 0 to the parameter count"},
    {F_DATA, 4, "the fixed values leave no free parameter"},
    {F_DATA, 5, "out of memory for the data values"},
    {F_DATA_ARRAY, 3, "wrong number of arguments, or a count of fixed values outside 0 to the parameter count"},
    {F_DATA_ARRAY, 4, "the fixed values leave no free parameter"},
    {F_DATA_ARRAY, 5, "fewer than one data point, or out of memory for the array indices"},
    {F_DATA_ARRAY, 6, "a data array missing or shorter than the number of data points"},
    {F_HOST_ENTRY, -2, "nested evaluations too deep (chain of 1000, or too little native stack)"},
    {F_STALE, 3, "call of a function that is no longer in the function table"},
};

// What the formula-calling functions share.
const Text kCallTexts[] = {
    {F_CALL, -2, "nesting level limit exceeded (setstackmax), or nested evaluations too deep"},
    {F_CALL, -1, "the called formula table has no rows"},
    {F_CALL, 1, "row outside the formula table"},
    {F_CALL, 2, "the row holds no compiled formula"},
    {F_CALL, 3, "wrong number of arguments: too few for the function, or not what the called formula takes"},
};

bool callsFormulas(Family f) noexcept {
  return f == F_CALL || f == F_PARA || f == F_SIMP || f == F_GRID || f == F_DATA || f == F_DATA_ARRAY;
}

Family familyOf(const char* name) noexcept {
  if (!name) return F_NONE;
  for (const Member& m : kMembers)
    if (std::strcmp(m.name, name) == 0) return m.family;
  return F_NONE;
}

const char* genericText(int32_t number) noexcept {
  switch (number) {
    case 0: return "no error";
    case -1: return "the called formula table has no rows";
    case -2: return "level limit or nesting depth exceeded";
    case -3: return kInterruptedText;
    default: return "run-time error (its meaning depends on the function that recorded it)";
  }
}

}  // namespace

const char kInterruptedText[] = "evaluation interrupted (fcinterrupt)";

const char* compileText(int32_t code) noexcept {
  return code >= 0 && code < kCompileCount ? kCompileTexts[code] : "unknown compile code";
}

const char* runtimeText(int32_t number, const char* name) noexcept {
  if (number == 0) return genericText(0);
  const Family f = familyOf(name);
  if (f != F_NONE) {
    for (const Text& t : kTexts)
      if (t.family == f && t.number == number) return t.text;
    if (callsFormulas(f))
      for (const Text& t : kCallTexts)
        if (t.number == number) return t.text;
  }
  return genericText(number);
}

}  // namespace qx::texts

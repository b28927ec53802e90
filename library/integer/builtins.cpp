// The integer engine: its built-in name table, one-argument names and
// handler table, with the functions only this engine has.
#include "evaluator/calls.h"
#include "evaluator/stores.h"
#include "lifecycle.h"

namespace qx {

const BuiltinName IntTraits::kBuiltins[IntTraits::kBuiltinCount] = {
    {"for", -2},        {"dowhile", -2},      {"if", -2},        {"which", -2},
    {"one", -2},        {"break", -1},        {"continue", -1},  {"return", 0},
    {"gt", 1},          {"ge", 1},            {"lt", 1},         {"le", 1},
    {"eq", 1},          {"ne", 1},            {"and", 1},        {"or", 1},
    {"not", 0},         {"xor", 1},           {"newlongs", 0},   {"seti", 1},
    {"geti", 0},        {"addgeti", 1},       {"getiadd", 1},    {"newlongarrays", 0},
    {"newlongarray", -2}, {"setia", 2},       {"getia", 1},      {"addgetia", 2},
    {"call", 0},        {"calfor", -2},       {"para", 1},       {"calrfor", -2},
    {"calcfor", -2},    {"max", -2},          {"min", -2},       {"mod", 1},
    {"sign", 1},        {"dim", 1},           {"setstackmax", 0}, {"setcyclemax", 0},
};

const char IntTraits::kUnaryNames[22][5] = {
    "mov ", "sqrt", "exp ", "ln  ", "lg  ", "abs ", "    ", "    ", "    ", "    ", "    ",
    "    ", "    ", "    ", "    ", "    ", "a   ", "b   ", "c   ", "d   ", "e   ", "f   ",
};

using I = IntTraits;

namespace {

int32_t intCalrfor(int32_t last, int32_t* a) noexcept { return callWithArgs<I, RealTraits>(NEST_CALX1, last, a); }
int32_t intCalcfor(int32_t last, int32_t* a) noexcept { return callWithArgs<I, ComplexTraits>(NEST_CALX2, last, a); }

int32_t intMax(int32_t last, int32_t* a) noexcept {
  if (last < 0) return fail<I>(1, last, a);
  int32_t r = a[0];
  for (int32_t i = 1; i <= last; ++i)
    if (r < a[i]) r = a[i];
  return r;
}

int32_t intMin(int32_t last, int32_t* a) noexcept {
  if (last < 0) return fail<I>(1, last, a);
  int32_t r = a[0];
  for (int32_t i = 1; i <= last; ++i)
    if (r > a[i]) r = a[i];
  return r;
}

// Remainder of the truncating division; 0 for a divisor of 0 or -1.
int32_t intMod(int32_t, int32_t* a) noexcept { return safeMod(a[0], a[1]); }

int32_t intSign(int32_t, int32_t* a) noexcept {
  if (a[1] > 0) return wrapAbs(a[0]);
  if (a[1] < 0) return wrapSub(0, wrapAbs(a[0]));
  return a[0];
}

int32_t intDim(int32_t, int32_t* a) noexcept { return a[0] > a[1] ? wrapSub(a[0], a[1]) : 0; }

}  // namespace

template <>
const I::Fn BuiltinHandlers<I>::table[I::kBuiltinCount] = {
    notCalled<I>, notCalled<I>, notCalled<I>, notCalled<I>, notCalled<I>, notCalled<I>,
    notCalled<I>, notCalled<I>, notCalled<I>, notCalled<I>, notCalled<I>, notCalled<I>,
    notCalled<I>, notCalled<I>, notCalled<I>, notCalled<I>, notCalled<I>, notCalled<I>,
    newNumbers<I>, setNumber<I>, getNumber<I>, addGetNumber<I>, getNumberAdd<I>,
    newArrays<I>, newArray<I>, setArrayElement<I>, getArrayElement<I>, addGetArrayElement<I>,
    callKeep<I>, calfor<I>, para<I>, intCalrfor, intCalcfor,
    intMax, intMin, intMod, intSign, intDim, setStackMaxFn<I>, setCycleMaxFn<I>,
};

}  // namespace qx

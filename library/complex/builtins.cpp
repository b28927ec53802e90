// The complex engine: its built-in name table, one-argument names and
// handler table.
#include "evaluator/calls.h"
#include "evaluator/stores.h"
#include "lifecycle.h"

namespace qx {

const BuiltinName ComplexTraits::kBuiltins[ComplexTraits::kBuiltinCount] = {
    {"for", -2},          {"dowhile", -2},        {"if", -2},         {"which", -2},
    {"one", -2},          {"break", -1},          {"continue", -1},   {"return", 0},
    {"gt", 1},            {"ge", 1},              {"lt", 1},          {"le", 1},
    {"eq", 1},            {"ne", 1},              {"and", 1},         {"or", 1},
    {"not", 0},           {"xor", 1},             {"newcomplexs", 0}, {"setc", 1},
    {"getc", 0},          {"addgetc", 1},         {"getcadd", 1},     {"newcomplexarrays", 0},
    {"newcomplexarray", -2}, {"setca", 2},        {"getca", 1},       {"addgetca", 2},
    {"call", 0},          {"calfor", -2},         {"para", 1},        {"calrfor", -2},
    {"califor", -2},      {"setstackmax", 0},     {"setcyclemax", 0},
};

const char ComplexTraits::kUnaryNames[22][5] = {
    "mov ", "sqrt", "exp ", "ln  ", "sin ", "cos ", "abs ", "int ", "con ", "xy  ", "x0  ",
    "y0  ", "    ", "    ", "    ", "    ", "a   ", "b   ", "c   ", "d   ", "e   ", "f   ",
};

using C = ComplexTraits;

Complex complexCalrfor(int32_t last, Complex* a) noexcept { return callWithArgs<C, RealTraits>(NEST_CALX1, last, a); }
Complex complexCalifor(int32_t last, Complex* a) noexcept { return callWithArgs<C, IntTraits>(NEST_CALX2, last, a); }

template <>
const C::Fn BuiltinHandlers<C>::table[C::kBuiltinCount] = {
    notCalled<C>, notCalled<C>, notCalled<C>, notCalled<C>, notCalled<C>, notCalled<C>,
    notCalled<C>, notCalled<C>, notCalled<C>, notCalled<C>, notCalled<C>, notCalled<C>,
    notCalled<C>, notCalled<C>, notCalled<C>, notCalled<C>, notCalled<C>, notCalled<C>,
    newNumbers<C>, setNumber<C>, getNumber<C>, addGetNumber<C>, getNumberAdd<C>,
    newArrays<C>, newArray<C>, setArrayElement<C>, getArrayElement<C>, addGetArrayElement<C>,
    callKeep<C>, calfor<C>, para<C>, complexCalrfor, complexCalifor,
    setStackMaxFn<C>, setCycleMaxFn<C>,
};

}  // namespace qx

// The real engine: its built-in name table, one-argument names, handler
// table, and the instantiation of the shared design for doubles.
#include <cmath>

#include "evaluator/calls.h"
#include "real/numeric.h"
#include "evaluator/stores.h"
#include "lifecycle.h"

namespace qx {

const BuiltinName RealTraits::kBuiltins[RealTraits::kBuiltinCount] = {
    {"for", -2},           {"dowhile", -2},       {"if", -2},           {"which", -2},
    {"one", -2},           {"break", -1},         {"continue", -1},     {"return", 0},
    {"gt", 1},             {"ge", 1},             {"lt", 1},            {"le", 1},
    {"eq", 1},             {"ne", 1},             {"and", 1},           {"or", 1},
    {"not", 0},            {"xor", 1},            {"newdoubles", 0},    {"setd", 1},
    {"getd", 0},           {"addgetd", 1},        {"getdadd", 1},       {"newdoublearrays", 0},
    {"newdoublearray", -2}, {"setda", 2},         {"getda", 1},         {"addgetda", 2},
    {"call", 0},           {"calfor", -2},        {"para", 1},          {"calcfor", -2},
    {"califor", -2},       {"atan2", 1},          {"max", -2},          {"min", -2},
    {"fmod", 1},           {"modf", 0},           {"sign", 1},          {"dim", 1},
    {"simpintegrate", -2}, {"sum", -2},           {"pro", -2},          {"datasum", -2},
    {"datapro", -2},       {"setstackmax", 0},    {"setcyclemax", 0},   {"dataarraysum", -2},
};

const char RealTraits::kUnaryNames[22][5] = {
    "mov ", "sqrt", "exp ", "ln  ", "lg  ", "sin ", "cos ", "tan ", "asin", "acos", "atan",
    "sinh", "cosh", "tanh", "abs ", "int ", "a   ", "b   ", "c   ", "d   ", "e   ", "f   ",
};

using R = RealTraits;

double realCalcfor(int32_t last, double* a) noexcept { return callWithArgs<R, ComplexTraits>(NEST_CALX1, last, a); }
double realCalifor(int32_t last, double* a) noexcept { return callWithArgs<R, IntTraits>(NEST_CALX2, last, a); }

template <>
const R::Fn BuiltinHandlers<R>::table[R::kBuiltinCount] = {
    notCalled<R>, notCalled<R>, notCalled<R>, notCalled<R>, notCalled<R>, notCalled<R>,
    notCalled<R>, notCalled<R>, notCalled<R>, notCalled<R>, notCalled<R>, notCalled<R>,
    notCalled<R>, notCalled<R>, notCalled<R>, notCalled<R>, notCalled<R>, notCalled<R>,
    newNumbers<R>, setNumber<R>, getNumber<R>, addGetNumber<R>, getNumberAdd<R>,
    newArrays<R>, newArray<R>, setArrayElement<R>, getArrayElement<R>, addGetArrayElement<R>,
    callKeep<R>, calfor<R>, para<R>, realCalcfor, realCalifor,
    numeric::atan2Fn, numeric::maxFn, numeric::minFn, numeric::fmodFn, numeric::modfFn,
    numeric::signFn, numeric::dimFn, numeric::simpIntegrate, numeric::sum, numeric::pro,
    numeric::dataSum, numeric::dataPro, setStackMaxFn<R>, setCycleMaxFn<R>, numeric::dataArraySum,
};

}  // namespace qx

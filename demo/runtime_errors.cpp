// Short explanations of run-time errors, shown under the "QUIBEX运行错误"
// line: this program's own host functions by name, everything else as the
// library's text for it (fcerrtext) in Chinese.
#include <cstring>

#include "demo.h"

namespace demo {

namespace {

// The library's texts (fcerrtext), each with its Chinese. The library
// decides which function records which number with which meaning; this
// program only translates, so the two cannot disagree.
struct Translation {
  const char* english;
  const char* chinese;
};

const Translation kLibraryTexts[] = {
    {"no error", "没有错误"},
    {"evaluation interrupted (fcinterrupt)", "计算被fcinterrupt中断"},
    {"loop level limit exceeded (setstackmax)", "循环嵌套超过层数限制（setstackmax）"},
    {"iteration limit exceeded (setcyclemax)", "循环次数超过限制（setcyclemax）"},
    {"no condition holds and there is no default value, or no arguments", "没有成立的条件，也没有缺省值，或没有参数"},
    {"level limit outside 1 to 32766", "层数限制不在1到32766之间"},
    {"out of memory for the loop records", "循环记录内存不足"},
    {"iteration limit less than 2", "循环次数限制小于2"},
    {"out of memory for the number store", "数值存储区内存不足"},
    {"out of memory for the array store", "数组存储区内存不足"},
    {"index outside the number store, or no number store exists", "下标超出数值存储区，或数值存储区不存在"},
    {"fewer than two arguments", "参数少于两个"},
    {"no array store exists", "数组存储区不存在"},
    {"array index outside the array store", "数组号超出数组存储区"},
    {"out of memory for the array", "数组内存不足"},
    {"more initial values than elements", "初值比元素多"},
    {"element index outside the array", "元素下标超出数组"},
    {"no arguments", "没有参数"},
    {"parameter index outside the formula's parameters", "参数序号超出表达式的参数"},
    {"no convergence within 25 refinement passes or the iteration limit", "在细分次数内不收敛"},
    {"wrong number of arguments, or a count of fixed values outside 0 to the parameter count",
     "参数个数不对，或固定值个数不在0到参数个数之间"},
    {"wrong number of values, or a count of fixed values outside 0 to the parameter count",
     "参数个数不对，或固定值个数不在0到参数个数之间"},
    {"the fixed values leave no free parameter", "固定值占满了所有参数，没有可变的参数"},
    {"out of memory for the loop counters", "循环计数器内存不足"},
    {"a range with start greater than end, a step not greater than 0, or no finite point count",
     "区间的起点大于终点、步长不大于0，或点数不是有限的"},
    {"out of memory for the data values", "数据内存不足"},
    {"fewer than one data point, or out of memory for the array indices", "数据点少于一个，或内存不足"},
    {"a data array missing or shorter than the number of data points", "数据数组不存在或比数据点数短"},
    {"nested evaluations too deep (chain of 1000, or too little native stack)", "嵌套计算太深（超过1000层或栈空间不足）"},
    {"call of a function that is no longer in the function table", "调用的函数已不在函数表中"},
    {"nesting level limit exceeded (setstackmax), or nested evaluations too deep",
     "表达式调用嵌套超过层数限制（setstackmax），或嵌套太深"},
    {"the called formula table has no rows", "被调用类型的表达式表没有行"},
    {"row outside the formula table", "表达式号超出表达式表"},
    {"the row holds no compiled formula", "该行没有编译好的表达式"},
    {"wrong number of arguments: too few for the function, or not what the called formula takes",
     "被调用表达式的参数个数不对"},
    {"level limit or nesting depth exceeded", "超过层数限制或嵌套太深"},
    {"run-time error (its meaning depends on the function that recorded it)", "运行错误，含义由记录它的函数决定"},
};

// This program's own host functions record numbers of their own.
struct HostText {
  const char* name;
  int32_t number;
  const char* text;
};

const HostText kHostTexts[] = {
    {"average", -1, "没有参数"},
    {"printstr", 1, "字符串号超出字符串表，或该号没有字符串"},
    {"sintegrate", -2, "sintegrate嵌套超过10层"},
    {"sintegrate", 1, "表达式号不在0到49之间"},
    {"sintegrate", 2, "表达式没有编译"},
    {"sintegrate", 3, "参数少于四个，或其余参数的个数与表达式的参数不符"},
    {"sintegrate", 4, "在细分次数内不收敛"},
};

}  // namespace

const char kUntranslatedError[] = "运行错误";

const char* runtimeErrorText(int32_t number, const char* name) {
  if (name) {
    for (const HostText& t : kHostTexts)
      if (t.number == number && std::strcmp(t.name, name) == 0) return t.text;
  }
  const char* english = api.fcerrtext(number, name);
  for (const Translation& t : kLibraryTexts)
    if (std::strcmp(t.english, english) == 0) return t.chinese;
  return kUntranslatedError;
}

}  // namespace demo

// Short explanations of run-time errors, shown under the "QUIBEX运行错误"
// line. A number means what the function named with it says, so the text is
// found by the function's name first (the library's built-in functions of
// all three engines and this program's host functions), then by the number
// alone. The grouping follows the library's own table of texts (fcerrtext).
#include <cstring>

#include "demo.h"

namespace demo {

namespace {

struct Text {
  const char* names;  // the functions, each followed by a blank
  int32_t number;
  const char* text;
};

const char kCalls[] = "call calfor calrfor calcfor califor para simpintegrate sum pro datasum datapro dataarraysum ";

const Text kTexts[] = {
    {"interrupt ", -3, "计算被fcinterrupt中断"},
    {"for dowhile ", -2, "循环嵌套超过层数限制（setstackmax）"},
    {"for dowhile continue ", 1, "循环次数超过限制（setcyclemax）"},
    {"which ", 1, "没有成立的条件，也没有缺省值，或没有参数"},
    {"setstackmax ", 1, "层数限制不在1到32766之间"},
    {"setstackmax ", 2, "循环记录内存不足"},
    {"setcyclemax ", 1, "循环次数限制小于2"},
    {"newdoubles newcomplexs newlongs ", 1, "数值存储区内存不足"},
    {"newdoublearrays newcomplexarrays newlongarrays ", 1, "数组存储区内存不足"},
    {"setd getd addgetd getdadd setc getc addgetc getcadd seti geti addgeti getiadd ", 1,
     "下标超出数值存储区，或数值存储区不存在"},
    {"newdoublearray newcomplexarray newlongarray ", 1, "参数少于两个"},
    {"newdoublearray newcomplexarray newlongarray ", 2, "数组存储区不存在"},
    {"newdoublearray newcomplexarray newlongarray ", 3, "数组号超出数组存储区"},
    {"newdoublearray newcomplexarray newlongarray ", 4, "数组内存不足"},
    {"newdoublearray newcomplexarray newlongarray ", 5, "初值比元素多"},
    {"setda getda addgetda setca getca addgetca setia getia addgetia ", 1, "数组存储区不存在"},
    {"setda getda addgetda setca getca addgetca setia getia addgetia ", 2, "数组号超出数组存储区"},
    {"setda getda addgetda setca getca addgetca setia getia addgetia ", 3, "元素下标超出数组"},
    {"max min ", 1, "没有参数"},
    {"para ", 3, "参数序号超出表达式的参数"},
    {"simpintegrate ", 4, "在细分次数内不收敛"},
    {"sum pro datasum datapro dataarraysum ", 3, "参数个数不对，或固定值个数不在0到参数个数之间"},
    {"sum pro datasum datapro dataarraysum ", 4, "固定值占满了所有参数，没有可变的参数"},
    {"sum pro ", 5, "循环计数器内存不足"},
    {"sum pro ", 6, "区间的起点大于终点、步长不大于0，或点数不是有限的"},
    {"datasum datapro ", 5, "数据内存不足"},
    {"dataarraysum ", 5, "数据点少于一个，或内存不足"},
    {"dataarraysum ", 6, "数据数组不存在或比数据点数短"},
    {kCalls, -2, "表达式调用嵌套超过层数限制（setstackmax），或嵌套太深"},
    {kCalls, -1, "被调用类型的表达式表没有行"},
    {kCalls, 1, "表达式号超出表达式表"},
    {kCalls, 2, "该行没有编译好的表达式"},
    {kCalls, 3, "被调用表达式的参数个数不对"},
    {"rcal rcals Ccal Ccals Ical Icals ", -2, "嵌套计算太深（超过1000层或栈空间不足）"},
    {"unknown function ", 3, "调用的函数已不在函数表中"},
    // This program's host functions.
    {"average ", -1, "没有参数"},
    {"printstr ", 1, "字符串号超出字符串表，或该号没有字符串"},
    {"sintegrate ", -2, "sintegrate嵌套超过10层"},
    {"sintegrate ", 1, "表达式号不在0到49之间"},
    {"sintegrate ", 2, "表达式没有编译"},
    {"sintegrate ", 3, "参数少于四个，或其余参数的个数与表达式的参数不符"},
    {"sintegrate ", 4, "在细分次数内不收敛"},
};

// True when `name` is one of the blank-terminated names in `list`.
bool listed(const char* list, const char* name) {
  const size_t n = std::strlen(name);
  for (const char* p = list; *p;) {
    const char* end = std::strchr(p, ' ');
    if (!end) break;
    // "unknown function" holds a blank itself: compare the whole name first.
    if (std::strncmp(p, name, n) == 0 && p[n] == ' ') return true;
    p = end + 1;
  }
  return false;
}

}  // namespace

const char* runtimeErrorText(int32_t number, const char* name) {
  if (name) {
    for (const Text& t : kTexts)
      if (t.number == number && listed(t.names, name)) return t.text;
  }
  switch (number) {
    case -3: return "计算被fcinterrupt中断";
    case -2: return "超过层数限制或嵌套太深";
    case -1: return "被调用类型的表达式表没有行";
    default: return "运行错误，含义由记录它的函数决定";
  }
}

}  // namespace demo

// Short explanations of the library's compile result codes, shown under
// "编译错误代码：N" so that a user sees what went wrong.
#include "demo.h"

namespace demo {

namespace {

// Indexed by code; code 0 is success.
const char* const kCompileErrors[] = {
    "",
    "语法错误：运算符在开头或结尾，两个运算符或两个运算量相连（不能省略乘号），或赋值的位置不对",
    "表达式为空：没有内容、括号内为空、以逗号开头，或等号后为空",
    "参数表的等号前缺少右括号“)”",
    "参数表的等号前缺少左括号“(”，或等号在表达式开头",
    "参数表中有非法字符：只能用小写字母、数字、下划线和逗号",
    "参数名或被赋值的变量名以数字开头",
    "参数名重复",
    "括号不配对：个数不等，或左右括号种类不同",
    "复数表达式的参数或局部变量不能叫i",
    "未定义的函数",
    "表达式太长，编译工作区放不下",
    "未定义的名称：既不是变量，也不是常量",
    "数字的格式错误",
    "非法字符，例如不分隔函数参数的逗号、冒号、“!”或控制字符",
    "内存不足",
    "函数的参数个数不对或有空参数，或break、continue不在for、dowhile之内",
    "逗号后的分段不是“名称=表达式”的形式",
    "字符串中有非法的转义符，或缺少右引号",
    "使用了字符串，但没有字符串表",
    "字符串太多，或代换后的表达式太长",
    "保存字符串时内存不足",
    "$\"名称\"：没有这个名称的表达式",
    "#\"名称\"：没有这个名称和类型的表达式",
    "&\"文本\"或@\"文本\"：找不到这个字符串",
    "字符串表已满",
    "表达式的行号超出表达式表，或表达式表还不存在",
    "这一行的表达式正在计算，不能重新编译",
};

constexpr int32_t kCodes = static_cast<int32_t>(sizeof kCompileErrors / sizeof kCompileErrors[0]);
static_assert(kCodes == 28, "one explanation for each of the codes 1 to 27");

}  // namespace

const char* compileErrorText(int32_t code) {
  return code > 0 && code < kCodes ? kCompileErrors[code] : "未知的错误代码";
}

}  // namespace demo

// Texts of compile codes and run-time error numbers (comerrtext, fcerrtext).
#pragma once
#include <cstdint>

namespace qx::texts {

// Text of compile code 0 .. 27; a generic text for any other code.
const char* compileText(int32_t code) noexcept;
// Text of run-time error `number` as recorded by the function `name` (null
// or unknown: a text for the number alone). Never null.
const char* runtimeText(int32_t number, const char* name) noexcept;

extern const char kInterruptedText[];

}  // namespace qx::texts

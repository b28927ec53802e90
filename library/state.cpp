// Library-wide state and the shared helpers that have no better home.
#include "engine.h"
#include "evaluator/evaluator.h"
#include "opcodes.h"

namespace qx {

Library gLib;

const char kUnknownFunction[] = "unknown function";

// Machine code reads the request as a plain 32-bit word.
static_assert(std::atomic<int32_t>::is_always_lock_free && sizeof(std::atomic<int32_t>) == 4,
              "the interrupt request is one lock-free 32-bit word");
std::atomic<int32_t> gInterrupt{0};
const char kInterruptName[] = "interrupt";

const char* opName(uint8_t code) noexcept {
  switch (code) {
#define QX_OP_NAME(name, value, scan, text) \
  case value:                               \
    return #name;
    QX_OPCODES(QX_OP_NAME)
#undef QX_OP_NAME
    default:
      return nullptr;
  }
}

}  // namespace qx

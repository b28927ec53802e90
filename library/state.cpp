// Library-wide state and the shared helpers that have no better home.
#include "engine.h"
#include "evaluator/evaluator.h"
#include "opcodes.h"

namespace qx {

Library gLib;

const char kUnknownFunction[] = "unknown function";

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

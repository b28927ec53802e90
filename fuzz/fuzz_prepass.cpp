// Fuzzes the source pre-pass against a string table that lives across
// inputs, so that lookups meet what earlier inputs stored.
//
// Input: byte 0 picks the row (its top bit a row near the largest one),
// byte 1 the type (low two bits) and table operations (high bits); the rest
// is the formula text, up to the first zero byte.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "string_table.h"

namespace st = qx::strings;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static bool ready = false;
  if (!ready) ready = st::setMax(20) == 1;
  if (size < 2) return 0;

  const int32_t row = (data[0] & 0x80) ? INT32_MAX - (data[0] & 0x7F) : (data[0] & 0x0F);
  const int type = 1 + (data[1] & 0x03) % 3;
  if ((data[1] & 0xF0) == 0xF0) st::setMax(10 + (data[1] & 0x0C) * 2);  // 10, 18, 26, 34
  else if ((data[1] & 0xF0) == 0xE0) st::init();

  const size_t length = size - 2;
  char* text = static_cast<char*>(std::malloc(length + 1));
  if (!text) return 0;
  std::memcpy(text, data + 2, length);
  text[length] = 0;

  const char* out = nullptr;
  const int r = st::prepass(text, type, row, &out);
  if (r < -1 || r > 8) std::abort();
  if (std::memcmp(text, data + 2, length) != 0) std::abort();
  if (r == -1) {
    int32_t* lengths = nullptr;
    char** texts = st::get(&lengths);
    const size_t n = std::strlen(out);
    if (!texts || out != texts[0] || n > 32766 || static_cast<int64_t>(n) >= lengths[0]) std::abort();
    if (std::memchr(out, '"', n)) std::abort();
  }
  std::free(text);
  return 0;
}

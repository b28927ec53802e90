// The library-wide string table shared by the three engines.
//
// Slot 0 is the pre-pass's work buffer (the rewritten formula text); slots
// 1 .. capacity-1 hold the texts of string literals. Owner tags: 0 = free,
// 'r'/'c'/'i' = the literal names its formula, 2/3/1 = another literal of a
// real/complex/integer formula.
#pragma once
#include <cstdint>

namespace qx::strings {

// setfcstrmax: a new empty table of n slots (n >= 10), 1 on success.
uint8_t setMax(int32_t n) noexcept;
// getfcstr: the texts array; the lengths array is stored at *lengths
// (when lengths is not null). Null when no table exists.
char** get(int32_t** lengths) noexcept;
// initfcstr: empties the table, keeping its memory.
void init() noexcept;
// deletedll: releases the table; afterwards no table exists.
void release() noexcept;

// Source pre-pass of a compile driver.
//   typeCode: 1 integer, 2 real, 3 complex.
// Returns 0 when the text holds no literal (compile the caller's text),
// -1 when the rewritten text is at *rewritten (compile that; it lives in
// slot 0 until the next pre-pass), or 1..8 for an error.
// The caller's text is only read.
int prepass(const char* text, int typeCode, int32_t row, const char** rewritten) noexcept;

// Where the last pre-pass failed: the 0-based offset in its text of the
// backslash of a bad escape, or the start (prefix character, else opening
// quote) of the literal concerned; the first literal for errors 2 and 3.
int32_t errorOffset() noexcept;
// After a pre-pass that returned -1: for each character of the rewritten
// text (and its terminator), the offset in the caller's text it came from;
// a literal's replacement maps to the literal's start.
const int32_t* origins() noexcept;

// Gives back every slot owned by (row, typeCode) as a compile into that row
// does before anything else.
void giveBack(int typeCode, int32_t row) noexcept;

// True when (row, typeCode) owns at least one slot.
bool owns(int typeCode, int32_t row) noexcept;

namespace testing {
// Owner tag and row of every slot, and the high-water mark (tests only).
struct Owners {
  int32_t highWater;
  const uint8_t* tags;
  const int32_t* rows;
};
Owners owners() noexcept;
}  // namespace testing

}  // namespace qx::strings

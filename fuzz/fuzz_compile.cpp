// Compiles arbitrary formula texts with the three compile drivers and checks
// what every compilation leaves behind.
//
// Input: byte 0 configures the library (string table, named constants, host
// functions); then up to 8 records separated by zero bytes. A record is a
// selector byte and a formula text:
//   bits 0-1  engine: 0 real, 1 complex, 2 integer, 3 all three in turn
//   bits 2-4  row 0 .. 7
//   bit 5     use the STD twin of the compile export
//   bits 6-7  1: compile the record twice; 3: repeat the text, the next byte
//             n giving (n + 1) * 8 copies, so that short inputs reach the
//             long-text paths of the driver (kept rare: long texts are slow)
// Every text without string literals whose brackets pair up is also compiled
// inside one more pair of brackets, which the compiler strips: the result
// must be the same. After the records, every such text that compiled is
// compiled again into a spare row and must give an identical row.
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "harness.h"

namespace {

constexpr int32_t kRows = 9;  // rows 0 .. 7 for records, row 8 spare
constexpr int32_t kSpare = 8;

struct Done {
  int engine;
  int32_t row;
  std::string text;
};

template <class T>
bool sameRows(int32_t a, int32_t b) {
  using V = typename T::Value;
  auto& t = qx::engine<T>().table;
  const int32_t* ha = t.header[a];
  const int32_t* hb = t.header[b];
  for (int i = 0; i < 4; ++i)
    if (ha[i] != hb[i]) return false;
  const int32_t codeLength = ha[qx::H_CODE_LENGTH], refCount = ha[qx::H_REF_COUNT], lastSlot = ha[qx::H_LAST_SLOT];
  if (std::memcmp(t.code[a], t.code[b], static_cast<size_t>(codeLength) + 1) != 0) return false;
  const int64_t vars = t.ptrs[a][0] - t.vals[a];
  if (t.ptrs[b][0] - t.vals[b] != vars) return false;
  // Constants must be bit-identical (folding runs the same evaluator).
  if (lastSlot + 1 > vars &&
      std::memcmp(t.vals[a] + vars, t.vals[b] + vars, sizeof(V) * static_cast<size_t>(lastSlot + 1 - vars)) != 0)
    return false;
  for (int32_t i = 1; i <= refCount; ++i)
    if (t.ptrs[a][i] - t.vals[a] != t.ptrs[b][i] - t.vals[b]) return false;
  return true;
}

bool sameRows(int engine, int32_t a, int32_t b) {
  switch (engine) {
    case 0: return sameRows<fz::RealTraits>(a, b);
    case 1: return sameRows<fz::ComplexTraits>(a, b);
    default: return sameRows<fz::IntTraits>(a, b);
  }
}

int32_t workSize(int engine) {
  switch (engine) {
    case 0: return qx::gLib.real.work.size;
    case 1: return qx::gLib.cplx.work.size;
    default: return qx::gLib.integer.work.size;
  }
}

// Compiles one text into one row and checks the outcome against what the
// driver promises for that result code.
int compileOne(int engine, int32_t row, const std::string& text, bool twin) {
  std::vector<char> buf(text.begin(), text.end());
  buf.push_back(0);
  const bool before = fz::compiled(engine, row);
  int32_t lastArg = -12345;
  const int32_t r = fz::compileText(engine, row, buf.data(), &lastArg, twin);
  fz::checkIdle();
  FZ_CHECK(std::memcmp(buf.data(), text.c_str(), text.size() + 1) == 0);  // text given back unchanged
  FZ_CHECK(r >= 0 && r <= QX_ERR_STRING_TABLE_FULL);
  if (engine != 1) FZ_CHECK(r != QX_ERR_PARAM_I);
  if (r == QX_ERR_TOO_LONG) FZ_CHECK(workSize(engine) >= 32766);
  // The error position lies in the host's text and, where it names the
  // offending character, points at one of the right kind.
  const int32_t pos = engine == 0 ? comerrpos() : engine == 1 ? Ccomerrpos() : Icomerrpos();
  if (r == QX_OK) {
    FZ_CHECK(pos == -1);
  } else {
    FZ_CHECK(pos >= 0 && static_cast<size_t>(pos) <= text.size());
    const unsigned char c = static_cast<size_t>(pos) < text.size() ? static_cast<unsigned char>(text[pos]) : 0;
    const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
    const bool digit = c >= '0' && c <= '9';
    // A literal's replacement (digits) can start a number or a name that
    // goes wrong; the position is then the literal's start.
    const bool literal = c && std::strchr("\"$#&@", c);
    if (r == QX_ERR_BRACKETS) FZ_CHECK(c && std::strchr("()[]{}", c));
    if (r == QX_ERR_UNDEFINED_FUNCTION) FZ_CHECK(letter || digit || literal);
    if (r == QX_ERR_UNDEFINED_NAME) FZ_CHECK(letter);
    if (r == QX_ERR_BAD_NUMBER) FZ_CHECK(digit || c == '.' || literal);
    if (r == QX_ERR_BAD_CHAR) FZ_CHECK(c != 0 && c != ' ' && !letter);
  }
  if (r == QX_OK) {
    fz::checkCompiled(engine, row);
    // Whatever compiles has brackets that pair by kind, except in a formula
    // name, which ends at the first "(" and is ignored.
    if (text.find('"') == std::string::npos)
      FZ_CHECK(fz::balanced(text) || (text.find('(') != std::string::npos && fz::balanced(text.substr(text.find('(')))));
    int32_t* argc = engine == 0 ? getvarnum() : engine == 1 ? Cgetvarnum() : Igetvarnum();
    FZ_CHECK(lastArg == argc[row]);
  } else {
    FZ_CHECK(lastArg == -12345);  // not written on failure
    const bool now = fz::compiled(engine, row);
    if (r >= QX_ERR_STRING_LITERAL) FZ_CHECK(!now || before);  // pre-pass errors leave the row alone
    else FZ_CHECK(!now);
  }
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  fz::Reader in{data, data + size};
  const uint8_t config = in.byte();

  deletedll();
  FZ_CHECK(qx::testing::liveAllocations() == 0);
  if (config & 1) FZ_CHECK(setfcstrmax(40) == 1);
  fz::registerConstants(config & 2);
  if (config & 4) {
    for (int e = 0; e < 3; ++e) FZ_CHECK(fz::registerHosts(e, (config >> 4) & 1) == 1);
  }
  for (int e = 0; e < 3; ++e) FZ_CHECK(fz::sizeTable(e, kRows, false) == 1);
  userci();

  std::vector<Done> done;
  for (int record = 0; record < 8 && !in.empty(); ++record) {
    const uint8_t sel = in.byte();
    const bool repeated = (sel & 0xC0) == 0xC0;
    const bool twice = (sel & 0xC0) == 0x40;
    const uint8_t repeat = repeated ? in.byte() : 0;
    std::string text = in.text();
    if (repeated) {
      const std::string unit = text;
      for (int k = 0; k < (repeat + 1) * 8 && text.size() < 40000; ++k) text += unit;
    }
    const int32_t row = (sel >> 2) & 7;
    const bool twin = sel & 0x20;
    const int first = (sel & 3) == 3 ? 0 : sel & 3;
    const int last = (sel & 3) == 3 ? 2 : first;
    for (int e = first; e <= last; ++e) {
      int r = compileOne(e, row, text, twin);
      if (twice) r = compileOne(e, row, text, !twin);
      if (r != QX_ERR_TOO_LONG && text.find('"') == std::string::npos && fz::balanced(text)) {
        const int wrapped = compileOne(e, kSpare, "(" + text + ")", false);
        if (wrapped != QX_ERR_TOO_LONG) {
          FZ_CHECK(wrapped == r);
          if (r == QX_OK) FZ_CHECK(sameRows(e, row, kSpare));
        }
      }
      // Later compilations into the row replace it; keep the latest only.
      for (auto it = done.begin(); it != done.end();)
        it = (it->engine == e && it->row == row) ? done.erase(it) : it + 1;
      if (r == QX_OK && text.find('"') == std::string::npos) done.push_back({e, row, text});
    }
  }

  // The same text compiles to the same row, whatever was compiled between.
  for (const Done& d : done) {
    if (!fz::compiled(d.engine, d.row)) continue;
    FZ_CHECK(compileOne(d.engine, kSpare, d.text, false) == QX_OK);
    FZ_CHECK(sameRows(d.engine, d.row, kSpare));
  }

  fz::releaseAndCheck();
  return 0;
}

// The library-wide string table and the source pre-pass that fills it.
//
// Invariants kept by every operation here:
//   - slots 1 .. searchStart are all in use, so a search for a free slot can
//     start just above searchStart and the table is full exactly when no slot
//     above it is free and highWater == capacity - 1;
//   - slots above highWater are invisible: their texts and tags may be left
//     over from before init() and are overwritten when the mark reaches them;
//   - every slot in use (tag != 0, 1 <= slot <= highWater) has a text of
//     lengths[slot] bytes that ends in a zero byte;
//   - the slots of one formula (type and row) all come from one pre-pass:
//     each pre-pass gives the formula's earlier slots back before it takes
//     any. So a formula has at most one name slot, the first it took, and
//     nameSlots[slot] of each of its slots in use points to it (0 when the
//     formula's first literal was a prefixed one, so it has no name).
// Texts are handled as unsigned bytes throughout: literals may hold any byte
// but the zero terminator (GBK text among them).
#include "string_table.h"

#include <cstring>

#include "alloc.h"

namespace qx::strings {
namespace {

// Owner tag of a free slot. A slot in use holds a type code (1 integer,
// 2 real, 3 complex) or, for the literal that names its formula, the letter.
constexpr uint8_t kFree = 0;

// The longest rewritten text handed to a compiler.
constexpr int64_t kMaxText = 32766;
// The most characters a literal can become: a row number with its sign.
constexpr int64_t kMaxReplacement = 11;

struct StringTable {
  int32_t capacity = 0;
  char** texts = nullptr;
  int32_t* lengths = nullptr;
  uint8_t* tags = nullptr;
  int32_t* rows = nullptr;
  int32_t* nameSlots = nullptr;
  int32_t searchStart = 0;
  int32_t highWater = 0;
};

StringTable gTable;

// Origin of each character of the rewritten text in slot 0 (same size as
// that buffer), and where the last pre-pass failed.
int32_t* gOrigin = nullptr;
int32_t gErrorOffset = 0;

uint8_t letterOfCode(int code) {
  switch (code) {
    case 1: return 'i';
    case 2: return 'r';
    case 3: return 'c';
    default: return 0;
  }
}

bool isLetter(uint8_t tag) { return tag == 'i' || tag == 'r' || tag == 'c'; }

// The type letter of the formula that owns a slot with this tag.
uint8_t ownerLetter(uint8_t tag) { return isLetter(tag) ? tag : letterOfCode(tag); }

char typeDigit(uint8_t letter) { return letter == 'i' ? '1' : letter == 'r' ? '2' : '3'; }

bool isPrefix(unsigned char ch) { return ch == '$' || ch == '#' || ch == '&' || ch == '@'; }

void releaseTable() {
  StringTable& t = gTable;
  if (t.texts) {
    for (int32_t s = 0; s < t.capacity; ++s) qx::freeArray(t.texts[s]);
  }
  qx::freeArray(t.texts);
  qx::freeArray(t.lengths);
  qx::freeArray(t.tags);
  qx::freeArray(t.rows);
  qx::freeArray(t.nameSlots);
  qx::freeArray(gOrigin);
  t.capacity = 0;
  t.searchStart = 0;
  t.highWater = 0;
}

// The closing quote of the literal whose first character is at p (just past
// the opening quote), or null when the literal is malformed: an escape other
// than \\ or \", or the terminator before the closing quote. Never reads past
// the terminator.
const unsigned char* literalEnd(const unsigned char* p) {
  for (;;) {
    const unsigned char ch = *p;
    if (ch == 0) return nullptr;
    if (ch == '"') return p;
    if (ch == '\\') {
      if (p[1] != '\\' && p[1] != '"') return nullptr;
      p += 2;
    } else {
      ++p;
    }
  }
}

// Whether the stored text equals the literal body [p, end) with its escapes
// reduced.
bool sameText(const char* stored, const unsigned char* p, const unsigned char* end) {
  const unsigned char* s = reinterpret_cast<const unsigned char*>(stored);
  for (; p < end; ++p, ++s) {
    if (*p == '\\') ++p;
    if (*s != *p) return false;  // also stops at the stored terminator
  }
  return *s == 0;
}

bool inBlock(const void* p, const char* block, int64_t size) {
  if (!block) return false;
  const auto a = reinterpret_cast<uintptr_t>(p);
  const auto b = reinterpret_cast<uintptr_t>(block);
  return a >= b && a - b < static_cast<uint64_t>(size);
}

// A host may hand the pre-pass a text that it read from the table: a stored
// literal such as "\"a\"" is itself a text with a literal, and compiling it
// into the row that owns it reuses its slot. The block that holds the
// caller's text is released only when the pre-pass has finished reading.
class Releaser {
 public:
  explicit Releaser(const void* text) : text_(text) {}
  ~Releaser() { qx::freeArray(kept_); }
  Releaser(const Releaser&) = delete;
  Releaser& operator=(const Releaser&) = delete;

  void release(char*& block, int64_t size) {
    if (!kept_ && inBlock(text_, block, size)) {
      kept_ = block;
      block = nullptr;
    } else {
      qx::freeArray(block);
    }
  }

 private:
  const void* text_;
  char* kept_ = nullptr;
};

// Output into the work buffer, refusing to go beyond `limit` characters.
// Every character put records `from`, its origin in the caller's text.
struct Output {
  char* buf;
  int32_t* origin;
  int64_t limit;
  int64_t n = 0;
  int32_t from = 0;

  bool put(const char* s, int64_t count) {
    if (count > limit - n) return false;
    std::memcpy(buf + n, s, static_cast<size_t>(count));
    for (int64_t k = 0; k < count; ++k) origin[n + k] = from;
    n += count;
    return true;
  }
  bool putNumber(int64_t v) {
    char digits[24];
    int len = 0;
    const bool negative = v < 0;
    uint64_t u = negative ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
    do {
      digits[sizeof digits - 1 - len++] = static_cast<char>('0' + u % 10);
      u /= 10;
    } while (u);
    if (negative) digits[sizeof digits - 1 - len++] = '-';
    return put(digits + sizeof digits - len, len);
  }
};

// One run of the pre-pass over one text.
class Prepass {
 public:
  Prepass(const unsigned char* text, int typeCode, int32_t row)
      : text_(text), code_(static_cast<uint8_t>(typeCode)), letter_(letterOfCode(typeCode)),
        row_(row), releaser_(text) {}

  int run(const char** rewritten) {
    int64_t count = 0, quoted = 0, length = 0;
    gErrorOffset = 0;
    if (!measure(&count, &quoted, &length)) return 1;
    if (count == 0) return 0;
    gErrorOffset = firstLiteral_;
    if (!gTable.texts || letter_ == 0) return 2;

    int64_t e = 1;
    for (int32_t c = gTable.capacity; c >= 10; c /= 10) ++e;
    if (count > kMaxText / e - 3 || length + 1 - quoted + count * e > kMaxText) return 3;

    // Slot numbers have at most e digits, but a row number put in place of
    // #"…" has up to kMaxReplacement characters, so the buffer is sized for
    // that; nothing beyond kMaxText characters is ever produced.
    int64_t need = length + 1 - quoted + count * kMaxReplacement;
    if (need > kMaxText + 1) need = kMaxText + 1;
    if (!workBuffer(need)) return 4;

    Output out{gTable.texts[0], gOrigin, static_cast<int64_t>(gTable.lengths[0]) - 1};
    if (out.limit > kMaxText) out.limit = kMaxText;
    const int r = copy(out);
    out.buf[out.n] = 0;
    out.origin[out.n] = static_cast<int32_t>(length);
    if (r != 0) {
      giveBack(code_, row_);
      return r;
    }
    if (rewritten) *rewritten = out.buf;
    return -1;
  }

 private:
  // Counts the literals, the characters they span (quotes included) and the
  // length of the text; false when a literal is malformed.
  bool measure(int64_t* count, int64_t* quoted, int64_t* length) {
    const unsigned char* p = text_;
    for (;;) {
      // Most texts have no literal: the search for a quote is the whole scan.
      const char* quote = std::strchr(reinterpret_cast<const char*>(p), '"');
      if (!quote) {
        p += std::strlen(reinterpret_cast<const char*>(p));
        break;
      }
      p = reinterpret_cast<const unsigned char*>(quote);
      const unsigned char* end = literalEnd(p + 1);
      if (!end) {
        gErrorOffset = malformedAt(p);
        return false;
      }
      if (*count == 0) firstLiteral_ = offset(p > text_ && isPrefix(p[-1]) ? p - 1 : p);
      ++*count;
      *quoted += end - p + 1;
      p = end + 1;
    }
    *length = p - text_;
    return true;
  }

  int32_t offset(const unsigned char* p) const { return static_cast<int32_t>(p - text_); }

  // The backslash of the bad escape in the literal opening at `quote`, or
  // the quote itself when the literal is not closed.
  int32_t malformedAt(const unsigned char* quote) const {
    for (const unsigned char* p = quote + 1; *p; ++p) {
      if (*p != '\\') continue;
      if (p[1] != '\\' && p[1] != '"') return offset(p);
      ++p;
    }
    return offset(quote);
  }

  // Makes slot 0 hold at least `need` bytes. (The caller's text cannot lie
  // in it: a text with a literal has a quote, and no output has one.)
  static bool workBuffer(int64_t need) {
    char*& buf = gTable.texts[0];
    int32_t& size = gTable.lengths[0];
    if (buf && gOrigin && size >= need) return true;
    qx::freeArray(buf);
    qx::freeArray(gOrigin);
    size = 0;
    buf = qx::allocArray<char>(need);
    gOrigin = qx::allocArray<int32_t>(need);
    if (!buf || !gOrigin) {
      qx::freeArray(buf);
      qx::freeArray(gOrigin);
      return false;
    }
    size = static_cast<int32_t>(need);
    return true;
  }

  int copy(Output& out) {
    const unsigned char* p = text_;
    bool first = true;
    while (*p) {
      out.from = offset(p);
      unsigned char prefix = 0;
      if (isPrefix(*p) && p[1] == '"') prefix = *p++;
      if (*p != '"') {
        if (!out.put(reinterpret_cast<const char*>(p), 1)) return 3;
        ++p;
        continue;
      }
      const unsigned char* body = p + 1;
      const unsigned char* end = literalEnd(body);
      if (!end) return 1;  // measure() has already ruled this out
      int r;
      switch (prefix) {
        case '$': r = typeOf(body, end, out); break;
        case '#': r = rowOf(body, end, out); break;
        case '&': r = ownString(body, end, out); break;
        case '@': r = charString(body, end, out); break;
        default: r = store(body, end, first, out); break;
      }
      if (r != 0) {
        gErrorOffset = r == 3 ? firstLiteral_ : out.from;
        return r;
      }
      first = false;
      p = end + 1;
    }
    return 0;
  }

  // The highest name slot (tag = a type letter, or `letter` when not 0)
  // whose text equals the literal, or 0.
  static int32_t findName(uint8_t letter, const unsigned char* p, const unsigned char* end) {
    for (int32_t s = gTable.highWater; s >= 1; --s) {
      const uint8_t tag = gTable.tags[s];
      if (!isLetter(tag) || (letter != 0 && tag != letter)) continue;
      if (sameText(gTable.texts[s], p, end)) return s;
    }
    return 0;
  }

  int typeOf(const unsigned char* p, const unsigned char* end, Output& out) {
    const int32_t s = findName(0, p, end);
    if (s == 0) return 5;
    const char digit = typeDigit(gTable.tags[s]);
    return out.put(&digit, 1) ? 0 : 3;
  }

  int rowOf(const unsigned char* p, const unsigned char* end, Output& out) {
    uint8_t letter = letter_;
    if (end - p >= 2 && p[1] == '#' && isLetter(p[0])) {
      letter = p[0];
      p += 2;
    } else if (end - p >= 1 && p[0] == '#') {
      letter = 0;
      p += 1;
    }
    const int32_t s = findName(letter, p, end);
    if (s == 0) return 6;
    return out.putNumber(gTable.rows[s]) ? 0 : 3;
  }

  // Only this pre-pass can own slots of this row and type: it gave the
  // earlier ones back before it started, and its slots rise in order, so
  // the highest match is the most recent.
  int ownString(const unsigned char* p, const unsigned char* end, Output& out) {
    for (int32_t s = gTable.highWater; s >= 1; --s) {
      const uint8_t tag = gTable.tags[s];
      if (gTable.rows[s] != row_ || (tag != code_ && tag != letter_)) continue;
      if (sameText(gTable.texts[s], p, end)) return out.putNumber(s) ? 0 : 3;
    }
    return 7;
  }

  // The highest slot in use with this text whose formula is named "char".
  // The owner's name slot (the nearest slot below with the owner's letter
  // and row) is kept per slot, so the search is one pass over the slots.
  int charString(const unsigned char* p, const unsigned char* end, Output& out) {
    for (int32_t s = gTable.highWater; s >= 1; --s) {
      const uint8_t tag = gTable.tags[s];
      if (tag == kFree || !sameText(gTable.texts[s], p, end)) continue;
      const int32_t n = gTable.nameSlots[s];
      if (n < 1 || n > s || gTable.tags[n] != ownerLetter(tag) || gTable.rows[n] != gTable.rows[s]) continue;
      if (std::strcmp(gTable.texts[n], "char") == 0) return out.putNumber(s) ? 0 : 3;
    }
    return 7;
  }

  // Takes a slot for a plain literal. The slot is taken only once its text
  // is in place, so a failure leaves the counters as they were.
  int store(const unsigned char* p, const unsigned char* end, bool first, Output& out) {
    StringTable& t = gTable;
    int32_t s = 0;
    for (int32_t k = t.searchStart + 1; k <= t.highWater; ++k) {
      if (t.tags[k] == kFree) {
        s = k;
        break;
      }
    }
    if (s == 0) {
      if (t.highWater >= t.capacity - 1) return 8;
      s = t.highWater + 1;
    }
    const int64_t reserved = (end - p) + 1;
    if (reserved > INT32_MAX) return 3;  // the length entry could not hold it
    char* text = qx::allocArray<char>(reserved);
    if (!text) return 4;
    int64_t n = 0;
    for (; p < end; ++p) {
      if (*p == '\\') ++p;
      text[n++] = static_cast<char>(*p);
    }
    text[n] = 0;

    releaser_.release(t.texts[s], t.lengths[s]);
    t.texts[s] = text;
    t.lengths[s] = static_cast<int32_t>(reserved);
    t.tags[s] = first ? letter_ : code_;
    t.rows[s] = row_;
    if (first) nameSlot_ = s;
    t.nameSlots[s] = nameSlot_;
    t.searchStart = s;
    if (s > t.highWater) t.highWater = s;
    return out.putNumber(s) ? 0 : 3;
  }

  const unsigned char* text_;
  uint8_t code_;
  uint8_t letter_;
  int32_t row_;
  int32_t nameSlot_ = 0;  // the slot naming this formula, once stored
  int32_t firstLiteral_ = 0;  // start of the first literal (prefix or quote)
  Releaser releaser_;
};

}  // namespace

uint8_t setMax(int32_t n) noexcept {
  releaseTable();
  if (n < 10) return 0;
  StringTable& t = gTable;
  // Every entry starts zero: a host that reads lengths of unused slots sees 0.
  t.texts = qx::allocZeroed<char*>(n);
  t.tags = qx::allocZeroed<uint8_t>(n);
  t.lengths = qx::allocZeroed<int32_t>(n);
  t.rows = qx::allocZeroed<int32_t>(n);
  t.nameSlots = qx::allocZeroed<int32_t>(n);
  if (!t.texts || !t.tags || !t.lengths || !t.rows || !t.nameSlots) {
    releaseTable();
    return 0;
  }
  t.capacity = n;
  return 1;
}

char** get(int32_t** lengths) noexcept {
  if (lengths) *lengths = gTable.lengths;
  return gTable.texts;
}

void init() noexcept {
  gTable.searchStart = 0;
  gTable.highWater = 0;
}

void release() noexcept { releaseTable(); }

void giveBack(int typeCode, int32_t row) noexcept {
  StringTable& t = gTable;
  const uint8_t letter = letterOfCode(typeCode);
  if (!t.tags || letter == 0) return;
  const uint8_t code = static_cast<uint8_t>(typeCode);
  for (int32_t s = 1; s <= t.highWater; ++s) {
    if (t.rows[s] != row || (t.tags[s] != code && t.tags[s] != letter)) continue;
    t.tags[s] = kFree;
    if (s <= t.searchStart) t.searchStart = s - 1;
  }
  while (t.highWater > 0 && t.tags[t.highWater] == kFree) --t.highWater;
}

int32_t errorOffset() noexcept { return gErrorOffset; }
const int32_t* origins() noexcept { return gOrigin; }

namespace testing {
Owners owners() noexcept { return {gTable.highWater, gTable.tags, gTable.rows}; }
}  // namespace testing

bool owns(int typeCode, int32_t row) noexcept {
  const StringTable& t = gTable;
  const uint8_t letter = letterOfCode(typeCode);
  if (!t.tags || letter == 0) return false;
  for (int32_t s = 1; s <= t.highWater; ++s) {
    if (t.rows[s] == row && (t.tags[s] == typeCode || t.tags[s] == letter)) return true;
  }
  return false;
}

int prepass(const char* text, int typeCode, int32_t row, const char** rewritten) noexcept {
  giveBack(typeCode, row);
  if (!text) return 0;
  Prepass pass(reinterpret_cast<const unsigned char*>(text), typeCode, row);
  return pass.run(rewritten);
}

}  // namespace qx::strings

// Formula compiler shared by the three engines.
//
// Three layers, each working on text in the compile work area:
//   formula layer    splits segments, reads the parameter list, joins codes;
//   segment layer    normalises a segment and rewrites every second-level
//                    call f(x1, ..., xN) into internal one-argument calls
//                    a[b(x1)+...+b(xN)+b(m)+b(K)] (with loop, test and
//                    which markers d(), e(), f());
//   expression layer checks the shape, converts to postfix with an operator
//                    stack and folds constants by running the evaluator.
// Nothing is allocated here: every buffer is the work area's, and a text
// that would not fit returns "does not fit" (11) so the driver can retry
// with a larger area. Nothing recurses on the nesting of the text.
#pragma once
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "compiler/lexer.h"
#include "engine.h"
#include "evaluator/evaluator.h"
#include "opcodes.h"

namespace qx::compiler {

// Shape of the expression: each character is an operand "!", an opening
// bracket or function code "(", a closing bracket ")" or an operator "*".
// Forbidden neighbours are syntax errors; a character of none of the four
// kinds is an error that takes precedence over them.
enum ShapeClass : uint8_t { SH_OPERAND, SH_OPEN, SH_CLOSE, SH_OPERATOR, SH_ILLEGAL };

struct ShapeTable {
  uint8_t cls[256];
  constexpr ShapeTable() : cls() {
    for (int c = 0; c < 256; ++c) cls[c] = SH_ILLEGAL;
    cls[static_cast<unsigned char>('!')] = SH_OPERAND;
    cls[static_cast<unsigned char>('(')] = SH_OPEN;
    for (int c = 10; c <= 31; ++c) cls[c] = SH_OPEN;  // function codes
    cls[static_cast<unsigned char>(')')] = SH_CLOSE;
    cls[static_cast<unsigned char>('+')] = SH_OPERATOR;
    cls[static_cast<unsigned char>('-')] = SH_OPERATOR;
    cls[static_cast<unsigned char>('*')] = SH_OPERATOR;
    cls[static_cast<unsigned char>('/')] = SH_OPERATOR;
    cls[static_cast<unsigned char>('^')] = SH_OPERATOR;
    cls[static_cast<unsigned char>(kAssignJoin)] = SH_OPERATOR;
  }
};
inline constexpr ShapeTable kShape{};

// Forbidden neighbours, [left][right]: "(*" "*)" "()" ")(" "**" ")!" "!(" "!!".
inline constexpr bool kForbiddenPair[4][4] = {
    /* !  */ {true, true, false, false},
    /* (  */ {false, false, true, true},
    /* )  */ {true, true, false, false},
    /* *  */ {false, false, true, true},
};

// The shape of a text, noted character by character: the first illegal
// character, the first forbidden pair (at its second character), and the
// kinds of the first and last characters.
struct ShapeScan {
  int32_t illegal = -1;
  int32_t pairAt = -1;
  uint8_t first = SH_ILLEGAL;
  uint8_t last = SH_ILLEGAL;
  void add(unsigned char c, int32_t at) noexcept {
    const uint8_t cls = kShape.cls[c];
    if (cls == SH_ILLEGAL) {
      if (illegal < 0) illegal = at;
    } else if (last != SH_ILLEGAL) {
      if (pairAt < 0 && kForbiddenPair[last][cls]) pairAt = at;
    } else {
      first = cls;
    }
    last = cls;
  }
};

// Result of one successful compilation, in the work area.
struct Compiled {
  int32_t header[H_SIZE];
  int32_t vars;  // variable slots (arguments, locals, segment variables)
};

template <class T>
class Compiler {
  using V = typename T::Value;

 public:
  Compiler(Engine<T>& e, int32_t room) : E(e), W(e.work), L(room) {}

  int compile(const char* text, Compiled& out) noexcept;
  // After a failed compile: the offset in the compiled text at which the
  // error was found (its length for an error at the end).
  int32_t errorOffset() const noexcept { return errAt; }

 private:
  Engine<T>& E;
  WorkArea<V>& W;
  const int32_t L;

  // Output of the segments compiled so far.
  int32_t codeLen = 0;
  int32_t nVals = 0;
  int32_t nRefs = 0;
  int32_t firstOperand = 0;

  // Segment being compiled.
  char* s = nullptr;  // W.seg
  int32_t n = 0;      // its length
  int32_t eqPos = 0;  // the "=" after the parameter list
  int32_t nVars = 0;
  int32_t nOps = 0;   // operand list length
  int32_t nPool = 0;  // segment constants
  uint8_t* segCode = nullptr;
  int32_t segLen = 0;
  int32_t emitted = 0;  // operand entries of emitted OP_CONST codes
  uint32_t seen = 0;    // bit c set: code c (below 32) was emitted in this segment
  ShapeScan shapes;     // shape of the text the operands pass leaves

  // Error position: the compiled text's length, the length of W.text and
  // the offset found.
  int32_t srcLen = 0;
  int32_t tLen = 0;
  int32_t errAt = 0;

  // Failure at character i of W.text (i == its length: at its end).
  int failText(int code, int32_t i) noexcept {
    errAt = i >= 0 && i < tLen ? W.textFrom[i] : srcLen;
    return code;
  }
  // Failure at character i of the segment text (i == n: at its end).
  int failSeg(int code, int32_t i) noexcept {
    if (i >= 0 && i < n) errAt = W.segFrom[i];
    else errAt = n > 0 ? W.segFrom[n - 1] + 1 : srcLen;
    return code;
  }

  // --- text editing -------------------------------------------------------
  // Replaces s[pos, pos + del) by ins[0, insLen); 11 when it does not fit.
  // The inserted characters come from insFrom[], or all from `from`.
  int splice(int32_t pos, int32_t del, const char* ins, int32_t insLen, const int32_t* insFrom,
             int32_t from = 0) noexcept {
    if (static_cast<int64_t>(n) - del + insLen + kMargin >= L) return C_NO_ROOM;
    std::memmove(s + pos + insLen, s + pos + del, static_cast<size_t>(n - pos - del + 1));
    std::memmove(W.segFrom + pos + insLen, W.segFrom + pos + del, sizeof(int32_t) * static_cast<size_t>(n - pos - del + 1));
    if (insLen) std::memcpy(s + pos, ins, static_cast<size_t>(insLen));
    for (int32_t k = 0; k < insLen; ++k) W.segFrom[pos + k] = insFrom ? insFrom[k] : from;
    n = n - del + insLen;
    return C_OK;
  }
  // Origin of the character at segment position i (the end maps to the
  // character before it).
  int32_t fromOf(int32_t i) const noexcept { return i < n ? W.segFrom[i] : n > 0 ? W.segFrom[n - 1] : 0; }

  // --- layers ---------------------------------------------------------------
  int segment(int32_t len, int32_t known) noexcept;
  int rewriteCalls(int32_t from) noexcept;
  int expression(int32_t known) noexcept;
  int parameters() noexcept;
  int assignments() noexcept;
  int functionNames() noexcept;
  int operands() noexcept;
  int shape(int32_t e0) noexcept;
  int postfix(int32_t e0) noexcept;
  int finishSegment() noexcept;

  int32_t lookupMerged(const char* name, int32_t len) const noexcept;
  // Variable names are kept as positions in the parameter list, which no
  // rewrite moves, and indexed by a hash table of L entries (open
  // addressing; fewer than L/2 names, so an empty entry always ends a
  // probe). Each lookup takes constant time, so a list of thousands of
  // segment names costs time linear in its length.
  int32_t* lookupEntry(const char* name, int32_t len) const noexcept {
    uint32_t h = 2166136261u;
    for (int32_t i = 0; i < len; ++i) h = (h ^ static_cast<unsigned char>(name[i])) * 16777619u;
    for (uint32_t i = h % static_cast<uint32_t>(L);; i = i + 1 == static_cast<uint32_t>(L) ? 0 : i + 1) {
      const int32_t v = W.lookup[i] - 1;
      if (v < 0 || (W.names[2 * v + 1] == len && sameChars(s + W.names[2 * v], name, len)))
        return W.lookup + i;
    }
  }
  // Slot of a variable of the segment's parameter list, or -1.
  int32_t findVar(const char* name, int32_t len) const noexcept { return *lookupEntry(name, len) - 1; }
  bool insideLoop(int32_t from) const noexcept;

  // --- code emission with constant folding -----------------------------------
  int emitConst(int32_t entry) noexcept {
    if (codeLen + segLen + 2 >= L) return C_NO_ROOM;
    segCode[segLen++] = OP_CONST;
    W.operands[emitted++] = entry;
    return C_OK;
  }
  bool lastIsConstant(int back) const noexcept {
    return segLen >= back && segCode[segLen - back] == OP_CONST && W.operands[emitted - back] < 0;
  }
  V poolValue(int32_t entry) const noexcept { return W.pool[-1 - entry]; }
  int addPool(V v, int32_t& entry) noexcept {
    if (nPool >= L) return C_NO_ROOM;
    W.pool[nPool] = v;
    entry = -1 - nPool++;
    return C_OK;
  }
  // Runs a few codes with the evaluator so folded values are exactly the
  // values evaluation would give.
  V fold(uint8_t op, V a, V b, bool binary) noexcept {
    V k[2] = {a, b};
    V* ptrs[1] = {k};
    V stack[4];
    const uint8_t second = binary ? static_cast<uint8_t>(OP_CONST) : op;
    const uint8_t third = binary ? op : static_cast<uint8_t>(OP_END);
    uint8_t code[4] = {OP_CONST, second, third, OP_END};
    return evaluate<T>(code, ptrs, stack);
  }
  int emit(uint8_t op) noexcept {
    if (op >= OP_ADD && op <= OP_POW && lastIsConstant(1) && lastIsConstant(2)) {
      V r = fold(op, poolValue(W.operands[emitted - 2]), poolValue(W.operands[emitted - 1]), true);
      int32_t entry;
      if (int e = addPool(r, entry)) return e;
      --segLen;
      --emitted;
      W.operands[emitted - 1] = entry;
      return C_OK;
    }
    if (op >= kFirstUnary && op <= kLastUnary && lastIsConstant(1)) {
      V r = fold(op, poolValue(W.operands[emitted - 1]), T::zero(), false);
      int32_t entry;
      if (int e = addPool(r, entry)) return e;
      W.operands[emitted - 1] = entry;
      return C_OK;
    }
    if (codeLen + segLen + 2 >= L) return C_NO_ROOM;
    segCode[segLen++] = op;
    seen |= op < 32 ? uint32_t{1} << op : 0;
    return C_OK;
  }
  bool hasCode(uint8_t op) const noexcept { return (seen >> op) & 1; }
};

// ---------------------------------------------------------------------------
// Formula layer
// ---------------------------------------------------------------------------
template <class T>
int Compiler<T>::compile(const char* text, Compiled& out) noexcept {
  char* t = W.text;
  int32_t* tFrom = W.textFrom;
  int32_t len = 0;
  const size_t textLen = std::strlen(text);
  if (textLen + kMargin < static_cast<size_t>(L) && !std::memchr(text, ' ', textLen)) {
    // No blank (most texts), and it fits: one copy.
    len = static_cast<int32_t>(textLen);
    std::memcpy(t, text, textLen);
    for (int32_t i = 0; i < len; ++i) tFrom[i] = i;
    srcLen = len;
  } else {
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    for (; *p; ++p) {
      if (*p == ' ') continue;
      if (len + kMargin >= L) return C_NO_ROOM;
      tFrom[len] = static_cast<int32_t>(p - reinterpret_cast<const unsigned char*>(text));
      t[len++] = static_cast<char>(*p);
    }
    srcLen = static_cast<int32_t>(p - reinterpret_cast<const unsigned char*>(text));
  }
  t[len] = 0;
  tLen = len;
  // An empty or blank text: the missing expression would start at 0.
  if (len == 0) {
    errAt = 0;
    return C_EMPTY;
  }

  // Outer brackets of one kind around the whole text. The closing position
  // of every opening bracket is found in one pass (the operand buffer is
  // free at this point), so deep nesting stays linear.
  int32_t lo = 0, hi = len;
  if (len >= 2 && isOpen(t[0]) && isClose(t[len - 1])) {
    // Only the leading run of opening brackets can be stripped. Bracket d
    // of the run closes where the nesting depth first falls to d (a closing
    // bracket at depth 0 is ignored), so one pass finds where each of them
    // closes; it stops when the first one closes, since none is stripped
    // unless that one closes at the end.
    int32_t* closes = W.operands;  // closes[d]: where bracket d of the run closes
    int32_t depth = 0, low = 0;
    while (low < len && isOpen(t[low])) ++low;
    for (int32_t i = 0; i < len && low > 0; ++i) {
      const unsigned char ch = static_cast<unsigned char>(t[i]);
      if (isOpen(ch)) ++depth;
      else if (isClose(ch) && depth > 0 && --depth < low) closes[low = depth] = i;
    }
    // Brackets of the run at `low` and above never close.
    while (hi - lo >= 2 && isOpen(t[lo]) && t[hi - 1] == closeOf(t[lo]) && lo >= low && closes[lo] == hi - 1) {
      ++lo;
      --hi;
    }
  }
  if (hi == lo) return failText(C_EMPTY, lo);
  if (t[lo] == ',') return failText(C_EMPTY, lo);

  // First segment: up to the first comma at depth 0; its first "=" at depth 0.
  int32_t comma = -1, eq = -1, depth = 0;
  for (int32_t i = lo; i < hi; ++i) {
    unsigned char ch = static_cast<unsigned char>(t[i]);
    if (isOpen(ch)) ++depth;
    else if (isClose(ch)) {
      if (--depth < 0) return failText(C_BRACKETS, i);
    } else if (depth == 0) {
      if (ch == ',') { comma = i; break; }
      if (ch == '=' && eq < 0) eq = i;
    }
  }
  if (comma < 0 && depth != 0) return failText(C_BRACKETS, lastUnclosed(t, lo, hi));
  const int32_t firstEnd = comma < 0 ? hi : comma;

  // Parameter list: "(" ... ")" before the "="; anything before the "(" is
  // the formula's name and is ignored. Arguments before ":", locals after.
  int32_t lastArg = -1;
  // "(params,segment names)=", kept after the text itself: the scratch
  // buffer is used by every segment compilation.
  char* common = t + len + 1;
  int32_t* commonFrom = tFrom + len + 1;
  const int32_t commonRoom = L - len - 1 - kMargin;
  int32_t cl = 0;
  int32_t exprStart = lo;
  bool hasParams = false;
  if (eq >= 0) {
    if (eq - lo < 2) return failText(C_NO_OPEN, eq);
    if (t[eq - 1] != ')') return failText(C_NO_CLOSE_BEFORE_EQ, eq);
    int32_t open = -1;
    for (int32_t i = lo; i < eq; ++i)
      if (t[i] == '(') { open = i; break; }
    if (open < 0) return failText(C_NO_OPEN, eq);
    const int32_t ps = open + 1, pe = eq - 1;  // parameter text [ps, pe)
    int32_t colon = -1, commas = 0, commasBeforeColon = 0;
    for (int32_t i = ps; i < pe; ++i) {
      if (t[i] == ':' && colon < 0) { colon = i; commasBeforeColon = commas; }
      if (t[i] == ',') ++commas;
    }
    if (colon >= 0) lastArg = colon == ps ? -1 : commasBeforeColon;
    else lastArg = pe > ps ? commas : -1;
    if (pe - ps + 1 >= commonRoom) return C_NO_ROOM;
    commonFrom[cl] = tFrom[open];
    common[cl++] = '(';
    for (int32_t i = ps; i < pe; ++i) {
      if (i == colon) {
        if (i == ps || i == pe - 1) continue;  // leading or trailing ":" is dropped
        commonFrom[cl] = tFrom[i];
        common[cl++] = ',';
      } else {
        commonFrom[cl] = tFrom[i];
        common[cl++] = t[i];
      }
    }
    exprStart = eq + 1;
    hasParams = true;
  }

  // Further segments "name=expression".
  int32_t* segs = W.segs;  // start, "=", end of each further segment
  int32_t nSeg = 0;
  for (int32_t i = firstEnd; i < hi;) {
    const int32_t st = i + 1;
    int32_t j = st, d = 0, e = -1;
    for (; j < hi; ++j) {
      unsigned char ch = static_cast<unsigned char>(t[j]);
      if (isOpen(ch)) ++d;
      else if (isClose(ch)) {
        if (--d < 0) return failText(C_BRACKETS, j);
      } else if (d == 0) {
        if (ch == ',') break;
        if (ch == '=' && e < 0) e = j;
      }
    }
    if (d != 0) return failText(C_BRACKETS, lastUnclosed(t, st, j));
    if (e < 0 || e == st || e == j - 1) return failText(C_SEGMENT, st);
    if (3 * (nSeg + 1) > L) return C_NO_ROOM;
    segs[3 * nSeg] = st;
    segs[3 * nSeg + 1] = e;
    segs[3 * nSeg + 2] = j;
    ++nSeg;
    i = j;
  }

  if (commonRoom < 3) return C_NO_ROOM;
  if (nSeg > 0 && !hasParams) {
    commonFrom[cl] = tFrom[segs[0]];
    common[cl++] = '(';
  }
  if (nSeg > 0 || hasParams) {
    for (int32_t k = 0; k < nSeg; ++k) {
      const int32_t nl = segs[3 * k + 1] - segs[3 * k];
      if (cl + nl + 3 >= commonRoom) return C_NO_ROOM;
      if (cl > 1 || (k > 0)) {
        commonFrom[cl] = tFrom[segs[3 * k] - 1];  // the comma before the segment
        common[cl++] = ',';
      }
      std::memcpy(common + cl, t + segs[3 * k], static_cast<size_t>(nl));
      std::memcpy(commonFrom + cl, tFrom + segs[3 * k], sizeof(int32_t) * static_cast<size_t>(nl));
      cl += nl;
    }
    const int32_t closeFrom = hasParams ? tFrom[exprStart - 2] : tFrom[segs[0]];
    commonFrom[cl] = closeFrom;
    common[cl++] = ')';
    commonFrom[cl] = hasParams ? tFrom[exprStart - 1] : closeFrom;
    common[cl++] = '=';
  }

  // Every segment starts with the same common parameter list. The first
  // one compiled checks it and indexes its names; the others reuse that
  // work (and the list itself), so each costs time for its own expression
  // only and compile time grows linearly with the text.
  for (int32_t i = 0; i < cl; ++i)
    if (common[i] >= 'A' && common[i] <= 'Z') common[i] = static_cast<char>(common[i] - 'A' + 'a');

  // Compile the segments from the last to the first.
  for (int32_t k = nSeg; k >= 0; --k) {
    const int32_t es = k == 0 ? exprStart : segs[3 * (k - 1) + 1] + 1;
    const int32_t ee = k == 0 ? firstEnd : segs[3 * (k - 1) + 2];
    const int64_t reserve = int64_t{codeLen} + 2 * int64_t{cl} + 2 * int64_t{nRefs} + 2 * int64_t{nVals};
    if (L - reserve < 100) return C_NO_ROOM;
    if (int64_t{cl} + (ee - es) + kMargin >= L) return C_NO_ROOM;
    s = W.seg;
    // A segment changes only the text after the parameter list, so the
    // list stays in place from the first segment on.
    const bool first = k == nSeg;
    if (first) {
      std::memcpy(s, common, static_cast<size_t>(cl));
      std::memcpy(W.segFrom, commonFrom, sizeof(int32_t) * static_cast<size_t>(cl));
    }
    std::memcpy(s + cl, t + es, static_cast<size_t>(ee - es));
    std::memcpy(W.segFrom + cl, tFrom + es, sizeof(int32_t) * static_cast<size_t>(ee - es));
    const int32_t segTextLen = cl + (ee - es);
    s[segTextLen] = 0;
    if (int e = segment(segTextLen, first ? 0 : cl)) return e;
    if (k > 0) W.code[codeLen - 1] = OP_STORE;  // a segment ends by storing its value
  }

  out.header[H_LAST_ARG] = lastArg;
  out.header[H_CODE_LENGTH] = codeLen - 1;
  out.header[H_REF_COUNT] = nRefs;
  out.header[H_LAST_SLOT] = nVars + nVals - 1;
  out.header[H_OPERAND0] = firstOperand;
  out.vars = nVars;
  return C_OK;
}

// ---------------------------------------------------------------------------
// Segment layer
// ---------------------------------------------------------------------------
// `known` is 0, or the length of a parameter list "(names)=" at the start
// of the text that an earlier segment of this formula has already checked,
// lower-cased and indexed (the variables and their lookup are still in
// place); only the text after it is processed then.
template <class T>
int Compiler<T>::segment(int32_t len, int32_t known) noexcept {
  n = len;
  // One pass: lower case; the internal names "a" .. "f" may not be called
  // from formula text (after the parameter list); and whether any name is
  // followed by a bracket, without which there is no call to rewrite.
  const char* eqp = known > 0 ? s + known - 1 : std::strchr(s, '=');
  const int32_t checkFrom = eqp ? static_cast<int32_t>(eqp - s) + 1 : 0;
  bool called = false;
  uint8_t before = known > 0 ? kChars.kind[static_cast<unsigned char>(s[known - 1])] : 0;  // kind of s[i - 1]
  for (int32_t i = known; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    uint8_t kind = kChars.kind[c];
    if (kind & CK_UPPER) {
      c = static_cast<unsigned char>(c - 'A' + 'a');
      s[i] = static_cast<char>(c);
      kind = CK_LETTER;
    }
    if (kind & CK_OPEN) {
      called |= (before & CK_NAME) != 0;
    } else if ((kind & CK_LETTER) && c <= 'f' && !(before & CK_NAME) && i >= checkFrom && i + 1 < n &&
               isOpen(static_cast<unsigned char>(s[i + 1]))) {
      return failSeg(C_UNDEF_FN, i);
    }
    before = kind;
  }

  if (called) {
    if (int e = rewriteCalls(known > 0 ? known : 1)) return e;
  }

  segCode = W.code + codeLen;
  segLen = 0;
  emitted = 0;
  seen = 0;
  nOps = 0;
  nPool = 0;
  if (int e = expression(known)) return e;
  return finishSegment();
}

template <class T>
int32_t Compiler<T>::lookupMerged(const char* name, int32_t len) const noexcept {
  if (!E.mNames) return -1;
  for (int32_t m = 0; m < E.mCount; ++m) {
    if (E.mLens[m] == len - 1 && sameChars(E.mNames[m], name, len)) return m;
  }
  return -1;
}

// True when position `from` lies inside the brackets of a "for" or
// "dowhile" call.
template <class T>
bool Compiler<T>::insideLoop(int32_t from) const noexcept {
  int32_t depth = 0;
  for (int32_t p = from - 1; p >= 0; --p) {
    const unsigned char c = static_cast<unsigned char>(s[p]);
    if (isClose(c)) {
      ++depth;
    } else if (isOpen(c)) {
      if (depth > 0) {
        --depth;
        continue;
      }
      int32_t j = p;
      while (j > 0 && isNameChar(static_cast<unsigned char>(s[j - 1]))) --j;
      const int32_t nl = p - j;
      if ((nl == 3 && std::memcmp(s + j, "for", 3) == 0) || (nl == 7 && std::memcmp(s + j, "dowhile", 7) == 0))
        return true;
    }
  }
  return false;
}

// Rewrites the calls that open at positions `from` and above.
template <class T>
int Compiler<T>::rewriteCalls(int32_t from) noexcept {
  char* r = W.scratch;
  int32_t* rFrom = W.scratchFrom;
  for (int32_t i = n - 1; i >= from; --i) {
    if (!isOpen(static_cast<unsigned char>(s[i])) || !isNameChar(static_cast<unsigned char>(s[i - 1]))) continue;
    int32_t j = i;
    while (j > 0 && isNameChar(static_cast<unsigned char>(s[j - 1]))) --j;
    if (isDigit(static_cast<unsigned char>(s[j]))) return failSeg(C_SYNTAX, j);
    const int32_t m = lookupMerged(s + j, i - j);
    if (m < 0) continue;
    // The call's own brackets disappear in the rewrite, so their kinds are
    // checked here; brackets inside the arguments are checked with the rest
    // of the expression.
    const int32_t close = matchBracket(s, i, n);
    if (close < 0) return failSeg(C_BRACKETS, i);
    if (s[close] != closeOf(static_cast<unsigned char>(s[i]))) return failSeg(C_BRACKETS, close);
    if ((m == FN_BREAK || m == FN_CONTINUE) && !insideLoop(j)) return failSeg(C_ARGS, j);

    // Argument list [as, ae), without brackets around all of it.
    int32_t as = i + 1, ae = close;
    while (ae - as >= 2 && isOpen(static_cast<unsigned char>(s[as])) &&
           s[ae - 1] == closeOf(static_cast<unsigned char>(s[as])) && matchBracket(s, as, ae) == ae - 1) {
      ++as;
      --ae;
    }

    int32_t rl = 0;
    // Each piece records where it comes from: written text from `origin`,
    // copied arguments from their own characters.
    int32_t origin = W.segFrom[j];
    auto put = [&](const char* txt, int32_t tl) {
      if (rl + tl + kMargin >= L) return false;
      std::memcpy(r + rl, txt, static_cast<size_t>(tl));
      for (int32_t k = 0; k < tl; ++k) rFrom[rl + k] = origin;
      rl += tl;
      return true;
    };
    auto putCopy = [&](int32_t at, int32_t tl) {
      if (!put(s + at, tl)) return false;
      std::memcpy(rFrom + rl - tl, W.segFrom + at, sizeof(int32_t) * static_cast<size_t>(tl));
      return true;
    };
    auto putNum = [&](int32_t v) {
      char buf[16];
      int32_t bl = formatInt(v, buf);
      return put(buf, bl);
    };
    if (!put("a[", 2)) return C_NO_ROOM;
    int32_t slots = 0, argIndex = 0;
    if (ae > as) {
      int32_t st = as, d = 0;
      for (int32_t p = as; p <= ae; ++p) {
        const unsigned char c = p < ae ? static_cast<unsigned char>(s[p]) : ',';
        if (isOpen(c)) ++d;
        else if (isClose(c)) --d;
        else if (c == ',' && d == 0) {
          if (p == st) return failSeg(C_ARGS, p);  // empty argument
          // markers of the control functions before this argument
          origin = W.segFrom[st];
          bool ok = true;
          if (m == FN_FOR && argIndex == 0) { ok = put("d(0)+", 5); ++slots; }
          if (m == FN_FOR && argIndex == 1) { ok = put("e(0)+", 5); ++slots; }
          if (m == FN_DOWHILE && argIndex == 0) { ok = put("d(1)+", 5); ++slots; }
          if (m == FN_IF && argIndex == 1) { ok = put("e(2)+", 5); ++slots; }
          if (m == FN_WHICH && argIndex >= 1) {
            ok = put("f(", 2) && putNum(argIndex) && put(")+", 2);
            ++slots;
          }
          if (!ok || !put("b(", 2) || !putCopy(st, p - st)) return C_NO_ROOM;
          origin = fromOf(p);
          if (!put(")+", 2)) return C_NO_ROOM;
          ++slots;
          ++argIndex;
          st = p + 1;
        }
      }
    }
    const int32_t count = slots - 1;
    const int32_t rule = E.mRules[m];
    if ((rule != -2 && rule != count) || (m == FN_FOR && count < 3) ||
        ((m == FN_DOWHILE || m == FN_IF) && count < 2))
      return failSeg(C_ARGS, j);
    origin = W.segFrom[close];
    if (!put("b(", 2) || !putNum(m) || !put(")+b(", 4) || !putNum(count + 2) || !put(")]", 2)) return C_NO_ROOM;
    if (int e = splice(j, close + 1 - j, r, rl, rFrom)) return e;
    i = j;
  }
  return C_OK;
}

// ---------------------------------------------------------------------------
// Expression layer
// ---------------------------------------------------------------------------
template <class T>
int Compiler<T>::expression(int32_t known) noexcept {
  if (s[0] == '=') return failSeg(C_NO_OPEN, 0);
  const char* eqp = known > 0 ? s + known - 1 : std::strchr(s, '=');
  if (!eqp || eqp == s || eqp[-1] != ')') {
    if (int e = splice(0, 0, "()=", 3, nullptr, fromOf(0))) return e;
    eqp = s + 2;
  }
  eqPos = static_cast<int32_t>(eqp - s);
  if (s[n - 1] == '=') return failSeg(C_EMPTY, n);
  const int32_t e0 = eqPos + 1;
  if (s[e0] == '+' || s[e0] == '-') {
    if (int e = splice(e0, 0, "0", 1, nullptr, W.segFrom[e0])) return e;
  }

  if (known == 0) {
    if (int e = parameters()) return e;
  }

  // Brackets pair by kind; then all of them are round ones. A bracket that
  // does not pair is reported before an illegal character anywhere.
  {
    char* open = W.scratch;  // kinds of the brackets open so far
    int32_t top = 0, illegal = -1;
    for (int32_t i = e0; i < n; ++i) {
      const unsigned char c = static_cast<unsigned char>(s[i]);
      const uint8_t kind = kChars.kind[c];
      if (!(kind & (CK_OPEN | CK_CLOSE | CK_CONTROL))) continue;
      if (kind & CK_OPEN) {
        open[top++] = static_cast<char>(c);
        s[i] = '(';
      } else if (kind & CK_CLOSE) {
        if (top == 0 || open[--top] != openOf(c)) return failSeg(C_BRACKETS, i);
        s[i] = ')';
      } else if (illegal < 0) {
        illegal = i;
      }
    }
    if (top != 0) return failSeg(C_BRACKETS, lastUnclosed(s, e0, n));
    if (illegal >= 0) return failSeg(C_CHAR, illegal);
  }

  if (int e = assignments()) return e;
  if (int e = functionNames()) return e;
  // Unary signs: "(+x" and "(-x" become "(0+x" and "(0-x" (one pass from
  // the end, after counting the insertions).
  {
    int32_t k = 0;
    for (const char* q = s + e0; (q = static_cast<const char*>(std::memchr(q, '(', static_cast<size_t>(s + n - q)))); ++q)
      if (q[1] == '+' || q[1] == '-') ++k;
    if (k > 0) {
      if (int64_t{n} + k + kMargin >= L) return C_NO_ROOM;
      int32_t w = n + k;
      s[w] = 0;
      int32_t* from = W.segFrom;
      for (int32_t r = n - 1; r >= e0; --r) {
        from[w - 1] = from[r];
        s[--w] = s[r];
        if ((s[r] == '+' || s[r] == '-') && r > e0 && s[r - 1] == '(') {
          from[w - 1] = from[r];  // the inserted 0 stands for the sign
          s[--w] = '0';
        }
      }
      n += k;
    }
  }
  if (int e = operands()) return e;
  if (int e = shape(e0)) return e;
  return postfix(e0);
}

template <class T>
int Compiler<T>::parameters() noexcept {
  // s = "(names)=..." with the "=" at eqPos.
  const int32_t ps = 1, pe = eqPos - 1;
  for (int32_t i = ps; i < pe; ++i) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    if (!(isNameChar(c) || c == ',')) return failSeg(C_PARAM_CHAR, i);
  }
  nVars = 0;
  std::memset(W.lookup, 0, sizeof(int32_t) * static_cast<size_t>(L));
  if (pe > ps) {
    for (int32_t st = ps, i = ps; i <= pe; ++i) {
      if (i < pe && s[i] != ',') continue;
      if (2 * (nVars + 1) > L) return C_NO_ROOM;
      const int32_t nl = i - st;
      if (nl > 0 && isDigit(static_cast<unsigned char>(s[st]))) return failSeg(C_DIGIT_NAME, st);
      if constexpr (T::kImaginaryUnit) {
        if (nl == 1 && s[st] == 'i') return failSeg(C_IMAG_PARAM, st);
      }
      int32_t* entry = lookupEntry(s + st, nl);
      if (*entry != 0) return failSeg(C_DUP_PARAM, st);
      W.names[2 * nVars] = st;
      W.names[2 * nVars + 1] = nl;
      *entry = ++nVars;
      st = i + 1;
    }
  }
  return C_OK;
}

// "(name=expression)" becomes "(mov(expression-(1+(0&name))))", where & is
// the internal code for "and": and(0, name) is -1 whatever name holds, so
// the subtracted term is exactly 0 and the stored value is exactly the
// value of the expression, while name stays the last variable read before
// the store.
template <class T>
int Compiler<T>::assignments() noexcept {
  for (int32_t i = eqPos + 1; i < n; ++i) {
    const char* eq = static_cast<const char*>(std::memchr(s + i, '=', static_cast<size_t>(n - i)));
    if (!eq) break;
    i = static_cast<int32_t>(eq - s);
    int32_t ns = i;
    while (ns > 0 && isNameChar(static_cast<unsigned char>(s[ns - 1]))) --ns;
    if (ns == i || ns == 0 || s[ns - 1] != '(') return failSeg(C_SYNTAX, i);
    if (isDigit(static_cast<unsigned char>(s[ns]))) return failSeg(C_DIGIT_NAME, ns);
    const int32_t nl = i - ns;
    if (findVar(s + ns, nl) < 0) return failSeg(C_UNDEF_NAME, ns);
    const int32_t close = matchBracket(s, ns - 1, n);
    if (close < 0) return failSeg(C_BRACKETS, ns - 1);
    if (close == i + 1) return failSeg(C_SYNTAX, close);  // nothing to assign

    char* r = W.scratch;
    int32_t* rFrom = W.scratchFrom;
    const int32_t el = close - i - 1;
    const int32_t total = 5 + el + 7 + nl + 4;
    if (total + kMargin >= L) return C_NO_ROOM;
    int32_t rl = 0;
    // Written parts come from the opening bracket, the "=", the name and
    // the closing bracket; the expression and the name from themselves.
    auto fill = [&](int32_t count, int32_t from) {
      for (int32_t k = 0; k < count; ++k) rFrom[rl + k] = from;
    };
    fill(5, W.segFrom[ns - 1]);
    std::memcpy(r + rl, "(mov(", 5); rl += 5;
    std::memcpy(rFrom + rl, W.segFrom + i + 1, sizeof(int32_t) * static_cast<size_t>(el));
    std::memcpy(r + rl, s + i + 1, static_cast<size_t>(el)); rl += el;
    fill(7, W.segFrom[i]);
    std::memcpy(r + rl, "-(1+(0", 6); rl += 6;
    r[rl++] = kAssignJoin;
    std::memcpy(rFrom + rl, W.segFrom + ns, sizeof(int32_t) * static_cast<size_t>(nl));
    std::memcpy(r + rl, s + ns, static_cast<size_t>(nl)); rl += nl;
    fill(4, W.segFrom[close]);
    std::memcpy(r + rl, "))))", 4); rl += 4;
    if (int e = splice(ns - 1, close + 1 - (ns - 1), r, rl, rFrom)) return e;
    i = ns - 1 + 5;  // go on inside the expression (nested assignments)
  }
  return C_OK;
}

// Names followed by "(" are one-argument functions: each becomes its code
// byte (10 + position in the engine's one-argument name table).
template <class T>
int Compiler<T>::functionNames() noexcept {
  // One pass from "(" to "(", compacting in place: w <= i always, and the
  // text between two brackets moves as one block once a name has shrunk.
  int32_t w = eqPos + 1;
  for (int32_t i = eqPos + 1; i < n;) {
    const char* q = static_cast<const char*>(std::memchr(s + i, '(', static_cast<size_t>(n - i)));
    const int32_t next = q ? static_cast<int32_t>(q - s) : n;
    if (w != i) {
      std::memmove(s + w, s + i, static_cast<size_t>(next - i));
      std::memmove(W.segFrom + w, W.segFrom + i, sizeof(int32_t) * static_cast<size_t>(next - i));
    }
    w += next - i;
    i = next;
    if (i == n) break;
    if (isNameChar(static_cast<unsigned char>(s[w - 1]))) {
      int32_t j = w;
      while (j > eqPos + 1 && isNameChar(static_cast<unsigned char>(s[j - 1]))) --j;
      const int32_t code = unaryCode<T>(s + j, w - j);
      if (code < 0) return failSeg(C_UNDEF_FN, j);
      s[j] = static_cast<char>(code);
      w = j + 1;
    }
    W.segFrom[w] = W.segFrom[i];
    s[w++] = s[i++];
  }
  n = w;
  s[n] = 0;
  return C_OK;
}

// Numbers, variables and named constants become "!" and go to the operand
// list: a variable slot, or -1 - index of a segment constant.
template <class T>
int Compiler<T>::operands() noexcept {
  // One pass, compacting in place: each token becomes one "!" (w <= i).
  // The shape of the text it leaves is noted on the way.
  int32_t w = eqPos + 1;
  shapes = ShapeScan{};
  for (int32_t i = eqPos + 1; i < n;) {
    const unsigned char c = static_cast<unsigned char>(s[i]);
    int32_t entry;
    int32_t tl;
    if (isDigit(c) || c == '.') {
      double d;
      tl = scanNumber(s + i, d);
      if (tl < 0) return failSeg(C_NUMBER, i);
      V v = T::fromDouble(d);
      if constexpr (T::kImaginaryUnit) {
        // "3i": the literal itself becomes imaginary.
        if (s[i + tl] == 'i' && !isNameChar(static_cast<unsigned char>(s[i + tl + 1]))) {
          v = makeImaginary<T>(d);
          ++tl;
        }
      }
      if (int e = addPool(v, entry)) return e;
    } else if (isLetter(c) || c == '_') {
      tl = 1;
      while (isNameChar(static_cast<unsigned char>(s[i + tl]))) ++tl;
      bool found = false;
      if constexpr (T::kImaginaryUnit) {
        if (tl == 1 && c == 'i') {
          if (int e = addPool(makeImaginary<T>(1.0), entry)) return e;
          found = true;
        }
      }
      if (!found) {
        const int32_t v = findVar(s + i, tl);
        if (v >= 0) {
          entry = v;
          found = true;
        }
      }
      if (!found && E.constNames) {
        for (int32_t k = 0; E.constNames[k] && E.constNames[k][0]; ++k) {
          if (std::strlen(E.constNames[k]) == static_cast<size_t>(tl) &&
              std::memcmp(E.constNames[k], s + i, static_cast<size_t>(tl)) == 0) {
            if (int e = addPool(E.constValues[k], entry)) return e;
            found = true;
            break;
          }
        }
      }
      if (!found) return failSeg(C_UNDEF_NAME, i);
    } else {
      shapes.add(c, w);
      W.segFrom[w] = W.segFrom[i];
      s[w++] = s[i++];
      continue;
    }
    if (nOps >= L) return C_NO_ROOM;
    W.operands[nOps++] = entry;
    shapes.add('!', w);
    W.segFrom[w] = W.segFrom[i];
    s[w++] = '!';
    i += tl;
  }
  n = w;
  s[n] = 0;
  return C_OK;
}

template <class T>
int Compiler<T>::shape(int32_t e0) noexcept {
  if (shapes.illegal >= 0) return failSeg(C_CHAR, shapes.illegal);
  if (n <= e0) return failSeg(C_EMPTY, e0);
  if (shapes.first == SH_OPERATOR) return failSeg(C_SYNTAX, e0);
  if (shapes.last == SH_OPERATOR) return failSeg(C_SYNTAX, n - 1);
  if (shapes.pairAt >= 0) return failSeg(C_SYNTAX, shapes.pairAt);
  return C_OK;
}

// Operator-precedence conversion to postfix code.
template <class T>
int Compiler<T>::postfix(int32_t e0) noexcept {
  unsigned char* st = reinterpret_cast<unsigned char*>(W.scratch);
  int32_t top = 0;
  st[top++] = '(';
  int32_t nextOperand = 0;
  for (int32_t i = e0; i <= n; ++i) {
    const unsigned char c = i < n ? static_cast<unsigned char>(s[i]) : ')';
    const uint8_t cls = kShape.cls[c];  // the shape check left no other kind
    if (cls == SH_OPERAND) {
      if (int e = emitConst(W.operands[nextOperand++])) return e;
    } else if (cls == SH_OPEN) {
      if (top >= L - 1) return C_NO_ROOM;
      st[top++] = c;
    } else if (cls == SH_CLOSE) {
      while (top > 0 && st[top - 1] != '(') {
        if (int e = emit(codeOfStacked(st[--top]))) return e;
      }
      if (top == 0) return failSeg(C_BRACKETS, i);
      --top;  // the "("
    } else {
      const int prec = precedence(c);
      while (top > 0 && st[top - 1] != '(' && precedence(st[top - 1]) >= prec) {
        if (int e = emit(codeOfStacked(st[--top]))) return e;
      }
      if (top >= L - 1) return C_NO_ROOM;
      st[top++] = c;
    }
  }
  if (top != 0) return failSeg(C_BRACKETS, e0);
  if (codeLen + segLen + 1 >= L) return C_NO_ROOM;
  segCode[segLen++] = OP_END;
  return C_OK;
}

// Removes the argument wrappers, turns the ten logical calls into single
// codes, checks assignments and moves the segment into the common output.
template <class T>
int Compiler<T>::finishSegment() noexcept {
  // Each of the first three steps changes nothing unless the segment has
  // the codes it looks for.
  // Wrapper removal: "b" with the "+" after it, and the "+" after markers.
  if (hasCode(OP_WRAP) || hasCode(OP_LOOP) || hasCode(OP_TEST) || hasCode(OP_WHICH)) {
    int32_t w = 0;
    for (int32_t i = 0; i < segLen; ++i) {
      const uint8_t op = segCode[i];
      if (op == OP_WRAP) {
        if (segCode[i + 1] == OP_ADD) ++i;
        continue;
      }
      segCode[w++] = op;
      if ((op == OP_LOOP || op == OP_TEST || op == OP_WHICH) && segCode[i + 1] == OP_ADD) ++i;
    }
    segLen = w;
  }

  // Logical calls: "CONST m, CONST K, CALL" with m in 8..17 become 24 + m.
  if (hasCode(OP_CALL)) {
    int32_t w = 0, ew = 0, ci = 0;
    for (int32_t i = 0; i < segLen; ++i) {
      const uint8_t op = segCode[i];
      if (op == OP_CONST) {
        W.operands[ew++] = W.operands[ci++];
      } else if (op == OP_CALL && w >= 2 && ew >= 2) {
        const int32_t m = T::hidden(poolValue(W.operands[ew - 2]));
        if (m >= FN_GT && m <= FN_XOR) {
          w -= 2;
          ew -= 2;
          segCode[w++] = static_cast<uint8_t>(24 + m);
          continue;
        }
      }
      segCode[w++] = op;
    }
    segLen = w;
    emitted = ew;
  }

  // An explicit "mov" needs a variable read before it.
  if (hasCode(OP_MOV)) {
    int32_t k = 0;
    bool sawVar = false;
    for (int32_t i = 0; i < segLen; ++i) {
      if (segCode[i] == OP_CONST) sawVar |= W.operands[k++] >= 0;
      else if (segCode[i] == OP_MOV) {
        if (!sawVar) return failSeg(C_SYNTAX, eqPos + 1);
        break;
      }
    }
  }

  // Constants to the value array, variables to the pointer table.
  if (emitted > 0) firstOperand = W.operands[0] >= 0 ? W.operands[0] : nVars;
  int32_t k = 0;
  for (int32_t i = 0; i < segLen; ++i) {
    if (segCode[i] != OP_CONST) continue;
    const int32_t entry = W.operands[k++];
    if (entry >= 0) {
      if (nRefs >= L) return C_NO_ROOM;
      segCode[i] = OP_VAR;
      W.refs[nRefs++] = entry;
    } else {
      if (nVals >= L) return C_NO_ROOM;
      W.vals[nVals++] = poolValue(entry);
    }
  }
  codeLen += segLen;
  return C_OK;
}

}  // namespace qx::compiler

/*
 * A host built the way MSVC builds one: clang in MSVC mode, quibex.h's
 * __declspec(dllimport) declarations, linked by lld-link against quibex.lib
 * without any C runtime. It calls plain exports and STD twins through the
 * import table, checks their results and that the stack pointer is the same
 * before and after each call, and returns the number of the first failed
 * check as its exit status (0: all passed).
 */
#include "quibex.h"

int _fltused = 0; /* floating point without the C runtime */

#if defined(_M_IX86)
#define READ_SP(v) __asm__ volatile("movl %%esp, %0" : "=r"(v) : : "memory")
#else
#define READ_SP(v) __asm__ volatile("movq %%rsp, %0" : "=r"(v) : : "memory")
#endif

static int failed = 0;
static int check = 0;
#define CHECK(cond)                       \
  do {                                    \
    ++check;                              \
    if (!(cond) && !failed) failed = check; \
  } while (0)

/* The stack pointer after a call must be what it was before it. */
#define BALANCED(call)       \
  do {                       \
    uintptr_t b_, a_;        \
    READ_SP(b_);             \
    call;                    \
    READ_SP(a_);             \
    CHECK(a_ == b_);         \
  } while (0)

static char realText[] = "(x,y)=x*y+0.5";
static char complexText[] = "(z)=z*i";
static char intText[] = "(a)=a/2";

int __stdcall mainCRTStartup(void* unused) {
  int32_t last = -7;
  uint8_t ok = 0;
  int32_t code = -1;
  double r = 0;
  int32_t n = 0;
  QxComplex c;
  (void)unused;

  BALANCED(ok = setfornum(4));
  CHECK(ok == 1);
  BALANCED(ok = STDCsetfornum(4));
  CHECK(ok == 1);
  BALANCED(ok = Isetfornum(4));
  CHECK(ok == 1);
  BALANCED(STDuserci());

  BALANCED(code = STDrcom(0, realText, &last));
  CHECK(code == 0 && last == 1);
  {
    double args[2] = {3.0, 4.0};
    BALANCED(r = rcal(0, args));
    CHECK(r == 12.5);
    BALANCED(r = STDrcal(0, args));
    CHECK(r == 12.5);
  }

  BALANCED(code = Ccom(0, complexText, &last));
  CHECK(code == 0 && last == 0);
  {
    QxComplex z;
    z.re = 1.0;
    z.im = 2.0;
    BALANCED(c = Ccal(0, &z));
    CHECK(c.re == -2.0 && c.im == 1.0);
    c.re = c.im = 0;
    BALANCED(c = STDCcal(0, &z));
    CHECK(c.re == -2.0 && c.im == 1.0);
    BALANCED(c = STDCcals(0));
    CHECK(c.re == -2.0 && c.im == 1.0);
  }

  BALANCED(code = STDIcom(0, intText, &last));
  CHECK(code == 0 && last == 0);
  {
    int32_t a = 7;
    BALANCED(n = Ical(0, &a));
    CHECK(n == 3);
    BALANCED(n = STDIcal(0, &a));
    CHECK(n == 3);
  }

  BALANCED(STDsetfcerr(5, "host"));
  BALANCED(n = fcerrnum());
  CHECK(n == 5);
  {
    const char* name = 0;
    BALANCED(n = STDfcerr(&name));
    CHECK(n == 5 && name && name[0] == 'h');
  }
  {
    const char* v = 0;
    BALANCED(v = STDver());
    CHECK(v && v[0] == 'q');
  }
  BALANCED(deletedll());
  return failed;
}

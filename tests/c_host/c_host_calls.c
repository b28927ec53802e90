/*
 * A C host that calls every export and every STD twin of the shared library
 * through a function pointer of the declared convention, checks each result,
 * and checks that the stack pointer is the same before and after every call.
 *
 * On 32-bit x86 this is what proves the calling conventions: a plain export
 * must leave its arguments to the caller, a twin must remove them itself
 * (Ccal and Ccals return QxComplex in memory: on Linux the plain form also
 * removes the hidden result address, on Windows the caller does; a compiler
 * that sees the declarations follows its platform's rule). Elsewhere it checks the same calls
 * under the platform's single convention.
 *
 * The stack pointer is read around each call expression. This file is built
 * without optimisation, so the compiler restores the stack after every call
 * statement and a callee that removes too much or too little shows as a
 * difference. The host first proves that a wrong convention is detected.
 *
 * Usage: qx_c_host_calls path/to/libquibex.so (or quibex.dll)
 */
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include "loader.h"
#include "quibex.h"

#if defined(__i386__)
#define READ_SP(v) __asm__ volatile("movl %%esp, %0" : "=r"(v) : : "memory")
#elif defined(__x86_64__)
#define READ_SP(v) __asm__ volatile("movq %%rsp, %0" : "=r"(v) : : "memory")
#else
#error "this host reads the x86 stack pointer"
#endif

/* The list of operations must agree with the header: redeclaring each one
 * with the list's signature fails to compile if they differ. */
#define QX_EXPORT(ret, name, params, args) ret name params; ret QX_STDCALL STD##name params;
#define QX_EXPORT0(ret, name) ret name(void); ret QX_STDCALL STD##name(void);
#include "exports.def"
#undef QX_EXPORT
#undef QX_EXPORT0

/* One index per operation. */
enum {
#define QX_EXPORT(ret, name, params, args) OP_##name,
#define QX_EXPORT0(ret, name) OP_##name,
#include "exports.def"
#undef QX_EXPORT
#undef QX_EXPORT0
  OP_COUNT
};

static const char* const kNames[OP_COUNT] = {
#define QX_EXPORT(ret, name, params, args) #name,
#define QX_EXPORT0(ret, name) #name,
#include "exports.def"
#undef QX_EXPORT
#undef QX_EXPORT0
};

/* A pointer of the declared type for every plain export and twin. */
#define QX_EXPORT(ret, name, params, args) static __typeof__(&name) p_##name; static __typeof__(&STD##name) p_STD##name;
#define QX_EXPORT0(ret, name) QX_EXPORT(ret, name, (void), ())
#include "exports.def"
#undef QX_EXPORT
#undef QX_EXPORT0

static int failures = 0;
static int calls[2][OP_COUNT]; /* [0] plain, [1] twin: how often each was called */

#define CHECK(cond)                                                          \
  do {                                                                       \
    if (!(cond)) {                                                           \
      fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      failures++;                                                            \
    }                                                                        \
  } while (0)

static void stackCheck(uintptr_t before, uintptr_t after, int twin, const char* name, const char* file,
                       int line) {
  if (before != after) {
    fprintf(stderr, "%s:%d: %s%s moved the stack pointer by %ld bytes\n", file, line, twin ? "STD" : "",
            name, (long)(after - before));
    failures++;
  }
}

/* Calls fn with args under the stack check; `assign` is "res =" or empty. */
#define CALL_(assign, fn, args, op, twin)   \
  do {                                      \
    uintptr_t before_, after_;              \
    READ_SP(before_);                       \
    assign fn args;                         \
    READ_SP(after_);                        \
    stackCheck(before_, after_, twin, kNames[op], __FILE__, __LINE__); \
    calls[twin][op]++;                      \
  } while (0)

/* Binds name to a pointer of its declared type (ISO C has no conversion
 * from an object address to a function address: copy the bytes). */
static int bindExport(qx_library lib, const char* name, void* slot) {
  void* sym = qx_symbol(lib, name);
  if (!sym) {
    fprintf(stderr, "missing export: %s\n", name);
    return 0;
  }
  memcpy(slot, &sym, sizeof sym);
  return 1;
}

static int close_rel(double got, double want) {
  double diff = got > want ? got - want : want - got;
  double scale = want < 0 ? -want : want;
  return diff <= 1e-15 * (scale > 1.0 ? scale : 1.0);
}

/* Host functions: always called with the plain C convention. */
static double hostTwice(int32_t lastIndex, double* args) { return lastIndex == 0 ? 2 * args[0] : -1; }
static QxComplex hostSwap(int32_t lastIndex, QxComplex* args) {
  QxComplex r = {args[0].im, args[0].re};
  if (lastIndex != 0) r.re = r.im = -1;
  return r;
}
static int32_t hostNext(int32_t lastIndex, int32_t* args) { return lastIndex == 0 ? args[0] + 1 : -1; }

static const char* const kRealFnNames[] = {"twice", ""};
static const char* const kComplexFnNames[] = {"swap", ""};
static const char* const kIntFnNames[] = {"next", ""};
static const int32_t kOneArgument[] = {0};
static const QxRealFn kRealFns[] = {hostTwice};
static const QxComplexFn kComplexFns[] = {hostSwap};
static const QxIntFn kIntFns[] = {hostNext};
static const char* const kConstNames[] = {"kk", ""};
static const double kRealConst[] = {2.5};
static const QxComplex kComplexConst[] = {{1.0, 2.0}};
static const int32_t kIntConst[] = {5};

/* The same scenario through the plain names and through the twins. */
#define SCENARIO runPlain
#define VIA(name) p_##name
#define TWIN 0
#include "calls_scenario.inc"
#undef SCENARIO
#undef VIA
#undef TWIN
#define SCENARIO runTwins
#define VIA(name) p_STD##name
#define TWIN 1
#include "calls_scenario.inc"
#undef SCENARIO
#undef VIA
#undef TWIN

/* The proof that the check sees a wrong convention calls a function the
 * wrong way on purpose. It relies on GCC's unoptimised code addressing
 * locals through the frame pointer and restoring the stack from it on
 * return; other compilers and sanitized builds may address locals through
 * the (now wrong) stack pointer, so there it is left out. */
#if defined(__i386__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__)
#define QX_PROVE_STACK_CHECK 1
#endif

#ifdef QX_PROVE_STACK_CHECK
/* setfcerr leaves its two arguments to the caller; called as if it removed
 * them itself, the stack pointer must come back 8 bytes low. */
static __attribute__((noinline)) long wrongConventionOffset(void) {
  void(QX_STDCALL * wrong)(int32_t, const char*);
  uintptr_t before, after;
  memcpy(&wrong, &p_setfcerr, sizeof wrong);
  READ_SP(before);
  wrong(0, NULL);
  READ_SP(after);
  return (long)(after - before);
}
#endif

int main(int argc, char** argv) {
  if (argc < 2) {
    fprintf(stderr, "usage: %s path/to/libquibex.so\n", argv[0]);
    return 2;
  }
  qx_library lib = qx_load(argv[1]);
  if (!lib) {
    fprintf(stderr, "loading %s failed: %s\n", argv[1], qx_load_error());
    return 1;
  }

  int bound = 0;
#define QX_EXPORT(ret, name, params, args) \
  bound += bindExport(lib, #name, &p_##name);    \
  bound += bindExport(lib, "STD" #name, &p_STD##name);
#define QX_EXPORT0(ret, name) QX_EXPORT(ret, name, (void), ())
#include "exports.def"
#undef QX_EXPORT
#undef QX_EXPORT0
  if (bound != 2 * OP_COUNT) {
    fprintf(stderr, "%d of %d exports bound\n", bound, 2 * OP_COUNT);
    return 1;
  }

#ifdef QX_PROVE_STACK_CHECK
  {
    long offset = wrongConventionOffset();
    if (offset != -8) {
      fprintf(stderr, "the stack check does not see a wrong convention (offset %ld)\n", offset);
      return 1;
    }
  }
#endif

  runPlain();
  runTwins();

  for (int op = 0; op < OP_COUNT; op++) {
    if (!calls[0][op]) fprintf(stderr, "never called: %s\n", kNames[op]), failures++;
    if (!calls[1][op]) fprintf(stderr, "never called: STD%s\n", kNames[op]), failures++;
  }
  qx_unload(lib);

  if (failures) {
    fprintf(stderr, "c_host_calls: %d check(s) failed\n", failures);
    return 1;
  }
  printf("c_host_calls: %d exports called, stack balanced after every call (%s)\n", 2 * OP_COUNT,
         sizeof(void*) == 4 ? "32-bit" : "64-bit");
  return 0;
}

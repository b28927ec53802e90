/*
 * A C host linked against libquibex: it registers named constants and host
 * functions, compiles formulas of the three engines (real, complex, 32-bit
 * integer), evaluates them, lets one engine call another, reports a
 * compile error with its position and text and run-time errors with their
 * texts, and stops a runaway loop with fcinterrupt(). The formula language
 * is described in docs/language.md.
 *
 * Every result is checked: the program prints what it does and exits with
 * status 1 if anything differs from what the library should give.
 */
#include <math.h>
#include <stdio.h>
#include <string.h>

#include "quibex.h"

static int failures = 0;

static void expect(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "FAILED: %s\n", what);
    failures++;
  }
}

static int near(double got, double want) { return fabs(got - want) <= 1e-12 * (fabs(want) > 1 ? fabs(want) : 1); }

/* ---- Host functions -------------------------------------------------------
 * A handler gets the index of its last argument and the address of the
 * first; the slot after the last argument holds the function's own index. */

/* hyp(x, y): the length of the vector (x, y). */
static double hyp(int32_t lastIndex, double* args) {
  (void)lastIndex;
  return sqrt(args[0] * args[0] + args[1] * args[1]);
}

/* mean(x1, ...): any number of arguments; without one it records run-time
 * error 1 under its own name, following the first-error rule. */
static double mean(int32_t lastIndex, double* args) {
  if (lastIndex < 0) {
    if (fcerrnum() == 0) setfcerr(1, "mean");
    return 0;
  }
  double sum = 0;
  for (int32_t i = 0; i <= lastIndex; i++) sum += args[i];
  return sum / (lastIndex + 1);
}

/* rot(z, quarters): z turned by that many quarter turns. */
static QxComplex rot(int32_t lastIndex, QxComplex* args) {
  (void)lastIndex;
  QxComplex z = args[0];
  int turns = ((int)args[1].re % 4 + 4) % 4;
  for (int i = 0; i < turns; i++) {
    double re = -z.im;
    z.im = z.re;
    z.re = re;
  }
  return z;
}

/* gcd(a, b) of two integers. */
static int32_t gcd(int32_t lastIndex, int32_t* args) {
  (void)lastIndex;
  int64_t a = args[0] < 0 ? -(int64_t)args[0] : args[0];
  int64_t b = args[1] < 0 ? -(int64_t)args[1] : args[1];
  while (b != 0) {
    int64_t t = a % b;
    a = b;
    b = t;
  }
  return (int32_t)a;
}

/* stop(n): asks the library to interrupt the running evaluation once n
 * reaches 1000; returns 0. */
static double stop(int32_t lastIndex, double* args) {
  (void)lastIndex;
  if (args[0] >= 1000) fcinterrupt();
  return 0;
}

/* The library keeps these arrays by address and never copies them: they
 * must stay valid and unchanged while it may use them, hence static. */
static const char* const realNames[] = {"hyp", "mean", "stop", ""};
static const int32_t realRules[] = {1, QX_ARGS_ANY, 0};
static const QxRealFn realFns[] = {hyp, mean, stop};
static const char* const complexNames[] = {"rot", ""};
static const int32_t complexRules[] = {1};
static const QxComplexFn complexFns[] = {rot};
static const char* const intNames[] = {"gcd", ""};
static const int32_t intRules[] = {1};
static const QxIntFn intFns[] = {gcd};

static const char* const realConstNames[] = {"g", ""};
static const double realConsts[] = {9.81};
static const char* const complexConstNames[] = {"j", ""};
static const QxComplex complexConsts[] = {{0, 1}};
static const char* const intConstNames[] = {"dozen", ""};
static const int32_t intConsts[] = {12};

int main(void) {
  printf("%s\n", ver());

  /* Register first, then size the tables (which builds each engine's
   * function table), then link the engines with userci. */
  setdoubleconst(realConstNames, realConsts);
  Csetcomplexconst(complexConstNames, complexConsts);
  Isetlongconst(intConstNames, intConsts);
  expect(setfcfun(realNames, realRules, realFns) == 1, "setfcfun");
  expect(Csetfcfun(complexNames, complexRules, complexFns) == 1, "Csetfcfun");
  expect(Isetfcfun(intNames, intRules, intFns) == 1, "Isetfcfun");
  expect(setfcstrmax(20) == 1, "setfcstrmax");
  if (setfornum(4) != 1 || Csetfornum(4) != 1 || Isetfornum(4) != 1) {
    fprintf(stderr, "FAILED: sizing the formula tables\n");
    return 1;
  }
  userci();

  int32_t last = 0;

  /* Real: a falling body, with the constant g; compile once, evaluate often. */
  int32_t code = rcom(0, "(t)=g*t^2/2", &last);
  expect(code == QX_OK && last == 0, "real formula compiles with one argument");
  for (int t = 1; t <= 3; t++) {
    double arg = t;
    double h = rcal(0, &arg);
    printf("real     (t)=g*t^2/2 at t=%d: %g\n", t, h);
    expect(near(h, 9.81 * t * t / 2), "falling body");
  }

  /* Real host functions; segments are evaluated before the main expression. */
  expect(rcom(1, "(x,y)=hyp(a,b)+mean(x,y), a=x*3, b=y*4", &last) == QX_OK && last == 1, "host-function formula");
  const double xy[2] = {1, 1};
  double r = rcal(1, xy);
  printf("real     hyp(3x,4y)+mean(x,y) at (1,1): %g\n", r);
  expect(near(r, 6), "host functions give 5 + 1");

  /* Complex: the constant j and a host function; j^2 goes through exp/ln. */
  expect(Ccom(0, "(z)=rot(z,1)*j", &last) == QX_OK && last == 0, "complex formula compiles");
  const QxComplex z = {2, 3};
  QxComplex c = Ccal(0, &z);
  printf("complex  rot(z,1)*j at 2+3i: %g%+gi\n", c.re, c.im);
  expect(c.re == -2 && c.im == -3, "two quarter turns");

  /* Integer: a loop with a local variable, and a host function. */
  expect(Icom(0, "(n:f)=one((f=1),for(gt(n,1),(f=f*n),(n=n-1)))+f", &last) == QX_OK && last == 0,
         "integer formula compiles");
  const int32_t n = 6;
  int32_t f = Ical(0, &n);
  printf("integer  6! = %d, gcd(720, dozen) = ", f);
  expect(f == 720, "factorial");
  expect(Icom(1, "gcd(720,dozen)", &last) == QX_OK && last == -1, "integer formula without arguments");
  int32_t gd = Icals(1);
  printf("%d\n", gd);
  expect(gd == 12, "gcd");

  /* Across engines: a real formula calls the complex and integer rows. */
  expect(rcom(2, "calcfor(0,2,3)+califor(0,5)", &last) == QX_OK, "cross-engine formula compiles");
  r = rcals(2);
  printf("real     calcfor(0,2,3)+califor(0,5) = %g\n", r);
  expect(r == -2 + 120, "cross-engine calls");

  /* A compile error: the code, its text, and where in the text it was
   * found, counted in the text as passed (blanks and literal included). */
  const char* bad = "(x) = \"ok\" + x*(2+1";
  code = rcom(3, bad, &last);
  int32_t at = comerrpos();
  printf("compile  %s -> code %d at %d: %s\n", bad, code, at, comerrtext(code));
  printf("         %s\n         %*s^\n", bad, at, "");
  expect(code == QX_ERR_BRACKETS, "unbalanced bracket is code 8");
  expect(at == 15 && bad[at] == '(', "the position is the bracket left open");
  expect(strcmp(comerrtext(code), "unpaired brackets, or a pair of two different kinds") == 0, "text of code 8");
  expect(rcom(3, "(x)=x", &last) == QX_OK && comerrpos() == -1, "no position after a success");

  /* A run-time error: evaluation goes on, the record keeps the first error. */
  expect(rcom(3, "mean()+getd(7)", &last) == QX_OK, "formula with failing calls compiles");
  r = rcals(3);
  const char* name = NULL;
  int32_t number = fcerr(&name);
  printf("run-time mean()+getd(7) = %g, error %d in %s\n", r, number, name ? name : "?");
  expect(r == 0 && number == 1 && name && strcmp(name, "mean") == 0, "first run-time error is mean's");
  expect(fcerr(&name) == 0, "fcerr clears the record");
  /* The text depends on the function that recorded the number: mean is this
   * host's, so the library gives the number's generic text; getd's 1 has a
   * text of its own. */
  printf("         mean: %s\n", fcerrtext(number, name));
  expect(strcmp(fcerrtext(number, name), fcerrtext(number, NULL)) == 0, "a host's number gets the generic text");
  expect(rcom(3, "getd(7)", &last) == QX_OK, "store access compiles");
  rcals(3);
  number = fcerr(&name);
  printf("run-time getd(7): error %d in %s: %s\n", number, name ? name : "?", fcerrtext(number, name));
  expect(number == QX_RTERR_STORE_INDEX && name && strcmp(name, "getd") == 0, "getd records 1");
  expect(strcmp(fcerrtext(number, name), "index outside the number store, or no number store exists") == 0,
         "text of getd's error 1");

  /* Stopping a runaway formula: fcinterrupt() may come from any thread; here
   * the host function stop() asks for it itself once the loop has run 1000
   * passes, so the run is the same every time. The loop ends at the end of
   * that pass and the engine records error -3 under the name "interrupt". */
  expect(rcom(0, "(:n)=one((n=0),setcyclemax(2000000000),for(1,(n=n+1),stop(n)))+n", &last) == QX_OK,
         "endless loop compiles");
  r = rcals(0);
  number = fcerr(&name);
  printf("interrupt after %g passes: error %d in %s: %s\n", r, number, name ? name : "?", fcerrtext(number, name));
  expect(r == 1000, "the loop stopped after the pass that asked");
  expect(number == QX_RTERR_INTERRUPTED && name && strcmp(name, QX_RTERR_INTERRUPTED_NAME) == 0,
         "interrupt recorded as -3");
  expect(strcmp(fcerrtext(number, name), "evaluation interrupted (fcinterrupt)") == 0, "text of the interrupt");
  r = rcal(1, xy);
  expect(near(r, 6) && fcerrnum() == 0, "the next evaluation runs normally");

  deletedll();
  if (failures) fprintf(stderr, "%d check(s) failed\n", failures);
  return failures ? 1 : 0;
}

/* A small outside program linked against an installed libquibex: it checks
 * the version the library reports and evaluates formulas of each engine.
 * Usage: consumer [expected version]; built with QX_PACKAGE_VERSION defined,
 * that version is compared too. */
#include <quibex.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

static void check(int ok, const char* what) {
  if (!ok) {
    fprintf(stderr, "consumer: %s\n", what);
    failures++;
  }
}

static int versionIs(const char* version) {
  char want[64];
  snprintf(want, sizeof want, "quibex formula engine %s", version);
  return strcmp(ver(), want) == 0;
}

int main(int argc, char** argv) {
  if (argc > 1) check(versionIs(argv[1]), "ver() does not report the expected version");
#ifdef QX_PACKAGE_VERSION
  check(versionIs(QX_PACKAGE_VERSION), "ver() differs from the package version");
#endif
  check(versionIs(QX_VERSION_STRING), "ver() differs from the installed header's QX_VERSION_STRING");

  check(setfornum(2) == 1 && Csetfornum(1) == 1 && Isetfornum(1) == 1, "sizing the tables failed");
  userci();

  char real[] = "(x,y)=x*2+sin(y)";
  int32_t last = -7;
  check(rcom(0, real, &last) == QX_OK && last == 1, "real formula did not compile");
  const double args[2] = {3.0, 0.5};
  double r = rcal(0, args);
  double diff = r - 6.479425538604203;
  check(diff < 1e-12 && diff > -1e-12, "real formula gave a wrong value");

  char cplx[] = "(z)=z*z";
  check(STDCcom(0, cplx, &last) == QX_OK && last == 0, "complex formula did not compile");
  const QxComplex z = {0.0, 1.0};
  QxComplex c = STDCcal(0, &z);
  check(c.re == -1.0 && c.im == 0.0, "complex formula gave a wrong value");

  char integer[] = "(a,b)=a*b+1";
  check(Icom(0, integer, &last) == QX_OK, "integer formula did not compile");
  const int32_t iargs[2] = {6, 7};
  check(STDIcal(0, iargs) == 43, "integer formula gave a wrong value");

  const char* name = NULL;
  check(fcerr(&name) == 0, "unexpected run-time error");
  deletedll();

  if (failures) return 1;
  printf("consumer: %s, x*2+sin(y) = %.15g\n", ver(), r);
  return 0;
}

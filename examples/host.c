/* A minimal host: load libquibex.so, compile one formula, evaluate it. */
#define _DEFAULT_SOURCE
#include <dlfcn.h>
#include <libgen.h>
#include <stdint.h>
#include <stdio.h>
#include <unistd.h>

typedef uint8_t (*setfornum_t)(int32_t n);
typedef void (*void_t)(void);
typedef int32_t (*rcom_t)(int32_t row, const char* text, int32_t* lastArg);
typedef double (*rcal_t)(int32_t row, const double* args);
typedef int32_t (*fcerr_t)(const char** name);

int main(int argc, char** argv) {
  char path[4096] = "libquibex.so";
  if (argc > 1) {
    snprintf(path, sizeof path, "%s", argv[1]);
  } else { /* default: the directory this program lives in */
    char exe[4000];
    ssize_t n = readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) { exe[n] = '\0'; snprintf(path, sizeof path, "%s/libquibex.so", dirname(exe)); }
  }
  void* lib = dlopen(path, RTLD_NOW);
  if (!lib) { fprintf(stderr, "cannot load %s: %s\n", path, dlerror()); return 1; }

  setfornum_t setfornum = (setfornum_t)dlsym(lib, "setfornum");
  void_t userci = (void_t)dlsym(lib, "userci");
  rcom_t rcom = (rcom_t)dlsym(lib, "rcom");
  rcal_t rcal = (rcal_t)dlsym(lib, "rcal");
  fcerr_t fcerr = (fcerr_t)dlsym(lib, "fcerr");
  void_t deletedll = (void_t)dlsym(lib, "deletedll");
  if (!setfornum || !userci || !rcom || !rcal || !fcerr || !deletedll) {
    fprintf(stderr, "missing export in %s\n", path);
    return 1;
  }

  setfornum(4); /* real table with rows 0..3 */
  userci();

  char formula[] = "(x,y)=x*2+sin(y)";
  int32_t lastArg = 0;
  int32_t code = rcom(0, formula, &lastArg);
  printf("compile %s -> code %d, %d argument(s)\n", formula, code, lastArg + 1);
  if (code != 0) return 1;

  const double xy[][2] = {{3, 0.5}, {0, 0}, {-1.25, 3.14159265358979}};
  for (int i = 0; i < 3; i++)
    printf("f(%g, %g) = %.15g\n", xy[i][0], xy[i][1], rcal(0, xy[i]));

  const char* name = NULL;
  int32_t err = fcerr(&name);
  printf("run-time error: %d%s%s\n", err, err ? " in " : "", err && name ? name : "");

  char broken[] = "(x)=x+";
  printf("compile %s -> code %d\n", broken, rcom(1, broken, &lastArg));

  deletedll();
  dlclose(lib);
  return 0;
}

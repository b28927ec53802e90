/*
 * Loading the library at run time, as a host does: dlopen on Linux,
 * LoadLibraryA on Windows.
 */
#ifndef QX_TEST_LOADER_H
#define QX_TEST_LOADER_H

#include <string.h>

#ifdef _WIN32
#include <windows.h>

typedef HMODULE qx_library;

static qx_library qx_load(const char* path) { return LoadLibraryA(path); }
static const char* qx_load_error(void) { return "LoadLibraryA failed"; }
/* The address of an export (the bytes of the function address copied into
 * an object address, as ISO C has no conversion between the two). */
static void* qx_symbol(qx_library lib, const char* name) {
  FARPROC proc = GetProcAddress(lib, name);
  void* address;
  memcpy(&address, &proc, sizeof address);
  return address;
}
static void qx_unload(qx_library lib) { FreeLibrary(lib); }
#else
#include <dlfcn.h>

typedef void* qx_library;

static qx_library qx_load(const char* path) { return dlopen(path, RTLD_NOW | RTLD_LOCAL); }
static const char* qx_load_error(void) { return dlerror(); }
static void* qx_symbol(qx_library lib, const char* name) { return dlsym(lib, name); }
static void qx_unload(qx_library lib) { dlclose(lib); }
#endif

#endif /* QX_TEST_LOADER_H */

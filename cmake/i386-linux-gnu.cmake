# Toolchain file for the 32-bit x86 build (make test32): the host compilers
# with -m32 (Debian's g++-multilib). SSE2 arithmetic keeps every result bit for
# bit that of the 64-bit build (no x87 extended precision in between).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

set(QX_32_FLAGS "-m32 -msse2 -mfpmath=sse")
set(CMAKE_C_FLAGS_INIT "${QX_32_FLAGS}")
set(CMAKE_CXX_FLAGS_INIT "${QX_32_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS_INIT "-m32")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "-m32")
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-m32")

# Look for libraries and packages of the target only (none of the 64-bit ones).
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)

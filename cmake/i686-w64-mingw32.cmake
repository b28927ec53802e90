# Toolchain file for 32-bit Windows (make windows: build-win32/). SSE2
# arithmetic keeps every result bit for bit that of the 64-bit builds (no
# x87 extended precision in between), as in the 32-bit Linux build.
set(CMAKE_SYSTEM_PROCESSOR i686)
set(QX_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_FLAGS_INIT "-msse2 -mfpmath=sse")
set(CMAKE_CXX_FLAGS_INIT "-msse2 -mfpmath=sse")
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

# quibex.dll for 32- and 64-bit Windows, cross-built with MinGW-w64 (see the
# toolchain files beside this one). Included from the top-level file when
# the target is Windows, after the library targets exist.
#
# - The DLL is build-*/quibex.dll; its export table holds exactly the names
#   of library/exports.def and their STD twins, undecorated.
# - Import libraries: libquibex.dll.a (MinGW hosts), quibex.lib (MSVC
#   hosts, in MSVC's own format, made by llvm-dlltool) and quibex.def.
# - Programs and tests run under Wine (scripts/wine-run.sh), each build
#   folder with a Wine prefix of its own.

set(QX_WIN32 OFF)  # 32-bit Windows: stdcall twins are entry points of their own
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(QX_WIN32 ON)
endif()

set_target_properties(quibex PROPERTIES
  PREFIX ""
  IMPORT_PREFIX "lib"
  RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}
  ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
if(QX_WIN32)
  # __stdcall names are decorated in the objects (_STDrcal@8); the DLL
  # exports them without the decoration, and the import library maps the
  # decorated names to the undecorated exports.
  target_link_options(quibex PRIVATE -Wl,--kill-at)
endif()

# ---------------------------------------------------------------------------
# quibex.def, from the list of operations: every name and its STD twin. On
# 32-bit Windows a twin carries its stdcall decoration (@ and 4 bytes per
# parameter), which tells lib.exe and llvm-dlltool -k to bind the decorated
# name a compiler emits to the undecorated export.
# ---------------------------------------------------------------------------
set(QX_EXPORT_LIST ${PROJECT_SOURCE_DIR}/library/exports.def)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${QX_EXPORT_LIST})
file(STRINGS ${QX_EXPORT_LIST} qx_export_lines REGEX "^QX_EXPORT")
set(qx_def "LIBRARY quibex.dll\nEXPORTS\n")
set(QX_EXPORT_NAMES "")
foreach(line IN LISTS qx_export_lines)
  if(line MATCHES "^QX_EXPORT0\\([^,]+, *([A-Za-z0-9_]+)\\)")
    set(name ${CMAKE_MATCH_1})
    set(params 0)
  elseif(line MATCHES "^QX_EXPORT\\([^,]+, *([A-Za-z0-9_]+), *\\(([^)]*)\\)")
    set(name ${CMAKE_MATCH_1})
    string(REGEX REPLACE "[^,]" "" commas "${CMAKE_MATCH_2}")
    string(LENGTH "${commas}" params)
    math(EXPR params "${params} + 1")
  else()
    message(FATAL_ERROR "library/exports.def: line not understood: ${line}")
  endif()
  list(APPEND QX_EXPORT_NAMES ${name} STD${name})
  if(QX_WIN32)
    math(EXPR bytes "4 * ${params}")
    string(APPEND qx_def "  ${name}\n  STD${name}@${bytes}\n")
  else()
    string(APPEND qx_def "  ${name}\n  STD${name}\n")
  endif()
endforeach()
set(QX_DEF_FILE ${CMAKE_BINARY_DIR}/quibex.def)
file(CONFIGURE OUTPUT ${QX_DEF_FILE} CONTENT "${qx_def}" @ONLY)

# quibex.lib in MSVC's import-library format.
find_program(QX_LLVM_DLLTOOL NAMES llvm-dlltool llvm-dlltool-16 llvm-dlltool-15 llvm-dlltool-14)
set(QX_MSVC_LIB "")
if(QX_LLVM_DLLTOOL)
  if(QX_WIN32)
    set(qx_machine i386)
  else()
    set(qx_machine i386:x86-64)
  endif()
  set(QX_MSVC_LIB ${CMAKE_BINARY_DIR}/quibex.lib)
  add_custom_command(OUTPUT ${QX_MSVC_LIB}
    COMMAND ${QX_LLVM_DLLTOOL} -m ${qx_machine} -d ${QX_DEF_FILE} -k -D quibex.dll -l ${QX_MSVC_LIB}
    DEPENDS ${QX_DEF_FILE}
    COMMENT "MSVC import library quibex.lib")
  add_custom_target(quibex_msvc_lib ALL DEPENDS ${QX_MSVC_LIB})
else()
  message(WARNING "llvm-dlltool not found (scripts/setup.sh windows installs it): no quibex.lib")
endif()

# ---------------------------------------------------------------------------
# Programs built here run under Wine: ctest and GoogleTest's discovery go
# through this wrapper, with a Wine prefix inside the build folder.
# ---------------------------------------------------------------------------
set(QX_WINE_PREFIX ${CMAKE_BINARY_DIR}/wine)
set(CMAKE_CROSSCOMPILING_EMULATOR ${PROJECT_SOURCE_DIR}/scripts/wine-run.sh ${QX_WINE_PREFIX})

# Versioned shared object, install rules, CMake and pkg-config package files,
# the Debian packages (scripts/debian_packages.sh) and the tests that check all of these.
#
# Included from the top-level CMakeLists.txt after every target is defined.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# ---------------------------------------------------------------------------
# One version number: the project version, read from quibex.h, is what ver()
# reports, what the shared object is named after and what the package files
# announce.
# ---------------------------------------------------------------------------
set_target_properties(quibex PROPERTIES
  VERSION ${PROJECT_VERSION}
  SOVERSION ${PROJECT_VERSION_MAJOR})

# Windows: the DLL, its import libraries and the ZIP package instead of the
# Linux files and the Debian package.
if(WIN32)
  include(${CMAKE_CURRENT_LIST_DIR}/WindowsPackage.cmake)
  return()
endif()

# In the build tree, in-tree users reach the header through -iquote (see the
# top-level file); installed users get the include directory. Build-tree
# options (paths into the source tree) must not end up in the exported target.
get_target_property(QX_BUILD_OPTIONS quibex INTERFACE_COMPILE_OPTIONS)
if(QX_BUILD_OPTIONS)
  set(QX_WRAPPED_OPTIONS)
  foreach(option IN LISTS QX_BUILD_OPTIONS)
    list(APPEND QX_WRAPPED_OPTIONS "$<BUILD_INTERFACE:${option}>")
  endforeach()
  set_property(TARGET quibex PROPERTY INTERFACE_COMPILE_OPTIONS ${QX_WRAPPED_OPTIONS})
endif()
target_include_directories(quibex INTERFACE
  $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)

# The demonstration program loads the library at run time by file name; the
# installed program finds it in the installed library directory through its
# run path (dlopen follows the calling program's RUNPATH). In a directory the
# loader searches anyway (/usr/lib/<multiarch> of the Debian packages) no run
# path is needed, and Debian's rules forbid one.
file(RELATIVE_PATH QX_BIN_TO_LIB
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
set(QX_SYSTEM_LIBDIRS /lib /usr/lib /lib64 /usr/lib64)
if(CMAKE_LIBRARY_ARCHITECTURE)
  list(APPEND QX_SYSTEM_LIBDIRS /lib/${CMAKE_LIBRARY_ARCHITECTURE} /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE})
endif()
if(TARGET quibexdemo AND NOT CMAKE_INSTALL_FULL_LIBDIR IN_LIST QX_SYSTEM_LIBDIRS)
  set_target_properties(quibexdemo PROPERTIES INSTALL_RPATH "$ORIGIN/${QX_BIN_TO_LIB}")
endif()

# ---------------------------------------------------------------------------
# Install rules, in three components (a plain install takes all of them):
#   runtime      the shared object and its soname link (Debian: libquibex1)
#   development  the libquibex.so link, header, CMake and pkg-config files
#                and the demonstration program (Debian: libquibex-dev)
#   license      LICENSE in the documentation folder (the Debian packages
#                carry it as their copyright file instead)
# ---------------------------------------------------------------------------
set(QX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quibex)

install(TARGETS quibex EXPORT quibexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT development
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/library/quibex.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT development)
if(TARGET quibexdemo)
  install(TARGETS quibexdemo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT development)
  install(FILES ${PROJECT_SOURCE_DIR}/demo/quibexdemo.1
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT development)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE
  DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT license)

install(EXPORT quibexTargets
  NAMESPACE quibex::
  DESTINATION ${QX_CMAKE_DIR} COMPONENT development)
configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/quibexConfig.cmake.in
  ${PROJECT_BINARY_DIR}/quibexConfig.cmake
  INSTALL_DESTINATION ${QX_CMAKE_DIR}
  NO_SET_AND_CHECK_MACRO NO_CHECK_REQUIRED_COMPONENTS_MACRO)
# Versions of one major number are interchangeable (the soname changes with
# the major number). A 32-bit library does not satisfy a 64-bit consumer and
# the other way round: the version file checks the pointer size.
write_basic_package_version_file(
  ${PROJECT_BINARY_DIR}/quibexConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMajorVersion)
install(FILES
  ${PROJECT_BINARY_DIR}/quibexConfig.cmake
  ${PROJECT_BINARY_DIR}/quibexConfigVersion.cmake
  DESTINATION ${QX_CMAKE_DIR} COMPONENT development)

# quibex.pc is written when installing, so that its prefix is the one
# actually installed to (cmake --install --prefix, make install PREFIX=...,
# or the prefix /usr of the Debian packages).
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
  set(QX_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
else()
  set(QX_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
endif()
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(QX_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(QX_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
set(QX_PC_PREFIX "%PREFIX%")  # filled in when installing
configure_file(${CMAKE_CURRENT_LIST_DIR}/quibex.pc.in
  ${PROJECT_BINARY_DIR}/pkgconfig/quibex.pc.in @ONLY)
set(QX_PC_STAGED ${PROJECT_BINARY_DIR}/pkgconfig/quibex.pc)
install(CODE "
  file(READ \"${PROJECT_BINARY_DIR}/pkgconfig/quibex.pc.in\" qx_pc_text)
  string(REPLACE \"%PREFIX%\" \"\${CMAKE_INSTALL_PREFIX}\" qx_pc_text \"\${qx_pc_text}\")
  file(WRITE \"${QX_PC_STAGED}\" \"\${qx_pc_text}\")
" COMPONENT development)
install(FILES ${QX_PC_STAGED} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# ---------------------------------------------------------------------------
# Debian packages: `make package` configures build-package/ for the prefix
# /usr (the library goes to the multiarch folder) and runs
# scripts/debian_packages.sh, which builds libquibex1 and libquibex-dev from
# the runtime and development components with the files in cmake/debian/.
# ---------------------------------------------------------------------------

# ---------------------------------------------------------------------------
# Tests of the deliverable as installed. Sanitized and fuzzing builds need
# their runtimes in every program that loads the library, so these checks
# run in plain builds only.
# ---------------------------------------------------------------------------
if(BUILD_TESTING AND NOT QX_SANITIZE AND NOT QX_FUZZ)
  # On 32-bit x86 the STD twins with parameters are entry points of their own.
  set(QX_TWINS_DISTINCT OFF)
  if(CMAKE_SIZEOF_VOID_P EQUAL 4 AND CMAKE_SYSTEM_PROCESSOR MATCHES "86")
    set(QX_TWINS_DISTINCT ON)
  endif()
  add_test(NAME library_exports
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/check_library.sh
            $<TARGET_FILE:quibex> ${PROJECT_SOURCE_DIR}/library/exports.def
            ${PROJECT_VERSION_MAJOR} ${QX_TWINS_DISTINCT})

  string(TOLOWER "${CMAKE_BUILD_TYPE}" QX_CONFIG_LOWER)
  add_test(NAME install_consumer
    COMMAND bash ${PROJECT_SOURCE_DIR}/tests/install/check_install.sh
            ${PROJECT_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${PROJECT_VERSION}
            ${CMAKE_INSTALL_LIBDIR} "${QX_CONFIG_LOWER}")
  set_tests_properties(install_consumer PROPERTIES
    ENVIRONMENT "CC=${CMAKE_C_COMPILER};QX_CFLAGS=${CMAKE_C_FLAGS};QX_TOOLCHAIN=${CMAKE_TOOLCHAIN_FILE}"
    TIMEOUT 300)
endif()

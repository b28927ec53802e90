# Versioned shared object, install rules, CMake and pkg-config package files,
# the Debian package (CPack) and the tests that check all of these.
#
# Included from the top-level CMakeLists.txt after every target is defined.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# ---------------------------------------------------------------------------
# One version number: the project version is what ver() reports, what the
# shared object is named after and what the package files announce.
# ---------------------------------------------------------------------------
target_compile_definitions(quibex_objects PRIVATE QX_VERSION="${PROJECT_VERSION}")
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
# run path (dlopen follows the calling program's RUNPATH).
file(RELATIVE_PATH QX_BIN_TO_LIB
  ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
if(TARGET quibexdemo)
  set_target_properties(quibexdemo PROPERTIES INSTALL_RPATH "$ORIGIN/${QX_BIN_TO_LIB}")
endif()

# ---------------------------------------------------------------------------
# Install rules
# ---------------------------------------------------------------------------
set(QX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/quibex)

install(TARGETS quibex EXPORT quibexTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/library/quibex.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(TARGET quibexdemo)
  install(TARGETS quibexdemo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT quibexTargets
  NAMESPACE quibex::
  DESTINATION ${QX_CMAKE_DIR})
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
  DESTINATION ${QX_CMAKE_DIR})

# quibex.pc is written when installing, so that its prefix is the one
# actually installed to (cmake --install --prefix, make install PREFIX=...,
# or the packaging prefix of CPack).
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
")
install(FILES ${QX_PC_STAGED} DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# ---------------------------------------------------------------------------
# Debian package: make package (cpack -G DEB in the build directory)
# ---------------------------------------------------------------------------
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quibex)
set(CPACK_PACKAGE_VENDOR "quibex developers")
set(CPACK_PACKAGE_CONTACT "quibex developers <quibex@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "formula engine for real, complex and 32-bit integer values")
set(CPACK_PACKAGE_DESCRIPTION
  "A shared library that compiles formulas given as text once into a compact\ncode and evaluates them many times with arguments the host supplies, with\nits C header, CMake and pkg-config files and the console program quibexdemo.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)        # dependencies from dpkg-shlibdeps
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)  # shlibs file, ldconfig on install
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")  # dependents need this version or later
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
include(CPack)

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

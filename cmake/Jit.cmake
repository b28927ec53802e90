# The machine-code tier: AsmJit, compiled into the library as a static,
# position-independent, hidden part. Included after the library targets
# exist. Sets QX_JIT_ENABLED.

set(QX_JIT_DEFAULT OFF)
if(CMAKE_SIZEOF_VOID_P EQUAL 8 AND CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
  set(QX_JIT_DEFAULT ON)
endif()
option(QX_JIT "Translate hot rows into x86-64 machine code (AsmJit)" ${QX_JIT_DEFAULT})

set(QX_JIT_ENABLED OFF)
if(QX_JIT AND NOT QX_JIT_DEFAULT)
  message(STATUS "quibex: the machine-code tier needs a 64-bit x86 target; building the interpreter only")
elseif(QX_JIT)
  set(QX_ASMJIT_DIR "${CMAKE_CURRENT_SOURCE_DIR}/third_party/asmjit" CACHE PATH "AsmJit source tree")
  set(QX_ASMJIT_TARGET "")
  # An installed AsmJit is used first, but only a shared one can be linked
  # into libquibex.so (Debian's static archive is not position-independent).
  find_package(asmjit CONFIG QUIET)
  if(TARGET asmjit::asmjit)
    get_target_property(_qx_asmjit_type asmjit::asmjit TYPE)
    if(_qx_asmjit_type STREQUAL "SHARED_LIBRARY")
      set(QX_ASMJIT_TARGET asmjit::asmjit)
    endif()
  endif()
  if(QX_ASMJIT_TARGET)
    message(STATUS "quibex: machine-code tier with the installed AsmJit")
    target_link_libraries(quibex_objects PUBLIC ${QX_ASMJIT_TARGET})
    target_link_libraries(quibex_static PUBLIC ${QX_ASMJIT_TARGET})
    target_link_libraries(quibex PRIVATE ${QX_ASMJIT_TARGET})
    set(QX_JIT_ENABLED ON)
  elseif(EXISTS "${QX_ASMJIT_DIR}/src/asmjit/asmjit.h")
    message(STATUS "quibex: machine-code tier with AsmJit from ${QX_ASMJIT_DIR}")
    file(GLOB_RECURSE QX_ASMJIT_SOURCES CONFIGURE_DEPENDS
      "${QX_ASMJIT_DIR}/src/asmjit/core/*.cpp" "${QX_ASMJIT_DIR}/src/asmjit/x86/*.cpp")
    add_library(qx_asmjit OBJECT ${QX_ASMJIT_SOURCES})
    target_include_directories(qx_asmjit SYSTEM PUBLIC "${QX_ASMJIT_DIR}/src")
    target_compile_definitions(qx_asmjit PUBLIC ASMJIT_STATIC ASMJIT_NO_AARCH64 ASMJIT_NO_LOGGING
                               ASMJIT_NO_TEXT)
    target_compile_options(qx_asmjit PRIVATE -fno-strict-aliasing -w)
    set_target_properties(qx_asmjit PROPERTIES
      POSITION_INDEPENDENT_CODE ON
      C_VISIBILITY_PRESET hidden
      CXX_VISIBILITY_PRESET hidden
      VISIBILITY_INLINES_HIDDEN ON)
    target_include_directories(quibex_objects SYSTEM PRIVATE "${QX_ASMJIT_DIR}/src")
    target_compile_definitions(quibex_objects PRIVATE ASMJIT_STATIC ASMJIT_NO_AARCH64 ASMJIT_NO_LOGGING
                               ASMJIT_NO_TEXT)
    target_sources(quibex_static PRIVATE $<TARGET_OBJECTS:qx_asmjit>)
    target_sources(quibex PRIVATE $<TARGET_OBJECTS:qx_asmjit>)
    # AsmJit's virtual memory uses shm_open / memfd and pthread (on
    # Windows the system's own virtual memory functions).
    find_package(Threads REQUIRED)
    if(WIN32)
      target_link_libraries(quibex_static PUBLIC Threads::Threads)
      target_link_libraries(quibex PRIVATE Threads::Threads)
    else()
      target_link_libraries(quibex_static PUBLIC Threads::Threads ${CMAKE_DL_LIBS} rt)
      target_link_libraries(quibex PRIVATE Threads::Threads rt)
    endif()
    set(QX_JIT_ENABLED ON)
  else()
    message(STATUS "quibex: AsmJit not found (run scripts/setup.sh); building the interpreter only")
  endif()
else()
  message(STATUS "quibex: machine-code tier switched off (QX_JIT=OFF); building the interpreter only")
endif()

if(QX_JIT_ENABLED)
  target_compile_definitions(quibex_objects PRIVATE QX_JIT=1)
endif()

# Every test runs twice: NAME with the interpreter only, NAME.jit with every
# row translated at its first evaluation. Arguments after the name are those
# of add_test after NAME. QX_TIER_TESTS lists the names registered (for
# properties that both twins need).
function(qx_add_tier_tests name)
  add_test(NAME ${name} ${ARGN})
  add_test(NAME ${name}.jit ${ARGN})
  set_property(TEST ${name} APPEND PROPERTY ENVIRONMENT QUIBEX_JIT=0)
  set_property(TEST ${name}.jit APPEND PROPERTY ENVIRONMENT QUIBEX_JIT=always)
  set(QX_TIER_TESTS ${name} ${name}.jit PARENT_SCOPE)
endfunction()

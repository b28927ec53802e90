# Install rules and the ZIP package of the Windows builds (make
# package-windows): build-win32/package/quibex-1.0.0-win32.zip and
# build-win64/package/quibex-1.0.0-win64.zip, each holding
#   bin/quibex.dll bin/quibexdemo.exe include/quibex.h
#   lib/libquibex.dll.a lib/quibex.lib lib/quibex.def README.md LICENSE
# Included from Install.cmake after every target is defined.

install(TARGETS quibex
  RUNTIME DESTINATION bin
  ARCHIVE DESTINATION lib)
if(TARGET quibexdemo)
  install(TARGETS quibexdemo RUNTIME DESTINATION bin)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/library/quibex.h DESTINATION include)
install(FILES ${QX_DEF_FILE} DESTINATION lib)
if(QX_MSVC_LIB)
  install(FILES ${QX_MSVC_LIB} DESTINATION lib)
endif()
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION .)

if(QX_WIN32)
  set(QX_WIN_SUFFIX win32)
else()
  set(QX_WIN_SUFFIX win64)
endif()
set(CPACK_GENERATOR ZIP)
set(CPACK_PACKAGE_NAME quibex)
set(CPACK_PACKAGE_VENDOR "quibex developers")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME quibex-${PROJECT_VERSION}-${QX_WIN_SUFFIX})
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY OFF)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
set(CPACK_STRIP_FILES ON)
include(CPack)

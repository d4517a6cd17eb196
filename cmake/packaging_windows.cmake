# The Windows build: one self-contained sl_depth.exe and the ZIP built with
# `cpack -G ZIP`, holding the program, a readme for Windows users and the
# licences of the libraries linked into it.

# libstdc++, libgcc and winpthread linked in: the program needs no DLL
# beyond those of Windows itself.
target_link_options(sl_depth PRIVATE -static -s)

set(SL_TIFF_LICENSE "" CACHE FILEPATH "libtiff's licence text (LICENSE.md of its source)")
set(SL_MINGW_LICENSE "" CACHE FILEPATH "the MinGW-w64 runtime's and winpthread's copyright file")

# Everything in the top folder of the archive, beside the program; the
# rules of the Linux install tree are left out of it.
install(TARGETS sl_depth RUNTIME DESTINATION . COMPONENT windows)
install(FILES ${PROJECT_SOURCE_DIR}/docs/README-windows.txt DESTINATION . COMPONENT windows)
# The libraries' licence notices, under names that say whose they are.
function(sl_install_notice file name)
  if(EXISTS "${file}")
    install(FILES "${file}" DESTINATION . RENAME ${name} COMPONENT windows)
  else()
    message(WARNING "licence notice ${name} not found: the ZIP lacks it")
  endif()
endfunction()
sl_install_notice("${SL_TIFF_LICENSE}" LICENSE-libtiff.txt)
sl_install_notice("${SL_MINGW_LICENSE}" LICENSE-mingw-w64.txt)

set(CPACK_PACKAGE_NAME sl_depth)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME sl_depth-${PROJECT_VERSION}-win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL windows)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
include(CPack)

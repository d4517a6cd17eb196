# The Windows build: one self-contained sl_depth.exe and the ZIP built with
# `cpack -G ZIP`, holding the program, a readme for Windows users, the
# version of the libtiff inside and the licences of the libraries linked
# into it.

# libstdc++, libgcc and winpthread linked in: the program needs no DLL
# beyond those of Windows itself.
target_link_options(sl_depth PRIVATE -static -s)

set(SL_TIFF_LICENSE "" CACHE FILEPATH "libtiff's licence text (LICENSE.md of its source)")
set(SL_MINGW_LICENSE "" CACHE FILEPATH "the MinGW-w64 runtime's and winpthread's copyright file")

# Everything in one folder of the archive, beside the program; the rules
# of the Linux install tree are left out of it.
install(TARGETS sl_depth RUNTIME DESTINATION . COMPONENT windows)

# The text files of the archive get CR LF line ends, which every Notepad
# shows as lines (before Windows 10 1809 it shows LF-only text as one line).
set(SL_WINDOWS_TEXT ${CMAKE_BINARY_DIR}/windows-text)
function(sl_install_text name text)
  string(REPLACE "\r\n" "\n" text "${text}")
  string(REPLACE "\n" "\r\n" text "${text}")
  file(WRITE ${SL_WINDOWS_TEXT}/${name} "${text}")
  install(FILES ${SL_WINDOWS_TEXT}/${name} DESTINATION . COMPONENT windows)
endfunction()
# A file of the source or the build machine, under the name given.
function(sl_install_text_file file name)
  if(EXISTS "${file}")
    file(READ "${file}" text)
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${file}")
    sl_install_text(${name} "${text}")
  else()
    message(WARNING "${name} not found: the ZIP lacks it")
  endif()
endfunction()

sl_install_text_file(${PROJECT_SOURCE_DIR}/docs/README-windows.txt README-windows.txt)
# The libraries' licence notices, under names that say whose they are.
sl_install_text_file("${SL_TIFF_LICENSE}" LICENSE-libtiff.txt)
sl_install_text_file("${SL_MINGW_LICENSE}" LICENSE-mingw-w64.txt)
# Which libtiff the program carries.
sl_libtiff_version_text(libtiff_version sl_depth.exe)
sl_install_text(libtiff-version.txt "${libtiff_version}")

set(CPACK_PACKAGE_NAME sl_depth)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME sl_depth-${PROJECT_VERSION}-win64)
set(CPACK_GENERATOR ZIP)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL windows)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
# The ZIP unpacks into one folder named after it, sl_depth-<version>-win64,
# not into loose files among whatever lies where it is unpacked.
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
include(CPack)

# The portable Linux build: one statically linked sl_depth that runs on any
# Linux of its architecture with nothing installed, and the tarball built
# with `cpack -G TGZ`: one folder holding the program, its manual page, a
# readme for Linux users, the version of the libtiff inside and the licences
# of the libraries linked into it.

# The C library, libstdc++, libgcc and libtiff linked in: the program has no
# dynamic loader and no shared library to find.
target_link_options(sl_depth PRIVATE -static -s)

set(SL_TIFF_LICENSE "" CACHE FILEPATH "libtiff's licence text (LICENSE.md of its source)")
set(SL_LIBC_LICENSE "" CACHE FILEPATH "the C library's copyright file")
set(SL_GCC_LICENSE "" CACHE FILEPATH "the copyright file of libstdc++ and libgcc")

# Everything in the top folder of the archive, beside the program; the
# rules of the Linux install tree are left out of it.
install(TARGETS sl_depth RUNTIME DESTINATION . COMPONENT portable)
install(FILES ${PROJECT_SOURCE_DIR}/docs/sl_depth.1 ${PROJECT_SOURCE_DIR}/docs/README-linux.txt
        DESTINATION . COMPONENT portable)

# The libraries' licence notices, under names that say whose they are.
function(sl_install_licence file name)
  if(EXISTS "${file}")
    install(FILES "${file}" DESTINATION . RENAME ${name} COMPONENT portable)
  else()
    message(WARNING "${name} not found: the tarball lacks it")
  endif()
endfunction()
sl_install_licence("${SL_TIFF_LICENSE}" LICENSE-libtiff.txt)
sl_install_licence("${SL_LIBC_LICENSE}" LICENSE-glibc.txt)
sl_install_licence("${SL_GCC_LICENSE}" LICENSE-gcc-runtime.txt)

# Which libtiff the program carries.
sl_libtiff_version_text(libtiff_version sl_depth)
file(WRITE ${CMAKE_BINARY_DIR}/portable-text/libtiff-version.txt "${libtiff_version}")
install(FILES ${CMAKE_BINARY_DIR}/portable-text/libtiff-version.txt DESTINATION . COMPONENT portable)

set(CPACK_PACKAGE_NAME sl_depth)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_FILE_NAME sl_depth-${PROJECT_VERSION}-linux-${CMAKE_SYSTEM_PROCESSOR})
set(CPACK_GENERATOR TGZ)
set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_COMPONENT_INCLUDE_TOPLEVEL_DIRECTORY ON)
set(CPACK_ARCHIVE_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL portable)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
include(CPack)

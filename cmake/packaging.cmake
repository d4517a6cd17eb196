# Installation beyond the binary (the manual page) and the Debian package
# built with `cpack -G DEB`.
include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/docs/sl_depth.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT manual)

# What a Debian package holds besides the binary, and a plain install does
# not: the manual page compressed, the copyright file and the changelog.
# gzip -n leaves out the name and time, so the same text gives the same
# bytes in every build.
set(SL_DEBIAN_DIR ${CMAKE_BINARY_DIR}/debian)
function(sl_debian_gzip source name)
  add_custom_command(OUTPUT ${SL_DEBIAN_DIR}/${name}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${SL_DEBIAN_DIR}
                     COMMAND sh -c "gzip -9n <\"$0\" >\"$1\"" ${source} ${SL_DEBIAN_DIR}/${name}
                     DEPENDS ${source} VERBATIM)
endfunction()
sl_debian_gzip(${PROJECT_SOURCE_DIR}/docs/sl_depth.1 sl_depth.1.gz)
sl_debian_gzip(${PROJECT_SOURCE_DIR}/docs/changelog changelog.gz)
add_custom_target(debian_files ALL DEPENDS ${SL_DEBIAN_DIR}/sl_depth.1.gz ${SL_DEBIAN_DIR}/changelog.gz)
install(FILES ${SL_DEBIAN_DIR}/sl_depth.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT debian EXCLUDE_FROM_ALL)
install(FILES ${PROJECT_SOURCE_DIR}/docs/copyright ${SL_DEBIAN_DIR}/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/sl-depth COMPONENT debian EXCLUDE_FROM_ALL)

# The C++ runtime is linked into the binary, so the package depends on the
# C library and libtiff only. Sanitizer builds are for testing, not for
# packaging, and keep the shared runtime the sanitizers expect.
if(NOT SL_SANITIZE AND NOT SL_SANITIZE_THREAD)
  target_link_options(sl_depth PRIVATE -static-libstdc++ -static-libgcc)
endif()

# The Debian package that ships the libtiff this build links against: the
# owner of the library file the link resolves to. The owner is looked up by
# the file's own directory name and file name, not its full path, since
# merged /usr makes one file appear under two paths; the directory name
# (x86_64-linux-gnu) keeps other architectures' copies out. Without dpkg,
# or when the owner is not found, the Debian 12 name.
function(sl_find_tiff_package out_var)
  set(package libtiff6)
  set(library "${TIFF_LIBRARY}")
  if(NOT library)
    set(library "${TIFF_LIBRARY_RELEASE}")
  endif()
  find_program(SL_DPKG dpkg)
  mark_as_advanced(SL_DPKG)
  if(SL_DPKG AND EXISTS "${library}")
    get_filename_component(library_file "${library}" REALPATH)
    get_filename_component(library_name "${library_file}" NAME)
    get_filename_component(library_dir "${library_file}" DIRECTORY)
    get_filename_component(library_dir "${library_dir}" NAME)
    execute_process(COMMAND ${SL_DPKG} -S "*/${library_dir}/${library_name}"
                    OUTPUT_VARIABLE owners RESULT_VARIABLE status ERROR_QUIET)
    # "libtiff6:amd64: /usr/lib/x86_64-linux-gnu/libtiff.so.6.0.0"
    if(status EQUAL 0 AND owners MATCHES "^([a-z0-9][a-z0-9.+-]*)[:,]")
      set(package "${CMAKE_MATCH_1}")
    endif()
  endif()
  set(${out_var} "${package}" PARENT_SCOPE)
endfunction()

# The package's dependencies come from the binary itself: dpkg-shlibdeps
# names the package of every shared library it loads, with the least
# version that has every symbol it uses (for the C library, the newest
# GLIBC_ symbol version). Without dpkg-dev, the libtiff package and the C
# library of the build machine, which is never too old.
find_program(SL_DPKG_SHLIBDEPS dpkg-shlibdeps)
mark_as_advanced(SL_DPKG_SHLIBDEPS)
if(SL_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  message(STATUS "Debian package dependencies: from dpkg-shlibdeps")
else()
  sl_find_tiff_package(SL_TIFF_PACKAGE)
  execute_process(COMMAND getconf GNU_LIBC_VERSION OUTPUT_VARIABLE libc_version ERROR_QUIET)
  string(REGEX MATCH "[0-9]+\\.[0-9]+" libc_version "${libc_version}")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${SL_TIFF_PACKAGE}")
  if(libc_version)
    string(APPEND CPACK_DEBIAN_PACKAGE_DEPENDS ", libc6 (>= ${libc_version})")
  endif()
  message(STATUS "Debian package dependencies (dpkg-shlibdeps not found): ${CPACK_DEBIAN_PACKAGE_DEPENDS}")
endif()

set(SL_PACKAGE_MAINTAINER "sl_depth developers <sl-depth@example.org>"
    CACHE STRING "Maintainer field of the Debian package")

set(CPACK_PACKAGE_NAME sl-depth)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${SL_PACKAGE_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert CT slice series to 8 or 16 bits with one common scaling")
set(CPACK_PACKAGE_DESCRIPTION
    "sl_depth reads a numbered series of 16-bit reconstruction slices (rec0000.tif
to rec9999.tif) whose ImageDescription carries a calibration line, finds the
physical range of the whole series and writes every slice as an 8-bit or
16-bit TIFF with one common linear scaling, optionally cropped to one
rectangle. Each output carries a rewritten calibration line, so equal
physical values get equal codes across the series.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${SL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION science)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
# The binary and the Debian files in one package; the uncompressed manual
# page of a plain install stays out.
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Unspecified debian)
set(CPACK_COMPONENTS_GROUPING ALL_COMPONENTS_IN_ONE)
include(CPack)

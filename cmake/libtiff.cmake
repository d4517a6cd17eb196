# libtiff: the oldest release whose interface the tree keeps to, the
# version `sl_depth --version` names, and how outputs written ahead are
# kept quiet.
find_package(TIFF 4.0.9 REQUIRED)

# libtiff 4.5 gives each handle its own message handlers; before it there
# are only the process-wide ones, which the output writer then routes by
# thread. -DSL_TIFF_OPEN_OPTIONS=OFF takes that route on any libtiff.
include(CheckSymbolExists)
set(CMAKE_REQUIRED_LIBRARIES TIFF::TIFF)
check_symbol_exists(TIFFOpenOptionsSetErrorHandlerExtR tiffio.h SL_TIFF_OPEN_OPTIONS)
unset(CMAKE_REQUIRED_LIBRARIES)
if(SL_TIFF_OPEN_OPTIONS)
  message(STATUS "libtiff ${TIFF_VERSION_STRING}: per-handle message handlers")
else()
  message(STATUS "libtiff ${TIFF_VERSION_STRING}: process-wide message handlers, routed by thread")
endif()

# A build that carries libtiff inside (Windows, static Linux builds) names
# the source package it was built from, as NAME VERSION.
set(SL_TIFF_SOURCE "" CACHE STRING "the source package libtiff was built from, as NAME VERSION")

# The text of libtiff-version.txt beside a program that carries libtiff
# inside: the version of the headers it was built against and the source
# package it came from.
function(sl_libtiff_version_text out_var program)
  set(tiff_source "${SL_TIFF_SOURCE}")
  if(NOT tiff_source)
    set(tiff_source "unknown")
  endif()
  set(${out_var} "libtiff built into ${program}
  version:                ${TIFF_VERSION_STRING}
  Debian source package:  ${tiff_source}
" PARENT_SCOPE)
endfunction()

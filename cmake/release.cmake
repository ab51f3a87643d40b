# How the programs the packages ship are compiled and linked. The sanitizer
# and fuzz builds are for this machine only and keep their full paths.
if(TOLVEX_SANITIZE OR TOLVEX_FUZZ)
  return()
endif()

# No path of this machine in the binaries (debug information, __FILE__):
# the checkout reads as ".", the mingw dependencies as "mingw-deps".
add_compile_options(-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.)
cmake_path(IS_PREFIX CMAKE_SOURCE_DIR ${CMAKE_BINARY_DIR} _binary_inside)
if(NOT _binary_inside)
  add_compile_options(-ffile-prefix-map=${CMAKE_BINARY_DIR}=build)
endif()

if(WIN32)
  if(TOLVEX_MINGW_PREFIX)
    add_compile_options(-ffile-prefix-map=${TOLVEX_MINGW_PREFIX}=mingw-deps)
  endif()
  # The PE header's time stamp would differ from link to link; packaging
  # stamps the shipped copies with the source's date instead.
  add_link_options(-Wl,--no-insert-timestamp)
  return()
endif()

# Linux: Debian's hardening (fortify, stack protector, PIE, RELRO with
# BIND_NOW), as dpkg-buildflags hands it to every Debian package;
# DEB_BUILD_OPTIONS and DEB_*FLAGS_APPEND still apply. The optimisation and
# debug levels stay the build type's, and the file prefix map is the one above.
find_program(DPKG_BUILDFLAGS dpkg-buildflags)
if(NOT DPKG_BUILDFLAGS)
  message(WARNING "dpkg-buildflags not found (package dpkg-dev): built without Debian's hardening")
  return()
endif()
foreach(kind CPPFLAGS CFLAGS CXXFLAGS LDFLAGS)
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
            ${DPKG_BUILDFLAGS} --get ${kind}
    OUTPUT_VARIABLE _flags OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  separate_arguments(_flags UNIX_COMMAND "${_flags}")
  list(FILTER _flags EXCLUDE REGEX "^(-g|-O.*|-ffile-prefix-map=.*)$")
  if(kind STREQUAL "CPPFLAGS")
    add_compile_options(${_flags})
  elseif(kind STREQUAL "CFLAGS")
    add_compile_options("$<$<COMPILE_LANGUAGE:C>:${_flags}>")
  elseif(kind STREQUAL "CXXFLAGS")
    add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:${_flags}>")
  else()
    add_link_options(${_flags})
  endif()
endforeach()

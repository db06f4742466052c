# The client library zormsg links, as the target `zorclient`: the in-tree
# stand-in (the default), or a library installed on this machine.
#
#   -DZORMSG_CLIENT_ROOT=<prefix>        <prefix>/include/zorclient.h and
#                                        <prefix>/lib/libzorclient.so (or lib64)
#   -DZORMSG_CLIENT_INCLUDE_DIR=<dir>    other layouts: the folder of zorclient.h
#   -DZORMSG_CLIENT_LIBRARY=<file>       other layouts: the library file
#
# Environment variables of the same names give the first values of these cache
# entries (pip builds pass them on every time, see pyproject.toml).
#
# Sets ZORMSG_CLIENT_TEST_CONTROLS: whether the library has the stand-in's test
# controls, which part of the tests need. Defines
# zormsg_install_client_library(<destination>).
#
# Where the library is, as found here, for the package config and the wheel
# script, which take it from these instead of searching again:
#   ZORMSG_CLIENT_STANDIN            ON for the in-tree stand-in
#   ZORMSG_CLIENT_RESOLVED_LIBRARY   an installed library's file (also in the cache)
#   ZORMSG_CLIENT_RESOLVED_INCLUDE   the folder of its zorclient.h
#   ZORMSG_CLIENT_RESOLVED_SONAME    its SONAME, empty when it has none
#   ZORMSG_CLIENT_LIBRARY_DIRS       the folders under a root searched for it

set(ZORMSG_CLIENT_ROOT "$ENV{ZORMSG_CLIENT_ROOT}" CACHE PATH
  "Prefix of an installed client library; empty: build the in-tree stand-in")
set(ZORMSG_CLIENT_INCLUDE_DIR "$ENV{ZORMSG_CLIENT_INCLUDE_DIR}" CACHE PATH
  "Folder holding zorclient.h, when not <root>/include")
set(ZORMSG_CLIENT_LIBRARY "$ENV{ZORMSG_CLIENT_LIBRARY}" CACHE FILEPATH
  "The libzorclient.so file, when not in <root>/lib")
foreach(var ZORMSG_CLIENT_ROOT ZORMSG_CLIENT_INCLUDE_DIR ZORMSG_CLIENT_LIBRARY)
  if(DEFINED ENV{${var}} AND NOT "$ENV{${var}}" STREQUAL "${${var}}")
    message(WARNING "The environment has ${var}=$ENV{${var}}; this build uses '${${var}}', "
      "from a -D option or from when this build folder was first configured.")
  endif()
endforeach()

set(ZORMSG_CLIENT_LIBRARY_DIRS lib lib64)
if(NOT ZORMSG_CLIENT_ROOT AND NOT ZORMSG_CLIENT_INCLUDE_DIR AND NOT ZORMSG_CLIENT_LIBRARY)
  set(ZORMSG_CLIENT_STANDIN ON)
  set(ZORMSG_CLIENT_RESOLVED_LIBRARY "" CACHE INTERNAL "The installed client library this build links")
  set(ZORMSG_CLIENT_RESOLVED_INCLUDE "")
  set(ZORMSG_CLIENT_RESOLVED_SONAME "")
  add_subdirectory(${CMAKE_CURRENT_LIST_DIR}/../zorclient ${CMAKE_CURRENT_BINARY_DIR}/zorclient)
  set(ZORMSG_CLIENT_TEST_CONTROLS ${ZORCLIENT_TEST_CONTROLS})
  message(STATUS "Client library: the in-tree stand-in (zorclient/), test controls ${ZORCLIENT_TEST_CONTROLS}")
  function(zormsg_install_client_library destination)
    install(TARGETS zorclient LIBRARY DESTINATION ${destination})
  endfunction()
  return()
endif()

# --- an installed library --------------------------------------------------------
function(_zormsg_client_error)
  string(CONCAT what ${ARGV})
  message(FATAL_ERROR "Client library: ${what}\n"
    "(ZORMSG_CLIENT_ROOT='${ZORMSG_CLIENT_ROOT}' ZORMSG_CLIENT_INCLUDE_DIR='${ZORMSG_CLIENT_INCLUDE_DIR}' "
    "ZORMSG_CLIENT_LIBRARY='${ZORMSG_CLIENT_LIBRARY}'; leave all three empty to build the in-tree stand-in)")
endfunction()

foreach(var ZORMSG_CLIENT_ROOT ZORMSG_CLIENT_INCLUDE_DIR ZORMSG_CLIENT_LIBRARY)
  if(${var} AND NOT IS_ABSOLUTE "${${var}}")
    _zormsg_client_error("${var} must be an absolute path, not '${${var}}'.")
  endif()
endforeach()
if(ZORMSG_CLIENT_ROOT AND NOT IS_DIRECTORY "${ZORMSG_CLIENT_ROOT}")
  _zormsg_client_error("ZORMSG_CLIENT_ROOT=${ZORMSG_CLIENT_ROOT} is not a directory.")
endif()
if(NOT ZORMSG_CLIENT_ROOT AND NOT (ZORMSG_CLIENT_INCLUDE_DIR AND ZORMSG_CLIENT_LIBRARY))
  _zormsg_client_error("set ZORMSG_CLIENT_ROOT, or both ZORMSG_CLIENT_INCLUDE_DIR (the folder of "
    "zorclient.h) and ZORMSG_CLIENT_LIBRARY (the library file).")
endif()

# Searched afresh on every configure, so a changed prefix is never shadowed by
# what an earlier one gave.
unset(_ZORMSG_CLIENT_HEADER_DIR CACHE)
unset(_ZORMSG_CLIENT_FOUND CACHE)
set(_zc_include "${ZORMSG_CLIENT_INCLUDE_DIR}")
if(NOT _zc_include)
  set(_zc_include "${ZORMSG_CLIENT_ROOT}/include")
endif()
find_path(_ZORMSG_CLIENT_HEADER_DIR zorclient.h PATHS "${_zc_include}" NO_DEFAULT_PATH)
if(NOT _ZORMSG_CLIENT_HEADER_DIR)
  _zormsg_client_error("no zorclient.h in ${_zc_include}.")
endif()
if(ZORMSG_CLIENT_LIBRARY)
  set(_zc_library "${ZORMSG_CLIENT_LIBRARY}")
  if(NOT EXISTS "${_zc_library}" OR IS_DIRECTORY "${_zc_library}")
    _zormsg_client_error("ZORMSG_CLIENT_LIBRARY=${_zc_library} is not a file.")
  endif()
else()
  find_library(_ZORMSG_CLIENT_FOUND libzorclient.so PATHS "${ZORMSG_CLIENT_ROOT}"
    PATH_SUFFIXES ${ZORMSG_CLIENT_LIBRARY_DIRS} NO_DEFAULT_PATH)
  set(_zc_library "${_ZORMSG_CLIENT_FOUND}")
  if(NOT _zc_library)
    _zormsg_client_error("no libzorclient.so in ${ZORMSG_CLIENT_ROOT}/lib (nor lib64): "
      "set ZORMSG_CLIENT_LIBRARY to the library file for another layout.")
  endif()
endif()
get_filename_component(_zc_real "${_zc_library}" REALPATH)
if(NOT _zc_real MATCHES "\\.so(\\.[0-9]+)*$")
  _zormsg_client_error("${_zc_library} is not a shared library (no .so name).")
endif()

# The name the loader will look for: the library's SONAME, or its file name
# when it has none (then it is linked by -l, not by path).
add_library(zorclient SHARED IMPORTED GLOBAL)
set_target_properties(zorclient PROPERTIES
  IMPORTED_LOCATION "${_zc_library}" INTERFACE_INCLUDE_DIRECTORIES "${_zc_include}")
get_filename_component(_zc_installed_name "${_zc_library}" NAME)
set(ZORMSG_CLIENT_RESOLVED_SONAME "")
execute_process(COMMAND "${CMAKE_READELF}" -d "${_zc_real}" OUTPUT_VARIABLE _zc_dynamic ERROR_QUIET)
if(_zc_dynamic MATCHES "Library soname: \\[([^]]+)\\]")
  set(_zc_installed_name "${CMAKE_MATCH_1}")
  set(ZORMSG_CLIENT_RESOLVED_SONAME "${_zc_installed_name}")
  set_target_properties(zorclient PROPERTIES IMPORTED_SONAME "${_zc_installed_name}")
else()
  set_target_properties(zorclient PROPERTIES IMPORTED_NO_SONAME TRUE)
endif()

# Links a program that takes the address of each function named, against the
# library; result in <out>, the compiler's and linker's output in <out>_log.
function(_zormsg_client_links out header)
  string(REPLACE ";" ",\n  (void*)&" list "${ARGN}")
  set(dir "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/zorclient_${out}")
  file(WRITE "${dir}/calls.cpp" "#include \"${header}\"\nvoid* const volatile calls[] = {\n  (void*)&${list}};\n"
    "int main() { return calls[0] == nullptr; }\n")
  try_compile(_zormsg_client_linked "${dir}/build" "${dir}/calls.cpp"
    CMAKE_FLAGS "-DINCLUDE_DIRECTORIES=${_zc_include}" LINK_LIBRARIES zorclient OUTPUT_VARIABLE log)
  set(${out} ${_zormsg_client_linked} PARENT_SCOPE)
  set(${out}_log "${log}" PARENT_SCOPE)
endfunction()

# One program calling every function zormsg calls: that it links proves, for
# this build's target, that the library is one the linker takes (an ELF shared
# library of this architecture) and that it has each of them. The linker's
# complaint tells which it is.
file(STRINGS "${CMAKE_CURRENT_LIST_DIR}/zorclient_calls.txt" _zc_calls REGEX "^zorClient_")
_zormsg_client_links(_zc_links zorclient.h ${_zc_calls})
if(NOT _zc_links)
  string(REGEX MATCHALL "undefined (reference to|symbol:) .?zorClient_[A-Za-z0-9_]+" _zc_missing "${_zc_links_log}")
  string(REGEX REPLACE "undefined [a-z :]+.?(zorClient_)" "\\1" _zc_missing "${_zc_missing}")
  if(_zc_missing)
    list(REMOVE_DUPLICATES _zc_missing)
    string(REPLACE ";" ", " _zc_missing "${_zc_missing}")
    _zormsg_client_error("undefined reference: ${_zc_library} lacks ${_zc_missing}, which zormsg calls.")
  elseif(_zc_links_log MATCHES "[^\n]*(wrong format|incompatible|Relocations in generic ELF)[^\n]*")
    _zormsg_client_error("${_zc_library} is for the wrong architecture: the linker says\n  ${CMAKE_MATCH_0}")
  elseif(_zc_links_log MATCHES "[^\n]*(file format not recognized|unknown file type|not an ELF)[^\n]*")
    _zormsg_client_error("${_zc_library} is not an ELF shared library: the linker says\n  ${CMAKE_MATCH_0}")
  endif()
  _zormsg_client_error("a program using zorclient.h from ${_zc_include} does not link against "
    "${_zc_library}:\n${_zc_links_log}")
endif()

# The test controls: the calls of zorclient_testing.h, and the HTTP content
# type setter. Only the stand-in has them; tests that need them are skipped
# without them (tests/CMakeLists.txt).
_zormsg_client_links(ZORMSG_CLIENT_TEST_CONTROLS zorclient_testing.h zorClient_testing_failAllocs
  zorClient_testing_failCopies zorClient_testing_liveMsgs zorClient_testing_liveContainers zorClient_testing_msg_setMapAttachment
  zorClient_msg_setHttpContentType)
set(_zc_controls "without test controls")
if(ZORMSG_CLIENT_TEST_CONTROLS)
  set(_zc_controls "with test controls")
endif()
message(STATUS "Client library: ${_zc_library} (${_zc_installed_name}), headers in ${_zc_include}, ${_zc_controls}")
set(ZORMSG_CLIENT_STANDIN OFF)
set(ZORMSG_CLIENT_RESOLVED_LIBRARY "${_zc_library}" CACHE INTERNAL "The installed client library this build links")
set(ZORMSG_CLIENT_RESOLVED_INCLUDE "${_zc_include}")
if(ZORMSG_FUZZ AND NOT ZORMSG_CLIENT_TEST_CONTROLS)
  message(FATAL_ERROR "ZORMSG_FUZZ needs the stand-in's test controls: build it without ZORMSG_CLIENT_ROOT.")
endif()

# The wheel carries the library under the name the module asks the loader for.
function(zormsg_install_client_library destination)
  install(FILES "${_zc_real}" DESTINATION ${destination} RENAME "${_zc_installed_name}")
endfunction()

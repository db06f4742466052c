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

if(NOT ZORMSG_CLIENT_ROOT AND NOT ZORMSG_CLIENT_INCLUDE_DIR AND NOT ZORMSG_CLIENT_LIBRARY)
  get_filename_component(_zc_source "${CMAKE_CURRENT_LIST_DIR}/../zorclient" ABSOLUTE)
  add_subdirectory(${_zc_source} ${CMAKE_CURRENT_BINARY_DIR}/zorclient)
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
if(ZORMSG_CLIENT_ROOT)
  if(NOT IS_DIRECTORY "${ZORMSG_CLIENT_ROOT}")
    _zormsg_client_error("ZORMSG_CLIENT_ROOT=${ZORMSG_CLIENT_ROOT} is not a directory.")
  endif()
endif()

if(ZORMSG_CLIENT_INCLUDE_DIR)
  set(_zc_include "${ZORMSG_CLIENT_INCLUDE_DIR}")
elseif(ZORMSG_CLIENT_ROOT)
  set(_zc_include "${ZORMSG_CLIENT_ROOT}/include")
else()
  _zormsg_client_error("ZORMSG_CLIENT_LIBRARY is set but not where zorclient.h is: "
    "set ZORMSG_CLIENT_INCLUDE_DIR or ZORMSG_CLIENT_ROOT.")
endif()
if(NOT EXISTS "${_zc_include}/zorclient.h")
  _zormsg_client_error("no zorclient.h in ${_zc_include}.")
endif()

if(ZORMSG_CLIENT_LIBRARY)
  set(_zc_library "${ZORMSG_CLIENT_LIBRARY}")
  if(NOT EXISTS "${_zc_library}" OR IS_DIRECTORY "${_zc_library}")
    _zormsg_client_error("ZORMSG_CLIENT_LIBRARY=${_zc_library} is not a file.")
  endif()
elseif(ZORMSG_CLIENT_ROOT)
  set(_zc_library "")
  foreach(dir lib lib64)
    if(NOT _zc_library AND EXISTS "${ZORMSG_CLIENT_ROOT}/${dir}/libzorclient.so")
      set(_zc_library "${ZORMSG_CLIENT_ROOT}/${dir}/libzorclient.so")
    endif()
  endforeach()
  if(NOT _zc_library)
    _zormsg_client_error("no libzorclient.so in ${ZORMSG_CLIENT_ROOT}/lib (nor lib64): "
      "set ZORMSG_CLIENT_LIBRARY to the library file for another layout.")
  endif()
else()
  _zormsg_client_error("ZORMSG_CLIENT_INCLUDE_DIR is set but not which library: "
    "set ZORMSG_CLIENT_LIBRARY or ZORMSG_CLIENT_ROOT.")
endif()
get_filename_component(_zc_real "${_zc_library}" REALPATH)

# The ELF header says whether the library can be linked into this build at
# all; the linker's own message for a wrong one is far less clear.
function(_zormsg_elf_header file out_class out_data out_type out_machine)
  file(READ "${file}" hex LIMIT 20 HEX)
  string(LENGTH "${hex}" n)
  if(n LESS 40 OR NOT hex MATCHES "^7f454c46")
    set(${out_class} "" PARENT_SCOPE)
    return()
  endif()
  string(SUBSTRING "${hex}" 8 2 class)    # 01: 32-bit, 02: 64-bit
  string(SUBSTRING "${hex}" 10 2 data)    # 01: little-endian, 02: big-endian
  if(data STREQUAL "01")
    string(SUBSTRING "${hex}" 34 2 t1)
    string(SUBSTRING "${hex}" 32 2 t0)
    string(SUBSTRING "${hex}" 38 2 m1)
    string(SUBSTRING "${hex}" 36 2 m0)
  else()
    string(SUBSTRING "${hex}" 32 2 t1)
    string(SUBSTRING "${hex}" 34 2 t0)
    string(SUBSTRING "${hex}" 36 2 m1)
    string(SUBSTRING "${hex}" 38 2 m0)
  endif()
  set(${out_class} "${class}" PARENT_SCOPE)
  set(${out_data} "${data}" PARENT_SCOPE)
  set(${out_type} "${t1}${t0}" PARENT_SCOPE)
  set(${out_machine} "${m1}${m0}" PARENT_SCOPE)
endfunction()

function(_zormsg_machine_name code out)
  set(names 0003 "x86 (32-bit)" 003e x86_64 0028 arm 00b7 aarch64 0014 ppc 0015 ppc64 0016 s390x
    00f3 riscv 0008 mips)
  list(FIND names "${code}" i)
  if(i GREATER -1)
    math(EXPR i "${i} + 1")
    list(GET names ${i} name)
    set(${out} "${name}" PARENT_SCOPE)
  else()
    set(${out} "ELF machine 0x${code}" PARENT_SCOPE)
  endif()
endfunction()

_zormsg_elf_header("${_zc_real}" _zc_class _zc_data _zc_type _zc_machine)
if(NOT _zc_class)
  _zormsg_client_error("${_zc_library} is not an ELF shared library.")
endif()
if(NOT _zc_type STREQUAL "0003")
  _zormsg_client_error("${_zc_library} is not a shared library (ELF type 0x${_zc_type}).")
endif()
# What this build's compiler makes, from a program it built.
set(_zc_probe_key "${CMAKE_CXX_COMPILER};${CMAKE_CXX_FLAGS}")
if(NOT _ZORMSG_TARGET_ELF_KEY STREQUAL _zc_probe_key)
  set(_zc_probe_dir "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/zorclient_probe")
  file(WRITE "${_zc_probe_dir}/probe.cpp" "int main() { return 0; }\n")
  try_compile(_zc_probe_ok "${_zc_probe_dir}/build" "${_zc_probe_dir}/probe.cpp"
    COPY_FILE "${_zc_probe_dir}/probe")
  if(NOT _zc_probe_ok)
    message(FATAL_ERROR "Client library: the C++ compiler cannot build a program, so ${_zc_library} cannot be checked.")
  endif()
  _zormsg_elf_header("${_zc_probe_dir}/probe" _zc_want_class _zc_want_data _zc_want_type _zc_want_machine)
  set(_ZORMSG_TARGET_ELF "${_zc_want_class};${_zc_want_data};${_zc_want_machine}" CACHE INTERNAL "")
  set(_ZORMSG_TARGET_ELF_KEY "${_zc_probe_key}" CACHE INTERNAL "")
endif()
list(GET _ZORMSG_TARGET_ELF 0 _zc_want_class)
list(GET _ZORMSG_TARGET_ELF 1 _zc_want_data)
list(GET _ZORMSG_TARGET_ELF 2 _zc_want_machine)
if(NOT _zc_class STREQUAL _zc_want_class OR NOT _zc_data STREQUAL _zc_want_data
   OR NOT _zc_machine STREQUAL _zc_want_machine)
  _zormsg_machine_name(${_zc_machine} _zc_is)
  _zormsg_machine_name(${_zc_want_machine} _zc_want)
  math(EXPR _zc_bits "${_zc_class} * 32")
  math(EXPR _zc_want_bits "${_zc_want_class} * 32")
  _zormsg_client_error("${_zc_library} is for the wrong architecture: ${_zc_is}, ${_zc_bits}-bit, but "
    "this build makes ${_zc_want}, ${_zc_want_bits}-bit code.")
endif()

# The name the loader will look for: the library's SONAME, or its file name
# when it has none (then it is linked by -l, not by path).
set(_zc_soname "")
if(CMAKE_READELF)
  execute_process(COMMAND "${CMAKE_READELF}" -d "${_zc_real}" OUTPUT_VARIABLE _zc_dynamic
    RESULT_VARIABLE _zc_rc ERROR_QUIET)
  if(_zc_rc EQUAL 0 AND _zc_dynamic MATCHES "Library soname: \\[([^]]+)\\]")
    set(_zc_soname "${CMAKE_MATCH_1}")
  endif()
else()
  message(WARNING "Client library: no readelf found; taking ${_zc_library} to have no SONAME.")
endif()

add_library(zorclient SHARED IMPORTED GLOBAL)
set_target_properties(zorclient PROPERTIES
  IMPORTED_LOCATION "${_zc_library}"
  INTERFACE_INCLUDE_DIRECTORIES "${_zc_include}")
if(_zc_soname)
  set_target_properties(zorclient PROPERTIES IMPORTED_SONAME "${_zc_soname}")
  set(_zc_installed_name "${_zc_soname}")
else()
  set_target_properties(zorclient PROPERTIES IMPORTED_NO_SONAME TRUE)
  get_filename_component(_zc_installed_name "${_zc_library}" NAME)
endif()

# Link checks, done again whenever the library or header changes.
include(CheckCXXSymbolExists)
file(TIMESTAMP "${_zc_real}" _zc_stamp)
set(_zc_checked "${_zc_real};${_zc_stamp};${_zc_include}")
if(NOT _ZORMSG_CLIENT_CHECKED STREQUAL _zc_checked)
  foreach(var ZORMSG_CLIENT_LINKS ZORMSG_CLIENT_HAS_failAllocs ZORMSG_CLIENT_HAS_failCopies ZORMSG_CLIENT_HAS_liveMsgs
              ZORMSG_CLIENT_HAS_liveContainers ZORMSG_CLIENT_HAS_setMapAttachment
              ZORMSG_CLIENT_HAS_setHttpContentType)
    unset(${var} CACHE)
  endforeach()
endif()
set(CMAKE_REQUIRED_INCLUDES "${_zc_include}")
set(CMAKE_REQUIRED_LIBRARIES zorclient)
set(CMAKE_REQUIRED_QUIET ON)
check_cxx_symbol_exists(zorClient_msg_alloc "zorclient.h" ZORMSG_CLIENT_LINKS)
if(NOT ZORMSG_CLIENT_LINKS)
  _zormsg_client_error("a program using zorclient.h from ${_zc_include} does not link against "
    "${_zc_library} (zorClient_msg_alloc missing?): the linker's output is in "
    "${CMAKE_BINARY_DIR}/CMakeFiles/CMakeConfigureLog.yaml.")
endif()

# The test controls: the calls of zorclient_testing.h, and the HTTP content
# type setter. Only the stand-in has them; tests that need them are skipped
# without them (tests/CMakeLists.txt).
set(ZORMSG_CLIENT_TEST_CONTROLS OFF)
if(EXISTS "${_zc_include}/zorclient_testing.h")
  foreach(fn failAllocs failCopies liveMsgs liveContainers msg_setMapAttachment)
    string(REPLACE "msg_" "" var "ZORMSG_CLIENT_HAS_${fn}")
    check_cxx_symbol_exists(zorClient_testing_${fn} "zorclient_testing.h" ${var})
  endforeach()
  check_cxx_symbol_exists(zorClient_msg_setHttpContentType "zorclient.h" ZORMSG_CLIENT_HAS_setHttpContentType)
  if(ZORMSG_CLIENT_HAS_failAllocs AND ZORMSG_CLIENT_HAS_failCopies AND ZORMSG_CLIENT_HAS_liveMsgs AND ZORMSG_CLIENT_HAS_liveContainers
     AND ZORMSG_CLIENT_HAS_setMapAttachment AND ZORMSG_CLIENT_HAS_setHttpContentType)
    set(ZORMSG_CLIENT_TEST_CONTROLS ON)
  endif()
endif()
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_REQUIRED_LIBRARIES)
unset(CMAKE_REQUIRED_QUIET)
set(_ZORMSG_CLIENT_CHECKED "${_zc_checked}" CACHE INTERNAL "")

if(ZORMSG_CLIENT_TEST_CONTROLS)
  set(_zc_controls "with test controls")
else()
  set(_zc_controls "without test controls")
endif()
message(STATUS "Client library: ${_zc_library} (${_zc_installed_name}), headers in ${_zc_include}, ${_zc_controls}")

if(ZORMSG_FUZZ AND NOT ZORMSG_CLIENT_TEST_CONTROLS)
  message(FATAL_ERROR "ZORMSG_FUZZ needs the stand-in's test controls: build it without ZORMSG_CLIENT_ROOT.")
endif()

# Every zorClient_ function the module calls must be in the library. The
# module's link does not check that (a Python module may leave symbols
# undefined), so a check after it does, by the symbol tables.
if(CMAKE_NM)
  set(_zc_stamp "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/zorclient_calls.stamp")
  add_custom_command(OUTPUT "${_zc_stamp}"
    COMMAND "${CMAKE_COMMAND}" "-DNM=${CMAKE_NM}" "-DMODULE=$<TARGET_FILE:zormsg>" "-DLIBRARY=${_zc_real}"
            "-DSTAMP=${_zc_stamp}" -P "${CMAKE_CURRENT_LIST_DIR}/ZorClientCalls.cmake"
    DEPENDS zormsg "${_zc_real}" "${CMAKE_CURRENT_LIST_DIR}/ZorClientCalls.cmake"
    COMMENT "Checking that ${_zc_library} has every function zormsg calls" VERBATIM)
  add_custom_target(zorclient_calls ALL DEPENDS "${_zc_stamp}")
else()
  message(WARNING "Client library: no nm found; a function missing from ${_zc_library} shows only at import.")
endif()

# The wheel carries the library under the name the module asks the loader for.
set(_ZORMSG_CLIENT_FILE "${_zc_real}")
set(_ZORMSG_CLIENT_INSTALLED_NAME "${_zc_installed_name}")
function(zormsg_install_client_library destination)
  install(FILES "${_ZORMSG_CLIENT_FILE}" DESTINATION ${destination} RENAME "${_ZORMSG_CLIENT_INSTALLED_NAME}")
endfunction()

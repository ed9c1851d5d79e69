# SPDX-License-Identifier: MIT
# The Windows build (cross-compiled with cmake/mingw-w64.cmake).
#
# xxHash, RapidJSON and CLI11 are used header-only: their headers are copied from
# the build machine's include directory into the build tree, so that the
# target compiler never sees the build machine's system headers.
# GoogleTest is built for the target from its sources.

set(DUPFIND_HOST_INCLUDE_DIR /usr/include CACHE PATH
  "Where the build machine keeps xxhash.h, rapidjson/ and CLI/ (used header-only for Windows)")
if(NOT EXISTS ${DUPFIND_HOST_INCLUDE_DIR}/xxhash.h OR NOT EXISTS ${DUPFIND_HOST_INCLUDE_DIR}/rapidjson/document.h
   OR NOT EXISTS ${DUPFIND_HOST_INCLUDE_DIR}/CLI/CLI.hpp)
  message(FATAL_ERROR "xxhash.h, rapidjson/ or CLI/ not found in ${DUPFIND_HOST_INCLUDE_DIR} "
                      "(Debian packages libxxhash-dev, rapidjson-dev, libcli11-dev)")
endif()
set(DUPFIND_HEADER_ONLY_DIR ${CMAKE_BINARY_DIR}/header-only)
file(COPY ${DUPFIND_HOST_INCLUDE_DIR}/xxhash.h ${DUPFIND_HOST_INCLUDE_DIR}/rapidjson ${DUPFIND_HOST_INCLUDE_DIR}/CLI
  DESTINATION ${DUPFIND_HEADER_ONLY_DIR})
set(XXHASH_INCLUDE_DIR ${DUPFIND_HEADER_ONLY_DIR})
set(RAPIDJSON_INCLUDE_DIR ${DUPFIND_HEADER_ONLY_DIR})
set(CLI11_INCLUDE_DIR ${DUPFIND_HEADER_ONLY_DIR})
set(XXHASH_LIBRARY "")
# xxHash's functions are compiled into whoever includes the header. Its
# inline mode renames the state type, which a header of ours declares ahead
# (content.h): including xxhash.h first in every C++ translation unit gives
# that declaration the same name.
add_compile_definitions(XXH_INLINE_ALL)
add_compile_options("$<$<COMPILE_LANGUAGE:CXX>:SHELL:-include ${DUPFIND_HEADER_ONLY_DIR}/xxhash.h>")

# Programs and the DLL land together in bin/ (Windows finds a DLL beside the
# program that loads it), the import library in lib/.
set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set(CMAKE_ARCHIVE_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/lib)

# The C++ runtime, libgcc and winpthreads are linked statically into every
# program and the DLL, which then depend on Windows system DLLs alone.
add_link_options(-static)

# The DLL: brennic-filedup-find.dll with the import library
# libbrennic-filedup-find.dll.a. Only the functions that dupfind.h marks
# __declspec(dllexport) are exported.
function(dupfind_windows_library target)
  set_target_properties(${target} PROPERTIES PREFIX "" IMPORT_PREFIX "lib")
  target_link_options(${target} PRIVATE -Wl,--no-undefined)
endfunction()

# SPDX-License-Identifier: MIT
# Run by cpack on its staging tree: compress the manual pages (gzip -n keeps
# the time out, so that packages build reproducibly).
file(GLOB_RECURSE files ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*.1)
foreach(page IN LISTS files)
  if(page MATCHES "/share/man/man1/[^/]+\\.1$")
    execute_process(COMMAND gzip -9 -n -f ${page} RESULT_VARIABLE result)
    if(NOT result EQUAL 0)
      message(FATAL_ERROR "gzip ${page} failed")
    endif()
  endif()
endforeach()

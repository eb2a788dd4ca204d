# Run by CPack on its staging tree before packaging: compresses the manual page and the
# changelog the way Debian installs them (gzip -9n: best compression, no name or time stamp).
cmake_minimum_required(VERSION 3.20)
file(GLOB_RECURSE documents
  "${CPACK_TEMPORARY_DIRECTORY}/*/share/man/man*/*.[1-9]"
  "${CPACK_TEMPORARY_DIRECTORY}/*/share/doc/*/changelog")
if(NOT documents)
  message(FATAL_ERROR "no manual page or changelog in ${CPACK_TEMPORARY_DIRECTORY}")
endif()
foreach(document IN LISTS documents)
  execute_process(COMMAND gzip -9n -f "${document}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip failed on ${document}")
  endif()
endforeach()

# Fails unless the manual page MAN renders with no warning from GROFF, carries the project's
# VERSION, and names every message that the sources under SOURCE_DIR can print through fatal().
cmake_minimum_required(VERSION 3.20)
execute_process(COMMAND ${GROFF} -man -ww -z ${MAN}
  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT status EQUAL 0 OR NOT "${out}${err}" STREQUAL "")
  message(FATAL_ERROR "groff warns about ${MAN}:\n${out}${err}")
endif()

file(STRINGS ${MAN} title REGEX "^\\.TH ")
if(NOT title MATCHES "\"vyk_pic_convert ${VERSION}\"")
  message(FATAL_ERROR "the manual's title line does not name version ${VERSION}: ${title}")
endif()

# Rendered wide and unhyphenated, so that no message is split across lines.
execute_process(COMMAND ${GROFF} -man -Tutf8 -P-cbou -rLL=400n -rHY=0 ${MAN}
  OUTPUT_VARIABLE page RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "groff can't render ${MAN}")
endif()

file(GLOB sources ${SOURCE_DIR}/*.cpp ${SOURCE_DIR}/*.h)
set(messages "")
foreach(source IN LISTS sources)
  file(READ ${source} text)
  string(REGEX MATCHALL "fatal\\(\"[^\"]*\\\\n\"\\)" calls "${text}")
  foreach(call IN LISTS calls)
    string(REGEX REPLACE "^fatal\\(\"(.*)\\\\n\"\\)$" "\\1" message "${call}")
    list(APPEND messages "${message}")
  endforeach()
endforeach()
if(NOT "USAGE: vyk_pic_convert inputfile." IN_LIST messages)
  message(FATAL_ERROR "found no messages in ${SOURCE_DIR}: the search itself is broken")
endif()

list(REMOVE_DUPLICATES messages)
foreach(message IN LISTS messages)
  string(FIND "${page}" "${message}" at)
  if(at EQUAL -1)
    message(SEND_ERROR "the manual does not name the message \"${message}\"")
  endif()
endforeach()
list(LENGTH messages count)
message(STATUS "the manual names all ${count} messages")

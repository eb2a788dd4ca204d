# Fails unless GENERATOR, run now (through EMULATOR, its words separated by |, if one is given),
# draws exactly the bytes checked in as SAMPLE.
cmake_minimum_required(VERSION 3.20)
string(REPLACE "|" ";" emulator "${EMULATOR}")
execute_process(COMMAND ${emulator} ${GENERATOR} ${OUTPUT} RESULT_VARIABLE drawn)
if(NOT drawn EQUAL 0)
  message(FATAL_ERROR "the chart generator failed: ${drawn}")
endif()
execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files ${SAMPLE} ${OUTPUT} RESULT_VARIABLE differs)
if(differs)
  message(FATAL_ERROR "${SAMPLE} is not what the generator draws; regenerate it")
endif()

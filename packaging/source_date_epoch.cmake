# Run by CPack before it makes the package: finds the time that every time in the package is
# clamped to (reproducible_deb.cmake), or stops the package being made, since it would not be
# reproducible. In order: SOURCE_DATE_EPOCH from the environment; the commit time that git
# archive wrote into packaging/source_date; in a clone, the time of its last commit. The last
# two are the same time for the same commit, so a release tarball and a clone give one package.
cmake_minimum_required(VERSION 3.20)

set(source_dir "${CPACK_VYK_SOURCE_DIR}")
set(date_file "${source_dir}/packaging/source_date")

# Stops with the reason its arguments spell, one after the other. A package that an earlier run
# left where this one would have written its own is removed first, so that none is left that
# this run could be taken to have made.
function(no_time_found)
  set(reason "")
  math(EXPR last "${ARGC} - 1")
  foreach(i RANGE ${last})
    string(APPEND reason "${ARGV${i}}")
  endforeach()
  file(GLOB stale "${CPACK_PACKAGE_DIRECTORY}/${CPACK_PACKAGE_NAME}_${CPACK_PACKAGE_VERSION}_*.deb")
  if(stale)
    file(REMOVE ${stale})
  endif()
  message(FATAL_ERROR "no time to clamp the package to, so no package was made: set "
    "SOURCE_DATE_EPOCH to the time of the sources' last commit, in seconds since 1970 "
    "(git log -1 --format=%ct in a clone of them).\n${reason}")
endfunction()

# git, run in SOURCE_DIR with ARGN; sets output and error, and status to 0 when it succeeds.
# Another user's clone is read too: git refuses it by default ("dubious ownership") since a
# repository's configuration can run commands, but whoever builds these sources already runs what
# their owner wrote in them.
macro(run_git)
  execute_process(COMMAND "${git}" -c safe.directory=* -C "${source_dir}" ${ARGN}
    OUTPUT_VARIABLE output OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_VARIABLE error ERROR_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
endmacro()

if(NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
  set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  set(origin "SOURCE_DATE_EPOCH")
  if(NOT epoch MATCHES "^[0-9]+$")
    no_time_found("SOURCE_DATE_EPOCH is \"${epoch}\", not a number of seconds.")
  endif()
else()
  set(date "")
  if(EXISTS "${date_file}")
    file(STRINGS "${date_file}" date REGEX "^[^#]")
  endif()
  if(date MATCHES "^[0-9]+$")
    # A tree that git archive wrote.
    set(epoch "${date}")
    set(origin "${date_file}")
  elseif(NOT date STREQUAL "$Format:%ct$")
    no_time_found("${date_file} holds neither a time nor git archive's placeholder.")
  else()
    # A clone, or a copy of one. The time is read only from the repository whose top is these
    # sources, never from one they were unpacked or copied into.
    set(unfilled "${date_file} was not filled in by git archive")
    find_program(git git)
    if(NOT git)
      no_time_found("${unfilled}, and there is no git to read the last commit of a clone.")
    endif()
    run_git(rev-parse --show-toplevel)
    if(NOT status EQUAL 0)
      no_time_found("${unfilled}, and git finds no clone there: ${error}")
    endif()
    file(REAL_PATH "${output}" top)
    file(REAL_PATH "${source_dir}" real_source_dir)
    if(NOT top STREQUAL real_source_dir)
      no_time_found("${unfilled}, and ${source_dir} is not a clone but lies in the repository "
        "${top}, whose commits are not its own.")
    endif()
    run_git(log -1 --format=%ct)
    if(NOT status EQUAL 0 OR NOT output MATCHES "^[0-9]+$")
      no_time_found("${unfilled}, and git gives no time for the last commit of ${source_dir}: "
        "${error}")
    endif()
    set(epoch "${output}")
    set(origin "the last commit of ${source_dir}")
  endif()
endif()

set(CPACK_VYK_SOURCE_DATE_EPOCH "${epoch}")
message(STATUS "The package's times are clamped to ${epoch}, from ${origin}.")

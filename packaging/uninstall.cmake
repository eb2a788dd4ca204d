# Takes away what `cmake --install` put in place from a build directory: every file it
# installed, then every directory it made that is now empty, deepest first; never a directory
# that was there before, one that still holds anything, or one outside the prefix.
# Usage: cmake -DRECORD=BUILD_DIR/install_record.txt -P packaging/uninstall.cmake
#   (the build's `uninstall` target runs it so: cmake --build BUILD_DIR --target uninstall).
# RECORD is written by packaging/install_record.cmake as the install runs; once done, it is
# removed. A file already gone is passed over; the run fails if a file can't be removed.
if(NOT RECORD)
  message(FATAL_ERROR "usage: cmake -DRECORD=BUILD_DIR/install_record.txt -P ${CMAKE_CURRENT_LIST_FILE}")
endif()
if(NOT EXISTS "${RECORD}")
  message(STATUS "Nothing to uninstall: no ${RECORD} (nothing installed from this build directory, "
                 "or uninstalled already)")
  return()
endif()

file(STRINGS "${RECORD}" lines)
set(dirs "")
foreach(line IN LISTS lines)
  if(line MATCHES "^file (.+)$")
    set(file "${CMAKE_MATCH_1}")
    if(EXISTS "${file}" OR IS_SYMLINK "${file}")
      message(STATUS "Uninstalling: ${file}")
      file(REMOVE "${file}")
      if(EXISTS "${file}" OR IS_SYMLINK "${file}")
        message(FATAL_ERROR "can't remove ${file}")
      endif()
    endif()
  elseif(line MATCHES "^dir (.+)$")
    list(APPEND dirs "${CMAKE_MATCH_1}")
  endif()
endforeach()

# A directory's path sorts after its parent's: in descending order, children come first.
list(SORT dirs ORDER DESCENDING)
foreach(dir IN LISTS dirs)
  if(IS_DIRECTORY "${dir}" AND NOT IS_SYMLINK "${dir}")
    # rmdir removes a directory only if it is empty, in one step.
    execute_process(COMMAND rmdir -- "${dir}" RESULT_VARIABLE failed ERROR_QUIET)
    if(failed)
      message(STATUS "Kept (not empty): ${dir}")
    else()
      message(STATUS "Removed directory: ${dir}")
    endif()
  endif()
endforeach()
file(REMOVE "${RECORD}")

# Run by CPack on each package it has made: rebuilds it with dpkg-deb so that the same sources
# give the same bytes wherever and whenever they are built. Every time in it (archive members,
# files, compressed headers) is clamped to SOURCE_DATE_EPOCH, which defaults to the time of the
# sources' last commit, or else of the changelog's latest entry, as Debian takes it from its
# changelog; every mode is 0755 or 0644, whatever the umask; every file belongs to root.
cmake_minimum_required(VERSION 3.20)

set(epoch "$ENV{SOURCE_DATE_EPOCH}")
if(epoch STREQUAL "")
  execute_process(COMMAND git -C "${CPACK_VYK_SOURCE_DIR}" log -1 --format=%ct
    OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR epoch STREQUAL "")
    file(STRINGS "${CPACK_VYK_SOURCE_DIR}/packaging/changelog.in" signature REGEX "^ -- " LIMIT_COUNT 1)
    string(REGEX REPLACE "^ -- .*>  " "" date "${signature}")
    execute_process(COMMAND date -u -d "${date}" +%s OUTPUT_VARIABLE epoch
      OUTPUT_STRIP_TRAILING_WHITESPACE RESULT_VARIABLE status)
  endif()
endif()
if(NOT epoch MATCHES "^[0-9]+$")
  message(FATAL_ERROR "no time to clamp the package to: set SOURCE_DATE_EPOCH")
endif()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${package}" "${tree}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb can't unpack ${package}")
  endif()
  set(mode_755 OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
               WORLD_EXECUTE)
  set(mode_644 OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
  file(GLOB_RECURSE entries LIST_DIRECTORIES true "${tree}/*")
  foreach(entry IN LISTS entries ITEMS "${tree}")
    if(IS_SYMLINK "${entry}")
      continue()
    endif()
    # Directories and executables 0755, everything else 0644.
    execute_process(COMMAND test -x "${entry}" RESULT_VARIABLE test_status)
    if(test_status EQUAL 0)
      file(CHMOD "${entry}" PERMISSIONS ${mode_755})
    else()
      file(CHMOD "${entry}" PERMISSIONS ${mode_644})
    endif()
  endforeach()
  execute_process(COMMAND find "${tree}" -exec touch -h -d "@${epoch}" {} +
    RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "can't set the times in ${tree}")
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
            dpkg-deb --root-owner-group --build "${tree}" "${package}"
    OUTPUT_QUIET RESULT_VARIABLE status)
  file(REMOVE_RECURSE "${tree}")
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "dpkg-deb can't rebuild ${package}")
  endif()
endforeach()

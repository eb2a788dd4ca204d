# Run by CPack on each package it has made: rebuilds it with dpkg-deb so that the same sources
# give the same bytes wherever and whenever they are built. Every time in it (archive members,
# files, compressed headers) is clamped to the time source_date_epoch.cmake found before the
# package was made (SOURCE_DATE_EPOCH, or else the sources' last commit, as git archive or git
# gives it); every mode is 0755 or 0644, whatever the umask; every file belongs to root. A
# package that can't be made so is removed, and the run fails.
cmake_minimum_required(VERSION 3.20)

if(NOT CPACK_VYK_SOURCE_DATE_EPOCH MATCHES "^[0-9]+$")
  # Not found before the package was made (a CPack that runs no pre-build scripts): found now,
  # and the package removed if there is none.
  include("${CMAKE_CURRENT_LIST_DIR}/source_date_epoch.cmake")
endif()
set(epoch "${CPACK_VYK_SOURCE_DATE_EPOCH}")

# Removes the packages and the tree being rebuilt, then stops with MESSAGE.
function(fail message)
  file(REMOVE_RECURSE ${CPACK_PACKAGE_FILES} "${tree}")
  message(FATAL_ERROR "${message}; no package was left")
endfunction()

foreach(package IN LISTS CPACK_PACKAGE_FILES)
  set(tree "${package}.tree")
  file(REMOVE_RECURSE "${tree}")
  execute_process(COMMAND dpkg-deb --raw-extract "${package}" "${tree}" RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    fail("dpkg-deb can't unpack ${package}")
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
    fail("can't set the times in ${tree}")
  endif()
  execute_process(
    COMMAND ${CMAKE_COMMAND} -E env SOURCE_DATE_EPOCH=${epoch}
            dpkg-deb --root-owner-group --build "${tree}" "${package}"
    OUTPUT_QUIET RESULT_VARIABLE status)
  file(REMOVE_RECURSE "${tree}")
  if(NOT status EQUAL 0)
    fail("dpkg-deb can't rebuild ${package}")
  endif()
endforeach()

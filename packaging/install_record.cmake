# Run by `cmake --install`, before its first rule and after its last: keeps a record of what the
# install put in place, which packaging/uninstall.cmake takes away again.
#
# Set by the caller: vyk_install_record, the record's path (in the build directory);
# vyk_install_dirs, the install's destination directories (relative to the prefix, or absolute);
# vyk_install_phase, "before" or "after".
# Before: notes which of the destinations, and of the directories between them and the prefix,
# the prefix included, don't exist yet: those the install makes. Destinations outside the prefix
# are left out: the uninstall never removes a directory there.
# After: adds the files installed (CMAKE_INSTALL_MANIFEST_FILES, under DESTDIR) and those
# directories to the record, one "file PATH" or "dir PATH" a line, keeping what earlier installs
# from this build directory recorded. CMake's own install_manifest.txt is not enough: cpack's
# staging install overwrites it. A cpack run, which installs into a staging directory of its own under
# _CPack_Packages, is not recorded.
set(vyk_install_root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
if("${vyk_install_root}" MATCHES "/_CPack_Packages/")
  return()
endif()

if(vyk_install_phase STREQUAL "before")
  set(vyk_install_new_dirs "")
  foreach(destination IN LISTS vyk_install_dirs)
    if(IS_ABSOLUTE "${destination}")
      continue()
    endif()
    set(dir "${vyk_install_root}")
    string(REPLACE "/" ";" parts "${destination}")
    foreach(part IN ITEMS "" ${parts})
      if(NOT part STREQUAL "")
        string(APPEND dir "/${part}")
      endif()
      if(NOT EXISTS "${dir}" AND NOT IS_SYMLINK "${dir}")
        list(APPEND vyk_install_new_dirs "${dir}")
      endif()
    endforeach()
  endforeach()
  list(REMOVE_DUPLICATES vyk_install_new_dirs)
  return()
endif()

set(lines "")
if(EXISTS "${vyk_install_record}")
  file(STRINGS "${vyk_install_record}" lines)
endif()
# The manifest's paths leave out DESTDIR, where the files are.
foreach(file IN LISTS CMAKE_INSTALL_MANIFEST_FILES)
  list(APPEND lines "file $ENV{DESTDIR}${file}")
endforeach()
foreach(dir IN LISTS vyk_install_new_dirs)
  list(APPEND lines "dir ${dir}")
endforeach()
list(REMOVE_DUPLICATES lines)
list(JOIN lines "\n" text)
file(WRITE "${vyk_install_record}" "${text}\n")

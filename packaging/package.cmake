# Installation layout and the Debian package (cpack -G DEB in the build directory).
include(GNUInstallDirs)

set(CPACK_PACKAGE_NAME vyk-pic-convert) # Debian names allow no underscore
set(CPACK_DEBIAN_PACKAGE_MAINTAINER
    "vyk_pic_convert maintainers <maintainers@users.noreply.c-seed-8cc9938e.example>")
set(package_doc_dir ${CMAKE_INSTALL_DATAROOTDIR}/doc/${CPACK_PACKAGE_NAME})

# A record of what the install puts in place, for the uninstall: first, which of its directories
# it makes (packaging/install_record.cmake).
set(install_record_code "set(vyk_install_record [[${PROJECT_BINARY_DIR}/install_record.txt]])
set(vyk_install_dirs [[${CMAKE_INSTALL_BINDIR};${CMAKE_INSTALL_MANDIR}/man1;${package_doc_dir}]])")
install(CODE "${install_record_code}\nset(vyk_install_phase before)")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install_record.cmake)
install(TARGETS vyk_pic_convert RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/man/vyk_pic_convert.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
# Debian asks every package for these two; the changelog's version is the project's.
configure_file(${CMAKE_CURRENT_LIST_DIR}/changelog.in ${PROJECT_BINARY_DIR}/changelog @ONLY)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/copyright ${PROJECT_BINARY_DIR}/changelog
        DESTINATION ${package_doc_dir})
# Then, after the last install rule, the files. `cmake --build BUILD_DIR --target uninstall`
# takes away those files and the directories the install made (packaging/uninstall.cmake).
install(CODE "${install_record_code}\nset(vyk_install_phase after)")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/install_record.cmake)
add_custom_target(uninstall
  COMMAND ${CMAKE_COMMAND} -DRECORD=${PROJECT_BINARY_DIR}/install_record.txt
          -P ${CMAKE_CURRENT_LIST_DIR}/uninstall.cmake
  COMMENT "Uninstalling what cmake --install put in place from ${PROJECT_BINARY_DIR}")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${CPACK_DEBIAN_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert raw 512x512 grey pictures to 24-bit BMP files")
set(CPACK_PACKAGE_DESCRIPTION
    "vyk_pic_convert turns a headerless 512 x 512 8-bit grey picture (one byte per
pixel, top row first) into an uncompressed 24-bit BMP file written beside it,
upright and pixel for pixel, so that any picture viewer opens it.
.
It runs once per file and prints nothing when it succeeds; its exit status is
0 only when the complete BMP was written. The BMP is written as a new file
that takes the output's name only once it is complete and its data is on the
disk, so the name holds the old file or the whole new one, never a part,
whatever fails or kills the run, and never an empty file after a crash or a
power cut (the wait for the disk costs about a millisecond a file; run
sync after a batch for the new names to survive a crash too). It never does
at the name what a plain rewrite of the file by the same user would not be
allowed to do: the kernel's link and file protections apply, and a replaced
file keeps its owner, group, mode, ACL and attributes. That makes it safe to
run over thousands of files from a shell loop, xargs -P or GNU parallel, in
shared directories and as root.")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The architecture the tool is built for, which a cross build's differs from this machine's:
# Debian's name for the compiler's multiarch tuple (aarch64-linux-gnu gives arm64).
separate_arguments(compile_flags UNIX_COMMAND "${CMAKE_CXX_FLAGS}")
execute_process(COMMAND ${CMAKE_CXX_COMPILER} ${compile_flags} -print-multiarch
  OUTPUT_VARIABLE multiarch OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
if(multiarch)
  execute_process(COMMAND dpkg-architecture -qDEB_HOST_ARCH -t${multiarch}
    OUTPUT_VARIABLE CPACK_DEBIAN_PACKAGE_ARCHITECTURE OUTPUT_STRIP_TRAILING_WHITESPACE
    ERROR_QUIET)
endif()
# The same sources give the same package, bit for bit: its times are those of the sources' last
# commit (or SOURCE_DATE_EPOCH), found before it is made, which fails when there is none.
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/source_date_epoch.cmake)
# Debian installs manuals and changelogs compressed; the plain install keeps them as they are.
list(APPEND CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/compress_docs.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/reproducible_deb.cmake)
set(CPACK_VYK_SOURCE_DIR ${PROJECT_SOURCE_DIR})
include(CPack)

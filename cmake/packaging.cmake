# Installation and packages.
#
#   cmake --install BUILD [--prefix DIR]   the executables treemon and treemon-watch into DIR/bin
#                                          (Linux), or the two .exe into DIR (Windows), with the
#                                          docs and, on Linux, their manual pages
#   cpack --config BUILD/CPackConfig.cmake  a .deb on Linux; a zip of the two .exe when building
#                                          for Windows (cmake/mingw-w64-x86_64.cmake)
#
# Only the monitor and the watch tool are installed: tests, helpers, benchmarks and fuzzers stay
# in the build tree.
include(GNUInstallDirs)

set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
  OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  install(TARGETS treemon treemon-watch RUNTIME DESTINATION .)
  # The zip's README describes the zip itself: the repository's README speaks of scripts and
  # folders that the zip does not hold.
  configure_file(packaging/windows/README.txt ${CMAKE_BINARY_DIR}/package-text/README.txt @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package-text/README.txt docs/protocol.md docs/protocol.schema.json
    docs/embedding.md DESTINATION .)
  install(FILES LICENSE DESTINATION . RENAME LICENSE.txt)
  install(FILES docs/windows.md DESTINATION docs)
else()
  install(TARGETS treemon treemon-watch RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  install(FILES docs/protocol.md docs/protocol.schema.json docs/embedding.md packaging/debian/README
    packaging/debian/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
  # Debian keeps manual pages and changelogs compressed, without a time stamp in the gzip header.
  # The version has no Debian revision, so this is a native package, whose changelog is named
  # changelog.gz.
  set(TREEMON_PACKAGE_TEXT ${CMAKE_BINARY_DIR}/package-text)
  configure_file(docs/treemon.1.in ${TREEMON_PACKAGE_TEXT}/treemon.1 @ONLY)
  configure_file(docs/treemon-watch.1.in ${TREEMON_PACKAGE_TEXT}/treemon-watch.1 @ONLY)
  configure_file(packaging/debian/changelog ${TREEMON_PACKAGE_TEXT}/changelog @ONLY)
  set(TREEMON_COMPRESSED treemon.1 treemon-watch.1 changelog)
  list(TRANSFORM TREEMON_COMPRESSED PREPEND ${TREEMON_PACKAGE_TEXT}/ OUTPUT_VARIABLE TREEMON_PLAIN)
  list(TRANSFORM TREEMON_PLAIN APPEND .gz OUTPUT_VARIABLE TREEMON_GZIPPED)
  add_custom_command(
    OUTPUT ${TREEMON_GZIPPED}
    COMMAND gzip -9nf -k ${TREEMON_COMPRESSED}
    DEPENDS ${TREEMON_PLAIN}
    WORKING_DIRECTORY ${TREEMON_PACKAGE_TEXT})
  add_custom_target(treemon_package_text ALL DEPENDS ${TREEMON_GZIPPED})
  install(FILES ${TREEMON_PACKAGE_TEXT}/treemon.1.gz ${TREEMON_PACKAGE_TEXT}/treemon-watch.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  install(FILES ${TREEMON_PACKAGE_TEXT}/changelog.gz DESTINATION ${CMAKE_INSTALL_DOCDIR})
endif()

set(CPACK_PACKAGE_NAME treemon)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "treemon")
set(CPACK_PACKAGE_CONTACT "treemon developers <treemon@users.noreply.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Monitor of the CPU, memory and I/O use of a process tree")
set(CPACK_PACKAGE_DESCRIPTION
  "treemon is started by a client application as a child process; it reads\nnewline-delimited JSON commands on standard input and writes snapshots of a\nprocess tree as JSON events on standard output. treemon-watch runs a command\nand shows its process tree live, records it as CSV, JSON lines and an SVG\nchart, and sums the run up.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME windows-x86_64)
  set(CPACK_INCLUDE_TOPLEVEL_DIRECTORY ON)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION utils)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  find_program(TREEMON_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(TREEMON_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
endif()

include(CPack)

# The command line's option parser, the install rules and the package.
# Included from the top-level CMakeLists.txt after every target is defined.

# CLI11 is header-only; Debian's package ships its CMake configuration.
find_package(CLI11 CONFIG REQUIRED)
target_link_libraries(quarrow_cli_lib PRIVATE CLI11::CLI11)

include(GNUInstallDirs)

# The programs, wherever they were built.
foreach(program quarrow quarrow-cli quarrow-make-sample)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/../scripts/quarrow-slurm
        DESTINATION ${CMAKE_INSTALL_BINDIR})

set(QUARROW_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../docs/quarrow-cli.1
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${QUARROW_PACKAGING_DIR}/quarrow-cli.bash-completion
        DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions
        RENAME quarrow-cli)
if(TARGET quarrow)
  install(FILES ${QUARROW_PACKAGING_DIR}/quarrow.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${QUARROW_PACKAGING_DIR}/quarrow.svg
          DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps)
endif()
install(FILES ${CMAKE_CURRENT_LIST_DIR}/../README.md
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# `cpack -G DEB` in the build folder makes the .deb. Its dependencies are
# Debian's packages, found by dpkg-shlibdeps from the programs' libraries.
set(CPACK_PACKAGE_NAME quarrow)
set(CPACK_PACKAGE_VENDOR "Quarrow")
set(CPACK_PACKAGE_CONTACT "Quarrow maintainers <quarrow@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "recovers deleted SQLite records from raw files, for forensic examiners")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY quarrow)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
include(CPack)

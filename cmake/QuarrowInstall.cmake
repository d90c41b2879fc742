# The command line's option parser, the install rules and the package.
# Included from the top-level CMakeLists.txt after every target is defined.

# CLI11 is header-only; Debian's package ships its CMake configuration.
find_package(CLI11 CONFIG REQUIRED)
target_link_libraries(quarrow_cli_lib PRIVATE CLI11::CLI11)

include(GNUInstallDirs)
# Debian's place, by the package's name (not the project's capitalised one).
set(CMAKE_INSTALL_DOCDIR ${CMAKE_INSTALL_DATAROOTDIR}/doc/quarrow)

# The programs, wherever they were built.
foreach(program quarrow quarrow-cli quarrow-make-sample)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

install(PROGRAMS ${CMAKE_CURRENT_LIST_DIR}/../scripts/quarrow-slurm
        DESTINATION ${CMAKE_INSTALL_BINDIR})

set(QUARROW_PACKAGING_DIR ${CMAKE_CURRENT_LIST_DIR}/../packaging)
set(QUARROW_DOCS_DIR ${CMAKE_CURRENT_LIST_DIR}/../docs)

# Manual pages and the changelog go out compressed, as Debian's policy has
# them (gzip -9n: no name or time inside, so builds are reproducible).
find_program(QUARROW_GZIP gzip)
set(QUARROW_MANUALS quarrow-cli.1 quarrow-make-sample.1 quarrow-slurm.1)
if(TARGET quarrow)
  list(APPEND QUARROW_MANUALS quarrow.1)
endif()
set(QUARROW_COMPRESSED_DIR ${CMAKE_BINARY_DIR}/compressed)
function(quarrow_install_compressed source destination)
  get_filename_component(name ${source} NAME)
  if(NOT QUARROW_GZIP)
    install(FILES ${source} DESTINATION ${destination})
    return()
  endif()
  set(output ${QUARROW_COMPRESSED_DIR}/${name}.gz)
  add_custom_command(OUTPUT ${output}
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${QUARROW_COMPRESSED_DIR}
                     COMMAND ${QUARROW_GZIP} -9nc ${source} > ${output}
                     DEPENDS ${source} VERBATIM)
  string(MAKE_C_IDENTIFIER ${name} target)
  add_custom_target(compress_${target} ALL DEPENDS ${output})
  install(FILES ${output} DESTINATION ${destination})
endfunction()
foreach(manual ${QUARROW_MANUALS})
  quarrow_install_compressed(${QUARROW_DOCS_DIR}/${manual} ${CMAKE_INSTALL_MANDIR}/man1)
endforeach()
quarrow_install_compressed(${QUARROW_PACKAGING_DIR}/changelog ${CMAKE_INSTALL_DOCDIR})
install(FILES ${QUARROW_PACKAGING_DIR}/copyright DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${QUARROW_PACKAGING_DIR}/lintian-overrides
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides RENAME quarrow)
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
set(CPACK_PACKAGE_CONTACT "Quarrow maintainers <maintainers@quarrow.example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "recovers deleted SQLite records from raw files, for forensic examiners")
# CPack puts the summary in front of this, as the synopsis line.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Quarrow searches every byte of a file (a database, its write-ahead log or
rollback journal, a disk image) for SQLite records that fit a table's
definition, without opening it as a database, and reports them with where
they lie and whether they are live, older versions or deleted. It recovers
the persons of phone address books with their numbers. The input is only
read.
.
The package holds the window (quarrow), the command line (quarrow-cli), a
generator of sample address books (quarrow-make-sample) and quarrow-slurm,
which runs the command line over byte ranges of large inputs as a Slurm job
array and joins the shards' reports into the report of one run.")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_INSTALL_DIRECTORY quarrow)
set(CPACK_GENERATOR DEB)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# quarrow-slurm is a bash script that calls Slurm's commands on the nodes.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "slurm-client")
set(CPACK_STRIP_FILES ON)
include(CPack)

# Documentation beside the program, and the Debian package (`cmake --build B --target package`,
# or scripts/package): quillbox_<version>_amd64.deb with the program in /usr/bin, its libraries
# in /usr/lib/quillbox and dependencies computed from the binaries by dpkg-shlibdeps.
# The Python wheel (scripts/wheel) holds the program and its libraries only.
option(QUILLBOX_INSTALL_DOCS "Install README, copyright, the man page and bash completion" ON)
if(QUILLBOX_INSTALL_DOCS)
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
  install(FILES ${PROJECT_SOURCE_DIR}/completions/quillbox.bash
          DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME quillbox)
  # The man page is the program's own help, so the program runs at build time: not in the
  # sanitized builds, whose runtime would speak up at exit.
  find_program(HELP2MAN help2man)
  if(HELP2MAN AND NOT QUILLBOX_SANITIZE AND NOT QUILLBOX_FUZZ)
    set(man_page ${PROJECT_BINARY_DIR}/man/quillbox.1.gz)
    add_custom_command(OUTPUT ${man_page}
        COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/man
        COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:quillbox> -DHELP2MAN=${HELP2MAN} -DOUTPUT=${man_page}
                -P ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
        DEPENDS quillbox ${PROJECT_SOURCE_DIR}/cmake/manpage.cmake
        COMMENT "Writing the man page from quillbox --help"
        VERBATIM)
    add_custom_target(quillbox_man ALL DEPENDS ${man_page})
    install(FILES ${man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  elseif(NOT HELP2MAN)
    message(STATUS "help2man not found: no man page (scripts/setup installs it)")
  endif()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quillbox)
set(CPACK_PACKAGE_VENDOR "Quillbox")
set(CPACK_PACKAGE_CONTACT "Quillbox developers <quillbox@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "MCP server for section-wise Markdown editing by AI agents")
set(CPACK_PACKAGE_DESCRIPTION
    "Quillbox lets an AI coding agent work on Markdown documents one heading section at a time.
It indexes the heading blocks of every Markdown file of a project and serves list, read,
replace, find, search and restructuring operations as MCP tools over stdio; every write is
verified against what the agent saw, backed up and atomic.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION text)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The module libraries come with the package; dpkg-shlibdeps finds them in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/lib)
include(CPack)

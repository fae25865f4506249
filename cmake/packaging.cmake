# Documentation beside the program, and the Debian package (`cmake --build B --target package`,
# or scripts/package): quillbox_<version>_amd64.deb with the program in /usr/bin, its libraries
# in /usr/lib/quillbox and dependencies computed from the binaries by dpkg-shlibdeps.
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)

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

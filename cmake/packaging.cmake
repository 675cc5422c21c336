# Installation and the Debian package.
#
#   cmake --install build --prefix /usr/local     # kotar, its manual page, format.md,
#                                                 # libkotar with its headers, CMake package, kotar.pc
#   cpack --config build/CPackConfig.cmake -B pkg  # pkg/kotar_<version>_<arch>.deb
#
# Included from the top-level CMakeLists.txt after the kotar target is defined.

include(GNUInstallDirs)

install(FILES ${PROJECT_SOURCE_DIR}/docs/kotar.1 DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/format.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kotar)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "kotar developers")
set(CPACK_PACKAGE_CONTACT "kotar developers <kotar@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "convert GNU tar archives to an indexed archive and back")
set(CPACK_PACKAGE_DESCRIPTION
    "kotar turns a GNU tar archive, plain or compressed with gzip, zstd or xz,
into an indexed archive that keeps all member headers together at the front
of the file and records where each member's data lies; ELF executables are
placed on 4096-byte boundaries. It turns indexed archives back into plain tar archives and lists
their members.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The decoders' libraries (ISA-L for gzip, zstd, xz); the C and C++ runtimes
# come with them.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libisal2, libzstd1, liblzma5, libc6, libstdc++6")

include(CPack)

# Installation and the Debian package.
#
#   cmake --install build --prefix /usr/local     # kotar and kotarfs, their manual pages (gzipped), format.md,
#                                                 # the licence as share/doc/kotar/copyright, bash
#                                                 # completion, libkotar with its headers, CMake
#                                                 # package, kotar.pc
#   cpack --config build/CPackConfig.cmake -B pkg  # pkg/kotar_<version>_<arch>.deb
#
# Included from the top-level CMakeLists.txt after the kotar target is defined.

include(GNUInstallDirs)

# The manual page goes in gzipped, as Debian wants it; -n keeps the name and
# time out of the gzip header, so that the same page gives the same bytes.
find_program(KOTAR_GZIP gzip REQUIRED)
set(kotar_man_pages)
foreach(page kotar kotarfs)
  set(page_gz ${PROJECT_BINARY_DIR}/${page}.1.gz)
  add_custom_command(OUTPUT ${page_gz}
    COMMAND ${KOTAR_GZIP} -9n -c ${PROJECT_SOURCE_DIR}/docs/${page}.1 > ${page_gz}
    DEPENDS ${PROJECT_SOURCE_DIR}/docs/${page}.1
    COMMENT "Compressing the manual page of ${page}"
    VERBATIM)
  list(APPEND kotar_man_pages ${page_gz})
endforeach()
add_custom_target(kotar_manual_page ALL DEPENDS ${kotar_man_pages})

install(FILES ${kotar_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${PROJECT_SOURCE_DIR}/docs/format.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} RENAME copyright)
install(FILES ${PROJECT_SOURCE_DIR}/completion/kotar.bash
  DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions RENAME kotar)

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
placed on 4096-byte (or 16384- or 65536-byte) boundaries. It turns indexed archives back into plain tar archives and lists
their members. kotarfs mounts an indexed archive read-only through FUSE.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies, with their versions, as dpkg-shlibdeps (dpkg-dev) derives
# them from the libraries that kotar and libkotar link against.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# fusermount3, which a user needs to mount and unmount with kotarfs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS fuse3)

include(CPack)

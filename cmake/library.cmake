# libkotar, the reader library: one set of objects built position-independent
# and linked both as libkotar.so and libkotar.a. Only the kotar_* functions
# are exported. Installed with its headers, a CMake package
# (find_package(kotar) gives kotar::kotar, and kotar::kotar_static) and
# kotar.pc for pkg-config.
#
# Included from the top-level CMakeLists.txt.

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

add_library(kotar_reader_objects OBJECT
  archive/header_block.cpp
  archive/header_reader.cpp
  archive/header_table.cpp
  archive/name_index.cpp
  archive/reader.cpp
)
set_target_properties(kotar_reader_objects PROPERTIES
  POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden
  VISIBILITY_INLINES_HIDDEN ON)
target_include_directories(kotar_reader_objects PUBLIC
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
  $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}>)

set(kotar_exports ${PROJECT_SOURCE_DIR}/cmake/libkotar.map)
add_library(kotar_shared SHARED $<TARGET_OBJECTS:kotar_reader_objects>)
add_library(kotar_static STATIC $<TARGET_OBJECTS:kotar_reader_objects>)
set_target_properties(kotar_shared PROPERTIES OUTPUT_NAME kotar EXPORT_NAME kotar
  VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
  LINK_DEPENDS ${kotar_exports})
target_link_options(kotar_shared PRIVATE -Wl,--version-script=${kotar_exports} -Wl,--no-undefined)
set_target_properties(kotar_static PROPERTIES OUTPUT_NAME kotar EXPORT_NAME kotar_static)
foreach(library kotar_shared kotar_static)
  target_include_directories(${library} PUBLIC
    $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()

install(TARGETS kotar_shared kotar_static EXPORT kotarTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES include/kotar/reader.h include/kotar/reader.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kotar)

set(kotar_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/kotar)
install(EXPORT kotarTargets NAMESPACE kotar:: DESTINATION ${kotar_cmake_dir})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kotarConfig.cmake.in
  ${PROJECT_BINARY_DIR}/kotarConfig.cmake INSTALL_DESTINATION ${kotar_cmake_dir})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kotarConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kotarConfig.cmake ${PROJECT_BINARY_DIR}/kotarConfigVersion.cmake
  DESTINATION ${kotar_cmake_dir})

# kotar.pc finds its prefix from where it lies, so that any install prefix works.
set(kotar_pc_dir ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
file(RELATIVE_PATH kotar_pc_to_prefix /prefix/${kotar_pc_dir} /prefix)
string(REGEX REPLACE "/$" "" kotar_pc_to_prefix "${kotar_pc_to_prefix}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kotar.pc.in ${PROJECT_BINARY_DIR}/kotar.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kotar.pc DESTINATION ${kotar_pc_dir})

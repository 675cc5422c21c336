# kotar_component(NAME SOURCES file... [DEPENDS component...] [LIBRARIES lib...])
#
# One static library per source folder, named kotar_NAME, linked to the
# folders it stands on. A folder includes only from the folders below it;
# tests/layering_test.sh checks its includes against that order. The objects
# are position-independent, so that the reader library can take the folders
# it is built from.
function(kotar_component name)
  cmake_parse_arguments(arg "" "" "SOURCES;DEPENDS;LIBRARIES" ${ARGN})
  add_library(kotar_${name} STATIC ${arg_SOURCES})
  set_target_properties(kotar_${name} PROPERTIES POSITION_INDEPENDENT_CODE ON)
  target_include_directories(kotar_${name} PUBLIC ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/include)
  list(TRANSFORM arg_DEPENDS PREPEND kotar_)
  target_link_libraries(kotar_${name} PUBLIC ${arg_DEPENDS} ${arg_LIBRARIES})
  set_property(GLOBAL APPEND PROPERTY KOTAR_COMPONENTS kotar_${name})
endfunction()

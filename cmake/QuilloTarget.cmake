# Settings every target of our own gets: warnings on, our headers reachable as "files/…" etc.
function(quillo_target_defaults target)
  target_compile_options(${target} PRIVATE -Wall -Wextra)
  target_compile_features(${target} PUBLIC cxx_std_20)
endfunction()

# quillo_library(name SOURCES … DEPS …): a static library of one layer.
function(quillo_library name)
  cmake_parse_arguments(QL "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${QL_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src)
  target_link_libraries(${name} PUBLIC ${QL_DEPS})
  quillo_target_defaults(${name})
endfunction()

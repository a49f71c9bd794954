# One interface target carries the warning policy; every project target links it.
add_library(snapsave_warnings INTERFACE)
target_compile_options(snapsave_warnings INTERFACE
  -Wall -Wextra -Wpedantic -Wconversion -Wsign-conversion -Wshadow -Wnon-virtual-dtor
  -Wold-style-cast -Wcast-align -Woverloaded-virtual -Wimplicit-fallthrough
  -Werror)
# g++ 12 reports -Wrestrict false positives inside std::string at -O3 (libstdc++ inlining); later releases do not.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU" AND CMAKE_CXX_COMPILER_VERSION VERSION_LESS 13)
  target_compile_options(snapsave_warnings INTERFACE -Wno-restrict)
endif()
target_include_directories(snapsave_warnings INTERFACE ${PROJECT_SOURCE_DIR})

# Project library helper: snapsave_library(name SOURCES ... DEPS ...)
function(snapsave_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;DEPS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_link_libraries(${name} PUBLIC snapsave_warnings ${ARG_DEPS})
endfunction()

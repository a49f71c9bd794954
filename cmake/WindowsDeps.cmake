# What a Windows build takes from the host: Debian ships only zlib built for MinGW, so the header-only
# libraries are used from the host's headers (each folder alone, never /usr/include as a whole, whose C
# library headers are not Windows'), and GoogleTest is built from its Debian sources.
set(SNAPSAVE_HOST_HEADERS ${CMAKE_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${SNAPSAVE_HOST_HEADERS})
foreach(entry fmt CLI nlohmann utf8 utf8.h)
  if(NOT EXISTS /usr/include/${entry})
    message(FATAL_ERROR "/usr/include/${entry} is missing: run tools/install-deps.sh")
  endif()
  file(CREATE_LINK /usr/include/${entry} ${SNAPSAVE_HOST_HEADERS}/${entry} SYMBOLIC)
endforeach()

add_library(fmt::fmt INTERFACE IMPORTED)
target_include_directories(fmt::fmt SYSTEM INTERFACE ${SNAPSAVE_HOST_HEADERS})
target_compile_definitions(fmt::fmt INTERFACE FMT_HEADER_ONLY=1)
add_library(CLI11::CLI11 INTERFACE IMPORTED)
target_include_directories(CLI11::CLI11 SYSTEM INTERFACE ${SNAPSAVE_HOST_HEADERS})
add_library(nlohmann_json::nlohmann_json INTERFACE IMPORTED)
target_include_directories(nlohmann_json::nlohmann_json SYSTEM INTERFACE ${SNAPSAVE_HOST_HEADERS})
add_library(utf8cpp INTERFACE IMPORTED)
target_include_directories(utf8cpp SYSTEM INTERFACE ${SNAPSAVE_HOST_HEADERS})

if(SNAPSAVE_BUILD_TESTS)
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_disable_pthreads ON CACHE BOOL "" FORCE)
  # Its own CMake files name the targets GTest::gtest, GTest::gtest_main and GTest::gmock.
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
endif()

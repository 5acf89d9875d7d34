# Build helpers shared by every directory: warnings, sanitizers, libraries, tests, fuzz targets.
find_package(GTest REQUIRED)
include(GoogleTest)
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)

find_program(TAVLO_CCACHE ccache)
if(TAVLO_CCACHE)
  set(CMAKE_CXX_COMPILER_LAUNCHER ${TAVLO_CCACHE})
  set(CMAKE_C_COMPILER_LAUNCHER ${TAVLO_CCACHE})
endif()

# Flags for our own code only (third-party code is reached through system headers). Warnings are
# errors where we build (scripts/test, CI: TAVLO_WERROR), not in a user's plain build, whose compiler
# may warn where ours does not (GCC 12 at -O3 reports false overlaps and overflows).
add_library(tavlo_warnings INTERFACE)
target_compile_options(tavlo_warnings INTERFACE -Wall -Wextra $<$<BOOL:${TAVLO_WERROR}>:-Werror>)
# GCC 12 at -O3 (Release) reports impossible overlaps and overflows inside std::string and std::vector
# once they are inlined (GCC bugs 105329 and 105651): those two checks say nothing about our code there,
# so they are off for that compiler and configuration rather than worked around at every call.
target_compile_options(tavlo_warnings INTERFACE
  $<$<AND:$<CXX_COMPILER_ID:GNU>,$<CONFIG:Release>>:-Wno-restrict -Wno-stringop-overflow>)

if(TAVLO_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(TAVLO_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT TAVLO_SANITIZE STREQUAL "")
  message(FATAL_ERROR "TAVLO_SANITIZE must be empty, 'address' or 'thread'")
endif()
if(TAVLO_SANITIZE)
  # A sanitizer's report needs functions, files and lines, not variables: line tables only, which cost
  # far less to build than full debug information.
  add_compile_options(-g1)
endif()
if(TAVLO_FUZZ)
  # Coverage instrumentation for every library the fuzz programs link; undefined behaviour stops the
  # run like a crash, instead of a report that the fuzzer would not count as a finding.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
  # Every fuzz program, for a build of those alone (CI builds this target only).
  add_custom_target(tavlo_fuzzers)
endif()

# tavlo_library(<name> DIRS <dir>... [DEPS <lib>...] [PRIVATE_DEPS <lib>...])
# A static library of every .cpp in the given directories (not recursive: subdirectories are
# libraries of their own). Sources are globbed so that adding a file needs no edit here.
function(tavlo_library name)
  cmake_parse_arguments(ARG "" "" "DIRS;DEPS;PRIVATE_DEPS" ${ARGN})
  set(sources)
  foreach(dir IN LISTS ARG_DIRS)
    file(GLOB found CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${dir}/*.cpp)
    list(APPEND sources ${found})
  endforeach()
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} PRIVATE ${ARG_PRIVATE_DEPS} tavlo_warnings)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS})
  endif()
endfunction()

# tavlo_test(<label> SOURCES <file>... LIBS <lib>...)
# One GoogleTest program per ctest label (tavlo_tests_<label>); every test case becomes a ctest test.
function(tavlo_test label)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(TAVLO_TEST_LABELS AND NOT label IN_LIST TAVLO_TEST_LABELS)
    return()
  endif()
  set(target tavlo_tests_${label})
  if(NOT TARGET ${target})
    add_executable(${target})
    target_link_libraries(${target} PRIVATE GTest::gtest GTest::gmock GTest::gtest_main tavlo_warnings tavlo_testkit)
    target_compile_definitions(${target} PRIVATE TAVLO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
    gtest_discover_tests(${target} PROPERTIES LABELS ${label} DISCOVERY_TIMEOUT 60 DISCOVERY_MODE PRE_TEST)
  endif()
  target_sources(${target} PRIVATE ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE ${ARG_LIBS})
endfunction()

# tavlo_serial_test(<label> <name> SOURCES <file>... LIBS <lib>...)
# A GoogleTest program of its own (tavlo_tests_<label>_<name>) in the label, whose tests ctest runs alone
# (RUN_SERIAL): they measure the built host (how soon it answers, what a flood leaves of its clients), and
# beside tests that load every core they would measure the machine.
function(tavlo_serial_test label name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  if(TAVLO_TEST_LABELS AND NOT label IN_LIST TAVLO_TEST_LABELS)
    return()
  endif()
  set(target tavlo_tests_${label}_${name})
  add_executable(${target} ${ARG_SOURCES})
  target_link_libraries(${target} PRIVATE GTest::gtest GTest::gmock GTest::gtest_main tavlo_warnings tavlo_testkit
    ${ARG_LIBS})
  target_compile_definitions(${target} PRIVATE TAVLO_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  gtest_discover_tests(${target} PROPERTIES LABELS ${label} RUN_SERIAL TRUE DISCOVERY_TIMEOUT 60
    DISCOVERY_MODE PRE_TEST)
endfunction()

# tavlo_fuzz(<name> LIBS <lib>...)
# fuzz/<name>_fuzz.cpp defines LLVMFuzzerTestOneInput. Its seed corpus fuzz/corpus/<name>/ is replayed
# as a ctest test (label fuzz) in every build; with TAVLO_FUZZ and clang a libFuzzer program is built too.
function(tavlo_fuzz name)
  cmake_parse_arguments(ARG "" "" "LIBS" ${ARGN})
  set(source ${PROJECT_SOURCE_DIR}/fuzz/${name}_fuzz.cpp)
  if(TAVLO_FUZZ_REPLAY AND (NOT TAVLO_TEST_LABELS OR "fuzz" IN_LIST TAVLO_TEST_LABELS))
    add_executable(fuzz_${name}_replay ${source} ${PROJECT_SOURCE_DIR}/fuzz/replay_main.cpp)
    target_link_libraries(fuzz_${name}_replay PRIVATE ${ARG_LIBS} tavlo_warnings)
    add_test(NAME fuzz.${name} COMMAND fuzz_${name}_replay ${PROJECT_SOURCE_DIR}/fuzz/corpus/${name})
    set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz)
  endif()
  if(TAVLO_FUZZ)
    if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
      message(FATAL_ERROR "TAVLO_FUZZ needs clang (CXX=clang++)")
    endif()
    add_executable(fuzz_${name} ${source})
    target_compile_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_options(fuzz_${name} PRIVATE -fsanitize=fuzzer,address,undefined)
    target_link_libraries(fuzz_${name} PRIVATE ${ARG_LIBS} tavlo_warnings)
    add_dependencies(tavlo_fuzzers fuzz_${name})
  endif()
endfunction()

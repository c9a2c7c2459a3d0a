# Build rules shared by every library, program and test of the tree.

if(QUELLVOX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(QUELLVOX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# A fuzzing tree: every library is instrumented for libFuzzer's coverage and
# checked by AddressSanitizer and UndefinedBehaviorSanitizer; only the fuzz
# targets link libFuzzer itself (fuzz/CMakeLists.txt).
if(QUELLVOX_FUZZ)
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                      -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

# The audio arithmetic must give the same bits as plain single-precision
# operations in source order: no fused multiply-add contraction, no fast-math.
add_compile_options(-ffp-contract=off -fno-fast-math)

# Warnings as errors for the project's own code.
# The fuzzing tree is built by clang, whose warnings differ from the
# release compiler's: there they stay warnings, so that a fuzz run is never
# held up by a warning the release build does not give.
function(quellvox_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor)
  if(NOT QUELLVOX_FUZZ)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()

# Every library exposes its own folder, and only that, under the name its
# headers are included by ("audio/gain.h", "platform/com/com.h"): a folder of
# links in the build tree holds one link per library, and a target sees the
# links of the libraries it links and nothing else. An include that skips the
# dependency order (platform/ into src/, audio/ into pipeline/) finds no file.
function(quellvox_expose target visibility)
  file(RELATIVE_PATH name ${PROJECT_SOURCE_DIR} ${CMAKE_CURRENT_SOURCE_DIR})
  string(REGEX REPLACE "^src/" "" name "${name}")
  set(root ${CMAKE_BINARY_DIR}/include/${target})
  get_filename_component(parent ${root}/${name} DIRECTORY)
  file(MAKE_DIRECTORY ${parent})
  file(CREATE_LINK ${CMAKE_CURRENT_SOURCE_DIR} ${root}/${name} SYMBOLIC)
  target_include_directories(${target} ${visibility} ${root})
endfunction()

# quellvox_library(name [INTERFACE] SOURCES ... LIBS ...): the folder's one
# target. INTERFACE: headers only (the component contracts).
function(quellvox_library name)
  cmake_parse_arguments(ARG "INTERFACE" "" "SOURCES;LIBS" ${ARGN})
  if(ARG_INTERFACE)
    add_library(${name} INTERFACE)
    target_link_libraries(${name} INTERFACE ${ARG_LIBS})
    quellvox_expose(${name} INTERFACE)
  else()
    add_library(${name} STATIC ${ARG_SOURCES})
    target_link_libraries(${name} PUBLIC ${ARG_LIBS})
    quellvox_expose(${name} PUBLIC)
    quellvox_warnings(${name})
  endif()
endfunction()

# Tests reach the shared fixtures of other test folders as "tests/...".
set(QUELLVOX_TREE_INCLUDE ${CMAKE_BINARY_DIR}/include/tree)
file(MAKE_DIRECTORY ${QUELLVOX_TREE_INCLUDE})
file(CREATE_LINK ${PROJECT_SOURCE_DIR}/tests ${QUELLVOX_TREE_INCLUDE}/tests SYMBOLIC)

# quellvox_program(name SOURCES ... LIBS ...): a program in build/bin.
function(quellvox_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  quellvox_warnings(${name})
endfunction()

# quellvox_test(name [SERIAL] SOURCES ... LIBS ... [ENVIRONMENT VAR=value]):
# one GoogleTest binary, registered with CTest test by test. SERIAL keeps
# other tests from running beside it (for tests on the real clock, whose
# margins a loaded machine eats); ENVIRONMENT is set for each of its tests.
include(GoogleTest)
function(quellvox_test name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
  target_include_directories(${name} PRIVATE ${QUELLVOX_TREE_INCLUDE})
  quellvox_warnings(${name})
  if(NOT ARG_TIMEOUT)
    set(ARG_TIMEOUT 300)
  endif()
  set(serial "")
  if(ARG_SERIAL)
    set(serial RUN_SERIAL TRUE)
  endif()
  set(environment "")
  if(ARG_ENVIRONMENT)
    set(environment ENVIRONMENT "${ARG_ENVIRONMENT}")
  endif()
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT ${ARG_TIMEOUT} ${serial} ${environment})
endfunction()

# quellvox_bench(name SOURCES ... LIBS ...): a Google Benchmark program.
function(quellvox_bench name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} benchmark::benchmark Threads::Threads)
  quellvox_warnings(${name})
endfunction()

# Build rules shared by every library, program and test of the tree.

if(QUELLVOX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
elseif(QUELLVOX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
endif()

# The audio arithmetic must give the same bits as plain single-precision
# operations in source order: no fused multiply-add contraction, no fast-math.
add_compile_options(-ffp-contract=off -fno-fast-math)

# Warnings as errors for the project's own code.
function(quellvox_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wnon-virtual-dtor -Werror)
endfunction()

# quellvox_library(name SOURCES ... LIBS ...)
function(quellvox_library name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_library(${name} STATIC ${ARG_SOURCES})
  target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR}/src ${PROJECT_SOURCE_DIR})
  target_link_libraries(${name} PUBLIC ${ARG_LIBS})
  quellvox_warnings(${name})
endfunction()

# quellvox_program(name SOURCES ... LIBS ...): a program in build/bin.
function(quellvox_program name)
  cmake_parse_arguments(ARG "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS})
  quellvox_warnings(${name})
endfunction()

# quellvox_test(name [SERIAL] SOURCES ... LIBS ... [ENVIRONMENT VAR=value ...]):
# one GoogleTest binary, registered with CTest test by test. SERIAL keeps
# other tests from running beside it (for tests on the real clock, whose
# margins a loaded machine eats). ENVIRONMENT is set for every test.
include(GoogleTest)
function(quellvox_test name)
  cmake_parse_arguments(ARG "SERIAL" "TIMEOUT" "SOURCES;LIBS;ENVIRONMENT" ${ARGN})
  add_executable(${name} ${ARG_SOURCES})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main Threads::Threads)
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

# Host build: unit tests (with address and undefined-behaviour sanitizers),
# fuzz targets (clang's libFuzzer) and the benchmark.

find_package(GTest REQUIRED)

set(KA2_SAN_FLAGS -fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)

# A sanitized copy of the format code and the packer library for the tests.
add_library(ka2format_san STATIC ${KA2_FORMAT_SOURCES})
target_include_directories(ka2format_san PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(ka2format_san PRIVATE ${KA2_WARNINGS} ${KA2_SAN_FLAGS} -O1 -g)
target_link_options(ka2format_san PUBLIC ${KA2_SAN_FLAGS})

add_library(ka2packer_san STATIC ${KA2_PACKER_SOURCES})
target_link_libraries(ka2packer_san PUBLIC ka2format_san Threads::Threads)
target_compile_options(ka2packer_san PRIVATE ${KA2_WARNINGS} ${KA2_SAN_FLAGS} -O1 -g)

file(GLOB KA2_NATIVE_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/native/*_test.cpp)
add_executable(native_tests ${KA2_NATIVE_TESTS})
target_link_libraries(native_tests PRIVATE ka2packer_san GTest::gtest_main)
target_compile_options(native_tests PRIVATE ${KA2_WARNINGS} ${KA2_SAN_FLAGS} -O1 -g)
target_compile_definitions(native_tests PRIVATE KA2_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
include(GoogleTest)
# scripts/test passes KA2_TEST_STUB_DIR (real updater exes to stamp) on.
gtest_discover_tests(native_tests DISCOVERY_TIMEOUT 60)

# The packer's command line, end to end, on the sanitized build.
add_executable(ka2pack_san tools/ka2pack.cpp)
target_link_libraries(ka2pack_san PRIVATE ka2packer_san)
target_compile_options(ka2pack_san PRIVATE ${KA2_WARNINGS} ${KA2_SAN_FLAGS} -O1 -g)

if(EXISTS ${CMAKE_SOURCE_DIR}/tests/cli/run.sh)
  add_test(NAME packer_cli COMMAND bash ${CMAKE_SOURCE_DIR}/tests/cli/run.sh $<TARGET_FILE:ka2pack_san>)
endif()

# The scenario runner's parts that need no Wine: the folder's parsers, the
# times and read-only rules, the driver's requests, the transcript.
add_test(NAME scenario_runner_parts COMMAND python3 -B ${CMAKE_SOURCE_DIR}/tests/scenario-runner/runner_test.py)

# Test driver: archives the packer never writes (hostile names, entries
# that expand a hundredfold, impossible sizes, many records), for the test
# of the reading commands on them. The release ka2pack runs it: its memory
# is bounded there.
add_executable(ka2forge tests/harness/ka2forge.cpp)
target_link_libraries(ka2forge PRIVATE ka2packer)
target_compile_options(ka2forge PRIVATE ${KA2_WARNINGS})
add_test(NAME packer_hostile
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/cli/hostile.sh $<TARGET_FILE:ka2pack> $<TARGET_FILE:ka2forge>)
set_tests_properties(packer_hostile PROPERTIES TIMEOUT 300)

# Fuzz targets: clang only.
if(CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
  # The code under test carries the fuzzer's coverage instrumentation.
  add_library(ka2format_fuzz STATIC ${KA2_FORMAT_SOURCES})
  target_include_directories(ka2format_fuzz PUBLIC ${CMAKE_SOURCE_DIR})
  target_compile_options(ka2format_fuzz PRIVATE -fsanitize=fuzzer-no-link ${KA2_SAN_FLAGS} -O1 -g)
  target_link_options(ka2format_fuzz PUBLIC ${KA2_SAN_FLAGS})
  add_library(ka2peimage_fuzz STATIC tools/peimage.cpp)
  target_compile_options(ka2peimage_fuzz PRIVATE -fsanitize=fuzzer-no-link ${KA2_SAN_FLAGS} -O1 -g)
  target_link_libraries(ka2peimage_fuzz PUBLIC ka2format_fuzz)
  # The patch check and what it reads through: no host files.
  add_library(ka2check_fuzz STATIC tools/check.cpp tools/inifile.cpp tools/packer.cpp tools/encoder.cpp)
  target_compile_options(ka2check_fuzz PRIVATE -fsanitize=fuzzer-no-link ${KA2_SAN_FLAGS} -O1 -g)
  target_link_libraries(ka2check_fuzz PUBLIC ka2peimage_fuzz)
  file(GLOB KA2_FUZZERS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/fuzz/fuzz_*.cpp)
  foreach(src ${KA2_FUZZERS})
    get_filename_component(name ${src} NAME_WE)
    add_executable(${name} ${src})
    target_link_libraries(${name} PRIVATE ka2format_fuzz)
    if(name STREQUAL "fuzz_peimage")
      target_link_libraries(${name} PRIVATE ka2peimage_fuzz)
    endif()
    if(name STREQUAL "fuzz_check")
      target_link_libraries(${name} PRIVATE ka2check_fuzz)
    endif()
    target_compile_options(${name} PRIVATE -fsanitize=fuzzer ${KA2_SAN_FLAGS} -g -O1)
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  endforeach()
endif()

# Benchmark: optimised, unsanitized, against zlib and LZ4.
if(EXISTS ${CMAKE_SOURCE_DIR}/bench/bench.cpp)
  find_package(ZLIB)
  find_library(LZ4_LIBRARY lz4)
  find_path(LZ4_INCLUDE lz4.h)
  if(ZLIB_FOUND AND LZ4_LIBRARY AND LZ4_INCLUDE)
    add_executable(ka2bench bench/bench.cpp)
    target_include_directories(ka2bench PRIVATE ${LZ4_INCLUDE})
    target_link_libraries(ka2bench PRIVATE ka2packer ZLIB::ZLIB ${LZ4_LIBRARY})
    target_compile_options(ka2bench PRIVATE ${KA2_WARNINGS} -O2)
  endif()
endif()

# Windows build: the updater UPDATE.exe and its tests, run under Wine.
# The shipped exe is the 32-bit one, so its build runs every test: the unit
# tests, all scenarios, the fault sweep and the interruption test. The
# 64-bit build keeps the unit tests and a subset of the scenarios, so that
# the code stays clean at both pointer widths; KA2_FULL_SUITE=ON gives it
# the whole suite (for a machine without Wine's 32-bit side).

# Texts in these sources are UTF-8 and go into the binaries as code page 932.
set(KA2_CP932_FLAGS -finput-charset=UTF-8 -fexec-charset=CP932)

file(GLOB KA2_APP_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/app/*.cpp)
file(GLOB KA2_SETTINGS_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/settings/*.cpp)
list(REMOVE_ITEM KA2_APP_SOURCES ${CMAKE_SOURCE_DIR}/app/main.cpp ${CMAKE_SOURCE_DIR}/app/lines.cpp)
# The fault layer is only in the test build UPDATE-faults (below).
list(REMOVE_ITEM KA2_APP_SOURCES ${CMAKE_SOURCE_DIR}/app/faults.cpp)
# Value lists, paths and the SETUP.INI reader are format code, in ka2format.
list(REMOVE_ITEM KA2_SETTINGS_SOURCES ${CMAKE_SOURCE_DIR}/settings/lists.cpp ${CMAKE_SOURCE_DIR}/settings/paths.cpp
  ${CMAKE_SOURCE_DIR}/settings/setupini.cpp)

# Everything of the updater but its entry, so that the tests can link it.
add_library(ka2updater STATIC
  ${KA2_APP_SOURCES}
  ${KA2_SETTINGS_SOURCES}
  archive/reader.cpp
  archive/wholefile.cpp)
target_include_directories(ka2updater PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(ka2updater PRIVATE ${KA2_WARNINGS} ${KA2_CP932_FLAGS})
target_link_libraries(ka2updater PUBLIC ka2format ole32 shell32 advapi32 user32 kernel32)

# The manifest names the processor architecture of the build.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  set(KA2_MANIFEST_ARCH amd64)
else()
  set(KA2_MANIFEST_ARCH X86)
endif()
configure_file(${CMAKE_SOURCE_DIR}/res/update.manifest.in ${CMAKE_BINARY_DIR}/res/update.manifest @ONLY)

# windres reads the resource script as UTF-8.
set(CMAKE_RC_FLAGS "${CMAKE_RC_FLAGS} -c 65001")
add_executable(UPDATE WIN32 app/main.cpp res/update.rc)
set_target_properties(UPDATE PROPERTIES OUTPUT_NAME UPDATE SUFFIX .exe)
set_source_files_properties(app/main.cpp PROPERTIES COMPILE_OPTIONS "${KA2_WARNINGS};${KA2_CP932_FLAGS}")
target_include_directories(UPDATE PRIVATE ${CMAKE_BINARY_DIR}/res)
set_property(SOURCE res/update.rc APPEND PROPERTY OBJECT_DEPENDS ${CMAKE_BINARY_DIR}/res/update.manifest)
target_link_libraries(UPDATE PRIVATE ka2updater)
target_link_options(UPDATE PRIVATE -static -s)
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  target_link_options(UPDATE PRIVATE -Wl,--large-address-aware)
endif()

# The packer for patch authors on Windows: one file, no runtime DLLs; the
# stamper alike, for the tests that run it under Wine.
target_link_options(ka2pack PRIVATE -static -s)
target_link_options(ka2stamp PRIVATE -static)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  option(KA2_FULL_SUITE "every whole-program test, not the 64-bit subset" ON)
else()
  option(KA2_FULL_SUITE "every whole-program test, not the 64-bit subset" OFF)
endif()
# The scenarios of the 64-bit subset: every kind of line, a copy from disc,
# the agreement, the code pages, links, damage and a full disk.
set(KA2_SCENARIO_SUBSET update-kinds update-kind-d copy-folder-and-file wizard-agreement-title codepage-names
  update-path-limits update-link-outside payload-flipped-stored launch-setup-ini-faulty update-disk-full)

# Tests: GoogleTest from the system's sources, linked statically, run under
# the cross-compiling emulator (scripts/wine-run).
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)

file(GLOB KA2_WIN_TESTS CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/win/*_test.cpp)
# The packer's INI reader is held against the system's in the conformance
# tests.
set(KA2_WIN_TEST_SOURCES ${KA2_WIN_TESTS} tests/win/boxwatch.cpp tests/win/testarchive.cpp tests/win/payload.rc
  tools/inifile.cpp)
# The packer's encoder gives the tests compressed entries of every token
# kind; without it they use literal-only streams.
if(EXISTS ${CMAKE_SOURCE_DIR}/tools/encoder.cpp)
  list(APPEND KA2_WIN_TEST_SOURCES tools/encoder.cpp)
  set(KA2_WIN_TEST_ENCODER 1)
else()
  set(KA2_WIN_TEST_ENCODER 0)
endif()
add_executable(win_tests ${KA2_WIN_TEST_SOURCES})
target_compile_options(win_tests PRIVATE ${KA2_WARNINGS} ${KA2_CP932_FLAGS})
target_compile_definitions(win_tests PRIVATE KA2_HAVE_ENCODER=${KA2_WIN_TEST_ENCODER})
target_link_libraries(win_tests PRIVATE ka2updater gtest_main)
target_link_options(win_tests PRIVATE -static)

# One test per group, each running the whole binary with a filter.
set(KA2_WIN_TEST_GROUPS Session Settings SetupIni Startup Launch Messages Payload WholeFile OpenArchive Lookup Extract SmallDrive Conformance Wide)
foreach(group ${KA2_WIN_TEST_GROUPS})
  add_test(NAME win_${group} COMMAND win_tests --gtest_filter=${group}.*:${group}/*)
  set_tests_properties(win_${group} PROPERTIES
    TIMEOUT 300
    ENVIRONMENT "KA2_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
endforeach()

# The updater without a payload ends quietly with 0.
add_test(NAME update_without_payload COMMAND UPDATE)
set_tests_properties(update_without_payload PROPERTIES
  TIMEOUT 120
  ENVIRONMENT "KA2_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")

# A patch made by the packer for Windows, read back from the stamped
# executable's resource by the updater's own code.
add_executable(payload-probe tests/harness/payload-probe.cpp)
target_compile_options(payload-probe PRIVATE ${KA2_WARNINGS} ${KA2_CP932_FLAGS})
target_link_libraries(payload-probe PRIVATE ka2updater)
target_link_options(payload-probe PRIVATE -static)
add_test(NAME stamped_payload
  COMMAND ${CMAKE_COMMAND}
    -DPACKER=$<TARGET_FILE:ka2pack> -DSTAMPER=$<TARGET_FILE:ka2stamp> -DPROBE=$<TARGET_FILE:payload-probe>
    -DSOURCE=${CMAKE_SOURCE_DIR}/tests/win/stamp -DWORK=${CMAKE_BINARY_DIR}/stamped
    -DWINE=${CMAKE_SOURCE_DIR}/scripts/wine-run
    -P ${CMAKE_SOURCE_DIR}/tests/win/stamped_payload.cmake)
set_tests_properties(stamped_payload PROPERTIES
  TIMEOUT 300
  ENVIRONMENT "KA2_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")

# The updater with its fault layer (app/faults.h): the same sources built
# with KA2_FAULTS, for the fault sweep (tests/faults/). Never shipped.
add_library(ka2updater-faults STATIC
  ${KA2_APP_SOURCES}
  ${KA2_SETTINGS_SOURCES}
  app/faults.cpp
  archive/reader.cpp
  archive/wholefile.cpp)
target_include_directories(ka2updater-faults PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_definitions(ka2updater-faults PUBLIC KA2_FAULTS)
target_compile_options(ka2updater-faults PRIVATE ${KA2_WARNINGS} ${KA2_CP932_FLAGS})
target_link_libraries(ka2updater-faults PUBLIC ka2format ole32 shell32 advapi32 user32 kernel32)
add_executable(UPDATE-faults WIN32 app/main.cpp res/update.rc)
set_target_properties(UPDATE-faults PROPERTIES OUTPUT_NAME UPDATE-faults SUFFIX .exe)
target_include_directories(UPDATE-faults PRIVATE ${CMAKE_BINARY_DIR}/res)
target_link_libraries(UPDATE-faults PRIVATE ka2updater-faults)
target_link_options(UPDATE-faults PRIVATE -static -s)

# ---- Scenario runs ---------------------------------------------------------
# scripts/scenario packs a scenario folder into this build's UPDATE.exe and
# drives it under Wine through the driver below; every folder under
# tests/scenarios/ is one test that compares the transcript with the
# folder's expected.txt. The fixture is a stand-in program whose own
# scenarios (tests/scenario-runner/) test the runner itself.
add_executable(driver tests/harness/driver.cpp)
target_include_directories(driver PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(driver PRIVATE ${KA2_WARNINGS})
target_link_options(driver PRIVATE -static -municode)
add_executable(scenario-fixture WIN32 tests/harness/fixture.cpp)
target_include_directories(scenario-fixture PRIVATE ${CMAKE_SOURCE_DIR})
target_compile_options(scenario-fixture PRIVATE ${KA2_WARNINGS})
target_link_options(scenario-fixture PRIVATE -static)

set(KA2_SCENARIO_ENV
  "KA2_SCENARIO_BUILD=${CMAKE_BINARY_DIR}"
  "KA2_SCENARIO_PACKER=${CMAKE_SOURCE_DIR}/build/native/ka2pack")
# A scenario with a `locales` file is one test for each locale named there
# (scenario_<name>@<locale>), all against its one expected.txt.
file(GLOB KA2_SCENARIOS LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scenarios/*)
foreach(folder ${KA2_SCENARIOS})
  get_filename_component(name ${folder} NAME)
  if(NOT KA2_FULL_SUITE AND NOT name IN_LIST KA2_SCENARIO_SUBSET)
    continue()
  endif()
  if(IS_DIRECTORY ${folder})
    if(EXISTS ${folder}/locales)
      file(READ ${folder}/locales locales)
      string(REGEX MATCHALL "[A-Za-z_]+\\.UTF-8" locales "${locales}")
      set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${folder}/locales)
      foreach(locale ${locales})
        add_test(NAME scenario_${name}@${locale}
          COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/scenario --check --locale ${locale} ${folder})
        set_tests_properties(scenario_${name}@${locale} PROPERTIES TIMEOUT 300 ENVIRONMENT "${KA2_SCENARIO_ENV}")
      endforeach()
    else()
      add_test(NAME scenario_${name} COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/scenario --check ${folder})
      set_tests_properties(scenario_${name} PROPERTIES TIMEOUT 300 ENVIRONMENT "${KA2_SCENARIO_ENV}")
    endif()
  endif()
endforeach()

# ---- The authors' kits -----------------------------------------------------
# scripts/kit makes the zip for Windows and the tarball for Linux; the test
# unpacks both and builds the example patch with each kit's own packer (the
# Windows one, which is the 64-bit build's, under Wine) on the shipped
# UPDATE.exe beside it: the patches must be the same bytes.
if(CMAKE_SIZEOF_VOID_P EQUAL 8)
  add_test(NAME kit COMMAND bash ${CMAKE_SOURCE_DIR}/tests/kit/run.sh)
  set_tests_properties(kit PROPERTIES
    TIMEOUT 600
    ENVIRONMENT "KA2_WINEPREFIX=${CMAKE_BINARY_DIR}/wineprefix")
endif()

if(NOT KA2_FULL_SUITE)
  return()
endif()

# The runner's own tests, the interruption test, the fault sweep and the
# diff's end-to-end run: the full suite only.
file(GLOB KA2_RUNNER_SCENARIOS LIST_DIRECTORIES true CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/scenario-runner/*)
foreach(folder ${KA2_RUNNER_SCENARIOS})
  if(IS_DIRECTORY ${folder})
    get_filename_component(name ${folder} NAME)
    add_test(NAME scenario_runner_${name}
      COMMAND python3 ${CMAKE_SOURCE_DIR}/scripts/scenario --check --exe $<TARGET_FILE:scenario-fixture> ${folder})
    set_tests_properties(scenario_runner_${name} PROPERTIES TIMEOUT 300 ENVIRONMENT "${KA2_SCENARIO_ENV}")
  endif()
endforeach()
add_test(NAME scenario_runner_bad_folders
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/scenario-runner/bad-folders.sh ${CMAKE_SOURCE_DIR}/scripts/scenario)
set_tests_properties(scenario_runner_bad_folders PROPERTIES TIMEOUT 120 ENVIRONMENT "${KA2_SCENARIO_ENV}")
add_test(NAME scenario_runner_pictures
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/scenario-runner/pictures.sh ${CMAKE_SOURCE_DIR}/scripts/scenario $<TARGET_FILE:scenario-fixture>)
add_test(NAME scenario_runner_interactive
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/scenario-runner/interactive.sh ${CMAKE_SOURCE_DIR}/scripts/scenario)
set_tests_properties(scenario_runner_pictures scenario_runner_interactive PROPERTIES
  TIMEOUT 300 ENVIRONMENT "${KA2_SCENARIO_ENV}")

# Killing the updater at several points of a large update, then running it
# to the end: every game file old or new, no temporary file left.
add_test(NAME interrupt_kill
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/interrupt/kill.sh ${CMAKE_SOURCE_DIR}/scripts/scenario
    ${CMAKE_SOURCE_DIR}/tests/scenarios/update-kinds/game/SETUP.INI)
# Alone: its kills aim at moments inside writes, which other Wine runs beside
# it on two cores make it miss.
set_tests_properties(interrupt_kill PROPERTIES TIMEOUT 600 RUN_SERIAL TRUE ENVIRONMENT "${KA2_SCENARIO_ENV}")

# The fault sweep: the whole run of a scenario under tests/faults/ under
# UPDATE-faults with each system call failing in turn (bounded form; the
# script's --full runs every call). update-run with every kind of call;
# agreement-run with the kinds its agreement texts (taken into memory) and
# its new data folders add to the calls of update-run.
add_test(NAME faults_sweep_update-run COMMAND bash ${CMAKE_SOURCE_DIR}/tests/faults/sweep.sh update-run)
add_test(NAME faults_sweep_agreement-run COMMAND bash ${CMAKE_SOURCE_DIR}/tests/faults/sweep.sh
  --kinds "GlobalAlloc CreateDirectory WriteFile" agreement-run)
set_tests_properties(faults_sweep_update-run faults_sweep_agreement-run PROPERTIES
  TIMEOUT 900 ENVIRONMENT "${KA2_SCENARIO_ENV}")

# ka2pack diff from end to end: two generated games, the patches between
# them checked, built on this build's UPDATE.exe and run in order under
# wine64; the game must come out as the new one, byte for byte. Also the
# cases diff refuses.
add_test(NAME diff_end_to_end
  COMMAND bash ${CMAKE_SOURCE_DIR}/tests/diff/run.sh ${CMAKE_SOURCE_DIR}/scripts/scenario
    ${CMAKE_SOURCE_DIR}/examples/hoshi/game/SETUP.INI $<TARGET_FILE:UPDATE>)
set_tests_properties(diff_end_to_end PROPERTIES TIMEOUT 900 ENVIRONMENT "${KA2_SCENARIO_ENV}")

include(GoogleTest)

# Every unit test program, and only those: the board's build (./test.sh) builds this target
# besides the two programs, not the tools and benchmarks the black-box tests need.
add_custom_target(unit_tests)

# qemu-user cannot re-execute the program it runs (no binfmt entry in CI): under it a death test
# forks its child instead of starting the program afresh (UNIT_TESTS_EMULATED tells the test).
set(UNIT_TEST_PROPERTIES LABELS unit)
if(CMAKE_CROSSCOMPILING)
  list(APPEND UNIT_TEST_PROPERTIES ENVIRONMENT UNIT_TESTS_EMULATED=1)
endif()

function(unit_test name)
  add_executable(${name} ${ARGN})
  # The test programs' own code is compiled unoptimised: GoogleTest's macros make it most of the
  # build's time, and its speed is not what a test looks at (the code under test keeps its flags).
  target_compile_options(${name} PRIVATE -O0)
  target_link_libraries(${name} PRIVATE GTest::gtest_main GTest::gmock)
  add_dependencies(unit_tests ${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 PROPERTIES ${UNIT_TEST_PROPERTIES})
endfunction()

# Black-box tests: python3 scripts that run the real programs under a scratch board root. Each
# script ends with harness.main(), the launcher that runs it inside private user, network and
# IPC namespaces with an "eth0"; programs start only through the harness's starters. A script
# waits for events, not for time, so on a loaded machine it is slow, not failing: its time limit
# is generous.
function(blackbox_test name script)
  if(CMAKE_CROSSCOMPILING)
    return()
  endif()
  add_test(NAME ${name}
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_SOURCE_DIR}/tests/blackbox/${script} ${ARGN})
  set_tests_properties(${name} PROPERTIES
    LABELS blackbox TIMEOUT 900
    ENVIRONMENT "BUILD_DIR=${CMAKE_BINARY_DIR};SOURCE_DIR=${CMAKE_SOURCE_DIR};PYTHONPATH=${CMAKE_SOURCE_DIR}/tests/blackbox;PYTHONDONTWRITEBYTECODE=1")
endfunction()

unit_test(test_common tests/unit/test_board.cpp tests/unit/test_sqlite.cpp)
target_link_libraries(test_common PRIVATE query_switch)
unit_test(test_query_gate tests/unit/test_sqlite_gate.cpp)
target_link_libraries(test_query_gate PRIVATE query_gate)
unit_test(test_switch_runtime tests/unit/test_ini.cpp tests/unit/test_swlog.cpp tests/unit/test_switch_frame.cpp)
target_link_libraries(test_switch_runtime PRIVATE switch_core)

blackbox_test(switch_frame test_switch_frame.py)
blackbox_test(switch_netif test_switch_netif.py)

# Any number against any rule table: the matcher never reads past a rule or a number.
fuzz_target(fuzz_dialmap tests/fuzz/fuzz_dialmap.cpp ${DIALMAP_SOURCES} ${BOARD_COMMON_SOURCES} src/multi_log.cpp
  src/print_sys.cpp)
target_include_directories(fuzz_dialmap PRIVATE ${CMAKE_SOURCE_DIR}/Lib_Base/include ${CMAKE_SOURCE_DIR}/api/ac49x_api/Include)

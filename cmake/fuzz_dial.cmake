# Any number against any rule table: the matcher never reads past a rule or a number.
fuzz_target(fuzz_dialmap tests/fuzz/fuzz_dialmap.cpp ${DIALMAP_SOURCES} ${BOARD_COMMON_SOURCES} src/multi_log.cpp
  src/print_sys.cpp)

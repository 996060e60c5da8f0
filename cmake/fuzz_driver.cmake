# The simulated board's control commands arrive from outside the program (its socket).
fuzz_target(fuzz_board_ctl tests/fuzz/fuzz_board_ctl.cpp ${BOARD_DRIVER_SOURCES} ${BOARD_COMMON_SOURCES}
  ${GATE_G711_SOURCES})
target_include_directories(fuzz_board_ctl PRIVATE api/driver_api api/driver_api/include api/ac49x_api/Include)

# The simulated board's control commands arrive from outside the program (its socket).
fuzz_target(fuzz_board_ctl
  tests/fuzz/fuzz_board_ctl.cpp
  api/driver_api/sim/sim_board.cpp
  api/driver_api/sim/sim_dsp.cpp
  api/driver_api/HostBuffer.cpp
  src/board.cpp
  src/g711.cpp
)
target_include_directories(fuzz_board_ctl PRIVATE api/driver_api api/driver_api/include api/ac49x_api/Include)

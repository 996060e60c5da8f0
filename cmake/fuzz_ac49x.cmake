# The AC49x driver's receive path over the simulated DSP's memory.
fuzz_target(fuzz_ac49x_receive tests/fuzz/fuzz_ac49x_receive.cpp ${AC49X_SOURCES} ${BOARD_DRIVER_SOURCES}
  ${BOARD_COMMON_SOURCES} ${GATE_G711_SOURCES})
target_include_directories(fuzz_ac49x_receive PRIVATE api/ac49x_api/Include api/driver_api api/driver_api/include)

# The AC49x driver's receive path over the simulated DSP's memory.
fuzz_target(fuzz_ac49x_receive
  tests/fuzz/fuzz_ac49x_receive.cpp
  api/ac49x_api/AC49xDrv_Api.cpp
  api/ac49x_api/AC49xDrv_UserDefinedFunctions.cpp
  api/driver_api/DspApi.cpp
  api/driver_api/MyApi.cpp
  api/driver_api/HostBuffer.cpp
  api/driver_api/sim/sim_board.cpp
  api/driver_api/sim/sim_dsp.cpp
  src/board.cpp
  src/g711.cpp
)
target_include_directories(fuzz_ac49x_receive PRIVATE api/ac49x_api/Include api/driver_api api/driver_api/include)

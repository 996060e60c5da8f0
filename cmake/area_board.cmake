# The board environment (COR and power sampling, PTT, LEDs, jumpers, reset input, start-up
# record, eth0 addresses), the network manager hook, the four-wire audio board, and the line
# module's COR forwarders.
set(BOARD_ENV_SOURCES
  src/arm_environment.cpp
  src/net_manager.cpp
  src/line4.cpp
  src/user.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${BOARD_ENV_SOURCES})

# The board environment (COR and power sampling, PTT, LEDs, jumpers, reset input, start-up
# record, eth0 addresses), the network manager hook, the four-wire audio board, the line
# module's COR forwarders, and the OPTIONS supervision of the softswitches.
set(BOARD_ENV_SOURCES
  src/arm_environment.cpp
  src/net_manager.cpp
  src/line4.cpp
  src/user.cpp
  src/option_register.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${BOARD_ENV_SOURCES})
# TEMPORARY, delete on merge with the SIP manager: its OPTIONS sender, answering -1.
target_sources(gate_core PRIVATE src/sipman_stub.cpp)

# The board environment and the four-wire board on the in-process simulated board; the serial
# module's writes and drains are wrapped so the board's record shows them among its requests.
unit_test(test_board_env tests/unit/test_board_env.cpp tests/unit/test_line4.cpp tests/unit/test_user.cpp)
target_link_libraries(test_board_env PRIVATE gate_core util)
target_include_directories(test_board_env PRIVATE api/driver_api)
target_compile_definitions(test_board_env PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_options(test_board_env PRIVATE
  -Wl,--wrap=_Z12Serial_WriteiPKvi -Wl,--wrap=_Z12Serial_Draini)

blackbox_test(board_env test_board_env.py)

# The OPTIONS supervision alone: the SIP manager is a recording stand-in in the test, and the
# test owns the configuration record, so nothing else of the gateway is linked.
unit_test(test_option_register tests/unit/test_option_register.cpp
  src/option_register.cpp src/multi_log.cpp src/print_sys.cpp)
target_link_libraries(test_option_register PRIVATE board_common)
target_compile_definitions(test_option_register PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

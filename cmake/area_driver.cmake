# The board driver and serial wrappers (radiogate's only way to its board), with the simulated
# board that answers when the device is a plain file; and the G.711 conversions.
set(BOARD_REQUEST_SOURCES
  api/driver_api/DspApi.cpp
  api/driver_api/IoApi.cpp
  api/driver_api/HostBuffer.cpp
)
set(BOARD_DRIVER_SOURCES
  api/driver_api/MyApi.cpp
  ${BOARD_REQUEST_SOURCES}
  api/driver_api/serial.cpp
  api/driver_api/sim/sim_board.cpp
  api/driver_api/sim/sim_dsp.cpp
)
set(GATE_G711_SOURCES src/g711.cpp)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

add_library(board_driver STATIC ${BOARD_DRIVER_SOURCES})
target_include_directories(board_driver PUBLIC api/driver_api/include)
# The simulated DSP shares the AC49x memory map and packet layouts, and decodes G.711.
target_include_directories(board_driver PRIVATE api/ac49x_api/Include)
target_link_libraries(board_driver PUBLIC board_common gate_g711)
target_link_libraries(gate_core PUBLIC board_driver)

add_library(gate_g711 STATIC ${GATE_G711_SOURCES})
target_include_directories(gate_g711 PUBLIC src/include)
target_link_libraries(gate_core PUBLIC gate_g711)

# The request wrappers alone, against a capturing device in place of MyIOControl.
unit_test(test_board_requests
  tests/unit/test_board_requests.cpp
  ${BOARD_REQUEST_SOURCES}
)
target_include_directories(test_board_requests PRIVATE api/driver_api/include src/include)

unit_test(test_board_device tests/unit/test_board_device.cpp tests/unit/test_serial.cpp)
target_link_libraries(test_board_device PRIVATE board_driver util)
target_include_directories(test_board_device PRIVATE api/driver_api)

unit_test(test_g711 tests/unit/test_g711.cpp)
target_link_libraries(test_g711 PRIVATE gate_g711)
target_compile_definitions(test_g711 PRIVATE
  G711_TABLE_FILE="${CMAKE_SOURCE_DIR}/tests/data/g711-transcoding.txt")

# Small programs the black-box tests drive: the board wrappers over stdin, and the G.711
# conversions dumped whole.
add_executable(board_probe tests/tools/board_probe.cpp)
target_link_libraries(board_probe PRIVATE board_driver)
add_executable(g711_dump tests/tools/g711_dump.cpp)
target_link_libraries(g711_dump PRIVATE gate_g711)

blackbox_test(board_sim test_board_sim.py)
blackbox_test(g711_audioop test_g711_audioop.py)

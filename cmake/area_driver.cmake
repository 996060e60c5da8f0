# The board driver and serial wrappers (radiogate's only way to its board).
add_library(board_driver STATIC api/driver_api/MyApi.cpp)
target_include_directories(board_driver PUBLIC api/driver_api/include)
target_link_libraries(board_driver PUBLIC board_common)
target_link_libraries(gate_core PUBLIC board_driver)

# The G.711 conversions of the media path.
add_library(gate_g711 STATIC src/g711.cpp)
target_include_directories(gate_g711 PUBLIC src/include)
target_link_libraries(gate_core PUBLIC gate_g711)

unit_test(test_g711 tests/unit/test_g711.cpp)
target_link_libraries(test_g711 PRIVATE gate_g711)
target_compile_definitions(test_g711 PRIVATE
  G711_TABLE_FILE="${CMAKE_SOURCE_DIR}/tests/data/g711-transcoding.txt")

# The conversions dumped whole, for the comparison with another implementation.
add_executable(g711_dump tests/tools/g711_dump.cpp)
target_link_libraries(g711_dump PRIVATE gate_g711)
blackbox_test(g711_audioop test_g711_audioop.py)

# The board driver and serial wrappers (radiogate's only way to its board).
add_library(board_driver STATIC api/driver_api/MyApi.cpp)
target_include_directories(board_driver PUBLIC api/driver_api/include)
target_link_libraries(board_driver PUBLIC board_common)
target_link_libraries(gate_core PUBLIC board_driver)

# radiogate: everything but main.cpp goes into a library the tests link too.
add_library(gate_core STATIC src/gate_frame.cpp)
target_include_directories(gate_core PUBLIC src/include)
target_link_libraries(gate_core PUBLIC query_gate board_common)

add_executable(radiogate src/main.cpp)
target_link_libraries(radiogate PRIVATE gate_core)

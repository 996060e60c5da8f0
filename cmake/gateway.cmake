# radiogate: everything but the entry point goes into a library the tests link too; each area
# adds its sources with target_sources(gate_core ...).
add_library(gate_core STATIC)
target_include_directories(gate_core PUBLIC src/include)
target_link_libraries(gate_core PUBLIC query_gate board_common)

add_executable(radiogate src/radiogate.cpp)
target_link_libraries(radiogate PRIVATE gate_core)

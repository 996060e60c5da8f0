# Radio floor control of the lines: the floor INFO bodies (which the fuzz build takes alone)
# and the floor steps, PTT keying and INFO handlers of the line module.
set(FLOOR_PARSE_SOURCES src/parse_sipinfo.cpp)
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${FLOOR_PARSE_SOURCES} src/user_floor.cpp)

# The INFO bodies, and a line's floor over the real stack on loopback and the simulated DSP.
unit_test(test_line_floor tests/unit/test_line_floor.cpp)
target_link_libraries(test_line_floor PRIVATE gate_core)
target_include_directories(test_line_floor PRIVATE api/driver_api tests/libsip)
target_compile_definitions(test_line_floor PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# The floor against SIPp as the far end of a line's call.
blackbox_test(line_floor test_line_floor.py)

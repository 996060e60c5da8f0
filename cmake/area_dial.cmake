# Dialling: the keys a radio sends as DTMF, the function keys, the digit buffer and the dial
# map. The dial map reads nothing but its arguments and the rule table: the fuzz build takes
# it alone.
set(DIALMAP_SOURCES src/user_dialmap.cpp)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE src/user_dial.cpp ${DIALMAP_SOURCES})

# Keys on a line over the real stack on loopback and the simulated board's DSP; the dial map
# as a table.
unit_test(test_line_dial tests/unit/test_line_dial.cpp)
target_link_libraries(test_line_dial PRIVATE gate_core)
target_include_directories(test_line_dial PRIVATE api/driver_api tests/libsip)
target_compile_definitions(test_line_dial PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# Two radio lines of one gateway dial each other through this project's sipswitch.
blackbox_test(radio_calls test_radio_calls.py)

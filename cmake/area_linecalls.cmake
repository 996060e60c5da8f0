# Lines taking and placing calls: call progress, SIP events, the automatic call. The sources
# are the line module's and the SIP manager's (area_board, area_sipua); here are their tests.
if(FUZZ)
  return()
endif()

# The line module over the real stack on loopback and the simulated board's DSP.
unit_test(test_line_calls tests/unit/test_line_calls.cpp)
target_link_libraries(test_line_calls PRIVATE gate_core)
target_include_directories(test_line_calls PRIVATE api/driver_api tests/libsip)
target_compile_definitions(test_line_calls PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# Calls through this project's sipswitch on the simulated board.
blackbox_test(line_calls test_line_calls.py)

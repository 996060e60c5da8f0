# Lines taking and placing calls: call progress, SIP events, the automatic call. The line
# module and the SIP manager are built by area_board and area_sipua; here are the line's SDP
# rules (which the fuzz build takes alone) and the tests.
set(LINECALLS_SOURCES src/user_sdp.cpp)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${LINECALLS_SOURCES})

# The line module over the real stack on loopback and the simulated board's DSP.
unit_test(test_line_calls tests/unit/test_line_calls.cpp)
target_link_libraries(test_line_calls PRIVATE gate_core)
target_include_directories(test_line_calls PRIVATE api/driver_api tests/libsip Lib_Base/sip)
target_compile_definitions(test_line_calls PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# The SIP manager's senders no line step uses yet, against a far end on loopback.
unit_test(test_sipman_send tests/unit/test_sipman_send.cpp)
target_link_libraries(test_sipman_send PRIVATE gate_core)
target_include_directories(test_sipman_send PRIVATE tests/libsip)
target_compile_definitions(test_sipman_send PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

# Calls through this project's sipswitch on the simulated board.
blackbox_test(line_calls test_line_calls.py)
if(TEST line_calls)  # black-box tests are not registered in the board's cross build
  # The automatic call waits out three missed probes of the host (5 s apart) and its return.
  set_tests_properties(line_calls PROPERTIES TIMEOUT 600)
endif()

# Hundreds of calls ending every way, then every channel free and the memory flat.
blackbox_test(line_soak test_line_soak.py)

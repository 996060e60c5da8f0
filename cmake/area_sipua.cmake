# The lines as SIP user agents: the SIP manager between the lines and the stack, registration
# per line and the line logic's SIP event handlers.
set(SIPUA_SOURCES
  src/sipman.cpp
  src/register.cpp
  src/user_s2p.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${SIPUA_SOURCES})

# The registration module's state steps and timers against a registrar on loopback.
unit_test(test_register tests/unit/test_register.cpp)
target_link_libraries(test_register PRIVATE gate_core)
target_include_directories(test_register PRIVATE tests/libsip)
target_compile_definitions(test_register PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

blackbox_test(line_register test_line_register.py)
# Three gateways, each waiting out three missed probes (5 s apart) and the moves that follow.
blackbox_test(line_failover test_line_failover.py)
if(TEST line_failover)  # black-box tests are not registered in the board's cross build
  set_tests_properties(line_failover PROPERTIES TIMEOUT 600)
endif()

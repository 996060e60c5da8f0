# The MGCP call agent: its message codec and UDP transport, and the endpoints with their state
# machine, which call control reaches like it reaches the SIP legs.
set(SWITCH_MGCP_SOURCES
  switch/mgcp_decode.cpp
  switch/mgcp_transport.cpp
  switch/mgcp_endpoint.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(switch_core PRIVATE ${SWITCH_MGCP_SOURCES})

unit_test(test_mgcp tests/unit/test_mgcp_codec.cpp tests/unit/test_mgcp_endpoint.cpp)
target_link_libraries(test_mgcp PRIVATE switch_core)

blackbox_test(mgcp test_mgcp.py)

# The MGCP decoder, and the call agent behind it, on any datagram from a gateway. The agent's
# sources join the switch's fuzz library, whose call control reaches the endpoints.
target_sources(fuzz_switch PRIVATE ${SWITCH_MGCP_SOURCES})
fuzz_target(fuzz_mgcp_decode tests/fuzz/fuzz_mgcp_decode.cpp)
target_link_libraries(fuzz_mgcp_decode PRIVATE fuzz_switch)

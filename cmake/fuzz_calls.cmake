# Calls through the switch on sequences of decoded datagrams from two registered phones: the
# legs, the INVITE builders, routing and call control, with what they call into.
fuzz_target(fuzz_sip_calls tests/fuzz/fuzz_sip_calls.cpp)
target_link_libraries(fuzz_sip_calls PRIVATE fuzz_switch)

# The SIP decoder and the field parsers the handlers run on what it stores, linked from the
# switch's fuzz library: only the decoder, its text helpers and the small runtime they read
# and log through are taken from it.
fuzz_target(fuzz_sip_decode tests/fuzz/fuzz_sip_decode.cpp)
target_link_libraries(fuzz_sip_decode PRIVATE fuzz_switch)

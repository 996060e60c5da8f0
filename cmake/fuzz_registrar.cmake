# The registrar on decoded datagrams: the decoder, the answers and the SIP socket it sends
# through (never created here, so nothing leaves), the query layer without a database, MD5
# from nettle, and the small runtime they log and read settings through.
fuzz_target(fuzz_sip_reg tests/fuzz/fuzz_sip_reg.cpp)
target_link_libraries(fuzz_sip_reg PRIVATE fuzz_switch)

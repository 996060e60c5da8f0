# The registrar on decoded datagrams: the decoder, the answers and the SIP socket it sends
# through (never created here, so nothing leaves), the query layer without a database, MD5
# from nettle, and the small runtime they log and read settings through.
fuzz_target(fuzz_sip_reg
  tests/fuzz/fuzz_sip_reg.cpp
  switch/sip_reg.cpp
  switch/sip_digest.cpp
  switch/sip_legs.cpp
  switch/sip_invite.cpp
  switch/call_chn.cpp
  switch/call_route.cpp
  switch/call_relay.cpp
  switch/sip_response.cpp
  switch/sip_transport.cpp
  switch/sip_text.cpp
  switch/sip_decode.cpp
  switch/settings.cpp
  switch/ini.cpp
  switch/swlog.cpp
  src/board.cpp
  src/sqlite.cpp
)
target_compile_definitions(fuzz_sip_reg PRIVATE QUERY_SWITCH_FORM=1)
target_link_libraries(fuzz_sip_reg PRIVATE sqlite3 nettle)

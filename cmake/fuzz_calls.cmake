# Calls through the switch on sequences of decoded datagrams from two registered phones: the
# legs, the INVITE builders, routing and call control, with what they call into.
fuzz_target(fuzz_sip_calls
  tests/fuzz/fuzz_sip_calls.cpp
  switch/sip_legs.cpp
  switch/sip_invite.cpp
  switch/call_chn.cpp
  switch/call_route.cpp
  switch/call_relay.cpp
  switch/sip_reg.cpp
  switch/sip_digest.cpp
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
target_compile_definitions(fuzz_sip_calls PRIVATE QUERY_SWITCH_FORM=1)
target_link_libraries(fuzz_sip_calls PRIVATE sqlite3 nettle)

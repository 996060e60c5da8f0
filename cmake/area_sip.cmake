# The switch's SIP side: text helpers and the decoder.
target_sources(switch_core PRIVATE
  switch/sip_text.cpp
  switch/sip_decode.cpp
)

unit_test(test_sip_decode tests/unit/test_sip_text.cpp tests/unit/test_sip_decode.cpp)
target_link_libraries(test_sip_decode PRIVATE switch_core)

# The switch's SIP side: text helpers, decoder, transport with the receive dispatch, and the
# answers and in-dialog requests.
set(SWITCH_SIP_DECODER_SOURCES
  switch/sip_text.cpp
  switch/sip_decode.cpp
)
set(SWITCH_SIP_SOURCES
  ${SWITCH_SIP_DECODER_SOURCES}
  switch/sip_transport.cpp
  switch/sip_response.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(switch_core PRIVATE ${SWITCH_SIP_SOURCES})

unit_test(test_sip_decode tests/unit/test_sip_text.cpp tests/unit/test_sip_decode.cpp)
target_link_libraries(test_sip_decode PRIVATE switch_core)
unit_test(test_sip_response tests/unit/test_sip_response.cpp)
target_link_libraries(test_sip_response PRIVATE switch_core)

blackbox_test(sip_answers test_sip_answers.py)

bench_target(bench_sip_decode bench/bench_sip_decode.cpp)
target_link_libraries(bench_sip_decode PRIVATE switch_core)

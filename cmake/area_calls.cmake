# Calls through the switch: the SIP legs, the INVITE builders with their session descriptions,
# the routing of a new call and the relay of its progress between the two parties.
set(SWITCH_CALLS_SOURCES
  switch/sip_invite.cpp
  switch/sip_legs.cpp
  switch/sip_service.cpp
  switch/sip_legs_index.cpp
  switch/call_route.cpp
  switch/call_relay.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(switch_core PRIVATE ${SWITCH_CALLS_SOURCES})

unit_test(test_sip_invite tests/unit/test_sip_invite.cpp)
target_link_libraries(test_sip_invite PRIVATE switch_core)
unit_test(test_sip_legs tests/unit/test_sip_legs.cpp)
target_link_libraries(test_sip_legs PRIVATE switch_core)
unit_test(test_call_route tests/unit/test_call_route.cpp)
target_link_libraries(test_call_route PRIVATE switch_core)
unit_test(test_services tests/unit/test_services.cpp)
target_link_libraries(test_services PRIVATE switch_core)

blackbox_test(calls test_calls.py)
blackbox_test(call_timers test_call_timers.py)
blackbox_test(call_tables test_call_tables.py)
blackbox_test(services test_services.py)
# Real phones (linphone-cli): three daemons and many calls, so longer than the rest.
blackbox_test(phones test_phones.py)
if(TEST phones)  # black-box tests are not registered in the board's cross build
  set_tests_properties(phones PROPERTIES TIMEOUT 600)
endif()

# The service links and monitors of the switch: the status-query server for dispatch consoles,
# the record-server link, the media-relay, billing and query-ip links, the network and SIP
# monitors.
set(SWITCH_LINKS_SOURCES
  switch/link_net.cpp
  switch/link_wait.cpp
  switch/link_status.cpp
  switch/link_fee.cpp
  switch/link_relay.cpp
  switch/link_queryip.cpp
  switch/link_record.cpp
  switch/call_services.cpp
  switch/link_monitor.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(switch_core PRIVATE ${SWITCH_LINKS_SOURCES})

blackbox_test(links_status test_links_status.py)
blackbox_test(links_fee test_links_fee.py)
blackbox_test(links_relay test_links_relay.py)
blackbox_test(links_record test_links_record.py)
blackbox_test(links_monitor test_links_monitor.py)
# The SIP monitor is always answered at port 8002.
if(TEST links_monitor)  # black-box tests are not registered in the board's cross build
  set_tests_properties(links_monitor PROPERTIES RESOURCE_LOCK port_8002)
endif()

unit_test(test_links tests/unit/test_links.cpp)
target_link_libraries(test_links PRIVATE switch_core)

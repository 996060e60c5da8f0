# The gateway against strangers: requests for dialogs it does not have are answered without
# holding the stack's table, and slow HTTP clients cannot hold the broadcast server.
if(FUZZ)
  return()
endif()

unit_test(test_libsip_strangers tests/libsip/test_libsip_strangers.cpp)
target_include_directories(test_libsip_strangers PRIVATE tests/libsip Lib_Base/sip)
target_link_libraries(test_libsip_strangers PRIVATE libsip libmisc)

# A minute of strangers' requests while both lines register with a short lifetime.
blackbox_test(gate_strangers test_gate_strangers.py)
# Sixty slow HTTP clients against the broadcast server.
blackbox_test(http_slow_clients test_http_slow_clients.py)

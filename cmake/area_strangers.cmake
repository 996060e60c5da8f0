# The gateway against strangers: requests for dialogs it does not have are answered without
# holding the stack's table, and slow HTTP clients cannot hold the broadcast server.
if(FUZZ)
  return()
endif()

unit_test(test_libsip_strangers tests/libsip/test_libsip_strangers.cpp)
target_include_directories(test_libsip_strangers PRIVATE tests/libsip Lib_Base/sip)
target_link_libraries(test_libsip_strangers PRIVATE libsip libmisc)

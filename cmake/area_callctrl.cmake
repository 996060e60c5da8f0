# Call control: call channels and the user record.
target_sources(switch_core PRIVATE switch/call_chn.cpp)

unit_test(test_call_chn tests/unit/test_call_chn.cpp)
target_link_libraries(test_call_chn PRIVATE switch_core)

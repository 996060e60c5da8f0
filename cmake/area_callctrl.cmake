# Call control: call channels and the user record.
set(SWITCH_CALLCTRL_SOURCES switch/call_chn.cpp)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(switch_core PRIVATE ${SWITCH_CALLCTRL_SOURCES})

unit_test(test_call_chn tests/unit/test_call_chn.cpp)
target_link_libraries(test_call_chn PRIVATE switch_core)

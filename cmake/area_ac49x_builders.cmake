# The AC49x driver's further channel configuration and command builders (in the driver's
# library; only their tests are here).
if(FUZZ)
  return()
endif()
unit_test(test_ac49x_builders tests/unit/test_ac49x_builders.cpp)
target_link_libraries(test_ac49x_builders PRIVATE ac49x_driver)
target_include_directories(test_ac49x_builders PRIVATE api/driver_api)
target_compile_definitions(test_ac49x_builders PRIVATE AC49X_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
# The test watches the command hook as the driver calls it.
target_link_options(test_ac49x_builders PRIVATE
  -Wl,--wrap=_Z41Ac49xUserDef_CriticalSection_EnterCommandi
  -Wl,--wrap=_Z41Ac49xUserDef_CriticalSection_LeaveCommandi)

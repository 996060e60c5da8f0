# The AC49x driver's debug monitor (HCRF) and firmware download information, for the bench.
set(AC49X_MONITOR_SOURCES api/ac49x_api/AC49xDrv_Monitor.cpp)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(ac49x_driver PRIVATE ${AC49X_MONITOR_SOURCES})

unit_test(test_ac49x_monitor tests/unit/test_ac49x_monitor.cpp)
target_link_libraries(test_ac49x_monitor PRIVATE ac49x_driver)
target_include_directories(test_ac49x_monitor PRIVATE api/driver_api)
target_compile_definitions(test_ac49x_monitor PRIVATE AC49X_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

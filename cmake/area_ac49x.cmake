# The AC49x DSP driver: host-port access, packet transport, boot and device set-up, channel
# commands; linked into the gateway.
set(AC49X_SOURCES
  api/ac49x_api/AC49xDrv_Api.cpp
  api/ac49x_api/AC49xDrv_UserDefinedFunctions.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

add_library(ac49x_driver STATIC ${AC49X_SOURCES})
target_include_directories(ac49x_driver PUBLIC api/ac49x_api/Include)
target_link_libraries(ac49x_driver PUBLIC board_driver)
target_link_libraries(gate_core PUBLIC ac49x_driver)

unit_test(test_ac49x tests/unit/test_ac49x.cpp)
target_link_libraries(test_ac49x PRIVATE ac49x_driver)
target_include_directories(test_ac49x PRIVATE api/driver_api)
target_compile_definitions(test_ac49x PRIVATE AC49X_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

bench_target(bench_ac49x bench/bench_ac49x.cpp)
target_link_libraries(bench_ac49x PRIVATE ac49x_driver)
target_include_directories(bench_ac49x PRIVATE api/driver_api tests/unit)
target_compile_definitions(bench_ac49x PRIVATE AC49X_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

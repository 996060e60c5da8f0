# The media path end to end in one process: the DSP layer over the simulated board's DSP and
# the RTP layer over loopback sockets, both stepped as the main loop steps them.
if(FUZZ)
  return()
endif()

unit_test(test_media_path tests/unit/test_media_path.cpp)
target_link_libraries(test_media_path PRIVATE gate_core)
target_include_directories(test_media_path PRIVATE api/driver_api)
target_compile_definitions(test_media_path PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

bench_target(bench_media bench/bench_media.cpp)
target_link_libraries(bench_media PRIVATE gate_core GTest::gtest)
target_include_directories(bench_media PRIVATE api/driver_api tests/unit)
target_compile_definitions(bench_media PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

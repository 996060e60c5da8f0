# The RTP channels of the lines: network to line with voice detection and the paced ring, line
# to network with muting and busy detection, prompts.
set(RTP_SOURCES src/rtp_res.cpp)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${RTP_SOURCES})

# The line-side calls the layer makes and the BYE are wrapped, so the tests see them; the DSP's
# frame-size call is a recording double of the tests (the DSP layer is not linked for it).
set(RTP_TEST_WRAPS
  -Wl,--wrap=_Z22RES490_SetRtpFrameSizeii
  -Wl,--wrap=_Z14SipMan_SendByeii
  -Wl,--wrap=_Z14UserRequestProi
  -Wl,--wrap=_Z14UserReleaseProi
  -Wl,--wrap=_Z19User_PstnVoiceFirstP11USER_INFO_T
  -Wl,--wrap=_Z13User_SetPTTOnP11USER_INFO_T
  -Wl,--wrap=_Z14User_SetPTTOffP11USER_INFO_T)

unit_test(test_rtp_res tests/unit/test_rtp_res.cpp)
target_link_libraries(test_rtp_res PRIVATE gate_core util)
target_include_directories(test_rtp_res PRIVATE api/driver_api)
target_compile_definitions(test_rtp_res PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_options(test_rtp_res PRIVATE ${RTP_TEST_WRAPS})

bench_target(bench_rtp bench/bench_rtp.cpp)
target_link_libraries(bench_rtp PRIVATE gate_core util)
target_include_directories(bench_rtp PRIVATE api/driver_api tests/unit)
target_compile_definitions(bench_rtp PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_options(bench_rtp PRIVATE ${RTP_TEST_WRAPS})

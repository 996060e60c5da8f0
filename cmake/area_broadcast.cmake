# The broadcast player: line 0 plays the converted upload with PTT keyed, stepped by the main
# loop once something starts it (nothing in radiogate does).
set(BROADCAST_SOURCES src/broad_player.cpp)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${BROADCAST_SOURCES})

# A whole gateway with the HTTP server and the player started, for the black-box tests.
add_executable(gate_broadcast tests/tools/gate_broadcast.cpp)
target_link_libraries(gate_broadcast PRIVATE gate_core)

blackbox_test(broadcast test_broadcast.py)

# The player's steps with the line module's media and BYE calls, the PTT output and the DSP
# hand-over wrapped, so the test sees what it does to them.
unit_test(test_broad_player tests/unit/test_broad_player.cpp)
target_link_libraries(test_broad_player PRIVATE gate_core)
target_compile_definitions(test_broad_player PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
target_link_options(test_broad_player PRIVATE
  -Wl,--wrap=_Z13User_BroadByeP11USER_INFO_T
  -Wl,--wrap=_Z14UserOpenRtpChnP11USER_INFO_T
  -Wl,--wrap=_Z15UserCloseRtpChnP11USER_INFO_T
  -Wl,--wrap=_Z16UserPlayToneStopP11USER_INFO_T
  -Wl,--wrap=_Z13ArmEnv_SetPTTii
  -Wl,--wrap=_Z19RTP_SetRtpFrameSizeii
  -Wl,--wrap=_Z12RtpSendToPcmiPhi)

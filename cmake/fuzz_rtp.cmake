# The RTP layer's receive path: datagrams of any shape into an open channel under each network
# COR type, and the same bytes from the line side. Besides the layer only the G.711 rules, the
# logger and the value texts are compiled in; sockets, line module, SIP manager, DSP and board
# are stubbed in the target.
fuzz_target(fuzz_rtp_recv tests/fuzz/fuzz_rtp_recv.cpp ${RTP_SOURCES} ${BOARD_COMMON_SOURCES} src/g711.cpp
  src/multi_log.cpp src/print_sys.cpp)
target_include_directories(fuzz_rtp_recv PRIVATE Lib_Base/include api/ac49x_api/Include)

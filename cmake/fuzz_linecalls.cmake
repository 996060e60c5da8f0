# A far end's SDP as the stack reads it, through the line's check, codec choice and answer
# direction, against every codec preference list. The stack's sources give its SDP reader.
find_package(PkgConfig REQUIRED)
pkg_check_modules(FUZZ_LINE_OSIP2 REQUIRED libosip2)
find_library(FUZZ_LINE_NETTLE nettle REQUIRED)
fuzz_target(fuzz_line_sdp tests/fuzz/fuzz_line_sdp.cpp ${LINECALLS_SOURCES} ${LIBSIP_SOURCES} ${BOARD_COMMON_SOURCES}
  src/multi_log.cpp src/print_sys.cpp)
target_include_directories(fuzz_line_sdp PRIVATE ${CMAKE_SOURCE_DIR}/Lib_Base/include ${CMAKE_SOURCE_DIR}/Lib_Base/sip
  ${CMAKE_SOURCE_DIR}/api/ac49x_api/Include)
target_include_directories(fuzz_line_sdp SYSTEM PRIVATE ${FUZZ_LINE_OSIP2_INCLUDE_DIRS})
target_link_directories(fuzz_line_sdp PRIVATE ${FUZZ_LINE_OSIP2_LIBRARY_DIRS})
target_link_libraries(fuzz_line_sdp PRIVATE ${FUZZ_LINE_OSIP2_LIBRARIES} ${FUZZ_LINE_NETTLE})

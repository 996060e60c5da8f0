# The HTTP broadcast interface's readers of outside input: request headers, the upload's file
# part and the play count over a socket pair, then WAV and MP3 files through the conversion.
# Besides the interface only the G.711 rules and the logger are compiled in; the radio-channel
# write is stubbed in the target, and MP3 frames go through the system's libmad.
fuzz_target(fuzz_http tests/fuzz/fuzz_http.cpp ${HTTP_SOURCES} ${BOARD_COMMON_SOURCES} src/g711.cpp src/multi_log.cpp)
# The line record the logger names (struct_sys.h) takes the SIP stack's address types.
target_include_directories(fuzz_http PRIVATE ${MAD_INCLUDE_DIR} ${CMAKE_SOURCE_DIR}/Lib_Base/include)
target_link_libraries(fuzz_http PRIVATE ${MAD_LIBRARY} pthread)

# The HTTP broadcast interface's readers of outside input: request headers, the upload's file
# part and the play count over a socket pair, then WAV and MP3 files through the conversion.
# The radio-channel write is stubbed in the target; MP3 frames go through the system's libmad.
find_path(MAD_INCLUDE_DIR mad.h REQUIRED)
find_library(MAD_LIBRARY NAMES mad libmad.so.0 REQUIRED)
fuzz_target(fuzz_http
  tests/fuzz/fuzz_http.cpp
  src/http_interface.cpp
  src/wl_net.cpp
  src/libmadMp3Dec.cpp
  src/g711.cpp
  src/multi_log.cpp
  src/board.cpp
)
target_include_directories(fuzz_http PRIVATE ${MAD_INCLUDE_DIR})
target_link_libraries(fuzz_http PRIVATE ${MAD_LIBRARY} pthread)

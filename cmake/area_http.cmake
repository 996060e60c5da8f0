# The HTTP broadcast interface: the server with its socket module, and the conversion of an
# upload to 8 kHz A-law (MP3 through libmad). Its threads need pthread.
set(HTTP_SOURCES
  src/http_interface.cpp
  src/wl_net.cpp
  src/libmadMp3Dec.cpp
)
# libmad: the development package gives libmad.so; where only the runtime library of this
# architecture is installed (the development package of another architecture took its place),
# the runtime library is linked directly. mad.h serves any architecture here, since this code
# uses none of its fixed-point arithmetic macros.
find_path(MAD_INCLUDE_DIR mad.h REQUIRED)
find_library(MAD_LIBRARY NAMES mad libmad.so.0 REQUIRED)
# The fuzz build takes the lists above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${HTTP_SOURCES})
target_include_directories(gate_core PUBLIC ${MAD_INCLUDE_DIR})
target_link_libraries(gate_core PUBLIC ${MAD_LIBRARY} Threads::Threads)

# The server thread alone, for the black-box tests: nothing in radiogate starts it.
add_executable(http_harness tests/tools/http_harness.cpp)
target_link_libraries(http_harness PRIVATE gate_core)

unit_test(test_http tests/unit/test_http.cpp tests/unit/test_http_convert.cpp)
target_link_libraries(test_http PRIVATE gate_core)
target_compile_definitions(test_http PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

blackbox_test(http_requests test_http_requests.py)
blackbox_test(http_upload test_http_upload.py)

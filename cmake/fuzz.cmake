# libFuzzer targets: each parser of outside input gets one (added by the parser's own area).
set(FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer -g -O1)
function(fuzz_target name)
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE ${FUZZ_FLAGS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src/include ${CMAKE_SOURCE_DIR}/switch)
endfunction()

# The switch without its process frame, for the targets that drive whole message paths.
add_library(fuzz_switch STATIC
  switch/sip_reg.cpp switch/sip_digest.cpp switch/sip_legs.cpp switch/sip_invite.cpp
  switch/call_chn.cpp switch/call_route.cpp switch/call_relay.cpp switch/sip_response.cpp
  switch/sip_transport.cpp switch/sip_text.cpp switch/sip_decode.cpp switch/settings.cpp
  switch/ini.cpp switch/swlog.cpp src/board.cpp src/sqlite.cpp)
target_compile_options(fuzz_switch PRIVATE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g -O1)
target_compile_definitions(fuzz_switch PUBLIC QUERY_SWITCH_FORM=1)
target_include_directories(fuzz_switch PUBLIC ${CMAKE_SOURCE_DIR}/src/include ${CMAKE_SOURCE_DIR}/switch)
target_link_libraries(fuzz_switch PUBLIC sqlite3 nettle)

file(GLOB fuzz_areas ${CMAKE_SOURCE_DIR}/cmake/fuzz_*.cmake)
foreach(f ${fuzz_areas})
  include(${f})
endforeach()

# libFuzzer targets: each parser of outside input gets one (added by the parser's own area in
# cmake/fuzz_<name>.cmake). The sources are the build areas' own lists: the fuzz build reads
# them from the same files, which stop after their lists when FUZZ is on.
set(FUZZ_FLAGS -fsanitize=fuzzer,address,undefined -fno-omit-frame-pointer -g -O1)
function(fuzz_target name)
  add_executable(${name} ${ARGN})
  target_compile_options(${name} PRIVATE ${FUZZ_FLAGS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src/include ${CMAKE_SOURCE_DIR}/switch)
endfunction()

include(cmake/common.cmake)
include(cmake/switch.cmake)
include_each(area_*.cmake)

# The switch without its process frame, for the targets that drive whole message paths.
add_library(fuzz_switch STATIC
  ${SWITCH_RUNTIME_SOURCES} ${SWITCH_SIP_SOURCES} ${SWITCH_REGISTRAR_SOURCES} ${SWITCH_CALLS_SOURCES}
  ${SWITCH_CALLCTRL_SOURCES} ${SWITCH_LINKS_SOURCES} ${BOARD_COMMON_SOURCES} ${QUERY_SOURCES})
target_compile_options(fuzz_switch PRIVATE -fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer -g -O1)
target_compile_definitions(fuzz_switch PUBLIC QUERY_SWITCH_FORM=1)
target_include_directories(fuzz_switch PUBLIC ${CMAKE_SOURCE_DIR}/src/include ${CMAKE_SOURCE_DIR}/switch)
target_link_libraries(fuzz_switch PUBLIC sqlite3 nettle)

include_each(fuzz_*.cmake)

# The gateway's outside libraries, written here behind the interface the gateway calls: the SIP
# stack (libsip, an RFC 3261 user agent on libosip2 with nettle's MD5) and the base helpers
# (libmisc: UDP sockets, copies, log facility, XML builder, and the code library's start-up call).
set(LIBSIP_SOURCES
  Lib_Base/sip/libsip.cpp Lib_Base/sip/sip_ua.cpp Lib_Base/sip/sip_msg.cpp Lib_Base/sip/sip_stack.cpp Lib_Base/sip/sip_sdp.cpp
  Lib_Base/sip/sip_digest.cpp Lib_Base/sip/sip_text.cpp)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

find_package(PkgConfig REQUIRED)
pkg_check_modules(OSIP2 REQUIRED IMPORTED_TARGET libosip2)
find_library(NETTLE_LIBRARY nettle REQUIRED)

add_library(libmisc STATIC Lib_Base/misc/libmisc.cpp Lib_Base/misc/xml.cpp Lib_Base/misc/libcode.cpp)
target_include_directories(libmisc PUBLIC Lib_Base/include)
target_link_libraries(libmisc PUBLIC board_common)

add_library(libsip STATIC ${LIBSIP_SOURCES})
target_include_directories(libsip PUBLIC Lib_Base/include PRIVATE Lib_Base/sip)
target_include_directories(libsip SYSTEM PRIVATE ${OSIP2_INCLUDE_DIRS})
target_link_libraries(libsip PUBLIC board_common PRIVATE PkgConfig::OSIP2 ${NETTLE_LIBRARY})

target_link_libraries(gate_core PUBLIC libsip libmisc)

# The stack against a far end on loopback, through the calls the gateway makes.
unit_test(test_libsip tests/libsip/test_libsip_client.cpp tests/libsip/test_libsip_server.cpp tests/libsip/test_libsip_parts.cpp)
target_include_directories(test_libsip PRIVATE tests/libsip Lib_Base/sip)
target_link_libraries(test_libsip PRIVATE libsip libmisc)

# The same calls against real SIPp scenarios (tests/sipp); SIPp comes with the sip-tester package.
find_program(SIPP_EXECUTABLE sipp)
if(SIPP_EXECUTABLE)
  unit_test(test_libsip_sipp tests/libsip/test_libsip_sipp.cpp)
  target_include_directories(test_libsip_sipp PRIVATE tests/libsip)
  target_compile_definitions(test_libsip_sipp PRIVATE SIPP_EXECUTABLE="${SIPP_EXECUTABLE}"
    SIPP_SCENARIOS="${CMAKE_SOURCE_DIR}/tests/sipp")
  target_link_libraries(test_libsip_sipp PRIVATE libsip libmisc)
else()
  message(WARNING "sipp not found: the SIPp scenarios of the SIP stack are not tested")
endif()

# The same calls against this project's own sipswitch, started from the build on a scratch board
# root: registration, refresh and removal with authentication off and with both challenges.
unit_test(test_libsip_switch tests/libsip/test_libsip_switch.cpp)
target_include_directories(test_libsip_switch PRIVATE tests/libsip)
target_compile_definitions(test_libsip_switch PRIVATE SIPSWITCH_EXE="$<TARGET_FILE:sipswitch>")
target_link_libraries(test_libsip_switch PRIVATE libsip libmisc)
add_dependencies(test_libsip_switch sipswitch)
if(CMAKE_CROSSCOMPILING)
  list(JOIN CMAKE_CROSSCOMPILING_EMULATOR " " sipswitch_launcher)
  target_compile_definitions(test_libsip_switch PRIVATE SIPSWITCH_LAUNCHER="${sipswitch_launcher}")
endif()

bench_target(bench_libsip bench/bench_libsip.cpp)
target_include_directories(bench_libsip PRIVATE tests/libsip)
target_link_libraries(bench_libsip PRIVATE libsip)

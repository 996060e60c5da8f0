# The SIP stack's receive path under libFuzzer, on the stack's own source list; its outside
# libraries (libosip2, nettle) are found here.
find_package(PkgConfig REQUIRED)
pkg_check_modules(FUZZ_OSIP2 REQUIRED libosip2)
find_library(FUZZ_NETTLE nettle REQUIRED)
fuzz_target(fuzz_libsip_recv tests/fuzz/fuzz_libsip_recv.cpp ${LIBSIP_SOURCES} ${BOARD_COMMON_SOURCES})
target_include_directories(fuzz_libsip_recv PRIVATE ${CMAKE_SOURCE_DIR}/Lib_Base/include ${CMAKE_SOURCE_DIR}/Lib_Base/sip
  ${CMAKE_SOURCE_DIR}/tests/libsip)
target_include_directories(fuzz_libsip_recv SYSTEM PRIVATE ${FUZZ_OSIP2_INCLUDE_DIRS})
target_link_directories(fuzz_libsip_recv PRIVATE ${FUZZ_OSIP2_LIBRARY_DIRS})
target_link_libraries(fuzz_libsip_recv PRIVATE ${FUZZ_OSIP2_LIBRARIES} ${FUZZ_NETTLE})

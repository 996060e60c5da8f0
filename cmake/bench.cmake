function(bench_target name)
  if(CMAKE_CROSSCOMPILING)
    # Kept as a target so the areas can still add to it, but never built.
    add_executable(${name} EXCLUDE_FROM_ALL ${ARGN})
    return()
  endif()
  # Timings under the sanitizers mean nothing: there a benchmark is built only when asked for.
  set(exclude)
  if(SANITIZE)
    set(exclude EXCLUDE_FROM_ALL)
  endif()
  add_executable(${name} ${exclude} ${ARGN})
  target_link_libraries(${name} PRIVATE benchmark::benchmark)
endfunction()

bench_target(bench_query bench/bench_query.cpp)
target_link_libraries(bench_query PRIVATE query_switch)

# The call soak drives the built switch with SIPp; it runs only when asked for, taking minutes.
if(NOT CMAKE_CROSSCOMPILING)
  add_custom_target(bench_soak
    COMMAND python3 ${CMAKE_SOURCE_DIR}/bench/bench_soak.py --build ${CMAKE_BINARY_DIR}
    DEPENDS sipswitch
    USES_TERMINAL)
endif()

function(bench_target name)
  add_executable(${name} ${ARGN})
  target_link_libraries(${name} PRIVATE benchmark::benchmark)
endfunction()

bench_target(bench_query bench/bench_query.cpp)
target_link_libraries(bench_query PRIVATE query_switch)

# The frame parsers of the service links on their real sockets (loopback): console frames,
# billing records, relay frames and query-ip records in pieces on TCP, record-server messages
# and monitor commands as datagrams, against a call the frames can name.
fuzz_target(fuzz_links tests/fuzz/fuzz_links.cpp)
target_link_libraries(fuzz_links PRIVATE fuzz_switch)

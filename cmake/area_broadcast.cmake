# The broadcast player: line 0 plays the converted upload with PTT keyed, stepped by the main
# loop once something starts it (nothing in radiogate does).
set(BROADCAST_SOURCES src/broad_player.cpp)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${BROADCAST_SOURCES})

# A whole gateway with the HTTP server and the player started, for the black-box tests.
add_executable(gate_broadcast tests/tools/gate_broadcast.cpp)
target_link_libraries(gate_broadcast PRIVATE gate_core)

blackbox_test(broadcast test_broadcast.py)

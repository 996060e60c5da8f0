# The gateway's runtime and configuration: process frame, configuration model and reload,
# table reader, shared memory with the web configuration program, logger and value texts.
set(GATE_SOURCES
  src/main.cpp
  src/struct_sys.cpp
  src/print_sys.cpp
  src/multi_log.cpp
  src/db_cfg.cpp
  src/sharememory.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${GATE_SOURCES})

blackbox_test(gate_frame test_gate_frame.py)
blackbox_test(gate_config test_gate_config.py)
blackbox_test(gate_settings test_gate_settings.py)
blackbox_test(gate_log test_gate_log.py)

unit_test(test_gate_log tests/unit/test_gate_log.cpp)
unit_test(test_gate_shm tests/unit/test_gate_shm.cpp)
unit_test(test_gate_config tests/unit/test_gate_config.cpp)
unit_test(test_gate_frame tests/unit/test_gate_frame.cpp)
foreach(t test_gate_log test_gate_shm test_gate_config test_gate_frame)
  target_link_libraries(${t} PRIVATE gate_core)
  target_compile_definitions(${t} PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
endforeach()

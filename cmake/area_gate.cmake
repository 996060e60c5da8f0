# The gateway's runtime and configuration: process frame, configuration model and reload,
# table reader, shared memory with the web configuration program, logger and value texts.
target_sources(gate_core PRIVATE
  src/main.cpp
  src/struct_sys.cpp
  src/print_sys.cpp
  src/multi_log.cpp
  src/db_cfg.cpp
  src/sharememory.cpp
)

blackbox_test(gate_frame test_gate_frame.py)
blackbox_test(gate_config test_gate_config.py)
blackbox_test(gate_settings test_gate_settings.py)

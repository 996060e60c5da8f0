# The DSP resource layer: start-up of the AC49x DSP, the 1 ms packet pump, the debug stream,
# and the channel control and tones the line logic drives.
set(DSP_SOURCES
  src/dsp_res.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${DSP_SOURCES})

# The layer on the in-process simulated board, its DSP booted from the scratch board's images.
unit_test(test_dsp_res tests/unit/test_dsp_res.cpp)
target_link_libraries(test_dsp_res PRIVATE gate_core)
target_include_directories(test_dsp_res PRIVATE api/driver_api)
target_compile_definitions(test_dsp_res PRIVATE GATE_SOURCE_DIR="${CMAKE_SOURCE_DIR}")

blackbox_test(gate_dsp test_gate_dsp.py)

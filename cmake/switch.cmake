# sipswitch: everything but main.cpp goes into a library the tests link too.
# The runtime the switch's modules log and read settings through; the process frame apart.
set(SWITCH_RUNTIME_SOURCES
  switch/ini.cpp
  switch/settings.cpp
  switch/swlog.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

add_library(switch_core STATIC ${SWITCH_RUNTIME_SOURCES} switch/frame.cpp)
target_include_directories(switch_core PUBLIC switch)
target_link_libraries(switch_core PUBLIC query_switch board_common)

add_executable(sipswitch switch/main.cpp)
target_link_libraries(sipswitch PRIVATE switch_core)

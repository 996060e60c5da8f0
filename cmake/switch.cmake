# sipswitch: everything but main.cpp goes into a library the tests link too.
add_library(switch_core STATIC
  switch/ini.cpp
  switch/settings.cpp
  switch/swlog.cpp
  switch/frame.cpp
)
target_include_directories(switch_core PUBLIC switch)
target_link_libraries(switch_core PUBLIC query_switch board_common)

add_executable(sipswitch switch/main.cpp)
target_link_libraries(sipswitch PRIVATE switch_core)

# Code both programs compile in: board root and shell seam, fixed text fields, the query layer.
set(BOARD_COMMON_SOURCES src/board.cpp)
set(QUERY_SOURCES src/sqlite.cpp)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

add_library(board_common STATIC ${BOARD_COMMON_SOURCES})
target_include_directories(board_common PUBLIC src/include)

# One query-layer source, two connect forms chosen at build time.
add_library(query_switch STATIC ${QUERY_SOURCES})
target_compile_definitions(query_switch PUBLIC QUERY_SWITCH_FORM=1)
target_include_directories(query_switch PUBLIC src/include Lib_Base/sqlite)
target_link_libraries(query_switch PUBLIC SQLite::SQLite3 board_common)

add_library(query_gate STATIC ${QUERY_SOURCES})
target_compile_definitions(query_gate PUBLIC QUERY_SWITCH_FORM=0)
target_include_directories(query_gate PUBLIC src/include Lib_Base/sqlite)
target_link_libraries(query_gate PUBLIC SQLite::SQLite3 board_common)

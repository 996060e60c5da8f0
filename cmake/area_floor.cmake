# Radio floor control of the lines: the floor INFO bodies (which the fuzz build takes alone)
# and the floor steps, PTT keying and INFO handlers of the line module.
set(FLOOR_PARSE_SOURCES src/parse_sipinfo.cpp)
if(FUZZ)
  return()
endif()

target_sources(gate_core PRIVATE ${FLOOR_PARSE_SOURCES} src/user_floor.cpp)

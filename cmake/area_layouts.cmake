# The fixed records under the board's time_t and file-offset widths (64-bit on Debian armhf
# even where long and pointers are 32-bit); in the host build the same flags change nothing.
if(FUZZ)
  return()
endif()
add_library(record_layouts OBJECT tests/layout/record_layouts.cpp)
target_compile_definitions(record_layouts PRIVATE _TIME_BITS=64 _FILE_OFFSET_BITS=64)
target_include_directories(record_layouts PRIVATE src/include Lib_Base/include api/driver_api/include api/ac49x_api/Include)

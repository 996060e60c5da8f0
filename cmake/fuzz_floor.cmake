# The floor INFO bodies a far end sends: both decoders, and the encoders fed what they decode.
fuzz_target(fuzz_sipinfo tests/fuzz/fuzz_sipinfo.cpp ${FLOOR_PARSE_SOURCES})
target_include_directories(fuzz_sipinfo PRIVATE Lib_Base/include)

# The SIP decoder and the field parsers the handlers run on what it stores. Besides the decoder
# and its text helpers only the small runtime it reads and logs through is compiled in: the
# settings values, the log writer and the board-root seam.
fuzz_target(fuzz_sip_decode
  tests/fuzz/fuzz_sip_decode.cpp
  switch/sip_text.cpp
  switch/sip_decode.cpp
  switch/settings.cpp
  switch/ini.cpp
  switch/swlog.cpp
  src/board.cpp
)

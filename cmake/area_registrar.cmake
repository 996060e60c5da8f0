# Registrar: the registration table with REGISTER and digest authentication, expiry, the
# peer softswitches and the user refresh; MD5 comes from nettle.
set(SWITCH_REGISTRAR_SOURCES
  switch/sip_digest.cpp
  switch/sip_nonce.cpp
  switch/sip_reg.cpp
)
# The fuzz build takes the list above and nothing else from here.
if(FUZZ)
  return()
endif()

target_sources(switch_core PRIVATE ${SWITCH_REGISTRAR_SOURCES})
target_link_libraries(switch_core PUBLIC nettle)

unit_test(test_sip_reg tests/unit/test_sip_digest.cpp tests/unit/test_sip_nonce.cpp tests/unit/test_sip_reg.cpp)
target_link_libraries(test_sip_reg PRIVATE switch_core)

blackbox_test(registrar test_registrar.py)
blackbox_test(registrar_attacks test_registrar_attacks.py)

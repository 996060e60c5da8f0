# A real phone's transfer through the switch (linphone-cli; skipped without it).
if(FUZZ)
  return()
endif()

blackbox_test(phone_transfer test_phone_transfer.py)
if(TEST phone_transfer)  # black-box tests are not registered in the board's cross build
  set_tests_properties(phone_transfer PROPERTIES TIMEOUT 300)
endif()

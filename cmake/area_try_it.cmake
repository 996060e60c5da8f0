# The README's "Try it" steps, with the board client and the status lines they use.
if(FUZZ)
  return()
endif()
blackbox_test(try_it test_try_it.py)

# Strangers against the switch: requests in other people's calls, spoofed addresses, the service
# program's registration, redirect and MESSAGE loops, MGCP endpoints and the service links.
if(FUZZ)
  return()
endif()

blackbox_test(switch_strangers test_switch_strangers.py)

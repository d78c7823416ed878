# The IIS deployer end to end: the stand-in IIS on ports 80 and 443 of a
# private network namespace, reading the files the deployer changes; the
# real certificate center; test domains in a private hosts file.
quillmate_add_e2e_test(NAME deploy_iis_e2e_tests PRIVATE_NETWORK
  SOURCES tests/iis_e2e_test.cpp
  LIBS deploy_iis
  HOSTS shop.example.test www.shop.example.test other.example.test
  TIMEOUT 300)

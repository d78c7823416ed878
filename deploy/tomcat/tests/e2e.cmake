# The Tomcat deployer end to end: Tomcat on ports 80 and 443 of a private
# network namespace (a private catalina.base run with Debian's catalina.home,
# and Debian's own /var/lib/tomcat10 with its conf link to /etc/tomcat10),
# the real certificate center, test domains in a private hosts file.
quillmate_add_e2e_test(NAME deploy_tomcat_e2e_tests PRIVATE_NETWORK
  SOURCES tests/tomcat_e2e_test.cpp
  LIBS deploy_tomcat
  HOSTS shop.example.test www.shop.example.test other.example.test new.example.test
  TIMEOUT 900)

# The Apache deployer end to end: Apache httpd on ports 80 and 443 of a
# private network namespace, the real certificate center, test domains in a
# private hosts file. apache_e2e_support: what both suites share.

# The upstream layout (ROOT/bin/httpd, ROOT/conf/httpd.conf with
# conf/extra/) made from Debian's executable.
quillmate_add_e2e_test(NAME deploy_apache_e2e_tests PRIVATE_NETWORK
  SOURCES tests/apache_e2e_test.cpp tests/apache_e2e_support.cpp
  LIBS deploy_apache
  HOSTS shop.example.test www.shop.example.test old.example.test new.example.test
        main.example.test
  TIMEOUT 600)

# Debian's packaged Apache on its own /etc/apache2 layout.
quillmate_add_e2e_test(NAME deploy_apache_distro_e2e_tests PRIVATE_NETWORK
  SOURCES tests/apache_distro_e2e_test.cpp tests/apache_e2e_support.cpp
  LIBS deploy_apache
  HOSTS shop.example.test www.shop.example.test other.example.test new.example.test
  TIMEOUT 600)

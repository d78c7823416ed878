// End-to-end harness: pebble, Let's Encrypt's ACME test server (Debian
// package pebble), in a child process on free loopback ports. Its HTTPS API
// is served with a certificate made here for "localhost" (caFile() is the
// anchor to trust); its own CA is made afresh at each start and is read
// from the management interface (RootPem).
//
//     QM_E2E_REQUIRE_PEBBLE();
//     qm::e2e::StaticFileServer site(siteRoot);  // answers the http-01 fetches
//     qm::e2e::PebbleProcess pebble({.httpPort = site.port(), .nonceRejectPercent = 30});
//     // ACME client: directory pebble.directoryUrl(), trust pebble.caFile();
//     // validation fetches go to http://NAME:site.port()/.well-known/acme-challenge/...
//
// Names are resolved by the system resolver, so under run-with-hosts the
// test's HOSTS names reach the loopback site. The constructor throws (with
// pebble's output) when pebble does not start.
#pragma once

#include <map>
#include <memory>
#include <string>

namespace qm::test {
class TempDir;
}

namespace qm::e2e {

// The pebble program (/usr/bin/pebble or on the search path); empty when
// it is not installed.
std::string PebbleProgram();
#define QM_E2E_REQUIRE_PEBBLE()                                                \
    do {                                                                       \
        if (::qm::e2e::PebbleProgram().empty())                                \
            GTEST_SKIP() << "pebble is not installed (Debian package pebble)"; \
    } while (0)

struct PebbleOptions {
    int httpPort = 0;            // where http-01 validation connects (the test's site)
    int nonceRejectPercent = 0;  // PEBBLE_WFE_NONCEREJECT: good nonces refused as badNonce
    int authzReusePercent = 0;   // PEBBLE_AUTHZREUSE: valid authorizations reused in new orders
    int alternateRoots = 0;      // PEBBLE_ALTERNATE_ROOTS: extra roots, each an alternate chain
    int chainLength = 1;         // PEBBLE_CHAIN_LENGTH: intermediates between leaf and root
    // External account binding keys (kid -> base64url HMAC key); when any
    // is given, pebble requires a binding for new accounts.
    std::map<std::string, std::string> eabKeys{};
};

class PebbleProcess {
public:
    explicit PebbleProcess(PebbleOptions options);
    ~PebbleProcess();
    PebbleProcess(const PebbleProcess&) = delete;
    PebbleProcess& operator=(const PebbleProcess&) = delete;

    std::string directoryUrl() const;  // "https://localhost:PORT/dir"
    std::string caFile() const;        // PEM path: the anchor for pebble's HTTPS API
    int port() const { return port_; }

    // Pebble's root (index 0, then the alternate roots) and intermediate
    // certificates as PEM, from its management interface.
    std::string RootPem(int index = 0) const;
    std::string IntermediatePem(int index = 0) const;

    std::string Output() const;  // what pebble logged so far
    // Ends pebble (SIGTERM, then SIGKILL); its exit code.
    int Stop();

private:
    std::string Management(const std::string& path) const;

    std::unique_ptr<test::TempDir> dir_;
    int pid_ = -1;
    int port_ = 0;
    int managementPort_ = 0;
};

}  // namespace qm::e2e

// pebble as the certificate source of a deployer driven directly (not
// through the quillmate program): its root in a file to verify served
// chains with, an account folder of the test's own, and the deployer
// pointed at it.
//
//     QM_E2E_REQUIRE_PEBBLE();
//     qm::e2e::PebbleForDeployer ca({.httpPort = 80, .chainLength = 2});
//     SslCertSrvApache d;
//     ca.Point(d, 80, 443);  // then GetSitesInfo, BindCertToSite...
//     HttpGet("https://shop.example.test/",
//     HttpOptions().ConnectTo("127.0.0.1").Ca(ca.rootFile()));
#pragma once

#include <string>

#include "deploy/acmesource.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/pebble_process.h"
#include "tests/support/temp_dir.h"

namespace qm::e2e {

class PebbleForDeployer {
public:
    explicit PebbleForDeployer(PebbleOptions options)
        : pebble_(options), rootFile_(account_.narrow() + "root.pem") {
        WriteTextFile(rootFile_, pebble_.RootPem());
    }

    PebbleProcess& pebble() { return pebble_; }
    const std::string& rootFile() const { return rootFile_; }

    // The deployer's certificate comes from pebble (terms agreed, the
    // account in this object's folder); then it is initialized.
    template <class Deployer>
    void Point(Deployer& deployer, int httpPort, int httpsPort) const {
        AcmeSource source;
        source.enabled = true;
        source.accountDir = account_.path() + u"account";
        source.agreeToTerms = true;
        deployer.SetAcmeSource(source);
        deployer.SetCertCenterCaFile(WideFromUtf8(pebble_.caFile()));
        deployer.Initialize(WideFromUtf8(pebble_.directoryUrl()), httpPort, httpsPort);
    }

private:
    test::TempDir account_;
    PebbleProcess pebble_;
    std::string rootFile_;
};

}  // namespace qm::e2e

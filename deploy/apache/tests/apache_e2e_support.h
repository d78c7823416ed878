// What the end-to-end tests of the Apache deployer share: the real
// certificate center for a whole suite, deployers pointed at it on ports 80
// and 443 (snapshots of a configuration folder: config_snapshot.h).
#pragma once

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <string>

#include "deploy/apache/sslcertsrvapache.h"
#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/config_snapshot.h"

namespace qm::test {

// The messages a deployer left for the user, one a line.
std::string UserNotes(SslCertSrvApache& d);

// A fixture for deployments against a real Apache and the real center.
class ApacheDeployerE2E : public ::testing::Test {
protected:
    static inline std::unique_ptr<e2e::CertCenterProcess> center;

    static void TearDownTestSuite() { center.reset(); }

    // What every test starts from: the configuration templates installed,
    // no undo records of an earlier test, the center running.
    static void PrepareDeployments();

    template <class D = SslCertSrvApache>
    std::unique_ptr<D> Deployer() {
        auto d = std::make_unique<D>();
        d->SetCertCenterCaFile(WideFromUtf8(center->caFile()));
        d->Initialize(WideFromUtf8(center->url()), 80, 443);
        return d;
    }

    // Discovery, then the deployment of a certificate for `domain`; the
    // result as the task driver sees it.
    static std::string DeployWith(SslCertSrvApache& d, const std::u16string& domain);
    std::string Deploy(const std::u16string& domain);
    std::string Undo();
};

}  // namespace qm::test

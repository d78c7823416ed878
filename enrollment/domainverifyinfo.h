// One domain whose control is proved to the certificate center: the center
// fetches verifyFileUrlPath and expects the file written at
// verifyFileLocalPath. Handed from the deployment engine to the enrollment
// session.
#pragma once

#include <string>

namespace qm {

struct DomainVerifyInfo {
    bool isHttps = false;
    int sitePort = 0;
    std::u16string siteAddr;
    std::u16string verifyFileUrlPath;
    std::u16string verifyFileLocalPath;

    bool operator==(const DomainVerifyInfo&) const = default;
};

}  // namespace qm

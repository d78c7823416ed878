// The deployers this build carries, by web-server type index (0 IIS,
// 1 Apache, 2 Tomcat, 3 Nginx).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "app/settingsfile.h"

namespace qm {

class SslCertSrvBase;

// A new engine for the type; nullptr when this build has no deployer for it.
std::unique_ptr<SslCertSrvBase> CreateDeployer(int32_t type);
// The type index of a kind as deployment records name it ("nginx"); -1
// for a kind this program does not know.
int32_t WebServerTypeOfKind(std::u16string_view kind);
bool IsDeployerAvailable(int32_t type);

// "IIS", "Apache", "Tomcat", "Nginx"; "unknown" for other indexes.
std::u16string WebServerTypeName(int32_t type);

// What the log says when a type has no deployer.
std::u16string MissingDeployerMessage(int32_t type);

// The certificate expiry as the engine reports it.
ExpiryDate ExpiryOf(const SslCertSrvBase& engine);

}  // namespace qm

// The deployment settings file "Config/Vantrel.xml" in the renewal service's
// directory: what the last successful deployment did (server kind, ports,
// sites, certificate expiry and type, and the certificate center it used),
// for the renewal service and for Undo Deployment.
//
// The file is never made from nothing: the template shipped in the program's
// Config/ is copied there when the service directory has none, and saving
// edits it in place, so everything the program does not write stays as the
// template has it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qm {

struct ExpiryDate {
    int32_t year = 0;
    int32_t month = 0;
    int32_t day = 0;
    bool operator==(const ExpiryDate&) const = default;
};

struct DeploymentSettings {
    int32_t webServerType = 0;  // 0 IIS, 1 Apache, 2 Tomcat, 3 Nginx
    int32_t httpPort = 0;
    int32_t httpsPort = 0;
    std::vector<std::u16string> sites;
    ExpiryDate certExpireTime;
    int32_t certType = 0;
    // The certificate center the certificate came from, for renewals.
    std::u16string centerUrl;
    std::u16string centerCaFile;
    // The center is an ACME CA (centerUrl its directory), and the operator
    // agreed to its terms of service.
    bool centerIsAcme = false;
    bool acmeTermsAgreed = false;
};

// The renewal service's directory, ending in a separator: VANTREL_HOME when
// set, else /var/lib/vantrel/ (C:\ProgramData\Vantrel\ on Windows).
std::u16string ServiceDirectory();
// ServiceDirectory() + "Config/Vantrel.xml".
std::u16string DeploymentSettingsPath();
// The shipped template: program directory + "Config/Vantrel.xml".
std::u16string DeploymentSettingsTemplatePath();

// Copies the template into the service directory when the file is missing
// there (as start-up does), making the folders on the way. False, with a
// Warn line, when it is missing and cannot be copied.
bool EnsureDeploymentSettingsFile();

// Edits and saves the file at `path`: "webServer" type, a rebuilt
// "siteInfo" with one "site" per site, "certExpireTime", "certType" and
// "certCenter" (added after "certType" when the file has none; its "protocol"
// is "acme" for an ACME CA). The file is
// owner-only when the center's URL carries credentials, readable by all
// otherwise. Raises "undefined" on any failure; the file on disk is then
// unchanged.
void SaveDeploymentSettings(const std::u16string& path, const DeploymentSettings& settings);

// Reads what SaveDeploymentSettings writes. "webServer"/"type" and the two
// "siteInfo" ports are required: raises "undefined" when the file cannot be
// read, an element is missing, or one of these values is not a number (a
// template that no deployment has filled in). The rest reads as empty/0 when
// absent.
DeploymentSettings ReadDeploymentSettings(const std::u16string& path);

// Whether the operator lets the program send usage statistics: the
// "statistics" element's "enabled" attribute; anything but "0", and a file
// or element that is missing, reads as yes.
bool ReadStatisticsSetting(const std::u16string& path);
// Sets that attribute (adding the element when the file has none). Raises
// "undefined" when the file cannot be loaded or saved; it is then unchanged.
void SaveStatisticsSetting(const std::u16string& path, bool enabled);

}  // namespace qm

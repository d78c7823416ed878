#include "app/settingsfile.h"

#include <charconv>

#include "enrollment/centerconfig.h"
#include "foundation/files.h"
#include "foundation/format.h"
#include "foundation/host/host.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {

std::u16string Decimal(int32_t value) {
    return FormatWide(u"%d", value);
}

void Set(XmlDocument& document, std::u16string_view name, std::u16string_view value) {
    if (!document.SetAttribute(name, value))
        ThrowResult(result::kUndefined);
}

void Require(bool found) {
    if (!found)
        ThrowResult(result::kUndefined);
}

// A decimal integer filling the whole attribute text.
bool ParseInteger(const std::u16string& text, int32_t& value) {
    const std::string narrow = NarrowFromWide(text);
    if (narrow.empty())
        return false;
    const char* first = narrow.data();
    const char* last = first + narrow.size();
    if (*first == '+')
        ++first;
    auto [end, error] = std::from_chars(first, last, value);
    return error == std::errc() && end == last;
}

int32_t RequiredInteger(const XmlDocument& document, std::u16string_view name) {
    int32_t value = 0;
    const std::u16string text = document.GetAttribute(name);
    // Empty: the shipped template, which no deployment has filled in yet.
    if (text.empty())
        ThrowResult(result::kUndefined);
    if (!ParseInteger(text, value)) {
        LogError(u"ReadDeploymentSettings, \"%s\" of \"%s\" is not a number", name,
                 document.GetTagName());
        ThrowResult(result::kUndefined);
    }
    return value;
}

int32_t OptionalInteger(const XmlDocument& document, std::u16string_view name) {
    int32_t value = 0;
    return ParseInteger(document.GetAttribute(name), value) ? value : 0;
}

}  // namespace

std::u16string ServiceDirectory() {
    return GetServiceDirectory();
}

std::u16string DeploymentSettingsPath() {
    return ServiceDirectory() + NativeSeparators(u"Config/Vantrel.xml");
}

std::u16string DeploymentSettingsTemplatePath() {
    return GetProgramDirectory() + NativeSeparators(u"Config/Vantrel.xml");
}

bool EnsureDeploymentSettingsFile() {
    const std::u16string target = DeploymentSettingsPath();
    if (FileExists(target))
        return true;
    const std::u16string source = DeploymentSettingsTemplatePath();
    if (!FileExists(source)) {
        LogWarn(u"EnsureDeploymentSettingsFile, the template %s is missing", source);
        return false;
    }
    // The service directory and its Config/ are readable by all, as is the
    // copy, whatever the template's mode and the umask are; credentials make
    // it owner-only when they are saved.
    std::string bytes;
    if (!MakeDirectoryTree(DirectoryOf(target)) || !ReadFileBytes(source, bytes) ||
        !WriteFileAtomic(target, bytes, FilePrivacy::ReadableByAll)) {
        LogWarn(u"EnsureDeploymentSettingsFile, cannot copy %s to %s", source, target);
        return false;
    }
    return true;
}

void SaveDeploymentSettings(const std::u16string& path, const DeploymentSettings& settings) {
    XmlDocument document;
    if (!document.Load(path)) {
        LogError(u"SaveDeploymentSettings, cannot load %s: %s", path, document.ResultText());
        ThrowResult(result::kUndefined);
    }
    document.ResetPosition();
    Require(document.FindElement(u"config") && document.IntoElement());
    Require(document.FindElement(u"webServer"));
    Set(document, u"type", Decimal(settings.webServerType));

    // "siteInfo" is rebuilt, so it holds exactly the ports and the sites.
    Require(document.FindElement(u"siteInfo"));
    Require(document.RemoveElement());
    Require(document.AddElement(u"siteInfo"));
    Set(document, u"siteHttpPort", Decimal(settings.httpPort));
    Set(document, u"siteHttpsPort", Decimal(settings.httpsPort));
    for (const std::u16string& site : settings.sites) {
        Require(document.AddChildElement(u"site"));
        Require(document.IntoElement());
        Set(document, u"siteAddr", site);
        Require(document.OutOfElement());
    }

    Require(document.FindElement(u"certExpireTime"));
    Set(document, u"year", Decimal(settings.certExpireTime.year));
    Set(document, u"month", Decimal(settings.certExpireTime.month));
    Set(document, u"day", Decimal(settings.certExpireTime.day));

    Require(document.FindElement(u"certType"));
    Set(document, u"type", Decimal(settings.certType));

    // Where renewals go; files from older templates get the element added.
    if (!document.FindElement(u"certCenter"))
        Require(document.AddElement(u"certCenter"));
    Set(document, u"url", settings.centerUrl);
    Set(document, u"caFile", settings.centerCaFile);
    // "acme": the URL is an ACME directory; the terms of service stay agreed
    // for the renewals of the account made under them.
    Set(document, u"protocol", settings.centerIsAcme ? u"acme" : u"");
    Set(document, u"termsAgreed", settings.acmeTermsAgreed ? u"1" : u"");

    // Credentials in the center's URL are for the owner's eyes only.
    const FilePrivacy privacy =
        UrlHasCredentials(settings.centerUrl) ? FilePrivacy::OwnerOnly : FilePrivacy::ReadableByAll;
    if (!document.Save(path, privacy)) {
        LogError(u"SaveDeploymentSettings, cannot save %s: %s", path, document.ResultText());
        ThrowResult(result::kUndefined);
    }
}

DeploymentSettings ReadDeploymentSettings(const std::u16string& path) {
    DeploymentSettings settings;
    XmlDocument document;
    // A missing file is no deployment yet, not a fault.
    if (FileExists(path) && !document.Load(path))
        LogError(u"ReadDeploymentSettings, cannot load %s: %s", path, document.ResultText());
    document.ResetPosition();
    Require(document.FindElement(u"config") && document.IntoElement());
    Require(document.FindElement(u"webServer"));
    settings.webServerType = RequiredInteger(document, u"type");
    Require(document.FindElement(u"siteInfo"));
    settings.httpPort = RequiredInteger(document, u"siteHttpPort");
    settings.httpsPort = RequiredInteger(document, u"siteHttpsPort");
    if (document.IntoElement()) {
        while (document.FindElement(u"site"))
            settings.sites.push_back(document.GetAttribute(u"siteAddr"));
        document.OutOfElement();
    }
    if (document.FindElement(u"certExpireTime")) {
        settings.certExpireTime.year = OptionalInteger(document, u"year");
        settings.certExpireTime.month = OptionalInteger(document, u"month");
        settings.certExpireTime.day = OptionalInteger(document, u"day");
        if (document.FindElement(u"certType")) {
            settings.certType = OptionalInteger(document, u"type");
            if (document.FindElement(u"certCenter")) {
                settings.centerUrl = document.GetAttribute(u"url");
                settings.centerCaFile = document.GetAttribute(u"caFile");
                settings.centerIsAcme = document.GetAttribute(u"protocol") == u"acme";
                settings.acmeTermsAgreed = document.GetAttribute(u"termsAgreed") == u"1";
            }
        }
    }
    return settings;
}

bool ReadStatisticsSetting(const std::u16string& path) {
    XmlDocument document;
    if (!FileExists(path) || !document.Load(path))
        return true;
    document.ResetPosition();
    if (!document.FindElement(u"config") || !document.IntoElement() ||
        !document.FindElement(u"statistics"))
        return true;
    return document.GetAttribute(u"enabled") != u"0";
}

void SaveStatisticsSetting(const std::u16string& path, bool enabled) {
    XmlDocument document;
    if (!document.Load(path)) {
        LogError(u"SaveStatisticsSetting, cannot load %s: %s", path, document.ResultText());
        ThrowResult(result::kUndefined);
    }
    document.ResetPosition();
    Require(document.FindElement(u"config") && document.IntoElement());
    std::u16string centerUrl;
    if (document.FindElement(u"certCenter"))
        centerUrl = document.GetAttribute(u"url");
    document.ResetMainPosition();
    if (!document.FindElement(u"statistics"))
        Require(document.AddElement(u"statistics"));
    Set(document, u"enabled", enabled ? u"1" : u"0");
    // A file that names a center with credentials stays owner-only.
    const FilePrivacy privacy =
        UrlHasCredentials(centerUrl) ? FilePrivacy::OwnerOnly : FilePrivacy::ReadableByAll;
    if (!document.Save(path, privacy)) {
        LogError(u"SaveStatisticsSetting, cannot save %s: %s", path, document.ResultText());
        ThrowResult(result::kUndefined);
    }
}

}  // namespace qm

#include "app/strings.h"

#include <array>

#include "app/resources.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm {

namespace {
constexpr std::array<std::string_view, 43> kMainWindowKeys = {
    "title",
    "XmlDespName",
    "WebSiteBuy",
    "WebSiteHelp",
    "WebSiteHome",
    "settingInfo",
    "siteList",
    "configCert",
    "result",
    "StateCheck",
    "StateHaveNew",
    "serviceRoot",
    "selectWebType",
    "serverAddr",
    "httpPort",
    "httpsPort",
    "succeed",
    "failed",
    "failedReport",
    "inputSiteConflict",
    "webServiceNotRunning",
    "commFailed",
    "invalidDomain",
    "noValidDomain",
    "moreSiteConfuse",
    "highFrequency",
    "tooManySites",
    "getCertHashErr",
    "applyCertIng",
    "applyCertDefer",
    "applyCertComplete",
    "configCertIng",
    "configCertComplete",
    "autoUpdateEnabled",
    "renewalNotInstalled",
    "revokeConfigIng",
    "revokeConfigComplete",
    "revokeConfigFailed",
    "promptInformation",
    "restoringPromptInfo",
    "saveReqCertInfo",
    "invalidSiteAddrInCert",
    "notSupportWildcardDomain",
};

const std::u16string kEmpty;
}  // namespace

const EmbeddedResource* FindEmbeddedResource(std::string_view type, int id) {
    for (const EmbeddedResource& resource : EmbeddedResources()) {
        if (resource.type == type && resource.id == id)
            return &resource;
    }
    return nullptr;
}

std::span<const std::string_view> MainWindowStringKeys() {
    return kMainWindowKeys;
}

StringTable StringTable::Load(int tableId, std::span<const std::string_view> keys) {
    const EmbeddedResource* resource = FindEmbeddedResource("XML", tableId);
    if (!resource)
        ThrowResult(u"FindResource failed");
    if (resource->bytes.empty())
        ThrowResult(u"SizeofResource or LockResource failed");

    std::u16string text = WideFromUtf8(resource->bytes);
    if (!text.empty() && text.front() == u'\uFEFF')
        text.erase(0, 1);  // a byte-order mark is not part of the document
    XmlDocument document;
    document.SetDocument(text);
    document.ResetPosition();
    if (!document.FindElement(u"config") || !document.IntoElement() ||
        !document.FindElement(u"skin") || !document.IntoElement()) {
        ThrowResult(result::kUndefined);
    }

    StringTable table;
    for (std::string_view key : keys) {
        // Each key is searched from the first child, so only its first
        // occurrence is ever read.
        document.ResetMainPosition();
        std::u16string value;
        if (document.FindElement(WideFromAscii(key)))
            value = document.GetAttribute(u"val");
        table.texts_[std::string(key)] = std::move(value);
    }
    return table;
}

const std::u16string& StringTable::Get(std::string_view key) const {
    auto it = texts_.find(key);
    return it == texts_.end() ? kEmpty : it->second;
}

}  // namespace qm

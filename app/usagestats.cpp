#include "app/usagestats.h"

#include <json/value.h>

#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/paths.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm {

UsageStats::UsageStats(std::u16string url, std::u16string caFile)
    : endpoint_{std::move(url), std::move(caFile)} {}

std::u16string UsageStats::RecordPath() {
    return GetProgramDirectory() + u"Config" + PathSeparator() + u"User.xml";
}

bool UsageStats::SendStartReport() {
    const ProductIdentity product = ExecutableProduct();
    const std::u16string path = RecordPath();
    if (!FileExists(path)) {
        MakeDirectoryTree(DirectoryOf(path));
        // XmlDocument writes its text back as it is, so the CR LF line ends
        // of this first version stay in every later save.
        if (!WriteFileAtomic(path, kEmptyRecord))
            return false;
    }
    XmlDocument record;
    if (!record.Load(path) || !record.FindElement(u"config") || !record.IntoElement() ||
        !record.FindElement(u"product")) {
        return true;  // nothing to compare with, nothing to report
    }
    if (record.GetAttribute(u"version") == product.version &&
        record.GetAttribute(u"name") == product.name) {
        return true;
    }
    Json::Value report(Json::objectValue);
    report["type"] = "userStatReq";
    report["platform"] = std::string(kMakerPlatform);
    report["product"] = Utf8FromWide(product.name);
    report["version"] = Utf8FromWide(product.version);
    if (!PostStatisticsMessage(endpoint_, report, "userStatResp"))
        return false;
    record.SetAttribute(u"name", product.name);
    record.SetAttribute(u"version", product.version);
    record.Save(path);
    return true;
}

bool UsageStats::SendActionReport(int count, const std::string& action) {
    Json::Value report(Json::objectValue);
    report["type"] = "userActionReq";
    report["product"] = Utf8FromWide(ExecutableProduct().name);
    report["action"] = action;
    report["actionCnt"] = std::to_string(count);
    return PostStatisticsMessage(endpoint_, report, "userActionResp");
}

}  // namespace qm

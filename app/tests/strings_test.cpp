#include <gtest/gtest.h>

#include "app/language.h"
#include "app/resources.h"
#include "app/strings.h"
#include "foundation/results.h"
#include "foundation/textconv.h"
#include "foundation/xmldocument.h"

namespace qm {
namespace {

// Every key of the language tables, in table order (both windows' keys).
const std::vector<std::string_view> kAllKeys = {"title",
                                                "XmlDespName",
                                                "WebSiteBuy",
                                                "WebSiteHelp",
                                                "WebSiteHome",
                                                "WebSiteFeedback",
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
                                                "StateChecking",
                                                "StateIsNew",
                                                "StateNotConnect",
                                                "StateUpdateing",
                                                "StateUpdateFail",
                                                "BtnExeUpdateName",
                                                "DespNone",
                                                "PromptsErrDescDefault",
                                                "PromptsAdviceDescDefault",
                                                "EmailHelpTip",
                                                "PromptsEmailNull",
                                                "PromptsEmailErr",
                                                "PromptsSuccess",
                                                "PromptsFailed",
                                                "PromptsEmptyDesp",
                                                "PromptsCommunicateFailed",
                                                "ForumHelpTip",
                                                "PromptsSubmitting",
                                                "BtnSubmitCaptionClose"};

TEST(LanguageRule, TheLocaleLanguageDecidesAndLcAllComesFirst) {
    EXPECT_EQ(LanguageFromLocale(u"", u"", u"zh_CN.UTF-8"), Language::Chinese);
    EXPECT_EQ(LanguageFromLocale(u"", u"zh_TW", u"en_US.UTF-8"), Language::Chinese);
    EXPECT_EQ(LanguageFromLocale(u"en_GB.UTF-8", u"zh_CN", u"zh_CN"), Language::English);
    EXPECT_EQ(LanguageFromLocale(u"zh", u"", u""), Language::Chinese);
    EXPECT_EQ(LanguageFromLocale(u"zh_HK@stroke", u"", u""), Language::Chinese);
    EXPECT_EQ(LanguageFromLocale(u"", u"", u""), Language::English);
    EXPECT_EQ(LanguageFromLocale(u"C.UTF-8", u"", u"zh_CN"), Language::English);
    EXPECT_EQ(LanguageFromLocale(u"zhx_YY", u"", u""), Language::English);  // not "zh"

    EXPECT_EQ(ParseLanguage(u"ZH"), Language::Chinese);
    EXPECT_EQ(ParseLanguage(u"en"), Language::English);
    EXPECT_FALSE(ParseLanguage(u"fr").has_value());
    EXPECT_EQ(CertificateTypeFor(Language::Chinese), 2);
    EXPECT_EQ(CertificateTypeFor(Language::English), 1);

    SetLanguageOverride(Language::Chinese);
    EXPECT_EQ(CurrentLanguage(), Language::Chinese);
    SetLanguageOverride(Language::English);
    EXPECT_EQ(CurrentLanguage(), Language::English);
    SetLanguageOverride(std::nullopt);
}

TEST(StringTables, BothTablesAreWellFormedAndCarryTheSameKeys) {
    for (int id : {kChineseStringTableId, kEnglishStringTableId}) {
        const EmbeddedResource* resource = FindEmbeddedResource("XML", id);
        ASSERT_NE(resource, nullptr) << id;
        XmlDocument document;
        EXPECT_TRUE(document.SetDocument(WideFromUtf8(resource->bytes)))
            << Utf8FromWide(document.ResultText());
    }
    const StringTable en = StringTable::Load(kEnglishStringTableId, kAllKeys);
    const StringTable zh = StringTable::Load(kChineseStringTableId, kAllKeys);
    for (std::string_view key : kAllKeys) {
        EXPECT_FALSE(en.Get(key).empty()) << key;
        if (key != "PromptsEmailErr") {
            EXPECT_FALSE(zh.Get(key).empty()) << key;
        }
    }
    // The Chinese table has no PromptsEmailErr: it reads as empty.
    EXPECT_EQ(zh.Get("PromptsEmailErr"), u"");
    EXPECT_EQ(en.Get("NoSuchKey"), u"");
}

TEST(StringTables, MainWindowTextsAreExactInBothLanguages) {
    ASSERT_EQ(MainWindowStringKeys().size(), 43u);
    const StringTable en = StringTable::Load(kEnglishStringTableId, MainWindowStringKeys());
    const StringTable zh = StringTable::Load(kChineseStringTableId, MainWindowStringKeys());
    EXPECT_EQ(en.size(), 43u);
    // Trailing blanks belong to the values.
    EXPECT_EQ(en.Get("httpPort"), u"http port: ");
    EXPECT_EQ(en.Get("serviceRoot"), u"web service root: ");
    EXPECT_EQ(en.Get("succeed"), u"Automatically deploy certificate success! ");
    EXPECT_EQ(en.Get("failed"), u"Automatically deploy certificate failed! ");
    EXPECT_EQ(en.Get("tooManySites"),
              u"There are too many domain names，support one domain name only.");
    EXPECT_EQ(en.Get("autoUpdateEnabled"),
              u"started certificate automatic renewal service,websites will be HTTPS forever.");
    EXPECT_EQ(zh.Get("succeed"), u"自动部署证书成功！");
    EXPECT_EQ(zh.Get("applyCertDefer"), u"延迟签发证书(人工审核需要时间)");
    EXPECT_EQ(zh.Get("XmlDespName"), u"desp-cn");
    // The first StateHaveNew is the one read.
    EXPECT_EQ(en.Get("StateHaveNew"), u"New Version");
    EXPECT_EQ(zh.Get("StateHaveNew"), u"有新版本了！");
    // Links are https; the failure report ends with the same address in both.
    for (const StringTable* table : {&en, &zh}) {
        for (std::string_view key : {"WebSiteBuy", "WebSiteHelp", "WebSiteHome"})
            EXPECT_EQ(table->Get(key).rfind(u"https://", 0), 0u) << key;
        const std::u16string report = table->Get("failedReport");
        EXPECT_EQ(report.substr(report.size() - 21), u"support@quillmate.dev");
    }
    EXPECT_NE(en.Get("WebSiteHelp"), zh.Get("WebSiteHelp"));
    EXPECT_NE(en.Get("WebSiteHome"), zh.Get("WebSiteHome"));

    // Every message the result mapping can choose exists.
    for (const ResultDisplayRow& row : kResultDisplayMapping) {
        EXPECT_FALSE(en.Get(row.messageKey).empty()) << row.messageKey;
        if (!row.followUpKey.empty()) {
            EXPECT_FALSE(zh.Get(row.followUpKey).empty()) << row.followUpKey;
        }
    }
}

TEST(StringTables, AnUnknownTableFails) {
    try {
        StringTable::Load(141, MainWindowStringKeys());
        FAIL() << "loaded a table that does not exist";
    } catch (const std::exception& e) {
        EXPECT_TRUE(IsResult(e, u"FindResource failed"));
    }
}

}  // namespace
}  // namespace qm

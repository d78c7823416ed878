#include <gtest/gtest.h>
#include <zip.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "foundation/textconv.h"
#include "tests/support/result_of.h"
#include "tests/support/temp_dir.h"
#include "ui/skin.h"

namespace qm::ui {
namespace {

using test::FailureOf;

struct Entry {
    std::string name;
    std::string data;
    // Written as stored bytes under a header that claims this size instead
    // of the real one (0: the header tells the truth).
    uint64_t claimedSize = 0;
};

// Builds an archive with minizip's writer and returns its bytes.
std::string Zip(const std::vector<Entry>& entries) {
    test::TempDir dir;
    const std::string path = dir.narrow() + "skin.zip";
    zipFile zip = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    EXPECT_NE(zip, nullptr);
    for (const Entry& e : entries) {
        zip_fileinfo info{};
        const bool lie = e.claimedSize != 0;
        EXPECT_EQ(
            zipOpenNewFileInZip2_64(zip, e.name.c_str(), &info, nullptr, 0, nullptr, 0, nullptr,
                                    lie ? 0 : Z_DEFLATED, Z_DEFAULT_COMPRESSION, lie ? 1 : 0, 0),
            ZIP_OK);
        zipWriteInFileInZip(zip, e.data.data(), static_cast<unsigned>(e.data.size()));
        if (lie) {
            const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(e.data.data()),
                                    static_cast<uInt>(e.data.size()));
            zipCloseFileInZipRaw64(zip, e.claimedSize, crc);
        } else {
            zipCloseFileInZip(zip);
        }
    }
    zipClose(zip, nullptr);
    return test::ReadAll(dir / u"skin.zip");
}

std::string Layout(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
           "<Window name=\"W\" size=\"200,100\" caption=\"0,0,200,30\">" +
           body + "</Window>";
}

// The failure of reading layout "w.xml" holding `body`, with one image.
std::string LayoutFailure(const std::string& body) {
    const SkinArchive archive =
        SkinArchive::FromZip(Zip({{"w.xml", Layout(body)}, {"img.png", "png"}}));
    return FailureOf([&] { archive.Layout("w.xml"); });
}

// ---------------------------------------------------------------------------
// The archives the build packs.

struct Expected {
    const char* name;
    ControlKind kind;
    const char* parent;
    std::u16string en;
    std::u16string zh;
};

const std::vector<Expected> kMainControls = {
    {"lbTitle", ControlKind::Label, "", u"QUILLMATE", u"Quillmate"},
    {"btMin", ControlKind::Button, "", u"-", u"-"},
    {"btClose", ControlKind::Button, "", u"×", u"×"},
    {"btTabSign", ControlKind::Button, "", u"MAIN", u"主面板"},
    {"btTabSetting", ControlKind::Button, "", u"SETTING", u"设置"},
    {"ctSign", ControlKind::Container, "", u"", u""},
    {"lbSelFile", ControlKind::Label, "ctSign", u"Select Web Service Type", u"选择WEB服务类型"},
    {"opIIS", ControlKind::Option, "ctSign", u"IIS", u"IIS"},
    {"opApache", ControlKind::Option, "ctSign", u"Apache", u"Apache"},
    {"opTomcat", ControlKind::Option, "ctSign", u"Tomcat", u"Tomcat"},
    {"opNginx", ControlKind::Option, "ctSign", u"Nginx", u"Nginx"},
    {"btExe", ControlKind::Button, "ctSign", u"One Key Deployment", u"一键部署证书"},
    {"btOpen", ControlKind::Button, "ctSign", u"Open Site", u"打开网站"},
    {"btRestoreWeb", ControlKind::Button, "ctSign", u"Undo Deployment", u"撤销部署"},
    {"lbResult", ControlKind::Label, "ctSign", u"Process Result", u"执行结果"},
    {"lbPromptInfo", ControlKind::Label, "ctSign", u"", u""},
    {"txtResultData", ControlKind::Text, "ctSign", u"", u""},
    {"ctSetting", ControlKind::Container, "", u"", u""},
    {"lbCert", ControlKind::Label, "ctSetting", u"Certificate Server：", u"证书服务器："},
    {"edServerAddr", ControlKind::Edit, "ctSetting", u"", u""},
    {"lbHttpPort", ControlKind::Label, "ctSetting", u"HTTP Port：", u"HTTP端口："},
    {"edHttpPort", ControlKind::Edit, "ctSetting", u"", u""},
    {"lbHttpsPort", ControlKind::Label, "ctSetting", u"HTTPS Port：", u"HTTPS端口："},
    {"edHttpsPort", ControlKind::Edit, "ctSetting", u"", u""},
    {"lbSiteAddr", ControlKind::Label, "ctSetting", u"Add Domain:", u"增加域名："},
    {"lbSiteAddrTip", ControlKind::Label, "ctSetting", u"(use','to seperate multiple domains)",
     u"(多个域名使用,分隔)"},
    {"edSiteAddrs", ControlKind::Edit, "ctSetting", u"", u""},
    {"lbInvalidSiteAddr", ControlKind::Label, "ctSetting", u"", u""},
    {"btDefault", ControlKind::Button, "ctSetting", u"Default", u"默认"},
    {"btExeCopy", ControlKind::Button, "ctSetting", u"One Key Deployment", u"一键部署证书"},
    {"opStatistics", ControlKind::Option, "ctSetting",
     u"Send anonymous usage statistics (start and link clicks)",
     u"发送匿名使用统计（启动与链接点击）"},
    {"btCheckUpdate", ControlKind::Button, "", u"Check Version", u"检查版本"},
    {"btFeedback", ControlKind::Button, "", u"Feedback", u"意见反馈"},
    {"btHelp", ControlKind::Button, "", u"Contact Us", u"联系我们"},
    {"lbLogo", ControlKind::Button, "", u"", u""},
    {"btBuyCert", ControlKind::Button, "", u"Buy Online", u"在线购买证书"},
    {"txtDbg", ControlKind::Text, "", u"", u""},
};

class ShippedSkin : public testing::TestWithParam<const char*> {
protected:
    bool english() const { return std::string(GetParam()) == QUILLMATE_SKIN_ZIP_EN; }
    SkinArchive Load() const {
        return SkinArchive::FromZip(test::ReadAll(WideFromUtf8(GetParam())));
    }
};

TEST_P(ShippedSkin, HoldsThreeLayoutsThatParseAtTheirSizes) {
    const SkinArchive archive = Load();
    const SkinWindow main = archive.Layout("VantrelGui.xml");
    EXPECT_EQ(main.width, 750);
    EXPECT_EQ(main.height, 520);
    EXPECT_EQ(main.caption.height, 40);
    EXPECT_EQ(main.icon, "icon.png");
    const SkinWindow version = archive.Layout("VersionWnd.xml");
    EXPECT_EQ(std::make_pair(version.width, version.height), std::make_pair(456, 478));
    EXPECT_EQ(version.caption.height, 50);
    for (const char* name :
         {"btClose", "lbVerState", "lbNewVer", "lbCurVer", "edtDesp", "progUpdate", "btExeUpdate"})
        EXPECT_NE(version.Find(name), nullptr) << name;
    const SkinWindow feedback = archive.Layout("FeedBackWnd.xml");
    EXPECT_EQ(std::make_pair(feedback.width, feedback.height), std::make_pair(550, 420));
    for (const char* name : {"title", "btClose", "txtType", "opError", "opAdvice", "edtDesc",
                             "txtEmail", "edtEmail", "txtPrompts", "btnSubmit", "btnFeedbackForum"})
        EXPECT_NE(feedback.Find(name), nullptr) << name;
    EXPECT_EQ(feedback.Find("opAdvice")->group, "GroupFeedbackType");
}

TEST_P(ShippedSkin, MainWindowHasExactlyTheListedControlsWithTheirCaptions) {
    const SkinWindow main = Load().Layout("VantrelGui.xml");
    ASSERT_EQ(main.controls.size(), kMainControls.size());
    for (size_t i = 0; i < kMainControls.size(); ++i) {
        const Expected& want = kMainControls[i];
        const SkinControl& got = main.controls[i];
        SCOPED_TRACE(want.name);
        EXPECT_EQ(got.name, want.name);
        EXPECT_EQ(got.kind, want.kind);
        EXPECT_EQ(got.parent, want.parent);
        EXPECT_EQ(got.text, english() ? want.en : want.zh);
    }
    EXPECT_EQ(main.Find("OPTOMCAT")->group, "GroupWebServiceType");
    EXPECT_EQ(main.Find("opIIS")->selectedImage, "radio_on.png");
    EXPECT_FALSE(main.Find("ctSetting")->visible);
    EXPECT_FALSE(main.Find("txtDbg")->visible);
    EXPECT_TRUE(main.Find("txtResultData")->readOnly);
    EXPECT_TRUE(main.Find("btBuyCert")->link);
    EXPECT_EQ(main.Find("lbLogo")->image, "logo.png");
    EXPECT_EQ(main.Find("ctSign")->pos, main.Find("ctSetting")->pos);
}

INSTANTIATE_TEST_SUITE_P(Languages, ShippedSkin,
                         testing::Values(QUILLMATE_SKIN_ZIP_EN, QUILLMATE_SKIN_ZIP_ZH));

TEST(SkinArchiveReading, DamagedOrForeignBytesFailCleanly) {
    EXPECT_NE(FailureOf([] { SkinArchive::FromZip(""); }), "");
    EXPECT_NE(FailureOf([] { SkinArchive::FromZip("not a zip archive at all"); }), "");
    const std::string real = test::ReadAll(WideFromUtf8(QUILLMATE_SKIN_ZIP_EN));
    // Every cut and a run of flipped bytes either reads or throws SkinError.
    for (size_t size = 0; size < real.size(); size += 53) {
        try {
            SkinArchive::FromZip(real.substr(0, size));
        } catch (const SkinError&) {
        }
    }
    for (size_t at = 0; at < real.size(); at += 41) {
        std::string bent = real;
        bent[at] = static_cast<char>(bent[at] ^ 0x5A);
        try {
            SkinArchive::FromZip(bent).Layout("VantrelGui.xml");
        } catch (const SkinError&) {
        }
    }
}

TEST(SkinArchiveReading, EntryNamesLeavingTheArchiveAreRefused) {
    for (const char* name : {"../x.png", "/etc/passwd", "a/../../b", "C:x", "a\\b", "x/.."}) {
        const std::string failure = FailureOf([&] {
            SkinArchive::FromZip(Zip({{"ok.png", "1"}, {name, "2"}}));
        });
        EXPECT_NE(failure.find(name), std::string::npos) << failure;
    }
    const SkinArchive fine = SkinArchive::FromZip(Zip({{"dir/", ""}, {"dir/a..b.png", "x"}}));
    EXPECT_EQ(fine.FileNames(), std::vector<std::string>{"dir/a..b.png"});
}

TEST(SkinArchiveReading, LimitsAndDuplicatesAreEnforced) {
    const SkinLimits small{3, 100, 100};
    const std::string sixty(60, 'x');
    EXPECT_EQ(test::ResultOf([&] {
                  SkinArchive::FromZip(Zip({{"a", sixty}, {"b", sixty}}), small);
              }),
              "skin archive entry 'b' takes the archive over its limit of 100 bytes");
    EXPECT_NE(FailureOf([&] {
                  SkinArchive::FromZip(Zip({{"big", std::string(101, 'x')}}), small);
              }).find("'big' is larger than 100"),
              std::string::npos);
    EXPECT_NE(FailureOf([&] {
                  SkinArchive::FromZip(Zip({{"a", ""}, {"b", ""}, {"c", ""}, {"d", ""}}), small);
              }).find("more than 3"),
              std::string::npos);
    EXPECT_NE(FailureOf([] {
                  SkinArchive::FromZip(Zip({{"a", "1"}, {"a", "2"}}));
              }).find("'a' occurs twice"),
              std::string::npos);
    // Headers that lie about the size: neither a large claim nor a small
    // one lets more than the limit through.
    EXPECT_NE(FailureOf([&] {
                  SkinArchive::FromZip(Zip({{"claims", "tiny", 5000}}), small);
              }).find("'claims' is larger than 100"),
              std::string::npos);
    EXPECT_NE(FailureOf([&] {
                  SkinArchive::FromZip(Zip({{"hides", std::string(5000, 'x'), 10}}), small);
              }).find("'hides'"),
              std::string::npos);
}

TEST(SkinLayout, ReadsAttributesAndNestedContainers) {
    const std::string bom = "\xEF\xBB\xBF";
    const SkinArchive archive = SkinArchive::FromZip(
        Zip({{"w.xml", bom + Layout(R"(<Container name="outer" pos="0,30,200,70" bkcolor="#102030">
              <Container name="inner" pos="5,5,100,50">
                <Button name="btGo" pos="-2,3,40,20" text="Go &amp; &#x4E2D;" font="14"
                        bold="true" link="true" align="right" textcolor="#80FF0000"
                        image="img.png" hoverimage="img.png" tooltip="Run"/>
              </Container>
              <Edit name="edA" pos="1,2,3,4" readonly="true" multiline="true" visible="false"/>
            </Container>)")},
             {"img.png", "png"}}));
    const SkinWindow w = archive.Layout("w.xml");
    ASSERT_EQ(w.controls.size(), 4u);
    EXPECT_EQ(w.controls[0].name, "outer");
    EXPECT_EQ(w.controls[0].bkColor, 0xFF102030u);
    EXPECT_EQ(w.controls[1].parent, "outer");
    const SkinControl* go = w.Find("BTGO");
    ASSERT_NE(go, nullptr);
    EXPECT_EQ(go->parent, "inner");
    EXPECT_EQ(go->pos, (Rect{-2, 3, 40, 20}));
    EXPECT_EQ(go->text, u"Go & 中");
    EXPECT_EQ(go->tooltip, u"Run");
    EXPECT_EQ(go->textColor, 0x80FF0000u);
    EXPECT_TRUE(go->hasTextColor && go->bold && go->link);
    EXPECT_FALSE(go->hasBkColor);
    EXPECT_EQ(go->fontSize, 14);
    EXPECT_EQ(go->align, "right");
    EXPECT_EQ(w.controls[3].parent, "outer");
    EXPECT_TRUE(w.controls[3].readOnly && w.controls[3].multiline && !w.controls[3].visible);
    EXPECT_EQ(w.Find("nothing"), nullptr);
}

TEST(SkinLayout, FaultsAreNamed) {
    EXPECT_EQ(LayoutFailure(R"(<Foo name="x" pos="0,0,1,1"/>)"),
              "unknown control kind 'Foo' in w.xml");
    EXPECT_NE(LayoutFailure(R"(<Label name="a" pos="0,0,1,1"/><Label name="A" pos="0,0,1,1"/>)")
                  .find("'A' used twice"),
              std::string::npos);
    EXPECT_NE(
        LayoutFailure(R"(<Button name="b" pos="0,0,1,1" image="nope.png"/>)").find("'nope.png'"),
        std::string::npos);
    for (const char* pos : {"1,2,3", "1,2,-3,4", "a,b,c,d", "1,2,3,4,5", "", "1,,2,3"}) {
        EXPECT_NE(LayoutFailure(std::string(R"(<Label name="a" pos=")") + pos + "\"/>"), "") << pos;
    }
    for (const char* color : {"#12345", "red", "#GG0000", "123456"}) {
        EXPECT_NE(LayoutFailure(std::string(R"(<Label name="a" pos="0,0,1,1" textcolor=")") +
                                color + "\"/>")
                      .find("bad colour"),
                  std::string::npos)
            << color;
    }
    EXPECT_NE(LayoutFailure(R"(<Label pos="0,0,1,1"/>)"), "");
    EXPECT_NE(LayoutFailure(R"(<Label name="a" pos="0,0,1,1" font="99"/>)"), "");
    EXPECT_NE(LayoutFailure(R"(<Label name="a" pos="0,0,1,1" bold="yes"/>)"), "");
    EXPECT_NE(
        LayoutFailure(R"(<Label name="a" pos="0,0,1,1"><Label name="b" pos="0,0,1,1"/></Label>)"),
        "");
    EXPECT_NE(LayoutFailure("<Label name=\"a\" pos=\"0,0,1,1\">"), "");  // not well-formed

    const SkinArchive archive = SkinArchive::FromZip(Zip({{"bad.xml", "<Dialog/>"}}));
    EXPECT_NE(FailureOf([&] { archive.Layout("bad.xml"); }), "");
    EXPECT_NE(FailureOf([&] { archive.Layout("missing.xml"); }).find("'missing.xml'"),
              std::string::npos);
    EXPECT_THROW(archive.File("missing.png"), SkinError);
}

}  // namespace
}  // namespace qm::ui

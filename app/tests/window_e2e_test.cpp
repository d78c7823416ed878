// The real window, as an operator uses it: `quillmate` without a command on a
// private X display, nginx on ports 80 and 443 of a private network, the real
// center deferring the first request for a manual review. Clicks and keys
// are real X events (xdotool); what the window says is read back from its
// state file; screenshots are compared with the reference images in
// app/tests/window_reference/ and kept as artifacts.
//
// QUILLMATE_UPDATE_WINDOW_REFERENCES=1 writes the screenshots as the new
// references instead (look at them before committing).
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <thread>

#include "foundation/textconv.h"
#include "tests/support/e2e/certcenter_process.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/nginx_sandbox.h"
#include "tests/support/e2e/private_mounts.h"
#include "tests/support/e2e/xdisplay.h"
#include "tests/support/temp_dir.h"
#include "ui/skin.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr char kShop[] = "shop.example.test";
// A pixel differs when a channel is off by more than this percentage; a
// screenshot matches its reference when at most this share of pixels differ.
// Runs on one machine draw identically; the share leaves room for small
// rendering changes, while a button moved or missing (about 1.4% of the
// window) fails.
constexpr int kFuzzPercent = 12;
constexpr double kMatchingShare = 0.003;

struct Language {
    const char* code;  // --lang
    const char* skin;  // the archive built from resources/skins
};

std::string Lang(const Language& language) {
    return language.code;
}

// What the program logged, for failure messages.
std::string RunLog(const std::string& folder) {
    std::string text;
    if (!fs::is_directory(folder))
        return text;
    for (const auto& entry : fs::directory_iterator(folder))
        text += "\n--- " + entry.path().string() + "\n" + e2e::ReadTextFile(entry.path().string());
    return text;
}

class WindowE2E : public ::testing::TestWithParam<Language> {
protected:
    void SetUp() override {
        QM_E2E_REQUIRE_PRIVATE_HOSTS();
        if (!e2e::InPrivateNetwork())
            GTEST_SKIP() << "ports 80 and 443 only inside run-with-hosts --private-network";
        QM_E2E_REQUIRE_NGINX();
        QM_E2E_REQUIRE_XVFB();
        std::string zip;
        ASSERT_TRUE(fs::exists(GetParam().skin));
        zip = e2e::ReadTextFile(GetParam().skin);
        layout_ = ui::SkinArchive::FromZip(zip).Layout("VantrelGui.xml");
        artifacts_ = std::string(QUILLMATE_WINDOW_ARTIFACTS) + "/";
        fs::create_directories(artifacts_);
    }

    // The centre of a control, in window coordinates.
    std::pair<int, int> Centre(const std::string& name) const {
        const ui::SkinControl* control = layout_.Find(name);
        EXPECT_TRUE(control) << name;
        if (!control)
            return {0, 0};
        int x = control->pos.x + control->pos.width / 2;
        int y = control->pos.y + control->pos.height / 2;
        if (!control->parent.empty()) {
            const ui::SkinControl* parent = layout_.Find(control->parent);
            x += parent->pos.x;
            y += parent->pos.y;
        }
        return {x, y};
    }
    // Clicks as an operator does: once the control can take it.
    void Click(const std::string& name) {
        EXPECT_TRUE(WaitFor(
            [&](const Json::Value& s) {
                return s["controls"][name]["enabled"].asBool() &&
                       s["controls"][name]["shown"].asBool();
            },
            10s))
            << name << " stays disabled or hidden";
        const auto [x, y] = Centre(name);
        e2e::ClickAt(*display_, window_, x, y);
    }

    Json::Value State() const {
        Json::Value root;
        std::ifstream in(statePath_);
        Json::CharReaderBuilder builder;
        std::string errors;
        if (!in || !Json::parseFromStream(builder, in, &root, &errors))
            return Json::Value();
        return root;
    }
    std::string ControlText(const std::string& name) const {
        return State()["controls"][name]["text"].asString();
    }
    bool WaitFor(const std::function<bool(const Json::Value&)>& condition,
                 std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (std::chrono::steady_clock::now() < deadline) {
            if (condition(State()))
                return true;
            std::this_thread::sleep_for(100ms);
        }
        return false;
    }

    // Takes the screenshot `name`, keeps it as an artifact and compares it
    // with its reference.
    void ExpectLooksLike(const std::string& name) {
        const std::string shot = artifacts_ + Lang(GetParam()) + "_" + name + ".png";
        const std::string reference =
            std::string(QUILLMATE_WINDOW_REFERENCES) + "/" + Lang(GetParam()) + "_" + name + ".png";
        // The window settles (a redraw after the last change) before the shot;
        // on a loaded machine the redraw may come later, so a shot that
        // differs is taken again, twice at most.
        e2e::ImageDifference difference;
        for (int attempt = 0; attempt < 3; ++attempt) {
            std::this_thread::sleep_for(attempt == 0 ? 400ms : 1000ms);
            ASSERT_TRUE(e2e::Screenshot(*display_, window_, shot)) << name;
            if (std::getenv("QUILLMATE_UPDATE_WINDOW_REFERENCES")) {
                fs::copy_file(shot, reference, fs::copy_options::overwrite_existing);
                return;
            }
            difference = e2e::ComparePng(shot, reference, kFuzzPercent);
            ASSERT_TRUE(difference.comparable) << shot << " against " << reference;
            if (difference.fraction <= kMatchingShare)
                break;
        }
        if (difference.fraction > kMatchingShare)
            e2e::WriteDifferenceImage(
                shot, reference, artifacts_ + Lang(GetParam()) + "_" + name + "_difference.png");
        EXPECT_LE(difference.fraction, kMatchingShare)
            << name << ": " << difference.differentPixels << " pixels differ; see " << shot;
    }

    ui::SkinWindow layout_;
    std::string artifacts_;
    std::string statePath_;
    std::unique_ptr<e2e::XvfbDisplay> display_;
    std::string window_;
};

TEST_P(WindowE2E, DeploysUndoesAndOpensTheSiteWithRealClicks) {
    test::TempDir work;
    const std::string w = work.narrow();
    test::InstallConfigTemplates(WideFromUtf8(w + "home/"));
    fs::create_directories(w + "service");
    fs::create_directories(w + "bin");
    // The desktop's opener, standing in for a browser.
    e2e::WriteTextFile(w + "bin/xdg-open", "#!/bin/sh\necho \"$@\" >> '" + w + "opened'\n");
    chmod((w + "bin/xdg-open").c_str(), 0755);
    statePath_ = w + "state.json";

    e2e::CertCenterProcess center({"--defer"});
    e2e::NginxSandbox::Options options;
    options.httpPort = 80;
    options.httpsPort = 443;
    e2e::NginxSandbox nginx(options);
    nginx.WriteConfig(
        "    server {\n        listen 127.0.0.1:80;\n"
        "        server_name shop.example.test www.shop.example.test;\n"
        "        root html;\n    }\n");
    const std::string original = nginx.ReadConfigText();
    nginx.Start();

    display_ = std::make_unique<e2e::XvfbDisplay>();
    const char* path = std::getenv("PATH");
    e2e::DisplayClient program(
        *display_,
        {"/usr/bin/env", "QUILLMATE_HOME=" + w + "home", "VANTREL_HOME=" + w + "service",
         "QUILLMATE_CENTER_URL=" + center.url(), "QUILLMATE_CA_FILE=" + center.caFile(),
         "QUILLMATE_WINDOW_STATE=" + statePath_, "QUILLMATE_SYSTEMD_UNIT_DIR=" + w + "units",
         "QUILLMATE_SYSTEMD_RUNTIME=" + w + "no-systemd",
         "PATH=" + w + "bin:" + (path ? path : "/usr/bin:/bin"), QUILLMATE_PROGRAM, "--lang",
         Lang(GetParam())});
    const auto found = e2e::WaitForWindow(*display_, "Quillmate", 20s);
    ASSERT_TRUE(found) << program.OutputText();
    window_ = *found;
    const e2e::WindowGeometry geometry = e2e::GetGeometry(*display_, window_);
    EXPECT_EQ(geometry.width, 750);
    EXPECT_EQ(geometry.height, 520);
    ASSERT_TRUE(WaitFor([](const Json::Value& s) { return s.isMember("controls"); }, 10s));
    EXPECT_FALSE(State()["controls"]["btRestoreWeb"]["enabled"].asBool());
    ExpectLooksLike("main");

    // Both tabs, by keyboard and by mouse.
    e2e::PressKeys(*display_, window_, "ctrl+Tab");
    ASSERT_TRUE(WaitFor([](const Json::Value& s) { return s["currentTab"].asInt() == 1; }, 5s));
    ExpectLooksLike("setting");
    Click("btTabSign");
    ASSERT_TRUE(WaitFor([](const Json::Value& s) { return s["currentTab"].asInt() == 0; }, 5s));

    // Nginx, One Key Deployment: the center defers the request for review.
    Click("opNginx");
    ASSERT_TRUE(WaitFor(
        [](const Json::Value& s) { return s["controls"]["opNginx"]["selected"].asBool(); }, 5s));
    Click("btExe");
    ASSERT_TRUE(WaitFor(
        [&](const Json::Value&) {
            for (const auto& line : center.RequestLog())
                if (line.outcome == "defer")
                    return true;
            return false;
        },
        60s))
        << ControlText("txtResultData") << RunLog(w + "home/RunLog/");
    // The window shows the wait for the review.
    ASSERT_TRUE(WaitFor([](const Json::Value& s) { return s["stage"].asInt() == 2; }, 10s))
        << ControlText("txtResultData");
    ExpectLooksLike("during");
    std::string token;
    for (const auto& line : center.RequestLog())
        if (line.outcome == "defer")
            token = line.line["token"].asString();
    ASSERT_FALSE(token.empty());
    ASSERT_EQ(center.Approve(token), 0);

    ASSERT_TRUE(WaitFor(
        [](const Json::Value& s) {
            return !s["deploymentRunning"].asBool() && !s["lastDeployResult"].asString().empty();
        },
        90s))
        << ControlText("txtResultData");
    EXPECT_EQ(State()["lastDeployResult"].asString(), "succeed") << ControlText("txtResultData");
    const std::string result = ControlText("txtResultData");
    EXPECT_NE(result.find(kShop), std::string::npos) << result;
    const auto page = e2e::HttpGet("https://shop.example.test/",
                                   e2e::HttpOptions().Ca(center.caFile()).ConnectTo("127.0.0.1"));
    EXPECT_TRUE(page.ok) << page.error;
    ASSERT_TRUE(WaitFor(
        [](const Json::Value& s) { return s["controls"]["btRestoreWeb"]["enabled"].asBool(); },
        5s));
    ExpectLooksLike("after");

    // Open Site hands the address to the desktop.
    Click("btOpen");
    ASSERT_TRUE(WaitFor([&](const Json::Value&) { return fs::exists(w + "opened"); }, 10s));
    EXPECT_NE(e2e::ReadTextFile(w + "opened").find("https://shop.example.test"), std::string::npos);

    // Undo Deployment puts the configuration back.
    Click("btRestoreWeb");
    ASSERT_TRUE(WaitFor(
        [](const Json::Value& s) {
            return !s["undoRunning"].asBool() && !s["lastUndoResult"].asString().empty();
        },
        60s))
        << ControlText("txtResultData");
    EXPECT_EQ(nginx.ReadConfigText(), original);

    // The close button ends the program.
    Click("btClose");
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (program.ExitCode() < 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(100ms);
    EXPECT_EQ(program.ExitCode(), 0) << program.OutputText();
}

INSTANTIATE_TEST_SUITE_P(BothLanguages, WindowE2E,
                         ::testing::Values(Language{"en", QUILLMATE_SKIN_ZIP_EN},
                                           Language{"zh", QUILLMATE_SKIN_ZIP_ZH}),
                         [](const auto& info) { return std::string(info.param.code); });

}  // namespace
}  // namespace qm

// The window's ties to the maker's web service, as an operator meets them:
// `quillmate` without a command on a private X display, talking to the real
// quillmate-services, which offers the next release (the programs of
// <build>/next-release). The start and click reports, the version window
// and the feedback window are driven with real X events; the two child
// windows are compared with the reference images in
// app/tests/window_reference/ and kept as artifacts.
//
// QUILLMATE_UPDATE_WINDOW_REFERENCES=1 writes the screenshots as the new
// references instead (look at them before committing).
#include <gtest/gtest.h>
#include <json/json.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "foundation/textconv.h"
#include "tests/support/e2e/harness_util.h"
#include "tests/support/e2e/services_process.h"
#include "tests/support/e2e/xdisplay.h"
#include "tests/support/temp_dir.h"
#include "ui/skin.h"

namespace qm {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// As in window_e2e_test: a channel off by more than this percentage makes a
// pixel differ; at most this share of differing pixels still matches.
constexpr int kFuzzPercent = 12;
constexpr double kMatchingShare = 0.003;

constexpr char kTitle[] = "Quillmate";
constexpr char kReleaseNoteEn[] = "Sharper certificate checks";
constexpr char kReleaseNoteCn[] = "证书检查更准确";

struct Language {
    const char* code;     // --lang
    const char* skin;     // the archive built from resources/skins
    const char* haveNew;  // the first StateHaveNew of resources/strings/<code>.xml
    const char* problem;  // what the operator types into the feedback window
    const char* contact;
};

std::string Lang(const Language& language) {
    return language.code;
}

void PrintTo(const Language& language, std::ostream* out) {
    *out << language.code;
}

// Every file under the folder, for failure messages.
std::string FolderText(const std::string& folder) {
    std::string text;
    std::error_code error;
    if (!fs::is_directory(folder, error))
        return text;
    for (const auto& entry : fs::recursive_directory_iterator(folder, error))
        if (entry.is_regular_file())
            text +=
                "\n--- " + entry.path().string() + "\n" + e2e::ReadTextFile(entry.path().string());
    return text;
}

// The release with the next version, published once for the whole binary
// from a tree of the next-release programs.
const std::string& NextRelease() {
    static test::TempDir folder;
    static const std::string release = [] {
        const std::string tree = folder.narrow() + "tree/";
        const std::string to = folder.narrow() + "release";
        fs::create_directories(tree);
        for (const char* program : {"quillmate", "vantrel"})
            fs::copy_file(std::string(QUILLMATE_NEXT_RELEASE_DIR) + "/" + program, tree + program);
        std::string output;
        if (e2e::PublishRelease(tree, to, QUILLMATE_NEXT_VERSION, kReleaseNoteEn, kReleaseNoteCn,
                                &output) != 0) {
            ADD_FAILURE() << "publishing the next release failed:\n" << output;
            return std::string();
        }
        return to;
    }();
    return release;
}

// A JSON value on one line, for messages.
std::string OneLine(const Json::Value& value) {
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    return Json::writeString(builder, value);
}

class MakerWindowsTest : public ::testing::Test {
protected:
    void SetUp() override { QM_E2E_REQUIRE_XVFB(); }
    void TearDown() override {
        // The program goes first, while its display and service are still there.
        program_.reset();
        display_.reset();
    }

    // Starts the window in `language` against a fresh service offering the
    // next release; `statistics` false turns the usage reports off.
    void StartWindow(const Language& language, bool statistics) {
        language_ = language;
        ASSERT_TRUE(fs::exists(language.skin)) << language.skin;
        const ui::SkinArchive skins = ui::SkinArchive::FromZip(e2e::ReadTextFile(language.skin));
        mainLayout_ = skins.Layout("VantrelGui.xml");
        versionLayout_ = skins.Layout("VersionWnd.xml");
        feedbackLayout_ = skins.Layout("FeedBackWnd.xml");
        artifacts_ = std::string(QUILLMATE_WINDOW_ARTIFACTS) + "/";
        fs::create_directories(artifacts_);

        const std::string release = NextRelease();
        ASSERT_FALSE(release.empty());
        work_ = std::make_unique<test::TempDir>();
        const std::string w = work_->narrow();
        home_ = w + "home/";
        test::InstallConfigTemplates(WideFromUtf8(home_));
        fs::create_directories(w + "service");
        fs::create_directories(w + "bin");
        // The desktop's opener, standing in for a browser.
        opened_ = w + "opened";
        e2e::WriteTextFile(w + "bin/xdg-open", "#!/bin/sh\necho \"$@\" >> '" + opened_ + "'\n");
        chmod((w + "bin/xdg-open").c_str(), 0755);
        statePath_ = w + "state.json";

        services_ = std::make_unique<e2e::ServicesProcess>(release);
        display_ = std::make_unique<e2e::XvfbDisplay>();
        const char* path = std::getenv("PATH");
        std::vector<std::string> argv = {"/usr/bin/env",
                                         "-u",
                                         "QUILLMATE_STATISTICS",
                                         "QUILLMATE_HOME=" + w + "home",
                                         "VANTREL_HOME=" + w + "service",
                                         "QUILLMATE_SERVICES_URL=" + services_->url(),
                                         "QUILLMATE_SERVICES_CA=" + services_->caFile(),
                                         "QUILLMATE_WINDOW_STATE=" + statePath_,
                                         "QUILLMATE_SYSTEMD_UNIT_DIR=" + w + "units",
                                         "QUILLMATE_SYSTEMD_RUNTIME=" + w + "no-systemd",
                                         "PATH=" + w + "bin:" + (path ? path : "/usr/bin:/bin")};
        if (!statistics)
            argv.push_back("QUILLMATE_STATISTICS=off");
        argv.insert(argv.end(), {QUILLMATE_PROGRAM, "--lang", Lang(language)});
        program_ = std::make_unique<e2e::DisplayClient>(*display_, argv);
        const auto found = e2e::WaitForWindow(*display_, kTitle, 20s);
        ASSERT_TRUE(found) << Diagnostics();
        main_ = *found;
        ASSERT_TRUE(WaitFor([](const Json::Value& s) { return s.isMember("controls"); }, 10s))
            << Diagnostics();
    }

    // What the program, its logs and the service said.
    std::string Diagnostics() const {
        std::string text;
        if (program_)
            text += "\n=== program output\n" + program_->OutputText();
        if (!home_.empty())
            text += "\n=== run log" + FolderText(home_ + "RunLog/");
        if (services_) {
            text += "\n=== service stderr\n" + services_->StderrText();
            text += "\n=== received messages";
            for (const Json::Value& message : ReceivedMessages())
                text += "\n" + OneLine(message);
        }
        return text;
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

    std::vector<Json::Value> ReceivedMessages() const {
        try {
            return services_->Received();
        } catch (const std::exception&) {
            return {};  // a line still being written
        }
    }
    std::vector<Json::Value> MessagesOfType(const std::string& type) const {
        std::vector<Json::Value> found;
        for (const Json::Value& message : ReceivedMessages())
            if (message["type"].asString() == type)
                found.push_back(message);
        return found;
    }
    std::optional<Json::Value> WaitForMessage(const std::string& type,
                                              std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            if (auto found = MessagesOfType(type); !found.empty())
                return found.front();
            if (std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            std::this_thread::sleep_for(100ms);
        }
    }

    // The centre of a control, in its window's coordinates.
    static std::pair<int, int> Centre(const ui::SkinWindow& layout, const std::string& name) {
        const ui::SkinControl* control = layout.Find(name);
        EXPECT_TRUE(control) << name;
        if (!control)
            return {0, 0};
        int x = control->pos.x + control->pos.width / 2;
        int y = control->pos.y + control->pos.height / 2;
        if (!control->parent.empty()) {
            const ui::SkinControl* parent = layout.Find(control->parent);
            x += parent->pos.x;
            y += parent->pos.y;
        }
        return {x, y};
    }
    // A click on the main window, once the control can take it.
    void ClickMain(const std::string& name) {
        EXPECT_TRUE(WaitFor(
            [&](const Json::Value& s) {
                return s["controls"][name]["enabled"].asBool() &&
                       s["controls"][name]["shown"].asBool();
            },
            10s))
            << name << " stays disabled or hidden";
        const auto [x, y] = Centre(mainLayout_, name);
        e2e::ClickAt(*display_, main_, x, y);
    }
    void ClickChild(const std::string& window, const ui::SkinWindow& layout,
                    const std::string& name) {
        const auto [x, y] = Centre(layout, name);
        e2e::ClickAt(*display_, window, x, y);
    }

    // The visible top-level windows with the program's title; the child
    // windows carry it as well.
    std::vector<std::string> TitledWindows() const {
        std::string found;
        e2e::RunOnDisplay(*display_,
                          {"xdotool", "search", "--onlyvisible", "--name", "^Quillmate$"}, found);
        std::vector<std::string> ids;
        std::istringstream lines(found);
        for (std::string id; std::getline(lines, id);)
            if (!id.empty() && id.find_first_not_of("0123456789") == std::string::npos)
                ids.push_back(id);
        return ids;
    }
    // The child window of the given layout's size that appeared over the
    // main window.
    std::optional<std::string> WaitForChild(const ui::SkinWindow& layout,
                                            std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (const std::string& id : TitledWindows()) {
                if (id == main_)
                    continue;
                try {
                    const e2e::WindowGeometry geometry = e2e::GetGeometry(*display_, id);
                    if (geometry.width == layout.width && geometry.height == layout.height)
                        return id;
                } catch (const std::exception&) {
                    // gone again between the search and the question
                }
            }
            if (std::chrono::steady_clock::now() >= deadline)
                return std::nullopt;
            std::this_thread::sleep_for(100ms);
        }
    }
    bool Shown(const std::string& window) const {
        for (const std::string& id : TitledWindows())
            if (id == window)
                return true;
        return false;
    }
    bool WaitUntilGone(const std::string& window, std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        while (Shown(window)) {
            if (std::chrono::steady_clock::now() >= deadline)
                return false;
            std::this_thread::sleep_for(100ms);
        }
        return true;
    }

    // Screenshots the window as `name`_<lang>.png, keeps it as an artifact
    // and compares it with its reference. What changes last (a prompt after
    // an answer) may take a moment: the shot is taken again until it matches
    // or `patience` runs out.
    void ExpectLooksLike(const std::string& window, const std::string& name,
                         std::chrono::milliseconds patience = 3s) {
        const std::string base = name + "_" + Lang(language_);
        const std::string shot = artifacts_ + base + ".png";
        const std::string reference =
            std::string(QUILLMATE_WINDOW_REFERENCES) + "/" + base + ".png";
        // The window settles (a redraw after the last change) before the shot.
        std::this_thread::sleep_for(600ms);
        ASSERT_TRUE(e2e::Screenshot(*display_, window, shot)) << name;
        if (std::getenv("QUILLMATE_UPDATE_WINDOW_REFERENCES")) {
            fs::copy_file(shot, reference, fs::copy_options::overwrite_existing);
            return;
        }
        const auto deadline = std::chrono::steady_clock::now() + patience;
        e2e::ImageDifference difference = e2e::ComparePng(shot, reference, kFuzzPercent);
        while ((!difference.comparable || difference.fraction > kMatchingShare) &&
               fs::exists(reference) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(300ms);
            ASSERT_TRUE(e2e::Screenshot(*display_, window, shot)) << name;
            difference = e2e::ComparePng(shot, reference, kFuzzPercent);
        }
        ASSERT_TRUE(difference.comparable)
            << shot << " against " << reference
            << " (a missing reference is made with QUILLMATE_UPDATE_WINDOW_REFERENCES=1)";
        if (difference.fraction > kMatchingShare)
            e2e::WriteDifferenceImage(shot, reference, artifacts_ + base + "_difference.png");
        EXPECT_LE(difference.fraction, kMatchingShare)
            << name << ": " << difference.differentPixels << " pixels differ; see " << shot
            << Diagnostics();
    }

    // The close button ends the program cleanly.
    void CloseMainWindow() {
        ClickMain("btClose");
        const auto deadline = std::chrono::steady_clock::now() + 15s;
        while (program_->ExitCode() < 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(100ms);
        EXPECT_EQ(program_->ExitCode(), 0) << Diagnostics();
    }

    Language language_{};
    ui::SkinWindow mainLayout_;
    ui::SkinWindow versionLayout_;
    ui::SkinWindow feedbackLayout_;
    std::string artifacts_;
    std::unique_ptr<test::TempDir> work_;
    std::string home_;
    std::string opened_;
    std::string statePath_;
    std::unique_ptr<e2e::ServicesProcess> services_;
    std::unique_ptr<e2e::XvfbDisplay> display_;
    std::unique_ptr<e2e::DisplayClient> program_;
    std::string main_;
};

class MakerWindowsE2E : public MakerWindowsTest, public ::testing::WithParamInterface<Language> {};

TEST_P(MakerWindowsE2E, ReportsTheStartAndShowsTheNewVersion) {
    ASSERT_NO_FATAL_FAILURE(StartWindow(GetParam(), true));

    const auto start = WaitForMessage("userStatReq", 15s);
    ASSERT_TRUE(start) << Diagnostics();
    EXPECT_EQ((*start)["platform"].asString(), "linux") << OneLine(*start);
    EXPECT_EQ((*start)["product"].asString(), "Quillmate") << OneLine(*start);
    EXPECT_EQ((*start)["version"].asString(), QUILLMATE_CURRENT_VERSION) << OneLine(*start);

    // The start-up check found the next release.
    ASSERT_TRUE(WaitFor(
        [&](const Json::Value& s) {
            return s["controls"]["btCheckUpdate"]["text"].asString() == GetParam().haveNew;
        },
        15s))
        << "btCheckUpdate says \"" << ControlText("btCheckUpdate") << "\"" << Diagnostics();

    ClickMain("btCheckUpdate");
    const auto version = WaitForChild(versionLayout_, 10s);
    ASSERT_TRUE(version) << "no version window appeared" << Diagnostics();
    // The new and the current version, the release note and the Update
    // button; the button itself is not pressed (it would replace the
    // program under test).
    ExpectLooksLike(*version, "version");

    // Esc closes it once its check has ended; the main window stays.
    e2e::PressKeys(*display_, *version, "Escape");
    if (!WaitUntilGone(*version, 3s))
        e2e::PressKeys(*display_, *version, "Escape");
    EXPECT_TRUE(WaitUntilGone(*version, 5s)) << "Esc leaves the version window open";
    EXPECT_TRUE(Shown(main_));
    EXPECT_LT(program_->ExitCode(), 0) << Diagnostics();
    CloseMainWindow();
}

TEST_P(MakerWindowsE2E, SendsFeedbackFromItsWindow) {
    ASSERT_NO_FATAL_FAILURE(StartWindow(GetParam(), true));

    ClickMain("btFeedback");
    const auto feedback = WaitForChild(feedbackLayout_, 10s);
    ASSERT_TRUE(feedback) << "no feedback window appeared" << Diagnostics();
    std::this_thread::sleep_for(300ms);
    ClickChild(*feedback, feedbackLayout_, "edtDesc");
    e2e::TypeText(*display_, *feedback, GetParam().problem);
    ClickChild(*feedback, feedbackLayout_, "edtEmail");
    e2e::TypeText(*display_, *feedback, GetParam().contact);
    ClickChild(*feedback, feedbackLayout_, "btnSubmit");

    const auto report = WaitForMessage("msgReq", 15s);
    if (!report) {
        // What the window shows instead (the prompt says why).
        const std::string shot = artifacts_ + "feedback_" + Lang(GetParam()) + "_unsent.png";
        e2e::Screenshot(*display_, *feedback, shot);
        FAIL() << "no feedback reached the service; the window is in " << shot << Diagnostics();
    }
    EXPECT_EQ((*report)["msgType"].asString(), "bug") << OneLine(*report);
    EXPECT_EQ((*report)["desc"].asString(), GetParam().problem) << OneLine(*report);
    EXPECT_EQ((*report)["contact"].asString(), GetParam().contact) << OneLine(*report);
    EXPECT_EQ((*report)["platform"].asString(), "linux") << OneLine(*report);
    EXPECT_EQ((*report)["product"].asString(), "Quillmate") << OneLine(*report);
    EXPECT_EQ((*report)["version"].asString(), QUILLMATE_CURRENT_VERSION) << OneLine(*report);
    EXPECT_EQ(MessagesOfType("msgReq").size(), 1u);

    // The success prompt, and Submit turned into Close.
    ExpectLooksLike(*feedback, "feedback", 5s);
    ClickChild(*feedback, feedbackLayout_, "btnSubmit");
    EXPECT_TRUE(WaitUntilGone(*feedback, 5s)) << "Close leaves the feedback window open";
    EXPECT_TRUE(Shown(main_));
    CloseMainWindow();
}

TEST_P(MakerWindowsE2E, ReportsALinkClick) {
    ASSERT_NO_FATAL_FAILURE(StartWindow(GetParam(), true));

    ClickMain("btHelp");
    // The click reports pass every counter about once a second.
    const auto action = WaitForMessage("userActionReq", 10s);
    ASSERT_TRUE(action) << Diagnostics();
    EXPECT_EQ((*action)["action"].asString(), "otherLink") << OneLine(*action);
    EXPECT_EQ((*action)["actionCnt"].asString(), "1") << OneLine(*action);
    EXPECT_EQ((*action)["product"].asString(), "Quillmate") << OneLine(*action);
    // The link went to the desktop's opener.
    EXPECT_NE(e2e::ReadTextFile(opened_).find("https://www.quillmate.dev/" + Lang(GetParam()) +
                                              "/contact"),
              std::string::npos)
        << e2e::ReadTextFile(opened_);
    CloseMainWindow();
}

INSTANTIATE_TEST_SUITE_P(
    BothLanguages, MakerWindowsE2E,
    ::testing::Values(Language{"en", QUILLMATE_SKIN_ZIP_EN, "New Version",
                               "The result pane stays empty after Undo Deployment",
                               "ops@shop.example.test"},
                      Language{"zh", QUILLMATE_SKIN_ZIP_ZH, "有新版本了！",
                               "Undo Deployment leaves the result pane empty",
                               "admin@shop.example.test"}),
    [](const auto& info) { return std::string(info.param.code); });

TEST_F(MakerWindowsTest, SendsNoUsageReportsWhenStatisticsAreOff) {
    ASSERT_NO_FATAL_FAILURE(StartWindow(
        Language{"en", QUILLMATE_SKIN_ZIP_EN, "New Version", "", ""}, /*statistics=*/false));
    // The service is reachable: the version check still runs.
    ASSERT_TRUE(WaitFor(
        [](const Json::Value& s) {
            return s["controls"]["btCheckUpdate"]["text"].asString() == "New Version";
        },
        15s))
        << Diagnostics();
    std::this_thread::sleep_for(3s);
    ClickMain("btHelp");
    EXPECT_TRUE(WaitFor([&](const Json::Value&) { return fs::exists(opened_); }, 5s))
        << "the link click was not taken";
    // Several passes of the click reports.
    std::this_thread::sleep_for(3s);
    EXPECT_TRUE(MessagesOfType("userStatReq").empty()) << Diagnostics();
    EXPECT_TRUE(MessagesOfType("userActionReq").empty()) << Diagnostics();
    CloseMainWindow();
}

}  // namespace
}  // namespace qm

// The window's ties to the maker's web service, as an operator meets them:
// `quillmate` without a command on a private X display, talking to the real
// quillmate-services, which offers the next release (the programs of
// <build>/next-release). The start and click reports, the version window
// and the feedback window are driven with real X events; the two child
// windows are compared with the reference images in
// app/tests/window_reference/ and kept as artifacts. An installed copy of
// this build updates itself from the version window and comes back as the
// next version.
//
// QUILLMATE_UPDATE_WINDOW_REFERENCES=1 writes the screenshots as the new
// references instead (look at them before committing).
#include <gtest/gtest.h>
#include <json/json.h>
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <thread>

#include "foundation/hostfacts.h"
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
// from a tree of the next-release programs and the shipped Config/
// templates (which an installation's own settings must outlast).
const std::string& NextRelease() {
    static test::TempDir folder;
    static const std::string release = [] {
        const std::string tree = folder.narrow() + "tree/";
        const std::string to = folder.narrow() + "release";
        fs::create_directories(tree);
        for (const char* program : {"quillmate", "vantrel"})
            fs::copy_file(std::string(QUILLMATE_NEXT_RELEASE_DIR) + "/" + program, tree + program);
        fs::copy(std::string(QUILLMATE_PROGRAM_DIR) + "/Config", tree + "Config",
                 fs::copy_options::recursive);
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

// The version recorded in an executable.
std::string VersionOf(const fs::path& program) {
    return Utf8FromWide(GetFileVersion(WideFromUtf8(program.string())));
}

// The live processes running an executable from under `folder`.
std::vector<int> ProcessesRunningFrom(const fs::path& folder) {
    const std::string prefix = (fs::weakly_canonical(folder) / "").string();
    std::vector<int> found;
    for (const int pid : e2e::AllProcessIds())
        if (e2e::ExecutableOf(pid).rfind(prefix, 0) == 0 && e2e::ProcessAlive(pid))
            found.push_back(pid);
    return found;
}

bool WaitUntil(const std::function<bool()>& condition, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(100ms);
    }
    return true;
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
        EndProgramsOfTheWorkFolder();
        display_.reset();
    }

    // What a self-update started detached (the staged copy, the relaunched
    // window) is no child of ours: ended by pid, found by where it runs from.
    void EndProgramsOfTheWorkFolder() {
        if (!work_)
            return;
        const fs::path folder = work_->narrow();
        for (const int pid : ProcessesRunningFrom(folder))
            kill(pid, SIGTERM);
        if (!WaitUntil([&] { return ProcessesRunningFrom(folder).empty(); }, 5s))
            for (const int pid : ProcessesRunningFrom(folder))
                kill(pid, SIGKILL);
        WaitUntil([&] { return ProcessesRunningFrom(folder).empty(); }, 5s);
    }

    // Starts the window in `language` against a fresh service offering the
    // next release; `statistics` false turns the usage reports off. With
    // `installed` (a folder ending in "/"), that installation's quillmate
    // runs as installed: no QUILLMATE_HOME, its own folder is the program
    // folder.
    void StartWindow(const Language& language, bool statistics,
                     const std::string& installed = std::string()) {
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
        if (!work_)
            work_ = std::make_unique<test::TempDir>();
        const std::string w = work_->narrow();
        home_ = installed.empty() ? w + "home/" : installed;
        if (installed.empty())
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
                                         "-u",
                                         "QUILLMATE_HOME",
                                         "VANTREL_HOME=" + w + "service",
                                         "QUILLMATE_SERVICES_URL=" + services_->url(),
                                         "QUILLMATE_SERVICES_CA=" + services_->caFile(),
                                         "QUILLMATE_WINDOW_STATE=" + statePath_,
                                         "QUILLMATE_SYSTEMD_UNIT_DIR=" + w + "units",
                                         "QUILLMATE_SYSTEMD_RUNTIME=" + w + "no-systemd",
                                         "PATH=" + w + "bin:" + (path ? path : "/usr/bin:/bin")};
        if (installed.empty())
            argv.push_back("QUILLMATE_HOME=" + w + "home");
        else
            argv.push_back("LC_ALL=C.UTF-8");  // the relaunch after an update has no --lang
        if (!statistics)
            argv.push_back("QUILLMATE_STATISTICS=off");
        const std::string program = installed.empty() ? QUILLMATE_PROGRAM : installed + "quillmate";
        argv.insert(argv.end(), {program, "--lang", Lang(language)});
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
    // The paths of the GET requests the service answered, in order.
    std::vector<std::string> RequestedPaths() const {
        std::vector<std::string> paths;
        try {
            for (const Json::Value& line : services_->RequestLog())
                if (line["method"].asString() == "GET")
                    paths.push_back(line["path"].asString());
        } catch (const std::exception&) {
            // a line still being written
        }
        return paths;
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
    // The titled windows on the display with their geometry, for messages.
    std::string WindowsText() const {
        std::string text = "\n=== windows titled " + std::string(kTitle);
        for (const std::string& id : TitledWindows()) {
            text += "\n" + id;
            try {
                const e2e::WindowGeometry g = e2e::GetGeometry(*display_, id);
                text += " " + std::to_string(g.width) + "x" + std::to_string(g.height) + "+" +
                        std::to_string(g.x) + "+" + std::to_string(g.y);
            } catch (const std::exception& e) {
                text += std::string(" ") + e.what();
            }
        }
        return text;
    }
    // A window of the main window's size. X reuses the ids of a client
    // that went: a program started anew may show under its forerunner's id.
    std::optional<std::string> WaitForMainWindow(std::chrono::milliseconds limit) const {
        const auto deadline = std::chrono::steady_clock::now() + limit;
        for (;;) {
            for (const std::string& id : TitledWindows()) {
                try {
                    const e2e::WindowGeometry geometry = e2e::GetGeometry(*display_, id);
                    if (geometry.width == mainLayout_.width &&
                        geometry.height == mainLayout_.height)
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

TEST_F(MakerWindowsTest, UpdatesAnInstalledCopyFromTheVersionWindowAndComesBackUpdated) {
    // An installation of this build, as an operator has it; its settings
    // carry a mark of their own so that the release's template is told apart.
    work_ = std::make_unique<test::TempDir>();
    const fs::path install = fs::path(work_->narrow()) / "opt" / "quillmate";
    fs::create_directories(install);
    for (const char* program : {"quillmate", "vantrel"})
        fs::copy_file(fs::path(QUILLMATE_PROGRAM_DIR) / program, install / program);
    fs::copy(fs::path(QUILLMATE_PROGRAM_DIR) / "Config", install / "Config",
             fs::copy_options::recursive);
    const fs::path settingsFile = install / "Config" / "Vantrel.xml";
    std::string settings = e2e::ReadTextFile(settingsFile.string());
    settings.insert(settings.find('\n') + 1, "<!-- the operator's copy -->\n");
    e2e::WriteTextFile(settingsFile.string(), settings);
    ASSERT_EQ(VersionOf(install / "quillmate"), QUILLMATE_CURRENT_VERSION);

    ASSERT_NO_FATAL_FAILURE(
        StartWindow(Language{"en", QUILLMATE_SKIN_ZIP_EN, "New Version", "", ""},
                    /*statistics=*/true, install.string() + "/"));
    ASSERT_TRUE(WaitFor(
        [](const Json::Value& s) {
            return s["controls"]["btCheckUpdate"]["text"].asString() == "New Version";
        },
        15s))
        << "btCheckUpdate says \"" << ControlText("btCheckUpdate") << "\"" << Diagnostics();
    ClickMain("btCheckUpdate");
    const auto version = WaitForChild(versionLayout_, 10s);
    ASSERT_TRUE(version) << "no version window appeared" << Diagnostics();

    // Update reads the description again before the download. The button
    // ignores clicks while the window's own check still runs: clicked again
    // until the update has begun.
    const auto descriptionReads = [&](size_t from) {
        const std::vector<std::string> paths = RequestedPaths();
        return from >= paths.size() ? 0
                                    : std::count(paths.begin() + static_cast<long>(from),
                                                 paths.end(), "/download/Quillmate.update.xml.txt");
    };
    const long readsBefore = descriptionReads(0);
    bool begun = false;
    for (int attempt = 0; attempt < 10 && !begun; ++attempt) {
        try {
            ClickChild(*version, versionLayout_, "btExeUpdate");
        } catch (const std::exception&) {
            // the window went away with the program
        }
        begun = WaitUntil(
            [&] { return descriptionReads(0) > readsBefore || program_->ExitCode() >= 0; }, 2s);
    }
    ASSERT_TRUE(begun) << "Update started nothing" << Diagnostics();

    // The window's process hands over to the staged copy and ends.
    EXPECT_TRUE(WaitUntil([&] { return program_->ExitCode() >= 0; }, 120s))
        << "the window stays after Update" << Diagnostics();
    ASSERT_EQ(program_->ExitCode(), 0) << Diagnostics();
    const size_t requestsOfTheFirst = RequestedPaths().size();
    // What the relaunched window writes, told apart from the last words of
    // the first one.
    fs::remove(statePath_);

    // The staged copy installs and starts the installed program again; its
    // window is looked for once it runs, long after the first one's went.
    const std::string installedProgram = fs::weakly_canonical(install / "quillmate").string();
    int relaunchedPid = 0;
    WaitUntil(
        [&] {
            for (const int pid : ProcessesRunningFrom(install))
                if (pid != program_->pid() && e2e::ExecutableOf(pid) == installedProgram)
                    relaunchedPid = std::max(relaunchedPid, pid);
            return relaunchedPid > 0;
        },
        30s);
    ASSERT_GT(relaunchedPid, 0) << "the installed quillmate is not started again" << Diagnostics();
    const auto relaunched = WaitForMainWindow(30s);
    ASSERT_TRUE(relaunched) << "no main window after the update" << WindowsText() << Diagnostics();
    main_ = *relaunched;
    ASSERT_TRUE(WaitFor([](const Json::Value& s) { return s.isMember("controls"); }, 10s))
        << Diagnostics();

    EXPECT_EQ(VersionOf(install / "quillmate"), QUILLMATE_NEXT_VERSION) << Diagnostics();
    EXPECT_EQ(VersionOf(install / "vantrel"), QUILLMATE_NEXT_VERSION);
    EXPECT_EQ(e2e::ReadTextFile(settingsFile.string()), settings);
    // The relaunched program clears the staging folder as it starts.
    EXPECT_TRUE(WaitUntil(
        [&] {
            return !fs::exists(install / "Quillmate_tmp") &&
                   !fs::exists(install / "Quillmate_tmp.zip") &&
                   !fs::exists(install / "Quillmate_old");
        },
        10s))
        << FolderText((install / "Quillmate_tmp").string()) << Diagnostics();
    EXPECT_TRUE(ProcessesRunningFrom(install / "Quillmate_tmp").empty());

    // The relaunched program is the next version: its start report says so,
    // and its own check finds nothing newer.
    EXPECT_TRUE(WaitUntil(
        [&] {
            for (const Json::Value& report : MessagesOfType("userStatReq"))
                if (report["version"].asString() == QUILLMATE_NEXT_VERSION)
                    return true;
            return false;
        },
        15s))
        << Diagnostics();
    EXPECT_TRUE(WaitUntil([&] { return descriptionReads(requestsOfTheFirst) > 0; }, 15s))
        << "the relaunched window checks for no version" << Diagnostics();
    // The caption it starts with is the same: a newer version would turn it
    // within a moment of the answer.
    std::this_thread::sleep_for(1500ms);
    EXPECT_EQ(ControlText("btCheckUpdate"), "Check Version") << Diagnostics();

    // Closed with its close button, it ends and leaves nothing running.
    ClickMain("btClose");
    EXPECT_TRUE(WaitUntil([&] { return !e2e::ProcessAlive(relaunchedPid); }, 15s))
        << "the relaunched window does not end" << Diagnostics();
    // Its last run-log line says the window returned; the first process,
    // ended by the hand-over, wrote none.
    const std::string runLog = e2e::ReadTextFile((install / "RunLog" / "quillmate.log").string());
    size_t exits = 0;
    for (size_t at = runLog.find("exit VantrelGui.exe"); at != std::string::npos;
         at = runLog.find("exit VantrelGui.exe", at + 1))
        ++exits;
    EXPECT_EQ(exits, 1u) << Diagnostics();
    EXPECT_TRUE(ProcessesRunningFrom(work_->narrow()).empty()) << Diagnostics();
}

}  // namespace
}  // namespace qm

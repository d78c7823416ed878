// FeedBackWnd: the modal feedback window over the control model. The
// operator picks error or advice, describes it and may leave a contact; the
// report goes to the maker's web service together with the most recent error
// lines of the run log. Clicks on the forum link are counted and, when usage
// statistics are allowed, reported in the background.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>

#include <json/value.h>

#include "app/makerservice.h"
#include "app/strings.h"
#include "ui/skin.h"
#include "ui/window.h"

namespace qm {

// The strings the feedback window and the feedback command read.
std::span<const std::string_view> FeedbackStringKeys();

// The prompt key for a failed submission: "PromptsCommunicateFailed" when
// the service could not be reached, "PromptsFailed" otherwise.
std::string_view FeedbackFailurePromptKey(std::u16string_view failureText);

class FeedBackWnd : public ui::Window, public ui::INotify {
public:
    static constexpr ui::Color kHintColor = 0x8C8C8C;
    static constexpr ui::Color kTypedColor = 0x000000;
    static constexpr ui::Color kPromptErrorColor = 0xFF0000;
    static constexpr ui::Color kPromptOkColor = 0x279E36;
    static constexpr ui::Color kSubmitColor = 0xFF00C01D;
    static constexpr ui::Color kSubmitBusyColor = 0xFFF8F8F8;
    static constexpr ui::Color kSubmitTextColor = 0xFFFFFF;
    static constexpr size_t kDescriptionMaxLength = 3000;
    static constexpr size_t kContactMaxLength = 100;
    static constexpr int kSubmitTimerId = 292;
    static constexpr int kSubmitTimerMs = 500;
    static constexpr std::chrono::milliseconds kDefaultReportPacing{5000};

    // Builds the controls of `skinFile` and loads the strings in the current
    // language; raises the skin's and the string loader's failures.
    // `reportClicks`: forum clicks are reported as usage statistics.
    FeedBackWnd(ui::Backend& backend, std::u16string skinFile, std::u16string title,
                MakerService service, bool reportClicks);
    // Stops and waits for the window's threads.
    ~FeedBackWnd() override;

    const ui::SkinWindow& Layout() const { return layout_; }
    const std::u16string& Title() const { return title_; }

    // The window-created hook: initial control states and the background work.
    void InitWindow();
    void Notify(const ui::Notification& msg) override;

    // Checks the description and sends the report on a thread of its own.
    void Submit();
    // The description's hint for error or advice, unless the operator has
    // written something of their own.
    void ApplyDescriptionHint(bool advice);

    // How often forum clicks are reported; before InitWindow.
    void SetReportPacing(std::chrono::milliseconds pacing) { reportPacing_ = pacing; }

    // ---- State for tests ----
    bool IsSubmitting() const { return submitting_; }
    // The JSON body of the last report sent (or being sent).
    std::string LastRequestBody() const;
    // Forum clicks not yet reported.
    int ForumClicks() const { return forumClicks_; }
    bool IsExcerptReady() const { return excerptReady_; }
    const std::u16string& Text(std::string_view key) const { return strings_.Get(key); }

protected:
    bool OnClose() override;
    bool PreTranslateKey(ui::Key key, bool ctrl) override;

private:
    void BuildControls();
    void LoadStrings();
    ui::Control& Ctl(std::string_view name) const;
    bool IsDescriptionHint(const std::u16string& text) const;
    void OnFocusChange(const std::string& type, const std::string& sender);
    void OpenForum();

    void ExcerptThread();
    void ForumReportThread();
    void SubmitThread(Json::Value request);
    void SetInputsEnabled(bool enabled);
    void StopWorkers();

    const std::u16string skinFile_;
    const std::u16string title_;
    const MakerService service_;
    const bool reportClicks_;
    ui::SkinWindow layout_;
    StringTable strings_;
    std::u16string submitCaption_;
    std::u16string logFilePath_;
    std::chrono::milliseconds reportPacing_ = kDefaultReportPacing;

    std::mutex excerptMutex_;
    std::string excerpt_;
    std::atomic<bool> excerptReady_{false};

    std::atomic<int> forumClicks_{0};

    // Guards the progress ticks, so that none overwrites the final prompt.
    mutable std::mutex submitMutex_;
    bool ticking_ = false;
    std::string lastRequestBody_;
    std::atomic<bool> submitting_{false};

    std::mutex stopMutex_;  // wakes the forum reports when the window closes
    std::condition_variable stopWake_;
    bool stopping_ = false;

    std::thread excerptThread_;
    std::thread forumThread_;
    std::thread submitThread_;
};

}  // namespace qm

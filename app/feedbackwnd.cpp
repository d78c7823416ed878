#include "app/feedbackwnd.h"

#include <json/json.h>

#include <array>

#include "app/errorexcerpt.h"
#include "app/language.h"
#include "app/makermessages.h"
#include "app/skins.h"
#include "app/usagestats.h"
#include "foundation/processmanager.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "ui/skin_controls.h"

namespace qm {

namespace {

using ui::ControlKind;

constexpr std::array<std::string_view, 13> kFeedbackKeys = {
    "WebSiteFeedback",
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
    "BtnSubmitCaptionClose",
};

struct ControlEntry {
    ControlKind kind;
    const char* name;
};

// The controls this window works with; the skin "FeedBackWnd.xml" must have
// each of them, of this kind.
constexpr ControlEntry kFeedbackControls[] = {
    {ControlKind::Label, "title"},
    {ControlKind::Button, "btClose"},
    {ControlKind::Label, "txtType"},
    {ControlKind::Option, "opError"},
    {ControlKind::Option, "opAdvice"},
    {ControlKind::Text, "edtDesc"},
    {ControlKind::Label, "txtEmail"},
    {ControlKind::Edit, "edtEmail"},
    {ControlKind::Label, "txtPrompts"},
    {ControlKind::Button, "btnSubmit"},
    {ControlKind::Button, "btnFeedbackForum"},
};

constexpr const char* kInputs[] = {"edtEmail", "edtDesc", "opAdvice", "opError"};

// Neither control model nor backend limits typing, so the limits apply when
// the text is read.
std::u16string TrimmedText(const ui::Control& control, size_t maxLength) {
    std::u16string text = control.GetText();
    if (text.size() > maxLength)
        text.resize(maxLength);
    return TrimFeedbackText(text);
}

}  // namespace

std::span<const std::string_view> FeedbackStringKeys() {
    return kFeedbackKeys;
}

std::string_view FeedbackFailurePromptKey(std::u16string_view failureText) {
    return failureText == result::kCommunicationFailed ? "PromptsCommunicateFailed"
                                                       : "PromptsFailed";
}

FeedBackWnd::FeedBackWnd(ui::Backend& backend, std::u16string skinFile, std::u16string title,
                         MakerService service, bool reportClicks)
    : ui::Window(backend),
      skinFile_(std::move(skinFile)),
      title_(std::move(title)),
      service_(std::move(service)),
      reportClicks_(reportClicks) {
    BuildControls();
    LoadStrings();
    // The model has no tooltips; the layout carries it to the backend.
    for (ui::SkinControl& control : layout_.controls) {
        if (EqualsIgnoreCaseAscii(WideFromAscii(control.name), u"btnFeedbackForum"))
            control.tooltip = Text("ForumHelpTip");
    }
    SetNotifier(this);
}

FeedBackWnd::~FeedBackWnd() {
    StopWorkers();
}

void FeedBackWnd::BuildControls() {
    layout_ = LoadSkinLayout(skinFile_);
    ui::AddSkinControls(*this, layout_);
    for (const ControlEntry& entry : kFeedbackControls) {
        const ui::Control* control = FindControl(entry.name);
        if (!control || control->GetKind() != entry.kind)
            ThrowResult(u"the skin %s has no control %s of the kind this window needs", skinFile_,
                        WideFromAscii(entry.name));
    }
}

void FeedBackWnd::LoadStrings() {
    try {
        strings_ = StringTable::Load(StringTableIdFor(CurrentLanguage()), FeedbackStringKeys());
    } catch (const std::exception& e) {
        LogError(u"FeedBackWnd::LoadStrings, %s", ResultTextOf(e));
        throw;
    }
}

ui::Control& FeedBackWnd::Ctl(std::string_view name) const {
    // Every name used here is in kFeedbackControls.
    return *FindControl(name);
}

void FeedBackWnd::InitWindow() {
    Ctl("title").SetText(title_);
    Ctl("opError").SetGroup("GroupFeedbackType");
    Ctl("opAdvice").SetGroup("GroupFeedbackType");
    Ctl("opError").Select();
    Ctl("txtType").SetFocus();
    submitCaption_ = Ctl("btnSubmit").GetText();

    ui::Control& desc = Ctl("edtDesc");
    desc.SetText(Text("PromptsErrDescDefault"));
    desc.SetTextColor(kHintColor);
    ui::Control& email = Ctl("edtEmail");
    email.SetText(Text("EmailHelpTip"));
    email.SetTextColor(kHintColor);

    logFilePath_ = CurrentLogFilePath();
    try {
        excerptThread_ = std::thread(&FeedBackWnd::ExcerptThread, this);
        if (reportClicks_)
            forumThread_ = std::thread(&FeedBackWnd::ForumReportThread, this);
    } catch (const std::exception& e) {
        // Without the excerpt the report goes without log lines.
        LogError("FeedBackWnd::InitWindow, cannot start a background thread: %s", e.what());
    }
}

bool FeedBackWnd::IsDescriptionHint(const std::u16string& text) const {
    return text == Text("PromptsErrDescDefault") || text == Text("PromptsAdviceDescDefault");
}

void FeedBackWnd::ApplyDescriptionHint(bool advice) {
    ui::Control& desc = Ctl("edtDesc");
    const std::u16string text = TrimmedText(desc, kDescriptionMaxLength);
    if (text.empty() || IsDescriptionHint(text)) {
        desc.SetText(Text(advice ? "PromptsAdviceDescDefault" : "PromptsErrDescDefault"));
        desc.SetTextColor(kHintColor);
    } else {
        desc.SetTextColor(kTypedColor);
    }
}

void FeedBackWnd::Notify(const ui::Notification& msg) {
    if (msg.type == "setfocus" || msg.type == "killfocus") {
        OnFocusChange(msg.type, msg.sender);
        return;
    }
    if (msg.type != "click")
        return;
    const std::u16string name = WideFromAscii(msg.sender);
    auto is = [&](std::u16string_view control) { return EqualsIgnoreCaseAscii(name, control); };
    if (is(u"btClose")) {
        Close();
    } else if (is(u"btnSubmit")) {
        if (Ctl("btnSubmit").GetText() == Text("BtnSubmitCaptionClose"))
            Close();
        else
            Submit();
    } else if (is(u"opError")) {
        ApplyDescriptionHint(false);
    } else if (is(u"opAdvice")) {
        ApplyDescriptionHint(true);
    } else if (is(u"btnFeedbackForum")) {
        OpenForum();
    }
}

void FeedBackWnd::OnFocusChange(const std::string& type, const std::string& sender) {
    const std::u16string name = WideFromAscii(sender);
    const bool gained = type == "setfocus";
    if (EqualsIgnoreCaseAscii(name, u"edtDesc")) {
        ui::Control& desc = Ctl("edtDesc");
        if (gained) {
            if (IsDescriptionHint(TrimmedText(desc, kDescriptionMaxLength)))
                desc.SetText(u"");
            desc.SetTextColor(kTypedColor);
        } else {
            ApplyDescriptionHint(!Ctl("opError").IsSelected());
        }
    } else if (EqualsIgnoreCaseAscii(name, u"edtEmail")) {
        ui::Control& email = Ctl("edtEmail");
        const std::u16string text = TrimmedText(email, kContactMaxLength);
        if (gained) {
            if (text == Text("EmailHelpTip"))
                email.SetText(u"");
            email.SetTextColor(kTypedColor);
        } else if (text.empty() || text == Text("EmailHelpTip")) {
            email.SetText(Text("EmailHelpTip"));
            email.SetTextColor(kHintColor);
        }
    }
}

void FeedBackWnd::OpenForum() {
    // A link that cannot be opened is ignored.
    ShellOpen(Text("WebSiteFeedback"), u"", u"", WindowMode::Shown);
    forumClicks_++;
}

void FeedBackWnd::Submit() {
    if (submitting_)
        return;
    const std::string msgType = Ctl("opError").IsSelected()    ? "bug"
                                : Ctl("opAdvice").IsSelected() ? "advice"
                                                               : "null";
    ui::Control& prompts = Ctl("txtPrompts");
    const std::u16string desc = TrimmedText(Ctl("edtDesc"), kDescriptionMaxLength);
    if (desc.empty() || IsDescriptionHint(desc)) {
        prompts.SetTextColor(kPromptErrorColor);
        prompts.SetText(Text("PromptsEmptyDesp"));
        Ctl("edtDesc").SetFocus();
        return;
    }
    std::u16string contact = TrimmedText(Ctl("edtEmail"), kContactMaxLength);
    if (contact == Text("EmailHelpTip"))
        contact.clear();

    // The excerpt is usually read long before; a slow disk gets a second.
    for (int i = 0; i < 10 && !excerptReady_; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    FeedbackContent content{msgType, desc, contact, {}};
    if (excerptReady_) {
        std::lock_guard lock(excerptMutex_);
        content.logExcerpt = excerpt_;
    }
    Json::Value request = BuildFeedbackRequest(content);

    prompts.SetTextColor(kPromptOkColor);
    if (submitThread_.joinable())
        submitThread_.join();  // the previous report, finished
    {
        std::lock_guard lock(submitMutex_);
        lastRequestBody_ = Json::StyledWriter().write(request);
    }
    submitting_ = true;
    try {
        submitThread_ = std::thread(&FeedBackWnd::SubmitThread, this, std::move(request));
    } catch (const std::exception& e) {
        submitting_ = false;
        LogError("FeedBackWnd::Submit, cannot start the report: %s", e.what());
        prompts.SetTextColor(kPromptErrorColor);
        prompts.SetText(Text("PromptsFailed"));
    }
}

void FeedBackWnd::SetInputsEnabled(bool enabled) {
    for (const char* name : kInputs)
        Ctl(name).SetEnabled(enabled);
}

void FeedBackWnd::SubmitThread(Json::Value request) {
    ui::Control& prompts = Ctl("txtPrompts");
    ui::Control& submit = Ctl("btnSubmit");
    Ctl("btClose").SetEnabled(false);
    prompts.SetText(Text("PromptsSubmitting"));
    submit.SetBkColor(kSubmitBusyColor);
    submit.SetEnabled(false);
    SetInputsEnabled(false);
    Ctl("txtType").SetFocus();
    {
        std::lock_guard lock(submitMutex_);
        ticking_ = true;
    }
    SetTimer(kSubmitTimerId, kSubmitTimerMs, [this] {
        static std::atomic<unsigned> tick{0};
        static constexpr std::u16string_view kDots[] = {u"", u".", u"..", u"..."};
        std::lock_guard lock(submitMutex_);
        if (ticking_)
            Ctl("txtPrompts")
                .SetText(Text("PromptsSubmitting") + std::u16string(kDots[tick++ % 4]));
    });

    bool sent = false;
    std::u16string failure;
    try {
        PostMakerMessage({service_.FeedbackUrl(), service_.caFile}, request, "msgResp");
        sent = true;
    } catch (const std::exception& e) {
        failure = ResultTextOf(e);
    }
    {
        std::lock_guard lock(submitMutex_);
        ticking_ = false;
    }
    KillTimer(kSubmitTimerId);

    Ctl("btClose").SetEnabled(true);
    submit.SetBkColor(kSubmitColor);
    submit.SetTextColor(kSubmitTextColor);
    submit.SetEnabled(true);
    SetInputsEnabled(true);
    submit.SetText(submitCaption_);
    if (sent) {
        submit.SetText(Text("BtnSubmitCaptionClose"));
        prompts.SetTextColor(kPromptOkColor);
        prompts.SetText(Text("PromptsSuccess"));
    } else {
        LogError(u"%s : %s", u"FeedBackWnd::Submit", failure);
        prompts.SetTextColor(kPromptErrorColor);
        prompts.SetText(Text(FeedbackFailurePromptKey(failure)));
    }
    submitting_ = false;
}

void FeedBackWnd::ExcerptThread() {
    std::string excerpt = ExtractErrorLines(logFilePath_);
    std::lock_guard lock(excerptMutex_);
    excerpt_ = std::move(excerpt);
    excerptReady_ = true;
}

void FeedBackWnd::ForumReportThread() {
    UsageStats stats(service_.FeedbackUrl(), service_.caFile);
    std::unique_lock lock(stopMutex_);
    while (!stopping_) {
        lock.unlock();
        const int count = forumClicks_;
        if (count > 0 && stats.SendActionReport(count, "otherLink"))
            forumClicks_ -= count;
        lock.lock();
        stopWake_.wait_for(lock, reportPacing_, [this] { return stopping_; });
    }
}

std::string FeedBackWnd::LastRequestBody() const {
    std::lock_guard lock(submitMutex_);
    return lastRequestBody_;
}

bool FeedBackWnd::PreTranslateKey(ui::Key key, bool /*ctrl*/) {
    if (key != ui::Key::Escape)
        return false;
    // Not while a report is on its way: its outcome is still to be shown.
    if (Ctl("btnSubmit").IsEnabled())
        Close();
    return true;
}

bool FeedBackWnd::OnClose() {
    StopWorkers();
    return true;
}

void FeedBackWnd::StopWorkers() {
    {
        std::lock_guard lock(stopMutex_);
        stopping_ = true;
    }
    stopWake_.notify_all();
    for (std::thread* worker : {&submitThread_, &excerptThread_, &forumThread_}) {
        if (worker->joinable() && worker->get_id() != std::this_thread::get_id())
            worker->join();
    }
}

}  // namespace qm

#include "app/verwnd.h"

#include <cstdlib>
#include <exception>

#include "app/language.h"
#include "app/skins.h"
#include "foundation/hostfacts.h"
#include "foundation/processmanager.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "ui/skin_controls.h"

namespace qm {

namespace {

using ui::ControlKind;

constexpr std::string_view kStringKeys[] = {
    "XmlDespName",    "StateChecking",   "StateHaveNew", "StateIsNew",       "StateNotConnect",
    "StateUpdateing", "StateUpdateFail", "DespNone",     "BtnExeUpdateName",
};

struct ControlEntry {
    ControlKind kind;
    const char* name;
};

constexpr ControlEntry kControls[] = {
    {ControlKind::Button, "btClose"},     {ControlKind::Label, "lbVerState"},
    {ControlKind::Label, "lbNewVer"},     {ControlKind::Label, "lbCurVer"},
    {ControlKind::Text, "edtDesp"},       {ControlKind::Progress, "progUpdate"},
    {ControlKind::Button, "btExeUpdate"},
};

constexpr ui::Color kButtonGreen = 0xFF00C01D;
constexpr ui::Color kButtonGrey = 0xFFF8F8F8;

}  // namespace

std::span<const std::string_view> VersionWindowStringKeys() {
    return kStringKeys;
}

VerWnd::VerWnd(ui::Backend& backend, std::u16string skinFile, MakerService service,
               SelfUpdatePaths paths)
    : ui::Window(backend),
      skinFile_(std::move(skinFile)),
      service_(std::move(service)),
      paths_(std::move(paths)) {
    layout_ = LoadSkinLayout(skinFile_);
    ui::AddSkinControls(*this, layout_);
    for (const ControlEntry& entry : kControls) {
        const ui::Control* control = FindControl(entry.name);
        if (!control || control->GetKind() != entry.kind)
            ThrowResult(u"the skin %s has no control %s of the kind this window needs", skinFile_,
                        WideFromAscii(entry.name));
    }
    strings_ = StringTable::Load(StringTableIdFor(CurrentLanguage()), kStringKeys);
    SetNotifier(this);
}

VerWnd::~VerWnd() {
    JoinThreads();
}

ui::Control& VerWnd::Ctl(std::string_view name) const {
    return *FindControl(name);  // every name used is in kControls
}

void VerWnd::SetVersionInfo(bool newVersionKnown, std::u16string newVersion,
                            std::u16string currentVersion, std::u16string description) {
    std::lock_guard lock(infoMutex_);
    newVersionKnown_ = newVersionKnown;
    newVersion_ = std::move(newVersion);
    currentVersion_ = std::move(currentVersion);
    description_ = std::move(description);
}

void VerWnd::InitWindow() {
    Ctl("edtDesp").SetReadOnly(true);
    Ctl("edtDesp").SetFocus();
    checkRunning_ = true;
    try {
        checkThread_ = std::thread([this] { CheckThread(); });
    } catch (const std::exception&) {
        checkRunning_ = false;
    }
}

void VerWnd::SetUpdateButton(bool busy) {
    ui::Control& button = Ctl("btExeUpdate");
    button.SetBkColor(busy ? kButtonGrey : kButtonGreen);
    button.SetTextColor(busy ? 0 : 0xFFFFFF);
    button.SetEnabled(!busy);
}

void VerWnd::CheckThread() {
    Ctl("btClose").SetEnabled(false);
    bool failed = false;
    std::u16string newVersion;
    try {
        if (!newVersionKnown_) {
            Ctl("lbVerState").SetText(Text("StateChecking"));
            Ctl("lbNewVer").SetVisible(false);
            SetUpdateButton(true);
            std::lock_guard lock(infoMutex_);
            currentVersion_ = GetFileVersion(GetProgramPath());
        }
        std::u16string currentVersion;
        {
            std::lock_guard lock(infoMutex_);
            currentVersion = currentVersion_;
        }
        Ctl("lbCurVer").AppendText(currentVersion);
        if (!newVersionKnown_) {
            UpdateDescription found;
            try {
                UpdateComm::GetVerInfo(service_.UpdateDescriptionUrl(), kUpdateProgramName,
                                       Text("XmlDespName"), service_.caFile, found);
            } catch (const std::exception&) {
                ThrowResult(u"UpdateComm::GetVerInfo");
            }
            std::lock_guard lock(infoMutex_);
            newVersion_ = found.version;
            description_ = found.description;
            newVersionKnown_ = CompareVersions(found.version, currentVersion) > 0;
        }
        std::u16string description;
        {
            std::lock_guard lock(infoMutex_);
            newVersion = newVersion_;
            description = description_;
        }
        SetUpdateButton(false);
        if (newVersionKnown_) {
            Ctl("lbVerState").SetText(Text("StateHaveNew"));
            Ctl("edtDesp").SetText(description);
        } else {
            Ctl("lbVerState").SetText(Text("StateIsNew"));
            Ctl("edtDesp").SetText(Text("DespNone"));
            Ctl("btExeUpdate").SetText(Text("BtnExeUpdateName"));
        }
        Ctl("lbNewVer").AppendText(newVersion);
        Ctl("lbNewVer").SetVisible(true);
        Ctl("progUpdate").SetVisible(newVersionKnown_);
    } catch (const std::exception&) {
        failed = true;
    }
    Ctl("btClose").SetEnabled(true);
    if (failed) {
        Ctl("lbVerState").SetText(Text("StateNotConnect"));
        Ctl("lbNewVer").SetVisible(false);
        Ctl("progUpdate").SetVisible(false);
        SetUpdateButton(false);
        Ctl("btExeUpdate").SetText(Text("BtnExeUpdateName"));
    }
    Ctl("lbVerState").SetFocus();
    checkRunning_ = false;
}

void VerWnd::UpdateThread() {
    std::u16string currentVersion;
    {
        std::lock_guard lock(infoMutex_);
        currentVersion = currentVersion_;
    }
    Ctl("btClose").SetEnabled(false);
    SetUpdateButton(true);
    Ctl("lbVerState").SetText(Text("StateUpdateing"));
    Ctl("progUpdate").SetValue(20);
    UpdateDescription update;
    try {
        // The description is read again for the archive's digest (the
        // start-up check hands over the version and text only); what it
        // says now is what is installed.
        UpdateComm::GetVerInfo(service_.UpdateDescriptionUrl(), kUpdateProgramName,
                               Text("XmlDespName"), service_.caFile, update);
        if (CompareVersions(update.version, currentVersion) <= 0)
            ThrowResult(u"the update description no longer offers a newer version");
        StageUpdate(service_, update, paths_,
                    [this](int percent) { Ctl("progUpdate").SetValue(percent); });
    } catch (const std::exception& e) {
        // Shown, and the window can be closed again: nothing was installed.
        LogError(u"VerWnd::UpdateThread, %s", ResultTextOf(e));
        Ctl("lbVerState").SetText(Text("StateUpdateFail"));
        Ctl("btClose").SetEnabled(true);
        updateRunning_ = false;
        return;
    }
    if (restart_.prepare)
        restart_.prepare();
    Ctl("progUpdate").SetValue(100);
    const std::u16string program = StagedProgramPath(paths_);
    if (restart_.start) {
        restart_.start(program, update.version);
    } else {
        ShellOpen(program, u"/UpdateVersion:" + update.version, u"", WindowMode::Shown);
        std::_Exit(0);
    }
    updateRunning_ = false;
}

void VerWnd::Notify(const ui::Notification& msg) {
    if (msg.type != "click")
        return;
    if (msg.sender == "btClose") {
        Close();
    } else if (msg.sender == "btExeUpdate") {
        if (!newVersionKnown_) {
            Close();
            return;
        }
        if (updateRunning_ || checkRunning_)
            return;
        if (updateThread_.joinable())
            updateThread_.join();
        updateRunning_ = true;
        try {
            updateThread_ = std::thread([this] { UpdateThread(); });
        } catch (const std::exception&) {
            updateRunning_ = false;
        }
    }
}

bool VerWnd::PreTranslateKey(ui::Key key, bool) {
    if (key == ui::Key::Escape) {
        if (Ctl("btClose").IsEnabled())
            Close();
        return true;
    }
    return false;
}

bool VerWnd::OnClose() {
    JoinThreads();
    return true;
}

void VerWnd::JoinThreads() {
    // The threads end by themselves: the transfers have their own limits.
    if (checkThread_.joinable())
        checkThread_.join();
    if (updateThread_.joinable())
        updateThread_.join();
}

}  // namespace qm

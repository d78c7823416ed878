#include "app/windowstate.h"

#include <json/json.h>

#include <atomic>

#include "app/guiwnd.h"
#include "foundation/files.h"
#include "foundation/host/host.h"
#include "foundation/textconv.h"

namespace qm {

namespace {
constexpr int kStateTimer = 7001;
constexpr int kStateIntervalMs = 100;
}  // namespace

struct WindowStateFile::State {
    State(CGuiWnd& w, std::u16string p) : window(w), path(std::move(p)) {}

    CGuiWnd& window;
    std::u16string path;
    int listener = 0;
    std::atomic<bool> changed{true};
    int quietTicks = 0;

    void Write() {
        Json::Value root;
        Json::Value& controls = root["controls"];
        for (const ui::Control* control : window.Controls()) {
            Json::Value& entry = controls[control->GetName()];
            entry["text"] = Utf8FromWide(control->GetText());
            entry["enabled"] = control->IsEnabled();
            entry["visible"] = control->IsVisible();
            entry["shown"] = control->IsShown();
            entry["selected"] = control->IsSelected();
        }
        root["deploymentRunning"] = window.IsDeploymentRunning();
        root["undoRunning"] = window.IsUndoRunning();
        root["currentTab"] = window.GetCurrentTab();
        root["stage"] = window.GetCurrentStage();
        root["lastDeployResult"] = Utf8FromWide(window.LastDeployResult());
        root["lastUndoResult"] = Utf8FromWide(window.LastUndoResult());
        Json::StreamWriterBuilder builder;
        builder["indentation"] = " ";
        WriteFileAtomic(path, Json::writeString(builder, root));
    }
};

WindowStateFile::WindowStateFile(CGuiWnd& window) {
    const std::u16string path =
        host::ProcessEnvironmentValue(u"QUILLMATE_WINDOW_STATE").value_or(u"");
    if (path.empty())
        return;
    state_ = std::make_shared<State>(window, path);
    std::weak_ptr<State> weak = state_;
    state_->listener = window.AddChangeListener([weak](const ui::Control&, ui::Property) {
        if (auto state = weak.lock())
            state->changed = true;
    });
    window.SetTimer(kStateTimer, kStateIntervalMs, [weak] {
        auto state = weak.lock();
        if (!state)
            return;
        // The busy flags change without a control: written now and then too.
        if (state->changed.exchange(false) || ++state->quietTicks >= 5) {
            state->quietTicks = 0;
            state->Write();
        }
    });
}

WindowStateFile::~WindowStateFile() {
    if (!state_)
        return;
    state_->window.KillTimer(kStateTimer);
    state_->window.RemoveChangeListener(state_->listener);
}

}  // namespace qm

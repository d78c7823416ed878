// VerWnd: the version window. It shows the running and the newest version
// with the change description (looked up on its own check thread unless
// the main window already found a newer version) and, on request, runs the
// first half of the self-update on its update thread: download, check and
// unpack into the staging directory, then start the staged copy, which
// finishes the update, and end this process.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/makerservice.h"
#include "app/selfupdate.h"
#include "app/strings.h"
#include "ui/skin.h"
#include "ui/window.h"

namespace qm {

class VerWnd : public ui::Window, public ui::INotify {
public:
    // The two steps that leave this process, replaceable for tests.
    struct Restart {
        // Before the staged copy starts: the main window stops its workers
        // and waits for them. Empty: nothing to wait for.
        std::function<void()> prepare;
        // Starts the staged program with "/UpdateVersion:" + version and
        // ends the process. Empty: ShellOpen, then the process ends with 0.
        std::function<void(const std::u16string& program, const std::u16string& version)> start;
    };

    // Builds the controls of `skinFile` ("VersionWnd.xml") and loads the
    // window's interface strings; raises their loaders' failures.
    VerWnd(ui::Backend& backend, std::u16string skinFile, MakerService service,
           SelfUpdatePaths paths);
    ~VerWnd() override;

    const ui::SkinWindow& Layout() const { return layout_; }
    const std::u16string& Text(std::string_view key) const { return strings_.Get(key); }

    // What the main window's start-up check found; before InitWindow.
    void SetVersionInfo(bool newVersionKnown, std::u16string newVersion,
                        std::u16string currentVersion, std::u16string description);
    void SetRestart(Restart restart) { restart_ = std::move(restart); }

    // The window-created hook: starts the check thread.
    void InitWindow();
    void Notify(const ui::Notification& msg) override;

    bool NewVersionKnown() const { return newVersionKnown_; }
    bool IsChecking() const { return checkRunning_; }
    bool IsUpdating() const { return updateRunning_; }

protected:
    bool OnClose() override;
    bool PreTranslateKey(ui::Key key, bool ctrl) override;

private:
    ui::Control& Ctl(std::string_view name) const;
    void SetUpdateButton(bool busy);
    void CheckThread();
    void UpdateThread();
    void JoinThreads();

    const std::u16string skinFile_;
    ui::SkinWindow layout_;
    StringTable strings_;
    const MakerService service_;
    const SelfUpdatePaths paths_;
    Restart restart_;

    std::mutex infoMutex_;  // the three texts below
    std::u16string newVersion_;
    std::u16string currentVersion_;
    std::u16string description_;
    std::atomic<bool> newVersionKnown_{false};
    std::atomic<bool> checkRunning_{false};
    std::atomic<bool> updateRunning_{false};
    std::thread checkThread_;
    std::thread updateThread_;
};

// The interface string keys the version window reads.
std::span<const std::string_view> VersionWindowStringKeys();

}  // namespace qm

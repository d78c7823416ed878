#include "app/desktop.h"

#include <chrono>
#include <exception>
#include <thread>

#include "app/backgroundwork.h"
#include "app/feedbackwnd.h"
#include "app/guiwnd.h"
#include "app/language.h"
#include "app/makerservice.h"
#include "app/renewalservice.h"
#include "app/selfupdate.h"
#include "app/singleinstance.h"
#include "app/skins.h"
#include "app/verwnd.h"
#include "app/windowstate.h"
#include "foundation/files.h"
#include "foundation/hostfacts.h"
#include "foundation/interrupts.h"
#include "foundation/results.h"
#include "foundation/runlog.h"
#include "foundation/textconv.h"
#include "ui/fltk/fltk_backend.h"

namespace qm {

namespace {

constexpr int kInterruptTimer = 7002;

void TellOperator(std::u16string_view english, std::u16string_view chinese) {
    const bool zh = CurrentLanguage() == Language::Chinese;
    ui::ShowMessageBox(zh ? u"提示" : u"Prompt", zh ? chinese : english,
                       [] { return InterruptRequested(); });
}

// The window on screen goes before the window object, whichever way this
// function is left (a close has taken it away already).
struct PresentedWindow {
    ui::Backend& backend;
    ui::Window& window;
    ~PresentedWindow() { backend.DestroyWindow(window); }
};

// Runs a child window modally over the main window.
template <class ChildWindow>
void RunChildWindow(ui::Backend& backend, ChildWindow& child, std::u16string_view title) {
    child.InitWindow();
    PresentedWindow presented{backend, child};
    backend.RunModal(child, child.Layout(), SkinArchiveFor(CurrentLanguage()), title);
}

CGuiWnd::ChildWindows MakerWindows(ui::Backend& backend, const MakerService& service) {
    CGuiWnd::ChildWindows windows;
    windows.openVersion = [&backend, service](CGuiWnd& main) {
        VerWnd version(backend, u"VersionWnd.xml", service,
                       SelfUpdatePathsFor(RunningInstallDirectory()));
        const CGuiWnd::FoundVersion found = main.GetFoundVersion();
        if (found.newVersionKnown)
            version.SetVersionInfo(true, found.newVersion, found.currentVersion, found.description);
        // The staged copy starts once no deployment step, undo or report
        // of the main window is under way.
        version.SetRestart({[&main] {
                                main.BeginClosing();
                                while (main.AnyWorkerBusy())
                                    std::this_thread::sleep_for(std::chrono::milliseconds(100));
                            },
                            {}});
        RunChildWindow(backend, version, main.Text("title"));
    };
    windows.openFeedback = [&backend, service](CGuiWnd& main) {
        FeedBackWnd feedback(backend, u"FeedBackWnd.xml", main.Text("title"), service,
                             StatisticsEnabled());
        RunChildWindow(backend, feedback, main.Text("title"));
    };
    return windows;
}

int ShowMainWindow() {
    ui::FltkBackend backend;
    CGuiWnd window(backend, u"VantrelGui.xml");
    const MakerService service = ResolveMakerService();
    window.SetBackgroundServices(MakerBackgroundServices(service));
    window.SetChildWindows(MakerWindows(backend, service));
    window.InitWindow();
    backend.PresentWindow(window, window.Layout(), SkinArchiveFor(CurrentLanguage()),
                          window.Text("title"));
    PresentedWindow presented{backend, window};
    WindowStateFile stateFile(window);
    // Ctrl+C or a polite kill closes the window as its close button would,
    // once no deployment or undo is under way (they roll back or finish
    // first on their own).
    window.SetTimer(kInterruptTimer, 200, [&window] {
        if (InterruptRequested() && !window.IsDeploymentRunning() && !window.IsUndoRunning())
            window.Close();
    });
    // What an interrupted run left is finished first; a deployment made
    // earlier can then be opened and undone from this window.
    if (window.RecoverInterruptedWork())
        window.LoadLastDeployment();
    backend.Run();
    return 0;
}

}  // namespace

int RunDesktop(std::ostream& err) {
    if (!ui::FltkBackend::DisplayAvailable()) {
        err << "quillmate: the window needs a display, and none can be opened (DISPLAY is "
               "unset or does not answer).\n"
               "Run one of the commands instead: quillmate deploy | undo | open | status "
               "(quillmate --help).\n";
        return 1;
    }
    // Left beside the program by a completed self-update.
    DeleteDirectoryTree(SelfUpdatePathsFor(RunningInstallDirectory()).stagingDir);

    SingleInstance instance;
    switch (instance.Acquire(GetServiceDirectory())) {
        case SingleInstance::Outcome::First:
            break;
        case SingleInstance::Outcome::AlreadyRunning:
            LogTrace("VantrelGui is already running!\r");
            TellOperator(u"Quillmate is already running.", u"Quillmate已在运行。");
            return 0;
        case SingleInstance::Outcome::Unchecked:
            // Each task still takes the service directory's own lock.
            LogWarn(u"the single-instance guard cannot be taken: %s", instance.Reason());
            break;
    }

    if (!IsSupportedOs()) {
        LogInfo(u"Current OS is %s", GetOsName());
        TellOperator(
            u"Quillmate do not support current OS version(Quillmate supports Windows "
            u"Server2008 or greater OS version)",
            u"Quillmate不支持当前系统版本，目前只支持Windows Server2008及以上版本。");
        return 0;
    }
    LogTrace("");
    LogTrace("enter VantrelGui.exe");
    LogTrace("");

    std::thread installer;
    try {
        installer = std::thread([] {
            try {
                InstallServiceComponent();
            } catch (const std::exception& e) {
                LogError(u"InstallServiceComponent, %s", ResultTextOf(e));
            }
        });
    } catch (const std::exception&) {
        LogError("Create InstallServiceThread failed!");
    }

    int code = 0;
    try {
        code = ShowMainWindow();
    } catch (const std::exception& e) {
        LogError(u"WinMain, exception: %s", ResultTextOf(e));
        err << "quillmate: the window cannot be shown: " << Utf8FromWide(ResultTextOf(e)) << "\n";
        code = 1;
    }
    // The installation is short; it is not cut off halfway.
    if (installer.joinable())
        installer.join();
    LogTrace("");
    LogTrace("exit VantrelGui.exe");
    LogTrace("");
    return code;
}

}  // namespace qm

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "ui/headless_backend.h"
#include "ui/window.h"

namespace qm::ui {
namespace {

using namespace std::chrono_literals;

class RecordingWindow : public Window, public INotify {
public:
    explicit RecordingWindow(Backend& backend) : Window(backend) { SetNotifier(this); }
    void Notify(const Notification& msg) override {
        notes.push_back(msg.type + ":" + msg.sender);
        onLoopThread = GetBackend().IsLoopThread();
    }
    bool OnClose() override { return ++closeAsks > refuseCloses; }
    void OnFinalMessage() override { finalMessages++; }
    bool PreTranslateKey(Key key, bool ctrl) override {
        keys.push_back(key == Key::Tab && ctrl ? "ctrl+tab" : "other");
        return true;
    }

    std::vector<std::string> notes;
    std::vector<std::string> keys;
    bool onLoopThread = false;
    int refuseCloses = 0;
    int closeAsks = 0;
    int finalMessages = 0;
};

TEST(ControlModel, ControlsAreFoundByNameIgnoringCaseAndKeepTheirState) {
    HeadlessBackend backend;
    Window window(backend);
    Control& ct = window.AddControl(ControlKind::Container, "ctSign");
    Control& bt = window.AddControl(ControlKind::Button, "btExe", "ctSign");
    EXPECT_EQ(&window.AddControl(ControlKind::Button, "BTEXE"), &bt);  // no duplicate
    EXPECT_EQ(window.FindControl("btexe"), &bt);
    EXPECT_EQ(window.FindControl("nothing"), nullptr);
    EXPECT_EQ(bt.GetParent(), &ct);

    bt.SetText(u"One Key Deployment");
    bt.SetTextColor(0xFF0000);
    bt.SetBkColor(0xFF00FF00);
    bt.SetReadOnly(true);
    bt.SetPos({104, 68, 85, 30});
    EXPECT_EQ(bt.GetText(), u"One Key Deployment");
    EXPECT_EQ(bt.GetTextColor(), 0xFF0000u);
    EXPECT_EQ(bt.GetBkColor(), 0xFF00FF00u);
    EXPECT_TRUE(bt.IsReadOnly());
    EXPECT_EQ(bt.GetPos(), (Rect{104, 68, 85, 30}));

    // Hiding a container hides what it holds, without changing their own flag.
    ct.SetVisible(false);
    EXPECT_TRUE(bt.IsVisible());
    EXPECT_FALSE(bt.IsShown());

    Control& ed = window.AddControl(ControlKind::Edit, "edSiteAddrs");
    ed.SetFocus();
    EXPECT_TRUE(ed.IsFocused());
    bt.SetFocus();
    EXPECT_FALSE(ed.IsFocused());
    EXPECT_EQ(window.GetFocus(), &bt);

    Control& prog = window.AddControl(ControlKind::Progress, "progUpdate");
    prog.SetRange(0, 50);
    prog.SetValue(80);
    EXPECT_EQ(prog.GetValue(), 50);  // clamped to the range
}

TEST(ControlModel, OptionsOfAGroupAreSelectedOneAtATime) {
    HeadlessBackend backend;
    Window window(backend);
    std::vector<Control*> options;
    for (const char* name : {"opIIS", "opApache", "opTomcat", "opNginx"}) {
        options.push_back(&window.AddControl(ControlKind::Option, name));
        options.back()->SetGroup("GroupWebServiceType");
    }
    Control& other = window.AddControl(ControlKind::Option, "opOther");
    other.Select();
    options[0]->Select();
    options[3]->Select();
    EXPECT_FALSE(options[0]->IsSelected());
    EXPECT_TRUE(options[3]->IsSelected());
    EXPECT_TRUE(other.IsSelected());  // not in the group
    options[3]->Select(false);
    for (Control* op : options)
        EXPECT_FALSE(op->IsSelected());
}

TEST(ControlModel, ListenersSeeChangesAndConcurrentAppendsLoseNothing) {
    HeadlessBackend backend;
    Window window(backend);
    Control& txt = window.AddControl(ControlKind::Text, "txtResultData");
    std::vector<std::u16string> seen;
    const int id = window.AddChangeListener([&](const Control& c, Property p) {
        if (p == Property::Text)
            seen.push_back(c.GetText());  // reading inside a listener is allowed
    });
    txt.SetText(u"a");
    txt.SetText(u"a");  // unchanged: not reported
    txt.AppendText(u"b");
    EXPECT_EQ(seen, (std::vector<std::u16string>{u"a", u"ab"}));
    window.RemoveChangeListener(id);

    txt.SetText(u"");
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&txt] {
            for (int i = 0; i < 500; ++i)
                txt.AppendText(u"x");
        });
    }
    for (auto& w : writers)
        w.join();
    EXPECT_EQ(txt.GetText().size(), 2000u);
    EXPECT_EQ(seen.size(), 2u);  // the removed listener heard nothing more
}

TEST(Notifications, ClicksReachTheNotifierOnTheLoopThreadOnlyForUsableControls) {
    HeadlessBackend backend;
    RecordingWindow window(backend);
    window.AddControl(ControlKind::Container, "ctSetting");
    window.AddControl(ControlKind::Button, "btExeCopy", "ctSetting");
    Control& exe = window.AddControl(ControlKind::Button, "btExe");
    Control& op = window.AddControl(ControlKind::Option, "opNginx");

    std::thread presser([&] {
        window.PostClick("BTEXE");
        window.PostClick("opNginx");
    });
    presser.join();
    EXPECT_TRUE(backend.RunUntil([&] { return window.notes.size() == 2; }, 2s));
    EXPECT_EQ(window.notes, (std::vector<std::string>{"click:btExe", "click:opNginx"}));
    EXPECT_TRUE(window.onLoopThread);
    EXPECT_TRUE(op.IsSelected());

    exe.SetEnabled(false);
    window.FindControl("ctSetting")->SetVisible(false);
    EXPECT_FALSE(window.PerformClick("btExe"));
    EXPECT_FALSE(window.PerformClick("btExeCopy"));
    EXPECT_FALSE(window.PerformClick("btMissing"));
    EXPECT_EQ(window.notes.size(), 2u);

    window.PostKey(Key::Tab, true);
    window.PostKey(Key::Escape);
    EXPECT_TRUE(backend.RunUntil([&] { return window.keys.size() == 2; }, 2s));
    EXPECT_EQ(window.keys, (std::vector<std::string>{"ctrl+tab", "other"}));
}

TEST(Timers, RepeatUntilKilledAndStopWithTheWindow) {
    HeadlessBackend backend;
    RecordingWindow window(backend);
    int ticks = 0;
    window.SetTimer(1, 5, [&] {
        if (++ticks == 3)
            window.KillTimer(1);  // a tick may kill its own timer
    });
    EXPECT_FALSE(backend.RunUntil([] { return false; }, 100ms));
    EXPECT_EQ(ticks, 3);

    int later = 0;
    window.SetTimer(2, 5, [&] { ++later; });
    window.SetMainWindow(true);
    window.Close();
    backend.Run();  // returns because the main window went away
    EXPECT_TRUE(window.IsClosed());
    const int atClose = later;
    backend.RunUntil([] { return false; }, 50ms);
    EXPECT_EQ(later, atClose);
}

TEST(WindowLife, CloseAsksTheWindowAndEndsTheLoopOnlyWhenItAgrees) {
    HeadlessBackend backend;
    RecordingWindow window(backend);
    window.SetMainWindow(true);
    window.refuseCloses = 1;
    window.Close();
    EXPECT_FALSE(backend.RunUntil([&] { return window.IsClosed(); }, 100ms));
    EXPECT_EQ(window.closeAsks, 1);
    EXPECT_EQ(window.finalMessages, 0);

    // A close from another thread (a worker giving up its wait) is served
    // by the loop.
    std::thread closer([&] { window.Close(); });
    closer.join();
    backend.Run();
    EXPECT_TRUE(window.IsClosed());
    EXPECT_EQ(window.finalMessages, 1);
    EXPECT_FALSE(window.PerformClick("anything"));
}

TEST(HeadlessBackend, QuitBeforeRunReturnsAtOnceAndPostedTasksRunInOrder) {
    HeadlessBackend backend;
    std::vector<int> order;
    backend.Post([&] { order.push_back(1); });
    backend.Post([&] {
        order.push_back(2);
        backend.Quit();
    });
    backend.Post([&] { order.push_back(3); });
    backend.Run();
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    backend.Quit();
    backend.Run();  // a quit asked before the loop runs ends it at once
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    backend.Post([&] { backend.Quit(); });
    backend.Run();
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

}  // namespace
}  // namespace qm::ui

#include "tray_icon.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct ShellCall {
    uint32_t operation;
    TRAY_NotifyData data;
};
std::vector<ShellCall> g_calls;
int g_shellAnswer = 1;

int RecordShell(uint32_t operation, const TRAY_NotifyData *data)
{
    g_calls.push_back({operation, *data});
    return g_shellAnswer;
}

TRAY_IconHandle FakeIcon(uintptr_t n)
{
    return reinterpret_cast<TRAY_IconHandle>(0x50000 + n * 16);
}

// Every shell call recorded in place of the shell.
class TrayIcon : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_calls.clear();
        g_shellAnswer = 1;
        TRAY_SetShellHook(RecordShell);
    }
    void TearDown() override { TRAY_SetShellHook(nullptr); }
};

TEST_F(TrayIcon, IconOperationsReachTheShellOnlyWhenTheyChangeSomething)
{
    CTrayIcon icon;
    CTrayIcon next;
    EXPECT_EQ(next.Id(), icon.Id() + 1);
    EXPECT_FALSE(icon.IsVisible());

    // Invisible: everything is stored, nothing is shown.
    icon.SetIcon(FakeIcon(1), true);
    icon.SetTooltip("tip");
    EXPECT_TRUE(g_calls.empty());

    ASSERT_TRUE(icon.SetVisible(true));
    ASSERT_EQ(g_calls.size(), 1u);
    const ShellCall &add = g_calls[0];
    EXPECT_EQ(add.operation, TRAY_NIM_ADD);
    EXPECT_EQ(add.data.version, TRAY_NOTIFY_V1);
    EXPECT_EQ(add.data.id, icon.Id());
    EXPECT_EQ(add.data.window, CTrayIcon::GetMessageWindow());
    EXPECT_NE(add.data.window, nullptr);
    EXPECT_EQ(add.data.flags, TRAY_NIF_MESSAGE | TRAY_NIF_ICON | TRAY_NIF_TIP);
    EXPECT_EQ(add.data.callbackMessage, 0x464u);
    EXPECT_EQ(add.data.icon, FakeIcon(1));
    EXPECT_STREQ(add.data.tip, "tip");

    // Already visible, the same handle again: nothing.
    EXPECT_TRUE(icon.SetVisible(true));
    icon.SetIcon(FakeIcon(1), true);
    EXPECT_EQ(g_calls.size(), 1u);

    // No handle shows the system's application icon.
    icon.SetIcon(nullptr, false);
    ASSERT_EQ(g_calls.size(), 2u);
    EXPECT_EQ(g_calls[1].operation, TRAY_NIM_MODIFY);
    EXPECT_EQ(g_calls[1].data.flags, TRAY_NIF_ICON);
    EXPECT_EQ(g_calls[1].data.icon, TRAY_DefaultIcon());
    EXPECT_EQ(icon.Icon(), nullptr);

    // A long tip is cut to 127 characters in the shell's record, kept whole here.
    std::string longTip(200, 't');
    icon.SetTooltip(longTip.c_str());
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[2].data.flags, TRAY_NIF_TIP);
    EXPECT_EQ(std::string(g_calls[2].data.tip), longTip.substr(0, 127));
    EXPECT_EQ(icon.Tooltip(), longTip);

    EXPECT_TRUE(icon.SetVisible(false));
    ASSERT_EQ(g_calls.size(), 4u);
    EXPECT_EQ(g_calls[3].operation, TRAY_NIM_DELETE);
    EXPECT_EQ(g_calls[3].data.id, icon.Id());
}

TEST_F(TrayIcon, ARefusedAddKeepsTheIconVisibleForTheNextTaskbar)
{
    CTrayIcon shown, hidden, refused;
    shown.SetIcon(FakeIcon(2), false);
    shown.SetTooltip("shown");
    ASSERT_TRUE(shown.SetVisible(true));
    g_shellAnswer = 0;
    EXPECT_FALSE(refused.SetVisible(true));
    EXPECT_TRUE(refused.IsVisible());
    g_shellAnswer = 1;
    shown.SetIcon(FakeIcon(3), false);
    g_calls.clear();

    // The shell restarted: every visible icon again, in id order, as it is now.
    uint32_t taskbarCreated = TRAY_TaskbarCreatedMessage();
    ASSERT_NE(taskbarCreated, 0u);
    CTrayIcon::MessageWndProc(CTrayIcon::GetMessageWindow(), taskbarCreated, 0, 0);
    std::vector<uint32_t> added;
    for (const ShellCall &c : g_calls) {
        EXPECT_EQ(c.operation, TRAY_NIM_ADD);
        added.push_back(c.data.id);
    }
    // GUI_TrayIcon and icons of other tests may be visible too; only ours count.
    std::vector<uint32_t> ours;
    for (uint32_t id : added)
        if (id == shown.Id() || id == hidden.Id() || id == refused.Id())
            ours.push_back(id);
    EXPECT_EQ(ours, (std::vector<uint32_t>{shown.Id(), refused.Id()}));
    for (const ShellCall &c : g_calls)
        if (c.data.id == shown.Id()) {
            EXPECT_EQ(c.data.icon, FakeIcon(3));
            EXPECT_STREQ(c.data.tip, "shown");
        }
}

TEST_F(TrayIcon, MouseMessagesGoToTheIconTheyNameOnly)
{
    static std::vector<std::pair<CTrayIcon *, uint32_t>> seen;
    seen.clear();
    CTrayIcon a, b;
    a.callback = [](CTrayIcon *icon, uint32_t message) {
        seen.push_back({icon, message});
        return 0;
    };
    TRAY_WindowHandle window = CTrayIcon::GetMessageWindow();
    const uint32_t kRightButtonUp = 0x205, kLeftDoubleClick = 0x203;
    EXPECT_EQ(CTrayIcon::MessageWndProc(window, WM_TRAYICON_NOTIFY, a.Id(), kRightButtonUp), 0);
    CTrayIcon::MessageWndProc(window, WM_TRAYICON_NOTIFY, b.Id(), kLeftDoubleClick);  // no callback
    uint32_t gone;
    {
        CTrayIcon c;
        c.callback = a.callback;
        gone = c.Id();
    }
    EXPECT_EQ(CTrayIcon::FindIcon(gone), nullptr);
    CTrayIcon::MessageWndProc(window, WM_TRAYICON_NOTIFY, gone, kLeftDoubleClick);
    CTrayIcon::MessageWndProc(window, WM_TRAYICON_NOTIFY, 0xFFFF, kLeftDoubleClick);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].first, &a);
    EXPECT_EQ(seen[0].second, kRightButtonUp);
    EXPECT_EQ(CTrayIcon::FindIcon(a.Id()), &a);
}

TEST_F(TrayIcon, DestroyingAVisibleIconRemovesItWithoutDestroyingItsHandle)
{
    uint32_t id;
    {
        CTrayIcon icon;
        id = icon.Id();
        icon.SetIcon(FakeIcon(4), false);
        icon.SetVisible(true);
        g_calls.clear();
    }
    // One delete and nothing else: the handle is dropped, never shown again.
    ASSERT_EQ(g_calls.size(), 1u);
    EXPECT_EQ(g_calls[0].operation, TRAY_NIM_DELETE);
    EXPECT_EQ(g_calls[0].data.id, id);
    EXPECT_EQ(CTrayIcon::FindIcon(id), nullptr);
}

TEST_F(TrayIcon, BalloonsAreCutToTheirFieldsAndNeedAVisibleIcon)
{
    CTrayIcon icon;
    EXPECT_FALSE(icon.ShowBalloon("Info", "hidden"));
    EXPECT_TRUE(g_calls.empty());

    icon.SetVisible(true);
    g_calls.clear();
    std::string title(100, 'T'), text(300, 'x');
    EXPECT_TRUE(icon.ShowBalloon(title.c_str(), text.c_str()));
    ASSERT_EQ(g_calls.size(), 1u);
    const TRAY_NotifyData &d = g_calls[0].data;
    EXPECT_EQ(g_calls[0].operation, TRAY_NIM_MODIFY);
    EXPECT_EQ(d.version, TRAY_NOTIFY_V2);
    EXPECT_EQ(d.flags, TRAY_NIF_INFO);
    EXPECT_EQ(d.id, icon.Id());
    EXPECT_EQ(d.timeout, 10000u);
    EXPECT_EQ(d.infoFlags, 0u);
    EXPECT_EQ(std::string(d.infoTitle), title.substr(0, 63));
    EXPECT_EQ(std::string(d.info), text.substr(0, 255));

    g_shellAnswer = 0;
    EXPECT_FALSE(icon.ShowBalloon("Error", "refused"));
}

TEST_F(TrayIcon, TheClientIconTakesResourceIconsAndBalloons)
{
    bool wasVisible = GUI_TrayIcon.IsVisible();
    EXPECT_EQ(GUI_ShowBalloon("Info", "text"), wasVisible ? 1 : 0);
    GUI_TrayIcon.SetVisible(true);
    g_calls.clear();

    GUI_SetTrayIcon(110);
    EXPECT_EQ(GUI_TrayIcon.Icon(), TRAY_LoadIcon(110));
    EXPECT_EQ(GUI_ShowBalloon("Connecting", "Connecting to \"gw\":443"), 1);
    ASSERT_FALSE(g_calls.empty());
    EXPECT_EQ(g_calls.back().data.id, GUI_TrayIcon.Id());
    EXPECT_STREQ(g_calls.back().data.infoTitle, "Connecting");

    GUI_TrayIcon.SetIcon(nullptr, false);
    GUI_TrayIcon.SetVisible(wasVisible);
}

} // namespace

#include "tray_icon.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::pair<uint32_t, TRAY_NotifyData>> g_calls;

int RecordShell(uint32_t operation, const TRAY_NotifyData *data)
{
    g_calls.push_back({operation, *data});
    return 1;
}

TEST(TrayIconWindow, OneHiddenMessageWindowForEveryIcon)
{
    HWND window = static_cast<HWND>(CTrayIcon::GetMessageWindow());
    ASSERT_TRUE(IsWindow(window));
    EXPECT_EQ(CTrayIcon::GetMessageWindow(), window);
    char text[64] = "";
    GetClassNameA(window, text, sizeof text);
    EXPECT_STREQ(text, "TRAY_ICON_MESSAGE_PROCESSOR_WND_CLASS");
    GetWindowTextA(window, text, sizeof text);
    EXPECT_STREQ(text, "TRAY_ICON_MESSAGE_PROCESSOR_WND");
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
}

// The system's shell answers: an icon it has is changed and removed, one it
// never had cannot be removed.
TEST(TrayIconWindow, TheShellAddsChangesAndRemovesTheIcon)
{
    CTrayIcon icon;
    EXPECT_FALSE(icon.RemoveIcon());
    icon.SetIcon(LoadIconA(nullptr, IDI_INFORMATION), false);
    icon.SetTooltip("Vantorelle test icon");
    ASSERT_TRUE(icon.SetVisible(true));
    EXPECT_TRUE(icon.ShowBalloon("Info", "A balloon from the test"));
    icon.SetIcon(nullptr, false);
    icon.SetTooltip(std::string(200, 'x').c_str());
    EXPECT_TRUE(icon.SetVisible(false));
    EXPECT_FALSE(icon.RemoveIcon());
    EXPECT_FALSE(icon.ShowBalloon("Info", "hidden"));
}

// Mouse messages and the taskbar's re-creation arrive as window messages.
TEST(TrayIconWindow, WindowMessagesReachTheIcons)
{
    static std::vector<uint32_t> seen;
    seen.clear();
    g_calls.clear();
    TRAY_SetShellHook(RecordShell);
    {
        CTrayIcon shown, hidden;
        shown.callback = [](CTrayIcon *, uint32_t message) {
            seen.push_back(message);
            return 0;
        };
        shown.SetVisible(true);
        HWND window = static_cast<HWND>(CTrayIcon::GetMessageWindow());
        EXPECT_EQ(SendMessageA(window, WM_TRAYICON_NOTIFY, shown.Id(), WM_RBUTTONUP), 0);
        SendMessageA(window, WM_TRAYICON_NOTIFY, hidden.Id(), WM_LBUTTONDBLCLK);
        EXPECT_EQ(seen, std::vector<uint32_t>{WM_RBUTTONUP});

        g_calls.clear();
        SendMessageA(window, RegisterWindowMessageA("TaskbarCreated"), 0, 0);
        bool shownAdded = false;
        for (auto &c : g_calls) {
            EXPECT_EQ(c.first, TRAY_NIM_ADD);
            EXPECT_NE(c.second.id, hidden.Id());
            shownAdded = shownAdded || c.second.id == shown.Id();
        }
        EXPECT_TRUE(shownAdded);
    }
    TRAY_SetShellHook(nullptr);
}

} // namespace

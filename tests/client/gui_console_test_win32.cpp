#include "gui_console.h"

#include "errorinfo.h"
#include "gui_log.h"
#include "gui_win32.h"

#include <windows.h>
#include <commdlg.h>
#include <richedit.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// One console for the whole program, as in the client: it is never destroyed.
class Console : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        LoadLibraryA("RICHED32.DLL");
        ASSERT_EQ(GUI_RegisterConsoleClass(), 1);
        ASSERT_EQ(GUI_RegisterConsoleClass(), 1);  // registered before: still fine
        window_ = static_cast<HWND>(GUI_CreateConsoleWindow());
        control_ = FindWindowExA(window_, nullptr, "RichEdit", nullptr);
    }
    static void TearDownTestSuite()
    {
        // Later tests log from threads while this one waits without pumping.
        GUI_SetConsoleAppend(nullptr);
        GUI_SetConsoleTextLimit(0);
    }
    void SetUp() override
    {
        ASSERT_TRUE(IsWindow(window_));
        ASSERT_TRUE(IsWindow(control_));
    }

    static std::string Text()
    {
        int n = GetWindowTextLengthA(control_);
        std::string text(n + 1, '\0');
        GetWindowTextA(control_, &text[0], n + 1);
        text.resize(strlen(text.c_str()));
        return text;
    }
    // Character position of the first match after from, -1 when absent.
    static LONG Find(const char *what, LONG from = 0)
    {
        FINDTEXTA find = {{from, -1}, what};
        return static_cast<LONG>(SendMessageA(control_, EM_FINDTEXT, FR_DOWN | FR_MATCHCASE,
                                              reinterpret_cast<LPARAM>(&find)));
    }
    static COLORREF ColourAt(LONG position)
    {
        SendMessageA(control_, EM_SETSEL, position, position + 1);
        CHARFORMATA format = {};
        format.cbSize = sizeof format;
        SendMessageA(control_, EM_GETCHARFORMAT, SCF_SELECTION, reinterpret_cast<LPARAM>(&format));
        return format.crTextColor;
    }
    // Waits for a thread while handling the messages it sends.
    static void PumpUntil(HANDLE thread)
    {
        for (int rounds = 0; rounds < 1000; rounds++) {
            DWORD rc = MsgWaitForMultipleObjects(1, &thread, FALSE, 10000, QS_ALLINPUT);
            if (rc != WAIT_OBJECT_0 + 1)
                break;
            MSG msg;
            while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) {
                TranslateMessage(&msg);
                DispatchMessageA(&msg);
            }
        }
        ASSERT_EQ(WaitForSingleObject(thread, 0), WAIT_OBJECT_0);
        CloseHandle(thread);
    }

    static HWND window_;
    static HWND control_;
};
HWND Console::window_ = nullptr;
HWND Console::control_ = nullptr;

TEST_F(Console, CreatedHiddenWithItsControlAndFirstLine)
{
    EXPECT_EQ(static_cast<HWND>(GUI_ConsoleWindow), window_);
    char text[64] = "";
    GetClassNameA(window_, text, sizeof text);
    EXPECT_STREQ(text, "DiagConsoleWndClass");
    GetWindowTextA(window_, text, sizeof text);
    EXPECT_STREQ(text, "Diagnostic Console - Quorvanti Vantorelle SSL VPN");
    EXPECT_FALSE(IsWindowVisible(window_));
    LONG_PTR style = GetWindowLongPtrA(control_, GWL_STYLE);
    EXPECT_EQ(style & (ES_READONLY | ES_MULTILINE | WS_VSCROLL), ES_READONLY | ES_MULTILINE | WS_VSCROLL);

    CHARFORMATA format = {};
    format.cbSize = sizeof format;
    SendMessageA(control_, EM_GETCHARFORMAT, SCF_DEFAULT, reinterpret_cast<LPARAM>(&format));
    EXPECT_STREQ(format.szFaceName, "Courier New");
    EXPECT_EQ(format.yHeight, 180);

    // "[stamp] " in white, then the line in green.
    std::string all = Text();
    ASSERT_EQ(all.rfind("[", 0), 0u) << all;
    LONG line = Find("Diagnostic console window created");
    ASSERT_GT(line, 0);
    EXPECT_EQ(ColourAt(0), GUI_COLOUR_WHITE);
    EXPECT_EQ(ColourAt(line - 1), GUI_COLOUR_WHITE);
    EXPECT_EQ(ColourAt(line), GUI_COLOUR_GREEN);
}

struct ThreadLog {
    HWND control;
    std::vector<int> lengths;   // the console's length after each call returned
};

DWORD WINAPI LogFromAnotherThread(void *arg)
{
    ThreadLog *log = static_cast<ThreadLog *>(arg);
    auto after = [log] { log->lengths.push_back(GetWindowTextLengthA(log->control)); };
    GUI_Print(0, 1, "orange without stamp\n");
    after();
    GUI_Debug("DEBUG: blue with stamp\n");
    after();
    GUI_Trace("PPP", 3, "IPCP: cyan");
    after();
    GUI_Trace("PPP", 2, "IPCP: light red");
    after();
    GUI_Trace("PPP", 4, "VSP: yellow");
    after();
    ErrorInfo chain = {};
    ERRORINFO_Set(&chain, "gui", 1, "red first entry");
    GUI_PrintErrorChain(2, &chain);
    ERRORINFO_Clear(&chain, nullptr, 0);
    after();
    return 0;
}

TEST_F(Console, LinesOfAnotherThreadArriveWholeInTheirLevelsColours)
{
    ThreadLog log = {control_, {}};
    int before = GetWindowTextLengthA(control_);
    HANDLE thread = CreateThread(nullptr, 0, LogFromAnotherThread, &log, 0, nullptr);
    ASSERT_NE(thread, nullptr);
    PumpUntil(thread);

    // Each call returned only after the GUI thread had appended its text.
    ASSERT_EQ(log.lengths.size(), 6u);
    int last = before;
    for (int length : log.lengths) {
        EXPECT_GT(length, last);
        last = length;
    }

    struct Row {
        const char *text;
        COLORREF colour;
        bool stamped;
    } rows[] = {
        {"orange without stamp", GUI_COLOUR_ORANGE, false},
        {"DEBUG: blue with stamp", GUI_COLOUR_LIGHT_BLUE, true},
        {"[  PPP:  3] IPCP: cyan", GUI_COLOUR_LIGHT_CYAN, true},
        {"[  PPP:  2] IPCP: light red", GUI_COLOUR_LIGHT_RED, true},
        {"[  PPP:  4] VSP: yellow", GUI_COLOUR_LIGHT_YELLOW, true},
        {"ERROR: red first entry", GUI_COLOUR_RED, true},
    };
    LONG from = 0;
    for (const Row &r : rows) {
        LONG at = Find(r.text, from);
        ASSERT_GE(at, 0) << r.text;
        EXPECT_EQ(ColourAt(at), r.colour) << r.text;
        EXPECT_EQ(ColourAt(at + static_cast<LONG>(strlen(r.text)) - 1), r.colour) << r.text;
        // The error chain's stamp is red too; every other stamp is white.
        COLORREF stamp = r.colour == GUI_COLOUR_RED ? GUI_COLOUR_RED : GUI_COLOUR_WHITE;
        if (r.stamped)
            EXPECT_EQ(ColourAt(at - 1), stamp) << r.text;
        else
            EXPECT_NE(ColourAt(at - 1), GUI_COLOUR_WHITE) << r.text;
        from = at;
    }
}

// Lines logged before the console was ever shown: once shown, the pane ends
// on the last line of text, filled above it, never scrolled past the text.
// (Runs before any other test shows the window.)
TEST_F(Console, OpensOnItsLastLine)
{
    ASSERT_FALSE(IsWindowVisible(window_));
    char line[64];
    for (int i = 0; i < 120; i++) {
        snprintf(line, sizeof line, "hidden line %03d\r\n", i);
        GUI_ConsoleAppendText(line, GUI_COLOUR_WHITE);
    }
    GUI_ShowConsoleWindow();
    RECT client;
    GetClientRect(control_, &client);
    LONG at = Find("hidden line 119");
    ASSERT_GE(at, 0);
    POINTL pos = {};
    SendMessageA(control_, EM_POSFROMCHAR, reinterpret_cast<WPARAM>(&pos), at);
    EXPECT_GE(pos.y, 0) << "the last line is above the pane";
    EXPECT_LT(pos.y, client.bottom) << "the last line is below the pane";
    EXPECT_GE(pos.y, client.bottom / 2) << "the pane shows empty space under the text";
    EXPECT_GT(SendMessageA(control_, EM_GETFIRSTVISIBLELINE, 0, 0), 0);
    ShowWindow(window_, SW_HIDE);
}

TEST_F(Console, ClosingHidesTheWindowAndKeepsItsLines)
{
    std::string before = Text();
    GUI_ShowConsoleWindow();
    EXPECT_TRUE(IsWindowVisible(window_));
    SendMessageA(window_, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(window_));
    EXPECT_FALSE(IsWindowVisible(window_));
    GUI_ShowConsoleWindow();
    EXPECT_TRUE(IsWindowVisible(window_));
    EXPECT_EQ(Text(), before);
    ShowWindow(window_, SW_HIDE);

    // The control fills the client area but for 3 pixels on every side.
    SetWindowPos(window_, nullptr, 0, 0, 420, 300, SWP_NOMOVE | SWP_NOZORDER);
    RECT client, inner;
    GetClientRect(window_, &client);
    GetWindowRect(control_, &inner);
    MapWindowPoints(nullptr, window_, reinterpret_cast<POINT *>(&inner), 2);
    EXPECT_EQ(inner.left, 3);
    EXPECT_EQ(inner.top, 3);
    EXPECT_EQ(inner.right, client.right - 3);
    EXPECT_EQ(inner.bottom, client.bottom - 3);
}

TEST_F(Console, PastItsLimitTheConsoleDropsTheOldestWholeLines)
{
    GUI_SetConsoleTextLimit(4000);
    char line[64];
    for (int i = 0; i < 200; i++) {
        snprintf(line, sizeof line, "limit line %03d ..................................\r\n", i);
        GUI_ConsoleAppendText(line, GUI_COLOUR_GREEN);
    }
    std::string text = Text();
    EXPECT_LE(text.size(), 4000u);
    EXPECT_GT(text.size(), 1000u);
    EXPECT_EQ(text.rfind("limit line ", 0), 0u) << text.substr(0, 80);
    EXPECT_NE(text.find("limit line 199"), std::string::npos);
    EXPECT_EQ(text.find("limit line 000"), std::string::npos);
    EXPECT_EQ(ColourAt(Find("limit line 199")), GUI_COLOUR_GREEN);
    GUI_SetConsoleTextLimit(0);
}

} // namespace

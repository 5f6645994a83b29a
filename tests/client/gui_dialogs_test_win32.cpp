// The dialogs built from their templates. Needs the dialog resources linked
// into the test program and a display (under Wine an X server); without
// either the tests are skipped.
#include "gui_ui_win32.h"

#include "errorinfo.h"
#include "gui_resource.h"

#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

namespace {

DWORD g_fieldsThread = 0;

void ShowFields(const TUNLEX_Config *displayed)
{
    g_fieldsThread = GetCurrentThreadId();
    GUI_ShowConnectFields(displayed);
}

const GUI_StatusOps kQuietOps = {
    nullptr, nullptr, nullptr, ShowFields, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
};

std::string Text(HWND dialog, int id)
{
    char text[512] = "";
    GetDlgItemTextA(dialog, id, text, sizeof text);
    return text;
}

// The user's click: the box changes, then the dialog hears of it.
void Click(HWND dialog, int id)
{
    bool checked = IsDlgButtonChecked(dialog, id) == BST_CHECKED;
    CheckDlgButton(dialog, id, checked ? BST_UNCHECKED : BST_CHECKED);
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(GetDlgItem(dialog, id)));
}

std::string Title(HWND window)
{
    char text[512] = "";
    GetWindowTextA(window, text, sizeof text);
    return text;
}

bool ReadOnly(HWND dialog, int id)
{
    return (GetWindowLongA(GetDlgItem(dialog, id), GWL_STYLE) & ES_READONLY) != 0;
}

// Dialog units of the template against the window's client area.
void ExpectClientSize(HWND dialog, int width, int height)
{
    RECT units = {0, 0, width, height};
    ASSERT_TRUE(MapDialogRect(dialog, &units));
    RECT client;
    GetClientRect(dialog, &client);
    EXPECT_EQ(client.right, units.right);
    EXPECT_EQ(client.bottom, units.bottom);
}

class Dialogs : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!FindResourceA(nullptr, MAKEINTRESOURCEA(IDD_CONNECT), MAKEINTRESOURCEA(5)))
            GTEST_SKIP() << "dialog resources are not linked into this program";
        HWND probe = CreateWindowExA(0, "Static", "", WS_POPUP, 0, 0, 1, 1, nullptr, nullptr, nullptr, nullptr);
        if (!probe)
            GTEST_SKIP() << "no display for windows";
        DestroyWindow(probe);
        GUI_SetStatusOps(&kQuietOps);
        memset(&GUI_Options, 0, sizeof GUI_Options);
    }
    void TearDown() override
    {
        for (HWND window : windows_)
            DestroyWindow(window);
        GUI_ConnectDialog = nullptr;
        GUI_StatisticsWindow = nullptr;
        GUI_ActiveConnection = nullptr;
        GUI_SetStatusOps(nullptr);
    }
    HWND Create(int id, DLGPROC proc, HWND owner = nullptr)
    {
        HWND window = CreateDialogParamA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(id), owner, proc, 0);
        if (window)
            windows_.push_back(window);
        return window;
    }
    std::vector<HWND> windows_;
};

TEST_F(Dialogs, ConnectDialogPinsTheStartupServer)
{
    TUNLEX_Config &cfg = GUI_Options.defaultConfig;
    strcpy(cfg.server, "gw.example");
    strcpy(cfg.user, "alice");
    strcpy(cfg.fingerprint, "aa:bb");
    HWND dialog = Create(IDD_CONNECT, GUI_ConnectDlgProc);
    ASSERT_NE(dialog, nullptr);
    GUI_ConnectDialog = dialog;
    EXPECT_EQ(Title(dialog), "Connect - Quorvanti Vantorelle SSL VPN");
    ExpectClientSize(dialog, 200, 162);
    EXPECT_EQ(Text(dialog, IDOK), "Co&nnect");
    EXPECT_EQ(Text(dialog, IDC_CUSTOM_SERVER), "&Specify Custom Server");

    EXPECT_EQ(Text(dialog, IDC_ADDRESS), "gw.example");
    EXPECT_EQ(Text(dialog, IDC_PORT), "443");
    EXPECT_EQ(Text(dialog, IDC_USER), "alice");
    EXPECT_TRUE(ReadOnly(dialog, IDC_ADDRESS));
    EXPECT_TRUE(ReadOnly(dialog, IDC_PORT));
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_CUSTOM_SERVER), BST_UNCHECKED);
    EXPECT_TRUE(IsWindowEnabled(GetDlgItem(dialog, IDC_CUSTOM_SERVER)));

    Click(dialog, IDC_CUSTOM_SERVER);
    EXPECT_FALSE(ReadOnly(dialog, IDC_ADDRESS));
    SetDlgItemTextA(dialog, IDC_ADDRESS, "elsewhere.example");
    SetDlgItemTextA(dialog, IDC_PORT, "8443");
    Click(dialog, IDC_CUSTOM_SERVER);
    EXPECT_TRUE(ReadOnly(dialog, IDC_ADDRESS));
    EXPECT_EQ(Text(dialog, IDC_ADDRESS), "gw.example");
    EXPECT_EQ(Text(dialog, IDC_PORT), "443");

    // Without a fingerprint the check box is checked and fixed.
    TUNLEX_Config open = cfg;
    open.fingerprint[0] = '\0';
    GUI_ShowConfig(&open);
    EXPECT_EQ(IsDlgButtonChecked(dialog, IDC_CUSTOM_SERVER), BST_CHECKED);
    EXPECT_FALSE(IsWindowEnabled(GetDlgItem(dialog, IDC_CUSTOM_SERVER)));
    EXPECT_FALSE(ReadOnly(dialog, IDC_ADDRESS));

    // Closing only hides the dialog.
    ShowWindow(dialog, SW_SHOW);
    SendMessageA(dialog, WM_CLOSE, 0, 0);
    EXPECT_TRUE(IsWindow(dialog));
    EXPECT_FALSE(IsWindowVisible(dialog));
}

// The keyboard's characters as the system posts them, one UTF-16 unit a
// message, through the program's own loop.
void Type(HWND edit, const std::wstring &text)
{
    for (wchar_t unit : text)
        PostMessageW(edit, WM_CHAR, unit, 1);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE))
        GUI_DispatchMessage(&msg);
}

std::wstring WideText(HWND dialog, int id)
{
    wchar_t text[512] = L"";
    GetDlgItemTextW(dialog, id, text, 512);
    return text;
}

// A password is what the user typed, whatever the ANSI code page holds: the
// UTF-8 text for MS-CHAP, and for PAP and CHAP-MD5 the bytes the control
// gives as ANSI text, which are what these methods sent before.
TEST_F(Dialogs, PasswordIsReadAsTypedText)
{
    HWND dialog = GUI_CreateConnectDialog();
    ASSERT_NE(dialog, nullptr);
    windows_.push_back(dialog);
    GUI_ConnectDialog = dialog;
    // Windows keeps an ANSI edit control's text in the code page; Wine keeps
    // it wide and would pass the typing below, so the window's kind is checked.
    EXPECT_TRUE(IsWindowUnicode(dialog));
    EXPECT_TRUE(IsWindowUnicode(GetDlgItem(dialog, IDC_PASSWORD)));
    const std::wstring cyrillic = L"\u043f\u0430\u0440\u043e\u043b\u044c";
    const std::string cyrillicUtf8 = u8"\u043f\u0430\u0440\u043e\u043b\u044c";
    struct Case {
        const char *name;
        std::wstring typed;
        std::string utf8;
        std::wstring kept;      // the field's text after it is shown again
    } cases[] = {
        {"ASCII", L"secret", "secret", L"secret"},
        {"Latin-1", L"p\u00e4ss", u8"p\u00e4ss", L"p\u00e4ss"},
        {"Cyrillic", cyrillic, cyrillicUtf8, cyrillic},
        {"CJK", L"\u5bc6\u7801", u8"\u5bc6\u7801", L"\u5bc6\u7801"},
        {"outside the BMP", L"p\U0001F600ss", u8"p\U0001F600ss", L"p\U0001F600ss"},
        // 63 units are read; a pair across the cut is left out whole.
        {"cut at 63", std::wstring(70, L'\u0436'), [] {
             std::string s;
             for (int i = 0; i < 63; i++)
                 s += u8"\u0436";
             return s;
         }(), std::wstring(63, L'\u0436')},
        {"pair across the cut", std::wstring(62, L'a') + L"\U0001F600", std::string(62, 'a'),
         std::wstring(62, L'a')},
    };
    printf("ANSI code page %u\n", GetACP());
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        SetDlgItemTextW(dialog, IDC_PASSWORD, L"");
        Type(GetDlgItem(dialog, IDC_PASSWORD), c.typed);
        EXPECT_EQ(WideText(dialog, IDC_PASSWORD), c.typed) << "the typed text did not arrive whole";

        GUI_ConnectFields fields;
        GUI_ReadConnectDialog(dialog, &fields);
        EXPECT_EQ(std::string(fields.passwordUtf8), c.utf8);
        char ansi[CONFIG_PASSWORD_SIZE] = "";
        GetDlgItemTextA(dialog, IDC_PASSWORD, ansi, sizeof ansi);
        EXPECT_STREQ(fields.password, ansi);

        // Shown again, as after a cancel: the field holds the same text.
        TUNLEX_Config cfg = {};
        strcpy(cfg.server, "gw.example");
        strcpy(cfg.user, "alice");
        strcpy(cfg.password, fields.password);
        strcpy(cfg.passwordUtf8, fields.passwordUtf8);
        SetDlgItemTextW(dialog, IDC_PASSWORD, L"");
        GUI_ShowConnectFields(&cfg);
        EXPECT_EQ(WideText(dialog, IDC_PASSWORD), c.kept);
    }
}

TEST_F(Dialogs, ConfigFromTheConnectionThreadIsShownOnTheDialogThread)
{
    HWND dialog = Create(IDD_CONNECT, GUI_ConnectDlgProc);
    ASSERT_NE(dialog, nullptr);
    GUI_ConnectDialog = dialog;
    TUNLEX_Config cfg = {};
    strcpy(cfg.server, "from.thread.example");
    strcpy(cfg.user, "henry");
    std::atomic<bool> done{false};
    std::thread sender([&] {
        GUI_ShowConfigOnGuiThread(&cfg);
        done = true;
    });
    // The sender waits until this thread has handled its message.
    while (!done) {
        MSG msg;
        while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&msg);
        Sleep(1);
    }
    sender.join();
    EXPECT_EQ(g_fieldsThread, GetCurrentThreadId());
    EXPECT_STREQ(GUI_DisplayedConfig.server, "from.thread.example");
    EXPECT_EQ(Text(dialog, IDC_ADDRESS), "from.thread.example");
}

TEST_F(Dialogs, OtpOkIsEnabledOnlyWithACode)
{
    HWND owner = Create(IDD_CONNECT, GUI_ConnectDlgProc);
    ASSERT_NE(owner, nullptr);
    HWND dialog = Create(IDD_OTP, GUI_OtpDlgProc, owner);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(Title(dialog), "Enter OTP - Quorvanti Vantorelle SSL VPN");
    ExpectClientSize(dialog, 179, 77);
    HWND ok = GetDlgItem(dialog, IDOK);
    EXPECT_FALSE(IsWindowEnabled(ok));
    SetDlgItemTextA(dialog, IDC_OTP_CODE, "654321");
    EXPECT_TRUE(IsWindowEnabled(ok));
    SetDlgItemTextA(dialog, IDC_OTP_CODE, "");
    EXPECT_FALSE(IsWindowEnabled(ok));

    SetDlgItemTextA(dialog, IDC_OTP_CODE, std::string(80, '7').c_str());
    SendMessageA(dialog, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_EQ(std::string(GUI_OtpCode()), std::string(63, '7'));
}

TEST_F(Dialogs, StatisticsLabelsFollowTheConnection)
{
    HWND window = Create(IDD_STATISTICS, GUI_StatisticsWndProc);
    ASSERT_NE(window, nullptr);
    GUI_StatisticsWindow = window;
    EXPECT_EQ(Title(window), "Statistics - Quorvanti Vantorelle SSL VPN");
    ExpectClientSize(window, 194, 177);
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(Text(window, IDC_BYTES_SENT), "0");
    EXPECT_EQ(Text(window, IDC_CLIENT_IP), "");
    EXPECT_EQ(Text(window, IDC_GROUP_STATISTICS), "Connection Statistics");
    EXPECT_TRUE(GetWindowLongA(GetDlgItem(window, IDC_BYTES_SENT), GWL_STYLE) & SS_RIGHT);

    TUNLEX_Connection *conn = TUNLEX_Create();
    ASSERT_NE(conn, nullptr);
    conn->stats.bytesSent = 1048576;
    conn->stats.receiveRate = 1023;
    conn->netcfg.ClientIP = 0x0500000A;     // 10.0.0.5 in memory order
    GUI_ActiveConnection = conn;
    SendMessageA(window, WM_TIMER, IDT_STATISTICS, 0);
    EXPECT_EQ(Text(window, IDC_BYTES_SENT), "1.0");
    EXPECT_EQ(Text(window, IDC_CLIENT_IP), "10.0.0.5");
    // Unchanged values keep their label: the received counter still shows "0".
    EXPECT_EQ(Text(window, IDC_BYTES_RECEIVED), "0");

    SendMessageA(window, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    EXPECT_FALSE(IsWindowVisible(window));
}

TEST_F(Dialogs, AboutBoxAndTrayMenu)
{
    HWND about = Create(IDD_ABOUT, GUI_AboutDlgProc);
    ASSERT_NE(about, nullptr);
    EXPECT_EQ(Title(about), "About - Quorvanti Vantorelle SSL VPN");
    EXPECT_EQ(Text(about, IDC_ABOUT_VERSION), "Version: 2.02.01.01");
    EXPECT_EQ(Text(about, IDC_ABOUT_BUILD), "Build: 2020-03-31 10:38 (a3c192e)");

    HMENU menu = GUI_BuildTrayMenu(TUNLEX_STATE_CONNECTED, 1);
    ASSERT_NE(menu, nullptr);
    EXPECT_EQ(GetMenuItemCount(menu), 12);
    EXPECT_EQ(GetMenuDefaultItem(menu, FALSE, 0), static_cast<UINT>(IDM_STATISTICS));
    EXPECT_TRUE(GetMenuState(menu, IDM_CONNECT, MF_BYCOMMAND) & MF_GRAYED);
    EXPECT_FALSE(GetMenuState(menu, IDM_DISCONNECT, MF_BYCOMMAND) & MF_GRAYED);
    EXPECT_TRUE(GetMenuState(menu, IDM_AUTO_RECONNECT, MF_BYCOMMAND) & MF_CHECKED);
    char text[64] = "";
    GetMenuStringA(menu, IDM_ABOUT, text, sizeof text, MF_BYCOMMAND);
    EXPECT_STREQ(text, "About...");
    DestroyMenu(menu);
}

} // namespace

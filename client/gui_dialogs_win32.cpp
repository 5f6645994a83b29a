// The connect dialog, the one-time-password dialog, the about box, the tray
// icon's mouse handling with its menu, and the creation of the windows.
// Everything here runs on the GUI thread.
#include "gui_win32.h"

#include "gui_ui_win32.h"
#include "gui_log.h"
#include "gui_resource.h"
#include "gui_ui.h"
#include "str.h"

HWND GUI_StatisticsWindow = nullptr;
HWND GUI_ConnectDialog = nullptr;

namespace {

const char kConnectTitle[] = "Connect - Quorvanti Vantorelle SSL VPN";
const char kOtpTitle[] = "Enter OTP - Quorvanti Vantorelle SSL VPN";
const char kAboutTitle[] = "About - Quorvanti Vantorelle SSL VPN";

// The dialog while it is being initialised, before CreateDialogParamA has
// returned its handle into GUI_ConnectDialog.
HWND g_connect = nullptr;

char g_otpPrompt[GUI_OTP_PROMPT_SIZE];
char g_otpCode[GUI_OTP_CODE_SIZE];

bool g_aboutOpen = false;

HINSTANCE Module()
{
    return GetModuleHandleA(nullptr);
}

HWND ConnectWindow()
{
    return GUI_ConnectDialog ? GUI_ConnectDialog : g_connect;
}

void SetWindowIcons(HWND window)
{
    HICON icon = LoadIconA(Module(), MAKEINTRESOURCEA(IDI_APP));
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
}

void SetDefaultFont(HWND dialog, const int *ids, int count)
{
    HGDIOBJ font = GetStockObject(DEFAULT_GUI_FONT);
    for (int i = 0; i < count; ++i)
        SendDlgItemMessageA(dialog, ids[i], WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
}

void SetServerReadOnly(HWND dialog, BOOL readOnly)
{
    SendDlgItemMessageA(dialog, IDC_ADDRESS, EM_SETREADONLY, readOnly, 0);
    SendDlgItemMessageA(dialog, IDC_PORT, EM_SETREADONLY, readOnly, 0);
}

// The password as typed, read once as wide text: the ANSI code page's bytes
// for PAP and CHAP-MD5 (what the control's ANSI text was), UTF-8 for MS-CHAP,
// which hashes characters the code page may lack.
void ReadPassword(HWND dialog, GUI_ConnectFields *fields)
{
    // Room for more than 63 units: the ANSI text is cut at 63 bytes, as the
    // control's ANSI read cut it.
    wchar_t typed[2 * CONFIG_PASSWORD_SIZE] = L"";
    GetDlgItemTextW(dialog, IDC_PASSWORD, typed, 2 * CONFIG_PASSWORD_SIZE);
    // Room for any code page's bytes of that text: a conversion that runs
    // out of room fails and leaves no defined text.
    char ansi[4 * 2 * CONFIG_PASSWORD_SIZE];
    if (!WideCharToMultiByte(CP_ACP, 0, typed, -1, ansi, sizeof ansi, nullptr, nullptr))
        ansi[0] = '\0';
    STR_LCopy(fields->password, ansi, sizeof fields->password);
    // MS-CHAP takes 63 units; a character of two across the cut is left out whole.
    int units = CONFIG_PASSWORD_SIZE - 1;
    if (IS_HIGH_SURROGATE(typed[units - 1]))
        units--;
    typed[units] = L'\0';
    if (!WideCharToMultiByte(CP_UTF8, 0, typed, -1, fields->passwordUtf8,
                             sizeof fields->passwordUtf8, nullptr, nullptr))
        fields->passwordUtf8[0] = '\0';
    SecureZeroMemory(typed, sizeof typed);
    SecureZeroMemory(ansi, sizeof ansi);
}

void ShowPassword(HWND dialog, const GUI_ConnectFields &fields)
{
    wchar_t text[CONFIG_PASSWORD_UTF8_SIZE] = L"";
    if (!fields.passwordUtf8[0] ||
        !MultiByteToWideChar(CP_UTF8, 0, fields.passwordUtf8, -1, text, CONFIG_PASSWORD_UTF8_SIZE))
        MultiByteToWideChar(CP_ACP, 0, fields.password, -1, text, CONFIG_PASSWORD_UTF8_SIZE);
    SetDlgItemTextW(dialog, IDC_PASSWORD, text);
    SecureZeroMemory(text, sizeof text);
}

// The controls give at most room - 1 characters: 63 for user, password and
// code, 255 for the address, 7 for the port.
void ReadFields(HWND dialog, GUI_ConnectFields *fields)
{
    ZeroMemory(fields, sizeof *fields);
    GetDlgItemTextA(dialog, IDC_USER, fields->user, sizeof fields->user);
    ReadPassword(dialog, fields);
    GetDlgItemTextA(dialog, IDC_ADDRESS, fields->address, sizeof fields->address);
    GetDlgItemTextA(dialog, IDC_PORT, fields->port, sizeof fields->port);
    fields->customServer = IsDlgButtonChecked(dialog, IDC_CUSTOM_SERVER) == BST_CHECKED;
    fields->customEnabled = IsWindowEnabled(GetDlgItem(dialog, IDC_CUSTOM_SERVER)) != 0;
}

void InitConnectDialog(HWND dialog)
{
    g_connect = dialog;
    SetWindowTextA(dialog, kConnectTitle);
    HWND banner = CreateWindowExA(0, "Static", nullptr, WS_CHILD | WS_VISIBLE | SS_BITMAP | SS_REALSIZEIMAGE,
                                  0, 0, 300, 63, dialog, reinterpret_cast<HMENU>(static_cast<INT_PTR>(-1)),
                                  Module(), nullptr);
    SetServerReadOnly(dialog, TRUE);
    if (banner) {
        SetClassLongPtrA(banner, GCL_STYLE, CS_HREDRAW | CS_VREDRAW);
        HANDLE bitmap = LoadImageA(Module(), MAKEINTRESOURCEA(IDB_BANNER), IMAGE_BITMAP, 0, 0,
                                   LR_CREATEDIBSECTION);
        SendMessageA(banner, STM_SETIMAGE, IMAGE_BITMAP, reinterpret_cast<LPARAM>(bitmap));
    }
    static const int fonts[] = {IDC_USER, IDC_PASSWORD, IDC_CUSTOM_SERVER, IDC_ADDRESS,
                                IDC_PORT, IDOK,     IDCANCEL};
    SetDefaultFont(dialog, fonts, sizeof fonts / sizeof fonts[0]);
    SetWindowIcons(dialog);
    GUI_InitConfigs();
}

void CustomServerClicked(HWND dialog)
{
    GUI_ConnectFields fields;
    ReadFields(dialog, &fields);
    if (GUI_CustomServerChanged(&fields, fields.customServer)) {
        SetDlgItemTextA(dialog, IDC_ADDRESS, fields.address);
        SetDlgItemTextA(dialog, IDC_PORT, fields.port);
    }
    SetServerReadOnly(dialog, fields.serverReadOnly ? TRUE : FALSE);
}

void OtpRequested(HWND dialog)
{
    ShowWindow(dialog, SW_SHOW);
    SetForegroundWindow(dialog);
    GUI_OtpPrompt(g_otpPrompt, sizeof g_otpPrompt);
    INT_PTR answer = DialogBoxParamA(Module(), MAKEINTRESOURCEA(IDD_OTP), dialog, GUI_OtpDlgProc, 0);
    if (answer == IDOK) {
        // Same user, password and server, with the gateway's state and the code.
        GUI_OtpTakeCode(g_otpCode);
        GUI_ConnectFromDialog(dialog);
    } else {
        GUI_OtpRefused();
        ShowWindow(dialog, SW_SHOW);
    }
}

void CentreOverOwner(HWND dialog)
{
    HWND owner = GetWindow(dialog, GW_OWNER);
    RECT area, own;
    GetWindowRect(owner ? owner : GetDesktopWindow(), &area);
    GetWindowRect(dialog, &own);
    int width = own.right - own.left, height = own.bottom - own.top;
    int left = area.left + ((area.right - area.left) - width) / 2;
    int top = area.top + ((area.bottom - area.top) - height) / 2;
    SetWindowPos(dialog, nullptr, left, top, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

void ShowAndRaise(HWND window)
{
    ShowWindow(window, SW_SHOW);
    if (IsIconic(window))
        ShowWindow(window, SW_RESTORE);
    SetForegroundWindow(window);
}

void RunTrayCommand(UINT command)
{
    switch (command) {
    case IDM_STATISTICS:
        ShowWindow(GUI_StatisticsWindow, SW_SHOW);
        SetForegroundWindow(GUI_StatisticsWindow);
        break;
    case IDM_CONNECT:
        ShowWindow(GUI_ConnectDialog, SW_SHOW);
        SetForegroundWindow(GUI_ConnectDialog);
        break;
    case IDM_DISCONNECT:
        GUI_Disconnect();
        break;
    case IDM_CONSOLE:
        GUI_ShowConsoleWindow();
        break;
    case IDM_EXIT:
        PostMessageA(GUI_StatisticsWindow, WM_CLOSE, 0, 0);
        break;
    case IDM_AUTO_RECONNECT:
        GUI_ToggleAutoReconnect();
        break;
    case IDM_ABOUT:
        GUI_ShowAbout();
        break;
    default:
        break;
    }
}

} // namespace

// ---- Connect dialog ----

void GUI_ReadConnectDialog(HWND dialog, GUI_ConnectFields *fields)
{
    ReadFields(dialog, fields);
}

void GUI_ConnectFromDialog(HWND dialog)
{
    ShowWindow(dialog, SW_HIDE);
    GUI_ConnectFields fields;
    ReadFields(dialog, &fields);
    GUI_ConnectFromFields(&fields);
}

void GUI_CancelDialog(HWND dialog)
{
    ShowWindow(dialog, SW_HIDE);
    GUI_ShowConfig(&GUI_DialogConfig);
    GUI_SetTrayIcon(IDI_DISCONNECTED);
}

void GUI_ShowConnectFields(const TUNLEX_Config *displayed)
{
    HWND dialog = ConnectWindow();
    if (!dialog)
        return;
    GUI_ConnectFields fields;
    GUI_ViewConfig(displayed, &fields);
    SetDlgItemTextA(dialog, IDC_PORT, fields.port);
    SetDlgItemTextA(dialog, IDC_ADDRESS, fields.address);
    SetDlgItemTextA(dialog, IDC_USER, fields.user);
    ShowPassword(dialog, fields);
    CheckDlgButton(dialog, IDC_CUSTOM_SERVER, fields.customServer ? BST_CHECKED : BST_UNCHECKED);
    EnableWindow(GetDlgItem(dialog, IDC_CUSTOM_SERVER), fields.customEnabled ? TRUE : FALSE);
    SetServerReadOnly(dialog, fields.serverReadOnly ? TRUE : FALSE);
}

void GUI_ShowConfigOnGuiThread(const TUNLEX_Config *cfg)
{
    HWND dialog = ConnectWindow();
    if (dialog && GetWindowThreadProcessId(dialog, nullptr) != GetCurrentThreadId())
        SendMessageA(dialog, WM_SHOW_CONFIG, 0, reinterpret_cast<LPARAM>(cfg));
    else
        GUI_ApplyConfig(cfg);
}

INT_PTR CALLBACK GUI_ConnectDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_INITDIALOG:
        InitConnectDialog(dialog);
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_CUSTOM_SERVER)
            CustomServerClicked(dialog);
        else if (LOWORD(wParam) == IDOK && HIWORD(wParam) == 0) {
            // A fresh authentication: no stale gateway state or code.
            GUI_ClearOtpState(&GUI_DialogConfig);
            GUI_ConnectFromDialog(dialog);
        } else if (LOWORD(wParam) == IDCANCEL && HIWORD(wParam) == 0) {
            GUI_CancelDialog(dialog);
        }
        break;
    case WM_OTP_PROMPT:
        OtpRequested(dialog);
        break;
    case WM_SHOW_CONFIG:
        GUI_ApplyConfig(reinterpret_cast<const TUNLEX_Config *>(lParam));
        break;
    case WM_CLOSE:
        // Consumed: the dialog manager would turn it into Cancel, which also
        // shows the disconnected icon while a connection may run.
        ShowWindow(dialog, SW_HIDE);
        SetWindowLongPtrA(dialog, DWLP_MSGRESULT, 0);
        return TRUE;
    case WM_DESTROY:
        ShowWindow(dialog, SW_HIDE);
        break;
    case WM_SIZE:
        if (wParam == SIZE_MINIMIZED)
            ShowWindow(dialog, SW_HIDE);
        break;
    default:
        break;
    }
    return FALSE;
}

// ---- One-time-password dialog ----

INT_PTR CALLBACK GUI_OtpDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG: {
        CentreOverOwner(dialog);
        SetWindowTextA(dialog, kOtpTitle);
        static const int fonts[] = {IDOK, IDCANCEL, IDC_OTP_CODE, IDC_OTP_PROMPT};
        SetDefaultFont(dialog, fonts, sizeof fonts / sizeof fonts[0]);
        SetWindowIcons(dialog);
        SetDlgItemTextA(dialog, IDC_OTP_PROMPT, g_otpPrompt);
        EnableWindow(GetDlgItem(dialog, IDOK), FALSE);
        HWND code = GetDlgItem(dialog, IDC_OTP_CODE);
        if (reinterpret_cast<HWND>(wParam) == code)
            return TRUE;
        SetFocus(code);
        return FALSE;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDC_OTP_CODE && HIWORD(wParam) == EN_CHANGE) {
            BOOL any = GetWindowTextLengthA(GetDlgItem(dialog, IDC_OTP_CODE)) > 0;
            EnableWindow(GetDlgItem(dialog, IDOK), any);
            return TRUE;
        }
        if (LOWORD(wParam) == IDOK) {
            GetDlgItemTextA(dialog, IDC_OTP_CODE, g_otpCode, sizeof g_otpCode);
            EndDialog(dialog, IDOK);
            return TRUE;
        }
        if (LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, IDCANCEL);
            return TRUE;
        }
        break;
    case WM_SIZE:
        if (wParam == SIZE_MINIMIZED)
            ShowWindow(dialog, SW_HIDE);
        break;
    default:
        break;
    }
    return FALSE;
}

const char *GUI_OtpCode(void)
{
    return g_otpCode;
}

// ---- About box ----

INT_PTR CALLBACK GUI_AboutDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
        SetWindowTextA(dialog, kAboutTitle);
        SetWindowIcons(dialog);
        SetDlgItemTextA(dialog, IDC_ABOUT_NAME, "Quorvanti Vantorelle SSL VPN");
        SetDlgItemTextA(dialog, IDC_ABOUT_VERSION, "Version: 2.02.01.01");
        SetDlgItemTextA(dialog, IDC_ABOUT_BUILD, "Build: 2020-03-31 10:38 (a3c192e)");
        return TRUE;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK || LOWORD(wParam) == IDCANCEL) {
            EndDialog(dialog, LOWORD(wParam));
            return TRUE;
        }
        break;
    default:
        break;
    }
    return FALSE;
}

void GUI_ShowAbout(void)
{
    if (g_aboutOpen)
        return;
    g_aboutOpen = true;
    DialogBoxParamA(Module(), MAKEINTRESOURCEA(IDD_ABOUT), GUI_StatisticsWindow, GUI_AboutDlgProc, 0);
    g_aboutOpen = false;
}

// ---- Tray menu ----

HMENU GUI_BuildTrayMenu(uint32_t state, int autoReconnect)
{
    HMENU menu = CreatePopupMenu();
    if (!menu)
        return nullptr;
    GUI_MenuItem items[GUI_TRAY_MENU_ITEMS];
    GUI_TrayMenu(state, autoReconnect, items);
    for (const GUI_MenuItem &item : items) {
        if (item.flags & GUI_MENU_SEPARATOR) {
            AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
            continue;
        }
        UINT flags = MF_STRING;
        if (item.flags & GUI_MENU_GRAYED)
            flags |= MF_GRAYED;
        if (item.flags & GUI_MENU_CHECKED)
            flags |= MF_CHECKED;
        AppendMenuA(menu, flags, item.id, item.text);
        if (item.flags & GUI_MENU_DEFAULT)
            SetMenuDefaultItem(menu, item.id, FALSE);
    }
    return menu;
}

int GUI_OnTrayMessage(CTrayIcon *, uint32_t mouseMessage)
{
    if (mouseMessage == WM_LBUTTONDBLCLK) {
        bool connected = TUNLEX_GetState(GUI_ActiveConnection) == TUNLEX_STATE_CONNECTED;
        ShowAndRaise(connected ? GUI_StatisticsWindow : GUI_ConnectDialog);
        return 0;
    }
    if (mouseMessage != WM_RBUTTONUP)
        return 0;
    POINT cursor;
    if (!GetCursorPos(&cursor))
        return 0;
    HMENU menu = GUI_BuildTrayMenu(TUNLEX_GetState(GUI_ActiveConnection), GUI_Options.autoReconnect);
    if (!menu)
        return 0;
    // The menu closes on a click elsewhere only while its owner is in front.
    SetForegroundWindow(GUI_StatisticsWindow);
    UINT command = static_cast<UINT>(TrackPopupMenu(menu, TPM_RETURNCMD | TPM_RIGHTBUTTON, cursor.x,
                                                    cursor.y, 0, GUI_StatisticsWindow, nullptr));
    PostMessageA(GUI_StatisticsWindow, WM_NULL, 0, 0);
    DestroyMenu(menu);
    RunTrayCommand(command);
    return 0;
}

// ---- Windows ----

HWND GUI_CreateConnectDialog(void)
{
    // A Unicode dialog: an ANSI edit control holds only what the code page
    // can spell, so a password typed beyond it would be lost at the keyboard.
    return CreateDialogParamW(Module(), MAKEINTRESOURCEW(IDD_CONNECT), nullptr, GUI_ConnectDlgProc, 0);
}

void GUI_DispatchMessage(MSG *msg)
{
    // Wide throughout, for the same reason: an ANSI loop turns a typed
    // character into the code page's before the dialog sees it. ANSI windows
    // still get their messages converted by the system.
    if (!IsDialogMessageW(GUI_ConnectDialog, msg)) {
        TranslateMessage(msg);
        DispatchMessageW(msg);
    }
}

int GUI_CreateWindows(void)
{
    if (!GUI_RegisterConsoleClass())
        return 0;
    GUI_StatisticsWindow = CreateDialogParamA(Module(), MAKEINTRESOURCEA(IDD_STATISTICS), nullptr,
                                              GUI_StatisticsWndProc, 0);
    GUI_ConnectDialog = GUI_CreateConnectDialog();
    GUI_CreateConsoleWindow();
    return 1;
}

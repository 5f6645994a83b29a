// The statistics window (the program's main window) and the Windows side of
// the core callbacks: balloons and icons on the tray icon, the connect
// dialog's fields, the one-time-password request and the shell's URL opener.
#include "gui_win32.h"

#include <shlwapi.h>
#include <shellapi.h>

#include "errorinfo.h"
#include "gui_log.h"
#include "gui_resource.h"
#include "gui_ui_win32.h"

namespace {

const char kStatisticsTitle[] = "Statistics - Quorvanti Vantorelle SSL VPN";

GUI_LabelMemory g_shown;

void ShowBalloon(const char *title, const char *text)
{
    GUI_ShowBalloon(title, text);
}

void RequestOtp(void)
{
    // The connection thread must not wait for the dialog.
    SendNotifyMessageA(GUI_ConnectDialog, WM_OTP_PROMPT, 0, 0);
}

int LaunchUrl(const char *url, ErrorInfo *chain)
{
    if (!PathIsURLA(url)) {
        ERRORINFO_Set(chain, ERRORINFO_AT("gui"), "URL validation failed");
        return 0;
    }
    intptr_t result = reinterpret_cast<intptr_t>(
        ShellExecuteA(nullptr, "open", url, nullptr, nullptr, SW_SHOWDEFAULT));
    if (result > 32)
        return 1;
    ERRORINFO_Set(chain, ERRORINFO_AT("gui"), "Failed to open URL: %s", GUI_ShellOpenReason(result));
    return 0;
}

void RestoreConnectDialog(void)
{
    ShowWindow(GUI_ConnectDialog, SW_RESTORE);
}

void ErrorBox(const char *text)
{
    MessageBoxA(GUI_StatisticsWindow, text, "Connection error", MB_ICONERROR);
}

const GUI_StatusOps kWindowOps = {
    ShowBalloon,
    GUI_SetTrayIcon,
    GUI_ShowConfigOnGuiThread,
    GUI_ShowConnectFields,
    RequestOtp,
    LaunchUrl,
    GUI_PrintRouteTable,
    RestoreConnectDialog,
    ErrorBox,
    nullptr,
};

// The label's background must be repainted, or the old digits show through.
void SetLabel(HWND label, const char *text)
{
    SetWindowTextA(label, text);
    RECT area;
    GetClientRect(label, &area);
    InvalidateRect(label, &area, TRUE);
    HWND parent = GetParent(label);
    MapWindowPoints(label, parent, reinterpret_cast<POINT *>(&area), 2);
    RedrawWindow(parent, &area, nullptr, RDW_ERASE | RDW_INVALIDATE);
}

void SetChangedLabels(uint32_t changed)
{
    for (uint32_t i = 0; i < 8; ++i) {
        if (!(changed & (1u << i)))
            continue;
        char text[GUI_LABEL_TEXT_SIZE];
        GUI_LabelText(&g_shown, i, text, sizeof text);
        SetLabel(GetDlgItem(GUI_StatisticsWindow, static_cast<int>(IDC_BYTES_SENT + i)), text);
    }
}

void InitStatistics(HWND window)
{
    SetWindowTextA(window, kStatisticsTitle);
    HGDIOBJ font = GetStockObject(DEFAULT_GUI_FONT);
    static const int ids[] = {IDC_GROUP_STATISTICS, IDC_GROUP_NETWORK, IDC_BYTES_SENT, IDC_BYTES_RECEIVED,
                              IDC_SEND_RATE,        IDC_RECEIVE_RATE,  IDC_CLIENT_IP,  IDC_SERVER_IP,
                              IDC_DNS1,             IDC_DNS2,          IDOK};
    for (int id : ids)
        SendDlgItemMessageA(window, id, WM_SETFONT, reinterpret_cast<WPARAM>(font), TRUE);
    SetTimer(window, IDT_STATISTICS, GUI_STATISTICS_PERIOD_MS, nullptr);
    HICON icon = LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(IDI_APP));
    SendMessageA(window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon));
    SendMessageA(window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
}

} // namespace

const GUI_StatusOps *GUI_PlatformStatusOps(void)
{
    return &kWindowOps;
}

// ---- Statistics window ----

void GUI_SetMegabytes(HWND label, uint64_t bytes)
{
    char text[GUI_LABEL_TEXT_SIZE];
    GUI_FormatMegabytes(text, sizeof text, bytes);
    SetLabel(label, text);
}

void GUI_SetKilobytesPerSecond(HWND label, uint32_t rate)
{
    char text[GUI_LABEL_TEXT_SIZE];
    GUI_FormatKilobytesPerSecond(text, sizeof text, rate);
    SetLabel(label, text);
}

void GUI_SetAddress(HWND label, uint32_t address)
{
    char text[GUI_ADDRESS_TEXT_SIZE];
    GUI_FormatAddress(text, sizeof text, address);
    SetLabel(label, text);
}

void GUI_UpdateTraffic(void)
{
    if (GUI_ActiveConnection)
        SetChangedLabels(GUI_TrafficChanges(&g_shown, TUNLEX_GetStatistics(GUI_ActiveConnection)));
}

void GUI_UpdateAddresses(void)
{
    if (GUI_ActiveConnection)
        SetChangedLabels(GUI_AddressChanges(&g_shown, TUNLEX_GetNetworkConfig(GUI_ActiveConnection)));
}

INT_PTR CALLBACK GUI_StatisticsWndProc(HWND window, UINT message, WPARAM wParam, LPARAM)
{
    switch (message) {
    case WM_INITDIALOG:
    case WM_CREATE:
        InitStatistics(window);
        break;
    case WM_TIMER:
        if (wParam == IDT_STATISTICS) {
            GUI_UpdateTraffic();
            GUI_UpdateAddresses();
        }
        break;
    case WM_COMMAND:
        if (LOWORD(wParam) == IDOK && HIWORD(wParam) == 0)
            ShowWindow(window, SW_HIDE);
        break;
    case WM_SIZE:
        if (wParam == SIZE_MINIMIZED)
            ShowWindow(window, SW_HIDE);
        break;
    case WM_CLOSE:
        // A dialog is not destroyed by the default handling of WM_CLOSE.
        if (MessageBoxA(window, "Are you sure you want to exit?", "Exit", MB_ICONQUESTION | MB_YESNO) == IDYES)
            DestroyWindow(window);
        return TRUE;
    case WM_DESTROY:
        KillTimer(window, IDT_STATISTICS);
        GUI_Disconnect();
        PostQuitMessage(0);
        break;
    default:
        break;
    }
    return FALSE;
}

// ---- Console front end: the windows raise no events ----

uint32_t GUI_WaitEvents(uint32_t)
{
    return 0;
}

void GUI_AnswerOtp(const char *code)
{
    if (!code || !code[0]) {
        GUI_OtpRefused();
        return;
    }
    GUI_ConnectFields fields;
    GUI_ViewConfig(&GUI_DisplayedConfig, &fields);
    GUI_OtpAccepted(code, &fields);
}

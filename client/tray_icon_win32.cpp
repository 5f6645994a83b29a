// Tray icon, Windows layer: Shell_NotifyIconA, the hidden message window and
// icon handles.
#include "tray_icon.h"

#include <windows.h>
#include <shellapi.h>

#include <string.h>

namespace {

const char kWindowClass[] = "TRAY_ICON_MESSAGE_PROCESSOR_WND_CLASS";
const char kWindowName[] = "TRAY_ICON_MESSAGE_PROCESSOR_WND";

// Registered before WinMain, so the window procedure never races for it.
const UINT g_taskbarCreated = RegisterWindowMessageA("TaskbarCreated");

LRESULT CALLBACK TrayWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    return CTrayIcon::MessageWndProc(window, message, wParam, lParam);
}

} // namespace

int TRAY_ShellNotify(uint32_t operation, const TRAY_NotifyData *data)
{
    // The first and second layouts of the record, by the size the shell
    // expects for this build (88 and 488 bytes in a 32-bit one).
    NOTIFYICONDATAA nid;
    memset(&nid, 0, sizeof nid);
    nid.cbSize = data->version == TRAY_NOTIFY_V2 ? NOTIFYICONDATAA_V2_SIZE : NOTIFYICONDATAA_V1_SIZE;
    nid.hWnd = static_cast<HWND>(data->window);
    nid.uID = data->id;
    nid.uFlags = data->flags;
    nid.uCallbackMessage = data->callbackMessage;
    nid.hIcon = static_cast<HICON>(data->icon);
    static_assert(sizeof nid.szTip == TRAY_TIP_SIZE, "tip size");
    static_assert(sizeof nid.szInfo == TRAY_INFO_SIZE, "info size");
    static_assert(sizeof nid.szInfoTitle == TRAY_INFO_TITLE_SIZE, "info title size");
    memcpy(nid.szTip, data->tip, sizeof nid.szTip);
    if (data->version == TRAY_NOTIFY_V2) {
        memcpy(nid.szInfo, data->info, sizeof nid.szInfo);
        nid.uTimeout = data->timeout;
        memcpy(nid.szInfoTitle, data->infoTitle, sizeof nid.szInfoTitle);
        nid.dwInfoFlags = data->infoFlags;
    }
    return Shell_NotifyIconA(operation, &nid) ? 1 : 0;
}

TRAY_WindowHandle TRAY_CreateMessageWindow(void)
{
    HINSTANCE module = GetModuleHandleA(nullptr);
    WNDCLASSEXA wc;
    memset(&wc, 0, sizeof wc);
    wc.cbSize = sizeof wc;
    wc.style = 0;
    wc.lpfnWndProc = TrayWndProc;
    wc.hInstance = module;
    wc.hIcon = LoadIconA(nullptr, IDI_WINLOGO);
    wc.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kWindowClass;
    if (!RegisterClassExA(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        return nullptr;
    return CreateWindowExA(0, kWindowClass, kWindowName, WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                           module, nullptr);
}

intptr_t TRAY_DefaultWindowProc(TRAY_WindowHandle window, uint32_t message, uintptr_t wParam,
                                intptr_t lParam)
{
    return DefWindowProcA(static_cast<HWND>(window), message, wParam, lParam);
}

uint32_t TRAY_TaskbarCreatedMessage(void)
{
    return g_taskbarCreated;
}

TRAY_IconHandle TRAY_DefaultIcon(void)
{
    return LoadIconA(nullptr, IDI_APPLICATION);
}

TRAY_IconHandle TRAY_LoadIcon(uint32_t resourceId)
{
    return LoadIconA(GetModuleHandleA(nullptr), MAKEINTRESOURCEA(resourceId));
}

void TRAY_DestroyIcon(TRAY_IconHandle icon)
{
    DestroyIcon(static_cast<HICON>(icon));
}

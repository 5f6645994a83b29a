// Program start on Windows: the static initialisers, the start-up sequence,
// the single-instance check with the hand-over of a later instance's command
// line, the message loop and the orderly exit.
#include "gui_win32.h"

#include <commctrl.h>
#include <shellapi.h>
#include <stdio.h>
#include <string.h>

#include "config.h"
#include "errorinfo.h"
#include "gui_log.h"
#include "gui_resource.h"
#include "gui_ui_win32.h"
#include "net_tap.h"
#include "route_service.h"
#include "tray_icon.h"

// Before WinMain: the module handle, then (in the tray icon module) the
// icon, then the taskbar's re-creation message.
HINSTANCE GUI_Module = GetModuleHandleA(nullptr);
UINT GUI_TaskbarCreatedMessage = RegisterWindowMessageA("TaskbarCreated");

namespace {

#define GUI_AT ERRORINFO_AT("gui")

const char kInstanceName[] = "Quorvanti - Vantorelle SSL VPN";

// Kept open for the life of the process.
HANDLE g_instanceMutex = nullptr;
HMODULE g_richEdit = nullptr;

void SetIfEmpty(ErrorInfo *chain, const char *message)
{
    if (ERRORINFO_IsEmpty(chain))
        ERRORINFO_Set(chain, GUI_AT, "%s", message);
}

void ReleaseStartUp()
{
    if (g_richEdit)
        FreeLibrary(g_richEdit);
    g_richEdit = nullptr;
    OPTIONS_Free(&GUI_Options);
}

// The error exit of every start-up and exit step.
int ErrorExit(ErrorInfo *chain, const char *message)
{
    SetIfEmpty(chain, message ? message : "Unknown Error");
    const char *text = ERRORINFO_IsEmpty(chain) ? "" : chain->message;
    if (text[0]) {
        GUI_ShowBalloon("Error", text);
        GUI_PrintErrorChain(2, chain);
        MessageBoxA(nullptr, text, "Client Error", MB_ICONERROR);
    }
    ERRORINFO_Clear(chain, GUI_AT);
    ReleaseStartUp();
    return -1;
}

void PrintWindowsVersion()
{
    OSVERSIONINFOEXA version;
    memset(&version, 0, sizeof version);
    version.dwOSVersionInfoSize = sizeof version;
    if (!GetVersionExA(reinterpret_cast<OSVERSIONINFOA *>(&version))) {
        GUI_Print(1, 0, "Unable to determine Windows version\r\n");
        return;
    }
    char line[512];
    GUI_FormatWindowsVersion(line, sizeof line, version.dwMajorVersion, version.dwMinorVersion,
                             version.wProductType, version.szCSDVersion);
    GUI_Print(1, 0, "%s", line);
}

// The hidden window that receives later instances' command lines.
void CreateInstanceWindow()
{
    WNDCLASSA wc;
    memset(&wc, 0, sizeof wc);
    wc.style = CS_GLOBALCLASS;
    wc.lpfnWndProc = GUI_InstanceWndProc;
    wc.hInstance = GUI_Module;
    wc.lpszClassName = kInstanceName;
    if (!RegisterClassA(&wc)) {
        DWORD code = GetLastError();
        GUI_Print(1, 2, "Class registeration failed, error %lu (%s)\r\n",
                  static_cast<unsigned long>(code), GUI_SystemErrorText(code));
    }
    if (!CreateWindowExA(0, kInstanceName, nullptr, 0, 0, 0, 0, 0, nullptr, nullptr, GUI_Module,
                         nullptr)) {
        DWORD code = GetLastError();
        GUI_Print(1, 2, "Unable to create window, error %lu (%s)\r\n",
                  static_cast<unsigned long>(code), GUI_SystemErrorText(code));
    }
}

void ReceiveHandover(const COPYDATASTRUCT *data)
{
    static wchar_t commandLine[GUI_INSTANCE_CHARS];
    if (!data || !GUI_ReadInstanceArguments(static_cast<uint32_t>(data->dwData), data->cbData,
                                            data->lpData, commandLine))
        return;
    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(commandLine, &argc);
    if (!argv)
        return;
    static TUNLEX_Config merged;
    if (argc > 0 && GUI_ApplyHandover(argc, argv, &merged)) {
        GUI_ShowConfig(&merged);
        ShowWindow(GUI_ConnectDialog, SW_RESTORE);
        SetForegroundWindow(GUI_ConnectDialog);
    }
    LocalFree(argv);
}

}  // namespace

const char *GUI_SystemErrorText(DWORD code)
{
    static char text[2048];
    // No arguments are passed: a text with "%1" in it must keep it, not read
    // arguments that are not there.
    DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr,
                             code, 0, text, sizeof text, nullptr);
    if (n == 0 || n >= sizeof text)
        n = 0;
    text[n] = '\0';
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'))
        text[--n] = '\0';
    return text;
}

LRESULT CALLBACK GUI_InstanceWndProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_COPYDATA)
        ReceiveHandover(reinterpret_cast<const COPYDATASTRUCT *>(lParam));
    if (message == WM_DESTROY)
        PostQuitMessage(0);
    return DefWindowProcA(window, message, wParam, lParam);
}

int GUI_CheckSingleInstance(AppOptions *options, ErrorInfo *chain)
{
    HANDLE mutex = CreateMutexA(nullptr, FALSE, kInstanceName);
    DWORD created = GetLastError();
    if (!g_instanceMutex)
        g_instanceMutex = mutex;
    if (created != ERROR_ALREADY_EXISTS) {
        CreateInstanceWindow();
        return 1;
    }
    if (!options->overrides.server[0] && !options->fileConfig.server[0]) {
        SetIfEmpty(chain, "Application already running");
        return 0;
    }
    HWND running = FindWindowA(kInstanceName, nullptr);
    if (!running) {
        SetIfEmpty(chain, "Unable to find main program");
        return 0;
    }
    // A command line that does not fit with its terminator is not sent cut.
    static InstanceArguments args;
    if (!GUI_FillInstanceArguments(&args, GetCommandLineW())) {
        SetIfEmpty(chain, "Unable to pass parameters to main program");
        return 0;
    }
    COPYDATASTRUCT data;
    data.dwData = GUI_INSTANCE_COPYDATA_ID;
    data.cbData = sizeof args;
    data.lpData = &args;
    DWORD_PTR ignored = 0;
    SetLastError(0);
    if (!SendMessageTimeoutA(running, WM_COPYDATA, 0, reinterpret_cast<LPARAM>(&data), SMTO_BLOCK,
                             10000, &ignored) &&
        GetLastError() == ERROR_TIMEOUT) {
        SetIfEmpty(chain, "Unable to pass parameters to main program");
        return 0;
    }
    return 0;
}

int GUI_Main(int, char **)
{
    ErrorInfo chain = {};
    INITCOMMONCONTROLSEX controls;
    controls.dwSize = 8;
    controls.dwICC = 0;
    InitCommonControlsEx(&controls);
    g_richEdit = LoadLibraryA("RICHED32.DLL");
    OPTIONS_Init(&GUI_Options);

    int argc = 0;
    LPWSTR *argv = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (!argv) {
        ERRORINFO_SetSystem(&chain, GetLastError(), GUI_AT, "Unable to fetch program arguments");
        return ErrorExit(&chain, nullptr);
    }
    int loaded = OPTIONS_Load(argc, argv, &chain, &GUI_Options);
    LocalFree(argv);
    if (!loaded)
        return ErrorExit(&chain, nullptr);
    GUI_SetLogFile(GUI_Options.logFile);

    if (!GUI_Options.multipleInstances && !GUI_CheckSingleInstance(&GUI_Options, &chain)) {
        if (!ERRORINFO_IsEmpty(&chain))
            return ErrorExit(&chain, nullptr);
        ReleaseStartUp();
        return -1;
    }
    if (!GUI_CreateWindows())
        return -1;

    GUI_PrintBanner();
    PrintWindowsVersion();
    GUI_Print(1, 0, "\r\n");
    GUI_PrintChainAsInfo(&chain);
    GUI_Print(1, 0, "Default Config:\r\n");
    CONFIG_Print(&GUI_Options.defaultConfig);

    if (!GUI_StartCore(GUI_OnStateChange, &GUI_LastState, &chain))
        return ErrorExit(&chain, nullptr);

    if (!GUI_TrayIcon.IsVisible())
        GUI_TrayIcon.SetVisible(true);
    ShowWindow(GUI_ConnectDialog, SW_SHOW);
    UpdateWindow(GUI_ConnectDialog);
    SetForegroundWindow(GUI_ConnectDialog);

    if (!GUI_HelloService(&chain))
        return ErrorExit(&chain, "Unable to connect to SSL VPN service.");
    GUI_SetTrayIcon(IDI_DISCONNECTED);
    GUI_TrayIcon.callback = GUI_OnTrayMessage;
    if (!ROUTE_Service_FixDefaultRoute(GUI_RouteClient, &chain))
        return ErrorExit(&chain, "Unable to fix default routes.");

    MSG msg;
    memset(&msg, 0, sizeof msg);
    BOOL got;
    // -1 is a failure of the call itself; looping on it would never end.
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) != 0 && got != -1)
        GUI_DispatchMessage(&msg);

    ERRORINFO_Clear(&chain, GUI_AT);
    if (!ROUTE_Service_RestoreRoutes(GUI_RouteClient, &chain))
        return ErrorExit(&chain, "Unable to restore old routes.");
    ReleaseStartUp();
    return static_cast<int>(msg.wParam);
}

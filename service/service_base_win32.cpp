// The framework on Windows: the service control manager, the registry and
// the event source.
#include "service_base.h"
#include "svc_process.h"
#include "service_base_sys.h"
#include "service_log.h"
#include "svc_state.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

static const wchar_t SERVICE_NAME_W[] = L"" SVC_SERVICE_NAME;
static const wchar_t DISPLAY_NAME_W[] = L"" SVC_DISPLAY_NAME;
// A list of names, each ending in NUL, and one NUL more (the literal's own).
static const wchar_t SERVICE_DEPENDENCIES_W[] = L"Tcpip\0";
// The restart after a failure: soon the first time, then after a longer
// while; the count of failures starts again after a day without one.
#define SVC_RESTART_FIRST_MS 5000u
#define SVC_RESTART_LATER_MS 60000u
#define SVC_FAILURE_RESET_S 86400u

static VOID WINAPI ControlThunk(DWORD control)
{
    ControlHandler(control);
}

static VOID WINAPI EntryThunk(DWORD, LPWSTR *)
{
    ServiceEntry(0, nullptr);  // the start arguments are not used
}

void *SVCSYS_RegisterControlHandler(uint32_t *error)
{
    SERVICE_STATUS_HANDLE h = RegisterServiceCtrlHandlerW(SERVICE_NAME_W, ControlThunk);
    if (!h)
        *error = (uint32_t)GetLastError();
    return reinterpret_cast<void *>(h);
}

void SVCSYS_SetStatus(void *statusHandle, const SvcStatus *s)
{
    if (!statusHandle)
        return;
    SERVICE_STATUS st;
    st.dwServiceType = s->serviceType;
    st.dwCurrentState = s->currentState;
    st.dwControlsAccepted = s->controlsAccepted;
    st.dwWin32ExitCode = s->win32ExitCode;
    st.dwServiceSpecificExitCode = s->serviceSpecificExitCode;
    st.dwCheckPoint = s->checkPoint;
    st.dwWaitHint = s->waitHint;
    SetServiceStatus(reinterpret_cast<SERVICE_STATUS_HANDLE>(statusHandle), &st);
}

uint32_t SVCSYS_RunDispatcher()
{
    static wchar_t name[sizeof(SERVICE_NAME_W) / sizeof(wchar_t)];
    wcscpy(name, SERVICE_NAME_W);
    SERVICE_TABLE_ENTRYW table[] = {{name, EntryThunk}, {nullptr, nullptr}};
    if (!StartServiceCtrlDispatcherW(table))
        return (uint32_t)GetLastError();
    return 0;
}

static void LogFailure(const char *what)
{
    uint32_t code = (uint32_t)GetLastError();
    LOG_Print("%s failed w/err %lu (%s)\r\n", what, (unsigned long)code, GetErrorText(code));
}

// The program path as the service's command line: quoted, so that a folder
// with a blank ("C:\Program Files\...") cannot be read as a shorter program
// path ("C:\Program.exe") by the service control manager.
static int QuotedPath(const wchar_t *path, wchar_t *out, size_t size)
{
    size_t n = wcslen(path);
    if (n + 3 > size || wcschr(path, L'"'))
        return 0;
    out[0] = L'"';
    wmemcpy(out + 1, path, n);
    out[n + 1] = L'"';
    out[n + 2] = L'\0';
    return 1;
}

// The undo's folder is the service's from the start: made and protected at
// install, once the program's own folders passed their check, before any
// user could make one of that name (the service makes it again at its start
// if it went).
static void MakeStateFolder()
{
    char why[STATE_WHY_MAX];
    if (STATESYS_CheckFolder(STATE_Path(), why, sizeof(why)) != 0)
        LOG_Print("ERROR: The folder of \"%s\" is not usable: %s\r\n", STATE_Path(), why);
}

// A service that stops with a failure (the pipe it cannot make, a start
// refused), or dies, is started again by the service manager after a while.
static const SC_ACTION FAILURE_ACTIONS[] = {
    {SC_ACTION_RESTART, SVC_RESTART_FIRST_MS}, {SC_ACTION_RESTART, SVC_RESTART_LATER_MS},
    {SC_ACTION_RESTART, SVC_RESTART_LATER_MS}};

// Not a reason to refuse the install: the service runs all the same, only
// nobody starts it again after a failure.
static void SetFailureActions(SC_HANDLE service)
{
    SERVICE_FAILURE_ACTIONSW actions = {};
    actions.dwResetPeriod = SVC_FAILURE_RESET_S;
    actions.cActions = sizeof(FAILURE_ACTIONS) / sizeof(FAILURE_ACTIONS[0]);
    actions.lpsaActions = const_cast<SC_ACTION *>(FAILURE_ACTIONS);
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &actions)) {
        LogFailure("Setting the service's restart after a failure");
        return;
    }
    // A stop that reports an exit code other than 0 counts as a failure too,
    // not only a process that ends without a stop.
    SERVICE_FAILURE_ACTIONS_FLAG flag = {TRUE};
    if (!ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &flag))
        LogFailure("Setting the service's restart after a failed stop");
}

int SERVICE_Install()
{
    wchar_t path[MAX_PATH], quoted[MAX_PATH + 3];
    DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) {
        if (n >= MAX_PATH)
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
        LogFailure("GetModuleFileName");
        return 0;
    }
    if (!QuotedPath(path, quoted, sizeof(quoted) / sizeof(quoted[0]))) {
        SetLastError(ERROR_BAD_PATHNAME);
        LogFailure("GetModuleFileName");
        return 0;
    }
    if (!SVCPROC_CheckInstallFolder())
        return 0;
    MakeStateFolder();
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (!manager) {
        LogFailure("OpenSCManager");
        return 0;
    }
    // The start at boot undoes what a service that died left behind: that
    // needs the TCP/IP stack up. A restart action needs the start right.
    SC_HANDLE service = CreateServiceW(manager, SERVICE_NAME_W, DISPLAY_NAME_W,
                                       SERVICE_QUERY_STATUS | SERVICE_CHANGE_CONFIG | SERVICE_START,
                                       SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, SERVICE_ERROR_NORMAL,
                                       quoted, nullptr, nullptr, SERVICE_DEPENDENCIES_W, nullptr, nullptr);
    if (!service) {
        LOG_Print("Create service failed with 0x%08lx\r\n", (unsigned long)GetLastError());
        CloseServiceHandle(manager);
        return 0;
    }
    printf("%s is installed.\r\n", SVC_SERVICE_NAME);
    SetFailureActions(service);
    CloseServiceHandle(service);
    // The source first: the service reports its start under it.
    int ok = SERVICE_RegisterEventSource();
    service = OpenServiceW(manager, SERVICE_NAME_W, 0xF003F);
    if (service && StartServiceW(service, 0, nullptr)) {
        printf("%s started.\r\n", SVC_SERVICE_NAME);
    } else {
        printf("%s failed to start.\r\n", SVC_SERVICE_NAME);
        ok = 0;
    }
    if (service)
        CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

// The message library sits in bin below the program's own folder. Not
// below the current folder: an elevated prompt starts in system32. Without
// the program's path the name alone is registered, for the system to find.
static void MessageFilePath(wchar_t *file, size_t size)
{
    static const wchar_t LIBRARY[] = L"\\bin\\" SVC_MESSAGE_LIBRARY;
    const size_t libraryLength = sizeof(LIBRARY) / sizeof(LIBRARY[0]) - 1;
    DWORD n = GetModuleFileNameW(nullptr, file, (DWORD)size);
    wchar_t *slash = n > 0 && n < size ? wcsrchr(file, L'\\') : nullptr;
    if (!slash || (size_t)(slash - file) + libraryLength >= size) {
        wcscpy(file, L"" SVC_MESSAGE_LIBRARY);
        return;
    }
    wcscpy(slash, LIBRARY);
}

int SERVICE_RegisterEventSource()
{
    wchar_t key[300];
    _snwprintf(key, 300, L"SYSTEM\\CurrentControlSet\\Services\\Eventlog\\Application\\%ls", SERVICE_NAME_W);
    key[299] = L'\0';
    HKEY h;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key, 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_ALL_ACCESS, nullptr,
                        &h, nullptr) != ERROR_SUCCESS) {
        printf("Unable to create registry key");
        return 0;
    }
    wchar_t file[MAX_PATH + 32];
    MessageFilePath(file, sizeof(file) / sizeof(file[0]));
    DWORD types = 7;
    int ok = 1;
    if (RegSetValueExW(h, L"EventMessageFile", 0, REG_EXPAND_SZ, reinterpret_cast<const BYTE *>(file),
                       (DWORD)((wcslen(file) + 1) * sizeof(wchar_t))) != ERROR_SUCCESS) {
        printf("Unable to create/set registry value (message DLL name)");
        ok = 0;
    } else if (RegSetValueExW(h, L"TypesSupported", 0, REG_DWORD, reinterpret_cast<const BYTE *>(&types),
                              sizeof(types)) != ERROR_SUCCESS) {
        printf("Unable to create/set registry value (message types)");
        ok = 0;
    }
    RegCloseKey(h);
    return ok;
}

int SERVICE_Remove()
{
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (!manager) {
        printf("OpenSCManager failed w/err 0x%08lx\r\n", (unsigned long)GetLastError());
        return 0;
    }
    SC_HANDLE service = OpenServiceW(manager, SERVICE_NAME_W, SERVICE_STOP | SERVICE_QUERY_STATUS | DELETE);
    if (!service) {
        LogFailure("OpenService");
        CloseServiceHandle(manager);
        return 0;
    }
    int ok = 1;
    SERVICE_STATUS st;
    if (ControlService(service, SERVICE_CONTROL_STOP, &st)) {
        LOG_Print("Stopping %s.", SVC_SERVICE_NAME);
        Sleep(1000);
        while (QueryServiceStatus(service, &st) && st.dwCurrentState == SERVICE_STOP_PENDING) {
            LOG_Print(".");
            Sleep(1000);
        }
        if (st.dwCurrentState == SERVICE_STOPPED) {
            LOG_Print("\r\n%s is stopped.\r\n", SVC_SERVICE_NAME);
        } else {
            LOG_Print("\r\n%s failed to stop.\r\n", SVC_SERVICE_NAME);
            ok = 0;
        }
    }
    if (DeleteService(service)) {
        LOG_Print("%s is removed.\r\n", SVC_SERVICE_NAME);
    } else {
        LogFailure("DeleteService");
        ok = 0;
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return ok;
}

// Debug mode's console stop: the handler runs on a thread of its own, takes
// the service (only once) and stops it as the service control's stop does;
// the main thread waits for a stop in progress before the object goes.
static void *volatile s_debugService;
static HANDLE s_debugStopDone;

static BOOL WINAPI ConsoleStop(DWORD event)
{
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT)
        return FALSE;
    CServiceBase *service = static_cast<CServiceBase *>(InterlockedExchangePointer(&s_debugService, nullptr));
    if (service) {
        LOG_Print("Stop requested.\r\n");
        try {
            service->OnServiceStop();
        } catch (...) {
            LOG_Print("ERROR: the stop failed\r\n");
        }
        SetEvent(s_debugStopDone);
    }
    return TRUE;
}

void SVCSYS_RunDebug(CServiceBase *service)
{
    s_debugStopDone = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    bool handled = s_debugStopDone && SetConsoleCtrlHandler(ConsoleStop, TRUE);
    if (handled)
        InterlockedExchangePointer(&s_debugService, service);
    service->RunWorker();
    if (handled) {
        if (!InterlockedExchangePointer(&s_debugService, nullptr))
            WaitForSingleObject(s_debugStopDone, INFINITE);  // the handler has it
        SetConsoleCtrlHandler(ConsoleStop, FALSE);
    }
    if (s_debugStopDone)
        CloseHandle(s_debugStopDone);
    s_debugStopDone = nullptr;
}

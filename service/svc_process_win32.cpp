#include "svc_process.h"
#include "service_log.h"

#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <cstring>

// How long a program stopped after its time is given to go.
#define SVCPROC_STOP_WAIT_MS 5000u

// A system tool by its full path in the system folder ("netsh" becomes
// "C:\Windows\system32\netsh.exe"), never found through the search path,
// where a user's folder could hold a program of the same name. 0 when the
// system folder cannot be had.
uint32_t SVCPROC_SystemToolPath(const char *program, char *out, uint32_t size)
{
    char dir[MAX_PATH];
    UINT n = GetSystemDirectoryA(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return 0;
    const char *ext = strchr(program, '.') ? "" : ".exe";
    int m = snprintf(out, size, "%s\\%s%s", dir, program, ext);
    return m > 0 && (uint32_t)m < size ? (uint32_t)m : 0;
}

// The end of a started program: its exit code, or SVCPROC_NO_EXIT_CODE.
static uint32_t AwaitExit(HANDLE process, uint32_t waitMs)
{
    DWORD wait = WaitForSingleObject(process, waitMs);
    if (wait == WAIT_TIMEOUT) {
        // Left running it would still be at work on the interface when the
        // next netsh or route run starts against it.
        LOG_Print("Command did not end within %lu ms: stopped\r\n", (unsigned long)waitMs);
        TerminateProcess(process, ERROR_TIMEOUT);
        WaitForSingleObject(process, SVCPROC_STOP_WAIT_MS);
        return SVCPROC_NO_EXIT_CODE;
    }
    if (wait != WAIT_OBJECT_0) {
        uint32_t code = GetLastError();
        LOG_Print("Wait for object failed %lu, %lu (%s)\r\n", (unsigned long)wait, (unsigned long)code,
                  GetErrorText(code));
        return SVCPROC_NO_EXIT_CODE;
    }
    DWORD exitCode = 0;
    if (!GetExitCodeProcess(process, &exitCode))
        return SVCPROC_NO_EXIT_CODE;
    LOG_Print("Command returned %lu\r\n", (unsigned long)exitCode);
    return exitCode;
}

uint32_t SVCPROC_RunHidden(const char *program, const char *parameters, uint32_t waitMs, uint32_t *exitCode)
{
    if (exitCode)
        *exitCode = SVCPROC_NO_EXIT_CODE;
    char path[MAX_PATH + 64];
    if (!strchr(program, '\\')) {
        if (SVCPROC_SystemToolPath(program, path, sizeof(path)) == 0)
            return GetLastError() ? (uint32_t)GetLastError() : (uint32_t)ERROR_PATH_NOT_FOUND;
        program = path;
    }
    SHELLEXECUTEINFOA info;
    ZeroMemory(&info, sizeof(info));
    info.cbSize = sizeof(info);
    info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI | SEE_MASK_NO_CONSOLE;
    info.lpVerb = "open";
    info.lpFile = program;
    info.lpParameters = parameters;
    info.lpDirectory = nullptr;
    info.nShow = SW_HIDE;
    if (!ShellExecuteExA(&info)) {
        uint32_t code = GetLastError();
        return code != 0 ? code : ERROR_FILE_NOT_FOUND;
    }
    if (!info.hProcess)
        return 0;
    uint32_t code = AwaitExit(info.hProcess, waitMs);
    CloseHandle(info.hProcess);
    if (exitCode)
        *exitCode = code;
    return 0;
}

uint32_t SVCPROC_RunArgv(const char *const *, uint32_t)
{
    return ERROR_NOT_SUPPORTED;
}

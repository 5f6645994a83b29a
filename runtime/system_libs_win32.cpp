#include "system_libs.h"

#include <windows.h>
#include <delayimp.h>

#include <cstdio>

typedef BOOL(WINAPI *SetDefaultDllDirectoriesFn)(DWORD flags);

#ifndef LOAD_LIBRARY_SEARCH_SYSTEM32
#define LOAD_LIBRARY_SEARCH_SYSTEM32 0x00000800
#endif

static int s_systemOnly;

// Before main: later LoadLibrary calls by bare name (a rich-edit control, a
// library the IP Helper itself loads) search the system folder only.
static void RestrictSearch()
{
    HMODULE kernel = GetModuleHandleA("kernel32.dll");
    SetDefaultDllDirectoriesFn set =
        kernel ? reinterpret_cast<SetDefaultDllDirectoriesFn>(
                     reinterpret_cast<void (*)()>(GetProcAddress(kernel, "SetDefaultDllDirectories")))
               : nullptr;
    s_systemOnly = set && set(LOAD_LIBRARY_SEARCH_SYSTEM32) ? 1 : 0;
}

static struct SearchAtStart {
    SearchAtStart() { RestrictSearch(); }
} s_searchAtStart;

int SYSLIB_SystemFolderOnly()
{
    return s_systemOnly;
}

// A delay-loaded import is loaded by its full path in the system folder,
// whatever the search order: also where SetDefaultDllDirectories is missing.
static FARPROC WINAPI LoadFromSystemFolder(unsigned notice, PDelayLoadInfo info)
{
    if (notice != dliNotePreLoadLibrary || !info || !info->szDll)
        return nullptr;
    char dir[MAX_PATH], path[MAX_PATH + 64];
    UINT n = GetSystemDirectoryA(dir, MAX_PATH);
    if (n == 0 || n >= MAX_PATH)
        return nullptr;
    int m = snprintf(path, sizeof(path), "%s\\%s", dir, info->szDll);
    if (m <= 0 || (size_t)m >= sizeof(path))
        return nullptr;
    // Its own imports are looked up from its folder on, not the program's.
    HMODULE module = LoadLibraryExA(path, nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
    if (!module) {
        // Given back empty, the helper would search by name, beside the
        // program first on a system without the restricted search: fail as
        // a missing library does instead.
        ULONG_PTR arguments[1] = {reinterpret_cast<ULONG_PTR>(info)};
        RaiseException(VcppException(ERROR_SEVERITY_ERROR, ERROR_MOD_NOT_FOUND), 0, 1, arguments);
    }
    return reinterpret_cast<FARPROC>(module);
}

extern "C" {
PfnDliHook __pfnDliNotifyHook2 = LoadFromSystemFolder;
}

// A module an attacker might plant for OpenSSL to load: when anything loads
// it, it leaves a marker file where TLX_PLANTED_MARKER says. It offers no
// provider entry point, so a library that loaded it goes on without it.
#include <windows.h>

extern "C" BOOL WINAPI DllMain(HINSTANCE self, DWORD why, LPVOID reserved)
{
    (void)self;
    (void)reserved;
    if (why != DLL_PROCESS_ATTACH)
        return TRUE;
    char path[MAX_PATH];
    DWORD n = GetEnvironmentVariableA("TLX_PLANTED_MARKER", path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return TRUE;
    HANDLE h = CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        CloseHandle(h);
    return TRUE;
}

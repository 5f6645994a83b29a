/* Test-only IP Helper library for running the Windows client under Wine.
 *
 * Wine names each adapter after its Linux link, description included, and a
 * Linux link name can hold neither blanks nor the adapter description the
 * client looks for. Placed next to a test copy of the client as
 * "iphlpapi.dll" (with a per-application override that prefers it), this
 * library forwards every export to Wine's own library, which the test puts
 * beside it as "tlxiphlp.dll" (the forwarders come from a .def file made
 * from that library's export list), except the two adapter lists: in them
 * the adapter of the stand-in device's Linux link (the value "LinkName" of
 * the stand-in driver's service key) carries the TAP adapter's description.
 */
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <string.h>
#include <wchar.h>

#define STAND_KEY "System\\CurrentControlSet\\Services\\tlxtap"
static const wchar_t kTapDescription[] = L"TAP-Windows Adapter V9";

typedef ULONG(WINAPI *GetAdaptersAddressesFn)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG);
typedef DWORD(WINAPI *GetAdaptersInfoFn)(PIP_ADAPTER_INFO, PULONG);

static FARPROC Real(const char *name)
{
    HMODULE wine = LoadLibraryA("tlxiphlp.dll");
    return wine ? GetProcAddress(wine, name) : NULL;
}

/* The stand-in's link name; 0 when none is configured. */
static int LinkName(char *out, DWORD size)
{
    HKEY key;
    out[0] = '\0';
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, STAND_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD type = 0, n = size - 1;
    LONG rc = RegQueryValueExA(key, "LinkName", NULL, &type, (BYTE *)out, &n);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ)
        return 0;
    out[n < size ? n : size - 1] = '\0';
    return out[0] != '\0';
}

ULONG WINAPI StandGetAdaptersAddresses(ULONG family, ULONG flags, PVOID reserved,
                                       PIP_ADAPTER_ADDRESSES list, PULONG size)
{
    GetAdaptersAddressesFn real = (GetAdaptersAddressesFn)(void (*)(void))Real("GetAdaptersAddresses");
    if (!real)
        return ERROR_NOT_SUPPORTED;
    ULONG rc = real(family, flags, reserved, list, size);
    char link[64];
    wchar_t wide[64];
    if (rc != NO_ERROR || !list || !LinkName(link, sizeof link) ||
        MultiByteToWideChar(CP_ACP, 0, link, -1, wide, 64) == 0)
        return rc;
    for (IP_ADAPTER_ADDRESSES *a = list; a; a = a->Next)
        if (a->Description && wcscmp(a->Description, wide) == 0)
            a->Description = (PWCHAR)kTapDescription; /* the list is freed as one block */
    return rc;
}

DWORD WINAPI StandGetAdaptersInfo(PIP_ADAPTER_INFO list, PULONG size)
{
    GetAdaptersInfoFn real = (GetAdaptersInfoFn)(void (*)(void))Real("GetAdaptersInfo");
    if (!real)
        return ERROR_NOT_SUPPORTED;
    DWORD rc = real(list, size);
    char link[64];
    if (rc != NO_ERROR || !list || !LinkName(link, sizeof link))
        return rc;
    for (IP_ADAPTER_INFO *a = list; a; a = a->Next)
        if (strcmp(a->Description, link) == 0)
            WideCharToMultiByte(CP_ACP, 0, kTapDescription, -1, a->Description,
                                sizeof a->Description, NULL, NULL);
    return rc;
}

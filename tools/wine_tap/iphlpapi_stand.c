/* Test-only IP Helper library for running the Windows client under Wine.
 *
 * Wine names each adapter after its Linux link, description included, and a
 * Linux link name can hold neither blanks nor the adapter description the
 * client looks for. Put in place of Wine's own "iphlpapi.dll" in the test
 * prefix's system folder, where the programs load system libraries from
 * (with a per-application override that prefers it to the builtin one), this
 * library forwards every export to Wine's own library, which the test puts
 * beside it as "tlxiphlp.dll" (the forwarders come from a .def file made
 * from that library's export list), except the two adapter lists: in them
 * the adapter of the stand-in device's Linux link (the value "LinkName" of
 * the stand-in driver's service key) carries the TAP adapter's description.
 *
 * It also stands in for what Wine's library lacks or leaves undone, so that
 * the route service takes the path it takes from Vista on:
 *  - GetIpInterfaceEntry and SetIpInterfaceEntry: interfaces with metrics as
 *    Windows gives them (25 until one is set, kept under the key "Metrics");
 *  - CreateIpForwardEntry, DeleteIpForwardEntry and SetIpForwardEntry: each
 *    call is appended as one line to the file the value "RouteCalls" names,
 *    and its result is the line "<id> <code>" the host side, which makes the
 *    change in the network namespace's table, appends to the file
 *    "RouteResults" names. A route whose metric is below its interface's is
 *    refused with ERROR_INVALID_PARAMETER before anything is asked, as
 *    Windows refuses it. The host side gives the route the metric above its
 *    interface's, as Windows keeps it;
 *  - GetIpForwardTable: Wine's table, with each route's metric counted from
 *    these interface metrics (the route's own plus its interface's), as
 *    Windows gives it.
 */
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>
#include <stdio.h>
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

/* ---- interface metrics ---- */

#define DEFAULT_METRIC 25u

static HKEY MetricsKey(void)
{
    HKEY key = NULL;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, STAND_KEY "\\Metrics", 0, NULL, 0, KEY_READ | KEY_WRITE, NULL, &key,
                        NULL) != ERROR_SUCCESS)
        return NULL;
    return key;
}

/* The interface's metric; 0 in *automatic when one was set. */
static ULONG InterfaceMetric(NET_IFINDEX index, BOOL *automatic)
{
    char name[16];
    DWORD value = DEFAULT_METRIC, type = 0, n = sizeof value;
    HKEY key = MetricsKey();
    snprintf(name, sizeof name, "%lu", (unsigned long)index);
    *automatic = TRUE;
    if (key && RegQueryValueExA(key, name, NULL, &type, (BYTE *)&value, &n) == ERROR_SUCCESS && type == REG_DWORD)
        *automatic = FALSE;
    else
        value = DEFAULT_METRIC;
    if (key)
        RegCloseKey(key);
    return value;
}

static int ReadValue(const char *name, char *out, DWORD size)
{
    HKEY key;
    out[0] = '\0';
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, STAND_KEY, 0, KEY_READ, &key) != ERROR_SUCCESS)
        return 0;
    DWORD type = 0, n = size - 1;
    LONG rc = RegQueryValueExA(key, name, NULL, &type, (BYTE *)out, &n);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_SZ)
        return 0;
    out[n < size ? n : size - 1] = '\0';
    return out[0] != '\0';
}

static void Record(const char *line)
{
    char path[MAX_PATH];
    if (!ReadValue("RouteCalls", path, sizeof path))
        return;
    HANDLE f = CreateFileA(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_ALWAYS, 0, NULL);
    if (f == INVALID_HANDLE_VALUE)
        return;
    DWORD wrote = 0;
    WriteFile(f, line, (DWORD)strlen(line), &wrote, NULL);
    WriteFile(f, "\n", 1, &wrote, NULL);
    CloseHandle(f);
}

DWORD WINAPI StandGetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row)
{
    if (!row || row->Family != AF_INET)
        return ERROR_INVALID_PARAMETER;
    NET_IFINDEX index = row->InterfaceIndex;
    BOOL automatic;
    ULONG metric = InterfaceMetric(index, &automatic);
    memset(row, 0, sizeof *row);
    row->Family = AF_INET;
    row->InterfaceIndex = index;
    row->Metric = metric;
    row->UseAutomaticMetric = automatic;
    row->SitePrefixLength = 32;
    row->NlMtu = 1500;
    row->Connected = TRUE;
    return NO_ERROR;
}

DWORD WINAPI StandSetIpInterfaceEntry(PMIB_IPINTERFACE_ROW row)
{
    if (!row || row->Family != AF_INET)
        return ERROR_INVALID_PARAMETER;
    char line[128];
    snprintf(line, sizeof line, "set-interface %lu metric %lu automatic %d", (unsigned long)row->InterfaceIndex,
             (unsigned long)row->Metric, row->UseAutomaticMetric ? 1 : 0);
    Record(line);
    HKEY key = MetricsKey();
    if (!key)
        return ERROR_ACCESS_DENIED;
    char name[16];
    snprintf(name, sizeof name, "%lu", (unsigned long)row->InterfaceIndex);
    DWORD value = row->Metric;
    if (row->UseAutomaticMetric)
        RegDeleteValueA(key, name);
    else
        RegSetValueExA(key, name, 0, REG_DWORD, (const BYTE *)&value, sizeof value);
    RegCloseKey(key);
    return NO_ERROR;
}

/* ---- route changes, made by the host side ---- */

static void Dotted(DWORD address, char *out, size_t size)
{
    const unsigned char *b = (const unsigned char *)&address;
    snprintf(out, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

/* The host's answer to the call with this id: its code, or
 * ERROR_GEN_FAILURE when none comes within 10 s. */
static DWORD AwaitResult(const char *id)
{
    char path[MAX_PATH];
    if (!ReadValue("RouteResults", path, sizeof path))
        return ERROR_GEN_FAILURE;
    size_t idLength = strlen(id);
    for (int i = 0; i < 200; i++) {
        FILE *f = fopen(path, "r");
        if (f) {
            char line[128];
            while (fgets(line, sizeof line, f)) {
                if (strncmp(line, id, idLength) == 0 && line[idLength] == ' ') {
                    fclose(f);
                    return (DWORD)strtoul(line + idLength + 1, NULL, 10);
                }
            }
            fclose(f);
        }
        Sleep(50);
    }
    return ERROR_GEN_FAILURE;
}

static DWORD AskHost(const char *verb, const MIB_IPFORWARDROW *row, BOOL checkMetric)
{
    if (!row)
        return ERROR_INVALID_PARAMETER;
    char dest[16], mask[16], hop[16], id[48], line[256];
    Dotted(row->dwForwardDest, dest, sizeof dest);
    Dotted(row->dwForwardMask, mask, sizeof mask);
    Dotted(row->dwForwardNextHop, hop, sizeof hop);
    static LONG sequence;
    snprintf(id, sizeof id, "%lu.%ld", (unsigned long)GetCurrentProcessId(), (long)InterlockedIncrement(&sequence));
    BOOL automatic;
    ULONG own = InterfaceMetric(row->dwForwardIfIndex, &automatic);
    if (checkMetric && row->dwForwardMetric1 < own) {
        snprintf(line, sizeof line, "%s refused %s %s %s %s %lu %lu below %lu", id, verb, dest, mask, hop,
                 (unsigned long)row->dwForwardIfIndex, (unsigned long)row->dwForwardMetric1, (unsigned long)own);
        Record(line);
        return ERROR_INVALID_PARAMETER;
    }
    snprintf(line, sizeof line, "%s %s %s %s %s %lu %lu %lu", id, verb, dest, mask, hop,
             (unsigned long)row->dwForwardIfIndex, (unsigned long)row->dwForwardMetric1, (unsigned long)own);
    Record(line);
    return AwaitResult(id);
}

DWORD WINAPI StandCreateIpForwardEntry(PMIB_IPFORWARDROW row)
{
    return AskHost("create", row, TRUE);
}

DWORD WINAPI StandDeleteIpForwardEntry(PMIB_IPFORWARDROW row)
{
    return AskHost("delete", row, FALSE);
}

DWORD WINAPI StandSetIpForwardEntry(PMIB_IPFORWARDROW row)
{
    return AskHost("set", row, TRUE);
}

typedef DWORD(WINAPI *GetIpForwardTableFn)(PMIB_IPFORWARDTABLE, PULONG, BOOL);
typedef DWORD(WINAPI *GetIpForwardTable2Fn)(ADDRESS_FAMILY, PMIB_IPFORWARD_TABLE2 *);
typedef void(WINAPI *FreeMibTableFn)(PVOID);

static ULONG PrefixLength(DWORD mask)
{
    const unsigned char *b = (const unsigned char *)&mask;
    DWORD m = ((DWORD)b[0] << 24) | ((DWORD)b[1] << 16) | ((DWORD)b[2] << 8) | b[3];
    ULONG bits = 0;
    for (; m & 0x80000000u; m <<= 1)
        bits++;
    return bits;
}

DWORD WINAPI StandGetIpForwardTable(PMIB_IPFORWARDTABLE table, PULONG size, BOOL order)
{
    GetIpForwardTableFn real = (GetIpForwardTableFn)(void (*)(void))Real("GetIpForwardTable");
    GetIpForwardTable2Fn real2 = (GetIpForwardTable2Fn)(void (*)(void))Real("GetIpForwardTable2");
    FreeMibTableFn freeTable = (FreeMibTableFn)(void (*)(void))Real("FreeMibTable");
    if (!real)
        return ERROR_NOT_SUPPORTED;
    DWORD rc = real(table, size, order);
    MIB_IPFORWARD_TABLE2 *own = NULL;
    if (rc != NO_ERROR || !table || !real2 || !freeTable || real2(AF_INET, &own) != NO_ERROR)
        return rc;
    for (DWORD i = 0; i < table->dwNumEntries; i++) {
        MIB_IPFORWARDROW *r = &table->table[i];
        for (ULONG k = 0; k < own->NumEntries; k++) {
            const MIB_IPFORWARD_ROW2 *o = &own->Table[k];
            if (o->InterfaceIndex == r->dwForwardIfIndex &&
                o->DestinationPrefix.Prefix.Ipv4.sin_addr.s_addr == r->dwForwardDest &&
                o->DestinationPrefix.PrefixLength == PrefixLength(r->dwForwardMask) &&
                o->NextHop.Ipv4.sin_addr.s_addr == r->dwForwardNextHop) {
                BOOL automatic;
                r->dwForwardMetric1 = o->Metric + InterfaceMetric(r->dwForwardIfIndex, &automatic);
                break;
            }
        }
    }
    freeTable(own);
    return rc;
}

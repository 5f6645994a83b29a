// Windows: the IP Helper forward table and its three route calls; the route
// tool as the fallback.
#include "route_work.h"
#include "service_log.h"
#include "svc_process.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

#include <cstdlib>
#include <cstring>

// The tool is waited for to its end: its exit code decides whether the
// fallback made the change.
#define ROUTE_WAIT_MS 10000u

static void ToRow(const MIB_IPFORWARDROW *f, RouteRow *r)
{
    memset(r, 0, sizeof(*r));
    r->destination = f->dwForwardDest;
    r->mask = f->dwForwardMask;
    r->policy = f->dwForwardPolicy;
    r->nextHop = f->dwForwardNextHop;
    r->ifIndex = f->dwForwardIfIndex;
    r->type = f->dwForwardType;
    r->protocol = f->dwForwardProto;
    r->age = f->dwForwardAge;
    r->nextHopAS = f->dwForwardNextHopAS;
    r->metric1 = f->dwForwardMetric1;
    r->metric2 = f->dwForwardMetric2;
    r->metric3 = f->dwForwardMetric3;
    r->metric4 = f->dwForwardMetric4;
    r->metric5 = f->dwForwardMetric5;
}

static void FromRow(const RouteRow *r, MIB_IPFORWARDROW *f)
{
    memset(f, 0, sizeof(*f));
    f->dwForwardDest = r->destination;
    f->dwForwardMask = r->mask;
    f->dwForwardPolicy = r->policy;
    f->dwForwardNextHop = r->nextHop;
    f->dwForwardIfIndex = r->ifIndex;
    f->dwForwardType = r->type;
    f->dwForwardProto = r->protocol;
    f->dwForwardAge = r->age;
    f->dwForwardNextHopAS = r->nextHopAS;
    f->dwForwardMetric1 = r->metric1;
    f->dwForwardMetric2 = r->metric2;
    f->dwForwardMetric3 = r->metric3;
    f->dwForwardMetric4 = r->metric4;
    f->dwForwardMetric5 = r->metric5;
}

static uint32_t ReadTable(RouteRow **rows, uint32_t *count)
{
    *rows = nullptr;
    *count = 0;
    // A size query into room for one row, then the table itself; the table
    // may grow in between, so a second shortage asks again.
    ULONG size = sizeof(MIB_IPFORWARDTABLE);
    MIB_IPFORWARDTABLE *table = nullptr;
    DWORD code = ERROR_INSUFFICIENT_BUFFER;
    for (int attempt = 0; attempt < 4 && code == ERROR_INSUFFICIENT_BUFFER; attempt++) {
        free(table);
        table = static_cast<MIB_IPFORWARDTABLE *>(malloc(size));
        if (!table)
            return ERROR_OUTOFMEMORY;
        ULONG asked = attempt == 0 ? 0 : size;
        code = GetIpForwardTable(table, &asked, FALSE);
        if (code == ERROR_INSUFFICIENT_BUFFER)
            size = asked;
    }
    if (code != NO_ERROR) {
        free(table);
        return code;
    }
    uint32_t n = table->dwNumEntries;
    RouteRow *out = static_cast<RouteRow *>(malloc((n ? n : 1) * sizeof(RouteRow)));
    if (!out) {
        free(table);
        return ERROR_OUTOFMEMORY;
    }
    for (uint32_t i = 0; i < n; i++)
        ToRow(&table->table[i], &out[i]);
    free(table);
    *rows = out;
    *count = n;
    return 0;
}

static void FreeTable(RouteRow *rows)
{
    free(rows);
}

static uint32_t Create(const RouteRow *r)
{
    MIB_IPFORWARDROW f;
    FromRow(r, &f);
    return CreateIpForwardEntry(&f);
}

static uint32_t Delete(const RouteRow *r)
{
    MIB_IPFORWARDROW f;
    FromRow(r, &f);
    return DeleteIpForwardEntry(&f);
}

static uint32_t Update(const RouteRow *r)
{
    MIB_IPFORWARDROW f;
    FromRow(r, &f);
    return SetIpForwardEntry(&f);
}

static uint32_t RunCommandToEnd(const char *parameters, uint32_t *exitCode)
{
    LOG_Print("%s %s\r\n", "route", parameters);
    return SVCPROC_RunHidden("route", parameters, ROUTE_WAIT_MS, exitCode);
}

uint32_t ROUTE_RunCommand(const char *parameters)
{
    return RunCommandToEnd(parameters, nullptr);
}

typedef DWORD(WINAPI *GetIpInterfaceEntryFn)(PMIB_IPINTERFACE_ROW row);

// From Vista on the system counts the interface's metric in to every route's
// and refuses a route whose metric is below it; XP has neither the metric
// nor the call. Looked up at run time like the service's other use of it.
static uint32_t InterfaceMetric(uint32_t index)
{
    if (IsLegacyWindows())
        return 0;
    HMODULE iphlp = static_cast<HMODULE>(SVCPROC_SystemLibrary("iphlpapi.dll"));
    GetIpInterfaceEntryFn get = iphlp ? reinterpret_cast<GetIpInterfaceEntryFn>(reinterpret_cast<void (*)()>(
                                            GetProcAddress(iphlp, "GetIpInterfaceEntry")))
                                      : nullptr;
    if (!get)
        return 0;
    MIB_IPINTERFACE_ROW row;
    ZeroMemory(&row, sizeof(row));
    row.Family = AF_INET;
    row.InterfaceIndex = index;
    return get(&row) == NO_ERROR ? row.Metric : 0;
}

static const RouteSys s_windows = {ReadTable,
                                   FreeTable,
                                   Create,
                                   Delete,
                                   Update,
                                   ROUTE_RunCommand,
                                   malloc,
                                   free,
                                   ERROR_OUTOFMEMORY,
                                   ERROR_INVALID_PARAMETER,
                                   ERROR_OBJECT_ALREADY_EXISTS,
                                   ERROR_ACCESS_DENIED,
                                   ERROR_NOT_SUPPORTED,
                                   RunCommandToEnd,
                                   InterfaceMetric,
                                   ERROR_NOT_FOUND,
                                   nullptr,
                                   nullptr,
                                   nullptr};

// The address table holds every address of the host with its mask; the
// broadcast address of each network is made from them.
bool ROUTE_IsLocalAddress(uint32_t address)
{
    ULONG size = 0;
    if (GetIpAddrTable(nullptr, &size, FALSE) != ERROR_INSUFFICIENT_BUFFER || size == 0)
        return true;
    for (int attempt = 0; attempt < 2; attempt++) {
        MIB_IPADDRTABLE *table = static_cast<MIB_IPADDRTABLE *>(malloc(size));
        if (!table)
            return true;
        DWORD code = GetIpAddrTable(table, &size, FALSE);
        if (code == ERROR_INSUFFICIENT_BUFFER) {
            free(table);
            continue;
        }
        bool local = code != NO_ERROR;
        for (DWORD i = 0; !local && i < table->dwNumEntries; i++) {
            const MIB_IPADDRROW *r = &table->table[i];
            uint32_t mask = r->dwMask;
            local = r->dwAddr == address ||
                    (mask != 0 && mask != 0xFFFFFFFFu && ((r->dwAddr & mask) | ~mask) == address);
        }
        free(table);
        return local;
    }
    return true;
}

const RouteSys *ROUTE_SystemBackend()
{
    return &s_windows;
}

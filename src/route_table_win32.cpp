// The IPv4 route table from the IP Helper forward table, unsorted.
#include "route_table.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <stdlib.h>

// The table can grow between the size query and the read (the route service
// adds routes while the client checks them): ask again a few times.
static const int kAttempts = 3;

ROUTE_TableResult ROUTE_ReadSystemTable(ROUTE_TableRow **rows, uint32_t *count, uint32_t *code)
{
    *rows = nullptr;
    *count = 0;
    ULONG size = 0;
    DWORD rc = GetIpForwardTable(nullptr, &size, FALSE);
    if (rc == ERROR_NO_DATA)
        rc = NO_ERROR;    // an empty table reads as one without rows
    for (int attempt = 0; attempt < kAttempts; attempt++) {
        if (rc != ERROR_INSUFFICIENT_BUFFER && rc != NO_ERROR) {
            *code = rc;
            return ROUTE_TABLE_FAILED;
        }
        if (size < sizeof(MIB_IPFORWARDTABLE))
            size = sizeof(MIB_IPFORWARDTABLE);
        MIB_IPFORWARDTABLE *table = static_cast<MIB_IPFORWARDTABLE *>(malloc(size));
        if (!table)
            return ROUTE_TABLE_NO_MEMORY;
        rc = GetIpForwardTable(table, &size, FALSE);
        if (rc == NO_ERROR) {
            DWORD n = table->dwNumEntries;
            ROUTE_TableRow *out = static_cast<ROUTE_TableRow *>(malloc((n ? n : 1) * sizeof *out));
            if (!out) {
                free(table);
                return ROUTE_TABLE_NO_MEMORY;
            }
            for (DWORD i = 0; i < n; i++) {
                const MIB_IPFORWARDROW &r = table->table[i];
                out[i].destination = r.dwForwardDest;
                out[i].mask = r.dwForwardMask;
                out[i].nextHop = r.dwForwardNextHop;
                out[i].ifIndex = r.dwForwardIfIndex;
                out[i].metric = r.dwForwardMetric1;
            }
            free(table);
            *rows = out;
            *count = n;
            return ROUTE_TABLE_OK;
        }
        free(table);
    }
    *code = rc;
    return ROUTE_TABLE_FAILED;
}

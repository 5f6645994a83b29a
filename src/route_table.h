// The system's IPv4 route table, read whole in the system's order: the IP
// Helper forward table on Windows, the kernel's main routing table
// (rtnetlink) on Linux. Addresses in network byte order.
#ifndef TLX_ROUTE_TABLE_H
#define TLX_ROUTE_TABLE_H

#include <stdint.h>

struct ROUTE_TableRow {
    uint32_t destination;
    uint32_t mask;
    uint32_t nextHop;     // 0 for a route on the link itself
    uint32_t ifIndex;
    uint32_t metric;      // the first metric
};

enum ROUTE_TableResult {
    ROUTE_TABLE_OK = 0,
    ROUTE_TABLE_NO_MEMORY = 1,
    ROUTE_TABLE_FAILED = 2     // *code: the system's error
};

// Reads the table into a new array (*rows, ROUTE_FreeTable), *count rows.
typedef ROUTE_TableResult (*ROUTE_TableReader)(ROUTE_TableRow **rows, uint32_t *count,
                                               uint32_t *code);

// The system's reader.
ROUTE_TableResult ROUTE_ReadSystemTable(ROUTE_TableRow **rows, uint32_t *count, uint32_t *code);

// Replaces the reader ROUTE_FindSystemRoute uses (tests); null restores the
// system's. Not for use while a lookup runs.
void ROUTE_SetTableReader(ROUTE_TableReader reader);
ROUTE_TableReader ROUTE_GetTableReader(void);

void ROUTE_FreeTable(ROUTE_TableRow *rows);

#endif

// The system IPv4 route table in the log, each route with the addresses of
// its interface.
#include "gui_console.h"

#include "gui_log.h"
#include "parse.h"
#include "route_table.h"

#include <atomic>
#include <stdlib.h>
#include <string.h>

namespace {

std::atomic<GUI_AddressReader> g_addressReader{nullptr};

const uint32_t kInterfaceTextSize = 128;

// Every address of the interface joined by "; ", "???" when it has none; cut
// to the field, never past it.
void InterfaceText(char (&out)[kInterfaceTextSize], uint32_t ifIndex,
                   const GUI_AdapterAddress *addresses, uint32_t count)
{
    out[0] = '\0';
    size_t len = 0;
    bool any = false;
    for (uint32_t i = 0; i < count; i++) {
        if (addresses[i].ifIndex != ifIndex)
            continue;
        char dotted[16];
        const char *text = addresses[i].valid ? IP_Format(dotted, sizeof dotted, &addresses[i].address)
                                              : "---";
        const char *parts[2] = {any ? "; " : "", text};
        for (const char *part : parts) {
            size_t n = strlen(part);
            if (n > sizeof out - 1 - len)
                n = sizeof out - 1 - len;
            memcpy(out + len, part, n);
            len += n;
        }
        out[len] = '\0';
        any = true;
    }
    if (!any)
        memcpy(out, "???", 4);
}

} // namespace

void GUI_FreeAdapterAddresses(GUI_AdapterAddress *rows)
{
    free(rows);
}

void GUI_SetAddressReader(GUI_AddressReader reader)
{
    g_addressReader.store(reader);
}

int GUI_PrintRouteTable(void)
{
    GUI_Print(1, 0, "\n");
    GUI_Print(1, 0, "System route table\n");
    GUI_Print(0, 0, "%2s %-15s %-15s %-15s  %-15s %-8s %-3s\n", "  ", "Network", "Netmask",
              "Gateway", "Interface", "Metric", "Age");
    GUI_Print(0, 0, "-------------------------------------------------------\n");

    GUI_AddressReader readAddresses = g_addressReader.load();
    if (!readAddresses)
        readAddresses = GUI_ReadAdapterAddresses;
    GUI_AdapterAddress *addresses = nullptr;
    uint32_t addressCount = 0;
    ROUTE_TableRow *rows = nullptr;
    uint32_t rowCount = 0, code = 0;
    bool ok = readAddresses(&addresses, &addressCount) &&
              ROUTE_GetTableReader()(&rows, &rowCount, &code) == ROUTE_TABLE_OK;

    if (ok) {
        for (uint32_t i = 0; i < rowCount; i++) {
            const ROUTE_TableRow &r = rows[i];
            char destination[16], mask[16], nextHop[16];
            char iface[kInterfaceTextSize];
            InterfaceText(iface, r.ifIndex, addresses, addressCount);
            // The table reader keeps no route age: the column shows 0.
            GUI_Print(0, 0, "%02d %-15s %-15s %-15s  %-15s %-8d %-3d\n", static_cast<int>(i),
                      IP_Format(destination, sizeof destination, &r.destination),
                      IP_Format(mask, sizeof mask, &r.mask),
                      IP_Format(nextHop, sizeof nextHop, &r.nextHop), iface,
                      static_cast<int>(r.metric), 0);
        }
    }
    ROUTE_FreeTable(rows);
    GUI_FreeAdapterAddresses(addresses);

    GUI_Print(1, 0, "\n");
    if (!ok) {
        GUI_Print(1, 0, "Error while getting system route table.\n");
        return 0;
    }
    return 1;
}

// Adapter addresses for the route table, from getifaddrs.
#include "gui_console.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>

namespace {

// An address label ("eth0:1") names its device before the colon.
uint32_t InterfaceIndex(const char *name)
{
    char device[IF_NAMESIZE];
    size_t n = strcspn(name, ":");
    if (n >= sizeof device)
        return 0;
    memcpy(device, name, n);
    device[n] = '\0';
    return if_nametoindex(device);
}

} // namespace

int GUI_ReadAdapterAddresses(GUI_AdapterAddress **rows, uint32_t *count)
{
    *rows = nullptr;
    *count = 0;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    uint32_t n = 0;
    for (struct ifaddrs *a = list; a; a = a->ifa_next)
        if (a->ifa_addr && a->ifa_addr->sa_family == AF_INET)
            n++;
    GUI_AdapterAddress *out = static_cast<GUI_AdapterAddress *>(malloc((n ? n : 1) * sizeof *out));
    if (!out) {
        freeifaddrs(list);
        return 0;
    }
    uint32_t i = 0;
    for (struct ifaddrs *a = list; a; a = a->ifa_next) {
        if (!a->ifa_addr || a->ifa_addr->sa_family != AF_INET)
            continue;
        out[i].ifIndex = InterfaceIndex(a->ifa_name);
        out[i].address = reinterpret_cast<const sockaddr_in *>(a->ifa_addr)->sin_addr.s_addr;
        out[i].valid = 1;
        i++;
    }
    freeifaddrs(list);
    *rows = out;
    *count = n;
    return 1;
}

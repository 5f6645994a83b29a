// Adapter addresses for the route table, from GetAdaptersAddresses.
#include "gui_console.h"

#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>

#include <stdlib.h>
#include <string.h>

namespace {

const ULONG kFirstBufferSize = 15360;

// The adapter list into a buffer of the first size, or of the size the
// system asks for when that is too small (one more try). Null on failure.
IP_ADAPTER_ADDRESSES *ReadAdapters(bool *empty)
{
    ULONG size = kFirstBufferSize;
    *empty = false;
    for (int attempt = 0; attempt < 2; attempt++) {
        IP_ADAPTER_ADDRESSES *list = static_cast<IP_ADAPTER_ADDRESSES *>(malloc(size));
        if (!list)
            return nullptr;
        ULONG rc = GetAdaptersAddresses(AF_INET, 0, nullptr, list, &size);
        if (rc == NO_ERROR)
            return list;
        free(list);
        if (rc == ERROR_NO_DATA) {
            *empty = true;    // no adapter at all: an empty list, not a failure
            return nullptr;
        }
        if (rc != ERROR_BUFFER_OVERFLOW)
            return nullptr;
    }
    return nullptr;
}

} // namespace

int GUI_ReadAdapterAddresses(GUI_AdapterAddress **rows, uint32_t *count)
{
    *rows = nullptr;
    *count = 0;
    bool empty = false;
    IP_ADAPTER_ADDRESSES *list = ReadAdapters(&empty);
    if (!list)
        return empty ? 1 : 0;

    uint32_t n = 0;
    for (IP_ADAPTER_ADDRESSES *a = list; a; a = a->Next)
        for (IP_ADAPTER_UNICAST_ADDRESS *u = a->FirstUnicastAddress; u; u = u->Next)
            n++;
    GUI_AdapterAddress *out = static_cast<GUI_AdapterAddress *>(malloc((n ? n : 1) * sizeof *out));
    if (!out) {
        free(list);
        return 0;
    }
    uint32_t i = 0;
    for (IP_ADAPTER_ADDRESSES *a = list; a; a = a->Next) {
        for (IP_ADAPTER_UNICAST_ADDRESS *u = a->FirstUnicastAddress; u; u = u->Next, i++) {
            const SOCKADDR *sa = u->Address.lpSockaddr;
            out[i].ifIndex = a->IfIndex;
            out[i].valid = sa && sa->sa_family == AF_INET &&
                           u->Address.iSockaddrLength >= static_cast<INT>(sizeof(sockaddr_in));
            out[i].address = out[i].valid
                                 ? reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr
                                 : 0;
        }
    }
    free(list);
    *rows = out;
    *count = n;
    return 1;
}

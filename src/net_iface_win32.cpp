// Interface lookup from the IP Helper adapter list. The IP Helper functions
// are looked up by name in "Iphlpapi.dll" at each use, so the program starts
// on systems that lack some of them.
#include "net_iface.h"

#include <winsock2.h>
#include <iphlpapi.h>
#include <ws2tcpip.h>

#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "str.h"

static const char *const kModule = "net_iface_win32";

typedef ULONG(WINAPI *GetAdaptersAddressesFn)(ULONG, ULONG, PVOID, PIP_ADAPTER_ADDRESSES, PULONG);
typedef DWORD(WINAPI *GetAdaptersInfoFn)(PIP_ADAPTER_INFO, PULONG);
typedef DWORD(WINAPI *ConvertLengthToIpv4MaskFn)(ULONG, PULONG);

enum {
    FIRST_BUFFER_SIZE = 15375,
    MAX_LIST_CALLS = 3,
    FLAGS_VISTA = GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_INCLUDE_GATEWAYS
};

void NETIFACE_SetResolverFile(const char *) {}

int NETIFACE_DescribeDnsSource(char *, uint32_t)
{
    return 0;
}

static FARPROC IpHelperFunction(const char *name)
{
    HMODULE module = GetModuleHandleA("Iphlpapi.dll");
    if (!module)
        module = LoadLibraryA("Iphlpapi.dll");
    return module ? GetProcAddress(module, name) : nullptr;
}

// Wide text into a single-byte field; a text that does not convert whole
// (a character outside the locale, or too long for the field) leaves it empty.
static void ConvertText(char *out, size_t size, const wchar_t *text)
{
    out[0] = '\0';
    if (!text)
        return;
    size_t n = wcstombs(out, text, size);
    if (n == static_cast<size_t>(-1) || n >= size)
        out[0] = '\0';
    else
        out[n] = '\0';
}

static uint32_t Ipv4Of(const SOCKET_ADDRESS &address)
{
    const sockaddr *sa = address.lpSockaddr;
    if (!sa || sa->sa_family != AF_INET)
        return 0;
    return reinterpret_cast<const sockaddr_in *>(sa)->sin_addr.s_addr;
}

static bool IsTapDescription(const wchar_t *description)
{
    static const wchar_t *const wide[2] = {L"SSL VPN TAP-Win32 Adapter", L"TAP-Windows Adapter V9"};
    if (!description)
        return false;
    for (const wchar_t *prefix : wide)
        if (wcsncmp(description, prefix, wcslen(prefix)) == 0)
            return true;
    return false;
}

// The unicast entry the key asks for: the first IPv4 one, or for a lookup
// by address the IPv4 one equal to it (0: any). Null when there is none.
static const IP_ADAPTER_UNICAST_ADDRESS *UnicastFor(const IP_ADAPTER_ADDRESSES *a,
                                                    const NETIFACE_Key *key)
{
    bool byAddress = key->kind == NETIFACE_BY_ADDRESS && key->value != 0;
    for (const IP_ADAPTER_UNICAST_ADDRESS *u = a->FirstUnicastAddress; u; u = u->Next) {
        if (u->Address.lpSockaddr && u->Address.lpSockaddr->sa_family == AF_INET &&
            (!byAddress || Ipv4Of(u->Address) == key->value))
            return u;
    }
    return nullptr;
}

static bool Matches(const IP_ADAPTER_ADDRESSES *a, const NETIFACE_Key *key)
{
    switch (key->kind) {
    case NETIFACE_BY_TAP:
        return a->OperStatus == IfOperStatusDown && IsTapDescription(a->Description);
    case NETIFACE_BY_INDEX:
        return a->IfIndex == key->value;
    case NETIFACE_BY_ADDRESS:
        return UnicastFor(a, key) != nullptr;
    default:
        return false;
    }
}

static uint32_t DottedToAddress(const char *text)
{
    in_addr a;
    if (!text || !text[0] || inet_pton(AF_INET, text, &a) != 1)
        return 0;
    return a.s_addr;
}

// Systems before Vista give gateway and mask only in the older adapter
// list. Failures leave both 0 and replace the chain's message; the lookup
// still succeeds.
static void LegacyGatewayAndMask(TUNLEX_InterfaceInfo *info, ErrorInfo *chain)
{
    info->gateway = 0;
    info->mask = 0;
    GetAdaptersInfoFn getInfo = reinterpret_cast<GetAdaptersInfoFn>(
        reinterpret_cast<void *>(IpHelperFunction("GetAdaptersInfo")));
    ULONG size = 0;
    DWORD rc = getInfo ? getInfo(nullptr, &size) : ERROR_PROC_NOT_FOUND;
    if (rc != ERROR_BUFFER_OVERFLOW) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to get number of adapters: %ld",
                      static_cast<long>(rc));
        return;
    }
    IP_ADAPTER_INFO *list = static_cast<IP_ADAPTER_INFO *>(malloc(size));
    if (!list) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to allocate %lu bytes",
                      static_cast<unsigned long>(size));
        return;
    }
    rc = getInfo(list, &size);
    if (rc != 0) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "GetAdaptersInfo returns error: %ld",
                      static_cast<long>(rc));
        free(list);
        return;
    }
    for (IP_ADAPTER_INFO *e = list; e; e = e->Next) {
        if (e->Index != info->ifIndex)
            continue;
        info->gateway = DottedToAddress(e->GatewayList.IpAddress.String);
        for (IP_ADDR_STRING *s = &e->IpAddressList; s; s = s->Next) {
            if (DottedToAddress(s->IpAddress.String) == info->address) {
                info->mask = DottedToAddress(s->IpMask.String);
                free(list);
                return;
            }
        }
        info->gateway = 0;
        break;
    }
    free(list);
}

static void Fill(const IP_ADAPTER_ADDRESSES *a, const NETIFACE_Key *key, bool preVista,
                 TUNLEX_InterfaceInfo *info, ErrorInfo *chain)
{
    memset(info, 0, sizeof *info);
    info->ifIndex = a->IfIndex;
    STR_Copy(info->adapterName, sizeof info->adapterName, a->AdapterName ? a->AdapterName : "",
             sizeof info->adapterName - 1);
    ConvertText(info->friendlyName, sizeof info->friendlyName, a->FriendlyName);
    ConvertText(info->description, sizeof info->description, a->Description);
    info->mtu = a->Mtu;
    if (const IP_ADAPTER_UNICAST_ADDRESS *u = UnicastFor(a, key)) {
        info->address = Ipv4Of(u->Address);
        if (!preVista) {
            ConvertLengthToIpv4MaskFn toMask = reinterpret_cast<ConvertLengthToIpv4MaskFn>(
                reinterpret_cast<void *>(IpHelperFunction("ConvertLengthToIpv4Mask")));
            ULONG mask = 0;
            if (toMask && toMask(u->OnLinkPrefixLength, &mask) == NO_ERROR)
                info->mask = mask;
        }
    }
    if (preVista) {
        LegacyGatewayAndMask(info, chain);
    } else {
        for (const IP_ADAPTER_GATEWAY_ADDRESS_LH *g = a->FirstGatewayAddress; g; g = g->Next) {
            uint32_t gw = Ipv4Of(g->Address);
            if (g->Address.lpSockaddr && g->Address.lpSockaddr->sa_family == AF_INET) {
                info->gateway = gw;
                break;
            }
        }
    }
    for (const IP_ADAPTER_DNS_SERVER_ADDRESS *d = a->FirstDnsServerAddress;
         d && (info->dns1 == 0 || info->dns2 == 0); d = d->Next) {
        uint32_t dns = Ipv4Of(d->Address);
        if (dns == 0)
            continue;
        if (info->dns1 == 0)
            info->dns1 = dns;
        else
            info->dns2 = dns;
    }
}

static void SetIfEmpty(ErrorInfo *chain, int32_t line, const char *text)
{
    if (chain && ERRORINFO_IsEmpty(chain))
        ERRORINFO_Set(chain, kModule, line, "%s", text);
}

const char *NETIFACE_TapHint(void)
{
    return "The client takes an adapter that no other client holds (disconnected) and whose "
           "description starts with \"TAP-Windows Adapter V9\" or \"SSL VPN TAP-Win32 Adapter\": "
           "install the TAP-Windows adapter driver, version 9, with one adapter";
}

int NETIFACE_SystemLookup(const NETIFACE_Key *key, TUNLEX_InterfaceInfo *info,
                          uint32_t *operStatus, ErrorInfo *chain)
{
    if (!key)
        return 0;
    bool preVista = TUNLEX_IsPreVista(chain) != 0;
    GetAdaptersAddressesFn getList = reinterpret_cast<GetAdaptersAddressesFn>(
        reinterpret_cast<void *>(IpHelperFunction("GetAdaptersAddresses")));
    if (!getList) {
        SetIfEmpty(chain, __LINE__, "Unable to fetch interface information");
        return 0;
    }
    ULONG size = FIRST_BUFFER_SIZE;
    IP_ADAPTER_ADDRESSES *list = nullptr;
    ULONG rc = ERROR_BUFFER_OVERFLOW;
    for (int call = 0; call < MAX_LIST_CALLS && rc == ERROR_BUFFER_OVERFLOW; ++call) {
        free(list);
        list = static_cast<IP_ADAPTER_ADDRESSES *>(malloc(size));
        if (!list) {
            SetIfEmpty(chain, __LINE__,
                       "Memory allocation failed for IP_ADAPTER_ADDRESSES struct\n");
            return 0;
        }
        rc = getList(AF_INET, preVista ? 0 : FLAGS_VISTA, nullptr, list, &size);
    }
    if (rc != NO_ERROR) {
        free(list);
        SetIfEmpty(chain, __LINE__, "Unable to fetch interface information");
        return 0;
    }
    int found = 0;
    for (const IP_ADAPTER_ADDRESSES *a = list; a; a = a->Next) {
        if (!Matches(a, key))
            continue;
        if (info)
            Fill(a, key, preVista, info, chain);
        if (operStatus)
            *operStatus = static_cast<uint32_t>(a->OperStatus);
        found = 1;
        break;
    }
    free(list);
    return found;
}

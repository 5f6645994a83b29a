// The parts of the interface lookup that every system shares: the TAP
// descriptions, the test hook in front of the system's list and the log
// print of a record.
#include "net_iface.h"

#include <atomic>

#include "gui_log.h"

static std::atomic<NETIFACE_LookupHook> g_lookupHook{nullptr};

void NETIFACE_TestSetLookupHook(NETIFACE_LookupHook hook)
{
    g_lookupHook.store(hook);
}

int NETIFACE_Lookup(const NETIFACE_Key *key, TUNLEX_InterfaceInfo *info, uint32_t *operStatus,
                    ErrorInfo *chain)
{
    if (!key)
        return 0;
    if (NETIFACE_LookupHook hook = g_lookupHook.load()) {
        int answer = hook(key, info, operStatus);
        if (answer >= 0)
            return answer;
    }
    return NETIFACE_SystemLookup(key, info, operStatus, chain);
}

const char *const NETIFACE_TapDescriptions[2] = {"SSL VPN TAP-Win32 Adapter",
                                                 "TAP-Windows Adapter V9"};

const char *NETIFACE_OperStatusName(uint32_t operStatus)
{
    static const char *const names[] = {"Up",      "Down",        "Testing",         "Unknown",
                                        "Dormant", "Not Present", "Lower Layer Down"};
    if (operStatus < NETIFACE_OPER_UP || operStatus > NETIFACE_OPER_LOWER_LAYER_DOWN)
        return "N/A";
    return names[operStatus - 1];
}

void NETIFACE_Print(const TUNLEX_InterfaceInfo *info, const uint32_t *operStatus)
{
    if (!info)
        return;
    GUI_Print(1, 0, "%s: \n", info->friendlyName);
    GUI_Print(1, 0, "  Index: %lu  MTU: %lu\n", static_cast<unsigned long>(info->ifIndex),
              static_cast<unsigned long>(info->mtu));
    GUI_Print(1, 0, "  IP: %s (%s)  GW: %s\n", TUNLEX_IpToString(info->address),
              TUNLEX_IpToString(info->mask), TUNLEX_IpToString(info->gateway));
    GUI_Print(1, 0, "  DNS1: %s  DNS2: %s\n", TUNLEX_IpToString(info->dns1),
              TUNLEX_IpToString(info->dns2));
    GUI_Print(1, 0, "  GUID:         %s\n", info->adapterName);
    GUI_Print(1, 0, "  Description:  %s\n", info->description);
    if (operStatus)
        GUI_Print(1, 0, "  Status: %s\r\n", NETIFACE_OperStatusName(*operStatus));
}

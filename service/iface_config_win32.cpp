// Windows: each step is one hidden netsh run; the interface metric goes
// through IP Helper, looked up at run time (older systems lack it).
#include "iface_config.h"
#include "service_log.h"
#include "svc_process.h"

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <iphlpapi.h>

// Every run is waited for to its end: a netsh still at work would meet the
// next one on the same interface. Three runs (the DNS servers) fit in the
// client's 60 s wait for one reply. Its exit code is only logged: a step
// netsh refuses (an MTU the adapter does not take) is not the client's
// failure.
#define NETSH_WAIT_MS 15000u

static uint32_t NETSH_Run(const char *parameters)
{
    LOG_Print("netsh %s\r\n", parameters);
    return SVCPROC_RunHidden("netsh", parameters, NETSH_WAIT_MS, nullptr);
}

static uint32_t RunStep(const IfaceStep *step)
{
    return NETSH_Run(step->command);
}

typedef DWORD(WINAPI *GetIpInterfaceEntryFn)(PMIB_IPINTERFACE_ROW row);
typedef DWORD(WINAPI *SetIpInterfaceEntryFn)(PMIB_IPINTERFACE_ROW row);

// IP Helper's interface calls, looked up at run time (older systems lack
// them); false with the code when they are not there.
static bool InterfaceCalls(GetIpInterfaceEntryFn *get, SetIpInterfaceEntryFn *set, uint32_t *code)
{
    HMODULE iphlp = static_cast<HMODULE>(SVCPROC_SystemLibrary("iphlpapi.dll"));
    *get = nullptr;
    *set = nullptr;
    if (iphlp) {
        *get = reinterpret_cast<GetIpInterfaceEntryFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(iphlp, "GetIpInterfaceEntry")));
        if (*get)
            *set = reinterpret_cast<SetIpInterfaceEntryFn>(
                reinterpret_cast<void (*)()>(GetProcAddress(iphlp, "SetIpInterfaceEntry")));
    }
    if (*get && *set)
        return true;
    uint32_t last = GetLastError();
    // A missing module or entry always has a code; keep the failure a failure.
    *code = last != 0 ? last : ERROR_PROC_NOT_FOUND;
    return false;
}

// The interface's IPv4 row as the system has it now; *set the call that
// writes it back.
static uint32_t ReadInterfaceRow(uint32_t index, MIB_IPINTERFACE_ROW *row, SetIpInterfaceEntryFn *set)
{
    GetIpInterfaceEntryFn get;
    uint32_t code = 0;
    if (!InterfaceCalls(&get, set, &code)) {
        LOG_Print("Warning: Unable to find \"GetIpInterfaceEntry\" function\r\n");
        return code;
    }
    ZeroMemory(row, sizeof(*row));
    row->Family = AF_INET;
    row->InterfaceIndex = index;
    return get(row);
}

// The interface's row, changed as asked and set.
static uint32_t SetInterfaceMetric(uint32_t index, uint32_t metric, bool automatic)
{
    MIB_IPINTERFACE_ROW row;
    SetIpInterfaceEntryFn set;
    uint32_t code = ReadInterfaceRow(index, &row, &set);
    if (code != NO_ERROR)
        return code;
    row.UseAutomaticMetric = automatic ? TRUE : FALSE;
    row.Metric = metric;
    // The call refuses the prefix length it reads back for IPv4.
    row.SitePrefixLength = 0;
    return set(&row);
}

static uint32_t SetMetric(uint32_t index)
{
    return SetInterfaceMetric(index, 1, false);
}

static uint32_t GetMetric(uint32_t index, uint32_t *metric, bool *automatic)
{
    MIB_IPINTERFACE_ROW row;
    SetIpInterfaceEntryFn set;
    uint32_t code = ReadInterfaceRow(index, &row, &set);
    if (code != NO_ERROR)
        return code;
    *metric = row.Metric;
    *automatic = row.UseAutomaticMetric != FALSE;
    return 0;
}

static bool Legacy()
{
    return IsLegacyWindows();
}

static const IfaceSys s_windows = {"netsh", Legacy, RunStep, SetMetric, ERROR_INVALID_PARAMETER, false,
                                   GetMetric, SetInterfaceMetric};

const IfaceSys *IFACE_SystemBackend()
{
    return &s_windows;
}

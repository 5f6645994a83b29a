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

static uint32_t SetMetric(uint32_t index)
{
    HMODULE iphlp = static_cast<HMODULE>(SVCPROC_SystemLibrary("iphlpapi.dll"));
    GetIpInterfaceEntryFn get = nullptr;
    SetIpInterfaceEntryFn set = nullptr;
    if (iphlp) {
        get = reinterpret_cast<GetIpInterfaceEntryFn>(
            reinterpret_cast<void (*)()>(GetProcAddress(iphlp, "GetIpInterfaceEntry")));
        if (get)
            set = reinterpret_cast<SetIpInterfaceEntryFn>(
                reinterpret_cast<void (*)()>(GetProcAddress(iphlp, "SetIpInterfaceEntry")));
    }
    if (!get || !set) {
        LOG_Print("Warning: Unable to find \"GetIpInterfaceEntry\" function\r\n");
        uint32_t code = GetLastError();
        // A missing module or entry always has a code; keep the failure a failure.
        return code != 0 ? code : ERROR_PROC_NOT_FOUND;
    }
    MIB_IPINTERFACE_ROW row;
    ZeroMemory(&row, sizeof(row));
    row.Family = AF_INET;
    row.InterfaceIndex = index;
    DWORD code = get(&row);
    if (code != NO_ERROR)
        return code;
    row.UseAutomaticMetric = FALSE;
    row.Metric = 1;
    row.SitePrefixLength = 0;
    return set(&row);
}

static bool Legacy()
{
    return IsLegacyWindows();
}

static const IfaceSys s_windows = {"netsh", Legacy, RunStep, SetMetric, ERROR_INVALID_PARAMETER, false};

const IfaceSys *IFACE_SystemBackend()
{
    return &s_windows;
}

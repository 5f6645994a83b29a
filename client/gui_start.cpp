// Program start, the parts every platform shares: the program's records, the
// instance hand-over record, the version and banner lines, opening the
// adapter and its placeholder set-up, the core's call tables, and the core's
// bring-up and the route service's hello in their start-up order.
#include "gui.h"

#include "config.h"
#include "errorinfo.h"
#include "gui_log.h"
#include "net_tap.h"
#include "route_service.h"
#include "client_routes.h"
#include "str.h"

#include <stdio.h>
#include <string.h>

AppOptions GUI_Options;
NETTAP_Handle *GUI_TapHandle = nullptr;
ROUTE_PipeHandle *GUI_RouteClient = nullptr;

const TUNLEX_AdapterOps GUI_AdapterOps = {
    NETTAP_GetInfo, NETTAP_SetMediaStatus, NETTAP_ConfigTun,
    NETTAP_Send,    NETTAP_Receive,        NETTAP_SetPacketDump,
    NETTAP_EndBurst, NETTAP_WaitHandle,    NETTAP_AwaitQueued,
};

const TUNLEX_RouteOps GUI_RouteOps = {
    SSL_Service_TUNLEX_SetAddressIface, SSL_Service_TUNLEX_RemoveGateway,
    SSL_Service_TUNLEX_SetDNSIface,     ROUTE_Service_Init,
    ROUTE_Service_Add,                  ROUTE_Service_CleanUp,
    ROUTE_Service_ClientStatus,         TUNLEX_AddRoutesTimer,
    TUNLEX_CheckRoutes,                 TUNLEX_RouteTimeoutTimer,
};

namespace {

#define GUI_AT ERRORINFO_AT("gui")

// An IPv4 address in network byte order from its four parts.
uint32_t Ip(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    uint8_t bytes[4] = {a, b, c, d};
    uint32_t address;
    memcpy(&address, bytes, sizeof address);
    return address;
}

void Cat(char (&text)[256], const char *more)
{
    size_t used = strlen(text);
    STR_LCopy(text + used, more, static_cast<uint32_t>(sizeof text - used));
}

}  // namespace

void GUI_PrintChainAsInfo(ErrorInfo *chain)
{
    if (!ERRORINFO_IsEmpty(chain))
        GUI_PrintErrorChain(0, chain);
    ERRORINFO_Clear(chain, GUI_AT);
}

int GUI_FillInstanceArguments(InstanceArguments *args, const wchar_t *commandLine)
{
    memset(args, 0, sizeof *args);
    size_t n = wcslen(commandLine);
    if (n >= GUI_INSTANCE_CHARS)
        return 0;
    for (size_t i = 0; i < n; ++i) {
        uint32_t c = static_cast<uint32_t>(commandLine[i]);
        if (c > 0xFFFFu) {
            memset(args, 0, sizeof *args);
            return 0;
        }
        args->commandLine[i] = static_cast<uint16_t>(c);
    }
    args->magic = GUI_INSTANCE_MAGIC;
    return 1;
}

int GUI_ReadInstanceArguments(uint32_t id, uint32_t size, const void *data, wchar_t *out)
{
    if (id != GUI_INSTANCE_COPYDATA_ID || size != GUI_INSTANCE_ARGUMENTS_SIZE || !data)
        return 0;
    InstanceArguments args;
    memcpy(&args, data, sizeof args);
    if (args.magic != GUI_INSTANCE_MAGIC)
        return 0;
    for (uint32_t i = 0; i < GUI_INSTANCE_CHARS; ++i) {
        out[i] = static_cast<wchar_t>(args.commandLine[i]);
        if (args.commandLine[i] == 0)
            return 1;
    }
    out[0] = L'\0';
    return 0;
}

int GUI_ApplyHandover(int argc, wchar_t **argv, TUNLEX_Config *merged)
{
    static AppOptions received;  // large; the GUI thread is the only caller
    memset(&received, 0, sizeof received);
    memset(merged, 0, sizeof *merged);
    ErrorInfo chain = {};
    int shown = 0;
    if (OPTIONS_ParseArguments(&received, &chain, argv, argc, OPTIONS_PASS_HANDOVER) &&
        CONFIG_Merge(&received, merged) && merged->server[0] != '\0') {
        GUI_Print(1, 0, "Received New Configuration\r\n");
        CONFIG_Print(merged);
        shown = 1;
    }
    ERRORINFO_Clear(&chain, GUI_AT);
    return shown;
}

void GUI_FormatWindowsVersion(char *out, uint32_t size, uint32_t major, uint32_t minor,
                              uint32_t productType, const char *servicePack)
{
    struct Name {
        uint32_t major, minor;
        const char *workstation, *other;
    };
    static const Name kNames[] = {
        {10, 0, "Windows 10", "Windows Server 2016"},
        {6, 3, "Windows 8.1", "Windows Server 2012 R2"},
        {6, 2, "Windows 8", "Windows Server 2012"},
        {6, 1, "Windows 7", "Windows Server 2008 R2"},
        {6, 0, "Windows Vista", "Windows Server 2008"},
        {5, 1, "Windows XP", "Windows XP"},
    };
    const char *word = productType == GUI_VER_NT_WORKSTATION        ? "Workstation"
                       : productType == GUI_VER_NT_DOMAIN_CONTROLLER ? "Domain Controller"
                       : productType == GUI_VER_NT_SERVER            ? "Server"
                                                                     : "";
    char text[256] = "(";
    const char *name = nullptr;
    for (const Name &n : kNames)
        if (n.major == major && n.minor == minor)
            name = productType == GUI_VER_NT_WORKSTATION ? n.workstation : n.other;
    if (!name) {
        Cat(text, "N/A");
    } else {
        Cat(text, name);
        if (servicePack && servicePack[0]) {
            Cat(text, " ");
            Cat(text, servicePack);
        }
    }
    Cat(text, ")");
    snprintf(out, size, "Windows Version: %lu.%lu %s %s\r\n", static_cast<unsigned long>(major),
             static_cast<unsigned long>(minor), word, text);
}

void GUI_PrintBanner(void)
{
    GUI_Print(1, 0, "Quorvanti Vantorelle SSL VPN\r\n");
    GUI_Print(1, 0, "Version: 2.02.01.01\r\n");
    GUI_Print(1, 0, "Build: 2020-03-31 10:38 (a3c192e)\r\n");
}

NETTAP_Handle *GUI_OpenTap(ErrorInfo *chain)
{
    NETTAP_Handle *tap = NETTAP_Find(0, chain);
    if (!tap) {
        if (ERRORINFO_IsEmpty(chain))
            ERRORINFO_Set(chain, GUI_AT, "No TUN/TAP adapter found");
        return nullptr;
    }
    if (NETTAP_Open(tap, chain))
        return tap;
    if (ERRORINFO_IsEmpty(chain))
        ERRORINFO_Set(chain, GUI_AT, "Unable to setup TUN/TAP adapter");
    ErrorInfo scratch = {};  // the open failure is the cause worth keeping
    NETTAP_Close(tap, &scratch);
    NETTAP_Free(tap, &scratch);
    ERRORINFO_Clear(&scratch, GUI_AT);
    return nullptr;
}

int GUI_ResetInterface(ROUTE_PipeHandle *pipe, NETTAP_Handle *tap, ErrorInfo *chain)
{
    SSL_Service_TUNLEX_SetAddressIface(pipe, tap, Ip(1, 1, 1, 1), Ip(255, 255, 255, 0),
                                       Ip(255, 255, 255, 255), 1400, chain);
    GUI_PrintChainAsInfo(chain);
    SSL_Service_TUNLEX_SetDNSIface(pipe, tap, 1, 0, 0, chain);
    GUI_PrintChainAsInfo(chain);
    return 1;
}

int GUI_StartCore(TUNLEX_StateCallback onState, void *stateUser, ErrorInfo *chain)
{
    if (!TUNLEX_InitLayers(chain))
        return 0;
    GUI_ActiveConnection = TUNLEX_Create();
    TUNLEX_Connection *conn = GUI_ActiveConnection;
    if (!conn)
        return 0;
    if (!GUI_Options.overrides.noRoutes)
        GUI_PrintChainAsInfo(chain);
    if (GUI_Options.capture)
        TUNLEX_SetCapture(conn, GUI_Options.capture);
    GUI_TapHandle = GUI_OpenTap(chain);
    if (!GUI_TapHandle)
        return 0;
    TUNLEX_SetTap(conn, GUI_TapHandle, GUI_Options.logPackets);
    TUNLEX_SetAdapterOps(&GUI_AdapterOps);
    TUNLEX_SetRouteOps(&GUI_RouteOps);
    TUNLEX_SetStateCallback(conn, onState, stateUser);
    TUNLEX_SetExitCallback(conn, GUI_OnConnectionExit, nullptr);
    return 1;
}

int GUI_HelloService(ErrorInfo *chain)
{
    GUI_RouteClient = ROUTE_Service_ClientHello(chain, GUI_TapHandle);
    if (!GUI_RouteClient)
        return 0;
    TUNLEX_SetRouteClient(GUI_ActiveConnection, GUI_RouteClient);
    GUI_ResetInterface(GUI_RouteClient, GUI_TapHandle, chain);
    return 1;
}

// The user interface's rules, shared by the Windows dialogs and the console
// front end: connect dialog fields, the one-time-password exchange, the
// connection control, the core callbacks, label texts and the tray menu.
#include "gui_ui.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <wchar.h>

#include "config_i.h"
#include "errorinfo.h"
#include "gui_log.h"
#include "gui_resource.h"
#include "str.h"

TUNLEX_Config GUI_StartupConfig;
TUNLEX_Config GUI_DialogConfig;
TUNLEX_Config GUI_DisplayedConfig;
GUI_StateMemory GUI_LastState;

namespace {

const char kModule[] = "gui";

const GUI_StatusOps *g_ops = nullptr;

const GUI_StatusOps &Ops()
{
    return g_ops ? *g_ops : *GUI_PlatformStatusOps();
}

// The table's entries may be missing (tests fill only what they watch).
void Balloon(const char *title, const char *text)
{
    if (Ops().ShowBalloon && text && text[0])
        Ops().ShowBalloon(title, text);
}

void TrayIcon(uint32_t id)
{
    if (Ops().SetTrayIcon)
        Ops().SetTrayIcon(id);
}

void PrintRoutes()
{
    if (Ops().PrintRouteTable)
        Ops().PrintRouteTable();
}

const char *FirstMessage(TUNLEX_Connection *conn)
{
    const ErrorInfo *error = TUNLEX_GetError(conn);
    return ERRORINFO_IsEmpty(error) ? nullptr : error->message;
}

void PrintNetwork(TUNLEX_Connection *conn, TUNLEX_State state)
{
    GUI_Print(1, 0, "%s", state == TUNLEX_STATE_CONNECTED
                              ? "\r\nConnected\r\n---------------------------\r\n"
                              : "\r\nServer Configuration\r\n---------------------------\r\n");
    const TUNLEX_NetworkConfig *net = TUNLEX_GetNetworkConfig(conn);
    if (!net)
        return;
    const struct {
        const char *name;
        uint32_t address;
    } lines[] = {{"ClientIP", net->ClientIP}, {"ServerIP", net->ServerIP}, {"DNS1", net->DNS1},
                 {"DNS2", net->DNS2},         {"NBNS1", net->NBNS1},       {"NBNS2", net->NBNS2}};
    for (const auto &line : lines)
        GUI_Print(1, 0, "%-10s: %s\n", line.name, TUNLEX_IpToString(line.address));
    GUI_Print(1, 0, "%-10s: %lu\n", "MTU", static_cast<unsigned long>(net->MTU));
    GUI_Print(1, 0, "%-10s: %lu\n", "MRU", static_cast<unsigned long>(net->MRU));
}

// First arrival at Connected: routes in the log, balloon and icon, the
// default configuration brought up to date, the gateway's page.
void OnConnected(TUNLEX_Connection *conn)
{
    PrintRoutes();
    char text[GUI_BALLOON_TEXT_SIZE];
    snprintf(text, sizeof text, "Assigned IP \"%s\"", TUNLEX_IpToString(TUNLEX_GetClientIP(conn)));
    Balloon("Connected", text);
    TrayIcon(IDI_CONNECTED);

    const TUNLEX_Config *cfg = TUNLEX_GetConfig(conn);
    if (cfg && !CONFIG_Equal(cfg, &GUI_Options.defaultConfig)) {
        ErrorInfo chain = {};
        GUI_Print(1, 0, "Updating default configuration:\r\n");
        CONFIG_Print(cfg);
        CONFIG_Copy(&GUI_Options.defaultConfig, cfg, nullptr);
        if (!OPTIONS_SaveDefaultConfig(&chain, cfg))
            GUI_PrintErrorChain(1, &chain);
        GUI_ShowConfig(cfg);
        ERRORINFO_Clear(&chain, ERRORINFO_AT(kModule));
    }
    if (conn && conn->gatewayUrl[0])
        GUI_OpenUrl(conn->gatewayUrl);
}

bool StartsWithNoCase(const char *text, const char *prefix)
{
    for (; *prefix; ++text, ++prefix)
        if (tolower(static_cast<unsigned char>(*text)) != tolower(static_cast<unsigned char>(*prefix)))
            return false;
    return true;
}

// Behind the state's own line, what the error found besides (where the
// client looked, what the gateway showed), and for a refused certificate
// where the fingerprint it was compared with lives.
void PrintErrorDetails(TUNLEX_Connection *conn, TUNLEX_ErrorKind kind)
{
    const ErrorInfo *error = TUNLEX_GetError(conn);
    for (const ErrorInfo *e = error ? error->next : nullptr; e && e->message; e = e->next)
        GUI_Print(1, 1, "%s\n", e->message);
    if (kind != TUNLEX_KIND_PPP_PHASE)
        return;
    char hint[1400];
    GUI_PinSourceHint(hint, sizeof hint);
    GUI_Print(1, 1, "%s\n", hint);
}

} // namespace

void GUI_PinSourceHint(char *out, uint32_t size)
{
    // The same order as the merge: the command line's server, the file's, the default's.
    if (GUI_Options.overrides.server[0]) {
        snprintf(out, size, "The fingerprint comes from -fingerprint on the command line: name "
                            "the gateway's new fingerprint there to start afresh");
        return;
    }
    if (GUI_Options.fileConfig.server[0]) {
        snprintf(out, size, "The fingerprint comes from the SSLFingerprint of the configuration "
                            "file \"%s\": removing it there, or naming the gateway's new "
                            "fingerprint with -server and -fingerprint, starts afresh",
                 GUI_Options.configName);
        return;
    }
    wchar_t wide[OPTIONS_PATH_SIZE];
    char path[1024];
    if (!OPTIONS_DefaultConfigPath(wide, nullptr, "") || wcstombs(path, wide, sizeof path) >= sizeof path)
        STR_LCopy(path, "default.tlxcf", sizeof path);
    snprintf(out, size, "The client remembered the fingerprint in \"%s\": removing that file, or "
                        "naming the gateway's new fingerprint with -server and -fingerprint, "
                        "starts afresh",
             path);
}

void GUI_SetStatusOps(const GUI_StatusOps *ops)
{
    g_ops = ops;
}

// ---- Connect dialog ----

void GUI_InitConfigs(void)
{
    CONFIG_Merge(&GUI_Options, &GUI_StartupConfig);
    CONFIG_Copy(&GUI_DialogConfig, &GUI_StartupConfig, nullptr);
    GUI_ApplyConfig(&GUI_DialogConfig);
}

void GUI_ShowConfig(const TUNLEX_Config *cfg)
{
    if (Ops().ShowConfig)
        Ops().ShowConfig(cfg);
    else
        GUI_ApplyConfig(cfg);
}

void GUI_ApplyConfig(const TUNLEX_Config *cfg)
{
    // CONFIG_Copy zeroes its target first, and cfg may be the target itself.
    TUNLEX_Config copy;
    CONFIG_Copy(&copy, cfg, nullptr);
    GUI_DisplayedConfig = copy;
    if (Ops().ShowFields)
        Ops().ShowFields(&GUI_DisplayedConfig);
}

void GUI_FormatPort(char *out, uint32_t size, uint16_t port)
{
    snprintf(out, size, "%u", static_cast<unsigned>(port ? port : CONFIG_DEFAULT_PORT));
}

void GUI_ViewConfig(const TUNLEX_Config *displayed, GUI_ConnectFields *fields)
{
    memset(fields, 0, sizeof *fields);
    GUI_FormatPort(fields->port, sizeof fields->port, displayed->port);
    STR_LCopy(fields->address, displayed->server, sizeof fields->address);
    STR_LCopy(fields->user, displayed->user, sizeof fields->user);
    STR_LCopy(fields->password, displayed->password, sizeof fields->password);
    STR_LCopy(fields->passwordUtf8, displayed->passwordUtf8, sizeof fields->passwordUtf8);
    bool pinned = displayed->fingerprint[0] != '\0';
    fields->customServer = !pinned;
    fields->customEnabled = pinned;
    fields->serverReadOnly = pinned;
}

int GUI_CustomServerChanged(GUI_ConnectFields *fields, int checked)
{
    fields->customServer = checked != 0;
    fields->serverReadOnly = !checked;
    // Back to the pinned server: the one of the configuration on display,
    // whose fingerprint and routes a connect then sends with it.
    const TUNLEX_Config *shown = &GUI_DisplayedConfig;
    if (checked || !shown->server[0] || !shown->fingerprint[0])
        return 0;
    STR_LCopy(fields->address, shown->server, sizeof fields->address);
    GUI_FormatPort(fields->port, sizeof fields->port, shown->port);
    return 1;
}

void GUI_ReadConnectFields(const GUI_ConnectFields *fields, TUNLEX_Config *dialog,
                           const TUNLEX_Config *displayed)
{
    STR_LCopy(dialog->user, fields->user, sizeof dialog->user);
    STR_LCopy(dialog->password, fields->password, sizeof dialog->password);
    STR_LCopy(dialog->passwordUtf8, fields->passwordUtf8, sizeof dialog->passwordUtf8);
    STR_LCopy(dialog->server, fields->address, sizeof dialog->server);

    // A pinned fingerprint (and its routes) belongs to the displayed server
    // only; a custom server is connected without either.
    dialog->fingerprint[0] = '\0';
    bool keepPin = !fields->customServer && displayed->fingerprint[0];
    if (keepPin)
        STR_LCopy(dialog->fingerprint, displayed->fingerprint, sizeof dialog->fingerprint);

    char port[GUI_PORT_TEXT_SIZE];
    STR_LCopy(port, fields->port, sizeof port);
    long value = strtol(port, nullptr, 10);
    dialog->port = (value > 0 && value <= static_cast<long>(CONFIG_MAX_PORT))
                       ? static_cast<uint16_t>(value)
                       : CONFIG_DEFAULT_PORT;

    dialog->autoReconnect = displayed->autoReconnect;
    dialog->noRoutes = displayed->noRoutes;
    dialog->routeCount = 0;
    memset(dialog->routes, 0, sizeof dialog->routes);
    dialog->refusedRoutes[0] = '\0';
    if (!dialog->noRoutes && keepPin) {
        dialog->routeCount = displayed->routeCount;
        memcpy(dialog->routes, displayed->routes, sizeof dialog->routes);
        STR_LCopy(dialog->refusedRoutes, displayed->refusedRoutes, sizeof dialog->refusedRoutes);
    }
}

void GUI_ClearOtpState(TUNLEX_Config *cfg)
{
    cfg->RadiusState[0] = '\0';
    cfg->otpPrompt[0] = '\0';
    cfg->otp[0] = '\0';
}

void GUI_ConnectPressed(const GUI_ConnectFields *fields)
{
    GUI_ClearOtpState(&GUI_DialogConfig);
    GUI_ConnectFromFields(fields);
}

void GUI_ConnectFromFields(const GUI_ConnectFields *fields)
{
    GUI_ReadConnectFields(fields, &GUI_DialogConfig, &GUI_DisplayedConfig);
    GUI_Connect(&GUI_DialogConfig);
}

void GUI_OtpPrompt(char *out, uint32_t size)
{
    STR_LCopy(out, GUI_DisplayedConfig.otpPrompt, size);
}

void GUI_OtpTakeCode(const char *code)
{
    STR_LCopy(GUI_DialogConfig.RadiusState, GUI_DisplayedConfig.RadiusState,
              sizeof GUI_DialogConfig.RadiusState);
    STR_LCopy(GUI_DialogConfig.otpPrompt, GUI_DisplayedConfig.otpPrompt,
              sizeof GUI_DialogConfig.otpPrompt);
    STR_LCopy(GUI_DialogConfig.otp, code ? code : "", sizeof GUI_DialogConfig.otp);
}

void GUI_OtpAccepted(const char *code, const GUI_ConnectFields *fields)
{
    GUI_OtpTakeCode(code);
    GUI_ConnectFromFields(fields);
}

void GUI_OtpRefused(void)
{
    GUI_ClearOtpState(&GUI_DisplayedConfig);
    GUI_ClearOtpState(&GUI_DialogConfig);
}

// ---- Connection control ----

void GUI_StopConnection(ErrorInfo *chain)
{
    TUNLEX_Connection *conn = GUI_ActiveConnection;
    if (!conn)
        return;
    if (!TUNLEX_IsRunning(conn, chain)) {
        if (!ERRORINFO_IsEmpty(chain)) {
            // Reported here; the caller's chain is left for the stop itself.
            GUI_PrintErrorChain(1, chain);
            ERRORINFO_Clear(chain, ERRORINFO_AT(kModule));
        } else if (TUNLEX_GetState(conn) == TUNLEX_STATE_DISCONNECTED) {
            return;
        }
    }
    PrintRoutes();
    TUNLEX_Disconnect(conn, chain);
}

void GUI_Connect(TUNLEX_Config *cfg)
{
    TUNLEX_Connection *conn = GUI_ActiveConnection;
    ErrorInfo chain = {};
    GUI_StopConnection(&chain);
    ERRORINFO_Clear(&chain, ERRORINFO_AT(kModule));

    cfg->autoReconnect = GUI_Options.autoReconnect != 0;
    if (TUNLEX_SetConfig(conn, cfg, &chain)) {
        PrintRoutes();
        if (!TUNLEX_Connect(conn, &chain)) {
            if (ERRORINFO_IsEmpty(&chain))
                ERRORINFO_Set(&chain, ERRORINFO_AT(kModule), "Unknown error initializing connection");
            Balloon("Error", chain.message);
            if (Ops().ErrorBox)
                Ops().ErrorBox(chain.message ? chain.message : "");
        }
    } else if (!ERRORINFO_IsEmpty(&chain)) {
        Balloon("Error", chain.message);
        GUI_PrintErrorChain(2, &chain);
    }
    ERRORINFO_Clear(&chain, ERRORINFO_AT(kModule));
}

void GUI_Disconnect(void)
{
    ErrorInfo chain = {};
    GUI_StopConnection(&chain);
    if (!ERRORINFO_IsEmpty(&chain)) {
        Balloon("Error", chain.message);
        GUI_PrintErrorChain(2, &chain);
    }
    TrayIcon(IDI_DISCONNECTED);
    ERRORINFO_Clear(&chain, ERRORINFO_AT(kModule));
}

// ---- Core callbacks ----

void GUI_OnStateChange(TUNLEX_Connection *conn, void *user, TUNLEX_State state,
                       TUNLEX_ErrorKind kind)
{
    GUI_StateMemory *memory = user ? static_cast<GUI_StateMemory *>(user) : &GUI_LastState;
    const int32_t last = memory->state;
    char text[GUI_BALLOON_TEXT_SIZE];

    if (state == TUNLEX_STATE_PPP_UP || state == TUNLEX_STATE_CONNECTED)
        PrintNetwork(conn, state);

    switch (state) {
    case TUNLEX_STATE_CONNECTING:
        if (last != TUNLEX_STATE_CONNECTING) {
            snprintf(text, sizeof text, "Connecting to \"%s\":%u", TUNLEX_GetServer(conn),
                     static_cast<unsigned>(TUNLEX_GetPort(conn)));
            Balloon("Connecting", text);
            TrayIcon(IDI_CONNECTING);
        }
        break;
    case TUNLEX_STATE_CONNECTED:
        if (last != TUNLEX_STATE_CONNECTED)
            OnConnected(conn);
        break;
    case TUNLEX_STATE_OTP_PROMPTED:
        if (last != TUNLEX_STATE_OTP_PROMPTED) {
            // The displayed configuration must carry the gateway's state and
            // prompt before the dialog asks for the code.
            const TUNLEX_Config *cfg = TUNLEX_GetConfig(conn);
            if (cfg && cfg->RadiusState[0])
                GUI_ShowConfig(cfg);
            if (Ops().RequestOtp)
                Ops().RequestOtp();
        }
        break;
    case TUNLEX_STATE_ERROR:
        if (last != TUNLEX_STATE_ERROR) {
            const char *message = FirstMessage(conn);
            STR_LCopy(text, message ? message : "Connection terminated", sizeof text);
            Balloon("Disconnected", text);
            if (!Ops().balloonsAreLogLines)
                GUI_Print(1, 0, "Disconnected: %s\n", text);
            PrintErrorDetails(conn, kind);
            TrayIcon(IDI_DISCONNECTED);
            if (conn)
                GUI_ClearOtpState(&conn->config);
        }
        break;
    case TUNLEX_STATE_DISCONNECTED:
        if (last == TUNLEX_STATE_CONNECTING || last == TUNLEX_STATE_PPP_UP ||
            last == TUNLEX_STATE_CONNECTED) {
            Balloon("Disconnected", "The client is disconnected");
            TrayIcon(IDI_DISCONNECTED);
        }
        break;
    default:
        break;
    }
    memory->state = static_cast<int32_t>(state);
    memory->kind = static_cast<int32_t>(kind);
}

void GUI_OnConnectionExit(TUNLEX_Connection *conn, void *user, TUNLEX_State state,
                          TUNLEX_ErrorKind kind)
{
    (void)user;
    if (state == TUNLEX_STATE_ERROR) {
        const char *message = FirstMessage(conn);
        switch (kind) {
        case TUNLEX_KIND_PPP_PHASE:
            Balloon("Error", "Server SSL Certificate doesn't match downloaded configuration");
            break;
        case TUNLEX_KIND_AUTHENTICATION:
            Balloon("Error",
                    "Verify that the right username and password is used, and that the user may log in");
            if (Ops().RestoreConnectDialog)
                Ops().RestoreConnectDialog();
            break;
        case TUNLEX_KIND_ROUTE_TIMEOUT:
            Balloon("Error", "Unable to setup config routes");
            break;
        default:
            Balloon("Error", message ? message : "Unknown Error");
            break;
        }
    }
    if (Ops().ConnectionEnded)
        Ops().ConnectionEnded(state, kind);
}

// ---- Statistics labels ----

void GUI_FormatMegabytes(char *out, uint32_t size, uint64_t bytes)
{
    // Tenths of a megabyte, cut; split so that no byte count overflows.
    uint64_t tenths = (bytes >> 20) * 10 + (((bytes & 0xFFFFF) * 10) >> 20);
    snprintf(out, size, "%llu.%u", static_cast<unsigned long long>(tenths / 10),
             static_cast<unsigned>(tenths % 10));
}

void GUI_FormatKilobytesPerSecond(char *out, uint32_t size, uint32_t rate)
{
    snprintf(out, size, "%10llu", static_cast<unsigned long long>(rate >> 10));
}

void GUI_FormatAddress(char *out, uint32_t size, uint32_t address)
{
    uint8_t b[4];
    memcpy(b, &address, sizeof b);
    snprintf(out, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

namespace {

template <typename T>
uint32_t Remember(T &shown, T value, uint32_t bit)
{
    if (shown == value)
        return 0;
    shown = value;
    return 1u << bit;
}

} // namespace

uint32_t GUI_TrafficChanges(GUI_LabelMemory *shown, const TUNLEX_Statistics *stats)
{
    if (!stats)
        return 0;
    return Remember(shown->bytesSent, stats->bytesSent, 0) |
           Remember(shown->bytesReceived, stats->bytesReceived, 1) |
           Remember(shown->sendRate, stats->sendRate, 2) |
           Remember(shown->receiveRate, stats->receiveRate, 3);
}

uint32_t GUI_AddressChanges(GUI_LabelMemory *shown, const TUNLEX_NetworkConfig *net)
{
    if (!net)
        return 0;
    return Remember(shown->clientIP, net->ClientIP, 4) | Remember(shown->serverIP, net->ServerIP, 5) |
           Remember(shown->dns1, net->DNS1, 6) | Remember(shown->dns2, net->DNS2, 7);
}

void GUI_LabelText(const GUI_LabelMemory *shown, uint32_t index, char *out, uint32_t size)
{
    switch (index) {
    case 0: GUI_FormatMegabytes(out, size, shown->bytesSent); break;
    case 1: GUI_FormatMegabytes(out, size, shown->bytesReceived); break;
    case 2: GUI_FormatKilobytesPerSecond(out, size, shown->sendRate); break;
    case 3: GUI_FormatKilobytesPerSecond(out, size, shown->receiveRate); break;
    case 4: GUI_FormatAddress(out, size, shown->clientIP); break;
    case 5: GUI_FormatAddress(out, size, shown->serverIP); break;
    case 6: GUI_FormatAddress(out, size, shown->dns1); break;
    case 7: GUI_FormatAddress(out, size, shown->dns2); break;
    default: if (size) out[0] = '\0'; break;
    }
}

// ---- Tray menu ----

void GUI_TrayMenu(uint32_t state, int autoReconnect, GUI_MenuItem (&items)[GUI_TRAY_MENU_ITEMS])
{
    const bool disconnected = state == TUNLEX_STATE_DISCONNECTED;
    const GUI_MenuItem separator = {0, nullptr, GUI_MENU_SEPARATOR};
    const GUI_MenuItem menu[GUI_TRAY_MENU_ITEMS] = {
        {IDM_STATISTICS, "Statistics", GUI_MENU_DEFAULT},
        separator,
        {IDM_CONNECT, "Connect", disconnected ? 0u : GUI_MENU_GRAYED},
        {IDM_DISCONNECT, "Disconnect", disconnected ? GUI_MENU_GRAYED : 0u},
        separator,
        {IDM_AUTO_RECONNECT, "Auto Reconnect", autoReconnect ? GUI_MENU_CHECKED : 0u},
        separator,
        {IDM_CONSOLE, "Diagnostic Console...", 0},
        separator,
        {IDM_ABOUT, "About...", 0},
        separator,
        {IDM_EXIT, "Exit", 0},
    };
    for (uint32_t i = 0; i < GUI_TRAY_MENU_ITEMS; ++i)
        items[i] = menu[i];
}

void GUI_ToggleAutoReconnect(void)
{
    int on = !GUI_Options.autoReconnect;
    GUI_Options.autoReconnect = on;
    if (GUI_ActiveConnection)
        GUI_ActiveConnection->config.autoReconnect = static_cast<uint32_t>(on);
    OPTIONS_SetAutoReconnect(on);
}

// ---- Gateway page ----

int GUI_CheckUrlPrefix(const char *url, ErrorInfo *chain)
{
    if (url && (StartsWithNoCase(url, "http://") || StartsWithNoCase(url, "https://")))
        return 1;
    ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "URL validation failed, missing \"HTTP(S)\" prefix");
    return 0;
}

const char *GUI_ShellOpenReason(intptr_t result)
{
    static const struct {
        intptr_t result;
        const char *reason;
    } reasons[] = {
        {0, "The operating system is out of memory or resources."},
        {2, "The specified file was not found."},
        {3, "The specified path was not found."},
        {5, "The operating system denied access to the specified file."},
        {8, "There was not enough memory to complete the operation."},
        {11, "The .exe file is invalid (non-Win32 .exe or error in .exe image)."},
        {26, "A sharing violation occurred."},
        {27, "The file name association is incomplete or invalid."},
        {28, "The DDE transaction could not be completed because the request timed out."},
        {29, "The DDE transaction failed."},
        {30, "The DDE transaction could not be completed because other DDE transactions were being processed."},
        {31, "There is no application associated with the given file name extension."},
        {32, "The specified DLL was not found."},
    };
    for (const auto &r : reasons)
        if (r.result == result)
            return r.reason;
    return "Unknown reason";
}

void GUI_OpenUrl(const char *url)
{
    const char *text = url ? url : "";
    GUI_Print(1, 0, "Opening URL: \"%s\"\r\n", text);
    ErrorInfo chain = {};
    int opened = GUI_CheckUrlPrefix(text, &chain) && Ops().LaunchUrl && Ops().LaunchUrl(text, &chain);
    if (!opened && !ERRORINFO_IsEmpty(&chain)) {
        Balloon("Warning", chain.message);
        GUI_PrintErrorChain(1, &chain);
    }
    ERRORINFO_Clear(&chain, ERRORINFO_AT(kModule));
}

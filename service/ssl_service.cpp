#include "ssl_service.h"
#include "service_log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

static const char LINE_OPENING[] =
    "\r\n------------------------------\r\n  Opening new PIPE\r\n------------------------------\r\n\r\n";
static const char LINE_DISCONNECTED[] =
    "\r\n------------------------------\r\n  Client disconnected\r\n------------------------------\r\n\r\n";
static const char LINE_ESTABLISHED[] =
    "\r\n------------------------------\r\n   Connection established     \r\n------------------------------\r\n";
static const char LINE_FAILED[] =
    "\r\n------------------------------\r\n      Connection failed       \r\n------------------------------\r\n";

CSSLService::CSSLService(const ServiceOps *ops_)
    : stopping(0), stoppedEvent(nullptr), lastError(0), pipe(nullptr), requestLength(0), replyLength(0),
      pending(0), pipeState(PIPE_CONNECTING), adapterIndex(0), ops(ops_)
{
    request[0] = '\0';
    reply[0] = '\0';
    adapterName[0] = '\0';
    uint32_t code = SVCSYS_EventCreate(&stoppedEvent);
    if (code == 0)
        code = PIPESYS_Create(&pipe);
    if (code != 0) {
        if (stoppedEvent)
            SVCSYS_EventClose(stoppedEvent);
        throw code;
    }
}

CSSLService::~CSSLService()
{
    PIPESYS_Destroy(pipe);
    if (stoppedEvent)
        SVCSYS_EventClose(stoppedEvent);
}

void CSSLService::OnServiceStart(uint32_t, char **)
{
    EVENTLOG_Write(SVC_EVENT_INFO, "The service have started");
    QueueWorker();
}

struct WorkItem {
    void (CSSLService::*op)();
    CSSLService *service;
};

void CSSLService::QueueWorker()
{
    WorkItem *item = new (std::nothrow) WorkItem{&CSSLService::RunWorker, this};
    if (!item)
        throw SVCSYS_OutOfMemory;
    uint32_t code = SVCSYS_QueueWork(&CSSLService::WorkItemThunk, item);
    if (code != 0) {
        delete item;
        throw code;
    }
}

void CSSLService::WorkItemThunk(void *context)
{
    WorkItem *item = static_cast<WorkItem *>(context);
    (item->service->*item->op)();
    delete item;
}

bool CSSLService::HasStopped()
{
    return SVCSYS_EventIsSet(stoppedEvent);
}

void CSSLService::OnServiceStop()
{
    EVENTLOG_Write(SVC_EVENT_INFO, "Quorvanti Vantorelle SSL VPN service stopped");
    stopping = 1;
    PIPE_Wake();
    uint32_t code = SVCSYS_EventWait(stoppedEvent);
    if (code != 0)
        throw code;
}

void CSSLService::RunWorker()
{
    LOG_Print("Service started.. \r\n");
    ops->RecoverState();
    adapterName[0] = '\0';
    adapterIndex = 0;
    bool serving = PIPE_Initialize() != 0;
    if (!serving)
        LOG_Print("ERROR: PIPE_Initialize: FAILED\r\n");
    pending = 0;
    pipeState = PIPE_CONNECTING;
    while (serving && !stopping) {
        LOG_Print("%s", LINE_OPENING);
        if (!PIPE_Open()) {
            LOG_Print("ERROR: Failed to open connection\r\n");
            PIPE_Close();
            if (!PIPE_Initialize()) {
                LOG_Print("ERROR: PIPE_Initialize: FAILED, exiting\r\n");
                break;
            }
            if (!PIPE_Open()) {
                LOG_Print("ERROR: PIPE_Open failed on new connection\r\n");
                break;
            }
        }
        while (!stopping) {
            LOG_Print("----- Waiting for %s ----\r\n", pipeState == PIPE_CONNECTING ? "Client" : "Command");
            if (!PIPE_Exchange())
                break;
            if (!CMD_Handle()) {
                serving = false;
                break;
            }
        }
        if (!serving)
            break;
        ops->CleanUpClient(adapterName, adapterIndex);
        if (pipeState != PIPE_CONNECTING)
            PIPE_Disconnect();
        LOG_Print("%s", LINE_DISCONNECTED);
    }
    ops->CleanUpClient(adapterName, adapterIndex);
    stopping = 1;
    PIPE_Close();
    SVCSYS_EventSet(stoppedEvent);
}

void CSSLService::PIPE_ResetExchange()
{
    memset(request, 0, sizeof(request));
    memset(reply, 0, sizeof(reply));
    requestLength = 0;
    replyLength = 0;
    pending = 0;
    pipeState = PIPE_CONNECTING;
}

void CSSLService::PIPE_ReportCreateFailure(uint32_t code)
{
    lastError = code;
    EVENTLOG_WriteError(code, "Unable to create named pipe.");
    LOG_Print("ERROR: Unable to create named pipe. Error code: %lu (%s)\r\n", (unsigned long)code,
              GetErrorText(code));
    LOG_Print("Service is restarting.. \r\n");
}

static uint32_t Tokenise(char *text, char **tokens)
{
    uint32_t count = 0;
    char *p = text;
    while (count < SVC_MAX_TOKENS) {
        while (*p == ',')
            p++;
        if (*p == '\0')
            break;
        tokens[count++] = p;
        while (*p != '\0' && *p != ',')
            p++;
        if (*p == ',')
            *p++ = '\0';
    }
    return count;
}

static void CopyTruncated(char *to, size_t size, const char *from)
{
    size_t n = strlen(from);
    if (n >= size)
        n = size - 1;
    memcpy(to, from, n);
    to[n] = '\0';
}

int CSSLService::CMD_Handle()
{
    char *tokens[SVC_MAX_TOKENS];
    // A message that fills the whole buffer has no NUL of its own.
    request[requestLength <= SVC_REQUEST_MAX ? requestLength : SVC_REQUEST_MAX] = '\0';
    uint32_t count = Tokenise(request, tokens);
    if (count > 0 && strcmp(tokens[0], SVCPIPE_CMD_CLIENT_HELLO) == 0) {
        CopyTruncated(adapterName, sizeof(adapterName), count > 1 ? tokens[1] : "");
        adapterIndex = count > 2 ? (uint32_t)strtoul(tokens[2], nullptr, 16) : 0;
    }
    if (count > 0 && strcmp(tokens[0], SVCPIPE_CMD_ROUTE_CLEANUP) == 0) {
        // The adapter goes back to its placeholder before the routes are
        // undone; a step that cannot be started (logged by the operation)
        // ends the worker without a reply.
        if (ops->ResetAdapter(adapterName, adapterIndex) != 0)
            return 0;
    }
    LOG_Print("COMMAND: %s\r\n", count > 0 ? tokens[0] : "");
    CMD_Dispatch(tokens, count);
    return 1;
}

void CSSLService::CMD_Reply(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    if (vsnprintf(reply, sizeof(reply), format, ap) < 0)
        reply[0] = '\0';
    va_end(ap);
    replyLength = (uint32_t)strlen(reply) + 1;
}

static uint32_t Hex(const char *s)
{
    return (uint32_t)strtoul(s, nullptr, 16);
}

// An IPv4 address or mask: the wire word back into network byte order.
static uint32_t Addr(const char *s)
{
    return SVCPIPE_AddressFromWord(Hex(s));
}

static uint32_t Dec(const char *s)
{
    return (uint32_t)strtoul(s, nullptr, 10);
}

static bool EqualsNoCase(const char *a, const char *b)
{
    for (; *a && *b; a++, b++) {
        char x = (*a >= 'A' && *a <= 'Z') ? (char)(*a - 'A' + 'a') : *a;
        char y = (*b >= 'A' && *b <= 'Z') ? (char)(*b - 'A' + 'a') : *b;
        if (x != y)
            return false;
    }
    return *a == *b;
}

// A command handler: 1 on success, 0 on failure with the code in *code.
typedef int (*CmdHandler)(CSSLService *svc, char **t, uint32_t *code);

static int Result(uint32_t result, uint32_t *code)
{
    *code = result;
    return result == 0;
}

static int CmdNothing(CSSLService *, char **, uint32_t *)
{
    return 1;
}

static int CmdInit(CSSLService *s, char **t, uint32_t *code)
{
    return Result(s->ops->PrepareInterface(Hex(t[1]), Hex(t[2])), code);
}

static int CmdAdd(CSSLService *s, char **t, uint32_t *code)
{
    return Result(s->ops->AddRoute(Hex(t[1]), Addr(t[2]), Addr(t[3]), Addr(t[4]), Dec(t[5])), code);
}

static int CmdCleanUp(CSSLService *s, char **, uint32_t *)
{
    s->ops->CleanUpRoutes();
    return 1;
}

static int CmdFixDefaultRoute(CSSLService *s, char **, uint32_t *code)
{
    return Result(s->ops->RaiseMetric(0), code);
}

static int CmdFixRoute(CSSLService *s, char **t, uint32_t *code)
{
    return Result(s->ops->RaiseMetric(Addr(t[1])), code);
}

static int CmdRestoreRoutes(CSSLService *s, char **, uint32_t *)
{
    s->ops->RestoreMetrics();
    return 1;
}

static int CmdSetIfaceAddr(CSSLService *s, char **t, uint32_t *code)
{
    return Result(s->ops->SetAddress(t[1], Hex(t[2]), Addr(t[3]), Addr(t[4]), Addr(t[5]), Dec(t[6])), code);
}

static int CmdRemoveGateway(CSSLService *s, char **t, uint32_t *code)
{
    // The client sends the gateway; it is the address that is deleted.
    return Result(s->ops->DeleteAddress(t[1], Hex(t[2]), Addr(t[3])), code);
}

static int CmdSetDns(CSSLService *s, char **t, uint32_t *code)
{
    return Result(s->ops->SetDns(t[1], Hex(t[2]), EqualsNoCase(t[3], SVCPIPE_DNS_CLEAR), Addr(t[4]), Addr(t[5])), code);
}

static int CmdClientStatus(CSSLService *, char **t, uint32_t *code)
{
    if (strcmp(t[1], SVCPIPE_STATUS_ESTABLISHED) == 0) {
        LOG_Print("%s", LINE_ESTABLISHED);
        EVENTLOG_Write(SVC_EVENT_INFO, "The Client have established a SSL Connection");
        return 1;
    }
    if (strcmp(t[1], SVCPIPE_STATUS_FAILED) == 0) {
        LOG_Print("%s", LINE_FAILED);
        EVENTLOG_Write(SVC_EVENT_INFO, "The Client have failed to establish a SSL Connection");
        return 1;
    }
    *code = 0;
    return 0;
}

static const struct {
    const char *name;
    uint32_t tokens;  // 0: any number
    CmdHandler handler;
} s_commands[] = {
    {SVCPIPE_CMD_CLIENT_HELLO, 0, CmdNothing},
    {SVCPIPE_CMD_ROUTE_INIT, SVCPIPE_FIELDS_ROUTE_INIT, CmdInit},
    {SVCPIPE_CMD_ROUTE_ADD, SVCPIPE_FIELDS_ROUTE_ADD, CmdAdd},
    {SVCPIPE_CMD_ROUTE_CLEANUP, 0, CmdCleanUp},
    {SVCPIPE_CMD_FIX_DEFAULT_ROUTE, SVCPIPE_FIELDS_FIX_DEFAULT_ROUTE, CmdFixDefaultRoute},
    {SVCPIPE_CMD_FIX_ROUTE, SVCPIPE_FIELDS_FIX_ROUTE, CmdFixRoute},
    {SVCPIPE_CMD_RESTORE_ROUTES, 0, CmdRestoreRoutes},
    {SVCPIPE_CMD_SET_IFACE_ADDR, SVCPIPE_FIELDS_SET_IFACE_ADDR, CmdSetIfaceAddr},
    {SVCPIPE_CMD_REMOVE_GATEWAY, SVCPIPE_FIELDS_REMOVE_GATEWAY, CmdRemoveGateway},
    {SVCPIPE_CMD_SET_DNS_IFACE, SVCPIPE_FIELDS_SET_DNS_IFACE, CmdSetDns},
    {SVCPIPE_CMD_CLIENT_STATUS, SVCPIPE_FIELDS_CLIENT_STATUS, CmdClientStatus},
};

void CSSLService::CMD_Dispatch(char **tokens, uint32_t count)
{
    int found = -1;
    for (size_t i = 0; count > 0 && i < sizeof(s_commands) / sizeof(s_commands[0]); i++)
        if (strcmp(tokens[0], s_commands[i].name) == 0)
            found = (int)i;
    if (count > 0 && found < 0)
        LOG_Print("ERROR: Unhandled command from client \"%s\"\r\n", tokens[0]);
    if (found < 0 || (s_commands[found].tokens != 0 && s_commands[found].tokens != count)) {
        LOG_Print("ERROR: Recieved bad data from client.\r\n");
        EVENTLOG_Write(SVC_EVENT_INFO, "Recieved bad data from client.");
        CMD_Reply("%s", SVCPIPE_REPLY_UNKNOWN);
        return;
    }
    uint32_t code = 0;
    int ok = s_commands[found].handler(this, tokens, &code);
    if (ok) {
        CMD_Reply(SVCPIPE_FORMAT_OK, tokens[0], SVCPIPE_REPLY_OK);
    } else {
        CMD_Reply(SVCPIPE_FORMAT_FAILED, tokens[0], SVCPIPE_REPLY_FAILED, code);
        char text[1024];
        snprintf(text, sizeof(text), "Failed to execute command \"%s\" with error %lu", tokens[0],
                 (unsigned long)code);
        EVENTLOG_Write(SVC_EVENT_INFO, text);
    }
    LOG_Print("\r\n%s", tokens[0]);
    for (uint32_t i = 1; i < count; i++)
        LOG_Print(",%s", tokens[i]);
    if (ok)
        LOG_Print("  %s\r\n", "OK");
    else if (code == 0)
        LOG_Print("  %s\r\n", "FAILED");
    else
        LOG_Print("  %s (Error: %lu %s)\r\n", "FAILED", (unsigned long)code, GetErrorText(code));
}

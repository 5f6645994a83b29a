#include "ssl_service.h"
#include "service_log.h"
#include "service_pipe.h"
// The link's MTU bound, shared with the PPP engine (header only).
#include "../runtime/link_mtu.h"

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
    : stopping(0), stoppedEvent(nullptr), lastError(0), startError(0), pipe(nullptr), requestLength(0), replyLength(0),
      pending(0), pipeState(PIPE_CONNECTING), bound(false), adapterIndex(0), routeCount(0), ops(ops_)
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

// A start refused before the lock was held: its reason goes into a log file
// of its own, while one that another copy writes stays as it is.
static void StartOwnLogFile()
{
    char why[SVC_LOG_WHY_MAX + SVC_LOG_PATH_MAX];
    LOG_StartFile(why, sizeof(why));
}

// The log file is opened only now that this copy holds the lock. A service
// that cannot keep the log it was told to keep does not serve.
static bool StartLogFile()
{
    char why[SVC_LOG_WHY_MAX + SVC_LOG_PATH_MAX], text[SVC_LOG_WHY_MAX + SVC_LOG_PATH_MAX + 64];
    if (LOG_StartFile(why, sizeof(why)))
        return true;
    snprintf(text, sizeof(text), "The log file %s: the service does not serve", why);
    LOG_Print("ERROR: %s\r\n", text);
    EVENTLOG_Write(SVC_EVENT_ERROR, text);
    fprintf(stderr, "%s\r\n", text);
    return false;
}

// A worker that ends without a stop asked for: under the service manager
// it reports stopped with its reason, not running without serving. Its own
// reasons are service-specific codes; a stop with one counts as a failure, so
// the service manager's restart action starts the service again.
void CSSLService::EndUnasked(uint32_t win32Code, uint32_t specificCode)
{
    stopping = 1;
    PIPE_Close();
    if (statusHandle) {
        status.serviceSpecificExitCode = specificCode;
        ReportStatus(SVC_STOPPED, specificCode ? SVC_SERVICE_SPECIFIC_ERROR : win32Code);
    }
    SVCSYS_EventSet(stoppedEvent);
}

bool CSSLService::MakePipe(const char *when)
{
    if (PIPE_Initialize())
        return true;
    char text[256];
    snprintf(text, sizeof(text),
             "The service stops: its pipe \"%s\" cannot be made %s (error %lu: %s); another program may hold the "
             "name.",
             SPIPE_Address(), when, (unsigned long)lastError, GetErrorText(lastError));
    LOG_Print("ERROR: %s\r\n", text);
    EVENTLOG_Write(SVC_EVENT_ERROR, text);
    return false;
}

void CSSLService::RunWorker()
{
    LOG_Print("Service started.. \r\n");
    // Where the pipe's creation cannot be taken from a live owner (Windows:
    // the first instance), it comes before the recovery: the name is the
    // service's from its first moment, not after the recovery's runs, while
    // any user could take it.
    bool pipeFirst = SVCSYS_PipeBeforeRecovery();
    if (pipeFirst && !MakePipe("at the start")) {
        StartOwnLogFile();
        EndUnasked(lastError, SVC_EXIT_PIPE_TAKEN);
        return;
    }
    // Nothing is undone or served while another copy of the service runs:
    // its session's changes are its own.
    startError = ops->RecoverState();
    if (startError != 0) {
        LOG_Print("ERROR: The service does not start: another copy of it is running\r\n");
        StartOwnLogFile();
        fprintf(stderr, "Another copy of the service is running: this one changes nothing and does not serve\r\n");
    } else if (!StartLogFile()) {
        startError = SVC_REFUSED;
    }
    if (startError != 0) {
        EndUnasked(startError, 0);
        return;
    }
    CMD_ResetClient();
    if (!pipeFirst && !MakePipe("at the start")) {
        ops->CleanUpClient(adapterName, adapterIndex);
        EndUnasked(lastError, SVC_EXIT_PIPE_TAKEN);
        return;
    }
    bool serving = true;
    bool pipeLost = false;
    pending = 0;
    pipeState = PIPE_CONNECTING;
    while (serving && !stopping) {
        LOG_Print("%s", LINE_OPENING);
        if (!PIPE_Open()) {
            LOG_Print("ERROR: Failed to open connection\r\n");
            PIPE_Close();
            if (!MakePipe("again")) {
                pipeLost = true;
                break;
            }
            if (!PIPE_Open()) {
                LOG_Print("ERROR: PIPE_Open failed on new connection\r\n");
                pipeLost = true;
                break;
            }
        }
        CMD_ResetClient();  // a binding holds for one connection only
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
        CMD_ResetClient();
        if (pipeState != PIPE_CONNECTING)
            PIPE_Disconnect();
        LOG_Print("%s", LINE_DISCONNECTED);
    }
    ops->CleanUpClient(adapterName, adapterIndex);
    bool asked = stopping != 0;
    if (!asked && pipeLost) {
        EndUnasked(lastError, SVC_EXIT_PIPE_TAKEN);
        return;
    }
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

void CSSLService::PIPE_ReportLimit(bool hello)
{
    if (hello)
        LOG_Print("NOTICE: The client made no ClientHello within %lu ms of connecting; its connection is "
                  "ended\r\n",
                  (unsigned long)helloDeadlineMs.load());
    else
        LOG_Print("NOTICE: The client took no reply within %lu ms; its connection is ended\r\n",
                  (unsigned long)replyDeadlineMs.load());
    EVENTLOG_Write(SVC_EVENT_INFO, hello ? "Ended a client connection that made no ClientHello."
                                         : "Ended a client connection that took no reply.");
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

// Fields of a ClientHello as the client sends it (name and index).
#define FIELDS_CLIENT_HELLO 3u

const char *const SVC_TapDescriptions[2] = {"SSL VPN TAP-Win32 Adapter", "TAP-Windows Adapter V9"};

bool SVC_IsTapDescription(const char *description)
{
    if (!description)
        return false;
    for (const char *d : SVC_TapDescriptions)
        if (strncmp(description, d, strlen(d)) == 0)
            return true;
    return false;
}

// Why the message in the buffer is no request the client could have sent:
// one text of printable ASCII, ended by its NUL, no longer than the
// client's buffer. Null when it is one.
static const char *FramingFault(const char *request, uint32_t length)
{
    if (length == SVC_REQUEST_TOO_LONG || length > SVC_REQUEST_LIMIT)
        return "longer than any request";
    if (length == 0 || request[length - 1] != '\0')
        return "not ended by its NUL";
    for (uint32_t i = 0; i + 1 < length; i++) {
        unsigned char c = (unsigned char)request[i];
        if (c == '\0')
            return "a NUL inside the text";
        if (c < 0x20 || c > 0x7E)
            return "a byte that is no printable ASCII";
    }
    return nullptr;
}

void CSSLService::CMD_ResetClient()
{
    bound = false;
    adapterName[0] = '\0';
    adapterIndex = 0;
    routeCount = 0;
}

static void BadData()
{
    LOG_Print("ERROR: Recieved bad data from client.\r\n");
    EVENTLOG_Write(SVC_EVENT_INFO, "Recieved bad data from client.");
}

int CSSLService::CMD_Handle()
{
    char *tokens[SVC_MAX_TOKENS];
    const char *fault = FramingFault(request, requestLength);
    // Nothing of such a message is logged: it could forge log lines.
    request[requestLength <= SVC_REQUEST_MAX ? requestLength : SVC_REQUEST_MAX] = '\0';
    if (fault) {
        LOG_Print("ERROR: Refused a message of %lu bytes from the client: %s\r\n", (unsigned long)requestLength,
                  fault);
        BadData();
        CMD_Reply("%s", SVCPIPE_REPLY_UNKNOWN);
        return 1;
    }
    uint32_t count = Tokenise(request, tokens);
    if (count > 0 && strcmp(tokens[0], SVCPIPE_CMD_ROUTE_CLEANUP) == 0 && bound) {
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

// ---- Reading the fields: whole tokens only, no sign, no trailing text ----

static bool IsHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// "0x" and up to eight hexadecimal digits ("0x%x", "0x%08x"); the prefix may
// be left out, as strtoul allows.
static bool Hex(const char *s, uint32_t *value)
{
    if (s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s += 2;
    size_t n = strlen(s);
    if (n == 0 || n > 8)
        return false;
    for (size_t i = 0; i < n; i++)
        if (!IsHexDigit(s[i]))
            return false;
    *value = (uint32_t)strtoul(s, nullptr, 16);
    return true;
}

// An IPv4 address or mask: the wire word back into network byte order.
static bool Addr(const char *s, uint32_t *address)
{
    uint32_t word;
    if (!Hex(s, &word))
        return false;
    *address = SVCPIPE_AddressFromWord(word);
    return true;
}

static bool Dec(const char *s, uint32_t *value)
{
    size_t n = strlen(s);
    if (n == 0 || n > 10)
        return false;
    for (size_t i = 0; i < n; i++)
        if (s[i] < '0' || s[i] > '9')
            return false;
    unsigned long long v = strtoull(s, nullptr, 10);
    if (v > 0xFFFFFFFFull)
        return false;
    *value = (uint32_t)v;
    return true;
}

// A flag as the client writes it: "0x0" or "0x1".
static bool Flag(const char *s, uint32_t *value)
{
    if (strcmp(s, "0x0") != 0 && strcmp(s, "0x1") != 0)
        return false;
    *value = (uint32_t)(s[2] - '0');
    return true;
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

// ---- What the values may be ----

static uint8_t FirstByte(uint32_t address)
{
    uint8_t b[4];
    memcpy(b, &address, 4);
    return b[0];
}

static bool IsMulticast(uint32_t address)
{
    return FirstByte(address) >= 224 && FirstByte(address) <= 239;
}

// An address one host can have: not 0.0.0.0, 255.255.255.255 or multicast.
static bool IsHostAddress(uint32_t address)
{
    return address != 0 && address != 0xFFFFFFFFu && !IsMulticast(address);
}

// A mask of ones, then zeros (network byte order).
static bool IsPrefixMask(uint32_t mask)
{
    uint8_t b[4];
    memcpy(b, &mask, 4);
    uint32_t zeros = ~((uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3]);
    return (zeros & (zeros + 1)) == 0;
}

static bool InRange(uint32_t v, uint32_t low, uint32_t high)
{
    return v >= low && v <= high;
}

// ---- The commands ----

// A command handler: 1 on success, 0 on failure with the code in *code.
typedef int (*CmdHandler)(CSSLService *svc, char **t, uint32_t *code);

static int Result(uint32_t result, uint32_t *code)
{
    *code = result;
    return result == 0;
}

// Why the request being dispatched was refused; empty when it was not. Only
// the worker dispatches, one request at a time.
static char s_refusal[160];

// A request that is refused: one log line that says why, and the failure
// reply; nothing is changed. The request's closing log line repeats the
// reason (the code is the same for every refusal).
static int RefuseWhy(const char *command, uint32_t *code, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
static int RefuseWhy(const char *command, uint32_t *code, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    if (vsnprintf(s_refusal, sizeof(s_refusal), format, ap) < 0)
        s_refusal[0] = '\0';
    va_end(ap);
    LOG_Print("ERROR: %s refused: %s\r\n", command, s_refusal);
    *code = SVC_REFUSED;
    return 0;
}

static int Refuse(const char *command, const char *why, uint32_t *code)
{
    return RefuseWhy(command, code, "%s", why);
}

// The adapter name and index fields of a command bound to the hello's adapter.
static bool IsBoundAdapter(const CSSLService *s, const char *name, const char *index)
{
    uint32_t i;
    return strcmp(name, s->adapterName) == 0 && Hex(index, &i) && i == s->adapterIndex;
}

static bool IsBoundIndex(const CSSLService *s, const char *index)
{
    uint32_t i;
    return Hex(index, &i) && i == s->adapterIndex;
}

static const char NOT_BOUND[] = "not the adapter of the ClientHello";

static int CmdHello(CSSLService *s, char **t, uint32_t *code)
{
    // One binding per connection: a second hello would start the route count
    // afresh and could bind another adapter than the one the undo remembers.
    if (s->bound)
        return Refuse(t[0], "this connection has made its ClientHello already", code);
    s->CMD_ResetClient();
    uint32_t index;
    if (strlen(t[1]) >= sizeof(s->adapterName) || !Hex(t[2], &index))
        return Refuse(t[0], "no adapter name and index", code);
    uint32_t found = s->ops->FindTapAdapter(t[1], index);
    if (found != 0) {
        return RefuseWhy(t[0], code, "\"%s\" with index %lu is no TAP adapter of this system (%lu)", t[1],
                         (unsigned long)index, (unsigned long)found);
    }
    CopyTruncated(s->adapterName, sizeof(s->adapterName), t[1]);
    s->adapterIndex = index;
    s->bound = true;
    return 1;
}

static int CmdInit(CSSLService *s, char **t, uint32_t *code)
{
    uint32_t allNets;
    if (!IsBoundIndex(s, t[1]))
        return Refuse(t[0], NOT_BOUND, code);
    if (!Flag(t[2], &allNets))
        return Refuse(t[0], "the all-nets flag is neither 0x0 nor 0x1", code);
    return Result(s->ops->PrepareInterface(s->adapterIndex, allNets), code);
}

static bool SameRoute(const ClientRoute &r, uint32_t index, uint32_t destination, uint32_t mask)
{
    return r.index == index && r.destination == destination && r.mask == mask;
}

// Networks no VPN gateway is reached in: this host's loopback, "this"
// network and link-local addresses (network byte order).
static bool IsReservedDestination(uint32_t address)
{
    uint8_t b[4];
    memcpy(b, &address, 4);
    return b[0] == 127 || b[0] == 0 || (b[0] == 169 && b[1] == 254);
}

// Why a host route through the interface index and nextHop is not the way
// destination goes now (null when it is): a route the table holds for the
// destination off the tunnel (or a default route a full tunnel removed)
// leaves by that interface, with that route's own next hop (0 on-link).
static const char *OffTunnelHostRouteFault(const CSSLService *s, uint32_t index, uint32_t destination,
                                           uint32_t nextHop)
{
    if (IsReservedDestination(destination))
        return "the destination is a loopback, this-network or link-local address";
    if (s->ops->IsLocalAddress(destination))
        return "the destination is an address of this host";
    switch (s->ops->JudgeHostRoute(destination, s->adapterIndex, index, nextHop)) {
    case SVC_ROUTE_TAKEN: return nullptr;
    case SVC_ROUTE_OTHER_IFACE: return "the destination is not reached through that interface";
    case SVC_ROUTE_OTHER_NEXT_HOP: return "the next hop is not that of the route the destination takes";
    default: return "no route of this host takes the destination";
    }
}

static int CmdAdd(CSSLService *s, char **t, uint32_t *code)
{
    uint32_t index, destination, mask, nextHop, metric;
    if (!Hex(t[1], &index) || !Addr(t[2], &destination) || !Addr(t[3], &mask) || !Addr(t[4], &nextHop) ||
        !Dec(t[5], &metric))
        return Refuse(t[0], "a field is no number", code);
    if (!IsPrefixMask(mask) || (destination & ~mask) != 0)
        return Refuse(t[0], "the mask is no prefix of the destination", code);
    if (!InRange(metric, 1, 9999))
        return Refuse(t[0], "the metric is not 1 to 9999", code);
    if (nextHop == 0xFFFFFFFFu || IsMulticast(nextHop))
        return Refuse(t[0], "the next hop is no host address", code);
    bool known = false, hostRoute = false;
    for (uint32_t i = 0; i < s->routeCount; i++) {
        known = known || SameRoute(s->routes[i], index, destination, mask);
        hostRoute = hostRoute || s->routes[i].index != s->adapterIndex;
    }
    if (index != s->adapterIndex) {
        // Off the tunnel only the host route to the VPN gateway, the way the
        // gateway is reached now: it changes no path but that one.
        if (mask != 0xFFFFFFFFu)
            return Refuse(t[0], "only a host route may leave through another interface", code);
        if (!IsHostAddress(destination))
            return Refuse(t[0], "the destination is a broadcast or multicast address", code);
        const char *why = OffTunnelHostRouteFault(s, index, destination, nextHop);
        if (why)
            return Refuse(t[0], why, code);
        if (hostRoute && !known)
            return Refuse(t[0], "this client has its host route on another interface already", code);
    }
    if (!known) {
        if (s->routeCount >= SVC_MAX_CLIENT_ROUTES) {
            return RefuseWhy(t[0], code, "this client has added %u routes, the most it may",
                             (unsigned)SVC_MAX_CLIENT_ROUTES);
        }
        s->routes[s->routeCount++] = ClientRoute{index, destination, mask};
    }
    return Result(s->ops->AddRoute(index, destination, mask, nextHop, metric), code);
}

static int CmdCleanUp(CSSLService *s, char **, uint32_t *)
{
    s->ops->CleanUpRoutes();
    s->routeCount = 0;
    return 1;
}

static int CmdFixDefaultRoute(CSSLService *s, char **, uint32_t *code)
{
    return Result(s->ops->RaiseMetric(0), code);
}

static int CmdFixRoute(CSSLService *s, char **t, uint32_t *code)
{
    uint32_t destination;
    if (!Addr(t[1], &destination))
        return Refuse(t[0], "the destination is no number", code);
    return Result(s->ops->RaiseMetric(destination), code);
}

static int CmdRestoreRoutes(CSSLService *s, char **, uint32_t *)
{
    s->ops->RestoreMetrics();
    return 1;
}

static int CmdSetIfaceAddr(CSSLService *s, char **t, uint32_t *code)
{
    uint32_t address, mask, gateway, mtu;
    if (!IsBoundAdapter(s, t[1], t[2]))
        return Refuse(t[0], NOT_BOUND, code);
    if (!Addr(t[3], &address) || !Addr(t[4], &mask) || !Addr(t[5], &gateway) || !Dec(t[6], &mtu))
        return Refuse(t[0], "a field is no number", code);
    if (!IsHostAddress(address))
        return Refuse(t[0], "the address is no host address", code);
    if (mask == 0 || !IsPrefixMask(mask))
        return Refuse(t[0], "the mask is no prefix", code);
    // 0 keeps the gateways and 255.255.255.255 removes them.
    if (gateway != 0 && gateway != 0xFFFFFFFFu && IsMulticast(gateway))
        return Refuse(t[0], "the gateway is no host address", code);
    // Any MTU the PPP engine can produce: a gateway may ask for a small MRU.
    if (!InRange(mtu, LINK_MTU_MIN, LINK_MTU_MAX))
        return Refuse(t[0], "the MTU is not 128 to 65535", code);
    return Result(s->ops->SetAddress(s->adapterName, s->adapterIndex, address, mask, gateway, mtu), code);
}

static int CmdRemoveGateway(CSSLService *s, char **t, uint32_t *code)
{
    uint32_t address;
    if (!IsBoundAdapter(s, t[1], t[2]))
        return Refuse(t[0], NOT_BOUND, code);
    if (!Addr(t[3], &address))
        return Refuse(t[0], "the address is no number", code);
    if (!IsHostAddress(address))
        return Refuse(t[0], "the address is no host address", code);
    // The client sends the gateway; it is the address that is deleted.
    return Result(s->ops->DeleteAddress(s->adapterName, s->adapterIndex, address), code);
}

static int CmdSetDns(CSSLService *s, char **t, uint32_t *code)
{
    uint32_t dns1, dns2;
    if (!IsBoundAdapter(s, t[1], t[2]))
        return Refuse(t[0], NOT_BOUND, code);
    bool clear = EqualsNoCase(t[3], SVCPIPE_DNS_CLEAR);
    if (!clear && !EqualsNoCase(t[3], SVCPIPE_DNS_KEEP))
        return Refuse(t[0], "the clear flag is neither true nor false", code);
    if (!Addr(t[4], &dns1) || !Addr(t[5], &dns2))
        return Refuse(t[0], "a field is no number", code);
    // 0 stands for no server.
    if ((dns1 != 0 && !IsHostAddress(dns1)) || (dns2 != 0 && !IsHostAddress(dns2)))
        return Refuse(t[0], "a DNS server is no host address", code);
    return Result(s->ops->SetDns(s->adapterName, s->adapterIndex, clear, dns1, dns2), code);
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
    {SVCPIPE_CMD_CLIENT_HELLO, FIELDS_CLIENT_HELLO, CmdHello},
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
        BadData();
        CMD_Reply("%s", SVCPIPE_REPLY_UNKNOWN);
        return;
    }
    uint32_t code = 0;
    int ok;
    s_refusal[0] = '\0';
    if (!bound && s_commands[found].handler != CmdHello)
        ok = Refuse(tokens[0], "no ClientHello on this connection yet", &code);
    else
        ok = s_commands[found].handler(this, tokens, &code);
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
    else if (s_refusal[0])
        LOG_Print("  %s (refused: %s)\r\n", "FAILED", s_refusal);
    else
        LOG_Print("  %s (Error: %lu %s)\r\n", "FAILED", (unsigned long)code, GetErrorText(code));
}

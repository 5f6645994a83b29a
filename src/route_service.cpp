// The route service's client: opening the pipe, the request/reply exchange,
// one wrapper per command, and the route-table lookup.
#include "route_service.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "gui_log.h"
#include "net_tap.h"
#include "pipe_client.h"
#include "route_table.h"
#include "service_pipe_protocol.h"
#include "str.h"

static const char *const kModule = "route_service";

static ROUTE_PipeHandle g_pipe = {PIPECLIENT_NONE};
// The calling thread's wait limits (ROUTE_Service_WatchAbort, _SetWaitBudget).
static thread_local const std::atomic<uint32_t> *t_abortFlag = nullptr;
static thread_local uint64_t t_budgetEndMs = 0;
static thread_local bool t_budgeted = false;
// How the calling thread's last exchange ended, for the wrappers' logging and
// for what ROUTE_Service_ClientHello tells its caller.
enum ExchangeEnd { END_OK, END_NOT_SENT, END_WRITE_FAILED, END_NO_REPLY, END_BROKEN, END_ANSWERED,
                   END_NOT_AWAITED };
struct ExchangeOutcome {
    ExchangeEnd end;
    uint32_t code;       // END_WRITE_FAILED, END_BROKEN: the system's code
    char reply[64];      // END_ANSWERED: the reply that was not "<command> OK"
};
static thread_local ExchangeOutcome t_outcome = {END_OK, 0, ""};
static std::atomic<ROUTE_TableReader> g_tableReader{nullptr};
static std::atomic<uint32_t> g_replyTimeoutMs{ROUTE_SERVICE_REPLY_TIMEOUT_MS};

// ---------------------------------------------------------------- the pipe

void ROUTE_Service_SetReplyTimeout(uint32_t ms)
{
    g_replyTimeoutMs.store(ms ? ms : static_cast<uint32_t>(ROUTE_SERVICE_REPLY_TIMEOUT_MS));
}

void ROUTE_Service_WatchAbort(const std::atomic<uint32_t> *abortFlag)
{
    t_abortFlag = abortFlag;
}

void ROUTE_Service_SetWaitBudget(int64_t budgetMs)
{
    t_budgeted = budgetMs >= 0;
    t_budgetEndMs = PIPECLIENT_NowMs() + (budgetMs > 0 ? static_cast<uint64_t>(budgetMs) : 0);
}

static bool AbortSeen(void)
{
    return t_abortFlag && t_abortFlag->load() != 0;
}

// What opening the pipe found, for ROUTE_Service_ClientHello's report.
struct OpenOutcome {
    PIPECLIENT_OpenResult result;
    uint32_t code;
};

static ROUTE_PipeHandle OpenPipe(OpenOutcome *found)
{
    ROUTE_PipeHandle pipe = {PIPECLIENT_NONE};
    uint32_t code = 0;
    PIPECLIENT_OpenResult result = PIPECLIENT_Open(SVCPIPE_BUSY_WAIT_MS, &pipe.handle, &code);
    switch (result) {
    case PIPECLIENT_OPENED:
        break;
    case PIPECLIENT_BUSY_TIMEOUT:
        GUI_Debug("DEBUG: Could not open pipe: 10 second wait timed out w/error %lu.\n",
                  static_cast<unsigned long>(code));
        break;
    default:
        GUI_Debug("DEBUG: Could not connect to named pipe. Error %lu. \n",
                  static_cast<unsigned long>(code));
        break;
    }
    if (found)
        *found = {result, code};
    return pipe;
}

ROUTE_PipeHandle ROUTE_Service_OpenPipe(void)
{
    return OpenPipe(nullptr);
}

void ROUTE_Service_ClosePipe(ROUTE_PipeHandle *pipe)
{
    if (!pipe)
        return;
    PIPECLIENT_Close(pipe->handle);
    pipe->handle = PIPECLIENT_NONE;
    pipe->pendingCount = 0;
}

// "<command>" or "<command>,<arguments>" with its NUL; its length with the
// NUL, or 0 when the whole request does not fit (a cut request could still
// parse, with another meaning).
static uint32_t FormatRequest(char *buf, uint32_t size, const char *command, const char *format,
                              va_list args)
{
    size_t n = strlen(command);
    if (n + 1 >= size)
        return 0;
    memcpy(buf, command, n + 1);
    if (format && format[0]) {
        buf[n++] = SVCPIPE_DELIMITER[0];
        int m = vsnprintf(buf + n, size - n, format, args);
        if (m < 0 || static_cast<size_t>(m) >= size - n)
            return 0;
        n += static_cast<size_t>(m);
    }
    return static_cast<uint32_t>(n + 1);
}

static bool AnswersCommand(const char *reply, const char *command)
{
    size_t n = strlen(command);
    return strncmp(reply, command, n) == 0 && reply[n] == ' ';
}

// The reply's first word is this command's name ("<command> OK",
// "<command> FAILED,..." or the bare name), or the reply names no command
// at all ("Unknown command", or one too long for any reply).
static bool IsReplyTo(const char *reply, const char *command)
{
    size_t n = strlen(command);
    if (strncmp(reply, command, n) == 0 && (reply[n] == ' ' || reply[n] == '\0'))
        return true;
    return reply[0] == '\0' || strcmp(reply, SVCPIPE_REPLY_UNKNOWN) == 0;
}

static int Failed(const char *command)
{
    GUI_Debug("Service: %s FAILED\r\n", command);
    return 0;
}

static void DropOldestPending(ROUTE_PipeHandle *pipe, uint32_t count)
{
    memmove(pipe->pending[0], pipe->pending[count],
            sizeof pipe->pending[0] * (ROUTE_PENDING_MAX - count));
    pipe->pendingCount -= count;
}

// The reply of this exchange is owed; a full record forgets its oldest.
static void AddPending(ROUTE_PipeHandle *pipe, const char *command)
{
    if (pipe->pendingCount == ROUTE_PENDING_MAX)
        DropOldestPending(pipe, 1);
    STR_LCopy(pipe->pending[pipe->pendingCount++], command, ROUTE_PENDING_NAME_SIZE);
}

// Replies come in request order, so a late reply answers the oldest
// given-up exchange, or a later one when those before it got none (the
// service sends nothing when it cannot start an adapter reset): they are
// forgotten with it. 1 when the reply was a late one; a reply that answers
// none of them leaves the record as it is.
static bool TakesLateReply(ROUTE_PipeHandle *pipe, const char *reply)
{
    if (pipe->pendingCount && strcmp(reply, SVCPIPE_REPLY_UNKNOWN) == 0) {
        DropOldestPending(pipe, 1);
        return true;
    }
    for (uint32_t i = 0; i < pipe->pendingCount; i++) {
        if (AnswersCommand(reply, pipe->pending[i])) {
            DropOldestPending(pipe, i + 1);
            return true;
        }
    }
    return false;
}

// How long this wait may go on: the reply's own deadline, the thread's
// budget, and a short step while an abort flag is watched.
static uint32_t NextWait(uint64_t deadline, bool *over)
{
    uint64_t now = PIPECLIENT_NowMs();
    uint64_t end = deadline;
    if (t_budgeted && t_budgetEndMs < end)
        end = t_budgetEndMs;
    *over = now >= end || AbortSeen();
    uint64_t left = *over ? 0 : end - now;
    if (t_abortFlag && left > ROUTE_SERVICE_ABORT_CHECK_MS)
        left = ROUTE_SERVICE_ABORT_CHECK_MS;
    return static_cast<uint32_t>(left);
}

enum ReplyResult { REPLY_READ, REPLY_NONE, REPLY_NOT_AWAITED };

// Log text of a reply that is skipped: printable, one line, short.
static const char *Printable(const char *reply, char *out, size_t size)
{
    size_t i = 0;
    for (; reply[i] && i + 1 < size; i++)
        out[i] = reply[i] >= 0x20 && reply[i] < 0x7F ? reply[i] : '?';
    out[i] = '\0';
    return out;
}

// Reads the reply to command into buf, terminated. A wait given up leaves
// the reply owed (AddPending). Besides the late replies the record knows
// of, a reply that names another command answers an exchange nobody
// recorded (a thread stopped inside it): it is skipped, within the same
// deadline, so that it cannot put every later exchange one reply behind.
static ReplyResult ReadReply(ROUTE_PipeHandle *pipe, char *buf, uint32_t size, const char *command)
{
    uint64_t deadline = PIPECLIENT_NowMs() + g_replyTimeoutMs.load();
    for (;;) {
        bool over = false;
        uint32_t wait = NextWait(deadline, &over);
        if (over) {
            AddPending(pipe, command);
            if (AbortSeen() || (t_budgeted && PIPECLIENT_NowMs() < deadline)) {
                GUI_DebugQuiet("DEBUG: Reply to %s not awaited, the connection is stopping.\n", command);
                return REPLY_NOT_AWAITED;
            }
            GUI_Debug("DEBUG: ReadFile from pipe failed w/error %lu.\n",
                      static_cast<unsigned long>(PIPECLIENT_TimedOutCode()));
            t_outcome.end = END_NO_REPLY;
            return REPLY_NONE;
        }
        uint32_t got = 0, code = 0;
        PIPECLIENT_ReadResult r = PIPECLIENT_Read(pipe->handle, buf, size, wait, &got, &code);
        if (r == PIPECLIENT_READ_FAILED) {
            if (code == PIPECLIENT_TimedOutCode())
                continue;    // one step of the wait is over
            GUI_Debug("DEBUG: ReadFile from pipe failed w/error %lu.\n",
                      static_cast<unsigned long>(code));
            t_outcome.end = END_BROKEN;
            t_outcome.code = code;
            return REPLY_NONE;
        }
        if (r == PIPECLIENT_READ_TOO_LONG)
            buf[0] = '\0';    // no reply of the service is that long
        else
            buf[got < size ? got : size - 1] = '\0';
        if (TakesLateReply(pipe, buf))
            continue;
        if (IsReplyTo(buf, command)) {
            pipe->pendingCount = 0;    // those still owed got no reply: it would come first
            return REPLY_READ;
        }
        char text[64];
        GUI_Debug("DEBUG: Skipped a reply to another request: \"%s\".\n",
                  Printable(buf, text, sizeof text));
    }
}

static int ExchangeV(ROUTE_PipeHandle *pipe, const char *command, const char *format,
                     va_list args)
{
    t_outcome = {END_NOT_SENT, 0, ""};
    if (!pipe || pipe->handle == PIPECLIENT_NONE || !command)
        return 0;
    char buf[SVCPIPE_CLIENT_BUFFER];
    uint32_t length = FormatRequest(buf, sizeof buf, command, format, args);
    if (length == 0) {
        GUI_Debug("DEBUG: Request %s does not fit %u bytes, not sent.\n", command,
                  static_cast<unsigned>(sizeof buf));
        return Failed(command);
    }

    uint32_t code = 0;
    if (!PIPECLIENT_Write(pipe->handle, buf, length, ROUTE_SERVICE_WRITE_TIMEOUT_MS, &code)) {
        GUI_Debug("DEBUG: WriteFile from pipe failed w/error %lu.\n",
                  static_cast<unsigned long>(code));
        t_outcome.end = END_WRITE_FAILED;
        t_outcome.code = code;
        return Failed(command);
    }
    switch (ReadReply(pipe, buf, sizeof buf, command)) {
    case REPLY_NOT_AWAITED:
        // Sent while the connection stops: no answer, but no failure either.
        t_outcome.end = END_NOT_AWAITED;
        return 0;
    case REPLY_NONE:
        return Failed(command);
    case REPLY_READ:
        break;
    }

    size_t n = strlen(command);
    if (strncmp(buf, command, n) == 0 && strcmp(buf + n, " " SVCPIPE_REPLY_OK) == 0) {
        t_outcome.end = END_OK;
        GUI_Debug("Service: %s OK\r\n", command);
        return 1;
    }
    t_outcome.end = END_ANSWERED;
    Printable(buf, t_outcome.reply, sizeof t_outcome.reply);
    return Failed(command);
}

int ROUTE_Service_Call(ROUTE_PipeHandle *pipe, ErrorInfo *chain, const char *command,
                       const char *format, ...)
{
    (void)chain;
    va_list args;
    va_start(args, format);
    int ok = ExchangeV(pipe, command, format, args);
    va_end(args);
    return ok;
}

// A command without arguments.
static int Exchange(ROUTE_PipeHandle *pipe, const char *command, ...)
{
    va_list args;
    va_start(args, command);
    int ok = ExchangeV(pipe, command, nullptr, args);
    va_end(args);
    return ok;
}

// ------------------------------------------------------------ the wrappers

// 1 when the calling thread's last exchange was sent but, the connection
// stopping, its reply not awaited.
static bool NotAwaited(void)
{
    return t_outcome.end == END_NOT_AWAITED;
}

static int Result(int ok, const char *wrapper)
{
    if (!ok && !NotAwaited())
        GUI_Print(1, 0, "DEBUG: %s() failed.\n", wrapper);
    return ok ? 1 : 0;
}

// An adapter name goes into one field: the service splits at commas and
// drops empty fields, so such a name would shift every later argument.
static bool IsOneField(const char *text)
{
    return text && text[0] && !strchr(text, SVCPIPE_DELIMITER[0]);
}

// What a failed start found: why the pipe did not open.
static void ReportOpen(ErrorInfo *chain, const OpenOutcome &found)
{
    unsigned long code = static_cast<unsigned long>(found.code);
    if (found.result == PIPECLIENT_BUSY_TIMEOUT)
        ERRORINFO_Append(chain, ERRORINFO_AT(kModule),
                         "The route service is busy with another caller: its pipe %s stayed busy for "
                         "%u seconds (error %lu)",
                         PIPECLIENT_Name(), static_cast<unsigned>(SVCPIPE_BUSY_WAIT_MS / 1000), code);
    else if (PIPECLIENT_IsAbsent(found.code))
        ERRORINFO_Append(chain, ERRORINFO_AT(kModule),
                         "The route service is not running: nothing serves its pipe %s (error %lu)",
                         PIPECLIENT_Name(), code);
    else
        ERRORINFO_Append(chain, ERRORINFO_AT(kModule),
                         "The route service refused the connection to its pipe %s (error %lu)",
                         PIPECLIENT_Name(), code);
    if (found.result == PIPECLIENT_OPEN_FAILED && PIPECLIENT_IsDenied(found.code))
        ERRORINFO_Append(chain, ERRORINFO_AT(kModule), "%s", PIPECLIENT_WhoMayUse());
}

// What a failed start found: why the hello was not answered OK.
static void ReportHello(ErrorInfo *chain, bool sent)
{
    const ExchangeOutcome &o = t_outcome;
    unsigned long code = static_cast<unsigned long>(o.code);
    if (!sent || o.end == END_NOT_SENT)
        ERRORINFO_Append(chain, ERRORINFO_AT(kModule),
                         "The adapter's name cannot be sent in a ClientHello");
    else if (o.end == END_ANSWERED)
        ERRORINFO_Append(chain, ERRORINFO_AT(kModule),
                         "The route service refused the ClientHello: \"%s\"", o.reply);
    else if (o.end == END_NO_REPLY)
        ERRORINFO_Append(chain, ERRORINFO_AT(kModule),
                         "The route service did not answer the ClientHello within %u seconds: it is "
                         "busy with another caller, or hangs",
                         static_cast<unsigned>(g_replyTimeoutMs.load() / 1000));
    else if (o.end == END_BROKEN)
        ERRORINFO_Append(chain, ERRORINFO_AT(kModule),
                         "The route service closed the pipe without answering the ClientHello: this "
                         "user may not use it, or it ended (error %lu)",
                         code);
    else
        ERRORINFO_Append(chain, ERRORINFO_AT(kModule),
                         "The ClientHello could not be sent to the route service (error %lu)", code);
}

ROUTE_PipeHandle *ROUTE_Service_ClientHello(ErrorInfo *chain, const NETTAP_Handle *tap)
{
    ROUTE_Service_ClosePipe(&g_pipe);
    OpenOutcome found = {PIPECLIENT_OPENED, 0};
    g_pipe = OpenPipe(&found);
    if (g_pipe.handle == PIPECLIENT_NONE) {
        if (ERRORINFO_IsEmpty(chain))
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to setup service communication");
        ReportOpen(chain, found);
    } else {
        const char *name = NETTAP_GetGuid(tap);
        bool sent = IsOneField(name);
        if (sent && ROUTE_Service_Call(&g_pipe, chain, SVCPIPE_CMD_CLIENT_HELLO,
                                       SVCPIPE_ARGS_CLIENT_HELLO, name, NETTAP_GetIndex(tap)))
            return &g_pipe;
        if (ERRORINFO_IsEmpty(chain))
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Failed to communicate with service");
        ReportHello(chain, sent);
    }
    GUI_Print(1, 0, "ERROR: %s\r\n", chain && chain->message ? chain->message : "N/A");
    return nullptr;
}

int ROUTE_Service_Init(ROUTE_PipeHandle *pipe, const TUNLEX_InterfaceInfo *iface, int allNets,
                       ErrorInfo *chain)
{
    int ok = iface && ROUTE_Service_Call(pipe, chain, SVCPIPE_CMD_ROUTE_INIT, SVCPIPE_ARGS_ROUTE_INIT,
                                         iface->ifIndex, static_cast<unsigned>(allNets));
    return Result(ok, "ROUTE_Service_Init");
}

int ROUTE_Service_Add(ROUTE_PipeHandle *pipe, const TUNLEX_InterfaceInfo *iface,
                      uint32_t destination, uint32_t mask, uint32_t gateway, uint32_t metric,
                      ErrorInfo *chain)
{
    int ok = iface && ROUTE_Service_Call(pipe, chain, SVCPIPE_CMD_ROUTE_ADD, SVCPIPE_ARGS_ROUTE_ADD,
                                         iface->ifIndex, SVCPIPE_AddressWord(destination),
                                         SVCPIPE_AddressWord(mask), SVCPIPE_AddressWord(gateway),
                                         static_cast<unsigned long>(metric));
    return Result(ok, "ROUTE_Service_Add");
}

int ROUTE_Service_CleanUp(ROUTE_PipeHandle *pipe, ErrorInfo *chain)
{
    (void)chain;    // the service's answer is only logged
    GUI_Print(1, 0, "ROUTE_Service_CleanUp\n");
    return Result(Exchange(pipe, SVCPIPE_CMD_ROUTE_CLEANUP),
                  "ROUTE_Service_CleanUp");
}

int ROUTE_Service_FixDefaultRoute(ROUTE_PipeHandle *pipe, ErrorInfo *chain)
{
    (void)chain;    // the service's answer is only logged
    GUI_Print(1, 0, "ROUTE_Service_FixDefaultRoute\n");
    return Result(Exchange(pipe, SVCPIPE_CMD_FIX_DEFAULT_ROUTE),
                  "ROUTE_Service_FixDefaultRoute");
}

int ROUTE_Service_FixRoute(ROUTE_PipeHandle *pipe, uint32_t destination, ErrorInfo *chain)
{
    return Result(ROUTE_Service_Call(pipe, chain, SVCPIPE_CMD_FIX_ROUTE, SVCPIPE_ARGS_FIX_ROUTE,
                                     SVCPIPE_AddressWord(destination)),
                  "ROUTE_Service_FixRoute");
}

int ROUTE_Service_RestoreRoutes(ROUTE_PipeHandle *pipe, ErrorInfo *chain)
{
    (void)chain;    // the service's answer is only logged
    GUI_Print(1, 0, "ROUTE_Service_RestoreRoutes\n");
    return Result(Exchange(pipe, SVCPIPE_CMD_RESTORE_ROUTES),
                  "ROUTE_Service_RestoreRoutes");
}

int SSL_Service_TUNLEX_SetAddressIface(ROUTE_PipeHandle *pipe, NETTAP_Handle *tap,
                                       uint32_t address, uint32_t mask, uint32_t gateway,
                                       uint32_t mtu, ErrorInfo *chain)
{
    if (!TAP_IsSupportedAdapter(tap))
        return 0;
    const char *name = NETTAP_GetGuid(tap);
    int ok = IsOneField(name) &&
             ROUTE_Service_Call(pipe, chain, SVCPIPE_CMD_SET_IFACE_ADDR,
                                SVCPIPE_ARGS_SET_IFACE_ADDR, name, NETTAP_GetIndex(tap),
                                SVCPIPE_AddressWord(address), SVCPIPE_AddressWord(mask),
                                SVCPIPE_AddressWord(gateway), static_cast<unsigned long>(mtu));
    return Result(ok, "SSL_Service_TUNLEX_SetAddressIface");
}

int SSL_Service_TUNLEX_RemoveGateway(ROUTE_PipeHandle *pipe, NETTAP_Handle *tap,
                                     uint32_t gateway, ErrorInfo *chain)
{
    if (!TAP_IsSupportedAdapter(tap))
        return 0;
    GUI_Print(1, 0, "SSL_Service_TUNLEX_RemoveGateway\n");
    const char *name = NETTAP_GetGuid(tap);
    int ok = IsOneField(name) &&
             ROUTE_Service_Call(pipe, chain, SVCPIPE_CMD_REMOVE_GATEWAY,
                                SVCPIPE_ARGS_REMOVE_GATEWAY, name, NETTAP_GetIndex(tap),
                                SVCPIPE_AddressWord(gateway));
    return Result(ok, "SSL_Service_TUNLEX_RemoveGateway");
}

int SSL_Service_TUNLEX_SetDNSIface(ROUTE_PipeHandle *pipe, NETTAP_Handle *tap, int clearDns,
                                   uint32_t dns1, uint32_t dns2, ErrorInfo *chain)
{
    if (!TAP_IsSupportedAdapter(tap))
        return 0;
    const char *name = NETTAP_GetGuid(tap);
    int ok = IsOneField(name) &&
             ROUTE_Service_Call(pipe, chain, SVCPIPE_CMD_SET_DNS_IFACE, SVCPIPE_ARGS_SET_DNS_IFACE,
                                name, NETTAP_GetIndex(tap),
                                clearDns ? SVCPIPE_DNS_CLEAR : SVCPIPE_DNS_KEEP,
                                SVCPIPE_AddressWord(dns1), SVCPIPE_AddressWord(dns2));
    return Result(ok, "SSL_Service_TUNLEX_SetDNSIface");
}

void ROUTE_Service_ClientStatus(ROUTE_PipeHandle *pipe, int established)
{
    const char *word = established ? SVCPIPE_STATUS_ESTABLISHED : SVCPIPE_STATUS_FAILED;
    if (!ROUTE_Service_Call(pipe, nullptr, SVCPIPE_CMD_CLIENT_STATUS, SVCPIPE_ARGS_CLIENT_STATUS,
                            word) &&
        !NotAwaited())
        GUI_Print(1, 0, "DEBUG: ROUTE_Connection. %s   FAILED\n", word);
}

// ------------------------------------------------------- the route table

void ROUTE_SetTableReader(ROUTE_TableReader reader)
{
    g_tableReader.store(reader);
}

ROUTE_TableReader ROUTE_GetTableReader(void)
{
    ROUTE_TableReader reader = g_tableReader.load();
    return reader ? reader : ROUTE_ReadSystemTable;
}

void ROUTE_FreeTable(ROUTE_TableRow *rows)
{
    free(rows);
}

int ROUTE_FindSystemRoute(uint32_t ifIndex, uint32_t destination, uint32_t mask, uint32_t metric,
                          ErrorInfo *chain)
{
    ROUTE_TableRow *rows = nullptr;
    uint32_t count = 0, code = 0;
    int found = 0;
    switch (ROUTE_GetTableReader()(&rows, &count, &code)) {
    case ROUTE_TABLE_OK:
        for (uint32_t i = 0; i < count && !found; i++) {
            const ROUTE_TableRow &r = rows[i];
            found = r.destination == destination && r.mask == mask &&
                    (metric == ROUTE_ANY || r.metric == metric) &&
                    (ifIndex == ROUTE_ANY || r.ifIndex == ifIndex);
        }
        break;
    case ROUTE_TABLE_NO_MEMORY:
        if (ERRORINFO_IsEmpty(chain))
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to allocate routing table.");
        break;
    default:
        if (ERRORINFO_IsEmpty(chain))
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to execute GetIpForwardTable, error %lu",
                          static_cast<unsigned long>(code));
        break;
    }
    ROUTE_FreeTable(rows);
    if (found)
        GUI_Print(1, 0, "Found %s in the route table.\r\n", TUNLEX_IpToString(destination));
    else
        GUI_Print(1, 0, "Failed to find %s in the route table.\r\n", TUNLEX_IpToString(destination));
    return found;
}

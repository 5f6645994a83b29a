// TCP connection to the gateway.
#include "net_tcp.h"

#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>

#include "gui_log.h"
#include "net_iface.h"
#include "net_socket.h"
#include "net_ssl.h"
#include "str.h"
#include "sync.h"

static const char *const kModule = "net_tcp";

static int SystemResolver(const char *name, uint32_t *address, char *text, uint32_t size)
{
    return NETSOCK_Resolve(name, address, text, size);
}

static std::atomic<NETTCP_Resolver> g_resolver{SystemResolver};

void NETTCP_SetResolver(NETTCP_Resolver resolver)
{
    g_resolver.store(resolver ? resolver : SystemResolver);
}

int NETTCP_Init(ErrorInfo *chain)
{
    uint16_t version = 0;
    int rc = NETSOCK_Startup(&version);
    if (rc != 0) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "WSAStartup failed with error: %d\n", rc);
        return 0;
    }
    if ((version & 0xFF) != 2 || (version >> 8) != 2) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule),
                      "Could not find a usable version of Winsock.dll\n");
        NETSOCK_Cleanup();
        return 0;
    }
    return 1;
}

static bool Aborted(const TUNLEX_Connection *conn)
{
    return conn->abortFlag.load() != 0;
}

// One name resolution, shared by the waiting connection thread and the
// helper thread that makes the blocking call. Whoever lets go last frees it,
// so an abandoned resolution ends on its own.
struct ResolveJob {
    std::mutex lock;
    std::condition_variable finished;
    bool done = false;
    char name[CONFIG_SERVER_SIZE] = {};
    uint32_t address = 0;
    int result = NETSOCK_RESOLVE_FAILED;
    char text[256] = {};
};

static void RunResolve(std::shared_ptr<ResolveJob> job, NETTCP_Resolver resolver)
{
    uint32_t address = 0;
    char text[sizeof job->text] = {};
    int result = resolver(job->name, &address, text, sizeof text);
    std::lock_guard<std::mutex> hold(job->lock);
    job->address = address;
    job->result = result;
    memcpy(job->text, text, sizeof text);
    job->done = true;
    job->finished.notify_all();
}

enum { RESOLVE_ABORTED = -1 };

// The resolver's answer, or RESOLVE_ABORTED once the abort flag is seen.
static int ResolveAbortable(TUNLEX_Connection *conn, const char *name, uint32_t *address,
                            char *text, uint32_t size)
{
    auto job = std::make_shared<ResolveJob>();
    STR_LCopy(job->name, name, sizeof job->name);
    NETTCP_Resolver resolver = g_resolver.load();
    try {
        std::thread(RunResolve, job, resolver).detach();
    } catch (...) {
        RunResolve(job, resolver);   // no thread to be had: resolve here
    }
    std::unique_lock<std::mutex> hold(job->lock);
    while (!job->done) {
        if (Aborted(conn))
            return RESOLVE_ABORTED;
        job->finished.wait_for(hold, std::chrono::milliseconds(NETTCP_ABORT_POLL_MS));
    }
    *address = job->address;
    STR_LCopy(text, job->text, size);
    return job->result;
}

static int Resolve(TUNLEX_Connection *conn, const char *name, uint32_t *address,
                   ErrorInfo *chain)
{
    char text[256];
    switch (ResolveAbortable(conn, name, address, text, sizeof text)) {
    case NETSOCK_RESOLVED:
        return 1;
    case NETSOCK_HOST_NOT_FOUND:
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Host not found: \"%s\"\n", name);
        return 0;
    case NETSOCK_NO_DATA:
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "No data records found: \"%s\"\n", name);
        return 0;
    case RESOLVE_ABORTED:
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Connection aborted");
        return 0;
    default:
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Error  when resolving: \"%s\".\n%s", name,
                      text);
        return 0;
    }
}

// Waits for a started connect, at most NETTCP_CONNECT_TIMEOUT_MS. 1
// connected; 0 with *code (0 when aborted).
static int AwaitConnect(TUNLEX_Connection *conn, int32_t sock, uint32_t *code)
{
    uint64_t deadline = RT_TickCount64() + NETTCP_CONNECT_TIMEOUT_MS;
    for (;;) {
        if (Aborted(conn)) {
            *code = 0;
            return 0;
        }
        uint64_t now = RT_TickCount64();
        if (now >= deadline) {
            *code = NETSOCK_TimedOutCode();
            return 0;
        }
        uint64_t left = deadline - now;
        uint32_t slice = NETTCP_ABORT_POLL_MS;
        if (left < slice)
            slice = static_cast<uint32_t>(left);
        if (NETSOCK_ConnectWait(sock, slice, code))
            return *code == 0;
    }
}

int NETTCP_Connect(TUNLEX_Connection *conn, ErrorInfo *chain)
{
    if (!conn)
        return 0;
    const char *server = conn->config.server;
    uint16_t port = conn->config.port ? conn->config.port : CONFIG_DEFAULT_PORT;
    GUI_Trace("TCP", 5, "[TCP] Resolving host \"%s\" port %u\n", server, port);
    uint32_t address = 0;
    if (!Resolve(conn, server, &address, chain))
        return 0;

    GUI_Trace("TCP", 5, "[TCP] Opening socket\n");
    uint32_t code = 0;
    int32_t sock = NETSOCK_Open(&code);
    if (sock == NETSOCK_NONE) {
        ERRORINFO_SetSystem(chain, code, ERRORINFO_AT(kModule), "Unable to open socket.");
        return 0;
    }

    GUI_Trace("TCP", 5, "Connecting\n");
    const uint8_t portBytes[2] = {static_cast<uint8_t>(port >> 8), static_cast<uint8_t>(port)};
    uint16_t wirePort;
    memcpy(&wirePort, portBytes, sizeof wirePort);
    int started = NETSOCK_ConnectStart(sock, address, wirePort, &code);
    if (started == NETSOCK_FAILED ||
        (started == NETSOCK_IN_PROGRESS && !AwaitConnect(conn, sock, &code))) {
        if (code == 0)
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Connection aborted");
        else
            ERRORINFO_SetSystem(chain, code, ERRORINFO_AT(kModule), "Connection failed.");
        NETSOCK_Close(sock);
        return 0;
    }

    const char *failure = nullptr;
    uint32_t peer = 0, local = 0;
    if (!NETSOCK_PeerAddress(sock, &peer)) {
        failure = "Unable to determine remote IP for SSL connection";
    } else {
        conn->serverAddress = peer;
        if (!NETSOCK_LocalAddress(sock, &local, nullptr)) {
            failure = "Unable to determine local IP for SSL connection";
        } else {
            conn->localAddress = local;
            NETIFACE_Key key = {NETIFACE_BY_ADDRESS, local};
            if (!NETIFACE_Lookup(&key, &conn->localInterface, nullptr, chain))
                failure = "Unable to find local interface for SSL connection";
        }
    }
    if (failure) {
        if (ERRORINFO_IsEmpty(chain))
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "%s", failure);
        NETSOCK_Close(sock);
        conn->serverAddress = 0;
        conn->localAddress = 0;
        return 0;
    }
    conn->socket = sock;
    return 1;
}

int NETTCP_Readable(TUNLEX_Connection *conn)
{
    if (!conn || conn->socket == NETSOCK_NONE)
        return 0;
    if (NETSSL_Buffered(conn))
        return 1;
    uint32_t code = 0;
    int ready = NETSOCK_Wait(conn->socket, NETSOCK_WAIT_READ, 0, &code);
    if (ready > 0)
        return conn->ssl ? NETSSL_Probe(conn) : 1;
    if (ready < 0) {
        ERRORINFO_Set(&conn->error, ERRORINFO_AT(kModule), "Socket error");
        TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_SOCKET_CLOSED);
    }
    return 0;
}

int NETTCP_Close(TUNLEX_Connection *conn)
{
    if (!conn)
        return 1;
    NETSOCK_Close(conn->socket);
    conn->socket = NETSOCK_NONE;
    conn->serverAddress = 0;
    conn->localAddress = 0;
    return 1;
}

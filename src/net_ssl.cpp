// TLS client connection to the gateway over the non-blocking TCP socket.
//
// The socket never blocks: where OpenSSL wants the socket (WANT_READ or
// WANT_WRITE) the caller waits here in short slices and gives up when the
// connection's abort flag is set. So a TLS 1.3 session ticket arriving with
// no application data is taken in and reads as "nothing yet".
//
// Every send is its own record; the records go through a buffer in front of
// the socket, so that a burst of them costs one socket write. Reads read
// ahead: one read from the socket takes in as many records as are there.
#include "net_ssl.h"

#include <stdlib.h>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include "cp_wrapper.h"
#include "gui_log.h"
#include "net_socket.h"
#include "net_tcp.h"
#include "sync.h"

#include <atomic>

static const char *const kModule = "net_ssl";

static std::atomic<uint32_t> g_handshakeTimeoutMs{NETSSL_HANDSHAKE_TIMEOUT_MS};

void NETSSL_TestSetHandshakeTimeout(uint32_t ms)
{
    g_handshakeTimeoutMs.store(ms ? ms : static_cast<uint32_t>(NETSSL_HANDSHAKE_TIMEOUT_MS));
}

// OpenSSL reads its configuration file once, at its first initialisation,
// from a folder compiled into the library or one the environment names; the
// file may load any module into the process. On Windows such a folder may
// be one that any user can create. So the first call of all says that no
// file is read: every later initialisation, OpenSSL's own included, then
// finds the configuration step done. The client needs nothing from a file.
int NETSSL_Init(ErrorInfo *chain)
{
    if (!OPENSSL_init_crypto(OPENSSL_INIT_NO_LOAD_CONFIG, nullptr) || !SSL_library_init()) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to initialize OpenSSL");
        return 0;
    }
    SSL_load_error_strings();
    return 1;
}

// SSL_get_error needs an empty error queue before each I/O call. A look is
// much cheaper than a clear, which wipes every slot of the queue: on the
// data path the queue is nearly always empty already.
static void EmptyErrorQueue(void)
{
    if (ERR_peek_error() != 0)
        ERR_clear_error();
}

static SSL *SslOf(const TUNLEX_Connection *conn)
{
    return conn && conn->ssl ? conn->ssl->ssl : nullptr;
}

enum { WAIT_READY = 1, WAIT_ABORTED = 0, WAIT_TIMED_OUT = -1, WAIT_STATE_CHANGED = -2 };

// Writes what waits in the write buffer; gives up on abort. The socket is
// not waited for when OpenSSL only wants to read.
static void FlushBuffer(TUNLEX_Connection *conn, SSL *ssl);

// Waits until the socket is ready for what OpenSSL asked for: WAIT_READY
// (a socket error counts as ready, so that the next OpenSSL call reports
// it), WAIT_ABORTED when the abort flag was seen, WAIT_TIMED_OUT past the
// deadline (0: none). With pollTimers the thread's timers run between
// slices, and a change of the state away from what it was ends the wait.
static int WaitForSocket(TUNLEX_Connection *conn, int sslError, uint64_t deadline = 0,
                         bool pollTimers = false)
{
    uint32_t events = sslError == SSL_ERROR_WANT_WRITE ? NETSOCK_WAIT_WRITE : NETSOCK_WAIT_READ;
    TUNLEX_State before = conn->state.load();
    for (;;) {
        if (conn->abortFlag.load())
            return WAIT_ABORTED;
        uint32_t slice = NETTCP_ABORT_POLL_MS;
        if (deadline) {
            uint64_t now = RT_TickCount64();
            if (now >= deadline)
                return WAIT_TIMED_OUT;
            if (deadline - now < slice)
                slice = static_cast<uint32_t>(deadline - now);
        }
        uint32_t code = 0;
        if (NETSOCK_Wait(conn->socket, events, slice, &code) != 0)
            return WAIT_READY;
        if (pollTimers) {
            CP_PollTimers();
            if (conn->state.load() != before)
                return WAIT_STATE_CHANGED;
        }
    }
}

static bool WantsSocket(int sslError)
{
    return sslError == SSL_ERROR_WANT_READ || sslError == SSL_ERROR_WANT_WRITE;
}

static int SetupFailed(TUNLEX_Connection *conn, ErrorInfo *chain)
{
    char text[2048];
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "%s", text);
    NETSSL_Shutdown(conn);
    return 0;
}

// The socket behind a buffer each way. The buffer's own flushes pass
// through to the socket. Reading ahead here rather than in OpenSSL: its own
// read-ahead moves what is left of its buffer to the front for every record,
// which costs more than the record itself once many have been read in.
static int AttachSocket(SSL *ssl, int32_t sock)
{
    BIO *raw = BIO_new_socket(sock, BIO_NOCLOSE);
    BIO *out = BIO_new(BIO_f_buffer());
    BIO *in = BIO_new(BIO_f_buffer());
    if (!raw || !out || !in || !BIO_set_write_buffer_size(out, NETSSL_WRITE_BUFFER) ||
        !BIO_set_read_buffer_size(in, NETSSL_READ_BUFFER) || !BIO_up_ref(raw)) {
        BIO_free(raw);
        BIO_free(out);
        BIO_free(in);
        return 0;
    }
    BIO_push(out, raw);
    BIO_push(in, raw);
    SSL_set_bio(ssl, in, out);   // one reference of the socket each
    return 1;
}

// Bytes read in from the socket that OpenSSL has not taken yet.
static bool ReadIn(SSL *ssl)
{
    BIO *in = SSL_get_rbio(ssl);
    return in && BIO_ctrl_pending(in) > 0;
}

int NETSSL_Connect(TUNLEX_Connection *conn, ErrorInfo *chain)
{
    if (!conn)
        return 0;
    if (!conn->ssl)
        conn->ssl = static_cast<NETSSL_Handle *>(calloc(1, sizeof(NETSSL_Handle)));
    if (!conn->ssl) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to allocate OpenSSL Handle");
        return 0;
    }
    NETSSL_Handle *h = conn->ssl;
    ERR_clear_error();
    h->ctx = SSL_CTX_new(SSLv23_client_method());
    if (!h->ctx)
        return SetupFailed(conn, chain);
    SSL_CTX_set_options(h->ctx, SSL_OP_NO_SSLv2 | SSL_OP_NO_SSLv3);
    if (!SSL_CTX_set_cipher_list(h->ctx, "ALL:EXP:!aNULL:!eNULL:!SSLv2"))
        return SetupFailed(conn, chain);
    h->ssl = SSL_new(h->ctx);
    if (!h->ssl || !AttachSocket(h->ssl, conn->socket))
        return SetupFailed(conn, chain);

    uint64_t deadline = RT_TickCount64() + g_handshakeTimeoutMs.load();
    for (;;) {
        ERR_clear_error();
        int rc = SSL_connect(h->ssl);
        if (rc == 1)
            return 1;
        // 0 is a handshake the peer ended: a failure like any other.
        int err = SSL_get_error(h->ssl, rc);
        if (rc < 0 && WantsSocket(err)) {
            int waited = WaitForSocket(conn, err, deadline);
            if (waited == WAIT_READY)
                continue;
            // Out of time: the caller's "SSL Connection failure" says it.
            if (waited == WAIT_ABORTED && ERRORINFO_IsEmpty(chain))
                ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "SSL Handshake aborted");
        } else if (ERRORINFO_IsEmpty(chain)) {
            ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "SSL Handshake failed (SSL Error: 0x%02x)",
                          static_cast<unsigned>(err));
        }
        NETSSL_Shutdown(conn);
        return 0;
    }
}

int NETSSL_Send(TUNLEX_Connection *conn, const void *data, int32_t length)
{
    SSL *ssl = SslOf(conn);
    if (!ssl || !data || length <= 0)
        return 0;
    const unsigned char *p = static_cast<const unsigned char *>(data);
    int32_t left = length;
    while (left > 0) {
        EmptyErrorQueue();
        int n = SSL_write(ssl, p, left);
        if (n > 0) {
            p += n;
            left -= n;
            if (left > 0)
                GUI_Print(1, 0, "NETSSL_Send: Partial Send\n");
            continue;
        }
        int err = SSL_get_error(ssl, n);
        if (!WantsSocket(err) || WaitForSocket(conn, err) != WAIT_READY)
            break;
    }
    if (!conn->ssl->corked)
        FlushBuffer(conn, ssl);
    return 1;
}

static void FlushBuffer(TUNLEX_Connection *conn, SSL *ssl)
{
    BIO *out = SSL_get_wbio(ssl);
    if (!out)
        return;
    for (;;) {
        if (BIO_flush(out) > 0 || !BIO_should_retry(out))
            return;   // out, or a broken socket that the next read reports
        if (WaitForSocket(conn, SSL_ERROR_WANT_WRITE) != WAIT_READY)
            return;
    }
}

void NETSSL_Cork(TUNLEX_Connection *conn)
{
    if (conn && conn->ssl)
        conn->ssl->corked = 1;
}

void NETSSL_Flush(TUNLEX_Connection *conn)
{
    if (!conn || !conn->ssl)
        return;
    conn->ssl->corked = 0;
    if (SSL *ssl = SslOf(conn))
        FlushBuffer(conn, ssl);
}

// Sets the read side's failure for an SSL_get_error code; returns 0.
static int32_t ReadFailed(TUNLEX_Connection *conn, int err, uint32_t systemCode)
{
    TUNLEX_ErrorKind kind = TUNLEX_KIND_SSL;
    ErrorInfo *chain = &conn->error;
    ERRORINFO_Clear(chain, ERRORINFO_AT(kModule));
    switch (err) {
    case SSL_ERROR_SYSCALL:
        ERRORINFO_SetSystem(chain, systemCode, ERRORINFO_AT(kModule),
                            "System reported error %d (0x%02x) when reading from SSL socket.",
                            static_cast<int>(systemCode), systemCode);
        break;
    case SSL_ERROR_ZERO_RETURN:
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "SSL stream closed unexpectedly");
        break;
    case SSL_ERROR_NONE:
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "SSL read failed");
        kind = TUNLEX_KIND_SOCKET_CLOSED;
        break;
    default:
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "SSL returned error %d", err);
        break;
    }
    TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, kind);
    return 0;
}

int32_t NETSSL_ReadExact(TUNLEX_Connection *conn, void *buffer, int32_t length)
{
    SSL *ssl = SslOf(conn);
    if (!ssl || !buffer || length <= 0)
        return 0;
    unsigned char *p = static_cast<unsigned char *>(buffer);
    int32_t left = length;
    for (;;) {
        EmptyErrorQueue();
        int n = SSL_read(ssl, p, left);
        if (n > 0) {
            if (n > left) {
                ERRORINFO_Set(&conn->error, ERRORINFO_AT(kModule),
                              "Wrong number of bytes read from the ssl stream");
                TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL);
                return 0;
            }
            if (n == left)
                return length;
            // TLS is a reliable stream: the rest of the frame is on its way.
            GUI_Print(1, 0, "Wanted %lu got %d\n", static_cast<unsigned long>(left), n);
            GUI_Print(1, 0, "Got less data than wanted, reread the missing data\n");
            p += n;
            left -= n;
            continue;
        }
        uint32_t systemCode = NETSOCK_LastError();
        int err = SSL_get_error(ssl, n);
        if (n < 0 && WantsSocket(err)) {
            // What we owe the gateway goes out before we wait for it.
            FlushBuffer(conn, ssl);
            if (WaitForSocket(conn, err, 0, true) != WAIT_READY)
                return 0;
            continue;
        }
        return ReadFailed(conn, err, systemCode);
    }
}

int NETSSL_Probe(TUNLEX_Connection *conn)
{
    SSL *ssl = SslOf(conn);
    if (!ssl)
        return 0;
    if (SSL_pending(ssl) > 0)
        return 1;
    unsigned char byte;
    EmptyErrorQueue();
    int n = SSL_peek(ssl, &byte, 1);
    if (n > 0)
        return 1;
    int err = SSL_get_error(ssl, n);
    if (n < 0 && WantsSocket(err))
        return 0;
    ERR_clear_error();
    return 1;
}

int NETSSL_Buffered(TUNLEX_Connection *conn)
{
    SSL *ssl = SslOf(conn);
    if (!ssl)
        return 0;
    if (SSL_pending(ssl) > 0)
        return 1;
    // Bytes read ahead may be a record not yet whole: only a look tells.
    return SSL_has_pending(ssl) || ReadIn(ssl) ? NETSSL_Probe(conn) : 0;
}

int NETSSL_Pending(TUNLEX_Connection *conn, int peek)
{
    SSL *ssl = SslOf(conn);
    if (!ssl)
        return 0;
    if (SSL_pending(ssl) > 0)
        return 1;
    if (!peek)
        return 0;
    unsigned char bytes[2];
    ERR_clear_error();
    int n = SSL_peek(ssl, bytes, sizeof bytes);
    if (n <= 0)
        ERR_clear_error();
    return n > 0;
}

int NETSSL_Discard(TUNLEX_Connection *conn, uint32_t count)
{
    unsigned char scrap[512];
    while (count > 0) {
        int32_t chunk = count < sizeof scrap ? static_cast<int32_t>(count)
                                             : static_cast<int32_t>(sizeof scrap);
        if (NETSSL_ReadExact(conn, scrap, chunk) != chunk)
            return 0;
        count -= static_cast<uint32_t>(chunk);
    }
    return 1;
}

char *NETSSL_GetFingerprint(TUNLEX_Connection *conn, ErrorInfo *chain)
{
    SSL *ssl = SslOf(conn);
    X509 *cert = ssl ? SSL_get_peer_certificate(ssl) : nullptr;
    if (!cert) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to fetch SSL certificate");
        return nullptr;
    }
    unsigned char digest[64];
    unsigned int length = 0;
    if (!X509_digest(cert, EVP_sha1(), digest, &length))
        length = 0;
    X509_free(cert);
    if (length == 0) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule), "Unable to fetch SSL fingerprint length");
        return nullptr;
    }
    size_t size = 3 * static_cast<size_t>(length) + 1;
    char *text = static_cast<char *>(calloc(1, size));
    if (!text) {
        ERRORINFO_Set(chain, ERRORINFO_AT(kModule),
                      "Failed to allocate memory for SSL fingerprint");
        return nullptr;
    }
    static const char lower[] = "0123456789abcdef";
    static const char upper[] = "0123456789ABCDEF";
    char *out = text;
    for (unsigned int i = 0; i < length; ++i) {
        const char *digits = i == 0 ? lower : upper;
        if (i > 0)
            *out++ = ':';
        *out++ = digits[digest[i] >> 4];
        *out++ = digits[digest[i] & 0x0F];
    }
    return text;
}

int NETSSL_Shutdown(TUNLEX_Connection *conn)
{
    if (!conn || !conn->ssl)
        return 1;
    NETSSL_Handle *h = conn->ssl;
    if (h->ssl) {
        // A close_notify only makes sense on a finished handshake; the
        // gateway's answer is not awaited.
        if (SSL_is_init_finished(h->ssl)) {
            SSL_shutdown(h->ssl);
            if (BIO *out = SSL_get_wbio(h->ssl))
                (void)BIO_flush(out);   // one try; a full socket loses it
        }
        SSL_free(h->ssl);
        h->ssl = nullptr;
    }
    if (h->ctx) {
        SSL_CTX_free(h->ctx);
        h->ctx = nullptr;
    }
    ERR_clear_error();
    return 1;
}

int NETSSL_Free(TUNLEX_Connection *conn)
{
    if (!conn || !conn->ssl)
        return 1;
    if (conn->ssl->ssl || conn->ssl->ctx)
        NETSSL_Shutdown(conn);
    free(conn->ssl);
    conn->ssl = nullptr;
    return 1;
}

// TLS side of the tunnel: the client handshake over the connected socket,
// sends, exact reads, the certificate fingerprint and the tear-down. The
// socket is non-blocking; every wait looks at the connection's abort flag
// at least every NETTCP_ABORT_POLL_MS. Read failures set the state Error
// themselves so that the connection thread's loops end.
#ifndef TLX_NET_SSL_H
#define TLX_NET_SSL_H

#include <stdint.h>

#include "errorinfo.h"
#include "tunlex.h"

struct ssl_st;
struct ssl_ctx_st;

// The TLS connection of one attempt.
struct NETSSL_Handle {
    ssl_st *ssl;        // owned; null when none
    ssl_ctx_st *ctx;    // owned; null when none
    int32_t corked;     // 1: records gather in the write buffer until NETSSL_Flush
};

enum : uint32_t {
    NETSSL_HANDSHAKE_TIMEOUT_MS = 30000,
    // Records bound for the socket gather here: a burst of frames, each its
    // own record, leaves in one socket write.
    NETSSL_WRITE_BUFFER = 65536,
    // Read-ahead, in a buffer in front of the socket: one read from the
    // socket brings in several records.
    NETSSL_READ_BUFFER = 65536
};

// Loads OpenSSL's error texts and initialises the library; once at start-up.
int NETSSL_Init(ErrorInfo *chain);

// Creates the handle and runs the client handshake, at most
// NETSSL_HANDSHAKE_TIMEOUT_MS. 0 with the reason in the chain (a handshake
// that ran out of time leaves it empty for the caller's own words); the
// handle then stays for NETSSL_Free.
int NETSSL_Connect(TUNLEX_Connection *conn, ErrorInfo *chain);

// Writes the whole buffer as one TLS record (up to 16 KB). 0 without a TLS
// connection or data; else 1, also when the write failed or was aborted (the
// next read reports a broken link). Unless corked, the record goes to the
// socket at once.
int NETSSL_Send(TUNLEX_Connection *conn, const void *data, int32_t length);

// Cork: records of the sends that follow wait in the write buffer (it goes
// out by itself when full). Flush: writes what waits and uncorks; called at
// the end of a burst and before any wait. Both ignore a missing connection.
void NETSSL_Cork(TUNLEX_Connection *conn);
void NETSSL_Flush(TUNLEX_Connection *conn);

// 1 when a read would find application data without the socket: decrypted
// bytes, or a whole record that read-ahead brought in. Never waits.
int NETSSL_Buffered(TUNLEX_Connection *conn);

// Test seam: the handshake's time limit in ms (0 restores the default).
void NETSSL_TestSetHandshakeTimeout(uint32_t ms);

// Reads exactly length bytes: the length when all arrived, 0 otherwise. A
// failure sets the chain and state Error; an abort returns 0 and leaves both.
// A length of 0 reads nothing and returns 0. While it waits for the rest it
// runs the thread's timers, so that a stream that stopped inside a frame is
// still ended by the link's echo time-out: a change of the state while
// waiting returns 0 and leaves chain and state to whoever changed it.
int32_t NETSSL_ReadExact(TUNLEX_Connection *conn, void *buffer, int32_t length);

// 1 when TLS holds decrypted bytes; with peek also when a non-blocking peek
// finds application data. Never waits.
int NETSSL_Pending(TUNLEX_Connection *conn, int peek);

// For the readiness test, once the socket is readable: 1 when application
// data, the stream's end or an error is waiting (a read then reports it), 0
// when the records that arrived held nothing for the reader. Never waits.
int NETSSL_Probe(TUNLEX_Connection *conn);

// Reads and drops count bytes. 1 when all were dropped; 0 when a read
// failed (state and chain set as by NETSSL_ReadExact) or on abort.
int NETSSL_Discard(TUNLEX_Connection *conn, uint32_t count);

// The gateway certificate's SHA-1 fingerprint, "%02x" then ":%02X" per byte
// (59 characters), in a malloc'ed text the caller frees with free(); null
// with the reason in the chain (replacing it).
char *NETSSL_GetFingerprint(TUNLEX_Connection *conn, ErrorInfo *chain);

// Sends close_notify once without waiting, frees the SSL object and the
// context; the handle stays. Always 1.
int NETSSL_Shutdown(TUNLEX_Connection *conn);

// Shuts down what is left, frees the handle, TLS handle null. Always 1.
int NETSSL_Free(TUNLEX_Connection *conn);

#endif

// TCP side of the tunnel: name resolution, the connection to the gateway, its
// addresses and local interface, and the readiness test the connection
// thread polls with. Every wait here looks at the connection's abort flag
// at least every NETTCP_ABORT_POLL_MS.
#ifndef TLX_NET_TCP_H
#define TLX_NET_TCP_H

#include <stdint.h>

#include "errorinfo.h"
#include "tunlex.h"

enum {
    NETTCP_ABORT_POLL_MS = 100,
    NETTCP_CONNECT_TIMEOUT_MS = 21000   // Windows' own connect time-out, on both systems
};

// Starts the socket library (version 2.2); once at start-up.
int NETTCP_Init(ErrorInfo *chain);

// Resolves the configured server, connects to its first IPv4 address at the
// configured port and fills the socket, the server and local addresses and
// the local interface record. 0 with the reason in the chain (replacing it).
int NETTCP_Connect(TUNLEX_Connection *conn, ErrorInfo *chain);

// 1 when a read would find application data (or the stream's end or an
// error, which the read then reports); 0 when nothing is there yet. Never
// blocks: TLS records without application data, such as session tickets,
// are taken in and count as nothing. A socket error sets "Socket error" and
// state Error with reason Socket Closed.
int NETTCP_Readable(TUNLEX_Connection *conn);

// Closes the socket: socket -1, both addresses 0. Always 1.
int NETTCP_Close(TUNLEX_Connection *conn);

// Test seam: the blocking resolver NETTCP_Connect runs on its helper thread
// (null restores the system's).
typedef int (*NETTCP_Resolver)(const char *name, uint32_t *address, char *text, uint32_t size);
void NETTCP_SetResolver(NETTCP_Resolver resolver);

#endif

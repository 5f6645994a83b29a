// The words the client and the route service exchange over the service's
// pipe. Both sides include this header; neither links the other's code.
//
// One request is one message: the command name, then, when the command has
// arguments, a comma and the arguments separated by commas (no blanks), then
// a NUL that is part of the message. One reply message answers each request:
// "<command> OK", "<command> FAILED,0x%08x" (a Win32 or IP Helper error
// code) or "Unknown command", each followed by its NUL.
//
// Windows carries the messages over a message-mode named pipe; Linux over a
// Unix-domain SOCK_SEQPACKET socket (one send is one message).
#ifndef TLX_SERVICE_PIPE_PROTOCOL_H
#define TLX_SERVICE_PIPE_PROTOCOL_H

#include <stdint.h>
#include <stdlib.h>
#include <string.h>

// Where the service listens. The environment variable, when set and not
// empty, replaces the name or path on either system (tests, namespaces).
#define SVCPIPE_NAME "\\\\.\\pipe\\Quorvanti_SSLPipe"
#define SVCPIPE_SOCKET_PATH "/run/vantorelle/Quorvanti_SSLPipe"
#define SVCPIPE_PATH_ENV "VANTORELLE_SERVICE_PIPE"

// Linux: the resolver file ("nameserver a.b.c.d" lines) the service writes
// the DNS servers into and the client reads its adapter's DNS servers from.
// The environment variable, when set and not empty, replaces the path on
// both sides.
#define SVCPIPE_DNS_FILE "/run/vantorelle/resolv.conf"
#define SVCPIPE_DNS_FILE_ENV "VANTORELLE_DNS_FILE"

inline const char *SVCPIPE_DnsFile()
{
    const char *env = getenv(SVCPIPE_DNS_FILE_ENV);
    return env && *env ? env : SVCPIPE_DNS_FILE;
}

enum : uint32_t {
    SVCPIPE_CLIENT_BUFFER = 2048,     // the client's request and reply buffer
    SVCPIPE_SERVICE_BUFFER = 4096,    // the service's request and reply buffers, and the pipe's
    SVCPIPE_MAX_FIELDS = 32,          // fields the service splits off a request
    SVCPIPE_BUSY_WAIT_MS = 10000      // a client's wait for a pipe busy with another client
};

#define SVCPIPE_DELIMITER ","

// The eleven commands.
#define SVCPIPE_CMD_CLIENT_HELLO "ClientHello"
#define SVCPIPE_CMD_ROUTE_INIT "ROUTE_Init"
#define SVCPIPE_CMD_ROUTE_ADD "ROUTE_Add"
#define SVCPIPE_CMD_ROUTE_CLEANUP "ROUTE_CleanUp"
#define SVCPIPE_CMD_FIX_DEFAULT_ROUTE "ROUTE_FixDefaultRoute"
#define SVCPIPE_CMD_FIX_ROUTE "ROUTE_FixRoute"
#define SVCPIPE_CMD_RESTORE_ROUTES "ROUTE_RestoreRoutes"
#define SVCPIPE_CMD_SET_IFACE_ADDR "SSL_SetIfaceAddr"
#define SVCPIPE_CMD_REMOVE_GATEWAY "SSL_RemoveGateway"
#define SVCPIPE_CMD_SET_DNS_IFACE "SSL_SetDNSIface"
#define SVCPIPE_CMD_CLIENT_STATUS "ClientStatus"

// The arguments behind "<command>," as the client formats them. An interface
// index or flag is "0x%x"; an IPv4 address or mask is "0x%08x" of
// SVCPIPE_AddressWord; a metric or MTU is "%lu" (pass unsigned long); an
// adapter name is its GUID text, which holds no comma. The service takes an
// MTU of 128 to 65535, the PPP engine's own bound on the MRUs the MTU is made
// from (runtime/link_mtu.h, which this header cannot include: it is shared
// with the route service, which links no runtime).
#define SVCPIPE_ARGS_CLIENT_HELLO "%s,0x%x"                          // adapter, index
#define SVCPIPE_ARGS_ROUTE_INIT "0x%x,0x%x"                          // index, all-nets flag
#define SVCPIPE_ARGS_ROUTE_ADD "0x%x,0x%08x,0x%08x,0x%08x,%lu"      // index, dest, mask, gateway, metric
#define SVCPIPE_ARGS_FIX_ROUTE "0x%08x"                              // destination
#define SVCPIPE_ARGS_SET_IFACE_ADDR "%s,0x%x,0x%08x,0x%08x,0x%08x,%lu" // adapter, index, address, mask, gateway, MTU
#define SVCPIPE_ARGS_REMOVE_GATEWAY "%s,0x%x,0x%08x"                 // adapter, index, address
#define SVCPIPE_ARGS_SET_DNS_IFACE "%s,0x%x,%s,0x%08x,0x%08x"        // adapter, index, clear flag, DNS1, DNS2
#define SVCPIPE_ARGS_CLIENT_STATUS "%s"                              // status word

// Fields of each request, the command included, for the commands whose
// count the service checks.
enum : uint32_t {
    SVCPIPE_FIELDS_ROUTE_INIT = 3,
    SVCPIPE_FIELDS_ROUTE_ADD = 6,
    SVCPIPE_FIELDS_FIX_DEFAULT_ROUTE = 1,
    SVCPIPE_FIELDS_FIX_ROUTE = 2,
    SVCPIPE_FIELDS_SET_IFACE_ADDR = 7,
    SVCPIPE_FIELDS_REMOVE_GATEWAY = 4,
    SVCPIPE_FIELDS_SET_DNS_IFACE = 6,
    SVCPIPE_FIELDS_CLIENT_STATUS = 2
};

#define SVCPIPE_DNS_CLEAR "true"        // the service compares without regard to case
#define SVCPIPE_DNS_KEEP "false"
#define SVCPIPE_STATUS_ESTABLISHED "Established"
#define SVCPIPE_STATUS_FAILED "Failed"

// Replies.
#define SVCPIPE_REPLY_OK "OK"
#define SVCPIPE_REPLY_FAILED "FAILED"
#define SVCPIPE_REPLY_UNKNOWN "Unknown command"
#define SVCPIPE_FORMAT_OK "%s %s"               // command, SVCPIPE_REPLY_OK
#define SVCPIPE_FORMAT_FAILED "%s %s,0x%08x"    // command, SVCPIPE_REPLY_FAILED, code

// An IPv4 address (network byte order, as held in memory) as its wire word:
// the four bytes read as a little-endian integer, so 10.0.0.0 is 0x0000000a
// and 192.168.1.1 is 0x0101a8c0 on every host.
inline uint32_t SVCPIPE_AddressWord(uint32_t address)
{
    uint8_t b[4];
    memcpy(b, &address, 4);
    return static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
           static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24;
}

// The wire word back into the network-order address.
inline uint32_t SVCPIPE_AddressFromWord(uint32_t word)
{
    uint8_t b[4] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8),
                    static_cast<uint8_t>(word >> 16), static_cast<uint8_t>(word >> 24)};
    uint32_t address;
    memcpy(&address, b, 4);
    return address;
}

#endif

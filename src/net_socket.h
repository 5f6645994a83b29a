// The system's socket calls behind one small interface, so that the TCP and
// TLS layers stay free of Winsock and BSD differences. Sockets are IPv4 TCP,
// held as the connection context holds them (signed 32-bit, -1 for none);
// addresses and ports are in network byte order. Error codes are the
// system's own (WSAGetLastError or errno) and fit ERRORINFO_SetSystem.
#ifndef TLX_NET_SOCKET_H
#define TLX_NET_SOCKET_H

#include <stddef.h>
#include <stdint.h>

enum { NETSOCK_NONE = -1 };

// Starts the socket library asking for version 2.2. 0 on success with the
// version the library offers in *version (high byte minor, low byte major,
// as Winsock reports it); else the library's answer. The Linux build answers
// 2.2 and makes sure a write to a closed peer cannot kill the process.
int NETSOCK_Startup(uint16_t *version);
void NETSOCK_Cleanup(void);

// The calling thread's last socket error.
uint32_t NETSOCK_LastError(void);
// The code of a connect that ran out of time.
uint32_t NETSOCK_TimedOutCode(void);

enum NETSOCK_ResolveResult {
    NETSOCK_RESOLVED = 0,
    NETSOCK_HOST_NOT_FOUND = 1,
    NETSOCK_NO_DATA = 2,
    NETSOCK_RESOLVE_FAILED = 3   // *text holds the system's explanation
};

// First IPv4 address of the name, blocking. text (size bytes, always
// terminated) receives the system's words for NETSOCK_RESOLVE_FAILED.
NETSOCK_ResolveResult NETSOCK_Resolve(const char *name, uint32_t *address, char *text,
                                      size_t size);

// A non-blocking AF_INET stream socket, or NETSOCK_NONE with *code.
int32_t NETSOCK_Open(uint32_t *code);
void NETSOCK_Close(int32_t sock);

enum { NETSOCK_CONNECTED = 0, NETSOCK_IN_PROGRESS = 1, NETSOCK_FAILED = -1 };

// Starts a connect on a non-blocking socket; NETSOCK_FAILED with *code.
int NETSOCK_ConnectStart(int32_t sock, uint32_t address, uint16_t port, uint32_t *code);

// Waits at most ms for a started connect: 1 when it ended (*code 0 on
// success, else the reason), 0 while it is still running.
int NETSOCK_ConnectWait(int32_t sock, uint32_t ms, uint32_t *code);

enum { NETSOCK_WAIT_READ = 1, NETSOCK_WAIT_WRITE = 2 };

// Waits at most ms (0: only tests) for the events: 1 ready (an error or the
// peer's close also count as ready), 0 not, -1 socket error with *code.
int NETSOCK_Wait(int32_t sock, uint32_t events, uint32_t ms, uint32_t *code);

// A wake-up another thread can give a thread waiting on a socket, so that an
// idle wait ends as soon as there is work on either side. Signal only wakes
// when the waiter armed it (before its last look for work): a busy producer
// costs no system call per item.
struct NETSOCK_Wake;
NETSOCK_Wake *NETSOCK_WakeCreate(void);   // null without resources
void NETSOCK_WakeClose(NETSOCK_Wake *wake);
void NETSOCK_WakeArm(NETSOCK_Wake *wake);
void NETSOCK_WakeSignal(NETSOCK_Wake *wake);   // any thread; null is ignored
// Waits at most ms until the socket is readable (or closed, or failed) or
// the armed wake was signalled; disarms. 1 woken, 0 timed out, -1 socket
// error with *code.
int NETSOCK_WaitReadOrWake(int32_t sock, NETSOCK_Wake *wake, uint32_t ms, uint32_t *code);
// The same, and until the device descriptor is readable too, where the
// system can wait for one (Linux: a tun device; Windows cannot wait so for a
// TAP handle and waits as above). *deviceReady: 1 when the device was.
// NETSOCK_NONE as device waits for socket and wake only.
int NETSOCK_WaitReadWakeOrDevice(int32_t sock, NETSOCK_Wake *wake, intptr_t device, uint32_t ms,
                                 uint32_t *code, int *deviceReady);

// The connected peer's and the local IPv4 address; 0 when not AF_INET.
int NETSOCK_PeerAddress(int32_t sock, uint32_t *address);
int NETSOCK_LocalAddress(int32_t sock, uint32_t *address, uint16_t *port);

// A blocking listening socket bound to address:port (port 0 chooses one),
// with the given backlog; NETSOCK_NONE with *code. For the test peers.
int32_t NETSOCK_Listen(uint32_t address, uint16_t port, int32_t backlog, uint32_t *code);
// The next connection of a listening socket, blocking; NETSOCK_NONE on failure.
int32_t NETSOCK_Accept(int32_t listener);
// Switches a socket between blocking (0) and non-blocking (1).
int NETSOCK_SetNonBlocking(int32_t sock, int on);

#endif

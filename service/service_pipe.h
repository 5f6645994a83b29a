// Where the service's pipe is, and a minimal client of it (the service's own
// tests talk to the running worker through it).
#pragma once

#include <cstdint>

// The Linux socket path or the Windows pipe name: an address set with
// SPIPE_SetAddress, else the protocol's environment override, else the
// system's address.
const char *SPIPE_Address();
// Puts the pipe elsewhere (null: back to the system's address), so that a
// test's server and clients meet away from a running service.
void SPIPE_SetAddress(const char *address);
// A private address for this process (a temporary socket path, or a pipe
// name with the process id), written into buf.
void SPIPE_TestAddress(char *buf, uint32_t size);

struct SvcPipeClient;

// Opens the pipe. 0, or the error code (a busy pipe is not waited for).
uint32_t SPIPE_Connect(SvcPipeClient **client);
// Sends one message of len bytes. 0 or an error code.
uint32_t SPIPE_Send(SvcPipeClient *client, const void *data, uint32_t len);
// Receives one message into buf (at most size bytes). 0, SPIPE_TIMEOUT
// when none came within timeoutMs, SPIPE_CLOSED when the service closed
// its end, or another error code.
uint32_t SPIPE_Receive(SvcPipeClient *client, char *buf, uint32_t size, uint32_t *len, uint32_t timeoutMs);
void SPIPE_Close(SvcPipeClient *client);

#define SPIPE_TIMEOUT 0xFFFF0001u
#define SPIPE_CLOSED 0xFFFF0002u

// rtnetlink requests of the service's Linux layer: one socket per request,
// in the calling thread's network namespace.
#pragma once

#include <cstddef>
#include <cstdint>

struct nlmsghdr;

// A request in a buffer of its own: the header, the family record, then
// attributes. Begin zeroes it and sets type and flags (NLM_F_REQUEST added).
struct NL_Message {
    alignas(4) unsigned char data[1024];
    nlmsghdr *Header();
    void *Body();  // the family record after the header
};
void NL_Begin(NL_Message *m, uint16_t type, uint16_t flags, size_t bodySize);
// 1, or 0 when the attribute does not fit.
int NL_AddAttr(NL_Message *m, uint16_t type, const void *data, size_t length);
int NL_AddU32(NL_Message *m, uint16_t type, uint32_t value);

// Sends the request and reads its acknowledgement. Returns 0, or the errno of
// opening or using the socket; *kernelError is the kernel's answer (0, or an
// errno such as EEXIST).
uint32_t NL_Transact(NL_Message *m, uint32_t *kernelError);
// A request that is an error whichever side refused it.
uint32_t NL_Request(NL_Message *m);

// Sends a dump request and calls fn for every message of the answer.
typedef void (*NL_DumpFn)(const nlmsghdr *msg, void *context);
uint32_t NL_Dump(NL_Message *m, NL_DumpFn fn, void *context);

// Sends a request that the kernel answers with messages of its own (a route
// look-up) and calls fn for each; then its acknowledgement. 0, or the errno
// of the socket or of the kernel's refusal.
uint32_t NL_Query(NL_Message *m, NL_DumpFn fn, void *context);

// The value of a 32-bit attribute of a route or address message; 1 found.
int NL_FindU32(const nlmsghdr *msg, size_t bodySize, uint16_t type, uint32_t *value);

// Prefix length of a mask in network byte order (the mask is a prefix), and back.
uint8_t NL_PrefixLength(uint32_t mask);
uint32_t NL_MaskOf(uint8_t prefixLength);

// ---- Routes as the kernel describes them ----

// A request that makes the route of a dump message again (type RTM_NEWROUTE
// or RTM_DELROUTE) with every attribute it carried and the given priority in
// place of its own. The flags a dump reports but a request may not carry
// (a dead or link-down next hop) are dropped, and so are the hops of a route
// through a next-hop object (the kernel refuses them beside its id). 0 when
// it does not fit.
int NL_RouteFromDump(NL_Message *m, const nlmsghdr *route, uint16_t type, uint16_t flags, uint32_t priority);

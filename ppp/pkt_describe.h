// One-line key=value description of a packet for the packet log.
#ifndef TLX_PPP_PKT_DESCRIBE_H
#define TLX_PPP_PKT_DESCRIBE_H

#include "str.h"

struct PKT_Buffer;

// Describes the packet at the buffer's cursor (an IPv4 packet with its
// ICMP, IGMP, TCP or UDP header) into text and returns text's data. Only
// bytes inside the packet are read: a packet too short for a field ends the
// line with "truncated=<bytes in the IP packet>". A whole PPP frame of one of
// the engine's protocols (optionally behind FF 03) gives "pppproto=<name>"
// and the control packet's code, id and length, or the IPv4 datagram's
// items; anything else that is not IPv4 gives "ipver=<version>". The packet
// is not changed.
char *PKT_Describe(TextBuf *text, const PKT_Buffer *packet);

#endif

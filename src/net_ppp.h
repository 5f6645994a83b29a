// PPP inside the TLS stream: the frame header, its writer and reader, and the
// glue between the connection context and the PPP engine.
//
// After the greeting every PPP frame travels behind an 8-byte header: the
// magic 12 34 56 78 and the payload length, both big-endian. The payload is
// the frame from its protocol field on (no flags, no stuffing, no FCS). The
// client never sends FF 03; frames from the gateway may carry it.
//
// Everything here runs on the connection thread. The engine's callbacks get
// the TUNLEX_Connection as their user pointer.
#ifndef TLX_NET_PPP_H
#define TLX_NET_PPP_H

#include <stdint.h>

#include "pkt_buffer.h"

struct TUNLEX_Connection;
struct ErrorInfo;

enum : uint32_t {
    TUNLEX_FRAME_MAGIC = 0x12345678,
    TUNLEX_FRAME_HEADER_SIZE = 8,
    TUNLEX_FRAME_MAX_PAYLOAD = PKT_CAPACITY   // one pool buffer
};

// The header in host order; on the wire both words are big-endian.
struct TUNLEX_FrameHeader {
    uint32_t magic;
    uint32_t length;    // payload bytes that follow, header not counted
};

void TUNLEX_FrameHeaderEncode(const TUNLEX_FrameHeader *header, uint8_t out[TUNLEX_FRAME_HEADER_SIZE]);
void TUNLEX_FrameHeaderDecode(const uint8_t in[TUNLEX_FRAME_HEADER_SIZE], TUNLEX_FrameHeader *header);

// A fresh PPP context for the attempt, configured from the connection, with
// LCP started. 0 with "Failed to allocate PPP context" (if the chain is empty).
int NETPPP_Start(TUNLEX_Connection *conn, ErrorInfo *chain);
// Lower layer down, IPCP close, link close. The link events this causes are
// our own doing and change no connection state. Returns 1.
int NETPPP_Stop(TUNLEX_Connection *conn);
// Cancels the engine's timers (on the calling thread), frees the context and
// clears the pointer. Returns 1.
int NETPPP_Free(TUNLEX_Connection *conn);

// The engine's send callback: records the frame in the capture, adds the
// header and writes it to TLS. Always consumes the buffer.
void NETPPP_Output(PKT_Buffer *packet, void *context);
// Between these two the frames NETPPP_Output writes, each its own TLS
// record, wait in the transport's write buffer and leave together (or when
// the buffer is full); NETPPP_FlushBatch sends what waits and ends the batch.
void NETPPP_BeginBatch(TUNLEX_Connection *conn);
void NETPPP_FlushBatch(TUNLEX_Connection *conn);
// An IPv4 packet from the adapter (cursor on the datagram). 0 when it could
// not be encapsulated (then freed). The buffer is consumed either way.
int NETPPP_SendIP(TUNLEX_Connection *conn, PKT_Buffer *packet);

// Reads one frame and hands it to the engine. Returns an IPv4 datagram that
// the caller now owns (cursor on its header), or null: the engine consumed the
// frame, a zero-length frame was dropped, no pool buffer was free (nothing
// read), or the stream failed (state Error, message in the chain). A bad
// magic or a length above one buffer is a framing error: Error with kind SSL.
PKT_Buffer *NETPPP_ReadFrame(TUNLEX_Connection *conn);

// Copies IPCP's results into the network configuration: DNS2 moves up when
// DNS1 is 0, equal servers leave DNS2 at 0; MTU link MRU, MRU the peer's.
void NETPPP_UpdateNetworkConfig(TUNLEX_Connection *conn);

// Event callbacks of the link, IPCP and the vendor protocol.
int PPPHandle_PPP_EventHandler(uint32_t event, void *context);
int PPPHandle_IPCP_EventHandler(uint32_t event, void *context);
int PPPHandle_VSP_EventHandler(uint32_t event, void *context);

// OTP prompt callback: takes the OTP, RadiusState and prompt text from the
// engine's configuration copy into the connection's configuration.
void NETPPP_SaveCredentials(void *context);

// Vendor-protocol option callback: type 1 is the gateway's web address (the
// first one of an attempt is kept, at most 2047 characters); other types are
// refused (0).
int NETPPP_VspOption(uint8_t index, uint8_t type, const uint8_t *value, uint16_t length,
                     void *context);

// The word of an event code for log lines ("N/A" for others).
const char *NETPPP_EventName(uint32_t event);

#endif

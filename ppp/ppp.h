// The PPP link: one PPP_Context per connection attempt holds LCP, the
// authentication state, IPCP and the vendor protocol. The engine is passive:
// the tunnel core calls it on its connection thread (input, open, close,
// encapsulate) and it answers through the callbacks of PPP_Config and the
// termination sink the core registers (its CP_PppTerminated). Frames start with the 2-byte protocol
// number; there is no HDLC framing and no address/control field.
#ifndef TLX_PPP_PPP_H
#define TLX_PPP_PPP_H

#include <stdint.h>

#include "fsm.h"
#include "ipcp.h"
#include "lcp.h"
#include "vsp.h"

struct PKT_Buffer;

// Protocol numbers the link knows.
enum : uint16_t {
    PPP_PROTO_IP = 0x0021,
    PPP_PROTO_MPPE = 0x00FD,
    PPP_PROTO_IPCP = 0x8021,
    PPP_PROTO_CCP = 0x80FD,
    PPP_PROTO_VSP = 0x405B,
    PPP_PROTO_LCP = 0xC021,
    PPP_PROTO_PAP = 0xC023,
    PPP_PROTO_CHAP = 0xC223
};

// CHAP algorithm bytes.
enum : uint8_t {
    PPP_CHAP_MD5 = 0x05,
    PPP_CHAP_MSCHAP1 = 0x80,
    PPP_CHAP_MSCHAP2 = 0x81
};

// Authentication methods, a bit mask (only these five bits count).
typedef uint32_t PPP_AuthMethods;
enum : uint32_t {
    PPP_AUTH_NONE = 0x01,
    PPP_AUTH_PAP = 0x02,
    PPP_AUTH_CHAP_MD5 = 0x04,
    PPP_AUTH_MSCHAP1 = 0x08,
    PPP_AUTH_MSCHAP2 = 0x10,
    PPP_AUTH_ALL = 0x1F
};

// Link events (IPCP and the vendor protocol use the same codes).
enum : uint32_t {
    PPP_EVENT_UP = 0,        // both sides authenticated, network phase entered
    PPP_EVENT_DOWN = 1,      // LCP left OPENED
    PPP_EVENT_STARTED = 2,   // LCP This-Layer-Started
    PPP_EVENT_FINISHED = 3   // LCP This-Layer-Finished
};

// The callback takes over the buffer (data start: protocol number).
typedef void (*PPP_OutputCallback)(PKT_Buffer *packet, void *user);
#ifndef TLX_PPP_EVENT_CALLBACK_DECLARED
#define TLX_PPP_EVENT_CALLBACK_DECLARED
typedef int (*PPP_EventCallback)(uint32_t event, void *user);
#endif
// The gateway asked for a one-time password the user has not typed yet.
typedef void (*PPP_OtpPromptCallback)(void *user);

enum {
    PPP_USER_SIZE = 64,
    PPP_PASSWORD_SIZE = 64,
    PPP_PASSWORD_UTF8_SIZE = 256,
    PPP_OTP_PROMPT_SIZE = 256,
    PPP_RADIUS_STATE_SIZE = 256,
    PPP_OTP_SIZE = 64
};

struct PPP_Config {
    uint32_t restartTime;       // seconds; 0: automaton default
    uint32_t maxConfigure;      // 0: 5
    uint32_t maxTerminate;      // 0: 2
    uint32_t backoff;
    uint32_t echoInterval;      // seconds; 0: no echoes
    uint32_t maxLostEchoes;     // 0: no echoes
    uint32_t skipEchoOnTraffic;
    uint16_t mru;               // 0: 1500
    PPP_AuthMethods perform;    // which demands of the gateway the client accepts
    PPP_AuthMethods demand;     // forced to PPP_AUTH_NONE
    char userName[PPP_USER_SIZE];
    char password[PPP_PASSWORD_SIZE];           // the bytes PAP and CHAP-MD5 send
    char passwordUtf8[PPP_PASSWORD_UTF8_SIZE];  // the text MS-CHAP hashes; empty: password
    char otpPrompt[PPP_OTP_PROMPT_SIZE];        // written by PAP from the gateway's Nak
    char radiusState[PPP_RADIUS_STATE_SIZE];
    char otp[PPP_OTP_SIZE];
    PPP_OutputCallback output;
    PPP_EventCallback eventCallback;            // may be null
    PPP_OtpPromptCallback otpPromptCallback;    // may be null
    void *user;                                 // passed to all three callbacks
};

enum PPP_Phase : uint32_t {
    PPP_PHASE_DEAD = 0,
    PPP_PHASE_ESTABLISH = 1,
    PPP_PHASE_AUTHENTICATE = 2,
    PPP_PHASE_NETWORK = 3,
    PPP_PHASE_TERMINATE = 4
};

// Bits of PPP_Context::authSides.
enum : uint8_t {
    PPP_SIDE_CLIENT = 0x01,     // the client has authenticated itself (or need not)
    PPP_SIDE_SERVER = 0x02,     // the gateway has (or need not)
    PPP_SIDE_BOTH = 0x03
};

struct PPP_Context {
    FSM lcp;                        // first: the context's address is LCP's record
    PPP_Config config;
    // LCP negotiation memory
    uint32_t weRejected;            // bit (1 << (type % 32)) per option we rejected
    uint32_t peerRejected;          // bit (1 << type) per option of ours the peer rejected
    uint32_t authRequested;         // PPP_AuthMethods bit our last request asked for
    uint32_t peerNaked;             // auth methods of the peer we NAK'ed
    uint32_t ourNaked;              // auth methods of ours the peer NAK'ed
    uint32_t peerMagic;
    uint32_t ourMagic;
    uint32_t echoLosses;
    uint32_t peerAlive;
    // authentication (PAP, CHAP)
    uint8_t papId;
    uint8_t lastId;
    uint8_t papRunFirstId;          // first PAP identifier of the current run (PAP_Start)
    uint32_t papExpiries;
    uint32_t authGivenUp;
    uint8_t authSides;              // PPP_SIDE_* bits
    uint8_t authChallenge[16];
    uint8_t peerChallenge[16];
    uint8_t ntResponse[24];
    uint16_t ourMRU;
    uint16_t peerMRU;
    uint16_t ourAuthProtocol;       // what the client demands of the gateway; 0 none
    uint8_t ourAuthAlgorithm;
    uint16_t peerAuthProtocol;      // what the gateway demands of the client; 0 none
    uint8_t peerAuthAlgorithm;
    // The last Configure-Request LCP answered with a Reject or Nak, so that a
    // peer's retransmission of it is answered again rather than counted as a
    // second refusal.
    uint32_t lastRefusedValid;
    uint32_t lastRefusedHash;
    uint16_t lastRefusedLength;
    uint8_t lastRefusedId;
    IPCP_Record *ipcp;              // set by IPCP_Init
    VSP_Record *vsp;                // set by VSP_Init
    PPP_Phase phase;
    IPCP_Record ipcpRecord;
    VSP_Record vspRecord;
};

// Termination reasons reported to the termination sink.
enum PPP_TerminationReason : uint32_t {
    PPP_TERM_IP_ADDRESS = 2,
    PPP_TERM_PRIMARY_DNS = 3,
    PPP_TERM_SECONDARY_DNS = 4,
    PPP_TERM_PRIMARY_NBNS = 5,
    PPP_TERM_SECONDARY_NBNS = 6,
    PPP_TERM_AUTH_PROTOCOL = 50,
    PPP_TERM_PEER_REFUSES_AUTH = 51,
    PPP_TERM_LCP_STALLED = 52,
    PPP_TERM_AUTH_FAILED = 101,
    PPP_TERM_PROMPT_FOR_OTP = 102
};

// The word of a reason number ("" for an unknown number).
const char *PPP_ReasonText(uint32_t reason);
// sink("PPP", 0, reason, its word, "ppp_terminated"); nothing while no sink
// is registered.
void PPP_ReportTermination(uint32_t reason);

// The tunnel core's termination sink (CP_PppTerminated), registered by the
// core before it starts a link: the engine sits below the core and reaches it
// only through this pointer. Process-wide, like the sink itself; null removes.
typedef void (*PPP_TerminationSink)(const char *module, uint32_t code, uint32_t number,
                                    const char *reason, const char *category);
void PPP_SetTerminationSink(PPP_TerminationSink sink);

// Prepares a zeroed context from the configuration. Returns 1.
int PPP_Init(PPP_Context *context, const PPP_Config *config);
// Resets LCP's negotiation fields and gives LCP the Open event. Returns 1.
int LCP_Open(PPP_Context *context);
void PPP_LowerLayerUp(PPP_Context *context);
void PPP_LowerLayerDown(PPP_Context *context);
void PPP_Close(PPP_Context *context);
void NCP_Close(FSM *record);
// Cancels every engine timer that refers to the context (automata, echo,
// PAP, CHAP). Call after the stop sequence, before the context is freed.
void PPP_CancelTimers(PPP_Context *context);

// One received frame from the buffer's cursor. 1: an IPv4 datagram, left in
// the buffer with the cursor on it (the caller owns the buffer); 0: consumed
// and freed.
int PPP_Input(PKT_Buffer *packet, PPP_Context *context);
// Puts 0x0021 in front of the datagram at the cursor. 0: no room, freed.
int PPP_EncapsulateIP(PKT_Buffer *packet, IPCP_Record *ipcp);

uint16_t PPP_GetLinkMRU(const PPP_Context *context);
uint16_t PPP_GetPeerMRU(const PPP_Context *context);
int PPP_IsNetworkPhase(const PPP_Context *context);

void PPP_StartAuth(PPP_Context *context);
// 0 failure; PPP_SIDE_* bits of the sides now authenticated.
void PPP_AuthResult(uint32_t result, PPP_Context *context);

void PPP_LinkStarted(PPP_Context *context);
void PPP_LinkFinished(PPP_Context *context);
void PPP_LinkDown(PPP_Context *context);

// Cryptographic random bytes for LCP magic numbers and challenges. 1 filled,
// 0 the source failed (the buffer must then not be used).
int PPP_Random(void *out, uint32_t count);
// Test seam: replaces the source (null restores the system's).
typedef int (*PPP_RandomSource)(void *out, uint32_t count);
void PPP_SetRandomSource(PPP_RandomSource source);

#endif

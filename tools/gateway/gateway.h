// Test gateway: a TLS server that speaks the tunnel's framing and the
// gateway's side of PPP. It shares no code with the client on purpose, so
// that the client's tests meet a peer the client did not write.
#pragma once

#include <cstddef>
#include <cstdint>

#include <openssl/ssl.h>

enum GW_Auth { GW_AUTH_NONE, GW_AUTH_PAP, GW_AUTH_CHAP_MD5, GW_AUTH_MSCHAP1, GW_AUTH_MSCHAP2 };
enum GW_VspMode { GW_VSP_RUN, GW_VSP_REJECT, GW_VSP_SILENT };
enum GW_CloseMode { GW_CLOSE_NOTIFY, GW_CLOSE_EOF, GW_CLOSE_RESET, GW_CLOSE_LCP };
enum GW_Ff03 { GW_FF03_NONE, GW_FF03_ALL, GW_FF03_ALTERNATE };
enum GW_Split { GW_SPLIT_NONE, GW_SPLIT_HEADER, GW_SPLIT_PAYLOAD };

enum { GW_MAX_VSP_OPTIONS = 8, GW_TEXT = 256, GW_IP_FRAMES_LOGGED = 20 };

struct GW_VspOption {
    uint8_t index;
    uint8_t type;
    char value[GW_TEXT];
};

struct GW_Options {
    // listener and TLS
    char listenAddr[64];
    uint16_t port;
    char certFile[GW_TEXT];
    char keyFile[GW_TEXT];
    char readyFile[GW_TEXT];
    char logFile[GW_TEXT];
    char pcapFile[GW_TEXT];      // capture of every PPP frame, both directions
    int tls12Only;
    uint32_t connections;       // 0: serve until signalled
    uint32_t maxTimeS;          // 0: no limit
    char tunName[16];           // non-empty: forward IPv4 through this tun link (IFNAMSIZ)
    int tunFd;                  // its attached queue, -1 without one

    // PPP
    uint16_t mru;
    uint32_t magic;             // 0: random per connection
    GW_Auth auth;
    char user[GW_TEXT];
    char password[GW_TEXT];
    char name[GW_TEXT];         // our CHAP name
    char otp[GW_TEXT];          // non-empty: PAP runs the one-time-password exchange
    char otpState[GW_TEXT];
    char otpPrompt[GW_TEXT];
    char papNakText[GW_TEXT];
    uint32_t localIp, clientIp, dns1, dns2, nbns1, nbns2;   // network byte order, 0 = none
    GW_VspMode vsp;
    uint32_t vspCount;
    GW_VspOption vspOptions[GW_MAX_VSP_OPTIONS];
    uint32_t echoIntervalS;     // 0: we send no Echo-Requests
    GW_Ff03 ff03;
    GW_Split split;
    int packRecords;            // several frames to a TLS record where a burst allows

    // faults
    int rejectAuth;
    int badAuthenticator;
    int badMagic;
    uint32_t badMagicValue;
    int oversize;
    uint32_t oversizeLen;
    int zeroFrame;
    uint32_t injectAt;          // the faulty frame goes out before this normal frame (1 = first)
    uint32_t closeAfterFrames;  // 0: never
    int closeAfterUp;
    uint32_t closeAfterUpMs;
    GW_CloseMode closeMode;
    uint32_t delayMs;
    int silent;                 // read the preface, then never answer
    int noHandshake;            // accept TCP, never run TLS
    uint32_t faultyConnections; // 0: faults apply to every connection
    uint64_t stallAfter;        // 0: never; else nothing more is sent after this many bytes
};

struct GW_Session;

// control-protocol automaton, one per LCP, IPCP and the vendor protocol
enum GW_FsmState { GW_FSM_CLOSED, GW_FSM_REQSENT, GW_FSM_ACKRCVD, GW_FSM_ACKSENT, GW_FSM_OPENED,
                   GW_FSM_CLOSING, GW_FSM_STOPPED };

struct GW_FsmOps {
    // writes the options (the vendor protocol: its header too) of our request
    size_t (*build)(GW_Session *s, uint8_t *out, size_t cap);
    // judges the peer's request; returns the reply code (2, 3 or 4) and fills reply; -1 drops it
    int (*judge)(GW_Session *s, const uint8_t *opt, size_t n, uint8_t *reply, size_t *replyLen);
    void (*nak)(GW_Session *s, const uint8_t *opt, size_t n);
    void (*reject)(GW_Session *s, const uint8_t *opt, size_t n);
    void (*up)(GW_Session *s);
    void (*down)(GW_Session *s);
    void (*finished)(GW_Session *s);
    // codes beyond 1-7; returns 0 when the code is unknown (Code-Reject)
    int (*other)(GW_Session *s, uint8_t code, uint8_t id, const uint8_t *data, size_t n);
};

struct GW_Fsm {
    const char *name;
    uint16_t proto;
    GW_FsmState state;
    uint8_t reqId;
    uint8_t nextId;
    uint32_t retries;
    uint64_t deadline;          // restart timer, ms; 0 when idle
    const GW_FsmOps *ops;
};

enum GW_Phase { GW_PHASE_ESTABLISH, GW_PHASE_AUTH, GW_PHASE_NETWORK, GW_PHASE_TERMINATE };

struct GW_AuthState {
    int done;                   // 0 waiting, 1 accepted, -1 refused
    uint8_t id;                 // identifier of our last Challenge
    uint8_t challenge[16];
    uint32_t challengeLen;
    uint32_t sent;              // Challenges sent
    uint64_t deadline;
    uint8_t lastReply[512];     // repeated when the peer repeats its answered packet
    size_t lastReplyLen;
    int otpIssued;
};

struct GW_Session {
    const GW_Options *opt;
    uint32_t number;            // connection number, from 1
    int faulty;                 // faults apply to this connection
    int fd;
    SSL *ssl;
    int dead;                   // the connection is gone or closed by us
    char endReason[128];

    uint8_t rx[70000];
    size_t rxLen;
    int prefaceSeen;
    uint64_t answerAt;          // nothing is read or sent before this time
    uint32_t framesIn, framesOut;
    int injected;

    GW_Phase phase;
    GW_Fsm lcp, ipcp, vsp;
    uint32_t ourMagic, peerMagic;
    uint16_t peerMru;
    uint32_t lcpOptOmit;        // bits (1 << type) of our LCP options the peer rejected
    uint32_t authNaks;
    uint32_t vspOmit;           // bits (1 << index) of our vendor options the peer refused
    uint32_t ipcpOmitAddr;
    int vspDone;
    int linkUp;
    int everUp;
    uint64_t closeAt;
    uint64_t hangupAt;          // the peer ended LCP: drop the connection if it does not
    uint64_t echoAt;
    uint8_t echoId;
    GW_AuthState auth;

    // IPv4 through the tun link
    uint64_t ipIn, ipOut;       // packets from the client written to it, and read from it for the client
    uint64_t ipDropped;
    uint32_t ipLogged[2];       // IPv4 frames logged, received and sent: the rest only counted
    uint64_t bytesOut;          // bytes (TLS plaintext) sent to the client
    uint64_t bytesIn;           // and received from it
    int stalled;                // --stall-after reached: nothing more is sent
    uint32_t recordsIn;         // TLS records from the client after the preface
    uint32_t recordsOneFrame;   // of these, the ones that held exactly one whole frame
    int batching;               // frames gather in batch and leave in one TLS record
    size_t batchLen;
    uint8_t batch[16384];
};

// gateway_main.cpp
uint64_t GW_Now();                                   // monotonic ms
int GW_ShouldStop();                                 // signalled, or past the time limit
void GW_Log(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void GW_LogFrame(GW_Session *s, const char *dir, const uint8_t *p, size_t n);

// gateway_link.cpp
void GW_Serve(const GW_Options *o, SSL_CTX *ctx, int fd, uint32_t number);
void GW_SendFrame(GW_Session *s, uint16_t proto, const uint8_t *info, size_t n);
void GW_Close(GW_Session *s, const char *reason);
int GW_TunOpen(const char *name);                    // the attached queue, non-blocking; -1 on failure
// The tun link's writer thread (gateway_tun.cpp): start once the link is
// attached (0: none, writes then go straight to the link), stop before it is
// closed (what is queued is written first).
int GW_TunWriterStart(int fd);
void GW_TunWriterStop(void);
// One packet to the link: 1 written or queued, 0 when the link refused it.
int GW_TunWrite(const uint8_t *p, size_t n);
void GW_TunEndBurst(void);           // the session goes idle: the next packet is a lone one
uint64_t GW_TunWriteFailures(void);  // queued packets the link refused, so far

// gateway_ppp.cpp
void GW_PppStart(GW_Session *s);
void GW_PppInput(GW_Session *s, const uint8_t *p, size_t n);
void GW_PppTick(GW_Session *s, uint64_t now);
void GW_PppNetworkPhase(GW_Session *s);
void GW_PppTerminate(GW_Session *s);
void GW_FsmSend(GW_Session *s, GW_Fsm *f, uint8_t code, uint8_t id, const uint8_t *data, size_t n);

// gateway_auth.cpp
void GW_AuthStart(GW_Session *s);
void GW_AuthInput(GW_Session *s, uint16_t proto, const uint8_t *p, size_t n);
void GW_AuthTick(GW_Session *s, uint64_t now);
void GW_NtPasswordHash(const char *password, uint8_t hash[16]);
void GW_ChallengeResponse(const uint8_t challenge[8], const uint8_t hash[16], uint8_t out[24]);
void GW_GenerateNtResponse(const uint8_t authChal[16], const uint8_t peerChal[16], const char *user,
                           const char *password, uint8_t out[24]);
void GW_AuthenticatorResponse(const char *password, const uint8_t nt[24], const uint8_t peerChal[16],
                              const uint8_t authChal[16], const char *user, char out[43]);

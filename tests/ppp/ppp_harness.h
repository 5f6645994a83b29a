// Test harness for the PPP engine: a fake clock behind the timer service,
// captured frames, link events and termination reasons, a fixed random
// source, and a link set up with the tunnel core's settings.
//
// ppp_harness.cpp (in this test program) defines the engine's termination
// sink CP_PppTerminated and registers it in ResetClock; test files must not
// define it again.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "fsm.h"
#include "ppp.h"

namespace ppptest {

typedef std::vector<uint8_t> Bytes;

// "C0 21 01 00" -> bytes; blanks and any other separators are ignored.
Bytes Hex(const char *text);
std::string ToHex(const Bytes &bytes);

struct Frame {
    uint64_t timeMs;    // fake clock when the engine sent it
    Bytes bytes;        // protocol number first
};

// Everything the engine reports, in order.
struct Capture {
    std::vector<Frame> frames;
    std::vector<uint32_t> linkEvents;
    std::vector<uint32_t> ipcpEvents;
    std::vector<uint32_t> vspEvents;
    std::vector<uint32_t> reasons;      // CP_PppTerminated numbers
    std::vector<std::string> reasonTexts;
    std::vector<std::string> traces;    // every GUI_Trace line of module "PPP", all levels
    int otpPrompts = 0;
    std::string sequence;               // "otp", "reason:N", "link:E" ... in order, blank-separated
    void Clear();
    // Frames of one protocol, removed from the queue.
    std::vector<Frame> Take(uint16_t protocol);
};

Capture &Captured();

// Fake clock: resets the timer service onto it (time 0) and the pool.
void ResetClock();
uint64_t NowMs();
// Moves the clock forward 1 ms at a time, polling the timers at every step.
void Advance(uint64_t ms);
// Moves the clock forward at once and polls the timers once, as a thread
// that was blocked for a while does.
void Jump(uint64_t ms);
// Timers the calling thread has pending.
uint32_t PendingTimers();

// Random bytes: a repeating counter from seed (deterministic).
void FixRandom(uint8_t seed);

// Output callback that copies the frame into Captured() and frees it.
void CaptureOutput(PKT_Buffer *packet, void *user);
int CaptureLinkEvent(uint32_t event, void *user);
int CaptureIpcpEvent(uint32_t event, void *user);
int CaptureVspEvent(uint32_t event, void *user);
void CaptureOtpPrompt(void *user);

// The tunnel core's settings for the link, IPCP and the vendor protocol.
PPP_Config CoreConfig();
IPCP_Config CoreIpcpConfig();
VSP_Config CoreVspConfig();

// A pool buffer holding bytes at its cursor.
PKT_Buffer *BufferOf(const Bytes &bytes);
// PPP_Input of a frame; returns its result (the buffer is freed when 0).
int Feed(PPP_Context *ctx, const Bytes &frame);

// Brings LCP to OPENED: feeds the peer's Configure-Request (identifier 1,
// the given options) and acknowledges the engine's latest Configure-Request.
// With no authentication option the link goes on to the network phase.
void OpenLcp(PPP_Context *ctx, const Bytes &peerOptions = Hex("05 06 2A 2B 2C 2D"));

// Acknowledges the engine's latest Configure-Request of that protocol.
void AckLatest(PPP_Context *ctx, uint16_t protocol);
// OpenLcp, then IPCP: the peer asks for address 10.10.0.1 and acknowledges
// the engine's request as it stands; the vendor protocol is Protocol-Rejected
// (it survives). Leaves every timer but the echo timer idle.
void OpenNetwork(PPP_Context *ctx);

// A context started the way the core starts one: PPP_Init, IPCP_Init,
// VSP_Init, VSP_Open, PPP_IPCP_Open, PPP_LowerLayerUp. Heap-allocated and
// zeroed; Stop() runs the core's stop sequence, Free() cancels and frees.
struct Link {
    PPP_Context *ctx = nullptr;
    explicit Link(bool withVsp = true, bool start = true);
    ~Link();
    void Stop();
    void Free();
    Link(const Link &) = delete;
    Link &operator=(const Link &) = delete;
};

} // namespace ppptest

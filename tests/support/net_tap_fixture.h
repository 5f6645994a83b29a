// Helpers of the TUN/TAP module's tests: packet patterns and buffers, a
// bounded wait for the queue, and a pair of message ends standing in for the
// device. Header-only but for PeerPair, whose two ends are the platform's
// own: net_tap_test_win32.cpp and net_tap_test_linux.cpp define it.
#pragma once

#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "errorinfo.h"
#include "net_tap.h"
#include "pkt_buffer.h"

namespace taptest {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Distinct bytes for packet i, so that a lost, repeated, reordered or
// overwritten packet shows. The first byte is an IPv4 header's (version 4,
// distinct header lengths), the only kind the queue passes on.
inline Bytes Pattern(uint32_t i, uint32_t length)
{
    Bytes b(length);
    for (uint32_t k = 0; k < length; k++)
        b[k] = static_cast<uint8_t>(i * 7 + k * 13 + (k >> 8));
    if (length > 0)
        b[0] = static_cast<uint8_t>(0x40 | (i & 0x0F));
    return b;
}

inline Bytes Contents(const PKT_Buffer *p)
{
    return Bytes(PKT_Data(p), PKT_Data(p) + PKT_Length(p));
}

inline std::string Message(const ErrorInfo &e)
{
    return e.message ? e.message : "";
}

template <typename F>
bool WaitFor(F done, int ms = 2000)
{
    auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// Waits up to ms for the next packet from the queue.
inline PKT_Buffer *ReceiveWithin(NETTAP_Handle *tap, int ms = 2000)
{
    PKT_Buffer *p = nullptr;
    WaitFor([&] { return (p = NETTAP_Receive(tap)) != nullptr; }, ms);
    return p;
}

inline PKT_Buffer *PacketOf(const Bytes &b)
{
    PKT_Buffer *p = PKT_Alloc(nullptr);
    if (!p)
        return nullptr;
    PKT_Reset(p);
    if (!PKT_Reserve(p, static_cast<uint32_t>(b.size()))) {
        PKT_Free(p);
        return nullptr;
    }
    memcpy(PKT_Data(p), b.data(), b.size());
    p->length = static_cast<uint16_t>(b.size());
    return p;
}

// A connected pair of message ends: one becomes the device (through the
// back end's own overlapped or poll-driven I/O), the test talks through the
// other. Windows: a message-mode named pipe; Linux: a sequenced-packet pair.
class PeerPair {
public:
    PeerPair() = default;
    ~PeerPair();
    PeerPair(const PeerPair &) = delete;
    PeerPair &operator=(const PeerPair &) = delete;

    bool Make();
    bool Send(const Bytes &b);
    bool Receive(Bytes *b);

    intptr_t device = NETTAP_NO_DEVICE;

private:
    intptr_t peer_ = -1;   // the test's end: a HANDLE or a descriptor; -1 for none
};

}  // namespace taptest

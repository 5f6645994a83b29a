// The TUN/TAP module's Windows side: the test's pair of message ends, a
// close that meets a write still under way, and the adapter search on a
// system without a TAP adapter (Wine).
#include <gtest/gtest.h>

#include <stdio.h>
#include <string>

#include <atomic>

#include <windows.h>

#include "errorinfo.h"
#include "net_iface.h"
#include "net_tap.h"
#include "net_tap_device.h"
#include "net_tap_fixture.h"

namespace taptest {

static HANDLE PeerHandle(intptr_t peer)
{
    return reinterpret_cast<HANDLE>(peer);
}

// One overlapped transfer, given up after 3 s.
static DWORD Io(HANDLE peer, bool write, uint8_t *data, DWORD size)
{
    OVERLAPPED ov = {};
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DWORD n = 0;
    BOOL ok = write ? WriteFile(peer, data, size, &n, &ov) : ReadFile(peer, data, size, &n, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING) {
        if (WaitForSingleObject(ov.hEvent, 3000) != WAIT_OBJECT_0)
            CancelIoEx(peer, &ov);
        ok = GetOverlappedResult(peer, &ov, &n, TRUE);
    } else if (ok) {
        ok = GetOverlappedResult(peer, &ov, &n, TRUE);
    }
    CloseHandle(ov.hEvent);
    return ok ? n : 0;
}

bool PeerPair::Make()
{
    static int serial = 0;
    char name[96];
    snprintf(name, sizeof name, "\\\\.\\pipe\\tlx_tap_test_%lu_%d",
             static_cast<unsigned long>(GetCurrentProcessId()), serial++);
    HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                     PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0,
                                     0, 0, nullptr);
    if (server == INVALID_HANDLE_VALUE)
        return false;
    HANDLE peer = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    peer_ = reinterpret_cast<intptr_t>(peer);
    DWORD mode = PIPE_READMODE_MESSAGE;
    if (peer == INVALID_HANDLE_VALUE || !SetNamedPipeHandleState(peer, &mode, nullptr, nullptr)) {
        CloseHandle(server);
        return false;
    }
    device = reinterpret_cast<intptr_t>(server);
    return true;
}

PeerPair::~PeerPair()
{
    if (PeerHandle(peer_) != INVALID_HANDLE_VALUE)
        CloseHandle(PeerHandle(peer_));
}

bool PeerPair::Send(const Bytes &b)
{
    return Io(PeerHandle(peer_), true, const_cast<uint8_t *>(b.data()),
              static_cast<DWORD>(b.size())) == b.size();
}

bool PeerPair::Receive(Bytes *b)
{
    b->resize(4096);
    DWORD n = Io(PeerHandle(peer_), false, b->data(), static_cast<DWORD>(b->size()));
    b->resize(n);
    return n > 0;
}

}  // namespace taptest

namespace {

using taptest::Message;

using taptest::Clock;
using taptest::Pattern;
using taptest::PeerPair;

// The test's pipe holds nothing without a reader: a write the peer never
// takes is still under way at the close. The close cancels it and waits for
// its end before the write buffer goes, without a message; the peer gets
// nothing and finds the device gone.
TEST(NetTap, CloseEndsAWriteStillUnderWay)
{
    PKT_PoolInit();
    PeerPair peer;
    ASSERT_TRUE(peer.Make());
    NETTAP_Handle *tap = NETTAP_NewHandle(nullptr);
    ASSERT_NE(tap, nullptr);
    ErrorInfo chain = {};
    ASSERT_EQ(NETTAP_SysAttach(tap, peer.device, &chain), 1) << Message(chain);
    PKT_Buffer *p = taptest::PacketOf(Pattern(1, 1400));
    ASSERT_NE(p, nullptr);
    ASSERT_EQ(NETTAP_Send(tap, p), 1);
    auto t0 = Clock::now();
    EXPECT_EQ(NETTAP_Close(tap, &chain), 1);
    EXPECT_LT(Clock::now() - t0, std::chrono::seconds(2));
    EXPECT_TRUE(ERRORINFO_IsEmpty(&chain)) << Message(chain);
    NETTAP_Free(tap, &chain);
    taptest::Bytes b;
    EXPECT_FALSE(peer.Receive(&b));
    EXPECT_FALSE(peer.Send(Pattern(2, 20)));
    ERRORINFO_Clear(&chain, nullptr, 0);
}

TEST(NetTap, FindWithoutATapAdapterSaysSo)
{
    ErrorInfo chain = {};
    EXPECT_EQ(NETTAP_Find(0, &chain), nullptr);
    EXPECT_EQ(Message(chain), "Unable to find SSL VPN TUN/TAP interface");
    ASSERT_EQ(ERRORINFO_Count(&chain), 2u);
    EXPECT_STREQ(chain.next->message, NETIFACE_TapHint());
    for (const char *part : {"\"TAP-Windows Adapter V9\"", "\"SSL VPN TAP-Win32 Adapter\"",
                             "TAP-Windows adapter driver, version 9"})
        EXPECT_NE(std::string(chain.next->message).find(part), std::string::npos) << part;
    ERRORINFO_Clear(&chain, nullptr, 0);
}

}  // namespace

namespace {

std::atomic<int> g_spin{1};

uint32_t Spins(void *)
{
    while (g_spin.load())
        ;
    return 0;
}

uint32_t Sleeps(void *)
{
    Sleep(INFINITE);
    return 0;
}

uint32_t WaitsForAnEvent(void *event)
{
    WaitForSingleObject(static_cast<HANDLE>(event), INFINITE);
    return 0;
}

// The queue the reader works in is freed right after a forced end: by then
// the thread must be over, wherever it was (TerminateThread only starts it).
TEST(NetTapThread, AForcedEndReturnsOnlyOnceTheThreadIsOver)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    const struct {
        const char *what;
        uint32_t (*body)(void *);
        void *arg;
    } rows[] = {
        {"running", Spins, nullptr},
        {"asleep", Sleeps, nullptr},
        {"in a wait", WaitsForAnEvent, event},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        uint32_t id = 0;
        NETTAP_Thread *t = NETTAP_ThreadStart(r.body, r.arg, &id);
        ASSERT_NE(nullptr, t);
        Sleep(20);
        ASSERT_EQ(1, NETTAP_ThreadRunning(t));
        EXPECT_EQ(1, NETTAP_ThreadTerminate(t));
        EXPECT_EQ(0, NETTAP_ThreadRunning(t));
        NETTAP_ThreadRelease(t);
    }
    CloseHandle(event);
}

}  // namespace

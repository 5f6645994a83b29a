// The TUN/TAP module: the packet queue and its reader thread against a fake
// device, the handle's operations, and (Linux, as root) a real tun device in
// a network namespace of the test's own.
#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "errorinfo.h"
#include "log_capture.h"
#include "net_tap.h"
#include "net_tap_device.h"
#include "pkt_buffer.h"
#include "sync.h"

#ifdef _WIN32
#include <windows.h>
#endif
#ifdef __linux__
#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <linux/capability.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "host_tool.h"
#endif

namespace {

using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;

// Distinct bytes for packet i, so that a lost, repeated, reordered or
// overwritten packet shows.
Bytes Pattern(uint32_t i, uint32_t length)
{
    Bytes b(length);
    for (uint32_t k = 0; k < length; k++)
        b[k] = static_cast<uint8_t>(i * 7 + k * 13 + (k >> 8));
    return b;
}

Bytes Contents(const PKT_Buffer *p)
{
    return Bytes(PKT_Data(p), PKT_Data(p) + PKT_Length(p));
}

uint32_t NetOrder(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    const uint8_t bytes[4] = {a, b, c, d};
    uint32_t v;
    memcpy(&v, bytes, 4);
    return v;
}

std::string Message(const ErrorInfo &e)
{
    return e.message ? e.message : "";
}

// A device whose reads come from a script: results other than data first,
// then packets; a read blocks while both are empty, until woken.
struct FakeDevice {
    struct Packet {
        Bytes bytes;
        uint32_t reported;  // the length the read reports (0: the real one)
    };
    std::mutex m;
    std::condition_variable cv;
    std::deque<NETTAP_ReadResult> results;
    std::deque<Packet> packets;
    bool woken = false;
    int reads = 0;
    int writeOk = 1;
    std::vector<Bytes> written;
    std::vector<int> media;
    uint32_t config[3] = {0, 0, 0};
    int configOk = 1;
    int closed = 0;

    void Push(Bytes b, uint32_t reported = 0)
    {
        std::lock_guard<std::mutex> hold(m);
        packets.push_back({std::move(b), reported});
        cv.notify_all();
    }
    int Reads()
    {
        std::lock_guard<std::mutex> hold(m);
        return reads;
    }

    static FakeDevice *Of(void *io) { return static_cast<FakeDevice *>(io); }
    static NETTAP_ReadResult Read(void *io, uint8_t *buf, uint32_t size, uint32_t *got)
    {
        FakeDevice *d = Of(io);
        std::unique_lock<std::mutex> hold(d->m);
        d->reads++;
        d->cv.wait(hold, [d] { return d->woken || !d->results.empty() || !d->packets.empty(); });
        *got = 0;
        if (d->woken)
            return NETTAP_READ_ABORTED;
        if (!d->results.empty()) {
            NETTAP_ReadResult r = d->results.front();
            d->results.pop_front();
            return r;
        }
        Packet p = std::move(d->packets.front());
        d->packets.pop_front();
        uint32_t n = static_cast<uint32_t>(p.bytes.size()) < size
                         ? static_cast<uint32_t>(p.bytes.size())
                         : size;
        memcpy(buf, p.bytes.data(), n);
        *got = p.reported ? p.reported : n;
        return NETTAP_READ_DONE;
    }
    static int Write(void *io, const uint8_t *data, uint32_t length)
    {
        FakeDevice *d = Of(io);
        std::lock_guard<std::mutex> hold(d->m);
        if (d->writeOk)
            d->written.emplace_back(data, data + length);
        return d->writeOk;
    }
    static int SetMedia(void *io, int connected)
    {
        FakeDevice *d = Of(io);
        std::lock_guard<std::mutex> hold(d->m);
        d->media.push_back(connected);
        return 1;
    }
    static int ConfigTun(void *io, uint32_t address, uint32_t network, uint32_t mask)
    {
        FakeDevice *d = Of(io);
        d->config[0] = address;
        d->config[1] = network;
        d->config[2] = mask;
        return d->configOk;
    }
    static void Wake(void *io)
    {
        FakeDevice *d = Of(io);
        std::lock_guard<std::mutex> hold(d->m);
        d->woken = true;
        d->cv.notify_all();
    }
    static void Close(void *io) { Of(io)->closed++; }
};

const NETTAP_DeviceOps kFakeOps = {FakeDevice::Read,      FakeDevice::Write, FakeDevice::SetMedia,
                                   FakeDevice::ConfigTun, FakeDevice::Wake,  FakeDevice::Close};

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
PKT_Buffer *ReceiveWithin(NETTAP_Handle *tap, int ms = 2000)
{
    PKT_Buffer *p = nullptr;
    WaitFor([&] { return (p = NETTAP_Receive(tap)) != nullptr; }, ms);
    return p;
}

class NetTapQueue : public ::testing::Test {
protected:
    void SetUp() override
    {
        PKT_PoolInit();
        tap_ = NETTAP_NewHandle(nullptr);
        ASSERT_NE(tap_, nullptr);
    }
    void TearDown() override
    {
        NETTAP_Free(tap_, &chain_);
        ERRORINFO_Clear(&chain_, nullptr, 0);
    }
    void Attach()
    {
        ASSERT_EQ(NETTAP_AttachDevice(tap_, 1, &kFakeOps, &dev_, &chain_), 1);
        ASSERT_NE(tap_->readerThread, nullptr);
        ASSERT_NE(tap_->readerThreadId, 0u);
    }

    FakeDevice dev_;
    NETTAP_Handle *tap_ = nullptr;
    ErrorInfo chain_ = {};
};

TEST_F(NetTapQueue, FullQueueHoldsTheReaderAndEveryPacketArrivesWholeAndInOrder)
{
    const uint32_t kPackets = 100;
    for (uint32_t i = 0; i < kPackets; i++)
        dev_.Push(Pattern(i, 1 + (i * 389) % NETTAP_MAX_PACKET));
    dev_.Push(Pattern(kPackets, NETTAP_MAX_PACKET), 4000);  // a device reporting too much
    Attach();

    // 32 buffers: the reader stops after 32 reads and waits for a free one.
    ASSERT_TRUE(WaitFor([&] { return dev_.Reads() >= 32; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(dev_.Reads(), 32);

    const uint32_t before = PKT_PoolInUseCount();
    for (uint32_t i = 0; i < kPackets; i++) {
        PKT_Buffer *p = ReceiveWithin(tap_);
        ASSERT_NE(p, nullptr) << "packet " << i;
        EXPECT_STREQ(p->tag, "TAP");
        EXPECT_EQ(Contents(p), Pattern(i, 1 + (i * 389) % NETTAP_MAX_PACKET)) << "packet " << i;
        PKT_Free(p);
    }
    PKT_Buffer *last = ReceiveWithin(tap_);
    ASSERT_NE(last, nullptr);
    EXPECT_EQ(Contents(last), Pattern(kPackets, NETTAP_MAX_PACKET));
    PKT_Free(last);
    EXPECT_EQ(PKT_PoolInUseCount(), before);

    // Nothing waiting: null at once.
    auto t0 = Clock::now();
    EXPECT_EQ(NETTAP_Receive(tap_), nullptr);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(50));
}

TEST_F(NetTapQueue, ReadFailuresAndAbortsPauseTheReaderAsTheMediaStatusSays)
{
    struct Case {
        NETTAP_ReadResult result;
        int media;
        bool arrivesAtOnce;
    } cases[] = {
        {NETTAP_READ_FAILED, 1, true},    // 100 ms pause, then the packet
        {NETTAP_READ_ABORTED, 1, true},   // connected: reads again at once
        {NETTAP_READ_ABORTED, 0, false},  // disconnected: idles until connected
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(static_cast<int>(c.result) * 10 + c.media);
        FakeDevice dev;
        NETTAP_Handle *tap = NETTAP_NewHandle(nullptr);
        ASSERT_NE(tap, nullptr);
        dev.results.push_back(c.result);
        dev.Push(Pattern(1, 60));
        ASSERT_EQ(NETTAP_AttachDevice(tap, 1, &kFakeOps, &dev, &chain_), 1);
        tap->queue.mediaConnected.store(c.media);
        if (!c.arrivesAtOnce) {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            EXPECT_EQ(dev.Reads(), 1);
            EXPECT_EQ(NETTAP_Receive(tap), nullptr);
            EXPECT_EQ(NETTAP_SetMediaStatus(tap, 1), 1);
        }
        PKT_Buffer *p = ReceiveWithin(tap, 1500);
        ASSERT_NE(p, nullptr);
        EXPECT_EQ(Contents(p), Pattern(1, 60));
        PKT_Free(p);
        EXPECT_EQ(NETTAP_Close(tap, &chain_), 1);
        NETTAP_Free(tap, &chain_);
    }
    EXPECT_TRUE(ERRORINFO_IsEmpty(&chain_)) << Message(chain_);
}

TEST_F(NetTapQueue, CloseEndsTheReaderWhereverItWaitsWithoutForce)
{
    for (int full = 0; full < 2; full++) {
        SCOPED_TRACE(full ? "waiting for a free buffer" : "waiting in a read");
        FakeDevice dev;
        NETTAP_Handle *tap = NETTAP_NewHandle(nullptr);
        ASSERT_NE(tap, nullptr);
        for (int i = 0; full && i < 40; i++)
            dev.Push(Pattern(i, 100));
        ASSERT_EQ(NETTAP_AttachDevice(tap, 1, &kFakeOps, &dev, &chain_), 1);
        ASSERT_TRUE(WaitFor([&] { return dev.Reads() >= (full ? 32 : 1); }));

        auto t0 = Clock::now();
        EXPECT_EQ(NETTAP_Close(tap, &chain_), 1);
        EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(600));
        EXPECT_TRUE(ERRORINFO_IsEmpty(&chain_)) << Message(chain_);
        EXPECT_EQ(dev.closed, 1);
        ASSERT_FALSE(dev.media.empty());
        EXPECT_EQ(dev.media.back(), 0);
        EXPECT_EQ(tap->device, NETTAP_NO_DEVICE);
        EXPECT_EQ(tap->readerThread, nullptr);
        EXPECT_EQ(tap->readerThreadId, 0u);

        // Closed: nothing comes out, nothing goes in, a second close is a no-op.
        EXPECT_EQ(NETTAP_Receive(tap), nullptr);
        PKT_Buffer *p = PKT_Alloc(nullptr);
        PKT_Reset(p);
        EXPECT_EQ(NETTAP_Send(tap, p), 0);
        PKT_Free(p);
        EXPECT_EQ(NETTAP_Close(tap, &chain_), 1);
        NETTAP_Free(tap, &chain_);
        EXPECT_EQ(dev.closed, 1);
    }
}

PKT_Buffer *PacketOf(const Bytes &b)
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

TEST_F(NetTapQueue, SendHandsTheBytesOverAndReleasesOnlyWhatWasWritten)
{
    Attach();
    const uint32_t base = PKT_PoolInUseCount();
    const Bytes big = Pattern(3, 1900);  // packets from the gateway may pass the read size

    PKT_Buffer *p = PacketOf(big);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(NETTAP_Send(tap_, p), 1);
    EXPECT_EQ(PKT_PoolInUseCount(), base);
    ASSERT_EQ(dev_.written.size(), 1u);
    EXPECT_EQ(dev_.written[0], big);

    dev_.writeOk = 0;
    p = PacketOf(Pattern(4, 40));
    EXPECT_EQ(NETTAP_Send(tap_, p), 0);
    EXPECT_EQ(PKT_PoolInUseCount(), base + 1);  // still the caller's
    EXPECT_EQ(Contents(p), Pattern(4, 40));
    EXPECT_EQ(NETTAP_Send(nullptr, p), 0);
    EXPECT_EQ(NETTAP_Send(tap_, nullptr), 0);
    PKT_Free(p);
}

TEST_F(NetTapQueue, PacketDumpDescribesEveryPacketBothWays)
{
    Attach();
    NETTAP_SetPacketDump(tap_, 1);
    LogCapture log;
    dev_.Push(Pattern(5, 28));
    PKT_Buffer *in = ReceiveWithin(tap_);
    ASSERT_NE(in, nullptr);
    std::string afterReceive = log.Text();
    EXPECT_NE(afterReceive.find("--------------------------------"), std::string::npos);
    EXPECT_EQ(NETTAP_Send(tap_, in), 1);
    EXPECT_GT(log.Text().size(), afterReceive.size());
}

TEST_F(NetTapQueue, ConfigTunGivesAddressNetworkAndMaskAndReportsARefusal)
{
    Attach();
    const uint32_t addr = NetOrder(10, 1, 2, 3), mask = NetOrder(255, 255, 255, 0);
    EXPECT_EQ(NETTAP_ConfigTun(tap_, addr, mask, &chain_), 1);
    EXPECT_EQ(dev_.config[0], addr);
    EXPECT_EQ(dev_.config[1], NetOrder(10, 1, 2, 0));
    EXPECT_EQ(dev_.config[2], mask);
    EXPECT_TRUE(ERRORINFO_IsEmpty(&chain_));

    dev_.configOk = 0;
    EXPECT_EQ(NETTAP_ConfigTun(tap_, addr, mask, &chain_), 0);
    EXPECT_EQ(Message(chain_), "Unable to configure the SSL VPN TUN/TAP interface");

    EXPECT_EQ(NETTAP_SetMediaStatus(tap_, 7), 1);
    EXPECT_EQ(dev_.media.back(), 1);
    EXPECT_EQ(tap_->queue.mediaConnected.load(), 7);
}

TEST(NetTap, DriverVersionMustBeAtLeast8Point2)
{
    struct Case {
        uint32_t v[3];
        int ok;
    } cases[] = {{{8, 1, 7}, 0}, {{7, 9, 0}, 0}, {{0, 0, 0}, 0},
                 {{8, 2, 0}, 1}, {{9, 0, 3}, 1}, {{8, 10, 0}, 1}};
    for (const Case &c : cases) {
        ErrorInfo chain = {};
        EXPECT_EQ(NETTAP_CheckVersion(c.v, &chain), c.ok) << c.v[0] << "." << c.v[1];
        if (!c.ok)
            EXPECT_EQ(Message(chain),
                      "To old SSL VPN TUN/TAP driver found, minimum version 8.2 (found " +
                          std::to_string(c.v[0]) + "." + std::to_string(c.v[1]) + "." +
                          std::to_string(c.v[2]) + ")");
        else
            EXPECT_TRUE(ERRORINFO_IsEmpty(&chain));
        ERRORINFO_Clear(&chain, nullptr, 0);
    }
}

TEST(NetTap, AccessorsAndSupportedDescriptions)
{
    EXPECT_EQ(NETTAP_GetIndex(nullptr), 0xFFFFFFFFu);
    EXPECT_EQ(NETTAP_GetDescription(nullptr), nullptr);
    EXPECT_EQ(NETTAP_GetGuid(nullptr), nullptr);
    EXPECT_EQ(NETTAP_GetInfo(nullptr), nullptr);
    EXPECT_EQ(TAP_IsSupportedAdapter(nullptr), 0);
    EXPECT_EQ(NETTAP_Receive(nullptr), nullptr);
    EXPECT_EQ(NETTAP_SetMediaStatus(nullptr, 1), 0);
    EXPECT_EQ(NETTAP_Close(nullptr, nullptr), 0);
    NETTAP_Free(nullptr, nullptr);

    struct Case {
        const char *description;
        int supported;
    } cases[] = {
        {"SSL VPN TAP-Win32 Adapter", 1}, {"SSL VPN TAP-Win32 Adapter V8 #3", 1},
        {"TAP-Windows Adapter V9", 1},    {"TAP-Windows Adapter V9 #2", 1},
        {"TAP-Windows Adapter V", 0},     {"tap-windows adapter v9", 0},
        {"SSL VPN TAP-Win32 Adapte", 0},  {"", 0},
    };
    for (const Case &c : cases) {
        TUNLEX_InterfaceInfo info = {};
        info.ifIndex = 17;
        strcpy(info.description, c.description);
        strcpy(info.adapterName, "{5A1B2C3D-0000-4000-8000-00000000ABCD}");
        NETTAP_Handle *tap = NETTAP_NewHandle(&info);
        ASSERT_NE(tap, nullptr);
        EXPECT_EQ(TAP_IsSupportedAdapter(tap), c.supported) << c.description;
        EXPECT_EQ(NETTAP_GetIndex(tap), 17u);
        EXPECT_STREQ(NETTAP_GetDescription(tap), c.description);
        EXPECT_STREQ(NETTAP_GetGuid(tap), info.adapterName);
        EXPECT_EQ(NETTAP_GetInfo(tap), &tap->info);
        EXPECT_EQ(tap->device, NETTAP_NO_DEVICE);
        NETTAP_Free(tap, nullptr);  // found but never opened
    }
}

// No TAP driver here (Wine), or no such link (Linux): the open fails cleanly
// and the handle stays closable.
TEST(NetTap, OpenWithoutADeviceFailsCleanly)
{
    for (const char *name : {"{00000000-0000-0000-0000-000000000000}", "tlxnone0"}) {
        TUNLEX_InterfaceInfo info = {};
        strcpy(info.adapterName, name);
        strcpy(info.description, "TAP-Windows Adapter V9");
        NETTAP_Handle *tap = NETTAP_NewHandle(&info);
        ASSERT_NE(tap, nullptr);
        ErrorInfo chain = {};
        EXPECT_EQ(NETTAP_Open(tap, &chain), 0) << name;
        EXPECT_EQ(Message(chain), "Unable to open SSL VPN TUN/TAP handle");
        EXPECT_EQ(tap->device, NETTAP_NO_DEVICE);
        EXPECT_EQ(tap->readerThread, nullptr);
        EXPECT_EQ(tap->driverVersion[0] | tap->driverVersion[1] | tap->driverVersion[2], 0u);
        EXPECT_EQ(NETTAP_Receive(tap), nullptr);
        EXPECT_EQ(NETTAP_Close(tap, &chain), 1);
        NETTAP_Free(tap, &chain);
        ERRORINFO_Clear(&chain, nullptr, 0);
    }
}

// A connected pair of message ends: one becomes the device (through the
// back end's own overlapped or poll-driven I/O), the test talks through the
// other. Windows: a message-mode named pipe; Linux: a sequenced-packet pair.
class PeerPair {
public:
#ifdef _WIN32
    bool Make()
    {
        static int serial = 0;
        char name[96];
        snprintf(name, sizeof name, "\\\\.\\pipe\\tlx_tap_test_%lu_%d",
                 static_cast<unsigned long>(GetCurrentProcessId()), serial++);
        HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                         PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                         0, 0, 0, nullptr);
        if (server == INVALID_HANDLE_VALUE)
            return false;
        peer_ = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            FILE_FLAG_OVERLAPPED, nullptr);
        DWORD mode = PIPE_READMODE_MESSAGE;
        if (peer_ == INVALID_HANDLE_VALUE ||
            !SetNamedPipeHandleState(peer_, &mode, nullptr, nullptr)) {
            CloseHandle(server);
            return false;
        }
        device = reinterpret_cast<intptr_t>(server);
        return true;
    }
    ~PeerPair()
    {
        if (peer_ != INVALID_HANDLE_VALUE)
            CloseHandle(peer_);
    }
    bool Send(const Bytes &b)
    {
        return Io(true, const_cast<uint8_t *>(b.data()), static_cast<DWORD>(b.size())) == b.size();
    }
    bool Receive(Bytes *b)
    {
        b->resize(4096);
        DWORD n = Io(false, b->data(), static_cast<DWORD>(b->size()));
        b->resize(n);
        return n > 0;
    }

private:
    // One overlapped transfer, given up after 3 s.
    DWORD Io(bool write, uint8_t *data, DWORD size)
    {
        OVERLAPPED ov = {};
        ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        DWORD n = 0;
        BOOL ok =
            write ? WriteFile(peer_, data, size, &n, &ov) : ReadFile(peer_, data, size, &n, &ov);
        if (!ok && GetLastError() == ERROR_IO_PENDING) {
            if (WaitForSingleObject(ov.hEvent, 3000) != WAIT_OBJECT_0)
                CancelIoEx(peer_, &ov);
            ok = GetOverlappedResult(peer_, &ov, &n, TRUE);
        } else if (ok) {
            ok = GetOverlappedResult(peer_, &ov, &n, TRUE);
        }
        CloseHandle(ov.hEvent);
        return ok ? n : 0;
    }
    HANDLE peer_ = INVALID_HANDLE_VALUE;
#else
    bool Make()
    {
        int fds[2];
        if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
            return false;
        device = fds[0];
        peer_ = fds[1];
        return true;
    }
    ~PeerPair()
    {
        if (peer_ >= 0)
            close(peer_);
    }
    bool Send(const Bytes &b)
    {
        return send(peer_, b.data(), b.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(b.size());
    }
    bool Receive(Bytes *b)
    {
        pollfd p = {peer_, POLLIN, 0};
        if (poll(&p, 1, 3000) != 1)
            return false;
        b->resize(4096);
        ssize_t n = recv(peer_, b->data(), b->size(), 0);
        b->resize(n > 0 ? static_cast<size_t>(n) : 0);
        return n > 0;
    }

private:
    int peer_ = -1;
#endif

public:
    intptr_t device = NETTAP_NO_DEVICE;
};

TEST(NetTapSystemIo, ReadsIntoTheQueueWritesFromItsOwnCopyAndClosesWhileAReadWaits)
{
    PKT_PoolInit();
    PeerPair peer;
    ASSERT_TRUE(peer.Make());
    NETTAP_Handle *tap = NETTAP_NewHandle(nullptr);
    ASSERT_NE(tap, nullptr);
    ErrorInfo chain = {};
    ASSERT_EQ(NETTAP_SysAttach(tap, peer.device, &chain), 1) << Message(chain);

    // More packets than buffers, taken while they come.
    const uint32_t kCount = 40;
    std::thread writer([&] {
        for (uint32_t i = 0; i < kCount; i++)
            EXPECT_TRUE(peer.Send(Pattern(i, 1 + i * 37))) << i;
    });
    for (uint32_t i = 0; i < kCount; i++) {
        PKT_Buffer *p = ReceiveWithin(tap, 3000);
        ASSERT_NE(p, nullptr) << i;
        EXPECT_EQ(Contents(p), Pattern(i, 1 + i * 37)) << i;
        PKT_Free(p);
    }
    writer.join();

    // Writes back to back; the first packet's bytes are overwritten at once
    // after the send, as a reused pool buffer would be.
    std::vector<Bytes> got(3);
    std::thread reader([&] {
        for (Bytes &b : got)
            EXPECT_TRUE(peer.Receive(&b));
    });
    for (uint32_t i = 0; i < 3; i++) {
        PKT_Buffer *p = PacketOf(Pattern(50 + i, 1400));
        ASSERT_NE(p, nullptr);
        uint8_t *bytes = PKT_Data(p);
        ASSERT_EQ(NETTAP_Send(tap, p), 1);
        memset(bytes, 0xEE, 1400);
    }
    reader.join();
    for (uint32_t i = 0; i < 3; i++)
        EXPECT_EQ(got[i], Pattern(50 + i, 1400)) << i;

    // The reader now waits in a read of its own.
    auto t0 = Clock::now();
    EXPECT_EQ(NETTAP_Close(tap, &chain), 1);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(600));
    EXPECT_TRUE(ERRORINFO_IsEmpty(&chain)) << Message(chain);
    NETTAP_Free(tap, &chain);
}

#ifdef _WIN32
TEST(NetTap, FindWithoutATapAdapterSaysSo)
{
    ErrorInfo chain = {};
    EXPECT_EQ(NETTAP_Find(0, &chain), nullptr);
    EXPECT_EQ(Message(chain), "Unable to find SSL VPN TUN/TAP interface");
    ERRORINFO_Clear(&chain, nullptr, 0);
}
#endif

#ifdef __linux__

uint16_t Checksum(const uint8_t *p, size_t n)
{
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2)
        sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n & 1)
        sum += static_cast<uint32_t>(p[n - 1] << 8);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// An IPv4/UDP datagram (no UDP checksum), addresses in network order.
Bytes UdpPacket(uint32_t src, uint16_t sport, uint32_t dst, uint16_t dport,
                const std::string &payload)
{
    Bytes b(28 + payload.size(), 0);
    uint16_t total = static_cast<uint16_t>(b.size());
    b[0] = 0x45;
    b[2] = static_cast<uint8_t>(total >> 8);
    b[3] = static_cast<uint8_t>(total);
    b[8] = 64;
    b[9] = 17;
    memcpy(&b[12], &src, 4);
    memcpy(&b[16], &dst, 4);
    uint16_t sum = Checksum(b.data(), 20);
    b[10] = static_cast<uint8_t>(sum >> 8);
    b[11] = static_cast<uint8_t>(sum);
    b[20] = static_cast<uint8_t>(sport >> 8);
    b[21] = static_cast<uint8_t>(sport);
    b[22] = static_cast<uint8_t>(dport >> 8);
    b[23] = static_cast<uint8_t>(dport);
    uint16_t ulen = static_cast<uint16_t>(8 + payload.size());
    b[24] = static_cast<uint8_t>(ulen >> 8);
    b[25] = static_cast<uint8_t>(ulen);
    memcpy(&b[28], payload.data(), payload.size());
    return b;
}

// A tun link in a namespace of the test's own; the device part runs on a
// thread that has entered it (the reader thread it starts inherits it).
class NetTapTun : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0 || access("/dev/net/tun", R_OK | W_OK) != 0 ||
            HostToolPath("ip").empty())
            GTEST_SKIP() << "needs root, /dev/net/tun and ip";
        ns_ = "tlxtap" + std::to_string(getpid());
        if (!Ip("netns add " + ns_))
            GTEST_SKIP() << "ip netns add failed";
        made_ = true;
        ASSERT_TRUE(IpIn("link set lo up"));
        ASSERT_TRUE(IpIn("tuntap add dev tlxtap0 mode tun user 0"));
        // Keeps the tun link quiet; IPv6 packets are skipped below anyway.
        Sh("ip netns exec " + ns_ + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1");
        PKT_PoolInit();
    }
    void TearDown() override
    {
        if (made_)
            Ip("netns del " + ns_);
    }
    static bool Sh(const std::string &command)
    {
        return system((command + " >/dev/null 2>&1").c_str()) == 0;
    }
    static bool Ip(const std::string &args) { return Sh("ip " + args); }
    bool IpIn(const std::string &args) { return Ip("-n " + ns_ + " " + args); }
    std::string IpOut(const std::string &args)
    {
        std::string out;
        HostToolRun("ip -n " + ns_ + " " + args + " 2>/dev/null", &out);
        return out;
    }
    bool LinkUp() { return IpOut("-o link show tlxtap0").find(",UP") != std::string::npos; }

    template <typename F>
    void InNamespace(F f)
    {
        std::string path = "/run/netns/" + ns_;
        std::thread t([&] {
            int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
            bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
            if (fd >= 0)
                close(fd);
            if (entered)
                f();
            else
                ADD_FAILURE() << "cannot enter " << path;
        });
        t.join();
    }

    std::string ns_;
    bool made_ = false;
};

TEST_F(NetTapTun, PacketsTravelBothWaysThroughARealTunDevice)
{
    InNamespace([&] {
        ErrorInfo chain = {};
        // Without the description the link is not our adapter.
        EXPECT_EQ(NETTAP_Find(0, &chain), nullptr);
        EXPECT_EQ(Message(chain), "Unable to find SSL VPN TUN/TAP interface");
        ERRORINFO_Clear(&chain, nullptr, 0);
        ASSERT_TRUE(IpIn("link set tlxtap0 alias 'TAP-Windows Adapter V9'"));

        NETTAP_Handle *tap = NETTAP_Find(0, &chain);
        ASSERT_NE(tap, nullptr) << Message(chain);
        EXPECT_STREQ(NETTAP_GetGuid(tap), "tlxtap0");
        EXPECT_EQ(NETTAP_GetIndex(tap), if_nametoindex("tlxtap0"));
        EXPECT_EQ(TAP_IsSupportedAdapter(tap), 1);
        ASSERT_EQ(NETTAP_Open(tap, &chain), 1) << Message(chain);

        const uint32_t local = inet_addr("10.201.0.2"), peer = inet_addr("10.201.0.9");
        EXPECT_EQ(NETTAP_SetMediaStatus(tap, 1), 1);
        EXPECT_TRUE(LinkUp());
        ASSERT_EQ(NETTAP_ConfigTun(tap, local, inet_addr("255.255.255.0"), &chain), 1)
            << Message(chain);
        EXPECT_NE(IpOut("-4 -o addr show dev tlxtap0").find("inet 10.201.0.2/24"),
                  std::string::npos);

        // Kernel to queue: more datagrams than the queue has buffers, sent
        // before any is taken; the kernel holds the rest until buffers return.
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(s, 0);
        sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(5555);
        to.sin_addr.s_addr = peer;
        const int kCount = 40;
        for (int i = 0; i < kCount; i++) {
            std::string text = "to-tap-" + std::to_string(i);
            ASSERT_EQ(sendto(s, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&to),
                             sizeof to),
                      static_cast<ssize_t>(text.size()));
        }
        int next = 0;
        for (int tries = 0; next < kCount && tries < 200; tries++) {
            PKT_Buffer *p = ReceiveWithin(tap, 500);
            if (!p)
                break;
            Bytes b = Contents(p);
            PKT_Free(p);
            if (b.size() < 28 || b[0] != 0x45 || b[9] != 17 || b[22] != 0x15 || b[23] != 0xB3)
                continue;  // not ours
            EXPECT_EQ(memcmp(&b[16], &peer, 4), 0);
            EXPECT_EQ(std::string(b.begin() + 28, b.end()), "to-tap-" + std::to_string(next));
            next++;
        }
        EXPECT_EQ(next, kCount);

        // Queue to kernel: a datagram from the peer to a socket bound here.
        int r = socket(AF_INET, SOCK_DGRAM, 0);
        ASSERT_GE(r, 0);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_port = htons(6666);
        at.sin_addr.s_addr = local;
        ASSERT_EQ(bind(r, reinterpret_cast<sockaddr *>(&at), sizeof at), 0);
        timeval tv = {2, 0};
        setsockopt(r, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        PKT_Buffer *out = PacketOf(UdpPacket(peer, 7777, local, 6666, "from-tap"));
        ASSERT_NE(out, nullptr);
        EXPECT_EQ(NETTAP_Send(tap, out), 1);
        char got[64] = {};
        sockaddr_in from = {};
        socklen_t fromLen = sizeof from;
        EXPECT_EQ(recvfrom(r, got, sizeof got, 0, reinterpret_cast<sockaddr *>(&from), &fromLen),
                  8);
        EXPECT_STREQ(got, "from-tap");
        EXPECT_EQ(from.sin_addr.s_addr, peer);
        EXPECT_EQ(ntohs(from.sin_port), 7777);
        close(r);
        close(s);

        // The reader waits in poll: the close wakes it, no force needed.
        EXPECT_EQ(NETTAP_Close(tap, &chain), 1);
        EXPECT_TRUE(ERRORINFO_IsEmpty(&chain)) << Message(chain);
        EXPECT_FALSE(LinkUp());
        NETTAP_Free(tap, &chain);
        ERRORINFO_Clear(&chain, nullptr, 0);
    });
}

// Capabilities belong to threads: this one, and the reader it starts, lose
// the right to change links.
bool DropNetAdminOfThisThread()
{
    __user_cap_header_struct header = {_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2] = {};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    data[0].effective &= ~(1u << CAP_NET_ADMIN);
    return syscall(SYS_capset, &header, data) == 0;
}

// The link's owner may attach and drive the device without the right to
// change links: the carrier stands for the media status, and the address is
// left to the route service.
TEST_F(NetTapTun, TheLinksOwnerRunsTheDeviceWithoutTheRightToChangeLinks)
{
    ASSERT_TRUE(IpIn("link set tlxtap0 alias 'SSL VPN TAP-Win32 Adapter'"));
    InNamespace([&] {
        ASSERT_TRUE(DropNetAdminOfThisThread());
        ErrorInfo chain = {};
        NETTAP_Handle *tap = NETTAP_Find(0, &chain);
        ASSERT_NE(tap, nullptr) << Message(chain);
        ASSERT_EQ(NETTAP_Open(tap, &chain), 1) << Message(chain);
        EXPECT_EQ(NETTAP_SetMediaStatus(tap, 1), 1);
        EXPECT_FALSE(LinkUp());
        EXPECT_EQ(
            NETTAP_ConfigTun(tap, inet_addr("10.201.0.2"), inet_addr("255.255.255.0"), &chain), 1);
        EXPECT_EQ(IpOut("-4 -o addr show dev tlxtap0").find("10.201.0.2"), std::string::npos);
        EXPECT_EQ(NETTAP_Close(tap, &chain), 1);
        EXPECT_TRUE(ERRORINFO_IsEmpty(&chain)) << Message(chain);
        NETTAP_Free(tap, &chain);
    });
}

#endif  // __linux__

}  // namespace

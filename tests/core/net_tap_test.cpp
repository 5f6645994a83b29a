// The TUN/TAP module: the packet queue and its reader thread against a fake
// device, the handle's operations, and the system I/O against a pair of
// message ends (net_tap_test_linux.cpp adds a real tun device).
#include <gtest/gtest.h>

#include <string.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "errorinfo.h"
#include "ip_address.h"
#include "log_capture.h"
#include "net_tap.h"
#include "net_tap_device.h"
#include "net_tap_fixture.h"
#include "pkt_buffer.h"
#include "sync.h"

namespace {

using namespace taptest;

// A device whose reads come from a script: results other than data first,
// then packets; a read blocks while both are empty, until woken. A device
// read without waiting (kSharedOps) answers an empty read at once and waits
// in WaitReadable instead; each of its reads holds the packet it took for
// holdUs before handing it over, and counts who took it.
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
    bool nonBlocking = false;
    uint32_t holdUs = 0;
    std::thread::id caller;   // the reads of this thread are counted apart
    int callerPackets = 0, otherPackets = 0;

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
        *got = 0;
        if (d->nonBlocking && d->results.empty() && d->packets.empty())
            return NETTAP_READ_DONE;
        d->cv.wait(hold, [d] { return d->woken || !d->results.empty() || !d->packets.empty(); });
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
        (std::this_thread::get_id() == d->caller ? d->callerPackets : d->otherPackets)++;
        uint32_t holdUs = d->holdUs;
        hold.unlock();
        if (holdUs)
            std::this_thread::sleep_for(std::chrono::microseconds(holdUs));
        return NETTAP_READ_DONE;
    }
    static NETTAP_ReadResult WaitReadable(void *io)
    {
        FakeDevice *d = Of(io);
        std::unique_lock<std::mutex> hold(d->m);
        d->cv.wait(hold, [d] { return d->woken || !d->results.empty() || !d->packets.empty(); });
        return d->woken ? NETTAP_READ_ABORTED : NETTAP_READ_DONE;
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
                                   FakeDevice::ConfigTun, FakeDevice::Wake,  FakeDevice::Close,
                                   nullptr,               nullptr,           nullptr};
const NETTAP_DeviceOps kSharedOps = {FakeDevice::Read,      FakeDevice::Write, FakeDevice::SetMedia,
                                     FakeDevice::ConfigTun, FakeDevice::Wake,  FakeDevice::Close,
                                     nullptr,               nullptr,           FakeDevice::WaitReadable};

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

TEST_F(NetTapQueue, AwaitQueuedSeesAPacketWithoutTakingIt)
{
    Attach();
    auto t0 = Clock::now();
    EXPECT_EQ(NETTAP_AwaitQueued(tap_, 20000), 0) << "nothing read";
    EXPECT_GE(Clock::now() - t0, std::chrono::milliseconds(20));
    EXPECT_EQ(NETTAP_WaitHandle(tap_), NETTAP_NO_DEVICE) << "the fake device has nothing to wait on";

    std::thread later([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        dev_.Push(Pattern(7, 64));
    });
    EXPECT_EQ(NETTAP_AwaitQueued(tap_, 3000000), 1);
    later.join();
    EXPECT_EQ(NETTAP_AwaitQueued(tap_, 0), 1) << "still there after the first look";
    PKT_Buffer *p = NETTAP_Receive(tap_);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Contents(p), Pattern(7, 64));
    PKT_Free(p);
    EXPECT_EQ(NETTAP_Receive(tap_), nullptr);
    EXPECT_EQ(NETTAP_AwaitQueued(nullptr, 0), 0);
}

// The connection thread reads the device itself while the reader is not
// reading; packets the two took turn about still leave in the device's order.
TEST_F(NetTapQueue, PacketsReadByTheReaderAndByTheCallerLeaveInTheDevicesOrder)
{
    const uint32_t kPackets = 3000;
    dev_.nonBlocking = true;
    dev_.holdUs = 20;   // a packet in the reader's hands while the caller looks
    dev_.caller = std::this_thread::get_id();
    ASSERT_EQ(NETTAP_AttachDevice(tap_, 1, &kSharedOps, &dev_, &chain_), 1);

    std::thread feeder([&] {
        for (uint32_t i = 0; i < kPackets; i++) {
            dev_.Push(Pattern(i, 40 + i % 200));
            if (i % 7 == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(50 + i % 3 * 100));
        }
    });
    uint32_t next = 0;
    auto end = Clock::now() + std::chrono::seconds(20);
    while (next < kPackets && Clock::now() < end) {
        NETTAP_AwaitQueued(tap_, 200);
        while (PKT_Buffer *p = NETTAP_Receive(tap_)) {
            EXPECT_EQ(Contents(p), Pattern(next, 40 + next % 200)) << "packet " << next;
            PKT_Free(p);
            next++;
        }
    }
    feeder.join();
    EXPECT_EQ(next, kPackets);
    std::lock_guard<std::mutex> hold(dev_.m);
    EXPECT_GT(dev_.callerPackets, 0) << "the caller never read the device itself";
    EXPECT_GT(dev_.otherPackets, 0) << "the reader never read";
    EXPECT_EQ(dev_.callerPackets + dev_.otherPackets, static_cast<int>(kPackets));
}

TEST_F(NetTapQueue, AnEmptyDeviceEndsTheCallersWaitAtOnce)
{
    dev_.nonBlocking = true;
    ASSERT_EQ(NETTAP_AttachDevice(tap_, 1, &kSharedOps, &dev_, &chain_), 1);
    ASSERT_TRUE(WaitFor([&] { return dev_.Reads() >= 1; }));
    auto t0 = Clock::now();
    EXPECT_EQ(NETTAP_AwaitQueued(tap_, 3000000), 0);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
    dev_.Push(Pattern(5, 60));
    EXPECT_EQ(NETTAP_AwaitQueued(tap_, 3000000), 1);
    PKT_Buffer *p = NETTAP_Receive(tap_);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Contents(p), Pattern(5, 60));
    PKT_Free(p);
}

TEST(NetTapSemaphore, ReleasesOfSeveralWakeEveryWaiterAndStopAtTheMaximum)
{
    struct Case {
        uint32_t initial, maximum, released, takes;
    } cases[] = {{0, 4, 3, 3}, {2, 4, 5, 4}, {4, 4, 1, 4}, {0, 32, 0, 0}, {1, 32, 16, 17}};
    for (const Case &c : cases) {
        SCOPED_TRACE(testing::Message() << c.initial << " of " << c.maximum << " + " << c.released);
        NETTAP_Semaphore *sem = NETTAP_SemCreate(c.initial, c.maximum);
        ASSERT_NE(sem, nullptr);
        NETTAP_SemReleaseMany(sem, c.released);
        uint32_t taken = 0;
        while (NETTAP_SemWait(sem, 0))
            taken++;
        EXPECT_EQ(taken, c.takes);
        NETTAP_SemClose(sem);
    }

    // Two threads wait; one release of two lets both go.
    NETTAP_Semaphore *sem = NETTAP_SemCreate(0, 32);
    ASSERT_NE(sem, nullptr);
    std::atomic<int> through{0};
    std::thread a([&] { through += NETTAP_SemWait(sem, 1); });
    std::thread b([&] { through += NETTAP_SemWait(sem, 1); });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(through.load(), 0);
    NETTAP_SemReleaseMany(sem, 2);
    a.join();
    b.join();
    EXPECT_EQ(through.load(), 2);
    EXPECT_EQ(NETTAP_SemWait(sem, 0), 0);
    NETTAP_SemClose(sem);
}

TEST_F(NetTapQueue, OnlyIPv4PacketsAreQueued)
{
    Bytes ipv6 = Pattern(1, 48), other = Pattern(2, 20), ipv4 = Pattern(3, 28);
    ipv6[0] = 0x60;   // a router solicitation's first byte
    other[0] = 0x05;  // version 0
    dev_.Push(ipv6);
    dev_.Push(other);
    dev_.Push(ipv4);
    dev_.Push(ipv6);
    Attach();

    PKT_Buffer *p = ReceiveWithin(tap_);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(Contents(p), ipv4);
    PKT_Free(p);
    ASSERT_TRUE(WaitFor([&] { return dev_.Reads() >= 5; })) << "the reader went on reading";
    EXPECT_EQ(NETTAP_Receive(tap_), nullptr);
    EXPECT_EQ(tap_->queue.droppedNotIPv4.load(), 3u);
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
    const uint32_t addr = Ip(10, 1, 2, 3), mask = Ip(255, 255, 255, 0);
    EXPECT_EQ(NETTAP_ConfigTun(tap_, addr, mask, &chain_), 1);
    EXPECT_EQ(dev_.config[0], addr);
    EXPECT_EQ(dev_.config[1], Ip(10, 1, 2, 0));
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

}  // namespace

// The TUN/TAP module's Linux side: the test's pair of message ends, and (as
// root) a real tun device in a network namespace of the test's own.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <net/if.h>
#include <poll.h>
#include <linux/capability.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>

#include "errorinfo.h"
#include "host_tool.h"
#include "net_iface.h"
#include "net_tap.h"
#include "net_tap_fixture.h"
#include "netns_thread.h"
#include "pkt_buffer.h"

namespace taptest {

bool PeerPair::Make()
{
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0)
        return false;
    device = fds[0];
    peer_ = fds[1];
    return true;
}

PeerPair::~PeerPair()
{
    if (peer_ >= 0)
        close(static_cast<int>(peer_));
}

bool PeerPair::Send(const Bytes &b)
{
    return send(static_cast<int>(peer_), b.data(), b.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(b.size());
}

bool PeerPair::Receive(Bytes *b)
{
    pollfd p = {static_cast<int>(peer_), POLLIN, 0};
    if (poll(&p, 1, 3000) != 1)
        return false;
    b->resize(4096);
    ssize_t n = recv(static_cast<int>(peer_), b->data(), b->size(), 0);
    b->resize(n > 0 ? static_cast<size_t>(n) : 0);
    return n > 0;
}

}  // namespace taptest

namespace {

using namespace taptest;

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
        RunInNetns(ns_, f);
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
        // The second line says what would be taken and how a link gets it.
        ASSERT_EQ(ERRORINFO_Count(&chain), 2u);
        EXPECT_STREQ(chain.next->message, NETIFACE_TapHint());
        for (const char *part : {"\"TAP-Windows Adapter V9\"", "\"SSL VPN TAP-Win32 Adapter\"",
                                 "ip link set tlx0 alias \"TAP-Windows Adapter V9\""})
            EXPECT_NE(std::string(chain.next->message).find(part), std::string::npos) << part;
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

}  // namespace

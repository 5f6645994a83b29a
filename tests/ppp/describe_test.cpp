#include <gtest/gtest.h>

#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

#include "pkt_buffer.h"
#include "pkt_describe.h"
#include "ppp_harness.h"
#include "str.h"

namespace {

using ppptest::Hex;

// The packet's bytes live in a heap block of exactly their size, so that
// AddressSanitizer catches any read past the packet's end.
std::string Describe(const char *tag, const std::vector<uint8_t> &bytes, int32_t capacity = 2048)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[bytes.size() ? bytes.size() : 1]);
    if (!bytes.empty())
        memcpy(exact.get(), bytes.data(), bytes.size());
    PKT_Buffer packet;
    memset(&packet, 0, sizeof(packet));
    strcpy(packet.tag, tag);
    packet.start = exact.get();
    packet.cursor = exact.get();
    packet.length = (uint16_t)bytes.size();

    std::vector<char> storage(capacity);
    TextBuf text = {storage.data(), capacity, 0};
    TEXTBUF_Clear(&text);
    const char *result = PKT_Describe(&text, &packet);
    EXPECT_EQ(result, storage.data());
    return std::string(result);
}

struct Case {
    const char *what;
    const char *tag;
    const char *hex;
    const char *expected;
};

// IPv4 headers: 10.0.0.2 (0a000002) -> 192.168.1.10 (c0a8010a) unless noted.
const Case kCases[] = {
    {"TCP SYN, DF, plain headers", "TAP",
     "45000028 1234 4000 4006 0000 0a000002 c0a8010a"
     "c000 01bb 00000001 00000000 5002 ffff 0000 0000",
     "recvif=TAP srcip=10.0.0.2 destip=192.168.1.10 ipdf=1 ipproto=TCP ipdatalen=20 "
     "srcport=49152 destport=443 syn=1 "},
    {"TCP with options and every flag in order", "PPP",
     "45000034 0001 0000 4006 0000 0a000002 c0a8010a"
     "0050 d431 00000001 00000002 81ff ffff 0000 0000 0101080a0000000000000000",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=TCP ipdatalen=32 "
     "srcport=80 destport=54321 tcphdrlen=32 "
     "syn=1 rst=1 ack=1 psh=1 fin=1 urg=1 ece=1 cwr=1 ns=1 "},
    {"TCP without flags still ends in a blank", "PPP",
     "45000028 0001 0000 4006 0000 0a000002 c0a8010a"
     "0050 d431 00000001 00000002 5000 ffff 0000 0000",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=TCP ipdatalen=20 "
     "srcport=80 destport=54321 "},
    {"ICMP echo request", "PPP",
     "45000054 0002 0000 4001 0000 0a000002 c0a8010a"
     "0800 0000 0001 0007" "00000000000000000000000000000000000000000000000000000000"
     "00000000000000000000000000000000000000000000000000000000",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=ICMP ipdatalen=64 "
     "icmptype=ECHO_REQUEST echoid=1 echoseq=7"},
    {"ICMP echo reply", "TAP",
     "4500001c 0002 0000 4001 0000 c0a8010a 0a000002 0000 0000 abcd 0102",
     "recvif=TAP srcip=192.168.1.10 destip=10.0.0.2 ipproto=ICMP ipdatalen=8 "
     "icmptype=ECHO_REPLY echoid=43981 echoseq=258"},
    {"ICMP type without a name", "PPP",
     "4500001c 0002 0000 4001 0000 0a000002 c0a8010a 2803 0000 00000000",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=ICMP ipdatalen=8 "
     "icmptype=40 icmpcode=3"},
    {"ICMP port unreachable", "PPP",
     "4500001c 0002 0000 4001 0000 0a000002 c0a8010a 0303 0000 00000000",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=ICMP ipdatalen=8 "
     "icmptype=DEST_UNREACH unreach=PORT_UNREACH"},
    {"ICMP unreachable code without a name", "PPP",
     "4500001c 0002 0000 4001 0000 0a000002 c0a8010a 030e 0000 00000000",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=ICMP ipdatalen=8 "
     "icmptype=DEST_UNREACH unreach=14"},
    {"ICMP redirect", "PPP",
     "4500001c 0002 0000 4001 0000 0a000002 c0a8010a 0503 0000 c0a80101",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=ICMP ipdatalen=8 "
     "icmptype=REDIRECT redirect=HOST&TOS"},
    {"ICMP time exceeded", "PPP",
     "4500001c 0002 0000 4001 0000 0a000002 c0a8010a 0b00 0000 00000000",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=ICMP ipdatalen=8 "
     "icmptype=TIME_EXCEED icmpcode=0"},
    {"IGMP report with a router-alert option", "TAP",
     "46c00020 0000 4000 0102 0000 0a000002 e0000016 94040000 1600 0000 ef010203",
     "recvif=TAP srcip=10.0.0.2 destip=224.0.0.22 iphdrlen=24 ipdf=1 ipproto=IGMP "
     "ipdatalen=8 type=MEMBER_REPORT maxresp=0 groupaddr=239.1.2.3"},
    {"UDP", "PPP",
     "45000021 0003 0000 4011 0000 0a000002 c0a8010a 1f90 0035 000d 0000 0102030405",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=UDP ipdatalen=13 "
     "srcport=8080 destport=53 udptotlen=13"},
    {"first fragment", "PPP",
     "45000020 1234 2000 4011 0000 0a000002 c0a8010a 1f90 0035 05c8 0000 01020304",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipmf=1 fragoffs=0 fragid=4660 "
     "ipproto=UDP ipdatalen=12 srcport=8080 destport=53 udptotlen=1480"},
    {"later fragment: no transport items", "PPP",
     "45000020 1234 00b9 4011 0000 0a000002 c0a8010a 1f90 0035 05c8 0000 01020304",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 fragoffs=1480 fragid=4660"},
    {"middle fragment with every IP flag", "PPP",
     "45000024 0007 e001 4011 0000 0a000002 c0a8010a 0000000000000000 0000000000000000",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipmf=1 ipdf=1 iprf=1 fragoffs=8 fragid=7"},
    {"protocol without a keyword", "PPP",
     "45000014 0000 0000 403d 0000 0a000002 c0a8010a",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=61 ipdatalen=0"},
    {"ESP: name, no transport items", "PPP",
     "4500001c 0000 0000 4032 0000 0a000002 c0a8010a 00000100 00000001",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=ESP ipdatalen=8"},
    {"protocol 4 keeps its listed name", "PPP",
     "45000014 0000 0000 4004 0000 0a000002 c0a8010a",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=IP ipdatalen=0"},
    {"protocol above the table", "PPP",
     "45000014 0000 0000 40ff 0000 0a000002 c0a8010a",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=255 ipdatalen=0"},

    // Not IPv4: the TUN device also hands up IPv6 neighbour discovery.
    {"IPv6", "TAP",
     "6000000000083aff fe800000000000000000000000000001 ff020000000000000000000000000001"
     "8700 0000 00000000",
     "recvif=TAP ipver=6"},
    {"version 0", "PPP", "05", "recvif=PPP ipver=0"},

    // Whole PPP frames: the protocol and the control packet's header.
    {"LCP Configure-Request", "PPP", "c021 01 01 000e 0104 0578 0506 5a5a5a5a",
     "recvif=PPP pppproto=LCP code=1 id=1 len=14"},
    {"LCP behind address and control", "PPP", "ff03 c021 09 07 0008 11223344",
     "recvif=PPP pppproto=LCP code=9 id=7 len=8"},
    {"PAP Authenticate-Request", "PPP", "c023 01 02 0011 05 616c696365 06 736563726574",
     "recvif=PPP pppproto=PAP code=1 id=2 len=17"},
    {"CHAP Challenge", "PPP", "c223 01 03 0015 10 00112233445566778899aabbccddeeff",
     "recvif=PPP pppproto=CHAP code=1 id=3 len=21"},
    {"IPCP Configure-Nak", "PPP", "8021 03 04 000a 03 06 0a000002",
     "recvif=PPP pppproto=IPCP code=3 id=4 len=10"},
    {"VSP Configure-Request", "PPP", "405b 01 00 000c 5a5a5a5a 408493 00",
     "recvif=PPP pppproto=VSP code=1 id=0 len=12"},
    {"CCP", "PPP", "80fd 01 01 0004", "recvif=PPP pppproto=CCP code=1 id=1 len=4"},
    {"MPPE data", "PPP", "00fd 9000 deadbeef", "recvif=PPP pppproto=MPPE"},
    {"IPv4 in a PPP frame", "PPP",
     "0021 4500001c 0002 0000 4001 0000 0a000002 c0a8010a 0800 0000 0001 0002",
     "recvif=PPP pppproto=IP srcip=10.0.0.2 destip=192.168.1.10 ipproto=ICMP ipdatalen=8 "
     "icmptype=ECHO_REQUEST echoid=1 echoseq=2"},
    {"IPv6 in an IPv4 frame", "PPP", "0021 6000", "recvif=PPP pppproto=IP ipver=6"},
    {"PPP control header cut short", "PPP", "c021 0101 00", "recvif=PPP pppproto=LCP truncated=3"},
    {"PPP IPv4 frame without a datagram", "PPP", "0021", "recvif=PPP pppproto=IP truncated=0"},
    {"PPP IPv4 frame cut in the header", "PPP", "0021 4500001c 0002",
     "recvif=PPP pppproto=IP truncated=6"},
    {"protocol the engine does not run", "PPP", "0057 6000", "recvif=PPP ipver=0"},

    // Short and lying packets: described up to what is there.
    {"empty", "PPP", "", "recvif=PPP truncated=0"},
    {"one byte", "PPP", "45", "recvif=PPP truncated=1"},
    {"19 bytes", "PPP", "45000014 0000 0000 4006 0000 0a000002 c0a801", "recvif=PPP truncated=19"},
    {"header length below 20", "PPP",
     "44000014 0000 0000 4006 0000 0a000002 c0a8010a",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 iphdrlen=16"},
    {"header length 60 in a 21-byte packet", "PPP",
     "4f000015 0000 0000 4006 0000 0a000002 c0a8010a 00",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 iphdrlen=60 ipproto=TCP ipdatalen=-39 "
     "truncated=21"},
    {"total length below the header length", "PPP",
     "4500000a 0000 0000 4011 0000 0a000002 c0a8010a 1f90 0035 0008 0000",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=UDP ipdatalen=-10 truncated=28"},
    {"total length beyond the packet", "PPP",
     "450005dc 0000 0000 4011 0000 0a000002 c0a8010a 1f90",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=UDP ipdatalen=1480 truncated=22"},
    {"TCP cut inside the ports", "PPP",
     "45000028 0000 0000 4006 0000 0a000002 c0a8010a c000 01",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=TCP ipdatalen=20 truncated=23"},
    {"TCP cut before the flags", "PPP",
     "45000028 0000 0000 4006 0000 0a000002 c0a8010a c000 01bb 00000001 00000000 50",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=TCP ipdatalen=20 "
     "srcport=49152 destport=443 truncated=33"},
    {"ICMP echo cut before the sequence", "PPP",
     "45000054 0000 0000 4001 0000 0a000002 c0a8010a 0800 0000 0001",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=ICMP ipdatalen=64 "
     "icmptype=ECHO_REQUEST truncated=26"},
    {"ICMP with one byte", "PPP",
     "45000054 0000 0000 4001 0000 0a000002 c0a8010a 08",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=ICMP ipdatalen=64 truncated=21"},
    {"IGMP cut before the group", "PPP",
     "4500001c 0000 0000 0102 0000 0a000002 e0000001 1100 0000 e000",
     "recvif=PPP srcip=10.0.0.2 destip=224.0.0.1 ipproto=IGMP ipdatalen=8 truncated=26"},
    {"UDP cut before its length", "PPP",
     "4500001c 0000 0000 4011 0000 0a000002 c0a8010a 1f90 0035",
     "recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=UDP ipdatalen=8 truncated=24"},
};

TEST(PacketDescribe, TableOfPackets)
{
    for (const Case &c : kCases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(Describe(c.tag, Hex(c.hex)), c.expected);
    }
}

TEST(PacketDescribe, ProtocolNamesFollowTheRegistryList)
{
    // Spot checks over the 138-row table: ends, gaps and the names that differ
    // from today's registry.
    const struct {
        uint8_t proto;
        const char *name;
    } rows[] = {{0, "HOPOPT"},     {41, "IPv6"},      {60, "IPv6-Opts"},      {61, "61"},
                {62, "CFTP"},      {63, "63"},        {68, "68"},             {93, "AX.25"},
                {99, "99"},        {107, "A/N"},      {114, "114"},           {124, "ISIS"},
                {135, "Mobility-Header"},             {138, "manet"},         {142, "ROHC"},
                {143, "143"}};
    for (const auto &row : rows) {
        std::vector<uint8_t> packet = Hex("45000014 0000 0000 4000 0000 0a000002 c0a8010a");
        packet[9] = row.proto;
        std::string expected = std::string("recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=") +
                               row.name + " ipdatalen=0";
        EXPECT_EQ(Describe("PPP", packet), expected) << (int)row.proto;
    }
}

TEST(PacketDescribe, FullTextBufferCutsTheLine)
{
    std::vector<uint8_t> syn = Hex(kCases[0].hex);
    EXPECT_EQ(Describe("TAP", syn, 24), std::string(kCases[0].expected).substr(0, 23));
    EXPECT_EQ(Describe("TAP", syn, 1), "");
}

TEST(PacketDescribe, ReadsFromTheCursorAndAppendsToTheBuffer)
{
    std::vector<uint8_t> frame = Hex("0021 45000014 0000 0000 4011 0000 0a000002 c0a8010a");
    std::unique_ptr<uint8_t[]> exact(new uint8_t[frame.size()]);
    memcpy(exact.get(), frame.data(), frame.size());
    PKT_Buffer packet;
    memset(&packet, 0, sizeof(packet));
    strcpy(packet.tag, "PPP");
    packet.start = exact.get();
    packet.cursor = exact.get() + 2;
    packet.length = (uint16_t)frame.size();

    char storage[256];
    TextBuf text = {storage, sizeof(storage), 0};
    TEXTBUF_Assign(&text, "in:");
    PKT_Describe(&text, &packet);
    EXPECT_STREQ(storage, "in: recvif=PPP srcip=10.0.0.2 destip=192.168.1.10 ipproto=UDP "
                          "ipdatalen=0 truncated=20");
    EXPECT_EQ(0, memcmp(exact.get(), frame.data(), frame.size())) << "the packet is left alone";
}

} // namespace

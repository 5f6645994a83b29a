#include "pkt_describe.h"

#include "parse.h"
#include "pkt_buffer.h"

namespace {

const NameEntry kIcmpTypes[] = {
    {0, "ECHO_REPLY"},          {3, "DEST_UNREACH"},        {4, "QUENCH"},
    {5, "REDIRECT"},            {6, "ALTERNATE_ADDR"},      {8, "ECHO_REQUEST"},
    {9, "ROUTER_ADVERTISE"},    {10, "ROUTER_SOLICITATE"},  {11, "TIME_EXCEED"},
    {12, "PARAM_PROB"},         {13, "TIMESTAMP"},          {14, "TIMESTAMP_REPLY"},
    {15, "INFO_REQUEST"},       {16, "INFO_REPLY"},         {17, "ADDR_MASK"},
    {18, "ADDR_MASK_REPLY"},    {30, "TRACEROUTE_RESPONSE"}, {31, "CONVERSION_ERROR"},
    {32, "MOBILE_REDIRECT"},    {33, "IPV6_WHEREAREYOU"},   {34, "IPV6_IAMHERE"},
    {35, "MOBILEREGREQUEST"},   {36, "MOBILEREGREPLY"},     {37, "NAMEREQUEST"},
    {38, "NAMEREPLY"},          {0, nullptr},
};

const NameEntry kIcmpUnreachCodes[] = {
    {0, "NET_UNREACH"},        {1, "HOST_UNREACH"},      {2, "PROTO_UNREACH"},
    {3, "PORT_UNREACH"},       {4, "FRAG_NEEDED"},       {5, "SOURCE_ROUTE_FAIL"},
    {9, "NET_ADMIN_PROHIB"},   {10, "HOST_ADMIN_PROHIB"}, {13, "COMM_ADMIN_PROHIB"},
    {0, nullptr},
};

const NameEntry kIcmpRedirectCodes[] = {
    {0, "NET"}, {1, "HOST"}, {2, "TOS"}, {3, "HOST&TOS"}, {0, nullptr},
};

const NameEntry kIgmpTypes[] = {
    {17, "MEMBER_QUERY"}, {18, "V1_MEMBER_REPORT"}, {22, "MEMBER_REPORT"},
    {23, "LEAVE_GROUP"},  {0, nullptr},
};

const NameEntry kIpProtocols[] = {
    {0, "HOPOPT"}, {1, "ICMP"}, {2, "IGMP"}, {3, "GGP"}, {4, "IP"}, {5, "ST"},
    {6, "TCP"}, {7, "CBT"}, {8, "EGP"}, {9, "IGP"}, {10, "BBN-RCC-MON"},
    {11, "NVP-II"}, {12, "PUP"}, {13, "ARGUS"}, {14, "EMCON"}, {15, "XNET"},
    {16, "CHAOS"}, {17, "UDP"}, {18, "MUX"}, {19, "DCN-MEAS"}, {20, "HMP"},
    {21, "PRM"}, {22, "XNS-IDP"}, {23, "TRUNK-1"}, {24, "TRUNK-2"}, {25, "LEAF-1"},
    {26, "LEAF-2"}, {27, "RDP"}, {28, "IRTP"}, {29, "ISO-TP4"}, {30, "NETBLT"},
    {31, "MFE-NSP"}, {32, "MERIT-INP"}, {33, "DCCP"}, {34, "3PC"}, {35, "IDPR"},
    {36, "XTP"}, {37, "DDP"}, {38, "IDPR-CMTP"}, {39, "TP++"}, {40, "IL"},
    {41, "IPv6"}, {42, "SDRP"}, {43, "IPv6-Route"}, {44, "IPv6-Frag"}, {45, "IDRP"},
    {46, "RSVP"}, {47, "GRE"}, {48, "DSR"}, {49, "BNA"}, {50, "ESP"}, {51, "AH"},
    {52, "I-NLSP"}, {53, "SWIPE"}, {54, "NARP"}, {55, "MOBILE"}, {56, "TLSP"},
    {57, "SKIP"}, {58, "IPv6-ICMP"}, {59, "IPv6-NoNxt"}, {60, "IPv6-Opts"},
    {62, "CFTP"}, {64, "SAT-EXPAK"}, {65, "KRYPTOLAN"}, {66, "RVD"}, {67, "IPPC"},
    {69, "SAT-MON"}, {70, "VISA"}, {71, "IPCV"}, {72, "CPNX"}, {73, "CPHB"},
    {74, "WSN"}, {75, "PVP"}, {76, "BR-SAT-MON"}, {77, "SUN-ND"}, {78, "WB-MON"},
    {79, "WB-EXPAK"}, {80, "ISO-IP"}, {81, "VMTP"}, {82, "SECURE-VMTP"},
    {83, "VINES"}, {84, "TTP"}, {85, "NSFNET-IGP"}, {86, "DGP"}, {87, "TCF"},
    {88, "EIGRP"}, {89, "OSPFIGP"}, {90, "Sprite-RPC"}, {91, "LARP"}, {92, "MTP"},
    {93, "AX.25"}, {94, "IPIP"}, {95, "MICP"}, {96, "SCC-SP"}, {97, "ETHERIP"},
    {98, "ENCAP"}, {100, "GMTP"}, {101, "IFMP"}, {102, "PNNI"}, {103, "PIM"},
    {104, "ARIS"}, {105, "SCPS"}, {106, "QNX"}, {107, "A/N"}, {108, "IPComp"},
    {109, "SNP"}, {110, "Compaq-Peer"}, {111, "IPX-in-IP"}, {112, "VRRP"},
    {113, "PGM"}, {115, "L2TP"}, {116, "DDX"}, {117, "IATP"}, {118, "STP"},
    {119, "SRP"}, {120, "UTI"}, {121, "SMP"}, {122, "SM"}, {123, "PTP"},
    {124, "ISIS"}, {125, "FIRE"}, {126, "CRTP"}, {127, "CRUDP"}, {128, "SSCOPMCE"},
    {129, "IPLT"}, {130, "SPS"}, {131, "PIPE"}, {132, "SCTP"}, {133, "FC"},
    {134, "RSVP-E2E-IGNORE"}, {135, "Mobility-Header"}, {136, "UDPLite"},
    {137, "MPLS-in-IP"}, {138, "manet"}, {139, "HIP"}, {140, "Shim6"}, {141, "WESP"},
    {142, "ROHC"}, {0, nullptr},
};

enum {
    PPP_IP = 0x0021,
    PPP_MPPE = 0x00FD,
};

// The PPP protocols of this system, for a frame handed over whole.
const NameEntry kPppProtocols[] = {
    {PPP_IP, "IP"},     {PPP_MPPE, "MPPE"}, {0x8021, "IPCP"}, {0x80FD, "CCP"},
    {0x405B, "VSP"},    {0xC021, "LCP"},    {0xC023, "PAP"},  {0xC223, "CHAP"},
    {0, nullptr},
};

enum {
    IP_MIN_HEADER = 20,
    IP_FLAG_RESERVED = 0x80,
    IP_FLAG_DF = 0x40,
    IP_FLAG_MF = 0x20,
};

uint32_t Get16(const uint8_t *p)
{
    return (uint32_t)p[0] << 8 | p[1];
}

struct NameText {
    char buf[32];
};

const char *Name(const NameEntry *table, uint32_t key, NameText *scratch)
{
    return STR_NameOrNumber(table, (int32_t)key, scratch->buf, sizeof(scratch->buf), "%u");
}

// The transport header, given only the bytes that belong to it.
void DescribeIcmp(TextBuf *text, const uint8_t *h, uint32_t n, uint32_t packetLength)
{
    NameText scratch;
    if (n < 2) {
        TEXTBUF_AppendPrintf(text, "truncated=%u", packetLength);
        return;
    }
    TEXTBUF_AppendPrintf(text, "icmptype=%s", Name(kIcmpTypes, h[0], &scratch));
    switch (h[0]) {
    case 0:
    case 8:
        if (n < 8) {
            TEXTBUF_AppendPrintf(text, "truncated=%u", packetLength);
            return;
        }
        TEXTBUF_AppendPrintf(text, "echoid=%u echoseq=%u", Get16(h + 4), Get16(h + 6));
        break;
    case 3:
        TEXTBUF_AppendPrintf(text, "unreach=%s", Name(kIcmpUnreachCodes, h[1], &scratch));
        break;
    case 5:
        TEXTBUF_AppendPrintf(text, "redirect=%s", Name(kIcmpRedirectCodes, h[1], &scratch));
        break;
    default:
        TEXTBUF_AppendPrintf(text, "icmpcode=%u", (uint32_t)h[1]);
        break;
    }
}

void DescribeIgmp(TextBuf *text, const uint8_t *h, uint32_t n, uint32_t packetLength)
{
    NameText scratch;
    if (n < 8) {
        TEXTBUF_AppendPrintf(text, "truncated=%u", packetLength);
        return;
    }
    TEXTBUF_AppendPrintf(text, "type=%s maxresp=%d groupaddr=%s", Name(kIgmpTypes, h[0], &scratch),
                         (int)h[1], IP_ToString(h + 4));
}

void DescribeTcp(TextBuf *text, const uint8_t *h, uint32_t n, uint32_t packetLength)
{
    if (n < 4) {
        TEXTBUF_AppendPrintf(text, "truncated=%u", packetLength);
        return;
    }
    TEXTBUF_AppendPrintf(text, "srcport=%u destport=%u", Get16(h), Get16(h + 2));
    if (n < 14) {
        TEXTBUF_AppendPrintf(text, "truncated=%u", packetLength);
        return;
    }
    uint32_t headerLength = (uint32_t)(h[12] >> 4) * 4;
    if (headerLength != 20)
        TEXTBUF_AppendPrintf(text, "tcphdrlen=%u", headerLength);
    uint8_t f = h[13];
    TEXTBUF_AppendPrintf(text, "%s%s%s%s%s%s%s%s%s",
                         (f & 0x02) ? "syn=1 " : "", (f & 0x04) ? "rst=1 " : "",
                         (f & 0x10) ? "ack=1 " : "", (f & 0x08) ? "psh=1 " : "",
                         (f & 0x01) ? "fin=1 " : "", (f & 0x20) ? "urg=1 " : "",
                         (f & 0x40) ? "ece=1 " : "", (f & 0x80) ? "cwr=1 " : "",
                         (h[12] & 0x01) ? "ns=1 " : "");
}

void DescribeUdp(TextBuf *text, const uint8_t *h, uint32_t n, uint32_t packetLength)
{
    if (n < 6) {
        TEXTBUF_AppendPrintf(text, "truncated=%u", packetLength);
        return;
    }
    TEXTBUF_AppendPrintf(text, "srcport=%u destport=%u udptotlen=%u", Get16(h), Get16(h + 2),
                         Get16(h + 4));
}

// An IPv4 packet (version 4 already seen) of length bytes.
void DescribeIp(TextBuf *text, const uint8_t *p, uint32_t length)
{
    if (length < IP_MIN_HEADER) {
        TEXTBUF_AppendPrintf(text, "truncated=%u", length);
        return;
    }
    uint32_t headerLength = (uint32_t)(p[0] & 0x0F) * 4;
    TEXTBUF_AppendPrintf(text, "srcip=%s destip=%s", IP_ToString(p + 12), IP_ToString(p + 16));
    if (headerLength != IP_MIN_HEADER)
        TEXTBUF_AppendPrintf(text, "iphdrlen=%u", headerLength);
    if (headerLength < IP_MIN_HEADER)
        return; // the fields below would overlap the fixed header

    uint8_t flags = p[6];
    TEXTBUF_AppendPrintf(text, "%s%s%s", (flags & IP_FLAG_MF) ? "ipmf=1 " : "",
                         (flags & IP_FLAG_DF) ? "ipdf=1 " : "",
                         (flags & IP_FLAG_RESERVED) ? "iprf=1 " : "");
    uint32_t fragOffset = (Get16(p + 6) & 0x1FFF) * 8;
    if ((flags & IP_FLAG_MF) || fragOffset != 0) {
        TEXTBUF_AppendPrintf(text, "fragoffs=%u fragid=%u", fragOffset, Get16(p + 4));
        if (fragOffset != 0)
            return;
    }

    NameText scratch;
    uint32_t totalLength = Get16(p + 2);
    // Signed: a lying total length shows as negative rather than as 4 billion.
    TEXTBUF_AppendPrintf(text, "ipproto=%s ipdatalen=%d", Name(kIpProtocols, p[9], &scratch),
                         (int)((int32_t)totalLength - (int32_t)headerLength));

    // The transport header gets the bytes both the packet and its total
    // length grant it.
    uint32_t end = totalLength < length ? totalLength : length;
    uint32_t available = end > headerLength ? end - headerLength : 0;
    const uint8_t *h = p + (headerLength < length ? headerLength : length);
    switch (p[9]) {
    case 1:
        DescribeIcmp(text, h, available, length);
        break;
    case 2:
        DescribeIgmp(text, h, available, length);
        break;
    case 6:
        DescribeTcp(text, h, available, length);
        break;
    case 17:
        DescribeUdp(text, h, available, length);
        break;
    default:
        break;
    }
}

// A PPP frame of one of the protocols this system speaks; its control
// packets get their header, an IPv4 datagram its own description.
void DescribePpp(TextBuf *text, const uint8_t *p, uint32_t length, const char *name)
{
    uint32_t protocol = Get16(p);
    TEXTBUF_AppendPrintf(text, "pppproto=%s", name);
    p += 2;
    length -= 2;
    if (protocol == PPP_IP) {
        if (length >= 1 && (p[0] >> 4) == 4)
            DescribeIp(text, p, length);
        else if (length >= 1)
            TEXTBUF_AppendPrintf(text, "ipver=%u", (uint32_t)(p[0] >> 4));
        else
            TEXTBUF_AppendPrintf(text, "truncated=%u", length);
        return;
    }
    if (protocol == PPP_MPPE)
        return;
    if (length < 4) {
        TEXTBUF_AppendPrintf(text, "truncated=%u", length);
        return;
    }
    TEXTBUF_AppendPrintf(text, "code=%u id=%u len=%u", (uint32_t)p[0], (uint32_t)p[1],
                         Get16(p + 2));
}

} // namespace

char *PKT_Describe(TextBuf *text, const PKT_Buffer *packet)
{
    const uint8_t *p = PKT_Data(packet);
    uint32_t length = PKT_Length(packet);

    TEXTBUF_AppendPrintf(text, "recvif=%.*s", (int)PKT_TAG_SIZE, packet->tag);
    if (length < 1) {
        TEXTBUF_AppendPrintf(text, "truncated=%u", length);
        return text->data;
    }
    uint32_t version = p[0] >> 4;
    if (version == 4 && (p[0] & 0x0F) >= 5) {
        DescribeIp(text, p, length);
        return text->data;
    }
    // No IPv4 header can begin like a PPP frame of ours: their first byte
    // is never 0x45..0x4F.
    const uint8_t *frame = p;
    uint32_t frameLength = length;
    if (frameLength >= 2 && frame[0] == 0xFF && frame[1] == 0x03) {
        frame += 2;
        frameLength -= 2;
    }
    if (frameLength >= 2) {
        const char *name = STR_LookupName(kPppProtocols, (int32_t)Get16(frame), nullptr);
        if (name) {
            DescribePpp(text, frame, frameLength, name);
            return text->data;
        }
    }
    if (version == 4) {
        DescribeIp(text, p, length); // a broken header, shown as far as it goes
        return text->data;
    }
    // The Linux TUN device hands up IPv6 (and anything else) as well.
    TEXTBUF_AppendPrintf(text, "ipver=%u", version);
    return text->data;
}

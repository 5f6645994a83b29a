#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "capture_file.h"
#include "host_tool.h"
#include "pcap_writer.h"

namespace {

typedef std::vector<uint8_t> Bytes;

Bytes OnDisk(const ScratchFile &f)
{
    std::string s = f.OnDisk();
    return Bytes(s.begin(), s.end());
}

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const Bytes &p : parts)
        out.insert(out.end(), p.begin(), p.end());
    return out;
}

// LCP Configure-Request (magic number, protocol-field compression) and its Ack.
const Bytes kLcpRequest = {0xC0, 0x21, 0x01, 0x01, 0x00, 0x0C, 0x05, 0x06,
                           0x12, 0x34, 0x56, 0x78, 0x07, 0x02};
const Bytes kLcpAckFramed = {0xFF, 0x03, 0xC0, 0x21, 0x02, 0x01, 0x00, 0x0C,
                             0x05, 0x06, 0x12, 0x34, 0x56, 0x78, 0x07, 0x02};

const Bytes kHeader = {0xD4, 0xC3, 0xB2, 0xA1, 0x02, 0x00, 0x04, 0x00, 0x00, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF, 0x00, 0x00, 0xCC, 0x00, 0x00, 0x00};

TEST(PcapWriter, FileBytesOfASmallCaptureAreOnDiskAfterEveryRecord)
{
    ScratchFile f("pcap_golden");
    PcapWriter *w = PCAP_Open(f.file(), PCAP_MODE_DIRECTION);
    ASSERT_NE(nullptr, w);
    EXPECT_EQ(kHeader, OnDisk(f));

    PCAP_WriteRecordAt(w, kLcpRequest.data(), 14, PCAP_SENT, 5250);
    Bytes sent = Cat({{0x05, 0, 0, 0, 0x90, 0xD0, 0x03, 0x00, 0x0F, 0, 0, 0, 0x0F, 0, 0, 0, 0x01},
                      kLcpRequest});
    EXPECT_EQ(Cat({kHeader, sent}), OnDisk(f));

    // Any non-zero flag means received; the file says 0 for that.
    PCAP_WriteRecordAt(w, kLcpAckFramed.data(), 16, 7, 61999);
    Bytes received = Cat({{0x3D, 0, 0, 0, 0x58, 0x3E, 0x0F, 0x00, 0x11, 0, 0, 0, 0x11, 0, 0, 0, 0x00},
                          kLcpAckFramed});
    EXPECT_EQ(Cat({kHeader, sent, received}), OnDisk(f));

    PCAP_Close(w);
    // The stream stays open for its owner.
    EXPECT_EQ(0, fputc('x', f.file()) == EOF);
}

TEST(PcapWriter, PlainModeAndEdgeCases)
{
    EXPECT_EQ(nullptr, PCAP_Open(nullptr, PCAP_MODE_DIRECTION));
    PCAP_WriteRecord(nullptr, kLcpRequest.data(), 14, PCAP_SENT);
    PCAP_Close(nullptr);

    // Mode 0 (and any mode but 1) writes bare PPP frames with the PPP link type.
    ScratchFile f("pcap_plain");
    PcapWriter *w = PCAP_Open(f.file(), 3);
    ASSERT_NE(nullptr, w);
    EXPECT_EQ(PCAP_MODE_PLAIN, w->mode);
    PCAP_WriteRecordAt(w, kLcpRequest.data(), 14, PCAP_RECEIVED, 999);
    Bytes header = kHeader;
    header[20] = 0x09;
    EXPECT_EQ(Cat({header, {0, 0, 0, 0, 0x58, 0x3E, 0x0F, 0x00, 0x0E, 0, 0, 0, 0x0E, 0, 0, 0}, kLcpRequest}),
              OnDisk(f));
    PCAP_Close(w);

    // A frame beyond the snapshot length is cut; its wire length stays whole.
    ScratchFile big("pcap_big");
    w = PCAP_Open(big.file(), PCAP_MODE_DIRECTION);
    Bytes huge(70000, 0x21);
    PCAP_WriteRecordAt(w, huge.data(), 70000, PCAP_SENT, 0);
    Bytes disk = OnDisk(big);
    ASSERT_EQ(24u + 16u + 65535u, disk.size());
    EXPECT_EQ(Bytes({0xFF, 0xFF, 0, 0, 0x71, 0x11, 0x01, 0x00}), Bytes(disk.begin() + 32, disk.begin() + 40));
    PCAP_Close(w);
}

uint16_t Checksum(const Bytes &b, size_t from, size_t to)
{
    uint32_t sum = 0;
    for (size_t i = from; i + 1 < to; i += 2)
        sum += static_cast<uint32_t>(b[i] << 8 | b[i + 1]);
    while (sum >> 16)
        sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

// PPP frame (protocol 0x0021) holding an ICMP echo request 10.0.0.2 -> 10.0.0.1.
Bytes IcmpFrame()
{
    Bytes f = {0x00, 0x21,
               0x45, 0x00, 0x00, 0x1C, 0x00, 0x01, 0x00, 0x00, 0x40, 0x01, 0x00, 0x00,
               10, 0, 0, 2, 10, 0, 0, 1,
               0x08, 0x00, 0x00, 0x00, 0x12, 0x34, 0x00, 0x01};
    uint16_t ip = Checksum(f, 2, 22);
    f[12] = static_cast<uint8_t>(ip >> 8);
    f[13] = static_cast<uint8_t>(ip);
    uint16_t icmp = Checksum(f, 22, 30);
    f[24] = static_cast<uint8_t>(icmp >> 8);
    f[25] = static_cast<uint8_t>(icmp);
    return f;
}

TEST(PcapWriter, PacketAnalyserDecodesEveryFrameWithItsDirection)
{
    std::string tshark = HostToolPath("tshark");
    if (tshark.empty())
        GTEST_SKIP() << "tshark is not installed on this host";

    struct Frame {
        Bytes bytes;
        uint32_t received;
        const char *protocol;   // as the analyser names it
    };
    const std::vector<Frame> frames = {
        {kLcpRequest, 0, "0xc021"},
        {kLcpAckFramed, 1, "0xc021"},
        {{0x80, 0x21, 0x01, 0x01, 0x00, 0x0A, 0x03, 0x06, 10, 0, 0, 2}, 0, "0x8021"},
        {{0x40, 0x5B, 0x01, 0x02, 0x00, 0x0C, 0x12, 0x34, 0x56, 0x78, 0x40, 0x84, 0x93, 0x00}, 1, "0x405b"},
        {IcmpFrame(), 0, "0x0021"},
    };
    ScratchFile f("pcap_tshark");
    PcapWriter *w = PCAP_Open(f.file(), PCAP_MODE_DIRECTION);
    ASSERT_NE(nullptr, w);
    for (size_t i = 0; i < frames.size(); i++)
        PCAP_WriteRecordAt(w, frames[i].bytes.data(), static_cast<uint32_t>(frames[i].bytes.size()),
                           frames[i].received, 1000 * static_cast<uint32_t>(i));
    // Deliberately not closed: every record must already be readable.

    std::string out;
    ASSERT_EQ(0, HostToolRun(tshark + " -r " + f.path() +
                                 " -T fields -E separator=, -e frame.number -e frame.p2p_dir -e ppp.protocol"
                                 " 2>/dev/null",
                             &out));
    std::string expected;
    for (size_t i = 0; i < frames.size(); i++) {
        // The analyser counts the direction from the other side: 0 is sent.
        expected += std::to_string(i + 1) + "," + (frames[i].received ? "1" : "0") + "," +
                    frames[i].protocol + "\n";
    }
    EXPECT_EQ(expected, out);

    std::string detail;
    ASSERT_EQ(0, HostToolRun(tshark + " -r " + f.path() + " -V 2>&1", &detail));
    EXPECT_EQ(std::string::npos, detail.find("Malformed")) << detail;
    EXPECT_NE(std::string::npos, detail.find("Internet Control Message Protocol"));
    PCAP_Close(w);
}

}  // namespace

// PPP-over-TLS framing and the PPP glue, against an in-process TLS peer on
// loopback whose script controls the record boundaries.
#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "capture_file.h"
#include "cp_wrapper.h"
#include "errorinfo.h"
#include "gui_active.h"
#include "ip_address.h"
#include "log_capture.h"
#include "net_ppp.h"
#include "net_ssl.h"
#include "net_tcp.h"
#include "pcap_writer.h"
#include "pkt_buffer.h"
#include "ppp.h"
#include "str.h"
#include "timer.h"
#include "tls_test_server.h"
#include "tunlex.h"

namespace {

using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

Bytes Header(uint32_t magic, uint32_t length)
{
    TUNLEX_FrameHeader h = {magic, length};
    Bytes out(TUNLEX_FRAME_HEADER_SIZE);
    TUNLEX_FrameHeaderEncode(&h, out.data());
    return out;
}

Bytes Cat(Bytes a, const Bytes &b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Slice(const Bytes &b, size_t from, size_t to)
{
    return Bytes(b.begin() + static_cast<long>(from), b.begin() + static_cast<long>(to));
}

// An IPv4 frame (protocol 0x0021) of n payload bytes in all, the protocol
// field included; the body is a counting pattern.
Bytes IpFrame(uint32_t n)
{
    Bytes f(n);
    f[0] = 0x00;
    f[1] = 0x21;
    for (uint32_t i = 2; i < n; ++i)
        f[i] = static_cast<uint8_t>(i * 7);
    return f;
}

uint64_t g_tick = 0;
uint64_t FakeTick() { return g_tick; }

// One frame as the gateway receives it: the payload, or empty at the end.
Bytes ReadFrameAtPeer(SSL *ssl)
{
    uint8_t raw[TUNLEX_FRAME_HEADER_SIZE];
    if (!TlsReadAll(ssl, raw, sizeof raw))
        return {};
    TUNLEX_FrameHeader h;
    TUNLEX_FrameHeaderDecode(raw, &h);
    if (h.magic != TUNLEX_FRAME_MAGIC || h.length == 0 || h.length > 65536)
        return {};
    Bytes payload(h.length);
    if (!TlsReadAll(ssl, payload.data(), static_cast<int>(h.length)))
        return {};
    return payload;
}

void WriteRecord(SSL *ssl, const Bytes &b)
{
    if (!b.empty())
        SSL_write(ssl, b.data(), static_cast<int>(b.size()));
}

// Records of a capture file: direction byte and frame.
struct CaptureRecord {
    uint8_t direction;
    Bytes frame;
};

std::vector<CaptureRecord> ReadCapture(const ScratchFile &file)
{
    std::string all = file.OnDisk();
    std::vector<CaptureRecord> out;
    size_t at = PCAP_HEADER_SIZE;
    while (at + PCAP_RECORD_HEADER_SIZE <= all.size()) {
        uint32_t incl;
        memcpy(&incl, all.data() + at + 8, 4);
        at += PCAP_RECORD_HEADER_SIZE;
        if (incl == 0 || at + incl > all.size())
            break;
        CaptureRecord r;
        r.direction = static_cast<uint8_t>(all[at]);
        r.frame.assign(all.begin() + static_cast<long>(at) + 1,
                       all.begin() + static_cast<long>(at + incl));
        out.push_back(r);
        at += incl;
    }
    return out;
}

// The gateway's side of PPP: no authentication or PAP, IPCP handing out
// fixed addresses, and the vendor protocol rejected or left unanswered.
struct ScriptedGateway {
    bool demandPap = false;
    bool papRefuses = false;
    std::string otpState;       // non-empty: the refusal asks for a one-time password
    std::string otpPrompt;
    bool rejectVsp = true;
    std::atomic<int> framesIn{0};
    std::atomic<int> framesOut{0};

    static Bytes Packet(uint16_t proto, uint8_t code, uint8_t id, const Bytes &body)
    {
        uint16_t len = static_cast<uint16_t>(4 + body.size());
        Bytes p = {static_cast<uint8_t>(proto >> 8), static_cast<uint8_t>(proto), code, id,
                   static_cast<uint8_t>(len >> 8), static_cast<uint8_t>(len)};
        return Cat(p, body);
    }

    void Send(SSL *ssl, const Bytes &frame)
    {
        WriteRecord(ssl, Cat(Header(TUNLEX_FRAME_MAGIC, static_cast<uint32_t>(frame.size())), frame));
        framesOut++;
    }

    // IPCP options with the gateway's values: address 10.0.0.2, DNS 0 and
    // 10.0.0.53 (so DNS2 moves up), NBNS 10.0.0.1.
    static Bytes Naked(const Bytes &options)
    {
        Bytes out;
        for (size_t at = 0; at + 2 <= options.size() && options[at + 1] >= 2;) {
            uint8_t type = options[at], len = options[at + 1];
            Bytes opt(options.begin() + static_cast<long>(at),
                      options.begin() + static_cast<long>(at + len));
            if (len == 6) {
                uint8_t v[4] = {0, 0, 0, 0};
                if (type == 3) { v[0] = 10; v[3] = 2; }
                if (type == 131) { v[0] = 10; v[3] = 53; }
                if (type == 130 || type == 132) { v[0] = 10; v[3] = 1; }
                memcpy(opt.data() + 2, v, 4);
            }
            out = Cat(out, opt);
            at += len;
        }
        return out;
    }

    void Run(SSL *ssl)
    {
        Bytes lcpOptions;
        if (demandPap)
            lcpOptions = {0x03, 0x04, 0xC0, 0x23};
        Send(ssl, Packet(PPP_PROTO_LCP, 1, 1, lcpOptions));
        bool ipcpRequested = false;
        for (;;) {
            Bytes f = ReadFrameAtPeer(ssl);
            if (f.size() < 6)
                return;
            framesIn++;
            uint16_t proto = static_cast<uint16_t>((f[0] << 8) | f[1]);
            uint8_t code = f[2], id = f[3];
            Bytes body(f.begin() + 6, f.end());
            if (proto == PPP_PROTO_LCP && code == 1) {
                Send(ssl, Packet(PPP_PROTO_LCP, 2, id, body));
            } else if (proto == PPP_PROTO_LCP && code == 9) {
                Send(ssl, Packet(PPP_PROTO_LCP, 10, id, Bytes(4, 0)));
            } else if (proto == PPP_PROTO_LCP && code == 5) {
                Send(ssl, Packet(PPP_PROTO_LCP, 6, id, {}));
            } else if (proto == PPP_PROTO_PAP && code == 1) {
                Bytes msg = {0};
                if (!otpState.empty()) {
                    // Message: 1, the state's length, the state, the prompt.
                    Bytes form = {1, static_cast<uint8_t>(otpState.size())};
                    form.insert(form.end(), otpState.begin(), otpState.end());
                    form.insert(form.end(), otpPrompt.begin(), otpPrompt.end());
                    msg = Cat({static_cast<uint8_t>(form.size())}, form);
                }
                Send(ssl, Packet(PPP_PROTO_PAP, papRefuses ? 3 : 2, id, msg));
            } else if (proto == PPP_PROTO_IPCP && code == 1) {
                if (!ipcpRequested) {
                    ipcpRequested = true;
                    Send(ssl, Packet(PPP_PROTO_IPCP, 1, 1, {0x03, 0x06, 10, 0, 0, 1}));
                }
                Bytes values = Naked(body);
                Send(ssl, Packet(PPP_PROTO_IPCP, values == body ? 2 : 3, id, values));
            } else if (proto == PPP_PROTO_VSP && rejectVsp) {
                Bytes rejected = Cat({0x40, 0x5B}, Bytes(f.begin() + 2, f.end()));
                Send(ssl, Packet(PPP_PROTO_LCP, 8, 0x77, rejected));
            }
        }
    }
};

// A connection over real TLS to the test peer, with the timer service on a
// clock that only the test moves, and the states it went through.
class PppOverTls : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(NETTCP_Init(nullptr), 1);
        NETSSL_Init(nullptr);
        TestCertificate::Get();
    }

    void SetUp() override
    {
        TIMER_TestReset();
        g_tick = 0;
        ASSERT_EQ(TIMER_Init(16, 64, 1000, FakeTick), 1);
        PKT_PoolInit();
        conn = TUNLEX_Create();
        ASSERT_NE(conn, nullptr);
        STR_LCopy(conn->config.server, "127.0.0.1", sizeof conn->config.server);
        STR_LCopy(conn->config.user, "alice", sizeof conn->config.user);
        STR_LCopy(conn->config.password, "secret", sizeof conn->config.password);
        TUNLEX_SetStateCallback(conn, RecordState, this);
        GUI_ActiveConnection = conn;
    }

    void TearDown() override
    {
        Close();
        server.reset();
        GUI_ActiveConnection = nullptr;
        if (capture)
            PCAP_Close(capture);
        ERRORINFO_Clear(&conn->error, "test", 0);
        delete conn;
        EXPECT_EQ(PKT_PoolInUseCount(), 0u) << "a frame buffer leaked";
        TIMER_Stats stats;
        TIMER_TestGetStats(&stats);
        EXPECT_EQ(stats.pendingOfCaller, 0u) << "a timer outlived the attempt";
        TIMER_TestReset();
    }

    // Starts the peer with its script and connects to it.
    void Connect(TlsTestServer::Script script)
    {
        server.reset(new TlsTestServer({}, std::move(script)));
        ASSERT_TRUE(server->ok());
        conn->config.port = server->port();
        ASSERT_EQ(NETTCP_Connect(conn, &conn->error), 1) << Message();
        ASSERT_EQ(NETSSL_Connect(conn, &conn->error), 1) << Message();
        TUNLEX_SetState(conn, TUNLEX_STATE_CONNECTING, TUNLEX_KIND_PPP_PHASE);
        states.clear();
    }

    // The end of the attempt as the connection thread runs it.
    void Close()
    {
        if (!conn)
            return;
        NETPPP_Stop(conn);
        NETPPP_Free(conn);
        NETSSL_Free(conn);
        NETTCP_Close(conn);
    }

    // A link context that passes IPv4 frames up, for the reader's cases.
    void NetworkPhaseLink()
    {
        conn->ppp = new PPP_Context();
        PPP_Config cfg = {};
        cfg.output = NETPPP_Output;
        cfg.user = conn;
        PPP_Init(conn->ppp, &cfg);
        conn->ppp->phase = PPP_PHASE_NETWORK;
    }

    void StartCapture()
    {
        capture = PCAP_Open(captureFile.file(), PCAP_MODE_DIRECTION);
        TUNLEX_SetCapture(conn, capture);
    }

    // Reads as the handshake wait does until the state leaves Connecting or
    // the time runs out; IPv4 packets are released.
    void PumpWhileConnecting(int ms)
    {
        auto start = Clock::now();
        while (conn->state == TUNLEX_STATE_CONNECTING && !conn->abortFlag &&
               Clock::now() - start < std::chrono::milliseconds(ms)) {
            CP_PollTimers();
            if (NETTCP_Readable(conn))
                PKT_Release(NETPPP_ReadFrame(conn));
            else
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    std::string Message() const { return conn->error.message ? conn->error.message : ""; }

    static void RecordState(TUNLEX_Connection *, void *user, TUNLEX_State state,
                            TUNLEX_ErrorKind kind)
    {
        static_cast<PppOverTls *>(user)->states.push_back({state, kind});
    }

    struct StateRecord {
        TUNLEX_State state;
        TUNLEX_ErrorKind kind;
    };
    TUNLEX_Connection *conn = nullptr;
    ScriptedGateway gw;     // outlives the peer's thread, which runs its script
    std::unique_ptr<TlsTestServer> server;
    std::vector<StateRecord> states;
    ScratchFile captureFile{"netppp_capture"};
    PcapWriter *capture = nullptr;
};

// ---------------------------------------------------------------------------
// Writer

TEST_F(PppOverTls, OutputPutsTheHeaderInFrontAndCapturesTheBareFrame)
{
    const Bytes lcp = {0xC0, 0x21, 0x01, 0x01, 0x00, 0x0C, 0x01, 0x04, 0x05, 0x78, 0x05, 0x06, 0x11, 0x22};
    ASSERT_EQ(lcp.size(), 14u);
    Bytes datagram(20);
    for (size_t i = 0; i < datagram.size(); ++i)
        datagram[i] = static_cast<uint8_t>(0x45 + i);
    std::atomic<bool> got{false}, read{false};
    Bytes wire;
    Connect([&](SSL *ssl, BIO *, const std::atomic<bool> &) {
        wire.resize(8 + 14 + 8 + 2 + 20);
        got = TlsReadAll(ssl, wire.data(), static_cast<int>(wire.size()));
        read = true;
    });
    NetworkPhaseLink();
    StartCapture();

    PKT_Buffer *b = PKT_Alloc(nullptr);
    PKT_Reset(b);
    ASSERT_TRUE(PKT_Reserve(b, 14));
    memcpy(PKT_Data(b), lcp.data(), 14);
    b->length = 14;
    NETPPP_Output(b, conn);
    // An adapter packet goes out as protocol 0x0021 without FF 03.
    EXPECT_EQ(NETPPP_SendIP(conn, PKT_FromTap(datagram.data(), 20)), 1);
    // Closing with the peer's session tickets unread resets the connection,
    // and the reset throws away what the peer has not read yet.
    for (int i = 0; i < 5000 && !read; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Close();
    server.reset();

    ASSERT_TRUE(got);
    Bytes ipFrame = Cat({0x00, 0x21}, datagram);
    EXPECT_EQ(wire, Cat(Cat(Cat({0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x00, 0x0E}, lcp),
                            {0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x00, 0x16}),
                        ipFrame));
    std::vector<CaptureRecord> recs = ReadCapture(captureFile);
    ASSERT_EQ(recs.size(), 2u);
    EXPECT_EQ(recs[0].direction, 1) << "sent frames carry direction byte 1";
    EXPECT_EQ(recs[0].frame, lcp);
    EXPECT_EQ(recs[1].frame, ipFrame);
}

// A burst gathered between BeginBatch and FlushBatch is the same frames in
// the same order, one frame per TLS record, inside a batch and outside.
TEST_F(PppOverTls, BatchedFramesGoOneFramePerRecordWithTheSameBytes)
{
    const size_t kFrames = 20, kDatagram = 1000, kFrame = 8 + 2 + kDatagram;
    std::atomic<bool> read{false};
    Bytes wire;
    std::vector<int> records;
    Connect([&](SSL *ssl, BIO *, const std::atomic<bool> &) {
        uint8_t buf[16384];
        while (wire.size() < (kFrames + 1) * kFrame) {
            int n = SSL_read(ssl, buf, sizeof buf);   // at most one record
            if (n <= 0)
                break;
            records.push_back(n);
            wire.insert(wire.end(), buf, buf + n);
        }
        read = true;
    });
    NetworkPhaseLink();

    Bytes expected;
    NETPPP_BeginBatch(conn);
    for (size_t i = 0; i <= kFrames; ++i) {
        if (i == kFrames)
            NETPPP_FlushBatch(conn);   // the last one goes out on its own
        Bytes datagram(kDatagram, static_cast<uint8_t>(i));
        datagram[0] = 0x45;
        EXPECT_EQ(NETPPP_SendIP(conn, PKT_FromTap(datagram.data(), kDatagram)), 1);
        expected = Cat(Cat(expected, {0x12, 0x34, 0x56, 0x78, 0x00, 0x00, 0x03, 0xEA, 0x00, 0x21}),
                       datagram);
    }
    EXPECT_EQ(conn->ssl->corked, 0);
    for (int i = 0; i < 5000 && !read; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Close();
    server.reset();

    EXPECT_EQ(wire, expected);
    EXPECT_EQ(records, std::vector<int>(kFrames + 1, static_cast<int>(kFrame)));
}

TEST_F(PppOverTls, OutputWithoutTlsOnlyReleasesTheFrame)
{
    PKT_Buffer *b = PKT_Alloc(nullptr);
    PKT_Reset(b);
    PKT_Reserve(b, 2);
    b->length = 2;
    NETPPP_Output(b, conn);
    NETPPP_Output(nullptr, conn);
    uint8_t ip[20] = {0x45};
    EXPECT_EQ(NETPPP_SendIP(conn, PKT_FromTap(ip, sizeof ip)), 0) << "no link to send on";
    EXPECT_EQ(PKT_PoolInUseCount(), 0u);
}

// ---------------------------------------------------------------------------
// Reader

struct ReadCase {
    const char *name;
    std::vector<Bytes> records;         // what the peer writes, one TLS record each
    bool closeAfter;                    // then close_notify
    std::vector<int32_t> frames;        // per NETPPP_ReadFrame: IPv4 length returned, 0 null
    TUNLEX_State state;                 // after the reads
    TUNLEX_ErrorKind kind;
    const char *message;                // prefix; "" for an empty chain
};

class FrameReader : public PppOverTls, public ::testing::WithParamInterface<ReadCase> {};

TEST_P(FrameReader, ReadsWholeFramesAndEndsTheAttemptOnFramingErrors)
{
    const ReadCase &c = GetParam();
    Connect([&](SSL *ssl, BIO *, const std::atomic<bool> &stop) {
        for (const Bytes &r : c.records)
            WriteRecord(ssl, r);
        if (c.closeAfter)
            SSL_shutdown(ssl);
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    NetworkPhaseLink();
    StartCapture();

    uint32_t accepted = 0;
    for (size_t i = 0; i < c.frames.size(); ++i) {
        PKT_Buffer *b = NETPPP_ReadFrame(conn);
        if (c.frames[i] == 0) {
            EXPECT_EQ(b, nullptr) << "read " << i;
            PKT_Release(b);
            continue;
        }
        ASSERT_NE(b, nullptr) << "read " << i << ": " << Message();
        EXPECT_EQ(PKT_Length(b), static_cast<uint32_t>(c.frames[i]) - 2);
        Bytes expect = IpFrame(static_cast<uint32_t>(c.frames[i]));
        EXPECT_EQ(0, memcmp(PKT_Data(b), expect.data() + 2, expect.size() - 2));
        PKT_Release(b);
        accepted++;
    }
    EXPECT_EQ(conn->state.load(), c.state);
    EXPECT_EQ(conn->kind.load(), c.kind);
    EXPECT_EQ(Message().rfind(c.message, 0), 0u) << Message();
    if (!*c.message) {
        EXPECT_TRUE(ERRORINFO_IsEmpty(&conn->error)) << Message();
    }

    std::vector<CaptureRecord> recs = ReadCapture(captureFile);
    EXPECT_EQ(recs.size(), accepted) << "one record per frame read";
    for (const CaptureRecord &r : recs)
        EXPECT_EQ(r.direction, 0) << "received frames carry direction byte 0";
}

const Bytes kMagic = {0x12, 0x34, 0x56, 0x78};
// A payload whose second half begins with the frame magic.
Bytes MagicInside()
{
    Bytes f = IpFrame(40);
    memcpy(f.data() + 20, kMagic.data(), 4);
    return f;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FrameReader,
    ::testing::Values(
        ReadCase{"LargestFrame", {Cat(Header(TUNLEX_FRAME_MAGIC, 2048), IpFrame(2048))}, false,
                 {2048}, TUNLEX_STATE_CONNECTING, TUNLEX_KIND_PPP_PHASE, ""},
        ReadCase{"HeaderAndPayloadSplitOverRecords",
                 {{0x12, 0x34, 0x56}, {0x78, 0x00, 0x00, 0x00, 0x28},
                  Slice(IpFrame(40), 0, 20),
                  Slice(IpFrame(40), 20, 40),
                  Cat(Header(TUNLEX_FRAME_MAGIC, 10), IpFrame(10))},
                 false, {40, 10}, TUNLEX_STATE_CONNECTING, TUNLEX_KIND_PPP_PHASE, ""},
        ReadCase{"ZeroLengthFrameIsDropped",
                 {Header(TUNLEX_FRAME_MAGIC, 0), Cat(Header(TUNLEX_FRAME_MAGIC, 6), IpFrame(6))},
                 false, {0, 6}, TUNLEX_STATE_CONNECTING, TUNLEX_KIND_PPP_PHASE, ""},
        ReadCase{"BadMagic", {Header(0x78563412, 4)}, false, {0}, TUNLEX_STATE_ERROR,
                 TUNLEX_KIND_SSL, "Invalid magic in SSL stream (0x78563412)"},
        ReadCase{"HttpAnswerInsteadOfFrames", {{'H', 'T', 'T', 'P', '/', '1', '.', '1'}}, false,
                 {0}, TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL, "Invalid magic in SSL stream (0x48545450)"},
        ReadCase{"OneByteAboveABuffer",
                 {Cat(Header(TUNLEX_FRAME_MAGIC, 2049), IpFrame(2049)),
                  Cat(Header(TUNLEX_FRAME_MAGIC, 6), IpFrame(6))},
                 false, {0}, TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL,
                 "Invalid frame length in SSL stream (2049)"},
        ReadCase{"LengthWithTheTopBitSet", {Header(TUNLEX_FRAME_MAGIC, 0x80000000u)}, false, {0},
                 TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL,
                 "Invalid frame length in SSL stream (2147483648)"},
        ReadCase{"CloseNotifyInsidePayload",
                 {Cat(Header(TUNLEX_FRAME_MAGIC, 40), Slice(IpFrame(40), 0, 10))},
                 true, {0}, TUNLEX_STATE_ERROR, TUNLEX_KIND_SSL, "SSL stream closed unexpectedly"},
        ReadCase{"CloseNotifyInsideHeader", {{0x12, 0x34}}, true, {0}, TUNLEX_STATE_ERROR,
                 TUNLEX_KIND_SSL, "SSL stream closed unexpectedly"}),
    [](const ::testing::TestParamInfo<ReadCase> &info) { return std::string(info.param.name); });

// A payload that spans two records, the second beginning with 12 34 56 78,
// is still one frame: TLS is a reliable stream and nothing is ever dropped.
TEST_F(PppOverTls, PayloadContinuingWithTheMagicIsReadWholeWithTheRereadLines)
{
    Bytes f = MagicInside();
    Connect([&](SSL *ssl, BIO *, const std::atomic<bool> &stop) {
        WriteRecord(ssl, Cat(Header(TUNLEX_FRAME_MAGIC, 40), Bytes(f.begin(), f.begin() + 20)));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        WriteRecord(ssl, Bytes(f.begin() + 20, f.end()));
        WriteRecord(ssl, Cat(Header(TUNLEX_FRAME_MAGIC, 6), IpFrame(6)));
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    NetworkPhaseLink();
    LogCapture log;

    PKT_Buffer *b = NETPPP_ReadFrame(conn);
    ASSERT_NE(b, nullptr) << Message();
    ASSERT_EQ(PKT_Length(b), 38u);
    EXPECT_EQ(0, memcmp(PKT_Data(b), f.data() + 2, 38));
    PKT_Release(b);
    b = NETPPP_ReadFrame(conn);
    EXPECT_NE(b, nullptr) << "the stream stayed in step";
    PKT_Release(b);
    EXPECT_EQ(conn->state.load(), TUNLEX_STATE_CONNECTING);
    std::string text = log.Text();
    EXPECT_NE(text.find("Wanted 40 got 20"), std::string::npos) << text;
    EXPECT_NE(text.find("Got less data than wanted, reread the missing data\n"), std::string::npos);
}

// Disconnect while a frame's rest is outstanding: the read gives up within
// the abort poll, and neither the state nor the chain claims a failure.
TEST_F(PppOverTls, AbortDuringAFrameLeavesStateAndChainToTheThread)
{
    Connect([&](SSL *ssl, BIO *, const std::atomic<bool> &stop) {
        WriteRecord(ssl, Cat(Header(TUNLEX_FRAME_MAGIC, 40), Bytes(4, 0)));
        while (!stop)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    });
    NetworkPhaseLink();
    std::thread aborter([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        conn->abortFlag = 1;
    });
    auto start = Clock::now();
    PKT_Buffer *b = NETPPP_ReadFrame(conn);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
    aborter.join();
    EXPECT_EQ(b, nullptr);
    EXPECT_LT(took, 400);
    EXPECT_EQ(conn->state.load(), TUNLEX_STATE_CONNECTING);
    EXPECT_TRUE(ERRORINFO_IsEmpty(&conn->error)) << Message();
}

TEST_F(PppOverTls, PeerGoneWithoutCloseNotifyIsAnSslError)
{
    Connect([&](SSL *ssl, BIO *, const std::atomic<bool> &) {
        WriteRecord(ssl, {0x12, 0x34, 0x56});
        // The script returns and the socket closes without close_notify.
    });
    NetworkPhaseLink();
    EXPECT_EQ(NETPPP_ReadFrame(conn), nullptr);
    EXPECT_EQ(conn->state.load(), TUNLEX_STATE_ERROR);
    EXPECT_TRUE(conn->kind == TUNLEX_KIND_SSL || conn->kind == TUNLEX_KIND_SOCKET_CLOSED);
    EXPECT_FALSE(ERRORINFO_IsEmpty(&conn->error));
}

// ---------------------------------------------------------------------------
// A whole handshake against a scripted gateway built from literal frames.

TEST_F(PppOverTls, HandshakeReachesPppUpWithTheVendorProtocolRejected)
{
    Connect([&](SSL *ssl, BIO *, const std::atomic<bool> &) { gw.Run(ssl); });
    StartCapture();
    ASSERT_EQ(NETPPP_Start(conn, &conn->error), 1);
    PumpWhileConnecting(3000);

    ASSERT_EQ(conn->state.load(), TUNLEX_STATE_PPP_UP) << Message();
    int ups = 0;
    for (const StateRecord &s : states)
        ups += s.state == TUNLEX_STATE_PPP_UP;
    EXPECT_EQ(ups, 1);
    EXPECT_EQ(conn->netcfg.ClientIP, Ip(10, 0, 0, 2));
    EXPECT_EQ(conn->netcfg.ServerIP, Ip(10, 0, 0, 1));
    EXPECT_EQ(conn->netcfg.DNS1, Ip(10, 0, 0, 53)) << "DNS2 moves up when DNS1 is 0";
    EXPECT_EQ(conn->netcfg.DNS2, 0u);
    EXPECT_EQ(conn->netcfg.NBNS1, Ip(10, 0, 0, 1));
    EXPECT_EQ(conn->netcfg.MTU, 1400u);
    EXPECT_EQ(conn->netcfg.MRU, 1500u);
    EXPECT_EQ(conn->ipcpUp, 1u);
    EXPECT_EQ(conn->vspDone, 1u);

    // The stop sends its Terminate-Request and changes no state.
    NETPPP_Stop(conn);
    NETPPP_Free(conn);
    EXPECT_EQ(conn->state.load(), TUNLEX_STATE_PPP_UP);
    NETSSL_Free(conn);
    NETTCP_Close(conn);
    server.reset();

    std::vector<CaptureRecord> recs = ReadCapture(captureFile);
    int sent = 0, received = 0;
    for (const CaptureRecord &r : recs)
        (r.direction ? sent : received)++;
    EXPECT_EQ(received, gw.framesOut.load());
    EXPECT_GE(sent, gw.framesIn.load()) << "every frame the gateway read was captured";
}

TEST_F(PppOverTls, RefusedPasswordEndsInAuthenticationErrorBeforeTheLinkFinishes)
{
    gw.demandPap = true;
    gw.papRefuses = true;
    Connect([&](SSL *ssl, BIO *, const std::atomic<bool> &) { gw.Run(ssl); });
    ASSERT_EQ(NETPPP_Start(conn, &conn->error), 1);
    PumpWhileConnecting(3000);

    ASSERT_FALSE(states.empty());
    EXPECT_EQ(states.front().state, TUNLEX_STATE_ERROR);
    EXPECT_EQ(states.front().kind, TUNLEX_KIND_AUTHENTICATION);
    EXPECT_EQ(conn->state.load(), TUNLEX_STATE_ERROR);
    EXPECT_EQ(conn->kind.load(), TUNLEX_KIND_AUTHENTICATION);
    EXPECT_EQ(Message(), "Authentication failed");
}

TEST_F(PppOverTls, OtpRequestEndsInOtpPromptedWithTheAbortFlagAndTheStateSaved)
{
    gw.demandPap = true;
    gw.papRefuses = true;
    gw.otpState = "radius-42";
    gw.otpPrompt = "Enter the code";
    Connect([&](SSL *ssl, BIO *, const std::atomic<bool> &) { gw.Run(ssl); });
    ERRORINFO_Set(&conn->error, "test", 1, "stale");
    ASSERT_EQ(NETPPP_Start(conn, &conn->error), 1);
    PumpWhileConnecting(3000);

    EXPECT_EQ(conn->state.load(), TUNLEX_STATE_OTP_PROMPTED);
    EXPECT_EQ(conn->kind.load(), TUNLEX_KIND_UNKNOWN);
    EXPECT_EQ(conn->abortFlag.load(), 1u);
    EXPECT_TRUE(ERRORINFO_IsEmpty(&conn->error)) << Message();
    EXPECT_STREQ(conn->config.RadiusState, "radius-42");
    EXPECT_STREQ(conn->config.otpPrompt, "Enter the code");
    EXPECT_STREQ(conn->config.otp, "");
}

// A gateway that never answers the vendor protocol: it gives up and takes
// the link down, which must not count as the exchange being done.
TEST_F(PppOverTls, VendorProtocolGivingUpIsNotAFinishedExchange)
{
    gw.rejectVsp = false;
    Connect([&](SSL *ssl, BIO *, const std::atomic<bool> &) { gw.Run(ssl); });
    ASSERT_EQ(NETPPP_Start(conn, &conn->error), 1);
    PumpWhileConnecting(300);
    ASSERT_EQ(conn->ipcpUp, 1u) << Message();
    ASSERT_EQ(conn->state.load(), TUNLEX_STATE_CONNECTING);

    // Let the vendor protocol's restarts run out on virtual time.
    for (int s = 0; s < 60 && conn->state == TUNLEX_STATE_CONNECTING; ++s) {
        g_tick += 1000;
        CP_PollTimers();
        PumpWhileConnecting(20);
    }
    EXPECT_EQ(conn->vspDone, 0u);
    for (const StateRecord &s : states)
        EXPECT_NE(s.state, TUNLEX_STATE_PPP_UP);
    EXPECT_EQ(conn->state.load(), TUNLEX_STATE_ERROR);
    EXPECT_EQ(conn->kind.load(), TUNLEX_KIND_PPP_HANDSHAKE);
}

// ---------------------------------------------------------------------------
// Glue without a transport

class Glue : public ::testing::Test {
protected:
    void SetUp() override
    {
        TIMER_TestReset();
        g_tick = 0;
        ASSERT_EQ(TIMER_Init(16, 64, 1000, FakeTick), 1);
        PKT_PoolInit();
        conn = TUNLEX_Create();
        conn->ppp = new PPP_Context();
        TUNLEX_SetStateCallback(conn, Record, this);
    }
    void TearDown() override
    {
        NETPPP_Free(conn);
        ERRORINFO_Clear(&conn->error, "test", 0);
        delete conn;
        TIMER_TestReset();
    }
    static void Record(TUNLEX_Connection *, void *user, TUNLEX_State state, TUNLEX_ErrorKind)
    {
        static_cast<Glue *>(user)->states.push_back(state);
    }
    TUNLEX_Connection *conn = nullptr;
    std::vector<TUNLEX_State> states;
};

enum Source { LINK, IPCP, VSP };
struct Event {
    Source source;
    uint32_t code;
};
struct EventCase {
    const char *name;
    TUNLEX_State start;
    uint32_t vspRejected;
    std::vector<Event> events;
    TUNLEX_State state;
    TUNLEX_ErrorKind kind;
    int pppUpReports;
};

class GlueEvents : public Glue, public ::testing::WithParamInterface<EventCase> {};

TEST_P(GlueEvents, MoveTheStateAsTheLinkProgresses)
{
    const EventCase &c = GetParam();
    conn->state = c.start;
    conn->kind = c.start == TUNLEX_STATE_CONNECTING ? TUNLEX_KIND_PPP_PHASE : TUNLEX_KIND_UNKNOWN;
    conn->ppp->vspRecord.protocolRejected = c.vspRejected;
    conn->ppp->vspRecord.config.surviveProtocolReject = 1;
    for (const Event &e : c.events) {
        if (e.source == LINK)
            PPPHandle_PPP_EventHandler(e.code, conn);
        else if (e.source == IPCP)
            PPPHandle_IPCP_EventHandler(e.code, conn);
        else
            PPPHandle_VSP_EventHandler(e.code, conn);
    }
    EXPECT_EQ(conn->state.load(), c.state);
    EXPECT_EQ(conn->kind.load(), c.kind);
    int ups = 0;
    for (TUNLEX_State s : states)
        ups += s == TUNLEX_STATE_PPP_UP;
    EXPECT_EQ(ups, c.pppUpReports);
}

const TUNLEX_State kConnecting = TUNLEX_STATE_CONNECTING;
const TUNLEX_ErrorKind kPhase = TUNLEX_KIND_PPP_PHASE;

INSTANTIATE_TEST_SUITE_P(
    Cases, GlueEvents,
    ::testing::Values(
        EventCase{"IpcpUpThenVspRejected", kConnecting, 1,
                  {{IPCP, PPP_EVENT_UP}, {VSP, PPP_EVENT_FINISHED}, {VSP, PPP_EVENT_FINISHED}},
                  TUNLEX_STATE_PPP_UP, TUNLEX_KIND_UNKNOWN, 1},
        EventCase{"VspUpThenIpcpUpTwice", kConnecting, 0,
                  {{VSP, PPP_EVENT_UP}, {IPCP, PPP_EVENT_UP}, {IPCP, PPP_EVENT_UP}},
                  TUNLEX_STATE_PPP_UP, TUNLEX_KIND_UNKNOWN, 1},
        EventCase{"VspFinishedWithoutRejectIsNotDone", kConnecting, 0,
                  {{IPCP, PPP_EVENT_UP}, {VSP, PPP_EVENT_FINISHED}}, kConnecting, kPhase, 0},
        EventCase{"IpcpAloneIsNotEnough", kConnecting, 0,
                  {{IPCP, PPP_EVENT_UP}, {VSP, PPP_EVENT_STARTED}, {VSP, PPP_EVENT_DOWN}},
                  kConnecting, kPhase, 0},
        EventCase{"IpcpDownWhileConnecting", kConnecting, 0, {{IPCP, PPP_EVENT_DOWN}}, kConnecting,
                  kPhase, 0},
        EventCase{"IpcpDownWhileConnected", TUNLEX_STATE_CONNECTED, 0, {{IPCP, PPP_EVENT_DOWN}},
                  TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_HANDSHAKE, 0},
        EventCase{"IpcpDownDuringSetUp", TUNLEX_STATE_PPP_UP, 0, {{IPCP, PPP_EVENT_DOWN}},
                  TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_HANDSHAKE, 0},
        EventCase{"LinkFinishedWhileConnecting", kConnecting, 0, {{LINK, PPP_EVENT_FINISHED}},
                  TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_HANDSHAKE, 0},
        EventCase{"LinkFinishedDuringSetUp", TUNLEX_STATE_PPP_UP, 0, {{LINK, PPP_EVENT_FINISHED}},
                  TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_HANDSHAKE, 0},
        EventCase{"LinkFinishedWhileConnected", TUNLEX_STATE_CONNECTED, 0,
                  {{LINK, PPP_EVENT_FINISHED}, {LINK, PPP_EVENT_DOWN}}, TUNLEX_STATE_CONNECTED,
                  TUNLEX_KIND_UNKNOWN, 0},
        EventCase{"LateIpcpUpDoesNotUndoAnError", TUNLEX_STATE_ERROR, 1,
                  {{VSP, PPP_EVENT_FINISHED}, {IPCP, PPP_EVENT_UP}}, TUNLEX_STATE_ERROR,
                  TUNLEX_KIND_UNKNOWN, 0}),
    [](const ::testing::TestParamInfo<EventCase> &info) { return std::string(info.param.name); });

TEST_F(Glue, DnsServersAreNormalised)
{
    const struct {
        uint32_t dns1, dns2, want1, want2;
    } rows[] = {
        {0, Ip(10, 0, 0, 1), Ip(10, 0, 0, 1), 0},
        {Ip(10, 0, 0, 1), Ip(10, 0, 0, 1), Ip(10, 0, 0, 1), 0},
        {Ip(10, 0, 0, 1), Ip(10, 0, 0, 2), Ip(10, 0, 0, 1), Ip(10, 0, 0, 2)},
        {0, 0, 0, 0},
        {Ip(10, 0, 0, 1), 0, Ip(10, 0, 0, 1), 0},
    };
    conn->ppp->ourMRU = 1400;
    conn->ppp->peerMRU = 1300;
    for (const auto &r : rows) {
        conn->ppp->ipcpRecord.config.dns1 = r.dns1;
        conn->ppp->ipcpRecord.config.dns2 = r.dns2;
        NETPPP_UpdateNetworkConfig(conn);
        EXPECT_EQ(conn->netcfg.DNS1, r.want1);
        EXPECT_EQ(conn->netcfg.DNS2, r.want2);
    }
    EXPECT_EQ(conn->netcfg.MTU, 1300u) << "the smaller MRU";
    EXPECT_EQ(conn->netcfg.MRU, 1300u) << "the gateway's MRU";
}

TEST_F(Glue, FirstUrlOptionIsKeptAndOtherTypesRefused)
{
    const std::string first = "https://portal.example/a";
    const std::string second = "https://elsewhere.example/";
    // Values are not terminated in the packet: exact-size storage.
    Bytes v1(first.begin(), first.end()), v2(second.begin(), second.end());
    EXPECT_EQ(NETPPP_VspOption(0, 1, v1.data(), static_cast<uint16_t>(v1.size()), conn), 1);
    EXPECT_EQ(NETPPP_VspOption(1, 1, v2.data(), static_cast<uint16_t>(v2.size()), conn), 1);
    EXPECT_EQ(first, conn->gatewayUrl);
    EXPECT_EQ(NETPPP_VspOption(2, 2, v2.data(), static_cast<uint16_t>(v2.size()), conn), 0);

    conn->gatewayUrl[0] = '\0';
    Bytes longValue(3000, 'u');
    EXPECT_EQ(NETPPP_VspOption(0, 1, longValue.data(), 3000, conn), 1);
    EXPECT_EQ(strlen(conn->gatewayUrl), 2047u);
}

TEST_F(Glue, SaveCredentialsCopiesTheEnginesOtpTexts)
{
    STR_LCopy(conn->ppp->config.otp, "123456", sizeof conn->ppp->config.otp);
    STR_LCopy(conn->ppp->config.radiusState, "rs", sizeof conn->ppp->config.radiusState);
    STR_LCopy(conn->ppp->config.otpPrompt, "Enter the code", sizeof conn->ppp->config.otpPrompt);
    NETPPP_SaveCredentials(conn);
    EXPECT_STREQ(conn->config.otp, "123456");
    EXPECT_STREQ(conn->config.RadiusState, "rs");
    EXPECT_STREQ(conn->config.otpPrompt, "Enter the code");
}

}  // namespace

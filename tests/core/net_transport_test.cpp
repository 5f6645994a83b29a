// TCP and TLS transport against an in-process TLS peer on loopback
// (net_transport_test_linux.cpp adds a check by the openssl tool).
#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "errorinfo.h"
#include "gui_log.h"
#include "log_capture.h"
#include "net_socket.h"
#include "net_ssl.h"
#include "net_tcp.h"
#include "str.h"
#include "tls_test_server.h"
#include "transport_fixture.h"
#include "tunlex.h"

namespace {

using namespace transporttest;

// A TLS 1.3 peer sends session tickets after the handshake: the socket turns
// readable with no application data. The readiness test must take them in
// and answer "nothing yet" at once, where a blocking read would hang.
class TransportVersion : public Transport, public ::testing::WithParamInterface<int> {};

TEST_P(TransportVersion, HandshakeLeavesNothingToReadUntilThePeerSends)
{
    const int maxVersion = GetParam();
    std::atomic<bool> send{false};
    TlsTestServer server({TlsTestServer::TLS, maxVersion},
                         [&](SSL *ssl, BIO *, const std::atomic<bool> &stop) {
                             WaitFor(send, stop);
                             SSL_write(ssl, "x", 1);
                             WaitFor(stop, stop);
                         });
    Conn conn(server.port());
    ASSERT_TRUE(conn.Open()) << conn.Message();
    EXPECT_EQ(SSL_version(conn.c->ssl->ssl), maxVersion ? maxVersion : TLS1_3_VERSION);

    uint32_t code = 0;
    int rawReadable = NETSOCK_Wait(conn.c->socket, NETSOCK_WAIT_READ, 500, &code);
    if (!maxVersion) {
        EXPECT_EQ(rawReadable, 1) << "the tickets should have made the socket readable";
    }
    for (int i = 0; i < 3; ++i) {
        auto start = Clock::now();
        EXPECT_EQ(NETTCP_Readable(conn.c), 0);
        EXPECT_LT(MsSince(start), 50);
    }
    EXPECT_EQ(NETSOCK_Wait(conn.c->socket, NETSOCK_WAIT_READ, 0, &code), 0);

    send = true;
    ASSERT_TRUE(conn.WaitReadable(2000));
    char byte = 0;
    EXPECT_EQ(NETSSL_ReadExact(conn.c, &byte, 1), 1);
    EXPECT_EQ(byte, 'x');
    EXPECT_EQ(conn.c->state.load(), TUNLEX_STATE_DISCONNECTED);
}

INSTANTIATE_TEST_SUITE_P(Tls, TransportVersion, ::testing::Values(0, TLS1_2_VERSION),
                         [](const ::testing::TestParamInfo<int> &info) {
                             return std::string(info.param ? "Tls12Only" : "Tls13");
                         });

TEST_F(Transport, ConnectFillsAddressesAndLocalInterface)
{
    TlsTestServer server({}, IdleUntilStopped);
    Conn conn(server.port(), "localhost");
    ASSERT_EQ(NETTCP_Connect(conn.c, &conn.c->error), 1) << conn.Message();
    const uint32_t loopback = TlsTestServer::LoopbackAddress();
    EXPECT_NE(conn.c->socket, -1);
    EXPECT_EQ(conn.c->serverAddress, loopback);
    EXPECT_EQ(conn.c->localAddress, loopback);
    EXPECT_EQ(conn.c->localInterface.address, loopback);
    EXPECT_NE(conn.c->localInterface.ifIndex, 0u);
    NETTCP_Close(conn.c);
    EXPECT_EQ(conn.c->socket, -1);
    EXPECT_EQ(conn.c->serverAddress, 0u);
    EXPECT_EQ(conn.c->localAddress, 0u);
}

TEST_F(Transport, SendAndExactReadsCarryWholeBuffersAndSplitFrames)
{
    const std::string greeting = "TUNLEX 1.0\n\n";
    std::vector<unsigned char> block(65536);
    for (size_t i = 0; i < block.size(); ++i)
        block[i] = static_cast<unsigned char>(i * 7 + 3);
    std::atomic<bool> received{false}, sendFrame{false};
    std::string gotGreeting;
    std::vector<unsigned char> gotBlock(block.size());

    TlsTestServer server({}, [&](SSL *ssl, BIO *, const std::atomic<bool> &stop) {
        char g[12];
        if (!TlsReadAll(ssl, g, 12) ||
            !TlsReadAll(ssl, gotBlock.data(), static_cast<int>(gotBlock.size())))
            return;
        gotGreeting.assign(g, 12);
        received = true;
        WaitFor(sendFrame, stop);
        // A frame in four TLS records, the payload's second half starting
        // like a frame header; then bytes to drop and a marker.
        const unsigned char header[8] = {0x12, 0x34, 0x56, 0x78, 0, 0, 0, 8};
        SSL_write(ssl, header, 3);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SSL_write(ssl, header + 3, 5);
        SSL_write(ssl, "ABCD", 4);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        SSL_write(ssl, "\x12\x34\x56\x78", 4);
        std::vector<unsigned char> scrap(5000, 0x12);
        SSL_write(ssl, scrap.data(), static_cast<int>(scrap.size()));
        SSL_write(ssl, "END!", 4);
        WaitFor(stop, stop);
    });
    Conn conn(server.port());
    ASSERT_TRUE(conn.Open()) << conn.Message();

    EXPECT_EQ(NETSSL_Send(conn.c, greeting.data(), 12), 1);
    EXPECT_EQ(NETSSL_Send(conn.c, block.data(), static_cast<int32_t>(block.size())), 1);
    EXPECT_EQ(NETSSL_Send(conn.c, block.data(), 0), 0);
    auto start = Clock::now();
    while (!received && MsSince(start) < 3000)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(received);
    EXPECT_EQ(gotGreeting, greeting);
    EXPECT_TRUE(gotBlock == block);

    LogCapture log;
    sendFrame = true;
    unsigned char header[8] = {};
    ASSERT_EQ(NETSSL_ReadExact(conn.c, header, 8), 8) << conn.Message();
    const unsigned char expected[8] = {0x12, 0x34, 0x56, 0x78, 0, 0, 0, 8};
    EXPECT_EQ(memcmp(header, expected, 8), 0);
    EXPECT_NE(log.Text().find("Wanted 8 got 3\n"), std::string::npos) << log.Text();
    EXPECT_NE(log.Text().find("Got less data than wanted, reread the missing data\n"),
              std::string::npos);

    // TLS is a reliable stream: a continuation that starts like a frame
    // header is still this frame's payload, and nothing of it is dropped.
    unsigned char payload[8] = {};
    ASSERT_EQ(NETSSL_ReadExact(conn.c, payload, 8), 8) << conn.Message();
    EXPECT_EQ(memcmp(payload, "ABCD\x12\x34\x56\x78", 8), 0);
    EXPECT_NE(log.Text().find("Wanted 8 got 4\n"), std::string::npos) << log.Text();

    EXPECT_EQ(NETSSL_Discard(conn.c, 5000), 1);
    char marker[4] = {};
    ASSERT_EQ(NETSSL_ReadExact(conn.c, marker, 4), 4);
    EXPECT_EQ(std::string(marker, 4), "END!");
    EXPECT_EQ(NETSSL_ReadExact(conn.c, marker, 0), 0);
    EXPECT_EQ(conn.c->state.load(), TUNLEX_STATE_DISCONNECTED);
    EXPECT_TRUE(ERRORINFO_IsEmpty(&conn.c->error));
}

TEST_F(Transport, FingerprintIsTheCertificatesSha1InItsStoredForm)
{
    std::string text;
    ASSERT_NO_FATAL_FAILURE(ClientFingerprint(&text));

    ASSERT_EQ(text.size(), 59u);
    for (size_t i = 0; i < text.size(); ++i) {
        char ch = text[i];
        if (i % 3 == 2)
            EXPECT_EQ(ch, ':') << i;
        else if (i < 2)
            EXPECT_TRUE(isxdigit(ch) && !isupper(ch)) << text;
        else
            EXPECT_TRUE(isxdigit(ch) && !islower(ch)) << text;
    }
    std::string expected = TestCertificate::Get().Sha1Upper();
    EXPECT_EQ(strcasecmp(text.c_str(), expected.c_str()), 0) << text << " vs " << expected;
}

TEST_F(Transport, FingerprintWithoutTlsReplacesTheChain)
{
    Conn conn;
    ERRORINFO_Set(&conn.c->error, "test", 1, "earlier");
    EXPECT_EQ(NETSSL_GetFingerprint(conn.c, &conn.c->error), nullptr);
    EXPECT_EQ(conn.Message(), "Unable to fetch SSL certificate");
    EXPECT_EQ(ERRORINFO_Count(&conn.c->error), 1u);
}

// How the gateway ends the stream decides the message; the readiness test
// reports the end as something to read, and the read sets Error.
TEST_F(Transport, PeerEndingTheStreamEndsTheRead)
{
    struct Row {
        const char *name;
        bool closeNotify;
        const char *message;   // null: only the kind is fixed
    };
    const Row rows[] = {
        {"close_notify", true, "SSL stream closed unexpectedly"},
        {"tcp close", false, nullptr},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        std::atomic<bool> end{false};
        TlsTestServer server({}, [&](SSL *ssl, BIO *, const std::atomic<bool> &stop) {
            WaitFor(end, stop);
            if (row.closeNotify)
                SSL_shutdown(ssl);
        });
        Conn conn(server.port());
        ASSERT_TRUE(conn.Open()) << conn.Message();
        EXPECT_EQ(NETTCP_Readable(conn.c), 0);
        end = true;
        ASSERT_TRUE(conn.WaitReadable(2000));
        char buf[8];
        EXPECT_EQ(NETSSL_ReadExact(conn.c, buf, 8), 0);
        EXPECT_EQ(conn.c->state.load(), TUNLEX_STATE_ERROR);
        EXPECT_EQ(conn.c->kind.load(), TUNLEX_KIND_SSL);
        if (row.message)
            EXPECT_EQ(conn.Message(), row.message);
        else
            EXPECT_FALSE(conn.Message().empty());
    }
}

// Writing into a connection the peer has dropped must not end the process
// (SIGPIPE on Linux); the next read reports the break.
TEST_F(Transport, WritesToAClosedPeerAreSurvived)
{
    std::atomic<bool> closed{false};
    TlsTestServer server({}, [&](SSL *, BIO *, const std::atomic<bool> &) { closed = true; });
    Conn conn(server.port());
    ASSERT_TRUE(conn.Open()) << conn.Message();
    while (!closed)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    std::vector<unsigned char> chunk(16384, 0x5A);
    for (int i = 0; i < 64; ++i)
        EXPECT_EQ(NETSSL_Send(conn.c, chunk.data(), static_cast<int32_t>(chunk.size())), 1);
    char byte;
    EXPECT_EQ(NETSSL_ReadExact(conn.c, &byte, 1), 0);
    EXPECT_EQ(conn.c->state.load(), TUNLEX_STATE_ERROR);
}

TEST_F(Transport, ConnectFailuresLeaveTheirMessageAndNoSocket)
{
    // A port nobody listens on: bind one, then let it go.
    uint32_t code = 0;
    int32_t probe = NETSOCK_Listen(TlsTestServer::LoopbackAddress(), 0, 1, &code);
    uint16_t wire = 0;
    NETSOCK_LocalAddress(probe, nullptr, &wire);
    NETSOCK_Close(probe);
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&wire);
    const uint16_t refusedPort = static_cast<uint16_t>((b[0] << 8) | b[1]);

    struct Row {
        const char *server;
        uint16_t port;
        const char *prefix;
    };
    const Row rows[] = {
        {"x.invalid", 443, "Host not found: \"x.invalid\"\n"},
        {"127.0.0.1", refusedPort, "Connection failed.\n"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.server);
        Conn conn(row.port, row.server);
        EXPECT_EQ(NETTCP_Connect(conn.c, &conn.c->error), 0);
        EXPECT_EQ(conn.Message().rfind(row.prefix, 0), 0u) << conn.Message();
        EXPECT_EQ(conn.c->socket, -1);
        EXPECT_EQ(conn.c->state.load(), TUNLEX_STATE_DISCONNECTED);
    }
}

// The Connected loop's idle wait: a signal ends it only when armed (and
// counts when it came before the wait), the peer's close ends it, and
// otherwise it lasts its time.
TEST(SocketWake, IdleWaitEndsOnAnArmedSignalOrOnTheSocket)
{
    uint32_t code = 0;
    int32_t listener = NETSOCK_Listen(TlsTestServer::LoopbackAddress(), 0, 1, &code);
    ASSERT_NE(listener, NETSOCK_NONE);
    uint16_t port = 0;
    NETSOCK_LocalAddress(listener, nullptr, &port);
    int32_t sock = NETSOCK_Open(&code);
    ASSERT_NE(sock, NETSOCK_NONE);
    int started = NETSOCK_ConnectStart(sock, TlsTestServer::LoopbackAddress(), port, &code);
    ASSERT_NE(started, NETSOCK_FAILED);
    int32_t peer = NETSOCK_Accept(listener);
    ASSERT_NE(peer, NETSOCK_NONE);
    ASSERT_TRUE(started == NETSOCK_CONNECTED || NETSOCK_ConnectWait(sock, 2000, &code) == 1);
    NETSOCK_Wake *wake = NETSOCK_WakeCreate();
    ASSERT_NE(wake, nullptr);
    using Clock = std::chrono::steady_clock;
    auto elapsedMs = [](Clock::time_point t0) {
        return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0).count();
    };

    NETSOCK_WakeSignal(wake);   // not armed: lost
    auto t0 = Clock::now();
    EXPECT_EQ(NETSOCK_WaitReadOrWake(sock, wake, 100, &code), 0);
    EXPECT_GE(elapsedMs(t0), 80);

    NETSOCK_WakeArm(wake);
    NETSOCK_WakeSignal(wake);   // before the wait
    t0 = Clock::now();
    EXPECT_EQ(NETSOCK_WaitReadOrWake(sock, wake, 2000, &code), 1);
    EXPECT_LT(elapsedMs(t0), 1000);

    NETSOCK_WakeArm(wake);
    std::thread signaller([wake] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        NETSOCK_WakeSignal(wake);
    });
    t0 = Clock::now();
    EXPECT_EQ(NETSOCK_WaitReadOrWake(sock, wake, 2000, &code), 1);
    EXPECT_LT(elapsedMs(t0), 1000);
    signaller.join();

    NETSOCK_Close(peer);
    t0 = Clock::now();
    EXPECT_EQ(NETSOCK_WaitReadOrWake(sock, wake, 2000, &code), 1) << "the peer's close";
    EXPECT_LT(elapsedMs(t0), 1000);

    NETSOCK_WakeClose(wake);
    NETSOCK_Close(sock);
    NETSOCK_Close(listener);
}

TEST_F(Transport, HandshakeWithAPeerThatIsNotTlsFails)
{
    TlsTestServer server({TlsTestServer::RAW}, [](SSL *, BIO *raw, const std::atomic<bool> &) {
        char hello[64];
        BIO_read(raw, hello, sizeof hello);
        const char reply[] = "HTTP/1.0 400 Bad Request\r\n\r\n";
        BIO_write(raw, reply, sizeof reply - 1);
    });
    Conn conn(server.port());
    ASSERT_EQ(NETTCP_Connect(conn.c, &conn.c->error), 1) << conn.Message();
    EXPECT_EQ(NETSSL_Connect(conn.c, &conn.c->error), 0);
    EXPECT_EQ(conn.Message(), "SSL Handshake failed (SSL Error: 0x01)");
    ASSERT_NE(conn.c->ssl, nullptr);   // the handle stays for Free
    EXPECT_EQ(conn.c->ssl->ssl, nullptr);
    EXPECT_EQ(conn.c->ssl->ctx, nullptr);
    EXPECT_EQ(NETSSL_Send(conn.c, "x", 1), 0);
    EXPECT_EQ(NETSSL_Shutdown(conn.c), 1);
    EXPECT_EQ(NETSSL_Free(conn.c), 1);
    EXPECT_EQ(conn.c->ssl, nullptr);
    EXPECT_EQ(NETSSL_Free(conn.c), 1);
}

// A listener whose accept queue is full drops further connection attempts
// without an answer: a black hole on loopback.
struct BlackHole {
    int32_t listener = NETSOCK_NONE;
    std::vector<int32_t> fillers;
    uint16_t port = 0;
    bool ok = false;

    BlackHole()
    {
        uint32_t code = 0;
        listener = NETSOCK_Listen(TlsTestServer::LoopbackAddress(), 0, 0, &code);
        uint16_t wire = 0;
        NETSOCK_LocalAddress(listener, nullptr, &wire);
        const uint8_t *b = reinterpret_cast<const uint8_t *>(&wire);
        port = static_cast<uint16_t>((b[0] << 8) | b[1]);
        for (int i = 0; i < 8 && !ok; ++i) {
            int32_t s = NETSOCK_Open(&code);
            fillers.push_back(s);
            if (NETSOCK_ConnectStart(s, TlsTestServer::LoopbackAddress(), wire, &code) ==
                    NETSOCK_IN_PROGRESS &&
                NETSOCK_ConnectWait(s, 300, &code) == 0)
                ok = true;
        }
    }
    ~BlackHole()
    {
        for (int32_t s : fillers)
            NETSOCK_Close(s);
        NETSOCK_Close(listener);
    }
};

int SlowResolver(const char *, uint32_t *address, char *, uint32_t)
{
    std::this_thread::sleep_for(std::chrono::milliseconds(3000));
    *address = TlsTestServer::LoopbackAddress();
    return NETSOCK_RESOLVED;
}

// Every wait of the transport sees the abort flag: with the flag set after
// 200 ms, the call returns well inside the 1.1 s a disconnect allows.
TEST_F(Transport, AbortEndsEveryWaitQuickly)
{
    {
        SCOPED_TRACE("name resolution");
        NETTCP_SetResolver(SlowResolver);
        Conn conn(443, "slow.example");
        conn.AbortAfter(200);
        auto start = Clock::now();
        EXPECT_EQ(NETTCP_Connect(conn.c, &conn.c->error), 0);
        EXPECT_LT(MsSince(start), 1100);
        EXPECT_EQ(conn.Message(), "Connection aborted");
        NETTCP_SetResolver(nullptr);
    }
    {
        SCOPED_TRACE("tcp connect");
        BlackHole hole;
        if (!hole.ok) {
            ADD_FAILURE() << "no black hole on loopback: the full accept queue still answered";
        } else {
            Conn conn(hole.port);
            conn.AbortAfter(200);
            auto start = Clock::now();
            EXPECT_EQ(NETTCP_Connect(conn.c, &conn.c->error), 0);
            EXPECT_LT(MsSince(start), 1100);
            EXPECT_GE(MsSince(start), 150);
            EXPECT_EQ(conn.Message(), "Connection aborted");
            EXPECT_EQ(conn.c->socket, -1);
        }
    }
    {
        SCOPED_TRACE("tls handshake");
        TlsTestServer silent({TlsTestServer::SILENT}, nullptr);
        Conn conn(silent.port());
        ASSERT_EQ(NETTCP_Connect(conn.c, &conn.c->error), 1) << conn.Message();
        conn.AbortAfter(200);
        auto start = Clock::now();
        EXPECT_EQ(NETSSL_Connect(conn.c, &conn.c->error), 0);
        EXPECT_LT(MsSince(start), 1100);
        EXPECT_GE(MsSince(start), 150);
        EXPECT_EQ(conn.Message(), "SSL Handshake aborted");
    }
    {
        SCOPED_TRACE("rest of a frame");
        TlsTestServer server({}, [](SSL *ssl, BIO *, const std::atomic<bool> &stop) {
            SSL_write(ssl, "\x12\x34\x56\x78", 4);
            WaitFor(stop, stop);
        });
        Conn conn(server.port());
        ASSERT_TRUE(conn.Open()) << conn.Message();
        ASSERT_TRUE(conn.WaitReadable(2000));
        conn.AbortAfter(200);
        auto start = Clock::now();
        unsigned char header[8];
        EXPECT_EQ(NETSSL_ReadExact(conn.c, header, 8), 0);
        EXPECT_LT(MsSince(start), 1100);
        EXPECT_EQ(conn.c->state.load(), TUNLEX_STATE_DISCONNECTED);
        EXPECT_TRUE(ERRORINFO_IsEmpty(&conn.c->error));
    }
}

TEST_F(Transport, CallsWithoutAConnectionDoNothing)
{
    Conn conn;
    char buf[4];
    EXPECT_EQ(NETSSL_Send(conn.c, "abc", 3), 0);
    EXPECT_EQ(NETSSL_ReadExact(conn.c, buf, 4), 0);
    EXPECT_EQ(NETSSL_Pending(conn.c, 1), 0);
    EXPECT_EQ(NETTCP_Readable(conn.c), 0);
    EXPECT_EQ(NETSSL_Free(conn.c), 1);
    EXPECT_EQ(NETTCP_Close(conn.c), 1);
    EXPECT_EQ(conn.c->state.load(), TUNLEX_STATE_DISCONNECTED);
}

}  // namespace

// Frames through the tunnel's framing and TLS on loopback, against bare
// SSL_write / SSL_read loops moving the same bytes over the same connection.
// Compare the Framed and Bare figures of one size (bytes_per_second).
#include <benchmark/benchmark.h>

#include <string.h>

#include <memory>
#include <vector>

#include "../support/tls_test_server.h"
#include "net_ppp.h"
#include "net_socket.h"
#include "net_ssl.h"
#include "net_tcp.h"
#include "pkt_buffer.h"
#include "tunlex.h"

namespace {

// The peer: swallows everything, or sends frames of one size for ever.
TlsTestServer::Script Sink()
{
    return [](SSL *ssl, BIO *, const std::atomic<bool> &) {
        std::vector<unsigned char> buf(65536);
        while (SSL_read(ssl, buf.data(), static_cast<int>(buf.size())) > 0) {
        }
    };
}

TlsTestServer::Script Source(uint32_t size)
{
    return [size](SSL *ssl, BIO *, const std::atomic<bool> &stop) {
        std::vector<unsigned char> frame(8 + size, 0x5a);
        const TUNLEX_FrameHeader header = {TUNLEX_FRAME_MAGIC, size};
        TUNLEX_FrameHeaderEncode(&header, frame.data());
        frame[8] = 0x00;   // protocol 0x0021, IPv4
        frame[9] = 0x21;
        while (!stop && SSL_write(ssl, frame.data(), static_cast<int>(frame.size())) > 0) {
        }
    };
}

// A connection of the tunnel core to one peer: TCP and TLS as an attempt
// makes them, without PPP (received frames are dropped after the read).
class Session {
public:
    explicit Session(TlsTestServer::Script script)
        : server_(TlsTestServer::Options(), std::move(script)), conn_(TUNLEX_Create())
    {
        static bool ready = [] {
            NETTCP_Init(nullptr);
            NETSSL_Init(nullptr);
            PKT_PoolInit();
            return true;
        }();
        (void)ready;
        snprintf(conn_->config.server, sizeof conn_->config.server, "127.0.0.1");
        conn_->config.port = server_.port();
        ok_ = NETTCP_Connect(conn_, &conn_->error) && NETSSL_Connect(conn_, &conn_->error);
    }
    ~Session()
    {
        NETSSL_Shutdown(conn_);
        NETSSL_Free(conn_);
        NETTCP_Close(conn_);
        ERRORINFO_Clear(&conn_->error, "bench", 0);
        delete conn_;
    }
    bool ok() const { return ok_; }
    TUNLEX_Connection *conn() { return conn_; }
    SSL *ssl() { return conn_->ssl->ssl; }

private:
    TlsTestServer server_;
    TUNLEX_Connection *conn_;
    bool ok_ = false;
};

void FramedSend(benchmark::State &state)
{
    const uint32_t size = static_cast<uint32_t>(state.range(0));
    Session s(Sink());
    if (!s.ok()) {
        state.SkipWithError("no TLS session");
        return;
    }
    for (auto _ : state) {
        PKT_Buffer *buf = PKT_Alloc(nullptr);
        PKT_Reset(buf);
        PKT_Reserve(buf, size);
        memset(PKT_Data(buf), 0x5a, size);
        buf->length = static_cast<uint16_t>(size);
        NETPPP_Output(buf, s.conn());   // header, TLS write, buffer freed
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void BareSend(benchmark::State &state)
{
    const uint32_t size = static_cast<uint32_t>(state.range(0));
    Session s(Sink());
    if (!s.ok()) {
        state.SkipWithError("no TLS session");
        return;
    }
    std::vector<unsigned char> frame(8 + size, 0x5a);
    for (auto _ : state) {
        const unsigned char *p = frame.data();
        int left = static_cast<int>(frame.size());
        while (left > 0) {
            int n = SSL_write(s.ssl(), p, left);
            if (n > 0) {
                p += n;
                left -= n;
                continue;
            }
            uint32_t code = 0;
            NETSOCK_Wait(s.conn()->socket, NETSOCK_WAIT_WRITE | NETSOCK_WAIT_READ, 100, &code);
        }
        // The record goes to the socket now, as an uncorked frame does.
        while (BIO_flush(SSL_get_wbio(s.ssl())) <= 0) {
            uint32_t code = 0;
            NETSOCK_Wait(s.conn()->socket, NETSOCK_WAIT_WRITE, 100, &code);
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void FramedReceive(benchmark::State &state)
{
    const uint32_t size = static_cast<uint32_t>(state.range(0));
    Session s(Source(size));
    if (!s.ok()) {
        state.SkipWithError("no TLS session");
        return;
    }
    for (auto _ : state) {
        PKT_Buffer *packet = NETPPP_ReadFrame(s.conn());   // read, checked, dropped
        benchmark::DoNotOptimize(packet);
    }
    if (s.conn()->state.load() == TUNLEX_STATE_ERROR)
        state.SkipWithError("the stream failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

// Exactly n bytes with SSL_read on the non-blocking socket.
bool ReadExact(Session &s, unsigned char *p, int n)
{
    while (n > 0) {
        int got = SSL_read(s.ssl(), p, n);
        if (got > 0) {
            p += got;
            n -= got;
            continue;
        }
        int err = SSL_get_error(s.ssl(), got);
        if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE)
            return false;
        uint32_t code = 0;
        NETSOCK_Wait(s.conn()->socket, NETSOCK_WAIT_READ, 100, &code);
    }
    return true;
}

void BareReceive(benchmark::State &state)
{
    const uint32_t size = static_cast<uint32_t>(state.range(0));
    Session s(Source(size));
    if (!s.ok()) {
        state.SkipWithError("no TLS session");
        return;
    }
    std::vector<unsigned char> buf(8 + size);
    bool ok = true;
    for (auto _ : state) {
        ok = ReadExact(s, buf.data(), 8) && ReadExact(s, buf.data() + 8, static_cast<int>(size));
        benchmark::DoNotOptimize(buf.data());
    }
    if (!ok)
        state.SkipWithError("the stream failed");
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
}

void Sizes(benchmark::internal::Benchmark *b)
{
    // Frames the engine builds stay within the link MTU (1400 by default).
    b->Arg(64)->Arg(512)->Arg(1400)->UseRealTime();
}

BENCHMARK(FramedSend)->Apply(Sizes);
BENCHMARK(BareSend)->Apply(Sizes);
BENCHMARK(FramedReceive)->Apply(Sizes);
BENCHMARK(BareReceive)->Apply(Sizes);

}  // namespace

// The transport tests' connection context and fixture, shared by
// net_transport_test.cpp and its platform files. Header-only.
#pragma once

#include <gtest/gtest.h>

#include <openssl/ssl.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>

#include "errorinfo.h"
#include "net_ssl.h"
#include "net_tcp.h"
#include "str.h"
#include "tls_test_server.h"
#include "tunlex.h"

namespace transporttest {

using Clock = std::chrono::steady_clock;

inline long long MsSince(Clock::time_point start)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// One connection context, released with everything the transport made.
struct Conn {
    TUNLEX_Connection *c = TUNLEX_Create();
    std::thread aborter;

    explicit Conn(uint16_t port = 0, const char *server = "127.0.0.1")
    {
        STR_LCopy(c->config.server, server, sizeof c->config.server);
        c->config.port = port;
    }
    ~Conn()
    {
        if (aborter.joinable())
            aborter.join();
        NETSSL_Free(c);
        NETTCP_Close(c);
        ERRORINFO_Clear(&c->error, "test", 0);
        delete c;
    }
    void AbortAfter(int ms)
    {
        aborter = std::thread([this, ms] {
            std::this_thread::sleep_for(std::chrono::milliseconds(ms));
            c->abortFlag = 1;
        });
    }
    std::string Message() const { return c->error.message ? c->error.message : ""; }
    bool Open()
    {
        return NETTCP_Connect(c, &c->error) == 1 && NETSSL_Connect(c, &c->error) == 1;
    }
    // Polls the readiness test as the connection thread does, up to ms.
    bool WaitReadable(int ms)
    {
        auto start = Clock::now();
        while (MsSince(start) < ms) {
            if (NETTCP_Readable(c))
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return false;
    }
};

// Helpers for the peer's scripts.
inline void WaitFor(const std::atomic<bool> &flag, const std::atomic<bool> &stop)
{
    while (!flag && !stop)
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

inline void IdleUntilStopped(SSL *, BIO *, const std::atomic<bool> &stop)
{
    WaitFor(stop, stop);
}

class Transport : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(NETTCP_Init(nullptr), 1);
        NETSSL_Init(nullptr);
        TestCertificate::Get();
    }

    // Connects to an idle peer and takes the fingerprint the client reports.
    static void ClientFingerprint(std::string *text)
    {
        TlsTestServer server({}, IdleUntilStopped);
        Conn conn(server.port());
        ASSERT_TRUE(conn.Open()) << conn.Message();
        char *fp = NETSSL_GetFingerprint(conn.c, &conn.c->error);
        ASSERT_NE(fp, nullptr) << conn.Message();
        *text = fp;
        free(fp);
    }
};

}  // namespace transporttest

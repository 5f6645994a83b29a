// An in-process TLS peer on loopback for tests of the transport and what
// sits on it. Header-only. The key and the self-signed certificate (RSA 2048,
// SHA-256) are made once per program. One server takes one connection on
// its own thread and runs the test's script on it with blocking OpenSSL
// calls.
#pragma once

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <string.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "net_socket.h"
#include "sync.h"

class TestCertificate {
public:
    static TestCertificate &Get()
    {
        static TestCertificate cert;
        return cert;
    }
    EVP_PKEY *key() const { return key_; }
    X509 *cert() const { return cert_; }

    std::string Pem() const
    {
        std::string text;
        BIO *bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, cert_);
        char *data = nullptr;
        long n = BIO_get_mem_data(bio, &data);
        text.assign(data, static_cast<size_t>(n));
        BIO_free(bio);
        return text;
    }

    // SHA-1 of the certificate as "AA:BB:..", as openssl x509 prints it.
    std::string Sha1Upper() const
    {
        unsigned char md[EVP_MAX_MD_SIZE];
        unsigned int n = 0;
        X509_digest(cert_, EVP_sha1(), md, &n);
        std::string text;
        char hex[4];
        for (unsigned int i = 0; i < n; ++i) {
            snprintf(hex, sizeof hex, i ? ":%02X" : "%02X", md[i]);
            text += hex;
        }
        return text;
    }

private:
    TestCertificate()
    {
        key_ = EVP_RSA_gen(2048);
        cert_ = X509_new();
        X509_set_version(cert_, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(cert_), 1);
        X509_gmtime_adj(X509_getm_notBefore(cert_), -3600);
        X509_gmtime_adj(X509_getm_notAfter(cert_), 86400L * 30);
        X509_set_pubkey(cert_, key_);
        X509_NAME *name = X509_get_subject_name(cert_);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char *>("tlx-test-peer"), -1, -1,
                                   0);
        X509_set_issuer_name(cert_, name);
        X509_sign(cert_, key_, EVP_sha256());
    }
    EVP_PKEY *key_ = nullptr;
    X509 *cert_ = nullptr;
};

class TlsTestServer {
public:
    enum Mode {
        TLS,      // handshake, then the script with the SSL object
        SILENT,   // accept the TCP connection and say nothing until stopped
        RAW       // the script gets the plain socket through a BIO
    };
    struct Options {
        Mode mode = TLS;
        int maxVersion = 0;   // e.g. TLS1_2_VERSION; 0: the library's newest
    };
    using Script = std::function<void(SSL *ssl, BIO *raw, const std::atomic<bool> &stop)>;

    TlsTestServer(Options options, Script script) : options_(options), script_(std::move(script))
    {
        uint32_t code = 0;
        uint32_t loopback = LoopbackAddress();
        listener_ = NETSOCK_Listen(loopback, 0, 8, &code);
        uint16_t wirePort = 0;
        NETSOCK_LocalAddress(listener_, nullptr, &wirePort);
        const uint8_t *b = reinterpret_cast<const uint8_t *>(&wirePort);
        port_ = static_cast<uint16_t>((b[0] << 8) | b[1]);
        thread_ = std::thread([this] { Serve(); });
    }

    ~TlsTestServer()
    {
        stop_ = true;
        if (!accepted_) {
            // Wake the blocking accept with a connection of our own.
            uint32_t code = 0;
            int32_t s = NETSOCK_Open(&code);
            uint16_t wire = 0;
            uint8_t *b = reinterpret_cast<uint8_t *>(&wire);
            b[0] = static_cast<uint8_t>(port_ >> 8);
            b[1] = static_cast<uint8_t>(port_);
            NETSOCK_ConnectStart(s, LoopbackAddress(), wire, &code);
            NETSOCK_ConnectWait(s, 1000, &code);
            thread_.join();
            NETSOCK_Close(s);
        } else {
            thread_.join();
        }
        NETSOCK_Close(listener_);
    }

    uint16_t port() const { return port_; }
    bool ok() const { return listener_ != NETSOCK_NONE; }
    // The protocol version the handshake agreed on, once it is done.
    int version() const { return version_; }
    bool handshakeDone() const { return handshakeDone_; }

    static uint32_t LoopbackAddress()
    {
        const uint8_t bytes[4] = {127, 0, 0, 1};
        uint32_t a;
        memcpy(&a, bytes, 4);
        return a;
    }

private:
    void Serve()
    {
        int32_t sock = NETSOCK_Accept(listener_);
        accepted_ = true;
        if (sock == NETSOCK_NONE || stop_) {
            NETSOCK_Close(sock);
            return;
        }
        if (options_.mode == SILENT) {
            while (!stop_)
                RT_SleepMs(10);
        } else if (options_.mode == RAW) {
            BIO *bio = BIO_new_socket(sock, BIO_NOCLOSE);
            script_(nullptr, bio, stop_);
            BIO_free(bio);
        } else {
            RunTls(sock);
        }
        NETSOCK_Close(sock);
    }

    void RunTls(int32_t sock)
    {
        SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
        SSL_CTX_use_certificate(ctx, TestCertificate::Get().cert());
        SSL_CTX_use_PrivateKey(ctx, TestCertificate::Get().key());
        if (options_.maxVersion)
            SSL_CTX_set_max_proto_version(ctx, options_.maxVersion);
        SSL *ssl = SSL_new(ctx);
        SSL_set_fd(ssl, sock);
        if (SSL_accept(ssl) == 1) {
            version_ = SSL_version(ssl);
            handshakeDone_ = true;
            script_(ssl, nullptr, stop_);
        }
        SSL_free(ssl);
        SSL_CTX_free(ctx);
        ERR_clear_error();
    }

    Options options_;
    Script script_;
    int32_t listener_ = NETSOCK_NONE;
    uint16_t port_ = 0;
    std::thread thread_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> accepted_{false};
    std::atomic<bool> handshakeDone_{false};
    std::atomic<int> version_{0};
};

// Reads exactly n bytes in a script, blocking; false when the stream ends or
// fails first.
inline bool TlsReadAll(SSL *ssl, void *buf, int n)
{
    unsigned char *p = static_cast<unsigned char *>(buf);
    while (n > 0) {
        int r = SSL_read(ssl, p, n);
        if (r <= 0)
            return false;
        p += r;
        n -= r;
    }
    return true;
}

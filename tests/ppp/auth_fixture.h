// Shared set-up for the PAP and CHAP tests: a context on the fake clock with
// the core's settings and the test's own credentials, either put straight into
// the authenticate phase or brought there by a scripted LCP exchange.
#pragma once

#include <stdlib.h>
#include <string.h>

#include <memory>

#include <gtest/gtest.h>

#include "ppp.h"
#include "ppp_harness.h"
#include "str.h"

namespace authtest {

using ppptest::Bytes;
using ppptest::Captured;
using ppptest::Hex;
using ppptest::ToHex;

struct Credentials {
    const char *user;
    const char *password;
    const char *radiusState;
    const char *otp;
};

class AuthTest : public ::testing::Test
{
protected:
    PPP_Context *ctx = nullptr;

    void SetUp() override { ppptest::ResetClock(); }
    void TearDown() override
    {
        Release();
        PPP_SetRandomSource(nullptr);
    }

    // A context whose LCP is not running: authentication is started directly,
    // as LCP's This-Layer-Up does.
    void Create(const Credentials &c)
    {
        Release();
        ctx = static_cast<PPP_Context *>(calloc(1, sizeof(PPP_Context)));
        PPP_Config config = ppptest::CoreConfig();
        STR_Copy(config.userName, sizeof(config.userName), c.user, 63);
        STR_Copy(config.password, sizeof(config.password), c.password, 63);
        STR_Copy(config.radiusState, sizeof(config.radiusState), c.radiusState ? c.radiusState : "", 255);
        STR_Copy(config.otp, sizeof(config.otp), c.otp ? c.otp : "", 63);
        PPP_Init(ctx, &config);
    }
    void StartAuth(const Credentials &c, uint16_t protocol, uint8_t algorithm = 0)
    {
        Create(c);
        ctx->peerAuthProtocol = protocol;
        ctx->peerAuthAlgorithm = algorithm;
        PPP_StartAuth(ctx);
    }
    void Release()
    {
        if (!ctx)
            return;
        PPP_CancelTimers(ctx);
        free(ctx);
        ctx = nullptr;
    }

    void Feed(const char *hex) { ppptest::Feed(ctx, Hex(hex)); }
    // Frames of one protocol sent since the last call, as hex.
    std::vector<std::string> Sent(uint16_t protocol)
    {
        std::vector<std::string> out;
        for (const ppptest::Frame &f : Captured().Take(protocol))
            out.push_back(ToHex(f.bytes));
        return out;
    }
    std::vector<uint32_t> Reasons() { return Captured().reasons; }
    bool Authenticated() { return ctx->phase == PPP_PHASE_NETWORK; }
};

// Calls a handler on a heap copy of exactly the packet's bytes, so that a read
// past the end is caught by the address sanitizer.
template <typename Handler>
void OnExactBuffer(Handler handler, const Bytes &packet, PPP_Context *ctx)
{
    std::unique_ptr<uint8_t[]> exact(new uint8_t[packet.size() ? packet.size() : 1]);
    if (!packet.empty())
        memcpy(exact.get(), packet.data(), packet.size());
    handler(exact.get(), (uint32_t)packet.size(), ctx);
}

} // namespace authtest

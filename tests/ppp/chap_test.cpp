// CHAP-MD5, MS-CHAPv1 and MS-CHAPv2 exchanges against literal frames. The
// MD5 value was computed with `openssl dgst -md5`; the MS-CHAP values are the
// worked examples of RFC 2433 and RFC 2759.
#include <gtest/gtest.h>

#include <string.h>

#include <algorithm>
#include <string>
#include <vector>

#include <openssl/md5.h>

#include "auth_fixture.h"
#include "chap.h"
#include "mschap.h"
#include "str.h"

using namespace authtest;

namespace {

const char *const kRfcPeerChallenge = "21402324255E262A28295F2B3A337C7E";
const char *const kRfcAuthResponse = "S=407A5589115FD0D6209F510FE9C04566932CDA56";

int RfcPeerChallenge(void *out, uint32_t count)
{
    Bytes b = Hex(kRfcPeerChallenge);
    if (count != b.size())
        return 0;
    memcpy(out, b.data(), count);
    return 1;
}

int NoRandom(void *, uint32_t)
{
    return 0;
}

// Header bytes in hex followed by a text, as one frame.
Bytes Frame(const char *hex, const std::string &text)
{
    Bytes b = Hex(hex);
    b.insert(b.end(), text.begin(), text.end());
    return b;
}

class ChapTest : public AuthTest
{
protected:
    void SetUp() override
    {
        AuthTest::SetUp();
        PPP_SetRandomSource(RfcPeerChallenge);
    }
    // MS-CHAPv2 with RFC 2759's user, password and authenticator challenge,
    // answered; returns nothing but leaves the Response taken.
    void AnswerRfcChallenge()
    {
        StartAuth({"User", "clientPass", "", ""}, PPP_PROTO_CHAP, CHAP_ALG_MSCHAP2);
        Feed("C2 23 01 05 00 17 10 5B5D7C7D7B3F2F3E3C2C602132262628 67 77");
        ASSERT_EQ(Sent(PPP_PROTO_CHAP).size(), 1u);
    }
};

TEST_F(ChapTest, ResponsesOnTheWire)
{
    struct Row {
        const char *name;
        uint8_t algorithm;
        Credentials creds;
        const char *challenge;
        const char *response;
        Bytes success;
    } rows[] = {
        {"CHAP-MD5", CHAP_ALG_MD5, {"ab", "pw", "", ""},
         "C2 23 01 07 00 15 10 000102030405060708090A0B0C0D0E0F",
         "C2 23 02 07 00 17 10 37440B46A3225543C58721287B2F96CE 61 62",
         Hex("C2 23 03 07 00 04")},
        {"MS-CHAPv1", CHAP_ALG_MSCHAP1, {"User", "MyPw", "", ""},
         "C2 23 01 21 00 0F 08 102DB5DF085D3041 67 77",
         "C2 23 02 21 00 3A 31 000000000000000000000000000000000000000000000000"
         " 4E9D3C8F9CFD385D5BF4D3246791956CA4C351AB409A3D61 01 55 73 65 72",
         Hex("C2 23 03 21 00 04")},
        {"MS-CHAPv2", CHAP_ALG_MSCHAP2, {"User", "clientPass", "", ""},
         "C2 23 01 05 00 17 10 5B5D7C7D7B3F2F3E3C2C602132262628 67 77",
         "C2 23 02 05 00 3A 31 21402324255E262A28295F2B3A337C7E 0000000000000000"
         " 82309ECD8D708B5EA08FAA3981CD83544233114A3D85D6DF 00 55 73 65 72",
         Frame("C2 23 03 05 00 2E", kRfcAuthResponse)},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ppptest::ResetClock();
        PPP_SetRandomSource(RfcPeerChallenge);
        StartAuth(row.creds, PPP_PROTO_CHAP, row.algorithm);
        EXPECT_TRUE(Sent(PPP_PROTO_CHAP).empty());
        Feed(row.challenge);
        EXPECT_EQ(Sent(PPP_PROTO_CHAP), std::vector<std::string>{ToHex(Hex(row.response))});
        ppptest::Feed(ctx, row.success);
        EXPECT_TRUE(Authenticated());
        EXPECT_TRUE(Reasons().empty());
        ppptest::Advance(11000);
        EXPECT_TRUE(Reasons().empty()) << "the wait timer was stopped";
    }
}

TEST_F(ChapTest, MsChap2SuccessMustCarryTheRightAuthenticator)
{
    std::string wrongDigit = kRfcAuthResponse;
    wrongDigit[10] = wrongDigit[10] == '0' ? '1' : '0';
    std::string lower = kRfcAuthResponse;
    for (char &c : lower)
        c = (char)tolower((unsigned char)c);
    lower[0] = 'S';
    struct Row {
        const char *name;
        Bytes success;
        bool authenticated;
        std::vector<uint32_t> reasons;
    } rows[] = {
        {"right", Frame("C2 23 03 05 00 2E", kRfcAuthResponse), true, {}},
        {"right, with a message", Frame("C2 23 03 05 00 38", std::string(kRfcAuthResponse) + " M=Welcome"),
         true, {}},
        {"one digit wrong", Frame("C2 23 03 05 00 2E", wrongDigit), false, {PPP_TERM_AUTH_FAILED}},
        {"lower case", Frame("C2 23 03 05 00 2E", lower), false, {PPP_TERM_AUTH_FAILED}},
        // No "S=" is no proof that the gateway knows the password (RFC 2759
        // section 5): whatever else the Success holds, the attempt fails.
        {"header only", Hex("C2 23 03 05 00 04"), false, {PPP_TERM_AUTH_FAILED}},
        {"message only", Frame("C2 23 03 05 00 0D", "M=Welcome"), false, {PPP_TERM_AUTH_FAILED}},
        {"one digit short (45 bytes)",
         Frame("C2 23 03 05 00 2D", std::string(kRfcAuthResponse).substr(0, 41)), false,
         {PPP_TERM_AUTH_FAILED}},
        {"S= behind the message", Frame("C2 23 03 05 00 38", std::string("M=Welcome ") + kRfcAuthResponse),
         false, {PPP_TERM_AUTH_FAILED}},
        {"other identifier", Frame("C2 23 03 06 00 2E", kRfcAuthResponse), false, {}},
        {"length beyond the bytes", Frame("C2 23 03 05 00 2F", kRfcAuthResponse), false, {}},
        {"failure", Hex("C2 23 04 05 00 04"), false, {PPP_TERM_AUTH_FAILED}},
        // PAP never ran: its Ack must not stand in for the checked Success.
        {"PAP Ack with the Challenge's identifier", Hex("C0 23 02 05 00 04"), false, {}},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ppptest::ResetClock();
        PPP_SetRandomSource(RfcPeerChallenge);
        AnswerRfcChallenge();
        ppptest::Feed(ctx, row.success);
        EXPECT_EQ(Authenticated(), row.authenticated);
        EXPECT_EQ(Reasons(), row.reasons);
        if (!row.reasons.empty()) {
            EXPECT_EQ(Captured().reasonTexts, std::vector<std::string>{"authentication_failed"});
            const std::vector<std::string> &t = Captured().traces;
            EXPECT_NE(std::find(t.begin(), t.end(), "*** Authentication FAILED ***\n"), t.end());
        }
    }
}

// Challenges that are malformed or lie about their length draw no Response
// (each on an exact-size buffer); the 10-second wait then fails the attempt.
TEST_F(ChapTest, MalformedChallengesAreIgnored)
{
    typedef void (*Input)(const uint8_t *, uint32_t, PPP_Context *);
    struct Row {
        const char *name;
        uint8_t algorithm;
        Input input;
        const char *packet;  // after the protocol field
    } rows[] = {
        {"v1 with a 16-byte value", CHAP_ALG_MSCHAP1, MSCHAP1_Input,
         "01 01 00 15 10 000102030405060708090A0B0C0D0E0F"},
        {"v2 with an 8-byte value", CHAP_ALG_MSCHAP2, MSCHAP2_Input, "01 01 00 0D 08 0001020304050607"},
        {"value past the length", CHAP_ALG_MD5, CHAP_MD5_Input, "01 01 00 08 10 00 01 02"},
        {"md5 length beyond the bytes", CHAP_ALG_MD5, CHAP_MD5_Input, "01 01 FF FF FF"},
        {"v1 length beyond the bytes", CHAP_ALG_MSCHAP1, MSCHAP1_Input, "01 01 00 0D 08 00 01 02"},
        {"v2 length beyond the bytes", CHAP_ALG_MSCHAP2, MSCHAP2_Input, "01 01 00 15 10 00 01 02"},
        {"length below 4", CHAP_ALG_MD5, CHAP_MD5_Input, "01 01 00 02 00 00"},
        {"no value size", CHAP_ALG_MD5, CHAP_MD5_Input, "01 01 00 04"},
        {"three bytes", CHAP_ALG_MSCHAP2, MSCHAP2_Input, "01 01 00"},
        {"gateway's response", CHAP_ALG_MD5, CHAP_MD5_Input, "02 01 00 05 00"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ppptest::ResetClock();
        PPP_SetRandomSource(RfcPeerChallenge);
        StartAuth({"ab", "pw", "", ""}, PPP_PROTO_CHAP, row.algorithm);
        OnExactBuffer(row.input, Hex(row.packet), ctx);
        EXPECT_TRUE(Sent(PPP_PROTO_CHAP).empty());
        ppptest::Advance(9999);
        EXPECT_TRUE(Reasons().empty());
        ppptest::Advance(1);
        EXPECT_EQ(Reasons(), std::vector<uint32_t>{PPP_TERM_AUTH_FAILED});
    }
}

TEST_F(ChapTest, NoPeerChallengeWithoutRandomBytes)
{
    PPP_SetRandomSource(NoRandom);
    StartAuth({"User", "clientPass", "", ""}, PPP_PROTO_CHAP, CHAP_ALG_MSCHAP2);
    Feed("C2 23 01 05 00 15 10 5B5D7C7D7B3F2F3E3C2C602132262628");
    EXPECT_TRUE(Sent(PPP_PROTO_CHAP).empty());
}

TEST_F(ChapTest, AnswersAfterTheWaitReportNothing)
{
    StartAuth({"ab", "pw", "", ""}, PPP_PROTO_CHAP, CHAP_ALG_MD5);
    ppptest::Advance(1000);
    Feed("C2 23 01 07 00 15 10 000102030405060708090A0B0C0D0E0F");
    ASSERT_EQ(Sent(PPP_PROTO_CHAP).size(), 1u);
    ppptest::Advance(9000);
    ASSERT_EQ(Reasons(), std::vector<uint32_t>{PPP_TERM_AUTH_FAILED});
    Feed("C2 23 03 07 00 04");
    Feed("C2 23 04 07 00 04");
    EXPECT_FALSE(Authenticated());
    EXPECT_EQ(Reasons(), std::vector<uint32_t>{PPP_TERM_AUTH_FAILED});
}

// RFC 1994 allows the authenticator to challenge again on an open link.
TEST_F(ChapTest, RechallengeAfterSuccessIsAnswered)
{
    StartAuth({"ab", "pw", "", ""}, PPP_PROTO_CHAP, CHAP_ALG_MD5);
    Feed("C2 23 01 07 00 15 10 000102030405060708090A0B0C0D0E0F");
    Feed("C2 23 03 07 00 04");
    ASSERT_TRUE(Authenticated());
    Sent(PPP_PROTO_CHAP);
    Feed("C2 23 01 08 00 15 10 000102030405060708090A0B0C0D0E0F");
    std::vector<std::string> again = Sent(PPP_PROTO_CHAP);
    ASSERT_EQ(again.size(), 1u);
    EXPECT_EQ(again[0].substr(0, 11), "C2 23 02 08");
    Feed("C2 23 04 08 00 04");
    EXPECT_EQ(Reasons(), std::vector<uint32_t>{PPP_TERM_AUTH_FAILED});
}

TEST_F(ChapTest, AlgorithmSelection)
{
    struct Row {
        const char *packet;
        uint16_t peerProtocol;
        uint8_t peerAlgorithm;
        uint8_t expected;
    } rows[] = {
        {"01 01 00 04", PPP_PROTO_CHAP, CHAP_ALG_MSCHAP2, CHAP_ALG_MSCHAP2},
        {"03 01 00 04", PPP_PROTO_CHAP, CHAP_ALG_MSCHAP1, CHAP_ALG_MSCHAP1},
        {"04 01 00 04", PPP_PROTO_CHAP, CHAP_ALG_MD5, CHAP_ALG_MD5},
        {"02 01 00 04", PPP_PROTO_CHAP, CHAP_ALG_MD5, 0},   // we never demand CHAP
        {"05 01 00 04", PPP_PROTO_CHAP, CHAP_ALG_MD5, 0},
        {"00 01 00 04", PPP_PROTO_CHAP, CHAP_ALG_MD5, 0},
        {"01 01 00", PPP_PROTO_CHAP, CHAP_ALG_MD5, 0},
        {"01 01 00 04", PPP_PROTO_PAP, CHAP_ALG_MSCHAP2, 0},  // stale algorithm byte
    };
    Create({"ab", "pw", "", ""});
    for (const Row &row : rows) {
        SCOPED_TRACE(row.packet);
        ctx->peerAuthProtocol = row.peerProtocol;
        ctx->peerAuthAlgorithm = row.peerAlgorithm;
        Bytes p = Hex(row.packet);
        EXPECT_EQ(CHAP_SelectAlgorithm(p.data(), (uint32_t)p.size(), ctx), row.expected);
    }
}

} // namespace

// The record holds a password twice where the ANSI code page lacks a typed
// character: the code-page bytes ("??????" for a Cyrillic word) and the text.
// CHAP-MD5 sends what it sent before, the bytes; MS-CHAP hashes the text, in
// the Response and in the check of the gateway's Success, and the bytes only
// when the record carries no text.
TEST_F(ChapTest, EachMethodTakesItsFormOfThePassword)
{
    const char *text = u8"\u043f\u0430\u0440\u043e\u043b\u044c";
    const Bytes auth = Hex("5B5D7C7D7B3F2F3E3C2C602132262628");
    const Bytes peer = Hex(kRfcPeerChallenge);
    struct Row {
        const char *name;
        uint8_t algorithm;
        const char *utf8;       // the record's text form
        const char *hashed;     // what the value must be made of
    } rows[] = {
        {"MS-CHAPv2", CHAP_ALG_MSCHAP2, text, text},
        {"MS-CHAPv2 without the text", CHAP_ALG_MSCHAP2, "", "??????"},
        {"MS-CHAPv1", CHAP_ALG_MSCHAP1, text, text},
        {"CHAP-MD5", CHAP_ALG_MD5, text, "??????"},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.name);
        ppptest::ResetClock();
        PPP_SetRandomSource(RfcPeerChallenge);
        StartAuth({"User", "??????", "", ""}, PPP_PROTO_CHAP, row.algorithm);
        STR_LCopy(ctx->config.passwordUtf8, row.utf8, sizeof ctx->config.passwordUtf8);

        Bytes value;
        std::string success = "C2 23 03 05 00 04";
        if (row.algorithm == CHAP_ALG_MSCHAP2) {
            Feed("C2 23 01 05 00 17 10 5B5D7C7D7B3F2F3E3C2C602132262628 67 77");
            uint8_t nt[24];
            char proof[MSCHAP_AUTH_RESPONSE_LEN];
            GenerateNTResponse(auth.data(), peer.data(), "User", row.hashed, nt);
            GenerateAuthenticatorResponse(row.hashed, nt, peer.data(), auth.data(), "User", proof);
            value = peer;
            value.resize(24, 0);
            value.insert(value.end(), nt, nt + 24);
            value.push_back(0);
            success = "C2 23 03 05 00 2E " + ToHex(Frame("", std::string(proof, sizeof proof)));
        } else if (row.algorithm == CHAP_ALG_MSCHAP1) {
            Feed("C2 23 01 05 00 0F 08 102DB5DF085D3041 67 77");
            uint8_t nt[24];
            NtChallengeResponse(Hex("102DB5DF085D3041").data(), row.hashed, nt);
            value.resize(24, 0);
            value.insert(value.end(), nt, nt + 24);
            value.push_back(1);
        } else {
            Feed("C2 23 01 05 00 15 10 000102030405060708090A0B0C0D0E0F");
            uint8_t digest[16];
            MD5_CTX md5;
            MD5_Init(&md5);
            uint8_t id = 5;
            MD5_Update(&md5, &id, 1);
            MD5_Update(&md5, row.hashed, strlen(row.hashed));
            MD5_Update(&md5, Hex("000102030405060708090A0B0C0D0E0F").data(), 16);
            MD5_Final(digest, &md5);
            value.assign(digest, digest + 16);
        }
        std::vector<std::string> sent = Sent(PPP_PROTO_CHAP);
        ASSERT_EQ(sent.size(), 1u);
        EXPECT_NE(sent[0].find(ToHex(value) + " " + ToHex(Frame("", "User"))), std::string::npos)
            << sent[0];
        Feed(success.c_str());
        EXPECT_TRUE(Authenticated());
        EXPECT_TRUE(Reasons().empty());
    }
}

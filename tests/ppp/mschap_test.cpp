// Known-answer tests for the MS-CHAP derivations. The expected values are the
// worked examples printed in RFC 2759 section 9 and RFC 2433 appendix B, plus
// one weak-key case checked with the openssl command-line DES.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include "mschap.h"

namespace {

std::string Hex(const uint8_t *p, size_t n)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string s;
    for (size_t i = 0; i < n; i++) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

std::string Unhex(const char *hex)
{
    std::string out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out += (char)std::stoi(std::string(hex + i, 2), nullptr, 16);
    return out;
}

const uint8_t *Bytes(const std::string &s) { return (const uint8_t *)s.data(); }

}  // namespace

TEST(MsChapDerivation, Rfc2759HashExample)
{
    const std::string auth = Unhex("5B5D7C7D7B3F2F3E3C2C602132262628");
    const std::string peer = Unhex("21402324255E262A28295F2B3A337C7E");
    uint8_t challenge[8], hash[16], hashHash[16], nt[24];

    ChallengeHash(Bytes(peer), Bytes(auth), "User", challenge);
    EXPECT_EQ(Hex(challenge, 8), "D02E4386BCE91226");
    NtPasswordHash("clientPass", hash);
    EXPECT_EQ(Hex(hash, 16), "44EBBA8D5312B8D611474411F56989AE");
    HashNtPasswordHash(hash, hashHash);
    EXPECT_EQ(Hex(hashHash, 16), "41C00C584BD2D91C4017A2A12FA59F3F");
    GenerateNTResponse(Bytes(auth), Bytes(peer), "User", "clientPass", nt);
    EXPECT_EQ(Hex(nt, 24), "82309ECD8D708B5EA08FAA3981CD83544233114A3D85D6DF");

    char s[MSCHAP_AUTH_RESPONSE_LEN + 1] = {0};
    GenerateAuthenticatorResponse("clientPass", nt, Bytes(peer), Bytes(auth), "User", s);
    EXPECT_STREQ(s, "S=407A5589115FD0D6209F510FE9C04566932CDA56");
}

TEST(MsChapDerivation, Rfc2759DesKeyGeneration)
{
    uint8_t hash[16];
    NtPasswordHash("MyPw", hash);
    ASSERT_EQ(Hex(hash, 16), "FC156AF7EDCD6C0EDDE3337D427F4EAC");

    uint8_t zHash[21] = {0}, keys[24];
    memcpy(zHash, hash, 16);
    DesAddParity(zHash, 21, keys);
    EXPECT_EQ(Hex(keys, 8), "FD0B5B5E7F6E34D9");
    EXPECT_EQ(Hex(keys + 8, 8), "0E6E796737EA08FE");
    EXPECT_EQ(Hex(keys + 16, 8), "4F57010101010101");
}

TEST(MsChapDerivation, Rfc2433ChallengeResponse)
{
    const std::string challenge = Unhex("102DB5DF085D3041");
    uint8_t response[24];
    NtChallengeResponse(Bytes(challenge), "MyPw", response);
    EXPECT_EQ(Hex(response, 24), "4E9D3C8F9CFD385D5BF4D3246791956CA4C351AB409A3D61");
}

// A hash ending in two zero bytes makes the third key 01..01, a DES weak key;
// a checked key schedule would refuse it and leave the block wrong.
TEST(MsChapDerivation, WeakThirdKeyStillEncrypts)
{
    uint8_t hash[16];
    NtPasswordHash("pw129497", hash);
    ASSERT_EQ(Hex(hash, 16), "ED13E52CCF0EDF125ABEAD9A54780000");

    const std::string challenge = Unhex("102DB5DF085D3041");
    uint8_t response[24];
    ChallengeResponse(Bytes(challenge), hash, response);
    EXPECT_EQ(Hex(response, 24), "EDAFDF8B9D2B179217CA1DAEEBC6DE4CEAD2FD23AC7D409E");
}

// Known-answer tests for the MS-CHAP derivations. The expected values are the
// worked examples printed in RFC 2759 section 9 and RFC 2433 appendix B, plus
// one weak-key case checked with the openssl command-line DES.
#include <gtest/gtest.h>

#include <string.h>

#include <string>

#include <openssl/md4.h>

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

// The NT hash written out the long way: MD4 over the UTF-16 units the
// compiler made of the literal, low byte first.
std::string Md4OfUtf16(const std::u16string &units)
{
    std::string le;
    for (char16_t u : units) {
        le += (char)(u & 0xFF);
        le += (char)(u >> 8);
    }
    uint8_t digest[MD4_DIGEST_LENGTH];
    MD4(Bytes(le), le.size(), digest);
    return Hex(digest, sizeof digest);
}

std::u16string Repeat(const std::u16string &s, size_t times)
{
    std::u16string all;
    for (size_t i = 0; i < times; i++)
        all += s;
    return all;
}

std::string Repeat(const std::string &s, size_t times)
{
    std::string all;
    for (size_t i = 0; i < times; i++)
        all += s;
    return all;
}

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

// The password is hashed as the UTF-16LE text the user typed, as servers do;
// widening each UTF-8 byte to 16 bits instead matches no server.
TEST(MsChapDerivation, PasswordIsHashedAsUtf16)
{
    const std::string cyrillic63 = Repeat(std::string(u8"\u0436"), 63);
    struct Case {
        const char *name;
        std::string password;       // as the client holds it
        std::u16string hashed;      // the text the server hashes
    } cases[] = {
        {"RFC 2759 example", "clientPass", u"clientPass"},
        {"Latin-1 letter", u8"p\u00e4ss", u"p\u00e4ss"},
        {"Cyrillic", u8"\u043f\u0430\u0440\u043e\u043b\u044c", u"\u043f\u0430\u0440\u043e\u043b\u044c"},
        {"CJK", u8"\u5bc6\u7801", u"\u5bc6\u7801"},
        {"outside the BMP: a surrogate pair", u8"p\U0001F600ss", u"p\U0001F600ss"},
        {"empty", "", u""},
        // The field holds 63 characters (UTF-16 units); the rest is cut.
        {"64 Cyrillic letters: 63 count", cyrillic63 + u8"\u0436", Repeat(u"\u0436", 63)},
        {"a pair across the limit is left out whole", std::string(62, 'a') + u8"\U0001F600",
         Repeat(u"a", 62)},
        {"a pair just inside the limit", std::string(61, 'a') + u8"\U0001F600b",
         Repeat(u"a", 61) + u"\U0001F600"},
        // Not UTF-8: one byte a character, what such a password hashed as
        // before (a Latin-1 terminal's "p\xe4ss").
        {"Latin-1 bytes", "p\xe4ss", u"p\u00e4ss"},
        {"stray continuation byte", "a\x80" "b", u"a\u0080b"},
        {"overlong slash", "\xc0\xaf", u"\u00c0\u00af"},
        {"encoded surrogate", "\xed\xa0\x80", u"\u00ed\u00a0\u0080"},
        {"sequence cut at the end", u8"ab\u5bc6" + std::string("\xe7\xa0"),
         u"ab\u00e5\u00af\u0086\u00e7\u00a0"},
        {"Latin-1 bytes cut at 63", Repeat(std::string("\xe4"), 70), Repeat(u"\u00e4", 63)},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        uint8_t hash[16];
        NtPasswordHash(c.password.c_str(), hash);
        EXPECT_EQ(Hex(hash, 16), Md4OfUtf16(c.hashed));
    }

    uint8_t hash[16];
    NtPasswordHash("clientPass", hash);
    EXPECT_EQ(Hex(hash, 16), "44EBBA8D5312B8D611474411F56989AE");
}

// The responses built on the hash see the same text: the NT-Response of a
// non-ASCII password against the hash of its UTF-16 form.
TEST(MsChapDerivation, ResponsesUseTheUtf16Hash)
{
    const std::string auth = Unhex("5B5D7C7D7B3F2F3E3C2C602132262628");
    const std::string peer = Unhex("21402324255E262A28295F2B3A337C7E");
    const char *password = u8"\u043f\u0430\u0440\u043e\u043b\u044c";
    uint8_t challenge[8], hash[16], expected[24], nt[24];
    ChallengeHash(Bytes(peer), Bytes(auth), "User", challenge);
    NtPasswordHash(password, hash);
    ASSERT_EQ(Hex(hash, 16), Md4OfUtf16(u"\u043f\u0430\u0440\u043e\u043b\u044c"));
    ChallengeResponse(challenge, hash, expected);
    GenerateNTResponse(Bytes(auth), Bytes(peer), "User", password, nt);
    EXPECT_EQ(Hex(nt, 24), Hex(expected, 24));

    NtChallengeResponse(challenge, password, nt);
    EXPECT_EQ(Hex(nt, 24), Hex(expected, 24));
}

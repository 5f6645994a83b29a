#include "mschap.h"

#include <string.h>

#include <openssl/des.h>
#include <openssl/md4.h>
#include <openssl/sha.h>

static uint32_t MSCHAP_TextLen(const char *text)
{
    return (uint32_t)strnlen(text, MSCHAP_MAX_TEXT);
}

// One UTF-8 sequence at s (n bytes left): its length, or 0 when it is not
// the shortest form of a code point outside the surrogates.
static uint32_t MSCHAP_DecodeUtf8(const uint8_t *s, uint32_t n, uint32_t *codePoint)
{
    static const uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    uint32_t len = s[0] < 0x80 ? 1 : s[0] < 0xC0 ? 0 : s[0] < 0xE0 ? 2 : s[0] < 0xF0 ? 3
                 : s[0] < 0xF8 ? 4 : 0;
    if (len == 0 || len > n)
        return 0;
    uint32_t cp = len == 1 ? s[0] : s[0] & (0x7Fu >> len);
    for (uint32_t i = 1; i < len; i++) {
        if ((s[i] & 0xC0) != 0x80)
            return 0;
        cp = (cp << 6) | (s[i] & 0x3Fu);
    }
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
        return 0;
    *codePoint = cp;
    return len;
}

static void MSCHAP_PutUnit(uint8_t *wide, uint32_t at, uint32_t unit)
{
    wide[2 * at] = (uint8_t)unit;
    wide[2 * at + 1] = (uint8_t)(unit >> 8);
}

// The UTF-16 units of UTF-8 text, up to the limit; 0 units when the text is
// not valid UTF-8 before the limit is reached.
static uint32_t MSCHAP_Utf8ToUnits(const uint8_t *text, uint32_t n, uint8_t *wide, int *valid)
{
    uint32_t units = 0;
    *valid = 1;
    for (uint32_t at = 0; at < n;) {
        uint32_t cp;
        uint32_t len = MSCHAP_DecodeUtf8(text + at, n - at, &cp);
        if (len == 0) {
            *valid = 0;
            return 0;
        }
        uint32_t need = cp < 0x10000 ? 1 : 2;
        if (units + need > MSCHAP_MAX_TEXT)
            break;
        if (need == 1) {
            MSCHAP_PutUnit(wide, units, cp);
        } else {
            MSCHAP_PutUnit(wide, units, 0xD800 + ((cp - 0x10000) >> 10));
            MSCHAP_PutUnit(wide, units + 1, 0xDC00 + ((cp - 0x10000) & 0x3FF));
        }
        units += need;
        at += len;
    }
    return units;
}

// The password's UTF-16LE bytes; returns their count.
static uint32_t MSCHAP_PasswordUnicode(const char *password, uint8_t wide[2 * MSCHAP_MAX_TEXT])
{
    const uint8_t *text = (const uint8_t *)password;
    uint32_t n = (uint32_t)strnlen(password, MSCHAP_PASSWORD_BYTES);
    int valid;
    uint32_t units = MSCHAP_Utf8ToUnits(text, n, wide, &valid);
    if (valid)
        return 2 * units;
    // Not UTF-8: a password typed in a Latin-1 terminal, whose bytes are
    // its characters.
    if (n > MSCHAP_MAX_TEXT)
        n = MSCHAP_MAX_TEXT;
    for (uint32_t i = 0; i < n; i++)
        MSCHAP_PutUnit(wide, i, text[i]);
    return 2 * n;
}

void NtPasswordHash(const char *password, uint8_t passwordHash[16])
{
    uint8_t wide[2 * MSCHAP_MAX_TEXT];
    uint32_t n = MSCHAP_PasswordUnicode(password, wide);
    MD4_CTX md4;
    MD4_Init(&md4);
    MD4_Update(&md4, wide, n);
    MD4_Final(passwordHash, &md4);
}

void HashNtPasswordHash(const uint8_t passwordHash[16], uint8_t passwordHashHash[16])
{
    MD4_CTX md4;
    MD4_Init(&md4);
    MD4_Update(&md4, passwordHash, 16);
    MD4_Final(passwordHashHash, &md4);
}

void ChallengeHash(const uint8_t peerChallenge[16], const uint8_t authenticatorChallenge[16],
                   const char *userName, uint8_t challenge[8])
{
    uint8_t digest[SHA_DIGEST_LENGTH];
    SHA_CTX sha;
    SHA1_Init(&sha);
    SHA1_Update(&sha, peerChallenge, 16);
    SHA1_Update(&sha, authenticatorChallenge, 16);
    SHA1_Update(&sha, userName, MSCHAP_TextLen(userName));
    SHA1_Final(digest, &sha);
    memcpy(challenge, digest, 8);
}

void DesAddParity(const uint8_t *in, uint32_t n, uint8_t *out)
{
    uint32_t outLen = n / 7 * 8;
    for (uint32_t o = 0; o < outLen; o++) {
        uint8_t b = 0;
        for (uint32_t k = 0; k < 7; k++) {
            uint32_t bit = o * 7 + k;
            if (in[bit / 8] & (0x80u >> (bit % 8)))
                b |= (uint8_t)(0x80u >> k);
        }
        uint32_t ones = 0;
        for (uint8_t v = b; v; v &= (uint8_t)(v - 1))
            ones++;
        out[o] = (uint8_t)(b | ((ones & 1) ? 0 : 1));
    }
}

void DesEncrypt(const uint8_t clear[8], const uint8_t key[8], uint8_t cypher[8])
{
    DES_cblock k, in, out;
    DES_key_schedule schedule;
    memcpy(k, key, 8);
    memcpy(in, clear, 8);
    DES_set_odd_parity(&k);
    // Unchecked: a password hash can yield a weak key and must still work.
    DES_set_key_unchecked(&k, &schedule);
    DES_ecb_encrypt(&in, &out, &schedule, DES_ENCRYPT);
    memcpy(cypher, out, 8);
}

void ChallengeResponse(const uint8_t challenge[8], const uint8_t passwordHash[16],
                       uint8_t response[24])
{
    uint8_t zHash[21] = {0};
    uint8_t keys[24];
    memcpy(zHash, passwordHash, 16);
    DesAddParity(zHash, sizeof(zHash), keys);
    for (uint32_t i = 0; i < 3; i++)
        DesEncrypt(challenge, keys + 8 * i, response + 8 * i);
}

void NtChallengeResponse(const uint8_t challenge[8], const char *password, uint8_t response[24])
{
    uint8_t hash[16];
    NtPasswordHash(password, hash);
    ChallengeResponse(challenge, hash, response);
}

void GenerateNTResponse(const uint8_t authenticatorChallenge[16], const uint8_t peerChallenge[16],
                        const char *userName, const char *password, uint8_t response[24])
{
    uint8_t challenge[8];
    ChallengeHash(peerChallenge, authenticatorChallenge, userName, challenge);
    NtChallengeResponse(challenge, password, response);
}

void GenerateAuthenticatorResponse(const char *password, const uint8_t ntResponse[24],
                                   const uint8_t peerChallenge[16],
                                   const uint8_t authenticatorChallenge[16], const char *userName,
                                   char authenticatorResponse[MSCHAP_AUTH_RESPONSE_LEN])
{
    static const char magic1[] = "Magic server to client signing constant";
    static const char magic2[] = "Pad to make it do more than one iteration";
    static_assert(sizeof(magic1) - 1 == 39 && sizeof(magic2) - 1 == 41, "magic lengths");
    static const char hex[] = "0123456789ABCDEF";

    uint8_t hash[16], hashHash[16], challenge[8], digest[SHA_DIGEST_LENGTH];
    NtPasswordHash(password, hash);
    HashNtPasswordHash(hash, hashHash);

    SHA_CTX sha;
    SHA1_Init(&sha);
    SHA1_Update(&sha, hashHash, 16);
    SHA1_Update(&sha, ntResponse, 24);
    SHA1_Update(&sha, magic1, 39);
    SHA1_Final(digest, &sha);

    ChallengeHash(peerChallenge, authenticatorChallenge, userName, challenge);
    SHA1_Init(&sha);
    SHA1_Update(&sha, digest, sizeof(digest));
    SHA1_Update(&sha, challenge, 8);
    SHA1_Update(&sha, magic2, 41);
    SHA1_Final(digest, &sha);

    authenticatorResponse[0] = 'S';
    authenticatorResponse[1] = '=';
    for (uint32_t i = 0; i < SHA_DIGEST_LENGTH; i++) {
        authenticatorResponse[2 + 2 * i] = hex[digest[i] >> 4];
        authenticatorResponse[3 + 2 * i] = hex[digest[i] & 0x0F];
    }
}

#include "mschap.h"

#include <string.h>

#include <openssl/des.h>
#include <openssl/md4.h>
#include <openssl/sha.h>

static uint32_t MSCHAP_TextLen(const char *text)
{
    return (uint32_t)strnlen(text, MSCHAP_MAX_TEXT);
}

void NtPasswordHash(const char *password, uint8_t passwordHash[16])
{
    uint8_t wide[2 * MSCHAP_MAX_TEXT];
    uint32_t n = MSCHAP_TextLen(password);
    for (uint32_t i = 0; i < n; i++) {
        wide[2 * i] = (uint8_t)password[i];
        wide[2 * i + 1] = 0;
    }
    MD4_CTX md4;
    MD4_Init(&md4);
    MD4_Update(&md4, wide, 2 * n);
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

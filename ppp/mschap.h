// MS-CHAP derivations (MS-CHAPv1 and MS-CHAPv2), under the names the
// Microsoft CHAP RFCs give them. Pure functions over fixed-size byte arrays;
// texts are NUL-terminated and at most MSCHAP_MAX_TEXT bytes of them count,
// but for the password, which is text (UTF-8) and counts in characters.
#pragma once

#include <stdint.h>

enum {
    MSCHAP_MAX_TEXT = 63,          // user name and password fields hold 63 characters
    MSCHAP_AUTH_RESPONSE_LEN = 42, // "S=" and 40 hex digits, no NUL
    // The password's UTF-8 bytes looked at: 63 UTF-16 units take at most 189.
    MSCHAP_PASSWORD_BYTES = 255
};

// MD4 over the password as servers hash it, UTF-16LE: at most
// MSCHAP_MAX_TEXT units, a surrogate pair never split. The password is
// UTF-8; text that is not valid UTF-8 (a Latin-1 terminal's) is taken one
// byte a character.
void NtPasswordHash(const char *password, uint8_t passwordHash[16]);
void HashNtPasswordHash(const uint8_t passwordHash[16], uint8_t passwordHashHash[16]);
// First 8 bytes of SHA-1(peer challenge, authenticator challenge, user name).
void ChallengeHash(const uint8_t peerChallenge[16], const uint8_t authenticatorChallenge[16],
                   const char *userName, uint8_t challenge[8]);
void ChallengeResponse(const uint8_t challenge[8], const uint8_t passwordHash[16],
                       uint8_t response[24]);
void NtChallengeResponse(const uint8_t challenge[8], const char *password, uint8_t response[24]);
void GenerateNTResponse(const uint8_t authenticatorChallenge[16], const uint8_t peerChallenge[16],
                        const char *userName, const char *password, uint8_t response[24]);
void GenerateAuthenticatorResponse(const char *password, const uint8_t ntResponse[24],
                                   const uint8_t peerChallenge[16],
                                   const uint8_t authenticatorChallenge[16], const char *userName,
                                   char authenticatorResponse[MSCHAP_AUTH_RESPONSE_LEN]);
// One DES-ECB block; weak and semi-weak keys are used as they are.
void DesEncrypt(const uint8_t clear[8], const uint8_t key[8], uint8_t cypher[8]);
// Spreads n input bytes (n a multiple of 7) over n*8/7 bytes, 7 bits each,
// with an odd-parity low bit.
void DesAddParity(const uint8_t *in, uint32_t n, uint8_t *out);

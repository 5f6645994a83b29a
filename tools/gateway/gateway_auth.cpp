// The gateway as authenticator: PAP (with the one-time-password exchange),
// CHAP-MD5, MS-CHAPv1 and MS-CHAPv2, checked against the configured user.
#include "gateway.h"

#include <cstdio>
#include <cstring>

#include <openssl/des.h>
#include <openssl/md4.h>
#include <openssl/md5.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

enum { PROTO_PAP = 0xC023, PROTO_CHAP = 0xC223 };
enum { CHALLENGE_RETRY_MS = 3000, CHALLENGE_MAX = 5, TERMINATE_AFTER_REFUSAL_MS = 3000 };

static const char kMagic1[] = "Magic server to client signing constant";
static const char kMagic2[] = "Pad to make it do more than one iteration";

// ---- derivations (RFC 2433, RFC 2759) ----

// The password's UTF-16LE bytes: UTF-8 decoded, or, when it is not UTF-8,
// one byte a character. Returns the byte count.
static size_t GW_PasswordUtf16(const char *password, uint8_t wide[2 * GW_TEXT])
{
    const unsigned char *p = (const unsigned char *)password;
    size_t n = strnlen(password, GW_TEXT - 1), units = 0;
    for (size_t i = 0; i < n && units + 2 <= GW_TEXT;) {
        unsigned c = p[i];
        size_t len = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
        unsigned long cp = len == 1 ? c : c & (0xFF >> (len + 1));
        for (size_t k = 1; len && k < len; k++) {
            if (i + k >= n || (p[i + k] & 0xC0) != 0x80)
                len = 0;
            else
                cp = (cp << 6) | (p[i + k] & 0x3F);
        }
        static const unsigned long kMin[] = {0, 0, 0x80, 0x800, 0x10000};
        if (!len || cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            for (units = 0; units < n && units < GW_TEXT; units++) {
                wide[2 * units] = p[units];
                wide[2 * units + 1] = 0;
            }
            return 2 * units;
        }
        unsigned long u[2] = {cp, 0};
        size_t count = 1;
        if (cp >= 0x10000) {
            u[0] = 0xD800 + ((cp - 0x10000) >> 10);
            u[1] = 0xDC00 + ((cp - 0x10000) & 0x3FF);
            count = 2;
        }
        for (size_t k = 0; k < count; k++, units++) {
            wide[2 * units] = (uint8_t)u[k];
            wide[2 * units + 1] = (uint8_t)(u[k] >> 8);
        }
        i += len;
    }
    return 2 * units;
}

// As servers hash it: MD4 over the password's UTF-16LE form.
void GW_NtPasswordHash(const char *password, uint8_t hash[16])
{
    uint8_t wide[2 * GW_TEXT];
    size_t n = GW_PasswordUtf16(password, wide);
    MD4_CTX c;
    MD4_Init(&c);
    MD4_Update(&c, wide, n);
    MD4_Final(hash, &c);
}

// Spreads 7 key bytes over 8, seven bits each, with odd parity in bit 0.
static void DesKey(const uint8_t in[7], DES_cblock *key)
{
    uint8_t *k = *key;
    for (int i = 0; i < 8; i++) {
        uint8_t b = 0;
        for (int j = 0; j < 7; j++) {
            int bit = i * 7 + j;
            if (in[bit / 8] & (0x80 >> (bit % 8)))
                b |= (uint8_t)(0x80 >> j);
        }
        k[i] = b;
    }
    DES_set_odd_parity(key);
}

void GW_ChallengeResponse(const uint8_t challenge[8], const uint8_t hash[16], uint8_t out[24])
{
    uint8_t z[21];
    memset(z, 0, sizeof z);
    memcpy(z, hash, 16);
    for (int i = 0; i < 3; i++) {
        DES_cblock key;
        DES_key_schedule ks;
        DesKey(z + 7 * i, &key);
        DES_set_key_unchecked(&key, &ks);
        DES_cblock clear, cipher;
        memcpy(clear, challenge, 8);
        DES_ecb_encrypt(&clear, &cipher, &ks, DES_ENCRYPT);
        memcpy(out + 8 * i, cipher, 8);
    }
}

static void ChallengeHash(const uint8_t peerChal[16], const uint8_t authChal[16], const char *user,
                          uint8_t out[8])
{
    uint8_t d[SHA_DIGEST_LENGTH];
    SHA_CTX c;
    SHA1_Init(&c);
    SHA1_Update(&c, peerChal, 16);
    SHA1_Update(&c, authChal, 16);
    SHA1_Update(&c, user, strlen(user));
    SHA1_Final(d, &c);
    memcpy(out, d, 8);
}

void GW_GenerateNtResponse(const uint8_t authChal[16], const uint8_t peerChal[16], const char *user,
                           const char *password, uint8_t out[24])
{
    uint8_t ch[8], hash[16];
    ChallengeHash(peerChal, authChal, user, ch);
    GW_NtPasswordHash(password, hash);
    GW_ChallengeResponse(ch, hash, out);
}

void GW_AuthenticatorResponse(const char *password, const uint8_t nt[24], const uint8_t peerChal[16],
                              const uint8_t authChal[16], const char *user, char out[43])
{
    uint8_t hash[16], hashHash[16], d[SHA_DIGEST_LENGTH], ch[8];
    GW_NtPasswordHash(password, hash);
    MD4(hash, 16, hashHash);
    SHA_CTX c;
    SHA1_Init(&c);
    SHA1_Update(&c, hashHash, 16);
    SHA1_Update(&c, nt, 24);
    SHA1_Update(&c, kMagic1, sizeof kMagic1 - 1);
    SHA1_Final(d, &c);
    ChallengeHash(peerChal, authChal, user, ch);
    SHA1_Init(&c);
    SHA1_Update(&c, d, sizeof d);
    SHA1_Update(&c, ch, 8);
    SHA1_Update(&c, kMagic2, sizeof kMagic2 - 1);
    SHA1_Final(d, &c);
    out[0] = 'S';
    out[1] = '=';
    for (int i = 0; i < 20; i++)
        snprintf(out + 2 + 2 * i, 3, "%02X", d[i]);
}

// ---- packets ----

static const char *AuthName(GW_Auth a)
{
    switch (a) {
    case GW_AUTH_PAP: return "PAP";
    case GW_AUTH_CHAP_MD5: return "CHAP-MD5";
    case GW_AUTH_MSCHAP1: return "MS-CHAPv1";
    case GW_AUTH_MSCHAP2: return "MS-CHAPv2";
    default: return "none";
    }
}

// Sends code, id and a message with the 4-byte header; PAP puts a length byte before the message.
static void SendReply(GW_Session *s, uint16_t proto, uint8_t code, uint8_t id, const char *msg)
{
    uint8_t *p = s->auth.lastReply;
    size_t m = strlen(msg);
    size_t extra = proto == PROTO_PAP ? 1 : 0;
    if (m > 255 || 4 + extra + m > sizeof s->auth.lastReply)
        m = 0;
    size_t len = 4 + extra + m;
    p[0] = code;
    p[1] = id;
    p[2] = (uint8_t)(len >> 8);
    p[3] = (uint8_t)len;
    if (extra)
        p[4] = (uint8_t)m;
    memcpy(p + 4 + extra, msg, m);
    s->auth.lastReplyLen = len;
    GW_SendFrame(s, proto, p, len);
}

static void Accept(GW_Session *s, uint16_t proto, uint8_t id, const char *msg)
{
    GW_Log("#%u auth: %s accepted for \"%s\"", s->number, AuthName(s->opt->auth), s->opt->user);
    s->auth.done = 1;
    s->auth.deadline = 0;
    SendReply(s, proto, proto == PROTO_PAP ? 2 : 3, id, msg);
    GW_PppNetworkPhase(s);
}

static void Refuse(GW_Session *s, uint16_t proto, uint8_t id, const char *msg, const char *why)
{
    GW_Log("#%u auth: %s refused: %s", s->number, AuthName(s->opt->auth), why);
    s->auth.done = -1;
    SendReply(s, proto, proto == PROTO_PAP ? 3 : 4, id, msg);
    s->auth.deadline = GW_Now() + TERMINATE_AFTER_REFUSAL_MS;
}

static void SendChallenge(GW_Session *s)
{
    GW_AuthState *a = &s->auth;
    a->id++;
    a->challengeLen = s->opt->auth == GW_AUTH_MSCHAP1 ? 8 : 16;
    RAND_bytes(a->challenge, (int)a->challengeLen);
    uint8_t p[4 + 1 + 16 + GW_TEXT];
    size_t nameLen = strlen(s->opt->name);
    size_t len = 5 + a->challengeLen + nameLen;
    p[0] = 1;
    p[1] = a->id;
    p[2] = (uint8_t)(len >> 8);
    p[3] = (uint8_t)len;
    p[4] = (uint8_t)a->challengeLen;
    memcpy(p + 5, a->challenge, a->challengeLen);
    memcpy(p + 5 + a->challengeLen, s->opt->name, nameLen);
    a->sent++;
    a->deadline = GW_Now() + CHALLENGE_RETRY_MS;
    GW_SendFrame(s, PROTO_CHAP, p, len);
}

void GW_AuthStart(GW_Session *s)
{
    memset(&s->auth, 0, sizeof s->auth);
    RAND_bytes(&s->auth.id, 1);
    s->phase = GW_PHASE_AUTH;
    switch (s->opt->auth) {
    case GW_AUTH_NONE:
        GW_Log("#%u auth: none", s->number);
        s->auth.done = 1;
        GW_PppNetworkPhase(s);
        break;
    case GW_AUTH_PAP:
        GW_Log("#%u auth: waiting for a PAP request%s", s->number,
               s->opt->otp[0] ? " (one-time password in use)" : "");
        break;
    default:
        GW_Log("#%u auth: sending %s challenge", s->number, AuthName(s->opt->auth));
        SendChallenge(s);
        break;
    }
}

void GW_AuthTick(GW_Session *s, uint64_t now)
{
    GW_AuthState *a = &s->auth;
    if (!a->deadline || now < a->deadline)
        return;
    a->deadline = 0;
    if (a->done < 0) {
        GW_PppTerminate(s);
        return;
    }
    if (a->done == 0 && s->opt->auth >= GW_AUTH_CHAP_MD5) {
        if (a->sent >= CHALLENGE_MAX) {
            GW_Log("#%u auth: no response to %u challenges, giving up", s->number, a->sent);
            a->done = -1;
            GW_PppTerminate(s);
            return;
        }
        SendChallenge(s);
    }
}

static int Same(const uint8_t *p, size_t n, const char *text)
{
    return n == strlen(text) && memcmp(p, text, n) == 0;
}

static void PapRequest(GW_Session *s, const uint8_t *p, size_t len)
{
    const GW_Options *o = s->opt;
    uint8_t code = p[0], id = p[1];
    if (s->auth.done == 1) {
        SendReply(s, PROTO_PAP, 2, id, "Welcome");
        return;
    }
    // code 1: user, password; code 200: user, one-time password, state
    const uint8_t *f[3];
    size_t fl[3];
    size_t nf = code == 1 ? 2 : 3, at = 4;
    for (size_t i = 0; i < nf; i++) {
        if (at >= len || at + 1 + p[at] > len) {
            GW_Log("#%u auth: malformed PAP request dropped", s->number);
            return;
        }
        fl[i] = p[at];
        f[i] = p + at + 1;
        at += 1 + fl[i];
    }
    const char *nakText = o->papNakText;
    if (o->rejectAuth) {
        Refuse(s, PROTO_PAP, id, nakText, "refusing every login (fault)");
        return;
    }
    if (!Same(f[0], fl[0], o->user)) {
        Refuse(s, PROTO_PAP, id, nakText, "unknown user");
        return;
    }
    if (code == 1) {
        if (!Same(f[1], fl[1], o->password)) {
            Refuse(s, PROTO_PAP, id, nakText, "wrong password");
            return;
        }
        if (!o->otp[0]) {
            Accept(s, PROTO_PAP, id, "Welcome");
            return;
        }
        // the one-time-password Nak: M, 1, state length, state, prompt
        uint8_t n[5 + 255];
        size_t sl = strlen(o->otpState), pl = strlen(o->otpPrompt);
        if (sl > 100)
            sl = 100;
        if (pl > 150)
            pl = 150;
        size_t m = 2 + sl + pl, total = 5 + m;
        n[0] = 3;
        n[1] = id;
        n[2] = (uint8_t)(total >> 8);
        n[3] = (uint8_t)total;
        n[4] = (uint8_t)m;
        n[5] = 1;
        n[6] = (uint8_t)sl;
        memcpy(n + 7, o->otpState, sl);
        memcpy(n + 7 + sl, o->otpPrompt, pl);
        GW_Log("#%u auth: password right, asking for the one-time password (state \"%s\")", s->number,
               o->otpState);
        s->auth.otpIssued = 1;
        s->auth.done = -1;
        s->auth.deadline = GW_Now() + TERMINATE_AFTER_REFUSAL_MS;
        GW_SendFrame(s, PROTO_PAP, n, total);
        return;
    }
    if (!o->otp[0]) {
        Refuse(s, PROTO_PAP, id, nakText, "one-time password sent but none expected");
        return;
    }
    if (!Same(f[2], fl[2], o->otpState)) {
        Refuse(s, PROTO_PAP, id, nakText, "wrong one-time-password state");
        return;
    }
    if (!Same(f[1], fl[1], o->otp)) {
        Refuse(s, PROTO_PAP, id, nakText, "wrong one-time password");
        return;
    }
    Accept(s, PROTO_PAP, id, "Welcome");
}

static void ChapResponse(GW_Session *s, const uint8_t *p, size_t len)
{
    const GW_Options *o = s->opt;
    GW_AuthState *a = &s->auth;
    uint8_t id = p[1];
    if (len < 5 || 5 + (size_t)p[4] > len) {
        GW_Log("#%u auth: malformed CHAP response dropped", s->number);
        return;
    }
    if (id != a->id) {
        GW_Log("#%u auth: CHAP response with identifier %u, expected %u: dropped", s->number, id, a->id);
        return;
    }
    if (a->done != 0) {   // a repeated Response gets the same answer again
        if (a->lastReplyLen)
            GW_SendFrame(s, PROTO_CHAP, a->lastReply, a->lastReplyLen);
        return;
    }
    size_t vs = p[4];
    const uint8_t *value = p + 5;
    const uint8_t *name = p + 5 + vs;
    size_t nameLen = len - 5 - vs;
    char user[GW_TEXT];
    if (nameLen >= sizeof user)
        nameLen = sizeof user - 1;
    memcpy(user, name, nameLen);
    user[nameLen] = 0;

    const char *fail = o->auth == GW_AUTH_CHAP_MD5 ? "Authentication failure" : "E=691 R=0";
    char failV2[128];
    if (o->auth == GW_AUTH_MSCHAP2) {
        uint8_t c[16];
        RAND_bytes(c, sizeof c);
        int k = snprintf(failV2, sizeof failV2, "E=691 R=0 C=");
        for (int i = 0; i < 16; i++)
            k += snprintf(failV2 + k, sizeof failV2 - (size_t)k, "%02X", c[i]);
        snprintf(failV2 + k, sizeof failV2 - (size_t)k, " V=3 M=Access denied");
        fail = failV2;
    }
    if (o->rejectAuth) {
        Refuse(s, PROTO_CHAP, id, fail, "refusing every login (fault)");
        return;
    }
    if (strcmp(user, o->user) != 0) {
        Refuse(s, PROTO_CHAP, id, fail, "unknown user");
        return;
    }
    if (o->auth == GW_AUTH_CHAP_MD5) {
        uint8_t d[16];
        MD5_CTX c;
        MD5_Init(&c);
        MD5_Update(&c, &id, 1);
        MD5_Update(&c, o->password, strlen(o->password));
        MD5_Update(&c, a->challenge, a->challengeLen);
        MD5_Final(d, &c);
        if (vs != 16 || memcmp(value, d, 16) != 0)
            Refuse(s, PROTO_CHAP, id, fail, "wrong CHAP-MD5 response");
        else
            Accept(s, PROTO_CHAP, id, "Welcome");
        return;
    }
    if (vs != 49) {
        Refuse(s, PROTO_CHAP, id, fail, "MS-CHAP response of the wrong size");
        return;
    }
    uint8_t expect[24];
    if (o->auth == GW_AUTH_MSCHAP1) {
        uint8_t hash[16];
        GW_NtPasswordHash(o->password, hash);
        GW_ChallengeResponse(a->challenge, hash, expect);
        if (value[48] != 1 || memcmp(value + 24, expect, 24) != 0)
            Refuse(s, PROTO_CHAP, id, fail, "wrong MS-CHAPv1 response");
        else
            Accept(s, PROTO_CHAP, id, "Welcome");
        return;
    }
    // MS-CHAPv2 hashes the user name without a domain part
    const char *bare = strrchr(user, '\\');
    bare = bare ? bare + 1 : user;
    GW_GenerateNtResponse(a->challenge, value, bare, o->password, expect);
    if (memcmp(value + 24, expect, 24) != 0) {
        Refuse(s, PROTO_CHAP, id, fail, "wrong MS-CHAPv2 response");
        return;
    }
    char msg[64];
    GW_AuthenticatorResponse(o->password, expect, value, a->challenge, bare, msg);
    if (o->badAuthenticator) {
        msg[2] = msg[2] == '0' ? '1' : '0';
        GW_Log("#%u auth: sending a wrong authenticator response (fault)", s->number);
    }
    snprintf(msg + 42, sizeof msg - 42, " M=Welcome");
    Accept(s, PROTO_CHAP, id, msg);
}

void GW_AuthInput(GW_Session *s, uint16_t proto, const uint8_t *p, size_t n)
{
    if (n < 4) {
        GW_Log("#%u auth: short packet dropped", s->number);
        return;
    }
    size_t len = ((size_t)p[2] << 8) | p[3];
    if (len < 4 || len > n) {
        GW_Log("#%u auth: bad length %zu dropped", s->number, len);
        return;
    }
    int wantPap = s->opt->auth == GW_AUTH_PAP;
    int wantChap = s->opt->auth >= GW_AUTH_CHAP_MD5;
    if ((proto == PROTO_PAP && !wantPap) || (proto == PROTO_CHAP && !wantChap)) {
        GW_Log("#%u auth: 0x%04x packet although we demand %s: dropped", s->number, proto,
               AuthName(s->opt->auth));
        return;
    }
    if (proto == PROTO_PAP) {
        if (p[0] == 1 || p[0] == 200)
            PapRequest(s, p, len);
        else
            GW_Log("#%u auth: PAP code %u ignored", s->number, p[0]);
        return;
    }
    if (p[0] == 2)
        ChapResponse(s, p, len);
    else
        GW_Log("#%u auth: CHAP code %u ignored", s->number, p[0]);
}

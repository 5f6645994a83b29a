// tlx_gateway: command line, log, listener and the accept loop.
#include "gateway.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/x509.h>

static const char kUsage[] =
    "Usage: tlx_gateway --cert FILE --key FILE [options]\n"
    "A test gateway: TLS, the \"TUNLEX 1.0\" preface, 8-byte frame headers and the\n"
    "gateway's side of PPP. It serves one client at a time.\n"
    "\n"
    "Listener and TLS:\n"
    "  --listen ADDR            IPv4 address to listen on (default 127.0.0.1)\n"
    "  --port N                 TCP port; 0 takes a free one (default 0)\n"
    "  --cert FILE --key FILE   PEM certificate and key (scripts/make-test-cert.sh)\n"
    "  --tls1.2                 offer TLS 1.2 at most (default: up to TLS 1.3)\n"
    "  --ready-file FILE        once listening, write the port and a newline there\n"
    "                           (written to FILE.tmp, then renamed)\n"
    "  --once                   exit after the first connection has ended\n"
    "  --connections N          exit after N connections have ended (default: run\n"
    "                           until SIGINT or SIGTERM)\n"
    "  --max-time S             exit with status 3 after S seconds in any case\n"
    "  --log FILE               log to FILE instead of standard error: one line per\n"
    "                           frame received or sent, and the PPP events\n"
    "  --pcap FILE              capture every PPP frame (link type 204, direction\n"
    "                           byte 1 for frames the gateway sent); faulty frames are\n"
    "                           not captured\n"
    "  --tun NAME               forward IPv4 between the client and this existing tun\n"
    "                           link (ip tuntap add dev NAME mode tun): packets from\n"
    "                           the client address go to the link, packets the link\n"
    "                           routes to the client address go to the client. ICMP\n"
    "                           echo to --local-ip is still answered here. Only the\n"
    "                           first 20 IPv4 frames each way are logged\n"
    "The bound port is also printed on standard output as \"PORT <n>\".\n"
    "\n"
    "PPP:\n"
    "  --auth METHOD            none, pap, chap-md5, mschapv1 or mschapv2 (default none)\n"
    "  --user TEXT              the user we accept (default \"user\")\n"
    "  --password TEXT          its password (default \"secret\")\n"
    "  --name TEXT              our name in CHAP challenges (default \"tlx-gateway\")\n"
    "  --otp CODE               PAP: after a right password, ask for this one-time\n"
    "                           password (Nak with state and prompt); a request with\n"
    "                           code 200 must then carry CODE and the state\n"
    "  --otp-state TEXT         state text of that Nak (default \"otp-state-1\")\n"
    "  --otp-prompt TEXT        prompt of that Nak (default \"Enter your one-time password\")\n"
    "  --pap-nak-text TEXT      message of a PAP refusal (default empty: a 5-byte Nak)\n"
    "  --mru N                  MRU we ask for (default 1500; 0 leaves the option out)\n"
    "  --magic HEX              our LCP magic number (default: random per connection)\n"
    "  --local-ip A             our address, answered to ICMP echo (default 10.99.0.1)\n"
    "  --client-ip A            the address we hand out (default 10.99.0.2)\n"
    "  --dns1 A  --dns2 A       DNS servers (default 10.99.0.53, 10.99.0.54)\n"
    "  --nbns1 A --nbns2 A      NBNS servers (default 10.99.0.137, none)\n"
    "                           \"none\": the client's request for it is rejected\n"
    "  --url TEXT               vendor option index 0, type 1 (default\n"
    "                           \"https://10.99.0.1/portal\"; \"none\" leaves it out)\n"
    "  --vsp-option I:T:TEXT    one more vendor option: index, type, text (repeatable)\n"
    "  --echo-interval S        send LCP Echo-Requests every S seconds (default never)\n"
    "  --ff03 MODE              none, all or alternate: put FF 03 in front of frames\n"
    "  --split MODE             none, header or payload: write each frame in two TLS\n"
    "                           records, cut inside the header or inside the payload\n"
    "  --pack-records           put the frames of one burst into shared TLS records\n"
    "                           (default: one frame per record, as the client sends)\n"
    "The end line of a connection counts the client's TLS records and how many of\n"
    "them held exactly one frame.\n"
    "\n"
    "Faults (each connection, or the first N with --faulty-connections N):\n"
    "  --vsp MODE               run (default), reject (Protocol-Reject) or silent\n"
    "  --reject-auth            refuse every login, right credentials included\n"
    "  --bad-authenticator      MS-CHAPv2: a Success whose S= value is wrong\n"
    "  --bad-magic[=HEX]        our N-th frame goes out with this magic instead of\n"
    "                           12345678 (default 78563412)\n"
    "  --oversize[=LEN]         send one frame of LEN zero bytes (default 2049); above\n"
    "                           1048576 only the header is sent\n"
    "  --zero-frame             send one frame of length 0\n"
    "  --inject-at N            N for the three above; the zero-length and the\n"
    "                           oversized frame go out in front of our N-th frame\n"
    "                           (default 1: before anything else)\n"
    "  --close-after-frames N   close once N frames came from the client\n"
    "  --close-after-up MS      close MS milliseconds after IPCP and the vendor\n"
    "                           protocol are done\n"
    "  --close-mode MODE        how we close: notify (close_notify, default), eof (TCP\n"
    "                           close without close_notify), reset (TCP reset) or lcp\n"
    "                           (LCP Terminate-Request, then close_notify)\n"
    "  --delay MS               after the preface, wait MS before reading or answering\n"
    "  --silent                 read the preface and the frames, never answer\n"
    "  --no-tls                 accept TCP and never start TLS\n"
    "  --stall-after BYTES      after BYTES sent to the client send nothing more, but\n"
    "                           keep reading and keep the TCP connection open\n"
    "  --faulty-connections N   faults apply to connections 1..N only\n"
    "\n"
    "Exit status: 0 when done or signalled, 1 set-up failure, 2 bad usage,\n"
    "3 time limit reached.\n";

static FILE *g_log;
static FILE *g_pcap;
static uint64_t g_start;
static uint64_t g_deadline;
static volatile sig_atomic_t g_signalled;
static int g_timedOut;

uint64_t GW_Now()
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (uint64_t)t.tv_sec * 1000 + (uint64_t)t.tv_nsec / 1000000;
}

int GW_ShouldStop()
{
    if (g_deadline && GW_Now() >= g_deadline)
        g_timedOut = 1;
    return g_signalled || g_timedOut;
}

static void Stamp()
{
    uint64_t t = GW_Now() - g_start;
    fprintf(g_log, "[%5llu.%03llu] ", (unsigned long long)(t / 1000), (unsigned long long)(t % 1000));
}

void GW_Log(const char *fmt, ...)
{
    Stamp();
    va_list ap;
    va_start(ap, fmt);
    vfprintf(g_log, fmt, ap);
    va_end(ap);
    fputc('\n', g_log);
    fflush(g_log);
}

static const char *CodeName(uint16_t proto, uint8_t code)
{
    static const char *cp[] = {"?", "Configure-Request", "Configure-Ack", "Configure-Nak", "Configure-Reject",
                               "Terminate-Request", "Terminate-Ack", "Code-Reject", "Protocol-Reject",
                               "Echo-Request", "Echo-Reply", "Discard-Request", "Identification",
                               "Time-Remaining"};
    static const char *pap[] = {"?", "Authenticate-Request", "Authenticate-Ack", "Authenticate-Nak"};
    static const char *chap[] = {"?", "Challenge", "Response", "Success", "Failure"};
    if (proto == 0xC023)
        return code == 200 ? "OTP-Request" : code < 4 ? pap[code] : "?";
    if (proto == 0xC223)
        return code < 5 ? chap[code] : "?";
    return code < 14 ? cp[code] : "?";
}

static void PutLe32(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)v; p[1] = (uint8_t)(v >> 8); p[2] = (uint8_t)(v >> 16); p[3] = (uint8_t)(v >> 24);
}

// Link type 204: PPP with a direction byte in front, 1 for frames we sent.
static int CaptureOpen(const char *path)
{
    static const uint8_t header[24] = {0xd4, 0xc3, 0xb2, 0xa1, 2, 0, 4, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                                       0xff, 0xff, 0, 0, 204, 0, 0, 0};
    g_pcap = fopen(path, "wb");
    return g_pcap && fwrite(header, 1, sizeof header, g_pcap) == sizeof header && fflush(g_pcap) == 0;
}

static void Capture(int sent, const uint8_t *p, size_t n)
{
    struct timespec t;
    clock_gettime(CLOCK_REALTIME, &t);
    uint8_t r[17];
    PutLe32(r, (uint32_t)t.tv_sec);
    PutLe32(r + 4, (uint32_t)(t.tv_nsec / 1000));
    PutLe32(r + 8, (uint32_t)n + 1);
    PutLe32(r + 12, (uint32_t)n + 1);
    r[16] = sent ? 1 : 0;
    fwrite(r, 1, sizeof r, g_pcap);
    fwrite(p, 1, n, g_pcap);
    fflush(g_pcap);
}

// Forwarded traffic would fill the log with a line a packet.
static int IpFrameMuted(GW_Session *s, const char *dir, const uint8_t *f, size_t fn)
{
    if (s->opt->tunFd < 0 || fn < 2 || f[0] != 0x00 || f[1] != 0x21 || strchr(dir, '-'))
        return 0;
    uint32_t *logged = &s->ipLogged[dir[0] == 't'];
    if (*logged < GW_IP_FRAMES_LOGGED) {
        ++*logged;
        return 0;
    }
    if (*logged == GW_IP_FRAMES_LOGGED) {
        ++*logged;
        GW_Log("#%u further IPv4 frames %s are counted, not logged", s->number, dir[0] == 't' ? "sent" : "received");
    }
    return 1;
}

void GW_LogFrame(GW_Session *s, const char *dir, const uint8_t *p, size_t n)
{
    char what[96] = "(empty)";
    const uint8_t *f = p;
    size_t fn = n;
    int ff03 = fn >= 2 && f[0] == 0xFF && f[1] == 0x03;
    if (ff03) {
        f += 2;
        fn -= 2;
    }
    if (IpFrameMuted(s, dir, f, fn)) {
        if (g_pcap && n)
            Capture(dir[0] == 't', p, n);
        return;
    }
    if (n && !strchr(dir, '-'))
        what[0] = 0;
    if (fn >= 2 && !strchr(dir, '-')) {
        uint16_t proto = (uint16_t)((f[0] << 8) | f[1]);
        const char *name = proto == 0xC021 ? "LCP" : proto == 0xC023 ? "PAP" : proto == 0xC223 ? "CHAP"
                         : proto == 0x8021 ? "IPCP" : proto == 0x405B ? "VSP" : proto == 0x0021 ? "IPv4" : nullptr;
        if (proto == 0x0021 && fn >= 3 && (f[2] >> 4) != 4)
            snprintf(what, sizeof what, "IPv4 frame holding a version %u packet", f[2] >> 4);
        else if (proto == 0x0021 && fn >= 22)
            snprintf(what, sizeof what, "IPv4 %u.%u.%u.%u > %u.%u.%u.%u proto %u", f[14], f[15], f[16], f[17],
                     f[18], f[19], f[20], f[21], f[11]);
        else if (name && proto != 0x0021 && fn >= 4)
            snprintf(what, sizeof what, "%s %s id=%u", name, CodeName(proto, f[2]), f[3]);
        else
            snprintf(what, sizeof what, "%s%s0x%04x", name ? name : "proto", name ? " " : " ", proto);
    }
    if (g_pcap && n && (strcmp(dir, "rx") == 0 || strcmp(dir, "tx") == 0))
        Capture(dir[0] == 't', p, n);
    char hex[3 * 48 + 8];
    size_t k = 0, show = n < 48 ? n : 48;
    for (size_t i = 0; i < show; i++)
        k += (size_t)snprintf(hex + k, sizeof hex - k, "%s%02x", i ? " " : "", p[i]);
    if (show < n)
        snprintf(hex + k, sizeof hex - k, " ...");
    else
        hex[k] = 0;
    Stamp();
    fprintf(g_log, "#%u %s %zu %s%s: %s\n", s->number, dir, n, ff03 ? "FF03 " : "", what, hex);
    fflush(g_log);
}

// ---- command line ----

static int ParseU32(const char *t, uint32_t *out, int base)
{
    char *end;
    errno = 0;
    unsigned long long v = strtoull(t, &end, base);
    if (!*t || *end || errno || v > 0xFFFFFFFFull || *t == '-')
        return 0;
    *out = (uint32_t)v;
    return 1;
}

static int ParseIp(const char *t, uint32_t *out)
{
    if (strcmp(t, "none") == 0) {
        *out = 0;
        return 1;
    }
    struct in_addr a;
    if (inet_pton(AF_INET, t, &a) != 1)
        return 0;
    *out = a.s_addr;
    return 1;
}

static int CopyText(char *dst, const char *src)
{
    if (strlen(src) >= GW_TEXT)
        return 0;
    strcpy(dst, src);
    return 1;
}

static int AddVspOption(GW_Options *o, uint32_t index, uint32_t type, const char *value)
{
    if (o->vspCount >= GW_MAX_VSP_OPTIONS || index > 31 || type > 255 || !CopyText(o->vspOptions[o->vspCount].value, value))
        return 0;
    o->vspOptions[o->vspCount].index = (uint8_t)index;
    o->vspOptions[o->vspCount].type = (uint8_t)type;
    o->vspCount++;
    return 1;
}

static void Defaults(GW_Options *o)
{
    memset(o, 0, sizeof *o);
    strcpy(o->listenAddr, "127.0.0.1");
    strcpy(o->user, "user");
    strcpy(o->password, "secret");
    strcpy(o->name, "tlx-gateway");
    strcpy(o->otpState, "otp-state-1");
    strcpy(o->otpPrompt, "Enter your one-time password");
    o->mru = 1500;
    ParseIp("10.99.0.1", &o->localIp);
    ParseIp("10.99.0.2", &o->clientIp);
    ParseIp("10.99.0.53", &o->dns1);
    ParseIp("10.99.0.54", &o->dns2);
    ParseIp("10.99.0.137", &o->nbns1);
    o->badMagicValue = 0x78563412;
    o->oversizeLen = 2049;
    o->injectAt = 1;
    o->tunFd = -1;
}

static int Pick(const char *t, const char *const *names, int count, int *out)
{
    for (int i = 0; i < count; i++)
        if (strcmp(t, names[i]) == 0) {
            *out = i;
            return 1;
        }
    return 0;
}

// Returns 0 on a bad command line, with a message on standard error.
static int ParseArgs(int argc, char **argv, GW_Options *o)
{
    static const char *const auths[] = {"none", "pap", "chap-md5", "mschapv1", "mschapv2"};
    static const char *const vsps[] = {"run", "reject", "silent"};
    static const char *const closes[] = {"notify", "eof", "reset", "lcp"};
    static const char *const ff03s[] = {"none", "all", "alternate"};
    static const char *const splits[] = {"none", "header", "payload"};
    const char *url = "https://10.99.0.1/portal";
    uint32_t extra = 0;
    GW_VspOption extras[GW_MAX_VSP_OPTIONS];
    for (int i = 1; i < argc; i++) {
        char name[64];
        const char *arg = argv[i];
        const char *inl = strchr(arg, '=');
        size_t nl = inl ? (size_t)(inl - arg) : strlen(arg);
        if (nl >= sizeof name) {
            fprintf(stderr, "tlx_gateway: unknown option %s\n", arg);
            return 0;
        }
        memcpy(name, arg, nl);
        name[nl] = 0;
        // options whose value may be left out
        if (strcmp(name, "--bad-magic") == 0 || strcmp(name, "--oversize") == 0) {
            int magic = name[2] == 'b';
            if (magic)
                o->badMagic = 1;
            else
                o->oversize = 1;
            if (inl && !ParseU32(inl + 1, magic ? &o->badMagicValue : &o->oversizeLen, magic ? 16 : 10)) {
                fprintf(stderr, "tlx_gateway: bad value in %s\n", arg);
                return 0;
            }
            continue;
        }
        int flag = 1;
        if (strcmp(name, "--help") == 0 || strcmp(name, "-h") == 0) {
            fputs(kUsage, stdout);
            exit(0);
        } else if (strcmp(name, "--tls1.2") == 0) o->tls12Only = 1;
        else if (strcmp(name, "--once") == 0) o->connections = 1;
        else if (strcmp(name, "--reject-auth") == 0) o->rejectAuth = 1;
        else if (strcmp(name, "--bad-authenticator") == 0) o->badAuthenticator = 1;
        else if (strcmp(name, "--zero-frame") == 0) o->zeroFrame = 1;
        else if (strcmp(name, "--silent") == 0) o->silent = 1;
        else if (strcmp(name, "--no-tls") == 0) o->noHandshake = 1;
        else if (strcmp(name, "--pack-records") == 0) o->packRecords = 1;
        else flag = 0;
        if (flag) {
            if (inl) {
                fprintf(stderr, "tlx_gateway: %s takes no value\n", name);
                return 0;
            }
            continue;
        }
        static const char *const valued[] = {
            "--listen", "--port", "--cert", "--key", "--ready-file", "--connections", "--max-time", "--log",
            "--pcap", "--auth", "--user", "--password", "--name", "--otp", "--otp-state", "--otp-prompt",
            "--pap-nak-text", "--mru", "--magic", "--local-ip", "--client-ip", "--dns1", "--dns2", "--nbns1",
            "--nbns2", "--url", "--vsp-option", "--echo-interval", "--ff03", "--split", "--vsp", "--inject-at",
            "--close-after-frames", "--close-after-up", "--close-mode", "--delay", "--faulty-connections",
            "--tun", "--stall-after"};
        int known = 0;
        if (!Pick(name, valued, (int)(sizeof valued / sizeof valued[0]), &known)) {
            fprintf(stderr, "tlx_gateway: unknown option %s (see --help)\n", name);
            return 0;
        }
        const char *v = inl ? inl + 1 : (i + 1 < argc ? argv[++i] : nullptr);
        if (!v) {
            fprintf(stderr, "tlx_gateway: %s needs a value\n", name);
            return 0;
        }
        uint32_t u = 0;
        int pick = 0, ok = 1;
        if (strcmp(name, "--listen") == 0) {
            ok = strlen(v) < sizeof o->listenAddr && ParseIp(v, &u) && u;
            if (ok)
                strcpy(o->listenAddr, v);
        }
        else if (strcmp(name, "--port") == 0) { ok = ParseU32(v, &u, 10) && u <= 65535; o->port = (uint16_t)u; }
        else if (strcmp(name, "--cert") == 0) ok = CopyText(o->certFile, v);
        else if (strcmp(name, "--key") == 0) ok = CopyText(o->keyFile, v);
        else if (strcmp(name, "--ready-file") == 0) ok = strlen(v) < GW_TEXT - 8 && CopyText(o->readyFile, v);
        else if (strcmp(name, "--connections") == 0) ok = ParseU32(v, &o->connections, 10);
        else if (strcmp(name, "--max-time") == 0) ok = ParseU32(v, &o->maxTimeS, 10);
        else if (strcmp(name, "--log") == 0) ok = CopyText(o->logFile, v);
        else if (strcmp(name, "--pcap") == 0) ok = CopyText(o->pcapFile, v);
        else if (strcmp(name, "--tun") == 0) {
            ok = *v && strlen(v) < sizeof o->tunName;
            if (ok)
                strcpy(o->tunName, v);
        }
        else if (strcmp(name, "--auth") == 0) { ok = Pick(v, auths, 5, &pick); o->auth = (GW_Auth)pick; }
        else if (strcmp(name, "--user") == 0) ok = strlen(v) < 64 && CopyText(o->user, v);
        // UTF-8: 63 characters can take more than 63 bytes.
        else if (strcmp(name, "--password") == 0) ok = CopyText(o->password, v);
        else if (strcmp(name, "--name") == 0) ok = strlen(v) < 64 && CopyText(o->name, v);
        else if (strcmp(name, "--otp") == 0) ok = strlen(v) < 64 && CopyText(o->otp, v);
        else if (strcmp(name, "--otp-state") == 0) ok = strlen(v) <= 100 && CopyText(o->otpState, v);
        else if (strcmp(name, "--otp-prompt") == 0) ok = strlen(v) <= 150 && CopyText(o->otpPrompt, v);
        else if (strcmp(name, "--pap-nak-text") == 0) ok = strlen(v) <= 200 && CopyText(o->papNakText, v);
        else if (strcmp(name, "--mru") == 0) { ok = ParseU32(v, &u, 10) && u <= 65535; o->mru = (uint16_t)u; }
        else if (strcmp(name, "--magic") == 0) ok = ParseU32(v, &o->magic, 16);
        else if (strcmp(name, "--local-ip") == 0) ok = ParseIp(v, &o->localIp) && o->localIp;
        else if (strcmp(name, "--client-ip") == 0) ok = ParseIp(v, &o->clientIp) && o->clientIp;
        else if (strcmp(name, "--dns1") == 0) ok = ParseIp(v, &o->dns1);
        else if (strcmp(name, "--dns2") == 0) ok = ParseIp(v, &o->dns2);
        else if (strcmp(name, "--nbns1") == 0) ok = ParseIp(v, &o->nbns1);
        else if (strcmp(name, "--nbns2") == 0) ok = ParseIp(v, &o->nbns2);
        else if (strcmp(name, "--url") == 0) { ok = strlen(v) < GW_TEXT; url = v; }
        else if (strcmp(name, "--vsp-option") == 0) {
            char *end;
            unsigned long idx = strtoul(v, &end, 10);
            ok = *end == ':' && end != v && idx <= 31 && extra < GW_MAX_VSP_OPTIONS - 1;
            if (ok) {
                const char *t = end + 1;
                unsigned long type = strtoul(t, &end, 10);
                ok = *end == ':' && end != t && type <= 255 && strlen(end + 1) < GW_TEXT;
                if (ok) {
                    extras[extra].index = (uint8_t)idx;
                    extras[extra].type = (uint8_t)type;
                    strcpy(extras[extra].value, end + 1);
                    extra++;
                }
            }
        }
        else if (strcmp(name, "--echo-interval") == 0) ok = ParseU32(v, &o->echoIntervalS, 10);
        else if (strcmp(name, "--ff03") == 0) { ok = Pick(v, ff03s, 3, &pick); o->ff03 = (GW_Ff03)pick; }
        else if (strcmp(name, "--split") == 0) { ok = Pick(v, splits, 3, &pick); o->split = (GW_Split)pick; }
        else if (strcmp(name, "--vsp") == 0) { ok = Pick(v, vsps, 3, &pick); o->vsp = (GW_VspMode)pick; }
        else if (strcmp(name, "--inject-at") == 0) ok = ParseU32(v, &o->injectAt, 10) && o->injectAt;
        else if (strcmp(name, "--close-after-frames") == 0) ok = ParseU32(v, &o->closeAfterFrames, 10);
        else if (strcmp(name, "--close-after-up") == 0) { ok = ParseU32(v, &o->closeAfterUpMs, 10); o->closeAfterUp = 1; }
        else if (strcmp(name, "--close-mode") == 0) { ok = Pick(v, closes, 4, &pick); o->closeMode = (GW_CloseMode)pick; }
        else if (strcmp(name, "--delay") == 0) ok = ParseU32(v, &o->delayMs, 10);
        else if (strcmp(name, "--faulty-connections") == 0) ok = ParseU32(v, &o->faultyConnections, 10);
        else if (strcmp(name, "--stall-after") == 0) { ok = ParseU32(v, &u, 10) && u; o->stallAfter = u; }
        else {
            fprintf(stderr, "tlx_gateway: unknown option %s (see --help)\n", name);
            return 0;
        }
        if (!ok) {
            fprintf(stderr, "tlx_gateway: bad value for %s: \"%s\"\n", name, v);
            return 0;
        }
    }
    if (!o->certFile[0] || !o->keyFile[0]) {
        fprintf(stderr, "tlx_gateway: --cert and --key are required (see --help)\n");
        return 0;
    }
    if (strcmp(url, "none") != 0)
        AddVspOption(o, 0, 1, url);
    for (uint32_t k = 0; k < extra; k++)
        AddVspOption(o, extras[k].index, extras[k].type, extras[k].value);
    return 1;
}

// ---- start-up ----

static void OnSignal(int)
{
    g_signalled = 1;
}

static SSL_CTX *MakeContext(const GW_Options *o)
{
    SSL_CTX *ctx = SSL_CTX_new(TLS_server_method());
    if (!ctx)
        return nullptr;
    SSL_CTX_set_mode(ctx, SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_CTX_set_read_ahead(ctx, 1);   // many small records a read, not two reads a record
    if ((o->tls12Only && !SSL_CTX_set_max_proto_version(ctx, TLS1_2_VERSION)) ||
        SSL_CTX_use_certificate_chain_file(ctx, o->certFile) != 1 ||
        SSL_CTX_use_PrivateKey_file(ctx, o->keyFile, SSL_FILETYPE_PEM) != 1 || SSL_CTX_check_private_key(ctx) != 1) {
        SSL_CTX_free(ctx);
        return nullptr;
    }
    X509 *cert = SSL_CTX_get0_certificate(ctx);
    uint8_t md[EVP_MAX_MD_SIZE];
    unsigned int mdLen = 0;
    if (cert && X509_digest(cert, EVP_sha1(), md, &mdLen)) {
        char fp[3 * EVP_MAX_MD_SIZE + 1];
        size_t k = 0;
        for (unsigned int i = 0; i < mdLen; i++)
            k += (size_t)snprintf(fp + k, sizeof fp - k, "%s%02X", i ? ":" : "", md[i]);
        GW_Log("certificate SHA-1 fingerprint %s", fp);
    }
    return ctx;
}

static int Listen(const GW_Options *o, uint16_t *bound)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    struct sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(o->port);
    inet_pton(AF_INET, o->listenAddr, &a.sin_addr);
    socklen_t al = sizeof a;
    if (bind(fd, (struct sockaddr *)&a, sizeof a) != 0 || listen(fd, 8) != 0 ||
        getsockname(fd, (struct sockaddr *)&a, &al) != 0) {
        close(fd);
        return -1;
    }
    *bound = ntohs(a.sin_port);
    return fd;
}

static int WriteReadyFile(const char *path, uint16_t port)
{
    char tmp[GW_TEXT + 8];
    snprintf(tmp, sizeof tmp, "%s.tmp", path);
    FILE *f = fopen(tmp, "w");
    if (!f)
        return 0;
    int ok = fprintf(f, "%u\n", port) > 0;
    ok = (fclose(f) == 0) && ok;
    return ok && rename(tmp, path) == 0;
}

int main(int argc, char **argv)
{
    g_start = GW_Now();
    g_log = stderr;
    static GW_Options o;
    Defaults(&o);
    if (!ParseArgs(argc, argv, &o))
        return 2;
    if (o.logFile[0] && !(g_log = fopen(o.logFile, "w"))) {
        fprintf(stderr, "tlx_gateway: cannot open %s: %s\n", o.logFile, strerror(errno));
        return 1;
    }
    if (o.pcapFile[0] && !CaptureOpen(o.pcapFile)) {
        fprintf(stderr, "tlx_gateway: cannot write %s: %s\n", o.pcapFile, strerror(errno));
        return 1;
    }
    signal(SIGPIPE, SIG_IGN);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    if (o.maxTimeS)
        g_deadline = g_start + 1000ull * o.maxTimeS;

    if (o.tunName[0]) {
        o.tunFd = GW_TunOpen(o.tunName);
        if (o.tunFd < 0) {
            GW_Log("cannot attach to the tun link %s: %s", o.tunName, strerror(errno));
            return 1;
        }
        if (!GW_TunWriterStart(o.tunFd))
            GW_Log("no writer thread for %s: writing from the session", o.tunName);
        GW_Log("forwarding IPv4 through the tun link %s", o.tunName);
    }
    SSL_CTX *ctx = MakeContext(&o);
    if (!ctx) {
        GW_Log("cannot set up TLS with %s and %s: %s", o.certFile, o.keyFile,
               ERR_error_string(ERR_get_error(), nullptr));
        return 1;
    }
    uint16_t port = 0;
    int lfd = Listen(&o, &port);
    if (lfd < 0) {
        GW_Log("cannot listen on %s:%u: %s", o.listenAddr, o.port, strerror(errno));
        SSL_CTX_free(ctx);
        return 1;
    }
    static const char *const authNames[] = {"none", "pap", "chap-md5", "mschapv1", "mschapv2"};
    GW_Log("listening on %s:%u (auth %s, TLS %s)", o.listenAddr, port, authNames[o.auth], o.tls12Only ? "1.2 only" : "up to 1.3");
    printf("PORT %u\n", port);
    fflush(stdout);
    if (o.readyFile[0] && !WriteReadyFile(o.readyFile, port)) {
        GW_Log("cannot write %s: %s", o.readyFile, strerror(errno));
        close(lfd);
        SSL_CTX_free(ctx);
        return 1;
    }

    uint32_t served = 0;
    while (!GW_ShouldStop() && (!o.connections || served < o.connections)) {
        struct pollfd p = {lfd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        struct sockaddr_in peer;
        socklen_t pl = sizeof peer;
        int fd = accept4(lfd, (struct sockaddr *)&peer, &pl, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        char addr[16];
        inet_ntop(AF_INET, &peer.sin_addr, addr, sizeof addr);
        served++;
        GW_Log("#%u connection from %s:%u", served, addr, ntohs(peer.sin_port));
        GW_Serve(&o, ctx, fd, served);
    }
    GW_Log("stopping after %u connection(s)%s", served,
           g_timedOut ? ": time limit reached" : g_signalled ? ": signalled" : "");
    close(lfd);
    SSL_CTX_free(ctx);
    if (o.tunFd >= 0) {
        GW_TunWriterStop();
        close(o.tunFd);
    }
    if (g_pcap)
        fclose(g_pcap);
    if (g_log != stderr)
        fclose(g_log);
    return g_timedOut ? 3 : 0;
}

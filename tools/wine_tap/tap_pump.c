/* Windows-side helper of the stand-in adapter device (tap_driver.c).
 *
 *   tap_pump check GUID   opens "\\.\Global\GUID.tap" the way the client does
 *                         (no sharing, overlapped) and checks the version,
 *                         media-status and TUN control codes, a write taken by
 *                         the pump, a pending read completed by the pump and a
 *                         pending read cancelled; prints "check: passed"
 *   tap_pump state        prints the device's counters and TUN configuration
 *   tap_pump adapters     prints the adapter list as the client's lookup reads
 *                         it: index, status, adapter name (GUID), description
 *   tap_pump bridge PORT  joins the device to the Linux side's tun link: takes
 *                         what the client wrote and sends it to 127.0.0.1:PORT
 *                         (tun_bridge.py), puts what comes back; each packet on
 *                         the socket is a 2-byte big-endian length and the
 *                         packet. Prints "media 1" and "media 0" as the client
 *                         connects and disconnects the media, for the Linux side
 *                         to bring its link up and down. Ends when the Linux
 *                         side hangs up.
 *
 * Exit status 0 on success.
 */
#include <winsock2.h>
#include <windows.h>
#include <iphlpapi.h>
#include <winioctl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define TAP_CODE(n) CTL_CODE(FILE_DEVICE_UNKNOWN, n, METHOD_BUFFERED, FILE_ANY_ACCESS)
#define TAP_IOCTL_GET_VERSION TAP_CODE(2)
#define TAP_IOCTL_SET_MEDIA_STATUS TAP_CODE(6)
#define TAP_IOCTL_CONFIG_TUN TAP_CODE(10)
#define PUMP_IOCTL_TAKE TAP_CODE(0x801)
#define PUMP_IOCTL_PUT TAP_CODE(0x802)
#define PUMP_IOCTL_STATE TAP_CODE(0x803)

struct PumpState {
    ULONG opens, media, reads, writes, dropped;
    ULONG tun[3];
};

static int failures;

static void Expect(int ok, const char *what)
{
    printf("check: %s: %s\n", what, ok ? "ok" : "FAILED");
    if (!ok)
        failures++;
}

static HANDLE OpenPump(void)
{
    return CreateFileA("\\\\.\\TlxTapPump", GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                       0, NULL);
}

/* A control code on an overlapped handle, waited for; bytes returned, or -1. */
static long Control(HANDLE h, DWORD code, void *in, DWORD inSize, void *out, DWORD outSize)
{
    OVERLAPPED ov;
    DWORD done = 0;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(NULL, TRUE, FALSE, NULL);
    BOOL ok = DeviceIoControl(h, code, in, inSize, out, outSize, &done, &ov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(h, &ov, &done, TRUE);
    CloseHandle(ov.hEvent);
    return ok ? (long)done : -1;
}

static int State(HANDLE pump, struct PumpState *st)
{
    DWORD done = 0;
    return DeviceIoControl(pump, PUMP_IOCTL_STATE, NULL, 0, st, sizeof *st, &done, NULL) &&
           done == sizeof *st;
}

static int Check(const char *guid)
{
    char path[512];
    snprintf(path, sizeof path, "\\\\.\\Global\\%s.tap", guid);
    HANDLE tap = CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, NULL, OPEN_EXISTING,
                             FILE_ATTRIBUTE_SYSTEM | FILE_FLAG_OVERLAPPED, NULL);
    Expect(tap != INVALID_HANDLE_VALUE, "adapter device opens");
    HANDLE pump = OpenPump();
    Expect(pump != INVALID_HANDLE_VALUE, "pump device opens");
    if (tap == INVALID_HANDLE_VALUE || pump == INVALID_HANDLE_VALUE)
        return 1;

    ULONG version[3] = {0, 0, 0};
    Expect(Control(tap, TAP_IOCTL_GET_VERSION, version, sizeof version, version, sizeof version) == 12 &&
               (version[0] > 8 || (version[0] == 8 && version[1] >= 2)),
           "version 8.2 or later");
    ULONG media = 1;
    Expect(Control(tap, TAP_IOCTL_SET_MEDIA_STATUS, &media, 4, &media, 4) >= 0, "media connected");
    ULONG tun[3] = {0x0201000a, 0x0001000a, 0x00ffffff}; /* 10.0.1.2, 10.0.1.0/24 */
    Expect(Control(tap, TAP_IOCTL_CONFIG_TUN, tun, sizeof tun, tun, sizeof tun) >= 0, "TUN configuration");
    Expect(Control(tap, 0x00220fff, NULL, 0, NULL, 0) < 0, "unknown control code refused");
    struct PumpState st;
    Expect(State(pump, &st) && st.media == 1 && st.tun[0] == 0x0201000a && st.tun[2] == 0x00ffffff,
           "pump sees media and TUN configuration");

    /* A write leaves for the pump. */
    static const char out[] = "packet from the client";
    OVERLAPPED wov;
    memset(&wov, 0, sizeof wov);
    wov.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    DWORD n = 0;
    BOOL ok = WriteFile(tap, out, sizeof out, &n, &wov);
    if (!ok && GetLastError() == ERROR_IO_PENDING)
        ok = GetOverlappedResult(tap, &wov, &n, TRUE);
    Expect(ok && n == sizeof out, "write completes");
    char got[2048];
    DWORD took = 0;
    ok = DeviceIoControl(pump, PUMP_IOCTL_TAKE, NULL, 0, got, sizeof got, &took, NULL);
    Expect(ok && took == sizeof out && memcmp(got, out, took) == 0, "pump takes the written packet");
    ok = DeviceIoControl(pump, PUMP_IOCTL_TAKE, NULL, 0, got, sizeof got, &took, NULL);
    Expect(ok && took == 0, "pump finds nothing more");

    /* A read waits until the pump puts a packet. */
    OVERLAPPED rov;
    memset(&rov, 0, sizeof rov);
    rov.hEvent = CreateEventA(NULL, FALSE, FALSE, NULL);
    char in[1560];
    ok = ReadFile(tap, in, sizeof in, &n, &rov);
    Expect(!ok && GetLastError() == ERROR_IO_PENDING, "read pends on an empty device");
    Expect(WaitForSingleObject(rov.hEvent, 100) == WAIT_TIMEOUT, "read still waits");
    static const char back[] = "packet for the client";
    ok = DeviceIoControl(pump, PUMP_IOCTL_PUT, (void *)back, sizeof back, NULL, 0, &took, NULL);
    Expect(ok, "pump puts a packet");
    Expect(WaitForSingleObject(rov.hEvent, 2000) == WAIT_OBJECT_0 &&
               GetOverlappedResult(tap, &rov, &n, FALSE) && n == sizeof back &&
               memcmp(in, back, n) == 0,
           "read completes with the put packet");

    /* A waiting read ends when it is cancelled, as the client's close does. */
    ok = ReadFile(tap, in, sizeof in, &n, &rov);
    Expect(!ok && GetLastError() == ERROR_IO_PENDING, "second read pends");
    CancelIoEx(tap, &rov);
    Expect(WaitForSingleObject(rov.hEvent, 2000) == WAIT_OBJECT_0 &&
               !GetOverlappedResult(tap, &rov, &n, FALSE) &&
               GetLastError() == ERROR_OPERATION_ABORTED,
           "cancelled read ends aborted");

    CloseHandle(tap);
    int closed = 0;
    for (int i = 0; i < 50 && !closed; i++, Sleep(20))  /* the close reaches the driver later */
        closed = State(pump, &st) && st.media == 0;
    Expect(closed, "close leaves the media disconnected");
    CloseHandle(pump);
    printf("check: %s\n", failures ? "FAILED" : "passed");
    return failures ? 1 : 0;
}

/* The pump's control codes have no wait: an idle pump looks again after a
   short sleep on the socket, which also brings the Linux side's packets. */
static int Bridge(int port)
{
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0)
        return 1;
    HANDLE pump = OpenPump();
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    struct sockaddr_in to;
    memset(&to, 0, sizeof to);
    to.sin_family = AF_INET;
    to.sin_port = htons((u_short)port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (pump == INVALID_HANDLE_VALUE || s == INVALID_SOCKET ||
        connect(s, (struct sockaddr *)&to, sizeof to) != 0) {
        printf("bridge: cannot reach the device or 127.0.0.1:%d\n", port);
        return 1;
    }
    BOOL one = TRUE;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, (const char *)&one, sizeof one);
    static unsigned char in[65536 + 2];
    size_t have = 0;
    unsigned long toLinux = 0, toClient = 0;
    ULONG media = 2; /* none reported yet */
    DWORD lastLook = 0;
    for (;;) {
        struct PumpState st;
        if (GetTickCount() - lastLook >= 100 && State(pump, &st)) {
            lastLook = GetTickCount();
            if (st.media != media)
                printf("media %lu\n", st.media);
            media = st.media;
        }
        unsigned char out[2 + 2048];
        DWORD took = 0;
        int moved = 0;
        while (DeviceIoControl(pump, PUMP_IOCTL_TAKE, NULL, 0, out + 2, 2048, &took, NULL) && took > 0) {
            out[0] = (unsigned char)(took >> 8);
            out[1] = (unsigned char)took;
            for (DWORD sent = 0; sent < took + 2;) {
                int n = send(s, (const char *)out + sent, (int)(took + 2 - sent), 0);
                if (n <= 0)
                    goto done;
                sent += (DWORD)n;
            }
            toLinux++;
            moved = 1;
        }
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        struct timeval wait = {0, moved ? 0 : 2000};
        if (select(0, &readable, NULL, NULL, &wait) > 0) {
            int n = recv(s, (char *)in + have, (int)(sizeof in - have), 0);
            if (n <= 0)
                break;
            have += (size_t)n;
            size_t at = 0;
            while (have - at >= 2) {
                size_t length = ((size_t)in[at] << 8) | in[at + 1];
                if (have - at < 2 + length)
                    break;
                DeviceIoControl(pump, PUMP_IOCTL_PUT, in + at + 2, (DWORD)length, NULL, 0, &took, NULL);
                toClient++;
                at += 2 + length;
            }
            memmove(in, in + at, have - at);
            have -= at;
        }
    }
done:
    printf("bridge: %lu packets to Linux, %lu to the client\n", toLinux, toClient);
    closesocket(s);
    CloseHandle(pump);
    return 0;
}

static int Adapters(void)
{
    ULONG size = 64 * 1024;
    IP_ADAPTER_ADDRESSES *list = (IP_ADAPTER_ADDRESSES *)malloc(size);
    if (!list || GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_INCLUDE_GATEWAYS,
                                      NULL, list, &size) != NO_ERROR) {
        printf("adapters: the list cannot be read\n");
        free(list);
        return 1;
    }
    for (IP_ADAPTER_ADDRESSES *a = list; a; a = a->Next)
        printf("%lu status %d name %s description \"%ls\"\n", a->IfIndex, (int)a->OperStatus,
               a->AdapterName, a->Description);
    free(list);
    return 0;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IONBF, 0);
    if (argc == 3 && strcmp(argv[1], "check") == 0)
        return Check(argv[2]);
    if (argc == 2 && strcmp(argv[1], "state") == 0) {
        HANDLE pump = OpenPump();
        struct PumpState st;
        if (pump == INVALID_HANDLE_VALUE || !State(pump, &st)) {
            printf("state: no stand-in device\n");
            return 1;
        }
        printf("opens %lu media %lu reads %lu writes %lu dropped %lu tun %08lx %08lx %08lx\n",
               st.opens, st.media, st.reads, st.writes, st.dropped, st.tun[0], st.tun[1], st.tun[2]);
        return 0;
    }
    if (argc == 2 && strcmp(argv[1], "adapters") == 0)
        return Adapters();
    if (argc == 3 && strcmp(argv[1], "bridge") == 0)
        return Bridge(atoi(argv[2]));
    fprintf(stderr, "usage: tap_pump check GUID | state | adapters | bridge PORT\n");
    return 2;
}

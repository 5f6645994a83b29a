// libFuzzer target over the route service's command handler (CMD_Handle and
// the dispatch behind it) with the tests' fake operations: one connection per
// input, its messages handled one after the other as the pipe worker would.
// Whatever a caller sends, every message gets one reply that names its
// command (or is "Unknown command"), nothing but a ClientHello is served
// before a hello binds the connection, an operation is only ever asked for
// the bound adapter, and the client's route bound holds.
//
// Input: byte 0 picks what the fake operations return (bit 0: they fail);
// the rest is messages separated by '\n' (a byte no request may hold), each
// given to the handler as its bytes, NULs included, cut at the pipe's buffer.
//
// Build and run: scripts/fuzz.sh.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "service_fakes.h"

using namespace svcfake;

static CSSLService *Service()
{
    static CSSLService *s = [] {
        EVENTLOG_SetSink(EventSink);
        return new CSSLService(Ops());
    }();
    return s;
}

static bool StartsWith(const std::string &text, const std::string &head)
{
    return text.compare(0, head.size(), head) == 0;
}

// The command's name as the dispatcher reads it: the first field.
static std::string FirstField(const char *message, size_t size)
{
    size_t at = 0;
    while (at < size && message[at] == ',')
        at++;
    size_t end = at;
    while (end < size && message[end] != ',' && message[end] != '\0')
        end++;
    return std::string(message + at, end - at);
}

// Every call names the bound adapter (by its index, and by its name where
// the operation takes one), or is one of the calls that name none.
static bool OnlyTheBoundAdapter(const CSSLService *s, const std::vector<std::string> &got)
{
    const std::string index = std::to_string(s->adapterIndex);
    const std::string named = std::string(s->adapterName) + "," + index;
    for (const std::string &call : got) {
        bool ok = StartsWith(call, "AddRoute(") || StartsWith(call, "RaiseMetric(") || call == "RestoreMetrics()" ||
                  call == "CleanUpRoutes()" || StartsWith(call, "PrepareInterface(" + index + ",") ||
                  StartsWith(call, "SetAddress(" + named + ",") || StartsWith(call, "DeleteAddress(" + named + ",") ||
                  StartsWith(call, "SetDns(" + named + ",") || call == "ResetAdapter(" + named + ")";
        if (!ok)
            return false;
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    CSSLService *s = Service();
    Reset();
    TakeEvents();
    calls().result = (data[0] & 1) ? 5 : 0;
    s->CMD_ResetClient();
    const char *text = reinterpret_cast<const char *>(data + 1);
    size_t left = size - 1;
    while (left > 0) {
        const char *nl = static_cast<const char *>(memchr(text, '\n', left));
        size_t n = nl ? (size_t)(nl - text) : left;
        size_t taken = n > SVC_REQUEST_MAX ? SVC_REQUEST_MAX : n;
        memcpy(s->request, text, taken);
        s->requestLength = n > SVC_REQUEST_MAX ? SVC_REQUEST_TOO_LONG : (uint32_t)n;
        s->reply[0] = '\0';
        s->replyLength = 0;
        bool wasBound = s->bound;
        std::string command = FirstField(text, taken);
        if (s->CMD_Handle() != 1)
            abort();  // the fake reset always starts
        std::string reply = s->reply;
        if (s->replyLength != reply.size() + 1 || reply.empty())
            abort();
        if (reply != "Unknown command" && !StartsWith(reply, command + " OK") &&
            !StartsWith(reply, command + " FAILED,0x"))
            abort();
        std::vector<std::string> got = TakeCalls();
        if (!wasBound && !got.empty())
            abort();
        if (got.size() > 2 || !OnlyTheBoundAdapter(s, got))
            abort();
        if (s->routeCount > SVC_MAX_CLIENT_ROUTES)
            abort();
        text += n + (nl ? 1 : 0);
        left -= n + (nl ? 1 : 0);
    }
    TakeEvents();
    return 0;
}

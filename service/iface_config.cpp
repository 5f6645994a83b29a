#include "iface_config.h"
#include "service_log.h"
#include "service_pipe_protocol.h"
#include "svc_state.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static const IfaceSys *s_sys;
static char s_dnsFile[1024];

const IfaceSys *IFACE_SetSystem(const IfaceSys *sys)
{
    const IfaceSys *old = s_sys ? s_sys : IFACE_SystemBackend();
    s_sys = sys;
    return old;
}

static const IfaceSys *Sys()
{
    return s_sys ? s_sys : IFACE_SystemBackend();
}

bool IFACE_LegacySystem()
{
    return Sys()->IsLegacy();
}

bool IFACE_NameIsSafe(const char *name)
{
    if (!name)
        return false;
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name); *p; p++, n++) {
        // A quote would end the quoted name and hand netsh words of the
        // client's choosing; control characters end lines of the resolver file.
        if (*p == '"' || *p < 0x20 || *p == 0x7F)
            return false;
    }
    return n < IFACE_NAME_MAX;
}

bool IFACE_MaskIsPrefix(uint32_t mask)
{
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&mask);
    uint32_t host = (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
    uint32_t inverted = ~host;
    return (inverted & (inverted + 1)) == 0;
}

void IFACE_Designation(char *out, size_t size, const char *name, uint32_t index, bool legacy)
{
    if (legacy)
        snprintf(out, size, "\"%s\"", name);
    else
        snprintf(out, size, "%lu", (unsigned long)index);
}

struct StepContext {
    const char *name;
    uint32_t index;
    char iface[IFACE_DESIGNATION_MAX];
};

static void Begin(StepContext *c, const char *name, uint32_t index)
{
    c->name = name;
    c->index = index;
    IFACE_Designation(c->iface, sizeof(c->iface), name, index, Sys()->IsLegacy());
}

// Runs one step with its netsh parameters; a step that cannot be started is
// logged here and its code ends the caller's sequence.
static uint32_t Step(const StepContext *c, IfaceStep step, const char *format, ...)
    SVC_PRINTF(3, 4);
static uint32_t Step(const StepContext *c, IfaceStep step, const char *format, ...)
{
    char command[IFACE_COMMAND_MAX];
    va_list ap;
    va_start(ap, format);
    vsnprintf(command, sizeof(command), format, ap);
    va_end(ap);
    step.name = c->name;
    step.index = c->index;
    step.command = command;
    uint32_t code = Sys()->Run(&step);
    if (code != 0)
        LOG_Print("ERROR: Failed to execute \"%s\" \"%s\", error %lu (%s)\r\n", Sys()->tool, command,
                  (unsigned long)code, GetErrorText(code));
    return code;
}

static uint32_t Refuse(const char *what, const char *name)
{
    LOG_Print("ERROR: Refused %s for adapter \"%s\": unusable argument\r\n", what,
              IFACE_NameIsSafe(name) ? name : "?");
    return Sys()->invalidParameter;
}

// A change is recorded before it is made, so that a successor can put the
// adapter back; the reset is that putting back, and needs no record of its
// own (it is made also where none can be written).
static uint32_t SetAddress(const char *name, uint32_t index, uint32_t address, uint32_t mask, uint32_t gateway,
                           uint32_t mtu, bool note)
{
    if (!IFACE_NameIsSafe(name) || !IFACE_MaskIsPrefix(mask))
        return Refuse("address change", name);
    if (note)
        if (uint32_t noted = STATE_NoteAdapter(name, index))
            return noted;
    StepContext c;
    Begin(&c, name, index);
    IfaceStep s = {};
    s.kind = IFACE_STEP_SET_ADDRESS;
    s.address = address;
    s.mask = mask;
    s.gateway = gateway;
    uint32_t code;
    if (gateway == 0)
        code = Step(&c, s, "interface ip set address %s static %s %s", c.iface, SVC_IpToString(address),
                    SVC_IpToString(mask));
    else if (gateway == IFACE_NO_GATEWAY)
        code = Step(&c, s, "interface ip set address %s static %s %s gateway=none", c.iface,
                    SVC_IpToString(address), SVC_IpToString(mask));
    else
        code = Step(&c, s, "interface ip set address %s static %s %s gateway=%s gwmetric=2", c.iface,
                    SVC_IpToString(address), SVC_IpToString(mask), SVC_IpToString(gateway));
    if (code != 0)
        return code;
    IfaceStep m = {};
    m.kind = IFACE_STEP_SET_MTU;
    m.mtu = mtu;
    return Step(&c, m, "interface ipv4 set subinterface %s mtu=%d", c.iface, (int)mtu);
}

uint32_t IFACE_SetAddress(const char *name, uint32_t index, uint32_t address, uint32_t mask,
                          uint32_t gateway, uint32_t mtu)
{
    return SetAddress(name, index, address, mask, gateway, mtu, true);
}

uint32_t IFACE_DeleteAddress(const char *name, uint32_t index, uint32_t address)
{
    if (!IFACE_NameIsSafe(name))
        return Refuse("address removal", name);
    // Recorded before the change: a successor can put the adapter back.
    if (uint32_t noted = STATE_NoteAdapter(name, index))
        return noted;
    StepContext c;
    Begin(&c, name, index);
    IfaceStep s = {};
    s.kind = IFACE_STEP_DELETE_ADDRESS;
    s.address = address;
    return Step(&c, s, "interface ip delete address %s address=%s gateway=all", c.iface,
                SVC_IpToString(address));
}

static uint32_t SetDns(const char *name, uint32_t index, bool clear, uint32_t dns1, uint32_t dns2, bool note)
{
    if (!IFACE_NameIsSafe(name))
        return Refuse("DNS change", name);
    if (note)
        if (uint32_t noted = STATE_NoteAdapter(name, index))
            return noted;
    StepContext c;
    Begin(&c, name, index);
    // Both texts are made before any step: each has its own slot, so the
    // second conversion cannot overwrite the first.
    char text1[16], text2[16];
    snprintf(text1, sizeof(text1), "%s", SVC_IpToString(dns1));
    snprintf(text2, sizeof(text2), "%s", SVC_IpToString(dns2));
    uint32_t code;
    if (clear) {
        IfaceStep s = {};
        s.kind = IFACE_STEP_CLEAR_DNS;
        if ((code = Step(&c, s, "interface ip delete dns %s all", c.iface)) != 0)
            return code;
    }
    if (dns1 != 0) {
        IfaceStep s = {};
        s.kind = IFACE_STEP_SET_DNS;
        s.address = dns1;
        if ((code = Step(&c, s, "interface ip set dns %s static %s", c.iface, text1)) != 0)
            return code;
    }
    if (dns2 != 0) {
        IfaceStep s = {};
        s.kind = IFACE_STEP_ADD_DNS;
        s.address = dns2;
        if ((code = Step(&c, s, "interface ip add dns name=%s addr=%s index=2", c.iface, text2)) != 0)
            return code;
    }
    return 0;
}

uint32_t IFACE_SetDns(const char *name, uint32_t index, bool clear, uint32_t dns1, uint32_t dns2)
{
    return SetDns(name, index, clear, dns1, dns2, true);
}

uint32_t IFACE_SetMetric(uint32_t index)
{
    // Recorded before the change: the client's going, or a successor, puts
    // the adapter's own settings back.
    if (Sys()->GetMetric) {
        uint32_t metric = 0;
        bool automatic = false;
        uint32_t got = Sys()->GetMetric(index, &metric, &automatic);
        if (got == 0) {
            uint32_t noted = STATE_NoteMetric(index, metric, automatic);
            if (noted != 0)
                return noted;
        } else
            LOG_Print("Warning: The interface metric of adapter %lu cannot be read (%lu)\r\n", (unsigned long)index,
                      (unsigned long)got);
    }
    uint32_t code = Sys()->SetMetric(index);
    if (code != 0) {
        LOG_Print("Warning: Unable to automatically set interface metric. Please manually configure TUNLEX "
                  "interface metric to '0'.\r\n");
        EVENTLOG_Write(SVC_EVENT_INFO, "Warning: Unable to automatically set interface metric. Please "
                                       "manually configure TUNLEX interface metric to '0'.");
    }
    return code;
}

uint32_t IFACE_RestoreMetric()
{
    uint32_t index = 0, metric = 0;
    bool automatic = false;
    if (!STATE_NotedMetric(&index, &metric, &automatic))
        return 0;
    return IFACE_PutBackMetric(index, metric, automatic);
}

uint32_t IFACE_PutBackMetric(uint32_t index, uint32_t metric, bool automatic)
{
    if (!Sys()->PutMetric)
        return 0;
    uint32_t code = Sys()->PutMetric(index, metric, automatic);
    if (code == 0)
        LOG_Print("Interface metric of adapter %lu put back: %s%lu\r\n", (unsigned long)index,
                  automatic ? "automatic, " : "", (unsigned long)metric);
    else
        LOG_Print("ERROR: The interface metric of adapter %lu cannot be put back (%s%lu): %lu (%s)\r\n",
                  (unsigned long)index, automatic ? "automatic, " : "", (unsigned long)metric, (unsigned long)code,
                  GetErrorText(code));
    return code;
}

static uint32_t NetAddress(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    uint8_t bytes[4] = {a, b, c, d};
    uint32_t v;
    memcpy(&v, bytes, 4);
    return v;
}

static uint32_t PlaceholderAddress()
{
    return NetAddress(1, 1, 1, 1);
}

static uint32_t PlaceholderMask()
{
    return NetAddress(255, 255, 255, 0);
}

bool IFACE_IsPlaceholder(uint32_t address, uint32_t mask, uint32_t gateway)
{
    return address == PlaceholderAddress() && mask == PlaceholderMask() && gateway == IFACE_NO_GATEWAY;
}

uint32_t IFACE_ResetAdapter(const char *name, uint32_t index)
{
    if (!IFACE_NameIsSafe(name)) {
        // Ending the worker over a name the client sent would leave the
        // service without a pipe; the reset is skipped instead.
        LOG_Print("ERROR: Adapter reset skipped: unusable adapter name\r\n");
        return 0;
    }
    uint32_t code = SetAddress(name, index, PlaceholderAddress(), PlaceholderMask(), IFACE_NO_GATEWAY,
                               IFACE_RESET_MTU, false);
    if (code != 0)
        return code;
    code = SetDns(name, index, true, 0, 0, false);
    if (code != 0 && Sys()->dnsInFile) {
        // Nothing failed to start: the adapter has its placeholder, the
        // client's routes are still to be undone and the next client served.
        LOG_Print("ERROR: The resolver file \"%s\" could not be emptied: it may still name the tunnel's DNS "
                  "servers\r\n", IFACE_DnsFile());
        return 0;
    }
    return code;
}

void IFACE_SetDnsFile(const char *path)
{
    snprintf(s_dnsFile, sizeof(s_dnsFile), "%s", path ? path : "");
}

const char *IFACE_DnsFile()
{
    if (s_dnsFile[0])
        return s_dnsFile;
    return SVCPIPE_DnsFile();
}

#include "service_log.h"
#include "service_log_sys.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

static FILE *s_logFile;
// The log file the command line named, until LOG_StartFile opens it, and the
// lines printed meanwhile.
static char s_filePath[SVC_LOG_PATH_MAX];
static std::mutex s_earlyLock;
static char s_early[SVC_LOG_EARLY_MAX];
static size_t s_earlyLength;
static bool s_earlyCut;
static EVENTLOG_Sink s_eventSink;
static char s_ipSlots[SVC_IP_SLOTS][SVC_IP_SLOT_MAX];
static int s_ipSlot;

int LOG_Print(const char *format, ...)
{
    char line[SVC_LOG_LINE_MAX];
    va_list ap;
    va_start(ap, format);
    int n = vsnprintf(line, sizeof(line), format, ap);
    va_end(ap);
    if (n < 0)
        return n;
    fputs(line, stdout);
    fflush(stdout);  // a daemon's output is a pipe or a file: keep it current
    if (s_logFile) {
        fputs(line, s_logFile);
        fflush(s_logFile);
    } else if (s_filePath[0]) {
        std::lock_guard<std::mutex> hold(s_earlyLock);
        size_t length = strlen(line);
        if (s_earlyLength + length < sizeof(s_early)) {
            memcpy(s_early + s_earlyLength, line, length);
            s_earlyLength += length;
        } else {
            s_earlyCut = true;
        }
    }
    return n;
}

static void ForgetFile()
{
    std::lock_guard<std::mutex> hold(s_earlyLock);
    s_filePath[0] = '\0';
    s_earlyLength = 0;
    s_earlyCut = false;
}

int LOG_OpenFile(const char *path)
{
    LOG_CloseFile();
    char why[SVC_LOG_WHY_MAX], note[SVC_LOG_WHY_MAX + SVC_LOG_PATH_MAX];
    s_logFile = LOGSYS_OpenFile(path, why, sizeof(why), note, sizeof(note));
    return s_logFile != nullptr;
}

int LOG_SetFile(const char *path, char *why, size_t size)
{
    LOG_CloseFile();
    if (strlen(path) >= sizeof(s_filePath)) {
        snprintf(why, size, "the name is longer than %lu bytes", (unsigned long)sizeof(s_filePath) - 1);
        return 0;
    }
    if (!LOGSYS_CheckFile(path, why, size))
        return 0;
    snprintf(s_filePath, sizeof(s_filePath), "%s", path);
    return 1;
}

int LOG_StartFile(char *why, size_t size)
{
    if (s_logFile || !s_filePath[0])
        return 1;
    char note[SVC_LOG_WHY_MAX + SVC_LOG_PATH_MAX], reason[SVC_LOG_WHY_MAX];
    FILE *f = LOGSYS_OpenFile(s_filePath, reason, sizeof(reason), note, sizeof(note));
    if (!f) {
        snprintf(why, size, "\"%s\": %s", s_filePath, reason);
        ForgetFile();
        return 0;
    }
    {
        std::lock_guard<std::mutex> hold(s_earlyLock);
        fwrite(s_early, 1, s_earlyLength, f);
        if (s_earlyCut)
            fputs("NOTICE: Lines printed before the log file was opened are left out; standard output has "
                  "them\r\n", f);
        fflush(f);
        s_logFile = f;
    }
    ForgetFile();
    if (note[0]) {
        LOG_Print("NOTICE: The log file %s\r\n", note);
        EVENTLOG_Write(SVC_EVENT_WARNING, "The log file was not the service's own: it is made anew.");
    }
    return 1;
}

void LOG_CloseFile()
{
    if (s_logFile)
        fclose(s_logFile);
    s_logFile = nullptr;
    ForgetFile();
}

const char *EVENTLOG_TypeName(uint16_t type)
{
    switch (type) {
    case SVC_EVENT_SUCCESS: return "SUCCESS";
    case SVC_EVENT_ERROR: return "ERROR";
    case SVC_EVENT_WARNING: return "WARNING";
    case SVC_EVENT_INFO: return "INFO";
    case SVC_EVENT_AUDIT_SUCCESS: return "AUDIT_SUCCESS";
    case SVC_EVENT_AUDIT_FAILURE: return "AUDIT_FAILURE";
    default: return "N/A";
    }
}

EVENTLOG_Sink EVENTLOG_SetSink(EVENTLOG_Sink sink)
{
    EVENTLOG_Sink old = s_eventSink;
    s_eventSink = sink;
    return old;
}

void EVENTLOG_Write(uint16_t type, const char *text)
{
    bool error = type == SVC_EVENT_ERROR;
    uint16_t category = error ? SVC_EVENT_CATEGORY_ERROR : SVC_EVENT_CATEGORY_INFO;
    uint32_t id = error ? SVC_EVENT_ID_ERROR : SVC_EVENT_ID_INFO;
    EVENTLOG_Sink sink = s_eventSink ? s_eventSink : LOGSYS_ReportEvent;
    sink(type, category, id, SVC_SERVICE_NAME, text);
    printf("%8s: %s\r\n", EVENTLOG_TypeName(type), text);
    fflush(stdout);
}

void EVENTLOG_WriteError(uint32_t code, const char *what)
{
    char text[260];
    snprintf(text, sizeof(text), "%s failed w/err 0x%08lx", what, (unsigned long)code);
    EVENTLOG_Write(SVC_EVENT_ERROR, text);
}

const char *SVC_IpToString(uint32_t address)
{
    s_ipSlot = (s_ipSlot + 1) % SVC_IP_SLOTS;
    // The address is in network byte order: its first byte in memory is the
    // first part of the dotted text.
    const uint8_t *b = reinterpret_cast<const uint8_t *>(&address);
    snprintf(s_ipSlots[s_ipSlot], SVC_IP_SLOT_MAX, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
    return s_ipSlots[s_ipSlot];
}

const char *GetErrorText(uint32_t code)
{
    static char text[SVC_ERROR_TEXT_MAX];
    LOGSYS_ErrorText(code, text, sizeof(text));
    size_t n = strlen(text);
    while (n > 0 && (text[n - 1] == '\r' || text[n - 1] == '\n'))
        text[--n] = '\0';
    return text;
}

// Log sink, stream side: standard error, the log file and the hook of the
// diagnostic console. Lines are formatted per call into 1024-byte buffers.
#include "gui_log.h"

#include "errorinfo.h"

#include <atomic>
#include <mutex>
#include <stdarg.h>
#include <string.h>
#include <time.h>

namespace {

// Serialises whole lines on the streams; never held while the console runs.
std::mutex g_streamLock;
FILE *g_logFile = nullptr;

std::atomic<GUI_ConsoleAppend> g_console{nullptr};
std::atomic<GUI_NotifyHandler> g_notify{nullptr};
std::atomic<GUI_TraceTap> g_traceTap{nullptr};

// localtime() shares one result record in some runtimes.
std::mutex g_timeLock;

void WriteStreams(const char *text, bool toStderr, bool toLog)
{
    std::lock_guard<std::mutex> hold(g_streamLock);
    if (toStderr)
        fputs(text, stderr);
    if (toLog && g_logFile) {
        fputs(text, g_logFile);
        fflush(g_logFile);
    }
}

void ToConsole(bool stamped, uint32_t stampColour, const char *text, uint32_t colour)
{
    GUI_ConsoleAppend append = g_console.load();
    if (!append)
        return;
    char stamp[GUI_STAMP_SIZE] = "";
    if (stamped)
        GUI_FormatTimestamp(stamp, sizeof stamp);
    append(stamp, stampColour, text, colour);
}

void VFormatLine(char (&line)[GUI_LINE_SIZE], const char *fmt, va_list ap)
{
    if (vsnprintf(line, sizeof line, fmt, ap) < 0)
        line[0] = '\0';
}

// prefix + text + lineEnd; a text too long for the line is cut so that the
// line end still fits.
void JoinEntry(char (&line)[GUI_LINE_SIZE], const char *prefix, const char *text,
               const char *lineEnd)
{
    size_t used = strlen(prefix);
    size_t endLen = strlen(lineEnd);
    size_t room = sizeof line - 1 - used - endLen;
    size_t len = strlen(text);
    if (len > room)
        len = room;
    memcpy(line, prefix, used);
    memcpy(line + used, text, len);
    memcpy(line + used + len, lineEnd, endLen + 1);
}

void PrintLine(bool stamped, uint32_t colour, const char *line, bool toStderr = true)
{
    ToConsole(stamped, GUI_COLOUR_WHITE, line, colour);
    WriteStreams(line, toStderr, true);
}

void VDebug(bool toStderr, const char *fmt, va_list ap)
{
    char line[GUI_LINE_SIZE];
    VFormatLine(line, fmt, ap);
    PrintLine(true, GUI_COLOUR_LIGHT_BLUE, line, toStderr);
}

} // namespace

uint32_t GUI_PrintColour(int level)
{
    if (level == 1)
        return GUI_COLOUR_ORANGE;
    if (level == 2)
        return GUI_COLOUR_RED;
    return GUI_COLOUR_GREEN;
}

uint32_t GUI_TraceColour(int level, const char *line)
{
    if (level >= 0 && level <= 2)
        return GUI_COLOUR_LIGHT_RED;
    if (level >= 3 && level <= GUI_TRACE_THRESHOLD) {
        if (strstr(line, "] IPCP:"))
            return GUI_COLOUR_LIGHT_CYAN;
        if (strstr(line, "] VSP:"))
            return GUI_COLOUR_LIGHT_YELLOW;
    }
    return GUI_COLOUR_WHITE;
}

const char *GUI_ErrorTag(int level)
{
    switch (level) {
    case 0: return "INFO";
    case 1: return "WARNING";
    case 2: return "ERROR";
    default: return "";
    }
}

void GUI_FormatTimestamp(char *out, uint32_t size)
{
    if (!out || size == 0)
        return;
    out[0] = '\0';
    time_t now = time(nullptr);
    struct tm local;
    {
        std::lock_guard<std::mutex> hold(g_timeLock);
        const struct tm *t = localtime(&now);
        if (!t)
            return;
        local = *t;
    }
    int n = snprintf(out, size, "[%.4lu-%.2lu-%.2lu %.2lu:%.2lu:%.2lu] ",
                     static_cast<unsigned long>(local.tm_year + 1900),
                     static_cast<unsigned long>(local.tm_mon + 1),
                     static_cast<unsigned long>(local.tm_mday),
                     static_cast<unsigned long>(local.tm_hour),
                     static_cast<unsigned long>(local.tm_min),
                     static_cast<unsigned long>(local.tm_sec));
    if (n < 0)
        out[0] = '\0';
}

int GUI_Print(int timestamp, int level, const char *fmt, ...)
{
    char line[GUI_LINE_SIZE];
    va_list ap;
    va_start(ap, fmt);
    VFormatLine(line, fmt, ap);
    va_end(ap);
    PrintLine(timestamp != 0, GUI_PrintColour(level), line);
    return 0;
}

int GUI_Debug(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    VDebug(true, fmt, ap);
    va_end(ap);
    return 0;
}

int GUI_DebugQuiet(const char *fmt, ...)
{
    va_list ap;
    va_start(ap, fmt);
    VDebug(false, fmt, ap);
    va_end(ap);
    return 0;
}

void GUI_PrintErrorChain(int level, const ErrorInfo *chain)
{
    if (!chain || !chain->message || chain->message[0] == '\0')
        return;
    const char *tag = GUI_ErrorTag(level);
    const char *text = chain->message;
    bool needEnd = text[strlen(text) - 1] != '\n';

    // The first entry: console (all of it red) and log file, not standard error.
    char line[GUI_LINE_SIZE];
    char prefix[32];
    snprintf(prefix, sizeof prefix, "%s: ", tag);
    JoinEntry(line, prefix, text, needEnd ? "\n" : "");
    ToConsole(true, GUI_COLOUR_RED, line, GUI_COLOUR_RED);
    snprintf(prefix, sizeof prefix, "[%s]: ", tag);
    JoinEntry(line, prefix, text, needEnd ? "\r\n" : "");
    WriteStreams(line, false, true);

    unsigned number = 2;
    for (const ErrorInfo *e = chain->next; e && e->message; e = e->next, number++) {
        snprintf(prefix, sizeof prefix, "[%s %u]: ", tag, number);
        JoinEntry(line, prefix, e->message, "\n");
        GUI_Print(1, 0, "%s", line);
    }

    std::lock_guard<std::mutex> hold(g_streamLock);
    if (g_logFile)
        fflush(g_logFile);
}

void GUI_Notify(int level, const char *text)
{
    GUI_NotifyHandler notify = g_notify.load();
    if (!notify || !text || text[0] == '\0')
        return;
    const char *title = level == 0 ? "Info" : level == 1 ? "Warning" : level == 2 ? "Error" : "";
    notify(title, text);
}

void GUI_Trace(const char *module, int level, const char *fmt, ...)
{
    GUI_TraceTap tap = g_traceTap.load();
    if (level > GUI_TRACE_THRESHOLD && !tap)
        return;
    if (!module)
        module = "";

    char line[GUI_LINE_SIZE];
    int prefix = snprintf(line, sizeof line, "[%5s:%3d] ", module, level);
    if (prefix < 0 || prefix >= GUI_LINE_SIZE)
        prefix = 0;
    va_list ap;
    va_start(ap, fmt);
    if (vsnprintf(line + prefix, sizeof line - prefix, fmt, ap) < 0)
        line[prefix] = '\0';
    va_end(ap);

    if (tap)
        tap(module, level, line + prefix);
    if (level > GUI_TRACE_THRESHOLD)
        return;

    // Room for "\r\n" is made by cutting the text: the line never outgrows its buffer.
    size_t len = strlen(line);
    if (len > 0 && line[len - 1] != '\n') {
        if (len > GUI_LINE_SIZE - 3)
            len = GUI_LINE_SIZE - 3;
        memcpy(line + len, "\r\n", 3);
    }
    WriteStreams(line, true, false);
    ToConsole(true, GUI_COLOUR_WHITE, line, GUI_TraceColour(level, line));
    WriteStreams(line, false, true);
}

void GUI_SetLogFile(FILE *file)
{
    std::lock_guard<std::mutex> hold(g_streamLock);
    g_logFile = file;
}

FILE *GUI_GetLogFile(void)
{
    std::lock_guard<std::mutex> hold(g_streamLock);
    return g_logFile;
}

void GUI_SetConsoleAppend(GUI_ConsoleAppend append)
{
    g_console.store(append);
}

void GUI_SetNotifyHandler(GUI_NotifyHandler handler)
{
    g_notify.store(handler);
}

void GUI_SetTraceTap(GUI_TraceTap tap)
{
    g_traceTap.store(tap);
}

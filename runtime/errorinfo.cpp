// Error chain. Messages are formatted into per-call stack buffers, so chains of
// different threads never share scratch space.
#include "errorinfo.h"
#include "errorinfo_sys.h"

#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

namespace {

const char kModule[] = "errorinfo";

// Formats with the platform printf; the text is cut at ERRORINFO_MAX_TEXT.
size_t FormatText(char (&out)[ERRORINFO_MAX_TEXT + 1], const char *fmt, va_list ap)
{
    int n = vsnprintf(out, sizeof out, fmt, ap);
    if (n < 0) {
        out[0] = '\0';
        return 0;
    }
    return strlen(out);
}

char *CopyText(const char *text, size_t len)
{
    char *copy = static_cast<char *>(malloc(len + 1));
    if (copy) {
        memcpy(copy, text, len);
        copy[len] = '\0';
    }
    return copy;
}

// Stores an already formatted text into an entry that holds no message.
int StoreText(ErrorInfo *entry, const char *text, size_t len)
{
    if (len == 0)
        return 0;
    entry->message = CopyText(text, len);
    return entry->message != nullptr;
}

} // namespace

// Formats into an entry; an empty text or no memory stores nothing and gives 0.
static int ERRORINFO_Format(ErrorInfo *entry, const char *fmt, va_list ap)
{
    char text[ERRORINFO_MAX_TEXT + 1];
    size_t len = FormatText(text, fmt, ap);
    return StoreText(entry, text, len);
}

void ERRORINFO_Clear(ErrorInfo *chain, const char *file, int32_t line)
{
    if (!chain)
        return;
    ErrorInfo *e = chain->next;
    while (e) {
        ErrorInfo *next = e->next;
        free(e->message);
        free(e);
        e = next;
    }
    free(chain->message);
    chain->message = nullptr;
    chain->next = nullptr;
    chain->file = file;
    chain->line = line;
}

int ERRORINFO_Set(ErrorInfo *chain, const char *file, int32_t line, const char *fmt, ...)
{
    if (!chain)
        return 1;
    // Format before clearing: an argument may be the chain's own message.
    char text[ERRORINFO_MAX_TEXT + 1];
    va_list ap;
    va_start(ap, fmt);
    size_t len = FormatText(text, fmt, ap);
    va_end(ap);
    ERRORINFO_Clear(chain, file, line);
    return StoreText(chain, text, len);
}

int ERRORINFO_Append(ErrorInfo *chain, const char *file, int32_t line, const char *fmt, ...)
{
    if (!chain)
        return 1;
    va_list ap;
    va_start(ap, fmt);
    int ok;
    if (!chain->message) {
        chain->file = file;
        chain->line = line;
        ok = ERRORINFO_Format(chain, fmt, ap);
    } else {
        ErrorInfo *last = chain;
        while (last->next)
            last = last->next;
        ErrorInfo *entry = static_cast<ErrorInfo *>(calloc(1, sizeof(ErrorInfo)));
        ok = 0;
        if (entry) {
            entry->file = file;
            entry->line = line;
            ok = ERRORINFO_Format(entry, fmt, ap);
            if (ok)
                last->next = entry;
            else
                free(entry);
        }
    }
    va_end(ap);
    return ok;
}

int ERRORINFO_SetSystem(ErrorInfo *chain, uint32_t code, const char *file, int32_t line,
                        const char *fmt, ...)
{
    if (!chain)
        return 1;
    char text[ERRORINFO_MAX_TEXT + 1];
    va_list ap;
    va_start(ap, fmt);
    size_t len = FormatText(text, fmt, ap);
    va_end(ap);
    char sys[ERRORINFO_MAX_TEXT + 1];
    size_t sysLen = ERRORINFO_SystemText(code, sys, sizeof sys);

    ERRORINFO_Clear(chain, file, line);
    char *message = static_cast<char *>(malloc(len + sysLen + 2));
    if (!message)
        return 0;
    memcpy(message, text, len);
    message[len] = '\n';
    memcpy(message + len + 1, sys, sysLen);
    message[len + 1 + sysLen] = '\0';
    chain->message = message;
    return 1;
}

int ERRORINFO_Copy(ErrorInfo *dst, const ErrorInfo *src)
{
    if (dst == src)
        return !ERRORINFO_IsEmpty(src);
    if (!dst)
        return 1;
    ERRORINFO_Clear(dst, kModule, __LINE__);
    if (ERRORINFO_IsEmpty(src))
        return 0;
    dst->message = CopyText(src->message, strlen(src->message));
    if (!dst->message)
        return 0;
    dst->file = src->file;
    dst->line = src->line;
    return 1;
}

int ERRORINFO_IsEmpty(const ErrorInfo *chain)
{
    return !chain || !chain->message;
}

uint32_t ERRORINFO_Count(const ErrorInfo *chain)
{
    uint32_t n = 0;
    for (const ErrorInfo *e = chain; e && e->message; e = e->next)
        n++;
    return n;
}

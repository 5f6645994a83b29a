// Collects the text the log sink sends to the console while the object
// lives (one capture at a time). Header-only.
#pragma once

#include <mutex>
#include <string>

#include "gui_log.h"

class LogCapture {
public:
    LogCapture()
    {
        Active() = this;
        GUI_SetConsoleAppend(Append);
    }
    ~LogCapture()
    {
        GUI_SetConsoleAppend(nullptr);
        Active() = nullptr;
    }
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    std::string Text()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return text_;
    }

private:
    static LogCapture *&Active()
    {
        static LogCapture *active = nullptr;
        return active;
    }
    static void Append(const char *, uint32_t, const char *text, uint32_t)
    {
        if (LogCapture *self = Active()) {
            std::lock_guard<std::mutex> hold(self->lock_);
            self->text_ += text;
        }
    }
    std::mutex lock_;
    std::string text_;
};

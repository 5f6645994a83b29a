// Scratch files and standard-error capture for tests. Header-only.
#pragma once

#include <stdio.h>
#include <unistd.h>  // dup, dup2, close: present on both toolchains

#include <atomic>
#include <chrono>
#include <string>

// A file in the working folder, removed when the object goes.
class ScratchFile {
public:
    explicit ScratchFile(const char *stem)
    {
        static std::atomic<unsigned> serial{0};
        auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
        path_ = std::string(stem) + "_" + std::to_string(stamp) + "_" +
                std::to_string(serial++) + ".tmp";
        file_ = fopen(path_.c_str(), "w+b");
    }
    ~ScratchFile()
    {
        if (file_)
            fclose(file_);
        remove(path_.c_str());
    }
    ScratchFile(const ScratchFile &) = delete;
    ScratchFile &operator=(const ScratchFile &) = delete;

    FILE *file() const { return file_; }
    const std::string &path() const { return path_; }

    // What another reader sees on disk now (nothing is flushed on our side).
    std::string OnDisk() const
    {
        std::string text;
        FILE *f = fopen(path_.c_str(), "rb");
        if (!f)
            return text;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, f)) > 0)
            text.append(buf, n);
        fclose(f);
        return text;
    }

private:
    std::string path_;
    FILE *file_ = nullptr;
};

// Sends standard error (the descriptor, so direct writes count too) into a
// scratch file while the object lives.
class StderrCapture {
public:
    StderrCapture() : sink_("stderr_capture")
    {
        fflush(stderr);
        saved_ = dup(fileno(stderr));
        dup2(fileno(sink_.file()), fileno(stderr));
    }
    ~StderrCapture() { Restore(); }
    StderrCapture(const StderrCapture &) = delete;
    StderrCapture &operator=(const StderrCapture &) = delete;

    std::string Text()
    {
        fflush(stderr);
        return sink_.OnDisk();
    }

private:
    void Restore()
    {
        if (saved_ < 0)
            return;
        fflush(stderr);
        dup2(saved_, fileno(stderr));
        close(saved_);
        saved_ = -1;
    }

    ScratchFile sink_;
    int saved_ = -1;
};

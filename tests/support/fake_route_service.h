// A stand-in for the route service on the real transport: it listens where
// the client looks (the SVCPIPE_PATH_ENV variable points to a name of its
// own), serves one client at a time, records every request's bytes and
// answers through a handler. Header-only; a message-mode named pipe on
// Windows, a SOCK_SEQPACKET socket on Linux.
#pragma once

#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "service_pipe_protocol.h"

#ifdef _WIN32
#include <windows.h>
#include <sddl.h>
#else
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#endif

struct FakeReply {
    enum Kind { SEND, SWALLOW, CLOSE } kind;
    std::string bytes;      // SEND: the message as sent, NUL included when wanted
    uint32_t delayMs;       // SEND: wait this long first
};

typedef std::function<FakeReply(const std::string &request)> FakeHandler;

// The command of a request: its text up to the first comma or NUL.
inline std::string FakeCommandOf(const std::string &request)
{
    return request.substr(0, request.find_first_of(std::string(",\0", 2)));
}

inline FakeReply FakeSend(const std::string &text, uint32_t delayMs = 0)
{
    return FakeReply{FakeReply::SEND, text + std::string(1, '\0'), delayMs};
}

// What the real service answers to a command it performed.
inline FakeReply FakeOk(const std::string &request)
{
    return FakeSend(FakeCommandOf(request) + " " SVCPIPE_REPLY_OK);
}

// Points the client at another pipe name or path.
inline void FakeSetPipeName(const std::string &name)
{
#ifdef _WIN32
    _putenv_s(SVCPIPE_PATH_ENV, name.c_str());
#else
    setenv(SVCPIPE_PATH_ENV, name.c_str(), 1);
#endif
}

class FakeRouteService {
public:
    explicit FakeRouteService(FakeHandler handler = FakeOk) : handler_(handler)
    {
        static std::atomic<int> serial{0};
        char name[96];
#ifdef _WIN32
        snprintf(name, sizeof name, "\\\\.\\pipe\\tlx_fake_%lu_%d",
                 static_cast<unsigned long>(GetCurrentProcessId()), serial++);
        name_ = name;
        SetEnvironmentVariableA(SVCPIPE_PATH_ENV, name);
        _putenv_s(SVCPIPE_PATH_ENV, name);
        // A descriptor of its own, so that the pipe has an owner (this
        // account) to check: Wine gives a pipe made without one none at all.
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
        ConvertStringSecurityDescriptorToSecurityDescriptorA("D:(A;;GA;;;WD)", SDDL_REVISION_1,
                                                             &sa.lpSecurityDescriptor, nullptr);
        pipe_ = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                                 PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1,
                                 SVCPIPE_SERVICE_BUFFER, SVCPIPE_SERVICE_BUFFER, 0,
                                 sa.lpSecurityDescriptor ? &sa : nullptr);
        LocalFree(sa.lpSecurityDescriptor);
        stop_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        io_ = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ok_ = pipe_ != INVALID_HANDLE_VALUE && stop_ && io_;
#else
        snprintf(name, sizeof name, "/tmp/tlx_fake_pipe_%d_%d", static_cast<int>(getpid()),
                 serial++);
        name_ = name;
        setenv(SVCPIPE_PATH_ENV, name, 1);
        unlink(name);
        listener_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", name);
        // A backlog of 0 holds one waiting client: a second one finds the pipe busy.
        ok_ = listener_ >= 0 && bind(listener_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0 &&
              listen(listener_, 0) == 0 && pipe(wake_) == 0;
#endif
        if (ok_)
            thread_ = std::thread([this] { Serve(); });
    }

    ~FakeRouteService()
    {
        stopping_ = true;
#ifdef _WIN32
        if (stop_)
            SetEvent(stop_);
        if (thread_.joinable())
            thread_.join();
        ReleaseBusy();
        if (pipe_ != INVALID_HANDLE_VALUE)
            CloseHandle(pipe_);
        if (stop_)
            CloseHandle(stop_);
        if (io_)
            CloseHandle(io_);
        SetEnvironmentVariableA(SVCPIPE_PATH_ENV, nullptr);
        _putenv_s(SVCPIPE_PATH_ENV, "");
#else
        if (wake_[1] >= 0 && write(wake_[1], "x", 1) < 0) {
        }
        if (thread_.joinable())
            thread_.join();
        ReleaseBusy();
        for (int fd : {listener_, wake_[0], wake_[1]})
            if (fd >= 0)
                close(fd);
        unlink(name_.c_str());
        unsetenv(SVCPIPE_PATH_ENV);
#endif
    }

    FakeRouteService(const FakeRouteService &) = delete;
    FakeRouteService &operator=(const FakeRouteService &) = delete;

    bool Ok() const { return ok_; }
    const std::string &Name() const { return name_; }

    std::vector<std::string> Requests()
    {
        std::lock_guard<std::mutex> hold(lock_);
        return requests_;
    }

    // Waits until n requests have come in; false after ms.
    bool WaitRequests(size_t n, uint32_t ms)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (Requests().size() < n) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // Clients served or being served so far.
    int Clients() const { return clients_.load(); }

    // Makes the pipe busy as another client would, until ReleaseBusy.
    bool MakeBusy()
    {
#ifdef _WIN32
        busy_ = CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                            0, nullptr);
        if (busy_ == INVALID_HANDLE_VALUE)
            return false;
        // Busy once the server has taken this client.
        return WaitClients(1, 2000);
#else
        // Stop accepting and take the one backlog place.
        accepting_ = false;
        std::this_thread::sleep_for(std::chrono::milliseconds(60));
        busy_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        sockaddr_un addr;
        memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        snprintf(addr.sun_path, sizeof addr.sun_path, "%s", name_.c_str());
        return busy_ >= 0 && connect(busy_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) == 0;
#endif
    }

    void ReleaseBusy()
    {
#ifdef _WIN32
        if (busy_ != INVALID_HANDLE_VALUE)
            CloseHandle(busy_);
        busy_ = INVALID_HANDLE_VALUE;
#else
        if (busy_ >= 0)
            close(busy_);
        busy_ = -1;
        accepting_ = true;
#endif
    }

private:
    bool WaitClients(int n, uint32_t ms)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (clients_.load() < n) {
            if (std::chrono::steady_clock::now() >= end)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

    // The reply to one request; false when the client is to be dropped.
    bool Answer(const std::string &request, std::string *reply)
    {
        {
            std::lock_guard<std::mutex> hold(lock_);
            requests_.push_back(request);
        }
        FakeReply r = handler_(request);
        if (r.kind == FakeReply::CLOSE)
            return false;
        if (r.kind == FakeReply::SEND && r.delayMs)
            std::this_thread::sleep_for(std::chrono::milliseconds(r.delayMs));
        *reply = r.kind == FakeReply::SEND ? r.bytes : std::string();
        if (r.kind == FakeReply::SWALLOW)
            reply->clear();
        swallowed_ = r.kind == FakeReply::SWALLOW;
        return true;
    }

#ifdef _WIN32
    // Waits for the overlapped operation; false when stopped (it is cancelled).
    bool Wait(OVERLAPPED *ov, DWORD *bytes)
    {
        HANDLE events[2] = {io_, stop_};
        DWORD w = WaitForMultipleObjects(2, events, FALSE, INFINITE);
        if (w != WAIT_OBJECT_0) {
            CancelIoEx(pipe_, ov);
            GetOverlappedResult(pipe_, ov, bytes, TRUE);
            return false;
        }
        return GetOverlappedResult(pipe_, ov, bytes, FALSE) != 0;
    }

    void Serve()
    {
        while (!stopping_) {
            OVERLAPPED ov;
            ZeroMemory(&ov, sizeof ov);
            ov.hEvent = io_;
            DWORD bytes = 0;
            if (!ConnectNamedPipe(pipe_, &ov)) {
                DWORD err = GetLastError();
                if (err == ERROR_IO_PENDING) {
                    if (!Wait(&ov, &bytes))
                        return;
                } else if (err != ERROR_PIPE_CONNECTED) {
                    return;
                }
            }
            clients_++;
            for (;;) {
                char buf[SVCPIPE_SERVICE_BUFFER];
                ZeroMemory(&ov, sizeof ov);
                ov.hEvent = io_;
                bytes = 0;
                BOOL done = ReadFile(pipe_, buf, sizeof buf, nullptr, &ov);
                if (!done && GetLastError() != ERROR_IO_PENDING)
                    break;
                if (!Wait(&ov, &bytes)) {
                    if (stopping_)
                        return;
                    break;
                }
                std::string reply;
                if (!Answer(std::string(buf, bytes), &reply))
                    break;
                if (swallowed_)
                    continue;
                ZeroMemory(&ov, sizeof ov);
                ov.hEvent = io_;
                done = WriteFile(pipe_, reply.data(), static_cast<DWORD>(reply.size()), nullptr, &ov);
                if (!done && GetLastError() != ERROR_IO_PENDING)
                    break;
                if (!Wait(&ov, &bytes)) {
                    if (stopping_)
                        return;
                    break;
                }
            }
            DisconnectNamedPipe(pipe_);
        }
    }

    HANDLE pipe_ = INVALID_HANDLE_VALUE;
    HANDLE stop_ = nullptr;
    HANDLE io_ = nullptr;
    HANDLE busy_ = INVALID_HANDLE_VALUE;
#else
    // 1 readable, 0 woken to stop; polls in short steps while not accepting.
    int WaitReadable(int fd)
    {
        for (;;) {
            pollfd p[2] = {{fd, POLLIN, 0}, {wake_[0], POLLIN, 0}};
            bool watch = fd != listener_ || accepting_;
            int rc = poll(watch ? p : p + 1, watch ? 2 : 1, 20);
            if (stopping_)
                return 0;
            if (rc > 0 && watch && p[0].revents)
                return 1;
        }
    }

    void Serve()
    {
        while (!stopping_) {
            if (!WaitReadable(listener_))
                return;
            int client = accept(listener_, nullptr, nullptr);
            if (client < 0)
                continue;
            clients_++;
            for (;;) {
                if (!WaitReadable(client)) {
                    close(client);
                    return;
                }
                char buf[SVCPIPE_SERVICE_BUFFER];
                ssize_t n = recv(client, buf, sizeof buf, 0);
                if (n <= 0)
                    break;
                std::string reply;
                if (!Answer(std::string(buf, static_cast<size_t>(n)), &reply))
                    break;
                if (!swallowed_ && send(client, reply.data(), reply.size(), MSG_NOSIGNAL) < 0)
                    break;
            }
            close(client);
        }
    }

    int listener_ = -1;
    int wake_[2] = {-1, -1};
    int busy_ = -1;
    std::atomic<bool> accepting_{true};
#endif

    FakeHandler handler_;
    std::string name_;
    bool ok_ = false;
    bool swallowed_ = false;
    std::atomic<bool> stopping_{false};
    std::atomic<int> clients_{0};
    std::mutex lock_;
    std::vector<std::string> requests_;
    std::thread thread_;
};

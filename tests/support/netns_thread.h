// Runs test code inside a network namespace that `ip netns add` made, on a
// thread of its own: only that thread (and the threads it starts) sees the
// namespace, so nothing the code does reaches the host's links and routes.
// Linux only (included by *_linux.cpp tests). Header-only.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <thread>

// Runs f on a new thread that has entered namespace ns and waits for it; a
// test failure when the namespace cannot be entered.
template <typename F>
void RunInNetns(const std::string &ns, F f)
{
    std::string path = "/run/netns/" + ns;
    std::thread t([&] {
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        bool entered = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
        if (fd >= 0)
            close(fd);
        if (entered)
            f();
        else
            ADD_FAILURE() << "cannot enter " << path;
    });
    t.join();
}

// A network namespace of the test's own with two veth links (their peers
// stay in the namespace too): "tlx0" (the tunnel, 10.0.0.2/24) and "tlxeth"
// (another adapter, 198.51.100.2/24 with a static default route via 198.51.100.1). Code under test runs in a thread
// that has entered the namespace, so nothing reaches the host's own table.
// Needs root; the tests skip otherwise.
#pragma once

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace netns {

inline std::string Shell(const std::string &command)
{
    std::string out;
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0)
        out.append(buf, n);
    pclose(p);
    return out;
}

// The objects of a JSON array as `ip -j` prints it, each as its text.
inline std::vector<std::string> Objects(const std::string &json)
{
    std::vector<std::string> out;
    int depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < json.size(); i++) {
        if (json[i] == '{' && depth++ == 0)
            start = i;
        else if (json[i] == '}' && --depth == 0)
            out.push_back(json.substr(start, i - start + 1));
    }
    return out;
}

// The objects that hold every one of the fragments.
inline size_t CountMatching(const std::string &json, const std::vector<std::string> &fragments)
{
    size_t n = 0;
    for (const std::string &o : Objects(json)) {
        bool all = true;
        for (const std::string &f : fragments)
            all = all && o.find(f) != std::string::npos;
        n += all;
    }
    return n;
}

class NetnsTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root for a network namespace";
        static int counter;
        name = "tlxsn" + std::to_string((long)getpid()) + "_" + std::to_string(counter++);
        std::string ns = "ip -n " + name + " ";
        std::string out = Shell("ip netns add " + name);
        // One after the other: the operands of + have no order of their own.
        for (const char *step : {"link set lo up", "link add tlx0 type veth peer name tlx0p", "link set tlx0p up",
                                 "link set tlx0 up", "addr add 10.0.0.2/24 dev tlx0",
                                 "link add tlxeth type veth peer name tlxethp", "link set tlxethp up",
                                 "link set tlxeth up", "addr add 198.51.100.2/24 dev tlxeth",
                                 "route add default via 198.51.100.1 dev tlxeth proto static"})
            out += Shell(ns + step);
        if (!out.empty()) {
            Shell("ip netns del " + name);
            name.clear();
            GTEST_SKIP() << "cannot make the namespace: " << out;
        }
        tun = Index("tlx0");
        eth = Index("tlxeth");
    }
    void TearDown() override
    {
        if (!name.empty())
            Shell("ip netns del " + name);
    }

    // Runs body in a thread inside the namespace.
    void Inside(const std::function<void()> &body)
    {
        std::string path = "/run/netns/" + name;
        int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0) << path;
        bool entered = false;
        std::thread t([&] {
            entered = setns(fd, CLONE_NEWNET) == 0;
            if (entered)
                body();
        });
        t.join();
        close(fd);
        ASSERT_TRUE(entered);
    }

    std::string Ip(const std::string &args)
    {
        return Shell("ip -n " + name + " " + args);
    }

    uint32_t Index(const std::string &link)
    {
        std::string out = Shell("ip -n " + name + " -o link show " + link);
        return (uint32_t)strtoul(out.c_str(), nullptr, 10);
    }

    std::string name;
    uint32_t tun = 0, eth = 0;
};

}  // namespace netns

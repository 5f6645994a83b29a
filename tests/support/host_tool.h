// Runs a tool of the build host (python3, xmllint, tshark) as an independent
// reader of the files our code writes. Header-only. Under Wine there is no
// such host shell, so HostToolPath finds nothing and the caller skips.
#pragma once

#include <stdio.h>

#include <string>

// Runs the command through the shell; its standard output goes to *out.
// Returns the command's exit status, -1 when it could not be started.
inline int HostToolRun(const std::string &command, std::string *out)
{
    FILE *pipe = popen(command.c_str(), "r");
    if (!pipe)
        return -1;
    char buf[4096];
    size_t n;
    std::string text;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0)
        text.append(buf, n);
    int status = pclose(pipe);
    if (out)
        *out = text;
    return status;
}

// The tool's absolute path on a POSIX host, else "".
inline std::string HostToolPath(const char *tool)
{
    std::string out;
    if (HostToolRun(std::string("command -v ") + tool + " 2>/dev/null", &out) != 0)
        return "";
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r'))
        out.pop_back();
    return !out.empty() && out[0] == '/' ? out : "";
}

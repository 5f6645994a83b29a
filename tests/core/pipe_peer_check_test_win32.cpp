// The facts of a server in another process: the real route service started
// in debug mode on a pipe name of the test's own.
#include "pipe_peer_check.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <stdio.h>
#include <stdlib.h>
#include <string>

#include "pipe_client.h"
#include "service_pipe_protocol.h"

namespace {

TEST(PipePeerCheckProcess, TheFactsOfAnotherProcessAreReadFromItsToken)
{
    const char *bin = getenv("TLX_BINARY_DIR");
    if (!bin)
        GTEST_SKIP() << "TLX_BINARY_DIR names the build (set by CTest)";
    std::string program = std::string(bin) + "\\service\\vantorelle_tunlex_service.exe";
    if (GetFileAttributesA(program.c_str()) == INVALID_FILE_ATTRIBUTES)
        GTEST_SKIP() << program << " is not built";
    char name[96];
    snprintf(name, sizeof name, "\\\\.\\pipe\\tlx_peer_%lu", GetCurrentProcessId());
    SetEnvironmentVariableA(SVCPIPE_PATH_ENV, name);
    _putenv_s(SVCPIPE_PATH_ENV, name);
    std::string command = "\"" + program + "\" -debug";
    STARTUPINFOA si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    ASSERT_TRUE(CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                               nullptr, &si, &pi));
    intptr_t handle = PIPECLIENT_NONE;
    uint32_t code = 0;
    for (int i = 0; i < 100 && handle == PIPECLIENT_NONE; i++) {
        HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            handle = reinterpret_cast<intptr_t>(h);
        else
            Sleep(50);
    }
    ASSERT_NE(PIPECLIENT_NONE, handle);
    PIPECHECK_Facts facts = {};
    EXPECT_EQ(1, PIPECHECK_ReadFacts(handle, &facts, &code)) << code;
    EXPECT_EQ(1, facts.known);
    EXPECT_EQ(pi.dwProcessId, facts.pid);
    EXPECT_EQ(0, facts.sameProcess);
    printf("server facts: system %d, elevated %d, administrators %d -> %s\n", facts.userIsSystem, facts.elevated,
           facts.adminMember, PIPECHECK_Judge(&facts) ? "trusted" : "refused");
    PIPECLIENT_Close(handle);
    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    SetEnvironmentVariableA(SVCPIPE_PATH_ENV, nullptr);
    _putenv_s(SVCPIPE_PATH_ENV, "");
}

}  // namespace

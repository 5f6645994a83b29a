// The facts of a server in another process: the real route service started
// in debug mode on a pipe name of the test's own.
#include "pipe_peer_check.h"

#include <gtest/gtest.h>

#include <windows.h>

#include <sddl.h>
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
    EXPECT_EQ(1, facts.ownerTrusted) << "the service gives its pipe the administrators for owner";
    // Only the system account or an elevated administrator can give a pipe
    // that owner, so a token that can be read is one of theirs too.
    EXPECT_EQ(1, PIPECHECK_Verify(handle, &code))
        << "owner trusted " << facts.ownerTrusted << ", owner self " << facts.ownerIsSelf << ", token read "
        << facts.tokenRead << ", system " << facts.userIsSystem << ", elevated " << facts.elevated
        << ", administrators " << facts.adminMember << ", code " << code;
    PIPECLIENT_Close(handle);
    TerminateProcess(pi.hProcess, 0);
    WaitForSingleObject(pi.hProcess, 5000);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    SetEnvironmentVariableA(SVCPIPE_PATH_ENV, nullptr);
    _putenv_s(SVCPIPE_PATH_ENV, "");
}

// Pipes this process makes with the owners a server could give them, read
// back through a client end: what the check reads of the owner and what it
// decides. A pipe of this process passes only when its owner is trusted or
// this account: one owned by another user is someone else's pipe that has
// our process id (an id is reused once its process has ended).
TEST(PipePeerCheckOwner, TheOwnerIsReadFromThePipeItself)
{
    const struct {
        const char *what;
        const char *sddl;  // null: no descriptor at all
        int trusted, self, passes;  // -1: as this account's default owner is
    } rows[] = {
        {"SYSTEM", "O:SYD:(A;;GA;;;WD)", 1, 0, 1},
        {"Administrators", "O:BAD:(A;;GA;;;WD)", 1, -1, 1},
        {"another user", "O:S-1-5-21-1-2-3-1001D:(A;;GA;;;WD)", 0, 0, 0},
        {"this account's default", "D:(A;;GA;;;WD)", -1, 1, 1},
        {"none given", nullptr, -1, 1, 1},
    };
    std::string unmade;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.what);
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, FALSE};
        if (r.sddl) {
            ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(r.sddl, SDDL_REVISION_1,
                                                                             &sa.lpSecurityDescriptor, nullptr));
        }
        char name[96];
        snprintf(name, sizeof name, "\\\\.\\pipe\\tlx_owner_%lu", GetCurrentProcessId());
        HANDLE server = CreateNamedPipeA(name, PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE, 1, 512, 512, 0,
                                         r.sddl ? &sa : nullptr);
        LocalFree(sa.lpSecurityDescriptor);
        if (server == INVALID_HANDLE_VALUE) {
            // Windows lets only the system account give an object SYSTEM,
            // and nobody else's account at all.
            unmade += std::string(" ") + r.what + " (" + std::to_string(GetLastError()) + ")";
            continue;
        }
        HANDLE client = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, client);
        PIPECHECK_Facts facts = {};
        uint32_t code = 0;
        if (PIPECHECK_ReadFacts(reinterpret_cast<intptr_t>(client), &facts, &code)) {
            EXPECT_EQ(1, facts.sameProcess);
            if (r.trusted >= 0) {
                EXPECT_EQ(r.trusted, facts.ownerTrusted);
            }
            if (r.self >= 0) {
                EXPECT_EQ(r.self, facts.ownerIsSelf);
            }
            EXPECT_EQ(r.passes, PIPECHECK_Judge(&facts));
        } else {
            // Wine keeps no descriptor for a pipe made without one: no
            // owner, and so no trust.
            EXPECT_EQ(nullptr, r.sddl) << code;
            EXPECT_EQ(0, PIPECHECK_Verify(reinterpret_cast<intptr_t>(client), &code));
        }
        CloseHandle(client);
        CloseHandle(server);
    }
    if (!unmade.empty())
        GTEST_SKIP() << "this account cannot make pipes with these owners, whose rows are not checked:" << unmade;
}

}  // namespace

// The pipe object's owner, and the token of the process that has the
// server's process id now (which may no longer be the server's).
#include "pipe_peer_check.h"

#include <windows.h>
#include <aclapi.h>

#include <stdlib.h>

uint32_t PIPECHECK_DeniedCode(void)
{
    return ERROR_ACCESS_DENIED;
}

// A token information class into a new buffer (free it); null on failure.
static void *TokenInfo(HANDLE token, TOKEN_INFORMATION_CLASS kind)
{
    DWORD size = 0;
    GetTokenInformation(token, kind, nullptr, 0, &size);
    if (size == 0)
        return nullptr;
    void *buf = malloc(size);
    if (buf && !GetTokenInformation(token, kind, buf, size, &size)) {
        free(buf);
        buf = nullptr;
    }
    return buf;
}

static int AdminsEnabled(HANDLE token)
{
    TOKEN_GROUPS *groups = static_cast<TOKEN_GROUPS *>(TokenInfo(token, TokenGroups));
    if (!groups)
        return 0;
    int found = 0;
    for (DWORD i = 0; i < groups->GroupCount && !found; i++)
        found = IsWellKnownSid(groups->Groups[i].Sid, WinBuiltinAdministratorsSid) &&
                (groups->Groups[i].Attributes & SE_GROUP_ENABLED) &&
                !(groups->Groups[i].Attributes & SE_GROUP_USE_FOR_DENY_ONLY);
    free(groups);
    return found;
}

static int FromToken(DWORD pid, PIPECHECK_Facts *f)
{
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
    if (!process)
        return 0;
    HANDLE token = nullptr;
    int ok = OpenProcessToken(process, TOKEN_QUERY, &token);
    CloseHandle(process);
    if (!ok)
        return 0;
    TOKEN_USER *user = static_cast<TOKEN_USER *>(TokenInfo(token, TokenUser));
    TOKEN_ELEVATION elevation = {};
    DWORD size = 0;
    int haveElevation = GetTokenInformation(token, TokenElevation, &elevation, sizeof elevation, &size);
    int read = 0;
    if (user && haveElevation) {
        f->userIsSystem = IsWellKnownSid(user->User.Sid, WinLocalSystemSid) ? 1 : 0;
        f->elevated = elevation.TokenIsElevated ? 1 : 0;
        f->adminMember = AdminsEnabled(token);
        read = 1;
    }
    free(user);
    CloseHandle(token);
    return read;
}

// Whether the SID is this process's user or the owner it gives what it makes.
static int IsOwnAccount(PSID sid)
{
    HANDLE token = nullptr;
    if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token))
        return 0;
    TOKEN_USER *user = static_cast<TOKEN_USER *>(TokenInfo(token, TokenUser));
    TOKEN_OWNER *owner = static_cast<TOKEN_OWNER *>(TokenInfo(token, TokenOwner));
    int own = (user && EqualSid(sid, user->User.Sid)) || (owner && EqualSid(sid, owner->Owner));
    free(user);
    free(owner);
    CloseHandle(token);
    return own;
}

static int FromOwner(HANDLE pipe, PIPECHECK_Facts *f, uint32_t *code)
{
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    DWORD rc = GetSecurityInfo(pipe, SE_KERNEL_OBJECT, OWNER_SECURITY_INFORMATION, &owner, nullptr, nullptr,
                               nullptr, &sd);
    if (rc != ERROR_SUCCESS || !owner) {
        *code = rc != ERROR_SUCCESS ? rc : ERROR_INVALID_SECURITY_DESCR;
        LocalFree(sd);
        return 0;
    }
    f->ownerTrusted = IsWellKnownSid(owner, WinLocalSystemSid) || IsWellKnownSid(owner, WinBuiltinAdministratorsSid);
    f->ownerIsSelf = IsOwnAccount(owner);
    LocalFree(sd);
    return 1;
}

int PIPECHECK_ReadFacts(intptr_t handle, PIPECHECK_Facts *f, uint32_t *code)
{
    *f = PIPECHECK_Facts{};
    HANDLE pipe = reinterpret_cast<HANDLE>(handle);
    ULONG pid = 0;
    if (!GetNamedPipeServerProcessId(pipe, &pid)) {
        *code = GetLastError();
        return 0;
    }
    if (!FromOwner(pipe, f, code))
        return 0;
    f->pid = pid;
    f->sameProcess = pid == GetCurrentProcessId();
    if (!f->sameProcess)
        f->tokenRead = FromToken(pid, f);
    f->known = 1;
    return 1;
}

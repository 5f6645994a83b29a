// Whether the server end of the route service's pipe is the route service:
// a program of the system's most privileged account, not an impostor that
// took the pipe's name to feign "OK" replies. The client asks before its
// ClientHello and talks to nobody else.
//
// Windows: the pipe object's owner must be SYSTEM or Administrators, which
// only the system account or an elevated administrator can give it. A
// process id (GetNamedPipeServerProcessId) can be reused once its process
// has ended, so the token of the process that has it now can only add a
// refusal: where it can be read, it must be LocalSystem's or an elevated
// administrator's. Linux: the socket's peer (SO_PEERCRED, recorded with the
// socket) must be root. On both, a server end held by this very process (a
// test's stand-in service) is the client itself and passes when its owner
// is this process's own account or a trusted one.
#ifndef TLX_PIPE_PEER_CHECK_H
#define TLX_PIPE_PEER_CHECK_H

#include <stddef.h>
#include <stdint.h>

// What the check reads about the server end.
struct PIPECHECK_Facts {
    int known;         // the facts below could be read
    uint32_t pid;      // the server's process
    int sameProcess;   // the server end is held by this process
    int ownerTrusted;  // Windows: the pipe's owner is SYSTEM or Administrators; Linux: uid 0
    int ownerIsSelf;   // the pipe's owner is this process's own account
    int tokenRead;     // Windows: the token of the process with that id was read; Linux: always
    int userIsSystem;  // Windows: the token's user is LocalSystem; Linux: uid 0
    int elevated;      // Windows: the token is elevated
    int adminMember;   // Windows: BUILTIN\Administrators is enabled in the token
};

// The verdict over the facts: 1 the server may be trusted, 0 not.
int PIPECHECK_Judge(const PIPECHECK_Facts *facts);

// Reads the facts of the pipe handle's server end (pipe_peer_check_win32.cpp,
// pipe_peer_check_linux.cpp). 1 read; 0 with *code.
int PIPECHECK_ReadFacts(intptr_t handle, PIPECHECK_Facts *facts, uint32_t *code);

// Reads and judges; on refusal logs why and returns 0 with *code set to the
// system's access-denied code.
int PIPECHECK_Verify(intptr_t handle, uint32_t *code);

// The refusal's text for the facts, into out.
void PIPECHECK_Describe(const PIPECHECK_Facts *facts, char *out, size_t size);

// The system's access-denied code (ERROR_ACCESS_DENIED, EACCES).
uint32_t PIPECHECK_DeniedCode(void);

#endif

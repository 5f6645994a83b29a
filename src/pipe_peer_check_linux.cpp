// The socket's peer, as the kernel recorded it when the service listened.
#include "pipe_peer_check.h"

#include <errno.h>
#include <sys/socket.h>
#include <unistd.h>

uint32_t PIPECHECK_DeniedCode(void)
{
    return EACCES;
}

int PIPECHECK_ReadFacts(intptr_t handle, PIPECHECK_Facts *f, uint32_t *code)
{
    *f = PIPECHECK_Facts{};
    ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(static_cast<int>(handle), SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
        *code = static_cast<uint32_t>(errno);
        return 0;
    }
    f->known = 1;
    f->pid = static_cast<uint32_t>(cred.pid);
    f->sameProcess = cred.pid == getpid();
    f->ownerTrusted = cred.uid == 0;
    f->ownerIsSelf = cred.uid == geteuid();
    f->tokenRead = 1;
    f->userIsSystem = cred.uid == 0;
    return 1;
}

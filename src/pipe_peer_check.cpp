#include "pipe_peer_check.h"

#include <stdio.h>

#include "gui_log.h"

static int TokenTrusted(const PIPECHECK_Facts *f)
{
    return !f->tokenRead || f->userIsSystem || (f->elevated && f->adminMember);
}

int PIPECHECK_Judge(const PIPECHECK_Facts *f)
{
    if (!f || !f->known)
        return 0;
    if (f->sameProcess)
        return f->ownerTrusted || f->ownerIsSelf;
    return f->ownerTrusted && TokenTrusted(f);
}

void PIPECHECK_Describe(const PIPECHECK_Facts *f, char *out, size_t size)
{
    if (!f->known)
        snprintf(out, size, "ERROR: The route service's pipe is held by a process that cannot be identified; "
                            "not using it.\r\n");
    else if (!f->ownerTrusted && !(f->sameProcess && f->ownerIsSelf))
        snprintf(out, size, "ERROR: The route service's pipe (process %lu) was made by an account that is neither "
                            "the system account nor the administrators; not using it.\r\n",
                 static_cast<unsigned long>(f->pid));
    else
        snprintf(out, size, "ERROR: The route service's pipe is held by process %lu, which runs neither as the "
                            "system account nor as an elevated administrator; not using it.\r\n",
                 static_cast<unsigned long>(f->pid));
}

int PIPECHECK_Verify(intptr_t handle, uint32_t *code)
{
    PIPECHECK_Facts facts = {};
    uint32_t readCode = 0;
    if (!PIPECHECK_ReadFacts(handle, &facts, &readCode))
        facts.known = 0;
    if (PIPECHECK_Judge(&facts))
        return 1;
    char text[256];
    PIPECHECK_Describe(&facts, text, sizeof text);
    GUI_Print(1, 0, "%s", text);
    *code = PIPECHECK_DeniedCode();
    return 0;
}

// The platform half of the service framework (service_base_win32.cpp,
// service_base_linux.cpp).
#pragma once

#include "service_base.h"

// Registers ControlHandler for the service; null on failure (code in *error).
void *SVCSYS_RegisterControlHandler(uint32_t *error);
void SVCSYS_SetStatus(void *statusHandle, const SvcStatus *status);
// Runs the service under the system's control until it has stopped. 0, or
// the error code of a failed start (the caller prints it).
uint32_t SVCSYS_RunDispatcher();
// Debug mode: runs the worker on the calling thread until it ends; the
// console's stop requests (Linux: SIGTERM, SIGINT; Windows: Ctrl+C,
// Ctrl+Break, closing the console) stop it as a service stop does.
void SVCSYS_RunDebug(CServiceBase *service);
// True once the service's worker has ended on its own (it did not start:
// another copy of the service runs), so that a dispatcher that waits for
// a stop request need not wait any longer.
bool SVC_WorkerEnded();

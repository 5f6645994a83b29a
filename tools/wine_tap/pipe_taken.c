/* Takes the route service's pipe name before the service starts, starts the
 * service and prints what its service manager says once the service has
 * stopped (QueryServiceStatusEx):
 *
 *   pipe_taken PIPE SERVICE   "state S win32 W specific P"
 *
 * Exit status 0 when the service stopped within 30 s, 1 otherwise.
 */
#include <windows.h>
#include <stdio.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: pipe_taken PIPE SERVICE\n");
        return 2;
    }
    HANDLE pipe = CreateNamedPipeA(argv[1], PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE,
                                   PIPE_UNLIMITED_INSTANCES, 4096, 4096, 0, NULL);
    if (pipe == INVALID_HANDLE_VALUE) {
        fprintf(stderr, "the pipe name cannot be taken: %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    SC_HANDLE manager = OpenSCManagerA(NULL, NULL, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceA(manager, argv[2], SERVICE_START | SERVICE_QUERY_STATUS) : NULL;
    if (!service || !StartServiceA(service, 0, NULL)) {
        fprintf(stderr, "the service cannot be started: %lu\n", (unsigned long)GetLastError());
        return 1;
    }
    SERVICE_STATUS_PROCESS st;
    DWORD need = 0;
    int stopped = 0;
    for (int i = 0; i < 300 && !stopped; i++) {
        ZeroMemory(&st, sizeof st);
        if (!QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, (BYTE *)&st, sizeof st, &need))
            break;
        stopped = st.dwCurrentState == SERVICE_STOPPED;
        if (!stopped)
            Sleep(100);
    }
    printf("state %lu win32 %lu specific %lu\n", (unsigned long)st.dwCurrentState, (unsigned long)st.dwWin32ExitCode,
           (unsigned long)st.dwServiceSpecificExitCode);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    CloseHandle(pipe);
    return stopped ? 0 : 1;
}

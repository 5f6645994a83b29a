#include "service_base.h"

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <io.h>

// The arguments as UTF-8, so that file names survive the trip back to the
// wide calls that open them.
int wmain(int argc, wchar_t **wargv)
{
    // Every text carries its own "\r\n"; text mode would double the CR.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    char **argv = static_cast<char **>(calloc((size_t)argc + 1, sizeof(char *)));
    if (!argv)
        return -1;
    for (int i = 0; i < argc; i++) {
        int n = WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, nullptr, 0, nullptr, nullptr);
        argv[i] = static_cast<char *>(calloc(n > 0 ? (size_t)n : 1, 1));
        if (!argv[i])
            return -1;
        if (n > 0)
            WideCharToMultiByte(CP_UTF8, 0, wargv[i], -1, argv[i], n, nullptr, nullptr);
    }
    int rc = SVC_Main(argc, argv);
    for (int i = 0; i < argc; i++)
        free(argv[i]);
    free(argv);
    return rc;
}

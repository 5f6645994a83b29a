#include "service_pipe.h"
#include "service_pipe_sys.h"
#include "service_pipe_protocol.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

const char *PIPESYS_DefaultAddress()
{
    return SVCPIPE_SOCKET_PATH;
}

void SPIPE_TestAddress(char *buf, uint32_t size)
{
    // A folder of this process's own: the service serves only from a folder
    // that nobody else may write into.
    const char *dir = getenv("TMPDIR");
    snprintf(buf, size, "%s/tlx-service-%ld", dir && *dir ? dir : "/tmp", (long)getpid());
    mkdir(buf, 0700);
    size_t n = strlen(buf);
    snprintf(buf + n, size - n, "/pipe.sock");
}

struct SvcPipeClient {
    int fd;
};

uint32_t SPIPE_Connect(SvcPipeClient **client)
{
    *client = nullptr;
    sockaddr_un addr;
    memset(&addr, 0, sizeof(addr));
    addr.sun_family = AF_UNIX;
    const char *path = SPIPE_Address();
    if (strlen(path) >= sizeof(addr.sun_path))
        return ENAMETOOLONG;
    strcpy(addr.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return (uint32_t)errno;
    if (connect(fd, (sockaddr *)&addr, sizeof(addr)) != 0) {
        uint32_t code = (uint32_t)errno;
        close(fd);
        return code;
    }
    *client = new (std::nothrow) SvcPipeClient{fd};
    if (!*client) {
        close(fd);
        return ENOMEM;
    }
    return 0;
}

uint32_t SPIPE_Send(SvcPipeClient *client, const void *data, uint32_t len)
{
    ssize_t n = send(client->fd, data, len, MSG_NOSIGNAL);
    if (n < 0)
        return (uint32_t)errno;
    return n == (ssize_t)len ? 0 : EIO;
}

uint32_t SPIPE_Receive(SvcPipeClient *client, char *buf, uint32_t size, uint32_t *len, uint32_t timeoutMs)
{
    *len = 0;
    pollfd p = {client->fd, POLLIN, 0};
    int r = poll(&p, 1, (int)timeoutMs);
    if (r < 0)
        return (uint32_t)errno;
    if (r == 0)
        return SPIPE_TIMEOUT;
    ssize_t n = recv(client->fd, buf, size, 0);
    if (n < 0)
        return errno == ECONNRESET ? SPIPE_CLOSED : (uint32_t)errno;
    if (n == 0)
        return SPIPE_CLOSED;
    *len = (uint32_t)n;
    return 0;
}

void SPIPE_Close(SvcPipeClient *client)
{
    if (!client)
        return;
    close(client->fd);
    delete client;
}

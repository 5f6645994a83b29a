// Starts OpenSSL in a process of its own, as the client does ("client":
// NETSSL_Init) or as a program that leaves OpenSSL to itself ("default"),
// uses it as a connection would, and says in its exit code what came of it:
// 1 a configuration file was read (its TLS floor is in force), 2 the planted
// module is in the process, 16 OpenSSL did not start.
#include <windows.h>

#include <string.h>

#include <openssl/rand.h>
#include <openssl/ssl.h>

#include "errorinfo.h"
#include "net_ssl.h"

enum { PROBE_CONFIG_READ = 1, PROBE_MODULE_LOADED = 2, PROBE_NO_START = 16 };

int main(int argc, char **argv)
{
    if (argc < 2)
        return PROBE_NO_START;
    if (strcmp(argv[1], "client") == 0) {
        ErrorInfo chain = {};
        if (!NETSSL_Init(&chain))
            return PROBE_NO_START;
    } else if (!OPENSSL_init_ssl(0, nullptr)) {
        return PROBE_NO_START;
    }
    SSL_CTX *ctx = SSL_CTX_new(TLS_client_method());
    unsigned char bytes[16];
    if (!ctx || RAND_bytes(bytes, sizeof bytes) != 1)
        return PROBE_NO_START;
    int rc = 0;
    if (SSL_CTX_get_min_proto_version(ctx) == TLS1_3_VERSION)
        rc |= PROBE_CONFIG_READ;
    if (GetModuleHandleA("tlx_planted_module.dll"))
        rc |= PROBE_MODULE_LOADED;
    SSL_CTX_free(ctx);
    return rc;
}

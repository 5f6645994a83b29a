// libFuzzer target over CONFIG_Load through a real file: each input is
// written to a scratch file, which is loaded as the client loads its
// configuration. A load that succeeds is saved and loaded again, and the
// routes must mean the same after the round trip. Reads past the file's
// text show under AddressSanitizer when TinyXML is built with it (see
// scripts/fuzz.sh).
//
// Build and run: scripts/fuzz.sh (it builds both targets and runs each on
// its corpus).
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "config.h"
#include "errorinfo.h"

namespace {

// One scratch file per process, rewritten for every input.
FILE *Scratch(const char *tag)
{
    char path[64];
    snprintf(path, sizeof path, "/tmp/tlx_config_fuzz_%s_%d.xml", tag, static_cast<int>(getpid()));
    FILE *file = fopen(path, "w+b");
    if (file)
        unlink(path);   // stays open; nothing is left behind
    return file;
}

int LoadBytes(FILE *file, const uint8_t *data, size_t size, TUNLEX_Config *cfg, ErrorInfo *chain)
{
    if (ftruncate(fileno(file), 0) != 0)
        abort();
    rewind(file);
    if (size && fwrite(data, 1, size, file) != size)
        abort();
    fflush(file);
    rewind(file);
    return CONFIG_Load(cfg, file, "fuzz.xml", chain);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *input = Scratch("in");
    static FILE *saved = Scratch("out");
    if (!input || !saved)
        abort();
    TUNLEX_Config cfg;
    memset(&cfg, 0, sizeof cfg);
    ErrorInfo chain = {};
    int loaded = LoadBytes(input, data, size, &cfg, &chain);
    ERRORINFO_Clear(&chain, "fuzz", 0);
    if (!loaded || !cfg.server[0])
        return 0;

    // Saved and loaded again, every route keeps its network and prefix.
    if (ftruncate(fileno(saved), 0) != 0)
        abort();
    rewind(saved);
    if (!CONFIG_Save(&cfg, saved, "fuzz.xml", &chain))
        abort();
    rewind(saved);
    TUNLEX_Config again;
    memset(&again, 0, sizeof again);
    if (!CONFIG_Load(&again, saved, "fuzz.xml", &chain))
        abort();
    ERRORINFO_Clear(&chain, "fuzz", 0);
    if (again.routeCount != cfg.routeCount || again.port != cfg.port)
        abort();
    for (uint32_t i = 0; i < cfg.routeCount; i++)
        if (again.routes[i].network != cfg.routes[i].network ||
            again.routes[i].prefix != cfg.routes[i].prefix)
            abort();
    return 0;
}

// Options of the client program: command line, default configuration and the
// automatic-reconnect marker.
#include "config_i.h"

#include "config_i_sys.h"
#include "errorinfo.h"
#include "gui_log.h"
#include "pcap_writer.h"
#include "str.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

namespace {

#define CFG_AT ERRORINFO_AT("config_i")

const char kUsage[] =
    " [-logfile <file.txt>] [-dump_ppp <file.pcap>] [-log_packets] [-server <address>] "
    "[-server_port <port> [-user <user>] [-no_gateway] [-fingerprint <aa:bb:cc:..>] "
    "[-multiple_instances] [configuration.xml]";
const wchar_t kDefaultName[] = L"default.tlxcf";
const wchar_t kMarkerName[] = L"AutoReconnect";
const char kDefaultMessageName[] = "default.xml";

// Set once creating the configuration folder failed; lives for the process.
bool g_folderFailed = false;
const wchar_t *g_testAppData = nullptr;

// Records the message only while the chain is empty: the innermost cause wins.
void Fail(ErrorInfo *chain, int32_t line, const char *fmt, ...) ERRORINFO_PRINTF(3, 4);
void Fail(ErrorInfo *chain, int32_t line, const char *fmt, ...)
{
    if (!ERRORINFO_IsEmpty(chain))
        return;
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    ERRORINFO_Set(chain, "config_i", line, "%s", text);
}

// Whole-or-nothing conversion into a single-byte field of its full size.
int ToNarrow(char *out, size_t size, const wchar_t *in)
{
    size_t n = wcstombs(nullptr, in, 0);
    if (n == static_cast<size_t>(-1) || n >= size)
        return 0;
    wcstombs(out, in, size);
    out[n] = '\0';
    return 1;
}

// An argument as it is quoted in a message.
struct Quoted {
    char text[1024];
    explicit Quoted(const wchar_t *in)
    {
        if (!ToNarrow(text, sizeof text, in))
            STR_LCopy(text, "N/A", sizeof text);
    }
};

const char *ChainText(const ErrorInfo *chain)
{
    return ERRORINFO_IsEmpty(chain) ? "N/A" : chain->message;
}

int AppDataFolder(wchar_t (&out)[OPTIONS_PATH_SIZE])
{
    if (g_testAppData) {
        if (wcslen(g_testAppData) >= OPTIONS_PATH_SIZE)
            return 0;
        wcscpy(out, g_testAppData);
    } else if (!OPTIONS_SysAppDataFolder(out, OPTIONS_PATH_SIZE)) {
        return 0;
    }
    size_t n = wcslen(out);
    if (n > 0 && (out[n - 1] == L'\\' || out[n - 1] == L'/'))
        out[n - 1] = L'\0';
    return 1;
}

// Appends one path element behind a separator; 0 when it does not fit.
int AppendElement(wchar_t (&path)[OPTIONS_PATH_SIZE], const wchar_t *element)
{
    size_t used = wcslen(path);
    size_t add = wcslen(element);
    if (used + 1 + add >= OPTIONS_PATH_SIZE)
        return 0;
    path[used] = OPTIONS_SYS_SEPARATOR;
    wmemcpy(path + used + 1, element, add + 1);
    return 1;
}

// "<folder>/Quorvanti/TUNLEX", with "/<name>" behind it when name is given.
int BuildPath(wchar_t (&path)[OPTIONS_PATH_SIZE], const wchar_t *name, ErrorInfo *chain,
              const char *tooLong)
{
    if (!AppDataFolder(path)) {
        path[0] = L'\0';
        Fail(chain, __LINE__, "Unable to get APPDATA folder");
        return 0;
    }
    if (!AppendElement(path, L"Quorvanti") || !AppendElement(path, L"TUNLEX") ||
        (name && !AppendElement(path, name))) {
        path[0] = L'\0';
        Fail(chain, __LINE__, "%s", tooLong);
        return 0;
    }
    return 1;
}

// Opens an output file of "-logfile" or "-dump_ppp"; the earlier stream of a
// repeated option is closed rather than lost.
int OpenOutput(FILE **slot, const wchar_t *name, ErrorInfo *chain)
{
    FILE *file = OPTIONS_SysOpen(name, L"wbc");
    if (!file) {
        Fail(chain, __LINE__, "Unable to open file \"%s\" for output", Quoted(name).text);
        return 0;
    }
    if (*slot) {
        if (GUI_GetLogFile() == *slot)
            GUI_SetLogFile(file);
        fclose(*slot);
    }
    *slot = file;
    return 1;
}

int ReadConfigFile(AppOptions *options, const wchar_t *name, ErrorInfo *chain)
{
    if (options->configGiven) {
        Fail(chain, __LINE__, "Multiple configurations given");
        return 0;
    }
    FILE *file = OPTIONS_SysOpen(name, L"rb");
    if (!file) {
        Fail(chain, __LINE__, "Unable to open configuration file");
        return 0;
    }
    Quoted narrow(name);
    int ok = CONFIG_Load(&options->fileConfig, file, narrow.text, chain);
    if (!ok)
        Fail(chain, __LINE__, "Unable to parse the configuration \"%s\"", narrow.text);
    fclose(file);
    if (!ok)
        return 0;
    options->configGiven = 1;
    STR_LCopy(options->configName, narrow.text, sizeof options->configName);
    return 1;
}

int Is(const wchar_t *arg, const wchar_t *option)
{
    return wcscmp(arg, option) == 0;
}

int OptionNeedsValue(const wchar_t *arg)
{
    static const wchar_t *const kWithValue[] = {L"-logfile", L"-dump_ppp", L"-server",
                                                L"-server_port", L"-user", L"-fingerprint"};
    for (const wchar_t *option : kWithValue)
        if (Is(arg, option))
            return 1;
    return 0;
}

int TextValue(char *field, size_t size, const wchar_t *value, int position, ErrorInfo *chain)
{
    if (ToNarrow(field, size, value))
        return 1;
    Fail(chain, __LINE__, "Unable convert argument %d to ASCII", position);
    return 0;
}

// One option with its value (argv[i + 1] when it takes one).
int ParseOne(AppOptions *options, ErrorInfo *chain, wchar_t **argv, int argc, int i,
             uint32_t pass)
{
    const wchar_t *arg = argv[i];
    const wchar_t *value = i + 1 < argc ? argv[i + 1] : nullptr;  // for options with a value
    TUNLEX_Config &over = options->overrides;
    if (Is(arg, L"-?") || Is(arg, L"-help") || Is(arg, L"--help")) {
        Fail(chain, __LINE__, "Usage: vantorelle_tunlex %s", kUsage);
        return 0;
    }
    if (Is(arg, L"-logfile"))
        return pass != OPTIONS_PASS_STARTUP || OpenOutput(&options->logFile, value, chain);
    if (Is(arg, L"-dump_ppp"))
        return pass != OPTIONS_PASS_STARTUP || OpenOutput(&options->dumpFile, value, chain);
    if (Is(arg, L"-log_packets")) {
        options->logPackets = 1;
        return 1;
    }
    if (Is(arg, L"-server"))
        return TextValue(over.server, sizeof over.server, value, i + 1, chain);
    if (Is(arg, L"-server_port")) {
        wchar_t *end = nullptr;
        long port = wcstol(value, &end, 10);
        if (port < 1 || port > static_cast<long>(CONFIG_MAX_PORT)) {
            Fail(chain, __LINE__, "Invalid portnumber");
            return 0;
        }
        over.port = static_cast<uint16_t>(port);
        return 1;
    }
    if (Is(arg, L"-user"))
        return TextValue(over.user, sizeof over.user, value, i + 1, chain);
    if (Is(arg, L"-fingerprint"))
        return TextValue(over.fingerprint, sizeof over.fingerprint, value, i + 1, chain);
    if (Is(arg, L"-no_gateway")) {
        over.noRoutes = 1;
        return 1;
    }
    if (Is(arg, L"-multiple_instances")) {
        options->multipleInstances = 1;
        return 1;
    }
    if (arg[0] == L'-') {
        Fail(chain, __LINE__, "Unknown argument \"%s\"", Quoted(arg).text);
        return 0;
    }
    return ReadConfigFile(options, arg, chain);
}

}  // namespace

int OPTIONS_Init(AppOptions *options)
{
    options->fileConfig.server[0] = '\0';
    return 1;
}

int OPTIONS_ParseArguments(AppOptions *options, ErrorInfo *chain, wchar_t **argv, int argc,
                           uint32_t pass)
{
    for (int i = 1; i < argc; ++i) {
        int needsValue = OptionNeedsValue(argv[i]);
        if (needsValue && i + 1 >= argc) {
            Fail(chain, __LINE__, "Unexpected end of parameter list");
            return 0;
        }
        if (!ParseOne(options, chain, argv, argc, i, pass))
            return 0;
        i += needsValue;
    }
    return 1;
}

int OPTIONS_Load(int argc, wchar_t **argv, ErrorInfo *chain, AppOptions *options)
{
    if (!OPTIONS_ParseArguments(options, chain, argv, argc, OPTIONS_PASS_STARTUP))
        return 0;
    OPTIONS_LoadDefaultConfig(&options->defaultConfig, chain);
    if (options->dumpFile) {
        options->capture = PCAP_Open(options->dumpFile, PCAP_MODE_DIRECTION);
        if (!options->capture) {
            Fail(chain, __LINE__, "Unable to start PCAP writer");
            return 0;
        }
    }
    return 1;
}

void OPTIONS_Free(AppOptions *options)
{
    PCAP_Close(options->capture);
    options->capture = nullptr;
    // The log sink must not keep writing to a stream closed here.
    if (options->logFile && GUI_GetLogFile() == options->logFile)
        GUI_SetLogFile(nullptr);
    if (options->dumpFile)
        fclose(options->dumpFile);
    if (options->logFile)
        fclose(options->logFile);
    options->dumpFile = nullptr;
    options->logFile = nullptr;
    options->fileConfig.server[0] = '\0';
}

int OPTIONS_DefaultConfigPath(wchar_t (&path)[OPTIONS_PATH_SIZE], ErrorInfo *chain,
                              const char *tooLong)
{
    return BuildPath(path, kDefaultName, chain, tooLong);
}

int OPTIONS_MarkerPath(wchar_t (&path)[OPTIONS_PATH_SIZE], ErrorInfo *chain, const char *tooLong)
{
    return BuildPath(path, kMarkerName, chain, tooLong);
}

int OPTIONS_LoadDefaultConfig(TUNLEX_Config *out, ErrorInfo *chain)
{
    wchar_t path[OPTIONS_PATH_SIZE];
    FILE *file = nullptr;
    if (OPTIONS_DefaultConfigPath(path, chain, "Unable to create default config path")) {
        file = OPTIONS_SysOpen(path, L"rb");
        if (!file) {
            memset(out, 0, sizeof *out);
            GUI_Print(1, 0, "Unable to find default config: %s\n", ChainText(chain));
            ERRORINFO_Clear(chain, CFG_AT);
            return 1;
        }
        if (CONFIG_Load(out, file, kDefaultMessageName, chain)) {
            out->autoReconnect = static_cast<uint32_t>(OPTIONS_GetAutoReconnect());
            fclose(file);
            return 1;
        }
        Fail(chain, __LINE__, "Unable to parse the default configuration");
    }
    memset(out, 0, sizeof *out);
    if (file)
        fclose(file);
    GUI_Print(1, 0, "Unable to parse default config: %s\n", ChainText(chain));
    ERRORINFO_Clear(chain, CFG_AT);
    return 1;
}

int OPTIONS_CreateConfigFolder(ErrorInfo *chain)
{
    if (g_folderFailed) {
        Fail(chain, __LINE__, "Previus create default config path failed");
        return 0;
    }
    wchar_t folder[OPTIONS_PATH_SIZE];
    if (!AppDataFolder(folder)) {
        Fail(chain, __LINE__, "Unable to get APPDATA folder");
        g_folderFailed = true;
        return 0;
    }
    if (!OPTIONS_SysExists(folder)) {
        Fail(chain, __LINE__, "Unable to access AppData folder");
        g_folderFailed = true;
        return 0;
    }
    wchar_t path[OPTIONS_PATH_SIZE];
    if (!BuildPath(path, nullptr, chain, "Unable to create default config path")) {
        g_folderFailed = true;
        return 0;
    }
    if (OPTIONS_SysExists(path))
        return 1;
    // Every level behind the application-data folder, then the whole path.
    size_t total = wcslen(path);
    for (size_t i = wcslen(folder) + 1; i <= total; ++i) {
        if (i < total && path[i] != L'\\' && path[i] != L'/')
            continue;
        wchar_t saved = path[i];
        path[i] = L'\0';
        uint32_t code = OPTIONS_SysExists(path) ? 0 : OPTIONS_SysMakeDir(path);
        path[i] = saved;
        if (code != 0) {
            if (ERRORINFO_IsEmpty(chain))
                ERRORINFO_SetSystem(chain, code, CFG_AT, "Unable to create path for default config");
            g_folderFailed = true;
            return 0;
        }
    }
    return 1;
}

int OPTIONS_SaveDefaultConfig(ErrorInfo *chain, const TUNLEX_Config *config)
{
    if (!OPTIONS_CreateConfigFolder(chain)) {
        Fail(chain, __LINE__, "Unable to create configraion folder");
        return 0;
    }
    wchar_t path[OPTIONS_PATH_SIZE];
    if (!OPTIONS_DefaultConfigPath(path, chain, "Unable to create default config path"))
        return 0;
    FILE *file = OPTIONS_SysOpen(path, L"wb");
    if (!file) {
        Fail(chain, __LINE__, "Unable to write to default config file");
        return 0;
    }
    int ok = CONFIG_Save(config, file, kDefaultMessageName, chain);
    if (!ok)
        Fail(chain, __LINE__, "Unable to write the default configuration");
    fclose(file);
    return ok;
}

int OPTIONS_SetAutoReconnect(int on)
{
    ErrorInfo own = {};
    wchar_t path[OPTIONS_PATH_SIZE];
    int ok = 0;
    if (!OPTIONS_CreateConfigFolder(&own))
        Fail(&own, __LINE__, "Unable to create configuration folder");
    else if (OPTIONS_MarkerPath(path, &own, "Unable to create default path")) {
        if (on) {
            FILE *file = OPTIONS_SysExists(path) ? nullptr : OPTIONS_SysOpen(path, L"w");
            ok = OPTIONS_SysExists(path);
            if (file)
                fclose(file);
            if (!ok)
                Fail(&own, __LINE__, "Unable to write to default config file");
        } else {
            ok = !OPTIONS_SysExists(path) || OPTIONS_SysRemove(path);
            if (!ok)
                Fail(&own, __LINE__, "Couldn't remove AutoReconnect file.");
        }
    }
    ERRORINFO_Clear(&own, CFG_AT);
    return ok;
}

int OPTIONS_GetAutoReconnect(void)
{
    ErrorInfo own = {};
    wchar_t path[OPTIONS_PATH_SIZE];
    int on = OPTIONS_CreateConfigFolder(&own) &&
             OPTIONS_MarkerPath(path, &own, "Unable to create default path") &&
             OPTIONS_SysExists(path);
    ERRORINFO_Clear(&own, CFG_AT);
    return on;
}

int CONFIG_Merge(AppOptions *options, TUNLEX_Config *out)
{
    return CONFIG_MergeSources(&options->fileConfig, options->configGiven, &options->overrides,
                               &options->defaultConfig, &options->autoReconnect, out);
}

void OPTIONS_TestSetAppDataFolder(const wchar_t *folder)
{
    g_testAppData = folder;
}

void OPTIONS_TestResetFolderFailure(void)
{
    g_folderFailed = false;
}

// Program start on Linux: a console front end in place of the windows. It
// keeps the start-up order and messages of the Windows program; in place of
// the connect dialog it connects once with the merged configuration (the
// password from VANTORELLE_PASSWORD, else the first line of standard input,
// typed without echo on a terminal), prints the states, reads a one-time
// password from the next line of standard input when the gateway asks for
// one, and disconnects on SIGINT or SIGTERM. The program ends when the
// connection has ended.
#include "gui.h"
#include "gui_ui.h"

#include "config.h"
#include "errorinfo.h"
#include "gui_log.h"
#include "net_iface.h"
#include "net_tap.h"
#include "route_service.h"
#include "service_pipe_protocol.h"
#include "str.h"
#include "sync.h"

#include <atomic>
#include <errno.h>
#include <locale.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <termios.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

#define GUI_AT ERRORINFO_AT("gui")

std::atomic<int> g_stop{0};

void OnSignal(int)
{
    g_stop = 1;
}

void CatchSignals()
{
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

// The error exit: the step's message when nothing more precise is known, the
// chain as ERROR, and the text on standard error where Windows shows its
// "Client Error" box.
int ErrorExit(ErrorInfo *chain, const char *message)
{
    if (ERRORINFO_IsEmpty(chain))
        ERRORINFO_Set(chain, GUI_AT, "%s", message ? message : "Unknown Error");
    if (!ERRORINFO_IsEmpty(chain)) {
        GUI_PrintErrorChain(2, chain);
        fprintf(stderr, "Client Error: %s\n", chain->message);
    }
    ERRORINFO_Clear(chain, GUI_AT);
    OPTIONS_Free(&GUI_Options);
    return -1;
}

void PrintSystemVersion()
{
    struct utsname name;
    if (uname(&name) != 0) {
        GUI_Print(1, 0, "Unable to determine system version\r\n");
        return;
    }
    GUI_Print(1, 0, "System Version: %s %s (%s)\r\n", name.sysname, name.release, name.machine);
}

// A line of standard input without its line end; on a terminal a secret is
// typed without echo. 0 when input has ended.
int ReadInputLine(const char *prompt, int secret, char *out, uint32_t size)
{
    fprintf(stderr, "%s", prompt);
    fflush(stderr);
    struct termios saved, quiet;
    int hidden = secret && isatty(STDIN_FILENO) && tcgetattr(STDIN_FILENO, &saved) == 0;
    if (hidden) {
        quiet = saved;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        tcsetattr(STDIN_FILENO, TCSANOW, &quiet);
    }
    char line[1024];
    int ok = fgets(line, sizeof line, stdin) != nullptr;
    if (hidden) {
        tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        fprintf(stderr, "\n");
    }
    if (!ok)
        return 0;
    line[strcspn(line, "\r\n")] = '\0';
    STR_LCopy(out, line, size);
    return 1;
}

// The shared state callback, behind one line per state change for scripts
// that follow the console.
void OnState(TUNLEX_Connection *conn, void *user, TUNLEX_State state, TUNLEX_ErrorKind kind)
{
    const GUI_StateMemory *last = static_cast<const GUI_StateMemory *>(user);
    if (static_cast<int32_t>(state) != last->state)
        // A line of its own even behind the address wait's progress dots.
        GUI_Print(1, 0, "\nState: %s\n", TUNLEX_StateText(state, kind));
    GUI_OnStateChange(conn, user, state, kind);
}

// The one-time password typed on the terminal; null when there is none.
const char *AskOneTimePassword(char (&code)[CONFIG_OTP_SIZE])
{
    char prompt[CONFIG_OTP_PROMPT_SIZE + 8];
    snprintf(prompt, sizeof prompt, "%s: ",
             GUI_DisplayedConfig.otpPrompt[0] ? GUI_DisplayedConfig.otpPrompt : "Enter your otp");
    if (!ReadInputLine(prompt, 0, code, sizeof code) || code[0] == '\0') {
        GUI_Print(1, 1, "No one-time password given\n");
        return nullptr;
    }
    return code;
}

// In place of the message loop: connects with the merged configuration and
// runs until a signal arrives or the connection has ended for good (a
// one-time-password request starts the next attempt). 1 when it ended in
// state Error.
int RunConnection(TUNLEX_Connection *conn)
{
    GUI_InitConfigs();
    TUNLEX_Config &cfg = GUI_DialogConfig;
    char typed[CONFIG_PASSWORD_UTF8_SIZE] = "";
    const char *password = getenv("VANTORELLE_PASSWORD");
    if (!password && ReadInputLine("Password: ", 1, typed, sizeof typed))
        password = typed;
    // The terminal's text is UTF-8: PAP and CHAP-MD5 send its bytes, MS-CHAP
    // hashes the characters, which may be more than the 63 bytes PAP takes.
    if (password) {
        STR_LCopy(cfg.password, password, sizeof cfg.password);
        STR_LCopy(cfg.passwordUtf8, password, sizeof cfg.passwordUtf8);
    }
    memset(typed, 0, sizeof typed);
    GUI_Connect(&GUI_DialogConfig);
    ErrorInfo chain = {};
    while (!g_stop) {
        uint32_t events = GUI_WaitEvents(100);
        if (events & GUI_EVENT_OTP) {
            char code[CONFIG_OTP_SIZE];
            const char *typed = AskOneTimePassword(code);
            GUI_AnswerOtp(typed);
            if (!typed)
                break;
        }
        if (events & GUI_EVENT_CREDENTIALS)
            break;
        int running = TUNLEX_IsRunning(conn, &chain);
        ERRORINFO_Clear(&chain, GUI_AT);
        if (!running && !(events & GUI_EVENT_OTP))
            break;
    }
    int failed = TUNLEX_GetState(conn) == TUNLEX_STATE_ERROR;
    memset(GUI_DialogConfig.password, 0, sizeof GUI_DialogConfig.password);
    memset(GUI_DialogConfig.passwordUtf8, 0, sizeof GUI_DialogConfig.passwordUtf8);
    GUI_Disconnect();
    return failed;
}

GUI_StateMemory g_lastState;

// The adapter's DNS servers are read from the file the route service writes
// them into; the interface lookup keeps the pointer, so the path is copied.
char g_resolverFile[1024];

void UseServiceResolverFile()
{
    STR_LCopy(g_resolverFile, SVCPIPE_DnsFile(), sizeof g_resolverFile);
    NETIFACE_SetResolverFile(g_resolverFile);
}

}  // namespace

int GUI_Main(int argc, char **argv)
{
    setlocale(LC_CTYPE, "");
    CatchSignals();
    ErrorInfo chain = {};
    OPTIONS_Init(&GUI_Options);

    std::vector<std::wstring> wide;
    for (int i = 0; i < argc; ++i) {
        size_t n = mbstowcs(nullptr, argv[i], 0);
        if (n == static_cast<size_t>(-1)) {
            ERRORINFO_SetSystem(&chain, EILSEQ, GUI_AT, "Unable to fetch program arguments");
            return ErrorExit(&chain, nullptr);
        }
        std::wstring arg(n, L'\0');
        mbstowcs(&arg[0], argv[i], n + 1);
        wide.push_back(arg);
    }
    std::vector<wchar_t *> wargv;
    for (std::wstring &arg : wide)
        wargv.push_back(&arg[0]);
    wargv.push_back(nullptr);

    if (!OPTIONS_Load(argc, wargv.data(), &chain, &GUI_Options))
        return ErrorExit(&chain, nullptr);
    GUI_SetLogFile(GUI_Options.logFile);
    // No single-instance check: every console client is a process of its own.
    if (!GUI_CreateWindows())
        return -1;

    GUI_PrintBanner();
    PrintSystemVersion();
    GUI_Print(1, 0, "\r\n");
    GUI_PrintChainAsInfo(&chain);
    GUI_Print(1, 0, "Default Config:\r\n");
    CONFIG_Print(&GUI_Options.defaultConfig);

    // Refused before the adapter and the route service are touched.
    TUNLEX_Config merged;
    CONFIG_Merge(&GUI_Options, &merged);
    if (!CONFIG_CheckRoutes(&merged, &chain))
        return ErrorExit(&chain, nullptr);

    UseServiceResolverFile();
    if (!GUI_StartCore(OnState, &g_lastState, &chain))
        return ErrorExit(&chain, nullptr);

    if (!GUI_HelloService(&chain))
        return ErrorExit(&chain, "Unable to connect to SSL VPN service.");
    if (!ROUTE_Service_FixDefaultRoute(GUI_RouteClient, &chain))
        return ErrorExit(&chain, "Unable to fix default routes.");

    int result = RunConnection(GUI_ActiveConnection);

    ERRORINFO_Clear(&chain, GUI_AT);
    if (!ROUTE_Service_RestoreRoutes(GUI_RouteClient, &chain))
        return ErrorExit(&chain, "Unable to restore old routes.");
    OPTIONS_Free(&GUI_Options);
    return result;
}

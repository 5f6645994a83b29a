// Console form of the user interface: balloons become log lines, the icon
// has no picture, and what the windows would ask of the user (a one-time
// password, new credentials) is raised as an event that the console front
// end waits for with GUI_WaitEvents.
#include "gui_ui.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "gui_log.h"

namespace {

std::mutex g_lock;                  // guards the events and the displayed configuration
std::condition_variable g_wake;
uint32_t g_events = 0;

void Raise(uint32_t event)
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        g_events |= event;
    }
    g_wake.notify_all();
}

void ShowBalloon(const char *title, const char *text)
{
    GUI_Print(1, 0, "%s: %s\n", title, text);
}

void SetTrayIcon(uint32_t)
{
}

// The front end and the connection thread both reach the displayed
// configuration; one lock keeps its copy whole.
void ShowConfig(const TUNLEX_Config *cfg)
{
    std::lock_guard<std::mutex> hold(g_lock);
    GUI_ApplyConfig(cfg);
}

void RequestOtp(void)
{
    Raise(GUI_EVENT_OTP);
}

int LaunchUrl(const char *url, ErrorInfo *)
{
    // No browser is started on the user's behalf from a console.
    GUI_Print(1, 0, "Gateway page: %s\n", url);
    return 1;
}

void RestoreConnectDialog(void)
{
    Raise(GUI_EVENT_CREDENTIALS);
}

void ErrorBox(const char *text)
{
    GUI_Print(1, 2, "Connection error: %s\n", text);
}

void ConnectionEnded(TUNLEX_State, TUNLEX_ErrorKind)
{
    Raise(GUI_EVENT_ENDED);
}

const GUI_StatusOps kConsoleOps = {
    ShowBalloon, SetTrayIcon,    ShowConfig,           nullptr,  RequestOtp,
    LaunchUrl,   GUI_PrintRouteTable, RestoreConnectDialog, ErrorBox, ConnectionEnded,
    1,
};

} // namespace

const GUI_StatusOps *GUI_PlatformStatusOps(void)
{
    return &kConsoleOps;
}

uint32_t GUI_WaitEvents(uint32_t timeoutMs)
{
    std::unique_lock<std::mutex> hold(g_lock);
    g_wake.wait_for(hold, std::chrono::milliseconds(timeoutMs), [] { return g_events != 0; });
    uint32_t events = g_events;
    g_events = 0;
    return events;
}

void GUI_AnswerOtp(const char *code)
{
    if (!code || !code[0]) {
        std::lock_guard<std::mutex> hold(g_lock);
        GUI_OtpRefused();
        return;
    }
    // The console has no fields of its own: it connects with what the
    // displayed configuration shows.
    GUI_ConnectFields fields;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        GUI_ViewConfig(&GUI_DisplayedConfig, &fields);
    }
    GUI_OtpAccepted(code, &fields);
}

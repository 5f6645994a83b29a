// The PPP engine's termination sink, kept apart from the rest of the
// wrapper so that an engine test or benchmark linking the core may define a
// sink of its own without a clash.
#include <string.h>

#include "cp_wrapper.h"
#include "errorinfo.h"
#include "gui_active.h"
#include "gui_log.h"
#include "tunlex.h"

static const char *const kModule = "cp_wrapper";

static bool Same(const char *a, const char *b)
{
    return a && strcmp(a, b) == 0;
}

void CP_PppTerminated(const char *module, uint32_t code, uint32_t number, const char *reason,
                      const char *category)
{
    (void)code;
    (void)number;
    TUNLEX_Connection *conn = GUI_ActiveConnection;
    // The set-up after PPP came up counts too: a link that dies there must
    // end the attempt with its own reason, not with a later time-out.
    TUNLEX_State state = conn ? conn->state.load() : TUNLEX_STATE_DISCONNECTED;
    if (state == TUNLEX_STATE_CONNECTING || state == TUNLEX_STATE_PPP_UP) {
        if (Same(reason, "authentication_failed")) {
            ERRORINFO_Set(&conn->error, ERRORINFO_AT(kModule), "Authentication failed");
            TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_AUTHENTICATION);
        } else if (Same(reason, "prompt_for_otp")) {
            conn->abortFlag = 1;
            ERRORINFO_Clear(&conn->error, ERRORINFO_AT(kModule));
            TUNLEX_SetState(conn, TUNLEX_STATE_OTP_PROMPTED, TUNLEX_KIND_UNKNOWN);
        } else if (Same(category, "ppp_terminated")) {
            ERRORINFO_Set(&conn->error, ERRORINFO_AT(kModule), "PPP error: %s", reason ? reason : "");
            TUNLEX_SetState(conn, TUNLEX_STATE_ERROR, TUNLEX_KIND_PPP_HANDSHAKE);
        }
    }
    GUI_Print(1, 0, "%s: \"%s\" \"%s\"\n", module ? module : "", reason ? reason : "",
              category ? category : "");
}

// The process's one connection context, set by program start when it creates
// the context. The PPP engine's termination sink has no user pointer and
// reaches the connection through it; a harness without the GUI sets it too.
#ifndef TLX_GUI_ACTIVE_H
#define TLX_GUI_ACTIVE_H

struct TUNLEX_Connection;

extern TUNLEX_Connection *GUI_ActiveConnection;

#endif

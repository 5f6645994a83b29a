#include "gui_active.h"

TUNLEX_Connection *GUI_ActiveConnection = nullptr;
